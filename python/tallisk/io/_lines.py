"""FIMI and basket lines: one transaction per line, cut into names by the engine's line
tokenizer block by block, so a file far larger than memory as text is never held."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from .. import _engine
from . import _source
from ._codes import Codes, is_utf8, labels_of
from ._source import ReadError, Source

BLANKS = b" \t"


def failure_message(failure: tuple[str, int, int, int], source: str) -> ReadError:
    """The ReadError for a tokenizer's fault (kind, line, expected, got)."""
    kind, line, expected, got = failure
    mib = max(_source.MAX_NAME >> 20, 1)
    text = {
        "nul": "NUL byte; this is not a text file",
        "utf8": "an item name is not valid UTF-8 text; pass the file's encoding (encoding=...)",
        "long_name": f"a name or field longer than {mib} MiB; this does not look like a transaction file",
        "open_quote": "a quoted field opens here and is never closed",
        "after_quote": 'text after a closing quote (a quote inside a quoted field is written twice: "")',
        "fields": f"expected {expected} fields, saw {got}",
        "missing_txn": "the transaction is missing (an empty field)",
    }.get(kind, kind)
    return ReadError(
        f"{source}, line {line}: {text}", source=source, line=line, parameter="encoding" if kind == "utf8" else None
    )


def feed_blocks(tokenizer: Any, src: Source, first: bytes | memoryview, progress: Callable[[int], None] | None) -> None:
    """Feeds ``first`` and then the rest of the source, block by block, to a tokenizer;
    raises the ReadError of the first fault."""
    last_pos = 0
    data: bytes | memoryview = first
    while True:
        failure = _engine.tokenizer_feed(tokenizer, data, False)
        if failure is not None:
            raise failure_message(failure, src.name)
        if progress is not None and src.position != last_pos:
            progress(src.position - last_pos)
            last_pos = src.position
        data = src.read(_source.BLOCK_SIZE)
        if not data:
            break
    failure = _engine.tokenizer_feed(tokenizer, b"", True)
    if failure is not None:
        raise failure_message(failure, src.name)


def read_lines(
    src: Source, first: bytes, separators: bytes, strip: bool, encoding: str, progress: Callable[[int], None] | None
) -> Codes:
    """FIMI (``separators`` the blanks) or basket lines (one separator byte); ``first``:
    the source's first block, already read."""
    tokenizer = _engine.line_tokenizer(separators, strip, is_utf8(encoding), _source.MAX_NAME)
    feed_blocks(tokenizer, src, first, progress)
    result = _engine.tokenizer_finish(tokenizer)
    labels, remap = labels_of(result, src.name, encoding)
    codes = result["codes"] if remap is None else remap[result["codes"]]
    line_items = result["line_items"]
    txn = np.repeat(np.arange(len(line_items), dtype=np.int64), line_items)
    return Codes(txn, codes, labels, len(line_items))
