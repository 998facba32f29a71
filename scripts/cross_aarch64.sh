#!/usr/bin/env bash
# Cross-compiles the compute core and its C++ unit tests for 64-bit Arm Linux into
# build/aarch64 (Debian's g++-aarch64-linux-gnu, the arm64 builds of oneTBB, CRoaring,
# abseil and GoogleTest), then runs the tests under qemu-user: the non-x86 paths build
# and pass. Installs what it needs when missing (adds the arm64 architecture to dpkg).
# Not part of the test command (the arm64 packages and the emulated run cost minutes);
# the Python modules are left out, as the host has no arm64 Python to build them for.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh

bash scripts/debian_packages.sh g++-aarch64-linux-gnu qemu-user libtbb-dev:arm64 libroaring-dev:arm64 \
    libabsl-dev:arm64 libgtest-dev:arm64

cmake -S . -B build/aarch64 -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" -DTALLISK_PYTHON=OFF -DTALLISK_CPP_TESTS=ON >/dev/null
cmake --build build/aarch64
file build/aarch64/tallisk_cpp_tests
echo "== C++ unit tests (aarch64, under qemu-user)"
qemu-aarch64 -L /usr/aarch64-linux-gnu build/aarch64/tallisk_cpp_tests --gtest_brief=1
