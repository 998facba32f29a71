// Unit tests of the engine's parts: the intersections' early exit, the reassembly of task
// output in search order, the canonical order, and the miner and counter against brute
// force on random data in both set forms. The input checks' messages, and the search
// order the vertical view's ranking gives, are tested by tests/test_engine_mine.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <random>

#include "common/index.hpp"
#include "engine/count.hpp"
#include "engine/data.hpp"
#include "engine/mine.hpp"
#include "engine/output.hpp"
#include "engine/setops.hpp"
#include "engine_oracles.hpp"

namespace tallisk::engine {
namespace {

using namespace oracles;

//! The canonical order's oracle: a stable sort, so equal rows keep their order.
RowList sorted_canonically(RowList rows) {
    std::stable_sort(rows.begin(), rows.end(), canonical_less);
    return rows;
}

//! Mines every target of the search and checks it against the oracle's sets; splitting
//! the search into tasks of each size must give the same rows in the same order, and
//! in canonical order the search's rows sorted.
void expect_mine(const Occurrences& o, uint32_t n_items, uint32_t min_count, const Sets& all,
                 std::initializer_list<double> task_works, int64_t n_transactions = -1) {
    for (Target target : {Target::all, Target::closed, Target::maximal}) {
        MineOptions opt;
        opt.min_count = min_count;
        opt.target = target;
        const MineResult whole = mine(o.txn, o.item, n_items, opt);
        EXPECT_EQ(rows(whole.table), select(all, target)) << "target " << static_cast<int>(target);
        if (n_transactions >= 0) {
            EXPECT_EQ(whole.n_transactions, n_transactions);
        }
        const RowList canonical = sorted_canonically(in_order(whole.table));
        for (double task_work : task_works) {
            opt.task_work = task_work;
            opt.order = Order::search;
            const Table t = mine(o.txn, o.item, n_items, opt).table;
            EXPECT_EQ(t.offsets, whole.table.offsets) << "task work " << task_work;
            EXPECT_EQ(t.items, whole.table.items) << "task work " << task_work;
            EXPECT_EQ(t.counts, whole.table.counts) << "task work " << task_work;
            opt.order = Order::canonical;
            EXPECT_EQ(in_order(mine(o.txn, o.item, n_items, opt).table), canonical) << "task work " << task_work;
        }
    }
}

TEST(EngineSetOps, IntersectionsAreExactAtOrAboveTheFloor) {
    std::mt19937 rng(3);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<uint32_t> a, b;
        const uint32_t span = 50 + static_cast<uint32_t>(rng() % 5000);
        for (uint32_t x = 0; x < span; ++x) {
            if (rng() % 3 == 0) a.push_back(x);
            if (rng() % (trial % 2 ? 2 : 90) == 0) b.push_back(x);
        }
        std::vector<uint32_t> want;
        std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(want));
        const auto floor = static_cast<uint32_t>(rng() % (want.size() + 5));
        std::vector<uint32_t> out(std::max(a.size(), b.size()) + 1);
        const uint32_t c = intersect<true>(a.data(), static_cast<uint32_t>(a.size()), b.data(),
                                           static_cast<uint32_t>(b.size()), floor, out.data());
        if (want.size() >= floor) {
            ASSERT_EQ(c, want.size());
            ASSERT_TRUE(std::equal(want.begin(), want.end(), out.begin()));
        } else {
            ASSERT_LT(c, floor);
        }
        EXPECT_EQ(intersect<false>(a.data(), static_cast<uint32_t>(a.size()), b.data(), static_cast<uint32_t>(b.size()),
                                   0, nullptr),
                  want.size());
    }
}

