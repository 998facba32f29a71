#include "pairs/pairs.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <span>

#include <oneapi/tbb/enumerable_thread_specific.h>

#include "common/error.hpp"
#include "common/pool.hpp"
#include "common/support.hpp"

namespace tallisk::pairs {
namespace {

// Chunks per worker for the anchor range: enough to balance skewed item popularity
// by stealing, few enough that merging partial tables stays negligible.
constexpr std::size_t kChunksPerWorker = 8;
// How many transactions ahead the counting loop asks for a row: far enough to cover a
// memory access, near enough that the line is still cached when it is read.
constexpr std::size_t kPrefetchDistance = 6;

//! Per-thread scratch: dense counters, all zero between anchors, and the list of
//! items touched for the current anchor (which is how the counters are reset).
struct Scratch {
    std::vector<uint32_t> co_counts;
    std::vector<uint32_t> touched;
    explicit Scratch(std::size_t n_items) : co_counts(n_items, 0) { touched.reserve(256); }
};

//! Transaction rows as the counting loop reads them: either the index's own rows or,
//! when a cut-off is in force, the rows restricted to items that can reach it.
struct Rows {
    const uint32_t* offsets;
    const uint32_t* items;
    std::span<const uint32_t> operator[](uint32_t t) const { return {items + offsets[t], items + offsets[t + 1]}; }
    void prefetch(uint32_t t) const { __builtin_prefetch(items + offsets[t]); }
};

//! An item in fewer than min_count transactions can neither anchor nor partner a kept
//! pair (a pair's count is at most each item's count), so rows drop such items before
//! counting. The partners that remain keep their relative order, so does the output.
struct FrequentRows {
    std::vector<uint32_t> offsets, items;
    FrequentRows(const InvertedIndex& ix, uint64_t min_count) : offsets(ix.n_transactions + 1, 0) {
        items.reserve(ix.txn_items.size());
        for (uint32_t t = 0; t < ix.n_transactions; ++t) {
            for (uint32_t v : ix.txn(t))
                if (ix.item_counts[v] >= min_count) items.push_back(v);
            offsets[t + 1] = static_cast<uint32_t>(items.size());
        }
        items.shrink_to_fit();
    }
};

//! Work of an anchor: the total length of the transaction rows it scans.
std::vector<uint64_t> anchor_work(const InvertedIndex& ix, Rows rows) {
    std::vector<uint64_t> work(ix.n_items, 0);
    for (uint32_t t = 0; t < ix.n_transactions; ++t) {
        auto row = rows[t];
        for (uint32_t v : row) work[v] += row.size();
    }
    return work;
}

//! Joins the chunk tables in chunk order. Column by column, freeing each chunk's
//! column as soon as it is copied, so the peak stays near one table, not two.
PairOut concat(std::vector<PairOut>&& parts) {
    if (parts.size() == 1) return std::move(parts[0]);
    std::size_t total = 0;
    for (const auto& p : parts) total += p.size();
    PairOut out;
    auto join = [&](auto member) {
        auto& dst = out.*member;
        dst.reserve(total);
        for (auto& p : parts) {
            auto& src = p.*member;
            dst.insert(dst.end(), src.begin(), src.end());
            std::remove_reference_t<decltype(src)>().swap(src);
        }
    };
    join(&PairOut::item_a);
    join(&PairOut::item_b);
    join(&PairOut::instances);
    join(&PairOut::support);
    join(&PairOut::confidence);
    join(&PairOut::lift);
    join(&PairOut::conviction);
    join(&PairOut::leverage);
    join(&PairOut::cosine);
    join(&PairOut::jaccard);
    return out;
}

}  // namespace

Metrics pair_metrics(double co, double count_x, double sx, double sy, double n) {
    Metrics m;
    m.support = co / n;
    m.confidence = co / count_x;
    m.lift = sy > 0.0 ? m.confidence / sy : std::numeric_limits<double>::infinity();
    if (!(sy < 1.0))
        m.conviction = std::numeric_limits<double>::quiet_NaN();
    else if (m.confidence >= 1.0)
        m.conviction = std::numeric_limits<double>::infinity();
    else
        m.conviction = (1.0 - sy) / (1.0 - m.confidence);
    m.leverage = m.support - sx * sy;
    m.cosine = m.support / std::sqrt(sx * sy);
    m.jaccard = m.support / (sx + sy - m.support);
    return m;
}

void PairOut::push(uint32_t a, uint32_t b, uint64_t co, double count_a, double sa, double sb, double n) {
    const Metrics m = pair_metrics(static_cast<double>(co), count_a, sa, sb, n);
    item_a.push_back(static_cast<int32_t>(a));
    item_b.push_back(static_cast<int32_t>(b));
    instances.push_back(static_cast<int64_t>(co));
    support.push_back(m.support);
    confidence.push_back(m.confidence);
    lift.push_back(m.lift);
    conviction.push_back(m.conviction);
    leverage.push_back(m.leverage);
    cosine.push_back(m.cosine);
    jaccard.push_back(m.jaccard);
}

PairOut all_pairs(const InvertedIndex& ix, double min_support) {
    const double n = static_cast<double>(ix.n_transactions);
    const uint64_t min_count = min_count_from<uint64_t>(min_support, ix.n_transactions, 0);
    std::vector<double> item_support(ix.n_items);
    for (uint32_t i = 0; i < ix.n_items; ++i) item_support[i] = static_cast<double>(ix.item_counts[i]) / n;

    std::optional<FrequentRows> frequent;
    Rows rows{ix.txn_offsets.data(), ix.txn_items.data()};
    if (min_count > 1) {
        frequent.emplace(ix, min_count);
        rows = Rows{frequent->offsets.data(), frequent->items.data()};
    }

    const std::vector<uint64_t> work = anchor_work(ix, rows);
    const auto bounds = pool::weighted_bounds(ix.n_items, pool::num_threads() * kChunksPerWorker,
                                              [&](std::size_t a) { return work[a]; });
    tbb::enumerable_thread_specific<Scratch> scratches([&] { return Scratch(ix.n_items); });

    auto parts = pool::map_ranges<PairOut>(bounds, [&](std::size_t begin, std::size_t end) {
        PairOut out;
        Scratch& s = scratches.local();
        auto& co = s.co_counts;
        for (std::size_t a = begin; a < end; ++a) {
            const uint32_t count_a = ix.item_counts[a];
            if (count_a == 0 || count_a < min_count) continue;
            const auto txns = ix.item(static_cast<uint32_t>(a));
            for (std::size_t j = 0; j < txns.size(); ++j) {
                // Rows of one anchor lie far apart in memory; fetching them a few
                // transactions ahead hides most of the cache misses.
                if (j + kPrefetchDistance < txns.size()) rows.prefetch(txns[j + kPrefetchDistance]);
                for (uint32_t b : rows[txns[j]])
                    if (co[b]++ == 0) s.touched.push_back(b);
            }
            const double sa = item_support[a];
            for (uint32_t b : s.touched) {
                const uint32_t c = co[b];
                co[b] = 0;
                if (b == a || c < min_count) continue;
                out.push(static_cast<uint32_t>(a), b, c, count_a, sa, item_support[b], n);
            }
            s.touched.clear();
        }
        return out;
    });
    return concat(std::move(parts));
}

std::pair<PairCounts, PairSet> count_frequent_pairs(const InvertedIndex& ix, std::size_t n_items,
                                                    uint32_t n_transactions, double min_support) {
    const uint64_t min_count = min_count_from<uint64_t>(min_support, n_transactions, 1);
    std::vector<uint32_t> frequent_items;
    std::vector<uint8_t> is_frequent(ix.n_items, 0);
    for (uint32_t i = 0; i < ix.n_items; ++i) {
        if (ix.item_counts[i] >= min_count) {
            check_index(i, n_items);
            frequent_items.push_back(i);
            is_frequent[i] = 1;
        }
    }
    if (frequent_items.empty()) return {};

    // Rows restricted to frequent items: an infrequent partner can never reach
    // min_count, so scanning it would only cost time.
    std::vector<uint32_t> offsets(static_cast<std::size_t>(ix.n_transactions) + 1, 0);
    std::vector<uint32_t> items;
    for (uint32_t t = 0; t < ix.n_transactions; ++t) {
        for (uint32_t x : ix.txn(t))
            if (is_frequent[x]) items.push_back(x);
        offsets[t + 1] = static_cast<uint32_t>(items.size());
    }
    auto row = [&](uint32_t t) { return std::span<const uint32_t>(items.data() + offsets[t], items.data() + offsets[t + 1]); };

    // Work of an anchor: the frequent partners it scans.
    std::vector<uint64_t> work(ix.n_items, 0);
    for (uint32_t t = 0; t < ix.n_transactions; ++t) {
        const auto r = row(t);
        for (std::size_t j = 0; j < r.size(); ++j) work[r[j]] += r.size() - j - 1;
    }
    const auto bounds = pool::weighted_bounds(frequent_items.size(), pool::num_threads() * kChunksPerWorker,
                                              [&](std::size_t i) { return work[frequent_items[i]] + 1; });
    tbb::enumerable_thread_specific<Scratch> scratches([&] { return Scratch(n_items); });

    using Found = std::vector<std::pair<PairKey, uint32_t>>;
    auto parts = pool::map_ranges<Found>(bounds, [&](std::size_t begin, std::size_t end) {
        Found found;
        Scratch& s = scratches.local();
        auto& co = s.co_counts;
        for (std::size_t i = begin; i < end; ++i) {
            const uint32_t a = frequent_items[i];
            for (uint32_t t : ix.item(a)) {
                const auto r = row(t);
                // Rows are ascending: only partners b > a are kept, so skip the rest.
                for (auto it = std::upper_bound(r.begin(), r.end(), a); it != r.end(); ++it)
                    if (co[*it]++ == 0) s.touched.push_back(*it);
            }
            for (uint32_t b : s.touched) {
                const uint32_t c = co[b];
                co[b] = 0;
                if (c >= min_count) found.emplace_back(pair_key(a, b), c);
            }
            s.touched.clear();
        }
        return found;
    });

    std::size_t total = 0;
    for (const auto& p : parts) total += p.size();
    std::pair<PairCounts, PairSet> out;
    out.first.reserve(total);
    for (auto& p : parts) {
        for (const auto& [key, c] : p) out.first.emplace(key, c);
        p = Found();
    }
    out.second.reserve(out.first.size());
    for (const auto& entry : out.first) out.second.insert(entry.first);
    return out;
}

}  // namespace tallisk::pairs
