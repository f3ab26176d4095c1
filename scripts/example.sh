#!/usr/bin/env bash
# Installs what is missing, installs the package and runs every example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
python="$(python3 -c 'import sys; print(sys.executable)')"
"$python" -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation .
for example in examples/*.py; do
  echo "== $example"
  "$python" "$example"
done
