// Intersection of ascending id lists, shared by the depth-first miners (Eclat and the
// package engine): a linear merge, or galloping search when one list is much shorter.
// Both give up early once a lower bound on the result (`floor`) is out of reach, which
// is where most failed candidates spend their time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "common/tuning.hpp"

namespace tallisk {

//! First element of the ascending range [first, first + n) greater than x. Rows are
//! short and the split points unpredictable, so this binary search selects by a
//! conditional move instead of branching.
inline const uint32_t* first_after(const uint32_t* first, std::size_t n, uint32_t x) {
    if (n == 0) return first;
    while (n > 1) {
        const std::size_t half = n / 2;
        first = first[half] <= x ? first + half : first;
        n -= half;
    }
    return first + (*first <= x);
}

//! |a ∩ b| for ascending lists, the common values written to `out` when Write. Gives
//! up as soon as `floor` is out of reach (a side can lose at most len - floor values)
//! and then returns some value below it; floor 0 never gives up.
template <bool Write>
uint32_t merge_intersect(const uint32_t* a, uint32_t na, const uint32_t* b, uint32_t nb, uint32_t floor,
                         uint32_t* out) {
    if (na < floor || nb < floor) return 0;
    int64_t slack_a = static_cast<int64_t>(na) - floor;
    int64_t slack_b = static_cast<int64_t>(nb) - floor;
    uint32_t i = 0, j = 0, c = 0;
    while (i < na && j < nb) {
        const uint32_t x = a[i], y = b[j];
        if (x == y) {
            if constexpr (Write) out[c] = x;
            ++c;
            ++i;
            ++j;
        } else if (x < y) {
            ++i;
            if (--slack_a < 0) return 0;
        } else {
            ++j;
            if (--slack_b < 0) return 0;
        }
    }
    return c;
}

template <bool Write>
uint32_t gallop_intersect(const uint32_t* a, uint32_t na, const uint32_t* b, uint32_t nb, uint32_t floor,
                          uint32_t* out) {
    if (na < floor || nb < floor) return 0;
    int64_t slack_a = static_cast<int64_t>(na) - floor;
    const uint32_t* lo = b;
    const uint32_t* const end = b + nb;
    uint32_t c = 0;
    for (uint32_t i = 0; i < na && lo != end; ++i) {
        const uint32_t x = a[i];
        std::size_t step = 1;
        const uint32_t* hi = lo;
        while (hi < end && *hi < x) {
            lo = hi + 1;
            hi = static_cast<std::size_t>(end - hi) > step ? hi + step : end;
            step *= 2;
        }
        lo = std::lower_bound(lo, hi, x);
        if (lo != end && *lo == x) {
            if constexpr (Write) out[c] = x;
            ++c;
            ++lo;
        } else if (--slack_a < 0) {
            return 0;
        }
    }
    return c;
}

//! |a ∩ b| (written to out when Write); below `floor` the result is only known to be
//! below it.
template <bool Write>
uint32_t intersect(const uint32_t* a, uint32_t na, const uint32_t* b, uint32_t nb, uint32_t floor, uint32_t* out) {
    if (na > nb) {
        std::swap(a, b);
        std::swap(na, nb);
    }
    if (nb / tuning::kGallopListRatio > na) return gallop_intersect<Write>(a, na, b, nb, floor, out);
    return merge_intersect<Write>(a, na, b, nb, floor, out);
}

}  // namespace tallisk
