// Unit tests of the bitmap owner, TidList, the per-item bitmaps and the pair maps,
// checked against std::set oracles.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "common/error.hpp"
#include "common/index.hpp"
#include "common/tidlist.hpp"
#include "itemsets/pair_maps.hpp"

namespace tallisk {
namespace {

std::vector<uint32_t> range_values(uint32_t first, uint32_t count, uint32_t step) {
    std::vector<uint32_t> v(count);
    for (uint32_t i = 0; i < count; ++i) v[i] = first + i * step;
    return v;
}

std::vector<uint32_t> walk(const TidList& list) {
    std::vector<uint32_t> out;
    list.for_each([&](uint32_t t) { out.push_back(t); });
    return out;
}

TEST(TidList, ThirtyTwoMembersAreSparseThirtyThreeDense) {
    // Values spread over several 16-bit containers, inserted out of order.
    for (uint32_t n : {0u, 1u, 31u, 32u, 33u, 34u, 500u}) {
        auto want = range_values(7, n, 70001);
        auto shuffled = want;
        std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(n));
        const TidList list = TidList::from_roaring(Bitmap::of(shuffled));
        EXPECT_EQ(list.is_sparse(), n < kTidListDenseMin) << n;
        EXPECT_EQ(list.size(), n);
        EXPECT_EQ(walk(list), want) << n;
        EXPECT_EQ(list.to_vector(), want) << n;
    }
    EXPECT_EQ(kTidListDenseMin, 33u);
}

TEST(TidList, DenseIntersectionShrinksToSparse) {
    // Two sets of 1000 members whose overlap is exactly five values.
    std::vector<uint32_t> a = range_values(0, 1000, 2);         // even values < 2000
    std::vector<uint32_t> b = range_values(100001, 995, 2);     // odd, far away
    const std::vector<uint32_t> common{4, 600, 1000, 1500, 1998};
    b.insert(b.end(), common.begin(), common.end());
    const TidList la = TidList::from_roaring(Bitmap::of(a));
    ASSERT_FALSE(la.is_sparse());
    const TidList got = TidList::intersect_with_bitmap(la, Bitmap::of(b));
    EXPECT_TRUE(got.is_sparse());
    EXPECT_EQ(walk(got), common);
}

TEST(TidList, DenseIntersectionStaysDenseFromThirtyThree) {
    for (uint32_t overlap : {32u, 33u}) {
        const auto a = range_values(0, 200, 3);
        const std::vector<uint32_t> b(a.begin(), a.begin() + overlap);
        const TidList got = TidList::intersect_with_bitmap(TidList::from_roaring(Bitmap::of(a)), Bitmap::of(b));
        EXPECT_EQ(got.is_sparse(), overlap == 32);
        EXPECT_EQ(walk(got), b);
    }
}

TEST(TidList, SparseIntersections) {
    const TidList small = TidList::from_roaring(Bitmap::of(std::vector<uint32_t>{3, 65536, 65537, 900000}));
    ASSERT_TRUE(small.is_sparse());
    EXPECT_EQ(walk(TidList::intersect_with_bitmap(small, Bitmap())), std::vector<uint32_t>{});
    EXPECT_EQ(walk(TidList::intersect_with_bitmap(small, Bitmap::of(std::vector<uint32_t>{}))),
              std::vector<uint32_t>{});
    const auto got = TidList::intersect_with_bitmap(small, Bitmap::of(std::vector<uint32_t>{1, 3, 65537, 900001}));
    EXPECT_TRUE(got.is_sparse());
    EXPECT_EQ(walk(got), (std::vector<uint32_t>{3, 65537}));
    // The empty default list stays empty against anything.
    EXPECT_EQ(TidList::intersect_with_bitmap(TidList(), Bitmap::of(std::vector<uint32_t>{1})).size(), 0u);
}

TEST(TidList, RandomIntersectionsMatchSetOracle) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 200; ++round) {
        const uint32_t span = 1u + rng() % 200000;
        std::set<uint32_t> sa, sb;
        const int na = static_cast<int>(rng() % 120), nb = static_cast<int>(rng() % 3000);
        for (int i = 0; i < na; ++i) sa.insert(rng() % span);
        for (int i = 0; i < nb; ++i) sb.insert(rng() % span);
        const TidList la = TidList::from_roaring(Bitmap::of(std::vector<uint32_t>(sa.begin(), sa.end())));
        const Bitmap bb = Bitmap::of(std::vector<uint32_t>(sb.begin(), sb.end()));
        std::vector<uint32_t> want;
        std::set_intersection(sa.begin(), sa.end(), sb.begin(), sb.end(), std::back_inserter(want));
        const TidList got = TidList::intersect_with_bitmap(la, bb);
        EXPECT_EQ(walk(got), want);
        EXPECT_EQ(got.is_sparse(), want.size() < 33);
        EXPECT_EQ(bb.intersect_cardinality(Bitmap::of(la.to_vector())), want.size());
    }
}

