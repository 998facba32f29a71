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
//                 the items' frequent-pair neighbours (the base counter's gate; its
//                 own form, the intersection of sorted lists, suits memoised anchors).
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
#include "itemsets/itemsets.hpp"
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

//! How a memoised counter applies the pair check to an extension x of an anchor.
enum class PairCheck {
    per_item,        // v2_memo, v3_adaptive: once per counted item, after counting
    per_occurrence,  // v5_prefilter: on every (transaction, item) occurrence, before counting
    gate,            // v6_gating: one gate per anchor from the neighbour lists; only gated items are counted
};

//! The frequent pairs as the checks read them: the set (per_item, per_occurrence; an
//! empty set means no check) and its neighbour lists (gate; no pairs means nothing
//! passes; Panic for an anchor item not below the number of lists).
struct FrequentPairs {
    const PairSet& set;
    const PairNeighbors& neighbors;
};

//! Level k from the frequent (k-1)-sets with their transaction sets (V = Bitmap for
//! v2_memo, TidList for the others): every candidate anchor + {x} (x not in the anchor,
//! passing the pair check) counted over the level's rows, kept when the count is at
//! least min_count, with the set of anchor AND item_txns[x]. The counts equal
//! count_k_itemsets_internal's over the keys of `lower`, whichever check is used (with
//! a non-empty pair set). Each key's set must hold exactly the transactions containing
//! it. With carry_txns false the second map stays empty and no intersection is made.
//! Throws Panic for an item id not below n_items or the number of item bitmaps.
template <class V>
MemoLevel<V> count_k_itemsets_memo(PairCheck check, const LevelSetup& level, const ItemsetMap<V>& lower,
                                   const FrequentPairs& pairs);

extern template MemoLevel<Bitmap> count_k_itemsets_memo(PairCheck, const LevelSetup&, const BitmapLevel&,
                                                        const FrequentPairs&);
extern template MemoLevel<TidList> count_k_itemsets_memo(PairCheck, const LevelSetup&, const TidListLevel&,
                                                         const FrequentPairs&);

}  // namespace tallisk::itemsets
