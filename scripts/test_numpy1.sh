#!/usr/bin/env bash
# The suite against NumPy 1.26 and pandas 2 (the oldest line of the supported range
# with wheels for this Python): a second virtual environment, created on first use
# with pip alone, imports the modules built by install.sh (built against NumPy 2,
# whose headers target the 1.23 API, so one build serves both).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
venv="${TALLISK_NUMPY1_VENV:-build/venv-numpy1}"
if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c "import numpy, pandas, pytest, hypothesis" 2>/dev/null; then
    python3 -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "numpy==1.26.*" "pandas>=2,<3" "pytest>=7" "hypothesis>=6"
fi
build="$(bash scripts/build_tree.sh release)"
echo "== pytest (NumPy $("$venv/bin/python" -c 'import numpy; print(numpy.__version__)'))"
# The process-level tests (sub-interpreters, fork, memory limits) do not touch NumPy's
# API beyond what the rest covers; they run once, in the main environment.
PYTHONPATH="$PWD/$build" "$venv/bin/python" -m pytest tests -p no:cacheprovider --ignore=tests/test_isolation.py
