"""Conversion of Python arguments: every message with its path, and the
kind and form of the values that reach the binding layer (read through the
probe where call() cannot show them)."""

import dataclasses
import subprocess
import sys
import types

import numpy as np
import pytest

from helpers import Recorder, assert_accepted, assert_refused, conversion_error


def nest(value, levels):
    for _ in range(levels):
        value = [value]
    return value


def address(arr):
    return arr.__array_interface__["data"][0]


# ---- nesting and paths ----


def test_nesting_32_levels_accepted_33_refused():
    assert_accepted(nest(1.5, 32))
    assert_refused(nest(1.5, 33), "X" + "[0]" * 33 + " is nested too deeply")


def test_string_keys_and_fields_count_as_levels_integer_keys_do_not():
    deep = 1.0
    for _ in range(32):
        deep = {"a": deep}
    assert_accepted(deep)
    assert_refused({"a": deep}, "X" + "['a']" * 33 + " is nested too deeply")
    # The values under integer keys are leaves: no level of their own.
    assert_accepted(nest({1: 2.0}, 32))


def test_paths_name_every_step():
    @dataclasses.dataclass
    class Inner:
        w: object

    value = {"opts": [0, {"k's": Inner(object())}]}
    assert_refused(value, "args['opts'][1]['k's'].w has unsupported type 'object'", name="args")
    assert_refused({"m": {7: "x"}}, "args['m'][7] must be a number, got the string \"x\"", name="args")
    assert_refused({2**64: 1.0}, "X key is outside the 64-bit integer range [-2^63, 2^64), got 18446744073709551616")


# ---- integers and scalars ----


@pytest.mark.parametrize(
    "value, got",
    [
        (2**64, "18446744073709551616"),
        (-(2**63) - 1, "-9223372036854775809"),
        (2**128 - 1, str(2**128 - 1)),
        (2**128, "an integer of 129 bits"),
        (2**200, "an integer of 201 bits"),
        (-(2**200), "an integer of 201 bits"),
    ],
)
def test_integer_range(value, got):
    assert_refused(value, f"X is outside the 64-bit integer range [-2^63, 2^64), got {got}")


def test_integers_bools_and_numpy_scalars(probe):
    forms = probe.forms({
        "big": 2**63, "top": 2**64 - 1, "low": -(2**63), "t": True, "n": None, "f": 0.25, "s": "é",
        "i32": np.int32(5), "u64": np.uint64(2**64 - 1), "f32": np.float32(0.5), "nb": np.bool_(False),
        "f64": np.float64(2.5),
    })
    kinds = {k: v[0] for k, v in forms[2].items()}
    assert kinds == {
        "big": "UInt", "top": "UInt", "low": "Int", "t": "Bool", "n": "None", "f": "Float", "s": "Str",
        "i32": "Int", "u64": "UInt", "f32": "Float", "nb": "Bool", "f64": "Float",
    }
    back = probe.roundtrip({"i32": np.int32(5), "f32": np.float32(0.5), "nb": np.bool_(True),
                            "low": -(2**63), "big": 2**63, "s": "r\u00e9sum\u00e9"})
    assert back == {"i32": 5, "f32": 0.5, "nb": True, "low": -(2**63), "big": 2**63, "s": "r\u00e9sum\u00e9"}
    assert type(back["i32"]) is int and type(back["nb"]) is bool


def test_numpy_integer_out_of_range_and_other_numpy_scalars():
    assert_refused(np.array([1 + 2j])[0], "X has unsupported type 'complex128'")
    assert_accepted(np.int8(-3))
    assert_accepted(np.float16(1.5))


def test_lone_surrogate_text_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        conversion_error("\ud800")


# ---- lists ----


def test_lists_of_signed_integers_become_integer_vectors(probe):
    forms = probe.forms({
        "ints": [1, 2, 3], "empty": [], "tuple": (4, np.int64(5)), "floats": [1.0], "mixed": [1, 2.0],
        "bools": [True, False], "big": [1, 2**63], "nested": [[1]],
    })[2]
    assert {k: v[0] for k, v in forms.items()} == {
        "ints": "IntVec", "empty": "IntVec", "tuple": "IntVec", "floats": "List", "mixed": "List",
        "bools": "List", "big": "List", "nested": "List",
    }
    back = probe.roundtrip({"ints": (1, 2, 3), "mixed": [1, 2.5, "a", None]})
    assert back == {"ints": [1, 2, 3], "mixed": [1, 2.5, "a", None]}


# ---- mappings ----


def test_mapping_keys_all_strings_or_all_integers():
    message = "X must have all string keys or all integer keys, got the key {}"
    assert_refused({"a": 1, 2: 3}, message.format("2"))
    assert_refused({2: 3, "a": 1}, message.format('the string "a"'))
    assert_refused({1.5: 1}, message.format("1.5"))
    assert_refused({True: 1}, message.format("True"))
    assert_refused({None: 1}, message.format("None"))
    assert_refused({2**63: 1}, message.format("9223372036854775808"))
    assert_refused({(1, 2): 1}, message.format("(1, 2)"))


