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
#include "common/pool.hpp"
#include "common/tuning.hpp"
#include "engine/data.hpp"

namespace tallisk::topk {
namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr double kInf = std::numeric_limits<double>::infinity();

//! Relative margin below the k-th value within which rules are still kept (see the file
//! comment): far above the rounding of any measure's few operations, far below any
//! difference between two distinct rules' values that matters.
constexpr double kMargin = 1e-12;

//! top_rules makes its first try only where the items searched number this many times
//! the items the try keeps.
constexpr std::size_t kFirstTryItems = 24;

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
//! table shows it; the counts and supports need no metrics computed.
double value_of(Measure by, double cz, double ca, double cc, double n) {
    // The counts and supports come first in the enumeration: they need no metrics.
    const bool counts_alone = static_cast<int>(by) <= static_cast<int>(Measure::consequent_support);
    return rules::column_value(by, cz, ca, cc, n, counts_alone ? rules::Metrics{} : rules::rule_metrics(cz, ca, cc, n));
}

//! Rows of 32-bit values: transactions as the engine's item ranks, items as transactions.
using IdRows = Csr<std::size_t, uint32_t, large_vector<uint32_t>>;

//! What the search reads, built once for its rounds. The search ranks items by falling
//! count (rank 0: the most frequent); the engine's vertical view (engine/data.hpp) ranks
//! them by rising count, so the search's rank r is the view's rank R - 1 - r, and a row
//! of the view, ascending in its ranks, lists the search's ranks falling: the items a
//! search node extends by (ranks below the node's) are the row's tail, read backwards.
struct Data {
    uint32_t n_transactions = 0;
    std::size_t n = 0;                  // items searched (R)
    std::vector<uint32_t> id_of;        // search rank -> item id
    std::vector<uint8_t> may_a, may_c;  // by search rank: allowed in an antecedent / a consequent
    engine::Vertical view;              // the engine's view, as lists

    std::size_t n_ranks() const { return n; }
    //! The transactions of search rank r, ascending.
    std::span<const uint32_t> list(uint32_t r) const { return view.list(static_cast<uint32_t>(n - 1 - r)); }
    //! Transaction t's items as the view's ranks, ascending.
    const IdRows& rows() const { return view.rows; }
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
    std::vector<uint8_t> go;  // per extension: whether its child can extend further
    std::vector<std::size_t> off, cursor;
    std::vector<uint32_t> lists;
};

//! Scratch of one counting scan: a counter per rank (zero between scans) and the ranks
//! it touched.
struct Tally {
    std::vector<uint32_t> counter, touched;
    explicit Tally(std::size_t n_ranks) : counter(n_ranks, 0) {}
};

//! Asks for the row of transaction i + ahead of `txns` (and further on, its offset):
//! rows are scattered over memory and each one read cold costs a miss. A scan reads a
//! row's tail (see count_below), so that is what is asked for.
inline void prefetch_row(const IdRows& rows, const uint32_t* txns, std::size_t count, std::size_t i) {
    constexpr std::size_t ahead = tuning::kEngineRowPrefetch;
    if (i + 2 * ahead < count) __builtin_prefetch(&rows.offsets[txns[i + 2 * ahead]]);
    if (i + ahead < count) __builtin_prefetch(rows.values.data() + rows.offsets[txns[i + ahead] + 1] - 1);
}

//! Counts the search ranks below `limit` in the rows of the `count` transactions `txns`
//! and puts those held by at least `least` of them, ascending, into ext with their counts
//! in cnt. Rows list the search's ranks falling, so the ranks below `limit` are each
//! row's tail.
void count_below(const Data& d, const uint32_t* txns, std::size_t count, uint32_t limit, uint32_t least, Tally& tally,
                 std::vector<uint32_t>& ext, std::vector<uint32_t>& cnt) {
    const IdRows& rows = d.rows();
    std::vector<uint32_t>& counter = tally.counter;
    tally.touched.clear();
    const uint32_t last = static_cast<uint32_t>(d.n_ranks()) - 1;
    for (std::size_t i = 0; i < count; ++i) {
        prefetch_row(rows, txns, count, i);
        const auto row = rows.row(txns[i]);
        for (auto it = row.rbegin(); it != row.rend(); ++it) {
            const uint32_t r = last - *it;
            if (r >= limit) break;
            if (counter[r]++ == 0) tally.touched.push_back(r);
        }
    }
    ext.clear();
    for (uint32_t r : tally.touched)
        if (counter[r] >= least) ext.push_back(r);
    std::sort(ext.begin(), ext.end());
    cnt.resize(ext.size());
    for (std::size_t j = 0; j < ext.size(); ++j) cnt[j] = counter[ext[j]];
    for (uint32_t r : tally.touched) counter[r] = 0;
}

//! What the searches of one call share: the counts taken so far. An item's pairs with
//! the items ranked before it are counted the first time a search reaches the item (the
//! most frequent items' all at once), those at or above that search's floor kept, so no
//! search scans an item's transactions for its pairs again; searches reach the items in
//! rank order, so the items counted so far are always the first ones. The floor only
//! rises once k rules are known, and then no later round runs: the rounds that follow a
//! search whose floor stayed at min_count find every pair they need.
struct Counts {
    std::vector<std::size_t> pair_off{0};        // item r's pairs: [pair_off[r], pair_off[r + 1])
    std::vector<uint32_t> pair_ext, pair_count;  // the other item of each pair (ascending), its count
    PairCounts pairs;                            // the pairs a round reached, for count lookups
    ItemsetMap<uint32_t> sets;                   // the longer sets a round reached -> count

