// Fast scanning of long runs in an HTTP/1 head. No Python here.
//
// Each scanner returns the index of the first byte that ends a run, or n
// when the whole input is part of the run. Three implementations per
// scanner: a plain byte loop (the reference), a machine word at a time, and
// an SSE2 vector at a time. They must agree on every input; the dispatching
// function picks the fastest one the build supports.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace wl::h1 {

// Field values: stops at any control byte (0x00-0x1F, HTAB included) and DEL.
// Bytes 0x80-0xFF (obs-text) and visible ASCII are part of the run; the
// caller handles HTAB itself and resumes.
size_t scan_value_ref(const uint8_t* p, size_t n);
size_t scan_value_word(const uint8_t* p, size_t n);
size_t scan_value_sse2(const uint8_t* p, size_t n);  // falls back to word without SSE2

// Request-targets: stops at any byte 0x00-0x20 (space included) and DEL.
size_t scan_target_ref(const uint8_t* p, size_t n);
size_t scan_target_word(const uint8_t* p, size_t n);
size_t scan_target_sse2(const uint8_t* p, size_t n);

namespace scan_detail {


// Stop bytes: everything up to `limit` (inclusive) and DEL.
template <uint8_t Limit>
inline bool stops(uint8_t c) {
    return c <= Limit || c == 0x7f;
}

template <uint8_t Limit>
inline size_t scan_ref(const uint8_t* p, size_t n) {
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
inline size_t scan_word(const uint8_t* p, size_t n) {
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
inline unsigned stop_mask(__m128i v) {
    // v <= Limit (unsigned) exactly when min(v, Limit) == v.
    __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(char(Limit))), v);
    __m128i d = _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7f));
    return unsigned(_mm_movemask_epi8(_mm_or_si128(low, d)));
}

// Two vectors per step: most header values and names end within 32 bytes,
// so the loop usually leaves on its first test, which predicts well.
template <uint8_t Limit>
inline size_t scan_sse2(const uint8_t* p, size_t n) {
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        unsigned a = stop_mask<Limit>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
        unsigned b = stop_mask<Limit>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16)));
        unsigned m = a | b << 16;
        if (m) return i + size_t(__builtin_ctz(m));
    }
    if (i + 16 <= n) {
        unsigned m = stop_mask<Limit>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
        if (m) return i + size_t(__builtin_ctz(m));
        i += 16;
    }
    return i + scan_word<Limit>(p + i, n - i);
}
#endif

}  // namespace scan_detail

// Header names are scanned without writing (the scan may read the caller's
// immutable bytes) and lower-cased later, where they are copied.

inline bool is_common_name_byte(uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

#if defined(__SSE2__)
namespace scan_detail {
// Bytes of v in [Lo, Lo + Width): moved down by Lo and across by 0x80,
// exactly those land below -128 + Width as signed bytes.
template <uint8_t Lo, uint8_t Width>
inline __m128i in_range(__m128i v) {
    __m128i t = _mm_add_epi8(v, _mm_set1_epi8(char(uint8_t(0x80 - Lo))));
    return _mm_cmplt_epi8(t, _mm_set1_epi8(char(uint8_t(0x80 + Width))));
}

// Bytes of v that are letters, digits, '-' or '_'.
inline __m128i common_name_bytes(__m128i v) {
    __m128i letter = in_range<'a', 26>(_mm_or_si128(v, _mm_set1_epi8(0x20)));
    __m128i digit = in_range<'0', 10>(v);
    __m128i punct = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('-')), _mm_cmpeq_epi8(v, _mm_set1_epi8('_')));
    return _mm_or_si128(_mm_or_si128(letter, digit), punct);
}
}  // namespace scan_detail
#endif

// The length of the leading run of common name bytes (letters, digits, '-',
// '_'). The caller finishes the name with the full token table (rare token
// bytes, ':').
inline size_t name_run(const uint8_t* p, size_t n) {
    size_t i = 0;
#if defined(__SSE2__)
    auto ok_bits = [](const uint8_t* q) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        return unsigned(_mm_movemask_epi8(scan_detail::common_name_bytes(v)));
    };
    for (; i + 32 <= n; i += 32) {
        unsigned bad = ~(ok_bits(p + i) | ok_bits(p + i + 16) << 16);
        if (bad) return i + size_t(__builtin_ctz(bad));
    }
    if (i + 16 <= n) {
        unsigned bad = ~ok_bits(p + i) & 0xffffu;
        if (bad) return i + size_t(__builtin_ctz(bad));
        i += 16;
    }
