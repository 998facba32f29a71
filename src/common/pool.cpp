#include "common/pool.hpp"

#include <cstdlib>
#include <memory>
#include <string>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>

namespace tallisk::pool {
namespace {

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

struct Pool {
    std::size_t threads;
    // Lets the arena hold more threads than processors when the environment asks.
    std::unique_ptr<tbb::global_control> limit;
    std::unique_ptr<tbb::task_arena> arena;

    Pool() : threads(configured_threads()) {
        limit = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism, threads);
        arena = std::make_unique<tbb::task_arena>(static_cast<int>(threads));
        arena->initialize();
    }
};

Pool& instance() {
    // Intentionally leaked: worker threads must not be torn down during interpreter
    // shutdown while another thread might still be finishing a call.
    static Pool* pool = new Pool();
    return *pool;
}

}  // namespace

tbb::task_arena& arena() { return *instance().arena; }

std::size_t num_threads() { return instance().threads; }

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
