"""The public readers of transaction files."""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import Any

from .._validation import (
    Bool,
    Char,
    Declaration,
    Encoding,
    InvalidParameterError,
    Options,
    Param,
    check_choice,
    declare,
    fail,
)
from . import _source
from ._codes import Codes, check_encoding, is_utf8
from ._formats import INPUT_FORMATS, delimiter_of, guess_input_format, is_delimited_name
from ._lines import BLANKS, read_lines
from ._long import read_long_csv, read_parquet, sample_records, tell_layout
from ._source import ReadError, Source


def _check_sep(sep: Any, encoding: str, func: str) -> None:
    if sep is None:
        return
    expected = "one character that is one byte in the file's encoding and not a line end, a quote or NUL"
    ok = isinstance(sep, str) and len(sep) == 1 and sep not in '\n\r"\0'
    if ok:
        try:
            ok = len(sep.encode(encoding)) == 1
        except UnicodeError:
            ok = False
    if not ok:
        raise fail("sep", func, expected, sep, "Use sep='\\t' for a tab." if sep in ("\\t", "tab") else None)


def _first_line(block: bytes) -> bytes:
    """The first line of a block that holds any byte other than a line end."""
    for line in block[: 1 << 16].replace(b"\r", b"\n").split(b"\n"):
        if line.strip():
            return line
    return b""


def _ambiguous(src: Source, why: str) -> ReadError:
    return ReadError(
        f"{src.name}: {why}; pass format='long' (a header naming the transaction and item columns, "
        "then one transaction and item per line) or format='basket' (one basket per line)",
        source=src.name,
        parameter="format",
    )


def _layout(src: Source, path: str, first: bytes, sep: str | None, named_columns: bool) -> tuple[str, str | None]:
    """The layout to read (``fimi``, ``basket`` or ``long``) and the separator, for a text
    file whose format was not given: from the name when it settles it, else from the
    header and the first records. Never a silent switch: what cannot be told is a
    ReadError naming the format parameter."""
    by_name = guess_input_format(path)
    if named_columns:
        return "long", sep or delimiter_of(path)
    if by_name == "basket":
        return "basket", sep
    line = _first_line(first)
    if by_name == "fimi" or (not is_delimited_name(path) and (sep or ",").encode() not in line):
        if sep is None and b"," in line:
            raise _ambiguous(
                src, "the first line holds commas, which FIMI lines do not use (their items are separated by blanks)"
            )
        return "fimi", sep
    delimiter = sep or delimiter_of(path)
    layout = tell_layout(sample_records(first, delimiter, len(first) < _source.BLOCK_SIZE))
    if layout is None:
        raise _ambiguous(src, "cannot tell a long table from basket lines")
    return layout, delimiter


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
    """Read a transaction file into integer codes and item labels, without building
    :class:`tallisk.Transactions` (the command and :mod:`tallisk.dask` use the codes as
    they are).

    Parameters
    ----------
    path, format, sep, strip, encoding
        As for :func:`read_transactions`.
    transaction_col, item_col : str, optional
        The transaction and item columns of a long table (``transaction`` and ``item``
        of :func:`read_transactions`).
    progress : callable, optional
        Called with the number of file bytes consumed since its last call.

    Returns
    -------
    Codes
        One (transaction, item) code pair per occurrence as read, duplicates included,
        the item labels and the number of transactions.

    Raises
    ------
    InvalidParameterError
        For bad parameters.
    ReadError
        For content that cannot be read, naming the file and line (see
        :func:`read_transactions`).
    OSError
        As ``open`` raises it (FileNotFoundError, IsADirectoryError, PermissionError).

    Examples
    --------
    >>> import os, pathlib, shutil, tempfile
    >>> d = tempfile.mkdtemp()
    >>> path = pathlib.Path(d, "baskets.dat")
    >>> _ = path.write_text("tea milk\\ntea tea\\n")
    >>> codes = tallisk.io.read_codes(path)
    >>> codes.txn_codes.tolist(), codes.item_codes.tolist(), list(codes.items), codes.n_transactions
    ([0, 0, 1, 1], [1, 0, 1, 1], ['milk', 'tea'], 2)
    >>> shutil.rmtree(d)
    """
    func = "read_transactions"
    if format is not None:
        check_choice(format, "format", func, INPUT_FORMATS)
    encoding = check_encoding(encoding, func)
    _check_sep(sep, encoding, func)
    if not isinstance(strip, bool):
        raise fail("strip", func, "a bool", strip)
    for name, value in (("transaction_col", transaction_col), ("item_col", item_col)):
        if value is not None and not isinstance(value, str):
            raise fail(name, func, "a column name (str) or None", value)
    if progress is not None and not callable(progress):
        raise fail("progress", func, "a callable taking a number of bytes, or None", progress)
    if not isinstance(path, str | os.PathLike):
        raise fail("path", func, "a file path (str or os.PathLike) or '-' for standard input", path)
    path = os.fspath(path)
    if not isinstance(path, str):
        path = os.fsdecode(path)

    src = Source(path)
    try:
        if src.parquet:
            if format not in (None, "long"):
                raise ReadError(
                    f"{src.name} is a Parquet file; read it with format='long'", source=src.name, parameter="format"
                )
            return read_parquet(src, transaction_col, item_col, strip, progress)
        if is_utf8(encoding):
            src.skip_bom()
        first = src.read(_source.BLOCK_SIZE)
        if format is None:
            format, sep = _layout(src, path, first, sep, transaction_col is not None or item_col is not None)
        if format == "long":
            return read_long_csv(
                src, first, sep or delimiter_of(path), transaction_col, item_col, strip, encoding, progress
            )
        if format == "basket":
            separators = (sep or ",").encode(encoding)
        else:
            separators = sep.encode(encoding) if sep else BLANKS
        return read_lines(src, first, separators, strip, encoding, progress)
    finally:
        src.close()


