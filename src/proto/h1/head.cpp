#include "proto/h1/head.h"

#include <cstring>
#include <memory>
#include <vector>

#include "core/chars.h"
#include "core/load.h"
#include "proto/h1/scan.h"

namespace wl::h1 {

namespace {

constexpr const char* kMethodNames[kStandardMethods] = {
    "OPTIONS", "GET", "POST", "PUT", "DELETE", "HEAD", "TRACE", "CONNECT", "PATCH", "QUERY"};

struct KindInfo {
    const char* name;
    const char* message;
    uint16_t status;
};

constexpr KindInfo kKinds[] = {
    {"method", "invalid HTTP method parsed", 400},
    {"version", "invalid HTTP version parsed", 400},
    {"version_h2", "invalid HTTP version parsed (found HTTP2 preface)", 0},
    {"uri", "invalid URI", 400},
    {"uri_too_long", "URI too long", 414},
    {"header_token", "invalid HTTP header parsed", 400},
    {"header_content_length_invalid", "invalid content-length parsed", 400},
    {"header_transfer_encoding_invalid", "invalid transfer-encoding parsed", 400},
    {"header_transfer_encoding_unexpected", "unexpected transfer-encoding parsed", 400},
    {"too_large", "message head is too large", 431},
    {"status", "invalid HTTP status-code parsed", 0},
    {"internal",
     "internal error in the HTTP/1 codec; this is a bug, please report it with the input that "
     "caused it",
     0},
};

// Up to 8 bytes of s as one little-endian word, for comparing loads with.
constexpr uint64_t le_word(std::string_view s) {
    uint64_t w = 0;
    for (size_t i = 0; i < s.size(); ++i) w |= uint64_t(uint8_t(s[i])) << (8 * i);
    return w;
}

// Names keep the peer's letter case in the buffer. `lower` is lower-case
// letters and '-', which all have the 0x20 bit set; folding that bit into a
// token byte matches exactly the same letter in either case, or '-'.
inline bool name_is(const uint8_t* b, const RawHeader& h, std::string_view lower) {
    if (h.name_len != lower.size()) return false;
    const uint8_t* n = b + h.name_off;
    size_t k = lower.size();
    if (k >= 8) {
        // The first and the last eight bytes (overlapping) cover the name.
        constexpr uint64_t kFold = 0x2020202020202020ull;
        return (load64(n) | kFold) == le_word(lower.substr(0, 8)) &&
               (load64(n + k - 8) | kFold) == le_word(lower.substr(k - 8));
    }
    for (size_t i = 0; i < k; ++i)
        if ((n[i] | 0x20) != uint8_t(lower[i])) return false;
    return true;
}

inline std::string_view value_of(const uint8_t* b, const RawHeader& h) {
    return {reinterpret_cast<const char*>(b + h.value_off), h.value_len};
}

// Skips complete empty lines (CRLF or bare LF) from *pos. Partial when
// the buffer ends inside or right after them (*pos at the first byte not
// skipped, so a lone CR at the end is looked at again); Complete otherwise,
// with *pos at the first byte of the start line (a CR without LF included:
// the start line then fails on it).
ParseStatus skip_empty_lines(const uint8_t* b, size_t len, size_t* pos) {
    size_t p = *pos;
    while (p < len) {
        if (b[p] == '\n') {
            ++p;
        } else if (b[p] == '\r') {
            if (p + 1 >= len) break;
            if (b[p + 1] != '\n') break;
            p += 2;
        } else {
            break;
        }
    }
    *pos = p;
    if (p >= len || (b[p] == '\r' && p + 1 >= len)) return ParseStatus::Partial;
    return ParseStatus::Complete;
}

// "HTTP/1.0" or "HTTP/1.1" at pos. Complete (with *http10 and pos moved
// past it), Partial, or Error.
ParseStatus parse_version(const uint8_t* b, size_t len, size_t* pos, bool* http10) {
    static const char kPrefix[] = "HTTP/1.";
    size_t p = *pos;
    size_t avail = len - p;
    size_t n = avail < 7 ? avail : 7;
    if (std::memcmp(b + p, kPrefix, n) != 0) return ParseStatus::Error;
    if (avail < 8) return ParseStatus::Partial;
    uint8_t d = b[p + 7];
    if (d == '1')
        *http10 = false;
    else if (d == '0')
        *http10 = true;
    else
        return ParseStatus::Error;
    *pos = p + 8;
    return ParseStatus::Complete;
}

// A line end (CRLF or LF) at pos.
ParseStatus parse_line_end(const uint8_t* b, size_t len, size_t* pos) {
    size_t p = *pos;
    if (p >= len) return ParseStatus::Partial;
    if (b[p] == '\n') {
        *pos = p + 1;
        return ParseStatus::Complete;
    }
    if (b[p] != '\r') return ParseStatus::Error;
    if (p + 1 >= len) return ParseStatus::Partial;
    if (b[p + 1] != '\n') return ParseStatus::Error;
    *pos = p + 2;
    return ParseStatus::Complete;
}

inline ParseStatus fail(ParseKind* err, ParseKind k) {
    *err = k;
    return ParseStatus::Error;
}

// Field-value bytes from pos, HTAB included; returns where the run stops
// (len when the buffer ends inside it).
inline size_t scan_value_tabs(const uint8_t* b, size_t len, size_t pos) {
    for (;;) {
        pos += scan_value(b + pos, len - pos);
        if (pos >= len || b[pos] != '\t') return pos;
        ++pos;
    }
}

// The usual request line, whole in the buffer from s.pos: a method token,
// a target, "HTTP/1.1" or "HTTP/1.0" and CRLF. Read in one go, the scan's
// state written once at the end; false leaves everything (empty lines
// first, a bare LF, a partial line, every failure) to the stepwise scan,
// which reads the same line from the start.
inline bool whole_request_line(const uint8_t* b, size_t len, HeadScan& s) {
    const size_t p = s.pos;
    if (len - p < 16) return false;
    // GET and POST in one load each.
    uint64_t w = load64(b + p);
    size_t m;  // the space after the method
    Method method = Method::None;
    if ((w & 0xffffffffu) == le_word("GET ")) {
        m = p + 3;
        method = Method::Get;
    } else if ((w & 0xffffffffffu) == le_word("POST ")) {
        m = p + 4;
        method = Method::Post;
    } else {
        m = p;
        while (m < len && kTokenLower[b[m]]) ++m;
        if (m == p || m >= len || b[m] != ' ') return false;
    }
    const size_t ts = m + 1;
    const size_t te = ts + scan_target(b + ts, len - ts);
    if (te == ts || te - ts > kUriMaxLen || len - te < 11 || b[te] != ' ') return false;
    uint64_t v = load64(b + te + 1);
    if (load16(b + te + 9) != le_word("\r\n") || (v != le_word("HTTP/1.1") && v != le_word("HTTP/1.0")))
        return false;
    s.start = uint32_t(p);
    s.method = method;
    s.method_end = uint32_t(m);
    s.target_end = uint32_t(te);
    s.http10 = v == le_word("HTTP/1.0");
    s.pos = uint32_t(te + 11);
    s.step = HeadScan::Step::LineStart;
    return true;
}

// Request line, from s.step Start to LineStart.
ParseStatus scan_request_line(const uint8_t* b, size_t len, HeadScan& s, ParseKind* err) {
    using Step = HeadScan::Step;
    if (s.step == Step::Start && whole_request_line(b, len, s)) return ParseStatus::Complete;
    for (;;) {
        size_t p = s.pos;
        switch (s.step) {
            case Step::Start:
                if (skip_empty_lines(b, len, &p) == ParseStatus::Partial) {
                    s.pos = uint32_t(p);
                    return ParseStatus::Partial;
                }
                s.pos = s.start = uint32_t(p);
                s.method = Method::None;
                s.step = Step::Method;
                break;
            case Step::Method:
                // GET and POST in one load each; the loop then stops at once.
                if (len - p >= 8) {
                    uint64_t w = load64(b + p);
                    if ((w & 0xffffffffu) == le_word("GET "))
                        p += 3;
                    else if ((w & 0xffffffffffu) == le_word("POST "))
                        p += 4;
                }
                while (p < len && kTokenLower[b[p]]) ++p;
                s.pos = uint32_t(p);
                if (p >= len) return ParseStatus::Partial;
                if (b[p] != ' ' || p == s.start) return fail(err, ParseKind::Method);
                s.method_end = uint32_t(p);
                s.pos = uint32_t(p + 1);
                s.step = Step::Target;
                break;
            case Step::Target: {
                const size_t ts = s.method_end + 1;
                p += scan_target(b + p, len - p);
                s.pos = uint32_t(p);
                if (p - ts > kUriMaxLen) return fail(err, ParseKind::UriTooLong);
                if (p >= len) return ParseStatus::Partial;
                if (b[p] != ' ') {
                    if (p > ts && (b[p] == '\r' || b[p] == '\n')) return fail(err, ParseKind::Version);
                    return fail(err, ParseKind::Uri);
                }
                if (p == ts) return fail(err, ParseKind::Uri);
                s.target_end = uint32_t(p);
                s.pos = uint32_t(p + 1);
                s.step = Step::Version;
                break;
            }
            case Step::Version: {
                // The common whole version and CRLF first.
                if (len - p >= 10 && b[p + 8] == '\r' && b[p + 9] == '\n') {
                    uint64_t w = load64(b + p);
                    if (w == le_word("HTTP/1.1") || w == le_word("HTTP/1.0")) {
                        s.http10 = w == le_word("HTTP/1.0");
                        s.pos = uint32_t(p + 10);
                        s.step = Step::LineStart;
                        return ParseStatus::Complete;
                    }
                }
                bool http10 = false;
                ParseStatus st = parse_version(b, len, &p, &http10);
                if (st == ParseStatus::Partial) return st;
                if (st == ParseStatus::Error) return fail(err, ParseKind::Version);
                st = parse_line_end(b, len, &p);
                if (st == ParseStatus::Partial) return st;
                if (st == ParseStatus::Error) return fail(err, ParseKind::Version);
                s.http10 = http10;
                s.pos = uint32_t(p);
                s.step = Step::LineStart;
                return ParseStatus::Complete;
            }
            default: return ParseStatus::Complete;
        }
    }
}

// Status line, from s.step Start to LineStart.
ParseStatus scan_status_line(const uint8_t* b, size_t len, HeadScan& s, ParseKind* err) {
    using Step = HeadScan::Step;
    for (;;) {
        size_t p = s.pos;
        switch (s.step) {
            case Step::Start:
                if (skip_empty_lines(b, len, &p) == ParseStatus::Partial) {
                    s.pos = uint32_t(p);
                    return ParseStatus::Partial;
                }
                s.pos = s.start = uint32_t(p);
                s.step = Step::Status;
                break;
            case Step::Status: {
                bool http10 = false;
                ParseStatus st = parse_version(b, len, &p, &http10);
                if (st == ParseStatus::Partial) return st;
                if (st == ParseStatus::Error) return fail(err, ParseKind::Version);
                if (p >= len) return ParseStatus::Partial;
                if (b[p] != ' ') return fail(err, ParseKind::Version);
                ++p;
                unsigned status = 0;
                for (int i = 0; i < 3; ++i, ++p) {
                    if (p >= len) return ParseStatus::Partial;
                    uint8_t c = b[p];
                    if (c < '0' || c > '9') return fail(err, ParseKind::Status);
                    status = status * 10 + unsigned(c - '0');
                }
                if (p >= len) return ParseStatus::Partial;
                s.http10 = http10;
                s.status = uint16_t(status);
                // Reason phrase: any text without control bytes other than HTAB.
                s.reason = b[p] == ' ';
                s.pos = uint32_t(s.reason ? p + 1 : p);
                s.step = s.reason ? Step::Reason : Step::StartLineEnd;
                break;
            }
            case Step::Reason:
                p = scan_value_tabs(b, len, p);
                s.pos = uint32_t(p);
                if (p >= len) return ParseStatus::Partial;
                s.step = Step::StartLineEnd;
                break;
            case Step::StartLineEnd: {
                ParseStatus st = parse_line_end(b, len, &p);
                if (st == ParseStatus::Partial) return st;
                if (st == ParseStatus::Error) return fail(err, s.reason ? ParseKind::HeaderToken : ParseKind::Status);
                if (s.status < 100) return fail(err, ParseKind::Status);
                s.pos = uint32_t(p);
                s.step = Step::LineStart;
                return ParseStatus::Complete;
            }
            default: return ParseStatus::Complete;
        }
    }
}

// A malformed line that still names content-length or transfer-encoding
// (after any leading whitespace, in any letter case, up to the first byte
// that is not a token byte). Skipping such a line would let a peer that
// reads it differently frame the body differently: it is never skipped.
bool names_framing_field(const uint8_t* line, size_t n) {
    size_t i = 0;
    while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < n && kTokenLower[line[i]]) ++i;
    std::string_view name{reinterpret_cast<const char*>(line + start), i - start};
    return iequals(name, "content-length") || iequals(name, "transfer-encoding");
}

// The rest of a line whose name (n bytes from p) was read and whose run
// of value bytes stops at ve: the line end, then the value trimmed. Returns
// where the next line starts, or 0 when the line needs the stepwise scan.
inline size_t finish_line(const uint8_t* b, size_t len, size_t p, size_t n, size_t ve, RawHeader* h) {
    size_t next;
    if (ve + 1 < len && load16(b + ve) == le_word("\r\n")) {
        next = ve + 2;
    } else {
        if (ve < len && b[ve] == '\t') ve = scan_value_tabs(b, len, ve + 1);
        if (ve + 1 < len && b[ve] == '\r' && b[ve + 1] == '\n')
            next = ve + 2;
        else if (ve < len && b[ve] == '\n')
            next = ve + 1;
        else
            return 0;
    }
    // Between the colon and ve lie only visible bytes, obs-text, spaces and
    // tabs: a byte <= ' ' is a space or a tab.
    size_t vs = p + n + 1;
    if (b[vs] == ' ' && b[vs + 1] > ' ')
        ++vs;  // the usual single space (vs + 1 <= ve: b[ve] is a line end)
    else
        while (vs < ve && b[vs] <= ' ') ++vs;
    while (ve > vs && b[ve - 1] <= ' ') --ve;
    *h = RawHeader{uint32_t(p), uint32_t(vs), uint32_t(ve - vs), uint16_t(n), 0, 0};
    return next;
}

// The common case of a header line: complete in the buffer, well formed,
// its name made of letters, digits, '-' and '_'. Read in one go without
// recording steps; returns where the next line starts, or 0 when the line
// needs the stepwise scan (rare name bytes, not yet complete, malformed).
inline size_t whole_line(const uint8_t* b, size_t len, size_t p, RawHeader* h) {
    size_t n, ve;  // name length; where the run of value bytes stops
    if (len >= 32 && line_window(b, len, p, &n, &ve)) {
        ve += p;
    } else {
        n = name_run(b + p, len - p);
        if (n == 0 || n > kMaxNameLen || p + n >= len || b[p + n] != ':') return 0;
        ve = p + n + 1 + scan_value(b + p + n + 1, len - p - n - 1);
    }
    return finish_line(b, len, p, n, ve, h);
}

// Runs of such lines read through the window while the fixed slots have
// room, written to the slots directly, for a short run of lines: each line
// is looked at from its start.
size_t window_lines(const uint8_t* b, size_t len, size_t p, HeaderSlots& slots) {
    size_t room;
    RawHeader* const first = slots.free_slots(&room);
    RawHeader* out = first;
    RawHeader* const end = first + room;
    while (out != end && p < len) {
        size_t n, ve;
        if (!line_window(b, len, p, &n, &ve)) break;
        size_t next = finish_line(b, len, p, n, p + ve, out);
        if (!next) break;
        ++out;
        p = next;
    }
    slots.commit(size_t(out - first));
    return p;
}

// The same for a longer run of lines. A line ends at its first stop byte
// (names hold none), which a map of the stop bytes over 64 bytes at a time
// gives: the next line's start follows from the map's bits alone, while the
// name is checked through its own window off that chain. The maps cost more
// than a short head's windows, which window_lines() keeps.
[[gnu::noinline]] size_t mapped_lines(const uint8_t* b, size_t len, size_t p, HeaderSlots& slots) {
    size_t room;
    RawHeader* const first = slots.free_slots(&room);
    RawHeader* out = first;
    RawHeader* const end = first + room;
    // The map covers b[w, w + 64); the maps follow each other.
    size_t w = p;
    uint64_t stops = stop_bits(b, len, w);
    while (out != end && p < len) {
        size_t ve;  // the line's first stop byte, len when there is none
        for (size_t s = p, k = 0;; ++k) {  // s: where the search goes on
            size_t off = s - w;
            if (off < 64) {
                uint64_t m = stops >> off;
                if (m) {
                    ve = s + size_t(__builtin_ctzll(m));
                    break;
                }
                s = w + 64;
                off = 64;
            }
            if (k == 2) {
                // A long value: the vector scan takes the rest, and the map
                // is made anew where it ends.
                ve = s < len ? s + scan_value(b + s, len - s) : len;
                w = ve;
                stops = ve < len ? stop_bits(b, len, ve) : 0;
                break;
            }
            w = off < 128 ? w + 64 : s;
            if (w >= len) {
                ve = len;
                break;
            }
            stops = stop_bits(b, len, w);
        }
        size_t n;
        if (!name_window(b, len, p, &n)) break;
        size_t next = finish_line(b, len, p, n, ve, out);
        if (!next) break;
        ++out;
        p = next;
    }
    slots.commit(size_t(out - first));
    return p;
}

// From this many bytes on after the start line, lines are read through the
// maps (measured: below it the windows take fewer instructions).
constexpr size_t kMappedRun = 128;

// Runs of whole lines, as many as the fixed slots take. Stops at the first
// line it does not take (the empty line included) and returns where that
// starts, for the general loop.
size_t whole_lines(const uint8_t* b, size_t len, size_t p, HeaderSlots& slots) {
    if (len < 32 || p >= len) return p;
    return len - p < kMappedRun ? window_lines(b, len, p, slots) : mapped_lines(b, len, p, slots);
}

// Header lines from s.pos up to and including the empty line that ends the
// head (*end is then the head's length). Malformed lines fail with
// header_token, or are skipped when `skip_invalid`; one line more than the
// slots hold fails with too_large.
ParseStatus scan_header_lines(const uint8_t* b, size_t len, HeadScan& s, bool skip_invalid, size_t* end,
                              ParseKind* err) {
    using Step = HeadScan::Step;
    for (;;) {
        size_t p = s.pos;
        bool bad = false;
        switch (s.step) {
            case Step::LineStart: {
                p = whole_lines(b, len, p, s.slots);
                for (;;) {
                    if (p >= len) {
                        s.pos = uint32_t(p);
                        return ParseStatus::Partial;
                    }
                    uint8_t c = b[p];
                    if (c == '\n' || c == '\r') break;
                    RawHeader h;
                    size_t next = whole_line(b, len, p, &h);
                    if (!next) break;
                    if (!s.slots.push(h)) return fail(err, ParseKind::TooLarge);
                    p = next;
                }
                s.pos = uint32_t(p);
                uint8_t c = b[p];
                if (c == '\n') {
                    *end = p + 1;
                    return ParseStatus::Complete;
                }
                if (c == '\r') {
                    if (p + 1 >= len) return ParseStatus::Partial;
                    if (b[p + 1] == '\n') {
                        *end = p + 2;
                        return ParseStatus::Complete;
                    }
                }
                s.line = uint32_t(p);
                s.step = Step::Name;
                break;
            }
            case Step::Name:
                p += name_run(b + p, len - p);
                while (p < len && kTokenLower[b[p]]) ++p;
                s.pos = uint32_t(p);
                if (p - s.line > kMaxNameLen) return fail(err, ParseKind::TooLarge);
                if (p >= len) return ParseStatus::Partial;
                if (b[p] != ':' || p == s.line) {
                    bad = true;
                    break;
                }
                s.name_end = uint32_t(p);
                s.pos = uint32_t(p + 1);
                s.step = Step::Ows;
                break;
            case Step::Ows:
                while (p < len && (b[p] == ' ' || b[p] == '\t')) ++p;
                s.pos = uint32_t(p);
                if (p >= len) return ParseStatus::Partial;
                s.value_start = uint32_t(p);
                s.step = Step::Value;
                break;
            case Step::Value:
                p = scan_value_tabs(b, len, p);
                s.pos = uint32_t(p);
                if (p >= len) return ParseStatus::Partial;
                s.value_end = uint32_t(p);
                s.step = Step::LineEnd;
                break;
            case Step::LineEnd: {
                ParseStatus st = parse_line_end(b, len, &p);
                if (st == ParseStatus::Partial) return st;
                if (st == ParseStatus::Error) {
                    bad = true;
                    break;
                }
                size_t vs = s.value_start, ve = s.value_end;
                while (ve > vs && (b[ve - 1] == ' ' || b[ve - 1] == '\t')) --ve;
                RawHeader h{s.line, uint32_t(vs), uint32_t(ve - vs), uint16_t(s.name_end - s.line), 0, 0};
                if (!s.slots.push(h)) return fail(err, ParseKind::TooLarge);
                s.pos = uint32_t(p);
                s.step = Step::LineStart;
                break;
            }
            case Step::Drop: {
                // No LF lies between the line's start and the byte that
                // made it malformed, so the search starts at that byte.
                const void* nl = std::memchr(b + p, '\n', len - p);
                if (!nl) {
                    s.pos = uint32_t(len);
                    return ParseStatus::Partial;
                }
                size_t next = size_t(static_cast<const uint8_t*>(nl) - b) + 1;
                if (names_framing_field(b + s.line, next - s.line)) return fail(err, ParseKind::HeaderToken);
                s.pos = uint32_t(next);
                s.step = Step::LineStart;
                break;
            }
            default: return fail(err, ParseKind::Internal);
        }
        if (bad) {
            if (!skip_invalid) return fail(err, ParseKind::HeaderToken);
            // Drop the whole line, whatever it holds.
            s.step = Step::Drop;
        }
    }
}

// Writes the name src[0, n) lower-cased to dst as lower_copy does and
// returns HeaderList::hash_name of the lowered name. Names of up to 32
// bytes are hashed from the vectors just lowered, without reading them
// back.
inline uint32_t lower_copy_hashed(uint8_t* dst, const uint8_t* src, size_t n, size_t room,
                                  HeaderList::HashKey key) {
#if defined(__SSE2__) && defined(__x86_64__)
    using namespace scan_detail;
    auto lo64 = [](__m128i v) { return uint64_t(_mm_cvtsi128_si64(v)); };
    auto hi64 = [](__m128i v) { return uint64_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v))); };
    if (n <= 16 && room >= 16) {
        // 16 bytes from kPrefix + 16 - n: n bytes 0xFF, then zeros.
        alignas(32) static constexpr uint8_t kPrefix[32] = {
            0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
        __m128i v = load16(src);
        __m128i in_name = load16(kPrefix + 16 - n);
        __m128i name = _mm_and_si128(in_name, lower16(v));  // zero past the name
        store16(dst, _mm_or_si128(_mm_andnot_si128(in_name, v), name));
        return HeaderList::hash_words(key, lo64(name), hi64(name), n);
    }
    if (n > 16 && n <= 32) {
        __m128i a = lower16(load16(src)), b = lower16(load16(src + n - 16));
        store16(dst, a);
        store16(dst + n - 16, b);
        return HeaderList::hash_words(key, lo64(a), hi64(a), lo64(b), hi64(b), n);
    }
#endif
    lower_copy(dst, src, n, room);
    return HeaderList::hash_name({reinterpret_cast<const char*>(dst), n});
}

