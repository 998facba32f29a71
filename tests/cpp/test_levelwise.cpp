// Unit tests of the level-wise side of the engine: the closed/maximal filter over a
// table of every frequent set, against the brute-force selection on random data, in
// shuffled row and item order, on one thread and on the pool; and the level-wise miner
// against the depth-first one (rows, counts, the row limit at every edge), with levels
// cut into batches of every size.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>
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

//! A set table as the caller hands it over: CSR rows with counts.
struct CsrTable {
    std::vector<int64_t> offsets{0};
    std::vector<int32_t> items;
    std::vector<int64_t> counts;

    void add(const std::vector<int32_t>& row, int64_t count) {
        items.insert(items.end(), row.begin(), row.end());
        offsets.push_back(static_cast<int64_t>(items.size()));
        counts.push_back(count);
    }
    std::vector<int32_t> row(std::size_t r) const {
        return {items.begin() + offsets[r], items.begin() + offsets[r + 1]};
    }
};

//! The sets in a shuffled row order, each row's ids shuffled too.
CsrTable shuffled_table(const Sets& sets, std::mt19937& rng) {
    std::vector<std::pair<std::vector<int32_t>, int64_t>> rows(sets.begin(), sets.end());
    std::shuffle(rows.begin(), rows.end(), rng);
    CsrTable t;
    for (auto& [row, count] : rows) {
        std::shuffle(row.begin(), row.end(), rng);
        t.add(row, count);
    }
    return t;
}

//! The closed or maximal sets by their one-item extensions, for tables too large for
//! select's comparison of every pair of sets (that one-item extensions suffice is
//! checked by the small tables, which use select).
Sets select_by_extension(const Sets& all, uint32_t n_items, Target target) {
    if (target == Target::all) return all;
    Sets out;
    for (const auto& [s, c] : all) {
        bool keep = true;
        for (uint32_t x = 0; x < n_items && keep; ++x) {
            if (std::binary_search(s.begin(), s.end(), static_cast<int32_t>(x))) continue;
            std::vector<int32_t> e = s;
            e.insert(std::upper_bound(e.begin(), e.end(), static_cast<int32_t>(x)), static_cast<int32_t>(x));
            const auto it = all.find(e);
            keep = it == all.end() || (target == Target::closed && it->second != c);
        }
        if (keep) out[s] = c;
    }
    return out;
}

//! filter_target's rows must ascend and be exactly the oracle's sets.
void expect_filter(const Sets& all, uint32_t n_items, std::mt19937& rng) {
    const CsrTable t = shuffled_table(all, rng);
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
        const Sets want = all.size() > 5000 ? select_by_extension(all, n_items, target) : select(all, target);
        EXPECT_EQ(got, want) << "target " << static_cast<int>(target);
    }
}

struct FilterShape {
    std::size_t n_txn;
    uint32_t n_items;
    double p;
    uint32_t min_count;
};

class EngineFilter : public ::testing::TestWithParam<FilterShape> {};

