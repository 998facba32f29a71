// Depth-first frequent-itemset mining (Eclat) over vertical transaction lists.
//
// Every frequent item heads one top-level task. The task finds the lists of its pairs
// from the frequent items of its transactions (or, on dense data, from bitsets of all
// transactions), then extends prefixes depth first by later items of the same
// equivalence class until sets reach k_max items. Large searches run their tasks on the
// shared pool, small ones on the calling thread; results are concatenated in item
// order either way, so the output is the same for every thread count and its rows
// ascend lexicographically.
//
// The work is split in two calls so the boundary can hold the interpreter lock while
// the frequent-item list is built and release it only around the search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/index.hpp"
#include "common/levels.hpp"

namespace tallisk::eclat {

//! Frequent itemsets of the two top levels, stored flat: row i of `itemsets` is
//! itemsets[i * k_max, (i + 1) * k_max), row i of `lower_itemsets` is
//! lower_itemsets[i * (k_max - 1), (i + 1) * (k_max - 1)). Ids ascend within a row.
struct EclatOut {
    std::vector<uint32_t> itemsets;        // k_max-item sets, flat
    std::vector<uint32_t> counts;          // transactions holding each k_max-item set
    std::vector<uint32_t> lower_itemsets;  // (k_max - 1)-item sets, flat; empty when k_max = 2
    std::vector<uint32_t> lower_counts;    // transactions holding each lower set

    //! Appends every row of `other` after this one's rows (left before right).
    void merge(EclatOut&& other);
};

//! The items the search starts from, and the threshold it applies.
struct FrequentItems {
    uint32_t min_count = 1;         // a set is frequent when at least this many transactions hold it; >= 1
    std::vector<uint32_t> items;    // frequent item ids, ascending
    std::vector<uint32_t> slot_of;  // n_items entries: position in `items`, or UINT32_MAX when not frequent
};

//! ceil(min_support * n_transactions) saturated to 32 bits, 1 when min_support is not
//! positive, and never below 1: a set no transaction holds is not frequent, even when
//! there are no transactions at all.
uint32_t eclat_min_count(double min_support, uint32_t n_transactions);

//! The items whose transaction count reaches eclat_min_count(min_support, n). Cheap and
//! sequential; does not throw except std::bad_alloc.
FrequentItems frequent_items(const TransactionRows& rows, double min_support);

//! Every frequent set of k_max items and of k_max - 1 items (the latter only when
//! k_max >= 3), rows in ascending lexicographic order, identical for every number of
//! worker threads. `frequent` must come from frequent_items(rows, ...). Requires
//! k_max >= 2 (the caller checks). Runs on the shared pool when the search is large
//! enough. Consumes `rows`: its transaction rows are released as soon as the search has
//! built its own view of the frequent items, which lowers the peak; reads `frequent`.
EclatOut search(TransactionRows&& rows, const FrequentItems& frequent, std::size_t k_max);

//! search() as the level-wise result record: the two levels, with the per-item counts
//! and the number of transactions taken from `rows` before the search consumes them.
LevelResult search_levels(TransactionRows&& rows, const FrequentItems& frequent, std::size_t k_max);

}  // namespace tallisk::eclat