// Moves the kept lines into `out`: copies the header block into the list's
// store with one allocation, lower-cases the names there and points entries
// into it. False when the lines hold more distinct names than a header
// collection can (a configured max_headers above 24576).
bool build_headers(const uint8_t* b, HeaderSlots& slots, HeaderList& out) {
    size_t n = slots.size();
    if (n == 0) {
        out.clear();
        return true;
    }
    RawHeader* hs = slots.data();
    size_t first = hs[0].name_off;
    size_t last_end = hs[n - 1].value_off + hs[n - 1].value_len;
    size_t block_len = last_end - first;
    HeaderList::Span base = out.assign_block({reinterpret_cast<const char*>(b + first), block_len}, n);
    uint8_t* store = out.store_bytes_of(base);
    // Skipped lines are lowered too: the store reads the same either way.
    const HeaderList::HashKey key = HeaderList::hash_key();
    for (size_t i = 0; i < n; ++i) {
        RawHeader& h = hs[i];
        size_t off = h.name_off - first;
        h.hash = lower_copy_hashed(store + off, b + h.name_off, h.name_len, block_len - off, key);
    }
    const uint32_t shift = uint32_t(base.off - first);  // buffer offsets to store offsets
    auto line = [&](size_t i, HeaderList::Span* ns, HeaderList::Span* vs, uint32_t* hash) {
        const RawHeader& h = hs[i];
        *ns = {h.name_off + shift, h.name_len};
        *vs = {h.value_off + shift, h.value_len};
        *hash = h.hash;
        return !h.drop;
    };
    return out.append_hashed_lines(n, line) == HeaderList::Status::Ok;
}