TEST_P(EngineFilter, KeepsTheClosedAndMaximalSetsOfTheOracle) {
    const FilterShape sh = GetParam();
    std::mt19937 rng(static_cast<unsigned>(sh.n_txn * 17 + sh.n_items));
    for (int trial = 0; trial < (sh.n_items > 14 ? 1 : 4); ++trial) {
        const Baskets baskets = random_baskets(rng, sh.n_txn, sh.n_items, sh.p);
        expect_filter(superset_sums(baskets, sh.n_items, sh.min_count), sh.n_items, rng);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, EngineFilter,
                         ::testing::Values(FilterShape{40, 10, 0.5, 4},   // dense: many closed sets differ from all
                                           FilterShape{25, 12, 0.8, 10},  // long sets, counts often equal
                                           FilterShape{300, 14, 0.1, 2},  // sparse
                                           FilterShape{0, 3, 0.5, 1},     // no rows at all
                                           // Over 16384 rows: the index is built and probed on the pool.
                                           FilterShape{60, 16, 0.75, 3}));

// The filter judges the rows it is given: the empty set is a row like another (its
// one-item supersets judge it), and only rows one item longer judge a row ({0, 1, 2}
// does not judge {2}; {0, 2} does).
TEST(EngineFilter, JudgesTheRowsItIsGiven) {
    CsrTable t;
    t.add({}, 5);
    t.add({2}, 5);
    t.add({0}, 3);
    t.add({0, 1, 2}, 1);
    t.add({2, 0}, 3);
    const auto keep = [&](Target target) { return filter_target(t.offsets, t.items, t.counts, target); };
    EXPECT_EQ(keep(Target::closed), (std::vector<int64_t>{1, 3, 4}));
    EXPECT_EQ(keep(Target::maximal), (std::vector<int64_t>{3}));
    EXPECT_EQ(keep(Target::all), (std::vector<int64_t>{0, 1, 2, 3, 4}));
}

TEST(EngineFilter, BadTablesNameTheirFault) {
    struct Case {
        std::vector<int64_t> offsets;
        std::vector<int32_t> items;
        std::vector<int64_t> counts;
        const char* message;
    };
    const std::vector<Case> cases = {
        {{}, {}, {}, "offsets must hold at least one value (0 for no rows)"},
        {{0, 2, 1}, {0, 1}, {1, 1}, "offsets must not decrease: offsets[2] = 1 < offsets[1] = 2"},
        {{0, 1}, {-4}, {1}, "items[0] = -4 is negative"},
        {{0, 1}, {0}, {1, 2}, "counts holds 2 values but offsets describes 1 rows"},
        {{0, 3}, {4, 2, 4}, {1}, "items[2] = 4 repeats an item of row 0"},
        {{0, 1, 1, 3, 5, 6, 6}, {7, 1, 2, 2, 1, 7}, {1, 1, 1, 1, 1, 1}, "rows 2 and 3 hold the same itemset"},
    };
    for (const Case& c : cases) {
        try {
            filter_target(c.offsets, c.items, c.counts, Target::closed);
            ADD_FAILURE() << "no error for: " << c.message;
        } catch (const InputError& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
}

// The index finds a set without one of its items by the whole set's hash; rows equal
// but for one item must never be confused, whatever the item.
TEST(EngineSubsetIndex, FindsEachSubsetAndNothingElse) {
    std::mt19937 rng(9);
    std::vector<uint32_t> items;
    const std::size_t width = 4, n = 3000;
    for (std::size_t r = 0; r < n; ++r) {
        std::vector<uint32_t> row;
        while (row.size() < width) {
            const uint32_t x = rng() % 40;
            if (std::find(row.begin(), row.end(), x) == row.end()) row.push_back(x);
        }
        std::sort(row.begin(), row.end());
        items.insert(items.end(), row.begin(), row.end());
    }
    const RowsView view{{}, width, items, n};
    const SubsetIndex index(view);
    std::map<std::vector<uint32_t>, uint32_t> first;
    for (uint32_t r = 0; r < n; ++r) {
        const auto row = view.row(r);
        first.emplace(std::vector<uint32_t>(row.begin(), row.end()), r);
    }
    for (int probe = 0; probe < 2000; ++probe) {
        std::vector<uint32_t> set;
        while (set.size() < width + 1) {
            const uint32_t x = rng() % 40;
            if (std::find(set.begin(), set.end(), x) == set.end()) set.push_back(x);
        }
        std::sort(set.begin(), set.end());
        const uint64_t h = SubsetIndex::hash_of(set);
        for (std::size_t skip = 0; skip < set.size(); ++skip) {
            std::vector<uint32_t> sub = set;
            sub.erase(sub.begin() + static_cast<std::ptrdiff_t>(skip));
            const uint32_t got = index.find_without(set, h, skip);
            const auto it = first.find(sub);
            if (it == first.end()) {
                ASSERT_EQ(got, SubsetIndex::kNone);
            } else {
                const auto row = view.row(got);
                ASSERT_TRUE(std::equal(row.begin(), row.end(), sub.begin(), sub.end()));
            }
            ASSERT_EQ(index.find(sub, SubsetIndex::hash_of(sub)), got);
        }
    }
    const bool has_copies = first.size() < n;
    EXPECT_EQ(index.first_duplicate().first != SubsetIndex::kNone, has_copies);
}

// ---- the level-wise miner --------------------------------------------------------------

//! The rows of a table in order, for comparing orders as well as sets.
std::vector<std::pair<std::vector<int32_t>, int64_t>> row_list(const Table& t) {
    std::vector<std::pair<std::vector<int32_t>, int64_t>> out;
    for (std::size_t k = 0; k + 1 < t.offsets.size(); ++k)
        out.emplace_back(std::vector<int32_t>(t.items.begin() + t.offsets[k], t.items.begin() + t.offsets[k + 1]),
                         t.counts[k]);
    return out;
}

//! By length, then lexicographically by id.
bool canonical(const std::vector<std::pair<std::vector<int32_t>, int64_t>>& rows) {
    return std::is_sorted(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        if (a.first.size() != b.first.size()) return a.first.size() < b.first.size();
        return a.first < b.first;
    });
}

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
            const auto listed = row_list(got.table);
            EXPECT_TRUE(canonical(listed));
            for (std::size_t batch : {1, 3, 50}) {
                opt.batch_candidates = batch;
                EXPECT_EQ(row_list(mine_apriori(o.txn, o.item, n_items, opt).table), listed) << "batch " << batch;
            }
            // The row limit: every edge around the number of rows, and cuts inside it.
            const uint64_t n = listed.size();
            for (uint64_t limit : {n, n + 1, n - 1, n / 2, uint64_t{1}, uint64_t{0}}) {
                if (limit > n + 1) continue;  // n - 1 of no rows
                for (std::size_t batch : {std::size_t{1}, tuning::kAprioriBatchCandidates}) {
                    opt.max_itemsets = limit;
                    opt.batch_candidates = batch;
                    if (limit >= n) {
                        EXPECT_EQ(row_list(mine_apriori(o.txn, o.item, n_items, opt).table), listed);
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

class EngineApriori : public ::testing::TestWithParam<FilterShape> {};

TEST_P(EngineApriori, GivesTheRowsOfTheDepthFirstSearch) {
    const FilterShape sh = GetParam();
    std::mt19937 rng(static_cast<unsigned>(sh.n_txn * 13 + sh.n_items));
    for (int trial = 0; trial < 3; ++trial) {
        const Baskets baskets = random_baskets(rng, sh.n_txn, sh.n_items, sh.p);
        expect_same_as_depth_first(occurrences(baskets), sh.n_items + 2, sh.min_count);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, EngineApriori,
                         ::testing::Values(FilterShape{40, 10, 0.5, 4},    // dense: bitsets
                                           FilterShape{25, 12, 0.8, 10},   // long sets
                                           FilterShape{600, 60, 0.05, 3},  // sparse: lists
                                           FilterShape{0, 3, 0.5, 1},      // no transactions
                                           FilterShape{30, 6, 0.9, 31}));  // nothing frequent

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
