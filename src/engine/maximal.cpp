// The maximal sets a task of a maximal search knows of, and the board on which the
// tasks of a parallel search share the ones they find.
//
// A subtree whose sets all lie inside a known maximal set holds no maximal set (the
// subset checks of MaxMiner and GenMax). A task keeps the known sets as rank bitsets
// and, per depth, the list of those that hold the prefix there, narrowed on the way
// down; with several workers it publishes what it finds and, when it starts a subtree,
// takes in from the board the sets that hold the subtree's prefix.
#include <mutex>
#include <utility>

#include "engine/search.hpp"

namespace tallisk::engine::detail {

void Known::add(const uint64_t* set, std::size_t d) {
    const auto index = static_cast<uint32_t>(sets_.size() / cx_.rank_words);
    sets_.insert(sets_.end(), set, set + cx_.rank_words);
    for (std::size_t k = 0; k <= d; ++k) at(k).push_back(index);
    if (cx_.parallel) found_.push_back(index);
}

void Known::publish() {
    if (published_ == found_.size()) return;
    const std::size_t rw = cx_.rank_words;
    Board& board = cx_.board;
    std::lock_guard<std::mutex> hold(board.lock);
    for (; published_ < found_.size(); ++published_) {
        const uint64_t* set = sets_.data() + std::size_t{found_[published_]} * rw;
        const auto index = static_cast<uint32_t>(board.sets.size() / rw);
        board.sets.insert(board.sets.end(), set, set + rw);
        for (std::size_t w = 0; w < rw; ++w)
            for (uint64_t bits = set[w]; bits != 0; bits &= bits - 1) {
                const std::size_t rank = w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits));
                if (rank < board.holding.size()) board.holding[rank].push_back(index);
            }
    }
}

void Known::take(const std::vector<uint64_t>& prefix, std::size_t d, uint32_t with) {
    const std::size_t rw = cx_.rank_words;
    std::vector<std::pair<std::size_t, uint64_t>> need;  // words of the prefix (and `with`)
    for (std::size_t w = 0; w < rw; ++w) {
        uint64_t bits = prefix[w];
        if (with != kNone && w == with / 64) bits |= uint64_t{1} << (with % 64);
        if (bits) need.emplace_back(w, bits);
    }
    if (need.empty()) return;
    std::vector<uint32_t>& known = at(d);
    Board& board = cx_.board;
    std::lock_guard<std::mutex> hold(board.lock);
    // Walk the board's list of the rarest needed rank.
    const std::vector<uint32_t>* walk = nullptr;
    for (const auto& [w, bits] : need)
        for (uint64_t b = bits; b != 0; b &= b - 1) {
            const std::size_t rank = w * 64 + static_cast<std::size_t>(__builtin_ctzll(b));
            if (rank >= board.holding.size()) continue;
            const std::vector<uint32_t>& list = board.holding[rank];
            if (walk == nullptr || list.size() < walk->size()) walk = &list;
        }
    if (walk == nullptr) return;
    for (uint32_t index : *walk) {
        const uint64_t* set = board.sets.data() + std::size_t{index} * rw;
        bool holds = true;
        for (const auto& [w, bits] : need) holds &= (bits & ~set[w]) == 0;
        if (!holds) continue;
        known.push_back(static_cast<uint32_t>(sets_.size() / rw));
        sets_.insert(sets_.end(), set, set + rw);
    }
}

bool Known::covered(std::size_t d, std::span<const Member> tail) const {
    if (d >= at_.size()) return false;
    for (uint32_t m : at_[d]) {
        bool all = true;
        for (const Member& t : tail)
            if (!holds(m, t.rank)) {
                all = false;
                break;
            }
        if (all) return true;
    }
    return false;
}

void Known::narrow(std::size_t d, uint32_t e, const std::vector<uint32_t>& added) {
    at(d);
    std::vector<uint32_t>& inner = at(d + 1);
    inner.clear();
    for (uint32_t m : at_[d]) {
        if (e != kNone && !holds(m, e)) continue;
        bool all = true;
        for (uint32_t q : added)
            if (!holds(m, q)) {
                all = false;
                break;
            }
        if (all) inner.push_back(m);
    }
}

std::vector<uint64_t> Known::copy_at(std::size_t d) {
    const std::size_t rw = cx_.rank_words;
    std::vector<uint64_t> known;
    known.reserve(at(d).size() * rw);
    for (uint32_t m : at(d)) known.insert(known.end(), sets_.begin() + m * rw, sets_.begin() + (m + 1) * rw);
    return known;
}

void Known::seed(std::vector<uint64_t>&& sets, std::size_t d) {
    sets_ = std::move(sets);
    std::vector<uint32_t>& known = at(d);
    known.clear();
    for (std::size_t i = 0; i * cx_.rank_words < sets_.size(); ++i) known.push_back(static_cast<uint32_t>(i));
}

}  // namespace tallisk::engine::detail
