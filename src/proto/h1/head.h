// HTTP/1 head tokenizer and framing rules (RFC 9112 sections 2 to 6).
// No Python here.
//
// The parser only reads its input, so it can work on the read buffer or on
// the caller's bytes alike. A parsed head's HeaderList copies the header
// block with one adopt_block() call, lower-cases the names there and points
// its entries into it, so values are never copied one by one.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

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

// One header line of a head being parsed; offsets are from the start of
// the buffer.
struct RawHeader {
    uint32_t name_off;
    uint32_t value_off;
    uint32_t value_len;
    uint16_t name_len;
    uint8_t drop;
    uint32_t hash;  // of the lower-cased name, set when the list is built
};

// The lines of one head. Up to 100 live in a fixed array; a larger
// configured maximum moves them to the heap for this head only.
class HeaderSlots {
public:
    static constexpr size_t kFixed = 100;
    void clear(size_t max) {
        max_ = max;
        count_ = 0;
        heap_.clear();
    }
    bool push(const RawHeader& h) {
        if (count_ >= max_) return false;
        if (count_ < kFixed && heap_.empty()) {
            fixed_[count_++] = h;
            return true;
        }
        if (heap_.empty()) heap_.assign(fixed_, fixed_ + kFixed);
        heap_.push_back(h);
        ++count_;
        return true;
    }
    // The fixed array's slots that push() would fill next, for a caller
    // that writes lines there itself and then commits them; *room is 0 once
    // the lines have moved to the heap.
    RawHeader* free_slots(size_t* room) {
        // Past the fixed array the count no longer indexes it.
        if (!heap_.empty()) {
            *room = 0;
            return fixed_;
        }
        *room = std::min(max_, kFixed) - count_;
        return fixed_ + count_;
    }
    void commit(size_t k) { count_ += k; }
    size_t size() const { return count_; }
    RawHeader* data() { return heap_.empty() ? fixed_ : heap_.data(); }
    RawHeader& operator[](size_t i) { return data()[i]; }

private:
    size_t max_ = kDefaultMaxHeaders;
    size_t count_ = 0;
    RawHeader fixed_[kFixed];
    std::vector<RawHeader> heap_;
};

// Where the parse of an incomplete head stopped, so that the next call
// resumes there instead of starting over: a head trickled in small pieces
// costs time linear in its length. Every byte before `pos` has been
// checked. The owner of the buffer may only
// append to it while a scan is active; any other change (bytes taken from
// the front, the buffer swapped) must be followed by reset().
struct HeadScan {
    enum class Step : uint8_t {
        Start,        // empty lines before the start line
        Method,       // request line: method token
        Target,       // request line: request-target
        Version,      // request line: version and line end (re-read whole, at most 10 bytes)
        Status,       // status line: version, status code and what follows (at most 13 bytes)
        Reason,       // status line: reason phrase
        StartLineEnd, // status line: line end after the reason or the code
        LineStart,    // a header line or the empty line that ends the head
        Name,
        Ows,          // whitespace after the colon
        Value,
        LineEnd,
        Drop,         // skipping a malformed line up to its LF
    };
    bool active = false;
    bool response = false;
    bool http10 = false;
    bool reason = false;      // a reason phrase followed the status code
    Step step = Step::Start;
    Method method = Method::None;  // request line: GET or POST seen whole; None: look it up
    uint16_t status = 0;
    uint32_t pos = 0;          // next byte to look at
    uint32_t start = 0;        // first byte of the start line
    uint32_t line = 0;         // start of the current header line
    uint32_t method_end = 0;   // request line: the space after the method
    uint32_t target_end = 0;   // request line: the space after the target
    uint32_t name_end = 0;     // header line: the colon
    uint32_t value_start = 0;  // header line: first byte after the whitespace
    uint32_t value_end = 0;    // header line: where the line end starts
    HeaderSlots slots;

    HeadScan() = default;
    // A scan begun on a fresh head, as the parse functions would begin it
    // themselves: a caller's scan for one call then skips that step.
    HeadScan(bool response, size_t max_headers) : active(true), response(response) { slots.clear(max_headers); }

    void reset() { active = false; }
};

// Parses one request head from the front of buf[0, len), resuming where
// `scan` stopped. On Complete, *head_len is the number of bytes the head used
// and out is filled; the views in out point into buf. On Error *err tells
// the kind. The buffer is only read. The scan stays active
// only after Partial; the result for a given buffer is the same however its
// bytes arrived.
ParseStatus parse_request(const uint8_t* buf, size_t len, const RequestLimits& lim, HeadScan& scan,
                          RequestHead& out, size_t* head_len, ParseKind* err);
// The same from a fresh scan.
ParseStatus parse_request(const uint8_t* buf, size_t len, const RequestLimits& lim, RequestHead& out,
                          size_t* head_len, ParseKind* err);

// Parses one response head (interim ones included: the caller skips them).
// `request_method` drives the HEAD and CONNECT rules.
ParseStatus parse_response(const uint8_t* buf, size_t len, Method request_method, HeadScan& scan,
                           ResponseHead& out, size_t* head_len, ParseKind* err);
ParseStatus parse_response(const uint8_t* buf, size_t len, Method request_method, ResponseHead& out,
                           size_t* head_len, ParseKind* err);

// The common value of every comma-separated element of every line, when
// all are digits-only, fit 64 bits and are equal. False otherwise.
bool parse_content_length_list(const HeaderList& h, uint32_t entry, uint64_t* value);

// Digits only, fitting 64 bits.
bool parse_decimal(std::string_view s, uint64_t* out);

bool last_element_is_chunked(std::string_view value);

}  // namespace wl::h1
