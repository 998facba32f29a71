// Rule p-values: Fisher's tail against exact integer sums on every table of small
// populations, the log-space form far out in the tail, and the input checks. Both tests
// against SciPy, with transposed tables and degenerate margins, are tests/test_measures.py's.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "common/error.hpp"
#include "engine/stats.hpp"

namespace tallisk {
namespace {

using u128 = unsigned __int128;

u128 choose(int n, int k) {
    if (k < 0 || k > n) return 0;
    u128 c = 1;
    for (int i = 1; i <= k; ++i) c = c * static_cast<u128>(n - k + i) / static_cast<u128>(i);
    return c;
}

//! P(X >= x) as the exact ratio of integer sums, rounded once.
double exact_upper(int x, int successes, int draws, int n) {
    u128 tail = 0;
    for (int k = std::max(x, 0); k <= std::min(successes, draws); ++k)
        tail += choose(successes, k) * choose(n - successes, draws - k);
    return static_cast<double>(static_cast<long double>(tail) / static_cast<long double>(choose(n, draws)));
}

TEST(Stats, FisherTailMatchesExactSumsOnEverySmallTable) {
    // C(60, 30) < 2^60: every sum of products below fits 128 bits.
    double worst = 0;
    for (int n : {1, 2, 7, 23, 60}) {
        for (int a = 0; a <= n; ++a)
            for (int c = 0; c <= n; ++c)
                for (int x = std::max(0, a + c - n); x <= std::min(a, c); ++x) {
                    const double want = exact_upper(x, a, c, n);
                    const double got = stats::hypergeometric_upper(x, a, c, n);
                    ASSERT_GE(got, 0.0);
                    ASSERT_LE(got, 1.0);
                    worst = std::max(worst, std::fabs(got - want) / want);
                }
    }
    EXPECT_LT(worst, 1e-12);
}

TEST(Stats, FisherComplementsAndFarTails) {
    // The two tails around every cell add up to one. Y = draws - X counts the draws
    // among the failures, so P(X <= x - 1) = P(Y >= draws - x + 1).
    for (double x = 1; x <= 400; x += 13) {
        const double upper = stats::hypergeometric_upper(x, 400, 900, 5000);
        const double lower = stats::hypergeometric_upper(900 - x + 1, 5000 - 400, 900, 5000);
        EXPECT_NEAR(upper + lower, 1.0, 1e-13) << x;
    }
    // Far out in the tail the p-value is tiny but no product underflowed on the way: it
    // stays a positive number close to the observed cell's probability (the cells
    // beyond fall off by a factor of about 150 each).
    const double p = stats::hypergeometric_upper(150, 1000, 1000, 1e6);
    const double log_pmf = stats::log_hypergeometric_pmf(150, 1000, 1000, 1e6);
    EXPECT_LT(log_pmf, -600.0);
    EXPECT_GT(p, 1e-300);
    EXPECT_NEAR(std::log(p), log_pmf, 0.01);
    // Beyond the smallest double the answer is a correct zero, not a failure.
    EXPECT_EQ(stats::hypergeometric_upper(5e5, 1e6, 1e6, 1e9), 0.0);
}

TEST(Stats, RejectsTablesThatCannotExist) {
    const std::vector<double> one{1.0};
    struct Case {
        std::vector<double> count, a, c;
        double n;
        const char* message;
    };
    const std::vector<Case> cases = {
        {{1.5}, one, one, 10, "count[0] = 1.5 is not a whole number"},
        {{-1}, one, one, 10, "count[0] = -1 is not a whole number"},
        {one, {std::nan("")}, one, 10, "count_a[0] = nan is not a whole number"},
        {one, one, {11}, 10, "count_c[0] = 11 exceeds n_transactions"},
        {{3}, {2}, {5}, 10, "count[0] = 3 exceeds the count of its antecedent"},
        {{1}, {6}, {6}, 10, "11 transactions hold A or C"},
        {one, one, one, 0, "n_transactions must be a whole number >= 1"},
        {one, {1, 1}, one, 10, "must have one length"},
    };
    for (const Case& k : cases) {
        try {
            stats::p_values(k.count, k.a, k.c, k.n, stats::Test::fisher);
            ADD_FAILURE() << "no error for " << k.message;
        } catch (const InputError& e) {
            EXPECT_NE(std::string(e.what()).find(k.message), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace tallisk
