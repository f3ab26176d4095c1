"""The component searches through call: their records, the rerouting
warnings and the k modes of pls1_fit. The searches' own numbers and checks
are the C++ tests' business, the refusals rows of adapter_refusals.json."""

import numpy as np
import pytest

from helpers import run
from veltra import _veltra

rng = np.random.default_rng(3)
X = rng.normal(size=(40, 6))
y = X[:, 0] - X[:, 1] + 0.5 * rng.normal(size=40)
NARROW = X[:, :4]  # fewer than 5 columns: the split_nb gate fires


def call(name, **arguments):
    return _veltra.call(name, arguments, lambda type_name, fields: (type_name, fields))


def test_records_and_score_maps():
    (name, out), warnings = call("pls1_find_k_optimal", X=X, y=y, k_max=4, seed=2,
                                 diagnostic="split_exact", args={"n_perm": 20, "n_splits": 4})
    assert (name, warnings) == ("FindKOptimalResult", [])
    assert list(out) == ["k_star", "selector", "cv_scores", "cv_scores_se", "bic_scores",
                         "pvalues", "diagnostic", "seed", "n_eff", "stable_rank"]
    assert list(out["cv_scores"]) == sorted(out["cv_scores"]) and out["bic_scores"] is None
    assert (out["selector"], out["diagnostic"], out["seed"]) == ("r2_se", "split_exact", 2)
    assert len(out["pvalues"]) == out["k_star"]
    (name, seq), _ = call("spls1_find_k_sequence", X=X, y=y, k_max=3, keep=6, test_method="e", seed=2)
    assert name == "FindKSequenceResult"
    assert list(seq) == ["k_star", "pvalues", "test_method", "alpha", "seed", "n_eff", "stable_rank"]
    assert (seq["alpha"], seq["test_method"], len(seq["pvalues"])) == (0.05, "e", 3)
    # keep = p is the dense search.
    dense = run("pls1_find_k_sequence", {"X": X, "y": y, "k_max": 3, "test_method": "e", "seed": 2})
    np.testing.assert_array_equal(dense["pvalues"], seq["pvalues"])


def test_bic_accepts_a_null_n_folds():
    out = run("pls1_find_k_optimal", {"X": X, "y": y, "k_max": 3, "selector": "bic",
                                      "args": {"n_folds": None}})
    assert out["k_star"] == min(out["bic_scores"], key=out["bic_scores"].get)


def test_rerouted_only_when_the_gate_refuses_split_nb():
    (_, seq), [w] = call("pls1_find_k_sequence", X=NARROW, y=y, k_max=2, test_method="split_nb",
                         args={"n_splits": 4}, seed=1)
    assert (w["requested"], w["actual"], w["n_perm"]) == ("split_nb", "split_exact", 1000)
    assert (seq["test_method"], w["stable_rank"]) == ("split_exact", seq["stable_rank"])
    (_, seq), warnings = call("pls1_find_k_sequence", X=NARROW, y=y, k_max=1, seed=1,
                              args={"n_perm": 10, "n_splits": 4})
    assert (seq["test_method"], warnings) == ("split_exact", [])  # auto never warns
    (_, opt), [w] = call("pls1_find_k_optimal", X=NARROW, y=np.zeros(40), k_max=2,
                         diagnostic="split_nb")
    assert (opt["k_star"], list(opt["pvalues"]), opt["diagnostic"]) == (0, [], "split_exact")
    assert (w["requested"], w["actual"], w["stable_rank"]) == ("split_nb", "split_exact", opt["stable_rank"])


@pytest.mark.parametrize("mode, find_k_args", [("optimal", {"selector": "r2_max"}),
                                               ("sequence", {"test_method": "e", "alpha": 0.2})])
def test_pls1_fit_fits_the_chosen_k(mode, find_k_args):
    model = run("pls1_fit", {"X": X, "y": y, "k": mode, "k_max": 4, "seed": 9,
                             "find_k_args": find_k_args})
    selection = model["selection_result"]
    assert model["k_used"] == selection["k_star"] >= 1
    name = "pls1_find_k_optimal" if mode == "optimal" else "pls1_find_k_sequence"
    direct = run(name, {"X": X, "y": y, "k_max": 4, "seed": 9, **find_k_args})
    assert direct["k_star"] == selection["k_star"] and direct["seed"] == selection["seed"] == 9
