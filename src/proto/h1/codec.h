// The HTTP/1 codec of one connection: read buffer, head parsing, head
// serialization and the body encoder. No Python here; the binding layer
// wraps one Codec per H1Codec object and guards it with the object's mutex.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/buffer.h"
#include "core/headers.h"
#include "proto/h1/failure.h"
#include "proto/h1/head.h"

namespace wl::h1 {

constexpr uint64_t kMinMaxBufSize = 8192;
constexpr uint64_t kDefaultMaxBufSize = 8192 + 100 * 4096;  // 417792

struct CodecConfig {
    size_t max_headers = kDefaultMaxHeaders;
    bool ignore_invalid_headers = false;
    bool title_case_headers = false;
    bool date_header = true;
    uint64_t max_buf_size = kDefaultMaxBufSize;
};

struct Encoder {
    enum class Kind : uint8_t { None, Length, Close, Chunked };
    Kind kind = Kind::None;
    uint64_t remaining = 0;
    bool has_trailer_names = false;            // the head carried a `trailer` field
    std::vector<std::string> trailer_names;    // lower-case, in order
};

// A serialize call's refusal: a ValueError message, or an H1UserError.
struct SerializeError {
    enum class Kind : uint8_t { None, Value, User } kind = Kind::None;
    std::string message;           // ValueError text
    Failure failure;               // H1UserError
};

// How one body chunk of n > 0 bytes goes to the wire.
enum class DataPlan : uint8_t {
    NoEncoder,  // nothing in flight
    Same,       // the chunk itself, unchanged
    Prefix,     // its first `keep` bytes (0 means an empty result)
    Chunked,    // size line, the chunk, CRLF
};

// The end of a body.
enum class EndPlan : uint8_t {
    Empty,       // nothing to write
    Terminator,  // the bare "0\r\n\r\n"
    Trailers,    // "0\r\n", the kept trailer lines, CRLF (written into `out`)
};

inline constexpr std::string_view kChunkedTerminator{"0\r\n\r\n", 5};

// The length chunk_size_line writes for n (it writes no more than that).
inline size_t chunk_size_line_len(uint64_t n) {
    return size_t(67 - __builtin_clzll(n | 1)) / 4 + 2;  // hex digits of n, then CRLF
}
// Formats the chunk-size line for n (upper-case hex, CRLF) into out; returns
// its length (at most 18). Inline: it runs once per body chunk.
inline size_t chunk_size_line(uint64_t n, char out[18]) {
    size_t len = chunk_size_line_len(n);
    out[len - 2] = '\r';
    out[len - 1] = '\n';
    for (size_t i = len - 2; i-- > 0; n >>= 4) out[i] = "0123456789ABCDEF"[n & 15];
    return len;
}

// The reason phrase of a status ("<none>" when unknown).
std::string_view reason_phrase(unsigned status);

// True when any `connection` value of h lists the "close" token.
bool connection_close(const HeaderList& h);

class Codec {
public:
    explicit Codec(const CodecConfig& cfg = CodecConfig()) : cfg_(cfg) {}

    const CodecConfig& config() const { return cfg_; }

    // ---- reading ----
    // The unread input is either the read buffer or bytes borrowed from the
    // last receive_request_in_place call, never both.
    void feed(std::string_view data) {
        unborrow();
        rbuf_.append(data);
    }
    // Appends data, then parses one request head. On Complete the head bytes
    // are consumed; the views in `out` stay valid until the read buffer is
    // next appended to.
    ParseStatus receive_request(std::string_view data, RequestHead& out, Failure* f);
    // receive_request without copying: with nothing buffered, data is parsed
    // where it lies (the views in `out` may point into it) and the bytes
    // after a complete head are borrowed from it; the caller keeps data alive
    // and unchanged while borrowing(). Only an incomplete or failed head is
    // copied into the read buffer. Same results and state as
    // receive_request otherwise.
    ParseStatus receive_request_in_place(std::string_view data, RequestHead& out, Failure* f);
    // The same for response heads (interim ones dropped).
    ParseStatus receive_response_in_place(std::string_view data, ResponseHead& out, Failure* f);
    bool borrowing() const { return ext_n_ != 0; }
    // Borrows p[0, n) as the unread input when there is none; false if
    // there is.
    bool borrow(const void* p, size_t n) {
        if (!rbuf_.empty() || ext_n_) return false;
        ext_ = static_cast<const uint8_t*>(p);
        ext_n_ = n;
        return true;
    }
    // Copies the borrowed bytes into the read buffer; may throw
    // std::bad_alloc with the borrow in place.
    void unborrow() {
        if (!ext_n_) return;
        rbuf_.append(ext_, ext_n_);
        ext_n_ = 0;
    }
    // The unread input, borrowed or buffered.
    std::string_view input() const {
        return ext_n_ ? std::string_view(reinterpret_cast<const char*>(ext_), ext_n_) : rbuf_.view();
    }
    void clear_input() {
        ext_n_ = 0;
        rbuf_.clear();
        if (scan_) scan_->reset();
    }
    // Appends data, then parses response heads, dropping interim ones.
    ParseStatus receive_response(std::string_view data, ResponseHead& out, Failure* f);
    // For changes other than appending: an incomplete head is then parsed
    // again from the start of the buffer.
    // May throw std::bad_alloc (borrowed bytes are copied in first).
    ByteBuf& read_buffer() {
        unborrow();
        if (scan_) scan_->reset();
        return rbuf_;
    }
    size_t buffered() const { return rbuf_.size() + ext_n_; }
    uint16_t parse_error_status() const { return parse_error_status_; }  // 0: none

