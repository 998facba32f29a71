#!/usr/bin/env bash
# Builds both modules and the C++ unit tests with Clang (Debian's clang) into
# build/clang, warnings as errors, and runs the unit tests: the sources must build with
# either compiler.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
cmake -S . -B build/clang -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS=-Werror -DTALLISK_CPP_TESTS=ON -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build build/clang
echo "== C++ unit tests (Clang)"
build/clang/tallisk_cpp_tests --gtest_brief=1
