"""Veltra's fitting paths against the PLS libraries a user would pick instead,
side by side in one run, through each library's public Python entry:

- PLS1, k = 10: call("pls1_fit") against scikit-learn's PLSRegression,
  ikpls' NumPy PLS (improved kernel algorithms 1 and 2) and fastPLS' PLS
  (methods simpls and kernelpls), on 20000 x 2000, 2000 x 20000 and
  200000 x 200 (the peers get row-major X as NumPy makes it; Veltra also a
  column-major copy) and on the small 100 x 5000 and 60 x 401, there also
  on one thread (VELTRA_NUM_THREADS=1 for Veltra, OPENBLAS_NUM_THREADS=1
  and OMP_NUM_THREADS=1 for the peers);
- PLS-SVD, Y of 4 and 20 columns (k = 4 and 10): call("plssvd_fit")
  against scikit-learn's PLSSVD and fastPLS' method plssvd on the first two
  shapes (ikpls has no PLS-SVD);
- the cost of one call of pls1_predict and pls1_fit on 10 x 5 (k = 2), with a
  plain-dict make_result and with a dataclass one, against the peers'
  predict and fit on the same data (best and median of thousands of calls).

Every cell runs in a fresh subprocess with glibc told to keep freed memory
(MALLOC_MMAP_MAX_=0, MALLOC_TRIM_THRESHOLD_ very large), so that after one
warm-up fit a library's own copies of X cost no page faults. A cell reports
its best time; that time in passes over X (one pass = the best of several
BLAS `X @ ones`, on all threads or on one, in the shape's first cell); its
extra peak memory (peak RSS during the fits minus RSS once the inputs are
loaded); and its predictions, which the parent compares with Veltra's
(largest difference over largest |prediction|; for PLS-SVD the X scores,
each column scaled to unit norm and its sign aligned).

Scaling, so that every library computes the same model: Veltra standardises X
and y (Y) itself; PLSRegression/PLSSVD(scale=True); ikpls centres and scales
X and Y (ddof 0); fastPLS scaling="autoscaling" centres and scales X and
only centres Y. A PLS1 model does not change when y or all of X's columns
are scaled by one factor, so ddof and y's scale do not matter there; for
PLS-SVD fastPLS is given Y already scaled to unit variance.

    bash bench/setup_peers.sh            # the peers: bench-only dependencies
    python3 bench/bench_peers.py [--quick] [--only NAME]

(with the package importable: installed, or PYTHONPATH at a build's pyroot).

--quick runs the small shapes, PLS-SVD on 2000 x 200 and 200 x 2000, and
fewer calls. --only NAME runs Veltra and the peers whose name starts with
NAME (sklearn, ikpls, ikpls1, fastpls, fastpls-simpls, ...); --only veltra
runs Veltra alone.
"""

import argparse
import importlib.metadata
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

K = 10
LARGE = [(20000, 2000), (2000, 20000), (200000, 200)]
SMALL = [(100, 5000), (60, 401)]
SVD_SHAPES = [(20000, 2000), (2000, 20000)]
SVD_QUICK = [(2000, 200), (200, 2000)]
PLS1_PEERS = ["sklearn", "ikpls1", "ikpls2", "fastpls-simpls", "fastpls-kernelpls"]
SVD_PEERS = ["sklearn", "fastpls-plssvd"]
WARM = {"MALLOC_MMAP_MAX_": "0", "MALLOC_TRIM_THRESHOLD_": str(1 << 40)}
LABELS = {
    "veltra": "Veltra",
    "sklearn": "scikit-learn",
    "ikpls1": "ikpls alg. 1",
    "ikpls2": "ikpls alg. 2",
    "fastpls-simpls": "fastPLS simpls",
    "fastpls-kernelpls": "fastPLS kernelpls",
    "fastpls-plssvd": "fastPLS plssvd",
}


# ---- the measuring side: one cell in its own process ------------------------

def status_kib(key):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key):
                return int(line.split()[1])
    raise KeyError(key)


def best_of(fn, min_reps, budget):
    """Best time of at least min_reps runs, more while within budget seconds."""
    best, spent, reps = float("inf"), 0.0, 0
    while reps < min_reps or (spent < budget and reps < 200):
        start = time.perf_counter()
        fn()
        took = time.perf_counter() - start
        best, spent, reps = min(best, took), spent + took, reps + 1
    return best


def plain(type_name, fields):
    return fields


def dataclass_maker():
    import dataclasses
    import functools

    @functools.cache
    def result_class(type_name, field_names):
        return dataclasses.make_dataclass(type_name, field_names)

    return lambda type_name, fields: result_class(type_name, tuple(fields))(**fields)


