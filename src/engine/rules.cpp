#include "engine/rules.hpp"

#include <absl/container/flat_hash_set.h>

#include <absl/hash/hash.h>
#include <absl/types/span.h>
#include "common/itemset.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/pool.hpp"
#include "common/tuning.hpp"
#include "engine/filter.hpp"

namespace tallisk::rules {
namespace {

using Ids = std::span<const uint32_t>;
constexpr uint32_t kNoSet = std::numeric_limits<uint32_t>::max();

[[noreturn]] void fail(const std::string& message) { throw InputError(message); }

//! Shortest text that reads back as the same double, as Python's repr writes it.
std::string num(double x) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, x);
    return std::string(buf, r.ptr);
}

std::string set_text(Ids s) {
    std::string out = "(";
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(s[i]);
    }
    return out + (s.size() == 1 ? ",)" : ")");
}

//! The working table: every set with ascending ids, its count and its input row (-1
//! where it is none). Views of the caller's arrays where they can serve as they are,
//! storage of its own otherwise.
struct Sets {
    std::span<const int64_t> offsets;
    std::span<const uint32_t> items;
    std::span<const double> counts;
    std::span<const int64_t> rows;  // empty: set i is input row i

    std::vector<int64_t> own_offsets;
    std::vector<uint32_t> own_items;
    std::vector<double> own_counts;
    std::vector<int64_t> own_rows;

    std::size_t size() const { return counts.size(); }
    Ids set(std::size_t i) const {
        return {items.data() + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i])};
    }
    int64_t row(std::size_t i) const { return rows.empty() ? static_cast<int64_t>(i) : rows[i]; }

    //! Points the views at the own storage (after it has grown).
    void view_own() {
        offsets = own_offsets;
        items = own_items;
        counts = own_counts;
        rows = own_rows;
    }
};

//! Hash and equality of set numbers by content, with lookups by an id span.
struct SetHash {
    const Sets* sets;
    using is_transparent = void;
    std::size_t operator()(Ids s) const { return absl::HashOf(absl::MakeConstSpan(s.data(), s.size())); }
    std::size_t operator()(uint32_t i) const { return (*this)(sets->set(i)); }
};
struct SetEq {
    const Sets* sets;
    using is_transparent = void;
    static bool same(Ids a, Ids b) { return std::equal(a.begin(), a.end(), b.begin(), b.end()); }
    bool operator()(uint32_t a, uint32_t b) const { return a == b || same(sets->set(a), sets->set(b)); }
    bool operator()(uint32_t a, Ids b) const { return same(sets->set(a), b); }
    bool operator()(Ids a, uint32_t b) const { return same(a, sets->set(b)); }
};
// The out-of-memory-safe set alias: a failed growth must not leave a corrupt table.
using Index = HashSet<uint32_t, SetHash, SetEq>;

Index make_index(const Sets& sets) { return Index(0, SetHash{&sets}, SetEq{&sets}); }

uint32_t find(const Index& index, Ids s) {
    auto it = index.find(s);
    return it == index.end() ? kNoSet : *it;
}

[[noreturn]] void fail_duplicate(int64_t a, int64_t b) {
    fail("rows " + std::to_string(std::min(a, b)) + " and " + std::to_string(std::max(a, b)) +
         " of offsets/items hold the same itemset");
}

// ---- input ----------------------------------------------------------------------------

