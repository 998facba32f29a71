#include "engine/topk.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <numeric>
#include <queue>
#include <string>

#include "common/error.hpp"
#include "common/index.hpp"
#include "common/itemset.hpp"
#include "common/tuning.hpp"

namespace tallisk::topk {
namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr double kInf = std::numeric_limits<double>::infinity();

//! Relative margin below the k-th value within which rules are still kept (see the file
//! comment): far above the rounding of any measure's few operations, far below any
//! difference between two distinct rules' values that matters.
constexpr double kMargin = 1e-12;

//! Whether the measure falls as s(A) rises and as s(C) rises, for a fixed s(A | C).
bool falls_with_sides(Measure by) {
    switch (by) {
        case Measure::confidence:
        case Measure::lift:
        case Measure::leverage:
        case Measure::conviction:
        case Measure::jaccard:
        case Measure::certainty:
        case Measure::kulczynski:
        case Measure::cosine: return true;
        default: return false;
    }
}

//! The measure of the rule with counts cz (A | C), ca (A), cc (C) out of n, as the rule
//! table shows it: the metrics come from rules::rule_metrics, the supports are count / n.
double value_of(Measure by, double cz, double ca, double cc, double n) {
    switch (by) {
        case Measure::support: return cz / n;
        case Measure::count: return cz;
        case Measure::antecedent_support: return ca / n;
        case Measure::consequent_support: return cc / n;
        default: break;
    }
    const rules::Metrics m = rules::rule_metrics(cz, ca, cc, n);
    switch (by) {
        case Measure::leverage: return m.leverage;
        case Measure::confidence: return m.confidence;
        case Measure::lift: return m.lift;
        case Measure::conviction: return m.conviction;
        case Measure::zhangs_metric: return m.zhangs_metric;
        case Measure::jaccard: return m.jaccard;
        case Measure::certainty: return m.certainty;
        case Measure::kulczynski: return m.kulczynski;
        case Measure::cosine: return m.cosine;
        default: return m.support;
    }
}

//! Rows of 32-bit values: transactions as item ranks, items as transactions.
using RankRows = Csr<std::size_t, uint32_t>;

//! What the search reads, built once for its passes.
struct Data {
    uint32_t n_transactions = 0;
    std::vector<uint32_t> id_of;        // rank -> item id (rank 0: the most frequent item)
    std::vector<uint8_t> may_a, may_c;  // by rank: allowed in an antecedent / a consequent
    RankRows rows;                      // transaction -> its ranks, ascending
    RankRows lists;                     // rank -> its transactions, ascending

    std::size_t n_ranks() const { return id_of.size(); }
};

//! A kept rule: its value and counts, its sides' ranks in the search's item store.
struct Candidate {
    double value;
    double cz, ca, cc;
    std::size_t a_at, c_at;  // into Search::cand_items_
    uint32_t a_len, c_len;
};

//! The scratch of one depth of the search: the frequent extensions of the node there and
//! their transaction lists, back to back.
struct Level {
    std::vector<uint32_t> touched, ext, count;
    std::vector<std::size_t> off, cursor;
    std::vector<uint32_t> lists;
};

class Search {
public:
    Search(const Options& o, const Data& data)
        : o_(o),
          data_(data),
          rows_(data.rows),
          id_of_(data.id_of),
          may_a_(data.may_a),
          may_c_(data.may_c),
          n_(data.n_transactions),
          floor_(std::max<uint32_t>(o.min_count, 1)),
          counter_(data.n_ranks(), 0),
          slot_(data.n_ranks(), kNone) {}