def pls1_paths(lib, X, y, k, make_result=plain):
    """(fit, predict-on-X) of one library, each a function of no / one argument."""
    if lib == "veltra":
        from veltra import _veltra
        return (lambda: _veltra.call("pls1_fit", {"X": X, "y": y, "k": k}, make_result)[0],
                lambda m: _veltra.call("pls1_predict", {"model": m, "X_new": X}, make_result)[0])
    if lib == "sklearn":
        from sklearn.cross_decomposition import PLSRegression
        return lambda: PLSRegression(n_components=k, scale=True).fit(X, y), lambda m: m.predict(X)
    if lib.startswith("ikpls"):
        from ikpls.numpy import PLS
        return (lambda: PLS(algorithm=int(lib[-1])).fit(X, y, k),
                lambda m: m.predict(X, n_components=k))
    import fastpls
    method = lib.split("-")[1]
    return (lambda: fastpls.PLS(n_components=k, method=method, scaling="autoscaling").fit(X, y),
            lambda m: m.predict(X))


def svd_paths(lib, X, Y, k):
    """(fit, X scores of the fitted model)."""
    if lib == "veltra":
        from veltra import _veltra
        return (lambda: _veltra.call("plssvd_fit", {"X": X, "Y": Y, "k": k}, plain)[0],
                lambda m: m["x_scores"])
    if lib == "sklearn":
        from sklearn.cross_decomposition import PLSSVD
        return lambda: PLSSVD(n_components=k, scale=True).fit(X, Y), lambda m: m.transform(X)
    import fastpls
    Y_scaled = Y / Y.std(axis=0, ddof=1)  # fastPLS centres Y but does not scale it
    return (lambda: fastpls.PLS(n_components=k, method="plssvd", scaling="autoscaling")
            .fit(X, Y_scaled), lambda m: m.predict_scores(X))


def read_time(X):
    """One pass over X: the best BLAS `X @ ones`, on all threads or on one (a
    loaded machine can make the threaded one far slower than a single read)."""
    from threadpoolctl import threadpool_limits
    ones = np.ones(X.shape[1])
    best = best_of(lambda: X @ ones, 7, 1.0)
    with threadpool_limits(1):
        return min(best, best_of(lambda: X @ ones, 7, 1.0))


def fit_cell(spec):
    X = np.load(os.path.join(spec["dir"], spec["x_file"]))
    response = np.load(os.path.join(spec["dir"], spec["y_file"]))
    one_pass = read_time(X) if spec.get("pass") else None
    paths = svd_paths if spec["kind"] == "plssvd" else pls1_paths
    fit, predict = paths(spec["lib"], X, response, spec["k"])
    base = status_kib("VmRSS:")
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # the peak RSS restarts from here
    start = time.perf_counter()
    model = fit()
    warm_up = time.perf_counter() - start
    best = best_of(fit, 1 if warm_up > 5 else 3, 2.0 if warm_up < 1 else 0)
    extra = status_kib("VmHWM:") - base
    np.save(os.path.join(spec["dir"], spec["out"]), np.asarray(predict(model), dtype=float))
    return {"time": best, "pass": one_pass, "extra_mib": extra / 1024,
            "x_mib": X.nbytes / 2**20}


