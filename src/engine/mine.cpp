#include "engine/mine.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <string>

#include <oneapi/tbb/task_group.h>

#include "common/error.hpp"
#include "common/index.hpp"
#include "common/pool.hpp"
#include "engine/data.hpp"
#include "engine/setops.hpp"

namespace tallisk::engine {

Table flatten(OutNode&& root) {
    // Sizes first, then one copy per chunk into the final arrays; each chunk is freed
    // right after its copy, so the rows are held about once, not twice.
    std::size_t n_rows = 0, n_items = 0, n_chunks = 0;
    auto measure = [&](auto&& self, const OutNode& node) -> void {
        for (const Piece& p : node.pieces) {
            n_rows += p.chunk.counts.size();
            n_items += p.chunk.items.size();
            ++n_chunks;
            if (p.child) self(self, *p.child);
        }
        n_rows += node.current.counts.size();
        n_items += node.current.items.size();
        ++n_chunks;
    };
    measure(measure, root);
    Table t;
    t.offsets.resize(n_rows + 1);
    t.offsets[0] = 0;
    if (n_chunks == 1) {
        // One chunk (a search on one thread): its arrays become the result as they are.
        Chunk& c = root.current;
        for (std::size_t i = 0; i < c.lens.size(); ++i) t.offsets[i + 1] = t.offsets[i] + c.lens[i];
        t.items = std::move(c.items);
        t.counts = std::move(c.counts);
        return t;
    }
    t.items.resize(n_items);
    t.counts.resize(n_rows);
    std::size_t row = 0, pos = 0;
    auto copy = [&](Chunk& c) {
        std::memcpy(t.items.data() + pos, c.items.data(), c.items.size() * sizeof(int32_t));
        std::memcpy(t.counts.data() + row, c.counts.data(), c.counts.size() * sizeof(int64_t));
        for (uint32_t len : c.lens) {
            t.offsets[row + 1] = t.offsets[row] + len;
            ++row;
        }
        pos += c.items.size();
        c = Chunk{};
    };
    auto walk = [&](auto&& self, OutNode& node) -> void {
        for (Piece& p : node.pieces) {
            copy(p.chunk);
            if (p.child) {
                self(self, *p.child);
                p.child.reset();
            }
        }
        copy(node.current);
    };
    walk(walk, root);
    return t;
}

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
// Estimated work (word ANDs or list steps) from which a class is searched as a task of
// its own: below it, handing it over would cost more than the second worker saves.
constexpr double kSpawnWork = 1 << 16;
// Rows a task reports between two updates of the shared row counter (max_itemsets).
constexpr uint64_t kCountBatch = 4096;

//! A member of a class: prefix + item is frequent with `count` transactions, whose set
//! starts at `off` in the class's storage.
struct Member {
    uint32_t rank;
    uint32_t count;
    std::size_t off;
};

//! The class explored at one depth: its members in rank order, their sets.
struct Level {
    std::vector<Member> members;
    Scratch<uint32_t> own_ids;
    Scratch<uint64_t> own_words;
    const uint32_t* ids = nullptr;    // lists of the members (own_ids, or the global lists)
    const uint64_t* words = nullptr;  // bitsets of the members (own_words, or the global bitsets)
};

//! What every task reads; built before the search, then shared read-only (the row
//! counter aside).
struct Context {
    const Vertical* v = nullptr;
    MineOptions opt;
    std::vector<int32_t> base_ids;  // items in every transaction (closed/maximal only), ascending
    std::size_t rank_words = 0;     // words of a set of ranks as a bitset (maximal)
    bool parallel = false;
    bool counted = false;  // max_itemsets given
    std::atomic<uint64_t> reported{0};
};

class Search {
public:
    Search(Context& cx, OutNode* out) : cx_(cx), v_(*cx.v), out_(out), min_count_(cx.v->min_count) {
        if (cx.opt.target == Target::maximal) qbits_.assign(cx.rank_words, 0);
    }

    // ---- entry points -----------------------------------------------------------------

