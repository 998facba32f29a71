#include "engine/stats.hpp"

#include <algorithm>
#include <array>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "common/error.hpp"
#include "common/pool.hpp"
#include "common/tuning.hpp"

namespace tallisk::stats {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kLn2Pi = 1.8378770664093454835606594728112;  // log(2 pi)

//! A tail sum stops once the terms still to come, bounded by a geometric series, add
//! less than this share of it: below half an ulp of the sum.
constexpr double kTailStop = 0x1p-60;

//! The Stirling remainder log(n!) - ((n + 1/2) log n - n + log sqrt(2 pi)) for whole n up
//! to kSmallN, in extended precision: there the asymptotic series is not yet accurate,
//! and the direct difference of terms near 100 keeps its digits only in long double.
constexpr int kSmallN = 35;
const std::array<double, kSmallN + 1> kSmallStirling = [] {
    std::array<double, kSmallN + 1> t{};
    for (int n = 1; n <= kSmallN; ++n) {
        const long double x = n;
        t[n] = static_cast<double>(std::lgamma(x + 1.0L) - (x + 0.5L) * std::log(x) + x -
                                   0.5L * std::log(2.0L * 3.14159265358979323846264338327950288L));
    }
    return t;
}();

//! The Stirling remainder of a whole n >= 1: the table, then its asymptotic series
//! 1/(12n) - 1/(360n^3) + 1/(1260n^5) - 1/(1680n^7), whose next term is below 1e-17
//! from n = 36 on.
double stirling_remainder(double n) {
    if (n <= kSmallN) return kSmallStirling[static_cast<int>(n)];
    const double nn = n * n;
    return (1.0 / 12 - (1.0 / 360 - (1.0 / 1260 - 1.0 / (1680 * nn)) / nn) / nn) / n;
}

//! The deviance term x log(x / np) + np - x, by its series where x is near np (there
//! the direct form cancels to nothing).
double bd0(double x, double np) {
    if (std::fabs(x - np) < 0.1 * (x + np)) {
        double v = (x - np) / (x + np);
        double s = (x - np) * v;
        if (std::fabs(s) < DBL_MIN) return s;
        double ej = 2 * x * v;
        v *= v;
        for (int j = 1; j < 1000; ++j) {
            ej *= v;
            const double s1 = s + ej / (2 * j + 1);
            if (s1 == s) return s1;
            s = s1;
        }
    }
    return x * std::log(x / np) + np - x;
}

//! log of the binomial probability of x successes in n trials of probability p (q = 1 - p
//! given separately, so that neither loses digits), in Loader's saddle-point form.
double log_binomial(double x, double n, double p, double q) {
    if (p == 0) return x == 0 ? 0.0 : -kInf;
    if (q == 0) return x == n ? 0.0 : -kInf;
    if (x == 0) {
        if (n == 0) return 0.0;
        return p < 0.1 ? -bd0(n, n * q) - n * p : n * std::log(q);
    }
    if (x == n) return q < 0.1 ? -bd0(n, n * p) - n * q : n * std::log(p);
    if (x < 0 || x > n) return -kInf;
    const double lc =
        stirling_remainder(n) - stirling_remainder(x) - stirling_remainder(n - x) - bd0(x, n * p) - bd0(n - x, n * q);
    const double lf = kLn2Pi + std::log(x) + std::log1p(-x / n);
    return lc - 0.5 * lf;
}

//! exp(log_first) * sum, without the product underflowing where the result does not.
double scaled(double log_first, double sum) { return std::exp(log_first + std::log(sum)); }

//! Shortest text that reads back as the same double.
std::string num(double x) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, x);
    return std::string(buf, r.ptr);
}

}  // namespace

double log_hypergeometric_pmf(double x, double successes, double draws, double n) {
    const double failures = n - successes;
    if (x < std::max(0.0, draws - failures) || x > std::min(successes, draws)) return -kInf;
    // P(X = x) = Bin(x; K, p) Bin(D - x; N - K, p) / Bin(D; N, p) for any p; p = D / N
    // puts every factor at its saddle point, where Loader's form is most accurate.
    const double p = draws / n, q = (n - draws) / n;
    return log_binomial(x, successes, p, q) + log_binomial(draws - x, failures, p, q) - log_binomial(draws, n, p, q);
}