    //! Every set and rule above the floor, in two phases. The first counts the pairs of
    //! every item above the floor and evaluates their rules, so that the k-th value of
    //! all pairs' rules, which every rule must beat, sets the floor before any longer set
    //! is reached (the search otherwise goes deep under the first, most frequent items
    //! while its floor is still low). The second descends from the pairs kept, scanning
    //! an item's transactions again only where a pair above the final floor extends it.
    void run() {
        const std::size_t n_ranks = data_.n_ranks();
        if (o_.max_len < 2) return;
        pair_off_.assign(n_ranks + 1, 0);
        Level& lv = level(1);
        for (uint32_t r = 0; r < n_ranks; ++r) {
            pair_off_[r] = pair_ext_.size();
            const std::span<const uint32_t> txns = data_.lists.row(r);
            if (txns.size() < floor_) continue;
            count_extensions(txns.data(), txns.size(), r, lv);
            for (std::size_t j = 0; j < lv.ext.size(); ++j) {
                pairs_.emplace(pair_key(lv.ext[j], r), lv.count[j]);
                pair_ext_.push_back(lv.ext[j]);
                pair_count_.push_back(lv.count[j]);
            }
            itemsets_ += lv.ext.size();
            for (std::size_t j = 0; j < lv.ext.size(); ++j) {
                if (lv.count[j] < floor_) continue;
                asc_ = {lv.ext[j], r};
                evaluate(lv.count[j]);
            }
        }
        pair_off_[n_ranks] = pair_ext_.size();
        if (o_.max_len < 3) return;
        for (uint32_t r = 0; r < n_ranks; ++r) {
            const std::span<const uint32_t> txns = data_.lists.row(r);
            if (txns.size() < floor_) continue;
            lv.ext.clear();
            lv.count.clear();
            for (std::size_t j = pair_off_[r]; j < pair_off_[r + 1]; ++j)
                if (pair_count_[j] >= floor_) {
                    lv.ext.push_back(pair_ext_[j]);
                    lv.count.push_back(pair_count_[j]);
                }
            if (lv.ext.empty()) continue;
            deliver(txns.data(), txns.size(), r, lv);
            asc_.assign(1, r);
            children(lv, 1, /*recorded=*/true);
        }
    }

    Result finish() {
        Result r;
        r.n_transactions = n_;
        r.itemsets = itemsets_;
        r.examined = examined_;
        r.floor = floor_;
        compact();
        std::stable_sort(cands_.begin(), cands_.end(),
                         [](const Candidate& a, const Candidate& b) { return a.value > b.value; });
        std::size_t a_items = 0, c_items = 0;
        for (const Candidate& c : cands_) {
            a_items += c.a_len;
            c_items += c.c_len;
        }
        rules::RuleTable& t = r.rules;
        t.resize(cands_.size(), a_items, c_items, false);
        std::size_t a_pos = 0, c_pos = 0;
        const auto put = [&](std::size_t at, uint32_t len, large_vector<int32_t>& out, std::size_t& pos) {
            const auto first = out.begin() + static_cast<std::ptrdiff_t>(pos);
            for (uint32_t j = 0; j < len; ++j) out[pos++] = static_cast<int32_t>(id_of_[cand_items_[at + j]]);
            std::sort(first, out.begin() + static_cast<std::ptrdiff_t>(pos));
        };
        for (std::size_t i = 0; i < cands_.size(); ++i) {
            const Candidate& c = cands_[i];
            put(c.a_at, c.a_len, t.antecedent_items, a_pos);
            put(c.c_at, c.c_len, t.consequent_items, c_pos);
            t.antecedent_offsets[i + 1] = static_cast<int64_t>(a_pos);
            t.consequent_offsets[i + 1] = static_cast<int64_t>(c_pos);
            t.rule_row[i] = t.antecedent_row[i] = t.consequent_row[i] = -1;
            t.write_metrics(i, c.cz, c.ca, c.cc, n_);
        }
        return r;
    }

private:
    // ---- the itemset search ----------------------------------------------------------

    Level& level(std::size_t depth) {
        while (levels_.size() <= depth) levels_.emplace_back();
        return levels_[depth];
    }

    //! Asks for the row of the transaction `ahead` places on (and further on, its
    //! offset): rows are scattered over memory and each one read cold costs a miss.
    void prefetch(const uint32_t* txns, std::size_t count, std::size_t i) const {
        constexpr std::size_t ahead = tuning::kEngineRowPrefetch;
        if (i + 2 * ahead < count) __builtin_prefetch(&rows_.offsets[txns[i + 2 * ahead]]);
        if (i + ahead < count) __builtin_prefetch(rows_.values.data() + rows_.offsets[txns[i + ahead]]);
    }

