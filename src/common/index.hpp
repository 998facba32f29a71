// The transaction model every miner except the classic path reads: transactions
// renumbered densely in order of first appearance, each transaction's items as a CSR
// (rows ascending, no duplicates) and its transpose, each item's transactions.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/buffer.hpp"
#include "common/csr.hpp"

namespace tallisk {

//! Rows of 32-bit ids with 32-bit offsets: the index checks that the occurrences fit.
//! The ids hold every occurrence, so they live in a large_vector: no zero fill before
//! they are written, and huge pages once they are big.
using IdRows = Csr<uint32_t, uint32_t, large_vector<uint32_t>>;

//! The transaction half of the model alone: what a miner that derives its own vertical
//! view needs, without the item-side copy of every occurrence.
struct TransactionRows {
    IdRows txn_rows;                    // n_transactions rows: each transaction's items, ascending
    std::vector<uint32_t> item_counts;  // distinct transactions per item
    uint32_t n_transactions = 0;        // distinct transaction labels
    uint32_t n_items = 0;               // size of the item id space

    std::span<const uint32_t> txn(uint32_t t) const { return txn_rows.row(t); }
};

struct InvertedIndex {
    IdRows txn_rows;                    // n_transactions rows: each transaction's items, ascending
    IdRows item_rows;                   // n_items rows: each item's dense transaction ids, ascending
    std::vector<uint32_t> item_counts;  // distinct transactions per item
    uint32_t n_transactions = 0;        // distinct transaction labels
    uint32_t n_items = 0;               // size of the item id space

    std::span<const uint32_t> txn(uint32_t t) const { return txn_rows.row(t); }
    std::span<const uint32_t> item(uint32_t i) const { return item_rows.row(i); }
};

//! Builds the index from parallel occurrence arrays. Labels are arbitrary int64 values
//! (only equality matters); item ids must lie in [0, n_items). Elements of item_ids
//! beyond txn_ids.size() are ignored.
//! Throws Panic for an item id out of range or item_ids shorter than txn_ids, and
//! InputError when there are more occurrences than the 32-bit offsets can address.
InvertedIndex build_inverted_index(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids,
                                   uint32_t n_items);

//! The transaction rows and item counts build_inverted_index would give, with the same
//! checks and errors, without building the item side.
TransactionRows build_transaction_rows(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids,
                                       uint32_t n_items);

//! Sorts each of the first n_rows rows of a CSR ascending and removes repeated values.
//! Consumes the table; its offsets need at least n_rows + 1 entries. Throws Panic on
//! offsets that decrease or point past the data.
IdRows sort_dedup_csr(IdRows rows, std::size_t n_rows);

//! Checks every invariant of the index; returns an empty string when it holds, else
//! the first violation found. Run on every index built in debug builds and by the C++
//! tests.
std::string validate(const InvertedIndex& index);

}  // namespace tallisk
