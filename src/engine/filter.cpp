#include "engine/filter.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <numeric>
#include <string>

#include "common/error.hpp"
#include "common/pool.hpp"
#include "common/tuning.hpp"
#include "engine/data.hpp"

namespace tallisk::engine {
namespace {

constexpr uint64_t kEmpty = ~uint64_t{0};
// Added once per item of a set, so sets of different lengths made of the same sums of
// item terms do not share a hash.
constexpr uint64_t kLengthTerm = 0xD6E8FEB86659FD93ull;

//! SplitMix64's finaliser: every input bit reaches every output bit, so sums of
//! these terms spread evenly over the table.
inline uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

//! True when the first n ids of a and b agree. Rows are short: a loop beats a call of
//! memcmp.
inline bool same_ids(const uint32_t* a, const uint32_t* b, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k)
        if (a[k] != b[k]) return false;
    return true;
}

//! True when `row` holds exactly the items of `set` but the one at position `skip`.
inline bool same_without(std::span<const uint32_t> row, std::span<const uint32_t> set, std::size_t skip) {
    return same_ids(set.data(), row.data(), skip) &&
           same_ids(set.data() + skip + 1, row.data() + skip, set.size() - skip - 1);
}

// Ids up to this many get their hash terms from a table (8 bytes each).
constexpr std::size_t kTermTableIds = std::size_t{1} << 22;

//! Runs body(begin, end) over [0, n): on the pool for large n, else here.
template <class Body>
void over_rows(std::size_t n, Body&& body) {
    if (n < tuning::kFilterParallelRows || pool::num_threads() < 2) {
        if (n) body(std::size_t{0}, n);
        return;
    }
    pool::for_range(n, tuning::kFilterRowGrain, body);
}

}  // namespace

uint64_t SubsetIndex::term_of(uint32_t x) { return mix(x) + kLengthTerm; }

SubsetIndex::SubsetIndex(const RowsView& rows) : rows_(rows) {
    uint32_t max_id = 0;
    for (uint32_t x : rows.items) max_id = std::max(max_id, x);
    if (!rows.items.empty() && max_id < kTermTableIds) {
        terms_.resize(std::size_t{max_id} + 1);
        for (uint32_t x = 0; x <= max_id; ++x) terms_[x] = term_of(x);
    }
    // At most 70 % full, so that a probe for a set that is absent ends within a few slots.
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, rows.n_rows + rows.n_rows / 7 * 3 + 1));
    slots_.assign(capacity, kEmpty);
    mask_ = capacity - 1;
    std::atomic<bool> duplicates{false};
    over_rows(rows.n_rows, [&](std::size_t begin, std::size_t end) {
        bool found = false;
        for (std::size_t r = begin; r < end; ++r) {
            const auto set = rows.row(r);
            const uint64_t h = hash_of(set);
            const uint64_t mine = (h & ~uint64_t{0xFFFFFFFF}) | r;
            for (uint64_t pos = h & mask_;; pos = (pos + 1) & mask_) {
                std::atomic_ref<uint64_t> slot(slots_[pos]);
                uint64_t seen = slot.load(std::memory_order_relaxed);
                if (seen == kEmpty && slot.compare_exchange_strong(seen, mine, std::memory_order_relaxed)) break;
                // Taken, before or just now (then `seen` holds what took it). An equal set
                // always takes the same path, so a second copy meets the first here.
                if ((seen >> 32) == (h >> 32)) {
                    const auto other = rows.row(static_cast<uint32_t>(seen));
                    if (other.size() == set.size() && same_ids(set.data(), other.data(), set.size())) {
                        found = true;
                        break;
                    }
                }
            }
        }
        if (found) duplicates.store(true, std::memory_order_relaxed);
    });
    duplicates_ = duplicates.load();
}

template <class Same>
uint32_t SubsetIndex::probe(uint64_t hash, std::size_t len, Same&& same) const {
    const uint64_t tag = hash >> 32;
    for (uint64_t pos = hash & mask_;; pos = (pos + 1) & mask_) {
        const uint64_t seen = slots_[pos];
        if (seen == kEmpty) return kNone;
        if ((seen >> 32) != tag) continue;
        const auto r = static_cast<uint32_t>(seen);
        const auto row = rows_.row(r);
        if (row.size() == len && same(row)) return r;
    }
}

uint32_t SubsetIndex::find(std::span<const uint32_t> set, uint64_t hash) const {
    return probe(hash, set.size(),
                 [&](std::span<const uint32_t> row) { return same_ids(set.data(), row.data(), set.size()); });
}

uint32_t SubsetIndex::find_without(std::span<const uint32_t> set, uint64_t hash, std::size_t skip) const {
    return probe(hash - item_term(set[skip]), set.size() - 1,
                 [&](std::span<const uint32_t> row) { return same_without(row, set, skip); });
}

void SubsetIndex::prefetch(uint64_t hash) const { __builtin_prefetch(slots_.data() + (hash & mask_)); }

