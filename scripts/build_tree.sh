#!/usr/bin/env bash
# Prints the build directory of a build flavour and makes it importable: the package's
# .py files are linked into its tallisk/ folder next to the engine module, so that
# PYTHONPATH=<dir> imports both _tallisk_rs and tallisk from the build tree.
#   release: the tree pip (scikit-build-core) built for install.sh
#   any other name: build/<name>
set -euo pipefail
cd "$(dirname "$0")/.."
case "$1" in
    release) dir="$(ls -d build/cp3*-*/ 2>/dev/null | head -n 1)"; dir="${dir%/}" ;;
    *) dir="build/$1" ;;
esac
[ -n "$dir" ] && [ -d "$dir/tallisk" ] || { echo "no build tree for '$1' (build it first)" >&2; exit 1; }
for f in python/tallisk/*; do
    ln -sfn "$PWD/$f" "$dir/tallisk/$(basename "$f")"
done
echo "$dir"
