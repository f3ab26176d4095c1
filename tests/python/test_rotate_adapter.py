"""rotate through call: a bare weight matrix, the RotateResult and
RotationSpec records, and the order of the checks."""

import numpy as np
import pytest

from helpers import Dataclasses, assert_fails, run

SPEC_FIELDS = ["method", "args", "R", "sweeps", "V_converged", "L_was_provided"]


def planar(theta):
    c, s = np.cos(theta), np.sin(theta)
    return np.array([[c, -s], [s, c]])


# Each row loads on one column only: varimax's optimum.
SIMPLE = np.array([[1.0, 0.0], [0.8, 0.0], [0.0, 1.0], [0.0, 0.7], [0.9, 0.0], [0.0, 0.6]])


def matches_up_to_signed_permutation(A, B, atol):
    for perm in ([0, 1], [1, 0]):
        P = B[:, perm]
        signs = np.sign(np.sum(A * P, axis=0))
        if np.allclose(A, P * signs, atol=atol):
            return True
    return False


@pytest.mark.parametrize("make_result", [lambda t, f: f, Dataclasses()], ids=["dict", "typed"])
def test_matrix_form_recovers_simple_structure(make_result):
    W = SIMPLE @ planar(0.5).T
    out = run("rotate", {"model_or_W": W}, make_result)
    rec = out if isinstance(out, dict) else vars(out)
    assert list(rec) == ["W_rot", "spec"]
    spec = rec["spec"] if isinstance(rec["spec"], dict) else vars(rec["spec"])
    if not isinstance(out, dict):
        assert type(out).__name__ == "RotateResult"
        assert type(rec["spec"]).__name__ == "RotationSpec"
    assert list(spec) == SPEC_FIELDS
    assert spec["method"] == "varimax"
    assert spec["args"] == {"max_iter": 50, "tol": 1e-8, "kaiser_normalize": True}
    assert type(spec["args"]) is dict
    assert spec["L_was_provided"] is False
    assert type(spec["sweeps"]) is int and spec["sweeps"] >= 1
    R = spec["R"]
    np.testing.assert_allclose(R.T @ R, np.eye(2), atol=1e-14)
    np.testing.assert_allclose(rec["W_rot"], W @ R, atol=1e-14)
    assert matches_up_to_signed_permutation(rec["W_rot"], SIMPLE, atol=1e-6)
    # The final criterion of the row-normalised weights (Kaiser), columns summed.
    H = rec["W_rot"] / np.linalg.norm(rec["W_rot"], axis=1, keepdims=True)
    m = H.shape[0]
    crit = np.sum((H**4).sum(axis=0) / m - ((H**2).sum(axis=0) / m) ** 2)
    assert spec["V_converged"] == pytest.approx(crit, rel=1e-9)


def test_options_and_l():
    W = SIMPLE @ planar(0.3).T
    out = run("rotate", {"model_or_W": W, "args": {"max_iter": 1, "tol": 0, "kaiser_normalize": False}})
    assert out["spec"]["args"] == {"max_iter": 1, "tol": 0.0, "kaiser_normalize": False}
    assert out["spec"]["sweeps"] <= 1
    # The rotation chosen on L is applied to W.
    L = SIMPLE @ planar(0.3).T
    W2 = np.arange(12.0).reshape(6, 2)
    with_l = run("rotate", {"model_or_W": W2, "L": L})
    assert with_l["spec"]["L_was_provided"] is True
    on_l = run("rotate", {"model_or_W": L})
    np.testing.assert_allclose(with_l["spec"]["R"], on_l["spec"]["R"], atol=1e-15)
    np.testing.assert_allclose(with_l["W_rot"], W2 @ with_l["spec"]["R"], atol=1e-12)


