"""The .pyi stubs of both native modules say what the modules accept at run time."""

import ast
import importlib
import importlib.util
import inspect
import pathlib
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
STUBS = {"_tallisk_rs": ROOT / "python" / "_tallisk_rs.pyi", "tallisk._engine": ROOT / "python/tallisk/_engine.pyi"}


def stub_signatures(path):
    """{name: [(parameter, default source or None)]} of the functions in a stub."""
    out = {}
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            args = node.args
            positional = args.posonlyargs + args.args
            defaults = [None] * (len(positional) - len(args.defaults)) + [ast.unparse(d) for d in args.defaults]
            params = list(zip([a.arg for a in positional], defaults, strict=True))
            params += [
                (a.arg, None if d is None else ast.unparse(d))
                for a, d in zip(args.kwonlyargs, args.kw_defaults, strict=True)
            ]
            out[node.name] = params
    return out


def runtime_signatures(module):
    out = {}
    for name in dir(module):
        fn = getattr(module, name)
        if name.startswith("__") or not callable(fn):
            continue
        assert fn.__text_signature__, f"{module.__name__}.{name} has no text signature"
        sig = inspect.signature(fn)
        out[name] = [(p.name, None if p.default is p.empty else repr(p.default)) for p in sig.parameters.values()]
    return out


@pytest.mark.parametrize("module_name", sorted(STUBS))
def test_stub_matches_the_runtime_signatures(module_name):
    module = importlib.import_module(module_name)
    stubs = stub_signatures(STUBS[module_name])
    runtime = runtime_signatures(module)
    assert stubs == runtime
    if hasattr(module, "__all__"):
        assert sorted(module.__all__) == sorted(stubs)


@pytest.mark.parametrize("module_name", sorted(STUBS))
def test_installed_modules_carry_their_stubs(module_name):
    origin = pathlib.Path(importlib.util.find_spec(module_name).origin)
    installed = origin.parent / (module_name.rsplit(".", 1)[-1] + ".pyi")
    site = pathlib.Path(sysconfig.get_paths()["purelib"]).resolve()
    if site not in origin.resolve().parents and not installed.exists():
        pytest.skip("module not installed with pip; its stub is installed next to it by the build")
    assert installed.read_text() == STUBS[module_name].read_text()
