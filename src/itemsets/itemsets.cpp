// The anchor-and-extend counter: relevant transactions with the weight-ranked cap,
// the location of every anchor in the transactions (a CSR from anchor to transaction
// ids, built by walking each row down a prefix trie of the anchors, which finds the
// same (k-1)-combinations as enumerating them all), and the per-anchor counting on the
// pool, where the pair check acts as a gate computed once per anchor from the pair
// set's neighbour lists. Also the
// conversion of a table of (k-1)-sets into the set of anchors and the pair set for the
// single-level entry.
#include "itemsets/itemsets.hpp"
#include "common/tuning.hpp"

#include <cmath>
#include <limits>

#include "common/cap.hpp"

namespace tallisk::itemsets {
namespace {

bool strictly_ascending(const Itemset& s) {
    for (std::size_t i = 1; i < s.size(); ++i)
        if (s[i - 1] >= s[i]) return false;
    return true;
}

//! Anchors found in a run of entries: for the j-th entry of the run, ids
//! [ends[j-1], ends[j]) of `ids` (anchor ids in order of discovery).
struct FoundAnchors {
    std::vector<uint32_t> ids;
    std::vector<std::size_t> ends;
};

//! The anchors as a prefix trie, for finding every anchor inside a row without
//! enumerating all (k-1)-combinations: a walk follows the row's items down the trie and
//! abandons a partial combination as soon as it is the prefix of no anchor, and each
//! step is a merge of two ascending lists instead of a hash probe.
struct AnchorTrie {
    std::size_t width = 0;              // anchor length k-1, at least 1
    std::vector<uint32_t> root_child;   // per item id: its depth-1 node, or kNone
    std::vector<uint32_t> child_begin;  // per node: its children's edges, CSR offsets
    std::vector<uint32_t> child_item;   // per edge: the item, ascending within a node
    std::vector<uint32_t> child_node;   // per edge: the child node; at depth width, the anchor id
    static constexpr uint32_t kNone = UINT32_MAX;
};

//! Builds the trie of `anchors` (ids = positions; ascending, distinct, of length
//! width >= 1, items below n_items). Nodes are numbered breadth first.
AnchorTrie anchor_trie(const std::vector<const Itemset*>& anchors, std::size_t width, std::size_t n_items) {
    AnchorTrie trie;
    trie.width = width;
    trie.root_child.assign(n_items, AnchorTrie::kNone);
    std::vector<uint32_t> sorted(anchors.size());
    for (uint32_t i = 0; i < sorted.size(); ++i) sorted[i] = i;
    std::sort(sorted.begin(), sorted.end(), [&](uint32_t a, uint32_t b) { return *anchors[a] < *anchors[b]; });

    // Each node covers the run of sorted anchors sharing its prefix; node 0 is a dummy
    // root whose children are found through root_child instead.
    struct Run {
        uint32_t lo, hi;
    };
    std::vector<Run> nodes{{0, static_cast<uint32_t>(sorted.size())}};
    std::vector<std::size_t> depth_of{0};
    trie.child_begin.push_back(0);
    for (std::size_t v = 0; v < nodes.size(); ++v) {
        const Run run = nodes[v];
        const std::size_t d = depth_of[v];
        for (uint32_t lo = run.lo; lo < run.hi;) {
            const uint32_t item = (*anchors[sorted[lo]])[d];
            uint32_t hi = lo + 1;
            while (hi < run.hi && (*anchors[sorted[hi]])[d] == item) ++hi;
            uint32_t child;
            if (d + 1 == width) {
                child = sorted[lo];  // anchors are distinct: the run has one member
            } else {
                child = static_cast<uint32_t>(nodes.size());
                nodes.push_back({lo, hi});
                depth_of.push_back(d + 1);
            }
            if (v == 0)
                trie.root_child[item] = child;
            else {
                trie.child_item.push_back(item);
                trie.child_node.push_back(child);
            }
            lo = hi;
        }
        trie.child_begin.push_back(static_cast<uint32_t>(trie.child_item.size()));
    }
    return trie;
}

//! Where the walk of one row stands at one depth of the trie.
struct WalkFrame {
    uint32_t node;     // trie node whose children are matched at this depth
    std::size_t edge;  // next child edge to compare
    std::size_t end;   // end of the node's child edges
    std::size_t pos;   // next row position to try
    bool gallop;       // binary-search the children instead of merging
};

//! Appends the id of every anchor inside `row` (ascending, at least width items) to
//! `out`, in lexicographic order of positions. Iterative, as anchors may be long.
void walk_trie(const AnchorTrie& trie, std::span<const uint32_t> row, std::vector<WalkFrame>& frames,
               std::vector<uint32_t>& out) {
    const std::size_t width = trie.width, n = row.size();
    const uint32_t* items = trie.child_item.data();
    frames.resize(width);
    frames[0] = {0, 0, 0, 0, false};
    std::size_t depth = 0;
    while (true) {
        WalkFrame& f = frames[depth];
        const std::size_t last = n - (width - depth);  // last row position usable at this depth
        uint32_t child = AnchorTrie::kNone;
        std::size_t at = 0;
        if (depth == 0) {
            for (; f.pos <= last && child == AnchorTrie::kNone; ++f.pos) {
                child = trie.root_child[row[f.pos]];
                at = f.pos;
            }
        } else if (f.gallop) {
            for (; f.pos <= last && f.edge < f.end && child == AnchorTrie::kNone; ++f.pos) {
                f.edge = static_cast<std::size_t>(std::lower_bound(items + f.edge, items + f.end, row[f.pos]) - items);
                if (f.edge < f.end && items[f.edge] == row[f.pos]) {
                    child = trie.child_node[f.edge++];
                    at = f.pos;
                }
            }
        } else {
            while (f.pos <= last && f.edge < f.end) {
                if (items[f.edge] < row[f.pos]) {
                    ++f.edge;
                } else if (row[f.pos] < items[f.edge]) {
                    ++f.pos;
                } else {
                    child = trie.child_node[f.edge++];
                    at = f.pos++;
                    break;
                }
            }
        }
        if (child == AnchorTrie::kNone) {  // this depth is exhausted
            if (depth == 0) return;
            --depth;
        } else if (depth + 1 == width) {
            out.push_back(child);
        } else {
            WalkFrame& g = frames[++depth];
            g = {child, trie.child_begin[child], trie.child_begin[child + 1], at + 1, false};
            const std::size_t room = n - (width - depth) + 1;  // positions left: room - g.pos
            g.gallop = g.pos < room && g.end - g.edge > tuning::kTrieSearchRatio * (room - g.pos);
        }
    }
}

//! Every anchor of every entry in [begin, end): each (k-1)-combination of the entry's
//! row that is an anchor (for k = 1, the empty anchor in every entry).
FoundAnchors find_anchors(const TxnItems& txn, const AnchorTrie& trie, bool empty_anchor, std::size_t begin,
                          std::size_t end) {
    FoundAnchors found;
    found.ends.reserve(end - begin);
    std::vector<WalkFrame> frames;
    for (std::size_t e = begin; e < end; ++e) {
        const auto row = txn.row(txn.entries[e]);
        if (trie.width == 0) {
            if (empty_anchor) found.ids.push_back(0);
        } else if (row.size() >= trie.width) {
            walk_trie(trie, row, frames, found.ids);
        }
        found.ends.push_back(found.ids.size());
    }
    return found;
}

AnchorTxns locate_anchors(const TxnItems& txn, const AnchorTrie& trie, std::size_t n_ids) {
    const std::size_t n_entries = txn.entries.size();
    const std::size_t chunk = n_entries <= tuning::kLevelSequentialEntries ? std::max<std::size_t>(n_entries, 1)
                                                                           : pool::list_chunk(n_entries);
    const auto bounds = pool::even_bounds(n_entries, chunk);
    std::vector<FoundAnchors> parts = pool::map_ranges<FoundAnchors>(
        bounds, [&](std::size_t b, std::size_t e) { return find_anchors(txn, trie, n_ids > 0, b, e); });

    AnchorTxns anchor_txns;
    auto& out = anchor_txns.lists;
    out.offsets.assign(n_ids + 1, 0);
    for (const auto& p : parts)
        for (uint32_t id : p.ids) ++out.offsets[id + 1];
    for (std::size_t i = 0; i < n_ids; ++i) out.offsets[i + 1] += out.offsets[i];
    out.values.resize(out.offsets[n_ids]);
    std::vector<std::size_t> fill(out.offsets.begin(), out.offsets.end() - 1);
    // Chunks in order, entries ascending within a chunk: every list comes out ascending.
    for (std::size_t c = 0; c < parts.size(); ++c) {
        FoundAnchors& p = parts[c];
        std::size_t from = 0;
        for (std::size_t j = 0; j < p.ends.size(); ++j) {
            const uint32_t t = txn.entries[bounds[c] + j];
            for (; from < p.ends[j]; ++from) out.values[fill[p.ids[from]]++] = t;
        }
        p = FoundAnchors();
    }
    return anchor_txns;
}

}  // namespace

Neighbors neighbors_of(const PairSet& pair_set, std::size_t n_items) {
    Neighbors neighbors;
    auto& out = neighbors.lists;
    out.offsets.assign(n_items + 1, 0);
    for (PairKey key : pair_set) {
        const uint32_t a = pair_first(key), b = pair_second(key);
        if (a >= b || b >= n_items) continue;
        ++out.offsets[a + 1];
        ++out.offsets[b + 1];
    }
    for (std::size_t i = 0; i < n_items; ++i) out.offsets[i + 1] += out.offsets[i];
    out.values.resize(out.offsets[n_items]);
    std::vector<std::size_t> fill(out.offsets.begin(), out.offsets.end() - 1);
    for (PairKey key : pair_set) {
        const uint32_t a = pair_first(key), b = pair_second(key);
        if (a >= b || b >= n_items) continue;
        out.values[fill[a]++] = b;
        out.values[fill[b]++] = a;
    }
    return neighbors;
}

bool open_gate(std::span<const uint32_t> anchor, const Neighbors& neighbors, AnchorScratch& s) {
    if (s.marks.empty()) s.marks.assign(s.co_counts.size(), 0);
    auto& marks = s.marks;
    for (uint32_t a : anchor)
        for (uint32_t y : neighbors.of(a)) ++marks[y];
    // Every gate item neighbours anchor[0]; `touched` holds the gate in that list's order.
    const auto need = static_cast<uint32_t>(anchor.size());
    for (uint32_t y : neighbors.of(anchor[0]))
        if (marks[y] == need) s.touched.push_back(y);
    for (uint32_t a : anchor)
        for (uint32_t y : neighbors.of(a)) marks[y] = 0;
    for (uint32_t y : s.touched) marks[y] = 1;
    return !s.touched.empty();
}

TxnItems build_txn_items(const InvertedIndex& index, std::span<const uint8_t> relevant, std::size_t k,
                         std::size_t n_items, std::span<const double> item_weights,
                         std::optional<uint64_t> max_items_per_txn) {
    const uint32_t n_txn = index.n_transactions;
    const std::size_t mask_len = std::min(relevant.size(), n_items);
    auto is_relevant = [&](uint32_t x) {
        check_index(x, n_items);
        return x < mask_len && relevant[x] != 0;
    };
    const uint64_t cap = max_items_per_txn.value_or(std::numeric_limits<uint64_t>::max());

    // Pass 1: relevant items per transaction. An entry holds at least k of them; its
    // row keeps at most `cap` (a row capped to nothing still belongs to an entry).
    std::vector<uint32_t> n_relevant(n_txn, 0);
    pool::for_range(n_txn, tuning::kLevelTxnGrain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t) {
            uint32_t n = 0;
            for (uint32_t x : index.txn(static_cast<uint32_t>(t))) n += is_relevant(x);
            n_relevant[t] = n;
        }
    });

    TxnItems out;
    out.rows.offsets.assign(static_cast<std::size_t>(n_txn) + 1, 0);
    std::vector<uint32_t>& kept = n_relevant;  // reused in place: kept length per transaction
    for (uint32_t t = 0; t < n_txn; ++t) {
        if (n_relevant[t] >= k) {
            out.entries.push_back(t);
            kept[t] = static_cast<uint32_t>(std::min<uint64_t>(n_relevant[t], cap));
        } else {
            kept[t] = 0;
        }
        out.rows.offsets[t + 1] = out.rows.offsets[t] + kept[t];
    }
    out.rows.values.resize(out.rows.offsets[n_txn]);

    // Pass 2: write the relevant items, capping rows that are too long.
    pool::for_range(n_txn, tuning::kLevelTxnGrain, [&](std::size_t begin, std::size_t end) {
        std::vector<uint32_t> row_buf;
        std::vector<RankedItem> ranked;
        for (std::size_t t = begin; t < end; ++t) {
            const uint32_t m = kept[t];
            if (m == 0) continue;
            uint32_t* dst = out.rows.values.data() + out.rows.offsets[t];
            row_buf.clear();
            for (uint32_t x : index.txn(static_cast<uint32_t>(t)))
                if (is_relevant(x)) row_buf.push_back(x);
            if (row_buf.size() == m)
                std::copy(row_buf.begin(), row_buf.end(), dst);
            else
                keep_heaviest(row_buf, m, item_weights, ranked, dst);
        }
    });
    return out;
}

