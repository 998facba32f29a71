// The weight-ranked cap on transaction length, shared by the level-wise and classic
// paths: a transaction longer than the cap keeps its heaviest items.
//
// Item x weighs item_weights[x], or 0.0 beyond the array. Among equal weights the
// smaller id is kept (what a stable descending sort of an ascending row gives). A NaN
// weight compares neither heavier nor lighter than anything under the plain float
// comparison, which would leave no consistent order (and undefined behaviour in a
// sort); it ranks below every number here instead. Each weight is read once into a
// key, so the comparison sees a fixed value even if the caller's array changes.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

namespace tallisk {

struct RankedItem {
    double weight;  // the item's weight as read once
    bool nan;       // weight is NaN: ranks below every number
    uint32_t item;
};

//! Strict total order on distinct items: heavier first, NaN last, then smaller id.
inline bool ranks_before(const RankedItem& a, const RankedItem& b) {
    if (a.nan != b.nan) return b.nan;
    if (!a.nan && a.weight != b.weight) return a.weight > b.weight;
    return a.item < b.item;
}

//! Writes the m heaviest of the distinct items `row` to out[0..m), ascending; needs
//! m <= row.size(). `out` may be row.data(). `scratch` is reused between calls.
inline void keep_heaviest(std::span<const uint32_t> row, std::size_t m, std::span<const double> item_weights,
                          std::vector<RankedItem>& scratch, uint32_t* out) {
    scratch.clear();
    for (uint32_t x : row) {
        const double w = x < item_weights.size() ? item_weights[x] : 0.0;
        scratch.push_back({w, std::isnan(w), x});
    }
    // A total order, so selecting the first m equals a stable sort and a cut.
    const auto kept_end = scratch.begin() + static_cast<std::ptrdiff_t>(m);
    std::nth_element(scratch.begin(), kept_end, scratch.end(), ranks_before);
    for (std::size_t i = 0; i < m; ++i) out[i] = scratch[i].item;
    std::sort(out, out + m);
}

}  // namespace tallisk
