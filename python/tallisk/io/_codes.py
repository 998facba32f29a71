"""What the readers produce (dense codes and the item labels), and the labels made from a
tokenizer's sorted names."""

from __future__ import annotations

import codecs
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from .._validation import fail
from ._source import ReadError


@dataclass
class Codes:
    """What a reader produces: dense codes and the item labels (``items[i]`` is item i).

    ``txn_codes`` (int64) and ``item_codes`` (int32) hold one row per item occurrence as
    read, duplicates included; ``n_transactions`` counts every transaction, empty ones
    too. Item ids follow the sorted order of the labels, as
    :meth:`tallisk.Transactions.from_long` gives them.
    """

    txn_codes: np.ndarray
    item_codes: np.ndarray
    items: pd.Index
    n_transactions: int


# Bytes every reader relies on meaning what they mean in ASCII: line ends, separators,
# the quote, and NUL between the names a tokenizer hands back.
_ASCII_PROBE = '\n\r\t ,;|"\0'


def check_encoding(encoding: Any, func: str) -> str:
    """The canonical codec name of ``encoding``, or InvalidParameterError: an unknown
    name, or an encoding in which line ends and separators are not the ASCII bytes
    (UTF-16, UTF-32), which no reader here can take."""
    expected = "the name of an ASCII-compatible text encoding such as 'utf-8' or 'latin-1'"
    if not isinstance(encoding, str):
        raise fail("encoding", func, expected, encoding)
    try:
        name = codecs.lookup(encoding).name
    except LookupError:
        raise fail("encoding", func, expected, encoding, "Python knows no encoding of that name.") from None
    try:
        ascii_compatible = _ASCII_PROBE.encode(name) == _ASCII_PROBE.encode("ascii")
    except (UnicodeError, LookupError):
        ascii_compatible = False
    if not ascii_compatible:
        raise fail("encoding", func, expected, encoding, "Convert the file to UTF-8.")
    return name


def is_utf8(encoding: str) -> bool:
    return encoding in ("utf-8", "utf-8-sig")


def labels_of(result: dict, source: str, encoding: str) -> tuple[pd.Index, np.ndarray | None]:
    """The item labels of a tokenizer's result, and the remap of its codes when decoding
    changed their order (None: keep them).

    Integers when every name was a canonical decimal integer (see the tokenizer), else
    text decoded with ``encoding``. The tokenizer sorts names by bytes, which is the order
    of the text for UTF-8 (and Latin-1); for other encodings the decoded labels are sorted
    again and the codes remapped."""
    n = int(result["n_names"])
    if n == 0:
        return pd.Index([], dtype=object), None
    if result["values"] is not None:
        return pd.Index(result["values"]), None
    raw: bytes = result["names"]
    try:
        names = raw.decode(encoding).split("\0")
    except UnicodeDecodeError:
        names = []
        for k, name in enumerate(raw.split(b"\0")):
            try:
                names.append(name.decode(encoding))
            except UnicodeDecodeError as e:
                line = int(result["first_line"][k])
                raise ReadError(
                    f"{source}, line {line}: item name {name[:40]!r} is not valid {encoding} text "
                    f"({e.reason}); pass the file's encoding (encoding=...)",
                    source=source,
                    line=line,
                    parameter="encoding",
                ) from None
    if len(names) != n:  # a stateful encoding turned the NUL separators into something else
        names = [name.decode(encoding) for name in raw.split(b"\0")]
    labels = pd.Index(names)
    if labels.is_monotonic_increasing:
        return labels, None
    order = np.asarray(labels.argsort(), dtype=np.int64)
    remap = np.empty(n, dtype=np.int32)
    remap[order] = np.arange(n, dtype=np.int32)
    return labels[order], remap
