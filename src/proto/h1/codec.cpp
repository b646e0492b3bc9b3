#include "proto/h1/codec.h"

#include <algorithm>
#include <cstring>

#include "core/chars.h"
#include "core/date.h"
#include "core/uri.h"

namespace wl::h1 {

namespace {

constexpr std::string_view kPreface{"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 24};

struct Reason {
    uint16_t code;
    const char* text;
};

constexpr Reason kReasons[] = {
    {100, "Continue"}, {101, "Switching Protocols"}, {102, "Processing"}, {103, "Early Hints"},
    {200, "OK"}, {201, "Created"}, {202, "Accepted"}, {203, "Non Authoritative Information"},
    {204, "No Content"}, {205, "Reset Content"}, {206, "Partial Content"}, {207, "Multi-Status"},
    {208, "Already Reported"}, {226, "IM Used"}, {300, "Multiple Choices"},
    {301, "Moved Permanently"}, {302, "Found"}, {303, "See Other"}, {304, "Not Modified"},
    {305, "Use Proxy"}, {307, "Temporary Redirect"}, {308, "Permanent Redirect"},
    {400, "Bad Request"}, {401, "Unauthorized"}, {402, "Payment Required"}, {403, "Forbidden"},
    {404, "Not Found"}, {405, "Method Not Allowed"}, {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"}, {408, "Request Timeout"}, {409, "Conflict"},
    {410, "Gone"}, {411, "Length Required"}, {412, "Precondition Failed"},
    {413, "Payload Too Large"}, {414, "URI Too Long"}, {415, "Unsupported Media Type"},
    {416, "Range Not Satisfiable"}, {417, "Expectation Failed"}, {418, "I'm a teapot"},
    {421, "Misdirected Request"}, {422, "Unprocessable Entity"}, {423, "Locked"},
    {424, "Failed Dependency"}, {425, "Too Early"}, {426, "Upgrade Required"},
    {428, "Precondition Required"}, {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"}, {451, "Unavailable For Legal Reasons"},
    {500, "Internal Server Error"}, {501, "Not Implemented"}, {502, "Bad Gateway"},
    {503, "Service Unavailable"}, {504, "Gateway Timeout"}, {505, "HTTP Version Not Supported"},
    {506, "Variant Also Negotiates"}, {507, "Insufficient Storage"}, {508, "Loop Detected"},
    {510, "Not Extended"}, {511, "Network Authentication Required"},
};
static_assert(sizeof(kReasons) / sizeof(kReasons[0]) == 62);

// Status line tail (" 404 Not Found\r\n") per code, built once: the three
// digits and the phrase come from static tables, nothing is formatted per
// call.
struct StatusLines {
    std::string lines[1000];
    StatusLines() {
        for (unsigned c = 100; c < 1000; ++c) {
            std::string s = " ";
            s.push_back(char('0' + c / 100));
            s.push_back(char('0' + c / 10 % 10));
            s.push_back(char('0' + c % 10));
            s.push_back(' ');
            s += reason_phrase(c);
            s += "\r\n";
            lines[c] = std::move(s);
        }
    }
};
const StatusLines& status_lines() {
    static const StatusLines t;
    return t;
}

const char* const kForbiddenTrailers[] = {
    "authorization", "cache-control", "content-encoding", "content-length",
    "content-range", "content-type", "host", "max-forwards",
    "set-cookie", "te", "trailer", "transfer-encoding"};

bool forbidden_trailer(std::string_view name) {
    for (const char* f : kForbiddenTrailers)
        if (name == f) return true;
    return false;
}

// Trailer field names a `trailer` value announces. A response value that is
// not visible ASCII announces none; in a request only the elements that are
// not header names are ignored.
void collect_trailer_names(std::string_view value, std::vector<std::string>& out, bool whole_value = true) {
    if (whole_value && !is_visible_ascii(value)) return;
    for_each_list_element(value, [&](std::string_view el) {
        if (is_token(el)) {
            std::string n(el);
            for (char& c : n) c = ascii_lower(c);
            out.push_back(std::move(n));
        }
        return false;
    });
}

// Upper-cases each ASCII letter of d[0, n) that starts the name or follows
// a '-'. Only the dashes decide, and they never change, so blocks may
// overlap and be read back after being written. `room` is how many bytes
// from d the buffer holds: with 16, a short name takes one vector, which
// may change the bytes after it too (the writer writes them again or cuts
// them off).
void title_case(char* d, size_t n, size_t room) {
    size_t i = 0;
#if defined(__SSE2__)
    if (n < 16 && room >= 16) n = 16;
    if (n >= 16) {
        const __m128i dash = _mm_set1_epi8('-');
        for (;; i += 16) {
            if (i + 16 > n) i = n - 16;
            __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
            // The byte before each lane; the name's start counts as a dash.
            __m128i prev = i ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i - 1))
                             : _mm_or_si128(_mm_slli_si128(x, 1), _mm_cvtsi32_si128('-'));
            __m128i lower = _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8('a' - 1)),
                                          _mm_cmplt_epi8(x, _mm_set1_epi8('z' + 1)));
            __m128i up = _mm_and_si128(_mm_and_si128(lower, _mm_cmpeq_epi8(prev, dash)), _mm_set1_epi8(0x20));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), _mm_sub_epi8(x, up));
            if (i + 16 == n) return;
        }
    }
