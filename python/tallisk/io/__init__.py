"""Transactions from files, and result tables to files and back.

Reading transactions
--------------------
:func:`read_transactions` reads FIMI lines (items separated by blanks), basket lines
(items separated by one character) and long tables (a header, then one (transaction,
item) per record: CSV or Parquet), plain or gzip-compressed, from a path or ``"-"``. The
engine's tokenizers read the file in blocks of 8 MiB, keeping only codes and the distinct
names, so a file far larger than memory as text is never held; a NUL byte, or a name
longer than 8 MiB (a binary file, text that never ends a name), is refused at once.
Faults are :class:`ReadError` naming the file and line.

Writing and reading tables
--------------------------
:func:`write_table` writes itemset, rule and pair tables as CSV, TSV, JSON Lines, Parquet,
FIMI-style lines or the aligned text for people (:func:`format_table`); every format but
the last reads back with :func:`read_table` into an equal table, attrs included. Every
file is written through :func:`atomic_write`: it appears whole or not at all.
"""

from ._atomic import STOP_SIGNALS, SignalExit, atomic_write, raise_on_signals
from ._codes import Codes
from ._formats import INPUT_FORMATS, OUTPUT_FORMATS, guess_input_format, guess_output_format
from ._read import read_codes, read_transactions
from ._schema import restore_tuples
from ._source import BLOCK_SIZE, MAX_NAME, ReadError
from ._table import TABLE_FORMATS, read_table
from ._text import format_table
from ._write import write_table

__all__ = [
    "BLOCK_SIZE",
    "INPUT_FORMATS",
    "MAX_NAME",
    "OUTPUT_FORMATS",
    "STOP_SIGNALS",
    "TABLE_FORMATS",
    "Codes",
    "ReadError",
    "SignalExit",
    "atomic_write",
    "format_table",
    "guess_input_format",
    "guess_output_format",
    "raise_on_signals",
    "read_codes",
    "read_table",
    "read_transactions",
    "restore_tuples",
    "write_table",
]