    //! Runs the search of the class in levels[0] whose prefix is `ids_` and waits for
    //! every task it started. `core` is the rank after which extensions start (closed
    //! and maximal), `count` the prefix's count (maximal).
    void run(uint32_t core_plus_one, uint32_t count) {
        try {
            switch (cx_.opt.target) {
                case Target::all: all_class(0); break;
                case Target::closed: closed_class(0, core_plus_one); break;
                case Target::maximal: maximal_node(0, core_plus_one, count); break;
            }
        } catch (...) {
            tasks_.cancel();
            try {
                tasks_.wait();
            } catch (...) {
            }
            throw;
        }
        tasks_.wait();
        flush();
    }

    Level& level(std::size_t d) {
        while (levels_.size() <= d) levels_.emplace_back();
        return levels_[d];
    }
    std::vector<int32_t>& ids() { return ids_; }

    //! The root class: every ranked item with its global set.
    void set_root() {
        Level& root = level(0);
        root.members.resize(v_.size());
        for (uint32_t r = 0; r < v_.size(); ++r)
            root.members[r] = Member{r, v_.count[r], v_.bits ? r * v_.n_words : v_.list_offsets[r]};
        root.ids = v_.ids.data();
        root.words = v_.words.data();
        root_global_ = true;
    }

    void emit_prefix(uint32_t count) {
        Chunk& c = out_->current;
        c.items.insert(c.items.end(), ids_.begin(), ids_.end());
        c.counts.push_back(count);
        c.lens.push_back(static_cast<uint32_t>(ids_.size()));
        tick();
    }

    //! Seeds a maximal-set search with known maximal sets (rank bitsets, back to back).
    void seed_maximal(std::vector<uint64_t>&& sets) {
        mfi_ = std::move(sets);
        lmfi(0).clear();
        for (std::size_t i = 0; i * cx_.rank_words < mfi_.size(); ++i) lmfi(0).push_back(static_cast<uint32_t>(i));
    }
    void set_qbits(std::vector<uint64_t> bits) { qbits_ = std::move(bits); }

private:
    // ---- rows and counting --------------------------------------------------------------

    void tick() {
        if (!cx_.counted) return;
        if (++unreported_ >= kCountBatch) flush();
    }
    void flush() {
        if (!cx_.counted || unreported_ == 0) return;
        const uint64_t total = cx_.reported.fetch_add(unreported_) + unreported_;
        unreported_ = 0;
        if (total > cx_.opt.max_itemsets) throw_too_many(cx_.opt.max_itemsets);
    }

public:
    [[noreturn]] static void throw_too_many(uint64_t n) {
        throw InputError("more than " + std::to_string(n) +
                         " frequent itemsets; raise the minimum support or set max_len");
    }

private:
    //! Appends prefix + id (kept ascending) with its count.
    void emit_with(int32_t id, uint32_t count) {
        Chunk& c = out_->current;
        const auto at = std::upper_bound(ids_.begin(), ids_.end(), id);
        c.items.insert(c.items.end(), ids_.begin(), at);
        c.items.push_back(id);
        c.items.insert(c.items.end(), at, ids_.end());
        c.counts.push_back(count);
        c.lens.push_back(static_cast<uint32_t>(ids_.size() + 1));
        tick();
    }

    void push(uint32_t rank) {
        const auto id = static_cast<int32_t>(v_.id_of[rank]);
        const auto at = std::upper_bound(ids_.begin(), ids_.end(), id);
        pos_.push_back(static_cast<uint32_t>(at - ids_.begin()));
        ids_.insert(at, id);
        if (!qbits_.empty()) qbits_[rank / 64] |= uint64_t{1} << (rank % 64);
    }
    void pop(uint32_t rank) {
        ids_.erase(ids_.begin() + pos_.back());
        pos_.pop_back();
        if (!qbits_.empty()) qbits_[rank / 64] &= ~(uint64_t{1} << (rank % 64));
    }

    // ---- sets of a class -----------------------------------------------------------------

    const uint32_t* list(const Level& l, const Member& m) const { return l.ids + m.off; }
    const uint64_t* bits(const Level& l, const Member& m) const { return l.words + m.off; }

