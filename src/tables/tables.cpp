// Grouping occurrence pairs, ordering by a key and gathering columns (see tables.hpp).
#include "tables/tables.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "common/error.hpp"
#include "common/pool.hpp"

namespace tallisk::tables {
namespace {

// Rows (transactions) per task of the per-row sort: the rows are short, so a task
// needs many of them to outweigh its hand-over.
constexpr std::size_t kRowGrain = 4096;
// Elements per task of a gather: large enough that a task streams through memory.
constexpr std::size_t kGatherGrain = 1 << 16;

//! Sorts a short run in place (insertion sort: the rows of market baskets hold a few
//! dozen items at most) or a long one with std::sort; returns the length once repeats
//! are dropped.
std::size_t sort_unique(int32_t* first, std::size_t n) {
    if (n < 32) {
        for (std::size_t i = 1; i < n; ++i) {
            const int32_t v = first[i];
            std::size_t j = i;
            for (; j > 0 && first[j - 1] > v; --j) first[j] = first[j - 1];
            first[j] = v;
        }
    } else {
        std::sort(first, first + n);
    }
    return static_cast<std::size_t>(std::unique(first, first + n) - first);
}

[[noreturn]] void bad_pair(std::span<const int64_t> txn_codes, std::span<const int32_t> item_ids,
                           uint64_t n_transactions) {
    for (std::size_t i = 0; i < txn_codes.size(); ++i) {
        if (txn_codes[i] < 0 || static_cast<uint64_t>(txn_codes[i]) >= n_transactions)
            throw InputError("txn_codes[" + std::to_string(i) + "] = " + std::to_string(txn_codes[i]) +
                             " is outside 0 .. " + std::to_string(static_cast<int64_t>(n_transactions) - 1));
        if (item_ids[i] < 0)
            throw InputError("item_ids[" + std::to_string(i) + "] = " + std::to_string(item_ids[i]) + " is negative");
    }
    throw InputError("inconsistent occurrence pairs");  // not reached: the caller found a bad one
}

//! A key whose unsigned order is the descending order of the doubles, NaN last and
//! -0.0 equal to 0.0.
uint64_t descending_key(double v) {
    if (std::isnan(v)) return ~uint64_t{0};
    if (v == 0.0) v = 0.0;  // one zero
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    // Ascending order of the bit patterns of doubles: flip every bit of negatives, the
    // sign bit of the rest; the complement of that is the descending order.
    const uint64_t ascending = (bits >> 63) ? ~bits : bits | (uint64_t{1} << 63);
    return ~ascending;  // at most 0xFFF0... (for -inf), below NaN's all-ones
}

}  // namespace

namespace {

//! Sorts each row of `items` (row t at [starts[t], starts[t + 1])) and drops its repeats,
//! then closes the gaps and numbers every kept pair's transaction.
void finish_rows(Grouped& out, const std::vector<std::size_t>& starts) {
    const std::size_t n_txn = starts.size() - 1, n = starts.back();
    int32_t* items = out.item_ids.data();
    // Each row sorted and its repeats dropped, in place; kept[t + 1] is its new length.
    std::vector<std::size_t> kept(n_txn + 1, 0);
    pool::for_range(n_txn, kRowGrain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t)
            kept[t + 1] = sort_unique(items + starts[t], starts[t + 1] - starts[t]);
    });
    bool repeats = false;
    for (std::size_t t = 0; t < n_txn; ++t) {
        repeats |= kept[t + 1] != starts[t + 1] - starts[t];
        kept[t + 1] += kept[t];
    }
    if (repeats) {
        // Rows move left only, each over positions no row after it has yet to read.
        for (std::size_t t = 0; t < n_txn; ++t)
            std::memmove(items + kept[t], items + starts[t], (kept[t + 1] - kept[t]) * sizeof(int32_t));
        out.item_ids.resize(kept[n_txn]);
        if (kept[n_txn] < n - n / 8) out.item_ids.shrink_to_fit();  // only a large waste is worth a copy
    }
    out.txn_ids.resize(kept[n_txn]);
    pool::for_range(n_txn, kRowGrain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t)
            std::fill(out.txn_ids.data() + kept[t], out.txn_ids.data() + kept[t + 1], static_cast<int64_t>(t));
    });
}

}  // namespace

