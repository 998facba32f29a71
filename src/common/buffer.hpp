// Storage for large result columns.
//
// A result of hundreds of megabytes is dominated by its first touch: every 4 KiB page
// the kernel hands out costs a fault and a zero fill, and std::vector's resize() zero
// fills the whole column once more on the calling thread before the real values are
// written. `large_vector<T>` avoids both:
//   * blocks of at least tuning::kLargeBytes are mapped directly, aligned to 2 MiB and marked
//     MADV_HUGEPAGE, so that the kernel backs them with transparent huge pages (one
//     fault per 2 MiB instead of 512) where the system allows it (the "madvise" or
//     "always" setting of /sys/kernel/mm/transparent_hugepage/enabled);
//   * resize(n) and the sizing constructor leave new elements uninitialised
//     (default-initialised), so the first write to a page is the real value, and when
//     the writers run on the pool, the faults are taken in parallel too.
// Smaller blocks come from the ordinary heap. A column that is written by one thread
// can have its pages faulted in on the pool first with `prefault`.
//
// The boundary hands a large_vector to NumPy without a copy (py::to_numpy), so any
// compute unit can return its big columns this way: declare them as large_vector<T>,
// size them with resize() (or reserve + push_back), and write every element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/tuning.hpp"

namespace tallisk {

namespace buffer {

//! The huge-page size the mappings are aligned to.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

//! A fresh zero-filled mapping of at least `bytes` bytes, 2 MiB aligned and advised for
//! huge pages; throws std::bad_alloc when the system refuses.
void* map_large(std::size_t bytes);
//! Returns a block of map_large(bytes) to the system.
void unmap_large(void* p, std::size_t bytes) noexcept;
//! Makes the pages of [p, p + bytes) resident before they are written, in 2 MiB pieces
//! spread over the worker pool (MADV_POPULATE_WRITE where the kernel has it, a write
//! per page otherwise). Content is unchanged. Only worth it where the writes that
//! follow run on one thread.
void prefault(void* p, std::size_t bytes);

}  // namespace buffer

//! Allocator of large_vector: huge-page mappings for large blocks, heap for the rest,
//! and default- rather than value-initialisation of new elements.
template <class T>
class LargeAllocator {
public:
    using value_type = T;

    LargeAllocator() noexcept = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < tuning::kLargeBytes) return static_cast<T*>(::operator new(bytes));
        return static_cast<T*>(buffer::map_large(bytes));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < tuning::kLargeBytes)
            ::operator delete(p);
        else
            buffer::unmap_large(p, bytes);
    }

    //! resize(n) and vector(n) construct new elements through this overload: no zero
    //! fill, so the pages stay untouched until the caller writes the values.
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const LargeAllocator<U>&) const noexcept {
        return true;
    }
};

//! A vector for large results: see the file comment. resize() leaves new elements
//! uninitialised; every element must be written before it is read.
template <class T>
using large_vector = std::vector<T, LargeAllocator<T>>;

}  // namespace tallisk
