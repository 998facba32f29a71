// The base level-wise pipeline and the level bookkeeping the ablation pipelines share.
#include "pipeline/pipeline.hpp"

#include <utility>

#include "common/support.hpp"
#include "itemsets/itemsets.hpp"
#include "pairs/pairs.hpp"

namespace tallisk::pipeline {

uint32_t pipeline_min_count(double min_support, uint32_t n_transactions) {
    return min_count_from<uint32_t>(min_support, n_transactions, 1);
}

PairLevel pair_level(const InvertedIndex& index, double min_support) {
    auto [pair_counts, pair_set] = pairs::count_frequent_pairs(index, index.n_items, index.n_transactions, min_support);
    PairLevel out;
    out.lower.reserve(pair_counts.size());
    for (const auto& [key, count] : pair_counts) out.lower.emplace(Itemset{pair_first(key), pair_second(key)}, count);
    out.pair_set = std::move(pair_set);
    return out;
}

CountMap keep_frequent(CountMap&& candidates, uint32_t min_count) {
    absl::erase_if(candidates, [&](const auto& entry) { return entry.second < min_count; });
    return std::move(candidates);
}

ItemsetSet key_set(const CountMap& level) {
    ItemsetSet keys;
    keys.reserve(level.size());
    for (const auto& entry : level) keys.insert(entry.first);
    return keys;
}

LevelResult pipeline_result(PipelineOutcome&& levels, const InvertedIndex& index) {
    LevelResult out;
    out.top = LevelRows::of(levels.itemsets);
    levels.itemsets = CountMap();
    out.lower = LevelRows::of(levels.lower);
    levels.lower = CountMap();
    out.item_counts = LevelRows::widen(index.item_counts);
    out.n_transactions = index.n_transactions;
    return out;
}

LevelResult compute_pipeline(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids, uint64_t k_max,
                             uint32_t n_items, double min_support, std::span<const double> item_weights,
                             std::optional<uint64_t> max_items_per_txn) {
    const InvertedIndex index = build_inverted_index(txn_ids, item_ids, n_items);
    const uint32_t min_count = pipeline_min_count(min_support, index.n_transactions);

    PairLevel pairs = pair_level(index, min_support);
    PipelineOutcome out;
    out.lower = std::move(pairs.lower);
    for (uint64_t k = 3; k <= k_max; ++k) {
        const ItemsetSet lower_set = key_set(out.lower);
        CountMap frequent = keep_frequent(itemsets::count_k_itemsets_internal(index, lower_set, pairs.pair_set, k,
                                                                              n_items, item_weights, max_items_per_txn),
                                          min_count);
        if (k == k_max) {
            out.itemsets = std::move(frequent);
            break;
        }
        out.lower = std::move(frequent);
        // No frequent k-set means no frequent set above it: both results are empty.
        if (out.lower.empty()) break;
    }
    return pipeline_result(std::move(out), index);
}

}  // namespace tallisk::pipeline
