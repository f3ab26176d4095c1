"""The module, its exception class, registry_json, and call's own work: the
binding of its three parameters, the checks of name and arguments, the order
of the conversion and registry checks, and the guard around conversion."""

import dataclasses
import importlib.util
import pathlib
import types

import numpy as np
import pytest

from veltra import _veltra
from helpers import UNKNOWN, VE, Growing, Recorder, assert_fails, data_table


class Key(str):
    """Equal only to itself, so two keys of one text can share a dict."""

    __eq__ = object.__eq__
    __hash__ = object.__hash__


Name, Arguments = type("Name", (str,), {}), type("Arguments", (dict,), {})
CALLS = data_table("call_texts.json", globals())


def test_module_and_exception_class():
    assert _veltra.__all__ == ["VeltraException", "call", "registry_json"]
    assert [n for n in vars(_veltra) if n in _veltra.__all__] == _veltra.__all__
    assert _veltra.__doc__ == ""
    for name, (signature, doc) in CALLS["docstrings"].items():
        assert (getattr(_veltra, name).__text_signature__, getattr(_veltra, name).__doc__) == (signature, doc)
    assert VE.__mro__ == (VE, Exception, BaseException, object)
    assert (VE.__doc__, VE.__module__, VE.__name__) == (None, "_veltra", "VeltraException")
    assert set(vars(VE)) <= {"__module__", "__doc__", "__dict__", "__weakref__"}
    exc = assert_fails(UNKNOWN, {}, "invalid_argument", f"unknown function '{UNKNOWN}'")
    assert exc.args == (str(exc),) and type(exc.code) is str


def test_one_exception_class_for_every_module_object():
    spec = importlib.util.find_spec("veltra._veltra")
    second = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(second)
    assert second is not _veltra and second.call is not _veltra.call
    assert second.VeltraException is VE
    with pytest.raises(VE, match="unknown function"):
        second.call(make_result=Recorder(), arguments={}, name=UNKNOWN)


def test_registry_json_is_the_reference_file():
    assert _veltra.registry_json() == (pathlib.Path(__file__).parents[1] / "data" / "registry.json").read_text("utf-8")
    with pytest.raises(TypeError):
        _veltra.registry_json(1)


@pytest.mark.parametrize("args, kwargs, message, note", CALLS["type_errors"][1:])
def test_type_errors(args, kwargs, message, note):
    with pytest.raises(TypeError) as info:
        _veltra.call(*args, **kwargs)
    assert type(info.value) is TypeError and str(info.value) == message
    assert getattr(info.value, "__notes__", None) == (None if note is None else [f"while processing '{note}'"])


@pytest.mark.parametrize("name, arguments, message", CALLS["in_order"][1:])
def test_checks_in_order(name, arguments, message):
    # make_result is not looked at before a result exists.
    with pytest.raises(VE) as info:
        _veltra.call(name, arguments, 42)
    assert (info.value.code, str(info.value)) == ("invalid_argument", message)


def test_internal_failure_in_conversion_is_an_internal_veltra_exception(capfd):
    arguments = {"X": Growing(a=1)}
    arguments["X"].target = arguments
    with pytest.raises(VE) as info:
        _veltra.call("pls1_fit", arguments, Recorder())
    assert type(info.value) is VE and set(vars(info.value)) == {"code"}
    assert (info.value.code, str(info.value)) == ("internal", "panic in the Python seam while running pls1_fit")
    assert "dictionary changed size during iteration" in capfd.readouterr().err


# A mapping whose items(), a list whose iteration and a dataclass whose field reading raise.
RAISING = [(type("Failing", (dict,), {"items": lambda self: {}["items"]})(a=1), KeyError),
           (type("BadList", (list,), {"__iter__": lambda self: int("iteration")})([1]), ValueError),
           (dataclasses.make_dataclass("Point", ["x"]).__new__(dataclasses.make_dataclass("Point", ["x"])), AttributeError)]


@pytest.mark.parametrize("value, kind", RAISING)
def test_python_exceptions_during_collection_pass_unchanged(value, kind):
    with pytest.raises(kind):
        _veltra.call(UNKNOWN, {"X": value}, None)
