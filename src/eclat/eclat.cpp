// Eclat: depth-first search over vertical lists, one task per frequent item.
//
// Before the search, one of two global views is built, whichever the cost model finds
// cheaper for this input:
//   frequent rows  - every transaction's frequent items as slots (positions in the
//                    frequent-item list), ascending; infrequent items never reach the
//                    search. Sparse data takes this view.
//   global bitsets - one bitset over all transactions per frequent item. Dense data
//                    (few items in a large share of the transactions) takes this view:
//                    a top-level class then costs |later items| word-wise ANDs instead
//                    of a walk over every later item of every transaction.
//
// With frequent rows, inside the task of item A every list is a list of *positions* in
// A's list of transactions (those where a later frequent item follows A) rather than
// of transaction ids: the subtree only ever looks at these transactions, so positions
// 0 .. |A| - 1 are a smaller universe with the same intersection sizes. A's class (its
// frequent pairs) is found by one scan of A's rows, each read from A's place in it.
// The class then picks one of two representations for its whole subtree, by density:
//   Lists - ascending u32 position lists, plus A's conditional rows (each position's
//           class members, as member indices). A child class is built either by
//           pairwise merge (galloping for very uneven lengths) or, when cheaper, by
//           projection through the conditional rows, restricted to the member's list;
//   Bits  - bitsets of |A| bits, intersected by AND and popcount.
// With global bitsets every class uses Bits over all transactions. All run the same
// recursion (`extend`); only building a child class differs. Classes whose members are
// complete k_max-sets are counted, never materialised. Small searches run on the
// calling thread; waking the pool would cost more than the search.
#include "eclat/eclat.hpp"
#include "common/intersect.hpp"
#include "common/scratch.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>

#include "common/pool.hpp"
#include "common/support.hpp"

namespace tallisk::eclat {
namespace {

constexpr uint32_t kNotFrequent = std::numeric_limits<uint32_t>::max();
// A class switches to bitsets when its lists fill at least 1/32 of the positions on
// average: from there |A|-bit bitsets take no more memory than 32-bit lists, and an
// AND + popcount over them is several times faster than a merge.
constexpr double kBitsDensity = 1.0 / 32.0;
// Relative cost of one projection step (two table look-ups and an increment) against
// one merge step, used to choose how a list class is built.
constexpr double kProjectStepCost = 1.0;
// Cost of an AND + popcount of one 64-bit word, in projection steps (a table look-up and
// an increment at a scattered address); chooses between the two global views.
constexpr double kWordCost = 0.25;
// Below this many estimated steps the top level runs on the calling thread: the pool's
// wake-up (and, in a fresh process, its start) costs more than the second worker saves.
constexpr double kParallelMinSteps = 2.0e6;
// How many transactions ahead the top-level scan prefetches a row: enough to cover a
// miss to memory at a few nanoseconds per row.
constexpr std::size_t kPrefetchAhead = 8;
// Closes every frequent row; above every slot.
constexpr uint32_t kRowEnd = std::numeric_limits<uint32_t>::max();

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

//! What every top-level task reads: the input, the threshold and one global view of the
//! frequent items. Built on the calling thread, then shared read-only.
struct Shared {
    const FrequentItems* frequent = nullptr;
    std::size_t k_max = 0;
    uint32_t min_count = 1;
    bool global_bits = false;
    // Frequent rows (global_bits false): the slots of each transaction's frequent
    // items, ascending, each row closed by kRowEnd. Transactions with fewer than two
    // frequent items hold no pair and are left out.
    std::vector<uint32_t> row_slots;
    std::size_t max_row = 0;  // length of the longest frequent row
    // For each slot s, the places in row_slots where s occurs other than last in its
    // row, ascending: root_pos[root_offsets[s], root_offsets[s + 1]). Reading a row
    // from there needs no offset table and no search for the root. 64-bit places are
    // used only when the rows outgrow 32 bits.
    std::vector<std::size_t> root_offsets;
    std::vector<uint32_t> root_pos32;
    std::vector<uint64_t> root_pos64;
    // Global bitsets (global_bits true): n_words words per slot, bit t set when
    // transaction t holds the slot's item.
    std::size_t n_words = 0;
    std::vector<uint64_t> bits;
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

void emit_top(Search& s, uint32_t item, uint32_t count) {
    s.out->itemsets.insert(s.out->itemsets.end(), s.prefix.begin(), s.prefix.end());
    s.out->itemsets.push_back(item);
    s.out->counts.push_back(count);
}

void emit_lower(Search& s, uint32_t count) {
    s.out->lower_itemsets.insert(s.out->lower_itemsets.end(), s.prefix.begin(), s.prefix.end());
    s.out->lower_counts.push_back(count);
}

// ---- bitset intersection --------------------------------------------------------------

TALLISK_POPCOUNT_CLONES uint64_t and_count(const uint64_t* a, const uint64_t* b, std::size_t n_words) {
    uint64_t c = 0;
    for (std::size_t k = 0; k < n_words; ++k) c += static_cast<uint64_t>(std::popcount(a[k] & b[k]));
    return c;
}

TALLISK_POPCOUNT_CLONES uint64_t and_into(const uint64_t* a, const uint64_t* b, uint64_t* out, std::size_t n_words) {
    uint64_t c = 0;
    for (std::size_t k = 0; k < n_words; ++k) {
        const uint64_t w = a[k] & b[k];
        out[k] = w;
        c += static_cast<uint64_t>(std::popcount(w));
    }
    return c;
}

// ---- the two representations ----------------------------------------------------------

//! First element of the ascending range [first, first + n) greater than x. Rows are
//! short and the split points unpredictable, so this binary search selects by a
//! conditional move instead of branching.
inline const uint32_t* first_after(const uint32_t* first, std::size_t n, uint32_t x) {
    if (n == 0) return first;
    while (n > 1) {
        const std::size_t half = n / 2;
        first = first[half] <= x ? first + half : first;
        n -= half;
    }
    return first + (*first <= x);
}

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
            kProjectStepCost * (materialise ? 2 : 1) * s.later_per_txn * static_cast<double>(ms[p].count);
        if (project_cost < merge_cost)
            by_projection(s, depth, p, materialise);
        else
            by_merge(s, depth, p, materialise);
    }

