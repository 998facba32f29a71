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
    improvement: bool = False,
    min_improvement: float | None = None,
    metrics: bool = True,
    side_items: bool = True,
) -> dict[str, Any]: ...
def count_itemsets(
    txn_ids: NDArray[np.int64],
    item_ids: NDArray[np.int32],
    n_items: int,
    offsets: NDArray[np.int64],
    items: NDArray[np.int32],
) -> dict[str, Any]: ...
def rule_metrics(
    count: NDArray[np.float64],
    antecedent_count: NDArray[np.float64],
    consequent_count: NDArray[np.float64],
    n_transactions: float,
    names: list[str],
    order: NDArray[np.int64] | None = None,
) -> dict[str, NDArray[np.float64]]: ...
def rule_p_values(
    count: NDArray[np.float64],
    antecedent_count: NDArray[np.float64],
    consequent_count: NDArray[np.float64],
    n_transactions: float,
    test: Literal["fisher", "chi2"] = "fisher",
) -> NDArray[np.float64]: ...
def rule_improvement(
    offsets: NDArray[np.int64],
    items: NDArray[np.int32],
    counts: NDArray[np.float64],
    n_transactions: float,
    antecedent_offsets: NDArray[np.int64],
    antecedent_items: NDArray[np.int32],
    consequent_offsets: NDArray[np.int64],
    consequent_items: NDArray[np.int32],
    input_target: _Target = "all",
) -> NDArray[np.float64]: ...
def top_rules(
    txn_ids: NDArray[np.int64],
    item_ids: NDArray[np.int32],
    n_items: int,
    k: int,
    by: str = "leverage",
    min_confidence: float = 0.0,
    min_count: int | None = None,
    min_len: int = 2,
    max_len: int | None = None,
    max_consequent_len: int | None = None,
    antecedent_items: NDArray[np.int32] | None = None,
    consequent_items: NDArray[np.int32] | None = None,
    n_transactions: int | None = None,
) -> dict[str, Any]: ...

# ---- file reading and text writing (the io package's native side) ----

_Tokenizer = Any  # an opaque capsule
_Failure = tuple[str, int, int, int] | None
_Buffer = bytes | bytearray | memoryview

def line_tokenizer(separators: _Buffer, strip: bool, check_utf8: bool, max_name: int) -> _Tokenizer: ...
def csv_tokenizer(
    delimiter: bytes,
    strip: bool,
    check_utf8: bool,
    n_fields: int,
    txn_field: int,
    item_field: int,
    first_line: int,
    max_name: int,
) -> _Tokenizer: ...
def tokenizer_feed(tokenizer: _Tokenizer, data: _Buffer, last: bool) -> _Failure: ...
def tokenizer_finish(tokenizer: _Tokenizer) -> dict[str, Any]: ...
def csv_records(data: _Buffer, delimiter: bytes, max_records: int, last: bool) -> dict[str, Any]: ...
def format_rows(cells: list[tuple[Any, ...]], n_rows: int, begin: int, end: int, row_end: _Buffer) -> bytes: ...
def cell_widths(cells: list[tuple[Any, ...]], n_rows: int, begin: int, end: int) -> NDArray[np.int64]: ...
def label_rows(
    offsets: NDArray[np.int64],
    items: NDArray[np.int32],
    labels: NDArray[np.object_],
    kind: Literal["tuple", "frozenset"] = "tuple",
    twin: bool = False,
) -> Any: ...
def cell_rows(cells: NDArray[np.object_], reference: NDArray[np.object_]) -> NDArray[np.int64]: ...
def factorize_baskets(baskets: list[Any]) -> dict[str, Any]: ...
def group_pairs(txn_codes: NDArray[np.int64], item_ids: NDArray[np.int32], n_transactions: int) -> dict[str, Any]: ...
def group_rows(
    sizes: NDArray[np.int64], codes: NDArray[np.int32], rank: NDArray[np.int32] | None = None
) -> dict[str, Any]: ...
def true_cells(
    cells: _Buffer | NDArray[Any], n_rows: int, n_cols: int, column_major: bool = False
) -> dict[str, Any]: ...
def order_descending(keys: NDArray[np.float64]) -> NDArray[np.int64]: ...
def gather(values: NDArray[Any], rows: NDArray[np.int64]) -> NDArray[Any]: ...
def take_cells(
    cells: NDArray[np.object_], rows: NDArray[np.int64], order: NDArray[np.int64] | None = None
) -> NDArray[np.object_]: ...
def filter_target(
    offsets: NDArray[np.int64],
    items: NDArray[np.int32],
    counts: NDArray[np.int64],
    target: _Target,
) -> dict[str, Any]: ...
def set_num_threads(n: int) -> None: ...
def get_num_threads() -> int: ...
def measure_threads() -> int: ...
