// The input side shared by the engine's miner and counter: checking the caller's
// occurrence arrays, and the vertical view of the items a search works on.
//
// Items are renumbered into *ranks*: ascending transaction count, ties by ascending
// id. Depth-first searches extend a prefix only by later ranks, so the rare items,
// whose transaction sets are small, head the largest subtrees. Every transaction set
// is held either as an ascending list of transaction numbers (sparse data) or as a
// bitset over all transactions (dense data: there a word-wise AND and popcount beat
// any merge); the view picks one form for the whole search from the density.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/buffer.hpp"
#include "common/csr.hpp"
#include "common/index.hpp"

namespace tallisk::engine {

//! Throws InputError naming the first bad position when txn_ids and item_ids differ in
//! length or an item id lies outside 0 .. n_items - 1.
void check_occurrences(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids, uint64_t n_items);

//! Throws InputError naming the first bad position when `offsets` is not a CSR of
//! `items` (empty, not starting at 0, decreasing, not ending at items' length) or an id
//! is negative or, when n_items is given, not below it. `rows` names the rows in the
//! message for an empty offsets array ("0 for no <rows>").
void check_csr(std::span<const int64_t> offsets, std::span<const int32_t> items, const char* rows,
               std::optional<uint64_t> n_items);

//! The items with at least `min_count` transactions, in rank order, and their sets of
//! transactions in one form.
struct Vertical {
    uint32_t n_transactions = 0;
    uint32_t min_count = 1;
    std::vector<uint32_t> id_of;                               // rank -> item id
    std::vector<uint32_t> count;                               // rank -> transactions holding the item
    bool bits = false;                                         // true: bitsets, false: lists
    std::size_t n_words = 0;                                   // words per bitset (bits)
    std::vector<uint64_t> words;                               // rank r's bitset at r * n_words (bits)
    Csr<std::size_t, uint32_t, large_vector<uint32_t>> lists;  // row r: rank r's transaction numbers, ascending (lists)
    // Row t: transaction t's ranks, ascending (lists only): the rows a search on lists
    // scans to count and deliver the extensions of a node, instead of merging lists.
    Csr<std::size_t, uint32_t, large_vector<uint32_t>> rows;

    std::size_t size() const { return id_of.size(); }
    std::span<const uint32_t> list(uint32_t r) const { return lists.row(r); }
    const uint64_t* bitset(uint32_t r) const { return words.data() + r * n_words; }
    std::span<const uint32_t> row(uint32_t t) const { return rows.row(t); }
};

//! Items reaching min_count (>= 1) of `rows`, ranked, in the form the density calls for
//! (lists whatever the density with `lists_only`). `keep` (n_items flags, or empty for
//! all) restricts the view to some items; `with_rows` adds the horizontal view when lists
//! are chosen.
Vertical build_vertical(const TransactionRows& rows, uint32_t min_count, std::span<const uint8_t> keep = {},
                        bool with_rows = true, bool lists_only = false);

//! True when bitsets over all transactions are the cheaper form for sets of these sizes:
//! when the mean set fills at least 1 / tuning::kBitsetDivisor of the transactions.
bool prefer_bits(uint64_t total_set_sizes, std::size_t n_sets, uint32_t n_transactions);

}  // namespace tallisk::engine
