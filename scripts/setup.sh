#!/usr/bin/env bash
# Installs what building, testing, benchmarking and the demo need on a fresh
# Debian 12 machine (run as root): the system packages, then a virtual
# environment in the checkout (.venv) with the Python packages. Running it
# again installs nothing and takes a few seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  g++ clang libclang-rt-14-dev cmake ninja-build pkg-config git
  libtbb-dev libzstd-dev libboost-dev libhwy-dev node-llhttp
  libgtest-dev libgmock-dev googletest
  chromium wrk
)
# Debian's own interpreter comes without venv, pip and its headers; another
# python3 first on PATH (pyenv, a source build) brings its own.
if ! command -v python3 >/dev/null || [[ "$(python3 -c 'import sys; print(sys.prefix)')" == /usr ]]; then
  packages+=(python3 python3-venv python3-dev python3-pip)
fi

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The environment belongs to the python3 first on PATH: made anew when that
# interpreter changes.
base=$(python3 -c 'import os, sys; print(os.path.dirname(os.path.realpath(sys.executable)))')
if [[ ! -x .venv/bin/python ]] || ! grep -qxF "home = $base" .venv/pyvenv.cfg 2>/dev/null; then
  rm -rf .venv
  python3 -m venv .venv
fi

requirements="numpy pytest playwright scikit-build-core"
stamp=.venv/tesrak-setup
if [[ "$(cat "$stamp" 2>/dev/null)" != "$requirements" ]]; then
  # pip's own version check would warn on every later call.
  .venv/bin/python -m pip install -qq --disable-pip-version-check $requirements
  # torch is optional: the tests of real torch tensors run only with it. Its
  # CPU build is asked for by exact version; where pip cannot find it (it
  # lives on the framework's own CPU index), set-up goes on without it rather
  # than pull the multi-gigabyte CUDA build that a plain "torch" resolves to.
  if ! .venv/bin/python -m pip install -qq --disable-pip-version-check torch==2.13.0+cpu 2>/dev/null; then
    echo "setup: torch's CPU build is not available here; the torch tests will be skipped" >&2
  fi
  echo "$requirements" >"$stamp"
fi
