"""The public readers."""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import Any

from ._codes import Codes
from ._formats import INPUT_FORMATS, _strip_gz, guess_input_format
from ._lines import _BLANKS, _read_lines
from ._long import _read_long_csv, _read_parquet
from ._source import ReadError, _Source

# ---- public readers -----------------------------------------------------------------


def read_codes(path: str | os.PathLike[str], format: str | None = None, *, sep: str | None = None,
               strip: bool = False, transaction_col: str | None = None, item_col: str | None = None,
               encoding: str = "utf-8", progress: Callable[[int], None] | None = None) -> Codes:
    """Read a transaction file into integer codes and item labels (see the module notes
    for the formats). ``progress`` is called with the number of file bytes consumed since
    its last call. Raises :class:`ReadError` (a ValueError) naming the source and, where
    one is to blame, the line."""
    path = os.fspath(path)
    if format is not None and format not in INPUT_FORMATS:
        raise ValueError(f"format must be one of {', '.join(INPUT_FORMATS)}; got {format!r}")
    if sep is not None and len(sep) != 1:
        raise ValueError(f"sep must be one character; got {sep!r}")
    src = _Source(path)
    try:
        fmt = format or guess_input_format(path)
        if src.parquet:
            if fmt not in (None, "long"):
                raise ReadError(f"{src.name} is a Parquet file; read it as --input-format long")
            return _read_parquet(src, transaction_col, item_col, strip, progress)
        if fmt is None:
            fmt = "fimi"
        if fmt == "long":
            default = "\t" if _strip_gz(path).endswith(".tsv") else ","
            return _read_long_csv(src, sep or default, transaction_col, item_col, strip, progress)
        if fmt == "fimi":
            seps = _BLANKS + b"\r" if sep is None else _sep_bytes(sep, encoding)
        else:
            seps = _sep_bytes(sep or ",", encoding)
        return _read_lines(src, seps, strip, encoding, progress)
    finally:
        src.close()


def _sep_bytes(sep: str, encoding: str) -> bytes:
    raw = sep.encode(encoding)
    if len(raw) != 1 or raw == b"\n":
        raise ValueError(f"the separator must be one single-byte character other than a line end; got {sep!r}")
    return raw


def read_transactions(path: str | os.PathLike[str], format: str | None = None, **kwargs: Any) -> Any:
    """Read a transaction file (``"-"``: standard input) into :class:`tallisk.Transactions`.

    ``format`` is ``"fimi"``, ``"basket"`` or ``"long"`` (guessed from the name when left
    out; gzip and Parquet are recognised by content). Keywords: ``sep`` (the item
    separator of a basket file, default ``,``; the field separator of a long CSV),
    ``strip`` (trim blanks around names), ``transaction_col`` and ``item_col`` (long
    tables; default the first two columns), ``encoding`` (default UTF-8), ``progress``.
    """
    from ..transactions import Transactions

    codes = read_codes(path, format, **kwargs)
    return Transactions._from_codes(codes.txn_codes, codes.item_codes, codes.items, codes.n_transactions)

