// The minimum-count rule shared by all miners: ceil(min_support * n) in double
// precision, converted with saturation; `otherwise` when min_support is not > 0
// (zero, negative or NaN). Each family chooses its own width and fallback.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace tallisk {

template <class T>
T min_count_from(double min_support, uint64_t n_transactions, T otherwise) {
    if (!(min_support > 0.0)) return otherwise;
    const double c = std::ceil(min_support * static_cast<double>(n_transactions));
    if (!(c > 0.0)) return 0;  // also NaN (inf * 0)
    // 2^64 and 2^32 are exact doubles; anything at or above saturates.
    constexpr double limit = static_cast<double>(std::numeric_limits<T>::max()) + 1.0;
    if (c >= limit) return std::numeric_limits<T>::max();
    return static_cast<T>(c);
}

}  // namespace tallisk
