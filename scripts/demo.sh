#!/usr/bin/env bash
# Sets up a fresh machine, installs tesrak into the checkout's virtual
# environment and runs the demo: a few hundred tensors fed to the sketches,
# then the browser view until Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/install.sh
exec .venv/bin/python examples/demo.py
