// Tuning constants shared by more than one miner, each with the reason for its value.
// (Constants private to one kernel stay next to it.)
#pragma once

#include <cstddef>

namespace tallisk::tuning {

//! Sorted-list intersection (classic Apriori, Eclat): when the longer list is this many
//! times the shorter one, each element of the shorter list is found by galloping
//! (exponential then binary search) in the longer one instead of merging both. A merge
//! costs about |long| steps, galloping about |short| * log2(|long| / |short|) with more
//! expensive, less predictable steps; 32 is where galloping won on the benchmark data.
constexpr std::size_t kGallopListRatio = 32;

//! Candidate trie walk (level-wise counter): a node's children are searched by binary
//! search instead of being merged with the transaction row once they outnumber the row
//! positions still to be read by this factor. The walk's merge step is cheap (one
//! comparison) and its binary search is short, so the switch pays off much earlier
//! than for whole lists: at a factor of 2.
constexpr std::size_t kTrieSearchRatio = 2;

}  // namespace tallisk::tuning