// What the `connection` lines say about reuse. A "close" token in any line
// wins over "keep-alive" in another, whatever their order.
struct ConnectionTokens {
    bool close = false, keep_alive = false;
    void add(std::string_view value) {
        // A value of one token, the usual case, needs no list walk.
        if (iequals(value, "keep-alive")) {
            keep_alive = true;
            return;
        }
        if (iequals(value, "close")) {
            close = true;
            return;
        }
        // One pass over the elements for both tokens.
        if (!is_visible_ascii(value)) return;
        for_each_list_element(value, [&](std::string_view el) {
            if (iequals(el, "close")) close = true;
            if (iequals(el, "keep-alive")) keep_alive = true;
            return close && keep_alive;
        });
    }
    bool reuse(bool http10) const { return !close && (!http10 || keep_alive); }
};

void begin_scan(HeadScan& s, bool response, size_t max_headers) {
    if (s.active && s.response == response) return;
    s.active = true;
    s.response = response;
    s.step = HeadScan::Step::Start;
    s.pos = 0;
    s.slots.clear(max_headers);
}

}  // namespace

Method method_of(std::string_view name) {
    switch (name.size()) {
        case 3:
            if (name == "GET") return Method::Get;
            if (name == "PUT") return Method::Put;
            break;
        case 4:
            if (name == "POST") return Method::Post;
            if (name == "HEAD") return Method::Head;
            break;
        case 5:
            if (name == "TRACE") return Method::Trace;
            if (name == "PATCH") return Method::Patch;
            if (name == "QUERY") return Method::Query;
            break;
        case 6:
            if (name == "DELETE") return Method::Delete;
            break;
        case 7:
            if (name == "OPTIONS") return Method::Options;
            if (name == "CONNECT") return Method::Connect;
            break;
        default: break;
    }
    return Method::Other;
}