//! Checks the table and the options, and returns the table as Sets (rows sorted in a
//! copy when the caller's are not). `max_id` receives the largest id (or -1).
Sets read_table(const Table& t, const Options& o, int64_t& max_id) {
    if (!(std::isfinite(o.n_transactions) && o.n_transactions > 0.0))
        fail("n_transactions must be a positive finite number; got " + num(o.n_transactions));
    if (!(o.min_confidence >= 0.0 && o.min_confidence <= 1.0))
        fail("min_confidence must be in [0, 1]; got " + num(o.min_confidence));
    if (o.min_lift && std::isnan(*o.min_lift)) fail("min_lift must be a number; got nan");
    if (o.min_improvement && std::isnan(*o.min_improvement)) fail("min_improvement must be a number; got nan");
    if (o.max_consequent_len && *o.max_consequent_len == 0)
        fail("max_consequent_len must be at least 1 (None for no limit); got 0");
    for (auto [list, name] :
         {std::pair{o.antecedent_items, "antecedent_items"}, std::pair{o.consequent_items, "consequent_items"}}) {
        if (!list) continue;
        for (std::size_t j = 0; j < list->size(); ++j)
            if ((*list)[j] < 0)
                fail(std::string(name) + "[" + std::to_string(j) + "] = " + std::to_string((*list)[j]) +
                     " is negative");
    }

    if (t.offsets.empty()) fail("offsets must hold n + 1 entries for n itemsets; got an empty array");
    const std::size_t m = t.offsets.size() - 1;
    if (t.offsets[0] != 0) fail("offsets[0] = " + std::to_string(t.offsets[0]) + "; it must be 0");
    for (std::size_t i = 1; i <= m; ++i)
        if (t.offsets[i] < t.offsets[i - 1])
            fail("offsets[" + std::to_string(i) + "] = " + std::to_string(t.offsets[i]) + " is less than offsets[" +
                 std::to_string(i - 1) + "] = " + std::to_string(t.offsets[i - 1]));
    if (static_cast<uint64_t>(t.offsets[m]) != t.items.size())
        fail("offsets[" + std::to_string(m) + "] = " + std::to_string(t.offsets[m]) + " but items holds " +
             std::to_string(t.items.size()) + " ids");
    if (t.counts.size() != m)
        fail("counts holds " + std::to_string(t.counts.size()) + " values but offsets describes " + std::to_string(m) +
             " itemsets");
    if (m >= kNoSet) fail("offsets describes " + std::to_string(m) + " itemsets; at most 4294967294 are supported");
    for (std::size_t i = 0; i < m; ++i) {
        const double c = t.counts[i];
        if (!(std::isfinite(c) && c > 0.0))
            fail("counts[" + std::to_string(i) + "] = " + num(c) + " is not a positive finite number");
        if (c > o.n_transactions)
            fail("counts[" + std::to_string(i) + "] = " + num(c) +
                 " exceeds n_transactions = " + num(o.n_transactions));
    }

    max_id = -1;
    bool sorted = true;
    for (std::size_t i = 0; i < m; ++i) {
        for (int64_t j = t.offsets[i]; j < t.offsets[i + 1]; ++j) {
            const int32_t v = t.items[j];
            if (v < 0) fail("items[" + std::to_string(j) + "] = " + std::to_string(v) + " is negative");
            max_id = std::max<int64_t>(max_id, v);
            if (j > t.offsets[i]) {
                if (v == t.items[j - 1])
                    fail("items[" + std::to_string(j) + "] = " + std::to_string(v) + " repeats an item of itemset " +
                         std::to_string(i));
                sorted = sorted && v > t.items[j - 1];
            }
        }
    }

    Sets s;
    s.offsets = t.offsets;
    s.counts = t.counts;
    // Ids are non-negative now, so the int32 storage reads as uint32 as it is.
    s.items = {reinterpret_cast<const uint32_t*>(t.items.data()), t.items.size()};
    if (sorted) return s;
    s.own_items.assign(s.items.begin(), s.items.end());
    for (std::size_t i = 0; i < m; ++i) {
        auto b = s.own_items.begin() + t.offsets[i], e = s.own_items.begin() + t.offsets[i + 1];
        std::sort(b, e);
        auto dup = std::adjacent_find(b, e);
        if (dup != e) {
            // Name the second occurrence in the caller's order.
            int64_t seen = -1;
            for (int64_t j = t.offsets[i]; j < t.offsets[i + 1]; ++j) {
                if (static_cast<uint32_t>(t.items[j]) != *dup) continue;
                if (seen >= 0)
                    fail("items[" + std::to_string(j) + "] = " + std::to_string(*dup) + " repeats an item of itemset " +
                         std::to_string(i));
                seen = j;
            }
        }
    }
    s.items = s.own_items;
    return s;
}

// ---- closed input ---------------------------------------------------------------------

//! Expands a table of closed sets into every frequent set with its count. The count of
//! a set is the largest count of a closed superset, so the closed rows are visited in
//! descending count (ties in row order) and each one adds those of its subsets that no
//! earlier row added: a depth-first walk that removes items in ascending position order
//! (each subset of the row is reached once) and stops at a set already known, since all
//! of that set's subsets were added together with it by the earlier, larger-count row.
//! Cost: every frequent set is added once and every added set probes at most its length
//! in children, so O(F * L) hash probes of O(L) each for F frequent sets of length at
//! most L, and O(F * L) memory; the rules themselves are enumerated from the same F sets.
//! A row that is not closed (a superset already gave its count) keeps its row number;
//! the empty set is left out. `base_order` receives the sets grouped by the closed row
//! that added them, groups in input row order.
void expand_closed(const Sets& closed, Sets& out, Index& index, std::vector<uint32_t>& base_order) {
    const std::size_t m = closed.size();
    std::vector<uint32_t> order(m);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return closed.counts[a] > closed.counts[b]; });
    std::vector<std::pair<uint64_t, uint64_t>> group(m, {0, 0});
    out.own_offsets.assign(1, 0);

    std::vector<std::vector<uint32_t>> depth;  // depth[len]: the set of that length on the walk
    double count = 0;
    const auto add = [&](Ids s, int64_t row) {
        if (out.own_counts.size() >= kNoSet - 1) fail("closed input stands for more than 4294967294 frequent itemsets");
        out.own_items.insert(out.own_items.end(), s.begin(), s.end());
        out.own_offsets.push_back(static_cast<int64_t>(out.own_items.size()));
        out.own_counts.push_back(count);
        out.own_rows.push_back(row);
        out.view_own();
        index.insert(static_cast<uint32_t>(out.own_counts.size() - 1));
    };
    const auto walk = [&](auto& self, std::size_t len, std::size_t from) -> void {
        if (len == 1) return;
        const std::vector<uint32_t>& x = depth[len];
        std::vector<uint32_t>& child = depth[len - 1];
        for (std::size_t p = from; p < len; ++p) {
            child.clear();
            child.insert(child.end(), x.begin(), x.begin() + p);
            child.insert(child.end(), x.begin() + p + 1, x.end());
            if (index.contains(Ids(child))) continue;
            add(child, -1);
            self(self, len - 1, p);
        }
    };

    for (uint32_t r : order) {
        pool::check_stop();
        const Ids s = closed.set(r);
        const uint64_t begin = out.own_counts.size();
        group[r] = {begin, begin};
        if (s.empty()) continue;
        const uint32_t known = find(index, s);
        if (known != kNoSet) {
            if (out.own_rows[known] >= 0) fail_duplicate(out.own_rows[known], r);
            out.own_rows[known] = r;
            out.view_own();
            continue;
        }
        count = closed.counts[r];
        depth.resize(std::max(depth.size(), s.size() + 1));
        depth[s.size()].assign(s.begin(), s.end());
        add(s, r);
        walk(walk, s.size(), 0);
        group[r].second = out.own_counts.size();
    }
    base_order.clear();
    base_order.reserve(out.own_counts.size());
    for (std::size_t r = 0; r < m; ++r)
        for (uint64_t i = group[r].first; i < group[r].second; ++i) base_order.push_back(static_cast<uint32_t>(i));
}

