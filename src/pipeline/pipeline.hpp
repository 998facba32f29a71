// The level-wise pipeline: index, frequent pairs, then one anchor-and-extend level per
// k up to k_max, thresholded here; only the two top levels are kept. The pieces the
// ablation pipelines share with it (the minimum count, the pair level, the threshold,
// the outcome record) are exported as well.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/index.hpp"
#include "common/itemset.hpp"
#include "common/levels.hpp"

namespace tallisk::pipeline {

//! The two levels a pipeline keeps while it climbs.
struct PipelineOutcome {
    CountMap itemsets;  // frequent k_max-sets
    CountMap lower;     // frequent (k_max-1)-sets (the pairs when k_max <= 2)
};

//! The pipelines' result record: the two levels as rows, and the index's per-item
//! counts and number of transactions.
LevelResult pipeline_result(PipelineOutcome&& levels, const InvertedIndex& index);

//! ceil(min_support * n_transactions) in double precision, saturated to 32 bits (a NaN
//! product gives 0); 1 when min_support is 0, negative or NaN. So 0.07 with 100
//! transactions gives 8: the product is 7.000000000000001 and no tolerance is applied.
uint32_t pipeline_min_count(double min_support, uint32_t n_transactions);

//! Level 2 of every level-wise pipeline: the frequent pairs [a, b] (a < b) with their
//! counts as a level map, and the set of the same pairs for the counters' pair checks.
struct PairLevel {
    CountMap lower;
    PairSet pair_set;
};
PairLevel pair_level(const InvertedIndex& index, double min_support);

//! The entries of `candidates` with a count of at least min_count (consumes the map).
CountMap keep_frequent(CountMap&& candidates, uint32_t min_count);

//! The keys of a level map as a set (the next counter's `freq_lower`).
ItemsetSet key_set(const CountMap& level);

//! The whole base pipeline without the interpreter lock: builds the index (Panic on an
//! item id outside [0, n_items) or item_ids shorter than txn_ids), counts the frequent
//! pairs, then levels 3..k_max with `count_k_itemsets_internal`, keeping the sets whose
//! count reaches `pipeline_min_count`. Stops as soon as a level is empty, since every
//! later level is then empty too; so any k_max terminates after at most the longest
//! transaction's length of levels. The result does not depend on the number of workers.
LevelResult compute_pipeline(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids, uint64_t k_max,
                             uint32_t n_items, double min_support, std::span<const double> item_weights,
                             std::optional<uint64_t> max_items_per_txn);

}  // namespace tallisk::pipeline