const char* method_name(Method m) {
    int i = int(m);
    return i < kStandardMethods ? kMethodNames[i] : nullptr;
}


const char* parse_kind_name(ParseKind k) { return kKinds[int(k)].name; }
const char* parse_kind_message(ParseKind k) { return kKinds[int(k)].message; }
uint16_t parse_kind_status(ParseKind k) { return kKinds[int(k)].status; }

Failure parse_failure(ParseKind k) {
    Failure f;
    f.category = FailCategory::Parse;
    f.kind = parse_kind_name(k);
    f.description = parse_kind_message(k);
    return f;
}

bool parse_decimal(std::string_view s, uint64_t* out) {
    if (s.empty()) return false;
    uint64_t v = 0;
    if (s.size() <= 19) {
        // 19 digits never overflow 64 bits.
        for (char ch : s) {
            if (ch < '0' || ch > '9') return false;
            v = v * 10 + unsigned(ch - '0');
        }
        *out = v;
        return true;
    }
    for (char ch : s) {
        if (ch < '0' || ch > '9') return false;
        unsigned d = unsigned(ch - '0');
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
    }
    *out = v;
    return true;
}

bool last_element_is_chunked(std::string_view value) {
    size_t comma = value.rfind(',');
    std::string_view last = comma == std::string_view::npos ? value : value.substr(comma + 1);
    return iequals(trim_ows(last), "chunked");
}

