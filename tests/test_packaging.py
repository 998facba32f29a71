"""The distribution's metadata says what the package needs: every third-party module the
package imports is a dependency or comes with an extra, extras take lower bounds rather
than exact pins, and the installed version is the package's own."""

from __future__ import annotations

import ast
import importlib.metadata
import pathlib
import re
import sys
import tomllib

import pytest
import tallisk

ROOT = pathlib.Path(__file__).resolve().parents[1]
META = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
SELF = re.compile(r"tallisk\[(.*)\]")


def name_of(requirement: str) -> str:
    return re.split(r"[\[<>=!~; ]", requirement, maxsplit=1)[0].lower().replace("_", "-")


def expand(extra: str) -> list[str]:
    """The requirements of an extra, with the package's own extras it names spelled out."""
    out = []
    for req in META["optional-dependencies"][extra]:
        inner = SELF.fullmatch(req)
        out += [r for name in inner.group(1).split(",") for r in expand(name.strip())] if inner else [req]
    return out


def imported_modules() -> set[str]:
    """Top-level names of the modules the package's own code imports, the standard
    library's and the package's own left out."""
    names = set()
    for path in (ROOT / "python" / "tallisk").glob("*.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Import):
                names |= {a.name.split(".")[0] for a in node.names}
            elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
                names.add(node.module.split(".")[0])
    return names - set(sys.stdlib_module_names) - {"tallisk", "_tallisk_rs", "__future__"}


USER_EXTRAS = sorted(set(META["optional-dependencies"]) - {"all", "test", "bench", "docs"})


def test_every_imported_module_is_a_dependency_or_in_an_extra():
    required = {name_of(r) for r in META["dependencies"]}
    optional = {name_of(r) for extra in USER_EXTRAS for r in expand(extra)}
    # What those bring themselves counts too (partd comes with dask), so each must be
    # installed for its requirements to be read.
    for dist in list(optional):
        try:
            optional |= {name_of(r) for r in importlib.metadata.requires(dist) or []}
        except importlib.metadata.PackageNotFoundError:
            pytest.skip(f"needs every extra installed; {dist} is not")
    dists = importlib.metadata.packages_distributions()
    missing = {}
    for module in sorted(imported_modules()):
        names = {d.lower().replace("_", "-") for d in dists.get(module, [module])}
        if not names & (required | optional):
            missing[module] = sorted(names)
    assert missing == {}


@pytest.mark.parametrize("extra", [*USER_EXTRAS, "all"])
def test_user_extras_take_lower_bounds_and_all_holds_them(extra):
    reqs = expand(extra)
    assert reqs and not [r for r in reqs if "==" in r or "<" in r]
    if extra == "all":
        assert sorted(reqs) == sorted(r for e in USER_EXTRAS for r in expand(e))


@pytest.mark.parametrize("extra", ["test", "bench", "docs"])
def test_tool_extras_bring_every_user_extra(extra):
    assert set(expand("all")) <= set(expand(extra))


def test_the_installed_version_is_the_packages():
    try:
        dist = importlib.metadata.distribution("tallisk")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("tallisk is not installed (a build tree on PYTHONPATH)")
    installed = {pathlib.Path(dist.locate_file(f)).resolve() for f in dist.files or []}
    if pathlib.Path(tallisk.__file__).resolve() not in installed:
        pytest.skip("the tallisk imported is not the installed distribution")
    assert dist.version == tallisk.__version__
    assert dist.metadata["License-Expression"] == META["license"]
