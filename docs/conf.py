"""Sphinx configuration of tallisk's documentation site.

Built by ``scripts/docs.sh`` with warnings as errors, against the package as it is
importable (installed, or a build tree on PYTHONPATH): the API pages are generated from
the docstrings of the running code, and the command's help from its parser.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "_ext"))

import tallisk  # noqa: E402  (the path above first)

project = "tallisk"
author = "the tallisk developers"
copyright = "the tallisk developers"
release = tallisk.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "numpydoc",
    "myst_parser",
    "tallisk_docs",
]

# The source directory is the repository (scripts/docs.sh passes `-c docs .`), so that
# the Markdown pages kept beside the code (the command's notes, the benchmark method and
# its published reports) are pages here with their relative links as they are on a
# repository browser; only these files are read.
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "docs/index"
include_patterns = ["README.md", "docs/**", "bench/README.md", "bench/report/*.md"]
exclude_patterns = ["docs/_ext/**"]
# The published reports are generated tables whose first heading is a level-3 one.
suppress_warnings = ["myst.header"]

html_theme = "furo"
html_title = f"tallisk {release}"

myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 4

autodoc_default_options = {"members": True, "undoc-members": True, "member-order": "bysource"}
# The Parameters sections give the types in words; annotations would repeat them, longer.
autodoc_typehints = "none"
autodoc_preserve_defaults = True

numpydoc_show_class_members = False
numpydoc_xref_param_type = False
numpydoc_validation_checks: set[str] = set()

# Every module a user imports from; the build checks that the reference documents each
# name in their __all__ (tallisk first: a name it re-exports is documented there once).
tallisk_public_modules = [
    "tallisk",
    "tallisk.tables",
    "tallisk.measures",
    "tallisk.decisions",
    "tallisk.io",
    "tallisk.plot",
    "tallisk.mlxtend",
    "tallisk.dask",
    "tallisk.datasets",
]

doctest_global_setup = """
import numpy as np
import pandas as pd
import tallisk
"""
