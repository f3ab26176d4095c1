"""The public functions through call: one end-to-end run of each adapter
against an independent computation (scikit-learn, NumPy, textbook
relations), bit identity across memory layouts, the round trip of models as
dicts and as typed records, and each adapter's refusals in reading order."""

import numpy as np
import pytest

from helpers import Recorder, assert_fails, data_table, failure, plain, run, typed

PLS1_FIELDS = ["T", "P", "W", "Q", "coef", "beta", "intercept", "k_used", "pre_standardized", "weights",
               "n_eff", "rotation_spec", "selection_result", "keep"]
TYPED = pytest.mark.parametrize("make_result", [plain, typed], ids=["dict", "typed"])
rng = np.random.default_rng(2024)
# p > n, columns on very different scales and far from zero; two blocks sharing two latent variables.
latent = rng.normal(size=(40, 3))
X = (latent[:30] @ rng.normal(size=(3, 80)) + 0.3 * rng.normal(size=(30, 80))) * rng.uniform(0.01, 100, 80) + rng.uniform(-50, 50, 80)
y = latent[:30] @ [2.0, -1.0, 0.5] + 0.2 * rng.normal(size=30) + 7.0
BX = latent[:, :2] @ rng.normal(size=(2, 6)) + 0.5 * rng.normal(size=(40, 6)) + 3.0
BY = latent[:, :2] @ rng.normal(size=(2, 4)) + 0.5 * rng.normal(size=(40, 4)) - 1.0


def standardized(A):
    """Columns centred and scaled by the sd with divisor n, as the library does."""
    return (A - A.mean(axis=0)) / A.std(axis=0)


def fields_of(record, type_name):
    """The fields of a plain or typed result, checking the type's name."""
    assert isinstance(record, dict) or type(record).__name__ == type_name
    return record if isinstance(record, dict) else vars(record)


def assert_close(actual, desired, rtol, signs=False):
    """Equal up to rtol of the largest magnitude; with `signs`, up to the sign of each column."""
    actual, desired = np.asarray(actual), np.asarray(desired)
    desired = desired * np.sign(np.sum(actual * desired, axis=0)) if signs else desired
    np.testing.assert_allclose(actual, desired, rtol=rtol, atol=rtol * np.max(np.abs(desired)))


@pytest.mark.parametrize("data, k", [("diabetes", 1), ("diabetes", 2), ("diabetes", 4), ("diabetes", 6),
                                     ("wide", 1), ("wide", 3), ("wide", 5)])
def test_pls1_matches_scikit_learn(data, k):
    # scikit-learn's sd has divisor n - 1, the library's n: one factor common to every column,
    # which leaves raw-scale coefficients unchanged. Its intercept_ goes with X - mean(X).
    from sklearn.cross_decomposition import PLSRegression
    from sklearn.datasets import load_diabetes

    A, b = (X, y) if data == "wide" else load_diabetes(return_X_y=True)
    fit = run("pls1_fit", {"X": A, "y": b, "k": k})
    ref = PLSRegression(n_components=k, scale=True).fit(A, b)
    coef = np.asarray(ref.coef_).ravel()
    assert fit["k_used"] == k
    assert_close(fit["beta"], coef, 1e-8)
    assert fit["intercept"] == pytest.approx(float(np.ravel(ref.intercept_)[0]) - A.mean(0) @ coef, rel=1e-8)
    assert_close(run("pls1_predict", {"model": fit, "X_new": A[:25]}), ref.predict(A[:25]).ravel(), 1e-8)


def test_pls1_layout_and_seed_change_no_bit():
    fit = run("pls1_fit", {"X": X, "y": y, "k": 3})
    other = run("pls1_fit", {"X": np.asfortranarray(X), "y": y, "k": 3, "seed": 7})
    for key in ("T", "P", "W", "Q", "coef", "beta", "intercept"):
        np.testing.assert_array_equal(fit[key], other[key])


@TYPED
@pytest.mark.parametrize("name, extra", [("pls1_fit", {"weights": np.linspace(0.5, 2, 30)}), ("spls1_fit", {"keep": 4})])
def test_predict_round_trip(make_result, name, extra):
    model = run(name, {"X": X, "y": y, "k": 3, **extra}, make_result)
    fields = fields_of(model, "PLS1Result")
    assert list(fields) == PLS1_FIELDS
    X_new, recorder = X[::3] * 0.9 + 1.0, Recorder()
    pred = run("pls1_predict", {"model": model, "X_new": X_new}, recorder)
    assert recorder.calls == [] and pred.shape == (10,) and pred.dtype == np.float64
    np.testing.assert_allclose(pred, X_new @ fields["beta"] + fields["intercept"], rtol=1e-12)
    np.testing.assert_array_equal(pred, run("pls1_predict", {"model": model, "X_new": np.asfortranarray(X_new)}))


