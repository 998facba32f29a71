// The table helpers against plain oracles: grouping pairs against a std::set of the
// distinct pairs, the descending order against std::stable_sort, and gather.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "tables/tables.hpp"

namespace tallisk {
namespace {

TEST(Tables, GroupPairsEqualTheSortedDistinctPairs) {
    std::mt19937 rng(1);
    for (const bool grouped : {true, false}) {
        for (const std::size_t n_txn : {std::size_t{1}, std::size_t{7}, std::size_t{3000}}) {
            std::vector<int64_t> txn(5 * n_txn + 3);
            std::vector<int32_t> item(txn.size());
            for (std::size_t i = 0; i < txn.size(); ++i) {
                txn[i] = static_cast<int64_t>(rng() % n_txn);
                item[i] = static_cast<int32_t>(rng() % 40);  // long rows of 40 ids use std::sort
            }
            if (grouped) std::sort(txn.begin(), txn.end());
            std::set<std::pair<int64_t, int32_t>> want;
            for (std::size_t i = 0; i < txn.size(); ++i) want.emplace(txn[i], item[i]);
            const tables::Grouped got = tables::group_pairs(txn, item, n_txn);
            ASSERT_EQ(got.txn_ids.size(), want.size());
            ASSERT_EQ(got.item_ids.size(), want.size());
            std::size_t k = 0;
            for (const auto& [t, i] : want) {
                EXPECT_EQ(got.txn_ids[k], t) << k;
                EXPECT_EQ(got.item_ids[k], i) << k;
                ++k;
            }
        }
    }
}

TEST(Tables, GroupPairsRefuseCodesOutsideTheirRange) {
    const std::vector<int64_t> txn{0, 3};
    const std::vector<int32_t> item{0, 1}, negative{0, -1};
    EXPECT_THROW(tables::group_pairs(txn, item, 3), InputError);
    EXPECT_THROW(tables::group_pairs(std::vector<int64_t>{0, 1}, negative, 3), InputError);
    EXPECT_THROW(tables::group_pairs(txn, std::vector<int32_t>{0}, 4), InputError);
}

TEST(Tables, DescendingOrderIsAStableSortWithNanLast) {
    std::mt19937 rng(2);
    const double values[] = {0.5,
                             -0.0,
                             0.0,
                             1.0,
                             -1.5,
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             std::nan("")};
    std::uniform_real_distribution<double> spread(0.9, 1.7);
    // Few distinct keys (ties everywhere) and keys that differ in nearly every bit, from
    // a comparison-sorted size to one sorted in several chunks.
    for (const std::size_t n : {300, 20000, 300000})
        for (const bool few : {true, false}) {
            std::vector<double> keys(n);
            for (double& k : keys) k = few || rng() % 50 == 0 ? values[rng() % std::size(values)] : spread(rng);
            std::vector<int64_t> want(keys.size());
            std::iota(want.begin(), want.end(), 0);
            std::stable_sort(want.begin(), want.end(), [&](int64_t a, int64_t b) {
                const double x = keys[static_cast<std::size_t>(a)], y = keys[static_cast<std::size_t>(b)];
                if (std::isnan(x) || std::isnan(y)) return !std::isnan(x) && std::isnan(y);
                return x > y;
            });
            EXPECT_EQ(tables::order_descending(keys), want) << n << (few ? " few keys" : " spread keys");
        }
}

TEST(Tables, GatherTakesTheRowsAndRefusesOthers) {
    const std::vector<int64_t> values{10, 20, 30};
    const std::vector<int64_t> rows{2, 0, 2, 1};
    std::vector<int64_t> out(rows.size());
    tables::gather(values.data(), values.size(), sizeof(int64_t), rows, out.data());
    EXPECT_EQ(out, (std::vector<int64_t>{30, 10, 30, 20}));
    const std::vector<int64_t> bad{3};
    EXPECT_THROW(tables::gather(values.data(), values.size(), sizeof(int64_t), bad, out.data()), InputError);
    EXPECT_THROW(tables::gather(values.data(), values.size(), 2, rows, out.data()), InputError);
}

}  // namespace
}  // namespace tallisk
