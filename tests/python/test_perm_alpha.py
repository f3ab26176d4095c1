"""pls1_perm_alpha through call: the one-component dual coefficients against
their closed form, and every Gram-content check in its order."""

import math

import numpy as np

from helpers import assert_fails, run

EPS = 2.0**-52


def fmt_e(x):
    """A real as the messages print it: shortest digits, bare exponent."""
    return np.format_float_scientific(x, unique=True, trim="-", exp_digits=1).replace("+", "")


def alpha(gram, Y, n_features, **more):
    return run("pls1_perm_alpha", {"gram": gram, "Y": Y, "n_features": n_features, **more})


def test_one_component_matches_the_closed_form():
    rng = np.random.default_rng(8)
    X = rng.normal(size=(30, 3)) @ rng.normal(size=(3, 60)) + rng.normal(size=(30, 60))
    Xc = (X - X.mean(axis=0)) / X.std(axis=0)
    G = Xc @ Xc.T
    G[0, 1] = np.nextafter(G[0, 1], np.inf)  # one unit in the last place from symmetric
    Y = np.column_stack([X[:, 0] + rng.normal(size=30), rng.normal(size=(30, 3)),
                         np.full(30, 4.0)])
    out = alpha(G, Y, 60)
    assert list(out) == ["alpha", "k_used", "resolved", "k", "n_features"]
    assert (out["k"], out["n_features"], out["k_used"]) == (1, 60, [1, 1, 1, 1, 0])
    assert out["resolved"] == [True] * 5 and not out["alpha"][:, 4].any()  # constant column: zero
    for j in range(4):
        yt = (Y[:, j] - Y[:, j].mean()) / Y[:, j].std()
        Gy = G @ yt
        np.testing.assert_allclose(out["alpha"][:, j], (yt @ Gy) / (Gy @ Gy) * yt, rtol=1e-11)
    # The largest n_features passes its check; allowances that large resolve nothing.
    assert alpha(G, Y, 1 << 53)["resolved"] == [False] * 4 + [True]
    assert np.isnan(alpha(G, Y, 1 << 53)["alpha"][:, 0]).all()
    zero = alpha(np.zeros((3, 3)), np.ones((3, 2)), 2)
    assert (zero["k_used"], zero["resolved"], zero["alpha"].any()) == ([0, 0], [True, True], False)
    empty = alpha(G, Y[:, :0], 60)
    assert (empty["alpha"].shape, empty["k_used"], empty["resolved"]) == ((30, 0), [], [])


def test_gram_content_checks_in_order():
    tau = 8 * EPS * (2 + 1)
    uncentred = np.array([[0.5, 0.5], [0.6, 0.4], [0.7, 0.5]])
    U = uncentred @ uncentred.T
    row_bound = math.sqrt(2) * 3 * (1e6 * 3 + 2 * 3 + 2 + 2) * 4 * EPS * math.sqrt(U[0, 0])
    big = 10.0 * (np.eye(3) - 1.0 / 3.0)
    cases = [
        ([[1.0, 9, 0], [0, -1, 0], [0, 0, -2]],
         "gram[1, 1] = -1e0 is negative; the diagonal of a Gram matrix is a sum of squares"),
        ([[1.0, -1, 9], [-0.5, 1, 0], [9, 0, 1]],
         "gram is not symmetric: gram[1, 0] and gram[0, 1] differ by 5e-1, more than the rounding "
         f"of a Gram matrix allows ({fmt_e(tau)})"),
        ([[1.0, 2, 0], [2, 1, 0], [0, 0, 1]],
         "|gram[1, 0]| = 2e0 exceeds sqrt(gram[1, 1] * gram[0, 0]) = 1e0 by more than the "
         f"rounding of a Gram matrix allows (bound {fmt_e(1.0 * (1 + tau) * 1.0)}): gram is not "
         "the Gram matrix of real columns"),
        (big, f"trace(gram) = {fmt_e(sum(np.diag(big)))} exceeds n * n_features = 6e0 by more than "
         "rounding: the columns summed into gram have sums of squares above n, or n_features is "
         "smaller than the number of columns summed into gram"),
        (U, f"row 0 of gram sums to {fmt_e(sum(U[0]))}, more than rounding allows "
         f"({fmt_e(row_bound)}): gram must be the Gram matrix of centred columns"),
    ]
    for gram, message in cases:
        args = {"gram": np.array(gram), "Y": np.ones((3, 1)), "n_features": 2}
        assert_fails("pls1_perm_alpha", args, "invalid_input", "invalid input: " + message)
