#!/usr/bin/env bash
# Download the test tools as wheels into ./wheelhouse for a GPU machine without network
# access (carry the folder along and run scripts/gpu-check.sh there).
# PYVER is the GPU machine's Python version (3.12 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
PYVER="${PYVER:-3.12}"
python3 -m pip download -q -d wheelhouse --only-binary=:all: --python-version "$PYVER" \
  --platform manylinux2014_x86_64 --platform manylinux_2_17_x86_64 --platform any \
  pytest hypothesis packaging scikit-build-core tqdm pillow
ls wheelhouse
