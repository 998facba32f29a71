// The one level-wise driver: the steps every pipeline shares (index, minimum count,
// pair level, result), and one level loop that a counter plugs into by saying what it
// builds before level 3, how it counts a level and what it carries to the next.
#include "pipeline/pipeline.hpp"

#include <utility>

#include "common/index.hpp"
#include "common/itemset.hpp"
#include "common/support.hpp"
#include "common/tidlist.hpp"
#include "itemsets/itemsets.hpp"
#include "itemsets/pair_maps.hpp"
#include "itemsets/variants.hpp"
#include "pairs/pairs.hpp"

namespace tallisk::pipeline {
namespace {

//! The two levels a pipeline keeps while it climbs.
struct TopLevels {
    CountMap top;    // frequent k_max-sets
    CountMap lower;  // frequent (k_max-1)-sets (the pairs when k_max <= 2)
};

//! Level 2: the frequent pairs [a, b] (a < b) with their counts as a level map, and
//! the set of the same pairs for the counters' pair checks.
struct PairLevel {
    CountMap lower;
    PairSet pair_set;
};

PairLevel pair_level(const InvertedIndex& index, double min_support) {
    auto [pair_counts, pair_set] = pairs::count_frequent_pairs(index, index.n_items, index.n_transactions, min_support);
    PairLevel out;
    out.lower.reserve(pair_counts.size());
    for (const auto& [key, count] : pair_counts) out.lower.emplace(Itemset{pair_first(key), pair_second(key)}, count);
    out.pair_set = std::move(pair_set);
    return out;
}

//! The entries of `candidates` with a count of at least min_count (consumes the map).
CountMap keep_frequent(CountMap&& candidates, uint32_t min_count) {
    absl::erase_if(candidates, [&](const auto& entry) { return entry.second < min_count; });
    return std::move(candidates);
}

//! The keys of a level map as a set (a located counter's `freq_lower`).
ItemsetSet key_set(const CountMap& level) {
    ItemsetSet keys;
    keys.reserve(level.size());
    for (const auto& entry : level) keys.insert(entry.first);
    return keys;
}

//! Levels 3..k_max: count_level(k, carried) returns (frequent k-sets, what level k+1
//! needs). Stops once a level is empty, as every level above it is empty too.
template <class Carried, class CountLevel>
void level_loop(TopLevels& out, uint64_t k_max, Carried carried, CountLevel&& count_level) {
    for (uint64_t k = 3; k <= k_max; ++k) {
        auto [frequent, next] = count_level(k, carried);
        if (k == k_max) {
            out.top = std::move(frequent);
            break;
        }
        out.lower = std::move(frequent);
        carried = std::move(next);
        if (out.lower.empty()) break;
    }
}

//! A located counter's loop (base, v1): `count(lower_set, k)` counts level k from the
//! keys of the level below, found again in the rows; nothing is carried, the key set
//! is made from the level map when the level starts.
template <class Count>
void located_loop(TopLevels& out, uint64_t k_max, uint32_t min_count, Count&& count) {
    struct Nothing {};
    level_loop(out, k_max, Nothing{}, [&](uint64_t k, Nothing) {
        const ItemsetSet lower_set = key_set(out.lower);
        return std::pair(keep_frequent(count(lower_set, static_cast<std::size_t>(k)), min_count), Nothing{});
    });
}

LevelResult level_result(TopLevels&& levels, const InvertedIndex& index) {
    LevelResult out;
    out.top = LevelRows::of(levels.top);
    levels.top = CountMap();
    out.lower = LevelRows::of(levels.lower);
    levels.lower = CountMap();
    out.item_counts = LevelRows::widen(index.item_counts);
    out.n_transactions = index.n_transactions;
    return out;
}

}  // namespace

uint32_t pipeline_min_count(double min_support, uint32_t n_transactions) {
    return min_count_from<uint32_t>(min_support, n_transactions, 1);
}

LevelResult compute_pipeline(Counter counter, std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids,
                             uint64_t k_max, uint32_t n_items, double min_support, std::span<const double> item_weights,
                             std::optional<uint64_t> max_items_per_txn) {
    using namespace itemsets;
    const InvertedIndex index = build_inverted_index(txn_ids, item_ids, n_items);
    const uint32_t min_count = pipeline_min_count(min_support, index.n_transactions);
    PairLevel pairs = pair_level(index, min_support);

    TopLevels out;
    out.lower = std::move(pairs.lower);
    pairs.lower = CountMap();
    if (k_max >= 3) {
        const auto& w = item_weights;
        const auto& cap = max_items_per_txn;
        const PairSet& ps = pairs.pair_set;
        // The memoised counters start from every item's transactions; the located ones do not.
        const bool memoised = counter != Counter::base && counter != Counter::v1_roaring;
        const ItemTxnsRoaring item_txns = memoised ? ItemTxnsRoaring::from_index(index) : ItemTxnsRoaring{};
        auto bitmaps = [&](const PairSet& p) { return build_pair_tid_map(p, item_txns); };
        auto tid_lists = [&](const PairSet& p) { return build_pair_tid_map_adaptive(p, item_txns); };
        // Only the gate reads the pairs as neighbour lists.
        const PairNeighbors neighbors =
            counter == Counter::v6_gating ? build_pair_neighbors(ps, n_items) : PairNeighbors{};
        const FrequentPairs frequent_pairs{ps, neighbors};
        // A memoised counter's loop: `first(pairs)` gives the level-2 transaction sets;
        // the last level's sets would be dropped unread, so they are not built.
        auto memo_loop = [&](auto&& first, PairCheck check) {
            level_loop(out, k_max, first(ps), [&](uint64_t k, const auto& lower_sets) {
                const LevelSetup level{index, item_txns, k, n_items, min_count, w, cap, k < k_max};
                return count_k_itemsets_memo(check, level, lower_sets, frequent_pairs);
            });
        };
        switch (counter) {
            case Counter::base:
                located_loop(out, k_max, min_count, [&](const ItemsetSet& lower_set, std::size_t k) {
                    return count_k_itemsets_internal(index, lower_set, ps, k, n_items, w, cap);
                });
                break;
            case Counter::v1_roaring:
                located_loop(out, k_max, min_count, [&](const ItemsetSet& lower_set, std::size_t k) {
                    return count_k_itemsets_v1_roaring(index, lower_set, ps, k, n_items, w, cap);
                });
                break;
            case Counter::v2_memo: memo_loop(bitmaps, PairCheck::per_item); break;
            case Counter::v3_adaptive: memo_loop(tid_lists, PairCheck::per_item); break;
            case Counter::v5_prefilter: memo_loop(tid_lists, PairCheck::per_occurrence); break;
            case Counter::v6_gating: memo_loop(tid_lists, PairCheck::gate); break;
        }
    }
    return level_result(std::move(out), index);
}

}  // namespace tallisk::pipeline
