#include "engine/count.hpp"

#include <algorithm>
#include <numeric>
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

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;

//! The candidates' items, their sets, and the candidates sorted into a prefix tree.
struct Counter {
    uint32_t n_transactions = 0;
    const Vertical* v = nullptr;
    std::vector<uint32_t> rank_of;  // item id -> rank in v, kNone when no transaction holds it
    // A bitset for every item held by at least 1/64 of the transactions (lists only):
    // a list meets such an item by a bit test per transaction.
    std::vector<uint32_t> dense_of;  // rank -> index into dense_words, or kNone
    std::vector<uint64_t> dense_words;
    std::size_t n_words = 0;
    // Candidates with ids sorted and unique, back to back; `order` lists them sorted.
    std::vector<std::size_t> cand_off;
    std::vector<uint32_t> cand_items;
    std::vector<std::size_t> order;

    std::span<const uint32_t> cand(std::size_t c) const {
        return {cand_items.data() + cand_off[c], cand_items.data() + cand_off[c + 1]};
    }
};

//! Walks the candidates order[lo, hi) as a prefix tree, writing counts[c] for each.
class Walk {
public:
    explicit Walk(const Counter& k) : k_(k), v_(*k.v) {}

    void run(std::size_t lo, std::size_t hi, int64_t* counts) {
        std::size_t depth = 0;  // valid prefix length on the stack
        std::span<const uint32_t> prev;
        for (std::size_t o = lo; o < hi; ++o) {
            const std::size_t c = k_.order[o];
            const auto items = k_.cand(c);
            std::size_t common = 0;
            while (common < depth && common < items.size() && items[common] == prev[common]) ++common;
            depth = common;
            for (; depth < items.size(); ++depth) extend(depth, items[depth]);
            counts[c] = items.empty() ? k_.n_transactions : size_[items.size() - 1];
            prev = items;
        }
    }

private:
    //! Set of the prefix of length d + 1: the prefix of length d meeting `item`.
    void extend(std::size_t d, uint32_t item) {
        if (lists_.size() <= d) {
            lists_.resize(d + 1);
            words_.resize(d + 1);
            size_.resize(d + 1);
            ptr_.resize(d + 1);
            wptr_.resize(d + 1);
        }
        const uint32_t r = k_.rank_of[item];
        if (r == kNone || (d > 0 && size_[d - 1] == 0)) {
            size_[d] = 0;
            ptr_[d] = nullptr;
            wptr_[d] = nullptr;
            return;
        }
        if (v_.bits) {
            const uint64_t* b = v_.bitset(r);
            if (d == 0) {
                wptr_[0] = b;
                size_[0] = v_.count[r];
                return;
            }
            uint64_t* out = words_[d].fresh(v_.n_words);
            size_[d] = static_cast<uint32_t>(and_into(wptr_[d - 1], b, out, v_.n_words));
            wptr_[d] = out;
            return;
        }
        const auto list = v_.list(r);
        if (d == 0) {
            ptr_[0] = list.data();
            size_[0] = static_cast<uint32_t>(list.size());
            return;
        }
        const uint32_t* a = ptr_[d - 1];
        const uint32_t na = size_[d - 1];
        uint32_t* out = lists_[d].fresh(na);
        if (const uint32_t dense = k_.dense_of[r]; dense != kNone)
            size_[d] = filter_by_bits(a, na, k_.dense_words.data() + std::size_t{dense} * k_.n_words, out);
        else
            size_[d] = intersect<true>(a, na, list.data(), static_cast<uint32_t>(list.size()), 0, out);
        ptr_[d] = out;
    }

    const Counter& k_;
    const Vertical& v_;
    std::vector<Scratch<uint32_t>> lists_;
    std::vector<Scratch<uint64_t>> words_;
    std::vector<uint32_t> size_;
    std::vector<const uint32_t*> ptr_;
    std::vector<const uint64_t*> wptr_;
};

