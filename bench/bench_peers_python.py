"""The resampling functions against what a user would run instead, equal work
in one run:

- pls1_confirmatory_test(test_method="raw_perm", n_perm=999, n_folds=5)
  against scikit-learn's permutation_test_score(PLSRegression(n_components=k),
  cv=KFold(5), n_permutations=999, n_jobs=-1), k = 3;
- pls1_find_k_optimal(k_max=20, n_folds=10) against GridSearchCV over
  n_components 1..20 with KFold(10), n_jobs=-1, and, when the package is
  installed, against ikpls' fast cross-validation (algorithm 2).

Data: latent_data of bench_timing (five latent directions plus noise). One run
each for the peers (they take long), the best of three for Veltra. The
p-values of the permutation tests are printed side by side: they agree within
sampling error, not bit for bit (other folds, other permutations).

    python3 bench/bench_peers_python.py [--quick]
"""

import sys
import time

import numpy as np
from sklearn.cross_decomposition import PLSRegression
from sklearn.model_selection import GridSearchCV, KFold, permutation_test_score

from bench_timing import best_time, latent_data, plain, print_threads
from veltra import _veltra


def timed(fn):
    start = time.perf_counter()
    out = fn()
    return time.perf_counter() - start, out


def permutation_tests(n, p, k=3, n_perm=999):
    X, y = latent_data(n, p, seed=n + p)
    args = {"X": X, "y": y, "k": k, "test_method": "raw_perm", "seed": 1,
            "args": {"n_perm": n_perm, "n_folds": 5}}
    ours = _veltra.call("pls1_confirmatory_test", args, plain)[0]
    t_ours = best_time(lambda: _veltra.call("pls1_confirmatory_test", args, plain), 3)
    t_sk, (_, _, p_sk) = timed(lambda: permutation_test_score(
        PLSRegression(n_components=k), X, y, cv=KFold(5), n_permutations=n_perm, n_jobs=-1,
        random_state=1))
    print(f"raw_perm, X {n} x {p}, k = {k}, B = {n_perm}, 5 folds: veltra {t_ours * 1e3:.0f} ms "
          f"(p = {ours['pvalue']:.4g}), permutation_test_score {t_sk:.1f} s (p = {p_sk:.4g}): "
          f"{t_sk / t_ours:.0f}x")


def component_searches(n, p, k_max=20):
    X, y = latent_data(n, p, seed=n + p)
    args = {"X": X, "y": y, "k_max": k_max, "seed": 1, "args": {"n_folds": 10}}
    t_ours = best_time(lambda: _veltra.call("pls1_find_k_optimal", args, plain), 3)
    grid = GridSearchCV(PLSRegression(scale=True), {"n_components": list(range(1, k_max + 1))},
                        cv=KFold(10), n_jobs=-1)
    t_grid, _ = timed(lambda: grid.fit(X, y))
    line = (f"find_k_optimal, X {n} x {p}, k_max {k_max}, 10 folds: veltra {t_ours * 1e3:.0f} ms, "
            f"GridSearchCV {t_grid:.2f} s ({t_grid / t_ours:.0f}x)")
    try:
        from ikpls.fast_cross_validation.numpy import PLS as FastPLS
    except ImportError:
        print(line + ", ikpls not installed")
        return
    folds = np.arange(n) % 10

    def mse(y_val, y_pred):
        return ((y_val[None, :, :] - y_pred) ** 2).mean(axis=(1, 2))

    def ikpls_cv():
        return FastPLS(algorithm=2).cross_validate(X, y.reshape(-1, 1), k_max, folds, mse,
                                                   n_jobs=-1, verbose=0)

    ikpls_cv()
    t_ik = best_time(ikpls_cv, 3)
    print(line + f", ikpls fast CV {t_ik * 1e3:.0f} ms ({t_ik / t_ours:.1f}x)")


def main():
    print_threads()
    quick = "--quick" in sys.argv
    for n, p in [(2000, 200), (200, 5000)]:
        permutation_tests(n, p, n_perm=99 if quick else 999)
    for n, p in [(5000, 500), (500, 5000)]:
        component_searches(n, p)


if __name__ == "__main__":
    main()
