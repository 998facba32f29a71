#include "common/index.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include <absl/container/flat_hash_map.h>

#include "common/error.hpp"
#include "common/itemset.hpp"
#include "common/pool.hpp"
#include "common/tuning.hpp"

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

//! Reads occurrences grouped by transaction, with labels that never decrease, in pieces
//! on the pool: checks and copies every item into `items` and returns the transaction
//! offsets (the run starts, then n). Returns nothing for any other input (a label that
//! goes down, an item out of range, item_ids too short), which the serial pass then
//! reads from the start and reports exactly as it always does.
std::vector<uint32_t> ascending_runs(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids,
                                     uint32_t n_items, large_vector<uint32_t>& items) {
    const std::size_t n = txn_ids.size();
    if (item_ids.size() < n) return {};
    struct Runs {
        std::vector<uint32_t> starts;
        bool ok = true;
    };
    const std::size_t pieces = pool::num_threads() * tuning::kChunksPerWorker;
    const auto bounds = pool::even_bounds(n, (n + pieces - 1) / pieces);
    std::vector<Runs> parts = pool::map_ranges<Runs>(bounds, [&](std::size_t begin, std::size_t end) {
        Runs p;
        int64_t prev = begin > 0 ? txn_ids[begin - 1] : 0;
        for (std::size_t i = begin; i < end; ++i) {
            const int64_t label = txn_ids[i];
            if (i == 0 || label != prev) {
                if (i > 0 && label < prev) {
                    p.ok = false;
                    return p;
                }
                p.starts.push_back(static_cast<uint32_t>(i));
                prev = label;
            }
            const auto v = static_cast<uint32_t>(item_ids[i]);
            if (v >= n_items) {
                p.ok = false;
                return p;
            }
            items[i] = v;
        }
        return p;
    });
    std::size_t n_runs = 0;
    for (const Runs& p : parts) {
        if (!p.ok) return {};
        n_runs += p.starts.size();
    }
    std::vector<uint32_t> offsets;
    offsets.reserve(n_runs + 1);
    for (const Runs& p : parts) offsets.insert(offsets.end(), p.starts.begin(), p.starts.end());
    offsets.push_back(static_cast<uint32_t>(n));
    return offsets;
}

//! Transactions per item id: per-piece counters on the pool when the occurrences are
//! many against the id space, else one pass.
std::vector<uint32_t> count_items(const large_vector<uint32_t>& values, uint32_t n_items) {
    const std::size_t n = values.size();
    // Small inputs never ask for the pool, so that they do not start it either.
    const std::size_t workers = n < tuning::kParallelOccurrences ? 1 : pool::num_threads();
    if (workers < 2 || std::size_t{n_items} * workers > n / 8) {
        std::vector<uint32_t> counts(n_items, 0);
        for (uint32_t v : values) ++counts[v];
        return counts;
    }
    std::vector<std::vector<uint32_t>> parts =
        pool::map_chunks<std::vector<uint32_t>>(n, pool::list_chunk(n), [&](std::size_t begin, std::size_t end) {
            std::vector<uint32_t> counts(n_items, 0);
            for (std::size_t i = begin; i < end; ++i) ++counts[values[i]];
            return counts;
        });
    for (std::size_t k = 1; k < parts.size(); ++k)
        for (uint32_t i = 0; i < n_items; ++i) parts[0][i] += parts[k][i];
    return std::move(parts[0]);
}

}  // namespace

