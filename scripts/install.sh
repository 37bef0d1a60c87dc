#!/usr/bin/env bash
# Builds the extension module and installs it into the checkout's virtual
# environment (made by scripts/setup.sh). The build directory is kept, so a
# second install only rebuilds what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

.venv/bin/python -m pip install -qq --disable-pip-version-check --no-build-isolation .
