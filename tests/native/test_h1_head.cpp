#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "proto/h1/codec.h"
#include "proto/h1/head.h"
#include "proto/h1/scan.h"

using namespace wl::h1;

namespace {

// Random bytes biased towards the interesting ones (controls, space, DEL,
// high bytes) so that every stop position gets exercised.
std::vector<uint8_t> random_run(std::mt19937& rng, size_t n) {
    static const uint8_t special[] = {0x00, 0x09, 0x0a, 0x0d, 0x1f, 0x20, 0x21, 0x7e, 0x7f, 0x80, 0xff, 0x9f, 0xa0};
    std::vector<uint8_t> v(n);
    std::uniform_int_distribution<int> pick(0, 99);
    for (auto& b : v) {
        int r = pick(rng);
        if (r < 3)
            b = special[size_t(pick(rng)) % sizeof(special)];
        else if (r < 6)
            b = uint8_t(rng());
        else
            b = uint8_t(0x21 + pick(rng) % 0x5e);
    }
    return v;
}

}  // namespace

TEST(H1Scan, FastPathsMatchReferenceOnRandomInput) {
    std::mt19937 rng(12345);
    for (int iter = 0; iter < 20000; ++iter) {
        size_t n = size_t(rng() % 200);
        auto v = random_run(rng, n);
        // Every offset, so unaligned starts and tails are covered.
        size_t off = n ? size_t(rng() % (n + 1)) : 0;
        const uint8_t* p = v.data() + off;
        size_t m = n - off;
        size_t rv = scan_value_ref(p, m);
        ASSERT_EQ(scan_value_word(p, m), rv);
        ASSERT_EQ(scan_value_sse2(p, m), rv);
        ASSERT_EQ(scan_value(p, m), rv);
        size_t rt = scan_target_ref(p, m);
        ASSERT_EQ(scan_target_word(p, m), rt);
        ASSERT_EQ(scan_target_sse2(p, m), rt);
        ASSERT_EQ(scan_target(p, m), rt);
    }
}

TEST(H1Scan, EveryStopByteAtEveryPosition) {
    for (int stop = 0; stop < 256; ++stop) {
        for (size_t pos = 0; pos < 40; ++pos) {
            std::vector<uint8_t> v(40, 'a');
            v[pos] = uint8_t(stop);
            bool vstop = stop < 0x20 || stop == 0x7f;
            bool tstop = stop <= 0x20 || stop == 0x7f;
            ASSERT_EQ(scan_value_word(v.data(), v.size()), vstop ? pos : 40) << stop << " " << pos;
            ASSERT_EQ(scan_value_sse2(v.data(), v.size()), vstop ? pos : 40) << stop << " " << pos;
            ASSERT_EQ(scan_target_word(v.data(), v.size()), tstop ? pos : 40) << stop << " " << pos;
            ASSERT_EQ(scan_target_sse2(v.data(), v.size()), tstop ? pos : 40) << stop << " " << pos;
        }
    }
}

TEST(H1Scan, NameRunAndLoweringMatchBytewiseRules) {
    // Every byte value at every position of both vector steps and the tail.
    for (int c = 0; c < 256; ++c) {
        for (size_t pos = 0; pos < 40; ++pos) {
            std::vector<uint8_t> v(40, 'k');
            v[pos] = uint8_t(c);
            ASSERT_EQ(name_run(v.data(), v.size()), is_common_name_byte(uint8_t(c)) ? 40 : pos) << c << " " << pos;
        }
    }
    std::mt19937 rng(777);
    static const char alphabet[] = "abcXYZ09-_!#:; \x80\xff" "Az@[`{";
    for (int iter = 0; iter < 20000; ++iter) {
        size_t n = size_t(rng() % 70);
        std::vector<uint8_t> v(n);
        for (auto& b : v) b = uint8_t(alphabet[rng() % (sizeof(alphabet) - 1)]);
        size_t k = 0;
        while (k < n && is_common_name_byte(v[k])) ++k;
        ASSERT_EQ(name_run(v.data(), n), k);
        // Lowering changes letters of the first m bytes only, whatever the
        // room; the copy holds the source's bytes past them.
        size_t m = n ? size_t(rng() % (n + 1)) : 0;
        std::vector<uint8_t> expect = v, copy = v;
        for (size_t i = 0; i < m; ++i)
            if (expect[i] >= 'A' && expect[i] <= 'Z') expect[i] = uint8_t(expect[i] + 32);
        lower_copy(copy.data(), v.data(), m, m + size_t(rng() % (n - m + 1)));
        ASSERT_EQ(copy, expect);
    }
}

