"""split_nb_gate through call: the stable rank, n_eff and firing against
NumPy. pls1_confirmatory_test through call: its record, the rerouting
warning and what the binding reads; the driver's checks and methods are the
C++ tests' business, the adapters' refusals rows of adapter_refusals.json."""

import numpy as np
import pytest

from helpers import Recorder, failure, run
from veltra import _veltra


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


def confirmatory(X, y, **more):
    return _veltra.call("pls1_confirmatory_test", {"X": X, "y": y, "seed": 5, **more}, lambda t, f: f)


def test_confirmatory_record_with_its_interval():
    rng = np.random.default_rng(4)
    X = rng.normal(size=(40, 6))
    recorder = Recorder()
    _veltra.call("pls1_confirmatory_test", {"X": X, "y": X[:, 0] + rng.normal(size=40), "k": 2,
                                            "test_method": "e", "ci": True, "n_boot": 100}, recorder)
    assert [t for t, _ in recorder.calls] == ["CIScalar", "ConfirmatoryCI", "ConfirmatoryTestResult"]
    out, ci = recorder.calls[2][1], recorder.calls[1][1]
    assert list(out) == ["pvalue", "statistic", "test_method", "k", "n_perm", "n_splits", "seed",
                         "n_eff", "rho_hat", "stable_rank", "ci"]
    assert (out["test_method"], out["k"], out["n_perm"], out["n_splits"], out["n_eff"]) == ("e", 2, None, None, 40.0)
    assert (ci["n_boot"], ci["m"], ci["beta_se"].shape, ci["leverage_se"].shape) == (100, 14, (6,), (40,))
    # Without an interval its options are never read.
    assert confirmatory(X, X[:, 0], test_method="score", m_rate=2.0)[0]["ci"] is None


def test_interval_spreads_scale_with_huge_and_tiny_responses():
    rng = np.random.default_rng(3)
    X = rng.standard_normal((30, 4))
    y = X[:, 0] + 0.5 * rng.standard_normal(30)

    def ci(scale):
        # Holdout values of y near 1e-154 have no spread above 1e-30: NaN correlations.
        more = {"max_failure_rate": 1.0} if scale < 1 else {}
        out = confirmatory(X, y * scale, test_method="e", ci=True, n_boot=100, seed=1, **more)
        return out[0]["ci"]

    base = ci(1.0)
    for scale in (1e154, 1e-154):
        got = ci(scale)
        for field in ("beta_se", "beta_ci_lower", "beta_ci_upper"):
            np.testing.assert_allclose(got[field] / scale, base[field], rtol=1e-9, err_msg=field)
        np.testing.assert_allclose(got["beta_sign_z"], base["beta_sign_z"], rtol=1e-9)
    huge = ci(1e154)["holdout_corr"]
    assert list(huge.values()) == pytest.approx(list(base["holdout_corr"].values()), rel=1e-9)


def test_rerouted_warning_only_when_the_gate_refuses_split_nb():
    rng = np.random.default_rng(8)
    X = rng.normal(size=(40, 4))  # fewer than 5 columns: the gate fires
    y = X[:, 0] + rng.normal(size=40)
    out, [w] = confirmatory(X, y, test_method="split_nb", args={"n_splits": 6})
    assert (out["test_method"], out["n_perm"], out["n_splits"]) == ("split_exact", 1000, 6)
    assert (w["kind"], w["requested"], w["actual"], w["n_perm"], w["stable_rank"], w["n_eff"]) == \
        ("rerouted", "split_nb", "split_exact", 1000, out["stable_rank"], 40.0)
    assert w["message"].startswith("'split_nb' was rerouted to 'split_exact': the split_nb auto-gate")
    for method, args in [("split_nb", {"force": True}), ("auto", None), ("raw_perm", {"n_perm": 9})]:
        out, warnings = confirmatory(X, y, test_method=method, args=args)
        assert warnings == [] and out["test_method"] == ("split_exact" if method == "auto" else method)


@pytest.mark.parametrize("args", [{"n_perm": 2**36}, {"n_perm": 2**28}, {"n_splits": 2**40}])
def test_counts_too_large_for_memory_fail_at_once(args):
    rng = np.random.default_rng(1)
    X = rng.normal(size=(40, 5))
    exc = failure("pls1_confirmatory_test", {"X": X, "y": X[:, 0], "k": 1, "test_method": "split_exact", "args": args})
    assert exc.code == "internal" and str(exc).endswith("std::bad_alloc")
