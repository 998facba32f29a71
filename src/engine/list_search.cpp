// The engine's search on transaction rows (sparse data), delivering occurrences in the
// manner of LCM: a node scans the rows of its transactions once to count every later
// item in them (the closure and the frequent extensions follow from these counts; the
// prefix test intersects the rows' earlier parts, which usually runs dry within a few
// rows) and once more to hand each transaction to the lists of the extensions it holds.
// That costs the rows' lengths, where merging every pair of a large class would cost the
// class's size squared; the all-sets search also cuts the rows it hands down to the
// frequent extensions, so deeper scans read only what can still extend.
#include <algorithm>
#include <numeric>
#include <span>
#include <utility>

#include "engine/search.hpp"
#include "engine/setops.hpp"

namespace tallisk::engine::detail {
namespace {

class ListTask : public Task {
public:
    using Task::Task;
    //! A step of the closed or maximal search: a candidate's depth, its rows T[0, n) of
    //! db and the item e that made it.
    using Next = void (ListTask::*)(std::size_t d, const uint32_t* T, uint32_t n, uint32_t e, Rows db);

    //! The root: every transaction.
    void start_root(std::vector<int32_t> base, uint32_t n_transactions) {
        ids_ = std::move(base);
        start_e_ = kNone;
        start_list_.resize(n_transactions);
        std::iota(start_list_.begin(), start_list_.end(), uint32_t{0});
    }

private:
    void search() override {
        start_maximal(run_.empty());
        counter_.assign(v_.size(), 0);
        slot_.assign(v_.size(), kNone);
        if (in_q_.empty()) in_q_.assign(v_.size(), 0);
        if (!run_.empty()) {
            search_run();
            return;
        }
        const uint32_t* T = start_list_.data();
        const auto n = static_cast<uint32_t>(start_list_.size());
        const Rows own{start_off_.data(), start_data_.data(), start_tid_.empty() ? nullptr : start_tid_.data()};
        switch (cx_.opt.target) {
            case Target::all:
                if (start_e_ == kNone && start_off_.empty())
                    all_root();
                else
                    all_rows(0, T, n, start_e_ + 1, own);
                break;
            case Target::closed:
            case Target::maximal:
                if (start_e_ == kNone)
                    closure_root(T, n);
                else if (cx_.opt.target == Target::closed)
                    closed_rows(0, T, n, start_e_, own);
                else
                    maximal_rows(0, T, n, start_e_, own);
                break;
        }
    }

    Rows global_rows() const { return Rows{v_.rows.offsets.data(), v_.rows.values.data()}; }

    //! Counts, in counter_, every rank from `from` on in the rows T[0, n) of db; touched_
    //! lists the ranks met, in no particular order. With `mark`, where each row's ranks
    //! from `from` on start is kept in skip_, for a pass over the same rows to follow.
    template <bool mark = false>
    void count_rows(const uint32_t* T, uint32_t n, uint32_t from, Rows db) {
        touched_.clear();
        if constexpr (mark) skip_.resize(n);
        for (uint32_t k = 0; k < n; ++k) {
            if (k + 2 * tuning::kEngineRowPrefetch < n)
                __builtin_prefetch(&db.off[T[k + 2 * tuning::kEngineRowPrefetch]]);
            if (k + tuning::kEngineRowPrefetch < n)
                __builtin_prefetch(db.data + db.off[T[k + tuning::kEngineRowPrefetch]]);
            const auto row = db(T[k]);
            const uint32_t* it = from == 0 ? row.data() : first_after(row.data(), row.size(), from - 1);
            if constexpr (mark) skip_[k] = static_cast<uint32_t>(it - row.data());
            for (const uint32_t* end = row.data() + row.size(); it != end; ++it)
                if (counter_[*it]++ == 0) touched_.push_back(*it);
        }
    }

    static void by_rank(std::vector<Member>& members) {
        std::sort(members.begin(), members.end(), [](const Member& a, const Member& b) { return a.rank < b.rank; });
    }

