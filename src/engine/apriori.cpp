#include "engine/apriori.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "common/index.hpp"
#include "common/pool.hpp"
#include "common/tuning.hpp"
#include "engine/count.hpp"
#include "engine/filter.hpp"

namespace tallisk::engine {
namespace {

//! The frequent sets of one length: rows of `width` ids back to back, ids ascending
//! within a row, rows in lexicographic order.
struct Level {
    std::size_t width = 0;
    std::vector<uint32_t> items;
    std::vector<int64_t> counts;

    std::size_t size() const { return counts.size(); }
    std::span<const uint32_t> row(std::size_t i) const { return {items.data() + i * width, width}; }
};

//! The frequent candidates of one batch, in candidate order.
struct Found {
    std::vector<uint32_t> items;
    std::vector<int64_t> counts;
};

//! Rows reported so far, against max_itemsets; shared by the batches of a level.
class RowLimit {
public:
    explicit RowLimit(uint64_t max) : max_(max) {}
    //! Counts n more reported rows; InputError once they exceed the limit.
    void add(uint64_t n) {
        if (max_ == std::numeric_limits<uint64_t>::max()) return;
        if (reported_.fetch_add(n, std::memory_order_relaxed) + n > max_) throw_too_many(max_);
    }

private:
    uint64_t max_;
    std::atomic<uint64_t> reported_{0};
};

//! Batch bounds over rows 0 .. n - 1 whose `cands(p)` candidates add up to about
//! o.batch_candidates a batch.
template <class Cands>
std::vector<std::size_t> batches(std::size_t n, const MineOptions& o, Cands&& cands) {
    std::vector<std::size_t> bounds{0};
    std::size_t pending = 0;
    for (std::size_t p = 0; p < n; ++p) {
        pending += cands(p);
        if (pending >= o.batch_candidates) {
            bounds.push_back(p + 1);
            pending = 0;
        }
    }
    if (bounds.back() != n) bounds.push_back(n);
    return bounds;
}

//! Concatenates the batches' rows in batch order, freeing each.
Level gather(std::vector<Found>&& parts, std::size_t width) {
    Level next;
    next.width = width;
    std::size_t rows = 0;
    for (const Found& f : parts) rows += f.counts.size();
    next.items.reserve(rows * width);
    next.counts.reserve(rows);
    for (Found& f : parts) {
        next.items.insert(next.items.end(), f.items.begin(), f.items.end());
        next.counts.insert(next.counts.end(), f.counts.begin(), f.counts.end());
        f = Found{};
    }
    return next;
}

//! Marks row r of the level being judged when a frequent superset of it one item longer
//! has `count` transactions: always for target maximal, on an equal count for closed.
struct Judge {
    const MineOptions& o;
    const Level& prev;
    std::vector<uint8_t>* dropped;  // null: nothing is judged

    void operator()(std::size_t r, int64_t count) const {
        if (dropped && (o.target == Target::maximal || prev.counts[r] == count))
            std::atomic_ref<uint8_t>((*dropped)[r]).store(1, std::memory_order_relaxed);
    }
};

//! The runs of rows of a level that share their first width - 1 ids (the rows that join
//! with each other), and an index of those shared prefixes.
struct Groups {
    std::vector<uint32_t> end;     // per row: one past the last row of its run
    std::vector<uint32_t> first;   // per run: its first row
    std::vector<uint32_t> prefix;  // per run: the shared ids, back to back
    std::optional<SubsetIndex> index;

