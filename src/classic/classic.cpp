// Classic Apriori: building the per-item transaction lists (with the optional
// weight-ranked cap), rarest-first support counting by sorted-list intersection, and
// the level loop with prefix join, downward-closure pruning and sequential or pooled
// counting of the candidates.
#include "classic/classic.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "common/error.hpp"
#include "common/pool.hpp"
#include "common/support.hpp"

namespace tallisk::classic {
namespace {

// Levels up to this many candidates are counted on the calling thread: below it the
// cost of splitting and merging across the pool exceeds the counting itself.
constexpr std::size_t kSequentialCandidates = 500;

// Shares per worker when counting on the pool. Candidate costs vary by orders of
// magnitude (early stops versus full intersections of popular items), so a few shares
// per worker let idle workers steal instead of waiting for the slowest share.
constexpr std::size_t kSharesPerWorker = 8;

// When the longer list is this many times the shorter one, binary-search the longer
// list (galloping) instead of walking both: the cost follows the short list.
constexpr std::size_t kGallopRatio = 32;

// ---- building ---------------------------------------------------------------------

//! Sort key of an item under the cap, read once per item so that the comparison
//! below sees each weight exactly once and stays a strict total order even with NaN.
struct WeightKey {
    double weight;
    bool is_nan;
    uint32_t item;
};

//! True when `a` is kept before `b`: heavier first, any number before NaN, then the
//! smaller id. Items of a transaction are distinct, so no two keys are equivalent.
bool heavier(const WeightKey& a, const WeightKey& b) {
    if (a.is_nan != b.is_nan) return b.is_nan;
    if (!a.is_nan && a.weight != b.weight) return a.weight > b.weight;
    return a.item < b.item;
}

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
                    std::vector<WeightKey>& keys) {
    if (len <= cap) return len;
    if (cap == 0) return 0;
    keys.clear();
    for (std::size_t i = 0; i < len; ++i) {
        const uint32_t x = row[i];
        const double w = x < weights.size() ? weights[x] : 0.0;
        keys.push_back({w, std::isnan(w), x});
    }
    // A total order, so selecting the first `cap` equals a stable sort and a cut.
    std::nth_element(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(cap), keys.end(), heavier);
    for (std::size_t i = 0; i < cap; ++i) row[i] = keys[i].item;
    std::sort(row, row + cap);
    return cap;
}

// ---- counting ---------------------------------------------------------------------

//! Result of an intersection that can no longer reach the required size.
constexpr std::size_t kUnreachable = std::numeric_limits<std::size_t>::max();

//! |a ∩ b| for ascending lists, with a no longer than b; the common elements go to
//! `out` when it is not null. Returns kUnreachable as soon as fewer than `need`
//! common elements remain possible.
std::size_t intersect(std::span<const uint32_t> a, std::span<const uint32_t> b, uint32_t* out, std::size_t need) {
    const std::size_t na = a.size(), nb = b.size();
    std::size_t i = 0, j = 0, found = 0;
    if (nb / kGallopRatio > na) {
        for (; i < na; ++i) {
            if (found + (na - i) < need) return kUnreachable;
            const uint32_t x = a[i];
            if (b[j] < x) {
                // Exponential search from j, then a binary search in the last step.
                std::size_t bound = 1;
                while (j + bound < nb && b[j + bound] < x) bound <<= 1;
                const std::size_t lo = j + bound / 2 + 1, hi = std::min(j + bound + 1, nb);
                j = static_cast<std::size_t>(std::lower_bound(b.begin() + static_cast<std::ptrdiff_t>(lo),
                                                              b.begin() + static_cast<std::ptrdiff_t>(hi), x) -
                                             b.begin());
                if (j == nb) break;
            }
            if (b[j] == x) {
                if (out) out[found] = x;
                ++found;
                if (++j == nb) break;
            }
        }
        return found;
    }
    while (i < na && j < nb) {
        const uint32_t x = a[i], y = b[j];
        if (x < y) {
            ++i;
            if (found + (na - i) < need) return kUnreachable;
        } else if (y < x) {
            ++j;
        } else {
            if (out) out[found] = x;
            ++found;
            ++i;
            ++j;
        }
    }
    return found;
}

//! Per-thread scratch of the support counter, reused across candidates.
struct Scratch {
    std::vector<const std::vector<uint32_t>*> lists;  // the candidate's lists, rarest first
    std::vector<uint32_t> running, next;              // the running intersection
};

std::optional<uint64_t> count_with(const TransactionIndex& index, std::span<const uint32_t> items,
                                   uint32_t min_count, Scratch& s) {
    if (items.empty()) return std::nullopt;
    s.lists.clear();
    for (uint32_t x : items) {
        auto it = index.item_txns.find(x);
        if (it == index.item_txns.end()) return std::nullopt;
        s.lists.push_back(&it->second);
    }
    // Rarest first (insertion sort: candidates are short). The running set then starts
    // as the shortest list and each step can only shrink it.
    for (std::size_t i = 1; i < s.lists.size(); ++i) {
        const auto* v = s.lists[i];
        std::size_t j = i;
        for (; j > 0 && s.lists[j - 1]->size() > v->size(); --j) s.lists[j] = s.lists[j - 1];
        s.lists[j] = v;
    }
    std::span<const uint32_t> running(*s.lists[0]);
    if (min_count > running.size()) return std::nullopt;
    const std::size_t last = s.lists.size() - 1;
    for (std::size_t step = 1; step <= last; ++step) {
        const std::span<const uint32_t> other(*s.lists[step]);
        uint32_t* out = nullptr;  // the last step only counts
        if (step < last) {
            s.next.resize(running.size());
            out = s.next.data();
        }
        const std::size_t found = intersect(running, other, out, min_count);
        if (found == kUnreachable || found < min_count) return std::nullopt;
        if (step == last) return found;
        s.next.resize(found);
        std::swap(s.running, s.next);
        running = s.running;
    }
    return running.size();
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
        while (r < sorted.size() && std::equal(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(prefix),
                                               sorted[r]->begin()))
            ++r;
        std::copy(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(prefix), candidate.begin());
        for (std::size_t p = i; p < r; ++p) {
            candidate[k - 2] = sorted[p]->back();
            for (std::size_t q = p + 1; q < r; ++q) {
                candidate[k - 1] = sorted[q]->back();
                bool keep = true;
                for (std::size_t drop = 0; drop + 2 < k && keep; ++drop) {
                    std::copy(candidate.begin(), candidate.begin() + static_cast<std::ptrdiff_t>(drop),
                              subset.begin());
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

CountMap count_candidates_sequential(const TransactionIndex& index, std::span<const uint32_t> candidates,
                                     std::size_t k, uint32_t min_count) {
    CountMap level;
    Scratch scratch;
    const std::size_t n = candidates.size() / k;
    for (std::size_t c = 0; c < n; ++c) {
        const std::span<const uint32_t> set = candidates.subspan(c * k, k);
        if (auto count = count_with(index, set, min_count, scratch))
            level.emplace(Itemset(set.begin(), set.end()), static_cast<uint32_t>(*count));
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
        absl::flat_hash_map<int64_t, uint32_t> label_to_dense;
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
    std::vector<WeightKey> keys;
    for (std::size_t t = 0; t < n_txn; ++t) {
        uint32_t* row = items.data() + offsets[t];
        std::size_t len = normalise_row(row, row_len[t]);
        if (capped) len = cap_row(row, len, static_cast<std::size_t>(*max_items_per_txn), *item_weights, keys);
        row_len[t] = static_cast<uint32_t>(len);
    }

    // Invert through dense item slots, so each occurrence costs one hash lookup.
    absl::flat_hash_map<uint32_t, uint32_t> slot_of;
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
    return count_with(index, items, min_count, scratch);
}

CountMap count_candidates_parallel(const TransactionIndex& index, std::span<const uint32_t> candidates,
                                   std::size_t k, uint32_t min_count) {
    const std::size_t n = k == 0 ? 0 : candidates.size() / k;
    if (n == 0) return {};
    using Found = std::vector<std::pair<std::size_t, uint32_t>>;  // candidate number, count
    const std::size_t chunk = std::max<std::size_t>(pool::list_chunk(n) / kSharesPerWorker, 1);
    std::vector<Found> shares = pool::map_chunks<Found>(n, chunk, [&](std::size_t begin, std::size_t end) {
        Found found;
        Scratch scratch;
        for (std::size_t c = begin; c < end; ++c)
            if (auto count = count_with(index, candidates.subspan(c * k, k), min_count, scratch))
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

    // Each level is at most as large as the number of frequent item combinations, so
    // the loop ends at the first empty level whatever k_max is.
    for (uint64_t k = 2; k <= k_max; ++k) {
        const std::vector<uint32_t> candidates = join_and_prune(levels.back(), static_cast<std::size_t>(k));
        if (candidates.empty()) break;
        const std::size_t n_candidates = candidates.size() / k;
        CountMap level = n_candidates <= kSequentialCandidates
                             ? count_candidates_sequential(index, candidates, k, min_count)
                             : count_candidates_parallel(index, candidates, k, min_count);
        if (level.empty()) break;
        levels.push_back(std::move(level));
        if (k == std::numeric_limits<uint64_t>::max()) break;
    }
    return levels;
}

}  // namespace tallisk::classic
