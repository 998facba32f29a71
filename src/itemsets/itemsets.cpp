// The anchor-and-extend counter: relevant transactions with the weight-ranked cap,
// the location of every anchor in the transactions (a CSR from anchor to transaction
// ids, built by enumerating the (k-1)-combinations of each row), and the per-anchor
// counting on the pool. Also the conversion of a table of (k-1)-sets into the set of
// anchors and the pair set for the single-level entry.
#include "itemsets/itemsets.hpp"

#include <cmath>
#include <limits>

#include <absl/container/flat_hash_map.h>

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

using AnchorIds = absl::flat_hash_map<std::span<const uint32_t>, uint32_t, ItemsetHash, ItemsetEq>;

//! Every anchor of every entry in [begin, end): each ascending (k-1)-combination of the
//! entry's row that is an anchor, combinations in lexicographic order of positions.
FoundAnchors find_anchors(const TxnItems& txn, const AnchorIds& ids, std::size_t width, std::size_t begin,
                          std::size_t end) {
    FoundAnchors found;
    found.ends.reserve(end - begin);
    std::vector<std::size_t> pos(width);
    Itemset combo(width);
    for (std::size_t e = begin; e < end; ++e) {
        const auto row = txn.row(txn.entries[e]);
        const std::size_t n = row.size();
        if (n >= width) {
            for (std::size_t j = 0; j < width; ++j) {
                pos[j] = j;
                combo[j] = row[j];
            }
            while (true) {
                if (auto it = ids.find(std::span<const uint32_t>(combo)); it != ids.end()) found.ids.push_back(it->second);
                // Advance: rightmost position not at its last value n - width + j.
                std::size_t j = width;
                while (j > 0 && pos[j - 1] == n - width + (j - 1)) --j;
                if (j == 0) break;
                --j;
                ++pos[j];
                combo[j] = row[pos[j]];
                for (std::size_t l = j + 1; l < width; ++l) {
                    pos[l] = pos[l - 1] + 1;
                    combo[l] = row[pos[l]];
                }
            }
        }
        found.ends.push_back(found.ids.size());
    }
    return found;
}

AnchorTxns locate_anchors(const TxnItems& txn, const AnchorIds& ids, std::size_t n_ids, std::size_t width) {
    const std::size_t n_entries = txn.entries.size();
    const std::size_t chunk = n_entries <= kSequentialEntries ? std::max<std::size_t>(n_entries, 1)
                                                              : pool::list_chunk(n_entries);
    const auto bounds = pool::even_bounds(n_entries, chunk);
    std::vector<FoundAnchors> parts = pool::map_ranges<FoundAnchors>(
        bounds, [&](std::size_t b, std::size_t e) { return find_anchors(txn, ids, width, b, e); });

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
    const LevelAnchors level = locate_level_anchors(index, freq_lower, k, n_items, item_weights, max_items_per_txn);
    const bool check_pairs = !pair_set.empty();
    return process_anchor_chunks<CountMap>(level.anchors.size(), n_items, [&](std::size_t i, AnchorScratch& s,
                                                                              CountMap& out) {
        const uint32_t id = level.anchors[i];
        const std::span<const uint32_t> anchor(*level.lower[id]);
        for (uint32_t t : level.anchor_txns.of(id)) s.count_row(level.txn.row(t));
        s.drain([&](uint32_t x, uint32_t c) {
            const auto candidate = s.extend(anchor, x);
            if (!candidate || out.contains(*candidate)) return;
            if (check_pairs && !apriori_check(anchor, x, pair_set)) return;
            out.emplace(Itemset(candidate->begin(), candidate->end()), c);
        });
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
        if (s.size() == width && strictly_ascending(s)) members.push_back(&s);
    if (members.empty()) return level;
    const auto order = anchor_order(members.size(), [&](std::size_t i) -> const Itemset& { return *members[i]; });
    std::vector<const Itemset*>& lower = level.lower;
    lower.resize(members.size());
    for (std::size_t i = 0; i < order.size(); ++i) lower[i] = members[order[i]];
    members = {};
    AnchorIds ids;
    ids.reserve(lower.size());
    for (std::size_t i = 0; i < lower.size(); ++i)
        ids.emplace(std::span<const uint32_t>(*lower[i]), static_cast<uint32_t>(i));

    level.txn = build_txn_items(index, relevant_items(freq_lower, n_items), k, n_items, item_weights,
                                max_items_per_txn);
    level.anchor_txns = locate_anchors(level.txn, ids, lower.size(), width);
    ids = AnchorIds();

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
