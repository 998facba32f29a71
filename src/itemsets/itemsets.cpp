// The anchor-and-extend counter: relevant transactions with the weight-ranked cap,
// the location of every anchor in the transactions (a CSR from anchor to transaction
// ids, built by enumerating the (k-1)-combinations of each row, pruned by anchor
// prefixes), and the per-anchor counting on the pool, where the pair check acts as a
// gate computed once per anchor from the pair set's neighbour lists. Also the
// conversion of a table of (k-1)-sets into the set of anchors and the pair set for the
// single-level entry.
#include "itemsets/itemsets.hpp"

#include <cmath>
#include <limits>

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

namespace tallisk::itemsets {
namespace {

// Transactions per task in the two passes that build the relevant rows: large enough
// to amortise task overhead, small enough to balance long and short rows.
constexpr std::size_t kTxnGrain = 4096;

//! A weight read once, ranked heaviest first; NaN below every number.
struct RankedItem {
    double weight;
    bool nan;
    uint32_t item;
};

//! Strict weak ordering: heavier first, NaN last, then smaller id first. The id
//! tie-break gives the order of a stable sort of an ascending row.
bool ranks_before(const RankedItem& a, const RankedItem& b) {
    if (a.nan != b.nan) return b.nan;
    if (!a.nan && a.weight != b.weight) return a.weight > b.weight;
    return a.item < b.item;
}

//! Keeps the m heaviest items of `row` (ascending) and writes them ascending to `out`.
void cap_row(std::span<const uint32_t> row, std::size_t m, std::span<const double> weights,
             std::vector<RankedItem>& ranked, uint32_t* out) {
    ranked.clear();
    for (uint32_t x : row) {
        const double w = x < weights.size() ? weights[x] : 0.0;
        ranked.push_back({w, std::isnan(w), x});
    }
    auto kept_end = ranked.begin() + static_cast<std::ptrdiff_t>(m);
    std::nth_element(ranked.begin(), kept_end, ranked.end(), ranks_before);
    std::sort(ranked.begin(), kept_end, [](const RankedItem& a, const RankedItem& b) { return a.item < b.item; });
    for (std::size_t i = 0; i < m; ++i) out[i] = ranked[i].item;
}

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

//! Hash and equality for the short spans probed once per combination of every row:
//! an inlined multiply-xorshift and an element loop cost a fraction of the general
//! itemset hash and a memcmp call, and this lookup is the hottest of the enumeration.
struct ComboHash {
    std::size_t operator()(std::span<const uint32_t> s) const {
        uint64_t h = 0x9e3779b97f4a7c15ull * (s.size() + 1);
        for (uint32_t x : s) h = (h ^ x) * 0xbf58476d1ce4e5b9ull;
        h ^= h >> 31;
        h *= 0x94d049bb133111ebull;
        return static_cast<std::size_t>(h ^ (h >> 29));
    }
};
struct ComboEq {
    bool operator()(std::span<const uint32_t> a, std::span<const uint32_t> b) const {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (a[i] != b[i]) return false;
        return true;
    }
};
using AnchorIds = absl::flat_hash_map<std::span<const uint32_t>, uint32_t, ComboHash, ComboEq>;

//! Anchors and their proper prefixes, for pruning the enumeration of combinations: a
//! combination whose first j items start no anchor cannot be completed into one.
struct AnchorLookup {
    AnchorIds ids;                  // anchor -> id
    std::vector<uint8_t> first;     // per item id: 1 when some anchor starts with it
    absl::flat_hash_set<std::span<const uint32_t>, ComboHash, ComboEq> prefixes;  // lengths 2 .. width-1
    std::size_t width = 0;
};

AnchorLookup anchor_lookup(const std::vector<const Itemset*>& anchors, std::size_t width, std::size_t n_items) {
    AnchorLookup out;
    out.width = width;
    out.ids.reserve(anchors.size());
    out.first.assign(n_items, 0);
    for (std::size_t i = 0; i < anchors.size(); ++i) {
        const std::span<const uint32_t> a(*anchors[i]);
        out.ids.emplace(a, static_cast<uint32_t>(i));
        if (width > 0 && a[0] < n_items) out.first[a[0]] = 1;
        for (std::size_t j = 2; j < width; ++j) out.prefixes.insert(a.first(j));
    }
    return out;
}

//! Every anchor of every entry in [begin, end): each ascending (k-1)-combination of the
//! entry's row that is an anchor, combinations in lexicographic order of positions.
//! Depth-first over positions, abandoning a partial combination as soon as it is the
//! prefix of no anchor: on sparse data most rows then cost a few mask reads instead of
//! (n choose k-1) hash lookups.
FoundAnchors find_anchors(const TxnItems& txn, const AnchorLookup& lookup, std::size_t begin, std::size_t end) {
    const std::size_t width = lookup.width;
    FoundAnchors found;
    found.ends.reserve(end - begin);
    Itemset combo(width);
    std::vector<std::size_t> pos(width + 1);
    for (std::size_t e = begin; e < end; ++e) {
        const auto row = txn.row(txn.entries[e]);
        const std::size_t n = row.size();
        if (width == 0) {
            if (auto it = lookup.ids.find(std::span<const uint32_t>()); it != lookup.ids.end())
                found.ids.push_back(it->second);
        } else if (n >= width) {
            // pos[d] is the next row position to try at depth d.
            std::size_t depth = 0;
            pos[0] = 0;
            while (true) {
                if (pos[depth] > n - (width - depth)) {  // no room left at this depth
                    if (depth == 0) break;
                    --depth;
                    continue;
                }
                const std::size_t p = pos[depth]++;
                combo[depth] = row[p];
                const std::span<const uint32_t> partial(combo.data(), depth + 1);
                if (depth + 1 == width) {
                    if (auto it = lookup.ids.find(partial); it != lookup.ids.end()) found.ids.push_back(it->second);
                } else if (depth == 0 ? lookup.first[row[p]] != 0 : lookup.prefixes.contains(partial)) {
                    ++depth;
                    pos[depth] = p + 1;
                }
            }
        }
        found.ends.push_back(found.ids.size());
    }
    return found;
}

//! The transactions of each anchor id, ascending: a CSR over anchor ids.
struct AnchorTxns {
    std::vector<std::size_t> offsets;  // n_ids + 1
    std::vector<uint32_t> txns;

