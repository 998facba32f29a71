// Stopping a running computation at its next task boundary, and running one on a
// helper thread while the calling thread stays free to decide whether it should stop.
//
// A computation that may be stopped runs with a stop flag: the thread it starts on has
// the flag as its current one (StopScope), and every task the pool's helpers start
// takes the flag of the thread that started it (common/pool.hpp), so all the threads
// working for one call see that call's flag and no other's. check_stop() throws
// Stopped once the flag is raised; the pool's helpers check it before each task, and
// long loops that run on one thread check it every so often. Stopped unwinds like any
// other failure of a task: the tasks not yet started are dropped, those running end at
// their next check, and everything they built is freed on the way out.
//
// run_stoppable() gives a computation to a helper thread (started on first use and kept
// for the next call) and has the calling thread wait for it, calling a poll function
// every so often; when the poll says stop, the flag is raised and the wait goes on until
// the computation has unwound. The Python boundary polls for pending signals this way,
// so Ctrl-C stops a long call while the interpreter lock stays free during it.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>

namespace tallisk::pool {

//! Thrown by check_stop once the running computation was asked to stop. Not an
//! std::exception: no handler meant for failures catches it by accident.
struct Stopped {};

//! A computation's stop flag: raised once, read by every thread working for it.
using StopFlag = std::atomic<bool>;

// Initial-exec where the object format has it: the flag is read on every task start and
// in hot loops, and must never need an allocation of its own (see t_warm in pool.cpp).
#if defined(__ELF__)
#define TALLISK_STATIC_TLS __attribute__((tls_model("initial-exec")))
#else
#define TALLISK_STATIC_TLS
#endif

namespace detail {
// constinit: with no dynamic initialisation possible, every use is a plain TLS access,
// not a call to the wrapper an extern thread_local otherwise gets (which GCC's
// null-pointer sanitizer misreads, reporting every store through it).
extern constinit TALLISK_STATIC_TLS thread_local const StopFlag* t_stop;
}  // namespace detail

//! The stop flag of the computation this thread works for; null when none can stop.
inline const StopFlag* current_stop() { return detail::t_stop; }

//! Makes `flag` this thread's current stop flag for its scope.
class StopScope {
public:
    explicit StopScope(const StopFlag* flag) : prev_(detail::t_stop) { detail::t_stop = flag; }
    ~StopScope() { detail::t_stop = prev_; }
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

private:
    const StopFlag* prev_;
};

//! Throws Stopped when the computation this thread works for was asked to stop.
inline void check_stop() {
    const StopFlag* flag = detail::t_stop;
    if (flag != nullptr && flag->load(std::memory_order_relaxed)) [[unlikely]]
        throw Stopped{};
}

//! check_stop() on every `stride`-th call (stride a power of two), for loops whose
//! steps are too short for a check each.
template <unsigned Stride>
class StopEvery {
    static_assert((Stride & (Stride - 1)) == 0);

public:
    void operator()() {
        if ((++n_ & (Stride - 1)) == 0) check_stop();
    }

private:
    unsigned n_ = 0;
};

//! Runs `job` on the helper thread under a stop flag of its own while this thread waits,
//! calling `poll` every `every`; once `poll` returns false the flag is raised and the
//! wait lasts until the job has unwound. Returns true when the job ran to its end
//! (rethrowing what it threw), false when it was asked to stop (whatever it threw, or
//! whether it finished, is dropped then). `poll` runs on this thread.
//! The job runs here instead, without polls, when the helper cannot be used: in a
//! child created by fork, when the helper thread cannot be started (address space or
//! threads exhausted), or while it serves another call (a call made from `poll`).
bool run_stoppable(const std::function<void()>& job, const std::function<bool()>& poll,
                   std::chrono::milliseconds every);

}  // namespace tallisk::pool
