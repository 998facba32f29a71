// Every frequent itemset level by level: classic Apriori on the engine's input side.
//
// Level k + 1 is built from the frequent k-sets (ids ascending within a set, the sets
// in lexicographic order): every two sets sharing their first k - 1 items join into a
// candidate, which is kept only when each of its other k-subsets is frequent too (found
// through the level's SubsetIndex), and then counted by a PrefixWalk over the items'
// transaction sets. Candidates come in lexicographic order, so each shares the set of
// its k-prefix with the one before and costs one intersection. A level's candidates are
// cut into batches of about tuning::kAprioriBatchCandidates that the pool counts in any
// order; the frequent ones are put back in candidate order, so rows come out by length,
// then lexicographically by id, for every number of workers.
//
// max_itemsets is checked after every batch (target all), so a search that would report
// too many rows stops within one batch per worker. Closed and maximal sets are judged
// level by level by the filter of engine/filter.hpp: level k once level k + 1 is known
// (one level beyond max_len is mined for that); the row limit is checked as each level
// is judged.
#pragma once

#include <cstdint>
#include <span>

#include "engine/mine.hpp"

namespace tallisk::engine {

//! Mines the occurrences (checked with check_occurrences first) with the options of
//! mine(); options.task_work is not used. Same rows and counts as mine(), in the order
//! described above. Throws InputError when more than max_itemsets rows would be reported.
MineResult mine_apriori(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids, uint32_t n_items,
                        const MineOptions& options);

}  // namespace tallisk::engine
