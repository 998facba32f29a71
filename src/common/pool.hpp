// The process-wide worker pool and the few parallel patterns the miners use.
//
// Parallel work runs in a oneTBB arena of the pool's size: RAYON_NUM_THREADS (when it
// holds a positive number) or the number of logical processors, unless set_threads
// chose another count. An arena is created on first use of its size and kept; each
// parallel section started from outside the pool runs in the arena of the size chosen
// at that moment, and everything nested in it (on the calling thread and on the
// workers) stays in that arena. Each extension module links its own copy of this unit
// (the core is a static library with hidden symbols), so the count one module sets
// never sizes the other's pool; both share oneTBB's worker threads. Every helper
// returns its partial results in a fixed order, so that results never depend on the
// number of workers or on scheduling. Exceptions thrown by a task are carried to the
// calling thread by oneTBB and rethrown there. Every task works under the stop flag of
// the thread that started it and checks it first (see common/stop.hpp), so a stopped
// computation ends at its next task.
//
// An arena starts its workers, and has each of them touch what it keeps per thread,
// before its first computation: glibc allocates a thread's share of a shared
// library's thread-local storage on first touch and aborts the process when it cannot,
// so that must not happen mid-computation with the memory nearly gone. A thread that
// cannot be started becomes ResourceError. A child created by fork runs every helper on
// its calling thread and never enters oneTBB: the parent's workers do not exist there,
// and a lock inside oneTBB that another thread of the parent held at the fork stays
// held in the child for good.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_sort.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_group.h>

#include "common/budget.hpp"
#include "common/stop.hpp"

// ThreadSanitizer cannot see the hand-over of a task through Debian's uninstrumented
// oneTBB (spawn, steal, completion), so each task body and each run announce it: the
// caller releases before the run and acquires after it, a body acquires when it
// starts and releases when it ends. Tasks running at the same time stay unordered,
// so races between them are still reported.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#define TALLISK_TSAN_ACQUIRE() __tsan_acquire(&::tallisk::pool::tsan_handoff)
#define TALLISK_TSAN_RELEASE() __tsan_release(&::tallisk::pool::tsan_handoff)
#else
#define TALLISK_TSAN_ACQUIRE() ((void)0)
#define TALLISK_TSAN_RELEASE() ((void)0)
#endif