//! The sets rules are drawn from (the input, or every set closed input stands for),
//! their index, and the order bases are visited in. Not movable: the index reads the sets
//! through a pointer.
struct Lattice {
    int64_t max_id = -1;  // the largest id of the input, or -1 (set while the input is read)
    Sets input, expanded;
    const Sets* sets = &input;
    // The sets by content. Its hash of a set less one item is one subtraction away from
    // the set's own, so the antecedents of one-item consequents are found without being
    // written out or hashed again.
    std::optional<engine::SubsetIndex> index;
    std::vector<uint32_t> base_order;  // closed input only
    std::vector<uint32_t> single;      // by item id: the set of that item alone, or kNoSet

    Lattice(const Table& table, const Options& o) : input(read_table(table, o, max_id)) {
        if (o.input_target == InputTarget::closed) {
            // The expansion asks for the sets it has added so far: an index that grows.
            Index growing = make_index(expanded);
            expand_closed(input, expanded, growing, base_order);
            sets = &expanded;
        }
        index.emplace(engine::RowsView{sets->offsets, 0, sets->items, sets->size()});
        if (o.input_target != InputTarget::closed)
            if (const auto [a, b] = index->first_duplicate(); a != kNoSet) fail_duplicate(a, b);
        // One-item sets are looked up for every rule with a one-item consequent: by id.
        single.assign(static_cast<std::size_t>(max_id + 1), kNoSet);
        for (uint32_t i = 0; i < sets->size(); ++i)
            if (const Ids s = sets->set(i); s.size() == 1) single[s[0]] = i;
    }
    Lattice(const Lattice&) = delete;
    Lattice& operator=(const Lattice&) = delete;

    //! The set holding exactly `s` (ascending ids), or kNoSet.
    uint32_t find(Ids s) const {
        if (s.size() == 1) return s[0] < single.size() ? single[s[0]] : kNoSet;
        return index->find(s, index->hash_of(s));
    }
};

// ---- improvement ----------------------------------------------------------------------

//! The highest confidence of B -> C over the subsets B of an antecedent, memoised per
//! worker by (B | C, C) as the file comment describes. One per worker.
class Improvement {
public:
    Improvement(const Sets& sets, double n) : sets_(sets), n_(n) {}

    //! The highest confidence of B -> C over the proper subsets B of A (the empty one
    //! included); a and c ascending and disjoint, `c_set` the row of c. `lookup` finds a
    //! set's row or throws.
    template <class Lookup>
    double best_below(std::span<const uint32_t> a, std::span<const uint32_t> c, uint32_t c_set, const Lookup& lookup) {
        if (memo_.size() > tuning::kImprovementMemo) memo_.clear();
        c_ = c;
        c_set_ = c_set;
        if (subs_.size() < a.size() + 1) subs_.resize(a.size() + 1);
        double best = 0.0;
        for (std::size_t p = 0; p < a.size(); ++p) {
            without(a, p, subs_[1]);
            best = std::max(best, best_within(1, lookup));
        }
        return best;
    }

private:
    static void without(std::span<const uint32_t> s, std::size_t p, std::vector<uint32_t>& out) {
        out.assign(s.begin(), s.begin() + p);
        out.insert(out.end(), s.begin() + p + 1, s.end());
    }
    void merge(std::span<const uint32_t> s) {
        union_.resize(s.size() + c_.size());
        std::merge(s.begin(), s.end(), c_.begin(), c_.end(), union_.begin());
    }