    std::span<const uint32_t> of(uint32_t id) const {
        return {txns.data() + offsets[id], txns.data() + offsets[id + 1]};
    }
};

AnchorTxns locate_anchors(const TxnItems& txn, const AnchorLookup& lookup, std::size_t n_ids) {
    const std::size_t n_entries = txn.entries.size();
    const std::size_t chunk = n_entries <= kSequentialEntries ? std::max<std::size_t>(n_entries, 1)
                                                              : pool::list_chunk(n_entries);
    const auto bounds = pool::even_bounds(n_entries, chunk);
    std::vector<FoundAnchors> parts = pool::map_ranges<FoundAnchors>(
        bounds, [&](std::size_t b, std::size_t e) { return find_anchors(txn, lookup, b, e); });

    AnchorTxns out;
    out.offsets.assign(n_ids + 1, 0);
    for (const auto& p : parts)
        for (uint32_t id : p.ids) ++out.offsets[id + 1];
    for (std::size_t i = 0; i < n_ids; ++i) out.offsets[i + 1] += out.offsets[i];
    out.txns.resize(out.offsets[n_ids]);
    std::vector<std::size_t> fill(out.offsets.begin(), out.offsets.end() - 1);
    // Chunks in order, entries ascending within a chunk: every list comes out ascending.
    for (std::size_t c = 0; c < parts.size(); ++c) {
        FoundAnchors& p = parts[c];
        std::size_t from = 0;
        for (std::size_t j = 0; j < p.ends.size(); ++j) {
            const uint32_t t = txn.entries[bounds[c] + j];
            for (; from < p.ends[j]; ++from) out.txns[fill[p.ids[from]]++] = t;
        }
        p = FoundAnchors();
    }
    return out;
}

//! The pair set as adjacency lists over item ids below n_items. The pair check only
//! ever asks for (min, max) of two distinct items, so keys (a, b) with a >= b are never
//! consulted and are left out, as are pairs naming an item that is never counted.
struct Neighbors {
    std::vector<std::size_t> offsets;  // n_items + 1, or empty when there are no lists
    std::vector<uint32_t> items;

    std::span<const uint32_t> of(uint32_t a) const {
        if (a + std::size_t{1} >= offsets.size()) return {};
        return {items.data() + offsets[a], items.data() + offsets[a + 1]};
    }
};

Neighbors neighbors_of(const PairSet& pair_set, std::size_t n_items) {
    Neighbors out;
    out.offsets.assign(n_items + 1, 0);
    for (PairKey key : pair_set) {
        const uint32_t a = pair_first(key), b = pair_second(key);
        if (a >= b || b >= n_items) continue;
        ++out.offsets[a + 1];
        ++out.offsets[b + 1];
    }
    for (std::size_t i = 0; i < n_items; ++i) out.offsets[i + 1] += out.offsets[i];
    out.items.resize(out.offsets[n_items]);
    std::vector<std::size_t> fill(out.offsets.begin(), out.offsets.end() - 1);
    for (PairKey key : pair_set) {
        const uint32_t a = pair_first(key), b = pair_second(key);
        if (a >= b || b >= n_items) continue;
        out.items[fill[a]++] = b;
        out.items[fill[b]++] = a;
    }
    return out;
}

}  // namespace

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
    pool::for_range(n_txn, kTxnGrain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t) {
            uint32_t n = 0;
            for (uint32_t x : index.txn(static_cast<uint32_t>(t))) n += is_relevant(x);
            n_relevant[t] = n;
        }
    });

    TxnItems out;
    out.offsets.assign(static_cast<std::size_t>(n_txn) + 1, 0);
    std::vector<uint32_t>& kept = n_relevant;  // reused in place: kept length per transaction
    for (uint32_t t = 0; t < n_txn; ++t) {
        if (n_relevant[t] >= k) {
            out.entries.push_back(t);
            kept[t] = static_cast<uint32_t>(std::min<uint64_t>(n_relevant[t], cap));
        } else {
            kept[t] = 0;
        }
        out.offsets[t + 1] = out.offsets[t] + kept[t];
    }
    out.items.resize(out.offsets[n_txn]);

    // Pass 2: write the relevant items, capping rows that are too long.
    pool::for_range(n_txn, kTxnGrain, [&](std::size_t begin, std::size_t end) {
        std::vector<uint32_t> row_buf;
        std::vector<RankedItem> ranked;
        for (std::size_t t = begin; t < end; ++t) {
            const uint32_t m = kept[t];
            if (m == 0) continue;
            uint32_t* dst = out.items.data() + out.offsets[t];
            row_buf.clear();
            for (uint32_t x : index.txn(static_cast<uint32_t>(t)))
                if (is_relevant(x)) row_buf.push_back(x);
            if (row_buf.size() == m)
                std::copy(row_buf.begin(), row_buf.end(), dst);
            else
                cap_row(row_buf, m, item_weights, ranked, dst);
        }
    });
    return out;
}