Grouped group_pairs(std::span<const int64_t> txn_codes, std::span<const int32_t> item_ids, uint64_t n_transactions) {
    if (txn_codes.size() != item_ids.size())
        throw InputError("txn_codes and item_ids differ in length: " + std::to_string(txn_codes.size()) + " and " +
                         std::to_string(item_ids.size()));
    const std::size_t n = txn_codes.size();
    const std::size_t n_txn = static_cast<std::size_t>(n_transactions);

    // Row starts by a count of each transaction's pairs; the same pass checks the codes
    // and whether they come grouped already (the usual export order).
    std::vector<std::size_t> starts(n_txn + 1, 0);
    bool sorted = true, valid = true;
    for (std::size_t i = 0; i < n; ++i) {
        const int64_t t = txn_codes[i];
        valid &= (t >= 0) & (static_cast<uint64_t>(t) < n_transactions) & (item_ids[i] >= 0);
        if (!valid) bad_pair(txn_codes, item_ids, n_transactions);
        ++starts[static_cast<std::size_t>(t) + 1];
        sorted &= i == 0 || t >= txn_codes[i - 1];
    }
    for (std::size_t t = 0; t < n_txn; ++t) starts[t + 1] += starts[t];

    // Items laid out by transaction in the result's own buffer: a copy when grouped, a
    // scatter otherwise, which keeps the input order within a transaction, so the result
    // does not depend on how the work is split.
    Grouped out;
    out.item_ids.resize(n);
    int32_t* items = out.item_ids.data();
    if (sorted) {
        if (n) std::memcpy(items, item_ids.data(), n * sizeof(int32_t));
    } else {
        std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
        for (std::size_t i = 0; i < n; ++i) items[next[static_cast<std::size_t>(txn_codes[i])]++] = item_ids[i];
    }
    finish_rows(out, starts);
    return out;
}

Grouped group_rows(std::span<const int64_t> sizes, std::span<const int32_t> codes, std::span<const int32_t> rank) {
    const std::size_t n_txn = sizes.size();
    std::vector<std::size_t> starts(n_txn + 1, 0);
    for (std::size_t t = 0; t < n_txn; ++t) {
        if (sizes[t] < 0)
            throw InputError("sizes[" + std::to_string(t) + "] = " + std::to_string(sizes[t]) + " is negative");
        starts[t + 1] = starts[t] + static_cast<std::size_t>(sizes[t]);
    }
    if (starts[n_txn] != codes.size())
        throw InputError("the sizes add up to " + std::to_string(starts[n_txn]) + ", not to the " +
                         std::to_string(codes.size()) + " codes");
    // One branch-free pass for the range (it vectorises); the bad code is looked for
    // only when there is one.
    uint32_t largest = 0;
    for (int32_t c : codes) largest = std::max(largest, static_cast<uint32_t>(c));  // a negative code wraps high
    const std::size_t bound = rank.empty() ? std::size_t{1} << 31 : rank.size();    // the codes' range
    if (!codes.empty() && largest >= bound)
        for (std::size_t i = 0; i < codes.size(); ++i)
            if (codes[i] < 0 || static_cast<std::size_t>(codes[i]) >= bound)
                throw InputError("codes[" + std::to_string(i) + "] = " + std::to_string(codes[i]) +
                                 " is outside 0 .. " + std::to_string(bound - 1));
    for (std::size_t c = 0; c < rank.size(); ++c)
        if (rank[c] < 0)
            throw InputError("rank[" + std::to_string(c) + "] = " + std::to_string(rank[c]) + " is negative");
    Grouped out;
    out.item_ids.resize(codes.size());
    int32_t* items = out.item_ids.data();
    // The codes go through their rank on the way, where the rows are laid out anyway.
    pool::for_range(codes.size(), kGatherGrain, [&](std::size_t begin, std::size_t end) {
        if (rank.empty())
            std::copy(codes.begin() + static_cast<std::ptrdiff_t>(begin),
                      codes.begin() + static_cast<std::ptrdiff_t>(end), items + begin);
        else
            for (std::size_t i = begin; i < end; ++i) items[i] = rank[static_cast<std::size_t>(codes[i])];
    });
    finish_rows(out, starts);
    return out;
}

namespace {

//! Calls f(i) for every non-zero byte bytes[i] of [0, n), in order, skipping eight zero
//! bytes at a time: one-hot tables are mostly zeros.
template <class F>
void each_set_byte(const uint8_t* bytes, std::size_t n, F&& f) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        if (word == 0) continue;
        for (std::size_t j = 0; j < 8; ++j)
            if (bytes[i + j]) f(i + j);
    }
    for (; i < n; ++i)
        if (bytes[i]) f(i);
}