    //! Estimated work of searching a class: pairs of members times the cost of one
    //! intersection.
    double work(const Level& l, std::size_t n_extending) const {
        const double n = static_cast<double>(l.members.size());
        double unit = static_cast<double>(v_.n_words);
        if (!v_.bits) {
            double total = 0;
            for (const Member& m : l.members) total += m.count;
            unit = n > 0 ? total / n : 0;
        }
        return static_cast<double>(n_extending) * n * unit;
    }

    //! Class of prefix + member i of level d: the later members (all members when
    //! `both_sides`) whose intersection with it is frequent, built into `child`.
    //! closed/maximal: members whose set contains member i's go to `closure_` instead;
    //! returns false when one of them ranks before member i (the closure would not
    //! preserve the prefix).
    bool build_child(std::size_t d, std::size_t i, Level& child, bool both_sides) {
        const Level& cls = levels_[d];
        const Member& e = cls.members[i];
        const std::size_t n = cls.members.size();
        child.members.clear();
        closure_.clear();
        if (!v_.bits && d == 0 && root_global_) return scan_child(e, child, both_sides);
        const std::size_t first = both_sides ? 0 : i + 1;
        if (v_.bits) {
            const std::size_t nw = v_.n_words;
            uint64_t* out = child.own_words.fresh((n - first) * nw);
            child.words = out;
            std::size_t off = 0;
            const uint64_t* a = bits(cls, e);
            for (std::size_t j = first; j < n; ++j) {
                if (j == i) continue;
                const Member& y = cls.members[j];
                const auto c = static_cast<uint32_t>(and_into(a, bits(cls, y), out + off, nw));
                if (c < min_count_) continue;
                if (both_sides && c == e.count) {
                    if (j < i) return false;
                    closure_.push_back(y.rank);
                    continue;
                }
                child.members.push_back(Member{y.rank, c, off});
                off += nw;
            }
            return true;
        }
        uint32_t* out = child.own_ids.fresh((n - first) * std::size_t{e.count});
        child.ids = out;
        std::size_t off = 0;
        const uint32_t* a = list(cls, e);
        for (std::size_t j = first; j < n; ++j) {
            if (j == i) continue;
            const Member& y = cls.members[j];
            const uint32_t c = intersect<true>(a, e.count, list(cls, y), y.count, min_count_, out + off);
            if (c < min_count_) continue;
            if (both_sides && c == e.count) {
                if (j < i) return false;
                closure_.push_back(y.rank);
                continue;
            }
            child.members.push_back(Member{y.rank, c, off});
            off += c;
        }
        return true;
    }

    //! build_child for a member of the global root class on lists: one scan of the
    //! member's transactions counts every other item in them, and a second scan writes
    //! the lists of the frequent ones. Costs the transactions' lengths, not a merge per
    //! pair of items.
    bool scan_child(const Member& e, Level& child, bool both_sides) {
        const uint32_t r = e.rank;
        const std::span<const uint32_t> txns = v_.list(r);
        if (counter_.empty()) counter_.assign(v_.size(), 0);
        touched_.clear();
        for (uint32_t t : txns) {
            const auto row = v_.row(t);
            auto it = both_sides ? row.begin() : std::upper_bound(row.begin(), row.end(), r);
            for (; it != row.end(); ++it) {
                const uint32_t q = *it;
                if (counter_[q]++ == 0) touched_.push_back(q);
            }
        }
        std::sort(touched_.begin(), touched_.end());
        bool ok = true;
        std::size_t total = 0;
        for (uint32_t q : touched_) {
            const uint32_t c = counter_[q];
            counter_[q] = kNone;  // not a member unless set below
            if (q == r || c < min_count_ || !ok) continue;
            if (both_sides && c == e.count) {
                if (q < r) {
                    ok = false;
                    continue;
                }
                closure_.push_back(q);
                continue;
            }
            counter_[q] = static_cast<uint32_t>(child.members.size());
            child.members.push_back(Member{q, c, total});
            total += c;
        }
        if (ok && !child.members.empty()) {
            uint32_t* out = child.own_ids.fresh(total);
            child.ids = out;
            for (uint32_t t : txns) {
                const auto row = v_.row(t);
                auto it = both_sides ? row.begin() : std::upper_bound(row.begin(), row.end(), r);
                for (; it != row.end(); ++it) {
                    const uint32_t slot = counter_[*it];
                    if (slot != kNone) out[child.members[slot].off++] = t;
                }
            }
            for (Member& m : child.members) m.off -= m.count;
        }
        for (uint32_t q : touched_) counter_[q] = 0;
        if (!ok) child.members.clear();
        return ok;
    }

