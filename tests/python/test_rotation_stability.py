"""pls1_rotation_stability through call: the record, its nested intervals,
the defaults (its refusals are rows of adapter_refusals.json). Numbers,
seeds, threads and budgets are the C++ tests' business."""

import numpy as np

from helpers import Recorder, run
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