TEST(Bitmap, OwnershipAndEmptyHandles) {
    Bitmap a = Bitmap::of(std::vector<uint32_t>{5, 1, 5, 9});
    Bitmap b = std::move(a);
    EXPECT_EQ(a.cardinality(), 0u);  // moved-from is the empty set, still usable
    EXPECT_FALSE(a.contains(5));
    a.add(4);
    EXPECT_EQ(a.to_vector(), std::vector<uint32_t>{4});
    Bitmap c = b.copy();
    c.or_inplace(a);
    EXPECT_EQ(b.to_vector(), (std::vector<uint32_t>{1, 5, 9}));
    EXPECT_EQ(c.to_vector(), (std::vector<uint32_t>{1, 4, 5, 9}));
    EXPECT_EQ(Bitmap().intersect(c).cardinality(), 0u);
    EXPECT_THROW(Bitmap::adopt(nullptr), std::bad_alloc);
}

TEST(Bitmap, ExceptionInWalkStopsAndPropagates) {
    const Bitmap b = Bitmap::of(range_values(0, 1000, 1));
    int seen = 0;
    EXPECT_THROW(b.for_each([&](uint32_t v) {
        ++seen;
        if (v == 10) panic_index(1, v);
    }),
                 Panic);
    EXPECT_EQ(seen, 11);
}

// Random transactions over a few items; item 5 never occurs.
InvertedIndex sample_index(std::vector<std::set<uint32_t>>& txns, uint32_t n_items, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<int64_t> txn_ids;
    std::vector<int32_t> item_ids;
    txns.assign(300, {});
    for (uint32_t t = 0; t < txns.size(); ++t) {
        const int len = 1 + static_cast<int>(rng() % 6);
        for (int j = 0; j < len; ++j) {
            // Half the draws from items 0..3, so that pairs range from never to often
            // together.
            const uint32_t x = (rng() % 2) ? rng() % 4 : rng() % n_items;
            if (x == 5) continue;
            txns[t].insert(x);
            txn_ids.push_back(t);
            item_ids.push_back(static_cast<int32_t>(x));
        }
        if (txns[t].empty()) {
            txns[t].insert(0);
            txn_ids.push_back(t);
            item_ids.push_back(0);
        }
    }
    return build_inverted_index(txn_ids, item_ids, n_items);
}

std::vector<uint32_t> oracle_txns(const std::vector<std::set<uint32_t>>& txns, std::vector<uint32_t> items) {
    std::vector<uint32_t> out;
    for (uint32_t t = 0; t < txns.size(); ++t)
        if (std::all_of(items.begin(), items.end(), [&](uint32_t x) { return txns[t].count(x) > 0; }))
            out.push_back(t);
    return out;
}

TEST(ItemTxnsRoaring, OneBitmapPerItemEmptyForUnusedItems) {
    std::vector<std::set<uint32_t>> txns;
    const InvertedIndex ix = sample_index(txns, 9, 1);
    const ItemTxnsRoaring bm = ItemTxnsRoaring::from_index(ix);
    ASSERT_EQ(bm.size(), 9u);
    for (uint32_t i = 0; i < 9; ++i) EXPECT_EQ(bm.at(i).to_vector(), oracle_txns(txns, {i})) << i;
    EXPECT_EQ(bm.at(5).cardinality(), 0u);
    EXPECT_THROW(bm.at(9), Panic);
    EXPECT_EQ(ItemTxnsRoaring::from_index(build_inverted_index({}, {}, 3)).size(), 3u);
}

