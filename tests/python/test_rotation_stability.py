"""pls1_rotation_stability through call: the record, its nested intervals,
the defaults (its refusals are rows of adapter_refusals.json). Numbers,
seeds, threads and budgets are the C++ tests' business."""

import numpy as np

from helpers import Recorder, failure, run
from veltra import _veltra

FN = "pls1_rotation_stability"


def args(**more):
    X = np.random.default_rng(1).normal(size=(40, 6))
    return {"X": X, "y": X[:, 0] + X[:, 3] + np.sin(np.arange(40)), "k": 3, **more}


def test_record_and_defaults():
    out = run(FN, args(seed=5))
    assert list(out)[6:] == ["variance_ratio", "variance_ratio_per_axis", "variance_unrot",
                             "variance_rot", "variance_unrot_per_axis", "variance_rot_per_axis",
                             "degenerate_baseline", "n_boot_finite", "n_eff"]
    # m = ceil(40^0.7); every replicate fits
    assert list(out.items())[:6] == [("method", "varimax"), ("n_boot", 1000), ("m", 14),
                                     ("m_rate", 0.7), ("level", 0.95), ("seed", 5)]
    assert (out["n_boot_finite"], out["n_eff"], out["variance_rot_per_axis"].shape) == (1000, 40.0, (3,))
    assert [list(ci) for ci in [out["variance_ratio"], *out["variance_ratio_per_axis"]]] == \
        [["point", "lower", "upper", "sd"]] * 4
    recorder = Recorder()
    _veltra.call(FN, args(n_boot=100, rotation_method=None), recorder)
    assert [t for t, _ in recorder.calls] == ["CIScalar"] * 4 + ["RotationStabilityResult"]


def truncating_designs():
    """Designs whose reference fit stops short of k, or whose every subsample does."""
    rng = np.random.default_rng(0)
    u = rng.standard_normal(40)
    X = np.column_stack([u, rng.standard_normal(40), u, 2 * u])
    y = u + X[:, 1] + 0.3 * rng.standard_normal(40)
    rank1 = np.random.default_rng(1)
    X1 = np.outer(rank1.standard_normal(30), rank1.standard_normal(6))
    return [dict(X=X, y=y, k=3, seed=0), dict(X=np.outer(u, [1, 2, 3]), y=y, k=2, seed=0),
            dict(X=X1, y=X1[:, 0] + rank1.standard_normal(30), k=3, seed=1)]


def test_replicates_short_of_k_make_the_call_degenerate():
    for design in truncating_designs():
        for skip in (0.01, 1.0):
            exc = failure(FN, {**design, "n_boot": 100, "max_skip_rate": skip})
            fields = (exc.code, exc.skipped, exc.total, exc.skip_rate, exc.threshold)
            assert fields == ("resampling_degenerate", 100, 100, 1.0, skip)
            assert str(exc).startswith(
                f"Resampling degenerate: 100/100 draws (skip_rate=1.000) failed per-subsample "
                f"validation, exceeding `max_skip_rate` (threshold={skip:.3f}).")
    # With L the reference rotation refuses the reference's fewer columns.
    design = truncating_designs()[0]
    exc = failure(FN, {**design, "n_boot": 100, "L": np.eye(4)[:, :3]})
    assert (exc.code, str(exc)) == ("shape_mismatch", "shape mismatch: L.ncols=3 but W.ncols=2")