// Rows of the all-sets search are written as steps (path length, item, count) and
// spelled out when the table is put together. A random walk of steps, split over three
// chunks the way a task split lays them out, must spell the rows a naive reading gives:
// each row is the sorted path plus its item. Paths reach past the short-row fast path.
TEST(EngineOutput, StepsSpellTheRowsOfTheirPaths) {
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
        Chunk want;
        // Appends a walk of n steps that never goes above depth `floor`, from `path`.
        auto walk = [&](Chunk& c, std::vector<int32_t> path, std::size_t floor, int n) {
            for (int i = 0; i < n; ++i) {
                // Mostly deeper, so that paths grow past the short rows.
                std::size_t depth = rng() % 3 ? path.size() : floor + rng() % (path.size() - floor + 1);
                if (depth > 24) depth = floor + rng() % (25 - floor);
                path.resize(depth);
                int32_t id;
                do {
                    id = static_cast<int32_t>(rng() % 60);
                } while (std::find(path.begin(), path.end(), id) != path.end());
                const uint32_t count = rng() % 4 == 0 ? 0 : 1 + rng() % 100;
                c.add_step(Step{static_cast<uint32_t>(depth), id, count});
                if (count) {
                    std::vector<int32_t> row = path;
                    row.push_back(id);
                    std::sort(row.begin(), row.end());
                    want.items.insert(want.items.end(), row.begin(), row.end());
                    want.counts.push_back(count);
                    want.lens.push_back(static_cast<uint32_t>(row.size()));
                }
                path.push_back(id);
            }
            return path;
        };
        OutNode root;
        const std::vector<int32_t> at_split = walk(root.current, {}, 0, static_cast<int>(rng() % 200));
        OutNode* sub = root.split(at_split);
        walk(sub->current, at_split, at_split.size(), static_cast<int>(rng() % 200));
        walk(root.current, at_split, 0, static_cast<int>(rng() % 200));
        const Table t = flatten(std::move(root));
        ASSERT_EQ(plain(t.items), plain(want.items));
        ASSERT_EQ(plain(t.counts), plain(want.counts));
        ASSERT_EQ(t.offsets.size(), want.lens.size() + 1);
        for (std::size_t i = 0; i < want.lens.size(); ++i) ASSERT_EQ(t.offsets[i + 1] - t.offsets[i], want.lens[i]);
    }
    EXPECT_EQ(plain(flatten(OutNode{}).offsets), (std::vector<int64_t>{0}));
}

// Random tables in every key layout: alphabets of up to 64 ids (one-word masks), of a
// few hundred (multi-word masks for long rows, packed codes for short ones) and of
// thousands (multi-word packed keys). Tables of many rows of few lengths reach the
// counting sorts of large buckets and the pool's chunks; repeated rows (told apart by
// their counts) must keep their order.
TEST(EngineOrder, CanonicalOrderSortsByLengthThenItems) {
    std::mt19937 rng(29);
    struct Case {
        uint32_t alphabet, max_len;
        std::size_t n_rows;
    };
    for (const Case cs : {Case{1, 1, 5}, Case{9, 4, 300}, Case{37, 16, 60000}, Case{64, 30, 5000}, Case{200, 40, 4000},
                          Case{300, 3, 200000}, Case{5000, 12, 8000}, Case{70000, 9, 3000}}) {
        SCOPED_TRACE(testing::Message() << "alphabet " << cs.alphabet << ", rows " << cs.n_rows);
        // Ids spread out, so that codes and ids differ.
        std::vector<int32_t> alphabet;
        for (uint32_t c = 0; c < cs.alphabet; ++c) alphabet.push_back(static_cast<int32_t>(3 * c + rng() % 3));
        // Few lengths, most rows of one, and rows drawn from a small pool of sets: a
        // bucket of the first items then holds many rows and some rows repeat.
        std::vector<std::vector<int32_t>> pool;
        for (std::size_t k = 0; k < std::min<std::size_t>(cs.n_rows / 3 + 1, 20000); ++k) {
            const std::size_t len = std::min<std::size_t>(cs.alphabet, rng() % 4 ? cs.max_len : 1 + rng() % cs.max_len);
            std::vector<int32_t> row;
            // Dense in the low codes, as frequent itemsets of dense data are.
            for (uint32_t c = 0; c < cs.alphabet && row.size() < len; ++c)
                if (rng() % 3 != 0 || cs.alphabet - c <= len - row.size()) row.push_back(alphabet[c]);
            pool.push_back(row);
        }
        Table t;
        t.offsets.push_back(0);
        for (std::size_t r = 0; r < cs.n_rows; ++r) {
            const auto& row = pool[rng() % pool.size()];
            t.items.insert(t.items.end(), row.begin(), row.end());
            t.offsets.push_back(static_cast<int64_t>(t.items.size()));
            t.counts.push_back(static_cast<int64_t>(r));
        }
        const RowList want = sorted_canonically(in_order(t));
        canonical_order(t, alphabet);
        ASSERT_EQ(t.offsets.size(), want.size() + 1);
        EXPECT_EQ(t.offsets.back(), static_cast<int64_t>(t.items.size()));
        EXPECT_TRUE(in_order(t) == want);
    }
}

