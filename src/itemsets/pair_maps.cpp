// Builders of the level-2 pair maps and the pair neighbour lists.
#include "itemsets/pair_maps.hpp"

#include <algorithm>

#include "common/error.hpp"
#include "common/pool.hpp"
#include "common/tuning.hpp"

namespace tallisk::itemsets {
namespace {

//! Intersects the two item bitmaps of every pair in parallel and fills a map in list
//! order (a repeated key keeps the later value). `convert` turns a Bitmap into V.
template <class V, class Convert>
ItemsetMap<V> pair_map(const PairSet& pairs, const ItemTxnsRoaring& item_txns, Convert convert) {
    const std::vector<PairKey> list(pairs.begin(), pairs.end());
    const std::size_t n = list.size();
    const std::size_t chunk = std::max<std::size_t>(n / (pool::num_threads() * tuning::kChunksPerWorker), 1);
    using Entry = std::pair<Itemset, V>;
    auto parts = pool::map_chunks<std::vector<Entry>>(n, chunk, [&](std::size_t begin, std::size_t end) {
        std::vector<Entry> out;
        out.reserve(end - begin);
        for (std::size_t i = begin; i < end; ++i) {
            const uint32_t a = pair_first(list[i]);
            const uint32_t b = pair_second(list[i]);
            const Bitmap& ba = item_txns.at(a);
            const Bitmap& bb = item_txns.at(b);
            out.emplace_back(Itemset{std::min(a, b), std::max(a, b)}, convert(ba.intersect(bb)));
        }
        return out;
    });
    ItemsetMap<V> map;
    map.reserve(n);
    for (auto& part : parts)
        for (auto& [key, value] : part) map.insert_or_assign(std::move(key), std::move(value));
    return map;
}

}  // namespace

BitmapLevel build_pair_tid_map(const PairSet& pairs, const ItemTxnsRoaring& item_txns) {
    return pair_map<Bitmap>(pairs, item_txns, [](Bitmap&& b) { return std::move(b); });
}

TidListLevel build_pair_tid_map_adaptive(const PairSet& pairs, const ItemTxnsRoaring& item_txns) {
    return pair_map<TidList>(pairs, item_txns, [](Bitmap&& b) { return TidList::from_roaring(std::move(b)); });
}

PairNeighbors build_pair_neighbors(const PairSet& pairs, uint32_t n_items) {
    PairNeighbors out(n_items);
    for (PairKey key : pairs) {
        const uint32_t a = pair_first(key);
        const uint32_t b = pair_second(key);
        check_index(a, out.size());
        check_index(b, out.size());
        out[a].push_back(b);
        out[b].push_back(a);
    }
    for (auto& list : out) std::sort(list.begin(), list.end());
    return out;
}

}  // namespace tallisk::itemsets
