"""preprocess through call: which engine form a Y selects, the eight fields
of PreprocessResult and when each is null, the order of the argument checks."""

import numpy as np
import pytest

from helpers import Dataclasses, assert_fails, run

FIELDS = ["X_std", "X_mean", "X_scale", "Y_std", "Y_mean", "Y_scale", "weights_normalized",
          "n_eff"]


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(5)
    X = rng.normal(size=(12, 3)) * [1.0, 10.0, 0.1] + [0.0, 5.0, -2.0]
    y = rng.normal(size=12) * 3.0 + 1.0
    w = rng.uniform(0.2, 2.0, size=12)
    return X, y, w


def weighted_standardized(A, w):
    """Weighted mean and variance with divisor n, weights rescaled to mean one."""
    A = np.asarray(A, dtype=float)
    w = np.asarray(w, dtype=float)
    w = w * len(w) / w.sum()
    mean = (w[:, None] * A).sum(axis=0) / len(w) if A.ndim == 2 else (w * A).sum() / len(w)
    dev = A - mean
    var = (w[:, None] * dev**2).sum(axis=0) / len(w) if A.ndim == 2 else (w * dev**2).sum() / len(w)
    scale = np.sqrt(var)
    return dev / scale, mean, scale


def test_no_arguments_gives_every_field_null():
    result = run("preprocess", {})
    assert list(result) == FIELDS
    assert all(v is None for v in result.values())


def test_typed_record():
    result = run("preprocess", {"weights": [1, 1, 2]}, Dataclasses())
    assert type(result).__name__ == "PreprocessResult"
    assert list(vars(result)) == FIELDS


def test_weights_only():
    result = run("preprocess", {"weights": np.array([1.0, 3.0])})
    assert [result[k] for k in FIELDS[:6]] == [None] * 6
    np.testing.assert_allclose(result["weights_normalized"], [0.5, 1.5], rtol=1e-15)
    assert result["n_eff"] == pytest.approx(16 / 10, rel=1e-15)


def test_x_and_vector_y_with_weights(data):
    X, y, w = data
    result = run("preprocess", {"X": X, "Y": y, "weights": w})
    assert list(result) == FIELDS
    Xs, xm, xs = weighted_standardized(X, w)
    ys, ym, ysc = weighted_standardized(y, w)
    np.testing.assert_allclose(result["X_std"], Xs, rtol=1e-12, atol=1e-13)
    np.testing.assert_allclose(result["X_mean"], xm, rtol=1e-13)
    np.testing.assert_allclose(result["X_scale"], xs, rtol=1e-13)
    assert result["Y_std"].shape == (12,)
    np.testing.assert_allclose(result["Y_std"], ys, rtol=1e-12, atol=1e-13)
    assert type(result["Y_mean"]) is float and type(result["Y_scale"]) is float
    assert result["Y_mean"] == pytest.approx(ym, rel=1e-13)
    assert result["Y_scale"] == pytest.approx(ysc, rel=1e-13)
    np.testing.assert_allclose(result["weights_normalized"], w * 12 / w.sum(), rtol=1e-14)
    assert result["n_eff"] == pytest.approx(w.sum() ** 2 / (w**2).sum(), rel=1e-13)


def test_matrix_y_selects_the_block_form(data):
    X, y, _ = data
    Y = np.column_stack([y, 2 * y + 1])
    result = run("preprocess", {"X": X, "Y": Y})
    Ys = (Y - Y.mean(axis=0)) / Y.std(axis=0)
    assert result["Y_std"].shape == (12, 2)
    np.testing.assert_allclose(result["Y_std"], Ys, rtol=1e-12, atol=1e-13)
    np.testing.assert_allclose(result["Y_mean"], Y.mean(axis=0), rtol=1e-13)
    np.testing.assert_allclose(result["Y_scale"], Y.std(axis=0), rtol=1e-13)
    assert result["weights_normalized"] is None and result["n_eff"] is None

    # One column: still the block form, so a matrix and vectors of one.
    one = run("preprocess", {"Y": y[:, None]})
    assert one["Y_std"].shape == (12, 1)
    assert one["Y_mean"].shape == (1,) and one["Y_scale"].shape == (1,)
    assert [one[k] for k in FIELDS[:3]] == [None] * 3
    vec = run("preprocess", {"Y": y})
    np.testing.assert_allclose(one["Y_std"][:, 0], vec["Y_std"], rtol=0, atol=0)


def test_other_y_forms_become_vectors():
    assert run("preprocess", {"Y": 3.0})["Y_std"].shape == (1,)
    assert run("preprocess", {"Y": 3.0})["Y_mean"] == 3.0
    ints = run("preprocess", {"Y": [1, 2, 3]})
    np.testing.assert_allclose(ints["Y_std"], (np.arange(1, 4) - 2) / np.sqrt(2 / 3), rtol=1e-14)


def test_argument_checks_in_order(data):
    X, y, _ = data
    assert_fails("preprocess", {"X": y, "Y": {"a": 1}, "weights": "w"}, "invalid_argument",
                 "X must be 2-D, got 1-D")
    # Y is converted after weights has been read.
    assert_fails("preprocess", {"Y": {"a": 1}, "weights": "w"}, "invalid_argument",
                 'weights must be a numeric vector, got the string "w"')
    assert_fails("preprocess", {"Y": {"a": 1}}, "invalid_argument",
                 "Y must be a numeric vector, got a record")
    assert_fails("preprocess", {"Y": "y"}, "invalid_argument",
                 'Y must be a numeric vector, got the string "y"')


def test_engine_checks(data):
    X, y, w = data
    assert_fails("preprocess", {"X": X, "Y": y[:-1]}, "dimension_mismatch",
                 "dimension mismatch: X has shape (12, 3), y has length 11")
    exc = assert_fails("preprocess", {"X": X, "weights": w[:-1]}, "invalid_weights",
                       "invalid weights: length_mismatch")
    assert exc.reason == "length_mismatch"
    bad = X.copy()
    bad[0, 0] = np.inf
    assert_fails("preprocess", {"X": bad, "Y": y[:, None]}, "non_finite_input",
                 "non-finite values in input")


def test_row_major_and_column_major_x_agree(data):
    X, y, w = data
    a = run("preprocess", {"X": np.ascontiguousarray(X), "weights": w})
    b = run("preprocess", {"X": np.asfortranarray(X), "weights": w})
    for key in ("X_std", "X_mean", "X_scale"):
        np.testing.assert_array_equal(a[key], b[key])
