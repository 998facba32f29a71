// The ablation counters: the anchor-and-extend count of one level done five other
// ways, for side-by-side comparison of counting strategies.
//
//   v1_roaring    the base counter, pair gate included, with each anchor's
//                 transactions held and walked as a bitmap;
//   v2_memo       anchors and their transactions carried from the level below as
//                 bitmaps, so no combinations are enumerated;
//   v3_adaptive   v2 with the transaction sets held as TidLists (short ones as vectors);
//   v5_prefilter  v3 with the anchor and pair checks made on every occurrence before
//                 counting, instead of once per counted item after;
//   v6_gating     v3 with both checks replaced by one gate per anchor, computed from
//                 the items' frequent-pair neighbours.
//
// All of them run on the driver of the base counter (relevant rows with the cap,
// scratch counters, chunked first-wins processing); only the per-anchor work of the
// memoised ones differs.
// The memoised ones (v2..v6) apply min_count themselves and also return each kept
// set's transactions, the next level's input. Every counter returns the same counts as
// the base counter: under a cap, a transaction counts for an anchor only if its capped
// row still holds every item of the anchor.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "common/index.hpp"
#include "common/itemset.hpp"
#include "common/tidlist.hpp"
#include "itemsets/pair_maps.hpp"

namespace tallisk::itemsets {

//! Result of a memoised counter: the frequent k-sets with their counts, and the same
//! keys with the set of dense transactions (uncapped) holding all their items.
template <class V>
using MemoLevel = std::pair<CountMap, ItemsetMap<V>>;

//! Same inputs and result as count_k_itemsets_internal (no minimum applied), with each
//! anchor's transactions held and walked as a bitmap.
CountMap count_k_itemsets_v1_roaring(const InvertedIndex& index, const ItemsetSet& freq_lower, const PairSet& pair_set,
                                     std::size_t k, std::size_t n_items, std::span<const double> item_weights,
                                     std::optional<uint64_t> max_items_per_txn);

//! What a memoised counter reads besides the level below and its pair test.
struct LevelSetup {
    const InvertedIndex& index;
    const ItemTxnsRoaring& item_txns;  // transactions of every item
    std::size_t k;                     // size of the sets counted
    std::size_t n_items;
    uint32_t min_count;                         // smallest count kept
    std::span<const double> item_weights;       // ranks items for the cap
    std::optional<uint64_t> max_items_per_txn;  // the cap, if any
    bool carry_txns = true;                     // false: a last level, whose sets nobody reads
};

//! Level k from the frequent (k-1)-sets with their transaction bitmaps: every
//! candidate anchor + {x} (x not in the anchor; with a non-empty pair_set, every pair of
//! x with an anchor item in it) counted over the level's rows, kept when the count is
//! at least min_count, with bitmap(anchor) AND item_txns[x]. The counts equal
//! count_k_itemsets_internal's over the keys of lower_to_txns. Each key's bitmap must
//! hold exactly the transactions containing it. With carry_txns false the second map
//! stays empty and no intersection is made.
//! Throws Panic for an item id not below n_items or the number of item bitmaps.
MemoLevel<Bitmap> count_k_itemsets_v2_memo(const LevelSetup& level, const BitmapLevel& lower_to_txns,
                                           const PairSet& pair_set);

//! As count_k_itemsets_v2_memo with the transaction sets held as TidLists.
MemoLevel<TidList> count_k_itemsets_v3_adaptive(const LevelSetup& level, const TidListLevel& lower_to_tids,
                                                const PairSet& pair_set);

//! Same result as count_k_itemsets_v3_adaptive; the anchor and pair checks are made on
//! every (transaction, item) occurrence before it is counted.
MemoLevel<TidList> count_k_itemsets_v5_prefilter(const LevelSetup& level, const TidListLevel& lower_to_tids,
                                                 const PairSet& pair_set);

//! As count_k_itemsets_v3_adaptive with the pair set given as neighbour lists: x
//! extends an anchor only when it is a neighbour of every anchor item. Equal to the
//! adaptive counter's result when pair_neighbors comes from a non-empty pair set; with
//! no pairs at all nothing is produced. Throws Panic for an anchor item not below
//! pair_neighbors.size().
MemoLevel<TidList> count_k_itemsets_v6_gating(const LevelSetup& level, const TidListLevel& lower_to_tids,
                                              const PairNeighbors& pair_neighbors);

}  // namespace tallisk::itemsets
