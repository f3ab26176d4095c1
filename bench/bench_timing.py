"""What the Python benchmarks share: the timer and the result maker."""

import os
import time

import numpy as np

from veltra import _veltra


def best_time(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def plain(type_name, fields):
    """make_result for `call`: every typed record as its plain dict of fields."""
    return fields


def print_threads():
    print(f"threads available: {os.cpu_count()}; VELTRA_NUM_THREADS="
          f"{os.environ.get('VELTRA_NUM_THREADS', '(unset)')}")


def latent_data(n, p, seed):
    """X of five latent directions plus noise, and y driven by the same directions."""
    rng = np.random.default_rng(seed)
    latent = rng.standard_normal((n, 5))
    X = latent @ rng.standard_normal((5, p)) + rng.standard_normal((n, p))
    y = latent @ rng.standard_normal(5) + rng.standard_normal(n)
    return X, y


def against_one_fit(name, count_arg, unit, n, p, k, count=1000):
    """Times `name` with count_arg=count (seed 1) against one pls1_fit with
    the same k on latent_data(n, p), prints both and their ratio, and
    returns the function's result."""
    X, y = latent_data(n, p, seed=n + p)
    args = {"X": X, "y": y, "k": k}

    def fit():
        return _veltra.call("pls1_fit", args, plain)

    def run():
        return _veltra.call(name, {**args, count_arg: count, "seed": 1}, plain)[0]

    fit()
    result = run()
    t_fit = best_time(fit, 20)
    t_run = best_time(run, 3)
    label = f"{name}({count_arg}={count}):"
    print(f"X {n} x {p} (row-major), k = {k}")
    print(f"  {'pls1_fit:':<42} {t_fit * 1e3:9.2f} ms")
    print(f"  {label:<42} {t_run * 1e3:9.1f} ms  = {t_run / t_fit:6.1f} fits "
          f"({t_run / t_fit / count:.3f} fits per {unit})")
    return result
