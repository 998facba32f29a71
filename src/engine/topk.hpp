// The k rules with the highest value of a measure over all rules of a transaction table,
// found without a minimum support given.
//
// One depth-first search over itemsets, in an order that reaches every proper subset of
// a set before the set: items are ranked by descending transaction count, a set extends
// only by items ranked before all of its own, and a set's extensions are visited in rank
// order. (The sets whose last-ranked item is m come after every set of items ranked
// before m, and within them the same holds recursively.) The counts of the sets reached
// are kept, so when a set is reached the counts of all its subsets are known and its
// rules are evaluated at once. Transactions are handed down as lists (the engine's
// vertical view, engine/data.hpp): a node scans the rows of its transactions to count its
// extensions, then hands each transaction to the lists of the frequent extensions it
// holds. Every item's pairs are counted and their rules evaluated before any longer set
// is reached, in blocks split over the pool; a child is searched only where some pair of
// its item with an earlier extension of its parent reaches the floor, which the pair
// counts tell without a scan.
//
// The k best values found so far are kept; the k-th of them, lambda, only rises. For
// measures whose value bounds the rule's support the search raises its own count floor
// from lambda, so it never enters a subtree that cannot hold a rule of the top k:
//   support  = s(X);                       floor: s(X) >= lambda;
//   count    = n s(X);                     floor: count >= lambda;
//   leverage = s(X) - s(A) s(C) <= s(X) - s(X)^2 (A and C are subsets of X = A | C, so
//              s(A) >= s(X) and s(C) >= s(X)). A superset Y of X has s(Y) <= s(X), and
//              s - s^2 rises on [0, 1/2], so every rule of the subtree of a set with
//              count below the smallest c <= n/2 with c/n - (c/n)^2 >= lambda has a
//              leverage below lambda: that c is the floor.
// Until k rules are known lambda says nothing, and a search that starts at the lowest
// floor goes deep under the first, most frequent items before its floor rises. So lambda
// is first taken from pairs alone, every item's pairs above the floor they raise: once
// the pairs' rules number k, their k-th value is one the answer's k-th reaches, and the
// longer sets are searched once, from the floor it sets. With fewer than k pair rules
// (few items, min_len above 2, narrow sides) the longer sets are searched in rounds under
// falling hard floors (an eighth of the transactions, then halving): a round above a high
// floor is cheap, and the first round that finds k rules tells, through lambda, how low
// the floor must go; one more round at that floor is exact (its lambda can only be
// higher, so its floor can only be higher). Counts found by one round serve the next.
// On data of many items, the view of them all is most of the work of a small k, and
// the answer lies among the most frequent: the search first runs on the 2k + 32 most
// frequent alone (their floor the count of the last). When its lambda needs that floor
// or more, no rule over a rarer item can enter and its answer is the answer; otherwise
// that lambda is still one the answer's reaches, and the full search starts from its
// floor.
// Other measures (confidence, lift, conviction, ...) reach their best values on rules of
// any support, however rare; they need a fixed min_count, which is the floor of their
// single search.
//
// Within a set X the antecedents are walked from the largest down, removing items in
// position order, so each subset is reached once and the subsets of A after A. For
// measures that fall as s(A) rises and as s(C) rises (confidence, lift, leverage,
// conviction, jaccard, certainty, kulczynski, cosine), value(A -> X \ A) for any A' within
// A is at most the value at s(A) with s(C) at its least possible value s(X), so once that
// bound is below lambda nothing under A can enter and the walk turns back. For leverage it
// reads s(A) <= 1 - lambda / s(X): only antecedents (and, through the bound, consequents)
// nearly as rare as X itself are looked up. min_confidence prunes the same walk (a
// subset's confidence is no higher).
//
// Comparisons against lambda keep a margin of 1e-12 relative, so rules within rounding of
// the k-th value are never lost; the caller makes the cut (ties: values equal up to that
// rounding).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "engine/rules.hpp"

namespace tallisk::topk {

//! What the rules are ranked by: a number column of the rule table.
using Measure = rules::Column;

//! Whether the measure's value bounds the rule's support (see the file comment), so that
//! the search needs no min_count.
bool bounds_support(Measure by);

struct Options {
    std::size_t k = 10;  // >= 1
    //! The number of transactions, those without any item included; 0: the distinct
    //! transaction labels of the occurrences.
    uint64_t n_transactions = 0;
    Measure by = Measure::leverage;
    double min_confidence = 0.0;
    uint32_t min_count = 1;  // the smallest rule count considered (>= 1)
    std::size_t min_len = 2;
    std::size_t max_len = std::numeric_limits<std::size_t>::max();
    std::size_t max_consequent_len = std::numeric_limits<std::size_t>::max();
    //! By item id: 1 where the item may stand in an antecedent / a consequent; empty
    //! allows every item. An item allowed on neither side is in no rule (this is how
    //! items are excluded).
    std::vector<uint8_t> allow_a, allow_c;
};

struct Result {
    //! The candidate rules: every rule whose value is within the margin of the k-th value
    //! or above, by value descending (ties in search order). rule_row, antecedent_row
    //! and consequent_row are -1.
    rules::RuleTable rules;
    uint32_t n_transactions = 0;
    uint64_t itemsets = 0;  // sets the search reached, over all its rounds
    uint64_t examined = 0;  // antecedent/consequent splits whose value was computed, over all rounds
    uint32_t floor = 0;     // the count floor when the search ended
};

//! Searches the occurrences (checked with engine::check_occurrences first). Throws
//! InputError for options out of range.
Result top_rules(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids, uint32_t n_items,
                 const Options& options);

}  // namespace tallisk::topk
