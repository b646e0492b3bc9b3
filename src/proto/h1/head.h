// HTTP/1 head tokenizer and framing rules (RFC 9112 sections 2 to 6).
// No Python here.
//
// The parser works on the read buffer in place. A parsed head's HeaderList
// adopts the header block with one store_bytes() call and then points its
// entries into it, so values are never copied one by one.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/headers.h"
#include "core/uri.h"
#include "proto/h1/body_kind.h"
#include "proto/h1/failure.h"

namespace wl::h1 {

enum class Method : uint8_t { Options, Get, Post, Put, Delete, Head, Trace, Connect, Patch, Query, Other, None };
constexpr int kStandardMethods = 10;

// The standard method for an exact (case-sensitive) name, or Other.
Method method_of(std::string_view name);
const char* method_name(Method m);  // nullptr for Other and None


enum class ParseKind : uint8_t {
    Method,
    Version,
    VersionH2,
    Uri,
    UriTooLong,
    HeaderToken,
    ContentLengthInvalid,
    TransferEncodingInvalid,
    TransferEncodingUnexpected,
    TooLarge,
    Status,
    Internal,
};
const char* parse_kind_name(ParseKind k);
const char* parse_kind_message(ParseKind k);
// The status a server answers with after this failure; 0 for none.
uint16_t parse_kind_status(ParseKind k);
Failure parse_failure(ParseKind k);

constexpr size_t kDefaultMaxHeaders = 100;
constexpr size_t kMaxNameLen = 65535;       // 65536 or more is too large
constexpr uint64_t kMaxContentLength = UINT64_MAX - 1;  // 2^64 - 2: this and above is too large

struct RequestHead {
    Method method = Method::None;
    std::string_view method_text;  // into the parsed buffer
    std::string_view target_raw;   // into the parsed buffer
    Uri uri;                       // views into target_raw
    HeaderList headers;
    BodyKind body_kind = BodyKind::Empty;
    uint64_t content_length = 0;
    bool keep_alive = false;
    bool expect_continue = false;
    bool is_upgrade = false;
    bool http10 = false;
    bool allow_trailers = false;
    bool is_connect = false;
};

struct ResponseHead {
    uint16_t status = 0;
    HeaderList headers;
    BodyKind body_kind = BodyKind::Empty;
    uint64_t content_length = 0;
    bool keep_alive = false;
    bool is_upgrade = false;
    bool http10 = false;
};

enum class ParseStatus : uint8_t { Complete, Partial, Error };

struct RequestLimits {
    size_t max_headers = kDefaultMaxHeaders;
    bool ignore_invalid_headers = false;
};

// Parses one request head from the front of buf[0, len). On Complete,
// *head_len is the number of bytes the head used and out is filled; the
// views in out point into buf. On Error *err tells the kind. Header names
// are lower-cased in the buffer as they are read (nothing else changes, and
// the length never does).
ParseStatus parse_request(uint8_t* buf, size_t len, const RequestLimits& lim, RequestHead& out,
                          size_t* head_len, ParseKind* err);

// Parses one response head (interim ones included: the caller skips them).
// `request_method` drives the HEAD and CONNECT rules.
ParseStatus parse_response(uint8_t* buf, size_t len, Method request_method, ResponseHead& out,
                           size_t* head_len, ParseKind* err);

// The common value of every comma-separated element of every line, when
// all are digits-only, fit 64 bits and are equal. False otherwise.
bool parse_content_length_list(const HeaderList& h, uint32_t entry, uint64_t* value);

// Digits only, fitting 64 bits.
bool parse_decimal(std::string_view s, uint64_t* out);

bool last_element_is_chunked(std::string_view value);

}  // namespace wl::h1
