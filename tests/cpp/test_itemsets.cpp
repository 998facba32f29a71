// Unit tests of the anchor driver: NaN weights under the cap and chunked anchor
// processing. Counts, and the reading of the lower-level table, are checked from Python
// (tests/test_itemsets.py).
#include <gtest/gtest.h>

#include <limits>
#include <numeric>

#include "common/error.hpp"
#include "common/index.hpp"
#include "engine_oracles.hpp"
#include "itemsets/itemsets.hpp"

namespace tallisk {
namespace {

using itemsets::AnchorScratch;

std::vector<uint32_t> row(const itemsets::TxnItems& txn, uint32_t t) {
    auto r = txn.row(t);
    return {r.begin(), r.end()};
}

TEST(TxnItems, NanWeightsRankBelowEveryNumber) {
    std::vector<uint32_t> basket(200);
    std::iota(basket.begin(), basket.end(), 0u);
    const auto o = engine::oracles::occurrences(engine::oracles::Baskets{basket});
    const auto ix = build_inverted_index(o.txn, o.item, 200);
    std::vector<double> w(200, std::numeric_limits<double>::quiet_NaN());
    w[150] = -std::numeric_limits<double>::infinity();
    w[7] = 1.0;
    const std::vector<uint8_t> all(200, 1);
    EXPECT_EQ(row(itemsets::build_txn_items(ix, all, 1, 200, w, 2), 0), (std::vector<uint32_t>{7, 150}));
    // Among NaN weights only the id decides.
    EXPECT_EQ(row(itemsets::build_txn_items(ix, all, 1, 200, w, 4), 0), (std::vector<uint32_t>{0, 1, 7, 150}));
}

// Every anchor i produces the keys i/3 and 1000000 + i with value i: key i/3 is produced
// by three consecutive anchors, so the first of them must win, across chunk borders.
CountMap run_chunks(std::size_t n) {
    return itemsets::process_anchor_chunks<CountMap>(n, 4, [](std::size_t i, AnchorScratch& s, CountMap& out) {
        s.count(static_cast<uint32_t>(i % 4));
        s.drain([](uint32_t, uint32_t) {});
        out.try_emplace(Itemset{static_cast<uint32_t>(i / 3)}, static_cast<uint32_t>(i));
        out.try_emplace(Itemset{static_cast<uint32_t>(1000000 + i)}, static_cast<uint32_t>(i));
    });
}

TEST(ProcessAnchorChunks, FirstWinsInAnchorOrderForEverySize) {
    for (std::size_t n : {0u, 1u, 499u, 500u, 501u, 1234u, 7919u}) {
        const CountMap merged = run_chunks(n);
        ASSERT_EQ(merged.size(), n == 0 ? 0 : (n + 2) / 3 + n) << n;
        for (const auto& [key, v] : merged) {
            if (key[0] >= 1000000)
                EXPECT_EQ(v, key[0] - 1000000);
            else
                EXPECT_EQ(v, key[0] * 3) << "n=" << n << " key=" << key[0];
        }
    }
}

}  // namespace
}  // namespace tallisk
