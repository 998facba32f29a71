// Counting k-itemsets by anchor-and-extend, and the per-level driver every counter of
// this module shares.
//
// A counter for level k is handed the frequent (k-1)-sets. Each of them that occurs in
// some transaction is an anchor; the counter scans the anchor's transactions, counts
// every co-occurring item x in dense per-item counters, and turns x into the candidate
// anchor + {x} with that count. The driver pieces below hold everything except the
// per-anchor work (`count_anchor`, with the pair gate), so the variant counters
// (roaring anchors, memoised transaction lists, prefilter, gating, ...) differ from
// the base counter only in the worker they plug in or the container it walks:
//   - `TxnItems` / `build_txn_items`: each transaction restricted to the relevant
//     items, with the weight-ranked cap;
//   - `AnchorScratch`: dense counters cleared through `touched`, plus a candidate
//     buffer for probing maps without allocating;
//   - `process_anchor_chunks`: runs a worker over a list of anchors, sequentially or in
//     chunks on the pool, and merges the chunk results first-wins in chunk order;
//   - `anchor_order`: a deterministic anchor order, so that even first-wins results of
//     capped memo counters do not depend on hash seeds, thread count or chunking.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "common/index.hpp"
#include "common/itemset.hpp"
#include "common/pool.hpp"
#include "common/tuning.hpp"

namespace tallisk::itemsets {

// ---- relevant items and transactions ---------------------------------------------------

//! Item mask over [0, n_items): 1 where the item occurs in some given itemset. Items at
//! or beyond n_items are not marked (no transaction of an index with n_items can hold
//! them). `key(element)` projects a range element to its itemset, so both sets and maps
//! of itemsets can be passed.
template <class Range, class Key>
std::vector<uint8_t> relevant_items(const Range& sets, std::size_t n_items, Key&& key) {
    std::vector<uint8_t> mask(n_items, 0);
    for (const auto& element : sets)
        for (uint32_t x : key(element))
            if (x < n_items) mask[x] = 1;
    return mask;
}

//! `relevant_items` over a set of itemsets.
inline std::vector<uint8_t> relevant_items(const ItemsetSet& sets, std::size_t n_items) {
    return relevant_items(sets, n_items, [](const Itemset& s) -> const Itemset& { return s; });
}

//! The transactions as a counter sees them (the "txn_to_items" map), as a CSR over all
//! dense transaction ids. A transaction is an entry when it holds at least k relevant
//! items; its row then holds those items ascending, reduced to the heaviest
//! `max_items_per_txn` when longer (so a capped row may hold fewer than k items).
//! Transactions that are not entries have an empty row; counting an empty row and
//! skipping an absent entry are the same thing.
struct TxnItems {
    IdRows rows;                    // n_transactions rows: the kept items of every transaction, ascending
    std::vector<uint32_t> entries;  // dense ids of the entries, ascending

    std::span<const uint32_t> row(uint32_t t) const { return rows.row(t); }
    std::size_t n_transactions() const { return rows.rows(); }
};

//! Builds `TxnItems` for level k from the index and a relevance mask of n_items
//! entries (see `relevant_items`). With a cap m, a row longer than m keeps its m
//! heaviest items: item x weighs item_weights[x], or 0.0 beyond the array; equal
//! weights keep the smaller id; a NaN weight ranks below every number (one consistent
//! order, which the plain less-than comparison of floats would not give). Every kept
//! item is below n_items: the index is checked against it, and an item out of range
//! throws Panic, so workers may index per-item arrays of n_items without checks.
//! Runs on the pool for large indexes; the result does not depend on the worker count.
TxnItems build_txn_items(const InvertedIndex& index, std::span<const uint8_t> relevant, std::size_t k,
                         std::size_t n_items, std::span<const double> item_weights,
                         std::optional<uint64_t> max_items_per_txn);

// ---- per-anchor scratch -----------------------------------------------------------------

//! Scratch of one chunk task: dense counters indexed by item id, zero between anchors,
//! reset through `touched` so the cost per anchor follows the co-occurring items and not
//! the size of the item space; and a candidate buffer for probing itemset maps with a
//! span, so only new keys are ever allocated.
struct AnchorScratch {
    std::vector<uint32_t> co_counts;  // per item id; counts fit: at most n_transactions
    std::vector<uint32_t> touched;    // items counted for the current anchor, first-touch order
    Itemset candidate;                // anchor + {x}, ascending, rebuilt by extend()
    std::vector<uint32_t> marks;      // per item id, free for a worker's own per-anchor
                                      // filter; empty until a worker sizes it, and must be
                                      // all zero again when the worker returns

