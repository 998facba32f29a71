// Unit tests of the transaction model and the worker-pool helpers.
#include <gtest/gtest.h>

#include <limits>
#include <numeric>

#include "common/error.hpp"
#include "common/index.hpp"
#include "common/pool.hpp"

namespace tallisk {
namespace {

TEST(InvertedIndex, RenumbersInOrderOfFirstAppearance) {
    const std::vector<int64_t> txn{7, 3, 7, 5};
    const std::vector<int32_t> items{0, 1, 2, 1};
    const InvertedIndex ix = build_inverted_index(txn, items, 3);
    EXPECT_EQ(ix.n_transactions, 3u);
    EXPECT_EQ(ix.txn_offsets, (std::vector<uint32_t>{0, 2, 3, 4}));
    EXPECT_EQ(ix.txn_items, (std::vector<uint32_t>{0, 2, 1, 1}));
    EXPECT_EQ(ix.item_txns, (std::vector<uint32_t>{0, 1, 2, 0}));
    EXPECT_EQ(validate(ix), "");
}

TEST(InvertedIndex, RefusesMoreOccurrencesThanOffsetsCanAddress) {
    // The size check runs before any element is read, so a span over a small buffer
    // with an oversized length is enough to reach it.
    const int64_t one = 0;
    const std::size_t too_many = std::size_t{std::numeric_limits<uint32_t>::max()} + 1;
    std::span<const int64_t> txn(&one, too_many);
    EXPECT_THROW(build_inverted_index(txn, {}, 1), InputError);
}

TEST(SortDedupCsr, SortsRowsAndDropsRepeats) {
    auto [data, offsets] = sort_dedup_csr({3, 1, 3, 2, 2, 2}, {0, 3, 3, 6}, 3);
    EXPECT_EQ(data, (std::vector<uint32_t>{1, 3, 2}));
    EXPECT_EQ(offsets, (std::vector<uint32_t>{0, 2, 2, 3}));
}

TEST(SortDedupCsr, RejectsMalformedOffsets) {
    EXPECT_THROW(sort_dedup_csr({1, 2}, {0, 3}, 1), Panic);     // past the data
    EXPECT_THROW(sort_dedup_csr({1, 2}, {2, 1, 2}, 2), Panic);  // decreasing
    EXPECT_THROW(sort_dedup_csr({1, 2}, {0}, 1), Panic);        // too few offsets
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
    EXPECT_THROW(pool::map_each<int>(100, [](std::size_t i) -> int {
                     if (i == 57) panic_index(1, i);
                     return 0;
                 }),
                 Panic);
}

}  // namespace
}  // namespace tallisk
