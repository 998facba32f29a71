#include "engine/mine.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <numeric>
#include <string>

#include "common/error.hpp"
#include "common/index.hpp"
#include "common/pool.hpp"
#include "common/tuning.hpp"
#include "engine/data.hpp"
#include "engine/setops.hpp"

namespace tallisk::engine {

namespace {

//! Writes the n ascending items of `prefix` with `id` (not among them) in its place.
inline void insert_into(const int32_t* prefix, std::size_t n, int32_t id, int32_t* out) {
    std::size_t at = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t after = prefix[k] > id;
        out[k + after] = prefix[k];
        at += 1 - after;
    }
    out[at] = id;
}

//! insert_into for the common short rows, with no branch. With the prefix ascending,
//! padded past its n items with the largest int32 and preceded by the smallest, item k of
//! the row is max(prefix[k - 1], min(prefix[k], id)): the prefix's own item below the
//! place of id, id at it, the item before above it. Reads prefix[-1] to prefix[kShort - 1]
//! and writes kShort items, of which the first n + 1 are the row (the rest stay the
//! padding). Written with explicit vectors: once inlined, the compiler cannot rule out
//! that `out` overlaps `prefix` and would otherwise keep it scalar.
constexpr std::size_t kShort = 16;
inline void insert_short(const int32_t* prefix, int32_t id, int32_t* out) {
    using v4 = int32_t __attribute__((vector_size(16)));
    const v4 idv = {id, id, id, id};
    v4 cur[kShort / 4], before[kShort / 4];
    std::memcpy(cur, prefix, sizeof(cur));
    std::memcpy(before, prefix - 1, sizeof(before));
    for (std::size_t k = 0; k < kShort / 4; ++k) {
        const v4 low = cur[k] < idv ? cur[k] : idv;
        cur[k] = before[k] > low ? before[k] : low;
    }
    std::memcpy(out, cur, sizeof(cur));
}

//! Spells out the rows of `c`'s steps: items from `items` up to `items_end`, counts and
//! the offsets after each row from `counts` and `ends`, the first row starting at item
//! `at`.
void spell_steps(const Chunk& c, int32_t* items, int32_t* items_end, int64_t* counts, int64_t* ends, int64_t at) {
    // The path's first d items, ascending, for every depth d at once: level d from
    // d * w + 1 on, after the smallest int32 and padded with the largest, as insert_short
    // reads them; valid up to depth `valid`, beyond which the path has changed.
    // last[d]: the path's item at depth d.
    const std::size_t depth = std::max<std::size_t>(c.path.size(), c.max_depth);
    const std::size_t w = std::max(kShort, depth + 1) + 1;
    std::vector<int32_t> sorted((depth + 2) * w, std::numeric_limits<int32_t>::max());
    for (std::size_t d = 0; d < depth + 2; ++d) sorted[d * w] = std::numeric_limits<int32_t>::min();
    auto level = [&](std::size_t d) { return sorted.data() + d * w + 1; };
    std::vector<int32_t> last(depth + 1);
    std::size_t valid = 0;
    auto deepen = [&] {
        if (valid < kShort)
            insert_short(level(valid), last[valid], level(valid + 1));
        else
            insert_into(level(valid), valid, last[valid], level(valid + 1));
        ++valid;
    };
    for (int32_t id : c.path) {
        last[valid] = id;
        deepen();
    }
    for (const Step& s : c.steps) {
        while (valid < s.depth) deepen();
        if (s.count != 0) {
            const int32_t* prefix = level(s.depth);
            if (s.depth < kShort && items_end - items >= static_cast<std::ptrdiff_t>(kShort))
                insert_short(prefix, s.id, items);
            else
                insert_into(prefix, s.depth, s.id, items);
            items += s.depth + 1;
            *counts++ = s.count;
            *ends++ = at += static_cast<int64_t>(s.depth) + 1;
        }
        last[s.depth] = s.id;
        valid = s.depth;
    }
}

}  // namespace

