// Canonical row order of an itemset table: rows by length, then lexicographically by
// their (ascending) item ids.
//
// Every row is encoded as a fixed-width key, one layout per length, whose numeric order
// is the rows' lexicographic order; of two layouts the narrower is taken:
//   packed - the row's codes (each item's rank in the alphabet) side by side, the first
//            item in the highest bits: length * bits-per-code bits;
//   mask   - the set of its codes as a bitset over the alphabet, code 0 in the highest
//            bit, complemented: F bits for an alphabet of F ids. Of two sets of one size,
//            the one holding the smallest code where they differ comes first, and its
//            complement is the one with the lower bit there.
// Keys carry the whole row, so the sorted rows are written back from the keys into the
// table's own columns: no second item column and no gather from scattered rows.
//
// The sort buckets the rows by (length, top bits of the key), then sorts each bucket:
// one pass counts the rows per bucket and chunk of the table (the top bits need only a
// row's first items), one encodes every row straight into its bucket, keeping table
// order within it, and each bucket is then sorted in cache - by comparison when small,
// by counting sorts of the remaining digits when large - and written back. The passes
// and the buckets run on the pool. The sorts are stable and the bucketing keeps table
// order, so equal rows (there are none in the miner's output) keep theirs and the
// result is the same for every number of workers.
#include <algorithm>
#include <bit>
#include <numeric>
#include <utility>

#include "common/pool.hpp"
#include "common/tuning.hpp"
#include "engine/output.hpp"

namespace tallisk::engine {
namespace {

//! The rows of one length and how their keys are laid out.
struct Group {
    std::size_t n_rows = 0;
    std::size_t first_row = 0;   // in the sorted table
    std::size_t first_item = 0;  // in the sorted table
    std::size_t first_word = 0;  // of its keys in the sorted key space
    bool mask = false;           // mask keys, else packed keys
    std::size_t bits = 0;        // significant bits of a key
    std::size_t words = 0;       // 64-bit words of a key, the most significant first
    unsigned digit = 0;          // top bits of the key that pick the bucket
    std::size_t first_bucket = 0;

    std::size_t stride() const { return words + 1; }  // a record: the key's words, then the count
};

// Bit p of a key's value (0: the least significant) lives in word words - 1 - p / 64.
// Keys of one word, the usual case, are handled by code instantiated with Words = 1;
// Words = 0 reads the width from the group.

//! The n bits (1 .. 64) of the key's value from bit `pos` on.
inline uint64_t field(const uint64_t* key, std::size_t words, std::size_t pos, unsigned n) {
    const std::size_t w = pos / 64;
    const unsigned s = pos % 64;
    uint64_t v = key[words - 1 - w] >> s;
    if (s != 0 && s + n > 64 && w + 1 < words) v |= key[words - 2 - w] << (64 - s);
    return n == 64 ? v : v & ((uint64_t{1} << n) - 1);
}

class Sorter {
public:
    Sorter(Table& t, std::span<const int32_t> alphabet) : t_(t), alphabet_(alphabet) {
        const int32_t top = alphabet.empty() ? 0 : alphabet.back();
        code_of_.assign(static_cast<std::size_t>(top) + 1, 0);
        for (std::size_t c = 0; c < alphabet.size(); ++c)
            code_of_[static_cast<std::size_t>(alphabet[c])] = static_cast<uint32_t>(c);
        code_bits_ = std::max<unsigned>(1, std::bit_width(std::max<std::size_t>(alphabet.size(), 1) - 1));
    }

    void run() {
        const std::size_t n = t_.counts.size();
        const std::size_t workers = pool::num_threads();
        const std::size_t chunk =
            workers > 1 && n > tuning::kEngineOrderChunkRows
                ? std::max(tuning::kEngineOrderChunkRows, n / (workers * tuning::kEngineOrderPiecesPerWorker) + 1)
                : std::max<std::size_t>(n, 1);
        bounds_ = pool::even_bounds(n, chunk);
        lay_out_groups();
        place_buckets();
        encode();
        write_back();
    }

private:
    std::size_t row_length(std::size_t r) const { return static_cast<std::size_t>(t_.offsets[r + 1] - t_.offsets[r]); }
    const int32_t* row(std::size_t r) const { return t_.items.data() + t_.offsets[r]; }
    uint32_t code(int32_t id) const { return code_of_[static_cast<std::size_t>(id)]; }

