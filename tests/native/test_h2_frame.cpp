// The HTTP/2 frame decoder and writers, driven natively.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proto/h2/frame.h"
#include "proto/h2/frame_decoder.h"
#include "proto/h2/frame_encoder.h"

using namespace wl::h2;

namespace {

// Records every frame as one line of text.
struct Recorder : FrameSink {
    std::vector<std::string> out;
    bool on_data(const DataFrame& f) override {
        out.push_back("DATA " + std::to_string(f.stream_id) + " es=" + std::to_string(f.end_stream) +
                      " flow=" + std::to_string(f.flow_controlled_len) + " pad=" +
                      std::to_string(f.padding) + " " + std::string(f.data));
        return true;
    }
    bool on_headers(HeadersFrame& f) override {
        std::string s = "HEADERS " + std::to_string(f.stream_id) + " es=" + std::to_string(f.end_stream);
        const HeaderFrame& h = f.fields;
        if (h.has(Pseudo::Method)) s += " :method=" + std::string(method_text(h.method)) + h.method_text;
        if (h.has(Pseudo::Path)) s += " :path=" + h.path;
        if (h.has(Pseudo::Status)) s += " :status=" + std::to_string(h.status);
        h.headers.for_each([&](std::string_view n, std::string_view v) {
            s.append(" ").append(n).append("=").append(v);
        });
        out.push_back(s);
        return true;
    }
    bool on_settings(const SettingsFrame& f) override {
        out.push_back("SETTINGS ack=" + std::to_string(f.ack) + " present=" + std::to_string(f.present) +
                      " mcs=" + std::to_string(f.max_concurrent_streams));
        return true;
    }
    bool on_ping(const PingFrame& f) override {
        out.push_back("PING ack=" + std::to_string(f.ack) + " " +
                      std::string(reinterpret_cast<const char*>(f.data), 8));
        return true;
    }
    bool on_goaway(const GoAwayFrame& f) override {
        out.push_back("GOAWAY " + std::to_string(f.last_stream_id) + " " + std::to_string(f.error_code) +
                      " " + std::string(f.debug_data));
        return true;
    }
    bool on_rst_stream(const RstStreamFrame& f) override {
        out.push_back("RST " + std::to_string(f.stream_id) + " " + std::to_string(f.error_code));
        return true;
    }
    bool on_window_update(const WindowUpdateFrame& f) override {
        out.push_back("WU " + std::to_string(f.stream_id) + " " + std::to_string(f.increment));
        return true;
    }
    bool on_priority(const PriorityFrame& f) override {
        out.push_back("PRIO " + std::to_string(f.stream_id));
        return true;
    }
    bool on_stream_error(const StreamErrorFrame& f) override {
        out.push_back("SERR " + std::to_string(f.stream_id) + " " + std::to_string(f.error_code));
        return true;
    }
};

std::string frame(uint8_t type, uint8_t flags, uint32_t sid, std::string_view payload) {
    std::string s(9, '\0');
    write_frame_header(reinterpret_cast<uint8_t*>(s.data()), uint32_t(payload.size()), type, flags, sid);
    return s.append(payload);
}

struct Result {
    std::vector<std::string> frames;
    ConnError err;
};

Result decode_all(FrameDecoder& d, std::string_view data) {
    Result r;
    Recorder rec;
    d.receive(data, rec, &r.err);
    r.frames = std::move(rec.out);
    return r;
}

std::string sample_stream() {
    wl::ByteBuf b;
    SettingsOut s;
    s.present = SettingsFrame::kHasMaxConcurrentStreams;
    s.max_concurrent_streams = 7;
    write_settings(b, s);
    FrameEncoder enc;
    RequestPseudo p;
    std::string msg;
    EXPECT_TRUE(build_request_pseudo("GET", "https://example.com/a?b", nullptr, nullptr, &p, &msg));
    wl::HeaderList h;
    h.append("x-a", "1");
    h.append("x-b", "2");
    enc.write_request_headers(b, 1, p, &h, false);
    write_data(b, 1, "hello", true);
    uint8_t ping[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    write_ping(b, ping, false);
    write_goaway(b, 9, 2, "dbg");
    write_rst_stream(b, 3, 8);
    write_window_update(b, 0, 77);
    std::string out(b.view());
    out += frame(kData, kPadded, 5, std::string("\x02xy\0\0", 5));
    out += frame(kPriority, 0, 7, std::string("\x00\x00\x00\x07\x10", 5));
    out += frame(0x33, 0, 0, "skip");
    out += frame(kHeaders, 0, 9, "\x82") + frame(kContinuation, 0, 9, "\x84") +
           frame(kContinuation, kEndHeaders, 9, "\x41\x01h");
    return out;
}

}  // namespace

TEST(H2Frame, WritersAndHeaderLayout) {
    wl::ByteBuf b;
    write_settings_ack(b);
    EXPECT_EQ(b.view(), std::string("\0\0\0\x04\x01\0\0\0\0", 9));
    b.clear();
    write_data(b, 3, "", true);
    EXPECT_EQ(b.view(), std::string("\0\0\0\0\x01\0\0\0\x03", 9));
    b.clear();
    SettingsOut s;
    s.present = SettingsFrame::kHasMaxConcurrentStreams | SettingsFrame::kHasHeaderTableSize;
    s.header_table_size = 4096;
    s.max_concurrent_streams = 100;
    write_settings(b, s);
    EXPECT_EQ(b.view(), std::string("\0\0\x0c\x04\0\0\0\0\0\0\x01\0\0\x10\0\0\x03\0\0\0\x64", 21));
}

TEST(H2Frame, HeaderBlockFraming) {
    // 40000 block bytes with the default limit: 16384 + 16384 + 7232.
    wl::ByteBuf b;
    b.append("prefix");
    b.tail(9);
    b.commit(9);
    size_t at = b.size();
    std::string block(40000, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 7);
    b.append(block);
    frame_header_block(b, at, 5, true, 16384);
    std::string_view v = b.view().substr(6);
    ASSERT_EQ(v.size(), 40000u + 27);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(v.data());
    EXPECT_EQ(get_u24(p), 16384u);
    EXPECT_EQ(p[3], kHeaders);
    EXPECT_EQ(p[4], kEndStream);
    EXPECT_EQ(get_u24(p + 9 + 16384), 16384u);
    EXPECT_EQ(p[9 + 16384 + 3], kContinuation);
    EXPECT_EQ(p[9 + 16384 + 4], 0);
    const uint8_t* last = p + 2 * (9 + 16384);
    EXPECT_EQ(get_u24(last), 7232u);
    EXPECT_EQ(last[4], kEndHeaders);
    EXPECT_EQ(get_u32(last + 5), 5u);
    std::string joined = std::string(v.substr(9, 16384)) + std::string(v.substr(9 + 16384 + 9, 16384)) +
                         std::string(v.substr(2 * (9 + 16384) + 9));
    EXPECT_EQ(joined, block);
}

TEST(H2Frame, SplitAnywhereGivesTheSameFrames) {
    std::string data = sample_stream();
    FrameDecoder whole_dec;
    Result whole = decode_all(whole_dec, data);
    ASSERT_FALSE(whole.err);
    ASSERT_EQ(whole.frames.size(), 10u);
    EXPECT_EQ(whole.frames[1], "HEADERS 1 es=0 :method=GET :path=/a?b x-a=1 x-b=2");
    EXPECT_EQ(whole.frames[7], "DATA 5 es=0 flow=5 pad=3 xy");
    EXPECT_EQ(whole.frames[8], "SERR 7 1");
    EXPECT_EQ(whole.frames[9], "HEADERS 9 es=0 :method=GET :path=/");
    for (size_t cut = 0; cut <= data.size(); ++cut) {
        FrameDecoder d;
        Result a = decode_all(d, std::string_view(data).substr(0, cut));
        Result b = decode_all(d, std::string_view(data).substr(cut));
        ASSERT_FALSE(a.err);
        ASSERT_FALSE(b.err);
        a.frames.insert(a.frames.end(), b.frames.begin(), b.frames.end());
        ASSERT_EQ(a.frames, whole.frames) << cut;
        ASSERT_EQ(d.buffered(), 0u);
    }
}

TEST(H2Frame, FrameSizeErrorLeavesFrameBuffered) {
    FrameDecoder d;
    std::string hdr = frame(kData, 0, 1, "").substr(0, 9);
    hdr[1] = 0x40;
    hdr[2] = 0x01;  // 16385
    Result r = decode_all(d, hdr);
    EXPECT_EQ(r.err.kind, ConnErrorKind::FrameTooLarge);
    EXPECT_EQ(r.err.reason(), 6u);
    EXPECT_EQ(r.err.message(), "frame length exceeds SETTINGS_MAX_FRAME_SIZE");
    EXPECT_EQ(d.buffered(), 9u);
}

TEST(H2Frame, ContinuationLimit) {
    FrameDecoder d;
    EXPECT_EQ(d.continuation_limit(), 1280u);
    d.set_max_recv_frame_size(kMaxMaxFrameSize);
    EXPECT_EQ(d.continuation_limit(), 5u);
    d.set_max_recv_frame_size(16384);
    d.set_max_header_list_size(16384 * 100);
    EXPECT_EQ(d.continuation_limit(), 125u);
    std::string data = frame(kHeaders, 0, 1, "\x82");
    for (int i = 0; i < 125; ++i) data += frame(kContinuation, 0, 1, "");
    Result r = decode_all(d, data);
    EXPECT_FALSE(r.err);
    r = decode_all(d, frame(kContinuation, 0, 1, ""));
    EXPECT_EQ(r.err.kind, ConnErrorKind::TooManyContinuations);
    EXPECT_EQ(r.err.reason(), 11u);
    EXPECT_EQ(r.err.message(), "too_many_continuations");
}

TEST(H2Frame, Preface) {
    EXPECT_EQ(match_preface(""), PrefaceMatch::Partial);
    EXPECT_EQ(match_preface(std::string_view()), PrefaceMatch::Partial);
    EXPECT_EQ(match_preface(kPreface.substr(0, 16)), PrefaceMatch::Partial);
    EXPECT_EQ(match_preface("GET / HTTP/1.1"), PrefaceMatch::Mismatch);
    EXPECT_EQ(match_preface(std::string(kPreface) + "x"), PrefaceMatch::Match);

    FrameDecoder d(false);
    d.preface_required = true;
    d.preface_consumed = false;
    std::string data = std::string(kPreface) + frame(kPing, 0, 0, "12345678");
    Result r = decode_all(d, std::string_view(data).substr(0, 10));
    EXPECT_TRUE(r.frames.empty());
    r = decode_all(d, std::string_view(data).substr(10));
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0], "PING ack=0 12345678");
    EXPECT_TRUE(d.preface_consumed);

    FrameDecoder bad(false);
    bad.preface_required = true;
    bad.preface_consumed = false;
    r = decode_all(bad, "PRI * HTTP/1.1\r\n");
    EXPECT_EQ(r.err.kind, ConnErrorKind::BadPreface);
    EXPECT_EQ(r.err.message(), "bad client connection preface");
}

