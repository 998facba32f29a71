// The engine's miner: builds the ranked view of the occurrences, runs the root task of
// the search in the form the view chose (engine/bits_search.cpp, engine/list_search.cpp)
// and puts the tasks' rows together into one table, in search or canonical order
// (engine/output.cpp, engine/order.cpp). The task machinery every search shares - the
// run of a task, the row guard, the reporting of rows - is here too.
#include "engine/mine.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "common/index.hpp"
#include "common/pool.hpp"
#include "engine/data.hpp"
#include "engine/filter.hpp"
#include "engine/search.hpp"

namespace tallisk::engine {

namespace detail {

void Task::run() {
    try {
        search();
    } catch (...) {
        tasks_.cancel();
        try {
            tasks_.wait();
        } catch (...) {
        }
        throw;
    }
    known_.publish();
    tasks_.wait();
    flush();
}

void Task::flush() {
    if (!cx_.counted || unreported_ == 0) return;
    const uint64_t total = cx_.reported.fetch_add(unreported_) + unreported_;
    unreported_ = 0;
    if (total > cx_.opt.max_itemsets) throw_too_many(cx_.opt.max_itemsets);
}

void Task::throw_too_many(uint64_t n) { engine::throw_too_many(n); }

void Task::emit_sorted(std::vector<int32_t>& row, uint32_t count) {
    std::sort(row.begin(), row.end());
    Chunk& out = out_->current;
    out.items.insert(out.items.end(), row.begin(), row.end());
    out.counts.push_back(count);
    out.lens.push_back(static_cast<uint32_t>(row.size()));
    tick();
}

}  // namespace detail

namespace {

//! The rows the tasks have written so far (for the message when memory runs out).
std::size_t rows_in(const OutNode& node) {
    std::size_t n = node.current.n_rows();
    for (const Piece& p : node.pieces) n += p.chunk.n_rows() + (p.child ? rows_in(*p.child) : 0);
    return n;
}

}  // namespace

namespace {

//! Sets up a search of the view v with `options`.
void prepare(detail::Context& cx, const Vertical& v, const MineOptions& options, uint32_t n_transactions) {
    cx.v = &v;
    cx.opt = options;
    cx.rank_words = (v.size() + 63) / 64 + 1;
    cx.counted = options.max_itemsets != std::numeric_limits<uint64_t>::max();
    cx.parallel = pool::num_threads() > 1;
    if (cx.parallel && options.target == Target::maximal) cx.board.holding.resize(v.size());
    if (!v.bits && n_transactions > 0) cx.row_length = static_cast<double>(v.rows.values.size()) / n_transactions;
}

//! Runs the search cx describes into root; base_ids are the items of every transaction
//! (left out of the view for targets closed and maximal).
void search(detail::Context& cx, OutNode& root, const std::vector<int32_t>& base_ids, uint32_t n_transactions) {
    const MineOptions& options = cx.opt;
    auto body = [&] {
        const std::unique_ptr<detail::Task> s = cx.v->bits ? detail::bits_root(cx, &root, base_ids, n_transactions)
                                                           : detail::list_root(cx, &root, base_ids, n_transactions);
        if (options.target != Target::all) {
            if (n_transactions < options.min_count || n_transactions == 0) return;
            if (options.target == Target::closed && !base_ids.empty() && base_ids.size() >= options.min_len &&
                base_ids.size() <= options.max_len)
                s->emit_prefix(n_transactions);
            if (base_ids.size() > options.max_len) return;
        }
        s->run();
    };
    try {
        if (cx.parallel)
            pool::run(body);
        else
            body();
    } catch (const std::bad_alloc&) {
        throw OutOfMemory("%zu rows so far", rows_in(root));
    }
}

//! The closed or maximal sets of a sparse view found as the rows of the all-sets search
//! that target_rows keeps, with base_ids added to each; nullopt once that search passes
//! `cap` rows. On sparse data nearly every frequent set is closed, and the all-sets
//! search, which never tests a closure or looks for a known maximal superset, finds them
//! sooner than the closed or maximal search; the cap bounds what a wrong guess costs.
std::optional<Table> filtered_all(const Vertical& v, const MineOptions& options, const std::vector<int32_t>& base_ids,
                                  uint32_t n_transactions, uint64_t cap) {
    MineOptions all = options;
    all.target = Target::all;
    all.min_len = 1;
    all.max_itemsets = cap;
    detail::Context cx;
    prepare(cx, v, all, n_transactions);
    OutNode root;
    try {
        search(cx, root, {}, n_transactions);
    } catch (const InputError&) {
        if (cx.reported.load() <= cap) throw;
        return std::nullopt;
    }
    // The search's own rows: distinct, ids ascending, no checks needed.
    const Table sets = flatten(std::move(root));
    const RowsView rows{
        sets.offsets, 0, {reinterpret_cast<const uint32_t*>(sets.items.data()), sets.items.size()}, sets.counts.size()};
    const std::vector<int64_t> kept = target_rows(rows, sets.counts, options.target, false);

    // The kept rows with the base items merged in; the base alone is closed (the empty
    // set's closure) whenever it is not empty, and maximal when no item is frequent.
    Table out;
    const std::size_t b = base_ids.size();
    const bool base_row = b > 0 && (options.target == Target::closed || sets.counts.empty());
    auto fits = [&](std::size_t len) { return len + b >= options.min_len; };
    std::size_t n_rows = base_row && fits(0) ? 1 : 0, n_items = n_rows * b;
    for (int64_t r : kept) {
        const auto len = static_cast<std::size_t>(sets.offsets[r + 1] - sets.offsets[r]);
        if (fits(len)) n_rows += 1, n_items += len + b;
    }
    out.offsets.resize(n_rows + 1);
    out.items.resize(n_items);
    out.counts.resize(n_rows);
    out.offsets[0] = 0;
    std::size_t i = 0, w = 0;
    auto add = [&](const int32_t* first, const int32_t* last, int64_t count) {
        w = static_cast<std::size_t>(std::merge(first, last, base_ids.begin(), base_ids.end(), out.items.begin() + w) -
                                     out.items.begin());
        out.counts[i] = count;
        out.offsets[++i] = static_cast<int64_t>(w);
    };
    if (base_row && fits(0)) add(nullptr, nullptr, n_transactions);
    for (int64_t r : kept) {
        const int32_t* first = sets.items.data() + sets.offsets[r];
        const int32_t* last = sets.items.data() + sets.offsets[r + 1];
        if (fits(static_cast<std::size_t>(last - first))) add(first, last, sets.counts[r]);
    }
    return out;
}

}  // namespace

MineResult mine(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids, uint32_t n_items,
                const MineOptions& options) {
    MineResult result;
    Vertical v;
    std::vector<int32_t> base_ids;
    {
        const TransactionRows rows = build_transaction_rows(txn_ids, item_ids, n_items);
        result.n_transactions = rows.n_transactions;
        result.item_counts.assign(rows.item_counts.begin(), rows.item_counts.end());
        std::vector<uint8_t> keep;
        if (options.target != Target::all) {
            // Items in every transaction belong to every closed set and every maximal
            // set; they are left out of the search and added to each row.
            keep.assign(n_items, 1);
            for (uint32_t i = 0; i < n_items; ++i) {
                if (rows.n_transactions > 0 && rows.item_counts[i] == rows.n_transactions &&
                    rows.n_transactions >= options.min_count) {
                    keep[i] = 0;
                    base_ids.push_back(static_cast<int32_t>(i));
                }
            }
        }
        v = build_vertical(rows, options.min_count, keep);
    }
    // Rows hold the ranked items and those of every transaction, nothing else.
    std::vector<int32_t> alphabet(base_ids);
    for (uint32_t id : v.id_of) alphabet.push_back(static_cast<int32_t>(id));
    std::sort(alphabet.begin(), alphabet.end());

    // Closed and maximal sets of sparse data (the view in rows) in canonical order come
    // from the all-sets search and a filter, while it finds no more sets than half the
    // view's occurrences. Its rows leave in another search order, and a bound on the
    // length would hide the longer sets the filter judges by.
    const bool sparse_route = options.target != Target::all && !v.bits && options.order == Order::canonical &&
                              options.max_len == std::numeric_limits<std::size_t>::max() &&
                              result.n_transactions >= options.min_count && result.n_transactions > 0;
    if (sparse_route) {
        const uint64_t cap = std::max<uint64_t>(v.rows.values.size() / 2, tuning::kEngineSparseRouteMinRows);
        std::optional<Table> table;
        try {
            table = filtered_all(v, options, base_ids, result.n_transactions, cap);
        } catch (const OutOfMemory&) {
            throw;  // the search's own account of how far it got
        } catch (const std::bad_alloc&) {
            throw OutOfMemory("while filtering the frequent itemsets to the %s ones",
                              options.target == Target::closed ? "closed" : "maximal");
        }
        if (table) {
            v = Vertical{};
            result.table = std::move(*table);
            const std::size_t found = result.table.counts.size();
            if (found > options.max_itemsets) detail::Task::throw_too_many(options.max_itemsets);
            try {
                canonical_order(result.table, alphabet);
            } catch (const std::bad_alloc&) {
                throw OutOfMemory("while writing the %zu rows found", found);
            }
            return result;
        }
    }

    detail::Context cx;
    prepare(cx, v, options, result.n_transactions);
    OutNode root;
    search(cx, root, base_ids, result.n_transactions);
    if (cx.counted && cx.reported.load() > options.max_itemsets) detail::Task::throw_too_many(options.max_itemsets);
    v = Vertical{};  // the view is done with: its memory goes before the table is written
    const std::size_t found = rows_in(root);
    try {
        result.table = flatten(std::move(root));
        if (result.table.counts.size() > options.max_itemsets) detail::Task::throw_too_many(options.max_itemsets);
        if (options.order == Order::canonical) canonical_order(result.table, alphabet);
    } catch (const std::bad_alloc&) {
        throw OutOfMemory("while writing the %zu rows found", found);
    }
    return result;
}

}  // namespace tallisk::engine
