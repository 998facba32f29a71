// The engine's miner: builds the ranked view of the occurrences, runs the root task of
// the search in the form the view chose (engine/bits_search.cpp, engine/list_search.cpp)
// and puts the tasks' rows together into one table, in search or canonical order
// (engine/output.cpp, engine/order.cpp). The task machinery every search shares - the
// run of a task, the row guard, the reporting of rows - is here too.
#include "engine/mine.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "common/error.hpp"
#include "common/index.hpp"
#include "common/pool.hpp"
#include "engine/data.hpp"
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

    detail::Context cx;
    cx.v = &v;
    cx.opt = options;
    cx.rank_words = (v.size() + 63) / 64 + 1;
    cx.counted = options.max_itemsets != std::numeric_limits<uint64_t>::max();
    cx.parallel = pool::num_threads() > 1;
    if (cx.parallel && options.target == Target::maximal) cx.board.holding.resize(v.size());
    if (!v.bits && result.n_transactions > 0)
        cx.row_length = static_cast<double>(v.rows.values.size()) / result.n_transactions;

    OutNode root;
    auto body = [&] {
        const std::unique_ptr<detail::Task> s = v.bits ? detail::bits_root(cx, &root, base_ids, result.n_transactions)
                                                       : detail::list_root(cx, &root, base_ids, result.n_transactions);
        if (options.target != Target::all) {
            if (result.n_transactions < options.min_count || result.n_transactions == 0) return;
            if (options.target == Target::closed && !base_ids.empty() && base_ids.size() >= options.min_len &&
                base_ids.size() <= options.max_len)
                s->emit_prefix(result.n_transactions);
            if (base_ids.size() > options.max_len) return;
        }
        s->run();
    };
    if (cx.parallel)
        pool::run(body);
    else
        body();
    if (cx.counted && cx.reported.load() > options.max_itemsets) detail::Task::throw_too_many(options.max_itemsets);
    // Rows hold the ranked items and those of every transaction, nothing else.
    std::vector<int32_t> alphabet(base_ids);
    for (uint32_t id : v.id_of) alphabet.push_back(static_cast<int32_t>(id));
    std::sort(alphabet.begin(), alphabet.end());
    v = Vertical{};  // the view is done with: its memory goes before the table is written
    result.table = flatten(std::move(root));
    if (result.table.counts.size() > options.max_itemsets) detail::Task::throw_too_many(options.max_itemsets);
    if (options.order == Order::canonical) canonical_order(result.table, alphabet);
    return result;
}

}  // namespace tallisk::engine