double hypergeometric_upper(double x, double successes, double draws, double n) {
    const double failures = n - successes;
    const double lo = std::max(0.0, draws - failures), hi = std::min(successes, draws);
    if (x <= lo) return 1.0;
    if (x > hi) return 0.0;
    // The probabilities rise to the mode and fall after it (the distribution is
    // log-concave), so a tail that starts beyond the mode has falling terms, and once a
    // term's ratio r to the one before is below 1 every later ratio is too: the rest of
    // the tail is below term * r / (1 - r).
    const double mode = std::floor((draws + 1) * (successes + 1) / (n + 2));
    if (x > mode) {
        double term = 1.0, sum = 1.0;
        for (double k = x; k < hi; ++k) {
            const double r = (successes - k) * (draws - k) / ((k + 1) * (failures - draws + k + 1));
            term *= r;
            sum += term;
            if (r < 1 && term * r <= kTailStop * sum * (1 - r)) break;
        }
        return std::min(1.0, scaled(log_hypergeometric_pmf(x, successes, draws, n), sum));
    }
    // At or below the mode p is large (it holds the mode's mass and more): the lower tail
    // P(X <= x - 1), summed downward from x - 1, and its complement keep every digit
    // that matters.
    double term = 1.0, sum = 1.0;
    for (double k = x - 1; k > lo; --k) {
        const double r = k * (failures - draws + k) / ((successes - k + 1) * (draws - k + 1));
        term *= r;
        sum += term;
        if (r < 1 && term * r <= kTailStop * sum * (1 - r)) break;
    }
    const double lower = scaled(log_hypergeometric_pmf(x - 1, successes, draws, n), sum);
    return std::clamp(1.0 - lower, 0.0, 1.0);
}

double p_value(double count, double count_a, double count_c, double n, Test test) {
    if (count_a == 0 || count_a == n || count_c == 0 || count_c == n) return 1.0;
    // The table and its transpose (A and C swapped) are one test; one order of the
    // margins gives them one value to the last bit.
    if (count_a > count_c) std::swap(count_a, count_c);
    if (test == Test::fisher) return hypergeometric_upper(count, count_a, count_c, n);
    // n * count - count_a * count_c exactly: the products of counts beyond 2^26 are not
    // exact in double, and their difference is what the statistic is made of.
    const auto exact = [](double v) { return static_cast<__int128>(static_cast<int64_t>(v)); };
    const __int128 excess = exact(n) * exact(count) - exact(count_a) * exact(count_c);
    const double z = static_cast<double>(excess) * std::sqrt(n) /
                     (std::sqrt(count_a * (n - count_a)) * std::sqrt(count_c * (n - count_c)));
    return 0.5 * std::erfc(z * M_SQRT1_2);
}

large_vector<double> p_values(std::span<const double> count, std::span<const double> count_a,
                              std::span<const double> count_c, double n, Test test) {
    if (count_a.size() != count.size() || count_c.size() != count.size())
        throw InputError("count, count_a and count_c must have one length; got " + std::to_string(count.size()) + ", " +
                         std::to_string(count_a.size()) + " and " + std::to_string(count_c.size()));
    // Counts beyond 2^53 are not whole numbers a double can hold one by one.
    constexpr double kMaxCount = 0x1p53;
    const auto whole = [](double v) { return std::isfinite(v) && v >= 0 && v <= kMaxCount && std::floor(v) == v; };
    if (!whole(n) || n < 1) throw InputError("n_transactions must be a whole number >= 1; got " + num(n));
    for (std::size_t i = 0; i < count.size(); ++i) {
        const double c = count[i], a = count_a[i], b = count_c[i];
        const auto at = [&](const char* name, double v) {
            return std::string(name) + "[" + std::to_string(i) + "] = " + num(v);
        };
        if (!whole(c)) throw InputError(at("count", c) + " is not a whole number >= 0");
        if (!whole(a)) throw InputError(at("count_a", a) + " is not a whole number >= 0");
        if (!whole(b)) throw InputError(at("count_c", b) + " is not a whole number >= 0");
        if (a > n) throw InputError(at("count_a", a) + " exceeds n_transactions = " + num(n));
        if (b > n) throw InputError(at("count_c", b) + " exceeds n_transactions = " + num(n));
        if (c > a || c > b)
            throw InputError(at("count", c) + " exceeds the count of its antecedent (" + num(a) + ") or consequent (" +
                             num(b) + ")");
        if (a + b - c > n)
            throw InputError("row " + std::to_string(i) + ": count_a + count_c - count = " + num(a + b - c) +
                             " transactions hold A or C, more than n_transactions = " + num(n));
    }
    large_vector<double> out(count.size());
    const auto body = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out[i] = p_value(count[i], count_a[i], count_c[i], n, test);
    };
    if (count.size() < tuning::kPValueParallelTables)
        body(0, count.size());
    else
        pool::for_range(count.size(), tuning::kPValueGrain, body);
    return out;
}

}  // namespace tallisk::stats
