// Unit tests of the bitmap owner (moved-from and empty handles, a failed allocation) and
// of the pair map at the 32/33 boundary between the sparse and dense transaction lists,
// built on the pool. The lists' members and intersections in both forms are checked
// through rust_compute_pipeline_v3_adaptive against brute force (tests/test_variants.py).
#include <gtest/gtest.h>

#include "common/index.hpp"
#include "common/tidlist.hpp"
#include "engine_oracles.hpp"
#include "itemsets/pair_maps.hpp"

namespace tallisk {
namespace {

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
