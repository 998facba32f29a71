#!/usr/bin/env bash
# The whole test suite: style checks, the installed modules under pytest, the same
# suite against NumPy 1.26 in a second environment, a second build with
# AddressSanitizer and UndefinedBehaviorSanitizer running the C++ unit tests and the
# pytest suite, and the C++ unit tests under ThreadSanitizer. Any failure or
# sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh

echo "== lint"
bash scripts/lint.sh

echo "== pytest (release build)"
python3 -m pytest tests -p no:cacheprovider

echo "== NumPy 1.26"
bash scripts/test_numpy1.sh

echo "== sanitizer build"
bash scripts/sanitize.sh

echo "== ThreadSanitizer build"
bash scripts/tsan.sh
