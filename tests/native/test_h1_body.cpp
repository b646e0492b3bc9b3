#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proto/h1/body_decoder.h"

using wl::ByteBuf;
using wl::HeaderList;
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
    std::vector<std::pair<std::string, std::string>> trailers;

    bool operator==(const Outcome&) const = default;
};

// Decodes until the decoder stops producing data.
void drain(BodyDecoder& d, std::string& data) {
    std::string_view piece;
    while (d.decode(&piece) == St::Data) data.append(piece);
}

Outcome finish(BodyDecoder& d, std::string data) {
    Outcome o;
    o.data = std::move(data);
    o.complete = d.is_complete();
    o.failed = d.failed();
    if (o.failed) {
        o.error = d.failure().message();
        o.io = d.failure_io();
    }
    o.buffered = d.buffered();
    HeaderList t;
    if (d.take_trailers(t)) t.for_each([&](std::string_view n, std::string_view v) {
        o.trailers.emplace_back(std::string(n), std::string(v));
    });
    return o;
}

// step == 0: everything in one feed.
Outcome run(BodyKind kind, std::string_view input, size_t step, bool eof, uint64_t length = 0) {
    BodyDecoder d(kind, length);
    std::string data;
    if (step == 0) {
        d.feed(input);
        drain(d, data);
    } else {
        for (size_t i = 0; i < input.size(); i += step) {
            d.feed(input.substr(i, step));
            drain(d, data);
        }
    }
    if (eof) {
        d.mark_eof();
        drain(d, data);
    }
    return finish(d, std::move(data));
}

Outcome chunked(std::string_view input, bool eof = false) { return run(BodyKind::Chunked, input, 0, eof); }

std::string cause(const Outcome& o) {
    const std::string prefix = "error reading a body from connection: ";
    EXPECT_EQ(o.error.compare(0, prefix.size(), prefix), 0) << o.error;
    return o.error.substr(prefix.size());
}

}  // namespace

TEST(H1BodyDecoder, LengthBody) {
    BodyDecoder d(BodyKind::Length, 5);
    d.feed("12345678");
    std::string_view piece;
    ASSERT_EQ(d.decode(&piece), St::Data);
    EXPECT_EQ(piece, "12345");
    EXPECT_TRUE(d.is_complete());
    EXPECT_EQ(d.buffered(), 3u);
    EXPECT_EQ(d.decode(&piece), St::Complete);
}

TEST(H1BodyDecoder, LengthTruncated) {
    Outcome o = run(BodyKind::Length, "123", 0, true, 5);
    EXPECT_EQ(o.data, "123");
    ASSERT_TRUE(o.failed);
    EXPECT_EQ(o.io, IoClass::UnexpectedEof);
    EXPECT_EQ(o.error, "error reading a body from connection: end of file before message length reached");
}

TEST(H1BodyDecoder, EmptyKindsCompleteAtOnce) {
    EXPECT_TRUE(BodyDecoder(BodyKind::Empty).is_complete());
    EXPECT_TRUE(BodyDecoder(BodyKind::Length, 0).is_complete());
    EXPECT_FALSE(BodyDecoder(BodyKind::Length, 1).is_complete());
    EXPECT_FALSE(BodyDecoder(BodyKind::Chunked).is_complete());
    EXPECT_FALSE(BodyDecoder(BodyKind::Close).is_complete());
    EXPECT_EQ(wl::h1::body_kind_from_name("length"), BodyKind::Length);
    EXPECT_EQ(wl::h1::body_kind_from_name("empty"), BodyKind::Empty);
    EXPECT_EQ(wl::h1::body_kind_from_name("Length"), BodyKind::Empty);
}

TEST(H1BodyDecoder, CloseBodyBoundedPieces) {
    BodyDecoder d(BodyKind::Close);
    d.feed(std::string(20000, 'a'));
    std::string_view piece;
    std::vector<size_t> sizes;
    while (d.decode(&piece) == St::Data) sizes.push_back(piece.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{8192, 8192, 3616}));
    EXPECT_FALSE(d.is_complete());
    d.mark_eof();
    EXPECT_EQ(d.decode(&piece), St::Complete);
}

