// Request-target / URL parser (RFC 3986 forms used by HTTP). No Python here.
//
// Shared by uri_parts, the HTTP/1 serializers, the HTTP/2 request opener and
// the proxy matcher, so they all accept and reject exactly the same text.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "core/chars.h"

namespace wl {

enum class UriForm : uint8_t { Origin, Absolute, Authority, Asterisk };

enum class UriError : uint8_t {
    Ok = 0,
    InvalidUriChar,
    InvalidScheme,
    InvalidAuthority,
    InvalidPort,
    InvalidFormat,
    SchemeMissing,
    AuthorityMissing,
    PathMissing,
    PathNoSlash,
    TooLong,
    Empty,
    SchemeTooLong,
};

// The parser's reason text, for example "invalid uri character".
const char* uri_error_reason(UriError e);

constexpr size_t kUriMaxLen = 65534;  // 65535 bytes or more is too long
constexpr size_t kSchemeMaxLen = 64;

struct Uri {
    UriForm form = UriForm::Origin;
    std::string_view scheme;     // as written; empty when none
    std::string_view authority;  // userinfo@host:port as written; empty when none
    std::string_view path;       // may be empty for absolute and authority forms
    std::string_view query;      // without "?"
    bool has_query = false;

    // http and https are recognised in any letter case and written back in
    // lower case; every other scheme stays as written.
    bool is_http() const { return iequals(scheme, "http"); }
    bool is_https() const { return iequals(scheme, "https"); }
    std::string_view scheme_name() const {
        return is_http() ? std::string_view("http") : is_https() ? std::string_view("https") : scheme;
    }
    // Length of the form written back by write_target().
    size_t target_size() const;
    // Writes the request-target back out: origin form as path and query
    // ("/" for an empty path); absolute form as scheme "://" authority,
    // path ("/" when empty) and "?" query; authority form as host:port;
    // asterisk form as "*". Returns the end of what was written.
    char* write_target(char* out) const;
    void append_target(std::string& out) const;
};

// Parses s (which must outlive the result). Fragments are dropped.
UriError parse_uri(std::string_view s, Uri* out);

// Host part of an authority as written (userinfo and port removed, IPv6
// brackets kept).
std::string_view authority_host(std::string_view authority);
// Text after the authority's last ':' (past any IPv6 literal), or npos.
bool authority_port_text(std::string_view authority, std::string_view* port);
// Unsigned 16-bit decimal with an optional leading '+'.
bool parse_port(std::string_view text, uint16_t* port);
// 80 for http/ws, 443 for https/wss, 0 for none.
uint16_t default_port(std::string_view scheme);

}  // namespace wl
