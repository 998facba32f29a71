// Eclat over frequent rows.
//
// Inside the task of item A every list is a list of *positions* in A's list of
// transactions (those where a later frequent item follows A) rather than of transaction
// ids: the subtree only ever looks at these transactions, so positions 0 .. |A| - 1 are
// a smaller universe with the same intersection sizes. A's class (its frequent pairs) is
// found by one scan of A's rows, each read from A's place in it. The class then picks
// one of two representations for its whole subtree, by density:
//   Lists - ascending u32 position lists, plus A's conditional rows (each position's
//           class members, as member indices). A child class is built either by
//           pairwise merge (galloping for very uneven lengths) or, when cheaper, by
//           projection through the conditional rows, restricted to the member's list;
//   Bits  - bitsets of |A| bits, intersected by AND and popcount.
#include <algorithm>
#include <cstring>
#include <limits>
#include <span>

#include "common/intersect.hpp"
#include "common/tuning.hpp"
#include "eclat/views.hpp"

namespace tallisk::eclat::detail {
namespace {

// Closes every frequent row; above every slot.
constexpr uint32_t kRowEnd = std::numeric_limits<uint32_t>::max();

//! Calls f(position, candidate) for every member after root-class member `after` that
//! is marked in s.candidate_of, in the conditional rows of the given positions.
template <class F>
void project(const Search& s, const uint32_t* positions, std::size_t n, uint32_t after, F&& f) {
    const uint32_t* offsets = s.cond_offsets.data();
    const uint32_t* members = s.cond_members.data();
    const uint32_t* candidate_of = s.candidate_of.data();
    for (std::size_t k = 0; k < n; ++k) {
        const uint32_t p = positions[k];
        const uint32_t* const end = members + offsets[p + 1];
        for (const uint32_t* it = first_after(members + offsets[p], end - members - offsets[p], after); it != end;
             ++it) {
            const uint32_t c = candidate_of[*it];
            if (c != kNotFrequent) f(p, c);
        }
    }
}

//! Ascending position lists.
struct Lists {
    //! Builds the class of member p of levels[depth] into levels[depth + 1]; with
    //! `materialise` false the members are only counted.
    static void build_child(Search& s, std::size_t depth, std::size_t p, bool materialise) {
        const std::vector<Member>& ms = s.levels[depth].members;
        // A merge walks both lists of every pair; a projection walks the conditional
        // rows of M's positions once (twice when the lists are needed). Take the cheaper.
        double merge_cost = 0;
        for (std::size_t q = p + 1; q < ms.size(); ++q) merge_cost += ms[q].count;
        merge_cost += static_cast<double>(ms.size() - p - 1) * ms[p].count;
        const double project_cost =
            tuning::kEclatProjectStepCost * (materialise ? 2 : 1) * s.later_per_txn * static_cast<double>(ms[p].count);
        if (project_cost < merge_cost)
            by_projection(s, depth, p, materialise);
        else
            by_merge(s, depth, p, materialise);
    }

    static void by_merge(Search& s, std::size_t depth, std::size_t p, bool materialise) {
        const ChildStep st(s, depth, p);
        const uint32_t* a = st.level.ids.data() + st.m.offset;
        if (!materialise) {
            for (std::size_t q = p + 1; q < st.ms.size(); ++q) {
                const Member& b = st.ms[q];
                const uint32_t c =
                    intersect<false>(a, st.m.count, st.level.ids.data() + b.offset, b.count, s.min_count, nullptr);
                if (c >= s.min_count) st.child.members.push_back({b.item, c, 0, b.local});
            }
            return;
        }
        // Every result fits in the smaller input, so this one bound covers the class.
        std::size_t bound = 0;
        for (std::size_t q = p + 1; q < st.ms.size(); ++q) bound += std::min(st.m.count, st.ms[q].count);
        uint32_t* dst = st.child.ids.fresh(bound);
        std::size_t used = 0;
        for (std::size_t q = p + 1; q < st.ms.size(); ++q) {
            const Member& b = st.ms[q];
            const uint32_t c =
                intersect<true>(a, st.m.count, st.level.ids.data() + b.offset, b.count, s.min_count, dst + used);
            if (c >= s.min_count) {
                st.child.members.push_back({b.item, c, used, b.local});
                used += c;
            }
        }
    }

