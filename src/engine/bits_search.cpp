// The engine's search on bitsets (dense data): a class holds every member's set of
// transactions as a bitset over all transactions, and a child class is built by ANDing
// one member with the later ones (Eclat). For closed and maximal sets the test that an
// earlier item does not hold all of a candidate's transactions runs against the items'
// global bitsets, so classes never carry earlier members.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#include "engine/search.hpp"
#include "engine/setops.hpp"

namespace tallisk::engine::detail {
namespace {

//! 2^(n / 3) for n = 0 .. 24: how much faster than its square a dense class of n
//! extending members grows (a table: the search asks for it at every class it builds).
const std::array<double, 25> kGrowth = [] {
    std::array<double, 25> g{};
    for (std::size_t n = 0; n < g.size(); ++n) g[n] = std::exp2(static_cast<double>(n) / 3.0);
    return g;
}();

class BitsTask : public Task {
public:
    using Task::Task;

    //! The root: level 0 holds every ranked item with its global bitset.
    void start_root(std::vector<int32_t> base, uint32_t n_transactions) {
        ids_ = std::move(base);
        start_e_ = kNone;
        start_count_ = n_transactions;
        Level& root = level(0);
        root.members.resize(v_.size());
        for (uint32_t r = 0; r < v_.size(); ++r) root.members[r] = Member{r, v_.count[r], r * v_.n_words};
        root.words = v_.words.data();
    }

private:
    void search() override {
        start_maximal(true);
        if (cx_.opt.target != Target::all && in_q_.empty()) in_q_.assign(v_.size(), 0);
        switch (cx_.opt.target) {
            case Target::all: all_class(0); break;
            case Target::closed: closed_class(0); break;
            case Target::maximal:
                if (start_set_.empty()) {
                    // The empty prefix: every transaction.
                    start_set_.assign(v_.n_words, ~uint64_t{0});
                    if (v_.n_transactions % 64) start_set_.back() = (uint64_t{1} << (v_.n_transactions % 64)) - 1;
                }
                maximal_node(0, start_e_, start_count_, start_set_.data());
                break;
        }
    }

    const uint64_t* bits(const Level& l, const Member& m) const { return l.words + m.off; }

    //! A class of n members, of which n_extending extend, is worth a task when the
    //! ANDs of its first two levels reach the task size; on dense data a class of n
    //! members can hold up to 2^n sets, so its size counts for more than its square.
    bool spawn_class(const Level& child, std::size_t n_extending) const {
        if (!cx_.parallel || n_extending < 2) return false;
        const double n = static_cast<double>(child.members.size());
        const double growth = kGrowth[std::min<std::size_t>(n_extending, kGrowth.size() - 1)];
        return static_cast<double>(n_extending) * n * static_cast<double>(v_.n_words) * growth >= cx_.opt.task_work;
    }

    //! Class of prefix + member i of `cls` (all sets): the later members whose
    //! intersection with it is frequent, built into `child`.
    void build_child(const Level& cls, std::size_t i, Level& child) {
        const Member& e = cls.members[i];
        const std::size_t n = cls.members.size();
        child.members.clear();
        const std::size_t nw = v_.n_words;
        uint64_t* out = child.own_words.fresh((n - i) * nw);
        child.words = out;
        std::size_t off = 0;
        const uint64_t* a = bits(cls, e);
        for (std::size_t j = i + 1; j < n; ++j) {
            const Member& y = cls.members[j];
            const auto c = static_cast<uint32_t>(and_into(a, bits(cls, y), out + off, nw));
            if (c < min_count_) continue;
            child.members.push_back(Member{y.rank, c, off});
            off += nw;
        }
    }

