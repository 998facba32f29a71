// Significance of rules: one-sided p-values of the 2x2 table of A and C over all
// transactions, testing whether A and C occur together more often than independence
// predicts.
//
//   fisher - Fisher's exact test: with the margins fixed, the number of transactions
//            holding both is hypergeometric; p = P(X >= count). The probability of the
//            observed cell comes from Loader's saddle-point form (Stirling remainders and
//            the deviance term bd0, so no difference of large log-factorials loses
//            digits), and the tail is summed relative to it from the observed cell
//            outward. Where the observed cell lies below the mode, the other tail is
//            summed and p = 1 - P(X < count) (p is then large and keeps its digits).
//   chi2   - Pearson's chi-squared statistic without continuity correction, as a
//            signed normal deviate z = (n * count - count_a * count_c) * sqrt(n) /
//            sqrt(count_a (n - count_a) count_c (n - count_c)), z^2 being the statistic;
//            p = P(Z >= z) = erfc(z / sqrt 2) / 2: half the two-sided p-value when A and
//            C occur together more often than expected, one minus that half otherwise.
//
// A table whose antecedent or consequent is in every transaction (or in none) cannot
// show any association: p = 1 for both tests.
#pragma once

#include <cstdint>
#include <span>

#include "common/buffer.hpp"

namespace tallisk::stats {

enum class Test { fisher, chi2 };

//! log P(X = x) for X hypergeometric: x successes in `draws` draws without replacement
//! from n items of which `successes` are successes. Arguments are integer-valued; -inf
//! outside the support.
double log_hypergeometric_pmf(double x, double successes, double draws, double n);

//! P(X >= x) for the hypergeometric X above.
double hypergeometric_upper(double x, double successes, double draws, double n);

//! One-sided p-value of one 2x2 table: `count` transactions hold A and C, `count_a` A,
//! `count_c` C, out of n. Arguments must describe a possible table (see p_values).
double p_value(double count, double count_a, double count_c, double n, Test test);

//! The p-value of every table i (count[i], count_a[i], count_c[i], n), computed on the
//! pool. Throws InputError naming the first impossible table: counts that are not
//! whole numbers >= 0, arrays of different lengths, count above count_a or count_c,
//! count_a or count_c above n, or count_a + count_c - count above n.
large_vector<double> p_values(std::span<const double> count, std::span<const double> count_a,
                              std::span<const double> count_c, double n, Test test);

}  // namespace tallisk::stats
