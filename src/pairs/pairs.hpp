// Pair counting: the all-pairs association table (both orientations, seven metrics)
// and, for the level-wise miners, the thresholded count of unordered frequent pairs.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "common/buffer.hpp"
#include "common/index.hpp"
#include "common/itemset.hpp"

namespace tallisk::pairs {

//! Columns of the pair table; one row per kept ordered pair. The full table runs to
//! hundreds of megabytes, so the columns are large_vectors (huge pages, no zero fill).
struct PairOut {
    large_vector<int32_t> item_a;     // antecedent
    large_vector<int32_t> item_b;     // consequent
    large_vector<int64_t> instances;  // transactions holding both
    large_vector<double> support;
    large_vector<double> confidence;
    large_vector<double> lift;
    large_vector<double> conviction;
    large_vector<double> leverage;
    large_vector<double> cosine;
    large_vector<double> jaccard;

    std::size_t size() const { return item_a.size(); }
    //! Appends one row; the metrics follow from the counts.
    void push(uint32_t a, uint32_t b, uint64_t co, double count_a, double sa, double sb, double n);
    //! Sizes every column to `rows` rows; new rows are uninitialised until set().
    void resize(std::size_t rows);
    //! Writes row i (i < size()); the metrics follow from the counts.
    void set(std::size_t i, uint32_t a, uint32_t b, uint64_t co, double count_a, double sa, double sb, double n);
    //! Calls f(column) for each of the ten columns.
    template <class F>
    void for_each_column(F&& f) {
        f(item_a), f(item_b), f(instances), f(support), f(confidence);
        f(lift), f(conviction), f(leverage), f(cosine), f(jaccard);
    }
};

//! The seven metrics of a rule x -> y with co-occurrence `co`, count_x transactions
//! holding x, item supports sx and sy, and n transactions.
struct Metrics {
    double support, confidence, lift, conviction, leverage, cosine, jaccard;
};
Metrics pair_metrics(double co, double count_x, double sx, double sy, double n);

//! Every ordered pair (a, b), a != b, co-occurring in at least
//! ceil(min_support * n_transactions) transactions (no cut-off when min_support is not
//! positive). Rows ordered by anchor a ascending, then by first meeting within the
//! anchor's transactions; identical for every number of workers.
PairOut all_pairs(const InvertedIndex& index, double min_support);

//! The frequent unordered pairs of the index: every (a, b), a < b, held together by at
//! least min_count transactions, where min_count = ceil(min_support * n_transactions)
//! saturated to 64 bits, or 1 when min_support is not positive (so a pair must
//! co-occur at least once). Returns (pair -> count, set of the same pairs). Only
//! frequent items serve as anchors or partners. n_items is the size of the per-item
//! counters; every frequent item must lie below it (Panic otherwise). Runs on the pool;
//! the content does not depend on the number of workers.
std::pair<PairCounts, PairSet> count_frequent_pairs(const InvertedIndex& index, std::size_t n_items,
                                                    uint32_t n_transactions, double min_support);

}  // namespace tallisk::pairs