namespace tallisk::pool {

//! The address the task hand-over annotations above synchronise on.
inline char tsan_handoff = 0;

//! Runs body(begin, end) for the bounds of a range oneTBB handed over, with the
//! hand-over annotations (nothing outside TSan builds). The range object itself was
//! written by whichever thread split it, so under TSan its bounds are read in a frame
//! of their own that scripts/tsan.supp names.
#if defined(__SANITIZE_THREAD__)
[[gnu::noinline]]
#endif
inline std::pair<std::size_t, std::size_t>
range_bounds(const tbb::blocked_range<std::size_t>& r) {
    return {r.begin(), r.end()};
}

//! The loop body a oneTBB loop task runs: the functor oneTBB copies into its task object
//! holds only this pointer to the body, which lives on the calling thread's stack. oneTBB
//! recycles task storage between tasks of any thread without TSan seeing the hand-over,
//! so under TSan the pointer is read in a frame of its own that scripts/tsan.supp names,
//! as range_bounds does for the range; the body's own captures are then read from
//! memory the calling thread wrote before it announced the hand-over.
template <class Work>
#if defined(__SANITIZE_THREAD__)
[[gnu::noipa]]  // neither inlined nor given its parameter by value: the read stays here
#endif
const Work*
loop_work(const Work* const& work) {
    return work;
}

//! A oneTBB loop over `range` that runs work(r) for each piece r, announcing each task's
//! hand-over to TSan before the task reads anything of the loop's.
template <class Work, class Partitioner>
void loop(const tbb::blocked_range<std::size_t>& range, const Work& work, const Partitioner& partitioner) {
    tbb::parallel_for(
        range,
        [w = &work](const tbb::blocked_range<std::size_t>& r) {
            TALLISK_TSAN_ACQUIRE();
            (*loop_work(w))(r);
        },
        partitioner);
}

//! As a task of a computation with stop flag `stop` (see common/stop.hpp): the task
//! works under that flag and does not start once it is raised.
template <class F>
void as_task(const tbb::blocked_range<std::size_t>& r, const StopFlag* stop, F&& body) {
    TALLISK_TSAN_ACQUIRE();
    // Released on every exit: an exception thrown by the body travels to the caller
    // through oneTBB too.
    struct Release {
        ~Release() { TALLISK_TSAN_RELEASE(); }
    } release;
    const StopScope scope(stop);
    check_stop();
    const auto [begin, end] = range_bounds(r);
    body(begin, end);
}

//! Runs f() inside the arena of the current size (created and warmed on first use;
//! ResourceError when its worker threads cannot be started, and a later call tries
//! again), or directly when this thread already runs in one of the pool's arenas. A
//! worker thread that oneTBB fails to create on the way becomes ResourceError instead
//! of a bare runtime_error.
template <class F>
void run(F&& f);

//! True in a child created by fork: every helper runs on the calling thread.
bool calling_thread_only();

//! Number of threads parallel work runs on here: inside a parallel section, the size
//! of its arena; elsewhere, the size the next section will have (1 in a forked child).
std::size_t num_threads();

//! Sets the size of the parallel sections started from now on, outside the pool: n
//! threads (the caller's included), or the default size when n is 0. Sections already
//! running keep their arena.
void set_threads(std::size_t n);

//! The size from RAYON_NUM_THREADS or the processor count, read once per process.
std::size_t default_threads();

//! The concurrency of the arena a parallel section runs in, as oneTBB reports it
//! from inside one of its tasks (1 in a forked child): what num_threads() promises.
std::size_t measured_threads();

namespace detail {
//! The body of run() outside a forked child: call(ctx) in the arena, as run() says.
void execute(void (*call)(void*), void* ctx);
}  // namespace detail

//! Chunk length for splitting a work list of n elements: max(n / workers, 1).
inline std::size_t list_chunk(std::size_t n) {
    std::size_t c = n / num_threads();
    return c == 0 ? 1 : c;
}

//! Chunk bounds [0, c, 2c, ..., n] for n elements in chunks of `chunk`.
std::vector<std::size_t> even_bounds(std::size_t n, std::size_t chunk);

//! Chunk bounds that split [0, n) into about `pieces` consecutive runs of similar total
//! weight; weight(i) must be non-negative. Used where per-element work is very uneven.
template <class Weight>
std::vector<std::size_t> weighted_bounds(std::size_t n, std::size_t pieces, Weight&& weight) {
    double total = 0;
    for (std::size_t i = 0; i < n; ++i) total += static_cast<double>(weight(i));
    std::vector<std::size_t> bounds{0};
    if (n == 0) {
        bounds.push_back(0);
        return bounds;
    }
    const double target = total / static_cast<double>(pieces == 0 ? 1 : pieces);
    double acc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        acc += static_cast<double>(weight(i));
        if (acc >= target && i + 1 < n) {
            bounds.push_back(i + 1);
            acc = 0;
        }
    }
    bounds.push_back(n);
    return bounds;
}

//! Runs body(begin, end) for every chunk [bounds[j], bounds[j+1]) on the pool and
//! returns the results in chunk order. A single chunk (every chunk, in a forked child)
//! runs on the calling thread.
template <class R, class Body>
std::vector<R> map_ranges(std::span<const std::size_t> bounds, Body&& body) {
    const std::size_t n_chunks = bounds.size() < 2 ? 0 : bounds.size() - 1;
    std::vector<R> out(n_chunks);
    if (n_chunks == 1 || calling_thread_only()) {
        for (std::size_t j = 0; j < n_chunks; ++j) {
            check_stop();
            out[j] = body(bounds[j], bounds[j + 1]);
        }
    } else if (n_chunks > 1) {
        const StopFlag* stop = current_stop();
        const auto work = [&](const tbb::blocked_range<std::size_t>& r) {
            as_task(r, stop, [&](std::size_t b, std::size_t e) {
                for (std::size_t j = b; j != e; ++j) out[j] = body(bounds[j], bounds[j + 1]);
            });
        };
        run([&] { loop(tbb::blocked_range<std::size_t>(0, n_chunks, 1), work, tbb::simple_partitioner()); });
    }
    return out;
}

//! As map_ranges, for a body with no result: body(begin, end) for every chunk.
template <class Body>
void each_range(std::span<const std::size_t> bounds, Body&& body) {
    map_ranges<char>(bounds, [&](std::size_t begin, std::size_t end) {
        body(begin, end);
        return char{};
    });
}