    static void by_projection(Search& s, std::size_t depth, std::size_t p, bool materialise) {
        const ChildStep st(s, depth, p);
        const uint32_t* list = st.level.ids.data() + st.m.offset;
        const std::size_t n_cand = st.ms.size() - p - 1;
        const Member* cand = st.ms.data() + p + 1;
        for (std::size_t q = 0; q < n_cand; ++q) s.candidate_of[cand[q].local] = static_cast<uint32_t>(q);
        s.tally.assign(n_cand, 0);
        project(s, list, st.m.count, st.m.local, [&](uint32_t, uint32_t c) { ++s.tally[c]; });

        std::vector<Member>& cm = st.child.members;
        std::size_t total = 0;
        for (std::size_t q = 0; q < n_cand; ++q) {
            if (s.tally[q] >= s.min_count) {
                cm.push_back({cand[q].item, s.tally[q], total, cand[q].local});
                total += s.tally[q];
                s.tally[q] = static_cast<uint32_t>(cm.size() - 1);
            } else {
                s.tally[q] = kNotFrequent;
            }
        }
        if (materialise && !cm.empty()) {
            uint32_t* dst = st.child.ids.fresh(total);
            // Offsets double as fill cursors and are restored afterwards.
            project(s, list, st.m.count, st.m.local, [&](uint32_t pos, uint32_t c) {
                const uint32_t j = s.tally[c];
                if (j != kNotFrequent) dst[cm[j].offset++] = pos;
            });
            for (Member& x : cm) x.offset -= x.count;
        }
        for (std::size_t q = 0; q < n_cand; ++q) s.candidate_of[cand[q].local] = kNotFrequent;
    }
};

//! Count pass of the root `slot`: the pair counts of its item with every later frequent
//! item, indexed by slot - root - 1. With `cond` (when sets beyond pairs are wanted) the
//! later items of each row are copied too, as A's raw conditional rows: rows sit at
//! scattered addresses, so reading each one once and filling the lists from the
//! sequential copy saves a cache miss per transaction.
template <class Place>
std::vector<uint32_t> count_pairs(const RowsView& view, uint32_t slot, std::span<const Place> places,
                                  std::size_t n_later, Search* cond) {
    std::vector<uint32_t> tally(n_later, 0);
    const std::size_t m = places.size();
    uint32_t* cond_offsets = nullptr;
    uint32_t* cond_members = nullptr;
    uint32_t copied = 0;
    if (cond) {
        // The root's transactions are distinct, so their rows fit in all rows; pages of
        // the bound that are not written are never touched.
        const std::size_t bound = std::min(view.row_slots.size(), m * view.max_row);
        cond_offsets = cond->cond_offsets.fresh(m + 1);
        cond_members = cond->cond_members.fresh(bound);
    }
    const uint32_t* const rows = view.row_slots.data();
    for (std::size_t p = 0; p < m; ++p) {
        // Rows are read in the order of the root's transactions, all over memory: ask
        // for a later one ahead of use.
        if (p + tuning::kEclatRowPrefetch < m) __builtin_prefetch(rows + places[p + tuning::kEclatRowPrefetch]);
        const uint32_t* it = rows + places[p] + 1;
        if (cond) {
            cond_offsets[p] = copied;
            for (; *it != kRowEnd; ++it) {
                const uint32_t later = *it - slot - 1;
                ++tally[later];
                cond_members[copied++] = later;
            }
        } else {
            for (; *it != kRowEnd; ++it) ++tally[*it - slot - 1];
        }
    }
    if (cond) cond_offsets[m] = copied;
    return tally;
}

//! Turns the pair counts into the root's class in levels[1]: every later item reaching
//! min_count becomes a member, and its tally entry its member index (kNotFrequent for
//! the rest). Returns the sum of the members' counts.
uint64_t root_class(Search& s, const FrequentItems& fr, uint32_t slot, std::vector<uint32_t>& tally) {
    std::vector<Member>& cls = s.levels[1].members;
    uint64_t total = 0;
    for (std::size_t q = 0; q < tally.size(); ++q) {
        if (tally[q] >= s.min_count) {
            const auto j = static_cast<uint32_t>(cls.size());
            cls.push_back({fr.items[slot + 1 + q], tally[q], 0, j});
            total += tally[q];
            tally[q] = j;
        } else {
            tally[q] = kNotFrequent;
        }
    }
    return total;
}

//! Fills the root class's bitsets over its m positions from the raw conditional rows.
void fill_root_bits(Search& s, std::size_t m, const std::vector<uint32_t>& member_of) {
    std::vector<Member>& cls = s.levels[1].members;
    const uint32_t* cond_offsets = s.cond_offsets.data();
    const uint32_t* cond_members = s.cond_members.data();
    s.n_words = (m + 63) / 64;
    uint64_t* words = s.levels[1].words.fresh(cls.size() * s.n_words);
    std::memset(words, 0, cls.size() * s.n_words * sizeof(uint64_t));
    for (std::size_t j = 0; j < cls.size(); ++j) cls[j].offset = j * s.n_words;
    for (std::size_t p = 0; p < m; ++p) {
        for (uint32_t k = cond_offsets[p]; k < cond_offsets[p + 1]; ++k) {
            const uint32_t j = member_of[cond_members[k]];
            if (j != kNotFrequent) words[cls[j].offset + p / 64] |= uint64_t{1} << (p % 64);
        }
    }
}

//! Fills the root class's position lists from the raw conditional rows, and turns
//! those, in place, into the conditional rows that deeper projections walk: members
//! only, already numbered. Writes never pass reads.
void fill_root_lists(Search& s, std::size_t m, uint64_t total, const std::vector<uint32_t>& member_of) {
    std::vector<Member>& cls = s.levels[1].members;
    uint32_t* cond_offsets = s.cond_offsets.data();
    uint32_t* cond_members = s.cond_members.data();
    uint32_t* ids = s.levels[1].ids.fresh(total);
    std::vector<std::size_t> cursor(cls.size());
    std::size_t off = 0;
    for (std::size_t j = 0; j < cls.size(); ++j) {
        cls[j].offset = off;
        cursor[j] = off;
        off += cls[j].count;
    }
    uint32_t written = 0;
    for (std::size_t p = 0; p < m; ++p) {
        const uint32_t lo = cond_offsets[p], hi = cond_offsets[p + 1];
        cond_offsets[p] = written;
        for (uint32_t k = lo; k < hi; ++k) {
            const uint32_t j = member_of[cond_members[k]];
            if (j != kNotFrequent) {
                ids[cursor[j]++] = static_cast<uint32_t>(p);
                cond_members[written++] = j;
            }
        }
    }
    cond_offsets[m] = written;
    s.later_per_txn = static_cast<double>(total) / static_cast<double>(m);
    s.candidate_of.assign(cls.size(), kNotFrequent);
}

//! rows_task for root places of one width. `places` are the root's places in the rows
//! (see RowsView::root_offsets); positions below index this list: the root's
//! transactions that hold a later frequent item (the others hold no superset of it).
template <class Place>
void rows_task_at(const RowsView& view, const Params& pr, uint32_t slot, std::span<const Place> places, EclatOut& out) {
    const FrequentItems& fr = *pr.frequent;
    const std::size_t n_later = fr.items.size() - slot - 1;
    if (n_later == 0) return;
    const std::size_t m = places.size();
    Search s = new_search(pr, out);
    const bool fill = pr.k_max >= 3;  // only the pairs are wanted otherwise: no lists
    std::vector<uint32_t> member_of = count_pairs(view, slot, places, n_later, fill ? &s : nullptr);
    const uint64_t total = root_class(s, fr, slot, member_of);
    const std::size_t n_members = s.levels[1].members.size();
    if (n_members == 0) return;
    if (!fill) return explore_root<Lists>(s, pr, slot);
    const double density = static_cast<double>(total) / (static_cast<double>(n_members) * static_cast<double>(m));
    if (density >= 1.0 / tuning::kBitsetDivisor) {
        fill_root_bits(s, m, member_of);
        return explore_root<Bits>(s, pr, slot);
    }
    fill_root_lists(s, m, total, member_of);
    explore_root<Lists>(s, pr, slot);
}

//! The number of frequent items in row t of `rows`.
std::size_t frequent_len(const TransactionRows& rows, const std::vector<uint32_t>& slot_of, uint32_t t) {
    std::size_t len = 0;
    for (uint32_t item : rows.txn(t)) len += slot_of[item] != kNotFrequent;
    return len;
}

//! Fills v.root_offsets' places (of one width) from the frequent rows.
template <class Place>
void fill_places(const RowsView& v, std::vector<Place>& places) {
    const std::size_t n = v.root_offsets.size() - 1;
    places.resize(v.root_offsets[n]);
    std::vector<std::size_t> cursor(v.root_offsets.begin(), v.root_offsets.end() - 1);
    for (std::size_t k = 0; k < v.row_slots.size(); ++k) {
        const uint32_t slot = v.row_slots[k];
        if (slot != kRowEnd && v.row_slots[k + 1] != kRowEnd) places[cursor[slot]++] = k;
    }
}

}  // namespace

RowsView build_rows_view(TransactionRows&& rows, const FrequentItems& frequent) {
    const std::size_t n = frequent.items.size();
    const std::vector<uint32_t>& slot_of = frequent.slot_of;
    RowsView v;
    std::size_t entries = 0;
    for (uint32_t t = 0; t < rows.n_transactions; ++t) {
        const std::size_t len = frequent_len(rows, slot_of, t);
        if (len >= 2) entries += len + 1;
        v.max_row = std::max(v.max_row, len);
    }
    v.row_slots.resize(entries);
    v.root_offsets.assign(n + 1, 0);
    std::size_t written = 0;
    for (uint32_t t = 0; t < rows.n_transactions; ++t) {
        const std::size_t len = frequent_len(rows, slot_of, t);
        if (len < 2) continue;
        for (uint32_t item : rows.txn(t)) {
            const uint32_t slot = slot_of[item];
            if (slot != kNotFrequent) v.row_slots[written++] = slot;
        }
        for (std::size_t k = written - len; k + 1 < written; ++k) ++v.root_offsets[v.row_slots[k] + 1];
        v.row_slots[written++] = kRowEnd;
    }
    release(rows);  // the places below are found in the frequent rows
    for (std::size_t slot = 0; slot < n; ++slot) v.root_offsets[slot + 1] += v.root_offsets[slot];
    if (entries <= std::numeric_limits<uint32_t>::max())
        fill_places(v, v.root_pos32);
    else
        fill_places(v, v.root_pos64);
    return v;
}

void rows_task(const RowsView& view, const Params& pr, uint32_t slot, EclatOut& out) {
    const std::size_t lo = view.root_offsets[slot];
    const std::size_t len = view.root_offsets[slot + 1] - lo;
    if (view.root_pos64.empty())
        rows_task_at<uint32_t>(view, pr, slot, {view.root_pos32.data() + lo, len}, out);
    else
        rows_task_at<uint64_t>(view, pr, slot, {view.root_pos64.data() + lo, len}, out);
}

}  // namespace tallisk::eclat::detail
