#!/usr/bin/env bash
# Builds the wheel a user installs, into dist/: `pip wheel` (scikit-build-core, in the
# same build/<tag> tree as scripts/install.sh, so an installed build is reused), then
# `auditwheel repair`, which copies oneTBB, CRoaring and abseil into the wheel
# (tallisk.libs/, with the modules' RPATH pointing there) and gives it the manylinux tag
# this machine's glibc allows. Only the repaired wheel is left in dist/; `auditwheel
# show` lists what it bundles. Run from anywhere; release wheels for other platforms
# come from cibuildwheel (pyproject.toml, tool.cibuildwheel).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
raw=build/wheel-raw
rm -rf dist "$raw"
python3 -m pip wheel . --no-deps --no-build-isolation --disable-pip-version-check -q -w "$raw"
auditwheel repair -w dist "$raw"/tallisk-*.whl
rm -rf "$raw"
auditwheel show dist/tallisk-*.whl