    explicit Groups(const Level& lv) {
        const std::size_t n = lv.size(), w = lv.width;
        end.resize(n);
        for (std::size_t p = n; p-- > 0;) {
            const auto row = lv.row(p);
            const bool joins_next = p + 1 < n && std::equal(row.begin(), row.end() - 1, lv.row(p + 1).begin());
            end[p] = joins_next ? end[p + 1] : static_cast<uint32_t>(p + 1);
        }
        for (std::size_t p = 0; p < n; p = end[p]) {
            first.push_back(static_cast<uint32_t>(p));
            const auto row = lv.row(p);
            prefix.insert(prefix.end(), row.begin(), row.end() - 1);
        }
        if (w >= 2) index.emplace(RowsView{{}, w - 1, prefix, first.size()});
    }
};

//! The run of rows that hold a row's ids but one, each with one later id; a cursor
//! walks the rows at..n (their last ids ascend).
struct Run {
    std::size_t at, n;
};

//! The frequent sets one item longer than those of `prev`, from the candidates its rows
//! join into. Row p joins with each later row q of its run into p + (q's last id). Such
//! a candidate's other subsets, p without one of its first width - 1 ids plus q's last
//! id, lie in the run that the shortened p heads (found once per p in the prefix index),
//! so the candidates of p are pruned by one merge of q's last ids with those runs' last
//! ids. `limit`, when given, counts the level's rows as they are found; `dropped`, when
//! given, receives the rows of prev that a frequent candidate holds with any count
//! (target maximal) or the same count (closed).
Level grow(const Level& prev, const Groups& groups, const ItemSets& sets, const MineOptions& o, RowLimit* limit,
           std::vector<uint8_t>* dropped) {
    const uint32_t min_count = o.min_count;
    const std::size_t n = prev.size(), w = prev.width;
    const std::vector<uint32_t>& end = groups.end;
    const auto bounds = batches(n, o, [&](std::size_t p) { return end[p] - p - 1; });
    const Judge judge{o, prev, dropped};

    std::vector<Found> parts = pool::map_ranges<Found>(bounds, [&](std::size_t begin, std::size_t stop) {
        Found found;
        PrefixWalk walk(sets, min_count);
        std::vector<uint32_t> cand(w + 1);
        std::vector<Run> runs(w - 1);
        for (std::size_t p = begin; p < stop; ++p) {
            pool::check_stop();
            if (end[p] == p + 1) continue;  // no later row to join
            const auto a = prev.row(p);
            std::copy(a.begin(), a.end(), cand.begin());
            bool any = true;
            if (w >= 2) {
                const uint64_t h = SubsetIndex::hash_of(a);
                for (std::size_t skip = 0; skip + 1 < w && any; ++skip) {
                    const uint32_t g = groups.index->find_without(a, h, skip);
                    any = g != SubsetIndex::kNone;
                    if (!any) break;
                    const uint32_t f = groups.first[g];
                    runs[skip] = Run{f, end[f]};
                }
            }
            if (!any) continue;
            const uint32_t* last = prev.items.data() + w - 1;  // last[r * w]: row r's last id
            for (std::size_t q = p + 1; q < end[p] && any; ++q) {
                const uint32_t b = last[q * w];
                bool keep = true;
                for (Run& r : runs) {
                    while (r.at < r.n && last[r.at * w] < b) ++r.at;
                    if (r.at == r.n) {
                        any = false;  // a run is used up: no later candidate of p survives
                        break;
                    }
                    keep = keep && last[r.at * w] == b;
                }
                if (!any || !keep) continue;
                cand[w] = b;
                const uint32_t count = walk.count(cand);
                if (count < min_count) continue;
                found.items.insert(found.items.end(), cand.begin(), cand.end());
                found.counts.push_back(count);
                judge(p, count);
                judge(q, count);
                for (const Run& r : runs) judge(r.at, count);
            }
        }
        if (limit) limit->add(found.counts.size());
        return found;
    });

    return gather(std::move(parts), w + 1);
}

//! The frequent pairs of the frequent items `singles`. Every pair of them is a
//! candidate, so rather than one intersection per pair, each item a's transactions are
//! scanned once for the later items they hold: the counts of all a's pairs for the cost
//! of those transactions' lengths. Batches of first items run on the pool.
Level grow_pairs(const TransactionRows& rows, const Level& singles, const MineOptions& o, RowLimit* limit,
                 std::vector<uint8_t>* dropped) {
    const std::size_t n = singles.size();
    constexpr uint32_t kNone = 0xFFFFFFFFu;
    std::vector<uint32_t> slot_of(rows.n_items, kNone);
    for (std::size_t a = 0; a < n; ++a) slot_of[singles.items[a]] = static_cast<uint32_t>(a);
    // Each transaction's frequent items as slots (ascending, as the ids are), and each
    // slot's transactions.
    Csr<std::size_t, uint32_t> txn;
    txn.offsets.assign(std::size_t{rows.n_transactions} + 1, 0);
    for (uint32_t t = 0; t < rows.n_transactions; ++t) {
        std::size_t len = 0;
        for (uint32_t x : rows.txn(t)) len += slot_of[x] != kNone;
        txn.offsets[t + 1] = txn.offsets[t] + len;
    }
    txn.values.resize(txn.offsets.back());
    Csr<std::size_t, uint32_t> item;
    item.offsets.assign(n + 1, 0);
    for (std::size_t a = 0; a < n; ++a)
        item.offsets[a + 1] = item.offsets[a] + static_cast<std::size_t>(singles.counts[a]);
    item.values.resize(item.offsets.back());
    {
        std::vector<std::size_t> fill(item.offsets.begin(), item.offsets.end() - 1);
        std::size_t at = 0;
        for (uint32_t t = 0; t < rows.n_transactions; ++t)
            for (uint32_t x : rows.txn(t))
                if (const uint32_t a = slot_of[x]; a != kNone) {
                    txn.values[at++] = a;
                    item.values[fill[a]++] = t;
                }
    }
    const Judge judge{o, singles, dropped};
    const auto bounds = batches(n, o, [&](std::size_t a) { return n - a - 1; });
    std::vector<Found> parts = pool::map_ranges<Found>(bounds, [&](std::size_t begin, std::size_t stop) {
        Found found;
        std::vector<uint32_t> count(n, 0), touched;
        for (std::size_t a = begin; a < stop; ++a) {
            pool::check_stop();
            touched.clear();
            for (uint32_t t : item.row(a)) {
                const auto r = txn.row(t);
                for (auto it = std::upper_bound(r.begin(), r.end(), static_cast<uint32_t>(a)); it != r.end(); ++it)
                    if (count[*it]++ == 0) touched.push_back(*it);
            }
            // The pairs in order of b: by sorting the items met, or, when they are many
            // of the later ones, by reading every later item's count.
            auto pair = [&](uint32_t b) {
                const uint32_t c = std::exchange(count[b], 0);
                if (c < o.min_count) return;
                found.items.push_back(singles.items[a]);
                found.items.push_back(singles.items[b]);
                found.counts.push_back(c);
                judge(a, c);
                judge(b, c);
            };
            if (touched.size() * 16 < n - a) {
                std::sort(touched.begin(), touched.end());
                for (uint32_t b : touched) pair(b);
            } else {
                for (auto b = static_cast<uint32_t>(a + 1); b < n; ++b) pair(b);
            }
        }
        if (limit) limit->add(found.counts.size());
        return found;
    });
    return gather(std::move(parts), 2);
}

//! The result table, level after level.
class Output {
public:
    explicit Output(const MineOptions& o) : o_(o) { table_.offsets.assign(1, 0); }

