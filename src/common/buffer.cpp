#include "common/buffer.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>

#include "common/pool.hpp"

// Linux 5.14; older kernels answer EINVAL. Other systems have no such advice and fault
// the pages in by writing to them.
#if defined(__linux__) && !defined(MADV_POPULATE_WRITE)
#define MADV_POPULATE_WRITE 23
#endif

namespace tallisk::buffer {
namespace {

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

constexpr std::size_t kPage = 4096;

//! The length mapped for a block of `bytes`: whole huge pages when rounding up wastes at
//! most an eighth of the block, else whole small pages, so that a block just past a
//! huge-page boundary does not hold almost twice its size resident; its tail then takes
//! small pages.
std::size_t mapped_size(std::size_t bytes) {
    const std::size_t n = bytes == 0 ? 1 : bytes;
    const std::size_t huge = round_up(n, kHugePage);
    return huge - n <= n / 8 ? huge : round_up(n, kPage);
}

//! Faults in one piece: one kernel call where MADV_POPULATE_WRITE exists, otherwise a
//! write of each page's own first byte (the content stays as it is).
void populate(char* p, std::size_t bytes) {
    if (bytes == 0) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const auto end = begin + bytes;
#ifdef MADV_POPULATE_WRITE
    const std::uintptr_t first_page = begin / kPage * kPage;
    if (madvise(reinterpret_cast<void*>(first_page), end - first_page, MADV_POPULATE_WRITE) == 0) return;
#endif
    for (std::uintptr_t a = begin; a < end; a = (a / kPage + 1) * kPage) {
        volatile char* c = reinterpret_cast<volatile char*>(a);
        *c = *c;
    }
}

}  // namespace

void* map_large(std::size_t bytes) {
    const std::size_t size = mapped_size(bytes);
    // Over-map by one huge page and trim, so the block starts on a 2 MiB boundary and
    // every 2 MiB of it can be a huge page.
    const std::size_t span = size + kHugePage;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto base = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = round_up(base, kHugePage);
    if (aligned > base) munmap(raw, aligned - base);
    const std::uintptr_t tail = aligned + size;
    if (tail < base + span) munmap(reinterpret_cast<void*>(tail), base + span - tail);
#ifdef MADV_HUGEPAGE
    // Advice only: without transparent huge pages the block is still valid memory, as
    // it is on systems that have no such advice (macOS).
    madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<void*>(aligned);
}

void unmap_large(void* p, std::size_t bytes) noexcept {
    if (p) munmap(p, mapped_size(bytes));
}

void prefault(void* p, std::size_t bytes) {
    if (p == nullptr || bytes == 0) return;
    char* c = static_cast<char*>(p);
    const std::size_t pieces = (bytes + kHugePage - 1) / kHugePage;
    if (pieces < 2 || pool::num_threads() < 2) {
        populate(c, bytes);
        return;
    }
    pool::for_range(pieces, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const std::size_t off = i * kHugePage;
            populate(c + off, std::min(kHugePage, bytes - off));
        }
    });
}

}  // namespace tallisk::buffer
