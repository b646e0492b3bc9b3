#include "proto/h1/scan.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace wl::h1 {

namespace {

// Stop bytes: everything up to `limit` (inclusive) and DEL.
template <uint8_t Limit>
inline bool stops(uint8_t c) {
    return c <= Limit || c == 0x7f;
}

template <uint8_t Limit>
size_t scan_ref(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (stops<Limit>(p[i])) return i;
    return n;
}

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// Sets the high bit of each byte of x that is <= Limit or == 0x7F. Borrows
// may also mark bytes above a true match, never below it, so the lowest
// marked byte (little-endian order) is always exact.
template <uint8_t Limit>
inline uint64_t word_mask(uint64_t x) {
    uint64_t below = (x - kOnes * (uint64_t(Limit) + 1)) & ~x & kHighs;
    uint64_t y = x ^ (kOnes * 0x7f);
    uint64_t del = (y - kOnes) & ~y & kHighs;
    return below | del;
}

inline size_t first_marked(uint64_t m) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return size_t(__builtin_clzll(m) >> 3);
#else
    return size_t(__builtin_ctzll(m) >> 3);
#endif
}

template <uint8_t Limit>
size_t scan_word(const uint8_t* p, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t x;
        std::memcpy(&x, p + i, 8);
        uint64_t m = word_mask<Limit>(x);
        if (m) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            // Borrow propagation runs towards higher addresses only on
            // little-endian words; check bytes one by one here.
            return i + scan_ref<Limit>(p + i, 8);
#else
            return i + first_marked(m);
#endif
        }
    }
    return i + scan_ref<Limit>(p + i, n - i);
}

#if defined(__SSE2__)
template <uint8_t Limit>
size_t scan_sse2(const uint8_t* p, size_t n) {
    const __m128i lim = _mm_set1_epi8(char(Limit));
    const __m128i del = _mm_set1_epi8(0x7f);
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        // v <= Limit (unsigned) exactly when min(v, Limit) == v.
        __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, lim), v);
        __m128i d = _mm_cmpeq_epi8(v, del);
        unsigned m = unsigned(_mm_movemask_epi8(_mm_or_si128(low, d)));
        if (m) return i + size_t(__builtin_ctz(m));
    }
    return i + scan_word<Limit>(p + i, n - i);
}
#endif

}  // namespace

size_t scan_value_ref(const uint8_t* p, size_t n) { return scan_ref<0x1f>(p, n); }
size_t scan_value_word(const uint8_t* p, size_t n) { return scan_word<0x1f>(p, n); }
size_t scan_target_ref(const uint8_t* p, size_t n) { return scan_ref<0x20>(p, n); }
size_t scan_target_word(const uint8_t* p, size_t n) { return scan_word<0x20>(p, n); }

#if defined(__SSE2__)
size_t scan_value_sse2(const uint8_t* p, size_t n) { return scan_sse2<0x1f>(p, n); }
size_t scan_target_sse2(const uint8_t* p, size_t n) { return scan_sse2<0x20>(p, n); }
#else
size_t scan_value_sse2(const uint8_t* p, size_t n) { return scan_word<0x1f>(p, n); }
size_t scan_target_sse2(const uint8_t* p, size_t n) { return scan_word<0x20>(p, n); }
#endif

}  // namespace wl::h1
