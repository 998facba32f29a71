"""The public readers."""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import Any

from .._validation import Bool, Char, Encoding, Options, Param, declare
from ._codes import Codes
from ._formats import INPUT_FORMATS, _strip_gz, guess_input_format
from ._lines import _BLANKS, _read_lines
from ._long import _read_long_csv, _read_parquet
from ._source import ReadError, _Source

# ---- public readers -----------------------------------------------------------------


def read_codes(
    path: str | os.PathLike[str],
    format: str | None = None,
    *,
    sep: str | None = None,
    strip: bool = False,
    transaction_col: str | None = None,
    item_col: str | None = None,
    encoding: str = "utf-8",
    progress: Callable[[int], None] | None = None,
) -> Codes:
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


@declare(
    Param(
        "format",
        Options(INPUT_FORMATS),
        none=True,
        flag="--input-format",
        help="layout of the input (default: from its name; fimi when it says nothing)",
    ),
    Param("sep", Char(), none=True, help="item separator of a basket file (default ','), field separator of a CSV"),
    Param("strip", Bool(), help="trim blanks around item names (default: names are read exactly as written)"),
    Param(
        "transaction",
        none=True,
        metavar="NAME",
        aliases=("transaction_col",),
        old_flags=("--transaction-col",),
        help="transaction column of a long table (default: the first column)",
    ),
    Param(
        "item",
        none=True,
        metavar="NAME",
        aliases=("item_col",),
        old_flags=("--item-col",),
        help="item column of a long table (default: the second column)",
    ),
    Param("encoding", Encoding(), help="text encoding of the input"),
)
def read_transactions(
    path: str | os.PathLike[str],
    format: str | None = None,
    *,
    sep: str | None = None,
    strip: bool = False,
    transaction: Any = None,
    item: Any = None,
    encoding: str = "utf-8",
    progress: Callable[[int], None] | None = None,
) -> Any:
    """Read a transaction file (``"-"``: standard input) into :class:`tallisk.Transactions`.

    ``format`` is ``"fimi"``, ``"basket"`` or ``"long"`` (guessed from the name when left
    out; gzip and Parquet are recognised by content). Keywords: ``sep`` (the item
    separator of a basket file, default ``,``; the field separator of a long CSV),
    ``strip`` (trim blanks around names), ``transaction`` and ``item`` (the columns of a
    long table; default the first two; ``transaction_col`` and ``item_col`` are their
    older names), ``encoding`` (default UTF-8), ``progress`` (called with the number of
    bytes read since its last call).
    """
    from ..transactions import Transactions

    codes = read_codes(
        path, format, sep=sep, strip=strip, transaction_col=transaction, item_col=item, encoding=encoding,
        progress=progress,
    )  # fmt: skip
    return Transactions._from_codes(codes.txn_codes, codes.item_codes, codes.items, codes.n_transactions)
