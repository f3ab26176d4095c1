"""The resampling routes through the public `call`, each divided by one public
fit of the same data (pls1_fit with the same k, or pls3_fit for the two-block
test; best of several), which is what a user weighs; and the raw-permutation
test against scikit-learn's permutation_test_score. Every row runs in a fresh
subprocess, so that the one-thread rows get VELTRA_NUM_THREADS=1 (the fit on
one thread too) and each row's module is the one asked for.

    python3 bench/bench_resample_python.py [--quick] [--before DIR]

--before DIR adds a column measured with the package folder DIR (a `veltra`
package with an older `_veltra` module) in the same run. --quick runs smaller
counts and skips the scikit-learn row. Nothing is asserted.
"""

import json
import os
import subprocess
import sys

ROWS = [
    # label, target (per unit or per call), child arguments
    *[(f"split_nb, k=1, 1000 splits, {n} x {p}, {label}", target,
       dict(kind="split_nb", n=n, p=p, threads=threads))
      for label, target, threads in [("all threads", "<= 0.15 fits/split", None),
                                     ("one thread", "<= 0.3 fits/split", 1)]
      for n, p in [(2000, 200), (200, 5000)]],
    ("split_exact, B=999, 50 splits, k=1, 2000 x 200", "<= 300 fits",
     dict(kind="split_exact", n=2000, p=200)),
    ("raw_perm, B=999, 5 folds, k=3, 200 x 5000 vs permutation_test_score", ">= 50x",
     dict(kind="raw_perm", n=200, p=5000)),
    ("raw_perm, B=999, 5 folds, k=3, 2000 x 200 vs permutation_test_score", "(82x before)",
     dict(kind="raw_perm", n=2000, p=200)),
    ("two-block split_exact, B=999, 50 splits, 2000 x 200 x 200", "<= 650 fits",
     dict(kind="pls3_split_exact", n=2000, p=200, q=200)),
    ("perm null, n_perm=1000, k=3, 200 x 5000", "<= 0.2 fits/perm",
     dict(kind="perm_null", n=200, p=5000)),
    ("rotation stability, n_boot=1000, k=3, 200 x 5000", "<= 0.2 fits/replicate",
     dict(kind="rotation_stability", n=200, p=5000)),
]


def child(spec):
    """One row in this process: prints a JSON line with the measured ratio."""
    import numpy as np

    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from bench_timing import best_time, latent_data, plain
    from veltra import _veltra

    quick = spec.get("quick", False)
    n, p, kind = spec["n"], spec["p"], spec["kind"]
    X, y = latent_data(n, p, seed=n + p)

    def call(name, args):
        return _veltra.call(name, args, plain)[0]

    def fit_time(k):
        args = {"X": X, "y": y, "k": k}
        call("pls1_fit", args)
        return best_time(lambda: call("pls1_fit", args), 20)

    def ratio_per(run, units, t_fit, repeat):
        run()
        t = best_time(run, repeat)
        return {"value": t / t_fit / units, "seconds": t}

    if kind == "split_nb":
        splits = 200 if quick else 1000
        args = {"X": X, "y": y, "k": 1, "test_method": "split_nb", "seed": 1,
                "args": {"n_splits": splits, "force": True}}
        out = ratio_per(lambda: call("pls1_confirmatory_test", args), splits, fit_time(1), 3)
        out["unit"] = "fits/split"
    elif kind == "split_exact":
        args = {"X": X, "y": y, "k": 1, "test_method": "split_exact", "seed": 1,
                "args": {"n_perm": 199 if quick else 999, "n_splits": 10 if quick else 50}}
        out = ratio_per(lambda: call("pls1_confirmatory_test", args), 1, fit_time(1), 1)
        out["unit"] = "fits"
    elif kind == "raw_perm":
        n_perm = 99 if quick else 999
        args = {"X": X, "y": y, "k": 3, "test_method": "raw_perm", "seed": 1,
                "args": {"n_perm": n_perm, "n_folds": 5}}
        call("pls1_confirmatory_test", args)
        t_ours = best_time(lambda: call("pls1_confirmatory_test", args), 3)
        out = {"seconds": t_ours, "unit": "x faster"}
        if quick:
            out["value"] = float("nan")
        else:
            from sklearn.cross_decomposition import PLSRegression
            from sklearn.model_selection import KFold, permutation_test_score
            t_sk = best_time(lambda: permutation_test_score(
                PLSRegression(n_components=3), X, y, cv=KFold(5), n_permutations=n_perm,
                n_jobs=-1, random_state=1), 1)
            out["value"] = t_sk / t_ours
            out["peer_seconds"] = t_sk
    elif kind == "pls3_split_exact":
        Y = X[:, : spec["q"]] + np.random.default_rng(7).standard_normal((n, spec["q"]))
        fit_args = {"X": X, "Y": Y, "k": 1}
        call("pls3_fit", fit_args)
        t_fit = best_time(lambda: call("pls3_fit", fit_args), 10)
        args = {"X": X, "Y": Y, "test_method": "split_exact", "seed": 1,
                "args": {"n_perm": 99 if quick else 999, "n_splits": 5 if quick else 50}}
        out = ratio_per(lambda: call("pls3_confirmatory_test", args), 1, t_fit, 1)
        out["unit"] = "two-block fits"
    elif kind == "perm_null":
        count = 200 if quick else 1000
        args = {"X": X, "y": y, "k": 3, "n_perm": count, "seed": 1}
        out = ratio_per(lambda: call("pls1_perm_null", args), count, fit_time(3), 3)
        out["unit"] = "fits/perm"
    elif kind == "rotation_stability":
        count = 200 if quick else 1000
        args = {"X": X, "y": y, "k": 3, "n_boot": count, "seed": 1}
        out = ratio_per(lambda: call("pls1_rotation_stability", args), count, fit_time(3), 3)
        out["unit"] = "fits/replicate"
    else:
        raise ValueError(kind)
    print(json.dumps(out))


def measure(spec, package_dir, quick):
    env = dict(os.environ)
    if package_dir:
        env["PYTHONPATH"] = package_dir + os.pathsep + env.get("PYTHONPATH", "")
    if spec.get("threads"):
        env["VELTRA_NUM_THREADS"] = str(spec["threads"])
    done = subprocess.run([sys.executable, __file__, "--child", json.dumps({**spec, "quick": quick})],
                          env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def cell(m):
    if m["value"] != m["value"]:
        return f"{m['seconds']:.2f} s"
    return f"{m['value']:.3g} {m['unit']} ({m['seconds']:.2f} s)"


def main():
    if "--child" in sys.argv:
        child(json.loads(sys.argv[sys.argv.index("--child") + 1]))
        return
    quick = "--quick" in sys.argv
    before = sys.argv[sys.argv.index("--before") + 1] if "--before" in sys.argv else None
    print(f"threads available: {os.cpu_count()}; quick: {quick}")
    head = "| call | target |" + (" before |" if before else "") + " now |"
    print(head)
    print("|---|---|" + ("---|" if before else "") + "---|")
    for label, target, spec in ROWS:
        if quick and spec["kind"] == "raw_perm" and spec["n"] == 2000:
            continue
        cells = [cell(measure(spec, before, quick))] if before else []
        cells.append(cell(measure(spec, None, quick)))
        print(f"| {label} | {target} | " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
