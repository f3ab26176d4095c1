"""split_nb_gate through call: the stable rank, n_eff and firing against
NumPy, and every argument message in order."""

import numpy as np
import pytest

from helpers import assert_fails, run


def gate_reference(X, w=None):
    """Stable rank of X standardised with divisor n (weighted), and n_eff."""
    n = X.shape[0]
    wn = np.ones(n) if w is None else w * n / w.sum()
    mean = wn @ X / n
    Z = (X - mean) / np.sqrt(wn @ (X - mean) ** 2 / n)
    s = np.linalg.svd(Z, compute_uv=False)
    uniform = np.all(np.abs(wn - 1) <= 1e-12)
    n_eff = float(n) if uniform else w.sum() ** 2 / (w**2).sum()
    return (s**2).sum() / s[0] ** 2, n_eff


@pytest.mark.parametrize("n, p, weighted", [(60, 8, False), (60, 8, True), (20, 300, False), (20, 300, True)])
def test_gate_against_numpy(n, p, weighted):
    rng = np.random.default_rng(n + p)
    X = rng.normal(size=(n, 2)) @ rng.normal(size=(2, p)) + 0.5 * rng.normal(size=(n, p)) + 40.0
    w = rng.uniform(0.2, 3.0, size=n) if weighted else None
    out = run("split_nb_gate", {"X": X, "weights": w})
    assert list(out) == ["fires", "stable_rank", "n_eff"]
    rank, n_eff = gate_reference(X, w)
    assert out["stable_rank"] == pytest.approx(rank, rel=1e-10)
    assert out["n_eff"] == pytest.approx(n_eff, rel=1e-12)
    assert out["fires"] == (n_eff < 25 or rank < 3 or p < 5)


def test_argument_messages_in_order():
    X = np.ones((30, 6))
    X[:, 0] = np.arange(30.0)
    nan_X = X.copy()
    nan_X[2, 3] = np.nan
    cases = [
        ({"weights": np.ones(30)}, "invalid_argument", "split_nb_gate() missing required argument 'X'"),
        ({"X": np.ones(30)}, "invalid_argument", "X must be 2-D, got 1-D"),
        ({"X": X, "weights": "w"}, "invalid_argument", 'weights must be a numeric vector, got the string "w"'),
        ({"X": nan_X, "weights": np.zeros(30)}, "non_finite_input", "non-finite values in input"),
        ({"X": X, "weights": np.ones(29)}, "invalid_weights", "invalid weights: length_mismatch"),
        ({"X": X, "weights": np.r_[-1.0, np.ones(29)]}, "invalid_weights", "invalid weights: negative"),
        ({"X": X, "weights": np.zeros(30)}, "invalid_weights", "invalid weights: all_zero"),
        ({"X": X, "y": np.ones(30)}, "invalid_argument", "split_nb_gate() got an unexpected argument 'y'"),
    ]
    for arguments, code, message in cases:
        assert_fails("split_nb_gate", arguments, code, message)
