"""The process around the engine: sub-interpreters, fork while the pool is busy, and
running out of address space. Each case runs in a child process, so a crash or a
hang fails the test instead of the run."""

import pytest
from helpers import SANITIZED, run_in_subprocess

MODULES = ["_tallisk_rs", "tallisk._engine"]


@pytest.mark.parametrize("module", MODULES)
def test_sub_interpreter_import_is_refused_after_main_imported(module):
    # A module whose definition has size -1 would be copied into the sub-interpreter
    # without running its init function, sharing the main interpreter's state.
    code = f"""
    import importlib, os
    try:
        import _interpreters as xi
    except ImportError:
        import _xxsubinterpreters as xi
    importlib.import_module("{module}")
    r, w = os.pipe()
    iid = xi.create()
    inner = ("import os\\ntry:\\n    import {module}\\n    res = 'imported'\\n"
             "except ImportError as e:\\n    res = 'ImportError: ' + str(e)\\n"
             "os.write(%d, res.encode())\\n" % w)
    xi.run_string(iid, inner)
    xi.destroy(iid)
    os.close(w)
    result = os.read(r, 1000).decode()
    """
    result = run_in_subprocess(code, timeout=120)
    assert result == f"ImportError: {module} cannot be imported in a sub-interpreter"