def test_preprocess():
    names = ["X_std", "X_mean", "X_scale", "Y_std", "Y_mean", "Y_scale", "weights_normalized", "n_eff"]
    assert run("preprocess", {}) == dict.fromkeys(names)
    only = fields_of(run("preprocess", {"weights": [1, 3]}, typed), "PreprocessResult")
    assert list(only) == names and only["weights_normalized"].tolist() == [0.5, 1.5] and only["n_eff"] == 1.6
    b, w = BY[:, 0], np.linspace(0.2, 2.0, 40)
    out = run("preprocess", {"X": BX, "Y": b, "weights": w})
    wn = w * 40 / w.sum()
    for A, part in [(BX, "X"), (b, "Y")]:
        mean = wn @ A / 40
        scale = np.sqrt(wn @ (A - mean) ** 2 / 40)
        for got, want in [("std", (A - mean) / scale), ("mean", mean), ("scale", scale)]:
            np.testing.assert_allclose(out[f"{part}_{got}"], want, rtol=1e-12, atol=1e-13)
    assert type(out["Y_mean"]) is float and out["n_eff"] == pytest.approx(w.sum() ** 2 / (w**2).sum(), rel=1e-13)
    np.testing.assert_allclose(out["weights_normalized"], wn, rtol=1e-14)
    f = run("preprocess", {"X": np.asfortranarray(BX), "Y": b, "weights": w})
    for key in names:
        np.testing.assert_array_equal(out[key], f[key])
    # A matrix Y takes the block form, even of one column; anything else is a vector.
    block = run("preprocess", {"Y": BY[:, :2]})
    np.testing.assert_allclose(block["Y_std"], standardized(BY[:, :2]), rtol=1e-12, atol=1e-13)
    assert block["Y_mean"].shape == (2,) and run("preprocess", {"Y": BY[:, :1]})["Y_mean"].shape == (1,)
    assert run("preprocess", {"Y": 3.0})["Y_mean"] == 3.0


def test_pls3_against_the_svd_of_the_cross_covariance():
    fit = run("pls3_fit", {"X": BX, "Y": BY, "k": 3})
    Xs, Ys = standardized(BX), standardized(BY)
    u, s, vt = np.linalg.svd(Xs.T @ Ys)
    np.testing.assert_allclose(fit["singular_values"], s[:3], rtol=1e-12)
    assert_close(fit["U"], u[:, :3], 1e-10, signs=True)
    assert_close(fit["V"], vt.T[:, :3], 1e-10, signs=True)
    for got, want in [("x_scores", Xs @ fit["U"]), ("y_scores", Ys @ fit["V"]), ("X_mean", BX.mean(0)),
                      ("X_scale", BX.std(0)), ("Y_scale", BY.std(0))]:
        assert_close(fit[got], want, 1e-10)
    pre = run("pls3_fit", {"X": Xs, "Y": Ys, "k": 2, "pre_standardized_X": True, "pre_standardized_Y": True})
    np.testing.assert_allclose(pre["singular_values"], s[:2], rtol=1e-12)
    # plssvd_fit is the same function, to the bit, in either layout.
    for key, value in run("plssvd_fit", {"X": np.asfortranarray(BX), "Y": BY, "k": 3}).items():
        np.testing.assert_array_equal(value, fit[key])
    # A cap of one step shows in n_iter; `converged` is a list of bools.
    capped = run("spls3_fit", {"X": BX, "Y": BY, "k": 1, "keep_X": 3, "keep_Y": 2, "max_iter": 1})
    assert (capped["n_iter"], capped["keep_X"], type(capped["converged"][0])) == ([1], 3, bool)


