"""Peak extra memory of every resampling route under VELTRA_MEMORY_BUDGET.

Each cell runs in a fresh process: it imports the module, makes its inputs,
resets the peak resident size (/proc/self/clear_refs), makes one call and
reports the peak resident size (VmHWM) minus the resident size before the
call. That is what the call holds at its peak beyond its inputs: the units
alive at once plus what the call keeps for its whole length (the drawn
splits and permutations, an outcome matrix, a standardised copy of X, its
result). Every route runs at a small budget (VELTRA_MEMORY_BUDGET=1: units
one at a time) and at 2G, each with VELTRA_NUM_THREADS 1 and 8, and at two
and a half units with 8 threads. "unit" is the size of the largest blocks
one unit allocates, from the shapes. The two-block routes (a shape of n, p
and q) take Y = 0.1 X[:, :q] + noise. Nothing is asserted; the figures go
to bench/README.md.

    python3 bench/bench_memory_python.py [route ...]   (needs the module importable)
    python3 bench/bench_memory_python.py --reproducer  (no-refit split-exact at 64M, 1 to 8 threads)
"""

import json
import os
import subprocess
import sys

import numpy as np

MiB = 1 << 20
ceil8 = lambda v: (v + 7) // 8 * 8  # noqa: E731


def data(n, p, seed=0):
    X = np.random.default_rng(seed).standard_normal((n, p))
    y = 0.1 * X[:, 0] + np.random.default_rng(seed + 1).standard_normal(n)
    return X, y


def data2(n, p, q, seed=0):
    X = np.random.default_rng(seed).standard_normal((n, p))
    Y = 0.1 * X[:, :q] + np.random.default_rng(seed + 1).standard_normal((n, q))
    return X, Y