    // ---- tasks ----------------------------------------------------------------------------

    //! Hands the class in `child` (searched as level 0 of a new task, under the current
    //! prefix) to the pool; its rows are placed here in the output.
    template <class Prepare>
    void spawn(Level& child, uint32_t core_plus_one, uint32_t count, Prepare&& prepare) {
        OutNode* node = out_->split();
        auto sub = std::make_shared<Search>(cx_, node);
        sub->ids_ = ids_;
        std::swap(sub->level(0), child);
        child = Level{};
        prepare(*sub);
        tasks_.run([sub, core_plus_one, count] { sub->run(core_plus_one, count); });
    }

    bool should_spawn(const Level& child, std::size_t n_extending) const {
        return cx_.parallel && work(child, n_extending) >= kSpawnWork;
    }

    // ---- all ------------------------------------------------------------------------------

    void all_class(std::size_t d) {
        const std::size_t len = ids_.size() + 1;
        const bool report = len >= cx_.opt.min_len;
        const bool deeper = len < cx_.opt.max_len;
        const std::size_t n = levels_[d].members.size();
        for (std::size_t i = 0; i < n; ++i) {
            const Member e = levels_[d].members[i];
            if (report) emit_with(static_cast<int32_t>(v_.id_of[e.rank]), e.count);
            if (!deeper || i + 1 == n) continue;
            Level& child = level(d + 1);
            build_child(d, i, child, false);
            if (child.members.empty()) continue;
            push(e.rank);
            if (should_spawn(child, child.members.size()))
                spawn(child, 0, 0, [](Search&) {});
            else
                all_class(d + 1);
            pop(e.rank);
        }
    }

    // ---- closed ---------------------------------------------------------------------------

    //! Level d is the class of the closed set ids_ (every frequent one-item extension,
    //! before and after the core); extends by members ranked from core_plus_one on.
    void closed_class(std::size_t d, uint32_t core_plus_one) {
        const std::size_t n = levels_[d].members.size();
        for (std::size_t i = 0; i < n; ++i) {
            const Member e = levels_[d].members[i];
            if (e.rank < core_plus_one) continue;
            Level& child = level(d + 1);
            if (!build_child(d, i, child, true)) continue;
            const std::size_t len = ids_.size() + 1 + closure_.size();
            if (len > cx_.opt.max_len) continue;  // every set below is longer still
            push(e.rank);
            for (uint32_t q : closure_) push(q);
            const std::vector<uint32_t> added = closure_;
            if (len >= cx_.opt.min_len) emit_prefix(e.count);
            const bool extends = !child.members.empty() && child.members.back().rank > e.rank;
            if (extends) {
                if (should_spawn(child, tail_size(child, e.rank + 1)))
                    spawn(child, e.rank + 1, e.count, [](Search&) {});
                else
                    closed_class(d + 1, e.rank + 1);
            }
            for (auto it = added.rbegin(); it != added.rend(); ++it) pop(*it);
            pop(e.rank);
        }
    }

    static std::size_t tail_size(const Level& l, uint32_t core_plus_one) {
        const auto it = std::lower_bound(l.members.begin(), l.members.end(), core_plus_one,
                                         [](const Member& m, uint32_t r) { return m.rank < r; });
        return static_cast<std::size_t>(l.members.end() - it);
    }

    // ---- maximal --------------------------------------------------------------------------

    std::vector<uint32_t>& lmfi(std::size_t d) {
        while (lmfi_.size() <= d) lmfi_.emplace_back();
        return lmfi_[d];
    }