Table flatten(OutNode&& root) {
    // The chunks in output order, then each chunk's rows copied or spelled out into the
    // final arrays, on the pool when there is much to write; each chunk is freed as soon
    // as it is written.
    std::vector<Chunk*> chunks;
    auto collect = [&](auto&& self, OutNode& node) -> void {
        for (Piece& p : node.pieces) {
            chunks.push_back(&p.chunk);
            if (p.child) self(self, *p.child);
        }
        chunks.push_back(&node.current);
    };
    collect(collect, root);
    Table t;
    if (chunks.size() == 1 && root.current.steps.empty()) {
        // One chunk of rows (a search on one thread): its arrays become the result as
        // they are.
        Chunk& c = root.current;
        t.offsets.resize(c.lens.size() + 1);
        t.offsets[0] = 0;
        for (std::size_t i = 0; i < c.lens.size(); ++i) t.offsets[i + 1] = t.offsets[i] + c.lens[i];
        t.items = std::move(c.items);
        t.counts = std::move(c.counts);
        return t;
    }
    std::vector<std::size_t> row_at(chunks.size() + 1, 0), item_at(chunks.size() + 1, 0);
    for (std::size_t k = 0; k < chunks.size(); ++k) {
        row_at[k + 1] = row_at[k] + chunks[k]->n_rows();
        item_at[k + 1] = item_at[k] + chunks[k]->n_items();
    }
    const std::size_t n_rows = row_at.back();
    t.offsets.resize(n_rows + 1);
    t.offsets[0] = 0;
    t.items.resize(item_at.back());
    t.counts.resize(n_rows);
    auto write = [&](std::size_t k) {
        Chunk& c = *chunks[k];
        int32_t* items = t.items.data() + item_at[k];
        int64_t* counts = t.counts.data() + row_at[k];
        int64_t* ends = t.offsets.data() + row_at[k] + 1;
        auto end = static_cast<int64_t>(item_at[k]);
        // An empty chunk may hold null data pointers, which memcpy must not be given.
        if (!c.items.empty()) std::memcpy(items, c.items.data(), c.items.size() * sizeof(int32_t));
        if (!c.counts.empty()) std::memcpy(counts, c.counts.data(), c.counts.size() * sizeof(int64_t));
        for (uint32_t len : c.lens) *ends++ = end += len;
        spell_steps(c, items + c.items.size(), t.items.data() + item_at[k + 1], counts + c.counts.size(), ends, end);
        c = Chunk{};
    };
    if (pool::num_threads() > 1 && item_at.back() > tuning::kEngineParallelCopyItems) {
        pool::for_range(chunks.size(), 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k != end; ++k) write(k);
        });
    } else {
        for (std::size_t k = 0; k < chunks.size(); ++k) write(k);
    }
    return t;
}

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;

//! 2^(n / 3) for n = 0 .. 24: how much faster than its square a dense class of n
//! extending members grows (a table: the search asks for it at every class it builds).
const std::array<double, 25> kGrowth = [] {
    std::array<double, 25> g{};
    for (std::size_t n = 0; n < g.size(); ++n) g[n] = std::exp2(static_cast<double>(n) / 3.0);
    return g;
}();

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
    // The rows of the level's transactions cut down to its members (all-sets search on
    // lists): what the subtrees below scan instead of the full rows.
    Scratch<std::size_t> row_off;
    Scratch<uint32_t> row_data;
    const uint32_t* ids = nullptr;    // lists of the members (own_ids)
    const uint64_t* words = nullptr;  // bitsets of the members (own_words, or the global bitsets)
};

//! Transaction rows a search over lists scans: row k is data[off[k], off[k + 1]), ranks
//! ascending.
struct Rows {
    const std::size_t* off = nullptr;
    const uint32_t* data = nullptr;
    std::span<const uint32_t> operator()(uint32_t k) const { return {data + off[k], data + off[k + 1]}; }
};

//! What every task reads; built before the search, then shared read-only (the row
//! counter aside).
struct Context {
    const Vertical* v = nullptr;
    MineOptions opt;
    std::size_t rank_words = 0;  // words of a set of ranks as a bitset (maximal)
    bool parallel = false;
    bool counted = false;     // max_itemsets given
    double row_length = 0.0;  // mean length of the view's rows (lists), for work estimates
    std::atomic<uint64_t> reported{0};
    // Maximal sets found so far by every task (rank bitsets back to back). On one thread
    // the subset checks know every maximal set found before; tasks publish theirs here
    // and take in the others', so that splitting the search does not cost its pruning.
    std::mutex board_lock;
    std::vector<uint64_t> board;
    std::vector<std::vector<uint32_t>> board_holding;  // per rank: the board's sets holding it
};

//! One task of the search: a subtree, its prefix, its scratch space and its rows.
//!
//! On bitsets (dense data) a class holds every member's set and a child class is built
//! by ANDing one member with the later ones (Eclat). For closed and maximal sets the
//! test that an earlier item does not hold all of a candidate's transactions runs
//! against the items' global bitsets, so classes never carry earlier members. On lists
//! (sparse data) the search delivers occurrences instead, in the manner of LCM: a node
//! scans the rows of its transactions once to count every later item in them (the
//! closure and the frequent extensions follow from these counts; the prefix test
//! intersects the rows' earlier parts, which usually runs dry within a few rows) and
//! once more to hand each transaction to the lists of the extensions it holds. That
//! costs the rows' lengths, where merging every pair of a large class would cost the
//! class's size squared; the all-sets search also cuts the rows it hands down to the
//! frequent extensions, so deeper scans read only what can still extend.
class Search {
public:
    Search(Context& cx, OutNode* out) : cx_(cx), v_(*cx.v), out_(out), min_count_(cx.v->min_count) {}

