"""Basket analysis: frequent itemsets, association rules and pair metrics from
market-basket data, computed by a native engine.

    >>> import pandas as pd, tallisk
    >>> orders = pd.DataFrame({"order": [1, 1, 2, 2, 3], "product": ["tea", "milk", "tea", "milk", "tea"]})
    >>> tr = tallisk.Transactions.from_long(orders, transaction="order", item="product")
    >>> itemsets = tallisk.frequent_itemsets(tr, min_support=0.5)
    >>> rules = tallisk.association_rules(itemsets, min_confidence=0.6)
"""

import warnings
from typing import Any

from ._threads import get_num_threads, set_num_threads
from ._validation import InvalidParameterError
from .decisions import recommend, top_rules
from .measures import MEASURES, add_measures, add_significance
from .mining import ALGORITHMS, frequent_itemsets, restore_tuples
from .pairs import pair_metrics
from .report import TableSummary, format_rules, summary
from .rules import association_rules
from .transactions import Transactions, TransactionsSummary

# The one place the version is written: the build reads it from here for the
# distribution's metadata (pyproject.toml, tool.scikit-build.metadata).
__version__ = "0.1.0"

__all__ = [
    "ALGORITHMS",
    "MEASURES",
    "InvalidParameterError",
    "TableSummary",
    "Transactions",
    "TransactionsSummary",
    "add_measures",
    "add_significance",
    "association_rules",
    "format_rules",
    "frequent_itemsets",
    "get_num_threads",
    "pair_metrics",
    "read_transactions",
    "recommend",
    "restore_tuples",
    "set_num_threads",
    "summary",
    "top_rules",
]

# Engine-form helpers that moved to tallisk.tables; the old names still work, with a
# DeprecationWarning.
_MOVED_TO_TABLES = ("ItemsetArrays", "itemsets_frame", "itemsets_to_arrays")


def __getattr__(name: str) -> Any:
    # The file readers import only when asked for, so `import tallisk` stays light.
    if name == "read_transactions":
        from .io import read_transactions

        return read_transactions
    if name in _MOVED_TO_TABLES:
        from . import tables

        warnings.warn(
            f"tallisk.{name} has moved to tallisk.tables.{name}; import it from there.",
            DeprecationWarning,
            stacklevel=2,
        )
        return getattr(tables, name)
    raise AttributeError(f"module 'tallisk' has no attribute {name!r}")
