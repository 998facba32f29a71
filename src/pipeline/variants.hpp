// The five ablation pipelines: the level-wise pipeline with another per-level counter
// (roaring, memo, adaptive, prefilter, gating), for comparing counting strategies on
// the same data. Same inputs, same levels, same outcome record as compute_pipeline.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "pipeline/pipeline.hpp"

namespace tallisk::pipeline {

//! Which counter an ablation pipeline uses; the values are the variants' numbers.
enum class Ablation { v1_roaring = 1, v2_memo = 2, v3_adaptive = 3, v5_prefilter = 5, v6_gating = 6 };

//! The level-wise pipeline of compute_pipeline with the given variant's counter. The
//! memoised variants (all but v1_roaring) build the per-item bitmaps, the level-2
//! transaction sets and (gating) the pair neighbours only when k_max >= 3, carry each
//! level's transaction sets to the next, and let the counter apply the minimum count.
//! Same failures as compute_pipeline; the result holds the same sets and counts as
//! compute_pipeline's, also under a cap, whatever the number of workers.
LevelResult compute_pipeline_variant(Ablation variant, std::span<const int64_t> txn_ids,
                                     std::span<const int32_t> item_ids, uint64_t k_max, uint32_t n_items,
                                     double min_support, std::span<const double> item_weights,
                                     std::optional<uint64_t> max_items_per_txn);

}  // namespace tallisk::pipeline
