// Unit tests of the anchor driver (relevant rows with the cap, scratch, chunked anchor
// processing), the base counter and the thresholded pair counter.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

#include "common/error.hpp"
#include "common/index.hpp"
#include "itemsets/itemsets.hpp"
#include "pairs/pairs.hpp"

namespace tallisk {
namespace {

using itemsets::AnchorScratch;

InvertedIndex index_of(const std::vector<std::vector<int32_t>>& baskets, uint32_t n_items) {
    std::vector<int64_t> txn;
    std::vector<int32_t> items;
    for (std::size_t t = 0; t < baskets.size(); ++t)
        for (int32_t x : baskets[t]) {
            txn.push_back(static_cast<int64_t>(t));
            items.push_back(x);
        }
    return build_inverted_index(txn, items, n_items);
}

std::vector<uint32_t> row(const itemsets::TxnItems& txn, uint32_t t) {
    auto r = txn.row(t);
    return {r.begin(), r.end()};
}

std::map<Itemset, uint32_t> sorted(const CountMap& m) { return {m.begin(), m.end()}; }

TEST(TxnItems, KeepsRelevantItemsOfEntriesOnly) {
    const auto ix = index_of({{0, 1, 2, 3}, {1, 4}, {0, 2, 4}}, 5);
    const std::vector<uint8_t> relevant{1, 1, 1, 0, 0};
    const auto txn = itemsets::build_txn_items(ix, relevant, 2, 5, {}, std::nullopt);
    EXPECT_EQ(txn.entries, (std::vector<uint32_t>{0, 2}));
    EXPECT_EQ(row(txn, 0), (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_TRUE(row(txn, 1).empty());  // one relevant item: not an entry
    EXPECT_EQ(row(txn, 2), (std::vector<uint32_t>{0, 2}));
}

TEST(TxnItems, CapKeepsHeaviestWithTiesToSmallerIdsAndMissingWeightsZero) {
    const auto ix = index_of({{0, 1, 2, 3, 4, 5}}, 6);
    const std::vector<uint8_t> all(6, 1);
    // Item 5 has no weight (0.0): above the negative weight of item 4, tied with item 3.
    const std::vector<double> w{1.0, 2.0, 2.0, 0.0, -1.0};
    EXPECT_EQ(row(itemsets::build_txn_items(ix, all, 1, 6, w, 3), 0), (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(row(itemsets::build_txn_items(ix, all, 1, 6, w, 4), 0), (std::vector<uint32_t>{0, 1, 2, 3}));
    EXPECT_EQ(row(itemsets::build_txn_items(ix, all, 1, 6, w, 5), 0), (std::vector<uint32_t>{0, 1, 2, 3, 5}));
    // A cap of 0 empties the row but the transaction stays an entry.
    const auto none = itemsets::build_txn_items(ix, all, 3, 6, w, 0);
    EXPECT_EQ(none.entries.size(), 1u);
    EXPECT_TRUE(row(none, 0).empty());
}

TEST(TxnItems, NanWeightsRankBelowEveryNumber) {
    std::vector<int32_t> basket(200);
    for (int32_t i = 0; i < 200; ++i) basket[static_cast<std::size_t>(i)] = i;
    const auto ix = index_of({basket}, 200);
    std::vector<double> w(200, std::numeric_limits<double>::quiet_NaN());
    w[150] = -std::numeric_limits<double>::infinity();
    w[7] = 1.0;
    const std::vector<uint8_t> all(200, 1);
    EXPECT_EQ(row(itemsets::build_txn_items(ix, all, 1, 200, w, 2), 0), (std::vector<uint32_t>{7, 150}));
    // Among NaN weights only the id decides.
    EXPECT_EQ(row(itemsets::build_txn_items(ix, all, 1, 200, w, 4), 0), (std::vector<uint32_t>{0, 1, 7, 150}));
}

TEST(TxnItems, ItemBeyondCounterSizePanics) {
    const auto ix = index_of({{0, 4}}, 5);
    const std::vector<uint8_t> all(5, 1);
    EXPECT_THROW(itemsets::build_txn_items(ix, all, 1, 3, {}, std::nullopt), Panic);
}

TEST(AnchorScratch, ExtendSortsAndRefusesAnchorItems) {
    AnchorScratch s(10);
    const std::vector<uint32_t> anchor{2, 5, 8};
    auto front = s.extend(anchor, 0);
    EXPECT_EQ(Itemset(front->begin(), front->end()), (Itemset{0, 2, 5, 8}));
    auto mid = s.extend(anchor, 6);
    EXPECT_EQ(Itemset(mid->begin(), mid->end()), (Itemset{2, 5, 6, 8}));
    auto end = s.extend(anchor, 9);
    EXPECT_EQ(Itemset(end->begin(), end->end()), (Itemset{2, 5, 8, 9}));
    EXPECT_FALSE(s.extend(anchor, 5).has_value());
    auto empty = s.extend({}, 3);
    EXPECT_EQ(Itemset(empty->begin(), empty->end()), (Itemset{3}));
}

TEST(AnchorScratch, DrainVisitsFirstTouchOrderAndResets) {
    AnchorScratch s(6);
    for (uint32_t x : {4u, 1u, 4u, 5u, 1u, 4u}) s.count(x);
    std::vector<std::pair<uint32_t, uint32_t>> seen;
    s.drain([&](uint32_t x, uint32_t c) { seen.emplace_back(x, c); });
    EXPECT_EQ(seen, (std::vector<std::pair<uint32_t, uint32_t>>{{4, 3}, {1, 2}, {5, 1}}));
    EXPECT_TRUE(s.touched.empty());
    EXPECT_EQ(s.co_counts, std::vector<uint32_t>(6, 0));
}

// Every anchor i produces the keys i/3 and 1000000 + i with value i: key i/3 is produced
// by three consecutive anchors, so the first of them must win, across chunk borders.
template <class R>
R run_chunks(std::size_t n) {
    return itemsets::process_anchor_chunks<R>(n, 4, [](std::size_t i, AnchorScratch& s, R& out) {
        auto put = [&](Itemset key, uint32_t v) {
            if constexpr (std::is_same_v<R, CountMap>) {
                out.try_emplace(std::move(key), v);
            } else {
                out.first.try_emplace(key, v);
                out.second.try_emplace(std::move(key), Itemset{v});
            }
        };
        s.count(static_cast<uint32_t>(i % 4));
        s.drain([](uint32_t, uint32_t) {});
        put({static_cast<uint32_t>(i / 3)}, static_cast<uint32_t>(i));
        put({static_cast<uint32_t>(1000000 + i)}, static_cast<uint32_t>(i));
    });
}

TEST(ProcessAnchorChunks, FirstWinsInAnchorOrderForEverySize) {
    for (std::size_t n : {0u, 1u, 499u, 500u, 501u, 1234u, 7919u}) {
        const CountMap merged = run_chunks<CountMap>(n);
        ASSERT_EQ(merged.size(), n == 0 ? 0 : (n + 2) / 3 + n) << n;
        for (const auto& [key, v] : merged) {
            if (key[0] >= 1000000)
                EXPECT_EQ(v, key[0] - 1000000);
            else
                EXPECT_EQ(v, key[0] * 3) << "n=" << n << " key=" << key[0];
        }
    }
}

TEST(ProcessAnchorChunks, MergesPairsOfMapsConsistently) {
    using R = std::pair<CountMap, ItemsetMap<Itemset>>;
    const R merged = run_chunks<R>(3001);
    ASSERT_EQ(merged.first.size(), merged.second.size());
    for (const auto& [key, v] : merged.first) EXPECT_EQ(merged.second.at(key), Itemset{v});
}

TEST(ProcessAnchorChunks, WorkerExceptionsReachTheCaller) {
    EXPECT_THROW(itemsets::process_anchor_chunks<CountMap>(5000, 1,
                                                           [](std::size_t i, AnchorScratch&, CountMap&) {
                                                               if (i == 4321) panic_index(1, i);
                                                           }),
                 Panic);
}

TEST(AnchorOrder, IsAPermutationIndependentOfInputOrder) {
    std::vector<Itemset> sets{{1, 2}, {0, 5}, {3, 4}, {0, 1}, {2, 9}};
    std::vector<Itemset> reversed(sets.rbegin(), sets.rend());
    auto order = itemsets::anchor_order(sets.size(), [&](std::size_t i) -> const Itemset& { return sets[i]; });
    auto order_r =
        itemsets::anchor_order(reversed.size(), [&](std::size_t i) -> const Itemset& { return reversed[i]; });
    ASSERT_EQ(order.size(), sets.size());
    for (std::size_t i = 0; i < order.size(); ++i) EXPECT_EQ(sets[order[i]], reversed[order_r[i]]);
}

TEST(CountKItemsets, DegenerateLevels) {
    const auto ix = index_of({{0, 1, 2}, {0, 1, 2}}, 3);
    const ItemsetSet lower{{0, 1}, {1, 2}};
    EXPECT_TRUE(itemsets::count_k_itemsets_internal(ix, lower, {}, 0, 3, {}, std::nullopt).empty());
    EXPECT_TRUE(itemsets::count_k_itemsets_internal(ix, {}, {}, 3, 3, {}, std::nullopt).empty());
    EXPECT_TRUE(itemsets::count_k_itemsets_internal(ix, lower, {}, 3, 3, {}, 2).empty());  // cap below k
    EXPECT_TRUE(itemsets::count_k_itemsets_internal(ix, lower, {}, 99, 3, {}, std::nullopt).empty());
}

TEST(LowerSetsFromRows, ReadsRunsAndRefusesShortBuffers) {
    const std::vector<int32_t> buf{0, 1, 2, 1, 0, 1, 3, 4};
    const auto sets = itemsets::lower_sets_from_rows(buf, 3, 3);
    EXPECT_EQ(sets.lower, (ItemsetSet{{0, 1}, {2, 1}}));
    EXPECT_EQ(sets.pairs, (PairSet{pair_key(0, 1), pair_key(1, 2)}));
    EXPECT_THROW(itemsets::lower_sets_from_rows(buf, 5, 3), Panic);
    EXPECT_THROW(itemsets::lower_sets_from_rows(buf, 1, 0), Panic);
    EXPECT_THROW(itemsets::lower_sets_from_rows(buf, 1, std::numeric_limits<std::size_t>::max()), Panic);
    EXPECT_EQ(itemsets::lower_sets_from_rows(buf, std::numeric_limits<std::size_t>::max(), 1).lower.size(), 1u);
    EXPECT_TRUE(itemsets::lower_sets_from_rows({}, 0, 0).lower.empty());
}

TEST(CountFrequentPairs, ThresholdOfAtLeastOne) {
    // Labels 10, 10, 10, 20, 20 with items 0, 1, 2, 1, 2.
    const std::vector<int64_t> txn{10, 10, 10, 20, 20};
    const std::vector<int32_t> items{0, 1, 2, 1, 2};
    const auto ix = build_inverted_index(txn, items, 3);
    auto [all, all_set] = pairs::count_frequent_pairs(ix, 3, ix.n_transactions, 0.0);
    EXPECT_EQ((std::map<PairKey, uint32_t>(all.begin(), all.end())),
              (std::map<PairKey, uint32_t>{{pair_key(0, 1), 1}, {pair_key(0, 2), 1}, {pair_key(1, 2), 2}}));
    EXPECT_EQ(all_set.size(), 3u);
    auto [some, some_set] = pairs::count_frequent_pairs(ix, 3, ix.n_transactions, 0.6);
    EXPECT_EQ((std::map<PairKey, uint32_t>(some.begin(), some.end())),
              (std::map<PairKey, uint32_t>{{pair_key(1, 2), 2}}));
    EXPECT_EQ(some_set, (PairSet{pair_key(1, 2)}));
    auto [none, none_set] = pairs::count_frequent_pairs(ix, 3, ix.n_transactions, std::nan(""));
    EXPECT_EQ(none.size(), 3u);  // NaN means a threshold of 1
    EXPECT_TRUE(pairs::count_frequent_pairs(ix, 3, ix.n_transactions, 1.5).first.empty());
}

}  // namespace
}  // namespace tallisk
