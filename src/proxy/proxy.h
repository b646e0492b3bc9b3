// Proxy selection: which proxy (if any) a destination URL goes through, from
// the proxy environment variables or explicit strings. No Python here.
//
// A Matcher is immutable once built, so it is shared between threads without
// a lock; intercepts are handed out as shared, immutable records.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wl::proxy {

// ---- small helpers, exposed for the tests ----

// RFC 4648 base64 with padding.
std::string base64_encode(std::string_view in);
// Decodes every "%XX" with two hex digits; anything else stays as written.
std::string percent_decode(std::string_view in);
bool utf8_valid(std::string_view in);
// Replaces each maximal invalid subpart with U+FFFD (the same result as a
// replacing UTF-8 decoder that follows the Unicode recommendation).
std::string utf8_repair(std::string_view in);

struct IpAddr {
    uint8_t family = 0;  // 4 or 6
    uint8_t bytes[16] = {};
    bool operator==(const IpAddr& o) const;
};
// Dotted-quad IPv4 or textual IPv6 (no brackets, no zone).
bool parse_ip(std::string_view s, IpAddr* out);

struct IpNet {
    IpAddr addr;     // host bits cleared
    uint8_t prefix = 0;
    bool contains(const IpAddr& a) const;
};
// "address/prefix"; host bits in the address are allowed and ignored.
bool parse_cidr(std::string_view s, IpNet* out);

// ---- the selected proxy ----

struct Intercept {
    enum class Auth : uint8_t { None, Basic, Raw };
    std::string uri;       // scheme "://" host[:port] "/"
    Auth auth = Auth::None;
    std::string basic;     // "Basic <base64>" when auth == Basic
    std::string user;      // when auth == Raw
    std::string password;  // when auth == Raw ("" without one)
};
using InterceptPtr = std::shared_ptr<const Intercept>;

// Parses one proxy URL; null when empty, unparsable or of an unsupported
// scheme.
InterceptPtr parse_proxy(std::string_view s);

// ---- exclusion list ----

struct NoProxy {
    std::vector<IpNet> nets;            // networks and single addresses
    std::vector<std::string> domains;   // lower-cased as written
    static NoProxy parse(std::string_view s);
    // host: without brackets.
    bool excludes(std::string_view host) const;
};

// ---- matcher ----

struct Matcher {
    InterceptPtr http;
    InterceptPtr https;
    NoProxy no;

    // Unset parts are nullopt (an empty string means unset too).
    static Matcher from_parts(std::optional<std::string_view> all,
                              std::optional<std::string_view> http,
                              std::optional<std::string_view> https,
                              std::optional<std::string_view> no);
    using EnvLookup = const char* (*)(const char* name);
    // lookup defaults to the process environment.
    static Matcher from_env(EnvLookup lookup = nullptr);

    // The proxy for url, or null: excluded, scheme neither http nor https,
    // no host, or not parsable.
    InterceptPtr intercept(std::string_view url) const;
};

}  // namespace wl::proxy