    //! The extensions (ranks below `limit`) of the set held by `txns` that reach the
    //! floor, ascending, with their counts, into lv.ext and lv.count. Rows ascend by
    //! rank, so a set's extensions in a row are the row's prefix.
    void count_extensions(const uint32_t* txns, std::size_t count, uint32_t limit, Level& lv) {
        lv.touched.clear();
        for (std::size_t i = 0; i < count; ++i) {
            prefetch(txns, count, i);
            for (uint32_t r : rows_.row(txns[i])) {
                if (r >= limit) break;
                if (counter_[r]++ == 0) lv.touched.push_back(r);
            }
        }
        lv.ext.clear();
        for (uint32_t r : lv.touched)
            if (counter_[r] >= floor_) lv.ext.push_back(r);
        std::sort(lv.ext.begin(), lv.ext.end());
        lv.count.resize(lv.ext.size());
        for (std::size_t j = 0; j < lv.ext.size(); ++j) lv.count[j] = counter_[lv.ext[j]];
        for (uint32_t r : lv.touched) counter_[r] = 0;
    }

    //! The transaction lists of lv.ext (counts lv.count), from the rows of `txns`.
    void deliver(const uint32_t* txns, std::size_t count, uint32_t limit, Level& lv) {
        const std::size_t n_ext = lv.ext.size();
        lv.off.assign(n_ext + 1, 0);
        for (std::size_t j = 0; j < n_ext; ++j) {
            slot_[lv.ext[j]] = static_cast<uint32_t>(j);
            lv.off[j + 1] = lv.off[j] + lv.count[j];
        }
        lv.lists.resize(lv.off[n_ext]);
        lv.cursor.assign(lv.off.begin(), lv.off.end() - 1);
        for (std::size_t i = 0; i < count; ++i) {
            prefetch(txns, count, i);
            for (uint32_t r : rows_.row(txns[i])) {
                if (r >= limit) break;
                if (const uint32_t j = slot_[r]; j != kNone) lv.lists[lv.cursor[j]++] = txns[i];
            }
        }
        for (uint32_t e : lv.ext) slot_[e] = kNone;
    }

    //! The node whose set is asc_ (ranks ascending, `depth` of them), held by the
    //! `count` transactions `txns`; its extensions are the ranks below `limit`.
    void node(const uint32_t* txns, std::size_t count, uint32_t limit, std::size_t depth) {
        if (depth >= o_.max_len || limit == 0) return;
        Level& lv = level(depth);
        count_extensions(txns, count, limit, lv);
        if (lv.ext.empty()) return;
        // The children's own extensions are searched only below max_len.
        if (depth + 1 < o_.max_len) deliver(txns, count, limit, lv);
        children(lv, depth, /*recorded=*/false);
    }

    //! The children asc_ + e of the node at `depth` whose extensions lv holds (with their
    //! lists when they are to be searched further), in rank order: each is recorded and
    //! evaluated unless that was done already, then searched.
    void children(Level& lv, std::size_t depth, bool recorded) {
        const bool deeper = depth + 1 < o_.max_len;
        for (std::size_t j = 0; j < lv.ext.size(); ++j) {
            const uint32_t c = lv.count[j];
            if (c < floor_) continue;  // the floor rose since the extensions were counted
            const uint32_t e = lv.ext[j];
            asc_.insert(asc_.begin(), e);
            if (!recorded) {
                if (deeper) counts_.emplace(asc_, c);  // a later set may need its count
                ++itemsets_;
                evaluate(c);
            }
            if (deeper) node(lv.lists.data() + lv.off[j], c, e, depth + 1);
            asc_.erase(asc_.begin());
        }
    }

