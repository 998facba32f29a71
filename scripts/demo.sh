#!/usr/bin/env bash
# The README's first command: installs everything, generates a grocery shop's baskets,
# mines association rules with the `tallisk` command, prints the strongest and writes
# the charts (under build/demo/).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh
source scripts/venv.sh
python3 scripts/demo.py "$@"
