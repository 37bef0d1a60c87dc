#!/usr/bin/env bash
# Sets up a fresh machine, builds the C++ core, its tests and the extension
# module, and runs every test (CTest, then pytest).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

python=$(python3 -c 'import sys; print(sys.executable)')
cmake -S . -B build/tests -G Ninja -DTESRAK_BUILD_TESTS=ON -DPython_EXECUTABLE="$python"
cmake --build build/tests
ctest --test-dir build/tests --output-on-failure

python3 -m pip install -q .
python3 -m pytest -q tests/python