def test_integer_keyed_values_must_be_numbers():
    for value, got in [(True, "True"), (None, "None"), ("a", 'the string "a"'), ([1], "[1]"),
                       (np.bool_(True), "np.True_")]:
        assert_refused({3: 1.0, 1: value}, f"X[1] must be a number, got {got}")
    assert_refused({1: 2**64}, "X[1] is outside the 64-bit integer range [-2^63, 2^64), got 18446744073709551616")


def test_integer_keyed_mapping_becomes_a_map_of_reals(probe):
    back = probe.roundtrip({"m": {1: 2, 3: 4.5, -2: np.int32(7), 5: 2**63, 6: np.float32(0.25)}})
    assert back["m"] == {1: 2.0, 3: 4.5, -2: 7.0, 5: 2.0**63, 6: 0.25}
    assert all(type(v) is float for v in back["m"].values())
    assert probe.forms({"m": {1: 2}})[2]["m"] == ("IntMap",)


def test_mappings_become_plain_records(probe, recorder):
    class Custom(dict):
        pass

    proxy = types.MappingProxyType({"b": 1, "a": [2.5]})
    back = probe.roundtrip({"d": {}, "p": proxy, "c": Custom(z=1)}, recorder)
    assert back == {"d": {}, "p": {"b": 1, "a": [2.5]}, "c": {"z": 1}}
    assert list(back["p"]) == ["b", "a"]
    assert recorder.calls == []


def test_a_failing_mapping_test_is_reported_and_counts_as_no_mapping():
    calls = []

    class Odd:
        @property
        def __class__(self):
            calls.append(1)
            if len(calls) == 1:
                raise RuntimeError("no class today")
            return Odd

    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = lambda info: seen.append(info.exc_type)
    try:
        assert_refused(Odd(), "X has unsupported type 'Odd'")
    finally:
        sys.unraisablehook = old
    assert seen == [RuntimeError]


# ---- dataclasses ----


@dataclasses.dataclass
class Point:
    x: float
    tags: list
    inner: object = None


def test_dataclass_instance_becomes_a_typed_record(probe, recorder):
    value = Point(1.5, [1, 2], Point(2.0, []))
    back = probe.roundtrip({"p": value}, recorder)
    assert [c[0] for c in recorder.calls] == ["Point", "Point"]
    inner = ("built", "Point", {"x": 2.0, "tags": [], "inner": None})
    assert back == {"p": ("built", "Point", {"x": 1.5, "tags": [1, 2], "inner": inner})}
    assert probe.forms({"p": value})[2]["p"][:2] == ("Record", "Point")


def test_dataclass_class_is_unsupported():
    assert_refused(Point, "X has unsupported type 'type'")
    assert_refused(int, "X has unsupported type 'type'")


def test_unsupported_objects_and_descriptions():
    class Bad:
        def __repr__(self):
            raise ValueError("no repr")

    assert_refused(object(), "X has unsupported type 'object'")
    assert_refused({1, 2}, "X has unsupported type 'set'")
    assert_refused({1: Bad()}, "X[1] must be a number, got a value of type Bad")
    assert_refused({1: 'a"b\\\n\t\x00\x07\u00e9\''},
                   'X[1] must be a number, got the string "a\\"b\\\\\\n\\t\\0\\u{7}\u00e9\'"')


# ---- arrays ----


def test_zero_dimensional_arrays_are_scalars(probe):
    back = probe.roundtrip({"f": np.array(2.5), "i": np.array(3, dtype=np.int32), "s": np.array("ab")})
    assert back == {"f": 2.5, "i": 3, "s": "ab"}
    assert type(back["f"]) is float and type(back["i"]) is int
    assert_refused(np.array(1 + 2j), "X has unsupported type 'complex'")


def test_array_shape_and_dtype_refusals():
    assert_refused(np.zeros((2, 2, 2)), "X must be an array of at most 2 dimensions, got 3-D")
    assert_refused(np.zeros(3, dtype=np.complex128), "X has unsupported array dtype complex128")
    assert_refused(np.array(["a", "bc"]), "X has unsupported array dtype <U2")
    assert_refused(np.array([None]), "X has unsupported array dtype object")
    assert_refused(np.zeros(2, dtype="datetime64[s]"), "X has unsupported array dtype datetime64[s]")


def misaligned(dtype, n):
    raw = np.zeros(n * np.dtype(dtype).itemsize + 1, dtype=np.uint8)
    arr = raw[1:].view(dtype)
    assert not arr.flags.aligned
    return arr


def test_misaligned_float64_refused_other_dtypes_converted(probe):
    assert_refused(misaligned(np.float64, 4), "X must be an aligned array, got a misaligned one")
    assert_refused({"m": misaligned(np.float64, 4)}, "args['m'] must be an aligned array, got a misaligned one",
                   name="args")
    values = misaligned(np.int32, 4)
    values[:] = [1, 2, 3, 4]
    assert_accepted(values)
    assert probe.roundtrip({"v": values})["v"].tolist() == [1.0, 2.0, 3.0, 4.0]


