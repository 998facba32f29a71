// The large-result buffers, and the parallel paths of rule generation and the top-k search
// (the same result on every pool size; the thread sanitizer build runs these). The rules
// themselves (full, closed and restricted input), their metrics and 0/0 cases, their
// improvement over every sub-rule, their input checks and the top-k search are checked
// against brute forces by tests/test_engine_rules.py, tests/test_tables.py and
// tests/test_decisions.py, which the sanitizer build runs as well.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "common/buffer.hpp"
#include "engine/rules.hpp"
#include "engine/topk.hpp"
#include "engine_oracles.hpp"

namespace tallisk {
namespace {

using namespace engine::oracles;

//! Sets in the CSR form generate_rules reads, counts as doubles.
struct RuleInput : CsrTable<double> {
    explicit RuleInput(const Sets& sets) {
        for (const auto& [s, c] : sets) add(s, static_cast<double>(c));
    }
    rules::Table table() const { return {offsets, items, counts}; }
};

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
