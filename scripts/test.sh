#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTRA_BUILD_BENCH=ON >/dev/null
cmake --build build --parallel
ctest --test-dir build --output-on-failure --parallel "$(nproc)"
