"""pls3_confirmatory_test through call: the result record, its reproducibility
over memory layouts, and the rerouting warning. The numbers themselves are
checked in the engine's tests."""

import numpy as np
import pytest

from helpers import plain, typed, _veltra

FIELDS = ["pvalue", "statistic", "test_method", "k", "n_perm", "n_splits", "seed", "n_eff", "rho_hat",
          "stable_rank", "ci"]
rng = np.random.default_rng(17)
factor = rng.normal(size=(40, 1))
X = factor @ rng.normal(size=(1, 6)) + 0.5 * rng.normal(size=(40, 6)) + 3.0
Y = factor @ rng.normal(size=(1, 3)) + 0.5 * rng.normal(size=(40, 3))


def call(arguments, make_result=plain):
    return _veltra.call("pls3_confirmatory_test", {"X": X, "Y": Y, "seed": 5, **arguments}, make_result)


def test_record_and_reproducibility():
    (out, warnings) = call({"test_method": "split_exact", "args": {"n_perm": 99, "n_splits": 5}}, typed)
    assert type(out).__name__ == "ConfirmatoryTestResult" and list(vars(out)) == FIELDS and warnings == []
    assert (out.test_method, out.k, out.n_perm, out.n_splits, out.seed, out.n_eff) == ("split_exact", 1, 99, 5, 5, 40.0)
    assert out.pvalue == pytest.approx(0.01) and out.ci is None and out.rho_hat is None and out.stable_rank is None
    again = call({"X": np.asfortranarray(X), "Y": Y[::-1][::-1], "test_method": "split_exact",
                  "args": {"n_perm": 99, "n_splits": 5}})[0]
    assert again == vars(out)


def narrow(method, args=None):
    return _veltra.call("pls3_confirmatory_test", {"X": X[:, :4], "Y": Y, "test_method": method, "args": args,
                                                   "seed": 1}, plain)


def test_rerouting_warning_only_when_the_gate_refuses_split_nb():
    out, [w] = narrow("split_nb")
    assert (w["kind"], w["requested"], w["actual"], w["n_perm"]) == ("rerouted", "split_nb", "split_exact", 1000)
    assert (out["test_method"], out["n_perm"], out["n_splits"]) == ("split_exact", 1000, 50)
    assert w["stable_rank"] == out["stable_rank"] and w["n_eff"] == 40.0
    assert narrow("split_nb", {"force": True})[1] == narrow("auto")[1] == []
