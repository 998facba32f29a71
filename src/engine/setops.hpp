// Intersections of transaction sets for the engine's searches: ascending lists (merge,
// or galloping when one side is much shorter) and bitsets (AND and popcount, shared with
// Eclat in common/bitset.hpp).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "common/bitset.hpp"
#include "common/intersect.hpp"
#include "common/scratch.hpp"

namespace tallisk::engine {

//! The members of list a whose bit is set in `bits`, written to out; returns how many.
inline uint32_t filter_by_bits(const uint32_t* a, uint32_t na, const uint64_t* bits, uint32_t* out) {
    uint32_t c = 0;
    for (uint32_t i = 0; i < na; ++i) {
        const uint32_t t = a[i];
        out[c] = t;
        c += static_cast<uint32_t>((bits[t >> 6] >> (t & 63)) & 1u);
    }
    return c;
}

//! True when every bit of a is set in b.
bool bits_subset(const uint64_t* a, const uint64_t* b, std::size_t n);

}  // namespace tallisk::engine