    uint32_t count_of(const std::vector<uint32_t>& set) const {
        if (set.size() == 1) return static_cast<uint32_t>(data_.lists.row(set[0]).size());
        if (set.size() == 2) {
            const auto it = pairs_.find(pair_key(set[0], set[1]));
            if (it == pairs_.end()) throw Panic("top rules: a pair within a reached itemset was not counted");
            return it->second;
        }
        const auto it = counts_.find(std::span<const uint32_t>(set));
        // Every subset of a set is reached before it, with a count no lower, so above
        // the floor: a missing one is a fault of the search, not of the input.
        if (it == counts_.end()) throw Panic("top rules: a subset of a reached itemset was not counted");
        return it->second;
    }

    // ---- the rules of one set --------------------------------------------------------

    //! The rules of the set asc_, held by cz transactions.
    void evaluate(uint32_t cz) {
        const std::size_t len = asc_.size();
        if (len < 2 || len < o_.min_len) return;
        const double z = cz;
        if (bounds_support(o_.by)) {
            // The measure at its best over the set's rules (leverage: s(A) = s(C) = s(X)).
            const double s = z / n_;
            const double best = o_.by == Measure::count ? z : o_.by == Measure::support ? s : s - s * s;
            if (best < low_) return;
        }
        in_a_.assign(len, 1);
        removable_.clear();
        std::size_t forced = 0;
        for (std::size_t p = 0; p < len; ++p) {
            const uint32_t r = asc_[p];
            if (!may_a_[r]) {
                in_a_[p] = 0;
                ++forced;
            } else if (may_c_[r]) {
                removable_.push_back(static_cast<uint32_t>(p));
            }
        }
        if (forced == len || forced > o_.max_consequent_len) return;
        cz_ = z;
        if (forced == 0) {
            walk(0, len, 0);
            return;
        }
        split();
        const uint32_t ca = count_of(a_);
        if (!admits(ca)) return;
        rule(ca);
        walk(0, len - forced, forced);
    }

    //! a_ and c_ from in_a_.
    void split() {
        a_.clear();
        c_.clear();
        for (std::size_t p = 0; p < asc_.size(); ++p) (in_a_[p] ? a_ : c_).push_back(asc_[p]);
    }

    //! Whether an antecedent of count ca, or any antecedent within it, can give a rule
    //! that enters: its confidence reaches min_confidence and (for measures falling with
    //! both sides) the value bound at the smallest possible s(C) reaches lambda.
    bool admits(double ca) const {
        if (!(cz_ / ca >= o_.min_confidence)) return false;
        return !falls_with_sides(o_.by) || value_of(o_.by, cz_, ca, cz_, n_) >= low_;
    }

    //! Antecedents below the current one (a_len items, c_len in the consequent) by
    //! removing removable positions from index `from` on.
    void walk(std::size_t from, std::size_t a_len, std::size_t c_len) {
        if (a_len <= 1 || c_len >= o_.max_consequent_len) return;
        for (std::size_t j = from; j < removable_.size(); ++j) {
            const uint32_t p = removable_[j];
            in_a_[p] = 0;
            split();
            const uint32_t ca = count_of(a_);
            if (admits(ca)) {
                rule(ca);
                walk(j + 1, a_len - 1, c_len + 1);
            }
            in_a_[p] = 1;
        }
    }

    //! The rule a_ -> c_ with antecedent count ca: its value, and the candidate if it
    //! enters.
    void rule(double ca) {
        const double cc = count_of(c_);
        const double v = value_of(o_.by, cz_, ca, cc, n_);
        ++examined_;
        if (!(v >= low_)) return;
        offer(v);
        if (!(v >= low_)) return;
        cands_.push_back(Candidate{v, cz_, ca, cc, cand_items_.size(), cand_items_.size() + a_.size(),
                                   static_cast<uint32_t>(a_.size()), static_cast<uint32_t>(c_.size())});
        cand_items_.insert(cand_items_.end(), a_.begin(), a_.end());
        cand_items_.insert(cand_items_.end(), c_.begin(), c_.end());
        if (cands_.size() > 2 * o_.k + 4096) compact();
    }