def per_call(fn, calls):
    for _ in range(min(200, calls // 10)):
        fn()
    times = np.empty(calls)
    for i in range(calls):
        start = time.perf_counter_ns()
        fn()
        times[i] = time.perf_counter_ns() - start
    return [float(times.min()) * 1e-9, float(np.median(times)) * 1e-9]


def calls_cell(spec):
    rng = np.random.default_rng(5)
    X = rng.standard_normal((10, 5)) + rng.uniform(-3, 3, 5)
    y = X @ rng.standard_normal(5) + rng.standard_normal(10)
    lib, calls = spec["lib"], spec["calls"]
    maker = dataclass_maker() if lib == "veltra-dataclass" else plain
    fit, predict = pls1_paths(lib.split("-")[0] if lib.startswith("veltra") else lib,
                              X, y, 2, maker)
    model = fit()
    return {"predict": per_call(lambda: predict(model), calls),
            "fit": per_call(fit, calls // 5 if lib == "sklearn" else calls)}


# ---- the orchestrating side ----------------------------------------------------

def latent_data(n, p, q, seed):
    """X of five latent directions plus noise and column offsets; y and Y
    (q columns) driven by the same directions."""
    rng = np.random.default_rng(seed)
    latent = rng.standard_normal((n, 5))
    X = latent @ rng.standard_normal((5, p)) + rng.standard_normal((n, p))
    X += rng.uniform(-3.0, 3.0, size=p)
    y = latent @ rng.standard_normal(5) + rng.standard_normal(n)
    Y = latent @ rng.standard_normal((5, q)) + rng.standard_normal((n, q))
    return X, y, Y


def write_inputs(workdir, n, p, column_major):
    X, y, Y = latent_data(n, p, 20, seed=n + p)
    tag = f"{n}x{p}"
    np.save(os.path.join(workdir, f"X_{tag}_C.npy"), X)
    if column_major:
        np.save(os.path.join(workdir, f"X_{tag}_F.npy"), np.asfortranarray(X))
    np.save(os.path.join(workdir, f"y_{tag}.npy"), y)
    for q in (4, 20):
        np.save(os.path.join(workdir, f"Y{q}_{tag}.npy"), np.ascontiguousarray(Y[:, :q]))
    return tag


def run_cell(spec, threads=None):
    """One cell in a fresh process; threads=1 caps Veltra's pool or the peers' BLAS."""
    env = {**os.environ, **WARM}
    caps = ["VELTRA_NUM_THREADS"] if spec["lib"].startswith("veltra") else \
        ["OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS"]
    for name in ["VELTRA_NUM_THREADS", "OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS"]:
        env.pop(name, None)
        if threads is not None and name in caps:
            env[name] = str(threads)
    try:
        done = subprocess.run([sys.executable, os.path.abspath(__file__), "--cell",
                               json.dumps(spec)], env=env, capture_output=True, text=True,
                              timeout=1800)
    except subprocess.TimeoutExpired:
        return {"error": "over 30 min"}
    if done.returncode != 0:
        tail = (done.stderr.strip().splitlines() or ["exit " + str(done.returncode)])[-1]
        return {"error": tail[:120]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def agreement(workdir, out, reference, scores):
    """Largest difference over largest |value|; score columns first scaled to
    unit norm and given the reference's sign (their scale and sign are free)."""
    a = np.load(os.path.join(workdir, out))
    b = np.load(os.path.join(workdir, reference))
    if scores:
        a, b = a / np.linalg.norm(a, axis=0), b / np.linalg.norm(b, axis=0)
        a = a * np.where(np.sum(a * b, axis=0) < 0, -1.0, 1.0)
    else:
        a, b = a.reshape(-1), b.reshape(-1)
    return float(np.max(np.abs(a - b)) / np.max(np.abs(b)))


THREADS = {None: "all threads", 1: "1 thread"}


def cells(kind, lib, large):
    """The (layout, threads) cells of one library: Veltra in both layouts,
    everyone also on one thread on the small shapes, PLS-SVD as the peers."""
    layouts = ["C", "F"] if lib == "veltra" and kind == "pls1" else ["C"]
    threads = [None] if large else [None, 1]
    return [(layout, t) for layout in layouts for t in threads]


def shape_rows(workdir, kind, n, p, k, y_file, libs, large):
    """Runs every cell of one shape, Veltra's row-major all-thread cell first."""
    rows = []
    for lib in libs:
        for layout, threads in cells(kind, lib, large):
            out = f"pred_{kind}_{n}x{p}_{y_file}_{lib}_{layout}{threads or ''}.npy"
            spec = {"kind": kind, "lib": lib, "dir": workdir, "k": k, "out": out,
                    "x_file": f"X_{n}x{p}_{layout}.npy", "y_file": y_file, "pass": not rows}
            rows.append({"lib": lib, "layout": layout, "threads": threads, "out": out,
                         **run_cell(spec, threads)})
    ref = rows[0]
    for row in rows:
        if "error" not in row and "error" not in ref:
            row["agree"] = agreement(workdir, row["out"], ref["out"], kind == "plssvd")
    return rows


def fmt_time(seconds):
    if seconds >= 0.01:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e3:.2f} ms" if seconds >= 0.001 else f"{seconds * 1e6:.0f} µs"


def table_lines(title, header, rows):
    lines = ["", title + ":", "", "| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    return lines + ["| " + " | ".join(row) + " |" for row in rows]


def fit_rows(shape_label, rows):
    """Table rows; ratios against Veltra's row-major fit on the same threads."""
    one_pass = rows[0].get("pass")
    refs = {r["threads"]: r for r in rows if r["lib"] == "veltra" and r["layout"] == "C"}
    label = f"{shape_label} (one pass {fmt_time(one_pass)})" if one_pass else shape_label
    table = []
    for row in rows:
        variant = ("row-major" if row["layout"] == "C" else "column-major") + ", " + \
            THREADS[row["threads"]]
        if "error" in row:
            table.append([label, LABELS[row["lib"]], variant, row["error"], "", "", "", ""])
            continue
        ref = refs.get(row["threads"], {})
        ratio = f"{row['time'] / ref['time']:.1f}×" if "time" in ref and row is not ref else ""
        passes = f"{row['time'] / one_pass:.1f}" if one_pass else ""
        agree = "reference" if row is rows[0] else "" if "agree" not in row else \
            f"{row['agree']:.1e}" + (" (over 1e-8: not the same model)" if row["agree"] > 1e-8
                                     else "")
        table.append([label, LABELS[row["lib"]], variant, fmt_time(row["time"]), passes, ratio,
                      f"{row['extra_mib']:.0f} MiB = {row['extra_mib'] / row['x_mib']:.2f} X",
                      agree])
    return table


FIT_HEADER = ["X", "library", "X layout, threads", "fit (best)", "= passes over X",
              "time ÷ Veltra's (row-major, same threads)", "extra peak memory",
              "predictions vs Veltra"]


def pls1_section(workdir, shapes, peers):
    rows = []
    for (n, p), large in shapes:
        tag = write_inputs(workdir, n, p, column_major=True)
        rows += fit_rows(f"{n} × {p}", shape_rows(workdir, "pls1", n, p, K, f"y_{tag}.npy",
                                                    ["veltra"] + peers, large))
        print(f"  pls1 {n} x {p} done", file=sys.stderr, flush=True)
    return table_lines(f"PLS1, k = {K}", FIT_HEADER, rows)


def svd_section(workdir, shapes, peers):
    rows = []
    for n, p in shapes:
        tag = write_inputs(workdir, n, p, column_major=False)
        for q in (4, 20):
            k = min(K, q)
            rows += fit_rows(f"{n} × {p}, q = {q}, k = {k}",
                             shape_rows(workdir, "plssvd", n, p, k, f"Y{q}_{tag}.npy",
                                        ["veltra"] + peers, True))
        print(f"  plssvd {n} x {p} done", file=sys.stderr, flush=True)
    header = FIT_HEADER[:-1] + ["X scores vs Veltra"]
    return table_lines("PLS-SVD (ikpls has none)", header, rows)


def calls_section(peers, calls):
    rows = []
    for lib in ["veltra", "veltra-dataclass"] + peers:
        res = run_cell({"kind": "calls", "lib": lib, "calls": calls})
        label = {"veltra": "Veltra, plain-dict make_result",
                 "veltra-dataclass": "Veltra, dataclass make_result"}.get(lib, LABELS.get(lib))
        if "error" in res:
            rows.append([label, res["error"], ""])
            continue
        rows.append([label] + [f"{res[w][0] * 1e6:.1f} µs / {res[w][1] * 1e6:.1f} µs"
                               for w in ("predict", "fit")])
    return table_lines(f"One call on X 10 × 5, k = 2 (best / median of {calls} calls; "
                       f"fit of scikit-learn: of {calls // 5})",
                       ["library", "predict on the 10 rows", "fit"], rows)


def versions():
    names = {"numpy": "numpy", "scikit-learn": "scikit-learn", "ikpls": "ikpls",
             "fastPLS": "fastpls"}
    found = []
    for label, dist in names.items():
        try:
            found.append(f"{label} {importlib.metadata.version(dist)}")
        except importlib.metadata.PackageNotFoundError:
            found.append(f"{label} absent")
    return ", ".join(found)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="small shapes only")
    parser.add_argument("--only", metavar="NAME", help="Veltra and the peers named NAME...")
    parser.add_argument("--cell", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.cell:
        spec = json.loads(args.cell)
        print(json.dumps(calls_cell(spec) if spec["kind"] == "calls" else fit_cell(spec)))
        return
    pick = (lambda peers: [p for p in peers if p.startswith(args.only)]) if args.only else \
        (lambda peers: peers)
    shapes = [(s, False) for s in SMALL] if args.quick else \
        [(s, True) for s in LARGE] + [(s, False) for s in SMALL]
    print(f"threads available: {os.cpu_count()}; load average at start "
          f"{os.getloadavg()[0]:.1f}; {versions()}")
    workdir = tempfile.mkdtemp(prefix="bench_peers_")
    try:
        lines = pls1_section(workdir, shapes, pick(PLS1_PEERS))
        lines += svd_section(workdir, SVD_QUICK if args.quick else SVD_SHAPES, pick(SVD_PEERS))
        lines += calls_section(pick(PLS1_PEERS), 500 if args.quick else 5000)
    finally:
        shutil.rmtree(workdir)
    print("\n".join(lines))
    print(f"\nload average at the end {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
