"""pls1_perm_null through call: the column statistics against NumPy on the
returned matrix (on the direct, n-space and p-space routes) and the defaults.
The seeds, threads and budgets are the C++ tests' business."""

import numpy as np

from helpers import run


def data(n, p, seed):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, p)) + rng.uniform(-2, 2, size=p)
    return X, X[:, 0] - X[:, 1] + rng.normal(size=n), rng.uniform(0.5, 2.0, size=n)


def perm_null(X, y, k, **more):
    return run("pls1_perm_null", {"X": X, "y": y, "k": k, "seed": 11, **more})


def test_statistics_are_numpys_on_the_returned_matrix():
    # direct, n-space, p-space (weighted)
    for n, p, k, n_perm, weighted in [(60, 8, 2, 200, False), (40, 300, 1, 200, False),
                                      (1000, 20, 2, 1000, True)]:
        X, y, w = data(n, p, n + p)
        more = {"weights": w} if weighted else {}
        out = perm_null(X, y, k, n_perm=n_perm, return_perm_matrix=True, **more)
        M = out["beta_perm_matrix"]
        assert M.shape == (n_perm, p) and np.isfinite(M).all()
        sd = M.std(axis=0, ddof=1)
        np.testing.assert_allclose(out["beta_perm_mean"], M.mean(axis=0), rtol=1e-12, atol=1e-15)
        np.testing.assert_allclose(out["beta_perm_sd"], sd, rtol=1e-12)
        np.testing.assert_allclose(out["beta_perm_z"], out["beta_ref"] / sd, rtol=1e-12)
        # The permuted responses carry no signal: the null is centred near 0.
        assert np.all(np.abs(out["beta_perm_mean"]) < 4 * sd / np.sqrt(n_perm) + 1e-12)


def test_defaults():
    X, y, _ = data(30, 4, 2)
    out = perm_null(X, y, 1)
    assert list(out) == ["n_perm", "k", "seed", "beta_ref", "beta_perm_mean", "beta_perm_sd",
                         "beta_perm_z", "beta_perm_matrix", "n_eff"]
    assert (out["n_perm"], out["k"], out["seed"], out["beta_perm_matrix"], out["n_eff"]) == \
        (1000, 1, 11, None, 30.0)


def test_spreads_of_huge_and_tiny_responses_are_those_of_the_scaled_problem():
    rng = np.random.default_rng(3)
    X = rng.standard_normal((30, 4))
    y = X[:, 0] + 0.5 * rng.standard_normal(30)
    for scale in (1e154, 1e-154):
        out = perm_null(X, y * scale, 1, n_perm=100, pre_standardized=True, return_perm_matrix=True)
        M = out["beta_perm_matrix"] / scale
        np.testing.assert_allclose(out["beta_perm_sd"] / scale, M.std(axis=0, ddof=1), rtol=1e-12)
        np.testing.assert_allclose(out["beta_perm_mean"] / scale, M.mean(axis=0), rtol=1e-12)
        if scale > 1:  # below 2^-26 a spread gives no z by definition
            assert np.all(np.abs(out["beta_perm_z"]) > 0.1)


def test_statistics_of_a_column_of_subnormal_coefficients_are_numpys():
    rng = np.random.default_rng(0)
    u = rng.standard_normal(20)
    X = np.column_stack([1e105 * u, 1e-112 * rng.standard_normal(20), rng.standard_normal(20)])
    y = u + rng.standard_normal(20)
    out = run("pls1_perm_null", {"X": X, "y": y, "k": 1, "n_perm": 100, "pre_standardized": True,
                                 "return_perm_matrix": True, "seed": 1})
    c = out["beta_perm_matrix"][:, 1]
    assert np.isfinite(c).all() and 0 < np.abs(c).max() < 2.0**-1022
    # NumPy's squares of subnormals underflow: its spread is taken on the
    # column times 2^1074 (exact) and brought back by 2^-537 twice, of which
    # only the second rounds.
    sd = (c * 2.0**537 * 2.0**537).std(ddof=1) * 2.0**-537 * 2.0**-537
    assert out["beta_perm_mean"][1] == c.mean()
    np.testing.assert_allclose(out["beta_perm_sd"][1], sd, rtol=0, atol=2.0**-1074)
    assert out["beta_perm_sd"][1] > 0
