#include "common/budget.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <new>
#include <string>

#include "common/error.hpp"

namespace tallisk::budget {
namespace {

// Kept free for what runs next to a charged call without charging (vectors, hash
// maps, the interpreter): those fail cleanly, but must not take the room a charged
// call counted on.
constexpr int64_t kReserve = int64_t{16} << 20;

constexpr int64_t kUnlimited = std::numeric_limits<int64_t>::max();

std::atomic<int64_t> g_credit{kUnlimited};

int64_t limit_of(int resource) {
    rlimit r{};
    if (getrlimit(resource, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return kUnlimited;
    return r.rlim_cur > static_cast<rlim_t>(kUnlimited) ? kUnlimited : static_cast<int64_t>(r.rlim_cur);
}

//! The process's mapped pages and data pages, from /proc/self/statm where Linux has it.
//! Elsewhere (macOS) both stay 0: the limits then count as wholly free, and an
//! allocation beyond them fails in the allocator as it would without the budget.
void mapped_pages(unsigned long& size, unsigned long& data_pages) {
#if defined(__linux__)
    unsigned long resident = 0, shared = 0, text = 0, lib = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%lu %lu %lu %lu %lu %lu", &size, &resident, &shared, &text, &lib, &data_pages) != 6)
            size = data_pages = 0;
        std::fclose(f);
    }
#else
    (void)size;
    (void)data_pages;
#endif
}

//! Bytes left under RLIMIT_AS (against the mapped size) and RLIMIT_DATA (against the
//! data size), the smaller of the two; kUnlimited when neither is set.
int64_t room_left() {
    const int64_t as = limit_of(RLIMIT_AS), data = limit_of(RLIMIT_DATA);
    if (as == kUnlimited && data == kUnlimited) return kUnlimited;
    unsigned long size = 0, data_pages = 0;
    mapped_pages(size, data_pages);
    const int64_t page = sysconf(_SC_PAGESIZE);
    int64_t left = kUnlimited;
    if (as != kUnlimited) left = std::min(left, as - static_cast<int64_t>(size) * page);
    if (data != kUnlimited) left = std::min(left, data - static_cast<int64_t>(data_pages) * page);
    return left;
}

// Large enough for any table the miners grow in one step on data that fits the 32-bit
// counters' sizes seen in practice (a million-entry level map), small enough to cost
// little address space.
constexpr std::size_t kReserveBytes = std::size_t{16} << 20;

std::atomic<void*> g_reserve{nullptr};

}  // namespace

void* allocate_or_use_reserve(std::size_t bytes) {
    if (void* p = ::operator new(bytes, std::nothrow)) return p;
    if (void* r = g_reserve.exchange(nullptr)) {
        ::operator delete(r);
        detail::exhausted.store(true, std::memory_order_relaxed);
        if (void* p = ::operator new(bytes, std::nothrow)) return p;
    }
    throw std::bad_alloc();
}

void restore_reserve() {
    detail::exhausted.store(false, std::memory_order_relaxed);
    if (g_reserve.load(std::memory_order_relaxed)) return;
    void* r = ::operator new(kReserveBytes, std::nothrow);
    if (!r) throw std::bad_alloc();
    void* expected = nullptr;
    if (!g_reserve.compare_exchange_strong(expected, r)) ::operator delete(r);
}

namespace detail {
std::atomic<bool> exhausted{false};

void throw_exhausted() { throw std::bad_alloc(); }

std::atomic<bool> limited{false};

void charge(std::size_t bytes) {
    const auto b = static_cast<int64_t>(bytes);
    if (g_credit.fetch_sub(b, std::memory_order_relaxed) - b >= 0) return;
    // The running credit only ever goes down (freed memory is not counted back), so
    // once it is spent the real room is measured again.
    const int64_t credit = room_left() - kReserve;
    if (credit < b) {
        g_credit.store(credit, std::memory_order_relaxed);
        throw std::bad_alloc();
    }
    g_credit.store(credit - b, std::memory_order_relaxed);
}
}  // namespace detail

void refresh() {
    restore_reserve();
    const int64_t left = room_left();
    detail::limited.store(left != kUnlimited, std::memory_order_relaxed);
    g_credit.store(left == kUnlimited ? kUnlimited : left - kReserve, std::memory_order_relaxed);
}

void require(std::size_t bytes, const char* what) {
    const int64_t left = room_left();
    if (left == kUnlimited || left - kReserve >= static_cast<int64_t>(bytes)) return;
    throw ResourceError(std::string("not enough memory ") + what + ": " + std::to_string(bytes >> 20) +
                        " MiB needed and " + std::to_string(kReserve >> 20) + " MiB kept in reserve, " +
                        std::to_string(left > 0 ? left >> 20 : 0) + " MiB left under the process's limit");
}

}  // namespace tallisk::budget
