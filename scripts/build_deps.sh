#!/usr/bin/env bash
# Builds the three C++ libraries the native modules link (oneTBB, CRoaring, abseil) as
# shared libraries into a prefix (default /usr/local), for the release wheels:
# cibuildwheel runs it once per manylinux_2_28 container or macOS runner before it
# builds the wheels (pyproject.toml, tool.cibuildwheel), and the repair step
# (auditwheel, delocate) then copies the libraries into each wheel. The sources are
# those of the Debian 12 packages the test command builds and tests against: the
# upstream release and Debian's patches (abseil's and oneTBB's, fixes included),
# fetched from Debian's archive and checked against their SHA-256.
#   bash scripts/build_deps.sh [PREFIX]
set -euo pipefail
prefix="${1:-/usr/local}"
archive="${TALLISK_DEPS_ARCHIVE:-https://deb.debian.org/debian/pool/main}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
jobs="$(getconf _NPROCESSORS_ONLN 2>/dev/null || sysctl -n hw.ncpu)"

sha256() { if command -v sha256sum >/dev/null; then sha256sum "$1"; else shasum -a 256 "$1"; fi | cut -d' ' -f1; }

# fetch DIR FILE SHA256: downloads one file of the archive and checks it.
fetch() {
    curl -fsSL --retry 3 "$archive/$1/$2" -o "$work/$2"
    local got
    got="$(sha256 "$work/$2")"
    [ "$got" = "$3" ] || { echo "$2: SHA-256 $got, expected $3" >&2; exit 1; }
}

# build NAME ORIG [DEBIAN] -- CMAKE_ARGS...: unpacks, applies Debian's patch series,
# then configures, builds and installs with CMake.
build() {
    local name="$1" orig="$2" debian="$3"
    shift 4
    local src="$work/$name"
    mkdir -p "$src"
    tar -xf "$work/$orig" -C "$src" --strip-components=1
    if [ -n "$debian" ]; then
        tar -xf "$work/$debian" -C "$src"
        while read -r p; do
            [ -z "$p" ] || [[ "$p" == \#* ]] || patch -s -p1 -d "$src" < "$src/debian/patches/$p"
        done < "$src/debian/patches/series"
    fi
    # These releases predate CMake 4, which refuses their old minimum versions unless told
    # which policies to assume.
    cmake -S "$src" -B "$src/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=ON -DCMAKE_POLICY_VERSION_MINIMUM=3.5 "$@" >/dev/null
    cmake --build "$src/build" -j "$jobs" >/dev/null
    cmake --install "$src/build" >/dev/null
    echo "built $name into $prefix"
}

fetch o/onetbb onetbb_2021.8.0.orig.tar.xz 7e9111b8bb59c8800bf6d0b06afe7b0891937443d2dae1ee1101c8e2ede6a7ef
fetch o/onetbb onetbb_2021.8.0-2+deb12u1.debian.tar.xz b83a270205b38cdf66972fa1467c3e29493b88b92ecacf4f3672e87d67199df5
build onetbb onetbb_2021.8.0.orig.tar.xz onetbb_2021.8.0-2+deb12u1.debian.tar.xz -- \
    -DTBB_TEST=OFF -DTBB_EXAMPLES=OFF -DTBB_STRICT=OFF -DTBB4PY_BUILD=OFF -DTBBMALLOC_BUILD=OFF

fetch c/croaring croaring_0.2.66+ds.orig.tar.xz 895354a08c6142643c193f3b31b079884796640b65c7a54094069b3b98feda3c
build croaring croaring_0.2.66+ds.orig.tar.xz "" -- -DENABLE_ROARING_TESTS=OFF -DROARING_BUILD_STATIC=OFF

fetch a/abseil abseil_20220623.1.orig.tar.gz abfe2897f3a30edaa74bc34365afe3c2a3cd012091a97dc7e008f7016adcd5fe
fetch a/abseil abseil_20220623.1-1+deb12u2.debian.tar.xz e08490fc7b6f3beca1925953b0c4fb92df2de5e2a01295e4641e2a3d4e528eeb
build abseil abseil_20220623.1.orig.tar.gz abseil_20220623.1-1+deb12u2.debian.tar.xz -- \
    -DCMAKE_CXX_STANDARD=17 -DBUILD_TESTING=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON
