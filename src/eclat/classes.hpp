// The part of the Eclat search both global views share: equivalence classes, the state
// of one top-level task, the depth-first recursion (`extend`) and the bitset
// representation of a class. Only how a top-level class is first built differs between
// the views (eclat/rows_view.cpp, eclat/bits_view.cpp).
//
// A class is held in one of two representations for its whole subtree:
//   Lists - ascending u32 position lists (eclat/rows_view.cpp, frequent rows only);
//   Bits  - bitsets of n_words words, intersected by AND and popcount (both views).
// Both run the same recursion; only building a child class differs. Classes whose
// members are complete k_max-sets are counted, never materialised.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

#include "common/bitset.hpp"
#include "common/scratch.hpp"
#include "eclat/eclat.hpp"

namespace tallisk::eclat::detail {

// Marks an item that is not frequent, or a member that is not a candidate.
constexpr uint32_t kNotFrequent = std::numeric_limits<uint32_t>::max();

//! A member of an equivalence class: the item it adds to the prefix, the number of
//! transactions holding prefix + item, and where its list or bitset starts in the
//! class's storage (unused in classes that are only counted).
struct Member {
    uint32_t item;
    uint32_t count;
    std::size_t offset;
    uint32_t local;  // index of the item among the root's class (its frequent pairs)
};

//! The class explored at one depth of the search, with its storage.
struct Level {
    std::vector<Member> members;  // ascending item order, every count >= min_count
    Scratch<uint32_t> ids;        // position lists (Lists)
    Scratch<uint64_t> words;      // bitsets, n_words each (Bits)
};

//! What every top-level task reads, whichever the view: the frequent items, the size of
//! the sets wanted and the threshold.
struct Params {
    const FrequentItems* frequent = nullptr;
    std::size_t k_max = 0;
    uint32_t min_count = 1;
};

//! The state of one top-level task; owned by the task, shared with nobody.
struct Search {
    std::size_t k_max = 0;
    uint32_t min_count = 1;
    double later_per_txn = 0;  // mean conditional-row length per root position (Lists only)
    std::size_t n_words = 0;   // words per bitset in this task (Bits only)
    // A's conditional rows (Lists only): for each position in A's transaction list, the
    // indices of the root class's members that transaction holds, ascending.
    Scratch<uint32_t> cond_offsets;
    Scratch<uint32_t> cond_members;
    std::vector<uint32_t> prefix;  // items of the current prefix, ascending
    // levels[d]: the class explored with a d-item prefix. A deque, so growing it while
    // shallower levels are being iterated leaves their references valid.
    std::deque<Level> levels;
    std::vector<uint32_t> candidate_of;  // per root-class member: index among the candidates being counted, or none
    std::vector<uint32_t> tally;         // per candidate: count, then member index
    EclatOut* out = nullptr;             // rows are appended here
};

inline Search new_search(const Params& pr, EclatOut& out) {
    Search s;
    s.k_max = pr.k_max;
    s.min_count = pr.min_count;
    s.out = &out;
    s.levels.resize(2);
    return s;
}

inline void emit_top(Search& s, uint32_t item, uint32_t count) {
    s.out->itemsets.insert(s.out->itemsets.end(), s.prefix.begin(), s.prefix.end());
    s.out->itemsets.push_back(item);
    s.out->counts.push_back(count);
}

inline void emit_lower(Search& s, uint32_t count) {
    s.out->lower_itemsets.insert(s.out->lower_itemsets.end(), s.prefix.begin(), s.prefix.end());
    s.out->lower_counts.push_back(count);
}

//! Starts the class of member p of levels[depth] (member p joined with every later
//! member) in levels[depth + 1], empty; what every way of building a child begins with.
struct ChildStep {
    const Level& level;
    Level& child;
    const std::vector<Member>& ms;
    const Member& m;

    ChildStep(Search& s, std::size_t depth, std::size_t p)
        : level(s.levels[depth]), child(s.levels[depth + 1]), ms(level.members), m(ms[p]) {
        child.members.clear();
    }
};

//! Bitsets of n_words words (over the root's positions, or over all transactions).
struct Bits {
    //! Builds the class of member p of levels[depth] into levels[depth + 1]; with
    //! `materialise` false the members are only counted.
    static void build_child(Search& s, std::size_t depth, std::size_t p, bool materialise) {
        const ChildStep st(s, depth, p);
        const std::size_t w = s.n_words;
        const uint64_t* a = st.level.words.data() + st.m.offset;
        if (!materialise) {
            for (std::size_t q = p + 1; q < st.ms.size(); ++q) {
                const auto c = static_cast<uint32_t>(and_count(a, st.level.words.data() + st.ms[q].offset, w));
                if (c >= s.min_count) st.child.members.push_back({st.ms[q].item, c, 0, st.ms[q].local});
            }
            return;
        }
        uint64_t* dst = st.child.words.fresh((st.ms.size() - p - 1) * w);
        std::size_t used = 0;
        for (std::size_t q = p + 1; q < st.ms.size(); ++q) {
            const auto c = static_cast<uint32_t>(and_into(a, st.level.words.data() + st.ms[q].offset, dst + used, w));
            if (c >= s.min_count) {
                st.child.members.push_back({st.ms[q].item, c, used, st.ms[q].local});
                used += w;
            }
        }
    }
};

//! Explores the class levels[depth], whose prefix holds `depth` items. Members of a
//! terminal class complete k_max-sets and are emitted; otherwise each member M is
//! pushed onto the prefix, recorded as a lower set when the prefix then has k_max - 1
//! items, and its own class (M joined with every later member) is explored in turn.
//! Leaves the prefix as it found it.
template <class Rep>
void extend(Search& s, std::size_t depth) {
    if (s.levels[depth].members.empty()) return;
    if (depth + 1 == s.k_max) {
        for (const Member& m : s.levels[depth].members) emit_top(s, m.item, m.count);
        return;
    }
    if (s.levels.size() < depth + 2) s.levels.resize(depth + 2);
    const std::vector<Member>& cls = s.levels[depth].members;
    const bool at_lower = depth + 2 == s.k_max;
    for (std::size_t p = 0; p < cls.size(); ++p) {
        s.prefix.push_back(cls[p].item);
        if (at_lower) emit_lower(s, cls[p].count);
        if (p + 1 < cls.size()) {
            // The child of a lower-level member holds complete k_max-sets: counts
            // are all it needs.
            Rep::build_child(s, depth, p, !at_lower);
            extend<Rep>(s, depth + 1);
        }
        s.prefix.pop_back();
    }
}

//! Heads the search of frequent item `slot` with its class (its frequent pairs, already
//! in levels[1]) and explores it in representation Rep.
template <class Rep>
void explore_root(Search& s, const Params& pr, uint32_t slot) {
    const FrequentItems& fr = *pr.frequent;
    s.prefix.reserve(std::min<std::size_t>(pr.k_max, fr.items.size()));
    s.prefix.push_back(fr.items[slot]);
    extend<Rep>(s, 1);
}

}  // namespace tallisk::eclat::detail
