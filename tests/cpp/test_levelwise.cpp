// Unit tests of the level-wise side of the engine: the closed/maximal filter over a
// table of every frequent set, against the brute-force selection on random data, in
// shuffled row and item order, on one thread and on the pool; and the level-wise miner
// against the depth-first one (rows, counts, the row limit at every edge), with levels
// cut into batches of every size. Both find sets one item shorter through the subset
// index, so these tests fail when its hash or its table is wrong; the rows it reports as
// held twice are checked by the input tests of tests/test_engine_levelwise.py and
// tests/test_engine_rules.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <string>

#include "common/error.hpp"
#include "common/tuning.hpp"
#include "engine/apriori.hpp"
#include "engine/filter.hpp"
#include "engine_oracles.hpp"

namespace tallisk::engine {
namespace {

using namespace oracles;

//! The sets in a shuffled row order, each row's ids shuffled too.
CsrTable<> shuffled_table(const Sets& sets, std::mt19937& rng) {
    std::vector<std::pair<std::vector<int32_t>, int64_t>> rows(sets.begin(), sets.end());
    std::shuffle(rows.begin(), rows.end(), rng);
    CsrTable<> t;
    for (auto& [row, count] : rows) {
        std::shuffle(row.begin(), row.end(), rng);
        t.add(row, count);
    }
    return t;
}

//! The rows of a table that no row one item longer holds (with its count, for closed):
//! the rule the filter judges any rows by. On every frequent set it gives the closed or
//! maximal sets, for tables too large for select's comparison of every pair of sets
//! (that one-item extensions suffice is checked by the small tables, which use select).
Sets select_by_extension(const Sets& rows, uint32_t n_items, Target target) {
    if (target == Target::all) return rows;
    Sets out;
    for (const auto& [s, c] : rows) {
        bool keep = true;
        for (uint32_t x = 0; x < n_items && keep; ++x) {
            if (std::binary_search(s.begin(), s.end(), static_cast<int32_t>(x))) continue;
            std::vector<int32_t> e = s;
            e.insert(std::upper_bound(e.begin(), e.end(), static_cast<int32_t>(x)), static_cast<int32_t>(x));
            const auto it = rows.find(e);
            keep = it == rows.end() || (target == Target::closed && it->second != c);
        }
        if (keep) out[s] = c;
    }
    return out;
}

//! filter_target's rows of `rows`, handed over shuffled, must ascend and be exactly the
//! sets want(target) gives.
template <class Oracle>
void expect_filter(const Sets& rows, std::mt19937& rng, Oracle want) {
    const CsrTable<> t = shuffled_table(rows, rng);
    for (Target target : {Target::all, Target::closed, Target::maximal}) {
        const std::vector<int64_t> kept = filter_target(t.offsets, t.items, t.counts, target);
        ASSERT_TRUE(std::is_sorted(kept.begin(), kept.end()));
        Sets got;
        for (int64_t r : kept) {
            std::vector<int32_t> row = t.row(static_cast<std::size_t>(r));
            std::sort(row.begin(), row.end());
            got[row] = t.counts[static_cast<std::size_t>(r)];
        }
        EXPECT_EQ(got.size(), kept.size());
        EXPECT_EQ(got, want(target)) << "target " << static_cast<int>(target);
    }
}

class EngineFilter : public ::testing::TestWithParam<Shape> {};

TEST_P(EngineFilter, KeepsTheClosedAndMaximalSetsOfTheOracle) {
    const Shape sh = GetParam();
    std::mt19937 rng(static_cast<unsigned>(sh.n_txn * 17 + sh.n_items));
    for (int trial = 0; trial < (sh.n_items > 14 ? 1 : 4); ++trial) {
        const Baskets baskets = random_baskets(rng, sh.n_txn, sh.n_items, sh.p);
        const Sets all = superset_sums(baskets, sh.n_items, sh.min_count);
        expect_filter(all, rng, [&](Target target) {
            return all.size() > 5000 ? select_by_extension(all, sh.n_items, target) : select(all, target);
        });
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, EngineFilter,
                         ::testing::Values(Shape{40, 10, 0.5, 4},   // dense: many closed sets differ from all
                                           Shape{25, 12, 0.8, 10},  // long sets, counts often equal
                                           Shape{300, 14, 0.1, 2},  // sparse
                                           Shape{0, 3, 0.5, 1},     // no rows at all
                                           // Over 16384 rows: the index is built and probed on the pool.
                                           Shape{60, 16, 0.75, 3}));

// The filter judges the rows it is given, whatever they are, by the rows one item
// longer: random subsets of the frequent sets, the empty set among them.
TEST(EngineFilter, JudgesAnyRowsByTheRowsOneItemLonger) {
    std::mt19937 rng(29);
    for (int trial = 0; trial < 20; ++trial) {
        const Baskets baskets = random_baskets(rng, 30, 9, 0.6);
        Sets rows;
        for (const auto& [s, c] : superset_sums(baskets, 9, 2))
            if (rng() % 3 != 0) rows.emplace(s, c);
        rows.emplace(std::vector<int32_t>{}, static_cast<int64_t>(baskets.size()));
        expect_filter(rows, rng, [&](Target target) { return select_by_extension(rows, 9, target); });
    }
}

// ---- the level-wise miner --------------------------------------------------------------

//! Mines with both algorithms under every target and the given length limits, batch
//! sizes and row limits: the same rows and counts (apriori's in canonical order, the
//! same for every batch size), and the row limit refused exactly when the depth-first
//! search refuses it.
void expect_same_as_depth_first(const Occurrences& o, uint32_t n_items, uint32_t min_count) {
    const std::size_t none = std::numeric_limits<std::size_t>::max();
    for (Target target : {Target::all, Target::closed, Target::maximal}) {
        for (auto [min_len, max_len] : std::vector<std::pair<std::size_t, std::size_t>>{
                 {1, none}, {1, 1}, {2, 2}, {2, 3}, {3, none}, {1, 2}, {5, 3}}) {
            MineOptions opt;
            opt.min_count = min_count;
            opt.target = target;
            opt.min_len = min_len;
            opt.max_len = max_len;
            SCOPED_TRACE(testing::Message()
                         << "target " << static_cast<int>(target) << " lengths " << min_len << ".." << max_len);
            const MineResult want = mine(o.txn, o.item, n_items, opt);
            const MineResult got = mine_apriori(o.txn, o.item, n_items, opt);
            EXPECT_EQ(rows(got.table), rows(want.table));
            EXPECT_EQ(got.n_transactions, want.n_transactions);
            EXPECT_EQ(got.item_counts, want.item_counts);
            const RowList listed = in_order(got.table);
            EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end(), canonical_less));
            for (std::size_t batch : {1, 3, 50}) {
                opt.batch_candidates = batch;
                EXPECT_EQ(in_order(mine_apriori(o.txn, o.item, n_items, opt).table), listed) << "batch " << batch;
            }
            // The row limit: every edge around the number of rows, and cuts inside it.
            const uint64_t n = listed.size();
            for (uint64_t limit : {n, n + 1, n - 1, n / 2, uint64_t{1}, uint64_t{0}}) {
                if (limit > n + 1) continue;  // n - 1 of no rows
                for (std::size_t batch : {std::size_t{1}, tuning::kAprioriBatchCandidates}) {
                    opt.max_itemsets = limit;
                    opt.batch_candidates = batch;
                    if (limit >= n) {
                        EXPECT_EQ(in_order(mine_apriori(o.txn, o.item, n_items, opt).table), listed);
                        continue;
                    }
                    try {
                        mine_apriori(o.txn, o.item, n_items, opt);
                        ADD_FAILURE() << "no error for the limit " << limit << " of " << n << " rows";
                    } catch (const InputError& e) {
                        EXPECT_EQ(std::string(e.what()), "more than " + std::to_string(limit) +
                                                             " frequent itemsets; raise the minimum support or set "
                                                             "max_len");
                    }
                }
            }
        }
    }
}

class EngineApriori : public ::testing::TestWithParam<Shape> {};

TEST_P(EngineApriori, GivesTheRowsOfTheDepthFirstSearch) {
    const Shape sh = GetParam();
    std::mt19937 rng(static_cast<unsigned>(sh.n_txn * 13 + sh.n_items));
    for (int trial = 0; trial < 3; ++trial) {
        const Baskets baskets = random_baskets(rng, sh.n_txn, sh.n_items, sh.p);
        expect_same_as_depth_first(occurrences(baskets), sh.n_items + 2, sh.min_count);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, EngineApriori,
                         ::testing::Values(Shape{40, 10, 0.5, 4},    // dense: bitsets
                                           Shape{25, 12, 0.8, 10},   // long sets
                                           Shape{600, 60, 0.05, 3},  // sparse: lists
                                           Shape{0, 3, 0.5, 1},      // no transactions
                                           Shape{30, 6, 0.9, 31}));  // nothing frequent

// A level of thousands of candidates in many batches of the default size, counted on
// the pool, and the limit reached in the middle of it.
TEST(EngineApriori, LargeLevelsOnThePool) {
    std::mt19937 rng(41);
    const Baskets baskets = random_baskets(rng, 3000, 120, 0.15);
    const Occurrences o = occurrences(baskets);
    MineOptions opt;
    opt.min_count = 10;
    const auto want = rows(mine(o.txn, o.item, 120, opt).table);
    const Table got = mine_apriori(o.txn, o.item, 120, opt).table;
    EXPECT_EQ(rows(got), want);
    ASSERT_GT(std::count_if(want.begin(), want.end(), [](const auto& r) { return r.first.size() == 2; }),
              static_cast<long>(tuning::kAprioriBatchCandidates));
    opt.max_itemsets = want.size() - 1000;
    EXPECT_THROW(mine_apriori(o.txn, o.item, 120, opt), InputError);
}

}  // namespace
}  // namespace tallisk::engine
