#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the C++
# tests through CTest, then the Python tests on the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
python="$(python3 -c 'import sys; print(sys.executable)')"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTRA_BUILD_BENCH=ON \
  -DVELTRA_BUILD_PYTHON=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build build --parallel
ctest --test-dir build --output-on-failure --parallel "$(nproc)"
# The build tools come from scripts/setup.sh, so no isolated build
# environment (and no download) is needed.
"$python" -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation .
# The probe is a test-only extension built above by CMake, never installed.
VELTRA_PROBE_DIR="$PWD/build/python_probe" "$python" -m pytest -q tests/python
