// Intersections of transaction sets for the engine's searches: ascending lists (merge,
// or galloping when one side is much shorter) and bitsets (AND and popcount).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace tallisk::engine {

//! Growable buffer without value-initialisation; `fresh` discards the old content.
template <class T>
class Scratch {
public:
    T* fresh(std::size_t n) {
        if (n > cap_) {
            cap_ = std::max(n, cap_ * 2);
            data_ = std::make_unique_for_overwrite<T[]>(cap_);
        }
        return data_.get();
    }
    //! Keeps the first `keep` elements while growing to at least n.
    T* grow(std::size_t n, std::size_t keep) {
        if (n > cap_) {
            const std::size_t cap = std::max(n, cap_ * 2);
            auto bigger = std::make_unique_for_overwrite<T[]>(cap);
            if (keep) std::copy(data_.get(), data_.get() + keep, bigger.get());
            data_ = std::move(bigger);
            cap_ = cap;
        }
        return data_.get();
    }
    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }

private:
    std::unique_ptr<T[]> data_;
    std::size_t cap_ = 0;
};

// Beyond this length ratio, looking each value of the short list up in the long one by
// galloping search beats a linear merge.
constexpr uint32_t kGallopRatio = 32;

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
    if (nb / kGallopRatio > na) return gallop_intersect<Write>(a, na, b, nb, floor, out);
    return merge_intersect<Write>(a, na, b, nb, floor, out);
}

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

//! |a ∩ b| for bitsets of n words.
uint64_t and_count(const uint64_t* a, const uint64_t* b, std::size_t n);
//! out = a AND b over n words; returns its popcount.
uint64_t and_into(const uint64_t* a, const uint64_t* b, uint64_t* out, std::size_t n);
//! True when every bit of a is set in b.
bool bits_subset(const uint64_t* a, const uint64_t* b, std::size_t n);

}  // namespace tallisk::engine
