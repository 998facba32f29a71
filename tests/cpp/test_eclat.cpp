// Unit test of the depth-first miner's depth limit. The search itself, and its threshold
// rule, are checked against a brute-force miner by tests/test_eclat.py.
#include "eclat/eclat.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "engine_oracles.hpp"

namespace tallisk::eclat {
namespace {

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