    template <class Body>
    void each_chunk(Body&& body) {
        pool::each_range(bounds_, [&](std::size_t b, std::size_t e) { body(chunk_of(b), b, e); });
    }
    std::size_t chunk_of(std::size_t begin) const {
        return static_cast<std::size_t>(std::lower_bound(bounds_.begin(), bounds_.end(), begin) - bounds_.begin());
    }

    //! Rows per length, and each length's key layout and buckets.
    void lay_out_groups() {
        const auto hist = pool::map_ranges<std::vector<std::size_t>>(bounds_, [&](std::size_t b, std::size_t e) {
            std::vector<std::size_t> h;
            for (std::size_t r = b; r != e; ++r) {
                const std::size_t len = row_length(r);
                if (len >= h.size()) h.resize(len + 1, 0);
                ++h[len];
            }
            return h;
        });
        std::size_t n_lengths = 0;
        for (const auto& h : hist) n_lengths = std::max(n_lengths, h.size());
        groups_.assign(n_lengths, Group{});
        for (const auto& h : hist)
            for (std::size_t len = 0; len < h.size(); ++len) groups_[len].n_rows += h[len];
        std::size_t row = 0, item = 0, word = 0, bucket = 0;
        for (std::size_t len = 0; len < n_lengths; ++len) {
            Group& g = groups_[len];
            const std::size_t packed = len * code_bits_;
            g.mask = alphabet_.size() < packed;
            g.bits = g.mask ? alphabet_.size() : packed;
            g.words = (g.bits + 63) / 64;
            // About kEngineOrderBucketRows rows a bucket, at most 2^kEngineOrderDigitBits
            // buckets a length.
            const auto wanted = static_cast<std::size_t>(std::bit_width(g.n_rows / tuning::kEngineOrderBucketRows));
            g.digit = static_cast<unsigned>(std::min({g.bits, wanted, tuning::kEngineOrderDigitBits}));
            g.first_row = row;
            g.first_item = item;
            g.first_word = word;
            g.first_bucket = bucket;
            row += g.n_rows;
            item += g.n_rows * len;
            word += g.n_rows * g.stride();
            bucket += g.n_rows == 0 ? 0 : std::size_t{1} << g.digit;
        }
        n_buckets_ = bucket;
        length_of_.resize(n_buckets_);
        for (std::size_t len = 0; len < n_lengths; ++len) {
            const Group& g = groups_[len];
            if (g.n_rows != 0)
                std::fill_n(length_of_.begin() + static_cast<std::ptrdiff_t>(g.first_bucket), std::size_t{1} << g.digit,
                            len);
        }
        records_.resize(word);
    }

    //! The bucket of a row: its key's top g.digit bits, found from its first items.
    std::size_t bucket_of(const int32_t* items, std::size_t len, const Group& g) const {
        if (g.digit == 0) return g.first_bucket;
        uint64_t top = 0;
        if (g.mask) {
            // The complement's top bits say which of codes 0 .. digit - 1 the row lacks;
            // the row's codes ascend, so they are its first ones.
            top = (uint64_t{1} << g.digit) - 1;
            for (std::size_t i = 0; i < len; ++i) {
                const uint32_t c = code(items[i]);
                if (c >= g.digit) break;
                top ^= uint64_t{1} << (g.digit - 1 - c);
            }
        } else {
            // The first codes, enough to cover the digit.
            std::size_t taken = 0;
            for (std::size_t i = 0; i < len && taken < g.digit; ++i, taken += code_bits_)
                top = top << code_bits_ | code(items[i]);
            top >>= taken - g.digit;
        }
        return g.first_bucket + top;
    }

    //! Where each bucket starts in the sorted table, and where each chunk's rows of it go.
    void place_buckets() {
        auto per_chunk = pool::map_ranges<std::vector<std::size_t>>(bounds_, [&](std::size_t b, std::size_t e) {
            std::vector<std::size_t> counts(n_buckets_, 0);
            for (std::size_t r = b; r != e; ++r) {
                const std::size_t len = row_length(r);
                ++counts[bucket_of(row(r), len, groups_[len])];
            }
            return counts;
        });
        bucket_at_.assign(n_buckets_ + 1, 0);
        std::size_t at = 0;
        for (std::size_t k = 0; k < n_buckets_; ++k) {
            bucket_at_[k] = at;
            for (std::vector<std::size_t>& counts : per_chunk) at += std::exchange(counts[k], at);
        }
        bucket_at_[n_buckets_] = at;
        next_ = std::move(per_chunk);
    }

