// The level-wise pipelines: index, frequent pairs, then one anchor-and-extend level per
// k up to k_max; only the two top levels are kept. One driver runs all six; they
// differ only in the counter that turns the frequent (k-1)-sets into the k-sets.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "common/levels.hpp"

namespace tallisk::pipeline {

//! The per-level counter a pipeline runs; the values are the variants' numbers. The
//! base counter is the production one (count_k_itemsets_internal: anchors located in
//! the level's rows, pairs checked by a per-anchor gate); each other counter differs
//! from a named reference in the one thing its name says:
//!   v1_roaring    base, each anchor's transactions held as a Roaring bitmap;
//!   v2_memo       base, but every frequent set's transactions are carried to the
//!                 next level as bitmaps instead of locating anchors in rows, and pairs
//!                 are checked per counted item instead of by the gate;
//!   v3_adaptive   v2, transaction sets held as TidLists (short ones as vectors);
//!   v5_prefilter  v3, pairs checked on every occurrence before counting;
//!   v6_gating     v3, pairs checked by a per-anchor gate as in base.
enum class Counter { base = 0, v1_roaring = 1, v2_memo = 2, v3_adaptive = 3, v5_prefilter = 5, v6_gating = 6 };

//! ceil(min_support * n_transactions) in double precision, saturated to 32 bits (a NaN
//! product gives 0); 1 when min_support is 0, negative or NaN. So 0.07 with 100
//! transactions gives 8: the product is 7.000000000000001 and no tolerance is applied.
uint32_t pipeline_min_count(double min_support, uint32_t n_transactions);

//! A whole pipeline without the interpreter lock: builds the index (Panic on an item id
//! outside [0, n_items) or item_ids shorter than txn_ids), counts the frequent pairs,
//! then levels 3..k_max with the given counter, keeping the sets whose count reaches
//! `pipeline_min_count`. Stops as soon as a level is empty, since every later level is
//! then empty too; so any k_max terminates after at most the longest transaction's
//! length of levels. The memoised counters (v2 and later) build the per-item bitmaps,
//! the level-2 transaction sets and (gating) the pair neighbours only when k_max >= 3,
//! and do not build the transaction sets of the last level, which nobody reads.
//! Every counter gives the same sets and counts, also under a cap, whatever the number
//! of workers; the row order is that of the counter's hash maps.
LevelResult compute_pipeline(Counter counter, std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids,
                             uint64_t k_max, uint32_t n_items, double min_support, std::span<const double> item_weights,
                             std::optional<uint64_t> max_items_per_txn);

}  // namespace tallisk::pipeline
