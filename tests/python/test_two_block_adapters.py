"""pls3_fit, plssvd_fit, spls3_fit, pls3_transform and plssvd_transform
through call: argument checks in their order, the PLS3Result record, its
round trip through the transform, and the singular vectors against
scikit-learn's PLSSVD."""

import numpy as np
import pytest

from helpers import Dataclasses, assert_fails, failure, plain, run

PLS3_FIELDS = [
    "U", "V", "singular_values", "x_scores", "y_scores", "X_mean", "X_scale", "Y_mean",
    "Y_scale", "k_used", "pre_standardized_X", "pre_standardized_Y", "keep_X", "keep_Y",
    "converged", "n_iter",
]

WEIGHTS_REFUSED = (
    "invalid argument: observation weights are not implemented for pls3_fit; pass weights=None. "
    "The weighted PLS3 path row-scales (X, Y) by \u221aw before forming X'Y and is not "
    "implemented yet across the PLS2/PLS3 family."
)
PLS1_HINT = "Y must be 2-D, got 1-D. A single-column outcome is a PLS1 problem \u2014 use pls1_fit."


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(11)
    n, p, q = 40, 6, 4
    latent = rng.normal(size=(n, 2))
    X = latent @ rng.normal(size=(2, p)) + 0.5 * rng.normal(size=(n, p)) + 3.0
    Y = latent @ rng.normal(size=(2, q)) + 0.5 * rng.normal(size=(n, q)) - 1.0
    return X, Y


def standardized(A):
    # Divisor n, as the library standardises.
    return (A - A.mean(axis=0)) / A.std(axis=0)


def assert_same_up_to_sign(a, b, rtol=1e-10):
    assert a.shape == b.shape
    for j in range(a.shape[1]):
        s = np.sign(a[:, j] @ b[:, j])
        np.testing.assert_allclose(a[:, j], s * b[:, j], rtol=rtol, atol=1e-12)


