// Spelling the search's output into the result table: every chunk's rows in output
// order, the rows of the all-sets search spelled out from their steps straight into the
// final columns (on the pool when there is much to write).
#include <algorithm>
#include <cstring>
#include <limits>

#include "common/pool.hpp"
#include "common/tuning.hpp"
#include "engine/output.hpp"

namespace tallisk::engine {

namespace {

//! Writes the n ascending items of `prefix` with `id` (not among them) in its place.
inline void insert_into(const int32_t* prefix, std::size_t n, int32_t id, int32_t* out) {
    std::size_t at = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t after = prefix[k] > id;
        out[k + after] = prefix[k];
        at += 1 - after;
    }
    out[at] = id;
}

//! insert_into for the common short rows, with no branch. With the prefix ascending,
//! padded past its n items with the largest int32 and preceded by the smallest, item k of
//! the row is max(prefix[k - 1], min(prefix[k], id)): the prefix's own item below the
//! place of id, id at it, the item before above it. Reads prefix[-1] to prefix[kShort - 1]
//! and writes kShort items, of which the first n + 1 are the row (the rest stay the
//! padding). Written with explicit vectors: once inlined, the compiler cannot rule out
//! that `out` overlaps `prefix` and would otherwise keep it scalar.
constexpr std::size_t kShort = 16;
inline void insert_short(const int32_t* prefix, int32_t id, int32_t* out) {
    using v4 = int32_t __attribute__((vector_size(16)));
    const v4 idv = {id, id, id, id};
    v4 cur[kShort / 4], before[kShort / 4];
    std::memcpy(cur, prefix, sizeof(cur));
    std::memcpy(before, prefix - 1, sizeof(before));
    for (std::size_t k = 0; k < kShort / 4; ++k) {
        const v4 low = cur[k] < idv ? cur[k] : idv;
        cur[k] = before[k] > low ? before[k] : low;
    }
    std::memcpy(out, cur, sizeof(cur));
}

//! Spells out the rows of `c`'s steps: items from `items` up to `items_end`, counts and
//! the offsets after each row from `counts` and `ends`, the first row starting at item
//! `at`.
void spell_steps(const Chunk& c, int32_t* items, int32_t* items_end, int64_t* counts, int64_t* ends, int64_t at) {
    // The path's first d items, ascending, for every depth d at once: level d from
    // d * w + 1 on, after the smallest int32 and padded with the largest, as insert_short
    // reads them; valid up to depth `valid`, beyond which the path has changed.
    // last[d]: the path's item at depth d.
    const std::size_t depth = std::max<std::size_t>(c.path.size(), c.max_depth);
    const std::size_t w = std::max(kShort, depth + 1) + 1;
    std::vector<int32_t> sorted((depth + 2) * w, std::numeric_limits<int32_t>::max());
    for (std::size_t d = 0; d < depth + 2; ++d) sorted[d * w] = std::numeric_limits<int32_t>::min();
    auto level = [&](std::size_t d) { return sorted.data() + d * w + 1; };
    std::vector<int32_t> last(depth + 1);
    std::size_t valid = 0;
    auto deepen = [&] {
        if (valid < kShort)
            insert_short(level(valid), last[valid], level(valid + 1));
        else
            insert_into(level(valid), valid, last[valid], level(valid + 1));
        ++valid;
    };
    for (int32_t id : c.path) {
        last[valid] = id;
        deepen();
    }
    for (const Step& s : c.steps) {
        while (valid < s.depth) deepen();
        if (s.count != 0) {
            const int32_t* prefix = level(s.depth);
            if (s.depth < kShort && items_end - items >= static_cast<std::ptrdiff_t>(kShort))
                insert_short(prefix, s.id, items);
            else
                insert_into(prefix, s.depth, s.id, items);
            items += s.depth + 1;
            *counts++ = s.count;
            *ends++ = at += static_cast<int64_t>(s.depth) + 1;
        }
        last[s.depth] = s.id;
        valid = s.depth;
    }
}

}  // namespace

Table flatten(OutNode&& root) {
    // The chunks in output order, then each chunk's rows copied or spelled out into the
    // final arrays, on the pool when there is much to write; each chunk is freed as soon
    // as it is written.
    std::vector<Chunk*> chunks;
    auto collect = [&](auto&& self, OutNode& node) -> void {
        for (Piece& p : node.pieces) {
            chunks.push_back(&p.chunk);
            if (p.child) self(self, *p.child);
        }
        chunks.push_back(&node.current);
    };
    collect(collect, root);
    Table t;
    if (chunks.size() == 1 && root.current.steps.empty()) {
        // One chunk of rows (a search on one thread): its arrays become the result as
        // they are.
        Chunk& c = root.current;
        t.offsets.resize(c.lens.size() + 1);
        t.offsets[0] = 0;
        for (std::size_t i = 0; i < c.lens.size(); ++i) t.offsets[i + 1] = t.offsets[i] + c.lens[i];
        t.items = std::move(c.items);
        t.counts = std::move(c.counts);
        return t;
    }
    std::vector<std::size_t> row_at(chunks.size() + 1, 0), item_at(chunks.size() + 1, 0);
    for (std::size_t k = 0; k < chunks.size(); ++k) {
        row_at[k + 1] = row_at[k] + chunks[k]->n_rows();
        item_at[k + 1] = item_at[k] + chunks[k]->n_items();
    }
    const std::size_t n_rows = row_at.back();
    t.offsets.resize(n_rows + 1);
    t.offsets[0] = 0;
    t.items.resize(item_at.back());
    t.counts.resize(n_rows);
    auto write = [&](std::size_t k) {
        Chunk& c = *chunks[k];
        int32_t* items = t.items.data() + item_at[k];
        int64_t* counts = t.counts.data() + row_at[k];
        int64_t* ends = t.offsets.data() + row_at[k] + 1;
        auto end = static_cast<int64_t>(item_at[k]);
        // An empty chunk may hold null data pointers, which memcpy must not be given.
        if (!c.items.empty()) std::memcpy(items, c.items.data(), c.items.size() * sizeof(int32_t));
        if (!c.counts.empty()) std::memcpy(counts, c.counts.data(), c.counts.size() * sizeof(int64_t));
        for (uint32_t len : c.lens) *ends++ = end += len;
        spell_steps(c, items + c.items.size(), t.items.data() + item_at[k + 1], counts + c.counts.size(), ends, end);
        c = Chunk{};
    };
    if (pool::num_threads() > 1 && item_at.back() > tuning::kEngineParallelCopyItems) {
        pool::for_range(chunks.size(), 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k != end; ++k) write(k);
        });
    } else {
        for (std::size_t k = 0; k < chunks.size(); ++k) write(k);
    }
    return t;
}

}  // namespace tallisk::engine