    // ---- writing heads (the result is head()) ----
    bool serialize_request(std::string_view method, std::string_view url, const HeaderList* headers,
                           bool http10, bool has_length, uint64_t length, bool chunked,
                           SerializeError* err);
    bool serialize_response(unsigned status, const HeaderList* headers, bool keep_alive, bool http10,
                            bool has_length, uint64_t length, bool chunked, SerializeError* err);
    std::string_view head() const { return head_.view(); }
    // The buffer head() lives in: a caller may swap it out to keep the head
    // without copying and swap a buffer back in to be reused.
    ByteBuf& head_buffer() { return head_; }

    bool request_connection_close() const { return req_conn_close_; }
    bool response_is_last() const { return resp_is_last_; }
    bool response_close_delimited() const { return resp_close_delimited_; }
    Method recorded_method() const { return method_; }
    bool request_allows_trailers() const { return req_allows_trailers_; }

    // ---- the body encoder ----
    DataPlan plan_data(size_t n, size_t* keep);
    // Ends the body; the encoder becomes none. False (with *f) for a
    // length body that is short.
    bool end_body(EndPlan* plan, Failure* f);
    // Ends the body with trailer fields; kept lines go into out (which is
    // cleared first) when *plan is Trailers.
    bool end_body_with_trailers(const HeaderList& trailers, std::string* out, EndPlan* plan, Failure* f);
    bool body_is_eof() const {
        return enc_.kind == Encoder::Kind::None ||
               (enc_.kind == Encoder::Kind::Length && enc_.remaining == 0);
    }
    const Encoder& encoder() const { return enc_; }
    // The encoder's kind, safe to read while another thread holds the
    // caller's lock: a chunk of a chunked body is framed from the kind
    // alone and changes nothing, so it needs no lock. Only a locked step
    // changes it.
    Encoder::Kind encoder_kind() const { return enc_kind_.load(std::memory_order_relaxed); }
    // Takes the encoder out (it becomes none).
    Encoder take_encoder();
    // Ends the body of `enc` (already taken out), optionally with trailers.
    bool end_taken(Encoder& enc, const HeaderList* trailers, std::string* out, EndPlan* plan, Failure* f);

    void reset();

private:
    ParseStatus fail_request(ParseKind k, Failure* f);
    // One head from in[0, len) (the read buffer or the caller's bytes),
    // resuming the remembered scan; a partial head of max_buf_size bytes or
    // more is an error (too_large).
    ParseStatus parse_request_at(const uint8_t* in, size_t len, RequestHead& out, size_t* used, ParseKind* kind);
    ParseStatus parse_response_at(const uint8_t* in, size_t len, ResponseHead& out, size_t* used,
                                  ParseKind* kind);
    // Keeps bytes read in place that were not consumed; on failure the
    // scan starts over.
    void keep_unread(const uint8_t* p, size_t n);
    void request_parsed(const RequestHead& out);
    static bool is_interim(uint16_t status) { return status >= 100 && status < 200 && status != 101; }

    CodecConfig cfg_;
    ByteBuf rbuf_;
    const uint8_t* ext_ = nullptr;  // borrowed unread bytes (rbuf_ is then empty)
    size_t ext_n_ = 0;
    // How far an incomplete head at the front of rbuf_ was parsed. Made on
    // the first head that does not arrive whole, so that idle codecs stay
    // small.
    std::unique_ptr<HeadScan> scan_;
    Method method_ = Method::None;
    uint16_t parse_error_status_ = 0;
    bool req_allows_trailers_ = true;
    bool req_conn_close_ = false;
    bool resp_is_last_ = false;
    bool resp_close_delimited_ = false;
    void set_encoder(Encoder&& e) {
        enc_ = std::move(e);
        enc_kind_.store(enc_.kind, std::memory_order_relaxed);
    }

    Encoder enc_;  // changed only through set_encoder (and plan_data's count)
    std::atomic<Encoder::Kind> enc_kind_{Encoder::Kind::None};
    ByteBuf head_;
};

}  // namespace wl::h1
