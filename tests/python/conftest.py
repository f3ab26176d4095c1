"""Fixtures of the tests of the installed extension module."""

import os
import sys

import pytest

# Failed assertions inside the shared helpers show their values too.
pytest.register_assert_rewrite("helpers")


@pytest.fixture(scope="session")
def probe():
    """The test-only extension `_veltra_probe`, built by CMake into VELTRA_PROBE_DIR (see scripts/test.sh)."""
    folder = os.environ.get("VELTRA_PROBE_DIR")
    if not folder or not os.path.isdir(folder):
        pytest.skip("VELTRA_PROBE_DIR does not name the built probe folder (run scripts/test.sh)")
    if folder not in sys.path:
        sys.path.insert(0, folder)
    import _veltra_probe

    return _veltra_probe