def test_two_block_fits_of_huge_blocks_are_the_unscaled_fits_scaled():
    # X'Y long enough to be reduced by QR first, with entries whose squares overflow.
    rng = np.random.default_rng(0)
    for n, p, q in [(300, 1500, 4), (40, 2000, 30)]:
        A = rng.standard_normal((n, p))
        B = A[:, :q] + rng.standard_normal((n, q))
        base = run("plssvd_fit", {"X": A, "Y": B, "k": 3, "pre_standardized_X": True})
        for f in (1e160, 1e300):
            fit = run("plssvd_fit", {"X": A * f, "Y": B, "k": 3, "pre_standardized_X": True})
            np.testing.assert_allclose(fit["singular_values"], base["singular_values"] * f, rtol=1e-12)
            for key in ("U", "V"):
                assert_close(fit[key], base[key], 1e-10, signs=True)
            assert_close(fit["x_scores"] / f, base["x_scores"], 1e-10, signs=True)
        base = run("pls3_fit", {"X": A, "Y": B, "k": 3, "pre_standardized_Y": True})
        fit = run("pls3_fit", {"X": A, "Y": B * 1e160, "k": 3, "pre_standardized_Y": True})
        np.testing.assert_allclose(fit["singular_values"], base["singular_values"] * 1e160, rtol=1e-12)
        for key in ("U", "V"):
            assert_close(fit[key], base[key], 1e-10, signs=True)


def test_plssvd_matches_scikit_learn():
    from sklearn.cross_decomposition import PLSSVD
    from sklearn.datasets import load_linnerud

    A, B = (np.asarray(M, dtype=float) for M in load_linnerud(return_X_y=True))
    fit = run("plssvd_fit", {"X": A, "Y": B, "k": 2})
    ref = PLSSVD(n_components=2, scale=True).fit(A, B)
    # scikit-learn's sd with divisor n - 1 is one factor common to every
    # column: the singular vectors agree, the scores differ by that factor.
    assert_close(fit["U"], ref.x_weights_, 1e-9, signs=True)
    assert_close(fit["V"], ref.y_weights_, 1e-9, signs=True)
    assert_close(fit["x_scores"], ref.transform(A) * np.sqrt(len(A) / (len(A) - 1)), 1e-9, signs=True)


@TYPED
@pytest.mark.parametrize("fit_name, name", [("pls3_fit", "pls3_transform"), ("spls3_fit", "plssvd_transform")])
def test_transform_round_trip(make_result, fit_name, name):
    extra = {"keep_X": 4, "keep_Y": 3} if fit_name == "spls3_fit" else {}
    model = run(fit_name, {"X": BX, "Y": BY, "k": 2, **extra}, make_result)
    fields = fields_of(model, "PLS3Result")
    X_new, Y_new = BX[:7] * 1.5, BY[5:12] - 2.0
    scores = fields_of(run(name, {"model": model, "X_new": X_new, "Y_new": Y_new}, make_result), "PLS3Scores")
    assert list(scores) == ["x_scores", "y_scores"]
    for side, new in [("X", X_new), ("Y", Y_new)]:
        want = (new - fields[f"{side}_mean"]) / fields[f"{side}_scale"] @ fields["U" if side == "X" else "V"]
        assert_close(scores[f"{side.lower()}_scores"], want, 1e-12)
    assert run(name, {"model": model, "X_new": X_new, "which": "x_scores"})["y_scores"] is None


# Each row loads on one column only: varimax's optimum.
SIMPLE = np.array([[1.0, 0.0], [0.8, 0.0], [0.0, 1.0], [0.0, 0.7], [0.9, 0.0], [0.0, 0.6]])


@TYPED
def test_rotate_matrix_recovers_simple_structure(make_result):
    W = SIMPLE @ np.array([[np.cos(0.5), np.sin(0.5)], [-np.sin(0.5), np.cos(0.5)]])
    out = fields_of(run("rotate", {"model_or_W": W}, make_result), "RotateResult")
    spec = fields_of(out["spec"], "RotationSpec")
    assert (spec["method"], spec["args"], spec["L_was_provided"]) == (
        "varimax", {"max_iter": 50, "tol": 1e-8, "kaiser_normalize": True}, False)
    assert type(spec["args"]) is dict and type(spec["sweeps"]) is int and spec["sweeps"] >= 1
    np.testing.assert_allclose(out["W_rot"], W @ spec["R"], atol=1e-14)
    assert_close(out["W_rot"], SIMPLE, 1e-6, signs=True)
    # The final criterion of the row-normalised weights (Kaiser), columns summed.
    H = out["W_rot"] / np.linalg.norm(out["W_rot"], axis=1, keepdims=True)
    assert spec["V_converged"] == pytest.approx(np.sum((H**4).mean(0) - (H**2).mean(0) ** 2), rel=1e-9)
    # The rotation chosen on L is applied to W.
    with_l = run("rotate", {"model_or_W": SIMPLE[::-1], "L": W, "args": {"max_iter": 1, "tol": 0}})
    spec = with_l["spec"]
    assert (spec["args"], spec["L_was_provided"]) == ({"max_iter": 1, "tol": 0.0, "kaiser_normalize": True}, True)
    assert spec["sweeps"] <= 1
    np.testing.assert_allclose(with_l["W_rot"], SIMPLE[::-1] @ with_l["spec"]["R"], atol=1e-12)


