#!/usr/bin/env bash
# Builds the extension module and installs it into the checkout's virtual
# environment (made by scripts/setup.sh). The build directory is kept, so a
# rebuild only compiles what changed, and nothing is rebuilt at all when no
# source has changed since the last install. TESRAK_WARNINGS_AS_ERRORS=ON in
# the environment (as CI sets it) makes a compiler warning fail the build.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh

# The stamp records whether the installed module was built with warnings as
# errors. That only decides whether a warning fails the build, not what is
# built: a module made with it ON serves as it is when OFF is asked (and its
# stamp stays ON), while one made with it OFF was never checked for
# warnings, so asking for ON builds it again.
stamp=.venv/tesrak-installed
wanted=${TESRAK_WARNINGS_AS_ERRORS:-OFF}
built=$(cat "$stamp" 2>/dev/null || true)
built=${built#warnings as errors: }
sources=(CMakeLists.txt pyproject.toml tesrak tesrak-py)
installed() { compgen -G ".venv/lib/python3*/site-packages/tesrak*.so" >/dev/null; }
if [[ -e "$stamp" && ("$built" == "$wanted" || ("$built" == ON && "$wanted" == OFF)) ]] &&
  installed && [[ -z "$(find "${sources[@]}" -newer "$stamp" -print -quit)" ]]; then
  exit 0
fi
step "building tesrak"
echo "warnings as errors: $wanted" >"$stamp.new"
quietly .venv/bin/python -m pip install --disable-pip-version-check --no-build-isolation \
  --config-settings=cmake.define.TESRAK_WARNINGS_AS_ERRORS="$wanted" .
mv "$stamp.new" "$stamp"
