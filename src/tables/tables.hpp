// Work on the package's tables whose cost grows with the rows: grouping occurrence pairs
// by transaction (the input side of every Transactions), and ordering and gathering the
// columns of large results (the output side of rules). Plain C++ on spans; each helper
// runs on the worker pool and gives the same result for every number of workers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/buffer.hpp"

namespace tallisk::tables {

//! Occurrences grouped by transaction: row t of the CSR holds transaction t's distinct
//! item ids, ascending.
struct Grouped {
    large_vector<int64_t> txn_ids;   // the transaction of every kept pair, ascending
    large_vector<int32_t> item_ids;  // its item id; ascending within one transaction
};

//! The distinct (transaction, item) pairs of the occurrences, sorted by transaction,
//! then item id. Transaction codes must lie in 0 .. n_transactions - 1 and item ids be
//! non-negative, else InputError naming the first bad position; txn_codes and item_ids
//! must have one length. A counting sort by transaction (the codes are dense), then a
//! sort of each transaction's few items, so the cost is linear in the pairs rather
//! than that of one global sort of pair keys.
Grouped group_pairs(std::span<const int64_t> txn_codes, std::span<const int32_t> item_ids, uint64_t n_transactions);

//! The rows of collections given one after another (collection t holds the next sizes[t]
//! of `codes`), each code mapped through `rank` (empty: kept as it is), as group_pairs
//! gives them: each row's ids ascending, once each. InputError for a negative size,
//! sizes that do not add up to the codes, or a code without a rank.
Grouped group_rows(std::span<const int64_t> sizes, std::span<const int32_t> codes, std::span<const int32_t> rank);

//! The true cells of an n_rows x n_cols matrix of bytes (a non-zero byte is true), stored
//! row after row, or column after column with `column_major`: as (row, column) pairs by
//! row, and within a row by column (txn_ids the rows, item_ids the columns). InputError
//! when the bytes are not n_rows x n_cols or a position would not fit its type.
Grouped true_cells(std::span<const uint8_t> cells, std::size_t n_rows, std::size_t n_cols, bool column_major);

//! The positions of `keys` ordered by descending key, ties (and equal keys) by
//! ascending position, NaN after every number: the stable order of a descending sort.
std::vector<int64_t> order_descending(std::span<const double> keys);

//! out[i] = values[rows[i]] for `width`-byte elements (4 or 8), on the pool. Rows must
//! lie in 0 .. n_values - 1, else InputError; `out` holds rows.size() elements.
void gather(const void* values, std::size_t n_values, std::size_t width, std::span<const int64_t> rows, void* out);

}  // namespace tallisk::tables