@TYPED
def test_rotate_model(make_result):
    model = run("pls1_fit", {"X": X[:, :12], "y": y, "k": 3}, make_result)
    out = run("rotate", {"model_or_W": model}, make_result)
    before, after = fields_of(model, "PLS1Result"), fields_of(out, "PLS1Result")
    R = fields_of(after["rotation_spec"], "RotationSpec")["R"]
    for key, rotated in [("W", before["W"] @ R), ("T", before["T"] @ R), ("P", before["P"] @ R), ("Q", R.T @ before["Q"])]:
        assert_close(after[key], rotated, 1e-12)
    # The same rotation as of the bare weights, to the bit; the other fields unchanged.
    np.testing.assert_array_equal(run("rotate", {"model_or_W": before["W"]})["spec"]["R"], R)
    for key in PLS1_FIELDS[4:11] + PLS1_FIELDS[12:]:
        np.testing.assert_array_equal(after[key], before[key])
    # Only the record's fields are kept: extras go, absent optional ones are null.
    given = {k: v for k, v in before.items() if k not in ("weights", "keep", "rotation_spec")}
    kept = run("rotate", {"model_or_W": {**given, "note": 1, "selection_result": {"kept": [1]}}})
    assert list(kept) == PLS1_FIELDS and kept["keep"] is None and kept["selection_result"] == {"kept": [1]}


def with_nan(A):
    return np.where(np.arange(A.size).reshape(A.shape) == 3, np.nan, A)


PLS1_MODEL = run("pls1_fit", {"X": X[:, :4], "y": y, "k": 2})
PLS3_MODEL = run("pls3_fit", {"X": BX, "Y": BY, "k": 2})
TYPED_PLS1, TYPED_PLS3 = (typed(t, {"W": np.ones((4, 1))}) for t in ("PLS1Result", "PLS3Result"))


def refusals():
    for row in data_table("adapter_refusals.json", globals()):
        for i, (_, _, message) in enumerate(row.get("in_order", [])):
            yield row["fn"], {**row["good"], **{k: v for k, v, _ in row["in_order"][i:]}}, row["code"], message
        if "args" in row:
            yield row["fn"], row["args"], row["code"], row["message"]


@pytest.mark.parametrize("name, arguments, code, message", refusals())
def test_refusals(name, arguments, code, message):
    assert_fails(name, arguments, code, message)


def test_keep_search_end_to_end(capfd):
    A = rng.normal(size=(40, 5))
    b = A @ [1.0, -2.0, 0.5, 3.0, 0.0]  # noise-free: keeping every column predicts exactly
    out = run("spls1_find_keep_optimal", {"X": A, "y": b, "k": 5, "seed": 7, "verbose": True}, typed)
    assert capfd.readouterr().err == "spls1_find_keep_optimal: sweeping keep grid [1, 2, 4, 5] at fixed k=5\n"
    f = fields_of(out, "FindKeepOptimalResult")
    assert list(f) == ["keep_star", "k", "cv_scores", "cv_scores_se", "keep_grid", "seed", "n_eff"]
    assert (f["k"], f["keep_grid"], f["seed"], f["n_eff"]) == (5, [1, 2, 4, 5], 7, 40.0)
    cv, se = f["cv_scores"], f["cv_scores_se"]
    assert list(cv) == list(se) == [1, 2, 4, 5]
    assert cv[5] == pytest.approx(1.0, abs=1e-12)
    failure("spls1_find_keep_optimal", {"X": A[:2], "y": b[:2], "k": 1, "verbose": True})
    # The progress line comes after the argument checks, before the fold count's refusal.
    assert capfd.readouterr().err == "spls1_find_keep_optimal: sweeping keep grid [1, 2, 4, 5] at fixed k=1\n"
    # Uniform weights are no weights; weights act through their ratios only.
    w = rng.uniform(0.5, 2.0, 40)
    same = {"X": A, "y": b + rng.normal(size=40), "k": 2, "seed": 3}
    assert run("spls1_find_keep_optimal", {**same, "weights": np.full(40, 3.0)}) == run("spls1_find_keep_optimal", same)
    weighted = run("spls1_find_keep_optimal", {**same, "weights": w})
    np.testing.assert_allclose(list(run("spls1_find_keep_optimal", {**same, "weights": 8 * w})["cv_scores"].values()),
                               list(weighted["cv_scores"].values()), rtol=1e-12)