bool lex_less(std::span<const uint32_t> a, std::span<const uint32_t> b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace

CountResult count_candidates(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids, uint32_t n_items,
                             std::span<const int64_t> offsets, std::span<const int32_t> items) {
    CountResult result;
    const std::size_t m = offsets.size() - 1;
    Counter k;
    // Normalise the candidates: ids ascending, each once.
    k.cand_off.resize(m + 1);
    k.cand_items.resize(items.size());
    std::vector<uint8_t> used(n_items, 0);
    std::size_t w = 0;
    for (std::size_t c = 0; c < m; ++c) {
        k.cand_off[c] = w;
        const std::size_t lo = static_cast<std::size_t>(offsets[c]), hi = static_cast<std::size_t>(offsets[c + 1]);
        uint32_t* row = k.cand_items.data() + w;
        for (std::size_t j = lo; j < hi; ++j) row[j - lo] = static_cast<uint32_t>(items[j]);
        std::size_t len = hi - lo;
        if (!std::is_sorted(row, row + len)) std::sort(row, row + len);
        len = static_cast<std::size_t>(std::unique(row, row + len) - row);
        for (std::size_t j = 0; j < len; ++j) used[row[j]] = 1;
        w += len;
    }
    k.cand_off[m] = w;
    k.cand_items.resize(w);

    Vertical v;
    {
        const TransactionRows rows = build_transaction_rows(txn_ids, item_ids, n_items);
        result.n_transactions = rows.n_transactions;
        v = build_vertical(rows, 1, used, false);
    }
    k.v = &v;
    k.n_transactions = v.n_transactions;
    k.rank_of.assign(n_items, kNone);
    for (uint32_t r = 0; r < v.size(); ++r) k.rank_of[v.id_of[r]] = r;
    k.dense_of.assign(v.size(), kNone);
    if (!v.bits) {
        k.n_words = (static_cast<std::size_t>(v.n_transactions) + 63) / 64;
        uint32_t n_dense = 0;
        for (uint32_t r = 0; r < v.size(); ++r)
            if (uint64_t{v.count[r]} * 64 >= v.n_transactions) k.dense_of[r] = n_dense++;
        k.dense_words.assign(std::size_t{n_dense} * k.n_words, 0);
        // Each rank writes its own bitset, so the ranks are shared out freely.
        pool::for_range(v.size(), 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t r = begin; r < end; ++r) {
                if (k.dense_of[r] == kNone) continue;
                uint64_t* b = k.dense_words.data() + std::size_t{k.dense_of[r]} * k.n_words;
                for (uint32_t t : v.list(static_cast<uint32_t>(r))) b[t >> 6] |= uint64_t{1} << (t & 63);
            }
        });
    }

    result.counts.assign(m, 0);
    k.order.resize(m);
    std::iota(k.order.begin(), k.order.end(), std::size_t{0});
    bool sorted = true;
    for (std::size_t c = 1; c < m && sorted; ++c) sorted = !lex_less(k.cand(c), k.cand(c - 1));
    const bool parallel = pool::num_threads() > 1 && m >= 2 * tuning::kCountRunCandidates;
    if (!sorted) {
        // Ties keep input order, so the tree (and the work) is the same on every run.
        auto less = [&](std::size_t a, std::size_t b) {
            const auto x = k.cand(a), y = k.cand(b);
            if (lex_less(x, y)) return true;
            if (lex_less(y, x)) return false;
            return a < b;
        };
        if (parallel)
            pool::sort(k.order.begin(), k.order.end(), less);
        else
            std::sort(k.order.begin(), k.order.end(), less);
    }
    int64_t* counts = result.counts.data();
    if (!parallel) {
        Walk(k).run(0, m, counts);
        return result;
    }
    const std::size_t n_runs = (m + tuning::kCountRunCandidates - 1) / tuning::kCountRunCandidates;
    pool::for_range(n_runs, 1, [&](std::size_t begin, std::size_t end) {
        Walk walk(k);
        for (std::size_t j = begin; j != end; ++j)
            walk.run(j * tuning::kCountRunCandidates, std::min(m, (j + 1) * tuning::kCountRunCandidates), counts);
    });
    return result;
}

}  // namespace tallisk::engine
