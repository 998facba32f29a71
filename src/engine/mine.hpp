// Every frequent itemset of a transaction table: all of them, the closed ones (no
// proper superset has the same count) or the maximal ones (no proper superset is
// frequent).
//
// One depth-first search over items in rank order (ascending transaction count, ties
// by ascending id) serves all three targets:
//   all     - Eclat: a class of sets sharing a prefix extends by later-ranked members;
//   closed  - prefix-preserving closure extension (LCM): a closed set Q grows by a
//             later item e to the closure of Q + e, kept only when that closure adds
//             no item ranked before e, so every closed set is reached exactly once
//             and no non-closed set is ever visited;
//   maximal - the closed search with the pruning of MaxMiner and GenMax on top:
//             lookahead (when Q plus all its later frequent extensions is frequent, that
//             set is the only candidate below Q) and subset checks against the maximal
//             sets found so far (a subtree whose sets all lie inside one is skipped).
//             A set is reported only when no item extends it frequently, so the
//             result never depends on what a task had found when.
// On sparse data (the view in rows) nearly every frequent set is closed, and closed or
// maximal sets asked for in canonical order are the rows of the all-sets search that
// filter_target (engine/filter.hpp) keeps, as long as that search finds at most half as
// many sets as the view has occurrences; past that it stops and the closed or maximal
// search runs.
// Subtrees big enough to pay for a task (and runs of consecutive small ones) run as
// nested tasks on the shared pool; tasks of a maximal search share the maximal sets they
// find for the subset checks. Rows are put back in search order, so the output is
// identical for every number of workers. Rows come in depth-first preorder of this
// search (see mine_itemsets's docstring for the order stated in item terms), or sorted
// into the canonical order of canonical_order (engine/output.hpp) on request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/tuning.hpp"
#include "engine/output.hpp"

namespace tallisk::engine {

enum class Target { all, closed, maximal };

//! Row order of the result: the search's (see above), or canonical_order's.
enum class Order { search, canonical };

struct MineOptions {
    uint32_t min_count = 1;                                         // >= 1
    std::size_t min_len = 1;                                        // shorter sets are not reported
    std::size_t max_len = std::numeric_limits<std::size_t>::max();  // longer sets are not reported
    Target target = Target::all;
    Order order = Order::search;
    uint64_t max_itemsets = std::numeric_limits<uint64_t>::max();  // more reported rows -> InputError
    // Estimated work from which a subtree (or a run of small ones) becomes a task. Only
    // tests set it, to split small searches into many tasks of every kind.
    double task_work = tuning::kEngineSpawnWork;
    // Candidates per batch of the level-wise miner (see apriori.hpp). Only tests set it,
    // to cut small levels into many batches.
    std::size_t batch_candidates = tuning::kAprioriBatchCandidates;
};

struct MineResult {
    Table table;
    uint32_t n_transactions = 0;
    std::vector<int64_t> item_counts;  // transactions per item id
};

//! The error of a search that would report more than `limit` rows.
[[noreturn]] inline void throw_too_many(uint64_t limit) {
    throw InputError("more than " + std::to_string(limit) +
                     " frequent itemsets; raise the minimum support or set max_len");
}

//! Mines the occurrences (checked with check_occurrences first). Throws InputError when
//! more than max_itemsets rows would be reported.
MineResult mine(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids, uint32_t n_items,
                const MineOptions& options);

}  // namespace tallisk::engine
