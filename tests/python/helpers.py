"""Helpers shared by the tests of the installed extension module."""

import dataclasses

import pytest

from veltra import _veltra

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


def conversion_error(value, name="X"):
    """The VeltraException that call raises for one argument `name`."""
    with pytest.raises(_veltra.VeltraException) as info:
        _veltra.call(UNKNOWN, {name: value}, Recorder())
    return info.value


def assert_accepted(value, name="X"):
    exc = conversion_error(value, name)
    assert str(exc) == f"unknown function '{UNKNOWN}'", str(exc)


def assert_refused(value, message, name="X"):
    exc = conversion_error(value, name)
    assert exc.code == "invalid_argument"
    assert str(exc) == message


class Dataclasses:
    """A make_result that builds one dataclass per result type, named after
    the type, so that a result passed back in arrives as a typed record."""

    def __init__(self):
        self.classes = {}

    def __call__(self, type_name, fields):
        cls = self.classes.get(type_name)
        if cls is None:
            cls = dataclasses.make_dataclass(type_name, list(fields))
            self.classes[type_name] = cls
        return cls(**fields)


def plain(type_name, fields):
    """A make_result that keeps every result as its plain dictionary."""
    return fields


def run(name, arguments, make_result=plain):
    """The result of a call that must succeed without warnings."""
    result, warnings = _veltra.call(name, arguments, make_result)
    assert warnings == []
    return result


def failure(name, arguments, make_result=plain):
    """The VeltraException of a call that must fail."""
    with pytest.raises(_veltra.VeltraException) as info:
        _veltra.call(name, arguments, make_result)
    return info.value


def assert_fails(name, arguments, code, message, make_result=plain):
    exc = failure(name, arguments, make_result)
    assert (exc.code, str(exc)) == (code, message)
    return exc