    //! The highest confidence of B -> C over B within subs_[depth] (the same expression
    //! rule_metrics uses for the rule's own confidence, so equal rules tie exactly).
    template <class Lookup>
    double best_within(std::size_t depth, const Lookup& lookup) {
        const std::vector<uint32_t>& s = subs_[depth];
        if (s.empty()) return sets_.counts[c_set_] / n_;
        merge(s);
        const uint32_t u = lookup(union_);
        const uint64_t key = static_cast<uint64_t>(u) << 32 | c_set_;
        if (auto it = memo_.find(key); it != memo_.end()) return it->second;
        double best = sets_.counts[u] / sets_.counts[lookup(s)];
        for (std::size_t p = 0; p < s.size(); ++p) {
            without(s, p, subs_[depth + 1]);
            best = std::max(best, best_within(depth + 1, lookup));
        }
        memo_.emplace(key, best);
        return best;
    }

    const Sets& sets_;
    double n_;
    std::span<const uint32_t> c_;
    uint32_t c_set_ = 0;
    std::vector<std::vector<uint32_t>> subs_;  // subs_[d]: the antecedent subset d items down
    std::vector<uint32_t> union_;
    HashMap<uint64_t, double> memo_;
};

// ---- generation -----------------------------------------------------------------------

//! Whether the rules' sides are written as item lists: asked for, or needed because the
//! sides of rules from closed input need not be rows of the table.
bool writes_sides(const Options& o) { return o.side_items || o.input_target == InputTarget::closed; }

//! A kept rule as the search records it; the columns are written later, in one pass.
struct Hit {
    uint32_t base, a_set, c_set, c_len;
};

//! The rules of one chunk of bases, in order; consequent ids back to back.
struct Part {
    large_vector<Hit> hits;
    large_vector<uint32_t> cons;
    large_vector<double> improvement;  // per hit, when asked for
    uint64_t ante_items = 0;
    std::string error;  // set when a needed subset is missing (target all)
};

//! The level-wise consequent search of one base at a time (per-chunk scratch inside).
class Search {
public:
    Search(const Lattice& lattice, const Options& o, const std::vector<uint8_t>& allow_a,
           const std::vector<uint8_t>& allow_c)
        : sets_(*lattice.sets),
          lattice_(lattice),
          o_(o),
          allow_a_(allow_a),
          allow_c_(allow_c),
          improvement_(*lattice.sets, o.n_transactions),
          with_improvement_(o.improvement || o.min_improvement),
          with_sides_(writes_sides(o)) {}

    void run(uint32_t base, Part& part) {
        const Ids z = sets_.set(base);
        const std::size_t k = z.size();
        if (k < 2) return;
        forced_.clear();
        free_.clear();
        for (std::size_t p = 0; p < k; ++p) {
            const bool in_a = allowed(allow_a_, z[p]), in_c = allowed(allow_c_, z[p]);
            if (!in_a && !in_c) return;  // the item has no side to stand on
            if (!in_a)
                forced_.push_back(static_cast<uint32_t>(p));
            else if (in_c)
                free_.push_back(static_cast<uint32_t>(p));
        }
        // A keeps at least one item; C holds the forced items and at most max_c in all.
        const std::size_t max_c = std::min<uint64_t>(o_.max_consequent_len.value_or(k - 1), k - 1);
        if (forced_.size() > max_c) return;
        const std::size_t max_extra = std::min(max_c - forced_.size(), free_.size());
        base_ = base;
        z_ = z;
        hz_ = lattice_.index->hash_of(z);
        count_ = sets_.counts[base];
        in_c_.assign(k, 0);
        for (uint32_t p : forced_) in_c_[p] = 1;

        cur_.clear();
        // With forced items the smallest consequent is those alone; if it fails, every
        // larger one fails too.
        if (!forced_.empty() && !try_rule({}, part)) return;
        if (max_extra == 0) return;
        if (forced_.empty())
            // The antecedents of the one-item consequents are the base less one item each:
            // their places in the index are asked for together, as each is a cache miss.
            for (uint32_t i : free_) lattice_.index->prefetch(hz_ - lattice_.index->item_term(z[i]));
        for (uint32_t i = 0; i < free_.size(); ++i)
            if (try_rule({&i, 1}, part)) cur_.push_back(i);

        // Level m -> m + 1: join consequents that share their first m - 1 positions;
        // keep a candidate only when each of its m-subsets passed.
        for (std::size_t m = 1; m < max_extra && cur_.size() / m >= 2; ++m) {
            next_.clear();
            const std::size_t n = cur_.size() / m;
            const auto row = [&](std::size_t i) { return std::span<const uint32_t>(cur_.data() + i * m, m); };
            for (std::size_t i = 0; i < n; ++i) {
                const auto a = row(i);
                for (std::size_t j = i + 1; j < n; ++j) {
                    const auto b = row(j);
                    if (!std::equal(a.begin(), a.end() - 1, b.begin())) break;
                    cand_.assign(a.begin(), a.end());
                    cand_.push_back(b[m - 1]);
                    if (!subsets_passed(m)) continue;
                    if (try_rule(cand_, part)) next_.insert(next_.end(), cand_.begin(), cand_.end());
                }
            }
            std::swap(cur_, next_);
        }
    }

private:
    static bool allowed(const std::vector<uint8_t>& allow, uint32_t v) {
        return allow.empty() || (v < allow.size() && allow[v]);
    }