#else
    (void)room;
#endif
    bool up = true;
    for (; i < n; ++i) {
        char c = d[i];
        if (up && c >= 'a' && c <= 'z') d[i] = char(c - 32);
        up = c == '-';
    }
}

// Copies n bytes from s to d. Names and values are mostly short: up to 32
// bytes are moved inline by two overlapping loads and stores of one width,
// which costs less than a library call whose size tests vary line by line.
inline void copy_bytes(char* d, const char* s, size_t n) {
    auto two = [&](auto word) {
        decltype(word) a, b;
        std::memcpy(&a, s, sizeof a);
        std::memcpy(&b, s + n - sizeof b, sizeof b);
        std::memcpy(d, &a, sizeof a);
        std::memcpy(d + n - sizeof b, &b, sizeof b);
    };
    if (n > 32) {
        std::memcpy(d, s, n);
    } else if (n >= 16) {
#if defined(__SSE2__)
        two(__m128i());
#else
        std::memcpy(d, s, n);
#endif
    } else if (n >= 8) {
        two(uint64_t());
    } else if (n >= 4) {
        two(uint32_t());
    } else if (n) {
        d[0] = s[0];
        d[n / 2] = s[n / 2];
        d[n - 1] = s[n - 1];
    }
}

// Head writer over the codec's reused buffer.
class Writer {
public:
    // Writes into s from its start, with room made once for `bound` bytes (a
    // head's upper bound, see head_bound) and left unset, as every byte kept
    // is written; finish() keeps what was written.
    Writer(ByteBuf& s, size_t bound, bool title) : s_(s), title_(title) {
        s_.clear();
        p_ = chars(s_.tail(bound));
        end_ = p_ + bound;
    }
    void finish() { s_.commit(size_t(p_ - chars(s_.data()) - s_.size())); }