    //! True when an item ranked before e and outside the prefix is in the transactions
    //! of every row T[0, n) of db: the closure of the candidate would then not preserve
    //! the prefix. The view's rows are intersected one by one (the cut rows hold no
    //! earlier items), which usually empties the set within a few rows.
    bool closes_below(const uint32_t* T, uint32_t n, uint32_t e, Rows db) {
        if (e == kNone || e == 0 || n == 0) return false;
        cand_.clear();
        for (uint32_t q : v_.row(db.txn(T[0]))) {
            if (q >= e) break;
            if (!in_q_[q]) cand_.push_back(q);
        }
        for (uint32_t k = 1; k < n && !cand_.empty(); ++k) {
            const auto row = v_.row(db.txn(T[k]));
            std::size_t w = 0, j = 0;
            for (uint32_t q : cand_) {
                while (j < row.size() && row[j] < q) ++j;
                if (j < row.size() && row[j] == q) cand_[w++] = q;
            }
            cand_.resize(w);
        }
        return !cand_.empty();
    }

    //! True when an item ranked before e and outside the prefix is in the transactions of
    //! at least min_count of the rows T[0, n) of db.
    bool extends_below(const uint32_t* T, uint32_t n, uint32_t e, Rows db) {
        if (e == kNone || e == 0) return false;
        touched_.clear();
        const bool extends = reaches_min_count(
            n, [&](uint32_t k) { return v_.row(db.txn(T[k])); }, [&](uint32_t q) { return q < e; },
            [&](uint32_t q) { return !in_q_[q]; });
        clear_counts();
        return extends;
    }

    //! True when an item is in at least min_count of the n rows row(0 .. n - 1) (spans of
    //! ascending ranks), counting in counter_ and touched_ the items q with counted(q)
    //! among each row's leading items for which in_front(q) holds. Stops at the first
    //! item that reaches min_count, which finds most sets that are not maximal within a
    //! fraction of their rows, and as soon as no item can reach it any more: an item met
    //! in c of the first k rows is in at most c + n - k of all, one not yet met in at
    //! most n - k. Maximal sets, which no item extends, are mostly told within a few
    //! rows more than n - min_count.
    template <class Row, class InFront, class Counted>
    bool reaches_min_count(uint32_t n, Row&& row, InFront&& in_front, Counted&& counted) {
        if (n < min_count_) return false;
        const uint32_t slack = n - min_count_;
        uint32_t most = 0;  // the largest count so far
        for (uint32_t k = 0; k < n; ++k) {
            if (k > slack && most + (n - k) < min_count_) return false;
            for (uint32_t q : row(k)) {
                if (!in_front(q)) break;
                if (!counted(q)) continue;
                const uint32_t c = ++counter_[q];
                if (c == 1) touched_.push_back(q);
                if (c >= min_count_) return true;
                most = std::max(most, c);
            }
        }
        return false;
    }

    void clear_counts() {
        for (uint32_t q : touched_) counter_[q] = 0;
    }