def test_matrix_form_checks_in_order():
    W = SIMPLE.copy()
    # Argument types first, before the first argument's kind.
    assert_fails("rotate", {"model_or_W": 5, "method": 3}, "invalid_argument",
                 "method must be a string, got 3")
    assert_fails("rotate", {"model_or_W": 5, "L": W[:, 0].copy()}, "invalid_argument",
                 "L must be 2-D, got 1-D")
    assert_fails("rotate", {"model_or_W": 5, "args": 5}, "invalid_argument",
                 "args must be a record of named values (a dict / named list), got 5")
    assert_fails("rotate", {"model_or_W": W[:, 0].copy()}, "invalid_argument",
                 "rotate() first arg must be a PLS1Result or a matrix, got a vector")
    assert_fails("rotate", {"model_or_W": "W"}, "invalid_argument",
                 'rotate() first arg must be a PLS1Result or a matrix, got the string "W"')
    # The method before its options.
    for method in ("Varimax", "quartimax"):
        assert_fails("rotate", {"model_or_W": W, "method": method, "args": {"bogus": 1}},
                     "rotation_method_not_implemented",
                     f"rotation method '{method}' is not implemented in this version")
    assert_fails("rotate", {"model_or_W": W, "args": {"maxiter": 10}}, "invalid_args",
                 "method='varimax' does not accept arg 'maxiter'; allowed: ['max_iter', 'tol', "
                 "'kaiser_normalize']")
    assert_fails("rotate", {"model_or_W": W, "args": {"tol": "small"}}, "invalid_args",
                 "args['tol'] for method='varimax' must be a number, got the string \"small\"")
    assert_fails("rotate", {"model_or_W": W, "args": {"max_iter": -1}}, "invalid_args",
                 "args['max_iter'] for method='varimax' must be a non-negative whole number, "
                 "got -1")
    # Then the core rotation.
    assert_fails("rotate", {"model_or_W": np.zeros((3, 0))}, "invalid_input",
                 "invalid input: W has K=0")
    bad = W.copy()
    bad[2, 1] = np.nan
    assert_fails("rotate", {"model_or_W": bad}, "invalid_input",
                 "invalid input: W contains non-finite values")
    assert_fails("rotate", {"model_or_W": W, "L": np.ones((6, 3))}, "shape_mismatch",
                 "shape mismatch: L.ncols=3 but W.ncols=2")


PLS1_FIELDS = [
    "T", "P", "W", "Q", "coef", "beta", "intercept", "k_used", "pre_standardized", "weights",
    "n_eff", "rotation_spec", "selection_result", "keep",
]


@pytest.fixture(scope="module")
def fitted():
    rng = np.random.default_rng(8)
    n, p = 50, 12
    latent = rng.normal(size=(n, 3))
    X = latent @ rng.normal(size=(3, p)) + 0.4 * rng.normal(size=(n, p)) + 2.0
    y = latent @ np.array([1.0, 0.5, -0.8]) + 0.1 * rng.normal(size=n)
    return X, y


@pytest.mark.parametrize("make_result", [lambda t, f: f, Dataclasses()], ids=["dict", "typed"])
def test_model_form_rotates_scores_loadings_and_y_loadings(fitted, make_result):
    X, y = fitted
    model = run("pls1_fit", {"X": X, "y": y, "k": 3}, make_result)
    out = run("rotate", {"model_or_W": model}, make_result)
    typed = not isinstance(out, dict)
    before = vars(model) if typed else model
    after = vars(out) if typed else out
    if typed:
        assert type(out).__name__ == "PLS1Result"
        assert type(after["rotation_spec"]).__name__ == "RotationSpec"
    assert list(after) == PLS1_FIELDS
    spec = vars(after["rotation_spec"]) if typed else after["rotation_spec"]
    assert list(spec) == SPEC_FIELDS and spec["L_was_provided"] is False
    R = spec["R"]
    np.testing.assert_allclose(R.T @ R, np.eye(3), atol=1e-14)
    np.testing.assert_allclose(after["W"], before["W"] @ R, atol=1e-13)
    np.testing.assert_allclose(after["T"], before["T"] @ R, atol=1e-12)
    np.testing.assert_allclose(after["P"], before["P"] @ R, atol=1e-13)
    np.testing.assert_allclose(after["Q"], R.T @ before["Q"], atol=1e-13)
    np.testing.assert_allclose(after["T"] @ after["Q"], before["T"] @ before["Q"], atol=1e-11)
    # The same rotation as of the bare weights.
    bare = run("rotate", {"model_or_W": before["W"]})
    np.testing.assert_array_equal(bare["spec"]["R"], R)
    for key in ("coef", "beta", "intercept", "k_used", "pre_standardized", "weights", "n_eff",
                "selection_result", "keep"):
        np.testing.assert_array_equal(after[key], before[key])
    # A rotated model predicts as the model it came from.
    p0 = run("pls1_predict", {"model": model, "X_new": X})
    p1 = run("pls1_predict", {"model": out, "X_new": X})
    np.testing.assert_array_equal(p0, p1)
    # And cannot be rotated again.
    assert_fails("rotate", {"model_or_W": out}, "already_rotated",
                 "model already has a rotation_spec; re-rotation is not supported")


