"""pls1_fit, spls1_fit and pls1_predict through call: argument checks in
their order, the PLS1Result record and its round trip, and the coefficients
against scikit-learn's PLSRegression."""

import numpy as np
import pytest

from helpers import Dataclasses, Recorder, assert_fails, plain, run

PLS1_FIELDS = [
    "T", "P", "W", "Q", "coef", "beta", "intercept", "k_used", "pre_standardized", "weights",
    "n_eff", "rotation_spec", "selection_result", "keep",
]


@pytest.fixture(scope="module")
def wide():
    """p > n, columns on very different scales and far from zero."""
    rng = np.random.default_rng(2024)
    n, p = 30, 80
    latent = rng.normal(size=(n, 3))
    X = latent @ rng.normal(size=(3, p)) + 0.3 * rng.normal(size=(n, p))
    X = X * rng.uniform(0.01, 100.0, size=p) + rng.uniform(-50.0, 50.0, size=p)
    y = latent @ np.array([2.0, -1.0, 0.5]) + 0.2 * rng.normal(size=n) + 7.0
    return X, y


@pytest.fixture(scope="module")
def diabetes():
    from sklearn.datasets import load_diabetes

    X, y = load_diabetes(return_X_y=True)
    return np.asarray(X, dtype=float), np.asarray(y, dtype=float)


def sklearn_raw_scale(X, y, k):
    """scikit-learn's coefficients and the intercept of the raw-scale model.

    scikit-learn scales by the sd with divisor n - 1, this library by the sd
    with divisor n: one factor common to every column of X and to y. The
    weights, and the coefficients of the standardised problem, do not change
    when X and y are scaled by the same factor, so the raw-scale coefficients
    agree exactly. scikit-learn's intercept_ is the mean of y, to be added to
    (X - mean of X) @ coef; the library's intercept is added to X @ beta
    itself, so the comparable value is intercept_ - mean(X) @ coef.
    """
    from sklearn.cross_decomposition import PLSRegression

    ref = PLSRegression(n_components=k, scale=True).fit(X, y)
    coef = np.asarray(ref.coef_).ravel()
    intercept = float(np.asarray(ref.intercept_).ravel()[0]) - X.mean(axis=0) @ coef
    return ref, coef, intercept


def assert_close_relative(actual, desired, rtol):
    actual, desired = np.asarray(actual), np.asarray(desired)
    np.testing.assert_allclose(actual, desired, rtol=rtol, atol=rtol * np.max(np.abs(desired)))


@pytest.mark.parametrize("k", [1, 2, 4, 6])
def test_coefficients_match_scikit_learn_on_diabetes(diabetes, k):
    X, y = diabetes
    fit = run("pls1_fit", {"X": X, "y": y, "k": k})
    ref, coef, intercept = sklearn_raw_scale(X, y, k)
    assert fit["k_used"] == k
    assert_close_relative(fit["beta"], coef, 1e-8)
    assert fit["intercept"] == pytest.approx(intercept, rel=1e-8)
    pred = run("pls1_predict", {"model": fit, "X_new": X[:25]})
    assert_close_relative(pred, ref.predict(X[:25]).ravel(), 1e-8)


@pytest.mark.parametrize("k", [1, 3, 5])
def test_coefficients_match_scikit_learn_when_p_exceeds_n(wide, k):
    X, y = wide
    fit = run("pls1_fit", {"X": X, "y": y, "k": k})
    ref, coef, intercept = sklearn_raw_scale(X, y, k)
    assert_close_relative(fit["beta"], coef, 1e-8)
    assert fit["intercept"] == pytest.approx(intercept, rel=1e-8)
    pred = run("pls1_predict", {"model": fit, "X_new": X})
    assert_close_relative(pred, ref.predict(X).ravel(), 1e-8)


def test_record_fields_and_textbook_relations(wide):
    X, y = wide
    fit = run("pls1_fit", {"X": X, "y": y, "k": 3})
    assert list(fit) == PLS1_FIELDS
    n, p = X.shape
    assert fit["T"].shape == (n, 3) and fit["P"].shape == (p, 3) and fit["W"].shape == (p, 3)
    assert fit["Q"].shape == (3,) and fit["coef"].shape == (p,) and fit["beta"].shape == (p,)
    assert type(fit["k_used"]) is int and type(fit["intercept"]) is float
    assert fit["pre_standardized"] is False
    assert fit["weights"] is None and fit["n_eff"] == n
    assert fit["rotation_spec"] is None and fit["selection_result"] is None and fit["keep"] is None
    W, P, Q = fit["W"], fit["P"], fit["Q"]
    # coef = W (P'W)^-1 Q on the standardised scale; beta rescales it.
    assert_close_relative(fit["coef"], W @ np.linalg.solve(P.T @ W, Q), 1e-10)
    assert_close_relative(fit["beta"], fit["coef"] * y.std() / X.std(axis=0), 1e-10)
    assert fit["intercept"] == pytest.approx(y.mean() - X.mean(axis=0) @ fit["beta"], rel=1e-10)