TransactionRows build_transaction_rows(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids,
                                       uint32_t n_items) {
    const std::size_t n = txn_ids.size();
    if (n > std::numeric_limits<uint32_t>::max())
        throw InputError("too many occurrences: " + std::to_string(n) +
                         " rows given, at most 4294967295 are supported");

    // One pass over the caller's arrays: number the transactions in order of first
    // appearance, check every item and copy it. The caller's memory is read only here,
    // so nothing later depends on it staying unchanged while the lock is released.
    //
    // Inputs are usually grouped by transaction, often with ascending labels. While
    // each new run of one label starts a transaction never seen before, the copied
    // items already form the transaction rows in order and the run starts are their
    // offsets: no per-occurrence transaction id is kept. While the run labels also
    // ascend, no label can recur, so no hash map is needed either. The first run that
    // breaks either property switches to the general path from that row on. Large inputs
    // of that common shape are read in pieces on the pool instead (ascending_runs).
    large_vector<uint32_t> items(n);
    std::vector<uint32_t> txn_offsets;          // run starts, while grouped
    std::vector<uint32_t> dense;                // transaction of every occurrence, once not grouped
    HashMap<int64_t, uint32_t> label_to_dense;  // used once labels stop ascending
    bool grouped = true;
    bool ascending = true;
    uint32_t n_txn = 0;
    int64_t prev_label = 0;
    uint32_t prev_dense = 0;
    if (n >= tuning::kParallelOccurrences && pool::num_threads() > 1) {
        txn_offsets = ascending_runs(txn_ids, item_ids, n_items, items);
        n_txn = static_cast<uint32_t>(txn_offsets.empty() ? 0 : txn_offsets.size() - 1);
    }
    const bool read_in_pieces = !txn_offsets.empty();
    for (std::size_t i = 0; i < n && !read_in_pieces; ++i) {
        const int64_t label = txn_ids[i];
        if (i == 0 || label != prev_label) {
            bool is_new = true;
            uint32_t t = n_txn;
            if (!ascending || label < prev_label) {
                if (ascending) {
                    // Every run so far started a new transaction: enter them into the
                    // map. Ids are clamped, so that even a buffer changed meanwhile
                    // cannot yield one out of range.
                    ascending = false;
                    uint32_t id = 0;
                    for (std::size_t j = 0; j < i; ++j)
                        if (j == 0 || txn_ids[j] != txn_ids[j - 1])
                            label_to_dense.try_emplace(txn_ids[j], std::min(id++, n_txn - 1));
                }
                const auto [it, inserted] = label_to_dense.try_emplace(label, n_txn);
                is_new = inserted;
                t = it->second;
            }
            if (is_new) ++n_txn;
            if (grouped && is_new) {
                txn_offsets.push_back(static_cast<uint32_t>(i));
            } else if (grouped) {
                // A transaction seen before continues here: from now on every
                // occurrence records its transaction.
                grouped = false;
                dense.resize(n);
                for (std::size_t r = 0; r < txn_offsets.size(); ++r) {
                    const std::size_t hi = r + 1 < txn_offsets.size() ? txn_offsets[r + 1] : i;
                    std::fill(dense.begin() + txn_offsets[r], dense.begin() + static_cast<std::ptrdiff_t>(hi),
                              static_cast<uint32_t>(r));
                }
            }
            prev_label = label;
            prev_dense = t;
        }
        if (!grouped) dense[i] = prev_dense;
        if (i >= item_ids.size()) panic_index(item_ids.size(), i);
        const auto v = static_cast<uint32_t>(item_ids[i]);
        if (v >= n_items) panic_index(n_items, v);
        items[i] = v;
    }
    HashMap<int64_t, uint32_t>().swap(label_to_dense);

    TransactionRows index;
    index.n_items = n_items;
    index.n_transactions = n_txn;
    if (grouped) {
        if (!read_in_pieces) txn_offsets.push_back(static_cast<uint32_t>(n));
    } else {
        // Scatter the occurrences into transaction rows.
        std::vector<uint32_t>(std::size_t{n_txn} + 1, 0).swap(txn_offsets);
        for (uint32_t t : dense) ++txn_offsets[t + 1];
        for (uint32_t t = 0; t < n_txn; ++t) txn_offsets[t + 1] += txn_offsets[t];
        large_vector<uint32_t> rows(n);
        std::vector<uint32_t> cursor(txn_offsets.begin(), txn_offsets.end() - 1);
        for (std::size_t i = 0; i < n; ++i) rows[cursor[dense[i]]++] = items[i];
        std::vector<uint32_t>().swap(cursor);
        std::vector<uint32_t>().swap(dense);
        items.swap(rows);
    }
    index.txn_rows = sort_dedup_csr({std::move(txn_offsets), std::move(items)}, index.n_transactions);

    index.item_counts = count_items(index.txn_rows.values, n_items);
    return index;
}