    //! The key of a row. Built in registers when it has one word: the key's place in
    //! its bucket is usually not cached yet, and a store need not wait for the line
    //! where a read-modify-write per item would.
    template <std::size_t Words>
    void encode_row(const int32_t* items, std::size_t len, const Group& g, uint64_t* out) const {
        if constexpr (Words == 1) {
            uint64_t key = 0;
            if (g.mask) {
                const std::size_t f = alphabet_.size();
                for (std::size_t i = 0; i < len; ++i) key |= uint64_t{1} << (f - 1 - code(items[i]));
                key = ~key;
                if (g.bits % 64 != 0) key &= (uint64_t{1} << (g.bits % 64)) - 1;
            } else {
                for (std::size_t i = 0; i < len; ++i) key = key << code_bits_ | code(items[i]);
            }
            *out = key;
            return;
        }
        const std::size_t words = g.words;
        uint64_t* key = out;
        std::fill_n(key, words, 0);
        if (g.mask) {
            const std::size_t f = alphabet_.size();
            for (std::size_t i = 0; i < len; ++i) {
                const std::size_t p = f - 1 - code(items[i]);
                key[words - 1 - p / 64] |= uint64_t{1} << (p % 64);
            }
            for (std::size_t w = 0; w < words; ++w) key[w] = ~key[w];
            if (g.bits % 64 != 0) key[0] &= (uint64_t{1} << (g.bits % 64)) - 1;
        } else {
            for (std::size_t i = 0; i < len; ++i) {
                const std::size_t pos = (len - 1 - i) * code_bits_;
                const std::size_t w = pos / 64;
                const unsigned sh = pos % 64;
                const uint64_t v = code(items[i]);
                key[words - 1 - w] |= v << sh;
                if (sh != 0 && w + 1 < words) key[words - 2 - w] |= v >> (64 - sh);
            }
        }
    }

    //! Every row's key and count, written to its bucket in table order.
    void encode() {
        each_chunk([&](std::size_t j, std::size_t b, std::size_t e) {
            std::vector<std::size_t>& next = next_[j];
            for (std::size_t r = b; r != e; ++r) {
                const std::size_t len = row_length(r);
                const Group& g = groups_[len];
                const int32_t* items = row(r);
                const std::size_t at = next[bucket_of(items, len, g)]++;
                uint64_t* key = records_.data() + g.first_word + (at - g.first_row) * g.stride();
                if (g.words == 1)
                    encode_row<1>(items, len, g, key);
                else
                    encode_row<0>(items, len, g, key);
                key[g.words] = static_cast<uint64_t>(t_.counts[r]);
            }
        });
        next_.clear();
    }

    //! Sorts every bucket and writes its rows, counts and offsets into the table.
    void write_back() {
        t_.offsets[0] = 0;
        auto body = [&](std::size_t b, std::size_t e) {
            Scratch scratch;
            for (std::size_t k = b; k != e; ++k) {
                const std::size_t first = bucket_at_[k], n = bucket_at_[k + 1] - first;
                if (n == 0) continue;
                const Group& g = groups_[length_of_[k]];
                uint64_t* records = records_.data() + g.first_word + (first - g.first_row) * g.stride();
                if (g.words == 1)
                    write_bucket<1>(records, first, n, g, scratch);
                else
                    write_bucket<0>(records, first, n, g, scratch);
            }
        };
        if (bounds_.size() > 2)
            pool::for_range(n_buckets_, 1, body);
        else
            body(0, n_buckets_);
    }

    struct Scratch {
        std::vector<uint32_t> order;
        std::vector<uint64_t> records;
        std::vector<uint32_t> counts;
    };

    template <std::size_t Words>
    void write_bucket(uint64_t* records, std::size_t first, std::size_t n, const Group& g, Scratch& scratch) const {
        const std::size_t s = (Words != 0 ? Words : g.words) + 1;
        const std::size_t len = static_cast<std::size_t>(&g - groups_.data());
        const uint64_t* key = sort_bucket<Words>(records, n, g, scratch);
        std::size_t end_item = g.first_item + (first - g.first_row) * len;
        for (std::size_t row = first; row != first + n; ++row, key += s) {
            decode<Words>(key, len, g, t_.items.data() + end_item);
            end_item += len;
            t_.counts[row] = static_cast<int64_t>(key[s - 1]);
            t_.offsets[row + 1] = static_cast<int64_t>(end_item);
        }
    }

