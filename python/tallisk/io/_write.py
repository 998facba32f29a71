"""The public writer."""

from __future__ import annotations

import json
import os

import pandas as pd

from ._atomic import open_output
from ._formats import OUTPUT_FORMATS, guess_output_format
from ._text import _fimi_lines, _for_text, _jsonable


def write_table(df: pd.DataFrame, path: str | os.PathLike[str] | None = None, format: str | None = None) -> None:
    """Write an itemset, rule or pair table.

    ``format``: ``fimi`` (lines ``a b c (count)`` for itemsets, ``c <- a b (support,
    confidence)`` for rules and pairs), ``csv`` (sets as ``{a,b}``), ``parquet`` or
    ``jsonl`` (sets as lists; infinite values as ``"inf"``). Guessed from the extension
    when left out; ``path`` None or ``"-"`` writes to standard output; a name ending in
    ``.gz`` is compressed. The file appears only once complete.
    """
    p = None if path is None else os.fspath(path)
    fmt = format or guess_output_format(p)
    if fmt not in OUTPUT_FORMATS:
        raise ValueError(f"format must be one of {', '.join(OUTPUT_FORMATS)}; got {fmt!r}")
    if fmt == "parquet":
        try:
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError:
            raise ValueError("writing Parquet needs pyarrow (pip install 'tallisk[parquet]')") from None
        table = pa.Table.from_pandas(_for_text(df, "lists"), preserve_index=False)
        with open_output(p, binary=True) as f:
            pq.write_table(table, f)
        return
    with open_output(p, binary=False) as f:
        if fmt == "fimi":
            f.writelines(_fimi_lines(df))
        elif fmt == "csv":
            _for_text(df, "csv").to_csv(f, index=False, lineterminator="\n")
        else:
            table = _for_text(df, "lists")
            names = list(table.columns)
            columns = [table[c].tolist() for c in names]
            for k in range(len(table)):
                rec = {n: _jsonable(col[k]) for n, col in zip(names, columns, strict=True)}
                f.write(json.dumps(rec, ensure_ascii=False) + "\n")
