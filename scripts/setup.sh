#!/usr/bin/env bash
# Installs every system and Python package that building, testing and the
# demo need, on a fresh Debian 12 machine (run as root).
set -euo pipefail

export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends \
  g++ clang libclang-rt-14-dev cmake ninja-build git \
  libtbb-dev libzstd-dev libboost-dev node-llhttp libgtest-dev libgmock-dev googletest \
  chromium

python3 -m pip install -q --upgrade pip
# torch 2.13.0 is a CPU wheel kept on this machine's disk; an unpinned
# "torch" would pull a multi-gigabyte CUDA build.
python3 -m pip install -q numpy pytest playwright scikit-build-core torch==2.13.0