TEST(H1BodyDecoder, PeekDoesNotConsume) {
    BodyDecoder d(BodyKind::Chunked);
    d.feed("5\r\nhello\r\n0\r\n\r\n");
    std::string_view a, b;
    ASSERT_EQ(d.peek(&a), St::Data);
    ASSERT_EQ(d.peek(&b), St::Data);
    EXPECT_EQ(a, "hello");
    EXPECT_EQ(b, "hello");
    d.commit(2);
    ASSERT_EQ(d.peek(&a), St::Data);
    EXPECT_EQ(a, "llo");
    d.commit(3);
    EXPECT_EQ(d.chunk_state(), BodyDecoder::ChunkState::BodyCr);
    EXPECT_EQ(d.decode(&a), St::Complete);
}

TEST(H1BodyDecoder, MoveInputInAndOut) {
    BodyDecoder d(BodyKind::Length, 3);
    ByteBuf src;
    src.append("abcdef", 6);
    const uint8_t* storage = src.data();
    d.feed(src);
    EXPECT_TRUE(src.empty());
    EXPECT_EQ(d.input().data(), storage);  // adopted, not copied
    ByteBuf more;
    more.append("gh", 2);
    d.feed(more);
    EXPECT_TRUE(more.empty());
    std::string_view piece;
    ASSERT_EQ(d.decode(&piece), St::Data);
    EXPECT_EQ(piece, "abc");
    ByteBuf rest;
    d.take_input(rest);
    EXPECT_EQ(rest.view(), "defgh");
    EXPECT_EQ(d.buffered(), 0u);
}

TEST(H1BodyDecoder, ChunkedWithTrailers) {
    Outcome o = chunked("5\r\nhello\r\n0\r\nX-Sum: 1\r\nx-sum:2 \r\nB:\t v \t\r\n\r\nNEXT");
    EXPECT_TRUE(o.complete);
    EXPECT_EQ(o.data, "hello");
    EXPECT_EQ(o.buffered, 4u);
    using P = std::pair<std::string, std::string>;
    EXPECT_EQ(o.trailers, (std::vector<P>{{"x-sum", "1"}, {"x-sum", "2"}, {"b", "v"}}));
}

struct BadCase {
    const char* input;
    const char* cause;
    IoClass io;
};

class ChunkedFailure : public ::testing::TestWithParam<BadCase> {};

TEST_P(ChunkedFailure, SameFailureForEverySplit) {
    const BadCase& c = GetParam();
    Outcome whole = chunked(c.input, true);
    ASSERT_TRUE(whole.failed) << c.input;
    EXPECT_EQ(cause(whole), c.cause);
    EXPECT_EQ(whole.io, c.io);
    for (size_t step = 1; step <= 7; ++step)
        EXPECT_EQ(run(BodyKind::Chunked, c.input, step, true), whole) << "step " << step;
}

INSTANTIATE_TEST_SUITE_P(
    States, ChunkedFailure,
    ::testing::Values(
        BadCase{"x\r\n", "Invalid chunk size line: missing size digit", IoClass::InvalidInput},
        BadCase{"5x\r\n", "Invalid chunk size line: Invalid Size", IoClass::InvalidInput},
        BadCase{"5 x\r\n", "Invalid chunk size linear white space", IoClass::InvalidInput},
        BadCase{"5\rx", "Invalid chunk size LF", IoClass::InvalidInput},
        BadCase{"5\r\nhelloX", "Invalid chunk body CR", IoClass::InvalidInput},
        BadCase{"5\r\nhello\rX", "Invalid chunk body LF", IoClass::InvalidInput},
        BadCase{"0\r\na: b\rX", "Invalid trailer end LF", IoClass::InvalidInput},
        BadCase{"0\r\n\rX", "Invalid chunk end LF", IoClass::InvalidInput},
        BadCase{"FFFFFFFFFFFFFFFFF\r\n", "invalid chunk size: overflow", IoClass::InvalidData},
        BadCase{"5;a\n", "invalid chunk extension contains newline", IoClass::InvalidData},
        BadCase{"5\r\nhel", "end of file before message length reached", IoClass::UnexpectedEof},
        BadCase{"5\r\nhello", "unexpected EOF during chunk size line", IoClass::UnexpectedEof},
        BadCase{"5\r\nhello\r\n", "unexpected EOF during chunk size line", IoClass::UnexpectedEof},
        BadCase{"5;ext", "unexpected EOF during chunk size line", IoClass::UnexpectedEof},
        BadCase{"0\r\na: b\r\n", "unexpected EOF during chunk size line", IoClass::UnexpectedEof},
        BadCase{"", "unexpected EOF during chunk size line", IoClass::UnexpectedEof},
        BadCase{"0\r\n bad: x\r\n\r\n", "invalid header name", IoClass::InvalidInput},
        BadCase{"0\r\nbad : x\r\n\r\n", "invalid header name", IoClass::InvalidInput},
        BadCase{"0\r\nnocolon\r\n\r\n", "invalid header name", IoClass::InvalidInput},
        BadCase{"0\r\na: 1\n\r\n\r\n", "invalid new line", IoClass::InvalidInput},
        BadCase{"0\r\na: \x01\r\n\r\n", "Invalid header value: \"a: \\x01\"", IoClass::InvalidInput},
        BadCase{"0\r\na: x\x7fy\r\n\r\n", "Invalid header value: \"a: x\\x7fy\"", IoClass::InvalidInput}));