def test_model_form_keeps_only_the_record_fields(fitted):
    X, y = fitted
    model = run("pls1_fit", {"X": X, "y": y, "k": 2})
    given = {k: v for k, v in model.items() if k not in ("weights", "keep", "rotation_spec")}
    given["note"] = "dropped"
    given["selection_result"] = {"kept": [1, 2]}
    out = run("rotate", {"model_or_W": given, "L": model["P"]})
    assert list(out) == PLS1_FIELDS
    assert out["weights"] is None and out["keep"] is None
    assert out["selection_result"] == {"kept": [1, 2]}
    assert out["rotation_spec"]["L_was_provided"] is True
    # A null rotation_spec is no rotation.
    again = run("rotate", {"model_or_W": {**model, "rotation_spec": None}})
    assert again["rotation_spec"]["method"] == "varimax"


def test_model_form_checks_in_order(fitted):
    X, y = fitted
    model = run("pls1_fit", {"X": X, "y": y, "k": 2})
    two_block = Dataclasses()("PLS3Result", {"U": np.ones((4, 1))})
    assert_fails("rotate", {"model_or_W": two_block}, "invalid_argument",
                 "rotate() first arg must be a PLS1Result, got a PLS3Result")
    # already_rotated comes before the fields are read.
    assert_fails("rotate", {"model_or_W": {"rotation_spec": {"method": "varimax"}}},
                 "already_rotated",
                 "model already has a rotation_spec; re-rotation is not supported")
    assert_fails("rotate", {"model_or_W": {}}, "invalid_argument", "model is missing field 'T'")
    assert_fails("rotate", {"model_or_W": {**model, "W": None}, "method": "quartimax"},
                 "invalid_argument", "model field 'W' is null")
    # The shape checks, before the method and its options are looked at.
    shapes = [
        ({**model, "T": model["T"][:, :1].copy()}, "model field 'T' has 1 columns, W has 2"),
        ({**model, "P": model["P"][:, :1].copy()}, "model field 'P' has 1 columns, W has 2"),
        ({**model, "P": model["P"][:5].copy()}, "model field 'P' has 5 rows, W has 12 rows"),
        ({**model, "Q": model["Q"][:1].copy()}, "model field 'Q' has length 1, W has 2"),
    ]
    for bad, message in shapes:
        assert_fails("rotate", {"model_or_W": bad, "method": "quartimax", "args": {"x": 1}},
                     "invalid_argument", message)
    assert_fails("rotate", {"model_or_W": model, "method": "quartimax", "args": {"x": 1}},
                 "rotation_method_not_implemented",
                 "rotation method 'quartimax' is not implemented in this version")
    assert_fails("rotate", {"model_or_W": model, "args": {"x": 1}}, "invalid_args",
                 "method='varimax' does not accept arg 'x'; allowed: ['max_iter', 'tol', "
                 "'kaiser_normalize']")
    assert_fails("rotate", {"model_or_W": model, "L": np.ones((12, 3))}, "shape_mismatch",
                 "shape mismatch: L.ncols=3 but W.ncols=2")