std::pair<uint32_t, uint32_t> SubsetIndex::first_duplicate() const {
    if (!duplicates_) return {kNone, kNone};
    // Rare: sort the rows by content, ties by row, and take the group whose second row
    // comes first.
    std::vector<uint32_t> order(rows_.n_rows);
    std::iota(order.begin(), order.end(), uint32_t{0});
    auto less = [&](uint32_t a, uint32_t b) {
        const auto x = rows_.row(a), y = rows_.row(b);
        if (std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end())) return true;
        if (std::lexicographical_compare(y.begin(), y.end(), x.begin(), x.end())) return false;
        return a < b;
    };
    std::sort(order.begin(), order.end(), less);
    std::pair<uint32_t, uint32_t> best{kNone, kNone};
    for (std::size_t k = 1; k < order.size(); ++k) {
        const auto x = rows_.row(order[k - 1]), y = rows_.row(order[k]);
        const bool equal = std::equal(x.begin(), x.end(), y.begin(), y.end());
        const bool starts = k < 2 || !std::ranges::equal(rows_.row(order[k - 2]), x);
        if (equal && starts && order[k] < best.second) best = {order[k - 1], order[k]};
    }
    return best;
}

void mark_subsets(const SubsetIndex& index, std::span<const int64_t> base_counts, const RowsView& longer,
                  std::span<const int64_t> longer_counts, Target target, std::vector<uint8_t>& dropped) {
    over_rows(longer.n_rows, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const auto set = longer.row(i);
            if (set.empty()) continue;
            const uint64_t h = index.hash_of(set);
            // Every subset's slot is asked for before the first is read: the probes of
            // one row then wait for memory together, not one after the other.
            for (uint32_t x : set) index.prefetch(h - index.item_term(x));
            for (std::size_t j = 0; j < set.size(); ++j) {
                const uint32_t r = index.find_without(set, h, j);
                if (r == SubsetIndex::kNone) continue;
                if (target == Target::maximal || base_counts[r] == longer_counts[i])
                    std::atomic_ref<uint8_t>(dropped[r]).store(1, std::memory_order_relaxed);
            }
        }
    });
}

std::vector<int64_t> filter_target(std::span<const int64_t> offsets, std::span<const int32_t> items,
                                   std::span<const int64_t> counts, Target target) {
    check_csr(offsets, items, "rows", std::nullopt);
    const std::size_t m = offsets.size() - 1;
    if (counts.size() != m)
        throw InputError("counts holds " + std::to_string(counts.size()) + " values but offsets describes " +
                         std::to_string(m) + " rows");
    if (m >= SubsetIndex::kNone)
        throw InputError("offsets describes " + std::to_string(m) + " rows; at most 4294967294 are supported");

    std::vector<int64_t> kept;
    if (target == Target::all) {
        kept.resize(m);
        std::iota(kept.begin(), kept.end(), int64_t{0});
        return kept;
    }
    // Ids are non-negative now, so the int32 storage reads as uint32 as it is; rows that
    // are not ascending are sorted in a copy.
    std::span<const uint32_t> ids{reinterpret_cast<const uint32_t*>(items.data()), items.size()};
    std::vector<uint32_t> own;
    for (std::size_t i = 0; i < m; ++i) {
        const auto row =
            ids.subspan(static_cast<std::size_t>(offsets[i]), static_cast<std::size_t>(offsets[i + 1] - offsets[i]));
        if (std::is_sorted(row.begin(), row.end(), std::less_equal<>())) continue;  // strictly ascending
        if (own.empty()) own.assign(ids.begin(), ids.end());
        auto b = own.begin() + offsets[i], e = own.begin() + offsets[i + 1];
        std::sort(b, e);
        if (std::adjacent_find(b, e) == e) continue;
        // A repeated id: name its second place in the caller's order.
        for (int64_t j = offsets[i]; j < offsets[i + 1]; ++j)
            for (int64_t p = offsets[i]; p < j; ++p)
                if (items[p] == items[j])
                    throw InputError("items[" + std::to_string(j) + "] = " + std::to_string(items[j]) +
                                     " repeats an item of row " + std::to_string(i));
    }
    const RowsView rows{offsets, 0, own.empty() ? ids : std::span<const uint32_t>(own), m};
    return target_rows(rows, counts, target, true);
}

std::vector<int64_t> target_rows(const RowsView& rows, std::span<const int64_t> counts, Target target,
                                 bool check_duplicates) {
    const SubsetIndex index(rows);
    if (check_duplicates)
        if (const auto [a, b] = index.first_duplicate(); a != SubsetIndex::kNone)
            throw InputError("rows " + std::to_string(a) + " and " + std::to_string(b) + " hold the same itemset");
    std::vector<uint8_t> dropped(rows.n_rows, 0);
    mark_subsets(index, counts, rows, counts, target, dropped);
    std::vector<int64_t> kept;
    for (std::size_t i = 0; i < rows.n_rows; ++i)
        if (!dropped[i]) kept.push_back(static_cast<int64_t>(i));
    return kept;
}

}  // namespace tallisk::engine
