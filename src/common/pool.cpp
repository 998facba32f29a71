#include "common/pool.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_scheduler_observer.h>

#include "common/budget.hpp"
#include "common/error.hpp"
#include "common/itemset.hpp"

namespace tallisk::pool {
namespace {

// Stack oneTBB gives a worker (its 64-bit default) plus what glibc reserves for the
// thread's own malloc arena at the least; checked against an address-space limit
// before workers are started, so that a refusal leaves oneTBB's state untouched.
constexpr std::size_t kWorkerStartBytes = std::size_t{12} << 20;

// How long the start waits for every worker to arrive. Workers normally arrive within
// milliseconds; the bound only matters where oneTBB cannot deliver them.
constexpr auto kArrivalWait = std::chrono::seconds(2);

std::size_t configured_threads() {
    // RAYON_NUM_THREADS is the pool-size switch the contract module documents; the
    // package engine takes it as its default too and sets its own count on top.
    if (const char* env = std::getenv("RAYON_NUM_THREADS")) {
        char* end = nullptr;
        const long long v = std::strtoll(env, &end, 10);
        if (end != env && *end == '\0' && v > 0) return static_cast<std::size_t>(v);
    }
    const int n = tbb::info::default_concurrency();
    return n > 0 ? static_cast<std::size_t>(n) : 1;
}

//! Touches every block of thread-local storage a computation may touch on this
//! thread: libstdc++'s exception globals (a throw), Abseil's hash-table state (an
//! insert) and the thread's malloc arena.
void warm_this_thread() {
    try {
        throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
    }
    CountMap map;
    map.emplace(Itemset{1, 2}, 1u);
    std::unique_ptr<char[]> block(new char[4096]);
    block[0] = 0;
}

// These flags live in the static TLS reserved when the thread was created (see
// TALLISK_STATIC_TLS), so reading them can never need an allocation itself.
TALLISK_STATIC_TLS thread_local bool t_warm = false;

void warm_once() {
    if (t_warm) return;
    warm_this_thread();
    t_warm = true;
}

struct Arena;

//! The arena this thread currently runs in as one of its threads: set by execute() on
//! the thread that enters an arena, and by the arena's observer on each worker that
//! joins it. Nested sections stay in it rather than entering another arena, whose
//! size would then count on top of this one's.
TALLISK_STATIC_TLS thread_local Arena* t_inside = nullptr;

//! Marks the workers of one arena while they take part in it.
class Membership final : public tbb::task_scheduler_observer {
public:
    Membership(tbb::task_arena& arena, Arena* owner) : tbb::task_scheduler_observer(arena) {
        owner_.store(owner, std::memory_order_release);
        observe(true);
    }
    void on_scheduler_entry(bool is_worker) override {
        if (is_worker) t_inside = owner_.load(std::memory_order_acquire);
    }
    void on_scheduler_exit(bool is_worker) override {
        if (is_worker) t_inside = nullptr;
    }

private:
    // Atomic: workers read it from oneTBB's observer callbacks, which reach them through
    // oneTBB's own (uninstrumented) registration, so the release/acquire pair is what
    // shows ThreadSanitizer the owner was set before any worker reads it.
    std::atomic<Arena*> owner_{nullptr};
};

//! One size of the pool: its oneTBB arena, created and warmed by start().
struct Arena {
    explicit Arena(std::size_t n) : threads(n) {}
    const std::size_t threads;
    std::unique_ptr<tbb::task_arena> arena;
    std::unique_ptr<Membership> membership;
    std::atomic<bool> ready{false};

    void start();
};

struct Pool {
    const std::size_t default_size = configured_threads();
    // The count set_threads chose; 0 for the default.
    std::atomic<std::size_t> chosen{0};
    // Only set when an arena is larger than oneTBB's current limit (the core count
    // unless someone raised it): oneTBB caps every arena at that limit, and it is
    // process-wide, so it is only ever raised, never lowered (that would limit every
    // other oneTBB user in the process).
    std::unique_ptr<tbb::global_control> limit;
    // Every arena made so far, one per size; kept for the process, as a section may
    // still run in one when the size changes. Guarded by g_start.
    std::vector<std::unique_ptr<Arena>> arenas;
    // The arena the last section from outside the pool ran in, found without the lock.
    std::atomic<Arena*> last{nullptr};