    std::size_t counted() const { return pair_off.size() - 1; }
};

class Search {
public:
    //! A round of the search whose rules hold at least `floor` transactions (no fewer
    //! than min_count), started from `low`, a value the k-th must reach (-inf: none).
    Search(const Options& o, const Data& data, Counts& counts, uint32_t floor, double low)
        : o_(o),
          data_(data),
          known_(counts),
          rows_(data.rows()),
          id_of_(data.id_of),
          may_a_(data.may_a),
          may_c_(data.may_c),
          n_(data.n_transactions),
          floor_(std::max({o.min_count, floor, uint32_t{1}})),
          low_(low),
          slot_(data.n_ranks(), kNone),
          tally_(data.n_ranks()) {}

    //! Every set and rule above the floor: the pairs, then the longer sets.
    void run() {
        pairs();
        longer();
    }

    //! The pairs of every item above the floor and their rules. Items come in falling
    //! count, and the k-th value of the pairs' rules, which every rule must beat, raises
    //! the floor as they come: for leverage the best rules are mostly pairs, so by the
    //! end the floor is close to the one the answer needs, before any longer set is
    //! reached (the search would otherwise go deep under the first, most frequent items
    //! while its floor is still low).
    void pairs() {
        const std::size_t n_ranks = data_.n_ranks();
        if (o_.max_len < 2) return;
        for (uint32_t r = 0; r < n_ranks; ++r) {
            pool::check_stop();
            if (data_.list(r).size() < floor_) break;  // ranks follow falling counts: so do the rest
            if (r == known_.counted()) {
                if (r == 0) {
                    count_first_pairs(std::min(n_ranks, tuning::kTopPairMatrixItems));
                } else {
                    longer_while_cheap();
                    if (data_.list(r).size() < floor_) break;
                    count_pairs_from(r);
                }
            }
            for (std::size_t j = known_.pair_off[r]; j < known_.pair_off[r + 1]; ++j) {
                const uint32_t c = known_.pair_count[j];
                if (c < floor_) continue;
                known_.pairs.emplace(pair_key(known_.pair_ext[j], r), c);
                ++itemsets_;
                asc_ = {known_.pair_ext[j], r};
                evaluate(c);
            }
            paired_ = r + 1;
        }
    }

    //! The sets of three items or more above the floor, descending from the pairs that
    //! pairs() reached and that are still above it; an item's transactions are scanned
    //! again only where such a pair extends it.
    void longer() {
        if (o_.max_len < 3) return;
        Level& lv = level(1);
        for (; searched_ < paired_; ++searched_) {
            if (!extensions_of(searched_, lv)) break;  // ranks follow falling counts: so do the rest
            longer_under(searched_, lv);
        }
        searched_ = paired_;
    }

