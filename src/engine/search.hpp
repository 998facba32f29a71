// The parts of the engine's search that both set forms share: the class explored at one
// depth, what every task reads, the maximal sets a task knows of, and the task itself -
// its prefix, its rows and the hand-over of subtrees to the pool. How a task walks its
// subtree depends on the form of the transaction sets, one class each:
//   BitsTask - bitsets over all transactions (dense data; engine/bits_search.cpp);
//   ListTask - occurrence delivery over transaction rows (sparse data;
//              engine/list_search.cpp).
// The maximal sets known to a task and shared between tasks live in
// engine/maximal.cpp; the driver that builds the view and runs the root task in
// engine/mine.cpp.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "common/pool.hpp"
#include "common/scratch.hpp"
#include "common/tuning.hpp"
#include "engine/data.hpp"
#include "engine/mine.hpp"
#include "engine/output.hpp"

namespace tallisk::engine::detail {

constexpr uint32_t kNone = 0xFFFFFFFFu;

//! A member of a class: prefix + item is frequent with `count` transactions, whose set
//! starts at `off` in the class's storage.
struct Member {
    uint32_t rank;
    uint32_t count;
    std::size_t off;
};

//! Transaction rows a search over lists scans: row k is data[off[k], off[k + 1]), ranks
//! ascending, cut from the view's row of transaction txn(k).
struct Rows {
    const std::size_t* off = nullptr;
    const uint32_t* data = nullptr;
    const uint32_t* tid = nullptr;  // row -> transaction; null: the view's own rows
    std::span<const uint32_t> operator()(uint32_t k) const { return {data + off[k], data + off[k + 1]}; }
    uint32_t txn(uint32_t k) const { return tid == nullptr ? k : tid[k]; }
};

//! The class explored at one depth: its members in rank order, their sets.
struct Level {
    std::vector<Member> members;
    Scratch<uint32_t> own_ids;
    Scratch<uint64_t> own_words;
    // The rows of the level's transactions cut down to what the subtrees below can
    // still use (lists): what they scan instead of the full rows.
    Scratch<std::size_t> row_off;
    Scratch<uint32_t> row_data;
    Scratch<uint32_t> row_tid;        // their transactions (closed and maximal sets)
    const uint32_t* ids = nullptr;    // lists of the members (own_ids), numbers of rows of `rows`
    Rows rows;                        // the rows the lists point into
    const uint64_t* words = nullptr;  // bitsets of the members (own_words, or the global bitsets)
};

//! Maximal sets found so far by every task (rank bitsets back to back). On one thread
//! the subset checks know every maximal set found before; tasks publish theirs here
//! and take in the others', so that splitting the search does not cost its pruning.
struct Board {
    std::mutex lock;
    std::vector<uint64_t> sets;
    std::vector<std::vector<uint32_t>> holding;  // per rank: the board's sets holding it
};

//! What every task reads; built before the search, then shared read-only (the row
//! counter and the board aside).
struct Context {
    const Vertical* v = nullptr;
    MineOptions opt;
    std::size_t rank_words = 0;  // words of a set of ranks as a bitset (maximal)
    bool parallel = false;
    bool counted = false;     // max_itemsets given
    double row_length = 0.0;  // mean length of the view's rows (lists), for work estimates
    std::atomic<uint64_t> reported{0};
    Board board;
};

//! The maximal sets a task knows of (rank bitsets), for the subset checks of a maximal
//! search: at(d) lists those that hold the prefix at depth d. A task of a parallel
//! search also publishes the sets it finds to the board and takes in those of others.
class Known {
public:
    explicit Known(Context& cx) : cx_(cx) {}

    //! The known sets holding the prefix at depth d (indices into the sets).
    std::vector<uint32_t>& at(std::size_t d) {
        while (at_.size() <= d) at_.emplace_back();
        return at_[d];
    }
    //! Records a maximal set (rank bitset) as known to depths 0 .. d.
    void add(const uint64_t* set, std::size_t d);
    //! Puts the sets this task found since its last call on the shared board.
    void publish();
    //! Adds to at(d) the sets of the board (found by any task) that hold the prefix
    //! `prefix` (a rank bitset) and `with` (a rank, or kNone): the ones the subset
    //! checks below can use.
    void take(const std::vector<uint64_t>& prefix, std::size_t d, uint32_t with);
    //! True when a known set holding the prefix at depth d also holds every member of
    //! `tail`: then every set below lies inside it.
    bool covered(std::size_t d, std::span<const Member> tail) const;
    //! at(d + 1): the sets of at(d) (which hold the prefix before e was added) that also
    //! hold e and the items its closure added.
    void narrow(std::size_t d, uint32_t e, const std::vector<uint32_t>& added);
    //! The sets of at(d), for a new task.
    std::vector<uint64_t> copy_at(std::size_t d);
    //! Makes `sets` the known sets holding the prefix at depth d.
    void seed(std::vector<uint64_t>&& sets, std::size_t d);

private:
    bool holds(uint32_t m, uint32_t rank) const {
        return (sets_[std::size_t{m} * cx_.rank_words + rank / 64] >> (rank % 64)) & 1u;
    }

