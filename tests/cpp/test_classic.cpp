// Unit test of the classic Apriori unit below the Python entries: rarest-first support
// counting against a count of the baskets holding every item (merge, galloping and
// bit-row paths). The level results, negative ids among them, are checked from Python.
#include "classic/classic.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "engine_oracles.hpp"

namespace tallisk::classic {
namespace {

using Baskets = std::vector<std::vector<int32_t>>;

TransactionIndex build(const Baskets& baskets) {
    const auto o = engine::oracles::occurrences(baskets);
    return build_with_cap(o.txn, o.item, std::nullopt, std::nullopt);
}

//! Random lists of very different lengths, so both the merge and the galloping paths
//! and every early stop are exercised; the oracle counts the baskets that hold every item.
TEST(ClassicSupport, MatchesACountOverTheBaskets) {
    std::mt19937 rng(7);
    const uint32_t n_txn = 4000;
    const double density[] = {0.9, 0.5, 0.1, 0.01, 0.002};
    Baskets b(n_txn);
    for (uint32_t t = 0; t < n_txn; ++t)
        for (int x = 0; x < 5; ++x)
            if (std::uniform_real_distribution<>(0, 1)(rng) < density[x]) b[t].push_back(x);
    const TransactionIndex ix = build(b);

    for (uint32_t mask = 1; mask < 32; ++mask) {
        std::vector<uint32_t> items;
        for (uint32_t x = 0; x < 5; ++x)
            if (mask >> x & 1) items.push_back(x);
        std::size_t support = 0;
        for (const auto& basket : b) {
            uint32_t have = 0;
            for (int32_t x : basket) have |= 1u << x;
            support += (have & mask) == mask;
        }
        std::reverse(items.begin(), items.end());  // no order is required
        for (uint32_t min_count :
             {0u, 1u, 7u, static_cast<uint32_t>(support), static_cast<uint32_t>(support + 1), 5000u}) {
            const auto got = count_support_sc(ix, items, min_count);
            if (support >= min_count)
                EXPECT_EQ(got, std::optional<uint64_t>(support)) << "mask " << mask << " min " << min_count;
            else
                EXPECT_FALSE(got) << "mask " << mask << " min " << min_count;
        }
    }
}

}  // namespace
}  // namespace tallisk::classic
