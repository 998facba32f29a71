// Unit tests of the classic Apriori unit below the Python entries: the index build,
// rarest-first support counting against std::set_intersection (merge, galloping and
// bit-row paths), pooled versus sequential counting, and the level loop's threshold
// and index pruning. The cap and the level results are checked from Python.
#include "classic/classic.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>

#include "common/error.hpp"

namespace tallisk::classic {
namespace {

using Baskets = std::vector<std::vector<int32_t>>;

struct Rows {
    std::vector<int64_t> txn;
    std::vector<int32_t> item;
};

Rows rows_of(const Baskets& baskets, const std::vector<int64_t>& labels = {}) {
    Rows r;
    for (std::size_t t = 0; t < baskets.size(); ++t)
        for (int32_t x : baskets[t]) {
            r.txn.push_back(labels.empty() ? static_cast<int64_t>(t) : labels[t]);
            r.item.push_back(x);
        }
    return r;
}

TransactionIndex build(const Baskets& baskets) {
    const Rows r = rows_of(baskets);
    return build_with_cap(r.txn, r.item, std::nullopt, std::nullopt);
}

void expect_consistent(const TransactionIndex& ix) {
    ASSERT_EQ(ix.item_txns.size(), ix.item_counts.size());
    for (const auto& [item, txns] : ix.item_txns) {
        auto it = ix.item_counts.find(item);
        ASSERT_NE(it, ix.item_counts.end());
        EXPECT_EQ(it->second, txns.size());
        EXPECT_TRUE(std::adjacent_find(txns.begin(), txns.end(), std::greater_equal<>()) == txns.end())
            << "list of item " << item << " not strictly ascending";
        for (uint32_t t : txns) EXPECT_LT(t, ix.n_transactions);
    }
}

TEST(ClassicIndex, RepeatedRowsCountOnceAndLabelsAreArbitrary) {
    const Rows r{{-5, 7, 7, 7, -9, -5}, {4, 4, 4, 6, 4, 4}};
    const TransactionIndex ix = build_with_cap(r.txn, r.item, std::nullopt, std::nullopt);
    expect_consistent(ix);
    EXPECT_EQ(ix.n_transactions, 3u);
    EXPECT_EQ(ix.item_counts.at(4), 3u);
    EXPECT_EQ(ix.item_counts.at(6), 1u);
}

TEST(ClassicIndex, NegativeItemIsAnOrdinaryUnsignedItem) {
    const TransactionIndex ix = build({{-1, 0}, {-1}});
    expect_consistent(ix);
    EXPECT_EQ(ix.item_counts.at(0xFFFFFFFFu), 2u);
    const uint32_t both[] = {0u, 0xFFFFFFFFu};
    EXPECT_EQ(count_support_sc(ix, both, 1), std::optional<uint64_t>(1));
}

TEST(ClassicIndex, ItemIdsShorterThanTxnIdsPanics) {
    const std::vector<int64_t> txn{1, 1, 2};
    const std::vector<int32_t> item{0, 1};
    try {
        build_with_cap(txn, item, std::nullopt, std::nullopt);
        FAIL() << "no panic";
    } catch (const Panic& e) {
        EXPECT_STREQ(e.what(), "index out of bounds: the len is 2 but the index is 2");
    }
}

TEST(ClassicIndex, EmptyInput) {
    TransactionIndex ix = build({});
    EXPECT_EQ(ix.n_transactions, 0u);
    EXPECT_TRUE(ix.item_txns.empty());
    const uint32_t one[] = {0};
    EXPECT_FALSE(count_support_sc(ix, one, 0));
    EXPECT_TRUE(apriori_itemsets(ix, 0.5, 3).empty());
}

TEST(ClassicIndex, CapZeroEmptiesTransactionsButKeepsThem) {
    const Rows r = rows_of({{0, 1}, {2}, {1}});
    const std::vector<double> weights{1.0, 1.0, 1.0};
    const TransactionIndex ix = build_with_cap(r.txn, r.item, std::span<const double>(weights), 0);
    EXPECT_EQ(ix.n_transactions, 3u);
    EXPECT_TRUE(ix.item_txns.empty());
    EXPECT_TRUE(ix.item_counts.empty());
}

TEST(ClassicSupport, AbsentCases) {
    // item 7 in 3 transactions, item 8 in 1000, item 9 in 2
    Baskets b(1000);
    for (int t = 0; t < 1000; ++t) b[t].push_back(8);
    for (int t = 0; t < 3; ++t) b[t].push_back(7);
    b[10].push_back(9);
    b[20].push_back(9);
    const TransactionIndex ix = build(b);
    const uint32_t seven[] = {7}, missing[] = {7, 42}, rare_pair[] = {8, 9};
    EXPECT_FALSE(count_support_sc(ix, {}, 0));
    EXPECT_EQ(count_support_sc(ix, seven, 3), std::optional<uint64_t>(3));
    EXPECT_FALSE(count_support_sc(ix, seven, 4));
    EXPECT_FALSE(count_support_sc(ix, missing, 0));
    EXPECT_FALSE(count_support_sc(ix, rare_pair, 3));
    EXPECT_EQ(count_support_sc(ix, rare_pair, 2), std::optional<uint64_t>(2));
    const uint32_t disjoint[] = {7, 9};
    EXPECT_EQ(count_support_sc(ix, disjoint, 0), std::optional<uint64_t>(0));
    EXPECT_FALSE(count_support_sc(ix, disjoint, 1));
}

//! Random lists of very different lengths, so both the merge and the galloping paths
//! and every early stop are exercised; the oracle is std::set_intersection.
TEST(ClassicSupport, MatchesSetIntersection) {
    std::mt19937 rng(7);
    const uint32_t n_txn = 4000;
    const double density[] = {0.9, 0.5, 0.1, 0.01, 0.002};
    Baskets b(n_txn);
    for (uint32_t t = 0; t < n_txn; ++t)
        for (int x = 0; x < 5; ++x)
            if (std::uniform_real_distribution<>(0, 1)(rng) < density[x]) b[t].push_back(x);
    const TransactionIndex ix = build(b);
    std::vector<std::vector<uint32_t>> lists(5);
    for (uint32_t t = 0; t < n_txn; ++t)
        for (int32_t x : b[t]) lists[x].push_back(t);

    for (uint32_t mask = 1; mask < 32; ++mask) {
        std::vector<uint32_t> items;
        std::vector<uint32_t> truth;
        bool first = true;
        for (uint32_t x = 0; x < 5; ++x) {
            if (!(mask >> x & 1)) continue;
            items.push_back(x);
            if (first) {
                truth = lists[x];
                first = false;
            } else {
                std::vector<uint32_t> next;
                std::set_intersection(truth.begin(), truth.end(), lists[x].begin(), lists[x].end(),
                                      std::back_inserter(next));
                truth = std::move(next);
            }
        }
        std::reverse(items.begin(), items.end());  // no order is required
        for (uint32_t min_count : {0u, 1u, 7u, static_cast<uint32_t>(truth.size()),
                                   static_cast<uint32_t>(truth.size() + 1), 5000u}) {
            const auto got = count_support_sc(ix, items, min_count);
            if (truth.size() >= min_count)
                EXPECT_EQ(got, std::optional<uint64_t>(truth.size())) << "mask " << mask << " min " << min_count;
            else
                EXPECT_FALSE(got) << "mask " << mask << " min " << min_count;
        }
    }
}

TEST(ClassicSupport, PooledCountingEqualsSequential) {
    std::mt19937 rng(11);
    Baskets b(3000);
    for (auto& basket : b)
        for (int x = 0; x < 40; ++x)
            if (std::uniform_int_distribution<>(0, 9)(rng) < (x % 5 == 0 ? 6 : 2)) basket.push_back(x);
    const TransactionIndex ix = build(b);
    std::vector<uint32_t> candidates;
    for (uint32_t a = 0; a < 40; ++a)
        for (uint32_t c = a + 1; c < 40; ++c)
            for (uint32_t d = c + 1; d < 40; d += 7) candidates.insert(candidates.end(), {a, c, d});
    ASSERT_GT(candidates.size() / 3, 1000u);
    for (uint32_t min_count : {1u, 40u, 120u}) {
        const CountMap pooled = count_candidates_parallel(ix, candidates, 3, min_count);
        CountMap expected;
        for (std::size_t i = 0; i < candidates.size(); i += 3) {
            const std::span<const uint32_t> set(candidates.data() + i, 3);
            if (auto c = count_support_sc(ix, set, min_count)) expected.emplace(Itemset(set.begin(), set.end()), *c);
        }
        EXPECT_FALSE(expected.empty());
        EXPECT_EQ(pooled, expected) << "min_count " << min_count;
    }
}

TEST(ClassicApriori, IndexPrunedOnlyWhenSomethingIsFrequent) {
    TransactionIndex ix = build({{0, 1}, {0}, {0, 2}});
    EXPECT_TRUE(apriori_itemsets(ix, 1.5, 2).empty());
    EXPECT_EQ(ix.item_counts.size(), 3u);
    const Levels levels = apriori_itemsets(ix, 0.5, 2);
    ASSERT_EQ(levels.size(), 1u);
    EXPECT_EQ(ix.item_counts, (absl::flat_hash_map<uint32_t, uint32_t>{{0, 3}}));
    expect_consistent(ix);
}

TEST(ClassicApriori, MinCountHasNoToleranceBeforeRounding) {
    // 0.07 * 100 is 7.000000000000001 in doubles: seven transactions are not enough.
    Baskets b(100);
    for (int t = 0; t < 100; ++t) b[t] = {100 + t};  // every transaction has a row
    for (int t = 0; t < 7; ++t) b[t] = {0};
    for (int t = 0; t < 8; ++t) b[50 + t] = {1};
    TransactionIndex ix = build(b);
    const Levels levels = apriori_itemsets(ix, 0.07, 1);
    ASSERT_EQ(levels.size(), 1u);
    EXPECT_EQ(levels[0], (CountMap{{{1}, 8}}));
}

}  // namespace
}  // namespace tallisk::classic
