#!/usr/bin/env bash
# The documentation site: built by Sphinx with warnings as errors (the API pages from the
# installed package's docstrings, the command's help from its parser, the guide and the
# benchmark reports), then every example in the docstrings and the guide run as doctests.
# The site lands in build/docs/html.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
# Run from outside the checkout's python/ folder: the installed package is documented.
python3 -m sphinx -W --keep-going -q -b html -c docs -d build/docs/doctrees . build/docs/html
python3 -m sphinx -W --keep-going -q -b doctest -c docs -d build/docs/doctrees . build/docs/doctest
