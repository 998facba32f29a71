// Rule generation against an every-split brute force on small random tables, closed
// input against full input, improvement against every sub-rule, the top-k search against
// the brute force's k best, the metrics' 0/0 cases, input checks, and the large-result
// buffers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "common/buffer.hpp"
#include "common/error.hpp"
#include "engine/rules.hpp"
#include "engine/topk.hpp"

namespace tallisk {
namespace {

using Set = std::vector<int32_t>;

//! Every non-empty subset of every transaction with its count (the full table).
std::map<Set, double> all_sets(const std::vector<Set>& txns, double min_count) {
    std::map<Set, double> counts;
    for (const Set& t : txns)
        for (uint32_t mask = 1; mask < (1u << t.size()); ++mask) {
            Set s;
            for (std::size_t i = 0; i < t.size(); ++i)
                if (mask >> i & 1) s.push_back(t[i]);
            counts[s] += 1;
        }
    std::map<Set, double> out;
    for (auto& [s, c] : counts)
        if (c >= min_count) out[s] = c;
    return out;
}

std::vector<Set> random_txns(std::mt19937& rng, int n, int n_items, int max_len) {
    std::vector<Set> txns;
    for (int t = 0; t < n; ++t) {
        std::set<int32_t> s;
        const int len = 1 + static_cast<int>(rng() % max_len);
        for (int j = 0; j < len; ++j) s.insert(static_cast<int32_t>(rng() % n_items));
        txns.emplace_back(s.begin(), s.end());
    }
    return txns;
}

struct Csr {
    std::vector<int64_t> offsets{0};
    std::vector<int32_t> items;
    std::vector<double> counts;
    rules::Table table() const { return {offsets, items, counts}; }
};

Csr csr(const std::map<Set, double>& sets) {
    Csr c;
    for (auto& [s, n] : sets) {
        c.items.insert(c.items.end(), s.begin(), s.end());
        c.offsets.push_back(static_cast<int64_t>(c.items.size()));
        c.counts.push_back(n);
    }
    return c;
}

using Rule = std::tuple<Set, Set, double, double, double>;  // A, C, count, count A, count C

std::set<Rule> as_rules(const rules::RuleTable& r) {
    std::set<Rule> out;
    for (std::size_t i = 0; i < r.size(); ++i) {
        Set a(r.antecedent_items.begin() + r.antecedent_offsets[i],
              r.antecedent_items.begin() + r.antecedent_offsets[i + 1]);
        Set c(r.consequent_items.begin() + r.consequent_offsets[i],
              r.consequent_items.begin() + r.consequent_offsets[i + 1]);
        out.emplace(a, c, r.count[i], r.antecedent_count[i], r.consequent_count[i]);
    }
    return out;
}

//! Every split of every set, kept by confidence and consequent length.
std::set<Rule> brute_rules(const std::map<Set, double>& sets, double min_conf, std::size_t max_c) {
    std::set<Rule> out;
    for (auto& [z, cz] : sets) {
        const std::size_t k = z.size();
        for (uint32_t mask = 1; mask + 1 < (1u << k); ++mask) {
            Set a, c;
            for (std::size_t i = 0; i < k; ++i) (mask >> i & 1 ? c : a).push_back(z[i]);
            if (c.size() > max_c) continue;
            const double ca = sets.at(a), cc = sets.at(c);
            if (cz / ca >= min_conf) out.emplace(a, c, cz, ca, cc);
        }
    }
    return out;
}

class RulesBruteForce : public ::testing::TestWithParam<std::tuple<int, double, int>> {};

TEST_P(RulesBruteForce, FullAndClosedInputGiveEverySplitThatPasses) {
    const auto [seed, min_conf, max_c] = GetParam();
    std::mt19937 rng(seed);
    const auto txns = random_txns(rng, 40, 9, 6);
    const auto sets = all_sets(txns, 3);
    rules::Options o;
    o.n_transactions = 40;
    o.min_confidence = min_conf;
    if (max_c > 0) o.max_consequent_len = max_c;
    const auto want = brute_rules(sets, min_conf, max_c > 0 ? max_c : 64);

    const Csr full = csr(sets);
    const auto got = rules::generate_rules(full.table(), o);
    EXPECT_EQ(as_rules(got), want);
    EXPECT_EQ(got.size(), want.size());  // no rule twice
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_GE(got.rule_row[i], 0);

    // The closed sets alone: no superset with the same count.
    std::map<Set, double> closed;
    for (auto& [s, c] : sets) {
        bool is_closed = true;
        for (auto& [t, d] : sets)
            if (d == c && t.size() > s.size() && std::includes(t.begin(), t.end(), s.begin(), s.end()))
                is_closed = false;
        if (is_closed) closed[s] = c;
    }
    o.input_target = rules::InputTarget::closed;
    const auto from_closed = rules::generate_rules(csr(closed).table(), o);
    EXPECT_EQ(as_rules(from_closed), want);
    EXPECT_EQ(from_closed.size(), want.size());
}

INSTANTIATE_TEST_SUITE_P(Seeds, RulesBruteForce,
                         ::testing::Combine(::testing::Values(1, 2, 3), ::testing::Values(0.0, 0.5, 0.9),
                                            ::testing::Values(0, 1, 2)));

TEST(Rules, RestrictionsKeepOnlyAllowedSides) {
    std::mt19937 rng(7);
    const auto sets = all_sets(random_txns(rng, 50, 8, 5), 2);
    const std::vector<int32_t> allow_a{0, 1, 2, 3, 4, 5}, allow_c{3, 4, 5, 6, 7};
    rules::Options o;
    o.n_transactions = 50;
    o.min_confidence = 0.3;
    o.antecedent_items = allow_a;
    o.consequent_items = allow_c;
    const auto got = as_rules(rules::generate_rules(csr(sets).table(), o));
    std::set<Rule> want;
    for (const Rule& r : brute_rules(sets, 0.3, 64)) {
        const auto in = [](const Set& s, const std::vector<int32_t>& allow) {
            for (int32_t v : s)
                if (std::find(allow.begin(), allow.end(), v) == allow.end()) return false;
            return true;
        };
        if (in(std::get<0>(r), allow_a) && in(std::get<1>(r), allow_c)) want.insert(r);
    }
    EXPECT_FALSE(want.empty());
    EXPECT_EQ(got, want);
}

//! The best confidence of B -> C over the proper subsets B of A, the empty one (C's
//! support) included, straight from the counts.
double best_sub_rule(const std::map<Set, double>& sets, const Set& a, const Set& c, double n) {
    double best = sets.at(c) / n;
    for (uint32_t mask = 1; mask + 1 < (1u << a.size()); ++mask) {
        Set b, bc = c;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (mask >> i & 1) b.push_back(a[i]);
        bc.insert(bc.end(), b.begin(), b.end());
        std::sort(bc.begin(), bc.end());
        best = std::max(best, sets.at(bc) / sets.at(b));
    }
    return best;
}

TEST(Rules, ImprovementIsConfidenceOverEverySubRule) {
    for (int seed : {3, 4}) {
        std::mt19937 rng(seed);
        const auto sets = all_sets(random_txns(rng, 60, 9, 6), 2);
        const Csr table = csr(sets);
        rules::Options o;
        o.n_transactions = 60;
        o.improvement = true;
        const auto got = rules::generate_rules(table.table(), o);
        ASSERT_EQ(got.improvement.size(), got.size());
        std::size_t productive = 0;
        for (std::size_t i = 0; i < got.size(); ++i) {
            const Set a(got.antecedent_items.begin() + got.antecedent_offsets[i],
                        got.antecedent_items.begin() + got.antecedent_offsets[i + 1]);
            const Set c(got.consequent_items.begin() + got.consequent_offsets[i],
                        got.consequent_items.begin() + got.consequent_offsets[i + 1]);
            EXPECT_EQ(got.improvement[i], got.confidence[i] - best_sub_rule(sets, a, c, 60));
            productive += got.improvement[i] > 0;
        }
        // min_improvement keeps exactly the rules above it; given rules get the same values.
        o.min_improvement = 0.0;
        const auto kept = rules::generate_rules(table.table(), o);
        EXPECT_EQ(kept.size(), productive);
        for (double v : kept.improvement) EXPECT_GT(v, 0.0);
        const auto again = rules::rule_improvement(table.table(), o, got.antecedent_offsets, got.antecedent_items,
                                                   got.consequent_offsets, got.consequent_items);
        EXPECT_TRUE(std::equal(again.begin(), again.end(), got.improvement.begin(), got.improvement.end()));
    }
}

//! The value of a rule for the measure `by`, as the search ranks it.
double measure_of(topk::Measure by, double cz, double ca, double cc, double n) {
    const rules::Metrics m = rules::rule_metrics(cz, ca, cc, n);
    switch (by) {
        case topk::Measure::support: return m.support;
        case topk::Measure::count: return cz;
        case topk::Measure::leverage: return m.leverage;
        case topk::Measure::confidence: return m.confidence;
        case topk::Measure::lift: return m.lift;
        case topk::Measure::conviction: return m.conviction;
        case topk::Measure::zhangs_metric: return m.zhangs_metric;
        case topk::Measure::jaccard: return m.jaccard;
        case topk::Measure::certainty: return m.certainty;
        case topk::Measure::kulczynski: return m.kulczynski;
        case topk::Measure::cosine: return m.cosine;
        case topk::Measure::antecedent_support: return ca / n;
        case topk::Measure::consequent_support: return cc / n;
    }
    return 0;
}

struct TopCase {
    topk::Measure by;
    std::size_t k;
    uint32_t min_count;
    double min_conf;
    std::size_t max_len, max_c;
    bool restricted;
};

TEST(TopRules, EqualTheKBestOfEveryRuleTiesIncluded) {
    using M = topk::Measure;
    constexpr std::size_t kAll = std::numeric_limits<std::size_t>::max();
    const std::vector<TopCase> cases = {
        {M::leverage, 1, 1, 0.0, kAll, kAll, false},
        {M::leverage, 7, 1, 0.0, kAll, kAll, false},
        {M::leverage, 40, 1, 0.3, kAll, 1, false},
        {M::leverage, 12, 1, 0.0, 3, kAll, true},
        {M::support, 5, 1, 0.0, kAll, kAll, false},
        {M::count, 9, 1, 0.5, kAll, 2, true},
        {M::confidence, 10, 3, 0.0, kAll, kAll, false},
        {M::lift, 6, 2, 0.0, kAll, kAll, true},
        {M::conviction, 8, 3, 0.2, kAll, kAll, false},
        {M::zhangs_metric, 10, 2, 0.0, kAll, kAll, false},
        {M::jaccard, 5, 2, 0.0, 2, kAll, false},
        {M::certainty, 10, 3, 0.0, kAll, 1, false},
        {M::kulczynski, 4, 2, 0.0, kAll, kAll, true},
        {M::cosine, 10, 2, 0.0, kAll, kAll, false},
        {M::antecedent_support, 6, 2, 0.0, kAll, kAll, false},
        {M::consequent_support, 6, 2, 0.4, kAll, kAll, false},
        {M::leverage, 100000, 1, 0.0, kAll, kAll, false},  // more than there are: all of them
    };
    const std::vector<int32_t> allow_a{0, 1, 2, 3, 4, 5}, allow_c{2, 3, 4, 5, 6, 7, 8};
    for (int seed : {11, 12, 13}) {
        std::mt19937 rng(seed);
        const auto txns = random_txns(rng, 70, 9, 6);
        std::vector<int64_t> txn_ids;
        std::vector<int32_t> item_ids;
        for (std::size_t t = 0; t < txns.size(); ++t)
            for (int32_t i : txns[t]) {
                txn_ids.push_back(static_cast<int64_t>(t));
                item_ids.push_back(i);
            }
        const double n = static_cast<double>(txns.size());
        for (const TopCase& tc : cases) {
            topk::Options o;
            o.k = tc.k;
            o.by = tc.by;
            o.min_count = tc.min_count;
            o.min_confidence = tc.min_conf;
            o.max_len = tc.max_len;
            o.max_consequent_len = tc.max_c;
            if (tc.restricted) {
                o.allow_a.assign(9, 0);
                o.allow_c.assign(9, 0);
                for (int32_t v : allow_a) o.allow_a[v] = 1;
                for (int32_t v : allow_c) o.allow_c[v] = 1;
            }
            // The oracle: every rule of every set, filtered, valued, cut at the k-th value.
            std::vector<std::pair<double, Rule>> all;
            for (const Rule& r : brute_rules(all_sets(txns, tc.min_count), tc.min_conf, tc.max_c)) {
                const auto& [a, c, cz, ca, cc] = r;
                if (a.size() + c.size() > tc.max_len) continue;
                const auto in = [](const Set& s, const std::vector<uint8_t>& mask) {
                    return mask.empty() || std::all_of(s.begin(), s.end(), [&](int32_t v) { return mask[v] != 0; });
                };
                if (!in(a, o.allow_a) || !in(c, o.allow_c)) continue;
                all.emplace_back(measure_of(tc.by, cz, ca, cc, n), r);
            }
            ASSERT_FALSE(all.empty());
            std::sort(all.begin(), all.end(), [](const auto& x, const auto& y) { return x.first > y.first; });
            const double kth = all[std::min(tc.k, all.size()) - 1].first;
            std::set<Rule> want;
            for (const auto& [v, r] : all)
                if (v >= kth) want.insert(r);

            const topk::Result got = topk::top_rules(txn_ids, item_ids, 9, o);
            std::set<Rule> cut;
            for (std::size_t i = 0; i < got.rules.size(); ++i) {
                const double v = measure_of(tc.by, got.rules.count[i], got.rules.antecedent_count[i],
                                            got.rules.consequent_count[i], n);
                EXPECT_GE(v, kth - 1e-9 * std::fabs(kth)) << "a rule far below the k-th value was kept";
                if (i > 0) {
                    EXPECT_LE(v, measure_of(tc.by, got.rules.count[i - 1], got.rules.antecedent_count[i - 1],
                                            got.rules.consequent_count[i - 1], n));
                }
            }
            for (const Rule& r : as_rules(got.rules))
                if (measure_of(tc.by, std::get<2>(r), std::get<3>(r), std::get<4>(r), n) >= kth) cut.insert(r);
            EXPECT_EQ(cut, want) << "seed " << seed << " measure " << static_cast<int>(tc.by) << " k " << tc.k;
        }
    }
}

TEST(RuleMetrics, ZeroDenominatorsAndCertainRules) {
    // C in every transaction: confidence 1, conviction inf, certainty 0 (its 0/0).
    auto m = rules::rule_metrics(4, 4, 10, 10);
    EXPECT_EQ(m.confidence, 1.0);
    EXPECT_TRUE(std::isinf(m.conviction));
    EXPECT_EQ(m.certainty, 0.0);
    // A in every transaction and C wherever A ∪ C is: Zhang's 0/0 is 0.
    m = rules::rule_metrics(6, 10, 6, 10);
    EXPECT_EQ(m.zhangs_metric, 0.0);
    EXPECT_EQ(m.leverage, 0.0);
    // An ordinary rule: counts of 3 (A ∪ C), 4 (A), 5 (C) in 10.
    m = rules::rule_metrics(3, 4, 5, 10);
    EXPECT_DOUBLE_EQ(m.lift, 0.75 / 0.5);
    EXPECT_DOUBLE_EQ(m.conviction, 0.5 / 0.25);
    EXPECT_DOUBLE_EQ(m.jaccard, 0.3 / 0.6);
    EXPECT_DOUBLE_EQ(m.kulczynski, (0.75 + 0.6) / 2);
}

TEST(Rules, BadInputNamesArgumentAndPosition) {
    const std::vector<int64_t> offsets{0, 1, 3, 2};
    const std::vector<int32_t> items{1, 1, 2};
    const std::vector<double> counts{3, 2, 2};
    rules::Options o;
    o.n_transactions = 5;
    try {
        rules::generate_rules({offsets, items, counts}, o);
        FAIL() << "no error";
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find("offsets[3]"), std::string::npos) << e.what();
    }
    // A table without the single items cannot give the antecedent counts.
    const std::vector<int64_t> pair_offsets{0, 2};
    const std::vector<double> pair_counts{2};
    EXPECT_THROW(rules::generate_rules({pair_offsets, items, pair_counts}, o), InputError);
}

TEST(LargeVector, HugeMappingsKeepTheirValuesAndTheirNeighbours) {
    // Blocks just under, at and just past huge-page multiples are mapped to different
    // lengths (whole huge pages, or a tail of small ones). Freeing one must release
    // exactly its own mapping: a neighbour unmapped by mistake faults when read.
    const std::size_t words = buffer::kHugePage / sizeof(uint64_t);
    const std::vector<std::size_t> sizes{words, words + 1, 2 * words - 3, 2 * words + 512, 3 * words + 1};
    std::vector<large_vector<uint64_t>> blocks;
    for (int round = 0; round < 3; ++round) {
        for (std::size_t n : sizes) {
            blocks.emplace_back(n);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks.back().data()) % buffer::kHugePage, 0u);
            for (std::size_t i = 0; i < n; ++i) blocks.back()[i] = n ^ i;
        }
        // Free every other block, then check all that remain to their last element.
        for (std::size_t b = round % 2; b < blocks.size(); b += 2) large_vector<uint64_t>().swap(blocks[b]);
        for (const auto& blk : blocks) {
            for (std::size_t i = 0; i < blk.size(); i += 509) ASSERT_EQ(blk[i], blk.size() ^ i);
            if (!blk.empty()) {
                ASSERT_EQ(blk.back(), blk.size() ^ (blk.size() - 1));
            }
        }
    }
    // Prefaulting keeps what is written; growth copies it into a new mapping.
    large_vector<uint64_t>& v = blocks[13];
    const std::size_t n = v.size();
    buffer::prefault(v.data(), n * sizeof(uint64_t));
    v.push_back(7);
    for (std::size_t i = 0; i < n; i += 509) ASSERT_EQ(v[i], n ^ i);
    EXPECT_EQ(v[n - 1], n ^ (n - 1));
    EXPECT_EQ(v[n], 7u);
}

}  // namespace
}  // namespace tallisk
