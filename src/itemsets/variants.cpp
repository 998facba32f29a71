// The five ablation counters. Each is the base counter's driver (rows from
// build_txn_items, AnchorScratch, process_anchor_chunks with first-wins merges); the
// roaring one also runs the base counter's per-anchor work, over bitmaps, and the
// memoised ones share one level setup and one anchor loop and differ only in how an
// anchor's transactions are counted and checked.
#include "itemsets/variants.hpp"

#include <algorithm>
#include <type_traits>

#include "common/budget.hpp"
#include "common/error.hpp"
#include "common/pool.hpp"
#include "itemsets/itemsets.hpp"

namespace tallisk::itemsets {
namespace {

// ---- shared by the memoised counters ---------------------------------------------------

//! The transactions of candidate anchor + {x}: the anchor's, restricted to x's.
Bitmap candidate_txns(const Bitmap& anchor_txns, const Bitmap& item) { return anchor_txns.intersect(item); }
TidList candidate_txns(const TidList& anchor_txns, const Bitmap& item) {
    return TidList::intersect_with_bitmap(anchor_txns, item);
}

//! Calls count_row(row) with the level row of every transaction of `tids`, ascending.
//! The sets are carried uncapped, so under a cap (Capped) a transaction may have lost
//! anchor items from its row: it then does not hold the anchor at this level and is
//! skipped, which makes the counts those of the base counter whichever anchor produces
//! a candidate first. Without a cap every row of a transaction holding the anchor holds
//! it too (anchor items are relevant), so the check is compiled out.
template <bool Capped, class Tids, class CountRow>
void scan_anchor(const Tids& tids, std::span<const uint32_t> anchor, const TxnItems& txn, CountRow&& count_row) {
    tids.for_each([&](uint32_t t) {
        const std::span<const uint32_t> row = txn.row(t);
        if constexpr (Capped) {
            if (!std::includes(row.begin(), row.end(), anchor.begin(), anchor.end())) return;
        }
        count_row(row);
    });
}

//! Everything the per-anchor work of a memoised counter reads; shared read-only by all
//! chunk tasks.
template <class V>
struct MemoInput {
    const ItemsetMap<V>& lower;           // frequent (k-1)-sets -> their transactions
    const ItemTxnsRoaring& item_txns;     // transactions of every item
    uint32_t min_count;                   // smallest count kept
    bool carry_txns;                      // whether to build the kept sets' transactions
    TxnItems txn;                         // the level's rows
    std::vector<const Itemset*> anchors;  // keys of `lower` in anchor_order
};

template <class V>
MemoInput<V> memo_input(const LevelSetup& level, const ItemsetMap<V>& lower) {
    budget::refresh();  // a level's Roaring work follows
    MemoInput<V> in{lower, level.item_txns, level.min_count, level.carry_txns, {}, {}};
    if (level.k == 0 || lower.empty()) return in;
    const auto relevant =
        relevant_items(lower, level.n_items, [](const auto& entry) -> const Itemset& { return entry.first; });
    in.txn =
        build_txn_items(level.index, relevant, level.k, level.n_items, level.item_weights, level.max_items_per_txn);
    // A fixed order: under first-wins merging the result then cannot depend on hash
    // seeds or the number of workers.
    in.anchors = ordered_keys(lower);
    return in;
}

//! Runs work(capped, anchor, anchor_txns, scratch, out) for every anchor, in chunks on
//! the pool, and merges the chunk results first-wins. `capped` is std::true_type when
//! a cap was given, so the row check of scan_anchor exists only in that instantiation.
template <class V, class Work>
MemoLevel<V> run_memo(const MemoInput<V>& in, std::size_t n_items, bool capped, Work&& work) {
    auto run = [&](auto capped_tag) {
        return process_anchor_chunks<MemoLevel<V>>(
            in.anchors.size(), n_items, [&](std::size_t i, AnchorScratch& s, MemoLevel<V>& out) {
                const Itemset& anchor = *in.anchors[i];
                work(capped_tag, std::span<const uint32_t>(anchor), in.lower.find(anchor)->second, s, out);
            });
    };
    return capped ? run(std::true_type{}) : run(std::false_type{});
}

//! Inserts a kept candidate into the count map and, when the level's sets are carried,
//! its transactions (anchor_txns AND item_txns[x]) into the second map. The caller
//! checked that the candidate is new.
template <class V>
void insert_candidate(const MemoInput<V>& in, MemoLevel<V>& out, std::span<const uint32_t> candidate, uint32_t count,
                      const V& anchor_txns, uint32_t x) {
    out.first.emplace(Itemset(candidate.begin(), candidate.end()), count);
    if (in.carry_txns)
        out.second.emplace(Itemset(candidate.begin(), candidate.end()),
                           candidate_txns(anchor_txns, in.item_txns.at(x)));
    else
        check_index(x, in.item_txns.size());
}

// ---- per-anchor work ----------------------------------------------------------------------

//! process_anchors_v2_memo and process_anchors_v3_adaptive (V = Bitmap or TidList):
//! count every item of the anchor's rows, then per counted item: min_count, contains
//! check, duplicate check, pair check, intersection.
template <class V>
auto memo_work(const MemoInput<V>& in, const PairSet& pair_set) {
    return [&in, &pair_set, check_pairs = !pair_set.empty()](auto capped, std::span<const uint32_t> anchor,
                                                             const V& txns, AnchorScratch& s, MemoLevel<V>& out) {
        scan_anchor<decltype(capped)::value>(txns, anchor, in.txn, [&](auto row) { s.count_row(row); });
        s.drain([&](uint32_t x, uint32_t c) {
            if (c < in.min_count) return;                // before the candidate is even built
            const auto candidate = s.extend(anchor, x);  // nullopt: x is an anchor item
            if (!candidate || out.first.contains(*candidate)) return;
            if (check_pairs && !apriori_check(anchor, x, pair_set)) return;
            insert_candidate(in, out, *candidate, c, txns, x);
        });
    };
}

//! process_anchors_v5_prefilter: the contains and pair checks on every occurrence, so
//! only admissible items are counted; afterwards min_count and the duplicate check.
template <class V>
auto prefilter_work(const MemoInput<V>& in, const PairSet& pair_set) {
    return [&in, &pair_set, check_pairs = !pair_set.empty()](auto capped, std::span<const uint32_t> anchor,
                                                             const V& txns, AnchorScratch& s, MemoLevel<V>& out) {
        scan_anchor<decltype(capped)::value>(txns, anchor, in.txn, [&](auto row) {
            for (uint32_t x : row) {
                if (anchor_contains(anchor, x)) continue;
                if (check_pairs && !apriori_check(anchor, x, pair_set)) continue;
                s.count(x);
            }
        });
        s.drain([&](uint32_t x, uint32_t c) {
            if (c < in.min_count) return;
            const auto candidate = s.extend(anchor, x);
            if (!candidate || out.first.contains(*candidate)) return;
            insert_candidate(in, out, *candidate, c, txns, x);
        });
    };
}

//! In-place intersection of the ascending list `into` with the ascending `other`
//! (two-pointer merge; the result is a prefix of `into`).
void intersect_sorted(std::vector<uint32_t>& into, std::span<const uint32_t> other) {
    std::size_t w = 0, i = 0, j = 0;
    while (i < into.size() && j < other.size()) {
        if (into[i] < other[j]) {
            ++i;
        } else if (other[j] < into[i]) {
            ++j;
        } else {
            into[w++] = into[i];
            ++i;
            ++j;
        }
    }
    into.resize(w);
}

//! process_anchors_v6_gating: the items that form a frequent pair with every anchor item
//! (the intersection of their neighbour lists) are the only ones counted. No item is
//! its own neighbour, so the gate also leaves out the anchor's items.
//! The gate lives in the scratch itself: the gated items go into `touched` with their
//! counter set to 1, and an occurrence is counted only where the counter is non-zero.
//! One array load per occurrence, no hash set; the drain then reports count + 1.
template <class V>
auto gating_work(const MemoInput<V>& in, const PairNeighbors& neighbors) {
    return [&in, &neighbors](auto capped, std::span<const uint32_t> anchor, const V& txns, AnchorScratch& s,
                             MemoLevel<V>& out) {
        if (anchor.empty()) return;
        std::vector<uint32_t>& gate = s.touched;  // empty between anchors
        check_index(anchor[0], neighbors.size());
        gate.assign(neighbors[anchor[0]].begin(), neighbors[anchor[0]].end());
        for (std::size_t j = 1; j < anchor.size() && !gate.empty(); ++j) {
            check_index(anchor[j], neighbors.size());
            intersect_sorted(gate, neighbors[anchor[j]]);
        }
        if (gate.empty()) return;  // no common neighbour: the transactions are not scanned
        for (uint32_t x : gate) {
            check_index(x, s.co_counts.size());
            s.co_counts[x] = 1;
        }
        scan_anchor<decltype(capped)::value>(txns, anchor, in.txn, [&](auto row) {
            // Branch-free: on dense data about half the items pass the gate, which
            // would make a branch here unpredictable.
            uint32_t* counts = s.co_counts.data();
            for (uint32_t x : row) counts[x] += counts[x] != 0;
        });
        const uint32_t need = std::max<uint32_t>(in.min_count, 1);
        s.drain([&](uint32_t x, uint32_t gated_count) {
            const uint32_t c = gated_count - 1;
            if (c < need) return;
            const auto candidate = s.extend(anchor, x);
            if (!candidate || out.first.contains(*candidate)) return;
            insert_candidate(in, out, *candidate, c, txns, x);
        });
    };
}

}  // namespace

// ---- the counters -------------------------------------------------------------------------

CountMap count_k_itemsets_v1_roaring(const InvertedIndex& index, const ItemsetSet& freq_lower, const PairSet& pair_set,
                                     std::size_t k, std::size_t n_items, std::span<const double> item_weights,
                                     std::optional<uint64_t> max_items_per_txn) {
    budget::refresh();  // the anchors' bitmaps below
    LevelAnchors level = locate_level_anchors(index, freq_lower, k, n_items, item_weights, max_items_per_txn);
    const std::size_t n = level.anchors.size();
    // Each anchor's transactions as a bitmap, built in parallel; the lists they come
    // from are released before counting.
    auto parts = pool::map_chunks<std::vector<Bitmap>>(n, pool::list_chunk(n), [&](std::size_t b, std::size_t e) {
        std::vector<Bitmap> out;
        out.reserve(e - b);
        for (std::size_t i = b; i < e; ++i) out.push_back(Bitmap::of(level.anchor_txns.of(level.anchors[i])));
        return out;
    });
    level.anchor_txns = AnchorTxns();
    std::vector<Bitmap> anchor_txns;
    anchor_txns.reserve(n);
    for (auto& part : parts)
        for (Bitmap& b : part) anchor_txns.push_back(std::move(b));
    parts.clear();

    // From here on exactly the base counter's work, gate included; only the container
    // the anchor's transactions are walked in differs.
    const bool check_pairs = !pair_set.empty() && k > 1;
    const Neighbors neighbors = check_pairs ? neighbors_of(pair_set, n_items) : Neighbors{};
    const Neighbors* gate = check_pairs ? &neighbors : nullptr;
    return process_anchor_chunks<CountMap>(n, n_items, [&](std::size_t i, AnchorScratch& s, CountMap& out) {
        const auto for_each_txn = [&](auto&& f) { anchor_txns[i].for_each(f); };
        count_anchor(*level.lower[level.anchors[i]], for_each_txn, level.txn, gate, s, out);
    });
}

template <class V>
MemoLevel<V> count_k_itemsets_memo(PairCheck check, const LevelSetup& level, const ItemsetMap<V>& lower,
                                   const FrequentPairs& pairs) {
    const auto in = memo_input(level, lower);
    const bool capped = level.max_items_per_txn.has_value();
    switch (check) {
        case PairCheck::per_item: return run_memo(in, level.n_items, capped, memo_work(in, pairs.set));
        case PairCheck::per_occurrence: return run_memo(in, level.n_items, capped, prefilter_work(in, pairs.set));
        case PairCheck::gate: return run_memo(in, level.n_items, capped, gating_work(in, pairs.neighbors));
    }
    return {};
}

template MemoLevel<Bitmap> count_k_itemsets_memo(PairCheck, const LevelSetup&, const BitmapLevel&,
                                                 const FrequentPairs&);
template MemoLevel<TidList> count_k_itemsets_memo(PairCheck, const LevelSetup&, const TidListLevel&,
                                                  const FrequentPairs&);

}  // namespace tallisk::itemsets
