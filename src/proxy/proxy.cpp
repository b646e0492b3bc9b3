#include "proxy/proxy.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "core/uri.h"

namespace wl::proxy {

namespace {

inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

bool eq_ci(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// b is already lower case.
bool ends_with_ci(std::string_view a, std::string_view b) {
    return a.size() >= b.size() && eq_ci(a.substr(a.size() - b.size()), b);
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Length of the well-formed UTF-8 sequence at s[i], or 0 with *skip set to
// the length of the maximal invalid subpart to replace.
size_t utf8_seq(std::string_view s, size_t i, size_t* skip) {
    auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) return 1;
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
    } else if (b == 0xE0) {
        need = 2, lo = 0xA0;
    } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
        need = 2;
    } else if (b == 0xED) {
        need = 2, hi = 0x9F;  // no surrogates
    } else if (b == 0xF0) {
        need = 3, lo = 0x90;
    } else if (b >= 0xF1 && b <= 0xF3) {
        need = 3;
    } else if (b == 0xF4) {
        need = 3, hi = 0x8F;  // nothing above U+10FFFF
    } else {
        *skip = 1;
        return 0;
    }
    size_t j = i + 1, k = 0;
    while (k < need && j < s.size()) {
        auto c = static_cast<unsigned char>(s[j]);
        if (c < lo || c > hi) break;
        lo = 0x80, hi = 0xBF;
        ++j, ++k;
    }
    if (k == need) return need + 1;
    *skip = j - i;
    return 0;
}

// Length of a white-space character (ASCII or Unicode White_Space in UTF-8)
// starting at s[i], else 0.
size_t space_at(std::string_view s, size_t i) {
    auto b = static_cast<unsigned char>(s[i]);
    if (b == ' ' || (b >= '\t' && b <= '\r')) return 1;
    size_t rest = s.size() - i;
    auto at = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
    if (b == 0xC2 && rest >= 2 && (at(1) == 0x85 || at(1) == 0xA0)) return 2;
    if (rest >= 3) {
        unsigned c1 = at(1), c2 = at(2);
        if (b == 0xE1 && c1 == 0x9A && c2 == 0x80) return 3;                 // U+1680
        if (b == 0xE2 && c1 == 0x80 && (c2 <= 0x8A || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF))
            return 3;                                                        // U+2000-200A, 2028, 2029, 202F
        if (b == 0xE2 && c1 == 0x81 && c2 == 0x9F) return 3;                 // U+205F
        if (b == 0xE3 && c1 == 0x80 && c2 == 0x80) return 3;                 // U+3000
    }
    return 0;
}

// Same, for the character ending at s[end - 1].
size_t space_before(std::string_view s, size_t end) {
    for (size_t n = 1; n <= 3 && n <= end; ++n)
        if (space_at(s, end - n) == n) return n;
    return 0;
}

std::string_view trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e) {
        size_t n = space_at(s.substr(0, e), b);
        if (!n) break;
        b += n;
    }
    while (e > b) {
        size_t n = space_before(s.substr(b, e - b), e - b);
        if (!n) break;
        e -= n;
    }
    return s.substr(b, e - b);
}

std::string lower_copy(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = lower(c);
    return r;
}

enum class Kind { Unsupported, Http, Socks };

Kind scheme_kind(std::string_view scheme) {
    if (scheme.empty() || eq_ci(scheme, "http") || eq_ci(scheme, "https")) return Kind::Http;
    if (eq_ci(scheme, "socks4") || eq_ci(scheme, "socks4a") || eq_ci(scheme, "socks5") ||
        eq_ci(scheme, "socks5h"))
        return Kind::Socks;
    return Kind::Unsupported;
}

}  // namespace

// ---- helpers ----

std::string base64_encode(std::string_view in) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.resize((in.size() + 2) / 3 * 4);
    char* o = out.data();
    size_t i = 0;
    auto u = [&](size_t k) { return uint32_t(static_cast<unsigned char>(in[k])); };
    for (; i + 3 <= in.size(); i += 3) {
        uint32_t v = u(i) << 16 | u(i + 1) << 8 | u(i + 2);
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
    }
    size_t rest = in.size() - i;
    if (rest) {
        uint32_t v = u(i) << 16 | (rest == 2 ? u(i + 1) << 8 : 0);
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        *o++ = '=';
    }
    return out;
}

std::string percent_decode(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        int h, l;
        if (in[i] == '%' && i + 2 < in.size() && (h = hexval(in[i + 1])) >= 0 &&
            (l = hexval(in[i + 2])) >= 0) {
            out += char(h << 4 | l);
            i += 2;
        } else {
            out += in[i];
        }
    }
    return out;
}