//! Chunked map over a list of n elements in chunks of `chunk`, results in chunk order.
template <class R, class Body>
std::vector<R> map_chunks(std::size_t n, std::size_t chunk, Body&& body) {
    auto bounds = even_bounds(n, chunk);
    return map_ranges<R>(bounds, std::forward<Body>(body));
}

//! One task per element: body(i) for i in [0, n), results in element order.
template <class R, class Body>
std::vector<R> map_each(std::size_t n, Body&& body) {
    std::vector<R> out(n);
    if (calling_thread_only()) {
        for (std::size_t i = 0; i < n; ++i) {
            check_stop();
            out[i] = body(i);
        }
        return out;
    }
    const StopFlag* stop = current_stop();
    const auto work = [&](const tbb::blocked_range<std::size_t>& r) {
        as_task(r, stop, [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i != e; ++i) out[i] = body(i);
        });
    };
    run([&] { loop(tbb::blocked_range<std::size_t>(0, n, 1), work, tbb::simple_partitioner()); });
    return out;
}

//! Parallel loop over [0, n) with no result; body(begin, end).
template <class Body>
void for_range(std::size_t n, std::size_t grain, Body&& body) {
    if (calling_thread_only()) {
        check_stop();
        if (n > 0) body(std::size_t{0}, n);
        return;
    }
    const StopFlag* stop = current_stop();
    const auto work = [&](const tbb::blocked_range<std::size_t>& r) { as_task(r, stop, body); };
    run([&] { loop(tbb::blocked_range<std::size_t>(0, n, grain == 0 ? 1 : grain), work, tbb::auto_partitioner()); });
}

//! Sorts [begin, end) with `less` on the pool. Not stable: callers that need one order
//! on every run make `less` a total order.
template <class It, class Less>
void sort(It begin, It end, Less&& less) {
    if (calling_thread_only()) return std::sort(begin, end, less);
    run([&] { tbb::parallel_sort(begin, end, less); });
}

//! A task's copy of its functor, for TaskGroup under TSan: oneTBB copies the functor
//! into its own task object after the hand-over was announced, so there the task reads
//! that copy in a frame of its own that scripts/tsan.supp names, as range_bounds above
//! (other builds call the functor as it is, without the copy).
template <class F>
#if defined(__SANITIZE_THREAD__)
[[gnu::noinline]]
#endif
F task_copy(const F& f) {
    return f;
}

//! Tasks started one at a time, for recursive searches that find their subtrees on the
//! way. Used inside run(): run(f) hands f to the pool (a task of the computation of the
//! calling thread's stop flag, like the loops' tasks), wait() returns once every task
//! has finished and rethrows the first exception one of them threw, cancel() drops the
//! tasks not yet started. Each hand-over is announced to TSan like a loop's. The oneTBB
//! group is made on the first hand-over, so a search that never shares work (and a
//! forked child, where run(f) calls f at once) does not touch oneTBB.
class TaskGroup {
public:
    template <class F>
    void run(F&& f) {
        if (calling_thread_only()) {
            check_stop();
            return f();
        }
        if (!group_) group_.emplace();
        TALLISK_TSAN_RELEASE();
        group_->run([f = std::forward<F>(f), stop = current_stop()] {
            TALLISK_TSAN_ACQUIRE();
            struct Release {
                ~Release() { TALLISK_TSAN_RELEASE(); }
            } release;
            const StopScope scope(stop);
            check_stop();
#if defined(__SANITIZE_THREAD__)
            task_copy(f)();
#else
            f();
#endif
        });
    }
    void wait() {
        if (!group_) return;
        struct Acquire {
            ~Acquire() { TALLISK_TSAN_ACQUIRE(); }
        } acquire;
        group_->wait();
    }
    void cancel() {
        if (group_) group_->cancel();
    }

private:
    std::optional<tbb::task_group> group_;
};

//! Turns oneTBB's failure to create a thread into ResourceError; rethrows the rest.
[[noreturn]] void rethrow_thread_failure();

template <class F>
void run(F&& f) {
    if (calling_thread_only()) {
        budget::restore_reserve();
        f();
        budget::check();
        return;
    }
    using Body = std::remove_reference_t<F>;
    detail::execute([](void* body) { (*static_cast<Body*>(body))(); },
                    const_cast<void*>(static_cast<const void*>(std::addressof(f))));
}

}  // namespace tallisk::pool