def test_weights_act_as_replicated_rows(wide):
    X, y = wide
    counts = np.tile([1, 2, 3], 10)
    fit = run("pls1_fit", {"X": X, "y": y, "k": 2, "weights": counts.astype(float)})
    rep = run("pls1_fit", {"X": np.repeat(X, counts, axis=0), "y": np.repeat(y, counts), "k": 2})
    assert_close_relative(fit["beta"], rep["beta"], 1e-9)
    assert fit["intercept"] == pytest.approx(rep["intercept"], rel=1e-9)
    np.testing.assert_allclose(fit["weights"], counts / counts.mean(), rtol=1e-15)
    assert fit["n_eff"] == pytest.approx(counts.sum() ** 2 / (counts**2).sum(), rel=1e-14)


def test_pre_standardized_fit(wide):
    X, y = wide
    Xs = (X - X.mean(axis=0)) / X.std(axis=0)
    ys = (y - y.mean()) / y.std()
    fit = run("pls1_fit", {"X": Xs, "y": ys, "k": 2, "pre_standardized": True})
    assert fit["pre_standardized"] is True
    np.testing.assert_array_equal(fit["beta"], fit["coef"])
    assert fit["intercept"] == 0.0
    raw = run("pls1_fit", {"X": X, "y": y, "k": 2})
    assert_close_relative(fit["coef"], raw["coef"], 1e-9)


def test_layouts_and_the_seed_do_not_change_the_model(wide):
    X, y = wide
    a = run("pls1_fit", {"X": np.ascontiguousarray(X), "y": y, "k": 3})
    b = run("pls1_fit", {"X": np.asfortranarray(X), "y": y, "k": 3, "seed": 7})
    c = run("pls1_fit", {"X": X, "y": y, "k": None, "seed": "18446744073709551615"})
    for key in ("T", "P", "W", "Q", "coef", "beta", "intercept"):
        np.testing.assert_array_equal(a[key], b[key])
    assert c["k_used"] == 1


def test_pls1_fit_argument_order(wide):
    X, y = wide
    bad = {
        "X": y,
        "y": X,
        "k_max": -1,
        "find_k_args": 5,
        "pre_standardized": 1,
        "seed": -1,
        "weights": "w",
    }
    messages = [
        "X must be 2-D, got 1-D",
        "y must be 1-D, got 2-D",
        "k_max must be a non-negative whole number, got -1",
        "find_k_args must be a record of named values (a dict / named list), got 5",
        "pre_standardized must be a bool, got 1",
        "seed must be a whole number in [0, 2^64) (a decimal string above 2^53), got -1",
        'weights must be a numeric vector, got the string "w"',
    ]
    keys = list(bad)
    for i in range(len(keys)):
        # k is taken as it is and judged only after every other argument.
        arguments = {"X": X, "y": y, "k": 2.5, **{key: bad[key] for key in keys[i:]}}
        assert_fails("pls1_fit", arguments, "invalid_argument", messages[i])


@pytest.mark.parametrize(
    "extra, code, message",
    [
        ({"k": 2, "k_max": 5}, "invalid_argument",
         "k_max and find_k_args apply only when k is 'optimal' or 'sequence'"),
        ({"k": 2, "find_k_args": {}}, "invalid_argument",
         "k_max and find_k_args apply only when k is 'optimal' or 'sequence'"),
        ({"k": 2.5, "k_max": 5}, "invalid_argument",
         "k_max and find_k_args apply only when k is 'optimal' or 'sequence'"),
        ({"k": 2.5}, "invalid_argument", "k must be a non-negative whole number, got 2.5"),
        ({"k": True}, "invalid_argument", "k must be a non-negative whole number, got true"),
        ({"k": [1]}, "invalid_argument", "k must be a non-negative whole number, got an integer vector"),
        ({"k": "optimal"}, "invalid_argument", "k='optimal' requires k_max"),
        ({"k": "sequence", "find_k_args": {"bogus": 1}}, "invalid_argument",
         "k='sequence' requires k_max"),
        ({"k": "best"}, "invalid_argument", "k='best' requires k_max"),
        ({"k": "best", "k_max": 3}, "invalid_argument",
         "unknown k mode 'best'; use int, 'optimal', or 'sequence'"),
        ({"k": "optimal", "k_max": 3}, "internal", 'pls1_fit with k="optimal" is not available yet'),
        ({"k": "sequence", "k_max": 3}, "internal",
         'pls1_fit with k="sequence" is not available yet'),
        ({"k": 0}, "invalid_argument", "invalid argument: k must be >= 1"),
        ({"k": 81}, "k_exceeds_max", "k=81 exceeds maximum 80"),
    ],
)
def test_pls1_fit_k_checks(wide, extra, code, message):
    X, y = wide
    assert_fails("pls1_fit", {"X": X, "y": y, **extra}, code, message)


