"""Speed of pls1_perm_null(n_perm=1000) through the public `call`, as a ratio
to one pls1_fit with the same k on the same data, measured in one run.

Shapes: a tall 2000 x 200 X (the p-space Gram route: one X'X, then each
permutation refits from it) and a wide 200 x 5000 X (the direct route: each
permutation refits from the standardised X), both with k = 3. Every time is
the best of a few repetitions; nothing is asserted.

    python3 bench/bench_perm_null_python.py
"""

from bench_timing import against_one_fit, print_threads


def main():
    print_threads()
    for n, p in [(2000, 200), (200, 5000)]:
        against_one_fit("pls1_perm_null", "n_perm", "permutation", n, p, 3)


if __name__ == "__main__":
    main()