    //! Records a maximal set (rank bitset) as known to levels 0 .. d.
    void add_maximal(const uint64_t* set, std::size_t d) {
        const auto index = static_cast<uint32_t>(mfi_.size() / cx_.rank_words);
        mfi_.insert(mfi_.end(), set, set + cx_.rank_words);
        for (std::size_t k = 0; k <= d; ++k) lmfi(k).push_back(index);
    }

    //! Level d is the class of the closed set ids_ (count `count`): reports the maximal
    //! sets among ids_ and its extensions by members ranked from core_plus_one on.
    void maximal_node(std::size_t d, uint32_t core_plus_one, uint32_t count) {
        Level& cls = levels_[d];
        const std::size_t n = cls.members.size();
        const std::size_t rw = cx_.rank_words;
        if (n == 0) {
            // No item extends the set frequently: maximal.
            if (ids_.size() >= cx_.opt.min_len && ids_.size() <= cx_.opt.max_len) emit_prefix(count);
            add_maximal(qbits_.data(), d);
            return;
        }
        const std::size_t first_tail = n - tail_size(cls, core_plus_one);
        if (first_tail == n) return;  // an earlier item extends it, and no later one
        // Subset check: every set below lies within ids_ + the tail.
        upper_.assign(qbits_.begin(), qbits_.end());
        for (std::size_t j = first_tail; j < n; ++j)
            upper_[cls.members[j].rank / 64] |= uint64_t{1} << (cls.members[j].rank % 64);
        for (uint32_t m : lmfi(d))
            if (bits_subset(upper_.data(), mfi_.data() + std::size_t{m} * rw, rw)) return;
        // Lookahead: when ids_ + the whole tail is frequent it is the only candidate.
        if (const uint32_t c = tail_count(cls, first_tail); c >= min_count_) {
            if (!extends_frequently(cls, first_tail)) {
                const std::size_t len = ids_.size() + (n - first_tail);
                if (len >= cx_.opt.min_len && len <= cx_.opt.max_len) {
                    std::vector<int32_t> row = ids_;
                    for (std::size_t j = first_tail; j < n; ++j)
                        row.push_back(static_cast<int32_t>(v_.id_of[cls.members[j].rank]));
                    std::sort(row.begin(), row.end());
                    Chunk& out = out_->current;
                    out.items.insert(out.items.end(), row.begin(), row.end());
                    out.counts.push_back(c);
                    out.lens.push_back(static_cast<uint32_t>(row.size()));
                    tick();
                }
                add_maximal(upper_.data(), d);
            }
            return;
        }
        for (std::size_t i = first_tail; i < n; ++i) {
            const Member e = levels_[d].members[i];
            Level& child = level(d + 1);
            if (!build_child(d, i, child, true)) continue;
            const std::size_t len = ids_.size() + 1 + closure_.size();
            if (len > cx_.opt.max_len) continue;
            push(e.rank);
            for (uint32_t q : closure_) push(q);
            const std::vector<uint32_t> added = closure_;
            // The known maximal sets that hold the new set.
            std::vector<uint32_t>& inner = lmfi(d + 1);
            inner.clear();
            for (uint32_t m : lmfi(d))
                if (bits_subset(qbits_.data(), mfi_.data() + std::size_t{m} * rw, rw)) inner.push_back(m);
            if (should_spawn(child, tail_size(child, e.rank + 1))) {
                std::vector<uint64_t> known;
                known.reserve(inner.size() * rw);
                for (uint32_t m : inner)
                    known.insert(known.end(), mfi_.begin() + std::size_t{m} * rw,
                                 mfi_.begin() + std::size_t{m + 1} * rw);
                spawn(child, e.rank + 1, e.count, [&](Search& sub) {
                    sub.set_qbits(qbits_);
                    sub.seed_maximal(std::move(known));
                });
            } else {
                maximal_node(d + 1, e.rank + 1, e.count);
            }
            for (auto it = added.rbegin(); it != added.rend(); ++it) pop(*it);
            pop(e.rank);
        }
    }