bool utf8_valid(std::string_view in) {
    size_t skip;
    for (size_t i = 0; i < in.size();) {
        size_t n = utf8_seq(in, i, &skip);
        if (!n) return false;
        i += n;
    }
    return true;
}

std::string utf8_repair(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    size_t skip = 0;
    for (size_t i = 0; i < in.size();) {
        size_t n = utf8_seq(in, i, &skip);
        if (n) {
            out.append(in.data() + i, n);
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            i += skip;
        }
    }
    return out;
}

bool IpAddr::operator==(const IpAddr& o) const {
    return family == o.family && std::memcmp(bytes, o.bytes, family == 4 ? 4 : 16) == 0;
}

bool parse_ip(std::string_view s, IpAddr* out) {
    char buf[64];
    if (s.empty() || s.size() >= sizeof buf || s.find('\0') != std::string_view::npos) return false;
    std::memcpy(buf, s.data(), s.size());
    buf[s.size()] = '\0';
    IpAddr a;
    if (s.find(':') == std::string_view::npos) {
        if (inet_pton(AF_INET, buf, a.bytes) != 1) return false;
        a.family = 4;
    } else {
        if (inet_pton(AF_INET6, buf, a.bytes) != 1) return false;
        a.family = 6;
    }
    *out = a;
    return true;
}

bool IpNet::contains(const IpAddr& a) const {
    if (a.family != addr.family) return false;
    unsigned full = prefix / 8, bits = prefix % 8;
    if (std::memcmp(a.bytes, addr.bytes, full) != 0) return false;
    if (bits) {
        auto mask = static_cast<uint8_t>(0xFF << (8 - bits));
        if ((a.bytes[full] & mask) != addr.bytes[full]) return false;
    }
    return true;
}

bool parse_cidr(std::string_view s, IpNet* out) {
    size_t slash = s.find('/');
    if (slash == std::string_view::npos) return false;
    IpNet n;
    if (!parse_ip(s.substr(0, slash), &n.addr)) return false;
    std::string_view len = s.substr(slash + 1);
    if (len.empty() || len.size() > 3) return false;
    unsigned v = 0;
    for (char c : len) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + unsigned(c - '0');
    }
    if (v > (n.addr.family == 4 ? 32u : 128u)) return false;
    n.prefix = uint8_t(v);
    // Clear the host bits so that contains() compares masked bytes only.
    unsigned width = n.addr.family == 4 ? 4 : 16;
    for (unsigned i = 0; i < width; ++i) {
        unsigned lo = i * 8;
        if (lo >= v) n.addr.bytes[i] = 0;
        else if (v - lo < 8) n.addr.bytes[i] &= static_cast<uint8_t>(0xFF << (8 - (v - lo)));
    }
    *out = n;
    return true;
}

// ---- proxy URL ----

InterceptPtr parse_proxy(std::string_view s) {
    // Environment values often end with a newline.
    s = trim(s);
    if (s.empty()) return nullptr;
    Uri u;
    std::string with_scheme;
    if (parse_uri(s, &u) != UriError::Ok) {
        // Without a scheme, host and port followed by a path are not an
        // authority-form target; read the text as an http URL instead.
        if (s.find("://") != std::string_view::npos) return nullptr;
        with_scheme.reserve(7 + s.size());
        with_scheme.append("http://").append(s);
        if (parse_uri(with_scheme, &u) != UriError::Ok) return nullptr;
    }
    Kind kind = scheme_kind(u.scheme);
    if (kind == Kind::Unsupported || u.authority.empty()) return nullptr;

    std::string_view auth = u.authority, userinfo, hostport = auth;
    size_t at = auth.find('@');
    bool has_userinfo = at != std::string_view::npos;
    if (has_userinfo) {
        userinfo = auth.substr(0, at);
        hostport = auth.substr(at + 1);
    }
    auto r = std::make_shared<Intercept>();
    std::string scheme = u.scheme.empty() ? std::string("http") : lower_copy(u.scheme);
    r->uri.reserve(scheme.size() + 3 + hostport.size() + 1);
    r->uri += scheme;
    r->uri += "://";
    r->uri += hostport;
    r->uri += '/';
    if (has_userinfo) {
        size_t colon = userinfo.find(':');
        std::string_view user = userinfo.substr(0, colon), pass;
        if (colon != std::string_view::npos) pass = userinfo.substr(colon + 1);
        std::string duser = utf8_repair(percent_decode(user));
        std::string dpass = utf8_repair(percent_decode(pass));
        if (kind == Kind::Http) {
            r->auth = Intercept::Auth::Basic;
            std::string plain = std::move(duser);
            plain += ':';
            plain += dpass;
            r->basic = "Basic " + base64_encode(plain);
        } else {
            r->auth = Intercept::Auth::Raw;
            r->user = std::move(duser);
            r->password = std::move(dpass);
        }
    }
    return r;
}

