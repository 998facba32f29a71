// Classic Apriori: building the per-item transaction lists (with the optional
// weight-ranked cap), rarest-first support counting by sorted-list intersection, and
// the level loop with prefix join, downward-closure pruning and sequential or pooled
// counting of the candidates.
#include "classic/classic.hpp"
#include "common/tuning.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "common/cap.hpp"
#include "common/error.hpp"
#include "common/index.hpp"
#include "common/pool.hpp"
#include "common/support.hpp"

namespace tallisk::classic {
namespace {

// ---- building ---------------------------------------------------------------------

//! Sorts a transaction's items ascending and drops repeats; returns the new length.
std::size_t normalise_row(uint32_t* row, std::size_t len) {
    if (len < 2) return len;
    // Most inputs list a basket's items already ascending and distinct.
    bool strictly_ascending = true;
    for (std::size_t i = 1; i < len && strictly_ascending; ++i) strictly_ascending = row[i - 1] < row[i];
    if (strictly_ascending) return len;
    std::sort(row, row + len);
    return static_cast<std::size_t>(std::unique(row, row + len) - row);
}

//! Keeps the `cap` heaviest items of an ascending row, ascending again; returns the
//! new length.
std::size_t cap_row(uint32_t* row, std::size_t len, std::size_t cap, std::span<const double> weights,
                    std::vector<RankedItem>& scratch) {
    if (len <= cap) return len;
    keep_heaviest({row, len}, cap, weights, scratch, row);
    return cap;
}

// ---- counting ---------------------------------------------------------------------

//! Result of an intersection that can no longer reach the required size.
constexpr std::size_t kUnreachable = std::numeric_limits<std::size_t>::max();

//! One item's transactions as the counter reads them: the ascending list and, for an
//! item held by many transactions, also a bit row (bit t set when transaction t holds
//! the item), which turns an intersection into one probe per running element.
struct ItemRef {
    std::span<const uint32_t> txns;
    const uint64_t* bits = nullptr;
};

//! The counter's view of a pruned index: every item's reference, bit rows included.
struct ItemTable {
    HashMap<uint32_t, ItemRef> refs;
    std::vector<uint64_t> bits;  // the bit rows, back to back
};

ItemTable item_table(const TransactionIndex& index) {
    ItemTable table;
    const std::size_t words = (static_cast<std::size_t>(index.n_transactions) + 63) / 64;
    std::size_t n_rows = 0;
    for (const auto& [item, txns] : index.item_txns)
        if (txns.size() * tuning::kBitsetDivisor >= index.n_transactions) ++n_rows;
    table.bits.assign(n_rows * words, 0);
    table.refs.reserve(index.item_txns.size());
    std::size_t row = 0;
    for (const auto& [item, txns] : index.item_txns) {
        ItemRef ref{txns, nullptr};
        // Items with at least n_transactions / kBitsetDivisor transactions get bit rows.
        if (txns.size() * tuning::kBitsetDivisor >= index.n_transactions) {
            uint64_t* bits = table.bits.data() + row++ * words;
            for (uint32_t t : txns) bits[t >> 6] |= uint64_t{1} << (t & 63);
            ref.bits = bits;
        }
        table.refs.emplace(item, ref);
    }
    return table;
}

// The intersections below take the running set `a` (never longer than the other
// operand), write the common elements to `out` (room for |a| elements; written even
// when only the count is needed, which is cheaper than a branch) and return their
// number, or kUnreachable as soon as fewer than `need` common elements remain possible.

std::size_t intersect_bits(std::span<const uint32_t> a, const uint64_t* bits, uint32_t* out, std::size_t need) {
    const std::size_t na = a.size();
    std::size_t found = 0;
    for (std::size_t i = 0; i < na; ++i) {
        const uint32_t x = a[i];
        out[found] = x;
        found += (bits[x >> 6] >> (x & 63)) & 1;
        if (found + (na - i - 1) < need) return kUnreachable;
    }
    return found;
}

std::size_t intersect_gallop(std::span<const uint32_t> a, std::span<const uint32_t> b, uint32_t* out,
                             std::size_t need) {
    const std::size_t na = a.size(), nb = b.size();
    std::size_t j = 0, found = 0;
    for (std::size_t i = 0; i < na; ++i) {
        if (found + (na - i) < need) return kUnreachable;
        const uint32_t x = a[i];
        if (b[j] < x) {
            // Exponential search from j, then a binary search over the last step.
            std::size_t bound = 1;
            while (j + bound < nb && b[j + bound] < x) bound <<= 1;
            const std::size_t lo = j + bound / 2 + 1, hi = std::min(j + bound + 1, nb);
            j = static_cast<std::size_t>(std::lower_bound(b.begin() + static_cast<std::ptrdiff_t>(lo),
                                                          b.begin() + static_cast<std::ptrdiff_t>(hi), x) -
                                         b.begin());
            if (j == nb) break;
        }
        if (b[j] == x) {
            out[found++] = x;
            if (++j == nb) break;
        }
    }
    return found;
}

std::size_t intersect_merge(std::span<const uint32_t> a, std::span<const uint32_t> b, uint32_t* out, std::size_t need) {
    const std::size_t na = a.size(), nb = b.size();
    std::size_t i = 0, j = 0, found = 0;
    // Branch-free steps: which side advances is data-dependent and unpredictable.
    while (i < na && j < nb) {
        const uint32_t x = a[i], y = b[j];
        out[found] = x;
        found += x == y;
        i += x <= y;
        j += y <= x;
        if (found + (na - i) < need) return kUnreachable;
    }
    return found;
}

std::size_t intersect(std::span<const uint32_t> a, const ItemRef& b, uint32_t* out, std::size_t need) {
    if (b.bits) return intersect_bits(a, b.bits, out, need);
    if (b.txns.size() / tuning::kGallopListRatio > a.size()) return intersect_gallop(a, b.txns, out, need);
    return intersect_merge(a, b.txns, out, need);
}

//! Per-thread scratch of the support counter, reused across candidates.
struct Scratch {
    std::vector<ItemRef> refs;     // the candidate's items, rarest first
    std::vector<uint32_t> buf[2];  // the running intersection and the next one
};

//! Support of `items` with `find(item)` giving an item's ItemRef (nullopt when the item
//! is not in the index). Returns nothing below min_count, as count_support_sc.
template <class Find>
std::optional<uint64_t> count_with(Find&& find, std::span<const uint32_t> items, uint32_t min_count, Scratch& s) {
    if (items.empty()) return std::nullopt;
    s.refs.clear();
    for (uint32_t x : items) {
        std::optional<ItemRef> ref = find(x);
        if (!ref) return std::nullopt;
        s.refs.push_back(*ref);
    }
    // Rarest first (insertion sort: candidates are short). The running set then starts
    // as the shortest list and each step can only shrink it.
    for (std::size_t i = 1; i < s.refs.size(); ++i) {
        const ItemRef v = s.refs[i];
        std::size_t j = i;
        for (; j > 0 && s.refs[j - 1].txns.size() > v.txns.size(); --j) s.refs[j] = s.refs[j - 1];
        s.refs[j] = v;
    }
    std::span<const uint32_t> running = s.refs[0].txns;
    if (min_count > running.size()) return std::nullopt;
    for (std::size_t step = 1; step < s.refs.size(); ++step) {
        std::vector<uint32_t>& out = s.buf[step & 1];
        if (out.size() < running.size()) out.resize(running.size());
        const std::size_t found = intersect(running, s.refs[step], out.data(), min_count);
        if (found == kUnreachable || found < min_count) return std::nullopt;
        running = std::span<const uint32_t>(out.data(), found);
    }
    return running.size();
}

//! Finds items in the index itself (no bit rows).
auto index_lookup(const TransactionIndex& index) {
    return [&index](uint32_t x) -> std::optional<ItemRef> {
        auto it = index.item_txns.find(x);
        if (it == index.item_txns.end()) return std::nullopt;
        return ItemRef{it->second, nullptr};
    };
}

auto table_lookup(const ItemTable& table) {
    return [&table](uint32_t x) -> std::optional<ItemRef> {
        auto it = table.refs.find(x);
        if (it == table.refs.end()) return std::nullopt;
        return it->second;
    };
}

//! Every itemset of a level in lexicographic order (unsigned, a prefix first).
std::vector<const Itemset*> sorted_sets(const CountMap& level) {
    std::vector<const Itemset*> out;
    out.reserve(level.size());
    for (const auto& entry : level) out.push_back(&entry.first);
    std::sort(out.begin(), out.end(), [](const Itemset* a, const Itemset* b) { return *a < *b; });
    return out;
}

//! Candidates of size k from the frequent (k-1)-sets: the prefix join of every run of
//! sets sharing their first k-2 items, keeping a candidate only when each of its
//! (k-1)-subsets is frequent. The two subsets without one of the last two items are
//! the join parents and need no lookup. Stored back to back, k items each.
std::vector<uint32_t> join_and_prune(const CountMap& prev, std::size_t k) {
    const std::vector<const Itemset*> sorted = sorted_sets(prev);
    const std::size_t prefix = k - 2;
    std::vector<uint32_t> candidates;
    Itemset candidate(k), subset(k - 1);
    std::size_t i = 0;
    while (i < sorted.size()) {
        const Itemset& head = *sorted[i];
        std::size_t r = i + 1;
        while (r < sorted.size() &&
               std::equal(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(prefix), sorted[r]->begin()))
            ++r;
        std::copy(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(prefix), candidate.begin());
        for (std::size_t p = i; p < r; ++p) {
            candidate[k - 2] = sorted[p]->back();
            for (std::size_t q = p + 1; q < r; ++q) {
                candidate[k - 1] = sorted[q]->back();
                bool keep = true;
                for (std::size_t drop = 0; drop + 2 < k && keep; ++drop) {
                    std::copy(candidate.begin(), candidate.begin() + static_cast<std::ptrdiff_t>(drop), subset.begin());
                    std::copy(candidate.begin() + static_cast<std::ptrdiff_t>(drop + 1), candidate.end(),
                              subset.begin() + static_cast<std::ptrdiff_t>(drop));
                    keep = prev.contains(std::span<const uint32_t>(subset));
                }
                if (keep) candidates.insert(candidates.end(), candidate.begin(), candidate.end());
            }
        }
        i = r;
    }
    return candidates;
}

CountMap count_candidates_sequential(const ItemTable& table, std::span<const uint32_t> candidates, std::size_t k,
                                     uint32_t min_count) {
    CountMap level;
    Scratch scratch;
    const std::size_t n = candidates.size() / k;
    for (std::size_t c = 0; c < n; ++c) {
        const std::span<const uint32_t> set = candidates.subspan(c * k, k);
        if (auto count = count_with(table_lookup(table), set, min_count, scratch))
            level.emplace(Itemset(set.begin(), set.end()), static_cast<uint32_t>(*count));
    }
    return level;
}

CountMap count_pooled(const ItemTable& table, std::span<const uint32_t> candidates, std::size_t k, uint32_t min_count) {
    const std::size_t n = k == 0 ? 0 : candidates.size() / k;
    if (n == 0) return {};
    using Found = std::vector<std::pair<std::size_t, uint32_t>>;  // candidate number, count
    const std::size_t chunk = std::max<std::size_t>(pool::list_chunk(n) / tuning::kChunksPerWorker, 1);
    std::vector<Found> shares = pool::map_chunks<Found>(n, chunk, [&](std::size_t begin, std::size_t end) {
        Found found;
        Scratch scratch;
        for (std::size_t c = begin; c < end; ++c)
            if (auto count = count_with(table_lookup(table), candidates.subspan(c * k, k), min_count, scratch))
                found.emplace_back(c, static_cast<uint32_t>(*count));
        return found;
    });
    std::size_t total = 0;
    for (const Found& f : shares) total += f.size();
    CountMap level;
    level.reserve(total);
    for (const Found& f : shares)
        for (const auto& [c, count] : f) {
            const std::span<const uint32_t> set = candidates.subspan(c * k, k);
            level.emplace(Itemset(set.begin(), set.end()), count);
        }
    return level;
}

}  // namespace

TransactionIndex build_with_cap(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids,
                                std::optional<std::span<const double>> item_weights,
                                std::optional<uint64_t> max_items_per_txn) {
    const std::size_t n = txn_ids.size();
    if (item_ids.size() < n) panic_index(item_ids.size(), item_ids.size());
    if (n > std::numeric_limits<uint32_t>::max())
        throw InputError("too many occurrences: " + std::to_string(n) +
                         " rows given, at most 4294967295 are supported");

    // Group: dense transaction number of every row, and each transaction's length.
    std::vector<uint32_t> dense(n);
    std::vector<uint32_t> row_len;
    {
        HashMap<int64_t, uint32_t> label_to_dense;
        label_to_dense.reserve(std::max<std::size_t>(n / 4, 16));
        // Rows usually come grouped by transaction: a run of one label needs one lookup.
        int64_t prev_label = 0;
        uint32_t prev_dense = 0;
        bool have_prev = false;
        for (std::size_t i = 0; i < n; ++i) {
            const int64_t label = txn_ids[i];
            if (!have_prev || label != prev_label) {
                auto [it, inserted] = label_to_dense.try_emplace(label, static_cast<uint32_t>(row_len.size()));
                if (inserted) row_len.push_back(0);
                prev_label = label;
                prev_dense = it->second;
                have_prev = true;
            }
            dense[i] = prev_dense;
            ++row_len[prev_dense];
        }
    }
    const std::size_t n_txn = row_len.size();

    // Each transaction's items, as a CSR whose rows shrink in place below.
    std::vector<uint32_t> offsets(n_txn + 1, 0);
    for (std::size_t t = 0; t < n_txn; ++t) offsets[t + 1] = offsets[t] + row_len[t];
    std::vector<uint32_t> items(n);
    {
        std::vector<uint32_t> cursor(offsets.begin(), offsets.end() - 1);
        for (std::size_t i = 0; i < n; ++i) items[cursor[dense[i]]++] = static_cast<uint32_t>(item_ids[i]);
    }
    dense = {};

    const bool capped = item_weights.has_value() && max_items_per_txn.has_value();
    std::vector<RankedItem> keys;
    for (std::size_t t = 0; t < n_txn; ++t) {
        uint32_t* row = items.data() + offsets[t];
        std::size_t len = normalise_row(row, row_len[t]);
        if (capped) len = cap_row(row, len, static_cast<std::size_t>(*max_items_per_txn), *item_weights, keys);
        row_len[t] = static_cast<uint32_t>(len);
    }

    // Invert through dense item slots, so each occurrence costs one hash lookup.
    HashMap<uint32_t, uint32_t> slot_of;
    std::vector<uint32_t> slot_item, slot_count;
    for (std::size_t t = 0; t < n_txn; ++t) {
        uint32_t* row = items.data() + offsets[t];
        for (std::size_t p = 0; p < row_len[t]; ++p) {
            auto [it, inserted] = slot_of.try_emplace(row[p], static_cast<uint32_t>(slot_item.size()));
            if (inserted) {
                slot_item.push_back(row[p]);
                slot_count.push_back(0);
            }
            ++slot_count[it->second];
            row[p] = it->second;
        }
    }
    slot_of = {};
    std::vector<std::vector<uint32_t>> lists(slot_item.size());
    for (std::size_t s = 0; s < lists.size(); ++s) lists[s].reserve(slot_count[s]);
    // Transactions in dense order, so every list comes out ascending.
    for (std::size_t t = 0; t < n_txn; ++t) {
        const uint32_t* row = items.data() + offsets[t];
        for (std::size_t p = 0; p < row_len[t]; ++p) lists[row[p]].push_back(static_cast<uint32_t>(t));
    }

    TransactionIndex index;
    index.n_transactions = static_cast<uint32_t>(n_txn);
    index.item_txns.reserve(lists.size());
    index.item_counts.reserve(lists.size());
    for (std::size_t s = 0; s < lists.size(); ++s) {
        index.item_counts.emplace(slot_item[s], slot_count[s]);
        index.item_txns.emplace(slot_item[s], std::move(lists[s]));
    }
    return index;
}

std::optional<uint64_t> count_support_sc(const TransactionIndex& index, std::span<const uint32_t> items,
                                         uint32_t min_count) {
    Scratch scratch;
    return count_with(index_lookup(index), items, min_count, scratch);
}

Levels apriori_itemsets(TransactionIndex& index, double min_support, uint64_t k_max) {
    const uint32_t min_count = min_count_from<uint32_t>(min_support, index.n_transactions, 1);
    Levels levels;

    CountMap singles;
    for (const auto& [item, count] : index.item_counts)
        if (count >= min_count) singles.emplace(Itemset{item}, count);
    if (singles.empty()) return levels;

    // Later lookups and intersections only ever concern frequent items.
    absl::erase_if(index.item_counts, [&](const auto& entry) { return entry.second < min_count; });
    absl::erase_if(index.item_txns, [&](const auto& entry) { return entry.second.size() < min_count; });
    levels.push_back(std::move(singles));
    const ItemTable table = k_max >= 2 ? item_table(index) : ItemTable{};

    // Each level is at most as large as the number of frequent item combinations, so
    // the loop ends at the first empty level whatever k_max is.
    for (uint64_t k = 2; k <= k_max; ++k) {
        const std::vector<uint32_t> candidates = join_and_prune(levels.back(), static_cast<std::size_t>(k));
        if (candidates.empty()) break;
        const std::size_t n_candidates = candidates.size() / k;
        CountMap level = n_candidates <= tuning::kSequentialCandidates
                             ? count_candidates_sequential(table, candidates, k, min_count)
                             : count_pooled(table, candidates, k, min_count);
        if (level.empty()) break;
        levels.push_back(std::move(level));
        if (k == std::numeric_limits<uint64_t>::max()) break;
    }
    return levels;
}

LevelResult compute_pipeline(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids, uint64_t k_max,
                             uint32_t n_items, double min_support, std::span<const double> item_weights,
                             std::optional<uint64_t> max_items_per_txn) {
    TransactionIndex index = build_with_cap(txn_ids, item_ids, item_weights, max_items_per_txn);
    const Levels levels = apriori_itemsets(index, min_support, k_max);
    // levels[j] holds the (j + 1)-itemsets; levels start at single items here.
    const auto level = [&](uint64_t k) {
        return k >= 1 && k <= levels.size() ? LevelRows::of(levels[k - 1]) : LevelRows{};
    };
    LevelResult out;
    out.top = level(k_max);
    if (k_max >= 2) out.lower = level(k_max - 1);
    out.item_counts.assign(n_items, 0);
    for (const auto& [x, count] : index.item_counts)
        if (x < n_items) out.item_counts[x] = count;
    return out;
}

pairs::PairOut frequent_pair_table(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids,
                                   uint32_t n_items, uint32_t n_transactions, double min_support) {
    TransactionIndex index = build_with_cap(txn_ids, item_ids, std::nullopt, std::nullopt);
    // The CSR index is needed only for per-item counts over the whole id range (it also
    // rejects ids outside it); the rest of it is dropped at once.
    const std::vector<uint32_t> item_counts = build_inverted_index(txn_ids, item_ids, n_items).item_counts;
    const double n = static_cast<double>(n_transactions);
    std::vector<double> item_support(item_counts.size());
    for (std::size_t i = 0; i < item_counts.size(); ++i) item_support[i] = static_cast<double>(item_counts[i]) / n;

    const Levels levels = apriori_itemsets(index, min_support, 2);
    pairs::PairOut out;
    if (levels.size() >= 2) {
        for (const auto& [set, count] : levels[1]) {
            const uint32_t x = set[0], y = set[1];
            check_index(x, item_counts.size());
            check_index(y, item_counts.size());
            out.push(x, y, count, item_counts[x], item_support[x], item_support[y], n);
            out.push(y, x, count, item_counts[y], item_support[y], item_support[x], n);
        }
    }
    return out;
}

}  // namespace tallisk::classic