    //! Delivers the candidate ids_ (reached by adding e, kNone at the root) whose
    //! transactions are rows T[0, n) of db to its extensions lv.members (rank and count
    //! set): writes each member's list of the rows holding it, as numbers 0 .. n - 1 of
    //! the rows cut for the level below, which keep the members only. Every set below
    //! extends the candidate by later members, so its scans need no other items; the
    //! tests on earlier items read the view's rows of the cut rows' transactions.
    void deliver(const uint32_t* T, uint32_t n, uint32_t e, Rows db, Level& lv) {
        const uint32_t from = e == kNone ? 0 : e + 1;
        uint32_t* lists = place_members(lv);
        const std::size_t total = lv.members.empty() ? 0 : lv.members.back().off + lv.members.back().count;
        std::size_t* off = lv.row_off.fresh(std::size_t{n} + 1);
        uint32_t* data = lv.row_data.fresh(total);
        uint32_t* tid = lv.row_tid.fresh(n);
        std::size_t w = 0;
        for (uint32_t k = 0; k < n; ++k) {
            if (k + 2 * tuning::kEngineRowPrefetch < n)
                __builtin_prefetch(&db.off[T[k + 2 * tuning::kEngineRowPrefetch]]);
            if (k + tuning::kEngineRowPrefetch < n)
                __builtin_prefetch(db.data + db.off[T[k + tuning::kEngineRowPrefetch]]);
            off[k] = w;
            tid[k] = db.txn(T[k]);
            const auto row = db(T[k]);
            const uint32_t* it = from == 0 ? row.data() : first_after(row.data(), row.size(), from - 1);
            for (const uint32_t* end = row.data() + row.size(); it != end; ++it) {
                const uint32_t s = slot_[*it];
                if (s == kNone) continue;
                data[w++] = *it;
                lists[lv.members[s].off++] = k;
            }
        }
        off[n] = w;
        members_placed(lv);
        lv.rows = Rows{off, data, tid};
    }

    //! Gives each member of lv its place in lv's lists (m.off) and its slot, and returns
    //! the lists' storage; a pass then appends each member's transactions at m.off++.
    uint32_t* place_members(Level& lv) {
        std::size_t total = 0;
        for (std::size_t j = 0; j < lv.members.size(); ++j) {
            Member& m = lv.members[j];
            m.off = total;
            total += m.count;
            slot_[m.rank] = static_cast<uint32_t>(j);
        }
        uint32_t* lists = lv.own_ids.fresh(total);
        lv.ids = lists;
        return lists;
    }

    //! After that pass: every m.off back at its list's start, the slots free again.
    void members_placed(Level& lv) {
        for (Member& m : lv.members) {
            m.off -= m.count;
            slot_[m.rank] = kNone;
        }
    }

    //! Estimated work below a member with `later` possible extensions, whose rows are
    //! `row_length` long on average: the row steps of its first scan.
    static double row_work(const Member& m, std::size_t later, double row_length) {
        return static_cast<double>(m.count) * std::min(static_cast<double>(later), row_length);
    }

    //! Searches members [0, n) of level 0 with `search(i)`, handing runs of them to tasks.
    //! Level 0 of a task is written once and kept until the task's own tasks are done, so
    //! a task reads its members' lists (and `db`, the rows they point into) in place. Runs
    //! gather consecutive members until their work reaches the task size: on
    //! sparse data most subtrees are far too small to be a task each, and a task per
    //! subtree would cost more than it shares. A member large enough on its own goes
    //! alone; what is left at the end is searched here.
    template <class SearchOne>
    void share_level0(const Level& lv, std::size_t n, Rows db, double row_length, SearchOne&& search) {
        std::size_t first = 0;
        double work = 0.0;
        for (std::size_t i = 0; i < n && cx_.parallel; ++i) {
            const double w = row_work(lv.members[i], lv.members.size() - i, row_length);
            if (w >= cx_.opt.task_work && first < i) {
                for (; first < i; ++first) search(first);
                work = 0.0;
            }
            work += w;
            if (work < cx_.opt.task_work) continue;
            spawn<ListTask>([&](ListTask& sub) {
                sub.run_ = std::span<const Member>(lv.members.data() + first, i + 1 - first);
                sub.run_ids_ = lv.ids;
                sub.run_db_ = db;
                if (cx_.opt.target == Target::maximal) sub.known_.seed(known_.copy_at(1), sub.run_depth());
            });
            first = i + 1;
            work = 0.0;
        }
        for (; first < n; ++first) search(first);
    }

    //! The depth a task searches its run of members from: level 0 when it has one
    //! member (whose level 0 then lends its lists in turn), else level 1, as level 0
    //! would be rewritten by the next member while tasks may still read it.
    std::size_t run_depth() const { return run_.size() == 1 ? 0 : 1; }

