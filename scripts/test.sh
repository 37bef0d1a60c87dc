#!/usr/bin/env bash
# Sets up a fresh machine, builds the C++ core with its GoogleTest suite and
# the extension module, and runs every test (CTest, then pytest).
# TESRAK_WARNINGS_AS_ERRORS=ON in the environment (as CI sets it) makes a
# compiler warning in either build fail it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh

scripts/setup.sh --for-tests

cmake -S . -B build/tests -G Ninja -DTESRAK_BUILD_TESTS=ON \
  -DTESRAK_WARNINGS_AS_ERRORS="${TESRAK_WARNINGS_AS_ERRORS:-OFF}"
ticking "building build/tests" cmake --build build/tests
ctest --test-dir build/tests --output-on-failure --timeout 300

scripts/install.sh
.venv/bin/python -m pytest -q -rs tests/python