    //! Whether every m-subset of cand_ (m + 1 positions) that drops one of its first
    //! m - 1 entries is among the passed consequents of level m (the two that drop one
    //! of the last two entries are the joined pair itself).
    bool subsets_passed(std::size_t m) {
        const std::size_t n = cur_.size() / m;
        for (std::size_t q = 0; q + 1 < m; ++q) {
            sub_.clear();
            for (std::size_t t = 0; t <= m; ++t)
                if (t != q) sub_.push_back(cand_[t]);
            std::size_t lo = 0, hi = n;
            while (lo < hi) {
                const std::size_t mid = (lo + hi) / 2;
                if (std::lexicographical_compare(cur_.begin() + mid * m, cur_.begin() + (mid + 1) * m, sub_.begin(),
                                                 sub_.end()))
                    lo = mid + 1;
                else
                    hi = mid;
            }
            if (lo == n || !std::equal(sub_.begin(), sub_.end(), cur_.begin() + lo * m)) return false;
        }
        return true;
    }

    uint32_t lookup(const std::vector<uint32_t>& s) const {
        const uint32_t i = lattice_.find(Ids(s));
        if (i == kNoSet)
            throw InputError("the table has no row for itemset " + set_text(s) + ", a subset of row " +
                             std::to_string(sets_.row(base_)) +
                             "; rules from target 'all' need the count of every subset of each row (mine with "
                             "min_len=1, or pass input_target='closed' for a table of closed itemsets)");
        return i;
    }

    //! Tries the rule whose consequent is the forced items plus free_[extra]; records it
    //! when it is kept. Returns whether its confidence passed (what the search prunes on).
    bool try_rule(std::span<const uint32_t> extra, Part& part) {
        uint32_t a_set = kNoSet;
        if (forced_.empty() && extra.size() == 1) {
            // A is the base less one item: found by the base's hash, written out only
            // for the improvement (or the message when it is missing).
            const std::size_t p = free_[extra[0]];
            a_set = lattice_.index->find_without(z_, hz_, p);
            if (a_set == kNoSet || with_improvement_)
                split(extra);
            else
                c_.assign(1, z_[p]);
        } else {
            split(extra);
        }
        if (a_set == kNoSet) a_set = lookup(a_);
        const double confidence = count_ / sets_.counts[a_set];
        if (!(confidence >= o_.min_confidence)) return false;
        const uint32_t c_set = lookup(c_);
        if (o_.min_lift) {
            // The same expression rule_metrics uses, so the floor sees the reported lift.
            const double lift = confidence / (sets_.counts[c_set] / o_.n_transactions);
            if (!(lift >= *o_.min_lift)) return true;
        }
        double improvement = 0.0;
        if (with_improvement_) {
            const auto find_row = [this](const std::vector<uint32_t>& s) { return lookup(s); };
            improvement = confidence - improvement_.best_below(a_, c_, c_set, find_row);
            if (o_.min_improvement && !(improvement > *o_.min_improvement)) return true;
            part.improvement.push_back(improvement);
        }
        part.hits.push_back({base_, a_set, c_set, static_cast<uint32_t>(c_.size())});
        if (with_sides_) {
            part.cons.insert(part.cons.end(), c_.begin(), c_.end());
            part.ante_items += z_.size() - c_.size();
        }
        return true;
    }

    //! Writes the rule's sides to a_ and c_: the consequent the forced items plus the
    //! free ones `extra` names, the antecedent the rest of the base.
    void split(std::span<const uint32_t> extra) {
        for (uint32_t e : extra) in_c_[free_[e]] = 1;
        a_.clear();
        c_.clear();
        for (std::size_t p = 0; p < z_.size(); ++p) (in_c_[p] ? c_ : a_).push_back(z_[p]);
        for (uint32_t e : extra) in_c_[free_[e]] = 0;
    }

    const Sets& sets_;
    const Lattice& lattice_;
    const Options& o_;
    const std::vector<uint8_t>& allow_a_;
    const std::vector<uint8_t>& allow_c_;

    uint32_t base_ = 0;
    Ids z_;
    uint64_t hz_ = 0;  // the index's hash of z_
    double count_ = 0;
    std::vector<uint32_t> forced_, free_;  // positions in z_
    std::vector<uint8_t> in_c_;            // by position: in the consequent
    std::vector<uint32_t> a_, c_;          // ids of the rule being tried
    std::vector<uint32_t> cur_, next_;     // passed consequents of a level, indices into free_
    std::vector<uint32_t> cand_, sub_;
    Improvement improvement_;
    bool with_improvement_;
    bool with_sides_;  // the sides' item lists are written (else the rows alone)
};