    explicit AnchorScratch(std::size_t n_items) : co_counts(n_items, 0) { touched.reserve(256); }

    //! Counts one occurrence of item x (x < n_items, as `TxnItems` guarantees).
    void count(uint32_t x) {
        if (co_counts[x]++ == 0) touched.push_back(x);
    }
    //! Counts every item of a row.
    void count_row(std::span<const uint32_t> row) {
        for (uint32_t x : row) count(x);
    }
    //! Calls f(x, count) for every touched item in first-touch order, resetting each
    //! counter before the call; afterwards all counters are zero and `touched` is empty.
    template <class F>
    void drain(F&& f) {
        for (uint32_t x : touched) {
            const uint32_t c = co_counts[x];
            co_counts[x] = 0;
            f(x, c);
        }
        touched.clear();
    }
    //! anchor + {x} in ascending order in `candidate`, or an empty optional when x is
    //! already an item of the anchor (the contains check). `anchor` must be ascending.
    std::optional<std::span<const uint32_t>> extend(std::span<const uint32_t> anchor, uint32_t x) {
        candidate.clear();
        std::size_t i = 0;
        for (; i < anchor.size() && anchor[i] < x; ++i) candidate.push_back(anchor[i]);
        if (i < anchor.size() && anchor[i] == x) return std::nullopt;
        candidate.push_back(x);
        candidate.insert(candidate.end(), anchor.begin() + static_cast<std::ptrdiff_t>(i), anchor.end());
        return std::span<const uint32_t>(candidate);
    }
};

//! True when anchor contains x (linear scan; anchors are short).
inline bool anchor_contains(std::span<const uint32_t> anchor, uint32_t x) {
    return std::find(anchor.begin(), anchor.end(), x) != anchor.end();
}

//! The downward-closure test on pairs: every pair of x with an item of the anchor is
//! in pair_set. True for an empty anchor.
inline bool apriori_check(std::span<const uint32_t> anchor, uint32_t x, const PairSet& pair_set) {
    for (uint32_t a : anchor)
        if (!pair_set.contains(ordered_pair_key(a, x))) return false;
    return true;
}

// ---- chunked anchor processing ----------------------------------------------------------

//! First-wins merge of chunk results: entries of `part` whose key is already in `into`
//! are dropped; new keys are moved over without copying. A pair of maps is merged map
//! by map (both maps of one chunk hold the same keys, so the kept values stay paired).
struct FirstWins {
    template <class V>
    void operator()(ItemsetMap<V>& into, ItemsetMap<V>&& part) const {
        for (auto it = part.begin(); it != part.end();) {
            auto node = part.extract(it++);
            into.insert(std::move(node));
        }
    }
    template <class A, class B>
    void operator()(std::pair<A, B>& into, std::pair<A, B>&& part) const {
        (*this)(into.first, std::move(part.first));
        (*this)(into.second, std::move(part.second));
    }
};

//! Runs per_anchor(i, scratch, out) for every anchor position i in [0, n_anchors), in
//! ascending order within a chunk, and returns the merged result R (a default-
//! constructible chunk result, e.g. a CountMap or a pair of maps).
//! At most tuning::kLevelSequentialAnchors anchors form one chunk on the calling thread. Above that,
//! consecutive chunks of pool::list_chunk(n_anchors) anchors run in parallel, each
//! with its own AnchorScratch (n_items counters) and its own R, and the chunk results
//! are merged on the calling thread in chunk order with `merge(into, part)`
//! (FirstWins by default). With first-wins merging the result equals a sequential run
//! over all anchors, whatever the number of workers. Exceptions of a worker reach the
//! caller.
template <class R, class PerAnchor, class Merge = FirstWins>
R process_anchor_chunks(std::size_t n_anchors, std::size_t n_items, PerAnchor&& per_anchor, Merge merge = {}) {
    auto run = [&](std::size_t begin, std::size_t end) {
        R out{};
        if (begin == end) return out;
        AnchorScratch scratch(n_items);
        for (std::size_t i = begin; i < end; ++i) {
            budget::check();  // between anchors no table is being grown
            per_anchor(i, scratch, out);
        }
        return out;
    };
    if (n_anchors <= tuning::kLevelSequentialAnchors) return run(0, n_anchors);
    std::vector<R> parts = pool::map_chunks<R>(n_anchors, pool::list_chunk(n_anchors), run);
    R merged = std::move(parts.front());
    for (std::size_t j = 1; j < parts.size(); ++j) {
        merge(merged, std::move(parts[j]));
        parts[j] = R{};  // release each part as soon as it is merged
    }
    return merged;
}

//! A fixed processing order for anchors: the positions 0..n-1 of `sets` sorted by a
//! seed-free mix of their items (ties by content). Unlike map order it is the same in
//! every process, and unlike plain lexicographic order it spreads the heavy anchors
//! (those with popular items) over all chunks. `set_at(i)` gives the i-th itemset.
template <class SetAt>
std::vector<uint32_t> anchor_order(std::size_t n, SetAt&& set_at);

//! Pointers to the keys of a map, in `anchor_order`: the anchor list of a counter whose
//! anchors are the keys of a memo map. The pointers stay valid while the map is not
//! modified.
template <class V>
std::vector<const Itemset*> ordered_keys(const ItemsetMap<V>& map);

// ---- the base counter -------------------------------------------------------------------

//! The pair set as adjacency lists over item ids below n_items. The pair check only
//! ever asks for (min, max) of two distinct items, so keys (a, b) with a >= b are never
//! consulted and are left out, as are pairs naming an item that is never counted.
struct Neighbors {
    Csr<std::size_t, uint32_t> lists;  // n_items rows, or none when there are no lists

