// HTTP/1 received-body decoding: content-length, chunked (with trailers)
// and read-until-close bodies. A resumable state machine over an input
// buffer: feeding the bytes in any split gives the same body data, the
// same completion point and the same failure. No Python here.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "core/buffer.h"
#include "core/headers.h"
#include "proto/h1/body_kind.h"
#include "proto/h1/failure.h"

namespace wl::h1 {

class BodyDecoder {
public:
    static constexpr size_t kCloseReadMax = 8192;         // per decode() of a close body
    static constexpr uint32_t kMaxExtensionBytes = 16384;  // over the whole body
    static constexpr uint32_t kMaxTrailerBytes = 16384;    // CR and LF included
    static constexpr uint32_t kMaxTrailerLines = 100;
    static constexpr uint32_t kMaxTrailerFields = 100;

    enum class ChunkState : uint8_t {
        Start, Size, SizeWs, Extension, SizeLf, Body, BodyCr, BodyLf,
        EndCr, Trailer, TrailerLf, EndLf, End,
    };

    enum class Status : uint8_t {
        Data,      // *out holds the next piece of body data
        NeedMore,  // more input (or mark_eof) is needed
        Complete,  // the body is complete (now or earlier)
        Failed,    // malformed or truncated body; failure() describes it
    };

    // Every failure, in a compact form; sticky once reached.
    enum class Fail : uint8_t {
        None,
        TruncatedBody,       // end of input inside length data or chunk data
        TruncatedLine,       // end of input anywhere else in a chunked body
        MissingSizeDigit,
        InvalidSize,
        InvalidSizeWs,
        InvalidSizeLf,
        InvalidBodyCr,
        InvalidBodyLf,
        InvalidTrailerLf,
        InvalidEndLf,
        SizeOverflow,
        ExtensionNewline,
        ExtensionsOverLimit,
        TrailerBytesOverLimit,
        TrailerCountOverflow,
        TrailerBadName,      // tokenizer: "invalid header name"
        TrailerBadNewline,   // tokenizer: "invalid new line"
        TrailerTooMany,      // tokenizer: "too many headers"
        TrailerPartial,      // "Partial header"
        TrailerBadValue,     // "Invalid header value: " + rendering of the line
    };

    explicit BodyDecoder(BodyKind kind = BodyKind::Empty, uint64_t length = 0) { reset(kind, length); }

    // Starts over for a new message: every state, the end-of-input flag and
    // any trailers are cleared; the input buffer is kept.
    void reset(BodyKind kind, uint64_t length);

    // ---- input ----
    void feed(const void* p, size_t n);
    void feed(std::string_view s) { feed(s.data(), s.size()); }
    // Takes [p, p + n) as the whole input without copying it, when nothing
    // is buffered (otherwise returns false and does nothing). The caller
    // keeps those bytes alive and unchanged while borrowing() is true; every
    // other input call first copies what is left of them into the decoder's
    // own buffer. So body data is copied once, into the caller's result.
    bool borrow(const void* p, size_t n);
    bool borrowing() const { return ext_n_ != 0; }
    // Copies the unread borrowed bytes into the decoder's own buffer; may
    // throw std::bad_alloc, leaving the borrow in place.
    void unborrow();
    // Moves every byte of src to the end of the input; src ends empty.
    // Adopts src's storage when the input is empty, so nothing is copied.
    void feed(ByteBuf& src);
    // Moves every buffered input byte to the end of out (adopting when out
    // is empty); the input ends empty.
    void take_input(ByteBuf& out);
    void mark_eof() { eof_ = true; }

    // Next step of decoding. On Data, *out points at the front of the input
    // buffer; the bytes are not consumed until commit(), so a caller whose
    // copy fails loses nothing. Calling peek() again before commit() gives
    // the same piece. The view stays valid until the next call that changes
    // the input.
    Status peek(std::string_view* out);
    // The size of the piece the next peek() will return, or 0 when it will
    // return no data; changes nothing. Lets a caller size its result before
    // locking to peek.
    size_t next_piece_size() const;
    // Consumes the first n bytes (n <= size of the piece) of the last piece.
    void commit(size_t n);
    // peek() and commit() of the whole piece in one step.
    Status decode(std::string_view* out) {
        Status s = peek(out);
        if (s == Status::Data) commit(out->size());
        return s;
    }

    // ---- state ----
    BodyKind kind() const { return kind_; }
    bool is_complete() const { return complete_; }
    bool eof() const { return eof_; }
    bool failed() const { return fail_ != Fail::None; }
    size_t buffered() const { return in_size(); }
    // The decoder's own input buffer (borrowed bytes are not in it).
    const ByteBuf& input() const { return in_; }
    // Length body: bytes still expected. Chunked: data left in the chunk.
    uint64_t remaining() const { return remaining_; }
    ChunkState chunk_state() const { return cstate_; }
    Fail fail_code() const { return fail_; }
    // The failure as an HTTP/1 failure value (category Body).
    Failure failure() const;
    // The cause text alone, e.g. "Invalid chunk body CR".
    std::string failure_text() const;
    IoClass failure_io() const;

    // Trailers of a completed chunked body that carried any. Moved out:
    // a second call returns false.
    bool has_trailers() const { return has_trailers_; }
    bool take_trailers(HeaderList& out);

private:
    // The chunk framing between two runs of data: what a scan of size lines
    // and data line ends reads and changes.
    struct Framing {
        ChunkState st;
        uint64_t size;       // chunk size being read; data left once in Body
        uint32_t ext_bytes;  // extension bytes over the whole body
    };
    static Fail scan_framing(Framing& f, const uint8_t* p, size_t n, size_t& i);
    // The framing next_piece_size() read ahead, for the next peek() to take
    // instead of reading it again: valid until the input or state changes.
    struct Ahead {
        Framing f;
        size_t i;  // framing bytes read
        bool valid;
    };
    Status peek_chunked(std::string_view* out);
    Status fail(Fail f) {
        fail_ = f;
        return Status::Failed;
    }
    Status finish_chunked();  // the end state: parse trailers, complete

    // The input: the borrowed bytes while there are any (the own buffer is
    // then empty), else the own buffer.
    const uint8_t* in_data() const { return ext_n_ ? ext_ : in_.data(); }
    size_t in_size() const { return ext_n_ ? ext_n_ : in_.size(); }
    void in_consume(size_t n) {
        ahead_.valid = false;
        if (ext_n_) {
            ext_ += n;
            ext_n_ -= n;
        } else {
            in_.consume(n);
        }
    }

    ByteBuf in_;
    const uint8_t* ext_ = nullptr;
    size_t ext_n_ = 0;
    BodyKind kind_ = BodyKind::Empty;
    ChunkState cstate_ = ChunkState::Start;
    Fail fail_ = Fail::None;
    bool eof_ = false;
    bool complete_ = false;
    bool has_trailers_ = false;
    uint64_t remaining_ = 0;
    uint32_t ext_bytes_ = 0;
    uint32_t trailer_lines_ = 0;
    mutable Ahead ahead_{};
    std::string trailer_buf_;
    std::string fail_detail_;  // rendering of the offending trailer line
    HeaderList trailers_;
};

}  // namespace wl::h1