std::vector<uint8_t> allow_mask(const std::optional<std::span<const int32_t>>& list, int64_t max_id) {
    if (!list) return {};
    // A mask of one entry more than the largest id, so an empty list still restricts.
    std::vector<uint8_t> mask(static_cast<std::size_t>(max_id + 2), 0);
    for (int32_t v : *list)
        if (v <= max_id) mask[static_cast<std::size_t>(v)] = 1;
    return mask;
}

}  // namespace

Metrics rule_metrics(double count, double count_a, double count_c, double n) {
    Metrics m;
    const double s = count / n, sa = count_a / n, sc = count_c / n;
    m.support = s;
    m.confidence = count / count_a;
    m.lift = m.confidence / sc;
    m.leverage = s - sa * sc;
    m.conviction = m.confidence < 1.0 ? (1.0 - sc) / (1.0 - m.confidence) : std::numeric_limits<double>::infinity();
    // 0/0 cases, as mlxtend resolves them: Zhang's denominator is 0 only when A is in
    // every transaction and C in every one of A ∪ C (then leverage is 0 too): 0. The
    // certainty factor's denominator is 0 when C is in every transaction: 0.
    const double zhang_den = std::max(s * (1.0 - sa), sa * (sc - s));
    m.zhangs_metric = zhang_den == 0.0 ? 0.0 : m.leverage / zhang_den;
    m.jaccard = s / (sa + sc - s);
    m.certainty = (1.0 - sc) == 0.0 ? 0.0 : (m.confidence - sc) / (1.0 - sc);
    m.kulczynski = (m.confidence + count / count_c) / 2.0;
    m.cosine = s / std::sqrt(sa * sc);
    return m;
}

double column_value(Column c, double cz, double ca, double cc, double n, const Metrics& m) {
    switch (c) {
        case Column::count: return cz;
        case Column::antecedent_count: return ca;
        case Column::consequent_count: return cc;
        case Column::support: return cz / n;
        case Column::antecedent_support: return ca / n;
        case Column::consequent_support: return cc / n;
        case Column::confidence: return m.confidence;
        case Column::lift: return m.lift;
        case Column::leverage: return m.leverage;
        case Column::conviction: return m.conviction;
        case Column::zhangs_metric: return m.zhangs_metric;
        case Column::jaccard: return m.jaccard;
        case Column::certainty: return m.certainty;
        case Column::kulczynski: return m.kulczynski;
        case Column::cosine: return m.cosine;
    }
    return m.support;
}

std::vector<large_vector<double>> metric_columns(std::span<const double> count, std::span<const double> count_a,
                                                 std::span<const double> count_c, double n,
                                                 std::span<const Column> which, std::span<const int64_t> order) {
    const std::size_t m = count.size();
    if (count_a.size() != m || count_c.size() != m)
        fail("the three counts differ in length: " + std::to_string(m) + ", " + std::to_string(count_a.size()) +
             " and " + std::to_string(count_c.size()));
    for (std::size_t i = 0; i < order.size(); ++i)
        if (order[i] < 0 || static_cast<uint64_t>(order[i]) >= m)
            fail("order[" + std::to_string(i) + "] = " + std::to_string(order[i]) + " is not a rule (0 .. " +
                 std::to_string(static_cast<int64_t>(m) - 1) + ")");
    const std::size_t rows = order.empty() ? m : order.size();
    std::vector<large_vector<double>> out(which.size());
    for (auto& column : out) column.resize(rows);
    pool::for_range(rows, tuning::kRuleMetricGrain, [&](std::size_t begin, std::size_t end) {
        constexpr std::size_t ahead = 16;  // rows of `order` whose counts are asked for early
        for (std::size_t i = begin; i < end; ++i) {
            if (!order.empty() && i + ahead < end) {
                const auto next = static_cast<std::size_t>(order[i + ahead]);
                __builtin_prefetch(&count[next]);
                __builtin_prefetch(&count_a[next]);
                __builtin_prefetch(&count_c[next]);
            }
            const auto r = order.empty() ? i : static_cast<std::size_t>(order[i]);
            const double cz = count[r], ca = count_a[r], cc = count_c[r];
            const Metrics mt = rule_metrics(cz, ca, cc, n);
            for (std::size_t j = 0; j < which.size(); ++j) {
                const double v = column_value(which[j], cz, ca, cc, n, mt);
                out[j][i] = v;
            }
        }
    });
    return out;
}

