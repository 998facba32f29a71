// Level-2 structures of the memoised counters, built once per pipeline call from the
// frequent pairs: each pair with the transactions that hold both its items (as a bitmap
// or as an adaptive TidList), and each item's ascending list of frequent partners.
#pragma once

#include <cstdint>
#include <vector>

#include "common/itemset.hpp"
#include "common/tidlist.hpp"

namespace tallisk::itemsets {

//! Frequent set -> bitmap of the dense transactions holding all its items.
using BitmapLevel = ItemsetMap<Bitmap>;
//! Frequent set -> TidList of the dense transactions holding all its items.
using TidListLevel = ItemsetMap<TidList>;
//! For every item id, the ascending ids of the items it forms a frequent pair with.
using PairNeighbors = std::vector<std::vector<uint32_t>>;

//! Every pair {a, b} of `pairs` as the key [min, max] with bitmap(a) AND bitmap(b).
//! Intersections run in parallel on the shared pool. Throws Panic when an item id is
//! not below item_txns.size().
BitmapLevel build_pair_tid_map(const PairSet& pairs, const ItemTxnsRoaring& item_txns);

//! As build_pair_tid_map, each intersection held as a TidList (Sparse at 32
//! transactions or fewer).
TidListLevel build_pair_tid_map_adaptive(const PairSet& pairs, const ItemTxnsRoaring& item_txns);

//! n_items lists; list a holds b and list b holds a for every pair {a, b}, ascending
//! (repeats only if the set holds a pair in both orders). Throws Panic when an id is not
//! below n_items.
PairNeighbors build_pair_neighbors(const PairSet& pairs, uint32_t n_items);

}  // namespace tallisk::itemsets