CountMap count_k_itemsets_internal(const InvertedIndex& index, const ItemsetSet& freq_lower, const PairSet& pair_set,
                                   std::size_t k, std::size_t n_items, std::span<const double> item_weights,
                                   std::optional<uint64_t> max_items_per_txn) {
    if (k == 0 || freq_lower.empty()) return {};
    const std::size_t width = k - 1;
    const LevelAnchors level = locate_level_anchors(index, freq_lower, k, n_items, item_weights, max_items_per_txn);
    const TxnItems& txn = level.txn;
    const std::vector<const Itemset*>& lower = level.lower;
    const AnchorTxns& anchor_txns = level.anchor_txns;
    const std::vector<uint32_t>& anchors = level.anchors;

    // Anchors of length 0 (k = 1) have no pairs to check.
    const bool check_pairs = !pair_set.empty() && width > 0;
    const Neighbors neighbors = check_pairs ? neighbors_of(pair_set, n_items) : Neighbors{};
    const Neighbors* gate = check_pairs ? &neighbors : nullptr;
    return process_anchor_chunks<CountMap>(anchors.size(), n_items,
                                           [&](std::size_t i, AnchorScratch& s, CountMap& out) {
                                               const uint32_t id = anchors[i];
                                               const auto for_each_txn = [&](auto&& f) {
                                                   for (uint32_t t : anchor_txns.of(id)) f(t);
                                               };
                                               count_anchor(*lower[id], for_each_txn, txn, gate, s, out);
                                           });
}

