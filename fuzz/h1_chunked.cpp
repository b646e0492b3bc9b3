// Chunked body decoding: any input gives body data and then completion, a
// body failure or a wait for more input, never a crash; and every way of
// splitting the input (and of taking the data out) gives the same result.
//
// Input layout: byte 0 picks the split pattern and whether the input ends
// with mark_eof; the rest is the body as received.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "proto/h1/body_decoder.h"

using wl::h1::BodyDecoder;
using wl::h1::BodyKind;
using wl::h1::IoClass;
using St = BodyDecoder::Status;

namespace {

struct Outcome {
    std::string data;
    bool complete = false;
    bool failed = false;
    std::string error;
    IoClass io = IoClass::None;
    size_t buffered = 0;
    std::string trailers;  // "name\0value\0" for each field

    bool operator==(const Outcome&) const = default;
};

void check(bool ok) {
    if (!ok) std::abort();
}

// take: largest piece to commit at once (0 = whole pieces).
void drain(BodyDecoder& d, std::string& data, size_t take) {
    std::string_view piece;
    while (true) {
        size_t ahead = d.next_piece_size();
        St s = d.peek(&piece);
        check(ahead == (s == St::Data ? piece.size() : 0));  // read ahead exactly, changing nothing
        if (s != St::Data) {
            check(s != St::Failed || d.failed());
            check(s != St::Complete || d.is_complete());
            return;
        }
        check(!piece.empty());
        size_t n = take && take < piece.size() ? take : piece.size();
        data.append(piece.substr(0, n));
        d.commit(n);
    }
}

Outcome finish(BodyDecoder& d, std::string data) {
    Outcome o;
    o.data = std::move(data);
    o.complete = d.is_complete();
    o.failed = d.failed();
    check(!(o.complete && o.failed));
    if (o.failed) {
        wl::h1::Failure f = d.failure();
        check(f.category == wl::h1::FailCategory::Body);
        check(f.io == IoClass::UnexpectedEof || f.io == IoClass::InvalidInput || f.io == IoClass::InvalidData);
        o.error = f.message();
        check(o.error.rfind("error reading a body from connection: ", 0) == 0);
        o.io = f.io;
    }
    o.buffered = d.buffered();
    wl::HeaderList t;
    if (d.take_trailers(t)) {
        check(o.complete);
        check(t.value_count() > 0 && t.value_count() <= BodyDecoder::kMaxTrailerFields);
        t.for_each([&](std::string_view n, std::string_view v) {
            o.trailers.append(n);
            o.trailers.push_back('\0');
            o.trailers.append(v);
            o.trailers.push_back('\0');
        });
        check(!d.take_trailers(t));
    }
    return o;
}

Outcome whole(std::string_view in, bool eof) {
    BodyDecoder d(BodyKind::Chunked);
    std::string data;
    d.feed(in);
    drain(d, data, 0);
    if (eof) {
        d.mark_eof();
        drain(d, data, 0);
    }
    return finish(d, std::move(data));
}

// Feeds pieces of pseudo-random sizes (1..max_step), decoding after each;
// a piece is copied in, moved in as a buffer, or borrowed in place.
Outcome split(std::string_view in, bool eof, uint32_t seed, size_t max_step, size_t take) {
    BodyDecoder d(BodyKind::Chunked);
    std::string data;
    size_t pos = 0;
    while (pos < in.size()) {
        seed = seed * 1103515245u + 12345u;
        size_t n = 1 + (seed >> 16) % max_step;
        if (n > in.size() - pos) n = in.size() - pos;
        if ((seed & 0x600) == 0x200 && d.borrow(in.data() + pos, n)) {
            // read in place: `in` outlives the decoder
        } else if (seed & 0x100) {
            d.feed(in.substr(pos, n));
        } else {
            wl::ByteBuf b;
            b.append(in.data() + pos, n);
            d.feed(b);
            check(b.empty());
        }
        pos += n;
        drain(d, data, take);
    }
    if (eof) {
        d.mark_eof();
        drain(d, data, take);
    }
    return finish(d, std::move(data));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* p, size_t n) {
    if (n == 0) return 0;
    const uint8_t ctl = p[0];
    std::string_view in(reinterpret_cast<const char*>(p + 1), n - 1);
    const bool eof = ctl & 1;

    Outcome a = whole(in, eof);
    // One byte at a time.
    check(split(in, eof, 0, 1, 0) == a);
    // Random splits, with data taken out in small commits.
    check(split(in, eof, ctl, 2 + (ctl >> 4), (ctl >> 1) & 7) == a);
    return 0;
}