#endif
    for (; i < n; ++i)
        if (!is_common_name_byte(p[i])) return i;
    return n;
}

#if defined(__SSE2__)
namespace scan_detail {
// name_window() below, for a window that starts at the line (AtLine: at
// least 32 bytes are left from p) or ends at len.
template <bool AtLine>
inline bool name_window(const uint8_t* b, size_t len, size_t p, size_t* name_len) {
    size_t w = AtLine ? p : len - 32;
    unsigned shift = AtLine ? 0 : unsigned(p - w);
    __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + w));
    // Bits of the bytes from p on that are no common name bytes; the second
    // half is looked at only when the name may reach into it.
    unsigned other = (~unsigned(_mm_movemask_epi8(common_name_bytes(lo))) & 0xffffu) >> shift;
    if (!other) {
        __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + w + 16));
        other = (~unsigned(_mm_movemask_epi8(common_name_bytes(hi))) << 16) >> shift;
    }
    if (!other) return false;
    unsigned c = unsigned(__builtin_ctz(other));
    if (c == 0 || b[p + c] != ':') return false;
    *name_len = c;
    return true;
}

// line_window() below, windows as for name_window(). The name is found as
// name_window<AtLine>() finds it, from the same loads as the stops.
template <bool AtLine>
inline bool line_window(const uint8_t* b, size_t len, size_t p, size_t* name_len, size_t* stop) {
    size_t w = AtLine ? p : len - 32;
    unsigned shift = AtLine ? 0 : unsigned(p - w);
    __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + w));
    __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + w + 16));
    unsigned other = (~unsigned(_mm_movemask_epi8(common_name_bytes(lo))) & 0xffffu) >> shift;
    if (!other) other = (~unsigned(_mm_movemask_epi8(common_name_bytes(hi))) << 16) >> shift;
    if (!other) return false;
    unsigned c = unsigned(__builtin_ctz(other));
    if (c == 0 || b[p + c] != ':') return false;
    // Name bytes are no stop bytes: the first stop lies past the colon.
    unsigned stops = (stop_mask<0x1f>(lo) | stop_mask<0x1f>(hi) << 16) >> shift;
    *name_len = c;
    if (stops) {
        *stop = size_t(__builtin_ctz(stops));
        return true;
    }
    // Past the window: many lines end within one more vector.
    size_t x = w + 32;
    if (len - x >= 16) {
        unsigned m = stop_mask<0x1f>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + x)));
        if (m) {
            *stop = x - p + size_t(__builtin_ctz(m));
            return true;
        }
        x += 16;
    }
    *stop = x - p + scan_sse2<0x1f>(b + x, len - x);
    return true;
}

// One bit per byte of p[0, 64), set for the bytes that stop a value run:
// controls (HTAB included) and DEL.
inline uint64_t stop_bits64(const uint8_t* p) {
    auto bits = [p](size_t i) {
        return uint64_t(stop_mask<0x1f>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i))));
    };
    return bits(0) | bits(16) << 16 | bits(32) << 32 | bits(48) << 48;
}
}  // namespace scan_detail
#endif

// The name at the start of the header line at b[p] (p < len), read through
// one 32-byte window of b[0, len) (len >= 32): the window starts at the
// line, or ends at len when fewer than 32 bytes are left, the bytes before
// the line being readable too. The name is the run of common name bytes at
// p, which must be non-empty and end at a ':' inside the window; then sets
// *name_len to its length and returns true. False sends the line to the
// general scan.
inline bool name_window(const uint8_t* b, size_t len, size_t p, size_t* name_len) {
#if defined(__SSE2__)
    if (len - p >= 32) return scan_detail::name_window<true>(b, len, p, name_len);
    // A line takes at least 3 bytes ("x:\n"): the empty line that ends a
    // buffer needs no window.
    if (len - p < 3) return false;
    return scan_detail::name_window<false>(b, len, p, name_len);
#else
    (void)b, (void)len, (void)p, (void)name_len;
    return false;
#endif
}

