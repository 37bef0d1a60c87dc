#!/usr/bin/env bash
# Installs what building tesrak and running the demo need on a fresh Debian 12
# machine (run as root): the system packages, then a virtual environment in
# the checkout (.venv) with the Python packages. With --for-tests it adds
# what the tests and benchmarks use besides: the compilers and runtimes of
# the sanitizer and fuzz builds, GoogleTest, Chromium, wrk, pytest and
# Playwright, and tries torch's CPU build.
# Each step that does something says so in one line; a run that finds
# everything in place prints nothing and takes well under a second.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh

for_tests=false
[[ "${1:-}" == --for-tests ]] && for_tests=true

packages=(
  g++ cmake ninja-build pkg-config
  libtbb-dev libzstd-dev libboost-dev libhwy-dev node-llhttp
)
if $for_tests; then
  # llvm-14 holds the symbolizer that names functions and lines in
  # sanitizer and fuzzer reports; btrfs-progs and xfsprogs make the small
  # file systems (copy-on-write, and one that claims room for the worst
  # case) that the save tests fill.
  packages+=(
    clang libclang-rt-14-dev llvm-14 git
    libgtest-dev libgmock-dev googletest
    chromium wrk btrfs-progs xfsprogs
  )
fi
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
  step "installing Debian packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  quietly apt-get update
  quietly apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The environment belongs to the python3 first on PATH: made anew when that
# interpreter changes.
base=$(python3 -c 'import os, sys; print(os.path.dirname(os.path.realpath(sys.executable)))')
if [[ ! -x .venv/bin/python ]] || ! grep -qxF "home = $base" .venv/pyvenv.cfg 2>/dev/null; then
  step "creating .venv with $(python3 --version)"
  rm -rf .venv
  quietly python3 -m venv .venv
fi

# pip's own version check would warn on every later call.
pip=(.venv/bin/python -m pip install --disable-pip-version-check)

# Installs a group of Python packages unless the group's stamp lists them.
python_packages() {
  local stamp=.venv/tesrak-$1 requirements=$2
  if [[ "$(cat "$stamp" 2>/dev/null)" != "$requirements" ]]; then
    step "installing Python packages: $requirements"
    quietly "${pip[@]}" $requirements
    echo "$requirements" >"$stamp"
  fi
}
python_packages setup "numpy scikit-build-core"
$for_tests || exit 0
python_packages test-setup "pytest pytest-timeout playwright"

# torch is optional: the tests of real torch tensors run only with it. Its
# CPU build is asked for by exact version; where pip cannot find it (it
# lives on the framework's own CPU index), set-up goes on without it rather
# than pull the multi-gigabyte CUDA build that a plain "torch" resolves to.
# Tried once per environment.
torch_stamp=.venv/tesrak-torch-tried
if [[ ! -e "$torch_stamp" ]]; then
  step "installing torch's CPU build (for the torch tests)"
  if ! ticking "installing torch's CPU build" output_to /dev/null "${pip[@]}" -qq torch==2.13.0+cpu; then
    step "torch's CPU build is not available here; the torch tests will be skipped"
  fi
  touch "$torch_stamp"
fi
