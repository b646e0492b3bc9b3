// Request-head parsing in native code: our codec (tokenizer, framing rules,
// the header collection built) against the SIMD C tokenizer in
// ../shared/peers/picohttpparser, which only tokenizes into an array of
// (name, value) pointers. Built only when that folder is present.
//
//   bench_h1_head_vs_picohttpparser [rounds]
//
// Ours goes through Codec::receive_request_in_place as the binding does for
// a bytes object: with nothing buffered the head is parsed where it lies.
// Like the tokenizer's caller, which keeps its array of header slots, ours
// keeps its RequestHead across heads, so the header collection's storage is
// reused (it is still built afresh and read for every head).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "proto/h1/codec.h"

extern "C" {
#include "picohttpparser.h"
}

namespace {

volatile size_t g_sink;

std::string browser_get() {
    return "GET /articles/2024/03/some-interesting-title?ref=home&utm_source=newsletter HTTP/1.1\r\n"
           "Host: www.example.com\r\n"
           "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:124.0) Gecko/20100101 Firefox/124.0\r\n"
           "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
           "Accept-Language: en-US,en;q=0.5\r\n"
           "Accept-Encoding: gzip, deflate, br\r\n"
           "Referer: https://www.example.com/\r\n"
           "Connection: keep-alive\r\n"
           "Cookie: session=4f6a2b9c8d7e6f5a4b3c2d1e; theme=dark\r\n"
           "Upgrade-Insecure-Requests: 1\r\n"
           "Sec-Fetch-Dest: document\r\n"
           "Sec-Fetch-Mode: navigate\r\n"
           "Sec-Fetch-Site: none\r\n"
           "DNT: 1\r\n"
           "\r\n";
}

std::string api_post() {
    return "POST /v1/item HTTP/1.1\r\n"
           "Host: api.example.com\r\n"
           "Content-Type: application/json\r\n"
           "Content-Length: 0\r\n"
           "\r\n";
}

std::string forty_headers() {
    std::string s = "GET /index.html HTTP/1.1\r\nHost: www.example.com\r\n";
    char line[64];
    for (int i = 0; i < 39; ++i) {
        std::snprintf(line, sizeof line, "X-Custom-Header-%02d: value-%02d-abcdefghij\r\n", i, i);
        s += line;
    }
    return s + "\r\n";
}

std::string big_cookie() {
    std::string c;
    char part[48];
    for (int i = 0; c.size() < 4096; ++i) {
        std::snprintf(part, sizeof part, "%sc%03d=%s", i ? "; " : "", i, std::string(24, 'v').c_str());
        c += part;
    }
    c.resize(4096);
    return "GET /account HTTP/1.1\r\nHost: www.example.com\r\nUser-Agent: bench/1.0\r\nCookie: " + c +
           "\r\n\r\n";
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 9;
    struct Case {
        const char* name;
        std::string data;
    };
    std::vector<Case> cases = {{"browser GET", browser_get()},
                               {"API POST", api_post()},
                               {"40 headers", forty_headers()},
                               {"4 KiB cookie", big_cookie()}};
    for (Case& c : cases) {
        const std::string& data = c.data;
        wl::h1::Codec codec;
        wl::h1::RequestHead head;
        wl::h1::Failure f;
        auto ours = [&](size_t n) {
            size_t total = 0;
            for (size_t i = 0; i < n; ++i) {
                if (codec.receive_request_in_place(data, head, &f) != wl::h1::ParseStatus::Complete) std::abort();
                total += head.headers.value_count() + head.target_raw.size();
            }
            g_sink = total;
        };
        auto theirs = [&](size_t n) {
            size_t total = 0;
            for (size_t i = 0; i < n; ++i) {
                const char *method, *path;
                size_t method_len, path_len, num_headers = 100;
                int minor;
                phr_header headers[100];
                int r = phr_parse_request(data.data(), data.size(), &method, &method_len, &path, &path_len,
                                          &minor, headers, &num_headers, 0);
                if (r != int(data.size())) std::abort();
                total += num_headers + path_len;
            }
            g_sink = total;
        };
        bench::Ratio q = bench::compare(ours, theirs, rounds);
        char what[96];
        std::snprintf(what, sizeof what, "head parse %s (%zu B) vs picohttpparser", c.name, data.size());
        bench::report(what, q);
    }
    return 0;
}
