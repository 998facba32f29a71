"""The file layouts the readers and writers know, and what a file's name says about them."""

from __future__ import annotations

import os

INPUT_FORMATS = ("fimi", "basket", "long")
OUTPUT_FORMATS = ("text", "fimi", "csv", "tsv", "parquet", "jsonl")

_INPUT_BY_EXTENSION = {
    ".basket": "basket",
    ".baskets": "basket",
    ".dat": "fimi",
    ".fimi": "fimi",
    ".parquet": "long",
    ".pq": "long",
}
_OUTPUT_BY_EXTENSION = {
    ".csv": "csv",
    ".tsv": "tsv",
    ".tab": "tsv",
    ".parquet": "parquet",
    ".pq": "parquet",
    ".jsonl": "jsonl",
    ".ndjson": "jsonl",
    ".json": "jsonl",
    ".dat": "fimi",
    ".fimi": "fimi",
}


def _extension(path: str) -> str:
    """The lower-case extension, ``.gz`` set aside."""
    name = os.path.basename(str(path)).lower()
    for gz in (".gz", ".gzip"):
        if name.endswith(gz):
            name = name[: -len(gz)]
    return os.path.splitext(name)[1]


def guess_input_format(path: str | os.PathLike[str]) -> str | None:
    """The input layout a file's name gives, ``.gz`` set aside.

    Parameters
    ----------
    path : str or os.PathLike
        A file name, or ``"-"`` for standard input.

    Returns
    -------
    str or None
        ``"fimi"`` (``.dat``, ``.fimi``), ``"basket"`` (``.basket``) or ``"long"``
        (``.parquet``, ``.pq``); None when the name does not settle the layout (``.csv``,
        ``.tsv``, ``.txt``, other names, ``"-"``): then the content decides (see
        :func:`tallisk.read_transactions`).

    Raises
    ------
    TypeError
        For a path that is neither a string nor path-like (as :func:`os.fspath` raises
        it).

    Examples
    --------
    >>> tallisk.io.guess_input_format("retail.dat.gz"), tallisk.io.guess_input_format("orders.csv")
    ('fimi', None)
    """
    if os.fspath(path) == "-":
        return None
    return _INPUT_BY_EXTENSION.get(_extension(os.fspath(path)))


def is_delimited_name(path: str) -> bool:
    """True for names that promise delimited records (``.csv``, ``.tsv``, ``.tab``), which
    may hold a long table or basket lines."""
    return _extension(path) in (".csv", ".tsv", ".tab")


def delimiter_of(path: str) -> str:
    """The field separator a name implies: a tab for ``.tsv``/``.tab``, else a comma."""
    return "\t" if _extension(path) in (".tsv", ".tab") else ","


def guess_output_format(path: str | os.PathLike[str] | None) -> str:
    """The output format a file's name gives, ``.gz`` set aside.

    Parameters
    ----------
    path : str, os.PathLike or None
        A file name; None or ``"-"`` for standard output.

    Returns
    -------
    str
        ``csv``, ``tsv``, ``parquet``, ``jsonl`` (``.jsonl``, ``.ndjson``, ``.json``),
        ``fimi`` (``.dat``, ``.fimi``); ``text``, the aligned table for people, for
        standard output and any other name.

    Raises
    ------
    TypeError
        For a path that is neither None, a string nor path-like (as :func:`os.fspath`
        raises it).

    Examples
    --------
    >>> tallisk.io.guess_output_format("rules.csv.gz"), tallisk.io.guess_output_format(None)
    ('csv', 'text')
    """
    if path is None or os.fspath(path) == "-":
        return "text"
    return _OUTPUT_BY_EXTENSION.get(_extension(os.fspath(path)), "text")
