"""Many thousands of calls, each kind of failure and every success the
module can give yet, must leave no reference and no memory behind."""

import collections.abc
import dataclasses
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

from veltra import _veltra
from helpers import UNKNOWN, Recorder

VE = _veltra.VeltraException


@dataclasses.dataclass
class Options:
    n: int
    weights: object


class Growing:
    """A mapping whose items() grows the call's own dictionary."""

    def __init__(self, target):
        self.target = target

    def items(self):
        self.target["late"] = 1
        return []

    def __getitem__(self, key):
        raise KeyError(key)

    def __len__(self):
        return 0

    def __iter__(self):
        return iter(())


collections.abc.Mapping.register(Growing)


class Failing(dict):
    def items(self):
        raise KeyError("items")


def make_inputs():
    x = np.random.default_rng(1).standard_normal((200, 50))
    return {
        "x": x,
        "f": np.asfortranarray(x),
        "y": x[:, 0].copy(),
        "ints": np.arange(10_000, dtype=np.int32).reshape(100, 100),
        "cube": np.zeros((2, 2, 2)),
        "list": [1, 2, 3],
        "floats": [1.5, 2.5, [3.0]],
        "opts": Options(3, [0.5, 1.5]),
        "record": {"a": {"b": [1, 2.0]}, "m": {1: 2.0}},
        "make_result": Recorder(),
    }


def one_round(inp, probe, with_stderr):
    """Every kind of call once; each must fail or succeed as expected."""
    mr = inp["make_result"]
    x, f, y = inp["x"], inp["f"], inp["y"]
    outcomes = []

    def expect(kind, *args, **kwargs):
        try:
            outcome = _veltra.call(*args, **kwargs)
        except kind:
            outcomes.append(kind)
            return
        raise AssertionError(f"no {kind.__name__} from {args}: {outcome!r}")

    expect(TypeError, "pls1_fit", {}, mr, 4)
    expect(TypeError, "pls1_fit", {}, mr, bogus=1)
    expect(TypeError, "pls1_fit", {})
    expect(TypeError, 1, {"X": x}, mr)
    expect(TypeError, "pls1_fit", [x], mr)
    expect(VE, UNKNOWN, {"X": x, "Y": f, "y": y, "s": x[::3, ::-2], "i": inp["ints"], "o": inp["opts"],
                         "r": inp["record"], "l": inp["list"], "fl": inp["floats"]}, mr)
    expect(VE, UNKNOWN, {"X": inp["cube"]}, mr)
    expect(VE, UNKNOWN, {"X": x, "bad": {"k": [object()]}}, mr)
    expect(VE, UNKNOWN, {"X": x, "big": [1, 2**200]}, mr)
    expect(VE, UNKNOWN, {"m": {1: 2.0, "a": 1}}, mr)
    expect(VE, UNKNOWN, {3: x}, mr)
    expect(VE, UNKNOWN, {"X": Options}, mr)
    expect(VE, "pls1_fit", {"X": x, "y": y, "bogus": inp["list"]}, mr)
    expect(VE, "pls1_fit", {"X": x, "y": None}, mr)
    expect(VE, "pls1_fit", {"X": x, "y": y, "weights": y, "k": 2}, mr)
    expect(KeyError, UNKNOWN, {"X": x, "f": Failing(a=1)}, mr)
    if with_stderr:
        arguments = {"X": x}
        arguments["g"] = Growing(arguments)
        expect(VE, "pls1_fit", arguments, mr)
    if probe is not None:
        back = probe.roundtrip({"X": x, "Y": f, "y": y, "s": x[::2], "o": inp["opts"], "r": inp["record"]}, mr)
        assert back["X"].shape == x.shape
        for name in ("owned_vec", "borrowed_vec", "row_major", "col_major", "nested", "int_map", "warning"):
            probe.case(name, mr)
        for name in ("row_major_short", "invalid_weights"):
            try:
                probe.case(name, mr) if name.startswith("row") else probe.raise_error(name, mr)
            except probe.VeltraException:
                pass
    mr.calls.clear()
    return outcomes


def refcounts(inp):
    return {k: sys.getrefcount(v) for k, v in inp.items()}


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture
def probe_or_none(request):
    try:
        return request.getfixturevalue("probe")
    except pytest.skip.Exception:
        return None


def test_no_reference_is_left_on_the_inputs(probe_or_none, capfd):
    inp = make_inputs()
    one_round(inp, probe_or_none, True)
    # The growing mapping forms a reference cycle with its dictionary.
    gc.collect()
    before = refcounts(inp)
    for _ in range(2000):
        one_round(inp, probe_or_none, True)
    gc.collect()
    assert refcounts(inp) == before
    capfd.readouterr()


def test_no_python_object_is_left_behind(probe_or_none):
    inp = make_inputs()
    tracemalloc.start()
    growth = []
    try:
        # The interpreter's free lists and caches fill up first.
        for _ in range(2000):
            one_round(inp, probe_or_none, False)
        # A leak grows in every window; a cache that happens to fill once
        # (the interpreter's, NumPy's) grows in one. So one quiet window of
        # three is enough.
        for _ in range(3):
            gc.collect()
            start, _ = tracemalloc.get_traced_memory()
            for _ in range(1000):
                one_round(inp, probe_or_none, False)
            gc.collect()
            end, _ = tracemalloc.get_traced_memory()
            growth.append(end - start)
            if growth[-1] < 16 * 1024:
                break
    finally:
        tracemalloc.stop()
    # Each round converts about 400 kB of arrays and makes hundreds of
    # objects: one small object leaked per round would add 50 kB or more.
    assert min(growth) < 16 * 1024, growth


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
def test_resident_memory_does_not_grow(probe_or_none):
    inp = make_inputs()
    for _ in range(300):
        one_round(inp, probe_or_none, False)
    gc.collect()
    start = rss()
    for _ in range(5000):
        one_round(inp, probe_or_none, False)
    gc.collect()
    grown = rss() - start
    # A leaked copy of the converted arrays alone would be 2 GB here.
    assert grown < 16 * 1024 * 1024, grown
