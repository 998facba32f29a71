#include "engine/count.hpp"

#include <algorithm>
#include <compare>
#include <numeric>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "common/index.hpp"
#include "common/pool.hpp"
#include "common/tuning.hpp"
#include "engine/data.hpp"
#include "engine/setops.hpp"

namespace tallisk::engine {

void check_candidates(std::span<const int64_t> offsets, std::span<const int32_t> items, uint64_t n_items) {
    check_csr(offsets, items, "candidates", n_items);
}

constexpr uint32_t kNone = 0xFFFFFFFFu;

ItemSets::ItemSets(const TransactionRows& rows, std::span<const uint8_t> used)
    : v_(build_vertical(rows, 1, used, false)), n_transactions_(rows.n_transactions) {
    rank_of_.assign(rows.n_items, kNone);
    for (uint32_t r = 0; r < v_.size(); ++r) rank_of_[v_.id_of[r]] = r;
    dense_of_.assign(v_.size(), kNone);
    if (v_.bits) return;
    n_words_ = (static_cast<std::size_t>(v_.n_transactions) + 63) / 64;
    uint32_t n_dense = 0;
    for (uint32_t r = 0; r < v_.size(); ++r)
        if (uint64_t{v_.count[r]} * 64 >= v_.n_transactions) dense_of_[r] = n_dense++;
    dense_words_.assign(std::size_t{n_dense} * n_words_, 0);
    // Each rank writes its own bitset, so the ranks are shared out freely.
    pool::for_range(v_.size(), 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            if (dense_of_[r] == kNone) continue;
            uint64_t* b = dense_words_.data() + std::size_t{dense_of_[r]} * n_words_;
            for (uint32_t t : v_.list(static_cast<uint32_t>(r))) b[t >> 6] |= uint64_t{1} << (t & 63);
        }
    });
}

uint32_t PrefixWalk::count(std::span<const uint32_t> items) {
    std::size_t common = 0;
    while (common < depth_ && common < items.size() && items[common] == prev_[common]) ++common;
    depth_ = common;
    for (; depth_ < items.size(); ++depth_) extend(depth_, items[depth_]);
    prev_.assign(items.begin(), items.end());
    return items.empty() ? s_.n_transactions_ : size_[items.size() - 1];
}

void PrefixWalk::extend(std::size_t d, uint32_t item) {
    if (lists_.size() <= d) {
        lists_.resize(d + 1);
        words_.resize(d + 1);
        size_.resize(d + 1);
        ptr_.resize(d + 1);
        wptr_.resize(d + 1);
    }
    const Vertical& v = s_.v_;
    const uint32_t r = s_.rank_of_[item];
    if (r == kNone || (d > 0 && size_[d - 1] < std::max<uint32_t>(floor_, 1))) {
        size_[d] = 0;
        ptr_[d] = nullptr;
        wptr_[d] = nullptr;
        return;
    }
    if (v.bits) {
        const uint64_t* b = v.bitset(r);
        if (d == 0) {
            wptr_[0] = b;
            size_[0] = v.count[r];
            return;
        }
        uint64_t* out = words_[d].fresh(v.n_words);
        size_[d] = static_cast<uint32_t>(and_into(wptr_[d - 1], b, out, v.n_words));
        wptr_[d] = out;
        return;
    }
    const auto list = v.list(r);
    if (d == 0) {
        ptr_[0] = list.data();
        size_[0] = static_cast<uint32_t>(list.size());
        return;
    }
    const uint32_t* a = ptr_[d - 1];
    const uint32_t na = size_[d - 1];
    uint32_t* out = lists_[d].fresh(na);
    if (const uint32_t dense = s_.dense_of_[r]; dense != kNone)
        size_[d] = filter_by_bits(a, na, s_.dense_words_.data() + std::size_t{dense} * s_.n_words_, out);
    else
        size_[d] = intersect<true>(a, na, list.data(), static_cast<uint32_t>(list.size()), floor_, out);
    ptr_[d] = out;
}

