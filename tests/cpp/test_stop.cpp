// Unit tests of stopping computations: the stop flag reaches every task the pool's
// helpers start (and no other computation's), a raised flag ends loops, task groups and
// the miners at their next check, run_stoppable runs a job on the helper thread and
// stops it when the poll says so (a call made from the poll, in a scope nested in the
// caller's, too), and the pool gives right answers afterwards: a flag left behind by a
// scope that ended fails the last of these.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "common/error.hpp"
#include "common/pool.hpp"
#include "common/stop.hpp"
#include "engine/apriori.hpp"
#include "engine/mine.hpp"
#include "engine_oracles.hpp"

namespace tallisk::pool {
namespace {

using namespace std::chrono_literals;

// Every task of every helper sees the flag of the thread that started it; with the flag
// raised no task body runs at all.
TEST(Stop, TasksWorkUnderTheirCallersFlag) {
    StopFlag flag{false};
    const StopScope scope(&flag);
    std::mutex lock;
    std::set<const StopFlag*> seen;
    auto note = [&] {
        const std::lock_guard<std::mutex> hold(lock);
        seen.insert(current_stop());
    };
    for_range(1000, 1, [&](std::size_t, std::size_t) { note(); });
    const auto bounds = even_bounds(1000, 10);
    map_ranges<int>(bounds, [&](std::size_t, std::size_t) {
        note();
        return 0;
    });
    map_each<int>(64, [&](std::size_t) {
        note();
        return 0;
    });
    run([&] {
        TaskGroup group;
        for (int k = 0; k < 64; ++k) group.run(note);
        group.wait();
    });
    EXPECT_EQ(seen, std::set<const StopFlag*>{&flag});

    flag.store(true);
    std::atomic<int> ran{0};
    EXPECT_THROW(for_range(1000, 1, [&](std::size_t, std::size_t) { ++ran; }), Stopped);
    EXPECT_THROW(map_ranges<int>(bounds,
                                 [&](std::size_t, std::size_t) {
                                     ++ran;
                                     return 0;
                                 }),
                 Stopped);
    EXPECT_EQ(ran.load(), 0);
}

TEST(Stop, RunStoppableUsesTheHelperAndStopsWhenThePollSaysSo) {
    const auto caller = std::this_thread::get_id();
    std::thread::id worker;
    EXPECT_TRUE(run_stoppable([&] { worker = std::this_thread::get_id(); }, [] { return true; }, 1ms));
    EXPECT_NE(worker, caller);

    // A job that only ends when stopped: the poll stops it on its third call.
    int polls = 0;
    std::atomic<bool> unwound{false};
    const bool finished = run_stoppable(
        [&] {
            struct Mark {
                std::atomic<bool>& done;
                ~Mark() { done.store(true); }
            } mark{unwound};
            for (;;) {
                check_stop();
                std::this_thread::sleep_for(100us);
            }
        },
        [&] { return ++polls < 3; }, 1ms);
    EXPECT_FALSE(finished);
    EXPECT_EQ(polls, 3);
    EXPECT_TRUE(unwound.load());  // the wait lasted until the job had unwound

    // The job's own failure comes back to the caller; a call made from the poll, while
    // the helper is busy, runs on the calling thread.
    EXPECT_THROW(run_stoppable([] { throw InputError("bad"); }, [] { return true; }, 1ms), InputError);
    std::thread::id nested;
    bool once = false;
    EXPECT_TRUE(run_stoppable([] { std::this_thread::sleep_for(20ms); },
                              [&] {
                                  if (!once) {
                                      once = true;
                                      run_stoppable([&] { nested = std::this_thread::get_id(); }, [] { return true; },
                                                    1ms);
                                  }
                                  return true;
                              },
                              1ms));
    EXPECT_EQ(nested, caller);
}

// Miners stopped part-way leave the pool as it was: the same search, run again, gives
// the rows an undisturbed one gives.
TEST(Stop, StoppedMinersLeaveThePoolClean) {
    using namespace engine;
    std::mt19937 rng(3);
    const auto baskets = oracles::random_baskets(rng, 4000, 24, 0.5);
    const auto o = oracles::occurrences(baskets);
    for (bool apriori : {false, true}) {
        MineOptions opt;
        opt.min_count = 300;
        auto mine_it = [&] { return apriori ? mine_apriori(o.txn, o.item, 24, opt) : mine(o.txn, o.item, 24, opt); };
        const MineResult want = mine_it();
        ASSERT_GT(want.table.counts.size(), 1000u);
        for (int polls_before_stop : {0, 1, 3}) {
            int polls = 0;
            MineResult partial;
            const bool finished =
                run_stoppable([&] { partial = mine_it(); }, [&] { return polls++ < polls_before_stop; }, 0ms);
            // A stop may come after the search is done; either way the next one is right.
            if (finished) {
                EXPECT_EQ(oracles::rows(partial.table), oracles::rows(want.table));
            }
            EXPECT_EQ(oracles::rows(mine_it().table), oracles::rows(want.table)) << "apriori " << apriori;
        }
    }
}

}  // namespace
}  // namespace tallisk::pool
