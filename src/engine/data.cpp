#include "engine/data.hpp"

#include <algorithm>
#include <numeric>
#include <string>

#include "common/error.hpp"
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

bool prefer_bits(uint64_t total_set_sizes, std::size_t n_sets, uint32_t n_transactions) {
    if (n_sets == 0 || n_transactions == 0) return false;
    return static_cast<double>(total_set_sizes) * tuning::kBitsetDivisor >=
           static_cast<double>(n_sets) * static_cast<double>(n_transactions);
}

Vertical build_vertical(const TransactionRows& rows, uint32_t min_count, std::span<const uint8_t> keep,
                        bool with_rows) {
    Vertical v;
    v.n_transactions = rows.n_transactions;
    v.min_count = min_count < 1 ? 1 : min_count;
    std::vector<uint32_t> chosen;
    for (uint32_t i = 0; i < rows.n_items; ++i)
        if (rows.item_counts[i] >= v.min_count && (keep.empty() || keep[i])) chosen.push_back(i);
    std::stable_sort(chosen.begin(), chosen.end(),
                     [&](uint32_t a, uint32_t b) { return rows.item_counts[a] < rows.item_counts[b]; });
    v.id_of = chosen;
    v.count.resize(chosen.size());
    constexpr uint32_t kNone = 0xFFFFFFFFu;
    std::vector<uint32_t> rank_of(rows.n_items, kNone);
    uint64_t total = 0;
    for (uint32_t r = 0; r < chosen.size(); ++r) {
        rank_of[chosen[r]] = r;
        v.count[r] = rows.item_counts[chosen[r]];
        total += v.count[r];
    }
    const uint32_t n_txn = rows.n_transactions;
    v.bits = prefer_bits(total, chosen.size(), n_txn);
    if (v.bits) {
        v.n_words = (static_cast<std::size_t>(n_txn) + 63) / 64;
        v.words.assign(v.n_words * chosen.size(), 0);
        for (uint32_t t = 0; t < n_txn; ++t)
            for (uint32_t item : rows.txn(t))
                if (const uint32_t r = rank_of[item]; r != kNone)
                    v.words[r * v.n_words + t / 64] |= uint64_t{1} << (t % 64);
        return v;
    }
    v.lists.offsets.resize(chosen.size() + 1);
    v.lists.offsets[0] = 0;
    for (uint32_t r = 0; r < chosen.size(); ++r) v.lists.offsets[r + 1] = v.lists.offsets[r] + v.count[r];
    v.lists.values.resize(v.lists.offsets.back());
    std::vector<std::size_t> cursor(v.lists.offsets.begin(), v.lists.offsets.end() - 1);
    if (!with_rows) {
        for (uint32_t t = 0; t < n_txn; ++t)
            for (uint32_t item : rows.txn(t))
                if (const uint32_t r = rank_of[item]; r != kNone) v.lists.values[cursor[r]++] = t;
        return v;
    }
    v.rows.offsets.resize(std::size_t{n_txn} + 1);
    v.rows.offsets[0] = 0;
    v.rows.values.reserve(total);
    for (uint32_t t = 0; t < n_txn; ++t) {
        const std::size_t start = v.rows.values.size();
        for (uint32_t item : rows.txn(t)) {
            if (const uint32_t r = rank_of[item]; r != kNone) {
                v.lists.values[cursor[r]++] = t;
                v.rows.values.push_back(r);
            }
        }
        std::sort(v.rows.values.begin() + static_cast<std::ptrdiff_t>(start), v.rows.values.end());
        v.rows.offsets[t + 1] = v.rows.values.size();
    }
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