    std::size_t size() const {
        const std::size_t n = chosen.load(std::memory_order_relaxed);
        return n == 0 ? default_size : n;
    }
    void raise_limit(std::size_t threads);
};

void Pool::raise_limit(std::size_t threads) {
    const auto active = tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
    if (threads <= active) return;
    // The new limit is in place before the old one (of this pool) goes.
    limit = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism, threads);
}

void Arena::start() {
    const std::size_t workers = threads - 1;
    if (workers > 0) budget::require(workers * kWorkerStartBytes, "to start the worker threads");
    if (!arena) {
        arena = std::make_unique<tbb::task_arena>(static_cast<int>(threads));
        arena->initialize();
        membership = std::make_unique<Membership>(*arena, this);
    }
    // Every thread of the arena, the caller included, warms itself and then waits until
    // all have arrived, so that each of the `threads` tasks ran on its own thread.
    std::atomic<std::size_t> arrived{0};
    const auto deadline = std::chrono::steady_clock::now() + kArrivalWait;
    TALLISK_TSAN_RELEASE();  // the rendezvous state, to the tasks (see as_task)
    try {
        arena->execute([&] {
            tbb::parallel_for(
                tbb::blocked_range<std::size_t>(0, threads, 1),
                [&](const tbb::blocked_range<std::size_t>& r) {
                    as_task(r, nullptr, [&](std::size_t b, std::size_t e) {
                        for (std::size_t i = b; i != e; ++i) {
                            warm_once();
                            arrived.fetch_add(1);
                            while (arrived.load() < threads && std::chrono::steady_clock::now() < deadline)
                                std::this_thread::yield();
                        }
                    });
                },
                tbb::simple_partitioner());
        });
    } catch (const std::runtime_error&) {
        rethrow_thread_failure();
    }
    ready.store(true, std::memory_order_release);
}

std::atomic<Pool*> g_pool{nullptr};
std::mutex g_start;
bool g_forked_child = false;

void drop_inherited_pool() {
    // The parent's workers do not exist in the child, a computation that was running
    // there may hold the arenas' slots, and another thread of the parent may have held
    // one of oneTBB's own locks at the fork (the child would wait on it forever): the
    // old pool is left alone (leaked) and the child computes on its calling thread.
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_forked_child = true;
}

//! The pool's settings, made on first use; no arena is started here.
Pool& state() {
    Pool* p = g_pool.load(std::memory_order_acquire);
    if (p) return *p;
    std::lock_guard<std::mutex> lock(g_start);
#if defined(__unix__) || defined(__APPLE__)
    // Where fork exists, a child must know it is one (see drop_inherited_pool).
    static const bool registered = pthread_atfork(nullptr, nullptr, &drop_inherited_pool) == 0;
    (void)registered;
#endif
    p = g_pool.load(std::memory_order_acquire);
    if (!p) {
        // Intentionally leaked: worker threads must not be torn down during interpreter
        // shutdown while another thread might still be finishing a call.
        p = new Pool();
        g_pool.store(p, std::memory_order_release);
    }
    return *p;
}

//! The arena of the current size, started; sections from outside the pool run here.
Arena& current_arena() {
    Pool& p = state();
    const std::size_t n = p.size();
    Arena* a = p.last.load(std::memory_order_acquire);
    if (a && a->threads == n && a->ready.load(std::memory_order_acquire)) return *a;
    std::lock_guard<std::mutex> lock(g_start);
    a = nullptr;
    for (const auto& known : p.arenas)
        if (known->threads == n) a = known.get();
    if (!a) {
        p.arenas.push_back(std::make_unique<Arena>(n));
        a = p.arenas.back().get();
    }
    if (!a->ready.load(std::memory_order_acquire)) {
        p.raise_limit(n);
        a->start();
    }
    p.last.store(a, std::memory_order_release);
    return *a;
}

//! Keeps t_inside for the length of one section on the thread that entered it.
struct Inside {
    explicit Inside(Arena* a) : saved(t_inside) { t_inside = a; }
    ~Inside() { t_inside = saved; }
    Arena* saved;
};

}  // namespace

void detail::execute(void (*call)(void*), void* ctx) {
    if (t_inside) {
        // Already one of an arena's threads: oneTBB's algorithms called here run in
        // that arena.
        budget::restore_reserve();
        TALLISK_TSAN_RELEASE();  // the nested section's captures, to its tasks
        try {
            call(ctx);
        } catch (const std::runtime_error&) {
            // The exception may have been made on a worker: its hand-over is announced
            // before this handler reads it, not only when the scope ends.
            TALLISK_TSAN_ACQUIRE();
            rethrow_thread_failure();
        }
        budget::check();
        return;
    }
    Arena& a = current_arena();
    warm_once();  // a Python thread calling in for the first time
    budget::restore_reserve();
    TALLISK_TSAN_RELEASE();
    {
        // Acquired on every exit: a task's exception (a row limit, a stop) also comes
        // back only once every task has ended.
        struct Acquire {
            ~Acquire() { TALLISK_TSAN_ACQUIRE(); }
        } acquire;
        try {
            Inside inside(&a);
            a.arena->execute([&] { call(ctx); });
        } catch (const std::runtime_error&) {
            // The exception may have been made on a worker: its hand-over is announced
            // before this handler reads it, not only when the scope ends.
            TALLISK_TSAN_ACQUIRE();
            rethrow_thread_failure();
        }
    }
    budget::check();  // every table built by the tasks is whole here
}

bool calling_thread_only() { return g_forked_child; }

std::size_t num_threads() {
    if (g_forked_child) return 1;
    if (const Arena* a = t_inside) return a->threads;
    return state().size();
}

void set_threads(std::size_t n) { state().chosen.store(n, std::memory_order_relaxed); }

std::size_t default_threads() { return g_forked_child ? 1 : state().default_size; }

std::size_t measured_threads() {
    if (g_forked_child) return 1;  // which never enters oneTBB
    std::size_t seen = 1;
    std::mutex m;
    // A few tasks per thread, so that workers have something to take.
    const std::size_t n = 4 * num_threads();
    for_range(n, 1, [&](std::size_t, std::size_t) {
        const auto c = static_cast<std::size_t>(tbb::this_task_arena::max_concurrency());
        std::lock_guard<std::mutex> lock(m);
        seen = std::max(seen, c);
    });
    return seen;
}

void rethrow_thread_failure() {
    try {
        throw;
    } catch (const std::runtime_error& e) {
        // oneTBB reports a failed pthread_create as runtime_error("pthread_create has
        // failed: <reason>") in the thread that asked for the worker.
        if (std::strstr(e.what(), "pthread_create") != nullptr)
            throw ResourceError(std::string("cannot start a worker thread: ") + e.what());
        throw;
    }
}

std::vector<std::size_t> even_bounds(std::size_t n, std::size_t chunk) {
    if (chunk == 0) chunk = 1;
    std::vector<std::size_t> bounds;
    bounds.reserve(n / chunk + 2);
    for (std::size_t b = 0; b < n; b += chunk) bounds.push_back(b);
    bounds.push_back(n);
    if (n == 0) bounds.push_back(0);
    return bounds;
}

}  // namespace tallisk::pool
