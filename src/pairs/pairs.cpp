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
#include "common/tuning.hpp"

namespace tallisk::pairs {
namespace {

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
    static Rows of(const IdRows& csr) { return {csr.offsets.data(), csr.values.data()}; }
};

//! The rows the counting loops read. An item in fewer than min_count transactions can
//! neither anchor nor partner a kept pair (a pair's count is at most each item's count),
//! so such items are dropped from the rows before counting; the partners that remain
//! keep their relative order, and so does the output. When every item qualifies the
//! index's own rows are read, with no copy.
class CountingRows {
public:
    CountingRows(const InvertedIndex& ix, uint64_t min_count) {
        rows_ = Rows::of(ix.txn_rows);
        bool all_qualify = true;
        for (uint32_t c : ix.item_counts) all_qualify = all_qualify && c >= min_count;
        if (all_qualify) return;
        own_.offsets.assign(static_cast<std::size_t>(ix.n_transactions) + 1, 0);
        own_.values.reserve(ix.txn_rows.values.size());
        for (uint32_t t = 0; t < ix.n_transactions; ++t) {
            for (uint32_t v : ix.txn(t))
                if (ix.item_counts[v] >= min_count) own_.values.push_back(v);
            own_.offsets[t + 1] = static_cast<uint32_t>(own_.values.size());
        }
        own_.values.shrink_to_fit();
        rows_ = Rows::of(own_);
    }
    const Rows& rows() const { return rows_; }

private:
    IdRows own_;  // the restricted rows, when a cut-off is in force
    Rows rows_{};
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

//! A kept pair as the counting pass records it; metrics come later, written straight
//! into the final columns, so the table is never built twice.
struct Hit {
    uint32_t a, b, co;
};

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

void PairOut::resize(std::size_t rows) {
    for_each_column([rows](auto& column) { column.resize(rows); });
}

void PairOut::set(std::size_t i, uint32_t a, uint32_t b, uint64_t co, double count_a, double sa, double sb, double n) {
    const Metrics m = pair_metrics(static_cast<double>(co), count_a, sa, sb, n);
    item_a[i] = static_cast<int32_t>(a);
    item_b[i] = static_cast<int32_t>(b);
    instances[i] = static_cast<int64_t>(co);
    support[i] = m.support;
    confidence[i] = m.confidence;
    lift[i] = m.lift;
    conviction[i] = m.conviction;
    leverage[i] = m.leverage;
    cosine[i] = m.cosine;
    jaccard[i] = m.jaccard;
}

void PairOut::push(uint32_t a, uint32_t b, uint64_t co, double count_a, double sa, double sb, double n) {
    const std::size_t i = size();
    for_each_column([](auto& column) { column.emplace_back(); });
    set(i, a, b, co, count_a, sa, sb, n);
}

PairOut all_pairs(const InvertedIndex& ix, double min_support) {
    const double n = static_cast<double>(ix.n_transactions);
    const uint64_t min_count = min_count_from<uint64_t>(min_support, ix.n_transactions, 0);
    std::vector<double> item_support(ix.n_items);
    for (uint32_t i = 0; i < ix.n_items; ++i) item_support[i] = static_cast<double>(ix.item_counts[i]) / n;

    const CountingRows counting(ix, std::max<uint64_t>(min_count, 1));
    const Rows& rows = counting.rows();

    const std::vector<uint64_t> work = anchor_work(ix, rows);
    const auto bounds = pool::weighted_bounds(ix.n_items, pool::num_threads() * tuning::kChunksPerWorker,
                                              [&](std::size_t a) { return work[a]; });
    tbb::enumerable_thread_specific<Scratch> scratches([&] { return Scratch(ix.n_items); });

    auto parts = pool::map_ranges<large_vector<Hit>>(bounds, [&](std::size_t begin, std::size_t end) {
        large_vector<Hit> hits;
        Scratch& s = scratches.local();
        auto& co = s.co_counts;
        for (std::size_t a = begin; a < end; ++a) {
            const uint32_t count_a = ix.item_counts[a];
            if (count_a == 0 || count_a < min_count) continue;
            const auto txns = ix.item(static_cast<uint32_t>(a));
            for (std::size_t j = 0; j < txns.size(); ++j) {
                // Rows of one anchor lie far apart in memory; fetching them a few
                // transactions ahead hides most of the cache misses.
                if (j + tuning::kPairRowPrefetch < txns.size()) rows.prefetch(txns[j + tuning::kPairRowPrefetch]);
                for (uint32_t b : rows[txns[j]])
                    if (co[b]++ == 0) s.touched.push_back(b);
            }
            for (uint32_t b : s.touched) {
                const uint32_t c = co[b];
                co[b] = 0;
                if (b != a && c >= min_count) hits.push_back({static_cast<uint32_t>(a), b, c});
            }
            s.touched.clear();
        }
        return hits;
    });

    // Chunk j's rows go to [start[j], start[j+1]) of the final columns, in chunk order.
    // The columns are sized without a zero fill, so each chunk's writer is the first to
    // touch its share of the pages, and the faults are taken in parallel.
    std::vector<std::size_t> start(parts.size() + 1, 0);
    for (std::size_t j = 0; j < parts.size(); ++j) start[j + 1] = start[j] + parts[j].size();
    PairOut out;
    out.resize(start.back());
    pool::for_range(parts.size(), 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            std::size_t i = start[j];
            for (const Hit& h : parts[j])
                out.set(i++, h.a, h.b, h.co, ix.item_counts[h.a], item_support[h.a], item_support[h.b], n);
            large_vector<Hit>().swap(parts[j]);
        }
    });
    return out;
}

std::pair<PairCounts, PairSet> count_frequent_pairs(const InvertedIndex& ix, std::size_t n_items,
                                                    uint32_t n_transactions, double min_support) {
    const uint64_t min_count = min_count_from<uint64_t>(min_support, n_transactions, 1);
    std::vector<uint32_t> frequent_items;
    for (uint32_t i = 0; i < ix.n_items; ++i) {
        if (ix.item_counts[i] >= min_count) {
            check_index(i, n_items);
            frequent_items.push_back(i);
        }
    }
    if (frequent_items.empty()) return {};

    const CountingRows counting(ix, min_count);
    const Rows& row = counting.rows();

    // Work of an anchor: the frequent partners it scans.
    std::vector<uint64_t> work(ix.n_items, 0);
    for (uint32_t t = 0; t < ix.n_transactions; ++t) {
        const auto r = row[t];
        for (std::size_t j = 0; j < r.size(); ++j) work[r[j]] += r.size() - j - 1;
    }
    const auto bounds = pool::weighted_bounds(frequent_items.size(), pool::num_threads() * tuning::kChunksPerWorker,
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
                const auto r = row[t];
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
