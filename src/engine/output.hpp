// Result rows of a search split over tasks, kept in a fixed order.
//
// A task appends its rows to its current chunk. When it hands a subtree to a new task,
// it closes the chunk and records the new task's node right after it, so that reading
// every node's pieces in order (chunk, then that piece's child node, recursively) gives
// the rows exactly as a single thread would have written them, whatever ran where.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/buffer.hpp"

namespace tallisk::engine {

// Output columns grow to hundreds of megabytes on dense data: large_vector maps big
// blocks with huge pages and leaves them untouched until written, so growing and
// copying them is not dominated by page faults and zero fills.
struct Chunk {
    large_vector<int32_t> items;  // the rows' item ids, back to back
    large_vector<int64_t> counts;
    large_vector<uint32_t> lens;  // items per row
};

struct OutNode;

struct Piece {
    Chunk chunk;
    std::unique_ptr<OutNode> child;  // rows of a subtree that follow `chunk`; may be null
};

struct OutNode {
    std::vector<Piece> pieces;
    Chunk current;  // rows after the last piece

    //! Closes the current chunk and returns the node that follows it.
    OutNode* split() {
        pieces.push_back(Piece{std::move(current), std::make_unique<OutNode>()});
        current = Chunk{};
        return pieces.back().child.get();
    }
};

//! Every row of `root` as one CSR table, freeing the chunks as they are copied.
struct Table {
    large_vector<int64_t> offsets;
    large_vector<int32_t> items;
    large_vector<int64_t> counts;
};
Table flatten(OutNode&& root);

}  // namespace tallisk::engine
