"""Conversion of result values to Python objects, on values made in C++ by
the probe, and the raising of binding errors with their detail fields.
The probe carries its own copy of the seam and so its own exception class."""

import numpy as np
import pytest

from helpers import Recorder


def case(probe, name, make_result=None):
    return probe.case(name, Recorder() if make_result is None else make_result)


def address(arr):
    return arr.__array_interface__["data"][0]


def assert_result_array(arr, shape):
    assert type(arr) is np.ndarray
    assert arr.dtype == np.float64
    assert arr.shape == shape
    assert arr.flags.c_contiguous and arr.flags.writeable and arr.flags.aligned


def test_scalars_and_text(probe):
    assert case(probe, "none")[0] is None
    assert case(probe, "bool")[0] is True
    assert case(probe, "int_min")[0] == -(2**63)
    top = case(probe, "uint_max")[0]
    assert top == 2**64 - 1 and type(top) is int
    assert np.isnan(case(probe, "nan")[0])
    assert case(probe, "neg_inf")[0] == float("-inf")
    assert case(probe, "str")[0] == "r\u00e9sum\u00e9"


def test_owned_vector_and_row_major_matrix_are_not_copied(probe):
    vec, buffer = case(probe, "owned_vec")
    assert_result_array(vec, (3,))
    assert vec.tolist() == [1.5, -2.5, 3.5]
    assert address(vec) == buffer
    mat, buffer = case(probe, "row_major")
    assert_result_array(mat, (2, 3))
    assert mat.tolist() == [[1, 2, 3], [4, 5, 6]]
    assert address(mat) == buffer
    # The array keeps its buffer alive and may be written.
    del buffer
    mat[1, 2] = -1.0
    assert mat.sum() == 14.0


def test_borrowed_and_gathered_forms_come_back_as_fresh_arrays(probe):
    vec, _ = case(probe, "borrowed_vec")
    assert_result_array(vec, (6,))
    assert vec.tolist() == [1, 2, 3, 4, 5, 6]
    col, _ = case(probe, "col_major")
    assert_result_array(col, (3, 2))
    assert col.tolist() == [[1, 4], [2, 5], [3, 6]]
    strided, _ = case(probe, "strided")
    assert strided.tolist() == [[1, 2, 3], [4, 5, 6]]
    reversed_, _ = case(probe, "strided_reversed")
    assert_result_array(reversed_, (2, 3))
    assert reversed_.tolist() == [[6, 5, 4], [3, 2, 1]]


def test_empty_shapes(probe):
    assert_result_array(case(probe, "empty_vec")[0], (0,))
    assert_result_array(case(probe, "empty_rows")[0], (0, 3))
    assert_result_array(case(probe, "empty_cols")[0], (2, 0))


@pytest.mark.parametrize("form", ["owned", "adopted", "padded"])
# Last: large enough to be written in parallel parts.
@pytest.mark.parametrize("rows, cols", [(0, 5), (5, 0), (1, 70), (70, 1), (33, 65), (100, 37), (64, 64), (701, 401)])
def test_transposed_forms_match_numpys_transpose(probe, form, rows, cols):
    arr, _ = case(probe, f"{form} {rows} {cols}")
    assert_result_array(arr, (rows, cols))
    expected = np.arange(rows * cols, dtype=np.float64).reshape(cols, rows).T
    assert np.array_equal(arr, expected)


@pytest.mark.parametrize(
    "name, text",
    [
        ("row_major_short", "ShapeError/OutOfBounds: out of bounds indexing"),
        ("row_major_long", "ShapeError/IncompatibleShape: incompatible shapes"),
        ("row_major_overflow", "ShapeError/Overflow: arithmetic overflow"),
    ],
)
def test_row_major_buffer_that_does_not_fit_its_shape(probe, name, text):
    with pytest.raises(probe.VeltraException) as info:
        case(probe, name)
    assert info.value.code == "internal"
    assert str(info.value) == f"result matrix: {text}"