bool parse_content_length_list(const HeaderList& h, uint32_t entry, uint64_t* value) {
    bool ok = true, have = false;
    uint64_t common = 0;
    h.for_each_value(entry, [&](std::string_view v) {
        if (!ok) return;
        for_each_list_element(v, [&](std::string_view el) {
            uint64_t n;
            if (!parse_decimal(el, &n) || (have && n != common)) {
                ok = false;
                return true;
            }
            common = n;
            have = true;
            return false;
        });
    });
    if (!ok || !have) return false;
    *value = common;
    return true;
}

ParseStatus parse_request(const uint8_t* b, size_t len, const RequestLimits& lim, RequestHead& out,
                          size_t* head_len, ParseKind* err) {
    HeadScan scan;
    return parse_request(b, len, lim, scan, out, head_len, err);
}

ParseStatus parse_response(const uint8_t* b, size_t len, Method request_method, ResponseHead& out,
                           size_t* head_len, ParseKind* err) {
    HeadScan scan;
    return parse_response(b, len, request_method, scan, out, head_len, err);
}

ParseStatus parse_request(const uint8_t* b, size_t len, const RequestLimits& lim, HeadScan& scan,
                          RequestHead& out, size_t* head_len, ParseKind* err) {
    if (len > UINT32_MAX) len = UINT32_MAX;  // a head never gets near this
    begin_scan(scan, false, lim.max_headers);
    size_t end = 0;
    ParseStatus st = scan_request_line(b, len, scan, err);
    if (st == ParseStatus::Complete) {
        // At a line's start, whole lines and then CRLF, the usual head, need
        // none of the stepwise scan's states. (A scan resumed inside a line
        // goes on where it stopped.)
        size_t p = scan.pos;
        if (scan.step == HeadScan::Step::LineStart) {
            p = whole_lines(b, len, p, scan.slots);
            scan.pos = uint32_t(p);
        }
        if (scan.step == HeadScan::Step::LineStart && len - p >= 2 && load16(b + p) == le_word("\r\n"))
            end = p + 2;
        else
            st = scan_header_lines(b, len, scan, lim.ignore_invalid_headers, &end, err);
    }
    if (st != ParseStatus::Complete) {
        if (st == ParseStatus::Error) scan.reset();
        return st;
    }
    scan.reset();
    HeaderSlots& slots = scan.slots;
    const bool http10 = scan.http10;
    std::string_view method{reinterpret_cast<const char*>(b + scan.start), scan.method_end - scan.start};
    std::string_view target{reinterpret_cast<const char*>(b + scan.method_end + 1),
                            scan.target_end - scan.method_end - 1};
    Uri uri;
    if (target[0] == '/') {
        // Origin form, the common case: every byte was already checked by
        // the target scan (visible ASCII and obs-text), which is exactly the
        // path and query alphabet apart from '#', where a fragment starts.
        const uint8_t* t = reinterpret_cast<const uint8_t*>(target.data());
        size_t n = target.size();
        // The version and line end follow the target in b.
        size_t room = len - scan.method_end - 1;
        size_t q = find_either<'?', '#'>(t, n, room);
        uri.form = UriForm::Origin;
        uri.path = target.substr(0, q);
        if (q < n && t[q] == '?') {
            size_t f = q + 1 + find_either<'#', '#'>(t + q + 1, n - q - 1, room - q - 1);
            uri.query = target.substr(q + 1, f - q - 1);
            uri.has_query = true;
        }
    } else if (parse_uri(target, &uri) != UriError::Ok) {
        return fail(err, ParseKind::Uri);
    }

    Method m = scan.method != Method::None ? scan.method : method_of(method);
    bool is_connect = m == Method::Connect;
    ConnectionTokens conn;
    bool expect_continue = false, is_upgrade = is_connect, allow_trailers = false;
    bool te_seen = false, last_chunked = false, any_cl = false, have_len = false;
    uint64_t length = 0;

    // The lengths of the names looked at below: most lines are none of them.
    constexpr uint32_t kFramingLengths = 1u << 17 | 1u << 14 | 1u << 10 | 1u << 7 | 1u << 6 | 1u << 2;
    size_t n = slots.size();
    RawHeader* hs = slots.data();
    for (size_t i = 0; i < n; ++i) {
        RawHeader& h = hs[i];
        // A longer name that passes (same low five bits) meets no case below.
        if (!(kFramingLengths >> (h.name_len & 31) & 1)) continue;
        switch (h.name_len) {
            case 17:
                if (name_is(b, h, "transfer-encoding")) {
                    if (http10) return fail(err, ParseKind::TransferEncodingUnexpected);
                    if (have_len) {
                        for (size_t k = 0; k < i; ++k)
                            if (name_is(b, hs[k], "content-length")) hs[k].drop = 1;
                        have_len = false;
                        length = 0;
                    }
                    te_seen = true;
                    std::string_view v = value_of(b, h);
                    last_chunked = is_visible_ascii(v) && last_element_is_chunked(v);
                }
                break;
            case 14:
                if (name_is(b, h, "content-length")) {
                    any_cl = true;
                    if (te_seen) {
                        h.drop = 1;
                        break;
                    }
                    uint64_t v;
                    if (!parse_decimal(value_of(b, h), &v)) return fail(err, ParseKind::ContentLengthInvalid);
                    if (!have_len) {
                        if (v >= kMaxContentLength) return fail(err, ParseKind::TooLarge);
                        have_len = true;
                        length = v;
                    } else if (v == length) {
                        h.drop = 1;
                    } else {
                        return fail(err, ParseKind::ContentLengthInvalid);
                    }
                }
                break;
            case 10:
                if (name_is(b, h, "connection")) conn.add(value_of(b, h));
                break;
            case 6:
                if (name_is(b, h, "expect")) expect_continue = iequals(value_of(b, h), "100-continue");
                break;
            case 7:
                if (name_is(b, h, "upgrade")) is_upgrade = !http10;
                break;
            case 2:
                if (!allow_trailers && name_is(b, h, "te")) allow_trailers = has_list_token(value_of(b, h), "trailers");
                break;
            default: break;
        }
    }
    if (te_seen && !last_chunked) return fail(err, ParseKind::TransferEncodingInvalid);
    bool keep_alive = conn.reuse(http10);
    if (te_seen && any_cl) keep_alive = false;

    if (!build_headers(b, slots, out.headers)) return fail(err, ParseKind::TooLarge);
    out.method = m;
    out.method_text = method;
    out.target_raw = target;
    out.uri = uri;
    if (te_seen) {
        out.body_kind = BodyKind::Chunked;
        out.content_length = 0;
    } else if (have_len && length > 0) {
        out.body_kind = BodyKind::Length;
        out.content_length = length;
    } else {
        out.body_kind = BodyKind::Empty;
        out.content_length = 0;
    }
    out.keep_alive = keep_alive;
    out.expect_continue = expect_continue;
    out.is_upgrade = is_upgrade;
    out.http10 = http10;
    out.allow_trailers = allow_trailers;
    out.is_connect = is_connect;
    *head_len = end;
    return ParseStatus::Complete;
}

