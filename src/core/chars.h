// Character class tables shared by every parser. No Python here.
#pragma once
#include <cstdint>
#include <string_view>

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
    for (unsigned char c : s)
        if (!kFieldValueOk[c]) return false;
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
