// The shared AND/popcount kernels against a bit-by-bit oracle: every length the
// vectorised clones split into body and tail, offsets that misalign the words, densities
// from empty to full, and the in-place form the engine's lookahead uses.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "common/bitset.hpp"

namespace tallisk {
namespace {

//! Bit t of a word array, read one bit at a time (no popcount, no word-wise AND).
bool bit(const uint64_t* w, std::size_t t) { return (w[t / 64] >> (t % 64)) & 1u; }

std::vector<uint64_t> random_words(std::mt19937_64& rng, std::size_t n, double density) {
    std::bernoulli_distribution set(density);
    std::vector<uint64_t> w(n, 0);
    for (std::size_t t = 0; t < n * 64; ++t)
        if (set(rng)) w[t / 64] |= uint64_t{1} << (t % 64);
    return w;
}

TEST(Bitset, AndKernelsMatchABitByBitOracle) {
    std::mt19937_64 rng(5);
    const std::size_t lengths[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 64, 67};
    const double densities[] = {0.0, 0.03, 0.5, 0.97, 1.0};
    for (std::size_t n : lengths) {
        for (double da : densities) {
            for (double db : densities) {
                // One spare word in front, so the kernels also run from an odd word.
                for (std::size_t skew : {0, 1}) {
                    const std::vector<uint64_t> a = random_words(rng, n + skew, da);
                    const std::vector<uint64_t> b = random_words(rng, n + skew, db);
                    const uint64_t* pa = a.data() + skew;
                    const uint64_t* pb = b.data() + skew;
                    uint64_t want = 0;
                    for (std::size_t t = 0; t < n * 64; ++t) want += bit(pa, t) && bit(pb, t);
                    SCOPED_TRACE(testing::Message() << "n=" << n << " da=" << da << " db=" << db << " skew=" << skew);

                    EXPECT_EQ(and_count(pa, pb, n), want);

                    // A guard word after the output catches a write past its end.
                    const uint64_t guard = 0x5A5A5A5A5A5A5A5Au;
                    std::vector<uint64_t> out(n + 1, guard);
                    EXPECT_EQ(and_into(pa, pb, out.data(), n), want);
                    for (std::size_t t = 0; t < n * 64; ++t) ASSERT_EQ(bit(out.data(), t), bit(pa, t) && bit(pb, t));
                    EXPECT_EQ(out[n], guard);

                    // In place: the result overwrites its first operand.
                    std::vector<uint64_t> acc(pa, pa + n);
                    EXPECT_EQ(and_into(acc.data(), pb, acc.data(), n), want);
                    EXPECT_EQ(acc, std::vector<uint64_t>(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n)));
                }
            }
        }
    }
}

}  // namespace
}  // namespace tallisk