TEST(H2Frame, ErrorMessages) {
    struct Case {
        std::string data;
        uint32_t reason;
        const char* message;
    } cases[] = {
        {frame(kData, 0, 0, "x"), 1, "failed to load frame: InvalidStreamId"},
        {frame(kPushPromise, 4, 1, std::string("\0\0\0\x02\x82", 5)), 1,
         "PUSH_PROMISE received but server push is disabled"},
        {frame(kHeaders, 4, 1, "\xbe"), 1, "HPACK decoding failed: Hpack(InvalidTableIndex)"},
        {frame(kHeaders, 0, 1, "\x82") + frame(kPing, 0, 0, "12345678"), 1, "expected CONTINUATION frame"},
        {frame(kSettings, 0, 0, std::string("\0\x05\0\0\0\0", 6)), 1,
         "failed to load frame: InvalidSettingValue"},
    };
    for (const Case& c : cases) {
        FrameDecoder d;
        Result r = decode_all(d, c.data);
        EXPECT_EQ(r.err.reason(), c.reason) << c.message;
        EXPECT_EQ(r.err.message(), c.message);
    }
}

TEST(H2Frame, RequestPseudoRules) {
    RequestPseudo p;
    std::string msg;
    std::string_view scheme = "http", auth = "h:80";
    ASSERT_TRUE(build_request_pseudo("OPTIONS", "*", &scheme, &auth, &p, &msg));
    EXPECT_EQ(p.path, "*");
    RequestPseudo q;
    ASSERT_TRUE(build_request_pseudo("GET", "http://h?x", nullptr, nullptr, &q, &msg));
    EXPECT_EQ(q.path, "/?x");
    EXPECT_EQ(q.authority, "h");
    RequestPseudo c;
    ASSERT_TRUE(build_request_pseudo("CONNECT", "/", &scheme, &auth, &c, &msg));
    EXPECT_FALSE(c.has_scheme);
    EXPECT_FALSE(c.has_path);
    EXPECT_TRUE(c.has_authority);
    RequestPseudo e;
    EXPECT_FALSE(build_request_pseudo("GET", "/", nullptr, &auth, &e, &msg));
    EXPECT_EQ(msg.substr(0, 26), "request target is a bare p");
    std::string_view empty_auth;
    EXPECT_FALSE(build_request_pseudo("GET", "/", &scheme, &empty_auth, &e, &msg));
    EXPECT_EQ(msg.substr(0, 12), "invalid url:");
}

TEST(H2Frame, AppendInputIsDecodedByTheNextReceive) {
    FrameDecoder d;
    std::string f = frame(kPing, 0, 0, "12345678");
    d.append_input(std::string_view(f).substr(0, 12));
    EXPECT_EQ(d.buffered(), 12u);
    Result r = decode_all(d, std::string_view(f).substr(12));
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0], "PING ack=0 12345678");
}
