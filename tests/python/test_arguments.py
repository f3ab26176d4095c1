"""Conversion of Python arguments: every message with its path, and the
kind and form of the values that reach the binding layer (read through the
probe where call() cannot show them)."""

import dataclasses
import sys
import types

import numpy as np
import pytest

from helpers import UNKNOWN, Recorder, data_table, failure


def conversion_error(value):
    """The VeltraException that call raises for one argument X."""
    return failure(UNKNOWN, {"X": value}, Recorder())


def assert_refused(value, message):
    exc = conversion_error(value)
    assert (exc.code, str(exc)) == ("invalid_argument", message)


def nest(value, levels, wrap=lambda v: [v]):
    for _ in range(levels):
        value = wrap(value)
    return value


def address(arr):
    return arr.__array_interface__["data"][0]


def misaligned(dtype, values):
    arr = np.zeros(len(values) * np.dtype(dtype).itemsize + 1, dtype=np.uint8)[1:].view(dtype)
    arr[:] = values
    return arr


Point = dataclasses.make_dataclass("Point", ["x", "tags", ("inner", object, None)])
BadRepr = type("BadRepr", (), {"__repr__": lambda self: int("no repr")})  # its repr raises


REFUSALS = data_table("conversion_refusals.json", globals())[1:]


@pytest.mark.parametrize("value, message", REFUSALS)
def test_refused(value, message):
    assert_refused(value, message)


@pytest.mark.parametrize("value", [nest(1.5, 32), nest(1.0, 32, lambda v: {"a": v}), nest({1: 2.0}, 32),
                                   np.int8(-3), np.float16(1.5), misaligned(np.int32, [1, 2])])
def test_accepted(value):
    assert str(conversion_error(value)) == f"unknown function '{UNKNOWN}'"


def test_lone_surrogate_text_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        conversion_error("\ud800")


def test_kinds_and_values(probe):
    kinds = data_table("conversion_kinds.json", globals())[1:]
    values = {f"v{i}": row[0] for i, row in enumerate(kinds)}
    forms, back = probe.forms(values), probe.roundtrip(values)
    for i, (_, kind, expected) in enumerate(kinds):
        got = back[f"v{i}"]
        assert (forms[f"v{i}"][0], got, type(got)) == (kind, expected, type(expected))
    assert all(type(v) is float for v in back[f"v{len(kinds) - 1}"].values())


class Custom(dict):
    pass


def test_mappings_become_plain_records_and_dataclasses_typed_ones(probe):
    recorder = Recorder()
    proxy = types.MappingProxyType({"b": 1, "a": [2.5]})
    back = probe.roundtrip({"d": {}, "p": proxy, "c": Custom(z=1), "r": Point(1.5, [1, 2], Point(2.0, []))}, recorder)
    inner = ("built", "Point", {"x": 2.0, "tags": [], "inner": None})
    assert back == {"d": {}, "p": {"b": 1, "a": [2.5]}, "c": {"z": 1},
                    "r": ("built", "Point", {"x": 1.5, "tags": [1, 2], "inner": inner})}
    assert list(back["p"]) == ["b", "a"]
    assert [c[0] for c in recorder.calls] == ["Point", "Point"]


def test_a_failing_mapping_test_is_reported_as_unraisable_and_counts_as_no_mapping(monkeypatch):
    class Odd:
        @property
        def __class__(self):
            seen.append("looked")
            if len(seen) == 1:
                raise RuntimeError("no class today")
            return Odd

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: seen.append(info.exc_type))
    assert_refused(Odd(), "X has unsupported type 'Odd'")
    assert RuntimeError in seen


def test_vectors_are_borrowed_when_contiguous(probe):
    v = np.arange(5.0)
    forms = probe.forms({"v": v, "one": v[3:4], "e": np.zeros(0), "s": v[::2], "r": v[::-1]})
    assert (forms["v"], forms["one"]) == (("Vec", "borrowed", address(v)), ("Vec", "borrowed", address(v[3:4])))
    assert [forms[k][:2] for k in "esr"] == [("Vec", "borrowed"), ("Vec", "owned"), ("Vec", "owned")]
    back = probe.roundtrip({"s": v[::2], "r": v[::-1], "h": np.array([1, 2], np.float16),
                            "u": np.array([2**64 - 1], np.uint64), "m": misaligned(np.int32, [1, 2])})
    assert [back[k].tolist() for k in "srhum"] == [[0, 2, 4], [4, 3, 2, 1, 0], [1, 2], [2.0**64], [1, 2]]


def test_matrices_by_layout_dtype_and_name(probe):
    # X and X_new are read in place in either order; other matrices become
    # column-major unless F-contiguous; a converted dtype counts as its copy.
    c = np.arange(6.0).reshape(2, 3)
    f, ints = np.asfortranarray(c), c.astype(np.int32)
    base = np.arange(24.0).reshape(4, 6)
    values = {"X": c, "X_new": ints, "Y": c, "F": f, "Yi": ints,
              "B": np.asfortranarray(ints > 2), "S": c.astype(">f8"), "row": base[2:3],
              "X2": base[:, ::2], "rev": base[::-1, ::-1], "T": base.T[1:4], "bcast": np.broadcast_to(base[0], (3, 6)),
              "column": base[:, 1:2], "wide": base[2:3, ::-1], "E": np.zeros((0, 3)), "E2": np.zeros((0, 0))[:, ::-1]}
    forms = probe.forms(dict(values))
    assert forms["X"] == ("Mat", "Strided", address(c), 3, 1)
    assert forms["F"] == ("Mat", "Strided", address(f), 1, 2)
    # One row of a C-ordered matrix is F-contiguous too (axes of length 1 don't count).
    assert forms["row"] == ("Mat", "Strided", address(values["row"]), 1, 1)
    new = forms["X_new"]
    assert new[:2] + new[3:] == ("Mat", "Strided", 3, 1) and new != address(ints)
    assert forms["B"][:2] + forms["B"][3:] == ("Mat", "Strided", 1, 2)
    for name in ("Y", "Yi", "S", "X2", "rev", "T", "bcast", "column", "wide"):
        assert forms[name][:2] == ("Mat", "ColMajor"), name
    back = probe.roundtrip(dict(values))
    for name, value in values.items():
        np.testing.assert_array_equal(back[name], value)