def test_pls1_fit_engine_checks(wide):
    X, y = wide
    assert_fails("pls1_fit", {"X": X, "y": 3.5}, "dimension_mismatch",
                 "dimension mismatch: X has shape (30, 80), y has length 1")
    yn = y.copy()
    yn[4] = np.nan
    assert_fails("pls1_fit", {"X": X, "y": yn}, "non_finite_input", "non-finite values in input")
    assert_fails("pls1_fit", {"X": X[:3, :5], "y": y[:3], "k": 3}, "invalid_argument",
                 "invalid argument: insufficient n for k=3: need n >= k + 1 (got n=3)")
    exc = assert_fails("pls1_fit", {"X": X, "y": y, "weights": np.zeros(30)}, "invalid_weights",
                       "invalid weights: all_zero")
    assert exc.reason == "all_zero"


def test_sparse_fit(wide):
    X, y = wide
    fit = run("spls1_fit", {"X": X, "y": y, "k": 3, "keep": 5})
    assert list(fit) == PLS1_FIELDS
    assert fit["keep"] == 5 and fit["selection_result"] is None
    assert all(np.count_nonzero(fit["W"][:, j]) <= 5 for j in range(3))
    # Keeping every column is the dense fit.
    full = run("spls1_fit", {"X": X, "y": y, "k": 3, "keep": 80})
    dense = run("pls1_fit", {"X": X, "y": y, "k": 3})
    assert_close_relative(full["beta"], dense["beta"], 1e-12)
    pred = run("pls1_predict", {"model": fit, "X_new": X[:4]})
    np.testing.assert_allclose(pred, X[:4] @ fit["beta"] + fit["intercept"], rtol=1e-12)


def test_sparse_fit_argument_order(wide):
    X, y = wide
    bad = {"X": "X", "y": "y", "k": -2, "keep": 1.5, "pre_standardized": None, "weights": {"a": 1}}
    messages = [
        'X must be a numeric matrix, got the string "X"',
        'y must be a numeric vector, got the string "y"',
        "k must be a non-negative whole number, got -2",
        "keep must be a non-negative whole number, got 1.5",
        None,
        "weights must be a numeric vector, got a record",
    ]
    keys = list(bad)
    for i, message in enumerate(messages):
        if message is None:
            continue
        arguments = {"X": X, "y": y, "k": 1, "keep": 2,
                     **{key: bad[key] for key in keys[i:] if bad[key] is not None}}
        assert_fails("spls1_fit", arguments, "invalid_argument", message)
    assert_fails("spls1_fit", {"X": X, "y": y, "k": 1, "keep": 2, "pre_standardized": "yes"},
                 "invalid_argument", 'pre_standardized must be a bool, got the string "yes"')
    assert_fails("spls1_fit", {"X": X, "y": y, "k": 1, "keep": 0}, "invalid_argument",
                 "invalid argument: keep must be >= 1 (keep=0 would produce an empty component)")
    assert_fails("spls1_fit", {"X": X, "y": y, "k": 1, "keep": 81}, "invalid_argument",
                 "invalid argument: keep=81 exceeds n_features=80")


@pytest.mark.parametrize("make_result", [plain, Dataclasses()], ids=["dict", "typed"])
def test_predict_round_trip(wide, make_result):
    X, y = wide
    model = run("pls1_fit", {"X": X, "y": y, "k": 3, "weights": np.linspace(0.5, 2, 30)},
                make_result)
    fields = model if isinstance(model, dict) else vars(model)
    if not isinstance(model, dict):
        assert type(model).__name__ == "PLS1Result"
        assert list(fields) == PLS1_FIELDS
    X_new = X[::3] * 0.9 + 1.0
    recorder = Recorder()
    pred = run("pls1_predict", {"model": model, "X_new": X_new}, recorder)
    assert recorder.calls == []
    assert type(pred) is np.ndarray and pred.dtype == np.float64 and pred.shape == (10,)
    np.testing.assert_allclose(pred, X_new @ fields["beta"] + fields["intercept"], rtol=1e-12)
    same = run("pls1_predict", {"model": model, "X_new": np.asfortranarray(X_new)})
    np.testing.assert_array_equal(pred, same)


