// Unit tests of the bitmap owner and TidList against std::set oracles, and the 32/33
// boundary between the sparse and dense forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "common/index.hpp"
#include "common/tidlist.hpp"
#include "engine_oracles.hpp"
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
        EXPECT_EQ(list.is_sparse(), n < tuning::kTidListDenseMin) << n;
        EXPECT_EQ(list.size(), n);
        EXPECT_EQ(walk(list), want) << n;
        EXPECT_EQ(list.to_vector(), want) << n;
        // A dense list cut down to the same members takes the same form.
        const TidList cut = TidList::intersect_with_bitmap(
            TidList::from_roaring(Bitmap::of(range_values(7, 600, 70001))), Bitmap::of(want));
        EXPECT_EQ(cut.is_sparse(), n < 33) << n;
        EXPECT_EQ(walk(cut), want) << n;
    }
    EXPECT_EQ(tuning::kTidListDenseMin, 33u);
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

TEST(PairMaps, ExactlyThirtyTwoAndThirtyThreeSharedTransactions) {
    // Items 0 and 1 share 32 transactions, items 2 and 3 share 33; item 4 is in all 40.
    engine::oracles::Baskets baskets(40, {4});
    for (std::size_t t = 0; t < 33; ++t)
        baskets[t] = t < 32 ? std::vector<uint32_t>{0, 1, 2, 3, 4} : std::vector<uint32_t>{2, 3, 4};
    const auto o = engine::oracles::occurrences(baskets);
    const ItemTxnsRoaring bm = ItemTxnsRoaring::from_index(build_inverted_index(o.txn, o.item, 5));
    const auto m = itemsets::build_pair_tid_map_adaptive(PairSet{pair_key(0, 1), pair_key(2, 3)}, bm);
    EXPECT_TRUE(m.at(Itemset{0, 1}).is_sparse());
    EXPECT_EQ(m.at(Itemset{0, 1}).size(), 32u);
    EXPECT_FALSE(m.at(Itemset{2, 3}).is_sparse());
    EXPECT_EQ(m.at(Itemset{2, 3}).size(), 33u);
}

}  // namespace
}  // namespace tallisk
