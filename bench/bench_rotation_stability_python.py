"""Speed of pls1_rotation_stability(n_boot=1000) through the public `call`,
as a ratio to one pls1_fit with the same k on the same data, measured in one
run.

Shapes: a tall 2000 x 200 X and a wide 200 x 5000 X, k = 3, m_rate 0.7 (so
a replicate fits on 205 and 41 rows); each replicate standardises its rows,
fits, aligns, turns and rotates. Every time is the best of a few
repetitions; nothing is asserted.

    python3 bench/bench_rotation_stability_python.py
"""

from bench_timing import against_one_fit, print_threads


def main():
    print_threads()
    for n, p in [(2000, 200), (200, 5000)]:
        out = against_one_fit("pls1_rotation_stability", "n_boot", "replicate", n, p, 3)
        print(f"  m = {out['m']}, {out['n_boot_finite']} finite replicates, "
              f"variance ratio {out['variance_ratio']['point']:.3f}")


if __name__ == "__main__":
    main()