CountMap count_k_itemsets_internal(const InvertedIndex& index, const ItemsetSet& freq_lower, const PairSet& pair_set,
                                   std::size_t k, std::size_t n_items, std::span<const double> item_weights,
                                   std::optional<uint64_t> max_items_per_txn) {
    if (k == 0 || freq_lower.empty()) return {};
    const std::size_t width = k - 1;

    // Anchor ids: the members that can match a combination, in a fixed order.
    std::vector<const Itemset*> members;
    for (const Itemset& s : freq_lower)
        if (s.size() == width && strictly_ascending(s)) members.push_back(&s);
    if (members.empty()) return {};
    const auto order = anchor_order(members.size(), [&](std::size_t i) -> const Itemset& { return *members[i]; });
    std::vector<const Itemset*> lower(members.size());
    for (std::size_t i = 0; i < order.size(); ++i) lower[i] = members[order[i]];
    members = {};

    const TxnItems txn = build_txn_items(index, relevant_items(freq_lower, n_items), k, n_items, item_weights,
                                         max_items_per_txn);
    AnchorTxns anchor_txns;
    {
        const AnchorLookup lookup = anchor_lookup(lower, width, n_items);
        anchor_txns = locate_anchors(txn, lookup, lower.size());
    }

    std::vector<uint32_t> anchors;
    for (uint32_t id = 0; id < lower.size(); ++id)
        if (!anchor_txns.of(id).empty()) anchors.push_back(id);

    // The pair check, applied as a gate while counting: an extension x of anchor A
    // passes exactly when every (a, x), a in A, is a frequent pair, i.e. when x is a
    // neighbour of all |A| items. So the candidates of A are found among the gate, the
    // items marked |A| times by A's neighbour lists, computed once per anchor; only
    // those are counted (branch-free: the gate is a 0/1 weight per item) and read back.
    // Same candidates and counts as counting everything and checking pairs afterwards,
    // without the work for the many items that fail. A's own items are never in the
    // gate, as no item is its own neighbour.
    const bool check_pairs = !pair_set.empty() && width > 0;
    const Neighbors neighbors = check_pairs ? neighbors_of(pair_set, n_items) : Neighbors{};
    return process_anchor_chunks<CountMap>(anchors.size(), n_items, [&](std::size_t i, AnchorScratch& s, CountMap& out) {
        const uint32_t id = anchors[i];
        const std::span<const uint32_t> anchor(*lower[id]);
        if (!check_pairs) {
            for (uint32_t t : anchor_txns.of(id)) s.count_row(txn.row(t));
            s.drain([&](uint32_t x, uint32_t c) {
                const auto candidate = s.extend(anchor, x);
                if (candidate && !out.contains(*candidate)) out.emplace(Itemset(candidate->begin(), candidate->end()), c);
            });
            return;
        }
        if (s.marks.empty()) s.marks.assign(n_items, 0);
        auto& marks = s.marks;
        for (uint32_t a : anchor)
            for (uint32_t y : neighbors.of(a)) ++marks[y];
        // Every gate item neighbours anchor[0]; `touched` holds the gate in that list's order.
        const auto need = static_cast<uint32_t>(width);
        for (uint32_t y : neighbors.of(anchor[0]))
            if (marks[y] == need) s.touched.push_back(y);
        for (uint32_t a : anchor)
            for (uint32_t y : neighbors.of(a)) marks[y] = 0;
        if (s.touched.empty()) return;
        for (uint32_t y : s.touched) marks[y] = 1;
        auto& co = s.co_counts;
        for (uint32_t t : anchor_txns.of(id))
            for (uint32_t x : txn.row(t)) co[x] += marks[x];
        for (uint32_t y : s.touched) marks[y] = 0;
        s.drain([&](uint32_t x, uint32_t c) {
            if (c == 0) return;  // in the gate but never next to the anchor
            const auto candidate = s.extend(anchor, x);
            if (candidate && !out.contains(*candidate)) out.emplace(Itemset(candidate->begin(), candidate->end()), c);
        });
    });
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
