// The two global views of the frequent items an Eclat search starts from; the search
// builds one of them, whichever its cost model finds cheaper for the input, on the
// calling thread, and then shares it read-only with every top-level task.
//   frequent rows  - every transaction's frequent items as slots (positions in the
//                    frequent-item list), ascending; infrequent items never reach the
//                    search. Sparse data takes this view (eclat/rows_view.cpp).
//   global bitsets - one bitset over all transactions per frequent item. Dense data
//                    (few items in a large share of the transactions) takes this view:
//                    a top-level class then costs |later items| word-wise ANDs instead
//                    of a walk over every later item of every transaction
//                    (eclat/bits_view.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/index.hpp"
#include "eclat/classes.hpp"

namespace tallisk::eclat::detail {

//! Frequent rows: the slots of each transaction's frequent items, ascending, each row
//! closed by kRowEnd. Transactions with fewer than two frequent items hold no pair and
//! are left out.
struct RowsView {
    std::vector<uint32_t> row_slots;
    std::size_t max_row = 0;  // length of the longest frequent row
    // For each slot s, the places in row_slots where s occurs other than last in its
    // row, ascending: root_pos[root_offsets[s], root_offsets[s + 1]). Reading a row
    // from there needs no offset table and no search for the root. 64-bit places are
    // used only when the rows outgrow 32 bits.
    std::vector<std::size_t> root_offsets;
    std::vector<uint32_t> root_pos32;
    std::vector<uint64_t> root_pos64;
};

//! Builds the frequent rows of `rows`, which it releases as soon as it no longer needs
//! them (that lowers the peak).
RowsView build_rows_view(TransactionRows&& rows, const FrequentItems& frequent);

//! Appends the subtree of frequent item `slot` to `out` from the frequent rows: its
//! frequent supersets of k_max and k_max - 1 items, in ascending lexicographic order.
void rows_task(const RowsView& view, const Params& pr, uint32_t slot, EclatOut& out);

//! Global bitsets: n_words words per slot, bit t set when transaction t holds the
//! slot's item.
struct BitsView {
    std::size_t n_words = 0;
    std::vector<uint64_t> bits;
};

//! Builds the global bitsets of `rows` (n_words words each), then releases the rows.
BitsView build_bits_view(TransactionRows&& rows, const FrequentItems& frequent, std::size_t n_words);

//! As rows_task, from the global bitsets.
void bits_task(const BitsView& view, const Params& pr, uint32_t slot, EclatOut& out);

//! Frees the transaction rows once the search has its own view of them.
void release(TransactionRows& rows);

}  // namespace tallisk::eclat::detail
