// Character class tables shared by every parser. No Python here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace wl {

// Token characters (RFC 9110 tchar) mapped to their lower-case form; 0 for
// every byte that may not appear in a token.
extern const uint8_t kTokenLower[256];
// 1 for bytes allowed in a field value: HTAB, 0x20-0x7E, 0x80-0xFF.
extern const uint8_t kFieldValueOk[256];

inline bool is_token_char(uint8_t c) { return kTokenLower[c] != 0; }

inline bool is_token(std::string_view s) {
    if (s.empty()) return false;
    for (unsigned char c : s)
        if (!kTokenLower[c]) return false;
    return true;
}

#if defined(__SSE2__)
// The lanes of x that may not appear in a field value: at most 0x1F (an
// unsigned saturating subtract leaves 0) but not HTAB, or DEL.
inline int field_value_refused(__m128i x) {
    const __m128i ctl = _mm_andnot_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(9)),
                                         _mm_cmpeq_epi8(_mm_subs_epu8(x, _mm_set1_epi8(0x1f)), _mm_setzero_si128()));
    return _mm_movemask_epi8(_mm_or_si128(ctl, _mm_cmpeq_epi8(x, _mm_set1_epi8(0x7f))));
}
#endif

inline bool is_field_value(std::string_view s) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size();
#if defined(__SSE2__)
    // 16 bytes at a time. The tail is one more block overlapping the last; a
    // short value is read as two overlapping halves.
    auto refused = field_value_refused;
    if (n >= 16) {
        size_t i = 0;
        for (; i + 16 <= n; i += 16)
            if (refused(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)))) return false;
        return i == n || !refused(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16)));
    }
    if (n >= 8)
        return !refused(_mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                                           _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + n - 8))));
#endif
    for (size_t i = 0; i < n; ++i)
        if (!kFieldValueOk[p[i]]) return false;
    return true;
}

// is_field_value(src[0, n)) that also copies the bytes to dst in the same
// pass (the loads that check them are stored); dst is left partly written
// when the value is refused.
inline bool copy_field_value(const char* src, size_t n, char* dst) {
#if defined(__SSE2__)
    if (n >= 16) {
        int bad = 0;
        for (size_t i = 0;; i += 16) {
            if (i + 16 > n) i = n - 16;  // the last block overlaps the one before
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
            bad |= field_value_refused(x);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), x);
            if (i + 16 == n) return bad == 0;
        }
    }
    if (n >= 8) {
        const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src));
        const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + n - 8));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), a);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + n - 8), b);
        return !field_value_refused(_mm_unpacklo_epi64(a, b));
    }
    if (n >= 4) {
        uint32_t a, b;
        std::memcpy(&a, src, 4);
        std::memcpy(&b, src + n - 4, 4);
        std::memcpy(dst, &a, 4);
        std::memcpy(dst + n - 4, &b, 4);
        return !(field_value_refused(_mm_cvtsi64_si128(int64_t(uint64_t(a) | uint64_t(b) << 32))) & 0xff);
    }
#endif
    const unsigned char* p = reinterpret_cast<const unsigned char*>(src);
    uint8_t ok = 1;
    for (size_t i = 0; i < n; ++i) {
        ok &= kFieldValueOk[p[i]];
        dst[i] = char(p[i]);
    }
    return ok;
}

