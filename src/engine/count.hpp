// Exact transaction counts of given itemsets.
//
// The candidates are walked as a prefix tree: sorted by their ascending ids, each one
// shares with the previous one the sets of transactions of their common prefix, so a
// prefix held by many candidates is intersected once. A set is an ascending list of
// transactions, or a bitset over all of them on dense data; a list meets a frequent
// item by a bit test per transaction, a rare one by a merge. The sorted candidates are
// cut into runs the pool's workers take in any order; a run rebuilds the prefix of its
// first candidate and writes counts only at its own candidates' places, so the result
// does not depend on the number of workers.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tallisk::engine {

//! Throws InputError naming the first bad position when `offsets` is not a CSR of
//! `items` (empty, not starting at 0, decreasing, not ending at items' length) or an
//! item id lies outside 0 .. n_items - 1.
void check_candidates(std::span<const int64_t> offsets, std::span<const int32_t> items, uint64_t n_items);

struct CountResult {
    std::vector<int64_t> counts;  // per candidate
    uint32_t n_transactions = 0;
};

//! Count of every candidate: transactions holding all its items. Repeated ids within a
//! candidate count once; the empty candidate is held by every transaction. Inputs must
//! have passed check_occurrences and check_candidates.
CountResult count_candidates(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids, uint32_t n_items,
                             std::span<const int64_t> offsets, std::span<const int32_t> items);

}  // namespace tallisk::engine
