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

// Scans an authority starting at s[0]; sets *end to the first byte past it.
UriError scan_authority(std::string_view s, size_t* end) {
    size_t i = 0;
    int colons = 0;
    bool open_bracket = false, close_bracket = false, has_percent = false;
    size_t at = std::string_view::npos;
    size_t end_colon_scan_start = 0;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (c == '/' || c == '?' || c == '#') break;
        if (!(cls(c) & kAuth)) return UriError::InvalidUriChar;
        switch (c) {
            case ':': ++colons; break;
            case '[':
                if (open_bracket || close_bracket) return UriError::InvalidAuthority;
                open_bracket = true;
                break;
            case ']':
                if (!open_bracket || close_bracket) return UriError::InvalidAuthority;
                close_bracket = true;
                colons = 0;  // colons inside the literal do not count
                break;
            case '@':
                if (at != std::string_view::npos) return UriError::InvalidAuthority;
                at = i;
                // userinfo may hold ':' and '%'; start counting afresh
                colons = 0;
                has_percent = false;
                end_colon_scan_start = i + 1;
                break;
            case '%': has_percent = true; break;
            default: break;
        }
    }
    (void)end_colon_scan_start;
    if (open_bracket != close_bracket) return UriError::InvalidAuthority;
    if (colons > 1) return UriError::InvalidAuthority;
    if (has_percent) return UriError::InvalidAuthority;  // only userinfo may be percent-encoded
    if (at != std::string_view::npos && at + 1 == i) return UriError::InvalidAuthority;
    std::string_view auth = s.substr(0, i);
    std::string_view port;
    if (authority_port_text(auth, &port)) {
        for (char c : port)
            if (c < '0' || c > '9') return UriError::InvalidPort;
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
