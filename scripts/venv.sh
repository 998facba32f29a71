# Sourced by the other scripts (not run on its own): puts the project's virtual
# environment first on PATH, so that `python3`, `pip` and the tools the set-up
# installed are the environment's. The environment is .venv/ at the repository root,
# or the one TALLISK_VENV names; scripts/setup.sh makes it.
venv="${TALLISK_VENV:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/.venv}"
if [ ! -x "$venv/bin/python3" ]; then
    echo "no virtual environment at $venv: run bash scripts/setup.sh first" >&2
    exit 1
fi
export VIRTUAL_ENV="$venv"
export PATH="$venv/bin:$PATH"
unset PYTHONHOME
