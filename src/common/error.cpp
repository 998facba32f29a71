#include "common/error.hpp"

namespace tallisk {

void panic_index(std::size_t len, std::size_t index) {
    throw Panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                std::to_string(index));
}

}  // namespace tallisk
