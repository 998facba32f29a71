#!/usr/bin/env bash
# Style checks, no changes made: ruff (lint and format) and mypy (settings in pyproject.toml)
# over the Python code, clang-format (the root .clang-format) over the C++ sources and tests.
# Any finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "== ruff"
python3 -m ruff check python tests bench scripts
python3 -m ruff format --check python tests bench scripts
echo "== mypy"
python3 -m mypy
echo "== clang-format"
find src tests/cpp \( -name '*.cpp' -o -name '*.hpp' \) -print0 | sort -z | xargs -0 clang-format --dry-run -Werror