LevelAnchors locate_level_anchors(const InvertedIndex& index, const ItemsetSet& freq_lower, std::size_t k,
                                  std::size_t n_items, std::span<const double> item_weights,
                                  std::optional<uint64_t> max_items_per_txn) {
    LevelAnchors level;
    if (k == 0 || freq_lower.empty()) return level;
    const std::size_t width = k - 1;

    // Anchor ids: the members that can match a combination, in a fixed order.
    std::vector<const Itemset*> members;
    for (const Itemset& s : freq_lower)
        // Ascending members of the right length made of countable items; no other can
        // match a combination of a row.
        if (s.size() == width && strictly_ascending(s) && (width == 0 || s.back() < n_items)) members.push_back(&s);
    if (members.empty()) return level;
    const auto order = anchor_order(members.size(), [&](std::size_t i) -> const Itemset& { return *members[i]; });
    std::vector<const Itemset*>& lower = level.lower;
    lower.resize(members.size());
    for (std::size_t i = 0; i < order.size(); ++i) lower[i] = members[order[i]];
    members = {};

    level.txn =
        build_txn_items(index, relevant_items(freq_lower, n_items), k, n_items, item_weights, max_items_per_txn);
    {
        const AnchorTrie trie = width == 0 ? AnchorTrie{} : anchor_trie(lower, width, n_items);
        level.anchor_txns = locate_anchors(level.txn, trie, lower.size());
    }

    for (uint32_t id = 0; id < lower.size(); ++id)
        if (!level.anchor_txns.of(id).empty()) level.anchors.push_back(id);
    return level;
}