InvertedIndex build_inverted_index(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids,
                                   uint32_t n_items) {
    TransactionRows rows = build_transaction_rows(txn_ids, item_ids, n_items);
    InvertedIndex index;
    index.n_items = rows.n_items;
    index.n_transactions = rows.n_transactions;
    index.txn_rows = std::move(rows.txn_rows);
    index.item_counts = std::move(rows.item_counts);
    // The item side is the transpose of the deduplicated rows: walking transactions
    // in order fills every item's row ascending and without repeats.
    IdRows& item_rows = index.item_rows;
    item_rows.offsets = prefix_offsets(index.item_counts);
    item_rows.values.resize(index.txn_rows.values.size());
    std::vector<uint32_t> cursor(item_rows.offsets.begin(), item_rows.offsets.end() - 1);
    for (uint32_t t = 0; t < index.n_transactions; ++t)
        for (uint32_t v : index.txn(t)) item_rows.values[cursor[v]++] = t;
#ifndef NDEBUG
    if (const std::string broken = validate(index); !broken.empty()) throw Panic("inconsistent index: " + broken);
#endif
    return index;
}

IdRows sort_dedup_csr(IdRows rows, std::size_t n_rows) {
    large_vector<uint32_t>& values = rows.values;
    const std::vector<uint32_t>& offsets = rows.offsets;
    if (offsets.size() < n_rows + 1) panic_index(offsets.size(), n_rows);
    const std::size_t len = values.size();
    // Each row is sorted and its repeats dropped where it stands, in pieces on the pool;
    // new_offsets[r + 1] holds row r's length until the prefix sum below. Rows read as
    // given from consecutive offsets cannot overlap, so the pieces never share a value.
    std::vector<uint32_t> new_offsets(n_rows + 1);
    new_offsets[0] = 0;
    const std::size_t pieces = len < tuning::kParallelOccurrences ? 1 : pool::num_threads() * tuning::kChunksPerWorker;
    const auto bounds = pool::even_bounds(n_rows, (n_rows + pieces - 1) / pieces);
    const std::vector<char> shrank = pool::map_ranges<char>(bounds, [&](std::size_t begin, std::size_t end) {
        char any = 0;
        for (std::size_t r = begin; r < end; ++r) {
            const std::size_t lo = offsets[r];
            const std::size_t hi = offsets[r + 1];
            if (lo > hi) panic_index(hi, lo);
            if (hi > len) panic_index(len, hi);
            uint32_t* row = values.data() + lo;
            if (!std::is_sorted(row, row + (hi - lo))) std::sort(row, row + (hi - lo));
            const auto kept = static_cast<std::size_t>(std::unique(row, row + (hi - lo)) - row);
            any |= static_cast<char>(kept != hi - lo);
            new_offsets[r + 1] = static_cast<uint32_t>(kept);
        }
        return any;
    });
    for (std::size_t r = 0; r < n_rows; ++r) new_offsets[r + 1] += new_offsets[r];
    const bool moved = offsets[0] != 0 || std::find(shrank.begin(), shrank.end(), 1) != shrank.end();
    if (moved) {
        // Rows that lost repeats (or a table that does not start at 0): slide every row
        // down to its new place, in order, so no row is overwritten before it is moved.
        for (std::size_t r = 0; r < n_rows; ++r)
            std::memmove(values.data() + new_offsets[r], values.data() + offsets[r],
                         (new_offsets[r + 1] - new_offsets[r]) * sizeof(uint32_t));
    }
    const std::size_t write = new_offsets[n_rows];
    values.resize(write);
    if (values.capacity() - write > write / 8) values.shrink_to_fit();
    rows.offsets = std::move(new_offsets);
    return rows;
}

std::string validate(const InvertedIndex& ix) {
    auto check_csr = [](const IdRows& csr, std::size_t rows, uint32_t bound, const char* what) -> std::string {
        const std::vector<uint32_t>& off = csr.offsets;
        const auto& data = csr.values;
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
    if (auto e = check_csr(ix.txn_rows, ix.n_transactions, ix.n_items, "txn"); !e.empty()) return e;
    if (auto e = check_csr(ix.item_rows, ix.n_items, ix.n_transactions, "item"); !e.empty()) return e;
    if (ix.txn_rows.values.size() != ix.item_rows.values.size()) return "data lengths differ";
    if (ix.item_counts.size() != ix.n_items) return "item_counts length";
    for (uint32_t i = 0; i < ix.n_items; ++i) {
        if (ix.item_counts[i] != ix.item(i).size()) return "item_counts value";
        for (uint32_t t : ix.item(i)) {
            auto row = ix.txn(t);
            if (!std::binary_search(row.begin(), row.end(), i)) return "halves disagree";
        }
    }
    return {};
}

}  // namespace tallisk