    std::span<const uint32_t> of(uint32_t a) const {
        return a < lists.rows() ? lists.row(a) : std::span<const uint32_t>{};
    }
};
Neighbors neighbors_of(const PairSet& pair_set, std::size_t n_items);

//! The pair check as a gate computed once per anchor: an extension x of a non-empty
//! anchor A passes exactly when every (a, x), a in A, is a frequent pair, i.e. when x
//! is a neighbour of all |A| items. Puts the gate into `s.touched` (in the order of
//! A[0]'s list) with s.marks[x] = 1 for each, the weight an occurrence of x is counted
//! with; returns false, leaving no marks, when the gate is empty. A's own items are
//! never in it, as no item is its own neighbour. close_gate clears the marks again.
bool open_gate(std::span<const uint32_t> anchor, const Neighbors& neighbors, AnchorScratch& s);
inline void close_gate(AnchorScratch& s) {
    for (uint32_t y : s.touched) s.marks[y] = 0;
}
//! Counts the occurrences of the gated items of a row, while the gate is open.
inline void count_gated(std::span<const uint32_t> row, AnchorScratch& s) {
    // Branch-free: on dense data about half the items pass the gate, which would make
    // a branch here unpredictable.
    uint32_t* co = s.co_counts.data();
    const uint32_t* marks = s.marks.data();
    for (uint32_t x : row) co[x] += marks[x];
}

//! The base counter's work on one anchor, whose transactions for_each_txn(f) visits
//! (f(t) for each row id t): every item x co-occurring with the anchor, passing the
//! gate when `gate` is given, becomes anchor + {x} with its count, unless out already
//! holds that set. With the gate only the gated items are counted (branch-free: the
//! gate is a 0/1 weight per item): the same candidates and counts as counting
//! everything and checking pairs afterwards, without the work for the many items that
//! fail.
template <class ForEachTxn>
void count_anchor(std::span<const uint32_t> anchor, ForEachTxn&& for_each_txn, const TxnItems& txn,
                  const Neighbors* gate, AnchorScratch& s, CountMap& out) {
    const auto emit = [&](uint32_t x, uint32_t c) {
        const auto candidate = s.extend(anchor, x);
        if (candidate && !out.contains(*candidate)) out.emplace(Itemset(candidate->begin(), candidate->end()), c);
    };
    if (!gate) {
        for_each_txn([&](uint32_t t) { s.count_row(txn.row(t)); });
        s.drain(emit);
        return;
    }
    if (!open_gate(anchor, *gate, s)) return;
    for_each_txn([&](uint32_t t) { count_gated(txn.row(t), s); });
    close_gate(s);
    s.drain([&](uint32_t x, uint32_t c) {
        if (c != 0) emit(x, c);  // c = 0: in the gate but never next to the anchor
    });
}

//! Candidate k-itemsets of the index with their counts, from the frequent (k-1)-sets
//! `freq_lower`: every anchor + {x} with x a relevant item co-occurring with the anchor,
//! x not in the anchor, and (when pair_set is not empty) every pair of x with an anchor
//! item in pair_set. The count of a candidate is the number of transaction rows
//! (`TxnItems` for this level) holding all its items; no minimum is applied.
//! Members of freq_lower that are not strictly ascending or not of length k-1 never
//! match a transaction, but their items are still relevant. k = 0 gives an empty map.
//! Item ids must lie below n_items (Panic otherwise). Runs with the interpreter lock
//! released, on the calling thread and the pool; the result does not depend on the
//! number of workers.
CountMap count_k_itemsets_internal(const InvertedIndex& index, const ItemsetSet& freq_lower, const PairSet& pair_set,
                                   std::size_t k, std::size_t n_items, std::span<const double> item_weights,
                                   std::optional<uint64_t> max_items_per_txn);

//! The transactions of each anchor id, ascending: a CSR over anchor ids.
struct AnchorTxns {
    Csr<std::size_t, uint32_t> lists;  // row id: the anchor's transactions, ascending

