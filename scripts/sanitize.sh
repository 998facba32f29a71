#!/usr/bin/env bash
# Builds the modules and the C++ unit tests with ASan + UBSan into build/asan, then
# runs both test suites against that build. Python itself is not instrumented, so the
# sanitizer runtime is preloaded and leak checking (Python's own allocations at exit)
# is off. allocator_may_return_null=1 makes malloc and nothrow new return null when
# an allocation fails, as in a plain build, so the paths that check for null run; a
# failing throwing operator new still ends the run with an ASan report rather than
# std::bad_alloc, which is why the tests that exhaust memory on purpose skip here
# (TALLISK_SANITIZED=1), as do those that fork or start many subprocesses.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLISK_SANITIZE=ON \
    -DTALLISK_CPP_TESTS=ON -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build build/asan
build="$(bash scripts/build_tree.sh asan)"

export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TALLISK_SANITIZED=1

echo "== C++ unit tests (sanitized)"
"$build/tallisk_cpp_tests" --gtest_brief=1

echo "== pytest (sanitized)"
# libstdc++ is preloaded too: ASan's throw interceptor must find the real __cxa_throw.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" PYTHONPATH="$PWD/$build" \
    python3 -m pytest tests -p no:cacheprovider