    //! A task's run of members, each searched in turn as its spawner would have.
    void search_run() {
        const std::size_t d = run_depth();
        for (const Member& m : run_) {
            const uint32_t* list = run_ids_ + m.off;
            switch (cx_.opt.target) {
                case Target::all:
                    push(m.rank);
                    all_rows(d, list, m.count, m.rank + 1, run_db_);
                    pop(m.rank);
                    break;
                case Target::closed: closed_rows(d, list, m.count, m.rank, run_db_); break;
                case Target::maximal:
                    known_.take(qbits_, d, m.rank);
                    maximal_rows(d, list, m.count, m.rank, run_db_);
                    known_.publish();
                    break;
            }
        }
    }

    //! ids_ is a frequent set whose transactions are rows T[0, n) of db; reports its
    //! extensions by ranks from `from` on, depth first. The rows handed down are cut to
    //! the frequent extensions, so deeper scans read only what can still extend.
    void all_rows(std::size_t d, const uint32_t* T, uint32_t n, uint32_t from, Rows db) {
        count_rows<true>(T, n, from, db);
        Level& lv = level(d);
        lv.members.clear();
        for (uint32_t q : touched_)
            if (counter_[q] >= min_count_) lv.members.push_back(Member{q, counter_[q], 0});
        clear_counts();
        by_rank(lv.members);
        const std::size_t len = path_.size() + 1;
        if (len >= cx_.opt.min_len)
            for (const Member& m : lv.members) emit_with(static_cast<int32_t>(v_.id_of[m.rank]), m.count);
        if (len >= cx_.opt.max_len || lv.members.size() < 2) return;
        // One pass writes every member's positions and the cut rows.
        uint32_t* lists = place_members(lv);
        const std::size_t total = lv.members.back().off + lv.members.back().count;
        std::size_t* off = lv.row_off.fresh(std::size_t{n} + 1);
        uint32_t* data = lv.row_data.fresh(total);
        std::size_t w = 0;
        for (uint32_t k = 0; k < n; ++k) {
            if (k + 2 * tuning::kEngineRowPrefetch < n)
                __builtin_prefetch(&db.off[T[k + 2 * tuning::kEngineRowPrefetch]]);
            if (k + tuning::kEngineRowPrefetch < n)
                __builtin_prefetch(db.data + db.off[T[k + tuning::kEngineRowPrefetch]]);
            off[k] = w;
            const auto row = db(T[k]);
            for (const uint32_t *it = row.data() + skip_[k], *end = row.data() + row.size(); it != end; ++it) {
                const uint32_t s = slot_[*it];
                if (s == kNone) continue;
                data[w++] = *it;
                lists[lv.members[s].off++] = k;
            }
        }
        off[n] = w;
        members_placed(lv);
        descend_rows(d, lv, Rows{off, data}, static_cast<double>(w) / n);
    }

    //! Level 0 as the view itself: every ranked item, its list the view's.
    const Level& view_level() {
        Level& lv = level(0);
        lv.members.resize(v_.size());
        for (uint32_t r = 0; r < v_.size(); ++r) lv.members[r] = Member{r, v_.count[r], v_.lists.offsets[r]};
        lv.ids = v_.lists.values.data();
        lv.rows = global_rows();
        return lv;
    }

    //! The root of the closed and maximal searches on lists. The empty prefix (with the
    //! items of every transaction, which the view leaves out) is its own closure and its
    //! extensions are every ranked item, with the view's lists: open_closure's count and
    //! the delivery, passes over every occurrence on one thread before any task starts,
    //! are not needed.
    void closure_root(const uint32_t* T, uint32_t n) {
        const Level& lv = view_level();
        if (cx_.opt.target == Target::maximal)
            maximal_below(0, T, n, kNone, global_rows(), ids_.size(), {});
        else if (!lv.members.empty())
            extend_closure(0, T, n, kNone, global_rows(), &ListTask::closed_rows);
    }

