#include "core/uri.h"

#include <cstring>

namespace wl {

const char* uri_error_reason(UriError e) {
    switch (e) {
        case UriError::Ok: return "ok";
        case UriError::InvalidUriChar: return "invalid uri character";
        case UriError::InvalidScheme: return "invalid scheme";
        case UriError::InvalidAuthority: return "invalid authority";
        case UriError::InvalidPort: return "invalid port";
        case UriError::InvalidFormat: return "invalid format";
        case UriError::SchemeMissing: return "scheme missing";
        case UriError::AuthorityMissing: return "authority missing";
        case UriError::PathMissing: return "path missing";
        case UriError::PathNoSlash: return "path does not start with slash";
        case UriError::TooLong: return "uri too long";
        case UriError::Empty: return "empty string";
        case UriError::SchemeTooLong: return "scheme too long";
    }
    return "invalid uri";
}

namespace {

enum : uint8_t { kPath = 1, kAuth = 2, kScheme = 4, kAlpha = 8 };

struct Tables {
    uint8_t t[256];
    constexpr Tables() : t() {
        for (int c = 0; c < 256; ++c) {
            uint8_t v = 0;
            bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            bool digit = c >= '0' && c <= '9';
            // Path and query: visible ASCII except '#', plus UTF-8 bytes.
            if ((c > 0x20 && c < 0x7f && c != '#') || c >= 0x80) v |= kPath;
            // Authority: unreserved, sub-delims, ':', '@', '[', ']', '%'.
            if (alpha || digit) v |= kAuth;
            switch (c) {
                case '-': case '.': case '_': case '~': case '!': case '$': case '&':
                case '\'': case '(': case ')': case '*': case '+': case ',': case ';':
                case '=': case ':': case '@': case '[': case ']': case '%':
                    v |= kAuth;
                    break;
                default: break;
            }
            if (alpha || digit || c == '+' || c == '-' || c == '.') v |= kScheme;
            if (alpha) v |= kAlpha;
            t[c] = v;
        }
    }
};
constexpr Tables kTab;

inline uint8_t cls(char c) { return kTab.t[static_cast<unsigned char>(c)]; }

inline bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The text between the brackets of an IP-literal host: an IPv6 address
// (hex digits, ':' and '.' for an embedded IPv4 tail, two colons at least)
// or an IPvFuture ("v" hex digits "." and at least one more character).
bool valid_ip_literal(std::string_view s) {
    if (s.empty()) return false;
    if (s[0] == 'v' || s[0] == 'V') {
        size_t i = 1;
        while (i < s.size() && is_hex(s[i])) ++i;
        if (i == 1 || i >= s.size() || s[i] != '.' || i + 1 >= s.size()) return false;
        for (++i; i < s.size(); ++i)
            if (s[i] == '[' || s[i] == ']' || s[i] == '@' || s[i] == '%') return false;
        return true;
    }
    int colons = 0;
    for (char c : s) {
        if (c == ':')
            ++colons;
        else if (!is_hex(c) && c != '.')
            return false;
    }
    return colons >= 2;
}

// Scans an authority starting at s[0]; sets *end to the first byte past it.
// Brackets appear only around a whole IP-literal host; the host may hold
// percent-escapes, the port only digits for a value up to 65535.
UriError scan_authority(std::string_view s, size_t* end) {
    size_t i = 0;
    size_t at = std::string_view::npos;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (c == '/' || c == '?' || c == '#') break;
        if (!(cls(c) & kAuth)) return UriError::InvalidUriChar;
        if (c == '@') {
            if (at != std::string_view::npos) return UriError::InvalidAuthority;
            at = i;
        }
    }
    std::string_view auth = s.substr(0, i);
    std::string_view hp = auth;
    if (at != std::string_view::npos) {
        if (at + 1 == i) return UriError::InvalidAuthority;
        std::string_view userinfo = auth.substr(0, at);
        if (userinfo.find_first_of("[]") != std::string_view::npos) return UriError::InvalidAuthority;
        hp = auth.substr(at + 1);
    }
    size_t h = 0;
    if (!hp.empty() && hp[0] == '[') {
        size_t close = hp.find(']');
        if (close == std::string_view::npos || !valid_ip_literal(hp.substr(1, close - 1)))
            return UriError::InvalidAuthority;
        h = close + 1;
        if (h < hp.size() && hp[h] != ':') return UriError::InvalidAuthority;
    } else {
        while (h < hp.size() && hp[h] != ':') {
            char c = hp[h];
            if (c == '[' || c == ']') return UriError::InvalidAuthority;
            if (c == '%') {
                if (h + 2 >= hp.size() || !is_hex(hp[h + 1]) || !is_hex(hp[h + 2]))
                    return UriError::InvalidAuthority;
                h += 3;
                continue;
            }
            ++h;
        }
    }
    if (h < hp.size()) {
        std::string_view port = hp.substr(h + 1);
        if (port.find_first_of(":[]%") != std::string_view::npos) return UriError::InvalidAuthority;
        uint32_t v = 0;
        for (char c : port) {
            if (c < '0' || c > '9') return UriError::InvalidPort;
            v = v * 10 + uint32_t(c - '0');
            if (v > 65535) return UriError::InvalidPort;
        }
    }
    *end = i;
    return UriError::Ok;
}

// Path and query starting at s[0] (which is '/', '?' or '#', or s is empty).
UriError scan_path_query(std::string_view s, Uri* out) {
    size_t i = 0;
    size_t qpos = std::string_view::npos;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (c == '#') break;
        if (c == '?' && qpos == std::string_view::npos) {
            qpos = i;
            continue;
        }
        if (!(cls(c) & kPath)) return UriError::InvalidUriChar;
    }
    if (qpos == std::string_view::npos) {
        out->path = s.substr(0, i);
        out->has_query = false;
        out->query = {};
    } else {
        out->path = s.substr(0, qpos);
        out->has_query = true;
        out->query = s.substr(qpos + 1, i - qpos - 1);
    }
    return UriError::Ok;
}

}  // namespace

