#!/usr/bin/env bash
# Installs everything, then mines a generated market-basket dataset and prints the
# strongest associations.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh
python3 scripts/demo.py "$@"