    // Room for n more bytes; the bound makes the growth path dead code, the
    // check keeps a wrong bound from ever writing past the buffer.
    char* room(size_t n) {
        if (size_t(end_ - p_) < n) grow(n);
        char* at = p_;
        p_ += n;
        return at;
    }
    void raw(std::string_view v) { copy_bytes(room(v.size()), v.data(), v.size()); }
    void name(std::string_view n) {
        char* d = room(n.size());
        copy_bytes(d, n.data(), n.size());
        if (title_) title_case(d, n.size(), size_t(end_ - d));
    }
    void line(std::string_view n, std::string_view v) {
        char* d = room(n.size() + v.size() + 4);
        copy_bytes(d, n.data(), n.size());
        if (title_) title_case(d, n.size(), size_t(end_ - d));
        d += n.size();
        std::memcpy(d, ": ", 2);
        copy_bytes(d + 2, v.data(), v.size());
        std::memcpy(d + 2 + v.size(), "\r\n", 2);
    }
    void number_line(std::string_view n, uint64_t v) {
        char d[20];
        char* s = d + sizeof d;
        do {
            *--s = char('0' + v % 10);
            v /= 10;
        } while (v);
        line(n, {s, size_t(d + sizeof d - s)});
    }
    // All values of entry e on one line, joined with ", "; `suffix` after the last.
    void joined(const HeaderList& h, uint32_t e, std::string_view suffix = {}) {
        name(h.name(e));
        raw(": ");
        bool first = true;
        h.for_each_value(e, [&](std::string_view v) {
            if (!first) raw(", ");
            first = false;
            raw(v);
        });
        raw(suffix);
        raw("\r\n");
    }
    void each(const HeaderList& h, uint32_t e) {
        std::string_view n = h.name(e);
        h.for_each_value(e, [&](std::string_view v) { line(n, v); });
    }

private:
    void grow(size_t n) {
        // A static step that gets no pointer to the writer, which can then
        // keep its position in registers across the copies. What was written
        // is committed first, so that the move to a larger block keeps it.
        size_t more = std::max(s_.capacity(), n);
        p_ = grow_to(s_, size_t(p_ - chars(s_.data()) - s_.size()), more);
        end_ = p_ + more;
    }
    [[gnu::noinline]] static char* grow_to(ByteBuf& s, size_t written, size_t more) {
        s.commit(written);
        return chars(s.tail(more));
    }
    static char* chars(uint8_t* p) { return reinterpret_cast<char*>(p); }

    ByteBuf& s_;
    bool title_;
    char* p_;
    char* end_;
};

// Upper bound of the header lines of h: each value on a line of its own
// (joined lines are shorter), every name and value counted from the store.
size_t head_bound(const HeaderList& h) {
    size_t n = h.store_size();
    for (const HeaderList::Entry& e : h.entries()) n += (size_t(e.name.len) + 4) * e.count;
    return n;
}
// The most a codec adds to those lines: the start line (without a request
// target), connection, content-length, transfer-encoding (or ", chunked"),
// date and the empty line.
constexpr size_t kHeadExtra = 256;

const HeaderList& empty_list() {
    static const HeaderList e;
    return e;
}

std::string_view last_value(const HeaderList& h, uint32_t e) {
    std::string_view last;
    h.for_each_value(e, [&](std::string_view v) { last = v; });
    return last;
}

bool any_value_has_token(const HeaderList& h, uint32_t e, std::string_view token) {
    bool found = false;
    h.for_each_value(e, [&](std::string_view v) {
        if (!found && has_list_token(v, token)) found = true;
    });
    return found;
}

Failure user_failure(const char* kind, std::string description) {
    Failure f;
    f.category = FailCategory::User;
    f.kind = kind;
    f.description = std::move(description);
    return f;
}

Failure write_aborted(uint64_t missing) {
    Failure f = user_failure("body_write_aborted", "user body write aborted");
    f.has_cause = true;
    f.cause = "early end, expected " + std::to_string(missing) + " more bytes";
    return f;
}

}  // namespace

std::string_view reason_phrase(unsigned status) {
    for (const Reason& r : kReasons)
        if (r.code == status) return r.text;
    return "<none>";
}

bool connection_close(const HeaderList& h) {
    uint32_t e = h.find("connection");
    return e != HeaderList::kNone && any_value_has_token(h, e, "close");
}

// ---------------------------------------------------------------- reading

ParseStatus Codec::fail_request(ParseKind k, Failure* f) {
    if (rbuf_.size() >= kPreface.size() && std::memcmp(rbuf_.data(), kPreface.data(), kPreface.size()) == 0)
        k = ParseKind::VersionH2;
    parse_error_status_ = parse_kind_status(k);
    *f = parse_failure(k);
    return ParseStatus::Error;
}