    //! True when an item ranked before `below`, outside the prefix, is in every
    //! transaction of `set` (which has `count` of them): the closure would then not
    //! preserve the prefix. Containment in the item's global set is containment in its
    //! set under the prefix, as `set` lies inside the prefix's transactions.
    bool contained_below(const uint64_t* set, uint32_t count, uint32_t below) const {
        for (uint32_t y = 0; y < below && y < v_.size(); ++y)
            if (!in_q_[y] && v_.count[y] >= count && bits_subset(set, v_.bitset(y), v_.n_words)) return true;
        return false;
    }

    //! True when an item ranked before `below`, outside the prefix, is in at least
    //! min_count of the transactions of `set`.
    bool frequent_below(const uint64_t* set, uint32_t below) const {
        for (uint32_t y = 0; y < below && y < v_.size(); ++y)
            if (!in_q_[y] && v_.count[y] >= min_count_ && and_count(set, v_.bitset(y), v_.n_words) >= min_count_)
                return true;
        return false;
    }

    //! Closed and maximal sets on bitsets: the class of prefix + member i of level d is
    //! built from the later members only; later members whose set contains member i's
    //! go to closure_. Returns false when an earlier item holds all of member i's
    //! transactions (checked against the global bitsets, so classes carry no earlier
    //! members).
    bool build_tail_child(const Level& cls, std::size_t i, Level& child) {
        const Member& e = cls.members[i];
        child.members.clear();
        closure_.clear();
        const uint64_t* a = bits(cls, e);
        if (contained_below(a, e.count, e.rank)) return false;
        const std::size_t n = cls.members.size();
        const std::size_t nw = v_.n_words;
        uint64_t* out = child.own_words.fresh((n - i) * nw);
        child.words = out;
        std::size_t off = 0;
        for (std::size_t j = i + 1; j < n; ++j) {
            const Member& y = cls.members[j];
            const auto c = static_cast<uint32_t>(and_into(a, bits(cls, y), out + off, nw));
            if (c < min_count_) continue;
            if (c == e.count) {
                closure_.push_back(y.rank);
                continue;
            }
            child.members.push_back(Member{y.rank, c, off});
            off += nw;
        }
        return true;
    }

    void all_class(std::size_t d) {
        const std::size_t len = path_.size() + 1;
        const bool report = len >= cx_.opt.min_len;
        const bool deeper = len < cx_.opt.max_len;
        // A deque keeps references to its elements valid as it grows.
        const Level& cls = levels_[d];
        Level& child = level(d + 1);
        const std::size_t n = cls.members.size();
        for (std::size_t i = 0; i < n; ++i) {
            const Member e = cls.members[i];
            if (report) emit_with(static_cast<int32_t>(v_.id_of[e.rank]), e.count);
            if (!deeper || i + 1 == n) continue;
            build_child(cls, i, child);
            if (child.members.empty()) continue;
            push(e.rank);
            if (spawn_class(child, child.members.size()))
                spawn<BitsTask>([&](BitsTask& sub) { std::swap(sub.level(0), child); });
            else
                all_class(d + 1);
            pop(e.rank);
        }
    }

    //! Level d is the class of the closed set ids_ (every frequent one-item extension,
    //! before and after the core); extends by members ranked from core_plus_one on.
    void closed_class(std::size_t d) {
        const Level& cls = levels_[d];
        Level& child = level(d + 1);
        const std::size_t n = cls.members.size();
        for (std::size_t i = 0; i < n; ++i) {
            const Member e = cls.members[i];
            if (!build_tail_child(cls, i, child)) continue;
            const std::size_t len = ids_.size() + 1 + closure_.size();
            if (len > cx_.opt.max_len) continue;  // every set below is longer still
            const std::vector<uint32_t> added = closure_;
            push_all(e.rank, added);
            if (len >= cx_.opt.min_len) emit_prefix(e.count);
            const std::size_t tail = child.members.size();
            if (tail > 0) {
                if (spawn_class(child, tail))
                    spawn<BitsTask>([&](BitsTask& sub) {
                        std::swap(sub.level(0), child);
                        sub.start_e_ = e.rank;
                    });
                else
                    closed_class(d + 1);
            }
            pop_all(e.rank, added);
        }
    }

