// Eclat: depth-first search over vertical lists, one task per frequent item.
//
// Before the search, one of two global views of the frequent items is built (see
// eclat/views.hpp), whichever the cost model below finds cheaper for this input; each
// view's top-level tasks then run the same recursion (eclat/classes.hpp). Small
// searches run on the calling thread; waking the pool would cost more than the search.
#include "eclat/eclat.hpp"

#include <algorithm>

#include "common/pool.hpp"
#include "common/support.hpp"
#include "common/tuning.hpp"
#include "eclat/views.hpp"

namespace tallisk::eclat {
namespace detail {

void release(TransactionRows& rows) { rows.txn_rows.release(); }

}  // namespace detail

namespace {

using namespace detail;

//! Which global view the search takes, and its estimated cost in projection steps.
struct ViewChoice {
    bool global_bits = false;
    double steps = 0;
    std::size_t n_words = 0;  // words per global bitset
};

//! A top-level scan of the frequent rows costs about sum over transactions of
//! C(frequent items in it, 2) steps (twice when lists are filled); with
//! r = occurrences / transactions that is about occurrences * (r - 1) / 2. The bitsets
//! cost C(n, 2) word ANDs and may take no more memory than the lists.
ViewChoice choose_view(const TransactionRows& rows, const FrequentItems& frequent, std::size_t k_max) {
    const std::size_t n = frequent.items.size();
    const double n_txn = rows.n_transactions;
    double occurrences = 0;
    for (uint32_t item : frequent.items) occurrences += rows.item_counts[item];
    const double passes = k_max >= 3 ? 2 : 1;
    const double row_steps = passes * occurrences * std::max(occurrences / std::max(n_txn, 1.0) - 1, 0.0) / 2 +
                             static_cast<double>(rows.txn_rows.values.size());
    ViewChoice c;
    c.n_words = (rows.n_transactions + std::size_t{63}) / 64;
    const double bit_words = static_cast<double>(n) * static_cast<double>(n - 1) / 2 * static_cast<double>(c.n_words);
    const double bit_bytes = static_cast<double>(n) * static_cast<double>(c.n_words) * sizeof(uint64_t);
    c.global_bits = tuning::kEclatWordCost * bit_words < row_steps &&
                    bit_bytes <= std::max(occurrences * sizeof(uint32_t), 65536.0);
    c.steps = c.global_bits ? tuning::kEclatWordCost * bit_words : row_steps;
    return c;
}

//! Runs task(slot, out) for every one of n frequent items, on the calling thread when
//! the search is small, and concatenates the results in item order.
template <class Task>
EclatOut run_tasks(std::size_t n, double steps, const Task& task) {
    EclatOut out;
    if (steps < tuning::kEclatParallelMinSteps) {
        for (std::size_t i = 0; i < n; ++i) task(static_cast<uint32_t>(i), out);
        return out;
    }
    std::vector<EclatOut> parts = pool::map_each<EclatOut>(n, [&](std::size_t i) {
        EclatOut part;
        task(static_cast<uint32_t>(i), part);
        return part;
    });
    std::size_t sizes[4] = {};
    for (const EclatOut& part : parts) {
        sizes[0] += part.itemsets.size();
        sizes[1] += part.counts.size();
        sizes[2] += part.lower_itemsets.size();
        sizes[3] += part.lower_counts.size();
    }
    out.itemsets.reserve(sizes[0]);
    out.counts.reserve(sizes[1]);
    out.lower_itemsets.reserve(sizes[2]);
    out.lower_counts.reserve(sizes[3]);
    for (EclatOut& part : parts) out.merge(std::move(part));
    return out;
}

template <class T>
void append(std::vector<T>& to, std::vector<T>&& from) {
    to.insert(to.end(), from.begin(), from.end());
    std::vector<T>().swap(from);
}

}  // namespace

void EclatOut::merge(EclatOut&& other) {
    append(itemsets, std::move(other.itemsets));
    append(counts, std::move(other.counts));
    append(lower_itemsets, std::move(other.lower_itemsets));
    append(lower_counts, std::move(other.lower_counts));
}

uint32_t eclat_min_count(double min_support, uint32_t n_transactions) {
    return std::max<uint32_t>(min_count_from<uint32_t>(min_support, n_transactions, 1), 1);
}

FrequentItems frequent_items(const TransactionRows& rows, double min_support) {
    FrequentItems fr;
    fr.min_count = eclat_min_count(min_support, rows.n_transactions);
    fr.slot_of.assign(rows.n_items, kNotFrequent);
    for (uint32_t item = 0; item < rows.n_items; ++item) {
        if (rows.item_counts[item] >= fr.min_count) {
            fr.slot_of[item] = static_cast<uint32_t>(fr.items.size());
            fr.items.push_back(item);
        }
    }
    return fr;
}

EclatOut search(TransactionRows&& rows, const FrequentItems& frequent, std::size_t k_max) {
    const std::size_t n = frequent.items.size();
    if (n == 0 || k_max < 2) return {};
    const Params pr{&frequent, k_max, frequent.min_count};
    const ViewChoice choice = choose_view(rows, frequent, k_max);
    if (choice.global_bits) {
        const BitsView view = build_bits_view(std::move(rows), frequent, choice.n_words);
        return run_tasks(n, choice.steps, [&](uint32_t slot, EclatOut& out) { bits_task(view, pr, slot, out); });
    }
    const RowsView view = build_rows_view(std::move(rows), frequent);
    return run_tasks(n, choice.steps, [&](uint32_t slot, EclatOut& out) { rows_task(view, pr, slot, out); });
}

LevelResult search_levels(TransactionRows&& rows, const FrequentItems& frequent, std::size_t k_max) {
    LevelResult out;
    out.item_counts = LevelRows::widen(rows.item_counts);
    out.n_transactions = rows.n_transactions;
    EclatOut found = search(std::move(rows), frequent, k_max);
    out.top = LevelRows::of(std::move(found.itemsets), k_max, found.counts);
    out.lower = LevelRows::of(std::move(found.lower_itemsets), k_max - 1, found.lower_counts);
    return out;
}

}  // namespace tallisk::eclat