def _sep_in_encoding(args: Any, decl: Declaration) -> InvalidParameterError | None:
    """The separator must be one byte in the file's encoding (and not a quote or NUL)."""
    try:
        _check_sep(args.get("sep"), args.get("encoding") or "utf-8", decl.func)
    except InvalidParameterError as e:
        return e
    return None


@declare(
    Param(
        "format",
        Options(INPUT_FORMATS),
        none=True,
        flag="--input-format",
        help="layout of the input (default: from its name, else from its header and first lines)",
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
    rules=[_sep_in_encoding],
)
def read_transactions(
    path: str | os.PathLike[str],
    format: str | None = None,
    *,
    sep: str | None = None,
    strip: bool = False,
    transaction: str | None = None,
    item: str | None = None,
    encoding: str = "utf-8",
    progress: Callable[[int], None] | None = None,
) -> Any:
    """Read a transaction file into :class:`tallisk.Transactions`.

    Parameters
    ----------
    path : str or os.PathLike
        The file; ``"-"`` reads standard input. gzip and Parquet are recognised by their
        magic bytes, whatever the name.
    format : {"fimi", "basket", "long"}, optional
        The layout (default: from the name, else from the content; see the notes):

        * ``"fimi"``: one transaction per line, items separated by blanks (spaces or
          tabs); an empty line is an empty transaction.
        * ``"basket"``: one transaction per line, items separated by ``sep`` (default
          ``,``); names may hold blanks. Empty fields are not items.
        * ``"long"``: a header naming the columns, then one (transaction, item) per
          record (CSV quoting), or a Parquet file. An empty item names no item but makes
          its transaction count.
    sep : str, optional
        One character: the item separator of basket lines (default ``,``), the field
        delimiter of a long table (default ``,``, a tab for ``.tsv``), or the only
        separator of FIMI lines (default: blanks).
    strip : bool, default False
        Trim blanks around names (by default names are read exactly as written between
        separators).
    transaction, item : str, optional
        The transaction and item columns of a long table (default: the first two;
        ``transaction_col`` and ``item_col`` are their older names).
    encoding : str, default "utf-8"
        Any ASCII-compatible encoding.
    progress : callable, optional
        Called with the bytes read since its last call.

    Returns
    -------
    Transactions
        One transaction per line (or per transaction label of a long table), empty ones
        included; transaction labels are positions.

    Raises
    ------
    InvalidParameterError
        For bad parameters.
    ReadError
        A ValueError naming the file and the line, for content that cannot be read (a
        NUL byte, text that is not in the encoding, an unterminated quote, a record with
        the wrong number of fields, a missing transaction, duplicated column names, a
        null or NaN label in Parquet, a layout that cannot be told), and for a name or
        field longer than 8 MiB.
    OSError
        FileNotFoundError, IsADirectoryError or PermissionError, as ``open`` raises them.

    Notes
    -----
    Left out, the format comes from the name (``.dat``/``.fimi``: fimi; ``.basket``: basket;
    ``.parquet``: long) or else from the content: a file whose header names its columns
    (as ``order_id,product`` does, or with rows repeating a transaction) is a long table,
    one whose first line's fields recur below it is basket lines, and anything that cannot
    be told apart raises :class:`ReadError` asking for ``format=``.

    Names are read exactly as written between separators (``strip=True`` trims blanks
    around them). When every item name of a text file is an integer written the usual
    way (``0``, ``42``, ``-3``; not ``007`` or ``+4``) the labels are integers and sort
    numerically; otherwise they are text and sort as text. Line ends may be ``\\n``,
    ``\\r\\n`` or ``\\r``; a UTF-8 byte-order mark is skipped.

    The whole file is never held: it is read in blocks of 8 MiB; a name or field longer
    than 8 MiB is refused as soon as it passes that length.

    Examples
    --------
    >>> import os, pathlib, shutil, tempfile
    >>> d = tempfile.mkdtemp()
    >>> _ = pathlib.Path(d, "baskets.dat").write_text("tea milk\\ntea\\n\\nsugar tea\\n")
    >>> tr = tallisk.read_transactions(os.path.join(d, "baskets.dat"))
    >>> tr.to_baskets()
    [['milk', 'tea'], ['tea'], [], ['sugar', 'tea']]
    >>> _ = pathlib.Path(d, "orders.csv").write_text("order,product\\n1,tea\\n1,milk\\n2,tea\\n")
    >>> tallisk.read_transactions(os.path.join(d, "orders.csv"), transaction="order", item="product").to_baskets()
    [['milk', 'tea'], ['tea']]
    >>> shutil.rmtree(d)
    """
    from ..transactions import Transactions

    codes = read_codes(
        path,
        format,
        sep=sep,
        strip=strip,
        transaction_col=transaction,
        item_col=item,
        encoding=encoding,
        progress=progress,
    )
    return Transactions.from_codes(codes.txn_codes, codes.item_codes, codes.items, codes.n_transactions)