void RuleTable::resize(std::size_t n_rules, std::size_t n_antecedent_items, std::size_t n_consequent_items,
                       bool with_improvement, bool metrics, bool sides) {
    with_sides = sides;
    if (sides) {
        antecedent_offsets.resize(n_rules + 1);
        consequent_offsets.resize(n_rules + 1);
        antecedent_offsets[0] = consequent_offsets[0] = 0;
        antecedent_items.resize(n_antecedent_items);
        consequent_items.resize(n_consequent_items);
        rule_row.resize(n_rules);
    }
    for (auto* column : {&antecedent_row, &consequent_row}) column->resize(n_rules);
    for (auto* column : {&count, &antecedent_count, &consequent_count}) column->resize(n_rules);
    with_metrics = metrics;
    if (metrics)
        for (auto* column : {&support, &confidence, &lift, &leverage, &conviction, &zhangs_metric, &jaccard, &certainty,
                             &kulczynski, &cosine})
            column->resize(n_rules);
    if (with_improvement) improvement.resize(n_rules);
}

void RuleTable::write_metrics(std::size_t i, double cz, double ca, double cc, double n) {
    count[i] = cz;
    antecedent_count[i] = ca;
    consequent_count[i] = cc;
    if (!with_metrics) return;
    const Metrics mt = rule_metrics(cz, ca, cc, n);
    support[i] = mt.support;
    confidence[i] = mt.confidence;
    lift[i] = mt.lift;
    leverage[i] = mt.leverage;
    conviction[i] = mt.conviction;
    zhangs_metric[i] = mt.zhangs_metric;
    jaccard[i] = mt.jaccard;
    certainty[i] = mt.certainty;
    kulczynski[i] = mt.kulczynski;
    cosine[i] = mt.cosine;
}

RuleTable generate_rules(const Table& table, const Options& o) {
    const Lattice lattice(table, o);
    const Sets* sets = lattice.sets;
    const std::vector<uint32_t>& base_order = lattice.base_order;
    const int64_t max_id = lattice.max_id;
    const std::size_t n_bases = o.input_target == InputTarget::closed ? base_order.size() : sets->size();
    const auto base_at = [&](std::size_t i) {
        return o.input_target == InputTarget::closed ? base_order[i] : static_cast<uint32_t>(i);
    };

    const std::vector<uint8_t> allow_a = allow_mask(o.antecedent_items, max_id);
    const std::vector<uint8_t> allow_c = allow_mask(o.consequent_items, max_id);

    // Work of a base grows with the square of its length (length-1 consequents, each a
    // lookup of a set nearly as long), more where many consequents pass.
    const auto weight = [&](std::size_t i) {
        const uint64_t k = sets->set(base_at(i)).size();
        return k * k + 1;
    };
    uint64_t total = 0;
    for (std::size_t i = 0; i < n_bases && total < tuning::kRuleParallelWork; ++i) total += weight(i);
    const std::size_t pieces =
        total < tuning::kRuleParallelWork ? 1 : pool::num_threads() * tuning::kRuleChunksPerWorker;
    const auto bounds = pool::weighted_bounds(n_bases, pieces, weight);

    // Rules found by the chunks, for the message when memory runs out.
    std::atomic<uint64_t> found{0};
    std::vector<Part> parts;
    try {
        parts = pool::map_ranges<Part>(bounds, [&](std::size_t begin, std::size_t end) {
            Part part;
            Search search(lattice, o, allow_a, allow_c);
            try {
                for (std::size_t i = begin; i < end; ++i) {
                    pool::check_stop();
                    search.run(base_at(i), part);
                }
            } catch (const InputError& e) {
                // Kept, not thrown: the error of the first chunk is reported, whatever the
                // order the chunks finish in.
                part.error = e.what();
            } catch (const std::bad_alloc&) {
                found.fetch_add(part.hits.size(), std::memory_order_relaxed);
                throw;
            }
            found.fetch_add(part.hits.size(), std::memory_order_relaxed);
            return part;
        });
    } catch (const std::bad_alloc&) {
        throw OutOfMemory("%llu rules so far", static_cast<unsigned long long>(found.load()));
    }
    for (const Part& p : parts)
        if (!p.error.empty()) throw InputError(p.error);

    // Chunk j's rules go to rows [rule_start[j], rule_start[j+1]) of the columns.
    const std::size_t n_parts = parts.size();
    std::vector<uint64_t> rule_start(n_parts + 1, 0), a_start(n_parts + 1, 0), c_start(n_parts + 1, 0);
    for (std::size_t j = 0; j < n_parts; ++j) {
        rule_start[j + 1] = rule_start[j] + parts[j].hits.size();
        a_start[j + 1] = a_start[j] + parts[j].ante_items;
        c_start[j + 1] = c_start[j] + parts[j].cons.size();
    }
    const std::size_t n_rules = rule_start[n_parts];
    RuleTable out;
    const bool with_improvement = o.improvement || o.min_improvement;
    try {
        out.resize(n_rules, a_start[n_parts], c_start[n_parts], with_improvement, o.metrics, writes_sides(o));
    } catch (const std::bad_alloc&) {
        throw OutOfMemory("while writing the %zu rules found", n_rules);
    }

    // The columns are sized without a zero fill; each chunk's writer touches its own
    // share of the pages first, so the faults are taken in parallel.
    const double n = o.n_transactions;
    pool::for_range(n_parts, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            Part& part = parts[j];
            uint64_t a_pos = a_start[j], c_pos = c_start[j];
            const uint32_t* cons = part.cons.data();
            for (std::size_t h = 0; h < part.hits.size(); ++h) {
                const Hit& hit = part.hits[h];
                const std::size_t i = rule_start[j] + h;
                if (out.with_sides) {
                    const Ids z = sets->set(hit.base);
                    const Ids c(cons, hit.c_len);
                    // A = Z \ C, both ascending.
                    std::size_t ci = 0;
                    for (uint32_t v : z) {
                        if (ci < c.size() && c[ci] == v)
                            out.consequent_items[c_pos + ci++] = static_cast<int32_t>(v);
                        else
                            out.antecedent_items[a_pos++] = static_cast<int32_t>(v);
                    }
                    c_pos += c.size();
                    out.antecedent_offsets[i + 1] = static_cast<int64_t>(a_pos);
                    out.consequent_offsets[i + 1] = static_cast<int64_t>(c_pos);
                    out.rule_row[i] = sets->row(hit.base);
                    cons += hit.c_len;
                }
                out.antecedent_row[i] = sets->row(hit.a_set);
                out.consequent_row[i] = sets->row(hit.c_set);
                out.write_metrics(i, sets->counts[hit.base], sets->counts[hit.a_set], sets->counts[hit.c_set], n);
                if (with_improvement) out.improvement[i] = part.improvement[h];
            }
            part = Part();
        }
    });
    return out;
}

