#!/usr/bin/env bash
# Builds the extension module and installs it into the checkout's virtual
# environment (made by scripts/setup.sh). The build directory is kept, so a
# rebuild only compiles what changed, and nothing is rebuilt at all when no
# source has changed since the last install.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh

stamp=.venv/tesrak-installed
sources=(CMakeLists.txt pyproject.toml tesrak tesrak-py)
installed() { compgen -G ".venv/lib/python3*/site-packages/tesrak*.so" >/dev/null; }
if [[ -e "$stamp" ]] && installed && [[ -z "$(find "${sources[@]}" -newer "$stamp" -print -quit)" ]]; then
  exit 0
fi
step "building tesrak"
touch "$stamp.new"
quietly .venv/bin/python -m pip install --disable-pip-version-check --no-build-isolation .
mv "$stamp.new" "$stamp"