    static void by_merge(Search& s, std::size_t depth, std::size_t p, bool materialise) {
        const Level& level = s.levels[depth];
        Level& child = s.levels[depth + 1];
        child.members.clear();
        const std::vector<Member>& ms = level.members;
        const Member& m = ms[p];
        const uint32_t* a = level.ids.data() + m.offset;
        if (!materialise) {
            for (std::size_t q = p + 1; q < ms.size(); ++q) {
                const uint32_t c =
                    intersect<false>(a, m.count, level.ids.data() + ms[q].offset, ms[q].count, s.min_count, nullptr);
                if (c >= s.min_count) child.members.push_back({ms[q].item, c, 0, ms[q].local});
            }
            return;
        }
        // Every result fits in the smaller input, so this one bound covers the class.
        std::size_t bound = 0;
        for (std::size_t q = p + 1; q < ms.size(); ++q) bound += std::min(m.count, ms[q].count);
        uint32_t* dst = child.ids.fresh(bound);
        std::size_t used = 0;
        for (std::size_t q = p + 1; q < ms.size(); ++q) {
            const uint32_t c =
                intersect<true>(a, m.count, level.ids.data() + ms[q].offset, ms[q].count, s.min_count, dst + used);
            if (c >= s.min_count) {
                child.members.push_back({ms[q].item, c, used, ms[q].local});
                used += c;
            }
        }
    }

