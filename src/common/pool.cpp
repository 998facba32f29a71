#include "common/pool.hpp"

#include <pthread.h>
#include <sys/resource.h>

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
    // RAYON_NUM_THREADS is the pool-size switch the Python package documents.
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

// Initial-exec: this flag lives in the static TLS reserved when the thread was
// created, so reading it can never need an allocation itself.
__attribute__((tls_model("initial-exec"))) thread_local bool t_warm = false;

void warm_once() {
    if (t_warm) return;
    warm_this_thread();
    t_warm = true;
}

struct Pool {
    std::size_t threads = configured_threads();
    // Only set when the pool is larger than the machine: oneTBB caps every arena at
    // the core count, and this limit is process-wide, so it is raised only then and
    // never lowered (that would limit every other oneTBB user in the process).
    std::unique_ptr<tbb::global_control> limit;
    std::unique_ptr<tbb::task_arena> arena;
    std::atomic<bool> ready{false};

    void start();
};

void Pool::start() {
    const std::size_t workers = threads - 1;
    if (workers > 0) budget::require(workers * kWorkerStartBytes, "to start the worker threads");
    if (!limit && threads > static_cast<std::size_t>(tbb::info::default_concurrency()))
        limit = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism, threads);
    if (!arena) {
        arena = std::make_unique<tbb::task_arena>(static_cast<int>(threads));
        arena->initialize();
    }
    // Every thread of the arena, the caller included, warms itself and then waits until
    // all have arrived, so that each of the `threads` tasks ran on its own thread.
    std::atomic<std::size_t> arrived{0};
    const auto deadline = std::chrono::steady_clock::now() + kArrivalWait;
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
    // there may hold the arena's slots, and another thread of the parent may have held
    // one of oneTBB's own locks at the fork (the child would wait on it forever): the
    // old pool is left alone (leaked) and the child computes on its calling thread.
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_forked_child = true;
}

Pool& instance() {
    Pool* p = g_pool.load(std::memory_order_acquire);
    if (p && p->ready.load(std::memory_order_acquire)) return *p;
    std::lock_guard<std::mutex> lock(g_start);
    static const bool registered = pthread_atfork(nullptr, nullptr, &drop_inherited_pool) == 0;
    (void)registered;
    p = g_pool.load(std::memory_order_acquire);
    if (!p) {
        // Intentionally leaked: worker threads must not be torn down during interpreter
        // shutdown while another thread might still be finishing a call.
        p = new Pool();
        g_pool.store(p, std::memory_order_release);
    }
    if (!p->ready.load(std::memory_order_acquire)) p->start();
    return *p;
}

}  // namespace

tbb::task_arena& arena() {
    Pool& p = instance();
    warm_once();  // a Python thread calling in for the first time
    return *p.arena;
}

bool calling_thread_only() { return g_forked_child; }

std::size_t num_threads() { return g_forked_child ? 1 : instance().threads; }

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
