// Classic Apriori: a label-keyed transaction index with rarest-first, early-stopping
// support counting, and the breadth-first level loop (prefix join, downward-closure
// pruning, sequential or parallel counting) that both classic entries mine with.
//
// Unlike the other miners this path does not use the InvertedIndex: it takes item ids
// as arbitrary 32-bit patterns (a negative int32 id is just a large unsigned item) and
// never compares them with n_items.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "common/itemset.hpp"
#include "common/levels.hpp"
#include "pairs/pairs.hpp"

namespace tallisk::classic {

//! Per-item transaction lists of one input. Transactions are numbered densely in order
//! of first appearance of their label; only the sizes of intersections are ever read,
//! so this numbering gives the same counts as the labels themselves would, at half the
//! width, and the lists come out ascending without a sort.
//! Invariant: item_txns and item_counts have the same keys, and item_counts[x] is the
//! length of item_txns[x].
struct TransactionIndex {
    HashMap<uint32_t, std::vector<uint32_t>> item_txns;  // item -> its transactions, ascending
    HashMap<uint32_t, uint32_t> item_counts;             // item -> transactions holding it
    uint32_t n_transactions = 0;                         // distinct labels, including ones the cap left empty
};

//! Builds the index from parallel occurrence arrays (elements of item_ids beyond
//! txn_ids.size() are ignored; repeated occurrences count once). When both
//! `item_weights` and `max_items_per_txn` are given, a transaction longer than the cap
//! keeps its `cap` heaviest items: weight(x) = item_weights[x], 0.0 beyond the array;
//! equal weights keep the smaller ids; a NaN weight ranks below every number. A cap of
//! 0 empties every transaction but they still count in n_transactions.
//! Throws Panic when item_ids is shorter than txn_ids, InputError for more than
//! 4294967294 distinct labels.
TransactionIndex build_with_cap(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids,
                                std::optional<std::span<const double>> item_weights,
                                std::optional<uint64_t> max_items_per_txn);

//! Number of transactions holding every item of `items` (any order, duplicates
//! allowed), or nothing when that number is below `min_count`, `items` is empty or one
//! of its items is not in the index. Intersects the lists rarest item first and stops
//! as soon as min_count is out of reach. Read-only; safe to call from many threads.
std::optional<uint64_t> count_support_sc(const TransactionIndex& index, std::span<const uint32_t> items,
                                         uint32_t min_count);

//! Frequent itemsets by level: element j holds the frequent (j + 1)-itemsets (items
//! ascending by unsigned value). No element is empty; the vector is empty when no
//! item is frequent.
using Levels = std::vector<CountMap>;

//! Classic breadth-first Apriori over `index` up to `k_max` items (level 1 is always
//! built, whatever k_max). min_count = ceil(min_support * index.n_transactions),
//! saturated to 32 bits, or 1 when min_support is not positive (zero, negative, NaN).
//! Prunes the index to the frequent items when at least one item is frequent. Stops at
//! the first level with no candidate or no frequent set. Levels with more than 500
//! candidates are counted on the worker pool.
Levels apriori_itemsets(TransactionIndex& index, double min_support, uint64_t k_max);

//! The classic pipeline's result: the k_max- and (k_max - 1)-itemsets of
//! apriori_itemsets over the capped index (empty levels where the search stopped
//! earlier or k_max is below 2), and the counts of the pruned index over the id range
//! [0, n_items); ids outside it, negative ids among them, are mined but have no slot.
//! No n_transactions: the caller supplies its own.
LevelResult compute_pipeline(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids, uint64_t k_max,
                             uint32_t n_items, double min_support, std::span<const double> item_weights,
                             std::optional<uint64_t> max_items_per_txn);

//! The pair table of the frequent pairs found by classic Apriori: two adjacent rows
//! per pair {a, b} (a < b), (a, b) then (b, a), in level-map order. Frequency is judged
//! on the data's own count of distinct transactions; the metrics are scaled by the
//! caller's `n_transactions` and use per-item counts over [0, n_items). Throws Panic
//! for an item id outside that range or item_ids shorter than txn_ids.
pairs::PairOut frequent_pair_table(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids,
                                   uint32_t n_items, uint32_t n_transactions, double min_support);

}  // namespace tallisk::classic
