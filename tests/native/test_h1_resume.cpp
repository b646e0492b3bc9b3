// An incomplete head is parsed on from where the previous call stopped: the
// outcome (head, error kind, bytes left) must not depend on how the input
// was cut, down to one byte per call.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "proto/h1/codec.h"

using namespace wl::h1;

namespace {

struct Case {
    bool request;
    Method method;          // recorded request method, for responses
    size_t max_headers;
    bool ignore_invalid;
    std::string msg;
};

std::string summary(ParseStatus st, const Failure& f, const RequestHead& h, size_t rest) {
    if (st == ParseStatus::Partial) return "partial";
    if (st == ParseStatus::Error) return std::string("error ") + f.kind;
    std::string s = "req " + std::string(h.method_text) + " " + std::string(h.target_raw) + " " +
                    std::to_string(int(h.body_kind)) + " " + std::to_string(h.content_length) + " " +
                    std::to_string(h.keep_alive) + std::to_string(h.expect_continue) +
                    std::to_string(h.is_upgrade) + std::to_string(h.http10) + std::to_string(h.allow_trailers) +
                    " rest " + std::to_string(rest) + "\n";
    h.headers.for_each([&](std::string_view n, std::string_view v) { s += std::string(n) + ":" + std::string(v) + "\n"; });
    return s;
}

std::string summary(ParseStatus st, const Failure& f, const ResponseHead& h, size_t rest) {
    if (st == ParseStatus::Partial) return "partial";
    if (st == ParseStatus::Error) return std::string("error ") + f.kind;
    std::string s = "resp " + std::to_string(h.status) + " " + std::to_string(int(h.body_kind)) + " " +
                    std::to_string(h.content_length) + " " + std::to_string(h.keep_alive) +
                    std::to_string(h.is_upgrade) + std::to_string(h.http10) + " rest " + std::to_string(rest) + "\n";
    h.headers.for_each([&](std::string_view n, std::string_view v) { s += std::string(n) + ":" + std::string(v) + "\n"; });
    return s;
}

// Feeds `msg` cut at the given offsets (ascending) and summarizes the first
// outcome that is not "need more", with the bytes not yet parsed.
template <class Head>
std::string run(const Case& c, const std::vector<size_t>& cuts) {
    CodecConfig cfg;
    cfg.max_buf_size = 1u << 30;
    cfg.max_headers = c.max_headers;
    cfg.ignore_invalid_headers = c.ignore_invalid;
    Codec codec(cfg);
    if (!c.request && c.method != Method::None) {
        SerializeError err;
        codec.serialize_request(method_name(c.method), c.method == Method::Connect ? "h:1" : "/", nullptr, false,
                                false, 0, false, &err);
    }
    size_t at = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        size_t to = i < cuts.size() ? cuts[i] : c.msg.size();
        std::string_view piece(c.msg.data() + at, to - at);
        at = to;
        Head h;
        Failure f;
        ParseStatus st;
        if constexpr (std::is_same_v<Head, RequestHead>)
            st = codec.receive_request(piece, h, &f);
        else
            st = codec.receive_response(piece, h, &f);
        if (st != ParseStatus::Partial) return summary(st, f, h, codec.buffered() + c.msg.size() - at);
    }
    return "partial";
}

std::string run_case(const Case& c, const std::vector<size_t>& cuts) {
    return c.request ? run<RequestHead>(c, cuts) : run<ResponseHead>(c, cuts);
}

