// Eclat over global bitsets: every top-level class is found by ANDing the root's bitset
// with each later frequent item's, and every class below it stays in Bits over all
// transactions.
#include "eclat/views.hpp"

namespace tallisk::eclat::detail {

BitsView build_bits_view(TransactionRows&& rows, const FrequentItems& frequent, std::size_t n_words) {
    BitsView v;
    v.n_words = n_words;
    v.bits.assign(frequent.items.size() * n_words, 0);
    for (uint32_t t = 0; t < rows.n_transactions; ++t) {
        for (uint32_t item : rows.txn(t)) {
            const uint32_t slot = frequent.slot_of[item];
            if (slot != kNotFrequent) v.bits[slot * n_words + t / 64] |= uint64_t{1} << (t % 64);
        }
    }
    release(rows);
    return v;
}

void bits_task(const BitsView& view, const Params& pr, uint32_t slot, EclatOut& out) {
    const FrequentItems& fr = *pr.frequent;
    const std::size_t n_later = fr.items.size() - slot - 1;
    if (n_later == 0) return;
    const std::size_t w = view.n_words;
    const uint64_t* a = view.bits.data() + slot * w;
    const uint64_t* later = a + w;  // the bitsets of slot + 1, slot + 2, ...
    Search s = new_search(pr, out);
    s.n_words = w;
    std::vector<Member>& cls = s.levels[1].members;
    if (pr.k_max == 2) {
        for (std::size_t q = 0; q < n_later; ++q) {
            const auto c = static_cast<uint32_t>(and_count(a, later + q * w, w));
            if (c >= pr.min_count) cls.push_back({fr.items[slot + 1 + q], c, 0, static_cast<uint32_t>(q)});
        }
    } else {
        uint64_t* dst = s.levels[1].words.fresh(n_later * w);
        std::size_t used = 0;
        for (std::size_t q = 0; q < n_later; ++q) {
            const auto c = static_cast<uint32_t>(and_into(a, later + q * w, dst + used, w));
            if (c >= pr.min_count) {
                cls.push_back({fr.items[slot + 1 + q], c, used, static_cast<uint32_t>(q)});
                used += w;
            }
        }
    }
    if (!cls.empty()) explore_root<Bits>(s, pr, slot);
}

}  // namespace tallisk::eclat::detail