namespace {

//! The candidates with ids sorted and unique, back to back; `order` lists them sorted
//! into a prefix tree.
struct Candidates {
    std::vector<std::size_t> off;
    std::vector<uint32_t> items;
    std::vector<std::size_t> order;

    std::span<const uint32_t> operator()(std::size_t c) const {
        return {items.data() + off[c], items.data() + off[c + 1]};
    }
};

//! Counts the candidates order[lo, hi) with one walk.
void count_run(const ItemSets& sets, const Candidates& cand, std::size_t lo, std::size_t hi, int64_t* counts) {
    PrefixWalk walk(sets);
    pool::StopEvery<256> check;
    for (std::size_t o = lo; o < hi; ++o) {
        check();
        const std::size_t c = cand.order[o];
        counts[c] = walk.count(cand(c));
    }
}

bool lex_less(std::span<const uint32_t> a, std::span<const uint32_t> b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace

CountResult count_candidates(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids, uint32_t n_items,
                             std::span<const int64_t> offsets, std::span<const int32_t> items) {
    CountResult result;
    const std::size_t m = offsets.size() - 1;
    Candidates cand;
    // Normalise the candidates: ids ascending, each once.
    cand.off.resize(m + 1);
    cand.items.resize(items.size());
    std::vector<uint8_t> used(n_items, 0);
    std::size_t w = 0;
    for (std::size_t c = 0; c < m; ++c) {
        cand.off[c] = w;
        const std::size_t lo = static_cast<std::size_t>(offsets[c]), hi = static_cast<std::size_t>(offsets[c + 1]);
        uint32_t* row = cand.items.data() + w;
        for (std::size_t j = lo; j < hi; ++j) row[j - lo] = static_cast<uint32_t>(items[j]);
        std::size_t len = hi - lo;
        if (!std::is_sorted(row, row + len)) std::sort(row, row + len);
        len = static_cast<std::size_t>(std::unique(row, row + len) - row);
        for (std::size_t j = 0; j < len; ++j) used[row[j]] = 1;
        w += len;
    }
    cand.off[m] = w;
    cand.items.resize(w);

    std::optional<ItemSets> sets;
    {
        const TransactionRows rows = build_transaction_rows(txn_ids, item_ids, n_items);
        result.n_transactions = rows.n_transactions;
        sets.emplace(rows, used);
    }

    result.counts.assign(m, 0);
    cand.order.resize(m);
    std::iota(cand.order.begin(), cand.order.end(), std::size_t{0});
    bool sorted = true;
    for (std::size_t c = 1; c < m && sorted; ++c) sorted = !lex_less(cand(c), cand(c - 1));
    const bool parallel = pool::num_threads() > 1 && m >= 2 * tuning::kCountRunCandidates;
    if (!sorted) {
        // Ties keep input order, so the tree (and the work) is the same on every run. A
        // sort of many candidates takes a while: each comparison looks at the stop flag.
        auto less = [&](std::size_t a, std::size_t b) {
            pool::check_stop();
            const auto x = cand(a), y = cand(b);
            const auto order = std::lexicographical_compare_three_way(x.begin(), x.end(), y.begin(), y.end());
            return order != 0 ? order < 0 : a < b;
        };
        if (parallel)
            pool::sort(cand.order.begin(), cand.order.end(), less);
        else
            std::sort(cand.order.begin(), cand.order.end(), less);
    }
    int64_t* counts = result.counts.data();
    if (!parallel) {
        count_run(*sets, cand, 0, m, counts);
        return result;
    }
    const std::size_t n_runs = (m + tuning::kCountRunCandidates - 1) / tuning::kCountRunCandidates;
    pool::for_range(n_runs, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j != end; ++j)
            count_run(*sets, cand, j * tuning::kCountRunCandidates, std::min(m, (j + 1) * tuning::kCountRunCandidates),
                      counts);
    });
    return result;
}

}  // namespace tallisk::engine
