// Unit tests of the depth-first miner: the threshold rule and the depth limit. The
// search itself is checked against a brute-force miner by tests/test_eclat.py.
#include "eclat/eclat.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine_oracles.hpp"

namespace tallisk::eclat {
namespace {

TEST(EclatMinCount, FollowsTheCeilingRuleAndNeverDropsBelowOne) {
    EXPECT_EQ(eclat_min_count(0.5, 5), 3u);
    EXPECT_EQ(eclat_min_count(0.4, 5), 2u);
    EXPECT_EQ(eclat_min_count(0.07, 100), 8u);
    EXPECT_EQ(eclat_min_count(0.0, 10), 1u);
    EXPECT_EQ(eclat_min_count(-1.0, 10), 1u);
    EXPECT_EQ(eclat_min_count(std::nan(""), 10), 1u);
    EXPECT_EQ(eclat_min_count(1e300, 10), std::numeric_limits<uint32_t>::max());
    // No transactions: ceil(s * 0) is 0, and a count of 0 must not make a set frequent.
    EXPECT_EQ(eclat_min_count(0.5, 0), 1u);
    EXPECT_EQ(eclat_min_count(std::numeric_limits<double>::infinity(), 0), 1u);
}

TEST(EclatSearch, HugeKMaxStopsWhenClassesRunOut) {
    const auto o = engine::oracles::occurrences({{0, 1, 2, 3}, {0, 1, 2}, {1, 2, 3}, {4}});
    const TransactionRows ix = build_transaction_rows(o.txn, o.item, 5);
    const FrequentItems fr = frequent_items(ix, 0.0);
    EXPECT_TRUE(search(TransactionRows(ix), fr, std::numeric_limits<std::size_t>::max()).counts.empty());
    // The deepest level is still reached: {0, 1, 2, 3} is the only 4-set, {0, 1, 2} and
    // {1, 2, 3} the 3-sets below it, in lexicographic order.
    const EclatOut out = search(TransactionRows(ix), fr, 4);
    EXPECT_EQ(out.itemsets, (std::vector<uint32_t>{0, 1, 2, 3}));
    EXPECT_EQ(out.counts, (std::vector<uint32_t>{1}));
    EXPECT_EQ(out.lower_itemsets, (std::vector<uint32_t>{0, 1, 2, 0, 1, 3, 0, 2, 3, 1, 2, 3}));
    EXPECT_EQ(out.lower_counts, (std::vector<uint32_t>{2, 1, 1, 2}));
}

}  // namespace
}  // namespace tallisk::eclat
