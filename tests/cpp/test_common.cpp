// Unit tests of the transaction model (large inputs of every shape against an oracle),
// the CSR rows it is made of, and the worker-pool helpers, in the parent and in a forked
// child, on every pool size chosen. The inverted index's item side is checked through the
// pipelines that use it (tests/test_variants.py), the model's size limit at its edge by
// tests/test_boundary.py.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <numeric>
#include <random>
#include <set>
#include <thread>
#include <tuple>

#include "common/csr.hpp"
#include "common/error.hpp"
#include "common/index.hpp"
#include "common/pool.hpp"
#include "engine_oracles.hpp"

namespace tallisk {
namespace {

using engine::oracles::PoolSize;

TEST(TransactionRows, LargeInputsOfEveryShapeMatchAFirstAppearanceOracle) {
    // Large enough to be read in pieces when the labels never decrease; each shape
    // breaks that at a different place, where the serial reading must take over.
    std::mt19937 rng(5);
    const uint32_t n_items = 300;
    const std::size_t n = 200000;
    for (int shape = 0; shape < 4; ++shape) {
        std::vector<int64_t> txn(n);
        std::vector<int32_t> items(n);
        int64_t label = -1000;
        for (std::size_t i = 0; i < n; ++i) {
            if (i == 0 || rng() % 10 == 0) label += 1 + rng() % 3;
            txn[i] = label;
            items[i] = static_cast<int32_t>(rng() % n_items);
        }
        if (shape == 1) txn[n - 7] = txn[3];                     // a label recurs near the end
        if (shape == 2) std::swap(txn[n / 2], txn[n / 2 + 40]);  // one descent mid-way
        if (shape == 3) txn[n - 1] = txn[n - 2];                 // still ascending
        const TransactionRows rows = build_transaction_rows(txn, items, n_items);
        // The oracle: transactions numbered by first appearance, distinct items each.
        std::map<int64_t, uint32_t> dense;
        std::vector<std::set<uint32_t>> want;
        std::vector<uint32_t> counts(n_items, 0);
        for (std::size_t i = 0; i < n; ++i) {
            const auto [it, fresh] = dense.try_emplace(txn[i], static_cast<uint32_t>(dense.size()));
            if (fresh) want.emplace_back();
            if (want[it->second].insert(static_cast<uint32_t>(items[i])).second) ++counts[items[i]];
        }
        ASSERT_EQ(rows.n_transactions, want.size()) << "shape " << shape;
        for (uint32_t t = 0; t < rows.n_transactions; ++t) {
            const auto got = rows.txn(t);
            ASSERT_EQ(std::vector<uint32_t>(got.begin(), got.end()),
                      std::vector<uint32_t>(want[t].begin(), want[t].end()))
                << "shape " << shape << " transaction " << t;
        }
        EXPECT_EQ(rows.item_counts, counts) << "shape " << shape;
    }
    // A bad item or short item_ids is reported however far into the input it lies.
    std::vector<int64_t> txn(n);
    std::iota(txn.begin(), txn.end(), int64_t{0});
    std::vector<int32_t> items(n, 1);
    items[n - 3] = static_cast<int32_t>(n_items);
    EXPECT_THROW(build_transaction_rows(txn, items, n_items), Panic);
    items[n - 3] = 0;
    EXPECT_THROW(build_transaction_rows(txn, std::span<const int32_t>(items).first(n - 1), n_items), Panic);
}

//! Random ragged rows (some empty, repeats and disorder allowed) and their CSR packing.
std::vector<std::vector<uint32_t>> ragged_rows(std::mt19937& rng, std::size_t n_rows) {
    std::vector<std::vector<uint32_t>> rows(n_rows);
    for (auto& row : rows) {
        row.resize(rng() % 3 == 0 ? 0 : rng() % 12);
        for (uint32_t& v : row) v = rng() % 20;
    }
    return rows;
}

IdRows pack(const std::vector<std::vector<uint32_t>>& rows) {
    IdRows csr;
    csr.offsets.push_back(0);
    for (const auto& row : rows) {
        csr.values.insert(csr.values.end(), row.begin(), row.end());
        csr.offsets.push_back(static_cast<uint32_t>(csr.values.size()));
    }
    return csr;
}

TEST(SortDedupCsr, LeavesEachRowSortedAndDistinctAndRefusesBrokenOffsets) {
    std::mt19937 rng(4);
    // The last rounds are large enough to be split over the pool; of those, one has rows
    // that are already sorted and distinct (nothing moves) and one has repeats.
    for (int round = 0; round < 32; ++round) {
        auto rows = ragged_rows(rng, round < 30 ? 1 + rng() % 40 : 40000);
        if (round == 30)
            for (auto& row : rows) {
                std::sort(row.begin(), row.end());
                row.erase(std::unique(row.begin(), row.end()), row.end());
            }
        // Only the first n_rows rows are kept; the rest of the table is dropped.
        const std::size_t n_rows = round % 3 == 0 ? rows.size() - rng() % rows.size() : rows.size();
        IdRows got = sort_dedup_csr(pack(rows), n_rows);
        ASSERT_EQ(got.rows(), n_rows) << "round " << round;
        EXPECT_EQ(got.offsets.back(), got.values.size());
        for (std::size_t i = 0; i < n_rows; ++i) {
            const std::set<uint32_t> want(rows[i].begin(), rows[i].end());
            const auto row = got.row(i);
            EXPECT_EQ(std::vector<uint32_t>(row.begin(), row.end()), std::vector<uint32_t>(want.begin(), want.end()))
                << "round " << round << " row " << i;
        }
        got.release();
        EXPECT_EQ(got.rows(), 0u);
        EXPECT_EQ(got.values.capacity(), 0u);
    }
    EXPECT_EQ((Csr<std::size_t, uint32_t>{}.rows()), 0u);
    EXPECT_THROW(sort_dedup_csr({{0, 2}, {1, 2}}, 2), Panic);     // too few offsets
    EXPECT_THROW(sort_dedup_csr({{0, 2, 1}, {1, 2}}, 2), Panic);  // offsets decrease
    EXPECT_THROW(sort_dedup_csr({{0, 1, 3}, {1, 2}}, 2), Panic);  // past the data
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

//! Sets the pool's size for one test and restores the default afterwards.

//! What one parallel section of `tasks` tasks shows of its threads: how many distinct
//! threads arrive while each task waits (up to a deadline) for `arrivals` of them, the
//! most tasks running at once, and the size each task, and a section nested in it,
//! is told by num_threads().
struct Seen {
    std::size_t distinct = 0, peak = 0;
    std::set<std::size_t> told;
};

Seen watch(std::size_t tasks, std::size_t arrivals) {
    Seen seen;
    std::mutex m;
    std::set<std::thread::id> ids;
    std::atomic<std::size_t> arrived{0}, active{0}, peak{0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    auto hold = [&] {
        const std::size_t now = active.fetch_add(1) + 1;
        std::size_t old = peak.load();
        while (old < now && !peak.compare_exchange_weak(old, now)) {
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(300);
        while (std::chrono::steady_clock::now() < until) std::this_thread::yield();
        active.fetch_sub(1);
    };
    pool::for_range(tasks, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            {
                std::lock_guard<std::mutex> lock(m);
                ids.insert(std::this_thread::get_id());
                seen.told.insert(pool::num_threads());
            }
            if (arrived.fetch_add(1) < arrivals)
                while (arrived.load() < arrivals && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::yield();
            hold();
            // A nested section runs in the same arena: no more tasks at once than it has.
            pool::for_range(4, 1, [&](std::size_t, std::size_t) {
                hold();
                std::lock_guard<std::mutex> lock(m);
                seen.told.insert(pool::num_threads());
            });
        }
    });
    seen.distinct = ids.size();
    seen.peak = peak.load();
    return seen;
}

//! What every pool helper computes from one input: no pool size may change it, nor may a
//! forked child that computes on its calling thread.
auto pool_results() {
    const std::size_t n = 20000;
    std::vector<std::size_t> out(n);
    pool::for_range(n, 64, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) out[i] = i * i;
    });
    auto sums = pool::map_chunks<std::size_t>(n, 97, [&](std::size_t b, std::size_t e) {
        return std::accumulate(out.begin() + b, out.begin() + e, std::size_t{0});
    });
    std::vector<std::size_t> desc = out;
    pool::sort(desc.begin(), desc.end(), std::greater<>());
    std::atomic<std::size_t> tasks{0};
    pool::run([&] {
        pool::TaskGroup group;
        for (int k = 0; k < 8; ++k) group.run([&] { tasks += 1; });
        group.wait();
    });
    return std::make_tuple(out, sums, desc, tasks.load());
}

TEST(Pool, EachChosenSizeBoundsItsSectionsAndTheResultsDoNotChange) {
    const auto want = pool_results();
    // One thread, fewer than the machine has (on two or more cores), and more than a
    // two-core machine has, which needs oneTBB's limit raised.
    for (std::size_t k : {std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
        PoolSize size(k);
        SCOPED_TRACE(k);
        EXPECT_EQ(pool::num_threads(), k);
        EXPECT_EQ(pool::measured_threads(), k);
        // k tasks that wait for each other take k threads; eight tasks a thread, each
        // running a nested section, never have more than k running at once.
        EXPECT_EQ(watch(k, k).distinct, k);
        const Seen many = watch(8 * k, 0);
        EXPECT_LE(many.distinct, k);
        EXPECT_LE(many.peak, k);
        EXPECT_EQ(many.told, std::set<std::size_t>{k});
        EXPECT_EQ(pool_results(), want);
    }
    pool::set_threads(0);
    EXPECT_EQ(pool::num_threads(), pool::default_threads());
}

TEST(Pool, ASectionKeepsItsArenaWhenTheSizeChangesMeanwhile) {
    // Two tasks that wait for each other run on the caller and on a worker; the size
    // changes while they wait, and both, and the sections nested in them, still see
    // the arena they started in.
    PoolSize size(2);
    std::atomic<std::size_t> arrived{0};
    std::atomic<bool> resized{false};
    std::mutex m;
    std::vector<std::size_t> told;
    std::thread other([&] {
        while (arrived.load() < 2) std::this_thread::yield();
        pool::set_threads(1);
        resized.store(true);
    });
    pool::for_range(2, 1, [&](std::size_t, std::size_t) {
        arrived.fetch_add(1);
        while (!resized.load()) std::this_thread::yield();
        const std::size_t outer = pool::num_threads();
        pool::for_range(2, 1, [&](std::size_t, std::size_t) {
            std::lock_guard<std::mutex> lock(m);
            told.push_back(outer);
            told.push_back(pool::num_threads());
        });
    });
    other.join();
    EXPECT_EQ(told, std::vector<std::size_t>(8, 2));
    EXPECT_EQ(pool::num_threads(), 1u);
}

TEST(Pool, AForkedChildComputesOnItsCallingThread) {
    // The parent's pool is up; its child must neither wait for the parent's workers nor
    // enter oneTBB, and every helper must still give the parent's results there.
    const auto want = pool_results();
    ASSERT_FALSE(pool::calling_thread_only());
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const bool ok = pool::calling_thread_only() && pool::num_threads() == 1 && pool::measured_threads() == 1 &&
                        pool_results() == want;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_FALSE(pool::calling_thread_only());
    EXPECT_EQ(pool_results(), want);
}

}  // namespace
}  // namespace tallisk
