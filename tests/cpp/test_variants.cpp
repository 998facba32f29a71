// Unit tests of the ablation counters against the base counter and std::set oracles:
// same counts (also under a cap), the transaction sets they carry, their TidList
// forms, and the cases where the gating counter differs.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <map>
#include <set>

#include "common/index.hpp"
#include "common/tidlist.hpp"
#include "itemsets/itemsets.hpp"
#include "itemsets/pair_maps.hpp"
#include "itemsets/variants.hpp"

namespace tallisk::itemsets {
namespace {

using Txns = std::vector<std::set<uint32_t>>;

//! Random transactions whose items cluster around a drifting centre, so that sets of
//! three and four items recur.
InvertedIndex clustered(Txns& txns, std::size_t n_txn, uint32_t n_items, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<int64_t> txn_ids;
    std::vector<int32_t> item_ids;
    txns.assign(n_txn, {});
    uint32_t centre = 0;
    for (uint32_t t = 0; t < n_txn; ++t) {
        if (rng() % 3 == 0) centre = rng() % n_items;
        const int len = 2 + static_cast<int>(rng() % 6);
        for (int j = 0; j < len; ++j) txns[t].insert((centre + rng() % 6) % n_items);
        for (uint32_t x : txns[t]) {
            txn_ids.push_back(t);
            item_ids.push_back(static_cast<int32_t>(x));
        }
    }
    return build_inverted_index(txn_ids, item_ids, n_items);
}

std::vector<uint32_t> txns_holding(const Txns& txns, const Itemset& set) {
    std::vector<uint32_t> out;
    for (uint32_t t = 0; t < txns.size(); ++t)
        if (std::all_of(set.begin(), set.end(), [&](uint32_t x) { return txns[t].count(x) > 0; })) out.push_back(t);
    return out;
}

//! Frequent pairs by brute force over the transactions.
PairSet frequent_pairs(const Txns& txns, uint32_t min_count) {
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> counts;
    for (const auto& txn : txns)
        for (auto a = txn.begin(); a != txn.end(); ++a)
            for (auto b = std::next(a); b != txn.end(); ++b) ++counts[{*a, *b}];
    PairSet out;
    for (const auto& [p, c] : counts)
        if (c >= min_count) out.insert(pair_key(p.first, p.second));
    return out;
}

ItemsetSet as_sets(const PairSet& pairs) {
    ItemsetSet out;
    for (PairKey k : pairs) out.insert(Itemset{pair_first(k), pair_second(k)});
    return out;
}

CountMap at_least(const CountMap& m, uint32_t min_count) {
    CountMap out;
    for (const auto& [k, c] : m)
        if (c >= std::max<uint32_t>(min_count, 1)) out.emplace(k, c);
    return out;
}

//! Checks the carried sets of a memoised result: same keys as the counts, each holding
//! exactly the (uncapped) transactions that contain the set; TidLists sized by form.
template <class V>
void expect_carried_sets(const MemoLevel<V>& got, const Txns& txns) {
    ASSERT_EQ(got.first.size(), got.second.size());
    for (const auto& [set, c] : got.first) {
        auto it = got.second.find(set);
        ASSERT_NE(it, got.second.end());
        const auto want = txns_holding(txns, set);
        EXPECT_EQ(it->second.to_vector(), want);
        if constexpr (std::is_same_v<V, TidList>) EXPECT_EQ(it->second.is_sparse(), want.size() <= 32);
    }
}

struct Case {
    unsigned seed;
    std::size_t n_txn;
    uint32_t n_items;
    uint32_t min_count;
    std::optional<uint64_t> cap;
};

class Counters : public ::testing::TestWithParam<Case> {};

TEST_P(Counters, EqualTheBaseCounterAtLevelsThreeAndFour) {
    const Case p = GetParam();
    Txns txns;
    const InvertedIndex ix = clustered(txns, p.n_txn, p.n_items, p.seed);
    std::vector<double> weights(p.n_items);
    std::mt19937 rng(p.seed + 1);
    for (double& w : weights) w = static_cast<double>(rng() % 4);  // ties on purpose
    const ItemTxnsRoaring items = ItemTxnsRoaring::from_index(ix);
    const PairSet pairs = frequent_pairs(txns, p.min_count);
    if (p.n_txn >= 3000) EXPECT_GT(pairs.size(), 500u);  // the anchors run in chunks
    const PairNeighbors neighbors = build_pair_neighbors(pairs, p.n_items);

    BitmapLevel lower_bitmaps = build_pair_tid_map(pairs, items);
    TidListLevel lower_tids = build_pair_tid_map_adaptive(pairs, items);
    ItemsetSet lower = as_sets(pairs);
    bool saw_result = false;
    for (std::size_t k = 3; k <= 4; ++k) {
        const CountMap base = count_k_itemsets_internal(ix, lower, pairs, k, p.n_items, weights, p.cap);
        const CountMap want = at_least(base, p.min_count);
        saw_result |= !want.empty();
        EXPECT_EQ(count_k_itemsets_v1_roaring(ix, lower, pairs, k, p.n_items, weights, p.cap), base) << k;

        auto memo = count_k_itemsets_v2_memo(ix, lower_bitmaps, items, pairs, k, p.n_items, p.min_count, weights, p.cap);
        auto adaptive =
            count_k_itemsets_v3_adaptive(ix, lower_tids, items, pairs, k, p.n_items, p.min_count, weights, p.cap);
        auto prefilter =
            count_k_itemsets_v5_prefilter(ix, lower_tids, items, pairs, k, p.n_items, p.min_count, weights, p.cap);
        auto gating =
            count_k_itemsets_v6_gating(ix, lower_tids, items, neighbors, k, p.n_items, p.min_count, weights, p.cap);
        EXPECT_EQ(memo.first, want) << k;
        EXPECT_EQ(adaptive.first, want) << k;
        EXPECT_EQ(prefilter.first, want) << k;
        EXPECT_EQ(gating.first, want) << k;
        expect_carried_sets(memo, txns);
        expect_carried_sets(adaptive, txns);
        expect_carried_sets(prefilter, txns);
        expect_carried_sets(gating, txns);

        lower_bitmaps = std::move(memo.second);
        lower_tids = std::move(adaptive.second);
        lower.clear();
        for (const auto& [set, c] : want) lower.insert(set);
    }
    EXPECT_TRUE(saw_result);  // the data must exercise the counters
}

INSTANTIATE_TEST_SUITE_P(Variants, Counters,
                         ::testing::Values(Case{1, 300, 14, 4, std::nullopt}, Case{2, 600, 20, 5, std::nullopt},
                                           Case{3, 400, 16, 1, std::nullopt}, Case{4, 300, 14, 4, 3},
                                           Case{5, 600, 20, 3, 4}, Case{6, 400, 16, 1, 5},
                                           // over 500 anchors: the chunked path
                                           Case{7, 3000, 150, 2, std::nullopt}, Case{8, 3000, 150, 2, 4}));

TEST(Counters, MinCountZeroAndOneAlike) {
    Txns txns;
    const InvertedIndex ix = clustered(txns, 200, 12, 9);
    const ItemTxnsRoaring items = ItemTxnsRoaring::from_index(ix);
    const PairSet pairs = frequent_pairs(txns, 1);
    const auto tids = build_pair_tid_map_adaptive(pairs, items);
    const auto zero = count_k_itemsets_v3_adaptive(ix, tids, items, pairs, 3, 12, 0, {}, std::nullopt);
    const auto one = count_k_itemsets_v3_adaptive(ix, tids, items, pairs, 3, 12, 1, {}, std::nullopt);
    EXPECT_FALSE(zero.first.empty());
    EXPECT_EQ(zero.first, one.first);
    const auto gate0 =
        count_k_itemsets_v6_gating(ix, tids, items, build_pair_neighbors(pairs, 12), 3, 12, 0, {}, std::nullopt);
    EXPECT_EQ(gate0.first, one.first);
}

TEST(Counters, LastLevelSkipsTheCarriedSetsOnly) {
    Txns txns;
    const InvertedIndex ix = clustered(txns, 300, 14, 12);
    const ItemTxnsRoaring items = ItemTxnsRoaring::from_index(ix);
    const PairSet pairs = frequent_pairs(txns, 3);
    const auto tids = build_pair_tid_map_adaptive(pairs, items);
    const auto neighbors = build_pair_neighbors(pairs, 14);
    for (std::optional<uint64_t> cap : {std::optional<uint64_t>{}, std::optional<uint64_t>{4}}) {
        const auto with = count_k_itemsets_v6_gating(ix, tids, items, neighbors, 3, 14, 3, {}, cap, true);
        const auto without = count_k_itemsets_v6_gating(ix, tids, items, neighbors, 3, 14, 3, {}, cap, false);
        const auto memo = count_k_itemsets_v2_memo(ix, build_pair_tid_map(pairs, items), items, pairs, 3, 14, 3, {},
                                                   cap, false);
        EXPECT_FALSE(with.first.empty());
        EXPECT_EQ(without.first, with.first);
        EXPECT_EQ(memo.first, with.first);
        EXPECT_TRUE(without.second.empty() && memo.second.empty());
    }
}

TEST(Counters, EmptyPairSetOnlyGatingProducesNothing) {
    Txns txns;
    const InvertedIndex ix = clustered(txns, 200, 12, 10);
    const ItemTxnsRoaring items = ItemTxnsRoaring::from_index(ix);
    // The anchors are given; the pair set that would admit extensions is empty.
    const PairSet anchors_as_pairs = frequent_pairs(txns, 3);
    const auto tids = build_pair_tid_map_adaptive(anchors_as_pairs, items);
    const ItemsetSet lower = as_sets(anchors_as_pairs);
    const CountMap base = count_k_itemsets_internal(ix, lower, PairSet{}, 3, 12, {}, std::nullopt);
    ASSERT_FALSE(base.empty());
    const auto adaptive = count_k_itemsets_v3_adaptive(ix, tids, items, PairSet{}, 3, 12, 1, {}, std::nullopt);
    const auto prefilter = count_k_itemsets_v5_prefilter(ix, tids, items, PairSet{}, 3, 12, 1, {}, std::nullopt);
    const auto memo = count_k_itemsets_v2_memo(ix, build_pair_tid_map(anchors_as_pairs, items), items, PairSet{}, 3,
                                               12, 1, {}, std::nullopt);
    EXPECT_EQ(adaptive.first, base);
    EXPECT_EQ(prefilter.first, base);
    EXPECT_EQ(memo.first, base);
    const auto gating = count_k_itemsets_v6_gating(ix, tids, items, build_pair_neighbors(PairSet{}, 12), 3, 12, 1, {},
                                                   std::nullopt);
    EXPECT_TRUE(gating.first.empty());
    EXPECT_TRUE(gating.second.empty());
}

TEST(Counters, EmptyLowerLevelGivesEmptyMaps) {
    Txns txns;
    const InvertedIndex ix = clustered(txns, 50, 8, 11);
    const ItemTxnsRoaring items = ItemTxnsRoaring::from_index(ix);
    const PairSet pairs = frequent_pairs(txns, 1);
    EXPECT_TRUE(count_k_itemsets_v1_roaring(ix, {}, pairs, 3, 8, {}, std::nullopt).empty());
    auto memo = count_k_itemsets_v2_memo(ix, {}, items, pairs, 3, 8, 1, {}, std::nullopt);
    EXPECT_TRUE(memo.first.empty() && memo.second.empty());
    auto gating = count_k_itemsets_v6_gating(ix, {}, items, build_pair_neighbors(pairs, 8), 3, 8, 1, {}, 2);
    EXPECT_TRUE(gating.first.empty() && gating.second.empty());
}

TEST(Counters, GatingSkipsAnchorsWithoutCommonNeighbour) {
    // Every transaction holds {0, 1, 2}; only the pairs {0, 1} and {1, 2} are given,
    // so 0 and 1 share no neighbour and the anchor {0, 1} extends to nothing, while the
    // pair check of the adaptive counter rejects 2 for {0, 1} as well.
    std::vector<int64_t> t;
    std::vector<int32_t> i;
    for (int64_t r = 0; r < 40; ++r)
        for (int32_t x : {0, 1, 2}) {
            t.push_back(r);
            i.push_back(x);
        }
    const InvertedIndex ix = build_inverted_index(t, i, 3);
    const ItemTxnsRoaring items = ItemTxnsRoaring::from_index(ix);
    const PairSet pairs{pair_key(0, 1), pair_key(1, 2)};
    const auto tids = build_pair_tid_map_adaptive(pairs, items);
    const auto gating = count_k_itemsets_v6_gating(ix, tids, items, build_pair_neighbors(pairs, 3), 3, 3, 1, {},
                                                   std::nullopt);
    const auto adaptive = count_k_itemsets_v3_adaptive(ix, tids, items, pairs, 3, 3, 1, {}, std::nullopt);
    EXPECT_TRUE(gating.first.empty());
    EXPECT_TRUE(adaptive.first.empty());
    // With {0, 2} as well, the triple appears in all 40 transactions, held Dense.
    const PairSet all{pair_key(0, 1), pair_key(1, 2), pair_key(0, 2)};
    const auto full = count_k_itemsets_v6_gating(ix, build_pair_tid_map_adaptive(all, items), items,
                                                 build_pair_neighbors(all, 3), 3, 3, 1, {}, std::nullopt);
    ASSERT_EQ(full.first.size(), 1u);
    EXPECT_EQ(full.first.at(Itemset{0, 1, 2}), 40u);
    EXPECT_FALSE(full.second.at(Itemset{0, 1, 2}).is_sparse());
}

}  // namespace
}  // namespace tallisk::itemsets
