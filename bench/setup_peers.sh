#!/usr/bin/env bash
# Installs the peers that bench/bench_peers.py compares Veltra with, on top of
# what scripts/setup.sh installs: Debian's OpenBLAS, scikit-learn, ikpls 6.1.2
# and fastPLS 0.1.0 compiled from its source distribution against that
# OpenBLAS. Bench-only: nothing else in the repository needs these. Quick and
# silent when all is present.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
bash "$here/../scripts/setup.sh"

if ! dpkg-query -W -f='${Status}' libopenblas-dev 2>/dev/null | grep -q "install ok installed"; then
  echo "setup_peers: installing libopenblas-dev"
  export DEBIAN_FRONTEND=noninteractive
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq libopenblas-dev >/dev/null
fi

# Exit status 0 when the distribution $1 is installed at version $2 (any version if empty).
has() {
  python3 - "$1" "${2:-}" 2>/dev/null <<'PY'
import importlib.metadata, sys
name, wanted = sys.argv[1], sys.argv[2]
version = importlib.metadata.version(name)
sys.exit(0 if not wanted or version == wanted else 1)
PY
}

pip=(python3 -m pip install -q --disable-pip-version-check)
has ikpls 6.1.2 && has scikit-learn && has pybind11 && has scikit-build-core || {
  echo "setup_peers: installing ikpls, scikit-learn and fastPLS' build requirements"
  "${pip[@]}" "ikpls==6.1.2" scikit-learn "pybind11>=2.13" "scikit-build-core>=0.10"
}

if ! has fastpls 0.1.0; then
  echo "setup_peers: compiling fastPLS 0.1.0 from its source distribution"
  sdist_dir="$(mktemp -d)"
  trap 'rm -rf "$sdist_dir"' EXIT
  python3 -m pip download -q --disable-pip-version-check --no-deps --no-build-isolation \
    --no-binary fastpls -d "$sdist_dir" "fastpls==0.1.0"
  "${pip[@]}" --no-build-isolation "$sdist_dir"/*.tar.gz
fi
