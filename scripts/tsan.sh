#!/usr/bin/env bash
# Builds the compute core and its C++ unit tests with ThreadSanitizer into build/tsan
# and runs them on a pool of several workers. The Python modules are not part of this
# run (CPython is not instrumented). oneTBB comes uninstrumented from Debian; the few
# reports that stem from it are listed, with the reason, in scripts/tsan.supp.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLISK_TSAN=ON \
    -DTALLISK_CPP_TESTS=ON -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build build/tsan --target tallisk_cpp_tests

echo "== C++ unit tests (ThreadSanitizer)"
# Four workers on two cores: more interleavings than the machine's own count. A longer
# history keeps the stack of a report's earlier access, which the suppressions match
# against: without it, an access inside oneTBB long before can come without a stack.
RAYON_NUM_THREADS=4 TSAN_OPTIONS="halt_on_error=1:history_size=7:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp" \
    build/tsan/tallisk_cpp_tests --gtest_brief=1