TEST(H1Head, RequestAdoptsHeadBytes) {
    std::string s = "GET /x HTTP/1.1\r\nHost: a\r\nX-Long: " + std::string(300, 'v') + "\r\n\r\nrest";
    RequestHead h;
    size_t len = 0;
    ParseKind k;
    ASSERT_EQ(parse_request(reinterpret_cast<uint8_t*>(s.data()), s.size(), RequestLimits{}, h, &len, &k),
              ParseStatus::Complete);
    EXPECT_EQ(len, s.size() - 4);
    EXPECT_EQ(h.method, Method::Get);
    EXPECT_EQ(h.target_raw, "/x");
    EXPECT_EQ(h.headers.name_count(), 2u);
    uint32_t e = h.headers.find("x-long");
    ASSERT_NE(e, wl::HeaderList::kNone);
    EXPECT_EQ(h.headers.first_value(e), std::string(300, 'v'));
    // One store holds the header block: names and values point into it.
    EXPECT_LE(h.headers.store_size(), s.size());
}

TEST(H1Head, EveryPrefixIsPartialOrTheSameResult) {
    const std::string full =
        "POST /p?q HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: gzip, chunked\r\nTE: trailers\r\n\r\n";
    for (size_t n = 0; n < full.size(); ++n) {
        std::string s = full.substr(0, n);
        RequestHead h;
        size_t len = 0;
        ParseKind k;
        EXPECT_EQ(parse_request(reinterpret_cast<uint8_t*>(s.data()), s.size(), RequestLimits{}, h, &len, &k),
                  ParseStatus::Partial)
            << n;
    }
    std::string s = full;
    RequestHead h;
    size_t len = 0;
    ParseKind k;
    ASSERT_EQ(parse_request(reinterpret_cast<uint8_t*>(s.data()), s.size(), RequestLimits{}, h, &len, &k),
              ParseStatus::Complete);
    EXPECT_EQ(h.body_kind, BodyKind::Chunked);
    EXPECT_TRUE(h.allow_trailers);
}

// What a request parse gave, for comparing two ways of reaching it.
std::string outcome(ParseStatus st, ParseKind k, const RequestHead& h, size_t used) {
    if (st != ParseStatus::Complete) return st == ParseStatus::Error ? parse_kind_name(k) : "partial";
    std::string s = std::to_string(used) + " " + std::to_string(int(h.method)) + " " + std::string(h.target_raw) +
                    " " + std::to_string(int(h.body_kind)) +
                    " " + std::to_string(h.content_length) + " " + std::to_string(h.keep_alive) + "\n";
    h.headers.for_each([&](std::string_view n, std::string_view v) {
        s.append(n).append(": ").append(v).append("\n");
    });
    return s;
}

// A head parsed whole into `into`, and the same head fed one byte per call.
std::string parsed_whole(const std::string& s, RequestHead& into) {
    size_t used = 0;
    ParseKind k = ParseKind::Internal;
    ParseStatus st = parse_request(reinterpret_cast<const uint8_t*>(s.data()), s.size(), RequestLimits{}, into, &used, &k);
    return outcome(st, k, into, used);
}

std::string parsed_trickled(const std::string& s) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(s.data());
    RequestHead h;
    HeadScan scan;
    size_t used = 0;
    ParseKind k = ParseKind::Internal;
    ParseStatus st = ParseStatus::Partial;
    for (size_t n = 1; n <= s.size() && st == ParseStatus::Partial; ++n)
        st = parse_request(b, n, RequestLimits{}, scan, h, &used, &k);
    return outcome(st, k, h, used);
}

