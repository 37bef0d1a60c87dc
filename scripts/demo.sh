#!/usr/bin/env bash
# Sets up a fresh machine, installs tesrak and runs the demo: a few hundred
# tensors fed to the sketches, then the browser view until Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
python3 -m pip install -q .
exec python3 examples/demo.py