    //! The root of the all-sets search on lists: every ranked item is frequent, its
    //! transactions are the view's list and the rows cut to the frequent items are the
    //! view's rows, so the root needs neither all_rows' count nor its cutting pass (both
    //! a pass over every occurrence on one thread before any task starts).
    void all_root() {
        const Level& lv = view_level();
        if (cx_.opt.min_len <= 1)
            for (const Member& m : lv.members) emit_with(static_cast<int32_t>(v_.id_of[m.rank]), m.count);
        if (cx_.opt.max_len <= 1 || lv.members.size() < 2) return;
        descend_rows(0, lv, global_rows(), cx_.row_length);
    }

    //! Searches below each member of level d but the last (which has no later one to
    //! extend by); `cut` holds the rows its lists point into, `row_length` long on average.
    void descend_rows(std::size_t d, const Level& lv, const Rows cut, double row_length) {
        const std::size_t n = lv.members.size() - 1;
        auto search = [&](std::size_t i) {
            const Member m = lv.members[i];
            push(m.rank);
            all_rows(d + 1, lv.ids + m.off, m.count, m.rank + 1, cut);
            pop(m.rank);
        };
        if (d == 0) return share_level0(lv, n, cut, row_length, search);
        for (std::size_t i = 0; i < n; ++i) {
            const Member m = lv.members[i];
            if (!large(m, lv.members.size() - i, row_length)) {
                search(i);
                continue;
            }
            // Deeper levels are rewritten by later siblings: the task gets its own copy of
            // its rows, renumbered 0 .. count - 1.
            push(m.rank);
            spawn<ListTask>([&](ListTask& sub) {
                sub.own_rows(lv.ids + m.off, m.count, cut);
                sub.start_e_ = m.rank;
            });
            pop(m.rank);
        }
    }

    //! Starts this task from its own copy of the rows `list` (count of them) of `cut`,
    //! renumbered 0 .. count - 1: deeper levels of the spawning task are rewritten by
    //! later siblings.
    void own_rows(const uint32_t* list, uint32_t count, Rows cut) {
        start_list_.resize(count);
        std::iota(start_list_.begin(), start_list_.end(), uint32_t{0});
        start_off_.resize(std::size_t{count} + 1);
        start_off_[0] = 0;
        for (uint32_t k = 0; k < count; ++k) {
            const auto row = cut(list[k]);
            start_data_.insert(start_data_.end(), row.begin(), row.end());
            start_off_[k + 1] = start_data_.size();
        }
        if (cut.tid != nullptr) {
            start_tid_.resize(count);
            for (uint32_t k = 0; k < count; ++k) start_tid_[k] = cut.tid[list[k]];
        }
    }

    //! True when the subtree below a member of a deeper level is worth a task of its own.
    bool large(const Member& m, std::size_t later, double row_length) const {
        return cx_.parallel && later >= 2 && row_work(m, later, row_length) >= cx_.opt.task_work;
    }

    //! Counts the rows of the candidate ids_ + e (e kNone: ids_ itself), rows T[0, n) of
    //! db, from e on, and puts the items ranked after e that are in all of them into
    //! closure_. False when an item ranked before e is in all of them (the closure would
    //! not preserve the prefix); nothing is left counted then.
    bool close_candidate(const uint32_t* T, uint32_t n, uint32_t e, Rows db) {
        if (closes_below(T, n, e, db)) return false;
        count_rows(T, n, e == kNone ? 0 : e + 1, db);
        closure_.clear();
        for (uint32_t q : touched_)
            if (counter_[q] == n && !in_q_[q]) closure_.push_back(q);
        return true;
    }

