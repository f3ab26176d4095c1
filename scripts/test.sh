#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the C++
# tests through CTest, then every registered function natively and on
# emulated processors, then the Python tests on the installed package, then
# the C++ tests again in the checked build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh qemu-user
python="$(python3 -c 'import sys; print(sys.executable)')"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTRA_BUILD_BENCH=ON \
  -DVELTRA_BUILD_PYTHON=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build build --parallel
ctest --test-dir build --output-on-failure --parallel "$(nproc)"
# The same bits on every x86-64 processor: every registered function natively
# and on emulated processors without FMA or wide vectors.
bash scripts/processor_bits.sh build/tests/bind_tests
# The build tools come from scripts/setup.sh, so no isolated build
# environment (and no download) is needed.
"$python" -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation .
# The probe is a test-only extension built above by CMake, never installed.
VELTRA_PROBE_DIR="$PWD/build/python_probe" "$python" -m pytest -q tests/python
# The checked build: sanitizers and assertions on, in a folder of its own.
# Any finding ends the test that made it; an assertion prints its stack.
cmake -S . -B build-checked -G Ninja -DCMAKE_BUILD_TYPE=Checked >/dev/null
cmake --build build-checked --parallel
ASAN_OPTIONS=halt_on_error=1:handle_abort=1:detect_leaks=1:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-checked --output-on-failure --parallel "$(nproc)"