    //! Level d is the class of the closed set ids_ (count `count`, transactions `qset`,
    //! reached by adding e; kNone at the root): its later frequent extensions. Reports
    //! the maximal sets among ids_ and the sets grown from it.
    void maximal_node(std::size_t d, uint32_t e, uint32_t count, const uint64_t* qset) {
        Level& cls = levels_[d];
        const std::size_t n = cls.members.size();
        const std::size_t nw = v_.n_words;
        const uint32_t below = e == kNone ? 0 : e;
        // Subset check: every set below, ids_ itself included, lies within ids_ + the
        // class; inside a known maximal set none is maximal.
        if (known_.covered(d, cls.members)) return;
        if (n == 0) {
            // No later item extends the set frequently; maximal unless an earlier one does.
            if (frequent_below(qset, below)) return;
            if (ids_.size() >= cx_.opt.min_len && ids_.size() <= cx_.opt.max_len) emit_prefix(count);
            known_.add(qbits_.data(), d);
            return;
        }
        upper_.assign(qbits_.begin(), qbits_.end());
        for (const Member& m : cls.members) upper_[m.rank / 64] |= uint64_t{1} << (m.rank % 64);
        // Lookahead: when ids_ + the whole class is frequent it is the only candidate.
        uint64_t* acc = tail_bits_.fresh(nw);
        std::memcpy(acc, bits(cls, cls.members[0]), nw * sizeof(uint64_t));
        uint32_t c = cls.members[0].count;
        for (std::size_t j = 1; j < n && c >= min_count_; ++j)
            c = static_cast<uint32_t>(and_into(acc, bits(cls, cls.members[j]), acc, nw));
        if (c >= min_count_) {
            if (!frequent_below(acc, below)) {
                const std::size_t len = ids_.size() + n;
                if (len >= cx_.opt.min_len && len <= cx_.opt.max_len) {
                    std::vector<int32_t> row = ids_;
                    for (const Member& m : cls.members) row.push_back(static_cast<int32_t>(v_.id_of[m.rank]));
                    emit_sorted(row, c);
                }
                known_.add(upper_.data(), d);
            }
            return;
        }
        Level& child = level(d + 1);
        for (std::size_t i = 0; i < n; ++i) {
            const Member m = cls.members[i];
            if (!build_tail_child(cls, i, child)) continue;
            const std::size_t len = ids_.size() + 1 + closure_.size();
            if (len > cx_.opt.max_len) continue;
            const std::vector<uint32_t> added = closure_;
            const uint64_t* mset = bits(cls, m);
            push_all(m.rank, added);
            known_.narrow(d, m.rank, added);
            if (spawn_class(child, child.members.size())) {
                spawn<BitsTask>([&](BitsTask& sub) {
                    std::swap(sub.level(0), child);
                    sub.start_e_ = m.rank;
                    sub.start_count_ = m.count;
                    sub.start_set_.assign(mset, mset + nw);
                    sub.known_.seed(known_.copy_at(d + 1), 0);
                });
            } else {
                maximal_node(d + 1, m.rank, m.count, mset);
            }
            pop_all(m.rank, added);
        }
    }

    // Where this task starts: its class in level 0, and for maximal sets the count and
    // the transactions of the prefix.
    uint32_t start_count_ = 0;
    std::vector<uint64_t> start_set_;
    Scratch<uint64_t> tail_bits_;  // the lookahead's intersection
};

}  // namespace

std::unique_ptr<Task> bits_root(Context& cx, OutNode* out, std::vector<int32_t> base, uint32_t n_transactions) {
    auto root = std::make_unique<BitsTask>(cx, out);
    root->start_root(std::move(base), n_transactions);
    return root;
}

}  // namespace tallisk::engine::detail