class EngineMine : public ::testing::TestWithParam<Shape> {};

TEST_P(EngineMine, EveryTargetMatchesBruteForce) {
    const Shape sh = GetParam();
    std::mt19937 rng(static_cast<unsigned>(sh.n_txn * 31 + sh.n_items));
    for (int trial = 0; trial < 5; ++trial) {
        const Baskets baskets = random_baskets(rng, sh.n_txn, sh.n_items, sh.p);
        const Occurrences o = occurrences(baskets);
        // A basket without items leaves no occurrence, so it is no transaction; tasks
        // go down to single members, runs of a few and deeper subtrees.
        expect_mine(o, sh.n_items, sh.min_count, superset_sums(baskets, sh.n_items, sh.min_count), {1.0, 30.0, 300.0},
                    std::count_if(baskets.begin(), baskets.end(), [](const auto& b) { return !b.empty(); }));
    }
}

// Every shape here is dense enough for bitsets: a set's density counts only the
// baskets that hold an item. The list form has its own test below.
INSTANTIATE_TEST_SUITE_P(Forms, EngineMine,
                         ::testing::Values(Shape{40, 10, 0.5, 6},     // dense
                                           Shape{30, 12, 0.7, 12},    // long sets
                                           Shape{400, 14, 0.02, 2},   // most baskets empty
                                           Shape{2000, 12, 0.03, 3},  // more transactions
                                           Shape{0, 4, 0.5, 1}));

//! Every frequent set by intersecting sorted transaction lists along a prefix tree:
//! the plainest exact miner, for item spaces too large to enumerate.
Sets tidset_oracle(const Baskets& baskets, uint32_t n_items, uint32_t min_count) {
    std::vector<std::vector<uint32_t>> tids(n_items);
    for (uint32_t t = 0; t < baskets.size(); ++t)
        for (uint32_t x : baskets[t]) tids[x].push_back(t);
    Sets out;
    std::vector<int32_t> prefix;
    auto grow = [&](auto&& self, const std::vector<uint32_t>& have, uint32_t from) -> void {
        for (uint32_t x = from; x < n_items; ++x) {
            std::vector<uint32_t> both;
            std::set_intersection(have.begin(), have.end(), tids[x].begin(), tids[x].end(), std::back_inserter(both));
            if (both.size() < min_count) continue;
            prefix.push_back(static_cast<int32_t>(x));
            out[prefix] = static_cast<int64_t>(both.size());
            self(self, both, x + 1);
            prefix.pop_back();
        }
    };
    std::vector<uint32_t> every(baskets.size());
    for (uint32_t t = 0; t < every.size(); ++t) every[t] = t;
    grow(grow, every, 0);
    return out;
}

