#include "pairs/pairs.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <oneapi/tbb/enumerable_thread_specific.h>

#include "common/error.hpp"
#include "common/pool.hpp"
#include "common/support.hpp"

namespace tallisk::pairs {
namespace {

// Chunks per worker for the anchor range: enough to balance skewed item popularity
// by stealing, few enough that merging partial tables stays negligible.
constexpr std::size_t kChunksPerWorker = 8;

//! Per-thread scratch: dense counters, all zero between anchors, and the list of
//! items touched for the current anchor (which is how the counters are reset).
struct Scratch {
    std::vector<uint32_t> co_counts;
    std::vector<uint32_t> touched;
    explicit Scratch(std::size_t n_items) : co_counts(n_items, 0) { touched.reserve(256); }
};

//! Work of an anchor: the total length of the transactions it scans.
std::vector<uint64_t> anchor_work(const InvertedIndex& ix) {
    std::vector<uint64_t> work(ix.n_items, 0);
    for (uint32_t t = 0; t < ix.n_transactions; ++t) {
        auto row = ix.txn(t);
        for (uint32_t v : row) work[v] += row.size();
    }
    return work;
}

PairOut concat(std::vector<PairOut>&& parts) {
    if (parts.size() == 1) return std::move(parts[0]);
    std::size_t total = 0;
    for (const auto& p : parts) total += p.size();
    PairOut out;
    auto reserve = [total](auto&... cols) { (cols.reserve(total), ...); };
    reserve(out.item_a, out.item_b, out.instances, out.support, out.confidence, out.lift, out.conviction,
            out.leverage, out.cosine, out.jaccard);
    for (auto& p : parts) {
        out.append(p);
        p = PairOut();
    }
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

void PairOut::append(const PairOut& o) {
    auto cat = [](auto& dst, const auto& src) { dst.insert(dst.end(), src.begin(), src.end()); };
    cat(item_a, o.item_a);
    cat(item_b, o.item_b);
    cat(instances, o.instances);
    cat(support, o.support);
    cat(confidence, o.confidence);
    cat(lift, o.lift);
    cat(conviction, o.conviction);
    cat(leverage, o.leverage);
    cat(cosine, o.cosine);
    cat(jaccard, o.jaccard);
}

PairOut all_pairs(const InvertedIndex& ix, double min_support) {
    const double n = static_cast<double>(ix.n_transactions);
    const uint64_t min_count = min_count_from<uint64_t>(min_support, ix.n_transactions, 0);
    std::vector<double> item_support(ix.n_items);
    for (uint32_t i = 0; i < ix.n_items; ++i) item_support[i] = static_cast<double>(ix.item_counts[i]) / n;

    const std::vector<uint64_t> work = anchor_work(ix);
    const auto bounds = pool::weighted_bounds(ix.n_items, pool::num_threads() * kChunksPerWorker,
                                              [&](std::size_t a) { return work[a]; });
    tbb::enumerable_thread_specific<Scratch> scratches([&] { return Scratch(ix.n_items); });

    auto parts = pool::map_ranges<PairOut>(bounds, [&](std::size_t begin, std::size_t end) {
        PairOut out;
        Scratch& s = scratches.local();
        auto& co = s.co_counts;
        for (std::size_t a = begin; a < end; ++a) {
            const uint32_t count_a = ix.item_counts[a];
            if (count_a == 0) continue;
            for (uint32_t t : ix.item(static_cast<uint32_t>(a)))
                for (uint32_t b : ix.txn(t))
                    if (co[b]++ == 0) s.touched.push_back(b);
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
