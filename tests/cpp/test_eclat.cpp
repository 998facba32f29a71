// Unit tests of the depth-first miner: the threshold rule, the frequent-item list, the
// accumulator merge, and the search against a brute-force enumeration on dense and
// sparse random data (which take the bitset and the list representations).
#include "eclat/eclat.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>

namespace tallisk::eclat {
namespace {

using Rows = std::vector<std::pair<std::vector<uint32_t>, uint32_t>>;

//! Every k-subset of every transaction with its count, in lexicographic order, kept
//! when the count reaches min_count.
Rows brute_force(const std::vector<std::vector<uint32_t>>& txns, std::size_t k, uint32_t min_count) {
    std::map<std::vector<uint32_t>, uint32_t> counts;
    std::vector<uint32_t> pick;
    auto rec = [&](auto&& self, const std::vector<uint32_t>& t, std::size_t from) -> void {
        if (pick.size() == k) {
            ++counts[pick];
            return;
        }
        for (std::size_t i = from; i < t.size(); ++i) {
            pick.push_back(t[i]);
            self(self, t, i + 1);
            pick.pop_back();
        }
    };
    for (const auto& t : txns) rec(rec, t, 0);
    Rows out;
    for (const auto& [set, c] : counts)
        if (c >= min_count) out.emplace_back(set, c);
    return out;
}

Rows flat_rows(const std::vector<uint32_t>& flat, const std::vector<uint32_t>& counts, std::size_t width) {
    EXPECT_EQ(flat.size(), counts.size() * width);
    Rows out;
    for (std::size_t i = 0; i < counts.size(); ++i)
        out.emplace_back(std::vector<uint32_t>(flat.begin() + i * width, flat.begin() + (i + 1) * width), counts[i]);
    return out;
}

//! Random transactions, items ascending and distinct. `share` is the mean chance of
//! each item being in a transaction; with `hub`, item 0 is in 90% of them, which gives
//! it a wide and thin class (the list representation).
std::vector<std::vector<uint32_t>> random_txns(uint32_t seed, std::size_t n_txn, uint32_t n_items, double share,
                                               bool hub = false) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> item_share(n_items);
    for (auto& s : item_share) s = share * (0.3 + 1.4 * u(rng));
    if (hub) item_share[0] = 0.9;
    std::vector<std::vector<uint32_t>> txns(n_txn);
    for (auto& t : txns) {
        for (uint32_t x = 0; x < n_items; ++x)
            if (u(rng) < item_share[x]) t.push_back(x);
        if (t.empty()) t.push_back(static_cast<uint32_t>(rng() % n_items));
    }
    return txns;
}

InvertedIndex index_of(const std::vector<std::vector<uint32_t>>& txns, uint32_t n_items) {
    std::vector<int64_t> labels;
    std::vector<int32_t> items;
    for (std::size_t t = 0; t < txns.size(); ++t)
        for (uint32_t x : txns[t]) {
            labels.push_back(static_cast<int64_t>(t) * 3 + 1);
            items.push_back(static_cast<int32_t>(x));
        }
    return build_inverted_index(labels, items, n_items);
}

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

TEST(EclatFrequentItems, EmptyInputHasNoFrequentItem) {
    const InvertedIndex ix = build_inverted_index({}, {}, 500);
    const FrequentItems fr = frequent_items(ix, 0.25);
    EXPECT_TRUE(fr.items.empty());
    EXPECT_EQ(fr.min_count, 1u);
    EXPECT_TRUE(search(ix, fr, 3).counts.empty());
}

TEST(EclatFrequentItems, KeepsItemsAtTheThresholdInIdOrder) {
    const InvertedIndex ix = index_of({{0, 3}, {3, 4}, {1, 3, 4}, {2}}, 6);
    const FrequentItems fr = frequent_items(ix, 0.5);  // min_count 2
    EXPECT_EQ(fr.items, (std::vector<uint32_t>{3, 4}));
    EXPECT_EQ(fr.slot_of[3], 0u);
    EXPECT_EQ(fr.slot_of[4], 1u);
    EXPECT_EQ(fr.slot_of[0], std::numeric_limits<uint32_t>::max());
}

TEST(EclatOut, MergeAppendsLeftBeforeRight) {
    EclatOut left{{1, 2, 3}, {7}, {1, 2}, {9}};
    left.merge(EclatOut{{4, 5, 6}, {8}, {}, {}});
    EXPECT_EQ(left.itemsets, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(left.counts, (std::vector<uint32_t>{7, 8}));
    EXPECT_EQ(left.lower_itemsets, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(left.lower_counts, (std::vector<uint32_t>{9}));
}

struct Shape {
    const char* name;
    std::size_t n_txn;
    uint32_t n_items;
    double share;
    bool hub;
};

class EclatBruteForce : public ::testing::TestWithParam<Shape> {};

TEST_P(EclatBruteForce, SearchMatchesInLexicographicOrder) {
    const Shape shape = GetParam();
    std::size_t deep = 0;
    for (uint32_t seed = 0; seed < 4; ++seed) {
        const auto txns = random_txns(seed, shape.n_txn, shape.n_items, shape.share, shape.hub);
        const InvertedIndex ix = index_of(txns, shape.n_items);
        for (double min_support : {0.0, 0.02, 0.1}) {
            const FrequentItems fr = frequent_items(ix, min_support);
            for (std::size_t k_max = 2; k_max <= 5; ++k_max) {
                const EclatOut out = search(ix, fr, k_max);
                const Rows top = brute_force(txns, k_max, fr.min_count);
                EXPECT_EQ(flat_rows(out.itemsets, out.counts, k_max), top)
                    << shape.name << " seed " << seed << " support " << min_support << " k_max " << k_max;
                const Rows lower = k_max >= 3 ? brute_force(txns, k_max - 1, fr.min_count) : Rows{};
                EXPECT_EQ(flat_rows(out.lower_itemsets, out.lower_counts, k_max - 1), lower)
                    << shape.name << " seed " << seed << " support " << min_support << " k_max " << k_max;
                if (k_max >= 4) deep += top.size();
            }
        }
    }
    EXPECT_GT(deep, 0u) << "no set of 4 or more items reached";
}

INSTANTIATE_TEST_SUITE_P(EclatShapes, EclatBruteForce,
                         ::testing::Values(Shape{"dense", 60, 10, 0.5, false}, Shape{"sparse", 600, 300, 0.012, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EclatSearch, HugeKMaxStopsWhenClassesRunOut) {
    const auto txns = random_txns(11, 40, 8, 0.6);
    const InvertedIndex ix = index_of(txns, 8);
    const EclatOut out = search(ix, frequent_items(ix, 0.0), std::numeric_limits<std::size_t>::max());
    EXPECT_TRUE(out.counts.empty());
    EXPECT_TRUE(out.lower_counts.empty());
}

}  // namespace
}  // namespace tallisk::eclat