def split_m(n, k):
    return min(max(k + 2, n // 2), n - 3)


def blocks(n, p):
    """Bytes of a unit's two standardised blocks (training and test rows)."""
    return ceil8(n) * p * 8


def split_width(n):
    """Columns of the 2 MiB blocks of X that the two-block routes walk."""
    return max(8, 2097152 // (8 * (n - n // 2)) // 8 * 8)


def blocks_and_gram(n, p):
    return blocks(n, p) + p * p * 8


# name: (function, shape (n, p) or (n, p, q), further arguments, one unit's main blocks in
# bytes from the shape, what they are)
ROUTES = {
    "split_nb no-refit (k=1)": (
        "pls1_confirmatory_test", (20000, 500),
        {"k": 1, "test_method": "split_nb", "args": {"n_splits": 16, "force": True}},
        blocks,
        "a pending split's refit: its two standardised blocks (the no-refit pass holds ~1 MiB)"),
    "split_nb refit (k=2)": (
        "pls1_confirmatory_test", (20000, 500),
        {"k": 2, "test_method": "split_nb", "args": {"n_splits": 16, "force": True}},
        blocks,
        "a split's two standardised blocks"),
    "split_exact no-refit (k=1)": (
        "pls1_confirmatory_test", (20000, 500),
        {"k": 1, "test_method": "split_exact", "args": {"n_perm": 999, "n_splits": 10}},
        lambda n, p: (split_m(n, 1) + 2 * (n - split_m(n, 1))) * 1000 * 8,
        "a split's training and test response blocks and its prediction block"),
    "split_exact refit (k=3)": (
        "pls1_confirmatory_test", (8000, 1000),
        {"k": 3, "test_method": "split_exact", "args": {"n_perm": 19, "n_splits": 8}},
        blocks,
        "a split's two standardised blocks"),
    "split_exact n-space (k=2)": (
        "pls1_confirmatory_test", (400, 20000),
        {"k": 2, "test_method": "split_exact", "args": {"n_perm": 199, "n_splits": 8}},
        lambda n, p: ceil8(n) * p * 8 + split_m(n, 2) * p * 8,
        "a split's two standardised blocks and the copy its Gram product packs"),
    "split_exact p-space Gram (k=2)": (
        "pls1_confirmatory_test", (10000, 800),
        {"k": 2, "test_method": "split_exact", "args": {"n_perm": 99, "n_splits": 8}},
        blocks_and_gram,
        "a split's two standardised blocks and its p x p Gram block"),
    "raw_perm n-space CV (k=1)": (
        "pls1_confirmatory_test", (200, 20000),
        {"k": 1, "test_method": "raw_perm", "args": {"n_perm": 9999, "n_folds": 5}},
        lambda n, p: (5 * (n - n // 5) + n // 5) * 10000 * 8,
        "a fold's standardised responses, their products with G and K, a packed operand"),
    "raw_perm n-space (k=2)": (
        "pls1_confirmatory_test", (400, 20000),
        {"k": 2, "test_method": "raw_perm", "args": {"n_perm": 199, "n_folds": 5}},
        lambda n, p: ceil8(n) * p * 8 + (n - n // 5) * p * 8,
        "a fold's two standardised blocks and the copy its Gram product packs"),
    "raw_perm p-space Gram (k=2)": (
        "pls1_confirmatory_test", (10000, 800),
        {"k": 2, "test_method": "raw_perm", "args": {"n_perm": 99, "n_folds": 5}},
        blocks_and_gram,
        "a fold's two standardised blocks and its p x p Gram block"),
    "raw_perm refit (k=3)": (
        "pls1_confirmatory_test", (8000, 1000),
        {"k": 3, "test_method": "raw_perm", "args": {"n_perm": 19, "n_folds": 5}},
        blocks,
        "a fold's two standardised blocks"),
    "two-block split_nb (50 splits)": (
        "pls3_confirmatory_test", (20000, 300, 40),
        {"test_method": "split_nb", "args": {"n_splits": 50, "force": True}},
        lambda n, p, q: 4 * blocks(n // 2, q) + blocks(n, split_width(n)),
        "a split's standardised training and test Y, its test X scores through X'Y with their "
        "product, and a 2 MiB column block of each half of X"),
    "two-block split_exact primal (B=199, 8 splits)": (
        "pls3_confirmatory_test", (20000, 300, 40),
        {"test_method": "split_exact", "args": {"n_perm": 199, "n_splits": 8}},
        lambda n, p, q: blocks(n, p),
        "a split's two standardised X blocks"),
    "two-block split_exact n-space (B=199, 8 splits)": (
        "pls3_confirmatory_test", (2000, 5000, 40),
        {"test_method": "split_exact", "args": {"n_perm": 199, "n_splits": 8}},
        lambda n, p, q: 3 * blocks(n // 2, n // 2) + blocks(n, split_width(n)),
        "a split's G and K, the product that adds a block to one of them, and a 2 MiB column "
        "block of each half of X"),
    "permutation null (k=1)": (
        "pls1_perm_null", (20000, 500), {"k": 1, "n_perm": 200},
        lambda n, p: 0,
        "rows are not batched: the call holds a standardised X and the n_perm x p rows"),
    "permutation null direct (k=3)": (
        "pls1_perm_null", (200, 5000), {"k": 3, "n_perm": 1000},
        lambda n, p: 16 * 15 * p * 8,
        "a group of 16 permutations fitted as one block: R, P and the models W, P of k=3"),
    "subsample intervals (k=2)": (
        "pls1_confirmatory_test", (20000, 500),
        {"k": 2, "test_method": "e", "ci": True, "n_boot": 100},
        blocks,
        "a draw's bootstrap block of n rows"),
    "rotation stability (k=3)": (
        "pls1_rotation_stability", (20000, 500), {"k": 3, "n_boot": 100, "m_rate": 0.9},
        lambda n, p: ceil8(int(np.ceil(n ** 0.9))) * p * 8,
        "a replicate's standardised subsample"),
    "CV folds (find_k, k_max=10)": (
        "pls1_find_k_optimal", (500000, 20), {"k_max": 10, "selector": "r2_max"},
        blocks,
        "the refill's two standardised blocks; the fast pass holds n-row vectors"),
}

# (budget, threads); "mid" is two and a half units of the route, so that a
# right estimate lets at most two units run at once.
CELLS = [("1", "1"), ("1", "8"), ("mid", "8"), ("2G", "1"), ("2G", "8")]


def status():
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                out[key] = int(value.split()[0]) * 1024
    return out


def cell(route):
    """One call in this process: the peak resident size the call adds."""
    from veltra import _veltra
    name, shape, more, _, _ = ROUTES[route]
    if len(shape) == 3:
        X, Y = data2(*shape)
        args = {"X": X, "Y": Y, "seed": 1, **more}
    else:
        X, y = data(*shape)
        args = {"X": X, "y": y, "seed": 1, **more}
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status()["VmRSS"]
    _veltra.call(name, args, lambda t, fields: fields)
    peak = status()["VmHWM"]
    print(json.dumps({"extra": peak - before}))


def run_cell(route, budget, threads):
    env = {**os.environ, "VELTRA_MEMORY_BUDGET": budget, "VELTRA_NUM_THREADS": threads}
    out = subprocess.run([sys.executable, __file__, "--cell", route], env=env, check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])["extra"]


def main(routes):
    print("MiB of peak extra memory; budget, threads")
    print("| route | X | unit | " + " | ".join(f"{b}, {t}" for b, t in CELLS) + " |")
    print("|---|---|---|" + "---|" * len(CELLS))
    for route in routes:
        _, shape, _, unit, _ = ROUTES[route]
        u = unit(*shape)
        cells = []
        for b, t in CELLS:
            if b == "mid" and u == 0:
                cells.append("-")
                continue
            extra = run_cell(route, str(int(2.5 * u)) if b == "mid" else b, t)
            cells.append(f"{extra / MiB:.0f}")
        shape_text = " x ".join(map(str, shape))
        print(f"| {route} | {shape_text} | {u / MiB:.0f} | " + " | ".join(cells) + " |", flush=True)


def reproducer():
    """The no-refit split-exact call at a 64 MiB budget, 1 to 8 threads."""
    route = "split_exact no-refit (k=1)"
    cells = [run_cell(route, "64M", t) / MiB for t in ("1", "2", "4", "8")]
    print(f"| {route}, budget 64M | " + " | ".join(f"{c:.0f}" for c in cells) + " |")


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--cell":
        cell(sys.argv[2])
    elif sys.argv[1:] == ["--reproducer"]:
        reproducer()
    else:
        main(sys.argv[1:] or list(ROUTES))
