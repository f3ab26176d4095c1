"""call(): parameter binding, the order of its checks, the registry's
checks after conversion, and the guard around the conversions."""

import types

import numpy as np
import pytest

from veltra import _veltra
from helpers import UNKNOWN, Recorder

VE = _veltra.VeltraException


def type_error(*args, **kwargs):
    with pytest.raises(TypeError) as info:
        _veltra.call(*args, **kwargs)
    assert type(info.value) is TypeError
    return info.value


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("a", {}, None, 4), {}, "call() takes 3 positional arguments but 4 were given"),
        (("a", {}, None, 4, 5), {"bogus": 1}, "call() takes 3 positional arguments but 5 were given"),
        (("a", {}, None), {"bogus": 1}, "call() got an unexpected keyword argument 'bogus'"),
        (("a",), {"other": 1, "name": "b"}, "call() got an unexpected keyword argument 'other'"),
        (("a",), {"name": "b"}, "call() got multiple values for argument 'name'"),
        (("a", {}), {"make_result": None, "arguments": {}},
         "call() got multiple values for argument 'arguments'"),
        (("a", {}), {}, "call() missing 1 required positional argument: 'make_result'"),
        (("a",), {}, "call() missing 2 required positional arguments: 'arguments' and 'make_result'"),
        ((), {}, "call() missing 3 required positional arguments: 'name', 'arguments', and 'make_result'"),
        ((), {"arguments": {}}, "call() missing 2 required positional arguments: 'name' and 'make_result'"),
    ],
)
def test_binding_type_errors(args, kwargs, message):
    assert str(type_error(*args, **kwargs)) == message


def test_binding_errors_come_before_any_check_of_the_values():
    # A bad name and a bad dictionary do not matter while binding fails.
    exc = type_error(1, [], None, 4)
    assert "positional arguments" in str(exc)


def test_parameters_by_keyword():
    with pytest.raises(VE) as info:
        _veltra.call(make_result=None, arguments={}, name=UNKNOWN)
    assert str(info.value) == f"unknown function '{UNKNOWN}'"


@pytest.mark.parametrize("arguments", [{}, []])
def test_name_must_be_a_str(arguments):
    exc = type_error(7, arguments, None)
    assert str(exc) == "'int' object is not an instance of 'str'"
    assert exc.__notes__ == ["while processing 'name'"]


@pytest.mark.parametrize(
    "arguments, type_name",
    [([("X", 1)], "list"), (types.MappingProxyType({}), "mappingproxy"), (None, "NoneType")],
)
def test_arguments_must_be_a_dict(arguments, type_name):
    exc = type_error("pls1_fit", arguments, None)
    assert str(exc) == f"'{type_name}' object is not an instance of 'dict'"
    assert exc.__notes__ == ["while processing 'arguments'"]


def test_name_is_used_as_given_and_str_subclasses_count():
    class Name(str):
        pass

    class Arguments(dict):
        pass

    for name in (" pls1_fit", "PLS1_FIT"):
        with pytest.raises(VE, match="unknown function"):
            _veltra.call(name, {}, None)
    with pytest.raises(VE) as info:
        _veltra.call(Name("pls1_fit"), Arguments(), None)
    assert str(info.value) == "pls1_fit() missing required argument 'X'"


def test_make_result_is_not_checked_at_entry():
    with pytest.raises(VE, match="unknown function"):
        _veltra.call(UNKNOWN, {}, 42)


def test_argument_names_must_be_strings():
    with pytest.raises(VE) as info:
        _veltra.call(UNKNOWN, {"X": 1, 3: 2}, None)
    assert str(info.value) == "argument names must be strings, got 3"
    assert info.value.code == "invalid_argument"


def test_conversion_error_wins_over_unknown_function():
    with pytest.raises(VE) as info:
        _veltra.call(UNKNOWN, {"X": object()}, None)
    assert str(info.value) == "X has unsupported type 'object'"
    assert info.value.code == "invalid_argument"


def test_first_failing_entry_in_dictionary_order_is_reported():
    with pytest.raises(VE) as info:
        _veltra.call(UNKNOWN, {"b": object(), "a": 2**64}, None)
    assert str(info.value) == "b has unsupported type 'object'"
    with pytest.raises(VE) as info:
        _veltra.call(UNKNOWN, {"a": 2**64, "b": object()}, None)
    assert str(info.value).startswith("a is outside the 64-bit integer range")


