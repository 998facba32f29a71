// The record every level-wise miner returns: its two top levels as rows with counts,
// the per-item transaction counts and, where the miner reports it, the number of
// transactions. The pipelines, Eclat and classic Apriori all fill this one shape, so
// the boundary has a single result builder for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/itemset.hpp"

namespace tallisk {

//! Itemsets of one size as rows of `width` ids stored back to back: row i is
//! items[i * width, (i + 1) * width) and has count counts[i].
struct LevelRows {
    std::size_t width = 0;
    std::vector<uint32_t> items;
    std::vector<int64_t> counts;

    std::size_t size() const { return counts.size(); }

    //! The sets of a level map in the map's iteration order. All sets of a level have
    //! the same length, which becomes the width (0 for an empty map).
    static LevelRows of(const CountMap& level) {
        LevelRows out;
        out.width = level.empty() ? 0 : level.begin()->first.size();
        out.items.reserve(level.size() * out.width);
        out.counts.reserve(level.size());
        for (const auto& [set, count] : level) {
            out.items.insert(out.items.end(), set.begin(), set.end());
            out.counts.push_back(count);
        }
        return out;
    }

    //! Rows already stored flat, with their counts.
    static LevelRows of(std::vector<uint32_t>&& items, std::size_t width, const std::vector<uint32_t>& counts) {
        return {width, std::move(items), widen(counts)};
    }

    //! Counts as the result arrays hold them (int64).
    static std::vector<int64_t> widen(const std::vector<uint32_t>& counts) { return {counts.begin(), counts.end()}; }
};

struct LevelResult {
    LevelRows top;                           // the frequent k_max-sets
    LevelRows lower;                         // the frequent (k_max - 1)-sets
    std::vector<int64_t> item_counts;        // transactions holding each item id, n_items entries
    std::optional<uint32_t> n_transactions;  // distinct transactions; classic Apriori leaves it out
};

}  // namespace tallisk
