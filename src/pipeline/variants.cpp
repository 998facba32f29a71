// Level loops of the ablation pipelines. The shared steps (index, minimum count, pair
// level, outcome) are those of the base pipeline; one loop serves every variant, which
// only says what it builds before level 3, how it counts a level and what it carries
// to the next one.
#include "pipeline/variants.hpp"

#include <utility>

#include "common/tidlist.hpp"
#include "itemsets/pair_maps.hpp"
#include "itemsets/variants.hpp"

namespace tallisk::pipeline {
namespace {

//! Levels 3..k_max: count_level(k, carried) returns (frequent k-sets, what level k+1
//! needs). Stops once a level is empty, as every level above it is empty too.
template <class Carried, class CountLevel>
void level_loop(PipelineOutcome& out, uint64_t k_max, Carried carried, CountLevel&& count_level) {
    for (uint64_t k = 3; k <= k_max; ++k) {
        auto [frequent, next] = count_level(k, carried);
        if (k == k_max) {
            out.itemsets = std::move(frequent);
            break;
        }
        out.lower = std::move(frequent);
        carried = std::move(next);
        if (out.lower.empty()) break;
    }
}

//! A memoised variant's loop: `first(pairs)` gives the level-2 transaction sets,
//! `counter(k, lower_sets, carry)` one level as (counts, sets); the last level's sets
//! would be dropped unread, so they are not built (carry is false).
template <class First, class Counter>
void memo_loop(PipelineOutcome& out, const PairLevel& pairs, uint64_t k_max, First&& first, Counter&& counter) {
    level_loop(out, k_max, first(pairs.pair_set), [&](uint64_t k, const auto& lower_sets) {
        return counter(static_cast<std::size_t>(k), lower_sets, k < k_max);
    });
}

}  // namespace

LevelResult compute_pipeline_variant(Ablation variant, std::span<const int64_t> txn_ids,
                                     std::span<const int32_t> item_ids, uint64_t k_max, uint32_t n_items,
                                     double min_support, std::span<const double> item_weights,
                                     std::optional<uint64_t> max_items_per_txn) {
    using namespace itemsets;
    const InvertedIndex index = build_inverted_index(txn_ids, item_ids, n_items);
    const uint32_t min_count = pipeline_min_count(min_support, index.n_transactions);
    PairLevel pairs = pair_level(index, min_support);

    PipelineOutcome out;
    out.lower = std::move(pairs.lower);
    pairs.lower = CountMap();
    if (k_max >= 3) {
        const auto& w = item_weights;
        const auto& cap = max_items_per_txn;
        // The memoised counters start from every item's transactions; v1 does not.
        const ItemTxnsRoaring item_txns =
            variant == Ablation::v1_roaring ? ItemTxnsRoaring{} : ItemTxnsRoaring::from_index(index);
        const PairSet& ps = pairs.pair_set;
        auto bitmaps = [&](const PairSet& p) { return build_pair_tid_map(p, item_txns); };
        auto tid_lists = [&](const PairSet& p) { return build_pair_tid_map_adaptive(p, item_txns); };
        // One level's setup; k and whether its sets are carried vary per level.
        auto setup = [&](std::size_t k, bool carry) {
            return LevelSetup{index, item_txns, k, n_items, min_count, w, cap, carry};
        };
        switch (variant) {
            case Ablation::v1_roaring:
                level_loop(out, k_max, key_set(out.lower), [&](uint64_t k, const ItemsetSet& lower_set) {
                    CountMap frequent =
                        keep_frequent(count_k_itemsets_v1_roaring(index, lower_set, ps, k, n_items, w, cap), min_count);
                    ItemsetSet next = key_set(frequent);
                    return std::pair(std::move(frequent), std::move(next));
                });
                break;
            case Ablation::v2_memo:
                memo_loop(out, pairs, k_max, bitmaps, [&](std::size_t k, const BitmapLevel& lower, bool carry) {
                    return count_k_itemsets_v2_memo(setup(k, carry), lower, ps);
                });
                break;
            case Ablation::v3_adaptive:
                memo_loop(out, pairs, k_max, tid_lists, [&](std::size_t k, const TidListLevel& lower, bool carry) {
                    return count_k_itemsets_v3_adaptive(setup(k, carry), lower, ps);
                });
                break;
            case Ablation::v5_prefilter:
                memo_loop(out, pairs, k_max, tid_lists, [&](std::size_t k, const TidListLevel& lower, bool carry) {
                    return count_k_itemsets_v5_prefilter(setup(k, carry), lower, ps);
                });
                break;
            case Ablation::v6_gating: {
                const PairNeighbors neighbors = build_pair_neighbors(ps, n_items);
                memo_loop(out, pairs, k_max, tid_lists, [&](std::size_t k, const TidListLevel& lower, bool carry) {
                    return count_k_itemsets_v6_gating(setup(k, carry), lower, neighbors);
                });
                break;
            }
        }
    }
    return pipeline_result(std::move(out), index);
}

}  // namespace tallisk::pipeline