    //! Opens the candidate ids_ + e (e kNone: ids_ itself) with rows T[0, n) of db for
    //! closed_rows and maximal_rows. False when its closure does not preserve the prefix
    //! or is longer than max_len. Otherwise level d holds the candidate's extensions (the
    //! later items that stay frequent without being in all n transactions), e and the
    //! closure `added` are pushed, and `len` is the closed set's length.
    bool open_closure(std::size_t d, const uint32_t* T, uint32_t n, uint32_t e, Rows db, std::vector<uint32_t>& added,
                      std::size_t& len) {
        if (!close_candidate(T, n, e, db)) return false;
        len = ids_.size() + (e == kNone ? 0 : 1) + closure_.size();
        if (len > cx_.opt.max_len) {
            clear_counts();
            return false;
        }
        Level& lv = level(d);
        lv.members.clear();
        lv.ids = nullptr;  // the lists are delivered when the search goes below
        for (uint32_t q : touched_)
            if (counter_[q] >= min_count_ && counter_[q] < n && !in_q_[q])
                lv.members.push_back(Member{q, counter_[q], 0});
        clear_counts();
        by_rank(lv.members);
        added = closure_;
        push_all(e, added);
        return true;
    }

    //! Hands each extension of level d its rows (unless the level holds its lists
    //! already) and searches it with `next`, as a task of its own when it is large
    //! enough; a maximal search seeds such a task with the known maximal sets that hold
    //! its prefix. The candidate's rows are T[0, n) of db.
    void extend_closure(std::size_t d, const uint32_t* T, uint32_t n, uint32_t e, Rows db, Next next) {
        Level& lv = level(d);
        if (lv.ids == nullptr) deliver(T, n, e, db, lv);
        const Rows cut = lv.rows;
        auto search = [&](std::size_t i) {
            const Member m = lv.members[i];
            (this->*next)(d + 1, lv.ids + m.off, m.count, m.rank, cut);
        };
        const double row_length = d == 0 ? cx_.row_length : static_cast<double>(cut.off[n]) / n;
        if (d == 0) return share_level0(lv, lv.members.size(), cut, row_length, search);
        for (std::size_t i = 0; i < lv.members.size(); ++i) {
            const Member m = lv.members[i];
            if (!large(m, lv.members.size() - i, row_length)) {
                search(i);
                continue;
            }
            spawn<ListTask>([&](ListTask& sub) {
                sub.own_rows(lv.ids + m.off, m.count, cut);
                sub.start_e_ = m.rank;
                if (next == &ListTask::maximal_rows) sub.known_.seed(known_.copy_at(d + 1), 0);
            });
        }
    }

    //! ids_ is a closed set, e (kNone at the root) the item that extends it to a new
    //! candidate, rows T[0, n) of db the candidate's transactions: reports the
    //! candidate's closure when it preserves the prefix, then the closed sets grown from
    //! it.
    void closed_rows(std::size_t d, const uint32_t* T, uint32_t n, uint32_t e, Rows db) {
        std::vector<uint32_t> added;
        std::size_t len = 0;
        if (!open_closure(d, T, n, e, db, added, len)) return;
        if (e != kNone && len >= cx_.opt.min_len) emit_prefix(n);
        if (!level(d).members.empty()) extend_closure(d, T, n, e, db, &ListTask::closed_rows);
        pop_all(e, added);
    }

    //! As closed_rows, reporting the maximal sets among the candidate's closure and the
    //! sets grown from it; known maximal sets holding the current prefix are lmfi(d).
    void maximal_rows(std::size_t d, const uint32_t* T, uint32_t n, uint32_t e, Rows db) {
        std::vector<uint32_t> added;
        std::size_t len = 0;
        if (!open_closure(d, T, n, e, db, added, len)) return;
        maximal_below(d, T, n, e, db, len, added);
        pop_all(e, added);
    }

