// libFuzzer target for the HTTP/1 head parser, both roles.
//
// Input: one control byte, then the message bytes. The control byte picks
// the role, the recorded request method (for responses), the header limit
// and a split point. Invariants: every parse ends complete, needing more, or
// failed with a kind; a complete head never claims more bytes than it got;
// and feeding the bytes in two pieces, or one byte per call, gives the same
// outcome as one piece.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "proto/h1/codec.h"
#include "proto/h1/head.h"

using namespace wl::h1;

namespace {

std::string headers_summary(const wl::HeaderList& h) {
    std::string s;
    h.for_each([&](std::string_view n, std::string_view v) {
        s.append(n);
        s.push_back(':');
        s.append(v);
        s.push_back('\n');
    });
    return s;
}

std::string summary(ParseStatus st, const Failure& f, const RequestHead& h, size_t buffered) {
    if (st == ParseStatus::Partial) return "partial";
    if (st == ParseStatus::Error) return std::string("error ") + f.kind;
    std::string s = "req ";
    s += std::string(h.method_text) + " " + std::string(h.target_raw) + " ";
    s += std::to_string(int(h.body_kind)) + " " + std::to_string(h.content_length) + " ";
    s += std::to_string(h.keep_alive) + std::to_string(h.expect_continue) + std::to_string(h.is_upgrade) +
         std::to_string(h.http10) + std::to_string(h.allow_trailers) + " rest " + std::to_string(buffered) + "\n";
    return s + headers_summary(h.headers);
}

std::string summary(ParseStatus st, const Failure& f, const ResponseHead& h, size_t buffered) {
    if (st == ParseStatus::Partial) return "partial";
    if (st == ParseStatus::Error) return std::string("error ") + f.kind;
    std::string s = "resp " + std::to_string(h.status) + " " + std::to_string(int(h.body_kind)) + " " +
                    std::to_string(h.content_length) + " " + std::to_string(h.keep_alive) +
                    std::to_string(h.is_upgrade) + std::to_string(h.http10) + " rest " + std::to_string(buffered) +
                    "\n";
    return s + headers_summary(h.headers);
}

template <class Head>
std::string run(const CodecConfig& cfg, bool request, Method m, std::string_view a, std::string_view b) {
    Codec c(cfg);
    if (!request && m != Method::None) {
        wl::h1::SerializeError err;
        c.serialize_request(method_name(m), m == Method::Connect ? "h:1" : "/", nullptr, false, false, 0, false,
                            &err);
    }
    Head h;
    Failure f;
    ParseStatus st;
    if constexpr (std::is_same_v<Head, RequestHead>)
        st = c.receive_request(a, h, &f);
    else
        st = c.receive_response(a, h, &f);
    if (st == ParseStatus::Partial && !b.empty()) {
        if constexpr (std::is_same_v<Head, RequestHead>)
            st = c.receive_request(b, h, &f);
        else
            st = c.receive_response(b, h, &f);
        if (st == ParseStatus::Error && !f.kind) std::abort();
        return summary(st, f, h, c.buffered());
    }
    if (st == ParseStatus::Error && !f.kind) std::abort();
    // The head's views point into the read buffer: summarize before the
    // rest is appended (which may move it).
    std::string out = summary(st, f, h, c.buffered() + b.size());
    c.feed(b);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    uint8_t ctl = data[0];
    std::string_view msg(reinterpret_cast<const char*>(data + 1), size - 1);
    bool request = ctl & 1;
    static const Method kMethods[] = {Method::None, Method::Get, Method::Head, Method::Connect};
    Method m = kMethods[(ctl >> 1) & 3];
    CodecConfig cfg;
    cfg.max_buf_size = 1u << 30;  // splitting must not change the outcome
    cfg.max_headers = (ctl & 8) ? 3 : ((ctl & 16) ? 150 : 100);
    cfg.ignore_invalid_headers = ctl & 32;

    // The raw parser on a private copy: never reads past the end.
    {
        std::string copy(msg);
        size_t used = 0;
        ParseKind k;
        if (request) {
            RequestHead h;
            RequestLimits lim{cfg.max_headers, cfg.ignore_invalid_headers};
            if (parse_request(reinterpret_cast<uint8_t*>(copy.data()), copy.size(), lim, h, &used, &k) ==
                    ParseStatus::Complete &&
                used > copy.size())
                std::abort();
        } else {
            ResponseHead h;
            if (parse_response(reinterpret_cast<uint8_t*>(copy.data()), copy.size(), m, h, &used, &k) ==
                    ParseStatus::Complete &&
                used > copy.size())
                std::abort();
        }
    }

    // A read whose head is parsed from a copy of its front, the rest
    // borrowed, must give what the whole read in the buffer gives; padded
    // too, so that the copy grows in steps.
    for (size_t pad : {size_t(0), size_t(4097 + (ctl >> 6) * 1500)}) {
        std::string big(msg);
        big.append(pad, 'x');
        Codec plain(cfg), in_place(cfg);
        if (!request && m != Method::None) {
            wl::h1::SerializeError err;
            for (Codec* c : {&plain, &in_place})
                c->serialize_request(method_name(m), m == Method::Connect ? "h:1" : "/", nullptr, false, false, 0,
                                     false, &err);
        }
        std::string a, b;
        Failure f1, f2;
        ParseStatus s2;
        if (request) {
            RequestHead h1, h2;
            a = summary(plain.receive_request(big, h1, &f1), f1, h1, plain.buffered());
            s2 = in_place.receive_request_in_place(big, h2, &f2);
            b = summary(s2, f2, h2, in_place.buffered());
        } else {
            ResponseHead h1, h2;
            a = summary(plain.receive_response(big, h1, &f1), f1, h1, plain.buffered());
            s2 = in_place.receive_response_in_place(big, h2, &f2);
            b = summary(s2, f2, h2, in_place.buffered());
        }
        if (a != b || plain.input() != in_place.input() || (in_place.borrowing() && s2 != ParseStatus::Complete))
            std::abort();
    }

    // One piece against two pieces. A split HTTP/2 preface is deliberately
    // reported differently (it is recognised only when complete).
    if (msg.substr(0, 3) == "PRI") return 0;
    size_t cut = msg.empty() ? 0 : (size_t(ctl >> 6) * 131 + size) % (msg.size() + 1);
    std::string whole, split;
    if (request) {
        whole = run<RequestHead>(cfg, true, m, msg, {});
        split = run<RequestHead>(cfg, true, m, msg.substr(0, cut), msg.substr(cut));
    } else {
        whole = run<ResponseHead>(cfg, false, m, msg, {});
        split = run<ResponseHead>(cfg, false, m, msg.substr(0, cut), msg.substr(cut));
    }
    if (whole != split) {
        if (std::getenv("H1_FUZZ_DEBUG")) std::fprintf(stderr, "whole:\n%s\nsplit:\n%s\n", whole.c_str(), split.c_str());
        std::abort();
    }
    // One byte per call: the parse resumes where it stopped every time.
    if (msg.size() <= 512) {
        Codec c(cfg);
        if (!request && m != Method::None) {
            wl::h1::SerializeError err;
            c.serialize_request(method_name(m), m == Method::Connect ? "h:1" : "/", nullptr, false, false, 0,
                                false, &err);
        }
        std::string bytewise = "partial";
        for (size_t i = 0; i < msg.size(); ++i) {
            Failure f;
            ParseStatus st;
            std::string out;
            if (request) {
                RequestHead h;
                st = c.receive_request(msg.substr(i, 1), h, &f);
                if (st != ParseStatus::Partial) out = summary(st, f, h, c.buffered() + msg.size() - i - 1);
            } else {
                ResponseHead h;
                st = c.receive_response(msg.substr(i, 1), h, &f);
                if (st != ParseStatus::Partial) out = summary(st, f, h, c.buffered() + msg.size() - i - 1);
            }
            if (st != ParseStatus::Partial) {
                bytewise = out;
                break;
            }
        }
        if (bytewise != whole) {
            if (std::getenv("H1_FUZZ_DEBUG"))
                std::fprintf(stderr, "whole:\n%s\nbyte by byte:\n%s\n", whole.c_str(), bytewise.c_str());
            std::abort();
        }
    }
    return 0;
}