    //! The longer sets of the items paired so far, in rank order, while that stays cheap:
    //! called before each block of pairs is counted. Where the best rules are longer
    //! sets (a pair and a third frequent item), the pairs alone leave the floor far below
    //! the answer's, and the blocks that follow would count the pairs of many items it
    //! passes by; the longer sets of the first items raise it first. On dense data the
    //! longer sets under the first items are many and their rules weak, and where the
    //! pairs alone set the floor (T10I4D100K) the longer sets searched early, below the
    //! final floor, are work the search would not do at the end. So this stops once its
    //! scans outnumber half those of the pairs (which are split over the workers, the
    //! longer sets are not), or at an item with more extensions than
    //! tuning::kTopInterleaveExtensions (the search under it could be 2^that), and
    //! resumes at the next block. Exact in any case: a rank's sets need only the counts
    //! of the ranks before it, which come first.
    void longer_while_cheap() {
        if (o_.max_len < 3 || !full()) return;
        Level& lv = level(1);
        for (; searched_ < paired_ && longer_scans_ <= pair_scans_ / 2; ++searched_) {
            if (!extensions_of(searched_, lv) || lv.ext.size() > tuning::kTopInterleaveExtensions) return;
            longer_under(searched_, lv);
        }
    }

    //! The items r pairs with above the floor (all ranked before it), ascending, with the
    //! pairs' counts, into lv.ext and lv.count; false, with lv untouched, when r itself
    //! is under the floor.
    bool extensions_of(uint32_t r, Level& lv) {
        pool::check_stop();
        if (data_.list(r).size() < floor_) return false;
        lv.ext.clear();
        lv.count.clear();
        for (std::size_t j = known_.pair_off[r]; j < known_.pair_off[r + 1]; ++j) {
            if (known_.pair_count[j] < floor_) continue;
            lv.ext.push_back(known_.pair_ext[j]);
            lv.count.push_back(known_.pair_count[j]);
        }
        return true;
    }

    //! The longer sets whose highest rank is r, whose extensions lv holds.
    void longer_under(uint32_t r, Level& lv) {
        if (!extending(lv)) return;  // no set of three items here reaches the floor
        const std::span<const uint32_t> txns = data_.list(r);
        deliver(txns.data(), txns.size(), r, lv);
        asc_.assign(1, r);
        children(lv, 1, /*recorded=*/true);
    }

    //! Whether k rules were found: then low() is a value the k-th best rule of the data
    //! reaches (less the margin), whatever the round's floor.
    bool full() const { return best_.size() >= o_.k; }
    double low() const { return low_; }
    uint32_t floor() const { return floor_; }
    uint64_t itemsets() const { return itemsets_; }
    uint64_t examined() const { return examined_; }

    //! The smallest count a set must hold for one of its rules to reach `low` (for the
    //! measures whose value bounds the support; 1 for the others).
    uint32_t floor_for(double low) const {
        const double n = n_;
        uint64_t c = 1;
        switch (o_.by) {
            case Measure::count: c = static_cast<uint64_t>(std::max(1.0, std::ceil(low))); break;
            case Measure::support:
                c = static_cast<uint64_t>(std::max(1.0, std::ceil(low * n)));
                while (c > 1 && (c - 1) / n >= low) --c;
                while (c <= n_ && c / n < low) ++c;
                break;
            case Measure::leverage: {
                if (!(low > 0)) return 1;
                // Smallest c in [1, n/2] with c/n - (c/n)^2 >= low, by bisection on the
                // expression the itemset check uses.
                const auto g = [&](uint64_t x) {
                    const double s = x / n;
                    return s - s * s;
                };
                uint64_t lo = 1, hi = n_ / 2 + 1;
                while (lo < hi) {
                    const uint64_t mid = lo + (hi - lo) / 2;
                    if (g(mid) >= low)
                        hi = mid;
                    else
                        lo = mid + 1;
                }
                c = lo;
                break;
            }
            default: break;
        }
        return static_cast<uint32_t>(std::min<uint64_t>(c, uint64_t{n_} + 1));
    }

