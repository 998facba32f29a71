#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine: the C++
# libraries from Debian's packages (only those missing) and the Python tools.
set -euo pipefail

pkgs=(g++ libtbb-dev libroaring-dev libabsl-dev libgtest-dev clang-format python3-venv)
missing=()
for p in "${pkgs[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Build tools, then every optional extra and peer, so that no test is skipped.
python3 -m pip install -q --disable-pip-version-check "numpy>=2" "scikit-build-core>=0.8" cmake ninja \
    "pytest>=7" ruff mypy pandas-stubs "pandas>=1.5" scipy pyarrow rich matplotlib networkx \
    "mlxtend==0.25.0" pyfim efficient-apriori "dask[dataframe]==2026.8.0" "distributed==2026.8.0"