def test_vectors_borrowed_when_contiguous(probe):
    v = np.arange(5.0)
    forms = probe.forms({"v": v, "s": v[::2], "r": v[::-1], "e": np.zeros(0), "one": v[3:4]})[2]
    assert forms["v"] == ("Vec", "borrowed", address(v))
    assert forms["one"] == ("Vec", "borrowed", address(v[3:4]))
    assert forms["s"][:2] == ("Vec", "owned")
    assert forms["r"][:2] == ("Vec", "owned")
    assert forms["e"][:2] == ("Vec", "borrowed")
    back = probe.roundtrip({"s": v[::2], "r": v[::-1]})
    assert back["s"].tolist() == [0.0, 2.0, 4.0]
    assert back["r"].tolist() == [4.0, 3.0, 2.0, 1.0, 0.0]


def test_matrix_forms_by_layout_and_name(probe):
    c = np.arange(6.0).reshape(2, 3)
    f = np.asfortranarray(c)
    forms = probe.forms({"X": c, "X_new": c, "Y": c, "F": f, "nested": {"X": c}})[2]
    assert forms["X"] == ("Mat", "Strided", address(c), 3, 1)
    assert forms["X_new"] == ("Mat", "Strided", address(c), 3, 1)
    assert forms["Y"][:2] == ("Mat", "ColMajor")
    assert forms["F"] == ("Mat", "Strided", address(f), 1, 2)
    assert forms["nested"][2]["X"][:2] == ("Mat", "ColMajor")


def test_converted_dtypes_are_read_in_place_after_conversion(probe):
    ints = np.arange(6, dtype=np.int32).reshape(2, 3)
    forms = probe.forms({"X": ints, "Y": ints, "B": np.asfortranarray(ints > 2),
                         "S": np.arange(6.0).reshape(2, 3).astype(">f8")})[2]
    assert forms["X"][:2] == ("Mat", "Strided") and forms["X"][3:] == (3, 1)
    assert forms["X"][2] != address(ints)
    assert forms["Y"][:2] == ("Mat", "ColMajor")
    assert forms["B"][:2] == ("Mat", "Strided") and forms["B"][3:] == (1, 2)
    assert forms["S"][:2] == ("Mat", "ColMajor")
    back = probe.roundtrip({"X": ints, "S": np.arange(6.0).reshape(2, 3).astype(">f8"),
                            "h": np.array([1, 2], dtype=np.float16), "u": np.array([2**64 - 1], np.uint64)})
    assert back["X"].tolist() == [[0, 1, 2], [3, 4, 5]]
    assert back["S"].tolist() == [[0, 1, 2], [3, 4, 5]]
    assert back["h"].tolist() == [1.0, 2.0]
    assert back["u"].tolist() == [float(2**64 - 1)]


def test_non_contiguous_matrices_are_copied_in_order(probe):
    base = np.arange(24.0).reshape(4, 6)
    views = {
        "X": base[:, ::2], "rev": base[::-1, ::-1], "T": base.T[1:4], "bcast": np.broadcast_to(base[0], (3, 6)),
        "column": base[:, 1:2], "wide": base[2:3, ::-1], "row": base[2:3],
    }
    forms = probe.forms(dict(views))[2]
    for name in ("X", "rev", "T", "bcast", "column", "wide"):
        assert forms[name][:2] == ("Mat", "ColMajor"), name
    # One row of a C-ordered matrix is F-contiguous too (axes of length 1
    # don't count): read in place.
    assert forms["row"] == ("Mat", "Strided", address(views["row"]), 1, 1)
    back = probe.roundtrip(dict(views))
    for name, view in views.items():
        np.testing.assert_array_equal(back[name], view)


def test_empty_matrices(probe):
    back = probe.roundtrip({"X": np.zeros((0, 3)), "Y": np.zeros((3, 0)), "Z": np.zeros((0, 0))[:, ::-1]})
    assert [back[k].shape for k in "XYZ"] == [(0, 3), (3, 0), (0, 0)]


def test_without_numpy_only_plain_scalars_convert():
    script = """
import sys
sys.modules["numpy"] = None
from veltra import _veltra
for value in (None, True, 3, 2.5, "s"):
    try:
        _veltra.call("no_such_function", {"a": value}, None)
    except _veltra.VeltraException as exc:
        assert str(exc) == "unknown function 'no_such_function'", exc
for value in ([], {}, [1], object()):
    try:
        _veltra.call("no_such_function", {"a": value}, None)
    except ImportError:
        pass
    else:
        raise AssertionError(value)
print("ok")
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "ok"


def test_python_code_run_while_collecting_arguments(probe):
    # A NumPy scalar's integer value comes from its own __index__.
    back = probe.roundtrip({"k": np.uint8(200), "r": Recorder is not None})
    assert back == {"k": 200, "r": True}
