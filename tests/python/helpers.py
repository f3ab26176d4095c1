"""Helpers shared by the tests of the installed extension module."""

import dataclasses
import functools
import json
import pathlib

import pytest

from veltra import _veltra

VE = _veltra.VeltraException
# A name the registry does not know: its error comes only after every
# argument has been converted, so it tells that a conversion succeeded.
UNKNOWN = "no_such_function"


class Recorder:
    """A make_result that records its calls and returns a tagged tuple."""

    def __init__(self):
        self.calls = []

    def __call__(self, type_name, fields):
        self.calls.append((type_name, fields))
        return ("built", type_name, fields)


class Growing(dict):
    """A dict whose items() adds an entry to the call's own dictionary `target`."""

    def items(self):
        self.target["late"] = 1
        return super().items()


@functools.cache
def record_class(type_name, names):
    return dataclasses.make_dataclass(type_name, names)


def typed(type_name, fields):
    """A make_result that builds a dataclass named after the type, so that a
    result passed back in arrives as a typed record."""
    return record_class(type_name, tuple(fields))(**fields)


def plain(type_name, fields):
    """A make_result that keeps every result as its plain dictionary."""
    return fields


def run(name, arguments, make_result=plain):
    """The result of a call that must succeed without warnings."""
    result, warnings = _veltra.call(name, arguments, make_result)
    return result if warnings == [] else pytest.fail(f"warnings {warnings}")


def failure(name, arguments, make_result=plain):
    with pytest.raises(VE) as info:
        _veltra.call(name, arguments, make_result)
    return info.value


def assert_fails(name, arguments, code, message):
    exc = failure(name, arguments)
    assert (exc.code, str(exc)) == (code, message)
    return exc


def data_table(name, namespace):
    """A JSON table of tests/data; a string that starts with '=' is a Python expression over `namespace`."""
    def value(v):
        if isinstance(v, str) and v.startswith("="):
            return eval(v[1:], namespace)
        if isinstance(v, dict):
            return {k: value(x) for k, x in v.items()}
        return [value(x) for x in v] if isinstance(v, list) else v

    return value(json.loads((pathlib.Path(__file__).parents[1] / "data" / name).read_text(encoding="utf-8")))
