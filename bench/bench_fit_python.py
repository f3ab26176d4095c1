"""Speed of the fits through the public `call`, as ratios measured in one run.

- pls1_fit (k = 10) against scikit-learn's PLSRegression(scale=True) and
  against one NumPy pass over X (X.sum()), on a tall 20000 x 2000 and a
  wide 2000 x 20000 X (row-major, as NumPy makes it);
- plssvd_fit (k = 10) against scikit-learn's PLSSVD(scale=True) on the same
  two shapes with a 20-column Y;
- the per-call cost of call("pls1_predict", ...) on a 10 x 5 input against
  PLSRegression.predict on the same input.

Every time is the best of a few repetitions. Nothing is asserted: the script
prints what it measured. `--quick` runs shapes a tenth the size.

    python3 bench/bench_fit_python.py [--quick]
"""

import argparse

import numpy as np
from bench_peers import latent_data as data
from bench_timing import best_time, plain, print_threads
from sklearn.cross_decomposition import PLSSVD, PLSRegression

from veltra import _veltra


def per_call(fn, calls, repeat=5):
    return best_time(lambda: [fn() for _ in range(calls)], repeat) / calls


def bench_shape(n, p, k, q, repeat_ours, repeat_ref, repeat_ref_svd):
    X, y, Y = data(n, p, q, seed=n + p)
    numpy_pass = best_time(lambda: X.sum(), 5)

    def ours_pls1():
        return _veltra.call("pls1_fit", {"X": X, "y": y, "k": k}, plain)

    def ref_pls1():
        return PLSRegression(n_components=k, scale=True).fit(X, y)

    ours_pls1()  # first touch of the pool and the pages
    t_ours = best_time(ours_pls1, repeat_ours)
    t_ref = best_time(ref_pls1, repeat_ref)
    beta = ours_pls1()[0]["beta"]
    coef = np.asarray(ref_pls1().coef_).ravel()
    agree = np.max(np.abs(beta - coef)) / np.max(np.abs(coef))

    def ours_svd():
        return _veltra.call("plssvd_fit", {"X": X, "Y": Y, "k": k}, plain)

    def ref_svd():
        return PLSSVD(n_components=k, scale=True).fit(X, Y)

    ours_svd()
    t_ours_svd = best_time(ours_svd, repeat_ours)
    t_ref_svd = best_time(ref_svd, repeat_ref_svd)

    print(f"X {n} x {p} (row-major), k = {k}")
    print(f"  one NumPy pass X.sum():        {numpy_pass * 1e3:9.1f} ms")
    print(f"  pls1_fit:                      {t_ours * 1e3:9.1f} ms"
          f"  = {t_ours / numpy_pass:5.2f} NumPy passes (target <= {1.5 * (k + 1):.1f})")
    print(f"  PLSRegression.fit:             {t_ref * 1e3:9.1f} ms"
          f"  -> pls1_fit is {t_ref / t_ours:6.1f}x faster (target >= 5)")
    print(f"  largest |beta - coef_| / max |coef_|: {agree:.1e}")
    print(f"  plssvd_fit (Y with {q} columns): {t_ours_svd * 1e3:9.1f} ms")
    print(f"  PLSSVD.fit:                    {t_ref_svd * 1e3:9.1f} ms"
          f"  -> plssvd_fit is {t_ref_svd / t_ours_svd:6.1f}x faster (target >= 5)")
    return {"numpy": numpy_pass, "pls1": t_ours, "sk_pls1": t_ref, "svd": t_ours_svd,
            "sk_svd": t_ref_svd}


def bench_overhead():
    X, y, _ = data(40, 5, 1, seed=3)
    model = _veltra.call("pls1_fit", {"X": X, "y": y, "k": 2}, plain)[0]
    ref = PLSRegression(n_components=2, scale=True).fit(X, y)
    X_new = np.ascontiguousarray(X[:10])
    arguments = {"model": model, "X_new": X_new}
    ours = per_call(lambda: _veltra.call("pls1_predict", arguments, plain), 20000)
    theirs = per_call(lambda: ref.predict(X_new), 2000)
    print("pls1_predict on 10 x 5 (whole call: argument conversion, model record, result)")
    print(f"  call('pls1_predict', ...):     {ours * 1e6:9.2f} us per call (target < 20)")
    print(f"  PLSRegression.predict:         {theirs * 1e6:9.2f} us per call"
          f"  -> ratio {theirs / ours:.1f}")
    return ours, theirs


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="shapes a tenth the size")
    args = parser.parse_args()
    scale = 10 if args.quick else 1
    print_threads()
    # PLSRegression takes seconds on the full shapes: one run is enough.
    repeats = {"repeat_ours": 5, "repeat_ref": 1 if scale == 1 else 3, "repeat_ref_svd": 3}
    bench_shape(20000 // scale, 2000 // scale, 10, 20, **repeats)
    bench_shape(2000 // scale, 20000 // scale, 10, 20, **repeats)
    bench_overhead()


if __name__ == "__main__":
    main()