TEST(PairMaps, MatchSetOracleInBothForms) {
    std::vector<std::set<uint32_t>> txns;
    const uint32_t n_items = 12;
    const InvertedIndex ix = sample_index(txns, n_items, 2);
    const ItemTxnsRoaring bm = ItemTxnsRoaring::from_index(ix);
    PairSet pairs;
    for (uint32_t a = 0; a < n_items; ++a)
        for (uint32_t b = a + 1; b < n_items; ++b)
            if ((a * 7 + b) % 3 != 0) pairs.insert(pair_key(a, b));  // includes pairs with item 5
    const auto plain = itemsets::build_pair_tid_map(pairs, bm);
    const auto adaptive = itemsets::build_pair_tid_map_adaptive(pairs, bm);
    ASSERT_EQ(plain.size(), pairs.size());
    ASSERT_EQ(adaptive.size(), pairs.size());
    bool saw_sparse = false, saw_dense = false, saw_empty = false;
    for (PairKey key : pairs) {
        const Itemset set{pair_first(key), pair_second(key)};
        const auto want = oracle_txns(txns, set);
        EXPECT_EQ(plain.at(set).to_vector(), want);
        const TidList& tl = adaptive.at(set);
        EXPECT_EQ(walk(tl), want);
        EXPECT_EQ(tl.is_sparse(), want.size() <= 32);
        saw_sparse |= tl.is_sparse() && !want.empty();
        saw_dense |= !tl.is_sparse();
        saw_empty |= want.empty();
    }
    EXPECT_TRUE(saw_sparse && saw_dense && saw_empty);  // the data exercises every case
}

TEST(PairMaps, EmptyAndOutOfRange) {
    std::vector<std::set<uint32_t>> txns;
    const ItemTxnsRoaring bm = ItemTxnsRoaring::from_index(sample_index(txns, 4, 3));
    EXPECT_TRUE(itemsets::build_pair_tid_map(PairSet{}, bm).empty());
    EXPECT_TRUE(itemsets::build_pair_tid_map_adaptive(PairSet{}, bm).empty());
    const auto none = itemsets::build_pair_neighbors(PairSet{}, 4);
    ASSERT_EQ(none.size(), 4u);
    for (const auto& l : none) EXPECT_TRUE(l.empty());
    EXPECT_THROW(itemsets::build_pair_tid_map(PairSet{pair_key(1, 4)}, bm), Panic);
    EXPECT_THROW(itemsets::build_pair_tid_map_adaptive(PairSet{pair_key(1, 4)}, bm), Panic);
    EXPECT_THROW(itemsets::build_pair_neighbors(PairSet{pair_key(1, 4)}, 4), Panic);
}

TEST(PairMaps, ExactlyThirtyTwoAndThirtyThreeSharedTransactions) {
    // Items 0 and 1 share 32 transactions, items 2 and 3 share 33.
    std::vector<int64_t> txn_ids;
    std::vector<int32_t> item_ids;
    for (int64_t t = 0; t < 40; ++t) {
        auto put = [&](int32_t x) { txn_ids.push_back(t); item_ids.push_back(x); };
        if (t < 32) { put(0); put(1); }
        if (t < 33) { put(2); put(3); }
        put(4);
    }
    const ItemTxnsRoaring bm = ItemTxnsRoaring::from_index(build_inverted_index(txn_ids, item_ids, 5));
    const auto m = itemsets::build_pair_tid_map_adaptive(PairSet{pair_key(0, 1), pair_key(2, 3)}, bm);
    EXPECT_TRUE(m.at(Itemset{0, 1}).is_sparse());
    EXPECT_EQ(m.at(Itemset{0, 1}).size(), 32u);
    EXPECT_FALSE(m.at(Itemset{2, 3}).is_sparse());
    EXPECT_EQ(m.at(Itemset{2, 3}).size(), 33u);
}

TEST(PairMaps, NeighboursMatchSetOracle) {
    std::mt19937 rng(7);
    const uint32_t n_items = 40;
    PairSet pairs;
    std::vector<std::set<uint32_t>> want(n_items);
    for (int i = 0; i < 150; ++i) {
        const uint32_t a = rng() % n_items, b = rng() % n_items;
        if (a == b || a == 39 || b == 39) continue;  // item 39 belongs to no pair
        pairs.insert(ordered_pair_key(a, b));
        want[a].insert(b);
        want[b].insert(a);
    }
    const auto got = itemsets::build_pair_neighbors(pairs, n_items);
    ASSERT_EQ(got.size(), n_items);
    for (uint32_t i = 0; i < n_items; ++i)
        EXPECT_EQ(got[i], std::vector<uint32_t>(want[i].begin(), want[i].end())) << i;
    EXPECT_TRUE(got[39].empty());
}

}  // namespace
}  // namespace tallisk
