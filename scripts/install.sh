#!/usr/bin/env bash
# Builds and installs the extension with pip (scikit-build-core drives CMake); the
# build directory is kept, so a rebuild only compiles what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/venv.sh
python3 -m pip install -q --disable-pip-version-check --no-build-isolation .
