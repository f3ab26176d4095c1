"""Many thousands of calls, each kind of failure and every success the
module can give yet, must leave no reference and no memory behind."""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

from veltra import _veltra
import test_arguments
import test_seam
from helpers import UNKNOWN, VE, Growing, Recorder

# Every refusal of the conversion and call tables, each in its own call.
TABLES = ([(VE, (UNKNOWN, {"X": value}, Recorder())) for value, _ in test_arguments.REFUSALS]
          + [(TypeError, tuple(args)) for args, kwargs, _, _ in test_seam.CALLS["type_errors"][1:] if not kwargs]
          + [(VE, (name, arguments, None)) for name, arguments, _ in test_seam.CALLS["in_order"][1:]]
          + [(kind, (UNKNOWN, {"X": value}, None)) for value, kind in test_seam.RAISING])


def make_inputs():
    x = np.random.default_rng(1).standard_normal((200, 50))
    return {"x": x, "f": np.asfortranarray(x), "y": x[:, 0].copy(), "ints": np.arange(10_000, dtype=np.int32).reshape(100, 100),
            "floats": [1.5, 2.5, [3.0]], "record": {"a": {"b": [1, 2.0]}, "m": {1: 2.0}}, "make_result": Recorder()}


def one_round(inp, probe):
    """Every kind of call once; each must fail or succeed as expected."""
    mr, x, f, y = inp["make_result"], inp["x"], inp["f"], inp["y"]
    growing = Growing(a=1)
    growing.target = {"X": x, "g": growing}
    for kind, args in TABLES + [
            (VE, (UNKNOWN, {"X": x, "Y": f, "y": y, "s": x[::3, ::-2], "i": inp["ints"], "r": inp["record"],
                            "fl": inp["floats"]}, mr)),
            (VE, ("pls1_fit", {"X": x, "y": y, "weights": y, "k": 2}, mr)), (VE, ("pls1_fit", growing.target, mr)),
            (TypeError, ("pls1_fit", [x], mr))]:
        with pytest.raises(kind):
            _veltra.call(*args)
    with pytest.raises(TypeError):
        _veltra.call("pls1_fit", {}, mr, bogus=1)
    growing.target.clear()
    for name, arguments in [("pls1_fit", {"X": f[:40, :8], "y": y[:40], "k": 2}), ("pls3_fit", {"X": x[:40, :8], "Y": f[:40, 8:11]}),
                            ("preprocess", {"X": x[:40], "Y": y[:40], "weights": np.abs(y[:40])}),
                            ("rotate", {"model_or_W": x[:8, :3]})]:
        _veltra.call(name, arguments, mr)
    if probe is not None:
        back = probe.roundtrip({"X": x, "Y": f, "y": y, "s": x[::2], "r": inp["record"]}, mr)
        assert back["X"].shape == x.shape
        for name in ("owned_vec", "borrowed_vec", "row_major", "col_major", "int_map", "warning", "row_major_short",
                     "resampling_degenerate", "typed_detail"):
            try:
                probe.case(name, mr)
            except probe.VeltraException:
                assert name in ("row_major_short", "resampling_degenerate", "typed_detail")
    mr.calls.clear()


@pytest.fixture
def probe_or_none(request):
    try:
        return request.getfixturevalue("probe")
    except pytest.skip.Exception:
        return None


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
def test_nothing_is_left_behind(probe_or_none, capfd):
    def rss():
        return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    inp, growth = make_inputs(), []
    # The interpreter's free lists and caches fill up first.
    for _ in range(2000):
        one_round(inp, probe_or_none)
    gc.collect()
    references, start_rss = {k: sys.getrefcount(v) for k, v in inp.items()}, rss()
    tracemalloc.start()
    try:
        # A leak grows in every window; a cache that happens to fill once
        # (the interpreter's, NumPy's) grows in one: one quiet window of three is enough.
        for _ in range(3):
            gc.collect()
            start, _ = tracemalloc.get_traced_memory()
            for _ in range(1000):
                one_round(inp, probe_or_none)
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - start)
    finally:
        tracemalloc.stop()
    capfd.readouterr()
    assert {k: sys.getrefcount(v) for k, v in inp.items()} == references
    # Each round converts about 400 kB of arrays and makes hundreds of
    # objects: one small object leaked per round would add 50 kB or more.
    assert min(growth) < 16 * 1024, growth
    # A leaked copy of the converted arrays alone would be 1.2 GB here.
    assert rss() - start_rss < 16 * 1024 * 1024, rss() - start_rss