// Writes the lower-case form of the token src[0, n) to dst and says whether
// it is one (n > 0, token characters only). Names are mostly letters,
// digits and dashes: those are folded and checked 16 bytes at a time (short
// names as two overlapping loads); anything else goes through the table.
inline bool lower_token(const char* src, size_t n, char* dst) {
    if (n == 0) return false;
#if defined(__SSE2__)
    // The 16-bit mask of the lanes of x that hold a letter, a digit or a
    // dash; *out is x with ASCII upper case folded.
    auto fold = [](__m128i x, __m128i* out) {
        const __m128i up = _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8('A' - 1)),
                                         _mm_cmplt_epi8(x, _mm_set1_epi8('Z' + 1)));
        const __m128i l = _mm_or_si128(x, _mm_and_si128(up, _mm_set1_epi8(0x20)));
        const __m128i alpha = _mm_and_si128(_mm_cmpgt_epi8(l, _mm_set1_epi8('a' - 1)),
                                            _mm_cmplt_epi8(l, _mm_set1_epi8('z' + 1)));
        const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(l, _mm_set1_epi8('0' - 1)),
                                            _mm_cmplt_epi8(l, _mm_set1_epi8('9' + 1)));
        *out = l;
        return _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(alpha, digit), _mm_cmpeq_epi8(l, _mm_set1_epi8('-'))));
    };
    __m128i l;
    if (n >= 16) {
        bool ok = true;
        for (size_t i = 0;; i += 16) {
            if (i + 16 > n) i = n - 16;  // the last block overlaps the one before
            ok &= fold(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)), &l) == 0xffff;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), l);
            if (i + 16 == n) break;
        }
        if (ok) return true;
    } else if (n >= 8) {
        __m128i x = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src)),
                                       _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + n - 8)));
        if (fold(x, &l) == 0xffff) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), l);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + n - 8), _mm_srli_si128(l, 8));
            return true;
        }
    } else if (n >= 4) {
        uint32_t a, b;
        std::memcpy(&a, src, 4);
        std::memcpy(&b, src + n - 4, 4);
        if ((fold(_mm_cvtsi64_si128(int64_t(uint64_t(a) | uint64_t(b) << 32)), &l) & 0xff) == 0xff) {
            uint64_t w = uint64_t(_mm_cvtsi128_si64(l));
            a = uint32_t(w);
            b = uint32_t(w >> 32);
            std::memcpy(dst, &a, 4);
            std::memcpy(dst + n - 4, &b, 4);
            return true;
        }
    }
#endif
    const unsigned char* p = reinterpret_cast<const unsigned char*>(src);
    uint8_t bad = 0;
    for (size_t i = 0; i < n; ++i) {
        uint8_t c = kTokenLower[p[i]];
        bad |= uint8_t(c == 0);
        dst[i] = char(c);
    }
    return !bad;
}

// Visible ASCII (0x20-0x7E) and HTAB: the only values that can hold tokens.
inline bool is_visible_ascii(std::string_view s) {
    for (unsigned char c : s)
        if (!(c == '\t' || (c >= 0x20 && c < 0x7f))) return false;
    return true;
}

// Whether a[0, n) and b[0, n) hold the same bytes, read a word at a time
// (names are short: cheaper than a call to memcmp).
inline bool bytes_equal(const char* a, const char* b, size_t n) {
    if (n >= 8) {
        uint64_t x, y;
        for (size_t i = 0; i + 8 < n; i += 8) {
            std::memcpy(&x, a + i, 8);
            std::memcpy(&y, b + i, 8);
            if (x != y) return false;
        }
        std::memcpy(&x, a + n - 8, 8);
        std::memcpy(&y, b + n - 8, 8);
        return x == y;
    }
    if (n >= 4) {
        uint32_t x, y, u, v;
        std::memcpy(&x, a, 4);
        std::memcpy(&y, b, 4);
        std::memcpy(&u, a + n - 4, 4);
        std::memcpy(&v, b + n - 4, 4);
        return x == y && u == v;
    }
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

inline char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

inline bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

inline std::string_view trim_ows(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

// Calls f(element) for each comma-separated element, trimmed; stops early
// when f returns true, and returns whether it did.
template <class F>
bool for_each_list_element(std::string_view v, F&& f) {
    size_t pos = 0;
    while (true) {
        size_t comma = v.find(',', pos);
        std::string_view el = v.substr(pos, comma == std::string_view::npos ? v.npos : comma - pos);
        if (f(trim_ows(el))) return true;
        if (comma == std::string_view::npos) return false;
        pos = comma + 1;
    }
}

// True when a visible-ASCII value lists `token` as one of its elements.
inline bool has_list_token(std::string_view value, std::string_view token) {
    if (!is_visible_ascii(value)) return false;
    return for_each_list_element(value, [&](std::string_view el) { return iequals(el, token); });
}

}  // namespace wl