    //! Appends the rows of `lv` not flagged in `dropped` (empty: none is) when their
    //! length is reported; InputError once there are more than max_itemsets rows.
    void add(const Level& lv, const std::vector<uint8_t>& dropped) {
        if (lv.width < o_.min_len || lv.width > o_.max_len) return;
        for (std::size_t r = 0; r < lv.size(); ++r) {
            if (!dropped.empty() && dropped[r]) continue;
            const auto row = lv.row(r);
            table_.items.insert(table_.items.end(), row.begin(), row.end());
            table_.offsets.push_back(static_cast<int64_t>(table_.items.size()));
            table_.counts.push_back(lv.counts[r]);
        }
        if (table_.counts.size() > o_.max_itemsets) throw_too_many(o_.max_itemsets);
    }
    std::size_t rows() const { return table_.counts.size(); }
    Table take() { return std::move(table_); }

private:
    const MineOptions& o_;
    Table table_;
};

}  // namespace

MineResult mine_apriori(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids, uint32_t n_items,
                        const MineOptions& options) {
    MineResult result;
    MineOptions o = options;
    o.min_count = std::max<uint32_t>(options.min_count, 1);
    const bool all = options.target == Target::all;
    // Closed and maximal sets of length max_len are judged by the sets one item longer.
    const std::size_t deepest =
        all || options.max_len == std::numeric_limits<std::size_t>::max() ? options.max_len : options.max_len + 1;

    Level level;
    level.width = 1;
    // The transactions serve the pairs and the item sets the longer candidates are
    // counted in; both are dropped as soon as they have.
    std::optional<TransactionRows> rows(build_transaction_rows(txn_ids, item_ids, n_items));
    result.n_transactions = rows->n_transactions;
    result.item_counts.assign(rows->item_counts.begin(), rows->item_counts.end());
    for (uint32_t i = 0; i < n_items; ++i) {
        if (rows->item_counts[i] < o.min_count) continue;
        level.items.push_back(i);
        level.counts.push_back(rows->item_counts[i]);
    }
    std::optional<ItemSets> sets;

    Output out(options);
    while (level.size() > 0) {
        pool::check_stop();
        // Closed and maximal rows of a level are known once the next level is.
        std::vector<uint8_t> dropped(all ? 0 : level.size(), 0);
        std::vector<uint8_t>* judged = all ? nullptr : &dropped;
        if (all) out.add(level, dropped);
        Level next;
        if (level.width < deepest && level.size() >= 2) {
            std::optional<RowLimit> limit;
            if (all && level.width + 1 >= options.min_len && level.width + 1 <= options.max_len) {
                limit.emplace(options.max_itemsets);
                limit->add(out.rows());
            }
            RowLimit* counted = limit ? &*limit : nullptr;
            if (level.width == 1) {
                next = grow_pairs(*rows, level, o, counted, judged);
            } else {
                if (!sets) {
                    // Only the items of frequent pairs can be in longer frequent sets.
                    std::vector<uint8_t> used(n_items, 0);
                    for (uint32_t x : level.items) used[x] = 1;
                    sets.emplace(*rows, used);
                    rows.reset();
                }
                next = grow(level, Groups(level), *sets, o, counted, judged);
            }
        }
        if (!all) out.add(level, dropped);
        level = std::move(next);
    }
    result.table = out.take();
    return result;
}

}  // namespace tallisk::engine
