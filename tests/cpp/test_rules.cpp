// Rule improvement against every sub-rule, the metrics' 0/0 cases, the large-result
// buffers, and the parallel paths of rule generation and the top-k search (the same
// result on every pool size; the thread sanitizer build runs these). The rules
// themselves (full, closed and restricted input), their input checks and the top-k
// search are checked against every-split brute forces by tests/test_engine_rules.py and
// tests/test_decisions.py, which the sanitizer build runs as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "common/buffer.hpp"
#include "engine/rules.hpp"
#include "engine/topk.hpp"
#include "engine_oracles.hpp"

namespace tallisk {
namespace {

using namespace engine::oracles;
using Set = std::vector<int32_t>;

//! Sets in the CSR form generate_rules reads, counts as doubles.
struct RuleInput : CsrTable<double> {
    explicit RuleInput(const Sets& sets) {
        for (const auto& [s, c] : sets) add(s, static_cast<double>(c));
    }
    rules::Table table() const { return {offsets, items, counts}; }
};

//! Row i of one side of a rule table.
Set side(const large_vector<int64_t>& offsets, const large_vector<int32_t>& items, std::size_t i) {
    return {items.begin() + offsets[i], items.begin() + offsets[i + 1]};
}

//! The best confidence of B -> C over the proper subsets B of A, the empty one (C's
//! support) included, straight from the counts.
double best_sub_rule(const Sets& sets, const Set& a, const Set& c, double n) {
    double best = static_cast<double>(sets.at(c)) / n;
    for (uint32_t mask = 1; mask + 1 < (1u << a.size()); ++mask) {
        Set b, bc = c;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (mask >> i & 1) b.push_back(a[i]);
        bc.insert(bc.end(), b.begin(), b.end());
        std::sort(bc.begin(), bc.end());
        best = std::max(best, static_cast<double>(sets.at(bc)) / static_cast<double>(sets.at(b)));
    }
    return best;
}

TEST(Rules, ImprovementIsConfidenceOverEverySubRule) {
    for (int seed : {3, 4}) {
        std::mt19937 rng(seed);
        const Sets sets = superset_sums(random_baskets(rng, 60, 9, 0.4), 9, 2);
        const RuleInput table(sets);
        rules::Options o;
        o.n_transactions = 60;
        o.improvement = true;
        const auto got = rules::generate_rules(table.table(), o);
        ASSERT_EQ(got.improvement.size(), got.size());
        std::size_t productive = 0;
        for (std::size_t i = 0; i < got.size(); ++i) {
            const Set a = side(got.antecedent_offsets, got.antecedent_items, i);
            const Set c = side(got.consequent_offsets, got.consequent_items, i);
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

//! Every column of a rule table, for comparing two of them whole.
auto columns(const rules::RuleTable& r) {
    std::vector<std::vector<double>> out;
    for (const auto* c :
         {&r.count, &r.antecedent_count, &r.consequent_count, &r.support, &r.confidence, &r.lift, &r.leverage,
          &r.conviction, &r.zhangs_metric, &r.jaccard, &r.certainty, &r.kulczynski, &r.cosine, &r.improvement})
        out.push_back(plain(*c));
    return std::make_tuple(out, plain(r.antecedent_offsets), plain(r.antecedent_items), plain(r.consequent_offsets),
                           plain(r.consequent_items), plain(r.rule_row), plain(r.antecedent_row),
                           plain(r.consequent_row));
}

TEST(Rules, ParallelPathsGiveTheOneWorkerResult) {
    // Large enough that both searches split their work over the pool.
    std::mt19937 rng(11);
    const Baskets baskets = random_baskets(rng, 3000, 14, 0.6);
    const RuleInput table(superset_sums(baskets, 14, 60));
    rules::Options o;
    o.n_transactions = 3000;
    o.min_confidence = 0.3;
    o.improvement = true;
    const Occurrences occ = occurrences(baskets);
    topk::Options top;
    top.k = 200;
    top.by = topk::Measure::lift;
    top.min_count = 100;
    const auto run = [&] {
        const auto found = topk::top_rules(occ.txn, occ.item, 14, top);
        return std::make_pair(columns(rules::generate_rules(table.table(), o)), columns(found.rules));
    };
    const auto one = [&] {
        PoolSize size(1);
        return run();
    }();
    ASSERT_GT(std::get<0>(one.first)[0].size(), 20000u);  // rules: far past the parallel threshold
    ASSERT_GE(std::get<0>(one.second)[0].size(), 200u);
    for (std::size_t k : {2, 3}) {
        PoolSize size(k);
        SCOPED_TRACE(k);
        EXPECT_TRUE(run() == one);
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
