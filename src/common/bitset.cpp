// Out of line on purpose: the kernels are cloned per CPU, and every caller goes through
// the one clone set the loader picked.
#include "common/bitset.hpp"

#include <bit>

// Bitset kernels are cloned for CPUs with a popcount instruction; the generic build would
// otherwise fall back to a much slower software popcount. The clones are picked by an
// ifunc resolver that runs while the library loads, before a sanitizer's runtime is ready
// (a ThreadSanitizer binary crashes there), so sanitizer builds compile one plain version.
#if defined(TALLISK_NO_TARGET_CLONES)
#define TALLISK_POPCOUNT_CLONES
#else
#define TALLISK_POPCOUNT_CLONES [[gnu::target_clones("arch=haswell", "popcnt", "default")]]
#endif

namespace tallisk {

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

}  // namespace tallisk