    //! Searches the subtree this task was given and waits for every task it started.
    void run() {
        try {
            dispatch();
        } catch (...) {
            tasks_.cancel();
            try {
                tasks_.wait();
            } catch (...) {
            }
            throw;
        }
        publish_maximal();
        tasks_.wait();
        flush();
    }

    //! Sets up the whole search: prefix `base` (the items of every transaction, for
    //! closed and maximal sets), with `n_transactions` transactions.
    void start_root(std::vector<int32_t> base, uint32_t n_transactions) {
        ids_ = std::move(base);
        start_e_ = kNone;
        start_count_ = n_transactions;
        if (v_.bits) {
            Level& root = level(0);
            root.members.resize(v_.size());
            for (uint32_t r = 0; r < v_.size(); ++r) root.members[r] = Member{r, v_.count[r], r * v_.n_words};
            root.words = v_.words.data();
        } else {
            start_list_.resize(n_transactions);
            std::iota(start_list_.begin(), start_list_.end(), uint32_t{0});
        }
    }

    void emit_prefix(uint32_t count) {
        Chunk& c = out_->current;
        c.items.insert(c.items.end(), ids_.begin(), ids_.end());
        c.counts.push_back(count);
        c.lens.push_back(static_cast<uint32_t>(ids_.size()));
        tick();
    }

    [[noreturn]] static void throw_too_many(uint64_t n) {
        throw InputError("more than " + std::to_string(n) +
                         " frequent itemsets; raise the minimum support or set max_len");
    }

private:
    void dispatch() {
        if (cx_.opt.target == Target::maximal) {
            if (qbits_.empty()) qbits_.assign(cx_.rank_words, 0);
            if (cx_.parallel && run_.empty()) take_maximal(0, start_e_);
        }
        if (v_.bits) {
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
            return;
        }
        counter_.assign(v_.size(), 0);
        slot_.assign(v_.size(), kNone);
        if (in_q_.empty()) in_q_.assign(v_.size(), 0);
        if (!run_.empty()) {
            search_run();
            return;
        }
        const uint32_t* T = start_list_.data();
        const auto n = static_cast<uint32_t>(start_list_.size());
        switch (cx_.opt.target) {
            case Target::all:
                if (start_e_ == kNone && start_off_.empty())
                    all_root();
                else
                    all_rows(0, T, n, start_e_ + 1, Rows{start_off_.data(), start_data_.data()});
                break;
            case Target::closed:
            case Target::maximal:
                if (start_e_ == kNone)
                    closure_root(T, n);
                else if (cx_.opt.target == Target::closed)
                    closed_rows(0, T, n, start_e_);
                else
                    maximal_rows(0, T, n, start_e_);
                break;
        }
    }

    // ---- rows and counting --------------------------------------------------------------

    void tick() {
        if (!cx_.counted) return;
        if (++unreported_ >= tuning::kEngineCountBatch) flush();
    }
    void flush() {
        if (!cx_.counted || unreported_ == 0) return;
        const uint64_t total = cx_.reported.fetch_add(unreported_) + unreported_;
        unreported_ = 0;
        if (total > cx_.opt.max_itemsets) throw_too_many(cx_.opt.max_itemsets);
    }

    //! Reports prefix + id with its count (all sets: as a step).
    void emit_with(int32_t id, uint32_t count) {
        out_->current.add_step(Step{static_cast<uint32_t>(path_.size()), id, count});
        tick();
    }

    void push(uint32_t rank) {
        const auto id = static_cast<int32_t>(v_.id_of[rank]);
        if (cx_.opt.target == Target::all) {
            // The steps' path follows: the row just reported set it already, if it was
            // prefix + id.
            Chunk& c = out_->current;
            if (c.steps.empty() || c.steps.back().depth != path_.size() || c.steps.back().id != id)
                c.add_step(Step{static_cast<uint32_t>(path_.size()), id, 0});
            path_.push_back(id);
        } else {
            const auto at = std::upper_bound(ids_.begin(), ids_.end(), id);
            pos_.push_back(static_cast<uint32_t>(at - ids_.begin()));
            ids_.insert(at, id);
        }
        if (!qbits_.empty()) qbits_[rank / 64] |= uint64_t{1} << (rank % 64);
        if (!in_q_.empty()) in_q_[rank] = 1;
    }
    void pop(uint32_t rank) {
        if (cx_.opt.target == Target::all) {
            path_.pop_back();
        } else {
            ids_.erase(ids_.begin() + pos_.back());
            pos_.pop_back();
        }
        if (!qbits_.empty()) qbits_[rank / 64] &= ~(uint64_t{1} << (rank % 64));
        if (!in_q_.empty()) in_q_[rank] = 0;
    }
    void push_all(uint32_t e, const std::vector<uint32_t>& closure) {
        if (e != kNone) push(e);
        for (uint32_t q : closure) push(q);
    }
    void pop_all(uint32_t e, const std::vector<uint32_t>& closure) {
        for (auto it = closure.rbegin(); it != closure.rend(); ++it) pop(*it);
        if (e != kNone) pop(e);
    }

