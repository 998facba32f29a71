// Room left under the process's memory limits, for code that cannot fail cleanly.
//
// Debian 12's CRoaring does not survive a failed allocation (it asserts or writes
// through a null pointer), and a failed thread start inside oneTBB leaves a worker slot
// unusable. Allocations only fail for real under a limit (RLIMIT_AS or RLIMIT_DATA;
// without one Linux overcommits and the OOM killer decides), so before such code runs
// the caller charges an upper bound of what it will allocate against the room left
// under the limits; when it does not fit, std::bad_alloc is thrown before the call.
// Without a limit a charge costs one relaxed load.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tallisk::budget {

namespace detail {
extern std::atomic<bool> limited;
void charge(std::size_t bytes);
}  // namespace detail

//! Reads the limits again (one system call); each phase that charges calls it first,
//! so a limit set after the module was loaded is seen.
void refresh();

//! Whether a limit was seen at the last refresh (estimates need only be computed then).
inline bool active() { return detail::limited.load(std::memory_order_relaxed); }

// ---- the emergency reserve -----------------------------------------------------------
//
// Abseil's hash tables are not exception-safe: when the allocation of a larger table
// throws, the table keeps its new capacity with its old storage, and destroying it
// walks past the storage. Their allocator (HashAllocator) therefore never throws on
// the first failure: it gives back a reserve held for this purpose, retries, and
// marks the memory as exhausted; the computation then throws std::bad_alloc at its
// next safe point (check(), a charge, the end of a parallel run), outside every table
// operation. The reserve is taken again on the next call.

//! Allocates `bytes`, using up the reserve before failing (see above).
void* allocate_or_use_reserve(std::size_t bytes);

namespace detail {
extern std::atomic<bool> exhausted;
[[noreturn]] void throw_exhausted();
}  // namespace detail

//! A safe point: throws std::bad_alloc once the reserve had to be used.
inline void check() {
    if (detail::exhausted.load(std::memory_order_relaxed)) detail::throw_exhausted();
}

//! Takes the reserve again when it was used (std::bad_alloc when that fails); called
//! where a computation starts.
void restore_reserve();

//! Throws std::bad_alloc unless `bytes` more fit under the limits with the reserve to
//! spare. Cheap: a running credit, re-measured only when it runs out.
inline void charge(std::size_t bytes) {
    check();
    if (detail::limited.load(std::memory_order_relaxed)) detail::charge(bytes);
}

//! Measures now and throws ResourceError ("not enough memory <what>: ...") unless
//! `bytes` fit; for rare, large steps such as starting threads.
void require(std::size_t bytes, const char* what);

}  // namespace tallisk::budget

namespace tallisk {

//! The allocator of the hash tables (see the reserve above).
template <class T>
struct HashAllocator {
    using value_type = T;
    HashAllocator() = default;
    template <class U>
    HashAllocator(const HashAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(budget::allocate_or_use_reserve(n * sizeof(T))); }
    void deallocate(T* p, std::size_t) noexcept { ::operator delete(p); }
    template <class U>
    bool operator==(const HashAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace tallisk
