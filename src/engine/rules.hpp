// Association rules from a mined itemset table.
//
// For every set Z of the table (the rule's base) and every split of Z into a non-empty
// antecedent A and a non-empty consequent C = Z \ A, the rule A -> C is kept when
// conf = count(Z) / count(A) >= min_confidence, and the optional lift floor, length
// cap and item restrictions hold. Confidence can only fall as items move from A to C
// (A shrinks, so count(A) grows), so the consequents of one base are grown level by
// level from those that passed, as the classic rule generator does: a consequent of
// m + 1 items is tried only when every m-item consequent inside it passed. Restrictions
// are part of that search rather than a filter on its output: items that may not stand
// in an antecedent are forced into every consequent from the start, and items that may
// not stand in a consequent are never added to one.
//
// Improvement (asked for with Options::improvement, or min_improvement) is each kept
// rule's confidence minus the highest confidence of a rule B -> C with B a proper subset
// of A, the empty antecedent included (its confidence is C's support). It is computed
// from the same counts while the rule is generated: best(S) = the highest confidence of
// B -> C over B within S, as the larger of conf(S -> C) and best(S minus one item), is
// kept per worker by (S | C, C) so that rules sharing a consequent share the sub-results;
// a rule of k antecedent items reads at most its 2^k antecedent subsets.
//
// Subset counts come from the index of sets by content that the closed and maximal
// filter uses (engine/filter.hpp): a set's hash is a sum of one term per item, so the
// antecedent of a one-item consequent, the base less that item, is found from the base's
// hash with one subtraction and never written out. Closed input is first expanded into
// every frequent set with its count, the largest count of a closed superset (see
// expand_closed in rules.cpp, which keeps a growing absl::flat_hash_set of the sets it
// has added); the rules are then those of the full table.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "common/buffer.hpp"

namespace tallisk::rules {

enum class InputTarget { all, closed };

//! The itemset table as the caller gives it: set i holds items[offsets[i] ..
//! offsets[i+1]) (any order, no repeats) and counts[i] transactions.
struct Table {
    std::span<const int64_t> offsets;
    std::span<const int32_t> items;
    std::span<const double> counts;
};

struct Options {
    //! Scale of the counts: the number of transactions, or 1 when counts are supports.
    double n_transactions = 1.0;
    double min_confidence = 0.0;
    std::optional<double> min_lift;
    std::optional<uint64_t> max_consequent_len;
    //! Items allowed in antecedents / consequents; nullopt allows every item.
    std::optional<std::span<const int32_t>> antecedent_items;
    std::optional<std::span<const int32_t>> consequent_items;
    InputTarget input_target = InputTarget::all;
    //! Compute each rule's improvement (RuleTable::improvement).
    bool improvement = false;
    //! Keep only rules whose improvement is strictly greater (implies improvement).
    std::optional<double> min_improvement;
    //! Write the metric columns (support to cosine); without them a RuleTable holds the
    //! three counts alone, from which metric_columns computes them in the table's order.
    bool metrics = true;
    //! Write each rule's sides as item lists (the CSR columns) and its rule_row. Without
    //! them a table of target all gives the sides' rows alone, as every side is one of
    //! its rows; the sides of closed input are always written.
    bool side_items = true;
};

//! The metrics of one rule from the counts of A ∪ C, A and C on the scale n.
struct Metrics {
    double support, confidence, lift, leverage, conviction, zhangs_metric, jaccard, certainty, kulczynski, cosine;
};
Metrics rule_metrics(double count, double count_a, double count_c, double n);

//! A number column of a rule table: the counts as given, the supports, or a metric of
//! rule_metrics (what metric_columns writes and top_rules ranks by). The columns read
//! from the counts alone come first.
enum class Column {
    count,
    antecedent_count,
    consequent_count,
    support,
    antecedent_support,
    consequent_support,
    confidence,
    lift,
    leverage,
    conviction,
    zhangs_metric,
    jaccard,
    certainty,
    kulczynski,
    cosine
};

//! Column c of the rule with counts cz (A | C), ca (A) and cc (C) on the scale n; `m`
//! holds rule_metrics of those counts (not read for the counts and supports).
double column_value(Column c, double cz, double ca, double cc, double n, const Metrics& m);

//! The columns `which` of the rules whose counts are count[r], count_a[r] and count_c[r]
//! (scale n), for r in `order` (empty: every rule in turn), on the pool: each column is
//! written once, in its final order, so a sorted table costs no gather of columns made
//! first in another order. InputError for counts of unequal lengths or a row of `order`
//! outside them.
std::vector<large_vector<double>> metric_columns(std::span<const double> count, std::span<const double> count_a,
                                                 std::span<const double> count_c, double n,
                                                 std::span<const Column> which, std::span<const int64_t> order);

//! One row per rule. Antecedents and consequents as CSR (ids ascending); rule_row,
//! antecedent_row and consequent_row are rows of the input table, -1 where the set is
//! not one (possible with closed input only).
struct RuleTable {
    large_vector<int64_t> antecedent_offsets, consequent_offsets;
    large_vector<int32_t> antecedent_items, consequent_items;
    large_vector<int64_t> rule_row, antecedent_row, consequent_row;
    large_vector<double> count, antecedent_count, consequent_count;
    large_vector<double> support, confidence, lift, leverage, conviction, zhangs_metric, jaccard, certainty, kulczynski,
        cosine;
    large_vector<double> improvement;  // empty unless Options::improvement or min_improvement
    bool with_metrics = true;
    bool with_sides = true;  // the CSR columns and rule_row were written

    std::size_t size() const { return antecedent_row.size(); }
    //! Sizes every column for n_rules rules holding the given numbers of antecedent and
    //! consequent items (no zero fill: each row is written once); offsets[0] = 0. The
    //! metric columns stay empty without `with_metrics`.
    void resize(std::size_t n_rules, std::size_t n_antecedent_items, std::size_t n_consequent_items,
                bool with_improvement, bool with_metrics = true, bool with_sides = true);
    //! Writes rule i's counts and, from them (rule_metrics), its metric columns if sized.
    void write_metrics(std::size_t i, double count, double count_a, double count_c, double n);
};

//! Every rule of the table (see the file comment). Order, the same for every number of
//! workers: by base, in input row order for target all; for closed input, closed row
//! by closed row in input order, each followed by the other sets it stands for (those
//! whose largest-count closed superset it is) in depth-first order of item removal.
//! Within a base, by consequent length, then consequents in lexicographic order of
//! their ascending ids. Throws InputError (naming the argument and position) for bad
//! input, and when a subset a rule needs is missing from a table of target all.
RuleTable generate_rules(const Table& table, const Options& options);

//! The improvement of given rules A -> C over the itemsets of `table` (read as
//! generate_rules reads it: n_transactions and input_target from `options`, the rest
//! unused): rule i has antecedent antecedent_items[antecedent_offsets[i] ..
//! antecedent_offsets[i+1]) and consequent likewise, ids in any order. Throws
//! InputError for bad input, for a rule whose sides are empty or overlap, and when a
//! set the rule needs is not in the table.
large_vector<double> rule_improvement(const Table& table, const Options& options,
                                      std::span<const int64_t> antecedent_offsets,
                                      std::span<const int32_t> antecedent_items,
                                      std::span<const int64_t> consequent_offsets,
                                      std::span<const int32_t> consequent_items);

}  // namespace tallisk::rules