    // ---- tasks ----------------------------------------------------------------------------

    //! Hands a subtree to the pool; its rows are placed here in the output. `prepare`
    //! fills the new task's start (its class, or its transaction list).
    template <class Prepare>
    void spawn(Prepare&& prepare) {
        OutNode* node = out_->split(path_);
        auto sub = std::make_shared<Search>(cx_, node);
        sub->ids_ = ids_;
        sub->path_ = path_;
        if (cx_.opt.target == Target::maximal) {
            sub->qbits_ = qbits_;
            if (!in_q_.empty()) sub->in_q_ = in_q_;
        } else if (!in_q_.empty()) {
            sub->in_q_ = in_q_;
        }
        prepare(*sub);
        tasks_.run([sub] { sub->run(); });
    }

    //! Known maximal sets that hold the current prefix, for a new task.
    std::vector<uint64_t> known_maximal(std::size_t d) {
        const std::size_t rw = cx_.rank_words;
        std::vector<uint64_t> known;
        known.reserve(lmfi(d).size() * rw);
        for (uint32_t m : lmfi(d)) known.insert(known.end(), mfi_.begin() + m * rw, mfi_.begin() + (m + 1) * rw);
        return known;
    }
    //! Makes `sets` the known maximal sets holding the prefix at depth d.
    void seed_maximal(std::vector<uint64_t>&& sets, std::size_t d) {
        mfi_ = std::move(sets);
        std::vector<uint32_t>& known = lmfi(d);
        known.clear();
        for (std::size_t i = 0; i * cx_.rank_words < mfi_.size(); ++i) known.push_back(static_cast<uint32_t>(i));
    }

    // ---- bitsets: classes ----------------------------------------------------------------

