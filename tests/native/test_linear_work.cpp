// Each incremental parser fed its worst case in small pieces: the work per
// input byte must stay flat. Work is measured as this thread's CPU time for
// an input of n bytes and of 4n bytes in the same run; linear work gives a
// ratio near 4, work that re-reads what it already saw gives about 16.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <string>

#include "core/uri.h"
#include "proto/h1/body_decoder.h"
#include "proto/h1/codec.h"
#include "proto/h2/frame.h"
#include "proto/h2/frame_decoder.h"
#include "proto/h2/hpack.h"
#include "proto/h2/huffman.h"

namespace {

double thread_cpu() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double best_of_three(const std::function<void(size_t)>& run, size_t n) {
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        double t = thread_cpu();
        run(n);
        best = std::min(best, thread_cpu() - t);
    }
    return best;
}

// Grows n until one run takes a measurable time, then compares n with 4n.
void expect_linear(const char* what, size_t n, size_t max_n, const std::function<void(size_t)>& run) {
    double small = best_of_three(run, n);
    while (small < 0.004 && n * 2 <= max_n) {
        n *= 2;
        small = best_of_three(run, n);
    }
    double large = best_of_three(run, n * 4);
    EXPECT_LT(large / small, 9.0) << what << ": n=" << n << " " << small << " s, 4n: " << large << " s";
}

template <bool Request>
void trickle_head(const std::string& msg, size_t max_headers = 100) {
    wl::h1::CodecConfig cfg;
    cfg.max_buf_size = 1u << 30;
    cfg.max_headers = max_headers;
    wl::h1::Codec c(cfg);
    wl::h1::Failure f;
    wl::h1::ParseStatus st = wl::h1::ParseStatus::Partial;
    for (size_t i = 0; i < msg.size() && st == wl::h1::ParseStatus::Partial; ++i) {
        if constexpr (Request) {
            wl::h1::RequestHead h;
            st = c.receive_request(std::string_view(msg).substr(i, 1), h, &f);
        } else {
            wl::h1::ResponseHead h;
            st = c.receive_response(std::string_view(msg).substr(i, 1), h, &f);
        }
    }
    ASSERT_EQ(st, wl::h1::ParseStatus::Complete);
}

std::string huffman(std::string_view s) {
    std::string out(wl::h2::huffman_encoded_len(s), '\0');
    wl::h2::huffman_encode(s, reinterpret_cast<uint8_t*>(out.data()));
    return out;
}

void put_int(std::string& out, uint8_t first, int prefix, size_t v) {
    const size_t max = (size_t(1) << prefix) - 1;
    if (v < max) {
        out.push_back(char(first | v));
        return;
    }
    out.push_back(char(first | max));
    v -= max;
    for (; v >= 128; v >>= 7) out.push_back(char(0x80 | (v & 0x7f)));
    out.push_back(char(v));
}

// A literal field without indexing with a Huffman-coded name and value.
std::string literal_block(size_t n) {
    std::string name = huffman(std::string(n, 'x')), value = huffman(std::string(n, 'v'));
    std::string b;
    put_int(b, 0x00, 4, 0);
    put_int(b, 0x80, 7, name.size());
    b += name;
    put_int(b, 0x80, 7, value.size());
    b += value;
    return b;
}

struct NullSink : wl::h2::FrameSink {
    size_t headers = 0;
    bool on_data(const wl::h2::DataFrame&) override { return true; }
    bool on_headers(wl::h2::HeadersFrame&) override { return ++headers, true; }
    bool on_settings(const wl::h2::SettingsFrame&) override { return true; }
    bool on_ping(const wl::h2::PingFrame&) override { return true; }
    bool on_goaway(const wl::h2::GoAwayFrame&) override { return true; }
    bool on_rst_stream(const wl::h2::RstStreamFrame&) override { return true; }
    bool on_window_update(const wl::h2::WindowUpdateFrame&) override { return true; }
    bool on_priority(const wl::h2::PriorityFrame&) override { return true; }
    bool on_stream_error(const wl::h2::StreamErrorFrame&) override { return true; }
};

std::string frame(uint8_t type, uint8_t flags, uint32_t sid, std::string_view payload) {
    std::string f(9, '\0');
    wl::h2::write_frame_header(reinterpret_cast<uint8_t*>(f.data()), uint32_t(payload.size()), type, flags, sid);
    return f.append(payload);
}

}  // namespace

