// Failure types shared by every compute unit.
//
// Compute code reports problems by throwing; the module boundary is the one place
// that turns them into Python exceptions:
//   Panic       -> PanicException (inconsistent data met during a computation),
//   InputError  -> ValueError     (input the caller can fix, e.g. too large for the
//                                  32-bit counters),
//   bad_alloc   -> MemoryError (for the package engine's calls, saying which call ran
//                  out and, from an OutOfMemory, how far it had got),
//   ResourceError -> MemoryError with its reason (threads or address space ran out).
#pragma once

#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>

namespace tallisk {

//! A native failure on inconsistent input; reported as PanicException.
class Panic : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

//! Input that cannot be processed as given; reported as ValueError.
class InputError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

//! The system refused a resource the computation needs (a worker thread, address
//! space); reported as MemoryError with this message.
class ResourceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

//! std::bad_alloc that says how far the computation had got ("1234 rows so far"), for
//! the boundary's message. The text lives in the exception itself: building it needs
//! no memory, which has just run out.
class OutOfMemory : public std::bad_alloc {
public:
    //! `progress`: printf format and arguments.
    [[gnu::format(printf, 2, 3)]] explicit OutOfMemory(const char* format, ...) noexcept;
    const char* progress() const noexcept { return progress_; }

private:
    char progress_[96];
};

//! Throws Panic with the "index out of bounds" message.
[[noreturn]] void panic_index(std::size_t len, std::size_t index);

//! Bounds check used wherever an id from the data indexes an array.
inline void check_index(std::size_t index, std::size_t len) {
    if (index >= len) [[unlikely]]
        panic_index(len, index);
}

}  // namespace tallisk