    Context& cx_;
    std::vector<uint64_t> sets_;
    std::vector<std::vector<uint32_t>> at_;
    std::vector<uint32_t> found_;  // sets found here (parallel search)
    std::size_t published_ = 0;    // of found_, those on the board
};

//! One task of the search: a subtree, its prefix, its scratch space and its rows.
class Task {
public:
    Task(Context& cx, OutNode* out) : cx_(cx), v_(*cx.v), out_(out), min_count_(cx.v->min_count), known_(cx) {}
    virtual ~Task() = default;

    //! Searches the subtree this task was given and waits for every task it started.
    void run();

    //! Reports the prefix with its count (closed and maximal sets).
    void emit_prefix(uint32_t count) {
        Chunk& c = out_->current;
        c.items.insert(c.items.end(), ids_.begin(), ids_.end());
        c.counts.push_back(count);
        c.lens.push_back(static_cast<uint32_t>(ids_.size()));
        tick();
    }

    [[noreturn]] static void throw_too_many(uint64_t n);

protected:
    //! Searches the subtree, starting tasks for parts of it.
    virtual void search() = 0;

    void tick() {
        if (!cx_.counted) return;
        if (++unreported_ >= tuning::kEngineCountBatch) flush();
    }
    void flush();

    //! Reports prefix + id with its count (all sets: as a step).
    void emit_with(int32_t id, uint32_t count) {
        out_->current.add_step(Step{static_cast<uint32_t>(path_.size()), id, count});
        tick();
    }
    //! Reports `row` (ids in any order) with its count.
    void emit_sorted(std::vector<int32_t>& row, uint32_t count);

    void push(uint32_t rank) {
        // Every search descends through here: a stopped call ends within a few nodes.
        stop_check_();
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

    Level& level(std::size_t d) {
        while (levels_.size() <= d) levels_.emplace_back();
        return levels_[d];
    }

    //! A maximal search's prefix bitset, and with several workers the board's sets that
    //! hold the task's start (when `take`).
    void start_maximal(bool take) {
        if (cx_.opt.target != Target::maximal) return;
        if (qbits_.empty()) qbits_.assign(cx_.rank_words, 0);
        if (cx_.parallel && take) known_.take(qbits_, 0, start_e_);
    }

    //! Hands a subtree to the pool as a task of kind Sub; its rows are placed here in
    //! the output. `prepare` fills the new task's start. Every task of every search is
    //! started here.
    template <class Sub, class Prepare>
    void spawn(Prepare&& prepare) {
        OutNode* node = out_->split(path_);
        auto sub = std::make_shared<Sub>(cx_, node);
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

    Context& cx_;
    const Vertical& v_;
    OutNode* out_;
    uint32_t min_count_;
    // The prefix: for all sets as the items in the order they were added (the rows'
    // steps follow it), for closed and maximal sets as its item ids ascending.
    std::vector<int32_t> path_;
    std::vector<int32_t> ids_;
    std::vector<uint32_t> pos_;            // where each pushed id went in ids_
    std::deque<Level> levels_;             // a deque: growing it keeps references to shallower levels valid
    uint32_t start_e_ = kNone;             // the item that led to this task's start (kNone at the root)
    std::vector<uint8_t> in_q_;            // per rank: in the prefix
    std::vector<uint64_t> qbits_, upper_;  // the prefix as a rank bitset, and with a class's members (maximal)
    std::vector<uint32_t> closure_;
    Known known_;

private:
    uint64_t unreported_ = 0;
    pool::StopEvery<tuning::kEngineStopStride> stop_check_;
    pool::TaskGroup tasks_;
};

//! The root task of a search of each form: prefix `base` (the items of every
//! transaction, for closed and maximal sets) with `n_transactions` transactions.
std::unique_ptr<Task> bits_root(Context& cx, OutNode* out, std::vector<int32_t> base, uint32_t n_transactions);
std::unique_ptr<Task> list_root(Context& cx, OutNode* out, std::vector<int32_t> base, uint32_t n_transactions);

}  // namespace tallisk::engine::detail
