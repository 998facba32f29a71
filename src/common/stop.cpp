#include "common/stop.hpp"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "common/budget.hpp"
#include "common/error.hpp"
#include "common/pool.hpp"

namespace tallisk::pool {

namespace detail {
constinit TALLISK_STATIC_TLS thread_local const StopFlag* t_stop = nullptr;
}  // namespace detail

namespace {

// Address space the helper thread reserves when it starts: its stack (glibc sizes it by
// RLIMIT_STACK, 8 MiB by default) and its share of a malloc arena, checked against an
// address-space limit first so that a refusal leaves everything as it was.
constexpr std::size_t kHelperStartBytes = std::size_t{16} << 20;

//! The helper thread and the one job it runs at a time.
struct Helper {
    std::mutex lock;
    std::condition_variable given;  // a job was handed over
    std::condition_variable ended;  // the job has ended
    const std::function<void()>* job = nullptr;
    bool busy = false;  // a call uses the helper, from hand-over to collection
    bool done = false;
    std::exception_ptr error;  // what the job threw
    StopFlag stop{false};

    [[noreturn]] void serve() {
        std::unique_lock<std::mutex> held(lock);
        for (;;) {
            given.wait(held, [&] { return job != nullptr; });
            const std::function<void()>* run = std::exchange(job, nullptr);
            held.unlock();
            std::exception_ptr failed;
            try {
                const StopScope scope(&stop);
                (*run)();
            } catch (...) {
                failed = std::current_exception();
            }
            held.lock();
            error = std::move(failed);
            done = true;
            ended.notify_one();
        }
    }
};

std::mutex g_start;
// Intentionally leaked, as the pool is: the thread waits for jobs until the process ends.
Helper* g_helper = nullptr;

//! The helper, started on first use; null when it cannot be started (a later call tries
//! again).
Helper* helper() {
    const std::lock_guard<std::mutex> hold(g_start);
    if (g_helper != nullptr) return g_helper;
    try {
        budget::require(kHelperStartBytes, "to start the helper thread");
        auto h = std::make_unique<Helper>();
        std::thread(&Helper::serve, h.get()).detach();
        g_helper = h.release();
    } catch (const ResourceError&) {
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    return g_helper;
}

}  // namespace

bool run_stoppable(const std::function<void()>& job, const std::function<bool()>& poll,
                   std::chrono::milliseconds every) {
    Helper* h = calling_thread_only() ? nullptr : helper();
    std::unique_lock<std::mutex> held;
    if (h != nullptr) {
        held = std::unique_lock<std::mutex>(h->lock);
        if (h->busy) {
            held.unlock();
            h = nullptr;
        }
    }
    if (h == nullptr) {
        job();
        return true;
    }
    h->busy = true;
    h->done = false;
    h->error = nullptr;
    h->stop.store(false, std::memory_order_relaxed);
    h->job = &job;
    h->given.notify_one();

    bool stopped = false;
    std::exception_ptr poll_error;
    while (!h->ended.wait_for(held, every, [&] { return h->done; })) {
        if (stopped) continue;
        held.unlock();
        bool go_on = false;
        try {
            go_on = poll();
        } catch (...) {
            poll_error = std::current_exception();
        }
        held.lock();
        if (!go_on) {
            stopped = true;
            h->stop.store(true, std::memory_order_relaxed);
        }
    }
    std::exception_ptr error = std::exchange(h->error, nullptr);
    h->busy = false;
    held.unlock();
    if (poll_error) std::rethrow_exception(poll_error);
    if (stopped) return false;
    if (error) std::rethrow_exception(error);
    return true;
}

}  // namespace tallisk::pool