    Result finish(uint64_t itemsets, uint64_t examined) {
        Result r;
        r.n_transactions = n_;
        r.itemsets = itemsets;
        r.examined = examined;
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

    //! The pairs of every item from rank r on, in full, into the counts the rounds share:
    //! a block of items at a time (as long as they reach the floor), split over the pool.
    void count_pairs_from(uint32_t r) {
        std::size_t end = r, work = 0;
        while (end < data_.n_ranks() && work < block_work_) {
            const std::size_t c = data_.list(static_cast<uint32_t>(end)).size();
            if (c < floor_) break;
            work += c;
            ++end;
        }
        const std::size_t n_block = std::max<std::size_t>(end - r, 1);
        struct Found {
            std::vector<uint32_t> ext, cnt, sizes;
        };
        const auto count_range = [&](std::size_t b, std::size_t e) {
            Found f;
            Tally tally(data_.n_ranks());
            std::vector<uint32_t> ext, cnt;
            for (std::size_t j = b; j < e; ++j) {
                const auto item = static_cast<uint32_t>(r + j);
                const std::span<const uint32_t> txns = data_.list(item);
                count_below(data_, txns.data(), txns.size(), item, floor_, tally, ext, cnt);
                f.ext.insert(f.ext.end(), ext.begin(), ext.end());
                f.cnt.insert(f.cnt.end(), cnt.begin(), cnt.end());
                f.sizes.push_back(static_cast<uint32_t>(ext.size()));
            }
            return f;
        };
        std::vector<Found> found;
        if (work < tuning::kTopPairParallelWork || pool::num_threads() == 1) {
            found.push_back(count_range(0, n_block));
        } else {
            const auto bounds = pool::weighted_bounds(n_block, pool::num_threads() * tuning::kChunksPerWorker,
                                                      [&](std::size_t j) { return data_.list(r + j).size(); });
            found = pool::map_ranges<Found>(bounds, count_range);
        }
        block_work_ = std::min(2 * block_work_, tuning::kTopPairBlock);
        pair_scans_ += work;
        for (const Found& f : found) {
            known_.pair_ext.insert(known_.pair_ext.end(), f.ext.begin(), f.ext.end());
            known_.pair_count.insert(known_.pair_count.end(), f.cnt.begin(), f.cnt.end());
            for (uint32_t size : f.sizes) known_.pair_off.push_back(known_.pair_off.back() + size);
        }
    }

    //! The pairs of the first `limit` items (the most frequent) at once, in one pass over
    //! the rows into a triangle of counters per worker. Few enough for the triangle to
    //! stay in the cache, these are the items whose lists are long: counting item by item
    //! reads a row again, at random, for each of its items, and most of that time is
    //! spent waiting for the row; this reads each row once, in order. What it costs in
    //! pairs of items the rising floor would have passed by is small against that (the
    //! rest of the items, past `limit`, are counted item by item in blocks).
    void count_first_pairs(std::size_t limit) {
        const std::size_t n = data_.n_ranks();
        const uint32_t last = static_cast<uint32_t>(n) - 1;
        const auto first_view_rank = static_cast<uint32_t>(n - limit);  // search rank limit - 1
        const std::size_t cells = limit * (limit - 1) / 2;              // pair (a < b) at b (b - 1) / 2 + a
        const auto count_range = [&](std::size_t begin, std::size_t end) {
            std::vector<uint32_t> tri(cells, 0);
            pool::StopEvery<tuning::kEngineStopStride> stop;  // rows of dense data cost len^2 / 2
            for (std::size_t t = begin; t < end; ++t) {
                stop();
                const auto row = rows_.row(t);  // the search's ranks falling
                const auto* it = std::lower_bound(row.data(), row.data() + row.size(), first_view_rank);
                const std::size_t len = static_cast<std::size_t>(row.data() + row.size() - it);
                for (std::size_t j = 0; j + 1 < len; ++j) {
                    const std::size_t b = last - it[j];
                    uint32_t* at = tri.data() + b * (b - 1) / 2 + last;
                    for (std::size_t i = j + 1; i < len; ++i) ++at[-static_cast<std::ptrdiff_t>(it[i])];
                }
            }
            return tri;
        };
        const std::size_t n_txn = rows_.rows();
        std::vector<std::vector<uint32_t>> parts;
        if (pool::num_threads() == 1 || n_txn < tuning::kTopPairParallelWork) {
            parts.push_back(count_range(0, n_txn));
        } else {
            const auto bounds = pool::weighted_bounds(n_txn, pool::num_threads(), [&](std::size_t t) {
                const std::size_t len = rows_.row(t).size();
                return len * len;
            });
            parts = pool::map_ranges<std::vector<uint32_t>>(bounds, count_range);
        }
        for (uint32_t r = 0; r < limit; ++r) pair_scans_ += data_.list(r).size();
        std::vector<uint32_t>& tri = parts[0];
        for (std::size_t p = 1; p < parts.size(); ++p)
            for (std::size_t c = 0; c < cells; ++c) tri[c] += parts[p][c];
        for (std::size_t b = 0; b < limit; ++b) {
            const uint32_t* at = tri.data() + (b == 0 ? 0 : b * (b - 1) / 2);
            for (uint32_t a = 0; a < b; ++a) {
                if (at[a] < floor_) continue;
                known_.pair_ext.push_back(a);
                known_.pair_count.push_back(at[a]);
            }
            known_.pair_off.push_back(known_.pair_ext.size());
        }
    }

    //! The extensions (ranks below `limit`) of the set held by `txns` that reach the
    //! floor, ascending, with their counts, into lv.ext and lv.count.
    void count_extensions(const uint32_t* txns, std::size_t count, uint32_t limit, Level& lv) {
        longer_scans_ += count;
        count_below(data_, txns, count, limit, floor_, tally_, lv.ext, lv.count);
    }

    //! Marks in lv.go the children (node + lv.ext[j]) that may have an extension above
    //! the floor, and says whether any may. An extension e' of node + e is also one of
    //! the node (so in lv.ext, before e) and makes the pair {e', e}: both must reach the
    //! floor, which the pair counts tell without a scan. On sparse data most children
    //! fail this, and their rows are neither delivered nor scanned again.
    bool extending(Level& lv) const {
        const std::size_t n_ext = lv.ext.size();
        lv.go.assign(n_ext, 0);
        bool any = false;
        for (std::size_t j = 1; j < n_ext; ++j) {
            const uint32_t e = lv.ext[j];
            // e's pairs with the items ranked before it, ascending: merged with lv.ext[0, j).
            std::size_t p = known_.pair_off[e];
            const std::size_t p_end = known_.pair_off[e + 1];
            for (std::size_t i = 0; i < j && p < p_end; ++i) {
                if (lv.count[i] < floor_) continue;
                const uint32_t x = lv.ext[i];
                while (p < p_end && known_.pair_ext[p] < x) ++p;
                if (p < p_end && known_.pair_ext[p] == x && known_.pair_count[p] >= floor_) {
                    lv.go[j] = 1;
                    any = true;
                    break;
                }
            }
        }
        return any;
    }

    //! The transaction lists of lv.ext (counts lv.count), from the rows of `txns`.
    void deliver(const uint32_t* txns, std::size_t count, uint32_t limit, Level& lv) {
        const std::size_t n_ext = lv.ext.size();
        lv.off.assign(n_ext + 1, 0);
        for (std::size_t j = 0; j < n_ext; ++j) {
            if (lv.go[j]) slot_[lv.ext[j]] = static_cast<uint32_t>(j);
            lv.off[j + 1] = lv.off[j] + (lv.go[j] ? lv.count[j] : 0);
        }
        lv.lists.resize(lv.off[n_ext]);
        lv.cursor.assign(lv.off.begin(), lv.off.end() - 1);
        longer_scans_ += count;
        const uint32_t last = static_cast<uint32_t>(data_.n_ranks()) - 1;
        for (std::size_t i = 0; i < count; ++i) {
            prefetch_row(rows_, txns, count, i);
            const auto row = rows_.row(txns[i]);
            for (auto it = row.rbegin(); it != row.rend(); ++it) {
                const uint32_t r = last - *it;
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
        if (depth + 1 < o_.max_len && extending(lv))
            deliver(txns, count, limit, lv);
        else
            lv.go.assign(lv.ext.size(), 0);
        children(lv, depth, /*recorded=*/false);
    }

    //! The children asc_ + e of the node at `depth` whose extensions lv holds (with their
    //! lists when they are to be searched further), in rank order: each is recorded and
    //! evaluated unless that was done already, then searched.
    void children(Level& lv, std::size_t depth, bool recorded) {
        const bool deeper = depth + 1 < o_.max_len;
        for (std::size_t j = 0; j < lv.ext.size(); ++j) {
            stop_();
            const uint32_t c = lv.count[j];
            if (c < floor_) continue;  // the floor rose since the extensions were counted
            const uint32_t e = lv.ext[j];
            asc_.insert(asc_.begin(), e);
            if (!recorded) {
                if (deeper) known_.sets.emplace(asc_, c);  // a later set may need its count
                ++itemsets_;
                evaluate(c);
            }
            if (deeper && lv.go[j]) node(lv.lists.data() + lv.off[j], c, e, depth + 1);
            asc_.erase(asc_.begin());
        }
    }

    uint32_t count_of(const std::vector<uint32_t>& set) const {
        if (set.size() == 1) return static_cast<uint32_t>(data_.list(set[0]).size());
        if (set.size() == 2) {
            const auto it = known_.pairs.find(pair_key(set[0], set[1]));
            if (it == known_.pairs.end()) throw Panic("top rules: a pair within a reached itemset was not counted");
            return it->second;
        }
        const auto it = known_.sets.find(std::span<const uint32_t>(set));
        // Every subset of a set is reached before it, with a count no lower, so above
        // the floor: a missing one is a fault of the search, not of the input.
        if (it == known_.sets.end()) throw Panic("top rules: a subset of a reached itemset was not counted");
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
        if (cands_.size() > compact_at_) compact();
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
        low_ = std::max(low_, lambda - kMargin * std::fabs(lambda));
        raise_floor();
    }

    void raise_floor() {
        if (bounds_support(o_.by)) floor_ = std::max(floor_, floor_for(low_));
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
        // The next compaction waits for as many new candidates as are kept: with many
        // ties at the k-th value every candidate stays, and compacting at a fixed size
        // would then run at every new one.
        compact_at_ = std::max(compact_at_, 2 * kept);
    }

    const Options& o_;
    const Data& data_;
    Counts& known_;
    const IdRows& rows_;
    const std::vector<uint32_t>& id_of_;  // rank -> item id
    const std::vector<uint8_t>& may_a_;
    const std::vector<uint8_t>& may_c_;
    uint32_t n_;
    uint32_t floor_;
    double low_ = -kInf;                        // the k-th value less the margin; -inf until k values are known
    std::size_t compact_at_ = 2 * o_.k + 4096;  // candidates that start a compaction

    std::vector<uint32_t> slot_;                       // per rank: the list slot of an extension being delivered
    std::deque<Level> levels_;                         // stable references while deeper levels are added
    std::vector<uint32_t> asc_;                        // the current set, ranks ascending
    Tally tally_;                                      // the scans' scratch
    pool::StopEvery<tuning::kEngineStopStride> stop_;  // a look at the stop flag every so many sets

    double cz_ = 0;  // count of the set whose rules are walked
    std::vector<uint8_t> in_a_;
    std::vector<uint32_t> removable_, a_, c_;

    std::priority_queue<double, std::vector<double>, std::greater<double>> best_;
    std::vector<Candidate> cands_;
    std::vector<uint32_t> cand_items_;
    uint64_t itemsets_ = 0, examined_ = 0;
    uint32_t paired_ = 0;    // the items whose pairs pairs() reached: ranks below this
    uint32_t searched_ = 0;  // the items whose longer sets were searched: ranks below this
    // Rows scanned for the pairs and for the longer sets (see longer_while_cheap).
    std::size_t pair_scans_ = 0, longer_scans_ = 0;
    // Transactions to scan in the next block of pairs: small at first, while the floor
    // still rises fast, so that few rare items are counted at a floor that is soon passed.
    std::size_t block_work_ = tuning::kTopPairFirstBlock;
};

bool allowed(const std::vector<uint8_t>& mask, uint32_t i) { return mask.empty() || mask[i] != 0; }

//! Items that may stand on neither side are in no rule: left out of the search.
std::vector<uint8_t> searched_items(const Options& o, uint32_t n_items) {
    std::vector<uint8_t> keep(n_items);
    for (uint32_t i = 0; i < n_items; ++i) keep[i] = allowed(o.allow_a, i) || allowed(o.allow_c, i);
    return keep;
}

//! The items of the search in `min_count` transactions or more, ranked, with their
//! transaction lists and the rows: the engine's vertical view, as lists whatever the
//! density (the search intersects lists; pairs are counted over the rows).
void build_data(const TransactionRows& rows, const std::vector<uint8_t>& keep, const Options& o, uint32_t min_count,
                Data& d) {
    d.n_transactions = o.n_transactions != 0 ? static_cast<uint32_t>(o.n_transactions) : rows.n_transactions;
    d.view = engine::build_vertical(rows, min_count, keep, true, true);
    const std::size_t n = d.n = d.view.size();
    d.id_of.assign(d.view.id_of.rbegin(), d.view.id_of.rend());
    d.may_a.resize(n);
    d.may_c.resize(n);
    for (std::size_t r = 0; r < n; ++r) {
        d.may_a[r] = allowed(o.allow_a, d.id_of[r]);
        d.may_c[r] = allowed(o.allow_c, d.id_of[r]);
    }
}

//! The count of the item ranked 2k + 32 by falling count among those searched: the
//! floor of the first try in top_rules. 0 (no first try) unless the items number
//! kFirstTryItems times that rank: with fewer, the view of them all costs little more
//! than the view of the first, and a first try that falls short is the larger waste.
uint32_t first_floor(const TransactionRows& rows, const std::vector<uint8_t>& keep, std::size_t k) {
    const std::size_t rank = 2 * std::min<std::size_t>(k, std::size_t{1} << 30) + 32;
    std::vector<uint32_t> counts;
    for (uint32_t i = 0; i < rows.n_items; ++i)
        if (keep[i]) counts.push_back(rows.item_counts[i]);
    if (counts.size() < kFirstTryItems * rank) return 0;
    std::nth_element(counts.begin(), counts.begin() + static_cast<std::ptrdiff_t>(rank), counts.end(),
                     std::greater<>());
    return counts[rank];
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

    const TransactionRows rows = build_transaction_rows(txn_ids, item_ids, n_items);
    if (o.n_transactions != 0 && o.n_transactions < rows.n_transactions)
        throw InputError("n_transactions = " + std::to_string(o.n_transactions) + " is less than the " +
                         std::to_string(rows.n_transactions) + " transactions the occurrences name");
    if (o.n_transactions > 0xFFFFFFFFull) throw InputError("n_transactions must be below 2**32");
    const std::vector<uint8_t> keep = searched_items(o, n_items);
    uint32_t least = std::max<uint32_t>(o.min_count, 1);
    if (bounds_support(o.by)) {
        // A first try on the most frequent items alone, which on data of many items
        // spares building the view of them all (most of the time of a small k): the
        // search with its floor at the count of the item ranked 2k + 32 is the answer
        // when the k-th value it finds needs that count or more (floor_for), since no
        // rule over a rarer item can then enter. Otherwise that value still tells the
        // count below which the full search need not go.
        const uint32_t guess = first_floor(rows, keep, o.k);
        if (guess > least) {
            Data top;
            build_data(rows, keep, o, guess, top);
            Counts top_counts;
            Search first(o, top, top_counts, guess, -kInf);
            first.pairs();
            if (first.full()) {
                first.longer();
                const uint32_t needed = first.floor_for(first.low());
                if (needed >= guess) return first.finish(first.itemsets(), first.examined());
                least = std::max(least, needed);
            }
        }
    }
    Data data;
    build_data(rows, keep, o, least, data);
    Counts counts;
    if (!bounds_support(o.by)) {
        // No value bounds the support: every set above min_count is searched.
        Search all(o, data, counts, least, -kInf);
        all.run();
        return all.finish(all.itemsets(), all.examined());
    }
    // The pairs first, from min_count up: once their rules number k, the k-th of their
    // values is one the k-th best rule of the data reaches, so the floor it sets
    // (floor_for) is exact for the longer sets, and one search from there is the answer.
    Search first(o, data, counts, least, -kInf);
    first.pairs();
    if (first.full()) {
        first.longer();
        return first.finish(first.itemsets(), first.examined());
    }
    // Fewer than k pair rules (few items, min_len above 2, narrow sides): the longer
    // sets are searched in rounds of falling floors. A round above a high floor is
    // cheap, and once one finds k rules their k-th value tells how low the floor must
    // go (floor_for). A round whose floor is no higher than that is exact, since no set
    // below its floor can hold a rule that enters; the round after one that found k
    // rules always is, as the k-th value can only rise when more sets are searched.
    // Each round also raises its own floor as it finds better rules, and starts from
    // the k-th value the round before found. The first floor is an eighth of the
    // transactions, each next half the one before: the last round then starts within a
    // factor of two of the floor the answer needs, not from min_count. Every pair was
    // counted above, so a round's pairs cost no scan.
    uint32_t floor = std::max<uint32_t>(least, data.n_transactions / 8);
    double low = -kInf;
    uint64_t itemsets = first.itemsets(), examined = first.examined();
    for (;;) {
        Search round(o, data, counts, floor, low);
        round.run();
        itemsets += round.itemsets();
        examined += round.examined();
        const bool full = round.full();
        if (full) low = round.low();
        const uint32_t needed = full ? round.floor_for(low) : least;
        if (floor <= least || (full && needed >= floor)) return round.finish(itemsets, examined);
        floor = full ? std::max(needed, least) : std::max(floor / 2, least);
    }
}

}  // namespace tallisk::topk