    Level& level(std::size_t d) {
        while (levels_.size() <= d) levels_.emplace_back();
        return levels_[d];
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
                spawn([&](Search& sub) { std::swap(sub.level(0), child); });
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
                    spawn([&](Search& sub) {
                        std::swap(sub.level(0), child);
                        sub.start_e_ = e.rank;
                    });
                else
                    closed_class(d + 1);
            }
            pop_all(e.rank, added);
        }
    }

    // ---- bitsets: maximal sets -------------------------------------------------------------

    std::vector<uint32_t>& lmfi(std::size_t d) {
        while (lmfi_.size() <= d) lmfi_.emplace_back();
        return lmfi_[d];
    }

    //! Records a maximal set (rank bitset) as known to levels 0 .. d.
    void add_maximal(const uint64_t* set, std::size_t d) {
        const auto index = static_cast<uint32_t>(mfi_.size() / cx_.rank_words);
        mfi_.insert(mfi_.end(), set, set + cx_.rank_words);
        for (std::size_t k = 0; k <= d; ++k) lmfi(k).push_back(index);
        if (cx_.parallel) found_.push_back(index);
    }

    //! Puts the maximal sets this task found since its last call on the shared board.
    void publish_maximal() {
        if (published_ == found_.size()) return;
        const std::size_t rw = cx_.rank_words;
        std::lock_guard<std::mutex> hold(cx_.board_lock);
        for (; published_ < found_.size(); ++published_) {
            const uint64_t* set = mfi_.data() + std::size_t{found_[published_]} * rw;
            const auto index = static_cast<uint32_t>(cx_.board.size() / rw);
            cx_.board.insert(cx_.board.end(), set, set + rw);
            for (std::size_t w = 0; w < rw; ++w)
                for (uint64_t bits = set[w]; bits != 0; bits &= bits - 1) {
                    const std::size_t rank = w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits));
                    if (rank < cx_.board_holding.size()) cx_.board_holding[rank].push_back(index);
                }
        }
    }

    //! Adds to lmfi(d) the sets of the board (found by any task) that hold the current
    //! prefix and `with` (a rank, or kNone): the ones the subset checks below can use.
    void take_maximal(std::size_t d, uint32_t with) {
        const std::size_t rw = cx_.rank_words;
        std::vector<std::pair<std::size_t, uint64_t>> need;  // words of the prefix (and `with`)
        for (std::size_t w = 0; w < rw; ++w) {
            uint64_t bits = qbits_[w];
            if (with != kNone && w == with / 64) bits |= uint64_t{1} << (with % 64);
            if (bits) need.emplace_back(w, bits);
        }
        if (need.empty()) return;
        std::vector<uint32_t>& known = lmfi(d);
        std::lock_guard<std::mutex> hold(cx_.board_lock);
        // Walk the board's list of the rarest needed rank.
        const std::vector<uint32_t>* walk = nullptr;
        for (const auto& [w, bits] : need)
            for (uint64_t b = bits; b != 0; b &= b - 1) {
                const std::size_t rank = w * 64 + static_cast<std::size_t>(__builtin_ctzll(b));
                if (rank >= cx_.board_holding.size()) continue;
                const std::vector<uint32_t>& list = cx_.board_holding[rank];
                if (walk == nullptr || list.size() < walk->size()) walk = &list;
            }
        if (walk == nullptr) return;
        for (uint32_t index : *walk) {
            const uint64_t* set = cx_.board.data() + std::size_t{index} * rw;
            bool holds = true;
            for (const auto& [w, bits] : need) holds &= (bits & ~set[w]) == 0;
            if (!holds) continue;
            known.push_back(static_cast<uint32_t>(mfi_.size() / rw));
            mfi_.insert(mfi_.end(), set, set + rw);
        }
    }

    bool known_holds(uint32_t m, uint32_t rank) const {
        return (mfi_[std::size_t{m} * cx_.rank_words + rank / 64] >> (rank % 64)) & 1u;
    }

    //! True when a known maximal set holding the prefix (lmfi(d)) also holds every
    //! member of `tail`: then every set below lies inside it.
    bool covered(std::size_t d, std::span<const Member> tail) {
        for (uint32_t m : lmfi(d)) {
            bool all = true;
            for (const Member& t : tail)
                if (!known_holds(m, t.rank)) {
                    all = false;
                    break;
                }
            if (all) return true;
        }
        return false;
    }

    //! lmfi(d + 1): the sets of lmfi(d) (which hold the prefix before e was added) that
    //! also hold e and the items its closure added.
    void narrow_known(std::size_t d, uint32_t e, const std::vector<uint32_t>& added) {
        std::vector<uint32_t>& inner = lmfi(d + 1);
        inner.clear();
        for (uint32_t m : lmfi(d)) {
            if (e != kNone && !known_holds(m, e)) continue;
            bool all = true;
            for (uint32_t q : added)
                if (!known_holds(m, q)) {
                    all = false;
                    break;
                }
            if (all) inner.push_back(m);
        }
    }

    void emit_sorted(std::vector<int32_t>& row, uint32_t count) {
        std::sort(row.begin(), row.end());
        Chunk& out = out_->current;
        out.items.insert(out.items.end(), row.begin(), row.end());
        out.counts.push_back(count);
        out.lens.push_back(static_cast<uint32_t>(row.size()));
        tick();
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
        if (covered(d, cls.members)) return;
        if (n == 0) {
            // No later item extends the set frequently; maximal unless an earlier one does.
            if (frequent_below(qset, below)) return;
            if (ids_.size() >= cx_.opt.min_len && ids_.size() <= cx_.opt.max_len) emit_prefix(count);
            add_maximal(qbits_.data(), d);
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
                add_maximal(upper_.data(), d);
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
            narrow_known(d, m.rank, added);
            if (spawn_class(child, child.members.size())) {
                spawn([&](Search& sub) {
                    std::swap(sub.level(0), child);
                    sub.start_e_ = m.rank;
                    sub.start_count_ = m.count;
                    sub.start_set_.assign(mset, mset + nw);
                    sub.seed_maximal(known_maximal(d + 1), 0);
                });
            } else {
                maximal_node(d + 1, m.rank, m.count, mset);
            }
            pop_all(m.rank, added);
        }
    }

    // ---- lists: occurrence delivery --------------------------------------------------------

    Rows global_rows() const { return Rows{v_.rows.offsets.data(), v_.rows.values.data()}; }

    //! Counts, in counter_, every rank from `from` on in the rows of the transactions
    //! T[0, n); touched_ lists the ranks met, in no particular order.
    void count_rows(const uint32_t* T, uint32_t n, uint32_t from) { count_rows(T, n, from, global_rows()); }
    void count_rows(const uint32_t* T, uint32_t n, uint32_t from, Rows db) {
        touched_.clear();
        for (uint32_t k = 0; k < n; ++k) {
            if (k + 2 * tuning::kEngineRowPrefetch < n)
                __builtin_prefetch(&db.off[T[k + 2 * tuning::kEngineRowPrefetch]]);
            if (k + tuning::kEngineRowPrefetch < n)
                __builtin_prefetch(db.data + db.off[T[k + tuning::kEngineRowPrefetch]]);
            const auto row = db(T[k]);
            auto it = from == 0 ? row.begin() : std::lower_bound(row.begin(), row.end(), from);
            for (; it != row.end(); ++it)
                if (counter_[*it]++ == 0) touched_.push_back(*it);
        }
    }

    static void by_rank(std::vector<Member>& members) {
        std::sort(members.begin(), members.end(), [](const Member& a, const Member& b) { return a.rank < b.rank; });
    }

    //! True when an item ranked before e and outside the prefix is in every row of
    //! T[0, n): the closure of the candidate would then not preserve the prefix. The
    //! rows are intersected one by one, which usually empties the set within a few rows.
    bool closes_below(const uint32_t* T, uint32_t n, uint32_t e) {
        if (e == kNone || e == 0 || n == 0) return false;
        cand_.clear();
        for (uint32_t q : v_.row(T[0])) {
            if (q >= e) break;
            if (!in_q_[q]) cand_.push_back(q);
        }
        for (uint32_t k = 1; k < n && !cand_.empty(); ++k) {
            const auto row = v_.row(T[k]);
            std::size_t w = 0, j = 0;
            for (uint32_t q : cand_) {
                while (j < row.size() && row[j] < q) ++j;
                if (j < row.size() && row[j] == q) cand_[w++] = q;
            }
            cand_.resize(w);
        }
        return !cand_.empty();
    }

    //! True when an item ranked before e and outside the prefix is in at least
    //! min_count of the rows of T[0, n).
    bool extends_below(const uint32_t* T, uint32_t n, uint32_t e) {
        if (e == kNone || e == 0) return false;
        touched_.clear();
        bool extends = false;
        // Stops at the first item that reaches min_count: most candidates that are not
        // maximal are found out within a fraction of their rows.
        for (uint32_t k = 0; k < n && !extends; ++k)
            for (uint32_t q : v_.row(T[k])) {
                if (q >= e) break;
                if (in_q_[q]) continue;
                if (counter_[q]++ == 0) touched_.push_back(q);
                if (counter_[q] >= min_count_) {
                    extends = true;
                    break;
                }
            }
        clear_counts();
        return extends;
    }

    void clear_counts() {
        for (uint32_t q : touched_) counter_[q] = 0;
    }

    //! Writes into lv the transaction list of each of lv.members (rank and count set):
    //! the transactions of T[0, n) whose rows hold the member, ascending.
    void deliver(const uint32_t* T, uint32_t n, uint32_t from, Level& lv) {
        uint32_t* out = place_members(lv);
        for (uint32_t k = 0; k < n; ++k) {
            if (k + 2 * tuning::kEngineRowPrefetch < n)
                __builtin_prefetch(&v_.rows.offsets[T[k + 2 * tuning::kEngineRowPrefetch]]);
            if (k + tuning::kEngineRowPrefetch < n)
                __builtin_prefetch(v_.rows.values.data() + v_.rows.offsets[T[k + tuning::kEngineRowPrefetch]]);
            const uint32_t t = T[k];
            const auto row = v_.row(t);
            auto it = from == 0 ? row.begin() : std::lower_bound(row.begin(), row.end(), from);
            for (; it != row.end(); ++it)
                if (const uint32_t s = slot_[*it]; s != kNone) out[lv.members[s].off++] = t;
        }
        members_placed(lv);
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
            spawn([&](Search& sub) {
                sub.run_ = std::span<const Member>(lv.members.data() + first, i + 1 - first);
                sub.run_ids_ = lv.ids;
                sub.run_db_ = db;
                if (cx_.opt.target == Target::maximal) sub.seed_maximal(known_maximal(1), sub.run_depth());
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
                case Target::closed: closed_rows(d, list, m.count, m.rank); break;
                case Target::maximal:
                    take_maximal(d, m.rank);
                    maximal_rows(d, list, m.count, m.rank);
                    publish_maximal();
                    break;
            }
        }
    }

    //! ids_ is a frequent set whose transactions are rows T[0, n) of db; reports its
    //! extensions by ranks from `from` on, depth first. The rows handed down are cut to
    //! the frequent extensions, so deeper scans read only what can still extend.
    void all_rows(std::size_t d, const uint32_t* T, uint32_t n, uint32_t from, Rows db) {
        count_rows(T, n, from, db);
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
            auto it = from == 0 ? row.begin() : std::lower_bound(row.begin(), row.end(), from);
            for (; it != row.end(); ++it) {
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
            maximal_below(0, T, n, kNone, ids_.size(), {});
        else if (!lv.members.empty())
            extend_closure(0, T, n, kNone, &Search::closed_rows);
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
            const uint32_t* list = lv.ids + m.off;
            push(m.rank);
            spawn([&](Search& sub) {
                sub.start_list_.resize(m.count);
                std::iota(sub.start_list_.begin(), sub.start_list_.end(), uint32_t{0});
                sub.start_off_.resize(std::size_t{m.count} + 1);
                sub.start_off_[0] = 0;
                for (uint32_t k = 0; k < m.count; ++k) {
                    const auto row = cut(list[k]);
                    sub.start_data_.insert(sub.start_data_.end(), row.begin(), row.end());
                    sub.start_off_[k + 1] = sub.start_data_.size();
                }
                sub.start_e_ = m.rank;
            });
            pop(m.rank);
        }
    }

    //! True when the subtree below a member of a deeper level is worth a task of its own.
    bool large(const Member& m, std::size_t later, double row_length) const {
        return cx_.parallel && later >= 2 && row_work(m, later, row_length) >= cx_.opt.task_work;
    }

    //! Counts the rows of the candidate ids_ + e (e kNone: ids_ itself) whose n
    //! transactions are T[0, n), from e on, and puts the items ranked after e that are
    //! in all of them into closure_. False when an item ranked before e is in all of
    //! them (the closure would not preserve the prefix); nothing is left counted then.
    bool close_candidate(const uint32_t* T, uint32_t n, uint32_t e) {
        if (closes_below(T, n, e)) return false;
        count_rows(T, n, e == kNone ? 0 : e + 1);
        closure_.clear();
        for (uint32_t q : touched_)
            if (counter_[q] == n && !in_q_[q]) closure_.push_back(q);
        return true;
    }

    //! Opens the candidate ids_ + e (e kNone: ids_ itself) with transactions T[0, n) for
    //! closed_rows and maximal_rows. False when its closure does not preserve the prefix
    //! or is longer than max_len. Otherwise level d holds the candidate's extensions (the
    //! later items that stay frequent without being in all n transactions), e and the
    //! closure `added` are pushed, and `len` is the closed set's length.
    bool open_closure(std::size_t d, const uint32_t* T, uint32_t n, uint32_t e, std::vector<uint32_t>& added,
                      std::size_t& len) {
        if (!close_candidate(T, n, e)) return false;
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

    //! Hands each extension of level d its transactions (unless the level holds its lists
    //! already) and searches it with `next`, as a task of its own when it is large
    //! enough; a maximal search seeds such a task with the known maximal sets that hold
    //! its prefix.
    void extend_closure(std::size_t d, const uint32_t* T, uint32_t n, uint32_t e,
                        void (Search::*next)(std::size_t, const uint32_t*, uint32_t, uint32_t)) {
        Level& lv = level(d);
        if (lv.ids == nullptr) deliver(T, n, e == kNone ? 0 : e + 1, lv);
        auto search = [&](std::size_t i) {
            const Member m = lv.members[i];
            (this->*next)(d + 1, lv.ids + m.off, m.count, m.rank);
        };
        if (d == 0) return share_level0(lv, lv.members.size(), global_rows(), cx_.row_length, search);
        for (std::size_t i = 0; i < lv.members.size(); ++i) {
            const Member m = lv.members[i];
            if (!large(m, lv.members.size() - i, cx_.row_length)) {
                search(i);
                continue;
            }
            const uint32_t* list = lv.ids + m.off;
            spawn([&](Search& sub) {
                sub.start_list_.assign(list, list + m.count);
                sub.start_e_ = m.rank;
                if (next == &Search::maximal_rows) sub.seed_maximal(known_maximal(d + 1), 0);
            });
        }
    }

    //! ids_ is a closed set, e (kNone at the root) the item that extends it to a new
    //! candidate, T[0, n) the candidate's transactions: reports the candidate's closure
    //! when it preserves the prefix, then the closed sets grown from it.
    void closed_rows(std::size_t d, const uint32_t* T, uint32_t n, uint32_t e) {
        std::vector<uint32_t> added;
        std::size_t len = 0;
        if (!open_closure(d, T, n, e, added, len)) return;
        if (e != kNone && len >= cx_.opt.min_len) emit_prefix(n);
        if (!level(d).members.empty()) extend_closure(d, T, n, e, &Search::closed_rows);
        pop_all(e, added);
    }

    //! As closed_rows, reporting the maximal sets among the candidate's closure and the
    //! sets grown from it; known maximal sets holding the current prefix are lmfi(d).
    void maximal_rows(std::size_t d, const uint32_t* T, uint32_t n, uint32_t e) {
        std::vector<uint32_t> added;
        std::size_t len = 0;
        if (!open_closure(d, T, n, e, added, len)) return;
        maximal_below(d, T, n, e, len, added);
        pop_all(e, added);
    }

    //! The maximal sets among the candidate ids_ (length len, transactions T[0, n),
    //! reached by adding e and its closure `added`) and the sets grown from its
    //! extensions, level d.
    void maximal_below(std::size_t d, const uint32_t* T, uint32_t n, uint32_t e, std::size_t len,
                       const std::vector<uint32_t>& added) {
        narrow_known(d, e, added);
        Level& lv = level(d);
        // Subset check: every set below, ids_ itself included, lies within ids_ + the
        // extensions; inside a known maximal set none is maximal.
        if (covered(d + 1, lv.members)) return;
        if (lv.members.empty()) {
            if (!extends_below(T, n, e)) {
                // No item extends the set frequently: maximal.
                if (len >= cx_.opt.min_len && len >= 1) emit_prefix(n);
                add_maximal(qbits_.data(), d + 1);
            }
            return;
        }
        upper_.assign(qbits_.begin(), qbits_.end());
        for (const Member& m : lv.members) upper_[m.rank / 64] |= uint64_t{1} << (m.rank % 64);
        if (lv.ids == nullptr) deliver(T, n, e == kNone ? 0 : e + 1, lv);
        if (lv.members.size() < 2 || !lookahead(lv, len, d)) extend_closure(d, T, n, e, &Search::maximal_rows);
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
        for (uint32_t k = 0; k < c; ++k)
            for (uint32_t q : v_.row(have[k]))
                if (slot_[q] != 0 && !in_q_[q] && counter_[q]++ == 0) touched_.push_back(q);
        for (const Member& m : lv.members) slot_[m.rank] = kNone;
        bool extends = false;
        for (uint32_t q : touched_) extends |= counter_[q] >= min_count_;
        clear_counts();
        if (!extends) {
            const std::size_t full = len + want;
            if (full >= cx_.opt.min_len && full <= cx_.opt.max_len) {
                std::vector<int32_t> row = ids_;
                for (const Member& m : lv.members) row.push_back(static_cast<int32_t>(v_.id_of[m.rank]));
                emit_sorted(row, c);
            }
            add_maximal(upper_.data(), d + 1);
        }
        return true;
    }

    Context& cx_;
    const Vertical& v_;
    OutNode* out_;
    uint32_t min_count_;
    // The prefix: for all sets as the items in the order they were added (the rows'
    // steps follow it), for closed and maximal sets as its item ids ascending.
    std::vector<int32_t> path_;
    std::vector<int32_t> ids_;
    std::vector<uint32_t> pos_;  // where each pushed id went in ids_
    std::deque<Level> levels_;   // a deque: growing it keeps references to shallower levels valid
    // Where this task starts: its class in levels_[0] (bitsets) or its transactions
    // (lists), and the item that led there (kNone at the root) with its count.
    std::vector<uint32_t> start_list_;
    // Or a run of members of the spawning task's level 0, read in place: their lists
    // start at run_ids_ and point into the rows run_db_.
    std::span<const Member> run_;
    const uint32_t* run_ids_ = nullptr;
    Rows run_db_;
    std::vector<uint64_t> start_set_;     // transactions of the prefix (maximal sets on bitsets)
    std::vector<std::size_t> start_off_;  // own rows (all-sets search on lists), else empty
    std::vector<uint32_t> start_data_;
    uint32_t start_e_ = kNone;
    uint32_t start_count_ = 0;
    std::vector<uint32_t> counter_, slot_, touched_, closure_, cand_;
    std::vector<uint8_t> in_q_;  // per rank: in the prefix (lists)
    std::vector<uint64_t> qbits_, upper_, mfi_;
    std::vector<std::vector<uint32_t>> lmfi_;
    std::vector<uint32_t> found_;  // sets of mfi_ found here (parallel search)
    std::size_t published_ = 0;    // of found_, those on the board
    Scratch<uint64_t> tail_bits_;
    Scratch<uint32_t> look_a_, look_b_;  // transaction lists of the list lookahead
    uint64_t unreported_ = 0;
    pool::TaskGroup tasks_;
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
    cx.rank_words = (v.size() + 63) / 64 + 1;
    cx.counted = options.max_itemsets != std::numeric_limits<uint64_t>::max();
    cx.parallel = pool::num_threads() > 1;
    if (cx.parallel && options.target == Target::maximal) cx.board_holding.resize(v.size());
    if (!v.bits && result.n_transactions > 0)
        cx.row_length = static_cast<double>(v.rows.values.size()) / result.n_transactions;

    OutNode root;
    auto body = [&] {
        Search s(cx, &root);
        s.start_root(base_ids, result.n_transactions);
        if (options.target != Target::all) {
            if (result.n_transactions < options.min_count || result.n_transactions == 0) return;
            if (options.target == Target::closed && !base_ids.empty() && base_ids.size() >= options.min_len &&
                base_ids.size() <= options.max_len)
                s.emit_prefix(result.n_transactions);
            if (base_ids.size() > options.max_len) return;
        }
        s.run();
    };
    if (cx.parallel)
        pool::run(body);
    else
        body();
    if (cx.counted && cx.reported.load() > options.max_itemsets) Search::throw_too_many(options.max_itemsets);
    // Rows hold the ranked items and those of every transaction, nothing else.
    std::vector<int32_t> alphabet(base_ids);
    for (uint32_t id : v.id_of) alphabet.push_back(static_cast<int32_t>(id));
    std::sort(alphabet.begin(), alphabet.end());
    v = Vertical{};  // the view is done with: its memory goes before the table is written
    result.table = flatten(std::move(root));
    if (result.table.counts.size() > options.max_itemsets) Search::throw_too_many(options.max_itemsets);
    if (options.order == Order::canonical) canonical_order(result.table, alphabet);
    return result;
}

}  // namespace tallisk::engine