class Key(str):
    """Equal only to itself, so two keys of one text can share a dict."""

    __eq__ = object.__eq__
    __hash__ = object.__hash__


def test_duplicate_names_fail_in_the_conversion_pass():
    with pytest.raises(VE) as info:
        _veltra.call(UNKNOWN, {Key("a"): 1, Key("a"): 2}, None)
    assert str(info.value) == "duplicate key 'a'"
    assert info.value.code == "invalid_argument"
    with pytest.raises(VE) as info:
        _veltra.call(UNKNOWN, {"args": {Key("k"): 1, Key("k"): 2}}, None)
    assert str(info.value) == "duplicate key 'k'"


def test_collection_error_of_a_later_entry_wins_over_conversion_error():
    with pytest.raises(VE) as info:
        _veltra.call(UNKNOWN, {Key("a"): 1, Key("a"): 2, "b": object()}, None)
    assert str(info.value) == "b has unsupported type 'object'"


def test_registry_checks_run_after_conversion():
    x = np.zeros((4, 2))
    y = np.zeros(4)
    cases = [
        ({"X": x, "y": y, "bogus": 1}, "invalid_argument", "pls1_fit() got an unexpected argument 'bogus'"),
        ({"X": x}, "invalid_argument", "pls1_fit() missing required argument 'y'"),
        ({"X": x, "y": None}, "invalid_argument", "pls1_fit() missing required argument 'y'"),
        ({"X": x, "y": y, "k": 2.5, "weights": [1, 2, 3, 4]}, "invalid_argument",
         "k must be a non-negative whole number, got 2.5"),
    ]
    for arguments, code, message in cases:
        with pytest.raises(VE) as info:
            _veltra.call("pls1_fit", arguments, None)
        assert (info.value.code, str(info.value)) == (code, message)
    # A conversion error of an unexpected argument still comes first.
    with pytest.raises(VE) as info:
        _veltra.call("pls1_fit", {"X": x, "y": y, "bogus": object()}, None)
    assert str(info.value) == "bogus has unsupported type 'object'"


def test_the_arguments_dictionary_is_not_modified():
    arguments = {"X": np.ones((3, 2)), "y": None, "args": {"a": [1, 2]}}
    snapshot = dict(arguments)
    with pytest.raises(VE):
        _veltra.call("pls1_fit", arguments, None)
    assert arguments.keys() == snapshot.keys()
    assert all(arguments[k] is snapshot[k] for k in arguments)


class Growing:
    """A mapping whose items() adds an entry to the call's own dictionary."""

    def __init__(self, target):
        self.target = target

    def items(self):
        self.target["late"] = 1
        return [("a", 1)]

    def keys(self):
        return ["a"]

    def __getitem__(self, key):
        return 1

    def __len__(self):
        return 1

    def __iter__(self):
        return iter(["a"])


def test_internal_failure_in_conversion_is_an_internal_veltra_exception(capfd):
    import collections.abc

    collections.abc.Mapping.register(Growing)
    arguments = {"X": None}
    arguments["X"] = Growing(arguments)
    with pytest.raises(VE) as info:
        _veltra.call("pls1_fit", arguments, Recorder())
    exc = info.value
    assert type(exc) is VE
    assert exc.code == "internal"
    assert str(exc) == "panic in the Python seam while running pls1_fit"
    assert set(vars(exc)) == {"code"}
    assert "dictionary changed size during iteration" in capfd.readouterr().err


def test_python_exceptions_during_collection_pass_unchanged():
    import dataclasses

    class Failing(dict):
        def items(self):
            raise KeyError("from items")

    class BadList(list):
        def __iter__(self):
            raise ValueError("from iteration")

    @dataclasses.dataclass
    class Point:
        x: float

    point = Point(1.0)
    del point.x

    for value, kind in [(Failing(a=1), KeyError), (BadList([1]), ValueError), (point, AttributeError)]:
        with pytest.raises(kind):
            _veltra.call(UNKNOWN, {"X": value}, None)
