# Type stubs for tallisk._engine, the package's native engine (C++). Every call releases
# the interpreter lock; made from the main thread, a call stops at Ctrl-C (or any signal
# handler that raises) with that handler's exception, within tens of milliseconds.
# MemoryError says which call ran out, how far it had got and what makes it smaller.
from typing import Any, Literal

import numpy as np
from numpy.typing import NDArray

_Target = Literal["all", "closed", "maximal"]
_Order = Literal["search", "canonical"]

def mine_itemsets(
    txn_ids: NDArray[np.int64],
    item_ids: NDArray[np.int32],
    n_items: int,
    min_count: int,
    min_len: int = 1,
    max_len: int | None = None,
    target: _Target = "all",
    max_itemsets: int | None = None,
    order: _Order = "search",
    algorithm: Literal["depth_first", "apriori"] = "depth_first",
) -> dict[str, Any]: ...
def generate_rules(
    offsets: NDArray[np.int64],
    items: NDArray[np.int32],
    counts: NDArray[np.float64],
    n_transactions: float,
    min_confidence: float,
    min_lift: float | None = None,
    max_consequent_len: int | None = None,
    antecedent_items: NDArray[np.int32] | None = None,
    consequent_items: NDArray[np.int32] | None = None,
    input_target: _Target = "all",
) -> dict[str, Any]: ...
def count_itemsets(
    txn_ids: NDArray[np.int64],
    item_ids: NDArray[np.int32],
    n_items: int,
    offsets: NDArray[np.int64],
    items: NDArray[np.int32],
) -> dict[str, Any]: ...
def filter_target(
    offsets: NDArray[np.int64],
    items: NDArray[np.int32],
    counts: NDArray[np.int64],
    target: _Target,
) -> dict[str, Any]: ...