LowerSets lower_sets_from_rows(std::span<const int32_t> buffer, std::size_t n_rows, std::size_t k) {
    LowerSets out;
    if (n_rows == 0) return out;
    // k = 0 asks for rows of k-1 = "all remaining" elements: the first run already leaves
    // the buffer.
    if (k == 0) panic_index(buffer.size(), buffer.size());
    const std::size_t width = k - 1;
    if (width > 0 && n_rows > buffer.size() / width) panic_index(buffer.size(), buffer.size());

    // All rows of width 0 are the empty set; otherwise n_rows is bounded by the buffer.
    out.lower.reserve(width == 0 ? 1 : n_rows);
    const auto* data = reinterpret_cast<const uint32_t*>(buffer.data());
    for (std::size_t r = 0; r < n_rows; ++r) {
        const std::span<const uint32_t> row(data + r * width, width);
        if (!out.lower.contains(row)) out.lower.emplace(row.begin(), row.end());
        if (width == 0) break;
    }
    for (const Itemset& s : out.lower)
        for (std::size_t i = 0; i < s.size(); ++i)
            for (std::size_t j = i + 1; j < s.size(); ++j) out.pairs.insert(ordered_pair_key(s[i], s[j]));
    return out;
}

}  // namespace tallisk::itemsets