def test_dense_fit_record(data):
    X, Y = data
    fit = run("pls3_fit", {"X": X, "Y": Y, "k": 3})
    assert list(fit) == PLS3_FIELDS
    assert fit["k_used"] == 3
    assert fit["pre_standardized_X"] is False and fit["pre_standardized_Y"] is False
    assert [fit[f] for f in ("keep_X", "keep_Y", "converged", "n_iter")] == [None] * 4
    # Against a plain SVD of the cross covariance of the standardised blocks.
    Xs, Ys = standardized(X), standardized(Y)
    u, s, vt = np.linalg.svd(Xs.T @ Ys)
    np.testing.assert_allclose(fit["singular_values"], s[:3], rtol=1e-12)
    assert_same_up_to_sign(fit["U"], u[:, :3])
    assert_same_up_to_sign(fit["V"], vt.T[:, :3])
    np.testing.assert_allclose(fit["x_scores"], Xs @ fit["U"], rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(fit["y_scores"], Ys @ fit["V"], rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(fit["X_mean"], X.mean(axis=0), rtol=1e-13)
    np.testing.assert_allclose(fit["X_scale"], X.std(axis=0), rtol=1e-13)
    np.testing.assert_allclose(fit["Y_scale"], Y.std(axis=0), rtol=1e-13)


def test_pls3_and_plssvd_are_the_same_function(data):
    X, Y = data
    a = run("pls3_fit", {"X": X, "Y": Y, "k": 2})
    b = run("plssvd_fit", {"X": X, "Y": Y, "k": 2})
    assert list(a) == list(b)
    for key in a:
        np.testing.assert_array_equal(a[key], b[key])


def test_singular_vectors_match_scikit_learn_plssvd():
    sklearn = pytest.importorskip("sklearn")
    from sklearn.cross_decomposition import PLSSVD
    from sklearn.datasets import load_linnerud

    del sklearn
    X, Y = load_linnerud(return_X_y=True)
    X = np.asarray(X, dtype=float)
    Y = np.asarray(Y, dtype=float)
    fit = run("plssvd_fit", {"X": X, "Y": Y, "k": 2})
    ref = PLSSVD(n_components=2, scale=True).fit(X, Y)
    # scikit-learn scales by the sd with divisor n - 1: one common factor for
    # every column, which leaves the singular vectors unchanged.
    assert_same_up_to_sign(fit["U"], ref.x_weights_, rtol=1e-9)
    assert_same_up_to_sign(fit["V"], ref.y_weights_, rtol=1e-9)
    # Scores differ from scikit-learn's by exactly that factor.
    n = X.shape[0]
    x_scores_ref = ref.transform(X) * np.sqrt(n / (n - 1))
    assert_same_up_to_sign(fit["x_scores"], x_scores_ref, rtol=1e-9)


def test_response_must_be_a_matrix(data):
    X, Y = data
    n = X.shape[0]
    for name in ("pls3_fit", "plssvd_fit", "spls3_fit"):
        extra = {"k": 1, "keep_X": 2, "keep_Y": 2} if name == "spls3_fit" else {}
        cases = [
            (Y[:, 0].copy(), PLS1_HINT),
            (list(range(n)), PLS1_HINT),
            ([True] * n, "Y must be a numeric matrix, got a list"),
            (np.ones(n, dtype=bool), PLS1_HINT),
            (2.5, "Y must be 2-D, got 0-D"),
            ("Y", 'Y must be a numeric matrix, got the string "Y"'),
            ({"a": 1}, "Y must be a numeric matrix, got a record"),
        ]
        for value, message in cases:
            assert_fails(name, {"X": X, "Y": value, **extra}, "invalid_argument", message)
    # One column is still a block.
    fit = run("pls3_fit", {"X": X, "Y": Y[:, :1]})
    assert fit["V"].shape == (1, 1)


def test_dense_fit_argument_order(data):
    X, Y = data
    bad = {
        "X": X[:, 0].copy(),
        "Y": Y[:, 0].copy(),
        "k": 2.5,
        "pre_standardized_X": 1,
        "pre_standardized_Y": "no",
        "weights": "w",
    }
    messages = [
        "X must be 2-D, got 1-D",
        PLS1_HINT,
        "k must be a non-negative whole number, got 2.5",
        "pre_standardized_X must be a bool, got 1",
        'pre_standardized_Y must be a bool, got the string "no"',
        'weights must be a numeric vector, got the string "w"',
    ]
    good = {"X": X, "Y": Y, "k": 1, "pre_standardized_X": False, "pre_standardized_Y": False,
            "weights": None}
    for i, key in enumerate(bad):
        arguments = {**good, **{k: bad[k] for k in list(bad)[i:]}}
        for name in ("pls3_fit", "plssvd_fit"):
            assert_fails(name, arguments, "invalid_argument", messages[i])


def test_dense_fit_engine_checks(data):
    X, Y = data
    n = X.shape[0]
    for name in ("pls3_fit", "plssvd_fit"):
        # The engine's refusal names pls3_fit under either name.
        exc = assert_fails(name, {"X": X, "Y": Y, "weights": np.ones(n)}, "invalid_argument",
                           WEIGHTS_REFUSED)
        assert exc.code == "invalid_argument"
        assert_fails(name, {"X": X, "Y": Y[:-1]}, "dimension_mismatch",
                     f"dimension mismatch: X has shape ({n}, 6), y has length {n - 1}")
        assert_fails(name, {"X": X, "Y": Y, "k": 0}, "invalid_argument",
                     "invalid argument: k must be >= 1")
        assert_fails(name, {"X": X, "Y": Y, "k": 5}, "k_exceeds_max", "k=5 exceeds maximum 4")
        Xn = X.copy()
        Xn[3, 2] = np.nan
        assert_fails(name, {"X": Xn, "Y": Y}, "non_finite_input", "non-finite values in input")


def test_pre_standardized_blocks_are_used_as_given(data):
    X, Y = data
    Xs, Ys = standardized(X), standardized(Y)
    fit = run("pls3_fit", {"X": Xs, "Y": Ys, "k": 2, "pre_standardized_X": True,
                           "pre_standardized_Y": True})
    assert fit["pre_standardized_X"] is True and fit["pre_standardized_Y"] is True
    u, s, vt = np.linalg.svd(Xs.T @ Ys)
    np.testing.assert_allclose(fit["singular_values"], s[:2], rtol=1e-12)


def test_sparse_fit(data):
    X, Y = data
    p, q = X.shape[1], Y.shape[1]
    fit = run("spls3_fit", {"X": X, "Y": Y, "k": 2, "keep_X": 3, "keep_Y": 2})
    assert list(fit) == PLS3_FIELDS
    assert (fit["keep_X"], fit["keep_Y"]) == (3, 2)
    assert all(type(c) is bool for c in fit["converged"])
    # Without max_iter the alternation stops within 100 steps.
    assert all(type(i) is int and 1 <= i <= 100 for i in fit["n_iter"])
    assert all(np.count_nonzero(fit["U"][:, j]) <= 3 for j in range(2))
    assert all(np.count_nonzero(fit["V"][:, j]) <= 2 for j in range(2))
    # A cap of one step shows in n_iter.
    capped = run("spls3_fit", {"X": X, "Y": Y, "k": 1, "keep_X": 3, "keep_Y": 2, "max_iter": 1})
    assert capped["n_iter"] == [1]
    # max_iter = 0 is judged by the engine: fine when nothing is selected...
    dense = run("spls3_fit", {"X": X, "Y": Y, "k": 2, "keep_X": p, "keep_Y": q, "max_iter": 0})
    ref = run("pls3_fit", {"X": X, "Y": Y, "k": 2})
    np.testing.assert_allclose(dense["singular_values"], ref["singular_values"], rtol=1e-12)
    # ...refused when keep_X selects.
    assert_fails("spls3_fit", {"X": X, "Y": Y, "k": 1, "keep_X": 2, "keep_Y": q, "max_iter": 0},
                 "invalid_argument",
                 "invalid argument: max_iter must be >= 1 when keep_x or keep_y selects fewer than "
                 "all columns (max_iter=0 would skip selection entirely)")
    assert_fails("spls3_fit", {"X": X, "Y": Y, "k": 1, "keep_X": 2, "keep_Y": q, "tol": -1.0},
                 "invalid_argument",
                 "invalid argument: tol must be finite and >= 0 when keep_x or keep_y selects "
                 "fewer than all columns (got tol=-1)")
    assert_fails("spls3_fit", {"X": X, "Y": Y, "k": 1, "keep_X": 0, "keep_Y": 1},
                 "invalid_argument",
                 "invalid argument: keep_x must be >= 1 (keep_x=0 would produce an empty component)")


def test_sparse_fit_argument_order(data):
    X, Y = data
    bad = {
        "X": "X",
        "Y": [1, 2],
        "k": -1,
        "keep_X": 0.5,
        "keep_Y": None,
        "pre_standardized_X": 0,
        "pre_standardized_Y": [True],
        "max_iter": 1.5,
        "tol": "t",
        "weights": {"a": 1},
    }
    messages = [
        'X must be a numeric matrix, got the string "X"',
        PLS1_HINT,
        "k must be a non-negative whole number, got -1",
        "keep_X must be a non-negative whole number, got 0.5",
        None,  # keep_Y given as None is missing (a registry check, tested elsewhere)
        "pre_standardized_X must be a bool, got 0",
        "pre_standardized_Y must be a bool, got a list",
        "max_iter must be a non-negative whole number, got 1.5",
        'tol must be a number, got the string "t"',
        "weights must be a numeric vector, got a record",
    ]
    good = {"X": X, "Y": Y, "k": 1, "keep_X": 2, "keep_Y": 2, "pre_standardized_X": False,
            "pre_standardized_Y": False, "max_iter": None, "tol": None, "weights": None}
    keys = list(bad)
    for i, key in enumerate(keys):
        if messages[i] is None:
            continue
        arguments = {**good, **{k: bad[k] for k in keys[i:] if bad[k] is not None}}
        assert_fails("spls3_fit", arguments, "invalid_argument", messages[i])
    # All read, then the engine refuses the weights.
    assert_fails("spls3_fit", {**good, "weights": np.ones(X.shape[0])}, "invalid_argument",
                 WEIGHTS_REFUSED)


@pytest.mark.parametrize("make_result", [plain, Dataclasses()], ids=["dict", "typed"])
@pytest.mark.parametrize("fit_name", ["pls3_fit", "spls3_fit"])
@pytest.mark.parametrize("name", ["pls3_transform", "plssvd_transform"])
def test_transform_round_trip(data, make_result, fit_name, name):
    X, Y = data
    extra = {"keep_X": 4, "keep_Y": 3} if fit_name == "spls3_fit" else {}
    model = run(fit_name, {"X": X, "Y": Y, "k": 2, **extra}, make_result)
    fields = model if isinstance(model, dict) else vars(model)
    if not isinstance(model, dict):
        assert type(model).__name__ == "PLS3Result"
        assert list(vars(model)) == PLS3_FIELDS
    X_new, Y_new = X[:7] * 1.5, Y[5:12] - 2.0
    both = run(name, {"model": model, "X_new": X_new, "Y_new": Y_new}, make_result)
    scores = both if isinstance(both, dict) else vars(both)
    assert list(scores) == ["x_scores", "y_scores"]
    x_ref = (X_new - fields["X_mean"]) / fields["X_scale"] @ fields["U"]
    y_ref = (Y_new - fields["Y_mean"]) / fields["Y_scale"] @ fields["V"]
    np.testing.assert_allclose(scores["x_scores"], x_ref, rtol=1e-12, atol=1e-13)
    np.testing.assert_allclose(scores["y_scores"], y_ref, rtol=1e-12, atol=1e-13)
    # The training rows score as the fit did.
    again = run(name, {"model": model, "X_new": X, "which": "x_scores"})
    np.testing.assert_allclose(again["x_scores"], fields["x_scores"], rtol=1e-10, atol=1e-12)
    assert again["y_scores"] is None
    only_y = run(name, {"model": model, "Y_new": Y_new, "which": "y_scores"})
    assert only_y["x_scores"] is None
    np.testing.assert_allclose(only_y["y_scores"], y_ref, rtol=1e-12, atol=1e-13)


def test_transform_checks_in_order(data):
    X, Y = data
    model = run("pls3_fit", {"X": X, "Y": Y, "k": 2})
    pls1_like = Dataclasses()("PLS1Result", {"W": np.ones((6, 1))})
    for name in ("pls3_transform", "plssvd_transform"):
        # Argument types come before the model.
        assert_fails(name, {"model": 5, "X_new": X[:, 0].copy()}, "invalid_argument",
                     "X_new must be 2-D, got 1-D")
        assert_fails(name, {"model": 5, "Y_new": "y"}, "invalid_argument",
                     'Y_new must be a numeric matrix, got the string "y"')
        assert_fails(name, {"model": 5, "which": 3}, "invalid_argument",
                     "which must be a string, got 3")
        # Then the model, then which.
        assert_fails(name, {"model": 5, "which": "X_scores"}, "invalid_argument",
                     "model must be a PLS3Result, got 5")
        assert_fails(name, {"model": pls1_like, "X_new": X, "which": "X_scores"},
                     "invalid_argument", "model must be a PLS3Result, got a PLS1Result")
        assert_fails(name, {"model": model, "X_new": X, "which": "X_scores"}, "invalid_args",
                     "unknown which: X_scores; allowed: ['x_scores', 'y_scores', 'both']")
        # Then the engine.
        assert_fails(name, {"model": model}, "invalid_argument",
                     "invalid argument: which='both' requires x_new, which was not supplied")
        assert_fails(name, {"model": model, "X_new": X}, "invalid_argument",
                     "invalid argument: which='both' requires y_new, which was not supplied")
        exc = failure(name, {"model": model, "X_new": X[:, :5], "which": "x_scores"})
        assert exc.code == "shape_mismatch"


def test_model_record_extras_and_missing_optional_fields(data):
    X, Y = data
    model = run("spls3_fit", {"X": X, "Y": Y, "k": 1, "keep_X": 2, "keep_Y": 2})
    trimmed = {k: v for k, v in model.items() if k not in ("converged", "n_iter", "keep_X")}
    trimmed["note"] = "extra fields are ignored"
    # Nested plain lists of floats are not vectors.
    scores = run("pls3_transform", {"model": trimmed, "X_new": X, "which": "x_scores"})
    np.testing.assert_allclose(scores["x_scores"], model["x_scores"], rtol=1e-10, atol=1e-12)
    assert_fails("pls3_transform",
                 {"model": {**model, "X_mean": [float(v) for v in model["X_mean"]]},
                  "X_new": X, "which": "x_scores"},
                 "invalid_argument", "model field 'X_mean' must be a numeric vector, got a list")