UriError parse_uri(std::string_view s, Uri* out) {
    *out = Uri{};
    if (s.size() > kUriMaxLen) return UriError::TooLong;
    if (s.empty()) return UriError::Empty;
    if (s.size() == 1 && s[0] == '*') {
        out->form = UriForm::Asterisk;
        out->path = s;
        return UriError::Ok;
    }
    if (s[0] == '/') {
        out->form = UriForm::Origin;
        return scan_path_query(s, out);
    }
    // scheme "://" ?
    size_t i = 0;
    while (i < s.size() && (cls(s[i]) & kScheme)) ++i;
    bool has_scheme = i < s.size() && s[i] == ':' && s.size() - i >= 3 && s[i + 1] == '/' && s[i + 2] == '/';
    if (has_scheme) {
        if (i == 0 || !(cls(s[0]) & kAlpha)) return UriError::InvalidScheme;
        if (i > kSchemeMaxLen) return UriError::SchemeTooLong;
        out->scheme = s.substr(0, i);
        std::string_view rest = s.substr(i + 3);
        size_t aend = 0;
        UriError e = scan_authority(rest, &aend);
        if (e != UriError::Ok) return e;
        if (aend == 0) return UriError::InvalidFormat;
        out->authority = rest.substr(0, aend);
        // An http(s) URL names a host; an empty one cannot be dialed.
        if ((out->is_http() || out->is_https()) && authority_host(out->authority).empty())
            return UriError::InvalidAuthority;
        out->form = UriForm::Absolute;
        return scan_path_query(rest.substr(aend), out);
    }
    if (i < s.size() && s[i] == ':' && i > kSchemeMaxLen && (cls(s[0]) & kAlpha) &&
        s.size() - i >= 3 && s[i + 1] == '/' && s[i + 2] == '/')
        return UriError::SchemeTooLong;
    // authority form: the whole text must be one authority
    size_t aend = 0;
    UriError e = scan_authority(s, &aend);
    if (e != UriError::Ok) return e;
    if (aend != s.size()) return UriError::InvalidFormat;
    out->form = UriForm::Authority;
    out->authority = s;
    return UriError::Ok;
}

std::string_view authority_host(std::string_view a) {
    size_t at = a.rfind('@');
    if (at != std::string_view::npos) a = a.substr(at + 1);
    if (!a.empty() && a[0] == '[') {
        size_t close = a.find(']');
        return close == std::string_view::npos ? a : a.substr(0, close + 1);
    }
    size_t colon = a.find(':');
    return colon == std::string_view::npos ? a : a.substr(0, colon);
}

bool authority_port_text(std::string_view a, std::string_view* port) {
    size_t at = a.rfind('@');
    if (at != std::string_view::npos) a = a.substr(at + 1);
    size_t from = 0;
    if (!a.empty() && a[0] == '[') {
        size_t close = a.find(']');
        if (close == std::string_view::npos) return false;
        from = close + 1;
    }
    size_t colon = a.rfind(':');
    if (colon == std::string_view::npos || colon < from) return false;
    *port = a.substr(colon + 1);
    return true;
}

bool parse_port(std::string_view t, uint16_t* port) {
    if (!t.empty() && t[0] == '+') t.remove_prefix(1);
    if (t.empty() || t.size() > 5) {
        // allow leading zeros beyond five digits
        size_t z = 0;
        while (z < t.size() && t[z] == '0') ++z;
        if (t.empty() || t.size() - z > 5) return false;
        t.remove_prefix(z);
        if (t.empty()) {
            *port = 0;
            return true;
        }
    }
    uint32_t v = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint32_t(c - '0');
    }
    if (v > 65535) return false;
    *port = uint16_t(v);
    return true;
}

uint16_t default_port(std::string_view scheme) {
    if (scheme == "http" || scheme == "ws") return 80;
    if (scheme == "https" || scheme == "wss") return 443;
    return 0;
}

size_t Uri::target_size() const {
    switch (form) {
        case UriForm::Asterisk: return 1;
        case UriForm::Authority: return authority.size();
        case UriForm::Origin:
            return (path.empty() ? 1 : path.size()) + (has_query ? 1 + query.size() : 0);
        case UriForm::Absolute:
            return scheme.size() + 3 + authority.size() + (path.empty() ? 1 : path.size()) +
                   (has_query ? 1 + query.size() : 0);
    }
    return 0;
}

char* Uri::write_target(char* o) const {
    auto put = [&](std::string_view v) {
        std::memcpy(o, v.data(), v.size());
        o += v.size();
    };
    switch (form) {
        case UriForm::Asterisk: *o++ = '*'; return o;
        case UriForm::Authority: put(authority); return o;
        case UriForm::Absolute:
            put(scheme_name());
            put("://");
            put(authority);
            [[fallthrough]];
        case UriForm::Origin:
            if (path.empty())
                *o++ = '/';
            else
                put(path);
            if (has_query) {
                *o++ = '?';
                put(query);
            }
            return o;
    }
    return o;
}

void Uri::append_target(std::string& out) const {
    size_t n = target_size();
    size_t old = out.size();
    out.resize(old + n);
    write_target(out.data() + old);
}

}  // namespace wl