TEST(H1Head, WholeLinesReadAsTheStepwiseScanReadsThem) {
    // Random heads parsed whole (the request line in one go, lines read
    // through 32-byte windows, the last ones through a window that ends with
    // the buffer; longer runs of lines through maps of their stop bytes, a
    // long value through the vector scan) and one byte per call (the
    // stepwise scan); past 16 names the list is indexed. The whole parse reuses one head, so its list
    // replaces what the last head left.
    std::mt19937 rng(2024);
    static const char* const kLines[] = {
        "GET /p?q#f HTTP/1.1\r\n", "POST / HTTP/1.0\r\n", "GET  / HTTP/1.1\r\n", "PUT /x HTTP/1.1\n",
        "\r\nGET / HTTP/1.1\r\n", "GET /\x80\x7f HTTP/1.1\r\n", "GET / HTTP/1.2\r\n", "G@T / HTTP/1.1\r\n",
        "POST http://a/b HTTP/1.1\r\n", "GET / HTTP/1.1\r\r\n", "OPTIONS * HTTP/1.0\r\n", "GET /\r\n"};
    RequestHead whole;
    static const char* const kNames[] = {"Host", "content-LENGTH", "Connection", "TE", "X-a", "Upgrade-Insecure-Requests"};
    static const char kNameBytes[] = "abcXYZ09-_!#.~ @\"\x80";
    static const char kValueBytes[] = "ab0 :;,\t\x80\x7f\x01";
    auto pick = [&](const char* set, size_t n) { return set[rng() % (n - 1)]; };
    for (int iter = 0; iter < 3000; ++iter) {
        std::string s = kLines[rng() % 4 ? 0 : rng() % std::size(kLines)];
        size_t lines = rng() % 24;
        for (size_t i = 0; i < lines; ++i) {
            std::string name;
            if (rng() % 3 == 0) {
                name = kNames[rng() % 6];
            } else {
                size_t n = rng() % 36 + (rng() % 200 == 0 ? 0 : 1);
                for (size_t j = 0; j < n; ++j) name += rng() % 16 ? char('a' + rng() % 3) : pick(kNameBytes, sizeof kNameBytes);
            }
            std::string value;
            size_t n = rng() % 16 ? rng() % 50 : rng() % 400;
            bool digits = rng() % 2;
            for (size_t j = 0; j < n; ++j)
                value += digits ? char('0' + rng() % 2) : rng() % 64 ? 'v' : pick(kValueBytes, sizeof kValueBytes);
            s += name + ":" + std::string(rng() % 3, ' ') + value + std::string(rng() % 2, ' ') +
                 (rng() % 8 ? "\r\n" : "\n");
        }
        s += "\r\n";
        const uint8_t* b = reinterpret_cast<const uint8_t*>(s.data());
        const std::string expected = parsed_whole(s, whole);
        ASSERT_EQ(expected, parsed_trickled(s)) << s;
        // Two pieces: the second call resumes inside a line or at a line's
        // start and reads the rest of the head whole.
        HeadScan scan3;
        RequestHead split;
        size_t used3 = 0, cut = rng() % s.size();
        ParseKind k3 = ParseKind::Internal;
        ParseStatus st3 = parse_request(b, cut, RequestLimits{}, scan3, split, &used3, &k3);
        if (st3 == ParseStatus::Partial) st3 = parse_request(b, s.size(), RequestLimits{}, scan3, split, &used3, &k3);
        ASSERT_EQ(expected, outcome(st3, k3, split, used3)) << s << " cut at " << cut;
    }
}

TEST(H1Head, LineEndsAtEveryDistanceFromTheMaps) {
    // A value of every length up to past three maps, then a byte that ends
    // or interrupts it (line end, bare LF, tab, DEL, obs-text), after a first
    // line that shifts where the maps start: read whole as byte by byte.
    static const char* const kCuts[] = {"\r\n", "\n", "\tx\r\n", "\x7f\r\n", "\x80\r\n", "\r\r\n"};
    for (size_t pad = 0; pad < 3; ++pad) {
        for (size_t n = 0; n < 280; ++n) {
            for (const char* cut : kCuts) {
                std::string s = "GET / HTTP/1.1\r\nA: " + std::string(pad * 29, 'p') + "\r\nLong: " +
                                std::string(n, 'v') + cut + "B: x\r\nC: " + std::string(120, 'c') + "\r\n\r\n";
                RequestHead whole;
                ASSERT_EQ(parsed_whole(s, whole), parsed_trickled(s)) << s;
            }
        }
    }
}

