// Itemsets and the hash containers keyed by them.
//
// An itemset is an owned, ascending vector of 32-bit item ids. Maps keyed by itemsets
// hash the whole content and accept a span for lookups (heterogeneous lookup), so a
// candidate can be probed from a reusable scratch buffer without allocating a key.
// Item pairs are packed into one 64-bit key, smaller id in the high half.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>
#include <absl/hash/hash.h>
#include <absl/types/span.h>

#include "common/budget.hpp"

namespace tallisk {

using Itemset = std::vector<uint32_t>;

struct ItemsetHash {
    using is_transparent = void;
    std::size_t operator()(std::span<const uint32_t> s) const {
        return absl::Hash<absl::Span<const uint32_t>>{}(absl::Span<const uint32_t>(s.data(), s.size()));
    }
    std::size_t operator()(const Itemset& s) const { return (*this)(std::span<const uint32_t>(s)); }
};

struct ItemsetEq {
    using is_transparent = void;
    static bool same(std::span<const uint32_t> a, std::span<const uint32_t> b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
    }
    bool operator()(const Itemset& a, const Itemset& b) const { return a == b; }
    bool operator()(const Itemset& a, std::span<const uint32_t> b) const { return same(a, b); }
    bool operator()(std::span<const uint32_t> a, const Itemset& b) const { return same(a, b); }
    bool operator()(std::span<const uint32_t> a, std::span<const uint32_t> b) const { return same(a, b); }
};

//! Every hash table of the engine: Abseil's, with the allocator that keeps them intact
//! when memory runs out (see common/budget.hpp).
template <class K, class V, class Hash = absl::container_internal::hash_default_hash<K>,
          class Eq = absl::container_internal::hash_default_eq<K>>
using HashMap = absl::flat_hash_map<K, V, Hash, Eq, HashAllocator<std::pair<const K, V>>>;
template <class K, class Hash = absl::container_internal::hash_default_hash<K>,
          class Eq = absl::container_internal::hash_default_eq<K>>
using HashSet = absl::flat_hash_set<K, Hash, Eq, HashAllocator<K>>;

template <class V>
using ItemsetMap = HashMap<Itemset, V, ItemsetHash, ItemsetEq>;
using ItemsetSet = HashSet<Itemset, ItemsetHash, ItemsetEq>;
//! Level map: itemset -> number of distinct transactions holding all its items.
using CountMap = ItemsetMap<uint32_t>;

using PairKey = uint64_t;
inline PairKey pair_key(uint32_t a, uint32_t b) { return (static_cast<uint64_t>(a) << 32) | b; }
inline uint32_t pair_first(PairKey k) { return static_cast<uint32_t>(k >> 32); }
inline uint32_t pair_second(PairKey k) { return static_cast<uint32_t>(k); }
//! Unordered pair (a, b), a < b, as a key.
inline PairKey ordered_pair_key(uint32_t x, uint32_t y) { return x < y ? pair_key(x, y) : pair_key(y, x); }

using PairSet = HashSet<PairKey>;
using PairCounts = HashMap<PairKey, uint32_t>;

}  // namespace tallisk