std::vector<Case> cases() {
    std::vector<Case> v;
    auto req = [&](std::string m, size_t max = 100, bool lenient = false) {
        v.push_back({true, Method::None, max, lenient, std::move(m)});
    };
    auto resp = [&](std::string m, Method method = Method::Get) {
        v.push_back({false, method, 100, false, std::move(m)});
    };
    req("GET / HTTP/1.1\r\nHost: a\r\n\r\nGET /next");
    req("\r\n\n\r\nPOST /p?q#f HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: gzip, chunked\r\nTE: trailers\r\n\r\nbody");
    req("GET http://Example.com:8080/a?b HTTP/1.0\nConnection: keep-alive\nX:\t v \t\n\n");
    req("CONNECT h:443 HTTP/1.1\r\nExpect: 100-continue\r\nUpgrade: x\r\n\r\n");
    req("POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nhello");
    req("POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n");
    req("GET / HTTP/1.1\r\nBad Name: x\r\n folded\r\nA: \x01\r\nB: c\r\n\r\n", 100, true);
    req("GET / HTTP/1.1\r\nBad Name: x\r\n\r\n");
    req("GET / HTTP/1.1\r\nA: b\rX\r\n\r\n", 100, true);
    req("GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n", 3);
    req("GET / HTTP/1.1\r\n" + std::string(300, 'n') + ": v\r\n\r\n");
    req("G@T / HTTP/1.1\r\n\r\n");
    req(" GET / HTTP/1.1\r\n\r\n");
    req("\r\rGET / HTTP/1.1\r\n\r\n");
    req("GET  / HTTP/1.1\r\n\r\n");
    req("GET /\x7f HTTP/1.1\r\n\r\n");
    req("GET /x\r\n\r\n");
    req("GET / HTTP/1.2\r\n\r\n");
    req("GET / HTTP/1.1\r\r\n\r\n");
    req("GET / HTTP/1.1\r\nA: b\r\n\rX");
    req("GET /" + std::string(70000, 'a') + " HTTP/1.1\r\n\r\n");
    req("GET http://[::1 HTTP/1.1\r\n\r\n");
    req("GET / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n");
    resp("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n");
    resp("\nHTTP/1.1 200 OK\r\nContent-Length: 5, 5\r\n\r\nhello");
    resp("HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 3\r\n\r\nabc");
    resp("HTTP/1.1 204\r\n\r\n");
    resp("HTTP/1.1 200 \t reason\twith tabs \r\nA: b\r\n\r\n", Method::Head);
    resp("HTTP/1.1 200 OK\r\nA: \x01\r\n\r\n");
    resp("HTTP/1.1 099 Low\r\n\r\n");
    resp("HTTP/1.1 2x0 OK\r\n\r\n");
    resp("HTTP/1.1 200X\r\n\r\n");
    resp("HTTP/1.1 200 OK\x01\r\n\r\n");
    resp("HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n");
    resp("HTTP/1.1 200 OK\r\n\r\n", Method::Connect);
    resp("HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\nraw");
    resp("HTTP/2.0 200 OK\r\n\r\n");

    // The fuzz seeds: a control byte (role, method, limits), then the bytes.
    std::filesystem::path dir = std::filesystem::path(WIRELET_SOURCE_DIR) / "fuzz/corpus/h1_head";
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(e.path(), std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (data.empty()) continue;
        uint8_t ctl = uint8_t(data[0]);
        static const Method kMethods[] = {Method::None, Method::Get, Method::Head, Method::Connect};
        v.push_back({bool(ctl & 1), kMethods[(ctl >> 1) & 3], (ctl & 8) ? 3u : ((ctl & 16) ? 150u : 100u),
                     bool(ctl & 32), data.substr(1)});
    }
    return v;
}

}  // namespace

TEST(H1Resume, EverySplitAndByteByByteGiveTheWholeResult) {
    size_t n = 0;
    for (const Case& c : cases()) {
        // The HTTP/2 preface is recognised only when it arrives complete.
        if (c.msg.rfind("PRI", 0) == 0) continue;
        ++n;
        const std::string whole = run_case(c, {});
        const size_t len = c.msg.size();
        const size_t step = len > 2000 ? len / 97 : 1;  // long inputs: a sample of the cuts
        for (size_t cut = 0; cut <= len; cut += step) ASSERT_EQ(run_case(c, {cut}), whole) << c.msg << " cut " << cut;
        std::vector<size_t> every;
        for (size_t i = 1; i < len; ++i) every.push_back(i);
        ASSERT_EQ(run_case(c, every), whole) << c.msg << " byte by byte";
    }
    EXPECT_GT(n, 40u);
}
