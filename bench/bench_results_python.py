"""Cost of handing large result matrices to NumPy, as ratios measured in one run.

`call("preprocess", {"X": X})` on a row-major 20000 x 2000 float64 X returns
the standardised X, a matrix as large as X: its time is dominated by making
that result and handing it to NumPy. It is timed against one NumPy pass over X
(X.sum(), single-threaded), and, to show what the hand-over costs by itself,
against NumPy copying X into a fresh C-ordered array (np.array(X), one read and
one write).

Every time is the best of a few repetitions. Nothing is asserted: the script
prints what it measured. `--quick` runs a shape a tenth the size.

    python3 bench/bench_results_python.py [--quick]
"""

import argparse

import numpy as np
from bench_timing import best_time, plain, print_threads

from veltra import _veltra


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="a shape a tenth the size")
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    scale = 10 if args.quick else 1
    n, p = 20000 // scale, 2000 // scale
    print_threads()

    rng = np.random.default_rng(7)
    X = rng.standard_normal((n, p)) * rng.uniform(0.5, 2.0, size=p) + rng.uniform(-3.0, 3.0, size=p)

    def ours():
        return _veltra.call("preprocess", {"X": X}, plain)

    result = ours()[0]["X_std"]  # first touch of the pool and the pages
    expected = (X - X.mean(axis=0)) / X.std(axis=0)
    agree = np.max(np.abs(result - expected))
    del result

    numpy_pass = best_time(lambda: X.sum(), 5)
    numpy_copy = best_time(lambda: np.array(X), 5)
    t_ours = best_time(ours, args.repeat)

    print(f"X {n} x {p} (row-major)")
    print(f"  one NumPy pass X.sum():        {numpy_pass * 1e3:9.1f} ms")
    print(f"  NumPy copy np.array(X):        {numpy_copy * 1e3:9.1f} ms"
          f"  = {numpy_copy / numpy_pass:5.2f} NumPy passes")
    print(f"  preprocess:                    {t_ours * 1e3:9.1f} ms"
          f"  = {t_ours / numpy_pass:5.2f} NumPy passes")
    print(f"  largest |X_std - NumPy's standardised X|: {agree:.1e}")


if __name__ == "__main__":
    main()
