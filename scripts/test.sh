#!/usr/bin/env bash
# The whole test suite: the installed module under pytest, then a second build with
# AddressSanitizer and UndefinedBehaviorSanitizer running the C++ unit tests and the
# same pytest suite. Any failure or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh

echo "== pytest (release build)"
python3 -m pytest tests -p no:cacheprovider

echo "== sanitizer build"
bash scripts/sanitize.sh
