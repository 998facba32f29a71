#include "common/error.hpp"

#include <cstdarg>
#include <cstdio>

namespace tallisk {

OutOfMemory::OutOfMemory(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    std::vsnprintf(progress_, sizeof progress_, format, args);
    va_end(args);
}

void panic_index(std::size_t len, std::size_t index) {
    throw Panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                std::to_string(index));
}

}  // namespace tallisk
