"""Reference dual coefficients for tests/resample/test_multi_k.cpp.

Run with NumPy: python3 tests/data/nspace_reference.py. The design is a
formula, so the C++ test rebuilds it; it checks the n-space kernel's alpha at
k = 2 and 3 against the alpha printed here: NIPALS PLS1 with explicit
deflation of Z and y gives beta, and alpha = pinv(Z Z') Z beta is the one
dual vector with Z' alpha = beta orthogonal to the constant rows.
"""
import numpy as np


def design(n=12, p=40):
    i = np.arange(n)[:, None]
    j = np.arange(p)[None, :]
    x = np.sin(1.3 * i * j + 0.7 * j**2 + 0.1 * i)
    y = np.cos(0.9 * np.arange(n)) + 0.3 * x[:, 0]
    z = (x - x.mean(0)) / x.std(0)
    return z, (y - y.mean()) / y.std()


def nipals_beta(z, y, k):
    W, P, Q = [], [], []
    for _ in range(k):
        w = z.T @ y
        w /= np.linalg.norm(w)
        t = z @ w
        tt = t @ t
        P.append(z.T @ t / tt)
        Q.append(y @ t / tt)
        W.append(w)
        z = z - np.outer(t, P[-1])
        y = y - Q[-1] * t
    W, P = np.array(W).T, np.array(P).T
    return W @ np.linalg.solve(P.T @ W, np.array(Q))


z, y = design()
for k in (2, 3):
    alpha = np.linalg.pinv(z @ z.T) @ z @ nipals_beta(z, y, k)
    print(f"k = {k}:", ", ".join(repr(float(a)) for a in alpha))