large_vector<double> rule_improvement(const Table& table, const Options& o, std::span<const int64_t> a_offsets,
                                      std::span<const int32_t> a_items, std::span<const int64_t> c_offsets,
                                      std::span<const int32_t> c_items) {
    const auto check_csr = [](std::span<const int64_t> offsets, std::size_t n_items, const char* name) {
        if (offsets.empty() || offsets[0] != 0 || static_cast<uint64_t>(offsets.back()) != n_items)
            fail(std::string(name) + "_offsets must start at 0 and end at the length of " + name + "_items");
        for (std::size_t i = 1; i < offsets.size(); ++i)
            if (offsets[i] < offsets[i - 1])
                fail(std::string(name) + "_offsets[" + std::to_string(i) + "] is less than the entry before it");
    };
    check_csr(a_offsets, a_items.size(), "antecedent");
    check_csr(c_offsets, c_items.size(), "consequent");
    if (a_offsets.size() != c_offsets.size())
        fail("antecedent_offsets and consequent_offsets describe " + std::to_string(a_offsets.size() - 1) + " and " +
             std::to_string(c_offsets.size() - 1) + " rules");
    const std::size_t n_rules = a_offsets.size() - 1;
    const Lattice lattice(table, o);
    const Sets& sets = *lattice.sets;

    large_vector<double> out(n_rules);
    const auto bounds = pool::even_bounds(n_rules, tuning::kImprovementGrain);
    const std::vector<std::string> errors = pool::map_ranges<std::string>(bounds, [&](std::size_t b, std::size_t e) {
        Improvement improvement(sets, o.n_transactions);
        std::vector<uint32_t> a, c, z;
        std::size_t rule = b;
        const auto find_row = [&](const std::vector<uint32_t>& s) {
            const uint32_t row = lattice.find(Ids(s));
            if (row == kNoSet)
                fail("the table has no row for itemset " + set_text(s) + ", which rule " + std::to_string(rule) +
                     " needs");
            return row;
        };
        const auto side = [](std::span<const int32_t> items, int64_t from, int64_t to, std::vector<uint32_t>& out) {
            out.clear();
            for (int64_t j = from; j < to; ++j) {
                if (items[j] < 0) return false;
                out.push_back(static_cast<uint32_t>(items[j]));
            }
            std::sort(out.begin(), out.end());
            return !out.empty() && std::adjacent_find(out.begin(), out.end()) == out.end();
        };
        try {
            for (; rule < e; ++rule) {
                if (!side(a_items, a_offsets[rule], a_offsets[rule + 1], a) ||
                    !side(c_items, c_offsets[rule], c_offsets[rule + 1], c))
                    fail("rule " + std::to_string(rule) +
                         " needs a non-empty antecedent and consequent of distinct, non-negative ids");
                z.resize(a.size() + c.size());
                std::merge(a.begin(), a.end(), c.begin(), c.end(), z.begin());
                if (std::adjacent_find(z.begin(), z.end()) != z.end())
                    fail("rule " + std::to_string(rule) + " has an item in both its antecedent and its consequent");
                const double confidence = sets.counts[find_row(z)] / sets.counts[find_row(a)];
                out[rule] = confidence - improvement.best_below(a, c, find_row(c), find_row);
            }
        } catch (const InputError& error) {
            return std::string(error.what());
        }
        return std::string();
    });
    for (const std::string& error : errors)
        if (!error.empty()) throw InputError(error);
    return out;
}

}  // namespace tallisk::rules
