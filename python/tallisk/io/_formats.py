"""The file layouts the readers and writers know, and guessing them from a name."""

from __future__ import annotations

import os

INPUT_FORMATS = ("fimi", "basket", "long")
OUTPUT_FORMATS = ("fimi", "csv", "parquet", "jsonl")


# ---- formats ----------------------------------------------------------------------------


def _strip_gz(name: str) -> str:
    low = name.lower()
    for ext in (".gz", ".gzip"):
        if low.endswith(ext):
            return low[: -len(ext)]
    return low


def guess_input_format(path: str) -> str | None:
    """``fimi``, ``basket`` or ``long`` from a file name (``.gz`` ignored); None when the
    name says nothing (then the content decides: Parquet by magic bytes, else ``fimi``)."""
    if path == "-":
        return None
    name = _strip_gz(os.path.basename(str(path)))
    ext = os.path.splitext(name)[1]
    if ext in (".csv", ".tsv", ".parquet", ".pq"):
        return "long"
    if ext in (".basket", ".baskets"):
        return "basket"
    if ext in (".dat", ".fimi", ".txt", ".tab"):
        return "fimi"
    return None


def guess_output_format(path: str | None) -> str:
    """The output format from the file's extension (``.gz`` ignored); FIMI-style lines
    for standard output and for names that say nothing."""
    if path is None or path == "-":
        return "fimi"
    ext = os.path.splitext(_strip_gz(os.path.basename(str(path))))[1]
    return {
        ".csv": "csv",
        ".tsv": "csv",
        ".parquet": "parquet",
        ".pq": "parquet",
        ".jsonl": "jsonl",
        ".ndjson": "jsonl",
        ".json": "jsonl",
    }.get(ext, "fimi")
