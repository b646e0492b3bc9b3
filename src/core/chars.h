// Character class tables shared by every parser. No Python here.
#pragma once
#include <cstddef>
#include <cstdint>
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

inline bool is_field_value(std::string_view s) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t i = 0, n = s.size();
#if defined(__SSE2__)
    // 16 bytes at a time: a byte is refused when it is at most 0x1F (an
    // unsigned saturating subtract leaves 0) but not HTAB, or is DEL.
    const __m128i k1f = _mm_set1_epi8(0x1f), ktab = _mm_set1_epi8(9), kdel = _mm_set1_epi8(0x7f);
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        __m128i ctl = _mm_andnot_si128(_mm_cmpeq_epi8(x, ktab), _mm_cmpeq_epi8(_mm_subs_epu8(x, k1f), zero));
        if (_mm_movemask_epi8(_mm_or_si128(ctl, _mm_cmpeq_epi8(x, kdel)))) return false;
    }
#endif
    for (; i < n; ++i)
        if (!kFieldValueOk[p[i]]) return false;
    return true;
}

// Visible ASCII (0x20-0x7E) and HTAB: the only values that can hold tokens.
inline bool is_visible_ascii(std::string_view s) {
    for (unsigned char c : s)
        if (!(c == '\t' || (c >= 0x20 && c < 0x7f))) return false;
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