TEST(H1BodyDecoder, SizeDigits) {
    // Sixteen digits fit in 64 bits; leading zeros never overflow.
    Outcome o = chunked("FFFFFFFFFFFFFFFF\r\nab");
    EXPECT_FALSE(o.failed);
    EXPECT_EQ(o.data, "ab");
    o = chunked("000000000000000000000000000003\r\nabc\r\n0\r\n\r\n");
    EXPECT_TRUE(o.complete);
    EXPECT_EQ(o.data, "abc");
    o = chunked("10000000000000000\r\n");
    EXPECT_EQ(cause(o), "invalid chunk size: overflow");
    o = chunked("aB\r\n" + std::string(0xab, 'z') + "\r\n0\r\n\r\n");
    EXPECT_TRUE(o.complete);
    EXPECT_EQ(o.data.size(), 0xabu);
}

TEST(H1BodyDecoder, ExtensionLimitOverWholeBody) {
    // 16383 counted extension bytes pass, the next one fails, wherever it is.
    std::string two = "1;" + std::string(8000, 'e') + "\r\na\r\n";
    two += "1 ;" + std::string(8000, 'e') + "\r\na\r\n";  // whitespace is not counted
    Outcome o = chunked(two + "0;" + std::string(383, 'e') + "\r\n\r\n");
    EXPECT_TRUE(o.complete) << o.error;
    EXPECT_EQ(o.data, "aa");
    o = chunked(two + "0;" + std::string(384, 'e') + "\r\n\r\n");
    EXPECT_EQ(cause(o), "chunk extensions over limit");
    EXPECT_EQ(o.io, IoClass::InvalidData);
}

TEST(H1BodyDecoder, TrailerLimits) {
    // Bytes: the whole section counts, CR and LF included; 16384 fails.
    std::string value(16383 - 5, 'v');  // "a: " + value + CRLF = 16383 bytes
    Outcome o = chunked("0\r\na: " + value + "\r\n\r\n");
    EXPECT_TRUE(o.complete) << o.error;
    ASSERT_EQ(o.trailers.size(), 1u);
    o = chunked("0\r\na: " + value + "v\r\n\r\n");
    EXPECT_EQ(cause(o), "chunk trailers bytes over limit");
    EXPECT_EQ(o.io, IoClass::InvalidData);

    std::string lines;
    for (int i = 0; i < 100; ++i) {
        lines += 't';
        lines += std::to_string(i);
        lines += ": x\r\n";
    }
    o = chunked("0\r\n" + lines + "\r\n");
    EXPECT_TRUE(o.complete) << o.error;
    EXPECT_EQ(o.trailers.size(), 100u);
    o = chunked("0\r\n" + lines + "t: x\r\n\r\n");
    EXPECT_EQ(cause(o), "chunk trailers count overflow");
    EXPECT_EQ(o.io, IoClass::InvalidData);

    // Bare LF splits lines: more than 100 fields overall.
    std::string many;
    for (int i = 0; i < 101; ++i) many += "f: 1\n";
    o = chunked("0\r\n" + many + "\r\n\r\n");
    EXPECT_EQ(cause(o), "too many headers");
}