    //! The maximal sets among the candidate ids_ (length len, rows T[0, n) of db, reached
    //! by adding e and its closure `added`) and the sets grown from its extensions,
    //! level d.
    void maximal_below(std::size_t d, const uint32_t* T, uint32_t n, uint32_t e, Rows db, std::size_t len,
                       const std::vector<uint32_t>& added) {
        known_.narrow(d, e, added);
        Level& lv = level(d);
        // Subset check: every set below, ids_ itself included, lies within ids_ + the
        // extensions; inside a known maximal set none is maximal.
        if (known_.covered(d + 1, lv.members)) return;
        if (lv.members.empty()) {
            if (!extends_below(T, n, e, db)) {
                // No item extends the set frequently: maximal.
                if (len >= cx_.opt.min_len && len >= 1) emit_prefix(n);
                known_.add(qbits_.data(), d + 1);
            }
            return;
        }
        upper_.assign(qbits_.begin(), qbits_.end());
        for (const Member& m : lv.members) upper_[m.rank / 64] |= uint64_t{1} << (m.rank % 64);
        if (lv.ids == nullptr) deliver(T, n, e, db, lv);
        if (lv.members.size() < 2 || !lookahead(lv, len, d)) extend_closure(d, T, n, e, db, &ListTask::maximal_rows);
    }

    //! Lookahead on lists: the transactions holding ids_ + every member of lv (whose
    //! lists are delivered), by intersecting the members' lists from the shortest on,
    //! which usually falls below min_count within a few lists; when that set is frequent,
    //! every other item is counted in those transactions. A frequent set is the only
    //! candidate below; it is reported when no item extends it. Returns true when it was
    //! frequent.
    bool lookahead(const Level& lv, std::size_t len, std::size_t d) {
        const auto want = static_cast<uint32_t>(lv.members.size());
        const Member* shortest = &lv.members[0];
        for (const Member& m : lv.members)
            if (m.count < shortest->count) shortest = &m;
        uint32_t* have = look_a_.fresh(shortest->count);
        uint32_t* next = look_b_.fresh(shortest->count);
        std::copy(lv.ids + shortest->off, lv.ids + shortest->off + shortest->count, have);
        uint32_t c = shortest->count;
        for (const Member& m : lv.members) {
            if (&m == shortest) continue;
            c = intersect<true>(have, c, lv.ids + m.off, m.count, min_count_, next);
            if (c < min_count_) return false;
            std::swap(have, next);
        }
        for (const Member& m : lv.members) slot_[m.rank] = 0;
        touched_.clear();
        const bool extends = reaches_min_count(
            c, [&](uint32_t k) { return v_.row(lv.rows.txn(have[k])); }, [](uint32_t) { return true; },
            [&](uint32_t q) { return slot_[q] != 0 && !in_q_[q]; });
        for (const Member& m : lv.members) slot_[m.rank] = kNone;
        clear_counts();
        if (!extends) {
            const std::size_t full = len + want;
            if (full >= cx_.opt.min_len && full <= cx_.opt.max_len) {
                std::vector<int32_t> row = ids_;
                for (const Member& m : lv.members) row.push_back(static_cast<int32_t>(v_.id_of[m.rank]));
                emit_sorted(row, c);
            }
            known_.add(upper_.data(), d + 1);
        }
        return true;
    }

    std::vector<uint32_t> skip_;  // per row of the last count_rows<true>: where its counted ranks start
    // Where this task starts: its transactions, and for the all-sets search their rows
    // (cut to the later frequent items) when the task has its own...
    std::vector<uint32_t> start_list_;
    std::vector<std::size_t> start_off_;  // own rows (all-sets search), else empty
    std::vector<uint32_t> start_data_;
    std::vector<uint32_t> start_tid_;  // their transactions (closed and maximal sets)
    // ... or a run of members of the spawning task's level 0, read in place: their lists
    // start at run_ids_ and point into the rows run_db_.
    std::span<const Member> run_;
    const uint32_t* run_ids_ = nullptr;
    Rows run_db_;
    std::vector<uint32_t> counter_, slot_, touched_, cand_;
    Scratch<uint32_t> look_a_, look_b_;  // transaction lists of the lookahead
};

}  // namespace

std::unique_ptr<Task> list_root(Context& cx, OutNode* out, std::vector<int32_t> base, uint32_t n_transactions) {
    auto root = std::make_unique<ListTask>(cx, out);
    root->start_root(std::move(base), n_transactions);
    return root;
}

}  // namespace tallisk::engine::detail
