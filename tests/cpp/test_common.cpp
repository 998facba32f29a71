// Unit tests of the transaction model (its size limit and its invariants on random
// input) and the worker-pool helpers; the index's contents are checked end to end by
// the Python brute-force tests.
#include <gtest/gtest.h>

#include <limits>
#include <numeric>
#include <random>

#include "common/error.hpp"
#include "common/index.hpp"
#include "common/pool.hpp"

namespace tallisk {
namespace {

TEST(InvertedIndex, RefusesMoreOccurrencesThanOffsetsCanAddress) {
    // The size check runs before any element is read, so a span over a small buffer
    // with an oversized length is enough to reach it.
    const int64_t one = 0;
    const std::size_t too_many = std::size_t{std::numeric_limits<uint32_t>::max()} + 1;
    std::span<const int64_t> txn(&one, too_many);
    EXPECT_THROW(build_inverted_index(txn, {}, 1), InputError);
}

TEST(InvertedIndex, HoldsItsInvariantsOnRandomInput) {
    std::mt19937 rng(11);
    for (int round = 0; round < 50; ++round) {
        const uint32_t n_items = 1 + rng() % 40;
        const std::size_t n = rng() % 400;
        std::vector<int64_t> txn(n);
        std::vector<int32_t> items(n);
        for (std::size_t i = 0; i < n; ++i) {
            // Labels out of order and repeated pairs: every branch of the build.
            txn[i] = static_cast<int64_t>(rng() % 60) - 30;
            items[i] = static_cast<int32_t>(rng() % n_items);
        }
        if (round % 2 == 0) std::sort(txn.begin(), txn.end());
        const InvertedIndex ix = build_inverted_index(txn, items, n_items);
        EXPECT_EQ(validate(ix), "") << "round " << round;
    }
}

TEST(Pool, MapChunksKeepsChunkOrderAndPropagatesExceptions) {
    const std::size_t n = 10007;
    auto parts = pool::map_chunks<std::vector<std::size_t>>(n, 97, [](std::size_t b, std::size_t e) {
        std::vector<std::size_t> v(e - b);
        std::iota(v.begin(), v.end(), b);
        return v;
    });
    std::vector<std::size_t> all;
    for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    std::vector<std::size_t> want(n);
    std::iota(want.begin(), want.end(), 0);
    EXPECT_EQ(all, want);
    EXPECT_THROW(pool::map_each<int>(100,
                                     [](std::size_t i) -> int {
                                         if (i == 57) panic_index(1, i);
                                         return 0;
                                     }),
                 Panic);
}

}  // namespace
}  // namespace tallisk