def test_predict_reads_fields_by_name(wide):
    X, y = wide
    model = run("pls1_fit", {"X": X[:, :4], "y": y, "k": 1})
    X_new = X[:3, :4]
    reordered = dict(reversed(list(model.items())))
    reordered["note"] = "ignored"
    del reordered["weights"], reordered["keep"], reordered["rotation_spec"]
    # Other storage forms of the numbers.
    reordered["Q"] = float(model["Q"][0])
    reordered["coef"] = [1, 2, 3, 4]
    reordered["k_used"] = 1.0
    reordered["intercept"] = int(round(model["intercept"]))
    got = run("pls1_predict", {"model": reordered, "X_new": X_new})
    np.testing.assert_allclose(got, X_new @ model["beta"] + round(model["intercept"]), rtol=1e-12)


def test_predict_checks_in_order(wide):
    X, y = wide
    model = run("pls1_fit", {"X": X[:, :4], "y": y, "k": 2})
    two_block = Dataclasses()("PLS3Result", {"U": np.ones((4, 1))})
    assert_fails("pls1_predict", {"model": two_block, "X_new": X[:, 0].copy()}, "invalid_argument",
                 "X_new must be 2-D, got 1-D")
    assert_fails("pls1_predict", {"model": two_block, "X_new": X[:, :4]}, "invalid_argument",
                 "model must be a PLS1Result, got a PLS3Result")
    assert_fails("pls1_predict", {"model": 5, "X_new": X[:, :4]}, "invalid_argument",
                 "model must be a PLS1Result, got 5")
    assert_fails("pls1_predict", {"model": [1, 2], "X_new": X[:, :4]}, "invalid_argument",
                 "model must be a PLS1Result, got an integer vector")
    # Each kind of field reader is checked message by message in the binding
    # tests; here the dict model reaches them.
    cases = [
        ({k: v for k, v in model.items() if k != "W"}, "model is missing field 'W'"),
        ({**model, "T": None}, "model field 'T' is null"),
        ({**model, "beta": [0.5, 1.5]}, "model field 'beta' must be a numeric vector, got a list"),
        ({**model, "T": [[1.0]]}, "model field 'T' must be a numeric matrix, got a list"),
        ({**model, "weights": "w"},
         'model field \'weights\' must be a numeric vector, got the string "w"'),
        ({**model, "keep": -3}, "model field 'keep' must be a non-negative whole number, got -3"),
        # The first bad field in reading order wins.
        ({**model, "keep": -3, "beta": "b", "W": 1.0}, "model field 'W' must be 2-D, got 0-D"),
    ]
    for bad_model, message in cases:
        assert_fails("pls1_predict", {"model": bad_model, "X_new": X[:, :4]}, "invalid_argument",
                     message)
    assert_fails("pls1_predict", {"model": model, "X_new": X[:, :3]}, "dimension_mismatch",
                 "dimension mismatch: X has shape (30, 3), y has length 4")
    bad = X[:, :4].copy()
    bad[0, 1] = -np.inf
    assert_fails("pls1_predict", {"model": model, "X_new": bad}, "non_finite_input",
                 "non-finite values in input")


def _fit_with_a_column_near_the_limit():
    X = np.array([[1.0, 1e308], [2, 0], [3, 0], [4, 0]])
    y = np.array([1.0, 2, 3, 5])
    fit = run("pls1_fit", {"X": X, "y": y, "k": 1})
    scaled = run("pls1_fit", {"X": X / [1, 1e308], "y": y, "k": 1})
    for key in ("T", "P", "W", "Q", "coef"):
        np.testing.assert_allclose(fit[key], scaled[key], rtol=1e-13, atol=1e-15)
    np.testing.assert_allclose(fit["coef"], [0.569, -0.396], atol=5e-4)


def _rotate_huge_entries_unnormalised():
    W = np.array([[1.0, 2], [3, 1]])
    args = {"max_iter": 2**63 - 1, "tol": 1e-8, "kaiser_normalize": False}
    huge = run("rotate", {"model_or_W": W * 2.0**300, "args": args})["spec"]
    small = run("rotate", {"model_or_W": W, "args": args})["spec"]
    assert huge["sweeps"] < 50
    np.testing.assert_allclose(huge["R"], small["R"], atol=1e-12)


def _standardise_opposite_signs_near_the_limit():
    M = np.finfo(float).max
    out = run("preprocess", {"Y": np.array([-M, M, M, 0.0])})
    np.testing.assert_allclose(out["Y_std"], np.array([-5.0, 3, 3, -1]) / np.sqrt(11), rtol=1e-14)


@pytest.mark.parametrize("case", [_fit_with_a_column_near_the_limit,
                                  _rotate_huge_entries_unnormalised,
                                  _standardise_opposite_signs_near_the_limit],
                         ids=["pls1_fit", "rotate", "preprocess"])
def test_finite_inputs_near_the_overflow_limit(case):
    case()