    //! Sorts the n records of a bucket (of one length, sharing the key's top g.digit
    //! bits), stably, and returns them in order: in `records` or in the scratch space.
    template <std::size_t Words>
    const uint64_t* sort_bucket(uint64_t* records, std::size_t n, const Group& g, Scratch& scratch) const {
        const std::size_t words = Words != 0 ? Words : g.words;
        const std::size_t s = words + 1;
        const std::size_t rest = g.bits - g.digit;  // the bits left to sort by
        if (n == 1 || rest == 0) return records;
        scratch.records.resize(n * s);
        uint64_t* other = scratch.records.data();
        if (n <= tuning::kEngineOrderSmallBucket) {
            // Few rows: sort their places by key, then copy the records in that order.
            std::vector<uint32_t>& order = scratch.order;
            order.resize(n);
            std::iota(order.begin(), order.end(), uint32_t{0});
            std::sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
                const uint64_t* kx = records + std::size_t{x} * s;
                const uint64_t* ky = records + std::size_t{y} * s;
                for (std::size_t w = 0; w < words; ++w)
                    if (kx[w] != ky[w]) return kx[w] < ky[w];
                return x < y;
            });
            for (std::size_t i = 0; i < n; ++i) std::copy_n(records + std::size_t{order[i]} * s, s, other + i * s);
            return other;
        }
        // Least significant digit first: each pass a stable counting sort by one digit,
        // the counts of every digit taken in one read. Digits all records share are
        // skipped (the top bits of dense data's keys vary little).
        const std::size_t passes = (rest + tuning::kEngineOrderRadixBits - 1) / tuning::kEngineOrderRadixBits;
        const auto r = static_cast<unsigned>((rest + passes - 1) / passes);
        const std::size_t radix = std::size_t{1} << r;
        auto digit = [&](const uint64_t* key, std::size_t p) {
            const std::size_t pos = p * r;
            const auto width = static_cast<unsigned>(std::min<std::size_t>(r, rest - pos));
            if constexpr (Words == 1) return static_cast<std::size_t>((key[0] >> pos) & ((uint64_t{1} << width) - 1));
            return static_cast<std::size_t>(field(key, words, pos, width));
        };
        std::vector<uint32_t>& counts = scratch.counts;
        counts.assign(passes * radix, 0);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t p = 0; p < passes; ++p) ++counts[p * radix + digit(records + i * s, p)];
        uint64_t* from = records;
        for (std::size_t p = 0; p < passes; ++p) {
            uint32_t* c = counts.data() + p * radix;
            if (*std::max_element(c, c + radix) == n) continue;
            uint32_t at = 0;
            for (std::size_t d = 0; d < radix; ++d) at += std::exchange(c[d], at);
            for (std::size_t i = 0; i < n; ++i) {
                const uint64_t* key = from + i * s;
                std::copy_n(key, s, other + std::size_t{c[digit(key, p)]++} * s);
            }
            std::swap(from, other);
        }
        return from;
    }

    template <std::size_t Words>
    void decode(const uint64_t* key, std::size_t len, const Group& g, int32_t* out) const {
        const std::size_t words = Words != 0 ? Words : g.words;
        if (g.mask) {
            const std::size_t f = alphabet_.size();
            for (std::size_t w = 0; w < words; ++w) {
                uint64_t m = ~key[w];
                if (w == 0 && g.bits % 64 != 0) m &= (uint64_t{1} << (g.bits % 64)) - 1;
                const std::size_t low = (words - 1 - w) * 64;  // value bit of this word's bit 0
                for (; m != 0; m &= ~(uint64_t{1} << (63 - std::countl_zero(m))))
                    *out++ = alphabet_[f - 1 - low - static_cast<std::size_t>(63 - std::countl_zero(m))];
            }
        } else {
            for (std::size_t i = 0; i < len; ++i)
                out[i] = alphabet_[field(key, words, (len - 1 - i) * code_bits_, code_bits_)];
        }
    }

    Table& t_;
    std::span<const int32_t> alphabet_;
    std::vector<uint32_t> code_of_;  // item id -> its rank in the alphabet
    unsigned code_bits_ = 1;         // bits of a packed code
    std::vector<std::size_t> bounds_;
    std::vector<Group> groups_;  // by length
    std::size_t n_buckets_ = 0;
    std::vector<std::size_t> length_of_;          // bucket -> its rows' length
    std::vector<std::size_t> bucket_at_;          // bucket -> its first row in the sorted table
    std::vector<std::vector<std::size_t>> next_;  // chunk, bucket -> where its next row goes
    large_vector<uint64_t> records_;              // keys and counts, by length and bucket
};

}  // namespace

void canonical_order(Table& t, std::span<const int32_t> alphabet) {
    if (t.counts.size() < 2) return;
    Sorter(t, alphabet).run();
}

}  // namespace tallisk::engine