// ---- exclusion list ----

NoProxy NoProxy::parse(std::string_view s) {
    NoProxy np;
    while (true) {
        size_t comma = s.find(',');
        std::string_view entry = trim(s.substr(0, comma));
        IpNet net;
        // An IPv6 entry may be written in brackets, as in a URL.
        std::string unbracketed;
        if (entry.size() > 2 && entry.front() == '[') {
            size_t close = entry.find(']');
            if (close != std::string_view::npos && close > 1 &&
                (close + 1 == entry.size() || entry[close + 1] == '/')) {
                unbracketed.assign(entry.substr(1, close - 1)).append(entry.substr(close + 1));
                if (parse_cidr(unbracketed, &net) || parse_ip(unbracketed, &net.addr)) entry = unbracketed;
            }
        }
        if (parse_cidr(entry, &net)) {
            np.nets.push_back(net);
        } else if (parse_ip(entry, &net.addr)) {
            net.prefix = net.addr.family == 4 ? 32 : 128;
            np.nets.push_back(net);
        } else if (!entry.empty()) {
            np.domains.push_back(lower_copy(entry));
        }
        if (comma == std::string_view::npos) break;
        s.remove_prefix(comma + 1);
    }
    return np;
}

bool NoProxy::excludes(std::string_view host) const {
    IpAddr ip;
    if (parse_ip(host, &ip)) {
        for (const IpNet& n : nets)
            if (n.contains(ip)) return true;
        return false;
    }
    for (const std::string& d : domains) {
        if (d == "*" || eq_ci(host, d)) return true;
        if (d[0] == '.') {
            if (eq_ci(host, std::string_view(d).substr(1)) || ends_with_ci(host, d)) return true;
        } else if (host.size() > d.size() && host[host.size() - d.size() - 1] == '.' &&
                   ends_with_ci(host, d)) {
            return true;
        }
    }
    return false;
}

// ---- matcher ----

Matcher Matcher::from_parts(std::optional<std::string_view> all,
                            std::optional<std::string_view> http,
                            std::optional<std::string_view> https,
                            std::optional<std::string_view> no) {
    Matcher m;
    InterceptPtr all_p = all ? parse_proxy(*all) : nullptr;
    m.http = http ? parse_proxy(*http) : nullptr;
    if (!m.http) m.http = all_p;
    m.https = https ? parse_proxy(*https) : nullptr;
    if (!m.https) m.https = all_p;
    if (no) m.no = NoProxy::parse(*no);
    return m;
}

Matcher Matcher::from_env(EnvLookup lookup) {
    if (!lookup) lookup = [](const char* name) -> const char* { return std::getenv(name); };
    // Under CGI the request's "Proxy:" header arrives as HTTP_PROXY, so the
    // environment cannot be trusted for proxies at all.
    if (lookup("REQUEST_METHOD")) return Matcher{};
    // The values are copied out at once: the environment may change later.
    auto get = [&](const char* upper, const char* lower_name) -> std::optional<std::string> {
        for (const char* name : {upper, lower_name}) {
            const char* v = lookup(name);
            if (v && utf8_valid(v)) return std::string(v);
        }
        return std::nullopt;
    };
    std::optional<std::string> all = get("ALL_PROXY", "all_proxy");
    std::optional<std::string> http = get("HTTP_PROXY", "http_proxy");
    std::optional<std::string> https = get("HTTPS_PROXY", "https_proxy");
    std::optional<std::string> no = get("NO_PROXY", "no_proxy");
    auto view = [](const std::optional<std::string>& v) -> std::optional<std::string_view> {
        if (!v) return std::nullopt;
        return std::string_view(*v);
    };
    return from_parts(view(all), view(http), view(https), view(no));
}

InterceptPtr Matcher::intercept(std::string_view url) const {
    Uri u;
    if (parse_uri(url, &u) != UriError::Ok || u.authority.empty()) return nullptr;
    const InterceptPtr* p;
    if (eq_ci(u.scheme, "http")) p = &http;
    else if (eq_ci(u.scheme, "https")) p = &https;
    else return nullptr;
    if (!*p) return nullptr;
    std::string_view host = authority_host(u.authority);
    if (!host.empty() && host.front() == '[') {
        while (!host.empty() && host.front() == '[') host.remove_prefix(1);
        while (!host.empty() && host.back() == ']') host.remove_suffix(1);
    }
    if (no.excludes(host)) return nullptr;
    return *p;
}

}  // namespace wl::proxy