// Sparse baskets (the list form): two to four of 150 items, a quarter of them also
// holding part of one of four planted patterns, so that sets of up to six items are
// frequent. Item 149, rarer than 5 and 17, is in every basket that holds both: {5, 17}
// is not closed, which only an item ranked before both tells, and the test must find it
// below the first level. Tasks of every kind: single members, runs of members, copied
// deeper subtrees.
TEST(EngineMine, ListFormMatchesTheTidsetOracle) {
    constexpr uint32_t kItems = 150, kMinCount = 12;
    std::mt19937 rng(23);
    const std::vector<std::vector<uint32_t>> patterns = {
        {3, 17, 29, 41, 52, 60}, {5, 17, 88, 90, 120}, {100, 101, 102, 140}, {7, 29, 60, 131}};
    Baskets baskets(3000);
    for (auto& b : baskets) {
        const auto n = 2 + rng() % 3;
        for (unsigned k = 0; k < n; ++k) b.push_back(static_cast<uint32_t>(rng() % kItems));
        if (rng() % 4 == 0)
            for (uint32_t x : patterns[rng() % patterns.size()])
                if (rng() % 5 != 0) b.push_back(x);
        if (std::count(b.begin(), b.end(), 5u) && std::count(b.begin(), b.end(), 17u)) b.push_back(149);
        std::sort(b.begin(), b.end());
        b.erase(std::unique(b.begin(), b.end()), b.end());
    }
    const Occurrences o = occurrences(baskets);
    ASSERT_FALSE(build_vertical(build_transaction_rows(o.txn, o.item, kItems), kMinCount).bits);
    const Sets all = tidset_oracle(baskets, kItems, kMinCount);
    ASSERT_GT(std::count_if(all.begin(), all.end(), [](const auto& s) { return s.first.size() >= 4; }), 20);
    expect_mine(o, kItems, kMinCount, all, {1.0, 100.0, 2000.0});
}

// Tasks below the first level on lists: most transactions hold one item no other holds,
// so the view's mean row is short and the first level gathers its members into runs,
// while the rows below them are long: deeper members become tasks with their own copy
// of their (cut) rows and of the transactions behind them.
TEST(EngineMine, ListTasksBelowTheFirstLevelMatchTheOracle) {
    constexpr uint32_t kPattern = 14, kMinCount = 40, kLone = 30000;
    std::mt19937 rng(31);
    Baskets baskets = random_baskets(rng, 1500, kPattern, 0.45);
    const Sets all = superset_sums(baskets, kPattern, kMinCount);
    for (uint32_t x = 0; x < kLone; ++x) baskets.push_back({kPattern + x});
    std::shuffle(baskets.begin(), baskets.end(), rng);
    const Occurrences o = occurrences(baskets);
    ASSERT_FALSE(build_vertical(build_transaction_rows(o.txn, o.item, kPattern + kLone), kMinCount).bits);
    expect_mine(o, kPattern + kLone, kMinCount, all, {300.0, 3000.0});
}

