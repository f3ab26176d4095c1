"""Helpers shared by the tests of the installed extension module."""

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