ParseStatus parse_response(const uint8_t* b, size_t len, Method request_method, HeadScan& scan,
                           ResponseHead& out, size_t* head_len, ParseKind* err) {
    if (len > UINT32_MAX) len = UINT32_MAX;
    begin_scan(scan, true, kDefaultMaxHeaders);
    size_t end = 0;
    ParseStatus st = scan_status_line(b, len, scan, err);
    if (st == ParseStatus::Complete) st = scan_header_lines(b, len, scan, false, &end, err);
    if (st != ParseStatus::Complete) {
        if (st == ParseStatus::Error) scan.reset();
        return st;
    }
    scan.reset();
    HeaderSlots& slots = scan.slots;
    const bool http10 = scan.http10;
    const unsigned status = scan.status;

    ConnectionTokens conn;
    size_t n = slots.size();
    int last_te = -1;
    bool any_cl = false;
    for (size_t i = 0; i < n; ++i) {
        RawHeader& h = slots[i];
        if (h.name_len == 10 && name_is(b, h, "connection"))
            conn.add(value_of(b, h));
        else if (h.name_len == 17 && name_is(b, h, "transfer-encoding"))
            last_te = int(i);
        else if (h.name_len == 14 && name_is(b, h, "content-length"))
            any_cl = true;
    }

    BodyKind kind = BodyKind::Close;
    uint64_t length = 0;
    bool upgrade = false;
    if (status == 101) {
        kind = BodyKind::Empty;
        upgrade = true;
    } else if (status < 200) {
        kind = BodyKind::Empty;  // interim: the caller drops it
    } else if (status == 204 || status == 304 || request_method == Method::Head) {
        kind = BodyKind::Empty;
    } else if (request_method == Method::Connect && status < 300) {
        kind = BodyKind::Empty;
        upgrade = true;
    } else if (last_te >= 0) {
        if (http10) return fail(err, ParseKind::TransferEncodingUnexpected);
        kind = last_element_is_chunked(value_of(b, slots[size_t(last_te)])) ? BodyKind::Chunked
                                                                             : BodyKind::Close;
    } else if (any_cl) {
        bool have = false, ok = true;
        for (size_t i = 0; i < n && ok; ++i) {
            RawHeader& h = slots[i];
            if (!(h.name_len == 14 && name_is(b, h, "content-length"))) continue;
            for_each_list_element(value_of(b, h), [&](std::string_view el) {
                uint64_t v;
                if (!parse_decimal(el, &v) || (have && v != length)) {
                    ok = false;
                    return true;
                }
                length = v;
                have = true;
                return false;
            });
        }
        if (!ok) return fail(err, ParseKind::ContentLengthInvalid);
        if (length >= kMaxContentLength) return fail(err, ParseKind::TooLarge);
        kind = length ? BodyKind::Length : BodyKind::Empty;
    }

    if (!build_headers(b, slots, out.headers)) return fail(err, ParseKind::TooLarge);
    const bool keep_alive = conn.reuse(http10);
    out.status = uint16_t(status);
    out.body_kind = kind;
    out.content_length = kind == BodyKind::Length ? length : 0;
    out.is_upgrade = upgrade;
    out.keep_alive = keep_alive && !upgrade;
    out.http10 = http10;
    *head_len = end;
    return ParseStatus::Complete;
}

}  // namespace wl::h1
