"""What the Python benchmarks share: the timer and the result maker."""

import os
import time


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
