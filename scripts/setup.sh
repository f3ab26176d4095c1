#!/usr/bin/env bash
# Installs what a fresh machine lacks to build and test Veltra: Debian packages
# with apt-get, Python packages with pip. Quick and silent when all is present.
set -euo pipefail

# Extra Debian packages a caller needs (the tests: qemu-user) come as arguments.
debs=("$@" g++ pkg-config libeigen3-dev libtbb-dev libsleef-dev libgtest-dev libbenchmark-dev nlohmann-json3-dev)
missing=()
for pkg in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python3 - 2>/dev/null <<'PY' || { echo "setup: installing Python packages"; python3 -m pip install -q --disable-pip-version-check "numpy" "pytest" "scikit-build-core>=0.10" "ninja" "cmake>=3.26" "scikit-learn" "hypothesis"; }
import importlib, shutil, subprocess, sys
for mod in ("numpy", "pytest", "scikit_build_core", "ninja", "sklearn", "hypothesis"):
    importlib.import_module(mod)
out = subprocess.run(["cmake", "--version"], capture_output=True, text=True, check=True).stdout
major, minor = (int(x) for x in out.split()[2].split(".")[:2])
sys.exit(0 if (major, minor) >= (3, 26) else 1)
PY