// Inlined into its two callers: a head that arrives whole then costs one
// call less.
[[gnu::always_inline]] inline ParseStatus Codec::parse_request_at(const uint8_t* in, size_t len, RequestHead& out,
                                                                size_t* used, ParseKind* kind) {
    RequestLimits lim{cfg_.max_headers, cfg_.ignore_invalid_headers};
    HeadScan local(false, lim.max_headers);
    ParseStatus st = parse_request(in, len, lim, scan_ ? *scan_ : local, out, used, kind);
    if (st == ParseStatus::Partial && !scan_) scan_ = std::make_unique<HeadScan>(std::move(local));
    if (st == ParseStatus::Partial && len >= cfg_.max_buf_size) {
        *kind = ParseKind::TooLarge;
        st = ParseStatus::Error;
    }
    return st;
}

ParseStatus Codec::parse_response_at(const uint8_t* in, size_t len, ResponseHead& out, size_t* used,
                                     ParseKind* kind) {
    HeadScan local;
    ParseStatus st = parse_response(in, len, method_, scan_ ? *scan_ : local, out, used, kind);
    if (st == ParseStatus::Partial && !scan_) scan_ = std::make_unique<HeadScan>(std::move(local));
    if (st == ParseStatus::Partial && len >= cfg_.max_buf_size) {
        *kind = ParseKind::TooLarge;
        st = ParseStatus::Error;
    }
    return st;
}

void Codec::keep_unread(const uint8_t* p, size_t n) {
    try {
        rbuf_.append(p, n);
    } catch (...) {
        // The scan's positions would point past an empty buffer.
        if (scan_) scan_->reset();
        throw;
    }
}

void Codec::request_parsed(const RequestHead& out) {
    method_ = out.method;
    req_allows_trailers_ = out.allow_trailers;
}

ParseStatus Codec::receive_request(std::string_view data, RequestHead& out, Failure* f) {
    feed(data);
    if (rbuf_.empty()) return ParseStatus::Partial;
    size_t used = 0;
    ParseKind kind = ParseKind::Internal;
    ParseStatus st = parse_request_at(rbuf_.data(), rbuf_.size(), out, &used, &kind);
    if (st == ParseStatus::Error) return fail_request(kind, f);
    if (st == ParseStatus::Complete) {
        request_parsed(out);
        rbuf_.consume(used);
    }
    return st;
}

// The parser only reads, so with nothing buffered it reads data where it
// lies: a head that arrives whole is never copied into the read buffer,
// and what follows it is borrowed. Only an incomplete or failed head is
// kept in the read buffer, as the buffered path would leave it.
ParseStatus Codec::receive_request_in_place(std::string_view data, RequestHead& out, Failure* f) {
    if (!rbuf_.empty() || borrowing() || data.empty()) return receive_request(data, out, f);
    const uint8_t* in = reinterpret_cast<const uint8_t*>(data.data());
    size_t used = 0;
    ParseKind kind = ParseKind::Internal;
    ParseStatus st = parse_request_at(in, data.size(), out, &used, &kind);
    if (st != ParseStatus::Complete) {
        keep_unread(in, data.size());
        return st == ParseStatus::Error ? fail_request(kind, f) : st;
    }
    request_parsed(out);
    if (used < data.size()) borrow(in + used, data.size() - used);
    return st;
}

ParseStatus Codec::receive_response(std::string_view data, ResponseHead& out, Failure* f) {
    feed(data);
    for (;;) {
        if (rbuf_.empty()) return ParseStatus::Partial;
        size_t used = 0;
        ParseKind kind = ParseKind::Internal;
        ParseStatus st = parse_response_at(rbuf_.data(), rbuf_.size(), out, &used, &kind);
        if (st == ParseStatus::Error) *f = parse_failure(kind);
        if (st != ParseStatus::Complete) return st;
        rbuf_.consume(used);
        if (!is_interim(out.status)) return st;
    }
}

