// Out of line on purpose: the kernels are cloned per CPU, and every caller goes through
// the one clone set the loader picked.
#include "common/bitset.hpp"

#include <bit>

// On x86 the bitset kernels are cloned for CPUs with a popcount instruction; the generic
// x86-64 build would otherwise fall back to a much slower software popcount. The clones
// are picked by an ifunc resolver that runs while the library loads, before a
// sanitizer's runtime is ready (a ThreadSanitizer binary crashes there), so sanitizer
// builds compile one plain version. Clones need ifunc, which only ELF targets have (not
// macOS); other architectures compile the plain version, which is already the fast one
// where popcount is part of the base instruction set (AArch64's CNT).
#if !defined(TALLISK_NO_TARGET_CLONES) && (defined(__x86_64__) || defined(__i386__)) && defined(__ELF__) && \
    defined(__has_attribute)
#if __has_attribute(target_clones)
#define TALLISK_POPCOUNT_CLONES [[gnu::target_clones("arch=haswell", "popcnt", "default")]]
#endif
#endif
#ifndef TALLISK_POPCOUNT_CLONES
#define TALLISK_POPCOUNT_CLONES
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