TEST(H1Head, NamesOfEveryLengthKeepTheirHashAndAreFound) {
    // Names are lowered and hashed from vectors up to 32 bytes (the last
    // line's bytewise, too near the block's end) and bytewise past that:
    // every entry's hash is hash_name() of its name, so lookups find it,
    // with and without the index (more than 16 names).
    for (size_t count : {size_t(12), size_t(40)}) {
        std::string s = "GET / HTTP/1.1\r\n";
        for (size_t n = 1; n <= count; ++n) {
            for (size_t j = 0; j < n; ++j) s += char((j % 2 ? 'A' : 'a') + (n + j) % 26);
            s += ": v\r\n";
        }
        s += "\r\n";
        RequestHead h;
        size_t len = 0;
        ParseKind k;
        ASSERT_EQ(parse_request(reinterpret_cast<uint8_t*>(s.data()), s.size(), RequestLimits{}, h, &len, &k),
                  ParseStatus::Complete);
        ASSERT_EQ(h.headers.name_count(), count);
        for (uint32_t e = 0; e < count; ++e) {
            std::string_view name = h.headers.name(e);
            EXPECT_EQ(h.headers.entries()[e].hash, wl::HeaderList::hash_name(name)) << name;
            EXPECT_EQ(h.headers.find(name), e) << name;
        }
    }
}

TEST(H1Head, FramingNamesOnlyAtTheirExactLength) {
    // Names 32 bytes longer than a framing name (the same low five bits of
    // length) that begin like one are ordinary fields.
    std::string pad(32, 'x');
    std::string s = "POST / HTTP/1.0\r\ncontent-length" + pad + ": abc\r\ntransfer-encoding" + pad +
                    ": gzip\r\nconnection" + pad + ": keep-alive\r\nte" + pad + ": trailers\r\n\r\n";
    RequestHead h;
    size_t len = 0;
    ParseKind k;
    ASSERT_EQ(parse_request(reinterpret_cast<uint8_t*>(s.data()), s.size(), RequestLimits{}, h, &len, &k),
              ParseStatus::Complete);
    EXPECT_EQ(h.body_kind, BodyKind::Empty);
    EXPECT_FALSE(h.keep_alive);
    EXPECT_FALSE(h.allow_trailers);
    EXPECT_EQ(h.headers.name_count(), 4u);
}

TEST(H1Head, ParseKindsCarryTheirStatus) {
    EXPECT_EQ(parse_kind_status(ParseKind::UriTooLong), 414);
    EXPECT_EQ(parse_kind_status(ParseKind::TooLarge), 431);
    EXPECT_EQ(parse_kind_status(ParseKind::VersionH2), 0);
    EXPECT_EQ(parse_kind_status(ParseKind::Status), 0);
    EXPECT_EQ(parse_kind_status(ParseKind::HeaderToken), 400);
    Failure f = parse_failure(ParseKind::Uri);
    EXPECT_EQ(f.category, FailCategory::Parse);
    EXPECT_STREQ(f.kind, "uri");
    EXPECT_EQ(f.message(), "invalid URI");
}

TEST(H1Codec, ChunkSizeLines) {
    char out[18];
    EXPECT_EQ(std::string(out, chunk_size_line(26, out)), "1A\r\n");
    EXPECT_EQ(std::string(out, chunk_size_line(1, out)), "1\r\n");
    EXPECT_EQ(std::string(out, chunk_size_line(UINT64_MAX, out)), "FFFFFFFFFFFFFFFF\r\n");
}

TEST(H1Codec, ReasonTable) {
    EXPECT_EQ(reason_phrase(203), "Non Authoritative Information");
    EXPECT_EQ(reason_phrase(413), "Payload Too Large");
    EXPECT_EQ(reason_phrase(299), "<none>");
}