// The name as name_window() reads it, and *stop set to the offset from p of
// the line's first control byte or DEL (len - p when there is none). The
// line end comes from the same loads as the name, so the next line does not
// wait on the name checks.
inline bool line_window(const uint8_t* b, size_t len, size_t p, size_t* name_len, size_t* stop) {
#if defined(__SSE2__)
    if (len - p >= 32) return scan_detail::line_window<true>(b, len, p, name_len, stop);
    if (len - p < 3) return false;
    return scan_detail::line_window<false>(b, len, p, name_len, stop);
#else
    (void)b, (void)len, (void)p, (void)name_len, (void)stop;
    return false;
#endif
}

// The map of b[w, w + 64) that stop_bits64() gives, for w < len and
// len >= 64: the bits of the bytes at len and beyond are clear.
inline uint64_t stop_bits(const uint8_t* b, size_t len, size_t w) {
#if defined(__SSE2__)
    if (len - w >= 64) return scan_detail::stop_bits64(b + w);
    return scan_detail::stop_bits64(b + len - 64) >> (w - (len - 64));
#else
    uint64_t m = 0;
    for (size_t i = 0; i < 64 && w + i < len; ++i)
        if (scan_detail::stops<0x1f>(b[w + i])) m |= uint64_t(1) << i;
    return m;
#endif
}

#if defined(__SSE2__)
namespace scan_detail {
// v with its ASCII upper-case letters lowered, other bytes unchanged: a
// letter 'A'-'Z' moved up by 0x3F lands at -128..-103 as a signed byte,
// where nothing else does.
inline __m128i lower16(__m128i v) {
    __m128i t = _mm_add_epi8(v, _mm_set1_epi8(0x3f));
    __m128i upper = _mm_cmpgt_epi8(_mm_set1_epi8(-102), t);
    return _mm_or_si128(v, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
}
inline __m128i load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store16(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
}  // namespace scan_detail
#endif

// Writes src[0, n) to dst[0, n) with its ASCII letters lowered. `room`
// (>= n) is how many bytes from src and dst may be read and written, dst
// receiving src's bytes past n unchanged, which lets short names go through
// one vector step. Used on a copy of a block (dst already holds src's
// bytes): reading from src rather than from the fresh copy avoids waiting
// on the copy's stores.
inline void lower_copy(uint8_t* dst, const uint8_t* src, size_t n, size_t room) {
#if defined(__SSE2__)
    using namespace scan_detail;
    if (n >= 16) {
        // Whole vectors, the last one ending at the name's end (lowering is
        // idempotent, so overlapping is harmless).
        size_t i = 0;
        for (; i + 32 <= n; i += 16) store16(dst + i, lower16(load16(src + i)));
        __m128i a = load16(src + i), b = load16(src + n - 16);
        store16(dst + i, lower16(a));
        store16(dst + n - 16, lower16(b));
        return;
    }
    if (n > 0 && room >= 16) {
        const __m128i idx = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        __m128i v = load16(src);
        __m128i in_name = _mm_cmplt_epi8(idx, _mm_set1_epi8(char(n)));
        store16(dst, _mm_or_si128(_mm_andnot_si128(in_name, v), _mm_and_si128(in_name, lower16(v))));
        return;
    }
#else
    (void)room;
#endif
    for (size_t i = 0; i < n; ++i) dst[i] = src[i] >= 'A' && src[i] <= 'Z' ? uint8_t(src[i] + 32) : src[i];
}

// The index of the first A or B in p[0, n), or n. `room` (>= n) bytes
// are readable from p, which lets the last bytes go through a vector step.
template <char A, char B>
inline size_t find_either(const uint8_t* p, size_t n, size_t room) {
    size_t i = 0;
#if defined(__SSE2__)
    for (; i < n && i + 16 <= room; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        unsigned m = unsigned(_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(A)), _mm_cmpeq_epi8(v, _mm_set1_epi8(B)))));
        if (m) return std::min(n, i + size_t(__builtin_ctz(m)));
    }
#else
    (void)room;
#endif
    for (; i < n; ++i)
        if (p[i] == uint8_t(A) || p[i] == uint8_t(B)) return i;
    return n;
}

inline size_t scan_value(const uint8_t* p, size_t n) {
#if defined(__SSE2__)
    return scan_detail::scan_sse2<0x1f>(p, n);
#else
    return scan_detail::scan_word<0x1f>(p, n);
#endif
}

inline size_t scan_target(const uint8_t* p, size_t n) {
#if defined(__SSE2__)
    return scan_detail::scan_sse2<0x20>(p, n);
#else
    return scan_detail::scan_word<0x20>(p, n);
#endif
}

}  // namespace wl::h1