TEST(LinearWork, H1HeadOneBytePerCall) {
    expect_linear("long header value", 4096, 1 << 20, [](size_t n) {
        trickle_head<true>("GET / HTTP/1.1\r\nx-long: " + std::string(n, 'v') + "\r\n\r\n");
    });
    expect_linear("leading empty lines", 4096, 1 << 20, [](size_t n) {
        std::string m;
        for (size_t i = 0; i < n / 2; ++i) m += "\r\n";
        trickle_head<true>(m + "GET / HTTP/1.1\r\n\r\n");
    });
    expect_linear("long target and method", 1024, 1 << 13, [](size_t n) {
        trickle_head<true>(std::string(n, 'M') + " /" + std::string(n, 't') + " HTTP/1.1\r\n\r\n");
    });
    expect_linear("many lines", 4096, 1 << 20, [](size_t n) {
        std::string m = "POST / HTTP/1.1\r\n";
        for (size_t i = 0; i < n / 16; ++i) m += "x-n" + std::to_string(i % 1000) + ": 0123\r\n";
        trickle_head<true>(m + "\r\n", n);
    });
    expect_linear("lenient skipped lines", 4096, 1 << 20, [](size_t n) {
        wl::h1::CodecConfig cfg;
        cfg.max_buf_size = 1u << 30;
        cfg.ignore_invalid_headers = true;
        wl::h1::Codec c(cfg);
        std::string m = "GET / HTTP/1.1\r\nbad line " + std::string(n, 'x') + "\r\n\r\n";
        wl::h1::Failure f;
        wl::h1::ParseStatus st = wl::h1::ParseStatus::Partial;
        for (size_t i = 0; i < m.size() && st == wl::h1::ParseStatus::Partial; ++i) {
            wl::h1::RequestHead h;
            st = c.receive_request(std::string_view(m).substr(i, 1), h, &f);
        }
        ASSERT_EQ(st, wl::h1::ParseStatus::Complete);
    });
    expect_linear("status line and headers", 4096, 1 << 20, [](size_t n) {
        trickle_head<false>("HTTP/1.1 200 " + std::string(n, 'r') + "\r\nx-a: " + std::string(n, 'v') + "\r\n\r\n");
    });
}

TEST(LinearWork, ChunkedBodyOneBytePerCall) {
    expect_linear("small chunks, a long extension and trailer", 4096, 1 << 20, [](size_t n) {
        std::string body = "1;" + std::string(8000, 'e') + "\r\nx\r\n";
        while (body.size() < n) body += "1\r\nx\r\n";
        body += "0\r\nx-t: " + std::string(8000, 't') + "\r\n\r\n";
        wl::h1::BodyDecoder d(wl::h1::BodyKind::Chunked);
        wl::h1::BodyDecoder::Status st = wl::h1::BodyDecoder::Status::NeedMore;
        for (char c : body) {
            d.feed(&c, 1);
            std::string_view out;
            while ((st = d.decode(&out)) == wl::h1::BodyDecoder::Status::Data) {
            }
        }
        ASSERT_EQ(st, wl::h1::BodyDecoder::Status::Complete);
    });
}

TEST(LinearWork, HpackRepresentationCutIntoManyPasses) {
    // A Huffman-coded name and value arriving a few bytes per pass, as over
    // many CONTINUATION frames.
    expect_linear("hpack passes", 512, 1 << 13, [](size_t n) {
        std::string block = literal_block(n);
        for (int rep = 0; rep < 32; ++rep) {
            wl::h2::HpackDecoder dec;
            wl::h2::HeaderFrame frame;
            wl::ByteBuf held;
            wl::h2::HpackResult r = wl::h2::HpackResult::Ok;
            for (size_t i = 0; i < block.size(); i += 16) {
                held.append(std::string_view(block).substr(i, 16));
                r = dec.decode(held, frame, 1 << 30);
            }
            ASSERT_EQ(r, wl::h2::HpackResult::Ok);
            ASSERT_EQ(frame.headers.value_count(), 1u);
        }
    });
}

TEST(LinearWork, FramesOneBytePerCall) {
    expect_linear("header block in continuations, then data", 512, 1 << 13, [](size_t n) {
        std::string block = literal_block(n);
        std::string wire = frame(0x1, 0x0, 1, std::string_view(block).substr(0, 64));
        for (size_t i = 64; i < block.size(); i += 64)
            wire += frame(0x9, i + 64 >= block.size() ? 0x4 : 0x0, 1, std::string_view(block).substr(i, 64));
        for (size_t i = 0; i < n; i += 8192) wire += frame(0x0, i + 8192 >= n ? 0x1 : 0x0, 1, std::string(8192, 'd'));
        for (int rep = 0; rep < 8; ++rep) {
            wl::h2::FrameDecoder dec(true);
            dec.set_max_header_list_size(1 << 30);
            NullSink sink;
            wl::h2::ConnError err;
            for (char c : wire)
                ASSERT_EQ(dec.receive(std::string_view(&c, 1), sink, &err), wl::h2::FrameDecoder::Status::Ok);
            ASSERT_EQ(sink.headers, 1u);
        }
    });
}

TEST(LinearWork, UrlParser) {
    expect_linear("long url", 1 << 10, 1 << 12, [](size_t n) {
        std::string url = "http://user:pw@host.example:8080/" + std::string(n, 'p') + "?" + std::string(n, 'q');
        for (int i = 0; i < 200; ++i) {
            wl::Uri u;
            ASSERT_EQ(wl::parse_uri(url, &u), wl::UriError::Ok);
        }
    });
}
