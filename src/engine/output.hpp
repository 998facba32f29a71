// Result rows of a search split over tasks, kept in a fixed order.
//
// A task appends its rows to its current chunk. When it hands a subtree to a new task,
// it closes the chunk and records the new task's node right after it, so that reading
// every node's pieces in order (chunk, then that piece's child node, recursively) gives
// the rows exactly as a single thread would have written them, whatever ran where.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/buffer.hpp"

namespace tallisk::engine {

//! A row of the all-sets search in 12 bytes. Each such row is the search's path (the
//! items added on the way down, in that order) plus one item, so a step records the
//! path's length, the item and the count; the item then ends the path (later steps of
//! the same depth replace it, deeper ones extend it). A step with count 0 only sets the
//! path: an item added without its row being reported (shorter than min_len).
//! flatten() spells the rows out straight into the final columns, on the pool when
//! there are several workers, so no row is written twice: the search never writes one
//! out, and several workers need no copy from their chunks into the table.
struct Step {
    uint32_t depth;
    int32_t id;
    uint32_t count;
};

// Output columns grow to hundreds of megabytes on dense data: large_vector maps big
// blocks with huge pages and leaves them untouched until written, so growing and
// copying them is not dominated by page faults and zero fills. A chunk holds either
// rows spelled out (items, counts, lens) or steps.
struct Chunk {
    large_vector<int32_t> items;  // the rows' item ids, back to back
    large_vector<int64_t> counts;
    large_vector<uint32_t> lens;  // items per row
    std::vector<int32_t> path;    // the path where the steps start
    large_vector<Step> steps;
    std::size_t step_rows = 0, step_items = 0;  // what the steps spell out
    uint32_t max_depth = 0;                     // of the steps: how deep the path goes

    std::size_t n_rows() const { return counts.size() + step_rows; }
    std::size_t n_items() const { return items.size() + step_items; }

    void add_step(Step s) {
        steps.push_back(s);
        max_depth = std::max(max_depth, s.depth);
        if (s.count != 0) {
            ++step_rows;
            step_items += s.depth + 1;
        }
    }
};

struct OutNode;

struct Piece {
    Chunk chunk;
    std::unique_ptr<OutNode> child;  // rows of a subtree that follow `chunk`; may be null
};

struct OutNode {
    std::vector<Piece> pieces;
    Chunk current;  // rows after the last piece

    //! Closes the current chunk and returns the node that follows it; the steps of
    //! both this node's new chunk and the child's start from `path`.
    OutNode* split(const std::vector<int32_t>& path) {
        pieces.push_back(Piece{std::move(current), std::make_unique<OutNode>()});
        current = Chunk{};
        current.path = path;
        OutNode* child = pieces.back().child.get();
        child->current.path = path;
        return child;
    }
};

//! A CSR table of rows: row r is items[offsets[r], offsets[r + 1]) with counts[r].
struct Table {
    large_vector<int64_t> offsets;
    large_vector<int32_t> items;
    large_vector<int64_t> counts;
};
//! Every row of `root` as one table, freeing each chunk once it is written.
Table flatten(OutNode&& root);

//! Reorders the rows of `t` canonically: by length ascending, then lexicographically by
//! item ids. Every row must hold distinct ids, ascending, each one of `alphabet` (ids
//! ascending, no repeats). Equal rows keep their order. Runs on the pool; the result
//! is the same for every number of workers.
void canonical_order(Table& t, std::span<const int32_t> alphabet);

}  // namespace tallisk::engine
