#!/usr/bin/env bash
# The whole test suite, in the project's virtual environment (scripts/setup.sh makes
# it): style checks, the installed modules under pytest, the documentation site (built
# with warnings as errors, its examples run), the wheel (built, repaired
# with its libraries inside, installed into a fresh environment and checked there),
# the modules and the C++ unit tests built with Clang, the suite against NumPy 1.26 in
# a second environment, a second build with AddressSanitizer and
# UndefinedBehaviorSanitizer running the C++ unit tests and the pytest suite, and the
# C++ unit tests under ThreadSanitizer. Any failure or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh
source scripts/venv.sh

echo "== lint"
bash scripts/lint.sh

echo "== pytest (release build)"
python3 -m pytest tests -p no:cacheprovider

echo "== documentation site"
bash scripts/docs.sh

echo "== wheel"
bash scripts/wheel.sh
bash scripts/check_wheel.sh

echo "== Clang build"
bash scripts/clang.sh

echo "== NumPy 1.26"
bash scripts/test_numpy1.sh

echo "== sanitizer build"
bash scripts/sanitize.sh

echo "== ThreadSanitizer build"
bash scripts/tsan.sh
