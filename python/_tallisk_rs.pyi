# Type stubs for the contract engine module _tallisk_rs (C++). Every function takes the
# occurrences as txn_ids (int64) and item_ids (int32, ids in 0 .. n_items - 1) and
# returns a dict of NumPy arrays.
from typing import Any

import numpy as np
from numpy.typing import NDArray

__all__: list[str]

_Txn = NDArray[np.int64]
_Items = NDArray[np.int32]
_Weights = NDArray[np.float64]
_Result = dict[str, Any]

def rust_compute_pairs(txn_ids: _Txn, item_ids: _Items, n_items: int, min_support: float = 0.0) -> _Result: ...
def rust_compute_itemsets(
    txn_ids: _Txn,
    item_ids: _Items,
    freq_lower: NDArray[np.int32],
    k: int,
    n_items: int,
    item_weights: _Weights,
    max_items_per_txn: int | None = None,
) -> _Result: ...
def rust_compute_pipeline(
    txn_ids: _Txn,
    item_ids: _Items,
    k_max: int,
    n_items: int,
    min_support: float,
    item_weights: _Weights,
    max_items_per_txn: int | None = None,
) -> _Result: ...
def rust_compute_pipeline_v1_roaring(
    txn_ids: _Txn,
    item_ids: _Items,
    k_max: int,
    n_items: int,
    min_support: float,
    item_weights: _Weights,
    max_items_per_txn: int | None = None,
) -> _Result: ...
def rust_compute_pipeline_v2_memo(
    txn_ids: _Txn,
    item_ids: _Items,
    k_max: int,
    n_items: int,
    min_support: float,
    item_weights: _Weights,
    max_items_per_txn: int | None = None,
) -> _Result: ...
def rust_compute_pipeline_v3_adaptive(
    txn_ids: _Txn,
    item_ids: _Items,
    k_max: int,
    n_items: int,
    min_support: float,
    item_weights: _Weights,
    max_items_per_txn: int | None = None,
) -> _Result: ...
def rust_compute_pipeline_v5_prefilter(
    txn_ids: _Txn,
    item_ids: _Items,
    k_max: int,
    n_items: int,
    min_support: float,
    item_weights: _Weights,
    max_items_per_txn: int | None = None,
) -> _Result: ...
def rust_compute_pipeline_v6_gating(
    txn_ids: _Txn,
    item_ids: _Items,
    k_max: int,
    n_items: int,
    min_support: float,
    item_weights: _Weights,
    max_items_per_txn: int | None = None,
) -> _Result: ...
def rust_eclat_pipeline(txn_ids: _Txn, item_ids: _Items, k_max: int, n_items: int, min_support: float) -> _Result: ...
def rust_classic_compute_pairs(
    txn_ids: _Txn, item_ids: _Items, n_items: int, n_transactions: int, min_support: float
) -> _Result: ...
def rust_classic_compute_pipeline(
    txn_ids: _Txn,
    item_ids: _Items,
    k_max: int,
    n_items: int,
    _n_transactions: int,
    min_support: float,
    item_weights: _Weights,
    max_items_per_txn: int | None = None,
) -> _Result: ...
