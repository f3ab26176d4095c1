"""Reference score statistics for tests/resample/test_e_score.cpp.

Run with NumPy and SciPy: python3 tests/data/score_reference.py. The designs
are formulas, so the C++ test rebuilds them; it checks T and the p-value of
the Satterthwaite chi-square printed here.
"""
import numpy as np
from scipy.stats import chi2


def design(n, p, weighted):
    i = np.arange(n)[:, None]
    j = np.arange(p)[None, :]
    x = np.sin(1.3 * i + 0.7 * j**2 + 0.1)
    y = np.cos(0.9 * np.arange(n)) + 0.3 * x[:, 0]
    w = 1 + 0.5 * np.sin(np.arange(n)) if weighted else np.ones(n)
    return x, y, w * n / w.sum()


def score(x, y, w):
    n = len(y)
    mean = (w[:, None] * x).sum(0) / n
    scale = np.sqrt((w[:, None] * (x - mean) ** 2).sum(0) / n)
    ym = (w * y).sum() / n
    ys = np.sqrt((w * (y - ym) ** 2).sum() / n)
    z = (x - mean) / scale * np.sqrt(w)[:, None]
    yt = (y - ym) / ys * np.sqrt(w)
    t = ((z.T @ yt) ** 2).sum()
    lam = np.linalg.eigvalsh(z.T @ z)
    s1, s2 = lam.sum(), (lam**2).sum()
    g, nu = s2 / s1, s1**2 / s2
    return t, chi2.sf(t / g, nu)


for n, p, weighted in [(30, 5, False), (30, 5, True), (8, 20, False)]:
    t, pv = score(*design(n, p, weighted))
    print(f"{{{n}, {p}, {str(weighted).lower()}, {float(t)!r}, {float(pv)!r}}},")
