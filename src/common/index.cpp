#include "common/index.hpp"

#include <algorithm>
#include <limits>

#include <absl/container/flat_hash_map.h>

#include "common/error.hpp"

namespace tallisk {
namespace {

std::vector<uint32_t> prefix_offsets(const std::vector<uint32_t>& counts) {
    std::vector<uint32_t> offsets(counts.size() + 1);
    uint32_t sum = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        offsets[i] = sum;
        sum += counts[i];
    }
    offsets[counts.size()] = sum;
    return offsets;
}

}  // namespace

InvertedIndex build_inverted_index(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids,
                                   uint32_t n_items) {
    const std::size_t n = txn_ids.size();
    if (n > std::numeric_limits<uint32_t>::max())
        throw InputError("too many occurrences: " + std::to_string(n) +
                         " rows given, at most 4294967295 are supported");

    // Factorise the labels, then validate the items and count both row lengths.
    std::vector<uint32_t> dense(n);
    std::vector<uint32_t> txn_counts;
    std::vector<uint32_t> item_counts(n_items, 0);
    {
        absl::flat_hash_map<int64_t, uint32_t> label_to_dense;
        label_to_dense.reserve(std::max<std::size_t>(n / 4, 16));
        // Inputs are usually grouped by transaction: a run of one label needs one lookup.
        int64_t prev_label = 0;
        uint32_t prev_dense = 0;
        bool have_prev = false;
        for (std::size_t i = 0; i < n; ++i) {
            const int64_t label = txn_ids[i];
            uint32_t t;
            if (have_prev && label == prev_label) {
                t = prev_dense;
            } else {
                auto [it, inserted] = label_to_dense.try_emplace(label, static_cast<uint32_t>(txn_counts.size()));
                if (inserted) txn_counts.push_back(0);
                t = it->second;
                prev_label = label;
                prev_dense = t;
                have_prev = true;
            }
            dense[i] = t;
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (i >= item_ids.size()) panic_index(item_ids.size(), i);
            const uint32_t v = static_cast<uint32_t>(item_ids[i]);
            if (v >= n_items) panic_index(n_items, v);
            ++txn_counts[dense[i]];
            ++item_counts[v];
        }
    }

    InvertedIndex index;
    index.n_items = n_items;
    index.n_transactions = static_cast<uint32_t>(txn_counts.size());
    std::vector<uint32_t> txn_offsets = prefix_offsets(txn_counts);
    std::vector<uint32_t> item_offsets = prefix_offsets(item_counts);

    // Scatter; the counts become fill cursors.
    std::vector<uint32_t> txn_data(n);
    std::vector<uint32_t> item_data(n);
    std::fill(txn_counts.begin(), txn_counts.end(), 0);
    std::fill(item_counts.begin(), item_counts.end(), 0);
    for (std::size_t i = 0; i < n; ++i) {
        const uint32_t t = dense[i];
        const uint32_t v = static_cast<uint32_t>(item_ids[i]);
        // The caller's memory is read a second time here, with the interpreter lock
        // released: if another thread changed it meanwhile, stop instead of writing
        // outside a row.
        if (v >= n_items || item_offsets[v] + item_counts[v] >= item_offsets[v + 1]) [[unlikely]]
            throw Panic("item_ids changed while the call was reading it");
        txn_data[txn_offsets[t] + txn_counts[t]++] = v;
        item_data[item_offsets[v] + item_counts[v]++] = t;
    }
    std::vector<uint32_t>().swap(dense);
    std::vector<uint32_t>().swap(txn_counts);

    std::tie(index.txn_items, index.txn_offsets) =
        sort_dedup_csr(std::move(txn_data), std::move(txn_offsets), index.n_transactions);
    std::tie(index.item_txns, index.item_offsets) =
        sort_dedup_csr(std::move(item_data), std::move(item_offsets), n_items);
    for (uint32_t i = 0; i < n_items; ++i) item_counts[i] = index.item_offsets[i + 1] - index.item_offsets[i];
    index.item_counts = std::move(item_counts);
    return index;
}

std::pair<std::vector<uint32_t>, std::vector<uint32_t>> sort_dedup_csr(std::vector<uint32_t> indices,
                                                                       std::vector<uint32_t> offsets,
                                                                       std::size_t n_rows) {
    // Compacts in place: the write position never passes the read position, so no
    // second data vector is needed.
    if (offsets.size() < n_rows + 1) panic_index(offsets.size(), n_rows);
    const std::size_t len = indices.size();
    std::size_t write = 0;
    std::vector<uint32_t> new_offsets(n_rows + 1);
    new_offsets[0] = 0;
    for (std::size_t r = 0; r < n_rows; ++r) {
        const std::size_t lo = offsets[r];
        const std::size_t hi = offsets[r + 1];
        if (lo > hi) panic_index(hi, lo);
        if (hi > len) panic_index(len, hi);
        if (lo < write) panic_index(write, lo);  // overlapping rows would be overwritten
        uint32_t* row = indices.data() + lo;
        const std::size_t row_len = hi - lo;
        if (!std::is_sorted(row, row + row_len)) std::sort(row, row + row_len);
        for (std::size_t j = 0; j < row_len; ++j) {
            if (j == 0 || row[j] != row[j - 1]) indices[write++] = row[j];
        }
        new_offsets[r + 1] = static_cast<uint32_t>(write);
    }
    indices.resize(write);
    if (indices.capacity() - write > write / 8) indices.shrink_to_fit();
    return {std::move(indices), std::move(new_offsets)};
}

std::string validate(const InvertedIndex& ix) {
    auto check_csr = [](const std::vector<uint32_t>& off, const std::vector<uint32_t>& data, std::size_t rows,
                        uint32_t bound, const char* what) -> std::string {
        if (off.size() != rows + 1) return std::string(what) + ": offsets length";
        if (off[0] != 0) return std::string(what) + ": first offset";
        if (off[rows] != data.size()) return std::string(what) + ": last offset";
        for (std::size_t r = 0; r < rows; ++r) {
            if (off[r] > off[r + 1]) return std::string(what) + ": offsets decrease";
            for (uint32_t j = off[r]; j < off[r + 1]; ++j) {
                if (data[j] >= bound) return std::string(what) + ": value out of range";
                if (j > off[r] && data[j] <= data[j - 1]) return std::string(what) + ": row not strictly ascending";
            }
        }
        return {};
    };
    if (auto e = check_csr(ix.txn_offsets, ix.txn_items, ix.n_transactions, ix.n_items, "txn"); !e.empty()) return e;
    if (auto e = check_csr(ix.item_offsets, ix.item_txns, ix.n_items, ix.n_transactions, "item"); !e.empty()) return e;
    if (ix.txn_items.size() != ix.item_txns.size()) return "data lengths differ";
    if (ix.item_counts.size() != ix.n_items) return "item_counts length";
    for (uint32_t i = 0; i < ix.n_items; ++i) {
        if (ix.item_counts[i] != ix.item_offsets[i + 1] - ix.item_offsets[i]) return "item_counts value";
        for (uint32_t t : ix.item(i)) {
            auto row = ix.txn(t);
            if (!std::binary_search(row.begin(), row.end(), i)) return "halves disagree";
        }
    }
    return {};
}

}  // namespace tallisk