    //! Count of ids_ + every member from `first` on (the intersection of their sets);
    //! below min_count only known to be below it. Leaves the set in tail_set_ / tail_bits_.
    uint32_t tail_count(const Level& cls, std::size_t first) {
        const std::size_t n = cls.members.size();
        const Member& f = cls.members[first];
        if (v_.bits) {
            const std::size_t nw = v_.n_words;
            uint64_t* acc = tail_bits_.fresh(nw);
            std::memcpy(acc, bits(cls, f), nw * sizeof(uint64_t));
            uint32_t c = f.count;
            for (std::size_t j = first + 1; j < n && c >= min_count_; ++j)
                c = static_cast<uint32_t>(and_into(acc, bits(cls, cls.members[j]), acc, nw));
            return c;
        }
        uint32_t* acc = tail_set_.fresh(f.count);
        std::memcpy(acc, list(cls, f), f.count * sizeof(uint32_t));
        uint32_t c = f.count;
        for (std::size_t j = first + 1; j < n && c >= min_count_; ++j) {
            const Member& y = cls.members[j];
            c = intersect<true>(acc, c, list(cls, y), y.count, min_count_, acc);
        }
        tail_len_ = c;
        return c;
    }

    //! True when a member ranked before the tail still extends ids_ + tail frequently.
    bool extends_frequently(const Level& cls, std::size_t first_tail) {
        for (std::size_t j = 0; j < first_tail; ++j) {
            const Member& x = cls.members[j];
            uint32_t c;
            if (v_.bits) {
                c = static_cast<uint32_t>(and_count(tail_bits_.data(), bits(cls, x), v_.n_words));
            } else {
                // tail_set_ holds the tail's intersection; its length is recomputed cheaply
                // by the caller's count, kept in tail_len_.
                c = intersect<false>(tail_set_.data(), tail_len_, list(cls, x), x.count, min_count_, nullptr);
            }
            if (c >= min_count_) return true;
        }
        return false;
    }

    Context& cx_;
    const Vertical& v_;
    OutNode* out_;
    uint32_t min_count_;
    bool root_global_ = false;
    std::vector<int32_t> ids_;   // the prefix's item ids, ascending
    std::vector<uint32_t> pos_;  // where each pushed id went in ids_
    std::deque<Level> levels_;   // a deque: growing it keeps references to shallower levels valid
    std::vector<uint32_t> counter_, touched_, closure_;
    std::vector<uint64_t> qbits_, upper_, mfi_;
    std::vector<std::vector<uint32_t>> lmfi_;
    Scratch<uint64_t> tail_bits_;
    Scratch<uint32_t> tail_set_;
    uint32_t tail_len_ = 0;
    uint64_t unreported_ = 0;
    tbb::task_group tasks_;
};

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

    Context cx;
    cx.v = &v;
    cx.opt = options;
    cx.base_ids = base_ids;
    cx.rank_words = (v.size() + 63) / 64 + 1;
    cx.counted = options.max_itemsets != std::numeric_limits<uint64_t>::max();
    cx.parallel = pool::num_threads() > 1;

    OutNode root;
    auto body = [&] {
        Search s(cx, &root);
        s.set_root();
        s.ids() = base_ids;
        if (options.target == Target::all) {
            s.run(0, 0);
            return;
        }
        if (result.n_transactions < options.min_count || result.n_transactions == 0) return;
        if (options.target == Target::closed && !base_ids.empty() && base_ids.size() >= options.min_len &&
            base_ids.size() <= options.max_len)
            s.emit_prefix(result.n_transactions);
        if (base_ids.size() > options.max_len) return;
        s.run(0, result.n_transactions);
    };
    if (cx.parallel)
        pool::arena().execute(body);
    else
        body();
    if (cx.counted && cx.reported.load() > options.max_itemsets) Search::throw_too_many(options.max_itemsets);
    result.table = flatten(std::move(root));
    if (result.table.counts.size() > options.max_itemsets) Search::throw_too_many(options.max_itemsets);
    return result;
}

}  // namespace tallisk::engine