    static void by_projection(Search& s, std::size_t depth, std::size_t p, bool materialise) {
        const Level& level = s.levels[depth];
        Level& child = s.levels[depth + 1];
        child.members.clear();
        const std::vector<Member>& ms = level.members;
        const Member& m = ms[p];
        const uint32_t* list = level.ids.data() + m.offset;
        const std::size_t n_cand = ms.size() - p - 1;
        for (std::size_t q = 0; q < n_cand; ++q) s.candidate_of[ms[p + 1 + q].local] = static_cast<uint32_t>(q);
        s.tally.assign(n_cand, 0);
        project(s, list, m.count, m.local, [&](uint32_t, uint32_t c) { ++s.tally[c]; });

        std::size_t total = 0;
        for (std::size_t q = 0; q < n_cand; ++q) {
            if (s.tally[q] >= s.min_count) {
                child.members.push_back({ms[p + 1 + q].item, s.tally[q], total, ms[p + 1 + q].local});
                total += s.tally[q];
                s.tally[q] = static_cast<uint32_t>(child.members.size() - 1);
            } else {
                s.tally[q] = kNotFrequent;
            }
        }
        if (materialise && !child.members.empty()) {
            uint32_t* dst = child.ids.fresh(total);
            std::vector<Member>& cm = child.members;
            // Offsets double as fill cursors and are restored afterwards.
            project(s, list, m.count, m.local, [&](uint32_t pos, uint32_t c) {
                const uint32_t j = s.tally[c];
                if (j != kNotFrequent) dst[cm[j].offset++] = pos;
            });
            for (Member& x : cm) x.offset -= x.count;
        }
        for (std::size_t q = 0; q < n_cand; ++q) s.candidate_of[ms[p + 1 + q].local] = kNotFrequent;
    }
};

//! Bitsets of n_words words (over the root's positions, or over all transactions).
struct Bits {
    static void build_child(Search& s, std::size_t depth, std::size_t p, bool materialise) {
        const Level& level = s.levels[depth];
        Level& child = s.levels[depth + 1];
        child.members.clear();
        const std::vector<Member>& ms = level.members;
        const std::size_t w = s.n_words;
        const uint64_t* a = level.words.data() + ms[p].offset;
        if (!materialise) {
            for (std::size_t q = p + 1; q < ms.size(); ++q) {
                const auto c = static_cast<uint32_t>(and_count(a, level.words.data() + ms[q].offset, w));
                if (c >= s.min_count) child.members.push_back({ms[q].item, c, 0, ms[q].local});
            }
            return;
        }
        uint64_t* dst = child.words.fresh((ms.size() - p - 1) * w);
        std::size_t used = 0;
        for (std::size_t q = p + 1; q < ms.size(); ++q) {
            const auto c = static_cast<uint32_t>(and_into(a, level.words.data() + ms[q].offset, dst + used, w));
            if (c >= s.min_count) {
                child.members.push_back({ms[q].item, c, used, ms[q].local});
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

Search new_search(const Shared& sh, EclatOut& out) {
    Search s;
    s.k_max = sh.k_max;
    s.min_count = sh.min_count;
    s.out = &out;
    s.levels.resize(2);
    return s;
}

//! Appends the subtree of frequent item `slot` to `out` from the frequent rows: its
//! frequent supersets of k_max and k_max - 1 items, in ascending lexicographic order.
//! `places` are the root's places in the rows (see Shared::root_offsets).
template <class Place>
void rows_task(const Shared& sh, uint32_t slot, std::span<const Place> places, EclatOut& out) {
    const FrequentItems& fr = *sh.frequent;
    const uint32_t a = fr.items[slot];
    const std::size_t n_later = fr.items.size() - slot - 1;
    if (n_later == 0) return;
    // Positions below index this list: the root's transactions that hold a later
    // frequent item (the others hold no superset of it).
    const std::size_t m = places.size();
    Search s = new_search(sh, out);

    // Count pass: the pair counts of a with every later frequent item. Unless only the
    // pairs are wanted, the later items of each row (as slot - a - 1) are copied too:
    // rows sit at scattered addresses, so reading each one once and filling the lists
    // from the sequential copy saves a cache miss per transaction.
    std::vector<uint32_t> tally(n_later, 0);
    const bool fill = sh.k_max >= 3;
    uint32_t* cond_offsets = nullptr;
    uint32_t* cond_members = nullptr;
    uint32_t copied = 0;
    if (fill) {
        // a's transactions are distinct, so their rows fit in all rows; pages of the
        // bound that are not written are never touched.
        const std::size_t bound = std::min(sh.row_slots.size(), m * sh.max_row);
        cond_offsets = s.cond_offsets.fresh(m + 1);
        cond_members = s.cond_members.fresh(bound);
    }
    const uint32_t* const rows = sh.row_slots.data();
    for (std::size_t p = 0; p < m; ++p) {
        // Rows are read in the order of a's transactions, all over memory: ask for a
        // later one ahead of use.
        if (p + kPrefetchAhead < m) __builtin_prefetch(rows + places[p + kPrefetchAhead]);
        const uint32_t* it = rows + places[p] + 1;
        if (fill) {
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
    if (fill) cond_offsets[m] = copied;

    std::vector<Member>& cls = s.levels[1].members;
    uint64_t total = 0;
    for (std::size_t q = 0; q < n_later; ++q) {
        if (tally[q] >= sh.min_count) {
            const auto j = static_cast<uint32_t>(cls.size());
            cls.push_back({fr.items[slot + 1 + q], tally[q], 0, j});
            total += tally[q];
            tally[q] = j;  // from now on: member index
        } else {
            tally[q] = kNotFrequent;
        }
    }
    if (cls.empty()) return;
    s.prefix.reserve(std::min<std::size_t>(sh.k_max, fr.items.size()));
    s.prefix.push_back(a);
    if (!fill) {  // the pairs are the result; no lists needed
        extend<Lists>(s, 1);
        return;
    }

    // Fill pass, from the copy: the members' lists as positions in a's transaction list.
    const double density = static_cast<double>(total) / (static_cast<double>(cls.size()) * static_cast<double>(m));
    if (density >= kBitsDensity) {
        s.n_words = (m + 63) / 64;
        uint64_t* words = s.levels[1].words.fresh(cls.size() * s.n_words);
        std::memset(words, 0, cls.size() * s.n_words * sizeof(uint64_t));
        for (std::size_t j = 0; j < cls.size(); ++j) cls[j].offset = j * s.n_words;
        for (std::size_t p = 0; p < m; ++p) {
            for (uint32_t k = cond_offsets[p]; k < cond_offsets[p + 1]; ++k) {
                const uint32_t j = tally[cond_members[k]];
                if (j != kNotFrequent) words[cls[j].offset + p / 64] |= uint64_t{1} << (p % 64);
            }
        }
        extend<Bits>(s, 1);
        return;
    }
    uint32_t* ids = s.levels[1].ids.fresh(total);
    std::vector<std::size_t> cursor(cls.size());
    std::size_t off = 0;
    for (std::size_t j = 0; j < cls.size(); ++j) {
        cls[j].offset = off;
        cursor[j] = off;
        off += cls[j].count;
    }
    // The same pass turns the copy, in place, into the conditional rows that deeper
    // projections walk: members only, already numbered. Writes never pass reads.
    uint32_t written = 0;
    for (std::size_t p = 0; p < m; ++p) {
        const uint32_t lo = cond_offsets[p], hi = cond_offsets[p + 1];
        cond_offsets[p] = written;
        for (uint32_t k = lo; k < hi; ++k) {
            const uint32_t j = tally[cond_members[k]];
            if (j != kNotFrequent) {
                ids[cursor[j]++] = static_cast<uint32_t>(p);
                cond_members[written++] = j;
            }
        }
    }
    cond_offsets[m] = written;
    s.later_per_txn = static_cast<double>(total) / static_cast<double>(m);
    s.candidate_of.assign(cls.size(), kNotFrequent);
    extend<Lists>(s, 1);
}

//! As rows_task, from the global bitsets.
void bits_task(const Shared& sh, uint32_t slot, EclatOut& out) {
    const FrequentItems& fr = *sh.frequent;
    const std::size_t n_later = fr.items.size() - slot - 1;
    if (n_later == 0) return;
    const std::size_t w = sh.n_words;
    const uint64_t* a = sh.bits.data() + slot * w;
    Search s = new_search(sh, out);
    s.n_words = w;
    std::vector<Member>& cls = s.levels[1].members;
    if (sh.k_max == 2) {
        for (std::size_t q = 0; q < n_later; ++q) {
            const auto c = static_cast<uint32_t>(and_count(a, sh.bits.data() + (slot + 1 + q) * w, w));
            if (c >= sh.min_count) cls.push_back({fr.items[slot + 1 + q], c, 0, static_cast<uint32_t>(q)});
        }
    } else {
        uint64_t* dst = s.levels[1].words.fresh(n_later * w);
        std::size_t used = 0;
        for (std::size_t q = 0; q < n_later; ++q) {
            const auto c = static_cast<uint32_t>(and_into(a, sh.bits.data() + (slot + 1 + q) * w, dst + used, w));
            if (c >= sh.min_count) {
                cls.push_back({fr.items[slot + 1 + q], c, used, static_cast<uint32_t>(q)});
                used += w;
            }
        }
    }
    if (cls.empty()) return;
    s.prefix.reserve(std::min<std::size_t>(sh.k_max, fr.items.size()));
    s.prefix.push_back(fr.items[slot]);
    extend<Bits>(s, 1);
}

//! Frees the transaction rows once the search has its own view of them.
void release(TransactionRows& rows) {
    std::vector<uint32_t>().swap(rows.txn_items);
    std::vector<uint32_t>().swap(rows.txn_offsets);
}

template <class T>
void append(std::vector<T>& to, std::vector<T>&& from) {
    to.insert(to.end(), from.begin(), from.end());
    std::vector<T>().swap(from);
}

}  // namespace

void EclatOut::merge(EclatOut&& other) {
    append(itemsets, std::move(other.itemsets));
    append(counts, std::move(other.counts));
    append(lower_itemsets, std::move(other.lower_itemsets));
    append(lower_counts, std::move(other.lower_counts));
}

uint32_t eclat_min_count(double min_support, uint32_t n_transactions) {
    return std::max<uint32_t>(min_count_from<uint32_t>(min_support, n_transactions, 1), 1);
}

FrequentItems frequent_items(const TransactionRows& rows, double min_support) {
    FrequentItems fr;
    fr.min_count = eclat_min_count(min_support, rows.n_transactions);
    fr.slot_of.assign(rows.n_items, kNotFrequent);
    for (uint32_t item = 0; item < rows.n_items; ++item) {
        if (rows.item_counts[item] >= fr.min_count) {
            fr.slot_of[item] = static_cast<uint32_t>(fr.items.size());
            fr.items.push_back(item);
        }
    }
    return fr;
}

EclatOut search(TransactionRows&& rows, const FrequentItems& frequent, std::size_t k_max) {
    const std::size_t n = frequent.items.size();
    if (n == 0 || k_max < 2) return {};
    Shared sh;
    sh.frequent = &frequent;
    sh.k_max = k_max;
    sh.min_count = frequent.min_count;

    // Choose the global view. A top-level scan of the frequent rows costs about
    // sum over transactions of C(frequent items in it, 2) steps (twice when lists are
    // filled); with r = occurrences / transactions that is about occurrences * (r - 1) / 2.
    // The bitsets cost C(n, 2) word ANDs and may take no more memory than the lists.
    const double n_txn = rows.n_transactions;
    double occurrences = 0;
    for (uint32_t item : frequent.items) occurrences += rows.item_counts[item];
    const double passes = k_max >= 3 ? 2 : 1;
    const double row_steps = passes * occurrences * std::max(occurrences / std::max(n_txn, 1.0) - 1, 0.0) / 2 +
                             static_cast<double>(rows.txn_items.size());
    const std::size_t n_words = (rows.n_transactions + std::size_t{63}) / 64;
    const double bit_words = static_cast<double>(n) * static_cast<double>(n - 1) / 2 * static_cast<double>(n_words);
    const double bit_bytes = static_cast<double>(n) * static_cast<double>(n_words) * sizeof(uint64_t);
    sh.global_bits =
        kWordCost * bit_words < row_steps && bit_bytes <= std::max(occurrences * sizeof(uint32_t), 65536.0);
    const double steps = sh.global_bits ? kWordCost * bit_words : row_steps;

    const std::vector<uint32_t>& slot_of = frequent.slot_of;
    if (sh.global_bits) {
        sh.n_words = n_words;
        sh.bits.assign(n * n_words, 0);
        for (uint32_t t = 0; t < rows.n_transactions; ++t) {
            for (uint32_t item : rows.txn(t)) {
                const uint32_t slot = slot_of[item];
                if (slot != kNotFrequent) sh.bits[slot * n_words + t / 64] |= uint64_t{1} << (t % 64);
            }
        }
        release(rows);
    } else {
        std::size_t entries = 0;
        for (uint32_t t = 0; t < rows.n_transactions; ++t) {
            std::size_t len = 0;
            for (uint32_t item : rows.txn(t)) len += slot_of[item] != kNotFrequent;
            if (len >= 2) entries += len + 1;
            sh.max_row = std::max(sh.max_row, len);
        }
        sh.row_slots.resize(entries);
        sh.root_offsets.assign(n + 1, 0);
        std::size_t written = 0;
        for (uint32_t t = 0; t < rows.n_transactions; ++t) {
            std::size_t len = 0;
            for (uint32_t item : rows.txn(t)) len += slot_of[item] != kNotFrequent;
            if (len < 2) continue;
            for (uint32_t item : rows.txn(t)) {
                const uint32_t slot = slot_of[item];
                if (slot != kNotFrequent) sh.row_slots[written++] = slot;
            }
            for (std::size_t k = written - len; k + 1 < written; ++k) ++sh.root_offsets[sh.row_slots[k] + 1];
            sh.row_slots[written++] = kRowEnd;
        }
        release(rows);  // the places below are found in the frequent rows
        for (std::size_t slot = 0; slot < n; ++slot) sh.root_offsets[slot + 1] += sh.root_offsets[slot];
        auto fill_places = [&](auto& places) {
            places.resize(sh.root_offsets[n]);
            std::vector<std::size_t> cursor(sh.root_offsets.begin(), sh.root_offsets.end() - 1);
            for (std::size_t k = 0; k < entries; ++k) {
                const uint32_t slot = sh.row_slots[k];
                if (slot != kRowEnd && sh.row_slots[k + 1] != kRowEnd) places[cursor[slot]++] = k;
            }
        };
        if (entries <= std::numeric_limits<uint32_t>::max())
            fill_places(sh.root_pos32);
        else
            fill_places(sh.root_pos64);
    }
    auto task = [&](uint32_t slot, EclatOut& out) {
        const std::size_t lo = sh.global_bits ? 0 : sh.root_offsets[slot];
        const std::size_t len = sh.global_bits ? 0 : sh.root_offsets[slot + 1] - lo;
        if (sh.global_bits)
            bits_task(sh, slot, out);
        else if (sh.root_pos64.empty())
            rows_task<uint32_t>(sh, slot, {sh.root_pos32.data() + lo, len}, out);
        else
            rows_task<uint64_t>(sh, slot, {sh.root_pos64.data() + lo, len}, out);
    };

    EclatOut out;
    if (steps < kParallelMinSteps) {
        for (std::size_t i = 0; i < n; ++i) task(static_cast<uint32_t>(i), out);
        return out;
    }
    std::vector<EclatOut> parts = pool::map_each<EclatOut>(n, [&](std::size_t i) {
        EclatOut part;
        task(static_cast<uint32_t>(i), part);
        return part;
    });
    std::size_t sizes[4] = {};
    for (const EclatOut& part : parts) {
        sizes[0] += part.itemsets.size();
        sizes[1] += part.counts.size();
        sizes[2] += part.lower_itemsets.size();
        sizes[3] += part.lower_counts.size();
    }
    out.itemsets.reserve(sizes[0]);
    out.counts.reserve(sizes[1]);
    out.lower_itemsets.reserve(sizes[2]);
    out.lower_counts.reserve(sizes[3]);
    for (EclatOut& part : parts) out.merge(std::move(part));
    return out;
}

}  // namespace tallisk::eclat