ParseStatus Codec::receive_response_in_place(std::string_view data, ResponseHead& out, Failure* f) {
    if (!rbuf_.empty() || borrowing() || data.empty()) return receive_response(data, out, f);
    const uint8_t* in = reinterpret_cast<const uint8_t*>(data.data());
    size_t len = data.size();
    for (;;) {
        size_t used = 0;
        ParseKind kind = ParseKind::Internal;
        ParseStatus st = parse_response_at(in, len, out, &used, &kind);
        if (st != ParseStatus::Complete) {
            keep_unread(in, len);
            if (st == ParseStatus::Error) *f = parse_failure(kind);
            return st;
        }
        in += used;
        len -= used;
        if (is_interim(out.status)) {
            if (len == 0) return ParseStatus::Partial;
            continue;
        }
        if (len) borrow(in, len);
        return st;
    }
}

// ---------------------------------------------------------------- heads

bool Codec::serialize_request(std::string_view method, std::string_view url, const HeaderList* hp,
                              bool http10, bool has_length, uint64_t length, bool chunked,
                              SerializeError* err) {
    if (!is_token(method)) {
        err->kind = SerializeError::Kind::Value;
        err->message = "invalid method: invalid HTTP method";
        return false;
    }
    Uri uri;
    UriError ue = parse_uri(url, &uri);
    if (ue != UriError::Ok) {
        err->kind = SerializeError::Kind::Value;
        err->message = std::string("invalid url: ") + uri_error_reason(ue);
        return false;
    }
    const HeaderList& h = hp ? *hp : empty_list();
    Method m = method_of(method);
    const uint32_t conn = h.find("connection");
    const uint32_t te = h.find("transfer-encoding");
    const uint32_t cl = h.find("content-length");
    const bool close = conn != HeaderList::kNone && any_value_has_token(h, conn, "close");

    // Peer version fix-up: the single `connection` value to write instead
    // of the caller's lines, if any.
    std::string_view conn_repl;
    if (http10) {
        bool first_keep = conn != HeaderList::kNone && has_list_token(h.first_value(conn), "keep-alive");
        if (!first_keep && !close) conn_repl = "keep-alive";
    } else if (close) {
        conn_repl = "close";
    }

    // Framing.
    enum class TeAct { Keep, Remove, AppendChunked } te_act = TeAct::Keep;
    enum class ClAct { Keep, Remove, Set } cl_act = ClAct::Keep;
    bool add_te = false;
    uint64_t cl_value = 0;
    Encoder enc;
    const bool has_body = chunked || has_length;
    const bool known = has_length && !chunked;
    uint64_t common = 0;
    const bool cl_valid = cl != HeaderList::kNone && parse_content_length_list(h, cl, &common);
    if (http10 && chunked && !cl_valid) {
        // An HTTP/1.0 peer cannot read a chunked body, and without a length
        // there is no other way to end a request body.
        err->kind = SerializeError::Kind::Value;
        err->message = "invalid chunked: an HTTP/1.0 request body needs a content-length";
        return false;
    }
    if (!has_body) {
        // The caller's own content-length frames the body all the same: the
        // peer reads that many bytes, so the encoder must expect them.
        te_act = TeAct::Remove;
        enc.kind = Encoder::Kind::Length;
        if (cl_valid) enc.remaining = common;
    } else if (http10) {
        te_act = TeAct::Remove;
        enc.kind = Encoder::Kind::Length;
        if (cl_valid) {
            enc.remaining = common;
        } else if (known) {
            cl_act = ClAct::Set;
            cl_value = length;
            enc.remaining = length;
        }
    } else if (te != HeaderList::kNone) {
        if (!last_element_is_chunked(last_value(h, te))) te_act = TeAct::AppendChunked;
        // A message never carries both framings, whether or not the length was valid.
        cl_act = ClAct::Remove;
        enc.kind = Encoder::Kind::Chunked;
    } else if (cl_valid) {
        enc.kind = Encoder::Kind::Length;
        enc.remaining = common;
    } else if (!known) {
        if (m == Method::Get || m == Method::Head || m == Method::Connect) {
            enc.kind = Encoder::Kind::Length;
        } else {
            add_te = true;
            cl_act = ClAct::Remove;
            enc.kind = Encoder::Kind::Chunked;
        }
    } else {
        cl_act = ClAct::Set;
        cl_value = length;
        enc.kind = Encoder::Kind::Length;
        enc.remaining = length;
    }
    if (enc.kind == Encoder::Kind::Chunked) {
        uint32_t tr = h.find("trailer");
        if (tr != HeaderList::kNone) {
            enc.has_trailer_names = true;
            h.for_each_value(tr, [&](std::string_view v) { collect_trailer_names(v, enc.trailer_names, false); });
        }
    }

    size_t tn = uri.target_size();
    Writer w(head_, kHeadExtra + method.size() + tn + head_bound(h), false);
    w.raw(method);
    w.raw(" ");
    uri.write_target(w.room(tn));
    w.raw(http10 ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n");
    const auto& entries = h.entries();
    for (uint32_t e = 0; e < entries.size(); ++e) {
        if (e == conn && !conn_repl.empty()) {
            w.line("connection", conn_repl);
        } else if (e == te) {
            if (te_act == TeAct::Remove) continue;
            if (te_act == TeAct::Keep) {
                w.each(h, e);
                continue;
            }
            uint32_t left = entries[e].count;
            h.for_each_value(e, [&](std::string_view v) {
                w.raw("transfer-encoding: ");
                w.raw(v);
                if (--left == 0) w.raw(", chunked");
                w.raw("\r\n");
            });
        } else if (e == cl) {
            if (cl_act == ClAct::Remove) continue;
            if (cl_act == ClAct::Set)
                w.number_line("content-length", cl_value);
            else
                w.each(h, e);
        } else {
            w.each(h, e);
        }
    }
    if (conn == HeaderList::kNone && !conn_repl.empty()) w.line("connection", conn_repl);
    if (cl == HeaderList::kNone && cl_act == ClAct::Set) w.number_line("content-length", cl_value);
    if (add_te) w.line("transfer-encoding", "chunked");
    w.raw("\r\n");
    w.finish();

    method_ = m;
    req_conn_close_ = close;
    set_encoder(std::move(enc));
    return true;
}

bool Codec::serialize_response(unsigned status, const HeaderList* hp, bool keep_alive, bool http10,
                               bool has_length, uint64_t length, bool chunked, SerializeError* err) {
    if (status < 100 || status > 999) {
        err->kind = SerializeError::Kind::Value;
        err->message = "invalid status: invalid status code";
        return false;
    }
    if (status < 200 && status != 101) {
        err->kind = SerializeError::Kind::User;
        err->failure = user_failure("unsupported_status_code", "response has 1xx status code, not supported by server");
        return false;
    }
    const HeaderList& h = hp ? *hp : empty_list();
    const bool is_head = method_ == Method::Head;
    const bool connect_ok = method_ == Method::Connect && status >= 200 && status < 300;
    const bool informational = status < 200;
    const bool no_content = informational || status == 204 || status == 304;
    const bool can_body = !(is_head || connect_ok || no_content);
    const bool may_chunk = can_body && !http10;
    const bool cl_allowed = !(no_content || connect_ok);
    const bool auto_zero = cl_allowed && !is_head;
    const bool known = has_length && !chunked;
    const bool unknown = chunked;

    // Only an HTTP/1.0 answer reads the `connection` field before writing;
    // an HTTP/1.1 one notices it on the way.
    const uint32_t conn = http10 ? h.find("connection") : HeaderList::kNone;
    bool conn_seen = false;
    // An HTTP/1.0 body of unknown length ends when the connection closes:
    // such a response is the last one and promises no reuse.
    const bool close_delimited = unknown && http10 && can_body && !h.contains("content-length");
    bool drop_conn = false;
    std::string_view conn_repl;
    if (close_delimited) {
        drop_conn = conn != HeaderList::kNone && any_value_has_token(h, conn, "keep-alive");
    } else if (http10) {
        bool first_keep = conn != HeaderList::kNone && has_list_token(h.first_value(conn), "keep-alive");
        if (!first_keep && keep_alive) conn_repl = "keep-alive";
    } else if (!keep_alive) {
        conn_repl = "close";
    }
    bool last = status == 101 || connect_ok || !keep_alive || close_delimited;

    Writer w(head_, kHeadExtra + head_bound(h), cfg_.title_case_headers);
    if (!http10 && status == 200) {
        w.raw("HTTP/1.1 200 OK\r\n");
    } else {
        w.raw(http10 ? "HTTP/1.0" : "HTTP/1.1");
        w.raw(status_lines().lines[status]);
    }

    Encoder enc;
    enc.kind = Encoder::Kind::Length;
    bool length_written = false, date_written = false;
    auto unexpected = [&]() {
        head_.clear();
        err->kind = SerializeError::Kind::User;
        err->failure = user_failure("unexpected_header", "user sent unexpected header");
        return false;
    };
    // The lengths of the names written with a rule of their own: date,
    // trailer, connection, content-length, transfer-encoding. Any other
    // name is written as it is without looking at its bytes.
    constexpr uint32_t kRuleLengths = 1u << 4 | 1u << 7 | 1u << 10 | 1u << 14 | 1u << 17;
    const uint32_t names = uint32_t(h.name_count());  // read once: the writer's stores may alias h
    for (uint32_t e = 0; e < names; ++e) {
        std::string_view n = h.name(e);
        if (n.size() >= 32 || !(kRuleLengths >> n.size() & 1)) {
            w.each(h, e);
            continue;
        }
        switch (n.size()) {
            case 14:
                if (n == "content-length") {
                    if (length_written) return unexpected();
                    if (known) {
                        // The peer frames the body by the header, so the
                        // encoder follows the header, never the argument:
                        // a mismatch would desynchronise the connection.
                        uint64_t v;
                        if (!parse_decimal(h.first_value(e), &v)) return unexpected();
                        w.line(n, h.first_value(e));
                        enc.kind = Encoder::Kind::Length;
                        enc.remaining = v;
                        length_written = true;
                    } else if (unknown) {
                        bool ok = true, have = false;
                        uint64_t v0 = 0;
                        h.for_each_value(e, [&](std::string_view v) {
                            uint64_t x;
                            if (!parse_decimal(v, &x) || (have && x != v0)) ok = false;
                            v0 = have ? v0 : x;
                            have = true;
                        });
                        if (!ok) return unexpected();
                        w.line(n, h.first_value(e));
                        enc.kind = Encoder::Kind::Length;
                        enc.remaining = v0;
                        length_written = true;
                    } else if (is_head) {
                        w.joined(h, e);
                        length_written = true;
                    }
                    continue;
                }
                break;
            case 17:
                if (n == "transfer-encoding") {
                    if (length_written) return unexpected();
                    if (!may_chunk) continue;
                    bool ends_chunked = last_element_is_chunked(last_value(h, e));
                    w.joined(h, e, ends_chunked ? std::string_view() : std::string_view(", chunked"));
                    enc.kind = Encoder::Kind::Chunked;
                    length_written = true;
                    continue;
                }
                break;
            case 10:
                if (n == "connection") {
                    conn_seen = true;
                    if (drop_conn) continue;
                    if (!conn_repl.empty()) {
                        w.line(n, conn_repl);
                    } else {
                        w.joined(h, e);
                        if (!last && any_value_has_token(h, e, "close")) last = true;
                    }
                    continue;
                }
                break;
            case 4:
                if (n == "date") date_written = true;
                break;
            case 7:
                if (n == "trailer") {
                    if (!may_chunk) continue;
                    w.joined(h, e);
                    enc.has_trailer_names = true;
                    h.for_each_value(e, [&](std::string_view v) { collect_trailer_names(v, enc.trailer_names); });
                    continue;
                }
                break;
            default: break;
        }
        w.each(h, e);
    }
    if (!conn_seen && !conn_repl.empty()) w.line("connection", conn_repl);
    if (!length_written) {
        if (unknown) {
            if (!may_chunk) {
                enc.kind = Encoder::Kind::Close;
            } else {
                w.line("transfer-encoding", "chunked");
                enc.kind = Encoder::Kind::Chunked;
            }
        } else if (!known || length == 0) {
            if (auto_zero) w.line("content-length", "0");
            enc.kind = Encoder::Kind::Length;
            enc.remaining = 0;
        } else if (cl_allowed) {
            w.number_line("content-length", length);
            enc.kind = Encoder::Kind::Length;
            enc.remaining = length;
        } else {
            enc.kind = Encoder::Kind::Length;
            enc.remaining = 0;
        }
    }
    if (!can_body) {
        enc.kind = Encoder::Kind::Length;
        enc.remaining = 0;
    }
    if (enc.kind != Encoder::Kind::Chunked) {
        enc.has_trailer_names = false;
        enc.trailer_names.clear();
    }
    if (cfg_.date_header && !date_written) {
        w.name("date");
        w.raw(": ");
        w.raw({cached_http_date(), size_t(kHttpDateLen)});
        w.raw("\r\n");
    }
    w.raw("\r\n");
    w.finish();

    resp_is_last_ = last;
    resp_close_delimited_ = enc.kind == Encoder::Kind::Close;
    set_encoder(std::move(enc));
    return true;
}

// ---------------------------------------------------------------- body

DataPlan Codec::plan_data(size_t n, size_t* keep) {
    switch (enc_.kind) {
        case Encoder::Kind::None: return DataPlan::NoEncoder;
        case Encoder::Kind::Close: return DataPlan::Same;
        case Encoder::Kind::Chunked: return DataPlan::Chunked;
        case Encoder::Kind::Length:
            if (n <= enc_.remaining) {
                enc_.remaining -= n;
                return DataPlan::Same;
            }
            *keep = size_t(enc_.remaining);
            enc_.remaining = 0;
            return DataPlan::Prefix;
    }
    return DataPlan::NoEncoder;
}

Encoder Codec::take_encoder() {
    Encoder e = std::move(enc_);
    set_encoder(Encoder());
    return e;
}

bool Codec::end_taken(Encoder& enc, const HeaderList* trailers, std::string* out, EndPlan* plan, Failure* f) {
    switch (enc.kind) {
        case Encoder::Kind::None:
        case Encoder::Kind::Close: *plan = EndPlan::Empty; return true;
        case Encoder::Kind::Length:
            if (enc.remaining) {
                *f = write_aborted(enc.remaining);
                return false;
            }
            *plan = EndPlan::Empty;
            return true;
        case Encoder::Kind::Chunked: break;
    }
    *plan = EndPlan::Terminator;
    if (!trailers || !req_allows_trailers_ || !enc.has_trailer_names) return true;
    out->clear();
    const HeaderList& t = *trailers;
    for (uint32_t e = 0; e < t.entries().size(); ++e) {
        std::string_view n = t.name(e);
        bool allowed = false;
        for (const std::string& a : enc.trailer_names)
            if (a == n) {
                allowed = true;
                break;
            }
        if (!allowed || forbidden_trailer(n)) continue;
        t.for_each_value(e, [&](std::string_view v) {
            if (out->empty()) out->append("0\r\n");
            out->append(n.data(), n.size());
            out->append(": ");
            out->append(v.data(), v.size());
            out->append("\r\n");
        });
    }
    if (out->empty()) return true;
    out->append("\r\n");
    *plan = EndPlan::Trailers;
    return true;
}

bool Codec::end_body(EndPlan* plan, Failure* f) {
    Encoder e = take_encoder();
    return end_taken(e, nullptr, nullptr, plan, f);
}

bool Codec::end_body_with_trailers(const HeaderList& trailers, std::string* out, EndPlan* plan, Failure* f) {
    Encoder e = take_encoder();
    return end_taken(e, &trailers, out, plan, f);
}

void Codec::reset() {
    set_encoder(Encoder());
    method_ = Method::None;
    parse_error_status_ = 0;
    req_conn_close_ = false;
    resp_is_last_ = false;
    resp_close_delimited_ = false;
    req_allows_trailers_ = true;
}

}  // namespace wl::h1
