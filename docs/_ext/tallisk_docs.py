"""Sphinx helpers of tallisk's documentation site.

* ``command-help``: the ``--help`` text of the ``tallisk`` command or of one of its
  subcommands, taken from the command's parser while the site builds, so the page
  never drifts from the flags the command has.
* A check, once every page is read, that the API reference documents every name each
  public module exports, and that each documented function has the sections users look
  for (Parameters, Returns, Raises, Examples). A gap is a warning, which the site's
  build (warnings as errors) turns into a failure.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import inspect
import os
from collections.abc import Iterator
from typing import Any

from docutils import nodes
from numpydoc.docscrape import FunctionDoc
from sphinx.application import Sphinx
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

logger = logging.getLogger(__name__)

# Width the help is formatted at: argparse wraps to the terminal, which a build has not.
HELP_COLUMNS = 88


@contextlib.contextmanager
def _columns(width: int) -> Iterator[None]:
    old = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = str(width)
    try:
        yield
    finally:
        if old is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = old


def command_help(subcommand: str | None) -> str:
    """The help text ``tallisk [SUBCOMMAND] --help`` prints."""
    from tallisk.cli import build_parser

    with _columns(HELP_COLUMNS):
        parser = build_parser()
        if subcommand is None:
            return parser.format_help()
        for action in parser._actions:
            if isinstance(action, argparse._SubParsersAction):
                if subcommand not in action.choices:
                    raise ValueError(f"the command has no subcommand {subcommand!r}; it has {sorted(action.choices)}")
                return action.choices[subcommand].format_help()
    raise ValueError("the command's parser has no subcommands")


def subcommand_names() -> list[str]:
    """The command's subcommands, in the order its help lists them."""
    from tallisk.cli import build_parser

    for action in build_parser()._actions:
        if isinstance(action, argparse._SubParsersAction):
            return list(action.choices)
    return []


class CommandHelp(SphinxDirective):
    """``.. command-help:: [SUBCOMMAND]``: no argument, the command's own help; ``*``,
    every subcommand's help, each in a section of its own, in the parser's order."""

    optional_arguments = 1

    def _block(self, sub: str | None) -> nodes.literal_block:
        try:
            text = command_help(sub)
        except ValueError as e:
            raise self.error(str(e)) from None
        block = nodes.literal_block(text, text, language="text")
        self.set_source_info(block)
        return block

    def run(self) -> list[nodes.Node]:
        import tallisk.cli

        # The page depends on the parser's source: rebuilt when that changes.
        self.env.note_dependency(tallisk.cli.__file__)
        arg = self.arguments[0] if self.arguments else None
        if arg != "*":
            return [self._block(arg)]
        out: list[nodes.Node] = []
        for sub in subcommand_names():
            title = f"tallisk {sub}"
            section = nodes.section(ids=[nodes.make_id(title)], names=[nodes.fully_normalize_name(title)])
            section += nodes.title(title, "", nodes.literal(title, title))
            section += self._block(sub)
            self.state.document.note_implicit_target(section)
            out.append(section)
        return out


# ---- the reference's coverage --------------------------------------------------------------


def _documented(app: Sphinx) -> set[str]:
    return set(app.env.get_domain("py").objects)


def _public_functions(obj: Any, qualname: str) -> Iterator[tuple[str, Any]]:
    """A function itself, or a class's public methods (properties are attributes)."""
    if inspect.isfunction(obj):
        yield qualname, obj
    elif inspect.isclass(obj) and not issubclass(obj, BaseException):
        for name, member in vars(obj).items():
            if name.startswith("_"):
                continue
            func = member.__func__ if isinstance(member, classmethod | staticmethod) else member
            if inspect.isfunction(func):
                yield f"{qualname}.{name}", func


def _missing_sections(func: Any) -> list[str]:
    doc = FunctionDoc(func)
    sig = inspect.signature(func)
    params = [p for n, p in sig.parameters.items() if n not in ("self", "cls")]
    need = ["Examples"]
    if params:
        need += ["Parameters", "Raises"]
    returns_nothing = sig.return_annotation in (None, "None")
    if not returns_nothing and not inspect.isgeneratorfunction(func):
        need.append("Returns")
    have = {s for s in ("Parameters", "Returns", "Yields", "Raises", "Examples") if doc[s]}
    if "Yields" in have:
        have.add("Returns")
    return [s for s in need if s not in have]


def check_reference(app: Sphinx, env: Any) -> None:
    documented = _documented(app)
    modules: list[str] = app.config.tallisk_public_modules
    top = importlib.import_module(modules[0])
    for modname in modules:
        module = importlib.import_module(modname)
        for name in getattr(module, "__all__", []):
            obj = getattr(module, name)
            qual = f"{modname}.{name}"
            if qual not in documented:
                # A name the package exports at the top as well is documented there once.
                if not (getattr(top, name, None) is obj and f"{modname.split('.')[0]}.{name}" in documented):
                    logger.warning("the API reference does not document %s", qual, type="tallisk", subtype="api")
                continue
            for fqual, func in _public_functions(obj, qual):
                missing = _missing_sections(func)
                if missing:
                    logger.warning(
                        "%s: the docstring has no %s section", fqual, ", ".join(missing), type="tallisk", subtype="doc"
                    )


def root_redirect(app: Sphinx, exception: Exception | None) -> None:
    """An index.html at the top of the site pointing at the root page (which lives in
    docs/, as the site's sources are the repository's)."""
    if exception is not None or app.builder.format != "html":
        return
    target = app.builder.get_target_uri(app.config.root_doc)
    if target == "index.html":
        return
    page = f'<!DOCTYPE html>\n<meta charset="utf-8">\n<meta http-equiv="refresh" content="0; url={target}">\n'
    page += f'<link rel="canonical" href="{target}">\n<a href="{target}">{app.config.project}</a>\n'
    with open(os.path.join(app.outdir, "index.html"), "w", encoding="utf-8") as f:
        f.write(page)


def setup(app: Sphinx) -> dict[str, Any]:
    app.add_config_value("tallisk_public_modules", ["tallisk"], "env")
    app.add_directive("command-help", CommandHelp)
    app.connect("env-check-consistency", check_reference)
    app.connect("build-finished", root_redirect)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