std::size_t set_bytes(const uint8_t* bytes, std::size_t n) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) count += bytes[i] != 0;  // vectorises
    return count;
}

}  // namespace

Grouped true_cells(std::span<const uint8_t> cells, std::size_t n_rows, std::size_t n_cols, bool column_major) {
    if ((n_cols != 0 && n_rows > SIZE_MAX / n_cols) || n_rows * n_cols != cells.size())
        throw InputError(std::to_string(cells.size()) + " cells are not a " + std::to_string(n_rows) + " x " +
                         std::to_string(n_cols) + " matrix");
    if (n_cols > static_cast<std::size_t>(INT32_MAX)) throw InputError("more than 2**31 - 1 columns");
    const uint8_t* data = cells.data();
    // Pieces of rows, one a worker (and none under a quarter MB of cells): every piece
    // counts its true cells, then writes them at its place in the result.
    const std::size_t per_row = std::max<std::size_t>(n_cols, 1);
    const std::size_t chunk = std::max(pool::list_chunk(n_rows), (kGatherGrain * 4 + per_row - 1) / per_row);
    const auto bounds = pool::even_bounds(n_rows, chunk);
    const std::size_t n_pieces = bounds.size() - 1;
    // Column-major cells are counted per row first, so that each row's cells can be
    // placed in column order while the columns are read one after another.
    std::vector<std::size_t> row_count(column_major ? n_rows : 0);
    const auto found = pool::map_each<std::size_t>(n_pieces, [&](std::size_t p) {
        const std::size_t b = bounds[p], e = bounds[p + 1];
        if (!column_major) return set_bytes(data + b * n_cols, (e - b) * n_cols);
        for (std::size_t c = 0; c < n_cols; ++c)
            each_set_byte(data + c * n_rows + b, e - b, [&](std::size_t i) { ++row_count[b + i]; });
        std::size_t total = 0;
        for (std::size_t r = b; r < e; ++r) total += row_count[r];
        return total;
    });
    std::vector<std::size_t> start(n_pieces + 1, 0);
    for (std::size_t p = 0; p < n_pieces; ++p) start[p + 1] = start[p] + found[p];
    Grouped out;
    out.txn_ids.resize(start[n_pieces]);
    out.item_ids.resize(start[n_pieces]);
    pool::map_each<char>(n_pieces, [&](std::size_t p) {
        const std::size_t b = bounds[p], e = bounds[p + 1];
        std::size_t w = start[p];
        if (!column_major) {
            for (std::size_t r = b; r < e; ++r)
                each_set_byte(data + r * n_cols, n_cols, [&](std::size_t c) {
                    out.txn_ids[w] = static_cast<int64_t>(r);
                    out.item_ids[w++] = static_cast<int32_t>(c);
                });
            return char{};
        }
        std::vector<std::size_t> cursor(e - b);
        for (std::size_t r = b; r < e; ++r) {
            cursor[r - b] = w;
            std::fill_n(out.txn_ids.begin() + static_cast<std::ptrdiff_t>(w), row_count[r], static_cast<int64_t>(r));
            w += row_count[r];
        }
        for (std::size_t c = 0; c < n_cols; ++c)
            each_set_byte(data + c * n_rows + b, e - b,
                          [&](std::size_t i) { out.item_ids[cursor[i]++] = static_cast<int32_t>(c); });
        return char{};
    });
    return out;
}