def test_column_major_buffer_that_does_not_fit_is_an_internal_failure(probe):
    with pytest.raises(probe.VeltraException) as info:
        case(probe, "col_major_short")
    assert info.value.code == "internal"


def test_maps_and_lists(probe):
    m = case(probe, "int_map")[0]
    assert m == {1: 0.5, 2: 1.5, 3: 2.5}
    assert all(type(k) is int and type(v) is float for k, v in m.items())
    repeated = case(probe, "int_map_repeated")[0]
    assert repeated == {4: 3.0, 2: 2.0} and list(repeated) == [4, 2]
    ints = case(probe, "int_vec")[0]
    assert ints == [3, -1, 9007199254740993] and all(type(i) is int for i in ints)
    assert case(probe, "bool_vec")[0] == [True, False, True]


def test_typed_records_are_built_inner_first(probe):
    recorder = Recorder()
    outer = case(probe, "nested", recorder)[0]
    assert [c[0] for c in recorder.calls] == ["CIScalar"] * 4 + ["Outer"]
    assert [c[1]["point"] for c in recorder.calls[:4]] == [1, 4, 2, 3]
    assert outer[:2] == ("built", "Outer")
    fields = outer[2]
    assert list(fields) == ["first", "plain", "list", "matrix"]
    assert fields["first"] == ("built", "CIScalar", {"point": 1.0, "lower": 0.0, "upper": 2.0, "sd": 0.5})
    assert type(fields["plain"]) is dict and fields["plain"]["inner"][1] == "CIScalar"
    assert [item[2]["point"] for item in fields["list"]] == [2.0, 3.0]
    assert fields["matrix"].tolist() == [[7.0, 8.0]]


def test_plain_records_never_call_make_result(probe):
    recorder = Recorder()
    assert case(probe, "warning", recorder)[0] == {"kind": "rerouted", "message": "m"}
    assert recorder.calls == []


def test_make_result_exception_passes_through_unchanged(probe):
    error = ValueError("refused")
    seen = []

    def make_result(type_name, fields):
        seen.append(type_name)
        raise error

    with pytest.raises(ValueError) as info:
        case(probe, "nested", make_result)
    assert info.value is error
    assert seen == ["CIScalar"]
    with pytest.raises(TypeError):
        case(probe, "nested", 42)


def test_binding_error_details_become_attributes(probe):
    with pytest.raises(probe.VeltraException) as info:
        probe.raise_error("invalid_weights", None)
    exc = info.value
    assert exc.code == "invalid_weights"
    assert exc.reason == "negative"
    assert str(exc) == exc.args[0] and "negative" in str(exc)
    with pytest.raises(probe.VeltraException) as info:
        probe.raise_error("resampling_degenerate", None)
    exc = info.value
    assert exc.code == "resampling_degenerate"
    assert (exc.skipped, exc.total, exc.skip_rate, exc.threshold) == (3, 2**63 - 1, 0.075, 0.05)


def test_typed_detail_is_built_by_make_result_and_its_failure_wins(probe):
    with pytest.raises(probe.VeltraException) as info:
        probe.raise_error("typed", Recorder())
    assert info.value.model[:2] == ("built", "CIScalar")

    def refuse(type_name, fields):
        raise LookupError(type_name)

    with pytest.raises(LookupError):
        probe.raise_error("typed", refuse)


def test_results_never_share_memory_with_inputs(probe):
    x = np.arange(12.0).reshape(4, 3)
    f = np.asfortranarray(x)
    y = np.arange(4.0)
    inputs = {"X": x, "Y": f, "y": y, "s": y[::2], "n": {"m": x}, "i": x.astype(np.int32)}
    back = probe.roundtrip(dict(inputs))
    pairs = [(back["X"], x), (back["Y"], f), (back["y"], y), (back["s"], y), (back["n"]["m"], x), (back["i"], x)]
    for out, source in pairs:
        assert_result_array(out, out.shape)
        assert not np.shares_memory(out, source)
        np.testing.assert_array_equal(out, source if out.shape == source.shape else source[::2])
