#!/usr/bin/env bash
# Builds the extension module and installs it into the checkout's virtual
# environment (made by scripts/setup.sh). The build directory is kept, so a
# rebuild only compiles what changed, and nothing is rebuilt at all when no
# source has changed since the last install. TESRAK_WARNINGS_AS_ERRORS=ON in
# the environment (as CI sets it) makes a compiler warning fail the build.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh

# The stamp holds the build's settings, so that changing them rebuilds.
stamp=.venv/tesrak-installed
settings="warnings as errors: ${TESRAK_WARNINGS_AS_ERRORS:-OFF}"
sources=(CMakeLists.txt pyproject.toml tesrak tesrak-py)
installed() { compgen -G ".venv/lib/python3*/site-packages/tesrak*.so" >/dev/null; }
if [[ -e "$stamp" && "$(cat "$stamp")" == "$settings" ]] && installed &&
  [[ -z "$(find "${sources[@]}" -newer "$stamp" -print -quit)" ]]; then
  exit 0
fi
step "building tesrak"
echo "$settings" >"$stamp.new"
quietly .venv/bin/python -m pip install --disable-pip-version-check --no-build-isolation \
  --config-settings=cmake.define.TESRAK_WARNINGS_AS_ERRORS="${TESRAK_WARNINGS_AS_ERRORS:-OFF}" .
mv "$stamp.new" "$stamp"
