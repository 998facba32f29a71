// Unit tests of the transaction model and the worker-pool helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <set>

#include "common/error.hpp"
#include "common/index.hpp"
#include "common/pool.hpp"

namespace tallisk {
namespace {

TEST(InvertedIndex, RenumbersInOrderOfFirstAppearance) {
    const std::vector<int64_t> txn{7, 3, 7, 5};
    const std::vector<int32_t> items{0, 1, 2, 1};
    const InvertedIndex ix = build_inverted_index(txn, items, 3);
    EXPECT_EQ(ix.n_transactions, 3u);
    EXPECT_EQ(ix.txn_offsets, (std::vector<uint32_t>{0, 2, 3, 4}));
    EXPECT_EQ(ix.txn_items, (std::vector<uint32_t>{0, 2, 1, 1}));
    EXPECT_EQ(ix.item_txns, (std::vector<uint32_t>{0, 1, 2, 0}));
    EXPECT_EQ(validate(ix), "");
}

// Occurrence rows in the label layouts the builder treats differently: grouped with
// ascending labels, grouped with labels in any order, and a transaction that recurs
// after others (first early, first after the ascending stretch, and everywhere).
std::pair<std::vector<int64_t>, std::vector<int32_t>> layout(int kind, uint32_t seed) {
    std::mt19937 rng(seed);
    const int n_txn = 1 + static_cast<int>(rng() % 40);
    std::vector<int64_t> labels(n_txn);
    for (int t = 0; t < n_txn; ++t) labels[t] = static_cast<int64_t>(t) * 1000 - 7000;
    if (kind != 0) std::shuffle(labels.begin(), labels.end(), rng);
    std::vector<std::pair<int64_t, int32_t>> rows;
    for (int t = 0; t < n_txn; ++t)
        for (int k = 1 + static_cast<int>(rng() % 6); k > 0; --k) rows.emplace_back(labels[t], rng() % 9);
    if (kind == 2 && rows.size() > 2) rows.push_back(rows[rng() % rows.size()]);  // one recurrence at the end
    if (kind == 3) std::shuffle(rows.begin(), rows.end(), rng);
    if (kind == 4 && rows.size() > 3) std::rotate(rows.begin(), rows.begin() + 1, rows.end());
    std::vector<int64_t> txn;
    std::vector<int32_t> items;
    for (auto [l, v] : rows) {
        txn.push_back(l);
        items.push_back(v);
    }
    return {txn, items};
}

TEST(InvertedIndex, EveryLabelLayoutGivesTheBruteForceModel) {
    for (int kind = 0; kind < 5; ++kind) {
        for (uint32_t seed = 0; seed < 40; ++seed) {
            const auto [txn, items] = layout(kind, seed);
            // Oracle: transactions numbered by first appearance, each a set of items.
            std::map<int64_t, uint32_t> id_of;
            std::vector<std::set<uint32_t>> want;
            for (std::size_t i = 0; i < txn.size(); ++i) {
                auto [it, fresh] = id_of.try_emplace(txn[i], static_cast<uint32_t>(want.size()));
                if (fresh) want.emplace_back();
                want[it->second].insert(static_cast<uint32_t>(items[i]));
            }
            const InvertedIndex ix = build_inverted_index(txn, items, 9);
            const TransactionRows rows = build_transaction_rows(txn, items, 9);
            ASSERT_EQ(validate(ix), "") << kind << " " << seed;
            ASSERT_EQ(ix.n_transactions, want.size());
            for (uint32_t t = 0; t < want.size(); ++t) {
                const auto row = ix.txn(t);
                ASSERT_EQ(std::vector<uint32_t>(row.begin(), row.end()),
                          std::vector<uint32_t>(want[t].begin(), want[t].end()))
                    << "layout " << kind << " seed " << seed << " txn " << t;
            }
            for (uint32_t v = 0; v < 9; ++v) {
                const auto holders = std::count_if(want.begin(), want.end(), [&](auto& s) { return s.count(v) > 0; });
                ASSERT_EQ(ix.item_counts[v], static_cast<uint32_t>(holders));
            }
            EXPECT_EQ(rows.txn_offsets, ix.txn_offsets);
            EXPECT_EQ(rows.txn_items, ix.txn_items);
            EXPECT_EQ(rows.item_counts, ix.item_counts);
            EXPECT_EQ(rows.n_transactions, ix.n_transactions);
        }
    }
}

TEST(InvertedIndex, ReportsTheFirstBadRowInInputOrder) {
    // An out-of-range item before the end of a short item array is reported first;
    // otherwise the missing item.
    const std::vector<int64_t> txn{5, 5, 2, 9, 9};
    auto message = [&](std::vector<int32_t> items) {
        try {
            build_transaction_rows(txn, items, 4);
        } catch (const Panic& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message({0, 1, 7, 3}), "index out of bounds: the len is 4 but the index is 7");
    EXPECT_EQ(message({0, 1, 2, 3}), "index out of bounds: the len is 4 but the index is 4");
    EXPECT_EQ(message({0, -1, 2, 3, 1}), "index out of bounds: the len is 4 but the index is 4294967295");
}

TEST(InvertedIndex, RefusesMoreOccurrencesThanOffsetsCanAddress) {
    // The size check runs before any element is read, so a span over a small buffer
    // with an oversized length is enough to reach it.
    const int64_t one = 0;
    const std::size_t too_many = std::size_t{std::numeric_limits<uint32_t>::max()} + 1;
    std::span<const int64_t> txn(&one, too_many);
    EXPECT_THROW(build_inverted_index(txn, {}, 1), InputError);
}

TEST(SortDedupCsr, SortsRowsAndDropsRepeats) {
    auto [data, offsets] = sort_dedup_csr({3, 1, 3, 2, 2, 2}, {0, 3, 3, 6}, 3);
    EXPECT_EQ(data, (std::vector<uint32_t>{1, 3, 2}));
    EXPECT_EQ(offsets, (std::vector<uint32_t>{0, 2, 2, 3}));
}

TEST(SortDedupCsr, RejectsMalformedOffsets) {
    EXPECT_THROW(sort_dedup_csr({1, 2}, {0, 3}, 1), Panic);     // past the data
    EXPECT_THROW(sort_dedup_csr({1, 2}, {2, 1, 2}, 2), Panic);  // decreasing
    EXPECT_THROW(sort_dedup_csr({1, 2}, {0}, 1), Panic);        // too few offsets
}

TEST(Pool, MapChunksKeepsChunkOrderAndPropagatesExceptions) {
    const std::size_t n = 10007;
    auto parts = pool::map_chunks<std::vector<std::size_t>>(n, 97, [](std::size_t b, std::size_t e) {
        std::vector<std::size_t> v(e - b);
        std::iota(v.begin(), v.end(), b);
        return v;
    });
    std::vector<std::size_t> all;
    for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    std::vector<std::size_t> want(n);
    std::iota(want.begin(), want.end(), 0);
    EXPECT_EQ(all, want);
    EXPECT_THROW(pool::map_each<int>(100, [](std::size_t i) -> int {
                     if (i == 57) panic_index(1, i);
                     return 0;
                 }),
                 Panic);
}

}  // namespace
}  // namespace tallisk
