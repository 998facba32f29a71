"""What the readers produce (dense codes and labels) and the merge of block vocabularies."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from ._source import ReadError

# ---- parsed codes -----------------------------------------------------------------------


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


class _Vocabulary:
    """Distinct names of every block, merged into one sorted label list at the end.

    Each block hands in its local codes and its distinct names (bytes or labels); the
    merge factorises the concatenated block vocabularies once, which costs the sum of
    the block vocabularies rather than blocks x items as a growing dict would.
    """

    def __init__(self) -> None:
        self.names: list[Any] = []
        self.lines: list[np.ndarray] = []  # line of each name's first occurrence (bytes only)
        self.codes: list[np.ndarray | None] = []
        self.runs: list[np.ndarray | None] = []  # rows per code (None: one row each)
        self.rows = 0

    def add(
        self, codes: np.ndarray, names: Any, lines: np.ndarray | None = None, runs: np.ndarray | None = None
    ) -> None:
        self.codes.append(codes)
        self.names.append(names)
        self.runs.append(runs)
        self.rows += len(codes) if runs is None else int(runs.sum())
        if lines is not None:
            self.lines.append(lines)

    def _all_names(self) -> Any:
        if len(self.names) == 1:
            return self.names[0]
        if isinstance(self.names[0], np.ndarray):
            return np.concatenate(self.names)
        import pyarrow as pa

        return pa.concat_arrays(self.names)

    def _remap(self, gcodes: np.ndarray, dtype: Any) -> np.ndarray:
        """Global codes for every row, filled block by block into one array; each block's
        own codes are let go once copied, so the peak is the result plus one block."""
        out = np.empty(self.rows, dtype=dtype)
        offset = pos = 0
        for k, names in enumerate(self.names):
            mapped = gcodes[offset : offset + len(names)][self.codes[k]]
            runs = self.runs[k]
            if runs is not None:
                mapped = np.repeat(mapped, runs)
            out[pos : pos + len(mapped)] = mapped
            self.codes[k] = self.runs[k] = None
            offset += len(names)
            pos += len(mapped)
        return out

    def finish_codes(self) -> tuple[np.ndarray, int]:
        """Dense codes in order of first appearance, and how many; the labels themselves
        are not needed (transactions), so they never become Python objects."""
        if not self.codes:
            return np.zeros(0, np.int64), 0
        names = self._all_names()
        if isinstance(names, np.ndarray):
            gcodes, uniques = pd.factorize(names)
            n = len(uniques)
        else:
            enc = names.dictionary_encode()
            gcodes, n = enc.indices.to_numpy(zero_copy_only=False), len(enc.dictionary)
        return self._remap(np.asarray(gcodes), np.int64), n

    def finish(self, source: str, encoding: str | None) -> tuple[np.ndarray, pd.Index]:
        if not self.codes:
            return np.zeros(0, np.int32), pd.Index([], dtype=object)
        names = self._all_names()
        if isinstance(names, np.ndarray):
            gcodes, uniques = pd.factorize(names)
            uniques = np.asarray(uniques, dtype=object)
            if encoding is not None:
                lines = np.concatenate(self.lines) if self.lines else None
                uniques = _decode(uniques, gcodes, lines, source, encoding)
            labels = pd.Index(uniques)
            if labels.dtype == object and len(labels):
                labels = labels.infer_objects()
        else:
            enc = names.dictionary_encode()
            gcodes = enc.indices.to_numpy(zero_copy_only=False).astype(np.int64, copy=False)
            labels = pd.Index(enc.dictionary.to_pylist())
            if labels.dtype == object and len(labels):
                labels = labels.infer_objects()
        # Sorted labels: the ids a reader gives are the ids from_long gives the same data.
        rank = None
        if len(labels) > 1:
            try:
                order = np.asarray(labels.argsort(), dtype=np.int64)
            except TypeError:  # labels that do not compare (mixed types in a Parquet column)
                order = None
            if order is not None:
                rank = np.empty_like(order)
                rank[order] = np.arange(order.size, dtype=np.int64)
                gcodes = rank[gcodes]
                labels = labels[order]
        return self._remap(gcodes, np.int32), labels


def _decode(names: np.ndarray, gcodes: np.ndarray, lines: np.ndarray | None, source: str, encoding: str) -> np.ndarray:
    # Names never hold a line end: decode them all as one text, split it again.
    try:
        parts = b"\n".join(names.tolist()).decode(encoding).split("\n")
    except UnicodeDecodeError:
        pass
    else:
        if len(parts) == len(names):
            return np.array(parts, dtype=object)
    out = np.empty(len(names), dtype=object)
    for j, raw in enumerate(names):
        try:
            out[j] = raw.decode(encoding)
        except UnicodeDecodeError as e:
            where = ""
            if lines is not None:
                first = int(np.flatnonzero(gcodes == j)[0])
                where = f", line {int(lines[first]) + 1}"
            raise ReadError(
                f"{source}{where}: item name {raw[:40]!r} is not valid {encoding} text ({e.reason}); "
                "give the file's encoding"
            ) from None
    return out
