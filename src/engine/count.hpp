// Exact transaction counts of given itemsets.
//
// The candidates are walked as a prefix tree: sorted by their ascending ids, each one
// shares with the previous one the sets of transactions of their common prefix, so a
// prefix held by many candidates is intersected once. A set is an ascending list of
// transactions, or a bitset over all of them on dense data; a list meets a frequent
// item by a bit test per transaction, a rare one by a merge. The sorted candidates are
// cut into runs the pool's workers take in any order; a run rebuilds the prefix of its
// first candidate and writes counts only at its own candidates' places, so the result
// does not depend on the number of workers.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/index.hpp"
#include "common/scratch.hpp"
#include "engine/data.hpp"

namespace tallisk::engine {

//! Throws InputError naming the first bad position when `offsets` is not a CSR of
//! `items` (empty, not starting at 0, decreasing, not ending at items' length) or an
//! item id lies outside 0 .. n_items - 1.
void check_candidates(std::span<const int64_t> offsets, std::span<const int32_t> items, uint64_t n_items);

//! The transaction sets of some items, as candidate counting reads them: the vertical
//! view of those items, and a bitset of every item held by at least 1/64 of the
//! transactions when the view holds lists (a list meets such an item by a bit test per
//! transaction). Read-only once built; many walks may share it.
class ItemSets {
public:
    //! The items flagged in `used` (rows.n_items flags) of `rows`, which may be dropped
    //! afterwards. The bitsets are written on the pool.
    ItemSets(const TransactionRows& rows, std::span<const uint8_t> used);

private:
    friend class PrefixWalk;
    Vertical v_;
    uint32_t n_transactions_ = 0;
    std::vector<uint32_t> rank_of_;   // item id -> rank in v_, 0xFFFFFFFF when not viewed
    std::vector<uint32_t> dense_of_;  // rank -> index into dense_words_, or 0xFFFFFFFF
    std::vector<uint64_t> dense_words_;
    std::size_t n_words_ = 0;
};

//! Counts candidate itemsets one after another, each sharing the transaction sets of
//! its common prefix with the one before: given in lexicographic order, candidates form
//! a prefix tree whose every node is intersected once. One walk per thread.
class PrefixWalk {
public:
    //! `floor`: counts below it need not be exact (only that they are below it), which
    //! lets the intersections stop early; 0 for exact counts.
    explicit PrefixWalk(const ItemSets& sets, uint32_t floor = 0) : s_(sets), floor_(floor) {}

    //! The transactions holding every id of `items` (ascending, each once); every
    //! transaction for the empty set, none for a set with an item not viewed.
    uint32_t count(std::span<const uint32_t> items);

private:
    //! Set of the prefix of length d + 1: the prefix of length d meeting `item`.
    void extend(std::size_t d, uint32_t item);

    const ItemSets& s_;
    uint32_t floor_;
    std::vector<uint32_t> prev_;  // the last candidate; its first depth_ sets are valid
    std::size_t depth_ = 0;
    std::vector<Scratch<uint32_t>> lists_;
    std::vector<Scratch<uint64_t>> words_;
    std::vector<uint32_t> size_;
    std::vector<const uint32_t*> ptr_;
    std::vector<const uint64_t*> wptr_;
};

struct CountResult {
    std::vector<int64_t> counts;  // per candidate
    uint32_t n_transactions = 0;
};

//! Count of every candidate: transactions holding all its items. Repeated ids within a
//! candidate count once; the empty candidate is held by every transaction. Inputs must
//! have passed check_occurrences and check_candidates.
CountResult count_candidates(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids, uint32_t n_items,
                             std::span<const int64_t> offsets, std::span<const int32_t> items);

}  // namespace tallisk::engine