// Closed and maximal sets of sparse data in canonical order may be filtered from the
// all-sets search: they must be the direct search's rows, sorted, with an item of every
// basket (left out of the view) merged into each, for each floor on the length and the
// row guard (a pattern of four items makes sets of every length asked for); and so when a planted pattern of 14 items
// makes the all-sets search run past its bound (16,384 subsets against 15,000 occurrences) and the direct search takes
// over.
TEST(EngineMine, SparseClosedAndMaximalMatchTheDirectSearch) {
    constexpr uint32_t kItems = 151, kBase = 150, kMinCount = 12;
    for (const bool planted : {false, true}) {
        SCOPED_TRACE(planted ? "long pattern" : "no long pattern");
        std::mt19937 rng(41);
        Baskets baskets(3000);
        for (std::size_t t = 0; t < baskets.size(); ++t) {
            auto& b = baskets[t];
            for (unsigned k = 0, n = 2 + rng() % 3; k < n; ++k) b.push_back(static_cast<uint32_t>(rng() % kBase));
            if (t % 20 == 1)
                for (uint32_t x = 20; x < 24; ++x) b.push_back(x);
            if (planted && t % 75 == 0)
                for (uint32_t x = 0; x < 14; ++x) b.push_back(x);
            b.push_back(kBase);
            std::sort(b.begin(), b.end());
            b.erase(std::unique(b.begin(), b.end()), b.end());
        }
        const Occurrences o = occurrences(baskets);
        ASSERT_FALSE(build_vertical(build_transaction_rows(o.txn, o.item, kItems), kMinCount).bits);
        MineOptions opt;
        opt.min_count = kMinCount;
        const std::size_t n_all = mine(o.txn, o.item, kItems, opt).table.counts.size();
        if (planted) {
            // Each set of the view comes again with the base item, which is also a set.
            const std::size_t n_view_sets = (n_all - 1) / 2, view_occurrences = o.item.size() - baskets.size();
            ASSERT_GT(n_view_sets, std::max<std::size_t>(view_occurrences / 2, tuning::kEngineSparseRouteMinRows));
        }
        for (Target target : {Target::closed, Target::maximal}) {
            for (std::size_t min_len : {1, 2, 3}) {
                SCOPED_TRACE(testing::Message() << "target " << static_cast<int>(target) << ", min_len " << min_len);
                opt.target = target;
                opt.min_len = min_len;
                opt.order = Order::search;
                const RowList want = sorted_canonically(in_order(mine(o.txn, o.item, kItems, opt).table));
                ASSERT_FALSE(want.empty());
                opt.order = Order::canonical;
                EXPECT_TRUE(in_order(mine(o.txn, o.item, kItems, opt).table) == want);
                opt.max_itemsets = want.size();
                EXPECT_EQ(mine(o.txn, o.item, kItems, opt).table.counts.size(), want.size());
                opt.max_itemsets = want.size() - 1;
                EXPECT_THROW(mine(o.txn, o.item, kItems, opt), InputError);
                opt.max_itemsets = std::numeric_limits<uint64_t>::max();
            }
        }
    }
}

// Searches large enough to be split into tasks, over a view built in pieces on the pool
// (the shapes above stay on one thread): the results must not depend on that.
TEST(EngineMine, SearchesSplitIntoTasksMatchTheOracle) {
    std::mt19937 rng(17);
    for (const Shape sh : {Shape{30000, 16, 0.3, 200}, Shape{300000, 16, 0.02, 60}}) {
        const Baskets baskets = random_baskets(rng, sh.n_txn, sh.n_items, sh.p);
        const Occurrences o = occurrences(baskets);
        const Sets all = superset_sums(baskets, sh.n_items, sh.min_count);
        ASSERT_GT(all.size(), 100u);
        SCOPED_TRACE(testing::Message() << "p " << sh.p);
        expect_mine(o, sh.n_items, sh.min_count, all, {});
    }
}

TEST(EngineCount, MatchesBruteForceInBothForms) {
    std::mt19937 rng(5);
    for (double p : {0.02, 0.5}) {
        const Baskets baskets = random_baskets(rng, 600, 12, p);
        const Occurrences o = occurrences(baskets);
        std::vector<int64_t> offsets = {0};
        std::vector<int32_t> items;
        for (int c = 0; c < 700; ++c) {
            const auto len = rng() % 5;
            for (unsigned j = 0; j < len; ++j) items.push_back(static_cast<int32_t>(rng() % 14));
            offsets.push_back(static_cast<int64_t>(items.size()));
        }
        const CountResult r = count_candidates(o.txn, o.item, 14, offsets, items);
        ASSERT_EQ(r.counts.size(), offsets.size() - 1);
        for (std::size_t c = 0; c + 1 < offsets.size(); ++c) {
            int64_t want = 0;
            for (const auto& b : baskets) {
                if (b.empty()) continue;  // no occurrence, no transaction
                bool all_in = true;
                for (int64_t j = offsets[c]; j < offsets[c + 1]; ++j)
                    all_in &= std::find(b.begin(), b.end(), static_cast<uint32_t>(items[j])) != b.end();
                want += all_in;
            }
            EXPECT_EQ(r.counts[c], want) << "candidate " << c;
        }
    }
}

}  // namespace
}  // namespace tallisk::engine
