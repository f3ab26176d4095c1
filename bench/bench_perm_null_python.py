"""Speed of pls1_perm_null(n_perm=1000) through the public `call`, as a ratio
to one pls1_fit with the same k on the same data, measured in one run.

Shapes: a tall 2000 x 200 X (the p-space Gram route: one X'X, then each
permutation refits from it) and a wide 200 x 5000 X (the direct route: each
permutation refits from the standardised X), both with k = 3. Every time is
the best of a few repetitions; nothing is asserted.

    python3 bench/bench_perm_null_python.py
"""

import numpy as np
from bench_timing import best_time, plain, print_threads

from veltra import _veltra


def data(n, p, seed):
    rng = np.random.default_rng(seed)
    latent = rng.standard_normal((n, 5))
    X = latent @ rng.standard_normal((5, p)) + rng.standard_normal((n, p))
    y = latent @ rng.standard_normal(5) + rng.standard_normal(n)
    return X, y


def bench_shape(n, p, k, n_perm=1000):
    X, y = data(n, p, seed=n + p)
    args = {"X": X, "y": y, "k": k}

    def fit():
        return _veltra.call("pls1_fit", args, plain)

    def perm_null():
        return _veltra.call("pls1_perm_null", {**args, "n_perm": n_perm, "seed": 1}, plain)

    fit()
    perm_null()
    t_fit = best_time(fit, 20)
    t_null = best_time(perm_null, 3)
    print(f"X {n} x {p} (row-major), k = {k}")
    print(f"  pls1_fit:                        {t_fit * 1e3:9.2f} ms")
    print(f"  pls1_perm_null(n_perm={n_perm}):    {t_null * 1e3:9.1f} ms"
          f"  = {t_null / t_fit:6.1f} fits ({t_null / t_fit / n_perm:.3f} fits per permutation)")


def main():
    print_threads()
    bench_shape(2000, 200, 3)
    bench_shape(200, 5000, 3)


if __name__ == "__main__":
    main()
