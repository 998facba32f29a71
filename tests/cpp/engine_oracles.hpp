// Data and oracles the C++ tests share: random baskets, their occurrence arrays, every
// frequent set by brute force, the closed and maximal ones among them, set tables in the
// CSR form callers hand over, and the rows of a result table in order.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "common/buffer.hpp"
#include "common/pool.hpp"
#include "engine/mine.hpp"
#include "engine/output.hpp"

namespace tallisk::engine::oracles {

using Baskets = std::vector<std::vector<uint32_t>>;

//! Random baskets of n_txn transactions over n_items items, each item in a basket with
//! probability p, mined at min_count: a parameter of the tests that sweep data shapes.
struct Shape {
    std::size_t n_txn;
    uint32_t n_items;
    double p;
    uint32_t min_count;
};

struct Occurrences {
    std::vector<int64_t> txn;
    std::vector<int32_t> item;
};

//! Transaction t is labelled t * 7 - 3: labels need be neither dense nor from zero.
template <class Id = uint32_t>
Occurrences occurrences(const std::vector<std::vector<Id>>& baskets) {
    Occurrences o;
    for (std::size_t t = 0; t < baskets.size(); ++t)
        for (Id x : baskets[t]) {
            o.txn.push_back(static_cast<int64_t>(t) * 7 - 3);
            o.item.push_back(static_cast<int32_t>(x));
        }
    return o;
}

inline Baskets random_baskets(std::mt19937& rng, std::size_t n_txn, uint32_t n_items, double p) {
    std::bernoulli_distribution coin(p);
    Baskets b(n_txn);
    for (auto& basket : b)
        for (uint32_t x = 0; x < n_items; ++x)
            if (coin(rng)) basket.push_back(x);
    return b;
}

using Sets = std::map<std::vector<int32_t>, int64_t>;

//! Every frequent set of a space of at most 20 items by a superset-sum over the masks of
//! the baskets: n * 2^n steps, whatever the number of baskets.
inline Sets superset_sums(const Baskets& baskets, uint32_t n_items, uint32_t min_count) {
    std::vector<int64_t> count(std::size_t{1} << n_items, 0);
    for (const auto& b : baskets) {
        if (b.empty()) continue;
        uint64_t have = 0;
        for (uint32_t x : b) have |= uint64_t{1} << x;
        ++count[have];
    }
    for (uint32_t x = 0; x < n_items; ++x)
        for (std::size_t mask = 0; mask < count.size(); ++mask)
            if (!(mask >> x & 1)) count[mask] += count[mask | (std::size_t{1} << x)];
    Sets out;
    for (std::size_t mask = 1; mask < count.size(); ++mask) {
        if (count[mask] < min_count) continue;
        std::vector<int32_t> s;
        for (uint32_t x = 0; x < n_items; ++x)
            if (mask >> x & 1) s.push_back(static_cast<int32_t>(x));
        out[s] = count[mask];
    }
    return out;
}

inline Sets select(const Sets& all, Target target) {
    if (target == Target::all) return all;
    Sets out;
    for (const auto& [s, c] : all) {
        bool keep = true;
        for (const auto& [t, d] : all) {
            if (t.size() <= s.size() || !std::includes(t.begin(), t.end(), s.begin(), s.end())) continue;
            if (target == Target::maximal || d == c) keep = false;
        }
        if (keep) out[s] = c;
    }
    return out;
}

//! The worker pool at n threads for a scope (0 afterwards: the default).
struct PoolSize {
    explicit PoolSize(std::size_t n) { pool::set_threads(n); }
    ~PoolSize() { pool::set_threads(0); }
};

template <class T>
std::vector<T> plain(const large_vector<T>& v) {
    return {v.begin(), v.end()};
}

//! A set table as the caller hands it over: CSR rows with counts.
template <class Count = int64_t>
struct CsrTable {
    std::vector<int64_t> offsets{0};
    std::vector<int32_t> items;
    std::vector<Count> counts;

    void add(const std::vector<int32_t>& row, Count count) {
        items.insert(items.end(), row.begin(), row.end());
        offsets.push_back(static_cast<int64_t>(items.size()));
        counts.push_back(count);
    }
    std::vector<int32_t> row(std::size_t r) const {
        return {items.begin() + offsets[r], items.begin() + offsets[r + 1]};
    }
};

using RowList = std::vector<std::pair<std::vector<int32_t>, int64_t>>;

//! The rows of a table in order, for comparing orders as well as sets.
inline RowList in_order(const Table& t) {
    RowList out;
    for (std::size_t k = 0; k + 1 < t.offsets.size(); ++k)
        out.emplace_back(std::vector<int32_t>(t.items.begin() + t.offsets[k], t.items.begin() + t.offsets[k + 1]),
                         t.counts[k]);
    return out;
}

//! The canonical order: by length, then lexicographically by id.
inline bool canonical_less(const RowList::value_type& a, const RowList::value_type& b) {
    if (a.first.size() != b.first.size()) return a.first.size() < b.first.size();
    return a.first < b.first;
}

inline Sets rows(const Table& t) {
    Sets out;
    for (std::size_t k = 0; k + 1 < t.offsets.size(); ++k) {
        std::vector<int32_t> s(t.items.begin() + t.offsets[k], t.items.begin() + t.offsets[k + 1]);
        EXPECT_TRUE(std::is_sorted(s.begin(), s.end()));
        EXPECT_TRUE(out.emplace(s, t.counts[k]).second) << "duplicate row";
    }
    return out;
}

}  // namespace tallisk::engine::oracles
