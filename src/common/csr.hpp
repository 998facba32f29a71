// Compressed sparse rows: many variable-length rows stored back to back in one array,
// with one offset per row boundary. Transactions' items, items' transactions and the
// engine's lists and rows all take this shape; this is the one place that knows how a
// row is found.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace tallisk {

//! Row i is values[offsets[i], offsets[i + 1]). A table of n rows has n + 1 offsets,
//! ascending from 0 to values.size(); an empty table (no offsets at all) has no rows.
//! Offset is the narrowest type that can address values (32 bits where the input size is
//! checked against it, else std::size_t).
template <class Offset, class Value, class Values = std::vector<Value>>
struct Csr {
    std::vector<Offset> offsets;
    Values values;

    std::size_t rows() const { return offsets.empty() ? 0 : offsets.size() - 1; }
    std::span<const Value> row(std::size_t i) const {
        return {values.data() + offsets[i], values.data() + offsets[i + 1]};
    }
    //! Frees both arrays (not only their contents), for a table no longer needed.
    void release() {
        std::vector<Offset>().swap(offsets);
        Values().swap(values);
    }
};

}  // namespace tallisk