    // ---- the k best values and the floor ---------------------------------------------

    void offer(double v) {
        if (best_.size() < o_.k) {
            best_.push(v);
            if (best_.size() < o_.k) return;
        } else if (v > best_.top()) {
            best_.pop();
            best_.push(v);
        } else {
            return;
        }
        const double lambda = best_.top();
        low_ = lambda - kMargin * std::fabs(lambda);
        raise_floor();
    }

    void raise_floor() {
        const double n = n_;
        uint64_t c = floor_;
        switch (o_.by) {
            case Measure::count: c = static_cast<uint64_t>(std::max(1.0, std::ceil(low_))); break;
            case Measure::support:
                c = static_cast<uint64_t>(std::max(1.0, std::ceil(low_ * n)));
                while (c > 1 && (c - 1) / n >= low_) --c;
                while (c <= n_ && c / n < low_) ++c;
                break;
            case Measure::leverage: {
                if (!(low_ > 0)) return;
                // Smallest c in [1, n/2] with c/n - (c/n)^2 >= low_, by bisection on the
                // expression the itemset check uses.
                const auto g = [&](uint64_t x) {
                    const double s = x / n;
                    return s - s * s;
                };
                uint64_t lo = 1, hi = n_ / 2 + 1;
                while (lo < hi) {
                    const uint64_t mid = lo + (hi - lo) / 2;
                    if (g(mid) >= low_)
                        hi = mid;
                    else
                        lo = mid + 1;
                }
                c = lo;
                break;
            }
            default: return;
        }
        floor_ = static_cast<uint32_t>(std::min<uint64_t>(std::max<uint64_t>(c, floor_), uint64_t{n_} + 1));
    }

    //! Drops the candidates that fell below the margin of the k-th value.
    void compact() {
        std::vector<uint32_t> items;
        std::size_t kept = 0;
        for (const Candidate& c : cands_) {
            if (!(c.value >= low_)) continue;
            Candidate moved = c;
            moved.a_at = items.size();
            items.insert(items.end(), cand_items_.begin() + static_cast<std::ptrdiff_t>(c.a_at),
                         cand_items_.begin() + static_cast<std::ptrdiff_t>(c.a_at + c.a_len));
            moved.c_at = items.size();
            items.insert(items.end(), cand_items_.begin() + static_cast<std::ptrdiff_t>(c.c_at),
                         cand_items_.begin() + static_cast<std::ptrdiff_t>(c.c_at + c.c_len));
            cands_[kept++] = moved;
        }
        cands_.resize(kept);
        cand_items_.swap(items);
    }

    const Options& o_;
    const Data& data_;
    const RankRows& rows_;
    const std::vector<uint32_t>& id_of_;  // rank -> item id
    const std::vector<uint8_t>& may_a_;
    const std::vector<uint8_t>& may_c_;
    uint32_t n_;
    uint32_t floor_;
    double low_ = -kInf;  // the k-th value less the margin; -inf until k values are known

    std::vector<uint32_t> counter_, slot_;  // per rank: extension counts, list slots
    std::deque<Level> levels_;              // stable references while deeper levels are added
    std::vector<uint32_t> asc_;             // the current set, ranks ascending
    PairCounts pairs_;                      // every pair reached -> its count
    std::vector<std::size_t> pair_off_;     // by rank r: the pairs {e, r}, e < r, at [off[r], off[r + 1])
    std::vector<uint32_t> pair_ext_, pair_count_;
    ItemsetMap<uint32_t> counts_;  // every longer set reached -> its count

    double cz_ = 0;  // count of the set whose rules are walked
    std::vector<uint8_t> in_a_;
    std::vector<uint32_t> removable_, a_, c_;

