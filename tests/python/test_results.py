"""Conversion of result values to Python objects, on values made in C++ by
the probe or by a call, and the raising of binding errors with their detail fields.
The probe carries its own copy of the seam and so its own exception class."""

import numpy as np
import pytest

from veltra import _veltra
from helpers import Recorder, data_table, plain


CASES = data_table("probe_results.json", globals())


@pytest.mark.parametrize("name, value", CASES["plain"])  # a plain record never calls make_result
def test_plain_values(probe, name, value):
    got = probe.case(name, 42)[0]
    assert (got == value or (np.isnan(got) and np.isnan(value))) and type(got) is type(value)
    if isinstance(value, dict):
        assert list(got) == list(value) and [type(v) for v in got.values()] == [type(v) for v in value.values()]
    if isinstance(value, list):
        assert [type(v) for v in got] == [type(v) for v in value]


@pytest.mark.parametrize("name, values, own_buffer", CASES["arrays"][1:])
def test_arrays(probe, name, values, own_buffer):
    arr, buffer = probe.case(name, None)
    expected = np.asarray(values, dtype=float)
    assert type(arr) is np.ndarray and arr.dtype == np.float64 and arr.shape == expected.shape
    assert arr.flags.c_contiguous and arr.flags.writeable and arr.flags.aligned
    np.testing.assert_array_equal(arr, expected)
    assert (arr.__array_interface__["data"][0] == buffer) is own_buffer


@pytest.mark.parametrize("name, message", CASES["broken"][1:])
def test_a_buffer_that_does_not_fit_its_shape_is_an_internal_failure(probe, name, message):
    exc = raised(probe, name)
    assert exc.code == "internal" and (message is None or str(exc) == message)


def test_typed_records_are_built_inner_first_and_make_result_failures_pass_unchanged():
    # A rotated model holds its rotation's record, which holds a plain one.
    recorder = Recorder()
    model = _veltra.call("pls1_fit", {"X": np.eye(4, 3) + 0.5, "y": np.arange(4.0), "k": 2}, plain)[0]
    outer = _veltra.call("rotate", {"model_or_W": model}, recorder)[0]
    assert [c[0] for c in recorder.calls] == ["RotationSpec", "PLS1Result"] and outer[:2] == ("built", "PLS1Result")
    assert outer[2]["rotation_spec"][:2] == ("built", "RotationSpec") and type(outer[2]["rotation_spec"][2]["args"]) is dict
    error, seen = ValueError("refused"), []

    def make_result(type_name, fields):
        seen.append(type_name)
        raise error

    with pytest.raises(ValueError) as info:
        _veltra.call("rotate", {"model_or_W": model}, make_result)
    assert info.value is error and seen == ["RotationSpec"]
    with pytest.raises(TypeError):
        _veltra.call("rotate", {"model_or_W": model}, 42)


def raised(probe, name, make_result=None):
    with pytest.raises(probe.VeltraException) as info:
        probe.case(name, make_result)
    return info.value


def test_binding_error_details_become_attributes(probe):
    exc = raised(probe, "invalid_weights")
    assert (exc.code, exc.reason, exc.args) == ("invalid_weights", "negative", (str(exc),)) and "negative" in str(exc)
    exc = raised(probe, "resampling_degenerate")
    assert (exc.code, exc.skipped, exc.total, exc.skip_rate, exc.threshold) == (
        "resampling_degenerate", 3, 2**63 - 1, 0.075, 0.05)
    # A typed detail is built by make_result, whose own failure wins.
    assert raised(probe, "typed_detail", Recorder()).model[:2] == ("built", "CIScalar")
    with pytest.raises(LookupError):
        probe.case("typed_detail", lambda type_name, fields: {}[type_name])


def test_results_never_share_memory_with_inputs(probe):
    x, y = np.arange(12.0).reshape(4, 3), np.arange(4.0)
    inputs = {"X": x, "Y": np.asfortranarray(x), "y": y, "s": y[::2], "i": x.astype(np.int32)}
    back = probe.roundtrip(dict(inputs))
    for name, source in inputs.items():
        assert back[name].flags.c_contiguous and back[name].flags.writeable
        assert not np.shares_memory(back[name], source)
        np.testing.assert_array_equal(back[name], source)


@pytest.mark.parametrize("form", ["owned", "adopted", "padded"])
# Last: large enough to be written in parallel parts.
@pytest.mark.parametrize("rows, cols", [(0, 5), (5, 0), (1, 70), (70, 1), (33, 65), (100, 37), (64, 64), (701, 401)])
def test_transposed_forms_match_numpys_transpose(probe, form, rows, cols):
    arr, _ = probe.case(f"{form} {rows} {cols}", None)
    assert arr.dtype == np.float64 and arr.flags.c_contiguous and arr.shape == (rows, cols)
    assert np.array_equal(arr, np.arange(rows * cols, dtype=np.float64).reshape(cols, rows).T)
