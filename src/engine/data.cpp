#include "engine/data.hpp"

#include <algorithm>
#include <numeric>
#include <string>
#include <utility>

#include "common/error.hpp"
#include "common/pool.hpp"
#include "common/tuning.hpp"
#include "engine/setops.hpp"

namespace tallisk::engine {

void check_occurrences(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids, uint64_t n_items) {
    if (txn_ids.size() != item_ids.size())
        throw InputError("txn_ids and item_ids must have the same length, got " + std::to_string(txn_ids.size()) +
                         " and " + std::to_string(item_ids.size()));
    for (std::size_t i = 0; i < item_ids.size(); ++i) {
        const int64_t v = item_ids[i];
        if (v < 0 || static_cast<uint64_t>(v) >= n_items) [[unlikely]]
            throw InputError("item_ids[" + std::to_string(i) + "] = " + std::to_string(v) +
                             " is outside 0 .. n_items - 1 (n_items = " + std::to_string(n_items) + ")");
    }
}

void check_csr(std::span<const int64_t> offsets, std::span<const int32_t> items, const char* rows,
               std::optional<uint64_t> n_items) {
    if (offsets.empty()) throw InputError(std::string("offsets must hold at least one value (0 for no ") + rows + ")");
    if (offsets[0] != 0) throw InputError("offsets[0] must be 0, got " + std::to_string(offsets[0]));
    for (std::size_t i = 1; i < offsets.size(); ++i)
        if (offsets[i] < offsets[i - 1])
            throw InputError("offsets must not decrease: offsets[" + std::to_string(i) +
                             "] = " + std::to_string(offsets[i]) + " < offsets[" + std::to_string(i - 1) +
                             "] = " + std::to_string(offsets[i - 1]));
    if (static_cast<uint64_t>(offsets.back()) != items.size())
        throw InputError("offsets[" + std::to_string(offsets.size() - 1) + "] = " + std::to_string(offsets.back()) +
                         " must equal the length of items (" + std::to_string(items.size()) + ")");
    for (std::size_t i = 0; i < items.size(); ++i) {
        const int64_t v = items[i];
        if (v >= 0 && (!n_items || static_cast<uint64_t>(v) < *n_items)) [[likely]]
            continue;
        if (!n_items) throw InputError("items[" + std::to_string(i) + "] = " + std::to_string(v) + " is negative");
        throw InputError("items[" + std::to_string(i) + "] = " + std::to_string(v) +
                         " is outside 0 .. n_items - 1 (n_items = " + std::to_string(*n_items) + ")");
    }
}

bool prefer_bits(uint64_t total_set_sizes, std::size_t n_sets, uint32_t n_transactions) {
    if (n_sets == 0 || n_transactions == 0) return false;
    return static_cast<double>(total_set_sizes) * tuning::kBitsetDivisor >=
           static_cast<double>(n_sets) * static_cast<double>(n_transactions);
}

namespace {

//! Transaction ranges the view is built in, each a whole number of 64-transaction
//! words, so that no two pieces write the same bitset word.
std::vector<std::size_t> transaction_pieces(const TransactionRows& rows) {
    const std::size_t n = rows.n_transactions;
    const std::size_t pieces = rows.txn_rows.values.size() < tuning::kParallelOccurrences
                                   ? 1
                                   : pool::num_threads() * tuning::kEnginePiecesPerWorker;
    const std::size_t chunk = ((n + pieces - 1) / pieces + 63) / 64 * 64;
    return pool::even_bounds(n, chunk);
}

}  // namespace

Vertical build_vertical(const TransactionRows& rows, uint32_t min_count, std::span<const uint8_t> keep, bool with_rows,
                        bool lists_only) {
    Vertical v;
    v.n_transactions = rows.n_transactions;
    v.min_count = min_count < 1 ? 1 : min_count;
    std::vector<uint32_t> chosen;
    for (uint32_t i = 0; i < rows.n_items; ++i)
        if (rows.item_counts[i] >= v.min_count && (keep.empty() || keep[i])) chosen.push_back(i);
    std::stable_sort(chosen.begin(), chosen.end(),
                     [&](uint32_t a, uint32_t b) { return rows.item_counts[a] < rows.item_counts[b]; });
    v.id_of = chosen;
    const auto n_ranks = static_cast<uint32_t>(chosen.size());
    v.count.resize(n_ranks);
    constexpr uint32_t kNone = 0xFFFFFFFFu;
    std::vector<uint32_t> rank_of(rows.n_items, kNone);
    uint64_t total = 0;
    for (uint32_t r = 0; r < n_ranks; ++r) {
        rank_of[chosen[r]] = r;
        v.count[r] = rows.item_counts[chosen[r]];
        total += v.count[r];
    }
    const uint32_t n_txn = rows.n_transactions;
    const std::vector<std::size_t> pieces = transaction_pieces(rows);
    v.bits = !lists_only && prefer_bits(total, n_ranks, n_txn);
    if (v.bits) {
        v.n_words = (static_cast<std::size_t>(n_txn) + 63) / 64;
        v.words.assign(v.n_words * n_ranks, 0);
        pool::each_range(pieces, [&](std::size_t begin, std::size_t end) {
            for (auto t = static_cast<uint32_t>(begin); t < end; ++t)
                for (uint32_t item : rows.txn(t))
                    if (const uint32_t r = rank_of[item]; r != kNone)
                        v.words[r * v.n_words + t / 64] |= uint64_t{1} << (t % 64);
        });
        return v;
    }

    // Lists (and rows) in two passes over the pieces: the first counts each piece's
    // occurrences per rank and each transaction's kept items, the second writes every
    // piece into the places those counts leave it, so the lists come out ascending as
    // a single pass in transaction order would leave them.
    const bool rows_too = with_rows;
    if (rows_too) v.rows.offsets.assign(std::size_t{n_txn} + 1, 0);
    // A transaction's ranks are first gathered without a branch (most of its items may be
    // left out, in no predictable pattern: a branch per item mispredicts on a good share
    // of them), then used.
    auto kept_ranks = [&](uint32_t t, std::vector<uint32_t>& buf) {
        const auto txn = rows.txn(t);
        if (buf.size() < txn.size()) buf.resize(txn.size());
        std::size_t w = 0;
        for (uint32_t item : txn) {
            const uint32_t r = rank_of[item];
            buf[w] = r;
            w += r != kNone;
        }
        return std::span<const uint32_t>(buf.data(), w);
    };
    std::vector<std::vector<std::size_t>> cursor =
        pool::map_ranges<std::vector<std::size_t>>(pieces, [&](std::size_t begin, std::size_t end) {
            std::vector<std::size_t> per_rank(n_ranks, 0);
            std::vector<uint32_t> buf;
            for (auto t = static_cast<uint32_t>(begin); t < end; ++t) {
                const auto kept = kept_ranks(t, buf);
                for (uint32_t r : kept) ++per_rank[r];
                if (rows_too) v.rows.offsets[t + 1] = kept.size();
            }
            return per_rank;
        });
    v.lists.offsets.resize(std::size_t{n_ranks} + 1);
    v.lists.offsets[0] = 0;
    for (uint32_t r = 0; r < n_ranks; ++r) {
        std::size_t at = v.lists.offsets[r];
        for (auto& piece : cursor) at += std::exchange(piece[r], at);
        v.lists.offsets[r + 1] = v.lists.offsets[r] + v.count[r];
    }
    v.lists.values.resize(v.lists.offsets.back());
    if (rows_too) {
        for (uint32_t t = 0; t < n_txn; ++t) v.rows.offsets[t + 1] += v.rows.offsets[t];
        v.rows.values.resize(v.rows.offsets.back());
    }
    // Bounds 0, 1, 2, ...: one chunk per piece, whose index picks its cursor. A piece
    // writes its part of every list, then its rows from those parts, walking the ranks
    // in order: each row comes out ascending with no sort (sorting ~10 ranks a row cost
    // more than the rest of the view together).
    std::vector<std::size_t> piece_ids(pieces.size());
    std::iota(piece_ids.begin(), piece_ids.end(), std::size_t{0});
    pool::each_range(piece_ids, [&](std::size_t j, std::size_t) {
        std::vector<std::size_t>& at = cursor[j];
        const auto first = static_cast<uint32_t>(pieces[j]), last = static_cast<uint32_t>(pieces[j + 1]);
        std::vector<std::size_t> from;
        if (rows_too) from = at;
        std::vector<uint32_t> buf;
        for (uint32_t t = first; t < last; ++t)
            for (uint32_t r : kept_ranks(t, buf)) v.lists.values[at[r]++] = t;
        if (!rows_too) return;
        std::vector<std::size_t> fill(v.rows.offsets.begin() + first, v.rows.offsets.begin() + last);
        uint32_t* const out = v.rows.values.data();
        const uint32_t* const list = v.lists.values.data();
        for (uint32_t r = 0; r < n_ranks; ++r)
            for (std::size_t k = from[r]; k < at[r]; ++k) out[fill[list[k] - first]++] = r;
    });
    return v;
}

}  // namespace tallisk::engine

namespace tallisk::engine {

bool bits_subset(const uint64_t* a, const uint64_t* b, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k)
        if (a[k] & ~b[k]) return false;
    return true;
}

}  // namespace tallisk::engine