    std::priority_queue<double, std::vector<double>, std::greater<double>> best_;
    std::vector<Candidate> cands_;
    std::vector<uint32_t> cand_items_;
    uint64_t itemsets_ = 0, examined_ = 0;
};

//! The items of the search ranked, their transaction lists and the rows by rank: lists
//! filled walking the transactions in order and rows walking the ranks in order, so both
//! come out ascending without a sort.
Data build_data(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids, uint32_t n_items,
                const Options& o) {
    const TransactionRows rows = build_transaction_rows(txn_ids, item_ids, n_items);
    const auto allowed = [](const std::vector<uint8_t>& mask, uint32_t i) { return mask.empty() || mask[i] != 0; };
    // Items that may stand on neither side are in no rule: left out of the search.
    const uint32_t min_count = std::max<uint32_t>(o.min_count, 1);
    if (o.n_transactions != 0 && o.n_transactions < rows.n_transactions)
        throw InputError("n_transactions = " + std::to_string(o.n_transactions) + " is less than the " +
                         std::to_string(rows.n_transactions) + " transactions the occurrences name");
    if (o.n_transactions > 0xFFFFFFFFull) throw InputError("n_transactions must be below 2**32");
    Data d;
    d.n_transactions = o.n_transactions != 0 ? static_cast<uint32_t>(o.n_transactions) : rows.n_transactions;
    for (uint32_t i = 0; i < n_items; ++i)
        if (rows.item_counts[i] >= min_count && (allowed(o.allow_a, i) || allowed(o.allow_c, i))) d.id_of.push_back(i);
    std::stable_sort(d.id_of.begin(), d.id_of.end(),
                     [&](uint32_t a, uint32_t b) { return rows.item_counts[a] > rows.item_counts[b]; });
    const std::size_t n_ranks = d.id_of.size();
    std::vector<uint32_t> rank_of(n_items, kNone);
    d.may_a.resize(n_ranks);
    d.may_c.resize(n_ranks);
    d.lists.offsets.assign(n_ranks + 1, 0);
    for (uint32_t r = 0; r < n_ranks; ++r) {
        rank_of[d.id_of[r]] = r;
        d.may_a[r] = allowed(o.allow_a, d.id_of[r]);
        d.may_c[r] = allowed(o.allow_c, d.id_of[r]);
        d.lists.offsets[r + 1] = d.lists.offsets[r] + rows.item_counts[d.id_of[r]];
    }
    d.lists.values.resize(d.lists.offsets.back());
    d.rows.offsets.assign(std::size_t{rows.n_transactions} + 1, 0);
    std::vector<std::size_t> at(d.lists.offsets.begin(), d.lists.offsets.end() - 1);
    for (uint32_t t = 0; t < rows.n_transactions; ++t) {
        std::size_t kept = 0;
        for (uint32_t item : rows.txn(t))
            if (const uint32_t r = rank_of[item]; r != kNone) {
                d.lists.values[at[r]++] = t;
                ++kept;
            }
        d.rows.offsets[t + 1] = d.rows.offsets[t] + kept;
    }
    d.rows.values.resize(d.rows.offsets.back());
    at.assign(d.rows.offsets.begin(), d.rows.offsets.end() - 1);
    for (uint32_t r = 0; r < n_ranks; ++r)
        for (uint32_t t : d.lists.row(r)) d.rows.values[at[t]++] = r;
    return d;
}

}  // namespace

bool bounds_support(Measure by) { return by == Measure::support || by == Measure::count || by == Measure::leverage; }

Result top_rules(std::span<const int64_t> txn_ids, std::span<const int32_t> item_ids, uint32_t n_items,
                 const Options& o) {
    if (o.k < 1) throw InputError("k must be at least 1");
    if (!(o.min_confidence >= 0.0 && o.min_confidence <= 1.0)) throw InputError("min_confidence must be in [0, 1]");
    if (o.max_len < 1 || o.max_consequent_len < 1) throw InputError("max_len and max_consequent_len must be >= 1");
    for (const auto* mask : {&o.allow_a, &o.allow_c})
        if (!mask->empty() && mask->size() != n_items)
            throw InputError("item masks must hold one entry per item (" + std::to_string(n_items) + ")");

    const Data data = build_data(txn_ids, item_ids, n_items, o);
    Search search(o, data);
    search.run();
    return search.finish();
}

}  // namespace tallisk::topk
