"""Module initialisation, the exception class and registry_json."""

import importlib.util
import json

import pytest

from veltra import _veltra
from helpers import UNKNOWN, Recorder


def test_attributes_and_all_in_order():
    assert _veltra.__all__ == ["VeltraException", "call", "registry_json"]
    names = [n for n in vars(_veltra) if n in ("VeltraException", "call", "registry_json")]
    assert names == ["VeltraException", "call", "registry_json"]
    assert _veltra.__doc__ == ""
    assert _veltra.call.__name__ == "call"
    assert _veltra.registry_json.__name__ == "registry_json"


def test_exception_class():
    cls = _veltra.VeltraException
    assert cls.__mro__ == (cls, Exception, BaseException, object)
    assert cls.__doc__ is None
    assert cls.__module__ == "_veltra"
    assert cls.__name__ == "VeltraException"
    assert set(vars(cls)) <= {"__module__", "__doc__", "__dict__", "__weakref__"}


def test_one_exception_class_for_every_module_object():
    spec = importlib.util.find_spec("veltra._veltra")
    second = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(second)
    assert second is not _veltra
    assert second.VeltraException is _veltra.VeltraException
    assert second.call is not _veltra.call
    assert second.__all__ == ["VeltraException", "call", "registry_json"]
    with pytest.raises(_veltra.VeltraException) as info:
        second.call(UNKNOWN, {}, Recorder())
    assert isinstance(info.value, second.VeltraException)


def test_exception_string_args_and_code():
    with pytest.raises(_veltra.VeltraException) as info:
        _veltra.call(UNKNOWN, {}, Recorder())
    exc = info.value
    assert str(exc) == f"unknown function '{UNKNOWN}'"
    assert exc.args == (f"unknown function '{UNKNOWN}'",)
    assert exc.code == "invalid_argument"
    assert type(exc.code) is str


def test_docstrings_and_signatures():
    assert _veltra.call.__text_signature__ == "(name, arguments, make_result)"
    assert _veltra.call.__doc__ == (
        "Run the public function `name`. `arguments` is a dict of its parameters\n"
        "by name; `make_result(type_name, fields)` builds each result object.\n"
        "Returns `(result, warnings)`, `warnings` a list of dicts that each hold\n"
        "`kind` and `message`.\n\n"
        "`call` turns a failure inside a function into an `internal` error;\n"
        "the guard here does the same for a failure in the conversion on either\n"
        "side of it."
    )
    assert _veltra.registry_json.__text_signature__ == "()"
    assert _veltra.registry_json.__doc__ == "The function registry and the result types as JSON."


def test_registry_json_is_stable_and_describes_every_function():
    text = _veltra.registry_json()
    assert type(text) is str
    assert _veltra.registry_json() == text
    data = json.loads(text)
    assert len(data["functions"]) == 21
    assert len(data["result_types"]) == 16
    names = [f["name"] for f in data["functions"]]
    assert names[0] == "preprocess" and "pls1_fit" in names and "rotate" in names
    fit = next(f for f in data["functions"] if f["name"] == "pls1_fit")
    assert fit["result_types"] == ["PLS1Result"]
    assert fit["params"][0] == {
        "name": "X", "kind": "mat", "required": True, "keyword_only": False, "default": None,
    }


def test_registry_json_takes_no_argument():
    with pytest.raises(TypeError):
        _veltra.registry_json(1)