    std::span<const uint32_t> of(uint32_t id) const { return lists.row(id); }
};

//! One level's anchors located in its rows, as the base counter and the roaring counter
//! share them: `lower` holds the members of freq_lower that can match (length k-1,
//! strictly ascending, items below n_items) in `anchor_order`, the anchor id being the
//! position; `anchors` the ids found in at least one row, ascending; `anchor_txns` the
//! ascending row ids of every id. Points into freq_lower, which must outlive it.
struct LevelAnchors {
    TxnItems txn;                       // the level's rows (relevance filter and cap)
    std::vector<const Itemset*> lower;  // anchor id -> its itemset
    AnchorTxns anchor_txns;             // anchor id -> rows holding it
    std::vector<uint32_t> anchors;      // ids with at least one row
};

//! Steps shared by the counters that locate anchors in rows: builds the rows for level
//! k and finds every anchor in them (sequentially up to tuning::kLevelSequentialEntries entries,
//! else in chunks on the pool). k = 0 or an empty freq_lower gives no anchors.
LevelAnchors locate_level_anchors(const InvertedIndex& index, const ItemsetSet& freq_lower, std::size_t k,
                                  std::size_t n_items, std::span<const double> item_weights,
                                  std::optional<uint64_t> max_items_per_txn);

//! The inputs of `count_k_itemsets_internal` derived from a (n_rows, k-1) table of
//! frequent (k-1)-sets: `lower` holds row r as the run of k-1 consecutive elements of
//! `buffer` (memory order) starting at r*(k-1), each reinterpreted as a u32 id, rows
//! unchanged (duplicates collapse); `pairs` holds every pair of positions of every
//! member, smaller id first. Throws Panic "index out of bounds" before allocating when
//! a run would leave the buffer, including k = 0 with n_rows > 0.
struct LowerSets {
    ItemsetSet lower;
    PairSet pairs;
};
LowerSets lower_sets_from_rows(std::span<const int32_t> buffer, std::size_t n_rows, std::size_t k);

// ---- template definitions ---------------------------------------------------------------

namespace detail {
//! Seed-free 64-bit mix of an itemset (splitmix64 steps); stable across processes.
inline uint64_t fixed_mix(std::span<const uint32_t> s) {
    uint64_t h = 0x9e3779b97f4a7c15ull ^ s.size();
    for (uint32_t x : s) {
        h += x + 0x9e3779b97f4a7c15ull;
        h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ull;
        h = (h ^ (h >> 27)) * 0x94d049bb133111ebull;
        h ^= h >> 31;
    }
    return h;
}
}  // namespace detail

template <class SetAt>
std::vector<uint32_t> anchor_order(std::size_t n, SetAt&& set_at) {
    std::vector<std::pair<uint64_t, uint32_t>> keyed(n);
    for (std::size_t i = 0; i < n; ++i)
        keyed[i] = {detail::fixed_mix(std::span<const uint32_t>(set_at(i))), static_cast<uint32_t>(i)};
    std::sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first < b.first;
        std::span<const uint32_t> sa(set_at(a.second)), sb(set_at(b.second));
        return std::lexicographical_compare(sa.begin(), sa.end(), sb.begin(), sb.end());
    });
    std::vector<uint32_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = keyed[i].second;
    return order;
}

template <class V>
std::vector<const Itemset*> ordered_keys(const ItemsetMap<V>& map) {
    std::vector<const Itemset*> keys;
    keys.reserve(map.size());
    for (const auto& entry : map) keys.push_back(&entry.first);
    const auto order = anchor_order(keys.size(), [&](std::size_t i) -> const Itemset& { return *keys[i]; });
    std::vector<const Itemset*> out(keys.size());
    for (std::size_t i = 0; i < order.size(); ++i) out[i] = keys[order[i]];
    return out;
}

}  // namespace tallisk::itemsets