TEST(H1BodyDecoder, BareLfInTrailerLine) {
    Outcome o = chunked("0\r\na: 1\nb: 2\r\n\r\n");
    EXPECT_TRUE(o.complete) << o.error;
    using P = std::pair<std::string, std::string>;
    EXPECT_EQ(o.trailers, (std::vector<P>{{"a", "1"}, {"b", "2"}}));
}

TEST(H1BodyDecoder, FailureIsSticky) {
    BodyDecoder d(BodyKind::Chunked);
    d.feed("5\r\nhelloX\r\n0\r\n\r\n");
    std::string data;
    drain(d, data);
    ASSERT_TRUE(d.failed());
    std::string_view piece;
    EXPECT_EQ(d.decode(&piece), St::Failed);
    d.feed("more");
    EXPECT_EQ(d.decode(&piece), St::Failed);
    EXPECT_EQ(d.failure_text(), "Invalid chunk body CR");
}

TEST(H1BodyDecoder, ResetKeepsInput) {
    BodyDecoder d(BodyKind::Chunked);
    d.feed("0\r\na: 1\r\n\r\nGET");
    std::string data;
    drain(d, data);
    ASSERT_TRUE(d.is_complete());
    ASSERT_TRUE(d.has_trailers());
    d.reset(BodyKind::Length, 3);
    EXPECT_FALSE(d.has_trailers());
    EXPECT_FALSE(d.is_complete());
    drain(d, data);
    EXPECT_EQ(data, "GET");
    EXPECT_TRUE(d.is_complete());
}

TEST(H1BodyDecoder, BorrowedInput) {
    // Read in place while borrowed; any other input call copies the unread rest.
    const std::string wire = "3\r\nabc\r\n4\r\nde";
    BodyDecoder d(BodyKind::Chunked);
    ASSERT_TRUE(d.borrow(wire.data(), wire.size()));
    EXPECT_FALSE(d.borrow("x", 1));  // only with nothing buffered
    std::string_view piece;
    ASSERT_EQ(d.decode(&piece), St::Data);
    EXPECT_EQ(piece.data(), wire.data() + 3);
    EXPECT_EQ(d.next_piece_size(), 2u);  // read ahead through "\r\n4\r\n"
    ASSERT_EQ(d.decode(&piece), St::Data);
    EXPECT_EQ(piece, "de");
    EXPECT_FALSE(d.borrowing());
    ASSERT_TRUE(d.borrow("fg\r\n0\r\n\r\nGET", 12));
    EXPECT_EQ(d.next_piece_size(), 2u);
    d.feed("X", 1);
    EXPECT_FALSE(d.borrowing());
    EXPECT_EQ(d.buffered(), 13u);
    ASSERT_EQ(d.decode(&piece), St::Data);
    EXPECT_EQ(piece, "fg");
    EXPECT_EQ(d.decode(&piece), St::Complete);
    ByteBuf rest;
    d.take_input(rest);
    EXPECT_EQ(rest.view(), "GETX");
}

TEST(H1BodyDecoder, NextPieceSizeReadsAheadExactly) {
    // At every step of a byte-by-byte feed, the size announced is the size of
    // the piece that follows (0 when none does), and announcing changes nothing.
    const char* wires[] = {
        "3\r\nabc\r\n10\r\n0123456789abcdef\r\n0\r\n\r\n",
        "3;x=y\r\nabc\r\n4 \r\ndefg\r\n0\r\nt: 1\r\n\r\n",
        "00000000000000003\r\nabc\r\n0\r\n\r\n",
        "3\r\nabcX",
        "3\r\nabc\r\nZ\r\n",
    };
    for (std::string_view wire : wires) {
        BodyDecoder d(BodyKind::Chunked);
        for (size_t at = 0; at <= wire.size(); ++at) {
            if (at) d.feed(wire.substr(at - 1, 1));
            for (;;) {
                size_t ahead = d.next_piece_size();
                size_t buffered = d.buffered();
                EXPECT_EQ(d.next_piece_size(), ahead);
                EXPECT_EQ(d.buffered(), buffered);
                std::string_view piece;
                St s = d.decode(&piece);
                ASSERT_EQ(ahead, s == St::Data ? piece.size() : 0) << wire << " at " << at;
                if (s != St::Data) break;
            }
        }
    }
}
