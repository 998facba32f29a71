// Closed and maximal rows of a table of frequent itemsets.
//
// In a table that holds every frequent itemset, a set is closed when no set one item
// longer that contains it has its count, and maximal when no set one item longer
// contains it at all: counts only fall as sets grow, and every subset of a frequent set
// is frequent, so a longer superset with the same count (or any longer frequent
// superset) implies one exactly one item longer. Each row S therefore marks its
// subsets S \ {x}, found through an index of the rows by content, and the rows left
// unmarked are the answer. The index is also what the level-wise miner prunes its
// candidates with and judges a finished level by.
//
// The index hashes a set as the sum of one 64-bit mix per item (plus one term for its
// length), so the hash of S \ {x} is the hash of S minus the mix of x: each of a row's
// subsets is found with one subtraction and one probe, never by hashing k - 1 items
// again. The table is open-addressed, eight bytes a slot (the row number and 32 bits of
// the hash as a tag), filled on the pool with compare-and-swap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/mine.hpp"

namespace tallisk::engine {

//! Itemset rows, ids ascending within each: row i is items[offsets[i], offsets[i + 1]),
//! or, without offsets, items[i * width, (i + 1) * width).
struct RowsView {
    std::span<const int64_t> offsets;  // empty: every row is `width` items long
    std::size_t width = 0;
    std::span<const uint32_t> items;
    std::size_t n_rows = 0;

    std::span<const uint32_t> row(std::size_t i) const {
        if (offsets.empty()) return items.subspan(i * width, width);
        return items.subspan(static_cast<std::size_t>(offsets[i]),
                             static_cast<std::size_t>(offsets[i + 1] - offsets[i]));
    }
};

//! The rows of a RowsView by content.
class SubsetIndex {
public:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;

    //! Indexes every row on the pool; rows of equal content are allowed (one of them is
    //! found) but recorded, see first_duplicate. The rows' storage must outlive the index.
    explicit SubsetIndex(const RowsView& rows);

    //! The hash of a set of ascending ids.
    uint64_t hash_of(std::span<const uint32_t> set) const {
        uint64_t h = 0;
        for (uint32_t x : set) h += item_term(x);
        return h;
    }
    //! The term item x adds to the hash of every set holding it: looked up for the ids
    //! of the rows (when they are not too large), computed for others.
    uint64_t item_term(uint32_t x) const { return x < terms_.size() ? terms_[x] : term_of(x); }

    //! The row holding `set` (ascending ids, hash `hash`), or kNone.
    uint32_t find(std::span<const uint32_t> set, uint64_t hash) const;
    //! The row holding `set` without its item at position `skip`, or kNone; `hash` is
    //! the hash of the whole `set`.
    uint32_t find_without(std::span<const uint32_t> set, uint64_t hash, std::size_t skip) const;
    //! Asks for the slot a probe for `hash` starts at, ahead of the probe.
    void prefetch(uint64_t hash) const;

    //! The first pair of rows (in row order: the smallest second row, then the smallest
    //! first) that hold the same set, or {kNone, kNone}.
    std::pair<uint32_t, uint32_t> first_duplicate() const;

private:
    template <class Same>
    uint32_t probe(uint64_t hash, std::size_t len, Same&& same) const;

    static uint64_t term_of(uint32_t x);

    RowsView rows_;
    std::vector<uint64_t> terms_;  // item_term of ids 0 .. terms_.size() - 1
    std::vector<uint64_t> slots_;  // (tag << 32) | row, or all ones when empty
    uint64_t mask_ = 0;
    bool duplicates_ = false;
};

//! Sets `dropped[r]` for every row r of `base` (indexed by `index`) that is a row of
//! `longer` minus one item: with any count for target maximal, with the same count for
//! target closed. The rows of `longer` are read on the pool.
void mark_subsets(const SubsetIndex& index, std::span<const int64_t> base_counts, const RowsView& longer,
                  std::span<const int64_t> longer_counts, Target target, std::vector<uint8_t>& dropped);

//! The rows of `rows` (distinct sets, ids ascending within each: a table of every
//! frequent itemset) that are closed or maximal among them, ascending. With
//! `check_duplicates`, two rows holding one set are an InputError naming them.
std::vector<int64_t> target_rows(const RowsView& rows, std::span<const int64_t> counts, Target target,
                                 bool check_duplicates);

//! The rows of a CSR itemset table (any row order, ids in any order within a row) that
//! are closed or maximal among the table's rows, ascending; every row for target all.
//! Throws InputError for a table that is not a CSR of ids (naming the place), a negative
//! id, an id repeated within a row, and (for target closed or maximal) two rows holding
//! the same set.
std::vector<int64_t> filter_target(std::span<const int64_t> offsets, std::span<const int32_t> items,
                                   std::span<const int64_t> counts, Target target);

}  // namespace tallisk::engine
