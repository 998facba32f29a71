// Word-wise kernels over bitsets of 64-bit words, shared by the depth-first miners
// (Eclat's bit classes and the package engine's dense view): one definition, so that
// both get the same popcount dispatch.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tallisk {

//! |a AND b|: the bits set in both of two n_words-word bitsets.
uint64_t and_count(const uint64_t* a, const uint64_t* b, std::size_t n_words);

//! out = a AND b over n_words words; returns its popcount. `out` may be `a` or `b`.
uint64_t and_into(const uint64_t* a, const uint64_t* b, uint64_t* out, std::size_t n_words);

}  // namespace tallisk
