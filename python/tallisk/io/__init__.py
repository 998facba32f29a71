"""Transactions from files, and result tables to files.

Readers
-------
:func:`read_transactions` reads three layouts, plain or gzip-compressed (recognised by
its magic bytes, whatever the name), from a path or ``"-"`` for standard input:

* ``fimi``: one transaction per line, items separated by blanks (spaces or tabs, any
  number of them; a line may end with a blank). An empty line is an empty transaction.
* ``basket``: one transaction per line, items separated by one chosen character (``,``
  by default); item names may hold spaces. Empty fields are not items.
* ``long``: a table with a transaction column and an item column, one row per
  (transaction, item): CSV with a header line, or Parquet (recognised by its magic bytes).

Files are read in blocks of a few megabytes: each block is cut into item names and
factorised to integer codes with NumPy (FIMI and basket files) or Arrow (long tables)
before the next is read, so a file far larger than memory as text is never held as
Python strings; only the distinct item names are. Item names are read exactly as written
between separators (``strip=True`` trims blanks around them) and decoded as UTF-8.

Writers
-------
:func:`write_table` writes an itemset, rule or pair table as FIMI-style lines
(``a b c (count)``, rules ``c <- a b (support, confidence)``), CSV, Parquet or JSON Lines,
through a temporary file renamed into place, so a failed run never leaves half a file.
"""

from ._atomic import STOP_SIGNALS, SignalExit, atomic_write, raise_on_signals
from ._codes import Codes
from ._formats import INPUT_FORMATS, OUTPUT_FORMATS, guess_input_format, guess_output_format
from ._read import read_codes, read_transactions
from ._source import BLOCK_SIZE, ReadError
from ._write import write_table

__all__ = [
    "BLOCK_SIZE",
    "STOP_SIGNALS",
    "SignalExit",
    "atomic_write",
    "raise_on_signals",
    "INPUT_FORMATS",
    "OUTPUT_FORMATS",
    "Codes",
    "ReadError",
    "guess_input_format",
    "guess_output_format",
    "read_codes",
    "read_transactions",
    "write_table",
]