namespace {

// Bits per digit of the radix sort: 2,048 buckets keep each pass's scatter within the
// caches' reach while a 64-bit key takes at most six passes.
constexpr unsigned kDigitBits = 11;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
// Below this many keys a comparison sort is as fast as the passes' fixed cost.
constexpr std::size_t kRadixFloor = 1 << 14;

std::vector<int64_t> order_by_comparison(std::span<const uint64_t> keys) {
    struct Entry {
        uint64_t key;
        int64_t pos;
    };
    const std::size_t n = keys.size();
    std::vector<Entry> entries(n);
    for (std::size_t i = 0; i < n; ++i) entries[i] = {keys[i], static_cast<int64_t>(i)};
    // (key, position) is a total order, so the unstable parallel sort gives the one
    // stable order on every run.
    pool::sort(entries.begin(), entries.end(),
               [](const Entry& a, const Entry& b) { return a.key != b.key ? a.key < b.key : a.pos < b.pos; });
    std::vector<int64_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = entries[i].pos;
    return order;
}

//! The positions of `keys` in ascending key order, ties in position order: a stable
//! least-significant-digit radix sort that runs a pass only for the digits some keys
//! differ in, each pass split in chunks whose buckets are laid out chunk after chunk
//! (so the scatter keeps the order and needs no locks).
std::vector<int64_t> order_by_radix(std::vector<uint64_t>& keys) {
    const std::size_t n = keys.size();
    const auto bounds = pool::even_bounds(n, std::max(pool::list_chunk(n), kGatherGrain));
    const std::size_t n_chunks = bounds.size() - 1;
    const auto differ = pool::map_ranges<uint64_t>(bounds, [&](std::size_t begin, std::size_t end) {
        uint64_t bits = 0;
        for (std::size_t i = begin; i < end; ++i) bits |= keys[i] ^ keys[0];
        return bits;
    });
    uint64_t varying = 0;
    for (uint64_t bits : differ) varying |= bits;
    std::vector<uint64_t> key_buf(n);
    std::vector<uint32_t> pos(n), pos_buf(n);
    bool placed = false;  // pos holds positions (before the first pass they are i itself)
    std::vector<std::size_t> start(n_chunks * kBuckets);
    for (unsigned shift = 0; shift < 64; shift += kDigitBits) {
        if (((varying >> shift) & (kBuckets - 1)) == 0) continue;
        auto digit = [shift](uint64_t k) { return static_cast<std::size_t>((k >> shift) & (kBuckets - 1)); };
        pool::map_each<char>(n_chunks, [&](std::size_t c) {
            std::size_t* count = start.data() + c * kBuckets;
            std::fill(count, count + kBuckets, std::size_t{0});
            for (std::size_t i = bounds[c]; i < bounds[c + 1]; ++i) ++count[digit(keys[i])];
            return char{};
        });
        std::size_t at = 0;  // bucket-major, chunk-minor: the order a stable pass needs
        for (std::size_t d = 0; d < kBuckets; ++d)
            for (std::size_t c = 0; c < n_chunks; ++c) {
                const std::size_t count = start[c * kBuckets + d];
                start[c * kBuckets + d] = at;
                at += count;
            }
        pool::map_each<char>(n_chunks, [&](std::size_t c) {
            std::size_t* next = start.data() + c * kBuckets;
            for (std::size_t i = bounds[c]; i < bounds[c + 1]; ++i) {
                const std::size_t to = next[digit(keys[i])]++;
                key_buf[to] = keys[i];
                pos_buf[to] = placed ? pos[i] : static_cast<uint32_t>(i);
            }
            return char{};
        });
        keys.swap(key_buf);
        pos.swap(pos_buf);
        placed = true;
    }
    std::vector<int64_t> order(n);
    pool::for_range(n, kGatherGrain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) order[i] = placed ? pos[i] : static_cast<int64_t>(i);
    });
    return order;
}

}  // namespace

std::vector<int64_t> order_descending(std::span<const double> keys) {
    const std::size_t n = keys.size();
    std::vector<uint64_t> codes(n);
    pool::for_range(n, kGatherGrain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) codes[i] = descending_key(keys[i]);
    });
    if (n < kRadixFloor || n > UINT32_MAX) return order_by_comparison(codes);
    return order_by_radix(codes);
}

void gather(const void* values, std::size_t n_values, std::size_t width, std::span<const int64_t> rows, void* out) {
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i] < 0 || static_cast<uint64_t>(rows[i]) >= n_values)
            throw InputError("rows[" + std::to_string(i) + "] = " + std::to_string(rows[i]) + " is outside 0 .. " +
                             std::to_string(static_cast<int64_t>(n_values) - 1));
    auto copy = [&](auto tag) {
        using T = decltype(tag);
        const T* src = static_cast<const T*>(values);
        T* dst = static_cast<T*>(out);
        pool::for_range(rows.size(), kGatherGrain, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) dst[i] = src[rows[i]];
        });
    };
    if (width == 4)
        copy(uint32_t{});
    else if (width == 8)
        copy(uint64_t{});
    else
        throw InputError("gather handles 4- and 8-byte elements, not " + std::to_string(width));
}

}  // namespace tallisk::tables
