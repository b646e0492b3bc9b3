// HPACK: RFC 7541 Appendix C examples, hostile input, edge cases, Huffman.
#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "proto/h2/hpack.h"
#include "proto/h2/hpack_tables.h"
#include "proto/h2/huffman.h"
#include "test_hpack_util.h"

using namespace wl::h2;
using hpack_test::Fields;
using hpack_test::hex;
using hpack_test::unhex;

namespace {

constexpr size_t kBig = 16u << 20;  // default max_header_list_size

struct Decoded {
    HpackResult r;
    size_t consumed;
    HeaderFrame f;
};

Decoded decode_hex(HpackDecoder& d, std::string_view h, size_t max_list = kBig) {
    auto b = unhex(h);
    Decoded out;
    out.r = d.decode(b.data(), b.size(), &out.consumed, out.f, max_list);
    return out;
}

HpackResult decode_err(std::string_view h, size_t max_list = kBig) {
    HpackDecoder d;
    return decode_hex(d, h, max_list).r;
}

template <class Table>
Fields table_of(const Table& t) {
    Fields out;
    for (size_t i = 0; i < t.count(); ++i) out.emplace_back(t.name(i), t.value(i));
    return out;
}

std::string encode_hex(HpackEncoder& e, const Fields& fields) {
    std::vector<EncodeField> fs;
    for (auto& [n, v] : fields) fs.push_back(hpack_test::to_encode_field(n, v));
    wl::ByteBuf out;
    e.encode(fs, out);
    return hex(out);
}

struct Step {
    const char* wire;
    Fields fields;
    Fields table;
    uint64_t size;
};

void run_story(const std::vector<Step>& steps, uint32_t table_size, bool check_encode) {
    HpackDecoder d;
    HpackEncoder e;
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        std::string wire = s.wire;
        if (i == 0 && table_size != 4096) {
            // The examples assume a table size settled out of band: announce it.
            wl::ByteBuf upd;
            encode_int(upd, 0x20, 5, table_size);
            wire = hex(upd) + wire;
        }
        Decoded r = decode_hex(d, wire);
        ASSERT_EQ(r.r, HpackResult::Ok) << "block " << i;
        EXPECT_EQ(r.consumed, unhex(wire).size());
        EXPECT_EQ(hpack_test::frame_fields(r.f),
                  hpack_test::frame_fields(hpack_test::expected_frame(s.fields)));
        EXPECT_EQ(table_of(d.table()), s.table) << "block " << i;
        EXPECT_EQ(d.table().size(), s.size);
        if (check_encode) {
            EXPECT_EQ(encode_hex(e, s.fields), s.wire) << "block " << i;
            EXPECT_EQ(table_of(e.table()), s.table);
        }
    }
}

const Fields kReq1 = {{":method", "GET"}, {":scheme", "http"}, {":path", "/"},
                      {":authority", "www.example.com"}};
const Fields kReq2 = {{":method", "GET"}, {":scheme", "http"}, {":path", "/"},
                      {":authority", "www.example.com"}, {"cache-control", "no-cache"}};
const Fields kReq3 = {{":method", "GET"}, {":scheme", "https"}, {":path", "/index.html"},
                      {":authority", "www.example.com"}, {"custom-key", "custom-value"}};
const Fields kT1 = {{":authority", "www.example.com"}};
const Fields kT2 = {{"cache-control", "no-cache"}, {":authority", "www.example.com"}};
const Fields kT3 = {{"custom-key", "custom-value"}, {"cache-control", "no-cache"},
                    {":authority", "www.example.com"}};

const char* kDate1 = "Mon, 21 Oct 2013 20:13:21 GMT";
const char* kDate2 = "Mon, 21 Oct 2013 20:13:22 GMT";
const char* kLoc = "https://www.example.com";
const char* kCookie = "foo=ASDJKHQKBZXOQWEOPIUAXQWEOIU; max-age=3600; version=1";
const Fields kResp1 = {{":status", "302"}, {"cache-control", "private"}, {"date", kDate1},
                       {"location", kLoc}};
const Fields kResp2 = {{":status", "307"}, {"cache-control", "private"}, {"date", kDate1},
                       {"location", kLoc}};
const Fields kResp3 = {{":status", "200"},  {"cache-control", "private"},
                       {"date", kDate2},    {"location", kLoc},
                       {"content-encoding", "gzip"}, {"set-cookie", kCookie}};
const Fields kRT1 = {{"location", kLoc}, {"date", kDate1}, {"cache-control", "private"},
                     {":status", "302"}};
const Fields kRT2 = {{":status", "307"}, {"location", kLoc}, {"date", kDate1},
                     {"cache-control", "private"}};
const Fields kRT3 = {{"set-cookie", kCookie}, {"content-encoding", "gzip"}, {"date", kDate2}};

}  // namespace

// ---------------------------------------------------------------- Appendix C

TEST(HpackRfc, C2LiteralsAndIndexed) {
    HpackDecoder d;
    Decoded r = decode_hex(d, "400a637573746f6d2d6b65790d637573746f6d2d686561646572");
    ASSERT_EQ(r.r, HpackResult::Ok);
    EXPECT_EQ(hpack_test::frame_fields(r.f), (Fields{{"custom-key", "custom-header"}}));
    EXPECT_EQ(table_of(d.table()), (Fields{{"custom-key", "custom-header"}}));
    EXPECT_EQ(d.table().size(), 55u);

    HpackDecoder d2;
    r = decode_hex(d2, "040c2f73616d706c652f70617468");
    ASSERT_EQ(r.r, HpackResult::Ok);
    EXPECT_EQ(r.f.path, "/sample/path");
    EXPECT_EQ(d2.table().count(), 0u);

    HpackDecoder d3;
    r = decode_hex(d3, "100870617373776f726406736563726574");
    ASSERT_EQ(r.r, HpackResult::Ok);
    EXPECT_EQ(hpack_test::frame_fields(r.f), (Fields{{"password", "secret"}}));
    EXPECT_EQ(d3.table().count(), 0u);

    HpackDecoder d4;
    r = decode_hex(d4, "82");
    ASSERT_EQ(r.r, HpackResult::Ok);
    EXPECT_TRUE(r.f.has(Pseudo::Method));
    EXPECT_EQ(r.f.method, Method::Get);
    EXPECT_EQ(d4.table().count(), 0u);
}

TEST(HpackRfc, C3RequestsWithoutHuffman) {
    run_story({{"828684410f7777772e6578616d706c652e636f6d", kReq1, kT1, 57},
               {"828684be58086e6f2d6361636865", kReq2, kT2, 110},
               {"828785bf400a637573746f6d2d6b65790c637573746f6d2d76616c7565", kReq3, kT3, 164}},
              4096, false);
}

TEST(HpackRfc, C4RequestsWithHuffmanEncodeByteForByte) {
    run_story({{"828684418cf1e3c2e5f23a6ba0ab90f4ff", kReq1, kT1, 57},
               {"828684be5886a8eb10649cbf", kReq2, kT2, 110},
               {"828785bf408825a849e95ba97d7f8925a849e95bb8e8b4bf", kReq3, kT3, 164}},
              4096, true);
}

TEST(HpackRfc, C5ResponsesWithoutHuffman) {
    run_story(
        {{"4803333032580770726976617465611d4d6f6e2c203231204f637420323031332032303a31333a3231"
          "20474d546e1768747470733a2f2f7777772e6578616d706c652e636f6d",
          kResp1, kRT1, 222},
         {"4803333037c1c0bf", kResp2, kRT2, 222},
         {"88c1611d4d6f6e2c203231204f637420323031332032303a31333a323220474d54c05a04677a69707738"
          "666f6f3d4153444a4b48514b425a584f5157454f50495541585157454f49553b206d61782d616765"
          "3d333630303b2076657273696f6e3d31",
          kResp3, kRT3, 215}},
        256, false);
}

TEST(HpackRfc, C6ResponsesWithHuffman) {
    run_story(
        {{"488264025885aec3771a4b6196d07abe941054d444a8200595040b8166e082a62d1bff6e919d29ad17"
          "1863c78f0b97c8e9ae82ae43d3",
          kResp1, kRT1, 222},
         {"4883640effc1c0bf", kResp2, kRT2, 222},
         {"88c16196d07abe941054d444a8200595040b8166e084a62d1bffc05a839bd9ab77ad94e7821dd7f2e6"
          "c7b335dfdfcd5b3960d5af27087f3672c1ab270fb5291f9587316065c003ed4ee5b1063d5007",
          kResp3, kRT3, 215}},
        256, false);
}

// Our encoder never inserts location, so C.6 differs there; the rest of the
// first response block matches the example's choices.
TEST(HpackRfc, C6EncoderChoicesDifferOnlyWhereDocumented) {
    HpackEncoder e;
    e.set_send_header_table_size(256);
    std::string got = encode_hex(e, kResp1);
    // size update 256, :status 302 (name 8), cache-control (name 24), date (name 33)
    EXPECT_EQ(got.substr(0, 6), "3fe101");
    EXPECT_EQ(got.substr(6, 8), "48826402");
    // location: literal without indexing, static name 46 (0x0f 0x1f)
    EXPECT_NE(got.find("0f1f91"), std::string::npos);
}

// ---------------------------------------------------------------- integers

TEST(HpackInt, RfcExamplesAndMinimalForm) {
    wl::ByteBuf b;
    encode_int(b, 0, 5, 10);
    EXPECT_EQ(hex(b), "0a");
    b.clear();
    encode_int(b, 0, 5, 1337);
    EXPECT_EQ(hex(b), "1f9a0a");
    b.clear();
    encode_int(b, 0, 8, 42);
    EXPECT_EQ(hex(b), "2a");
    b.clear();
    encode_int(b, 0, 5, 31);
    EXPECT_EQ(hex(b), "1f00");
    for (uint32_t v : {0u, 1u, 30u, 31u, 127u, 128u, 159u, 1337u, 65535u, 1u << 20, (1u << 28)}) {
        for (int n = 4; n <= 7; ++n) {
            wl::ByteBuf o;
            encode_int(o, 0, n, v);
            const uint8_t* p = o.data();
            uint32_t got = 0;
            ASSERT_EQ(decode_int(p, o.data() + o.size(), n, got), HpackResult::Ok);
            EXPECT_EQ(got, v);
            EXPECT_EQ(p, o.data() + o.size());
        }
    }
}

TEST(HpackInt, FiveOctetCap) {
    auto run = [](std::string_view h, uint32_t* v) {
        auto b = unhex(h);
        const uint8_t* p = b.data();
        return decode_int(p, b.data() + b.size(), 5, *v);
    };
    uint32_t v = 0;
    // Four continuation octets: accepted.
    EXPECT_EQ(run("1fffffff7f", &v), HpackResult::Ok);
    EXPECT_EQ(v, 31u + 0x0fffffffu);
    EXPECT_EQ(run("1f80808000", &v), HpackResult::Ok);
    EXPECT_EQ(v, 31u);
    // A fifth octet still flagged as continuing.
    EXPECT_EQ(run("1fffffffff", &v), HpackResult::IntegerOverflow);
    EXPECT_EQ(run("1fffffffff01", &v), HpackResult::IntegerOverflow);
    // Running out of bytes.
    EXPECT_EQ(run("1f", &v), HpackResult::NeedMoreIntegerUnderflow);
    EXPECT_EQ(run("1fff", &v), HpackResult::NeedMoreIntegerUnderflow);
    EXPECT_EQ(run("1fffffff", &v), HpackResult::NeedMoreIntegerUnderflow);
    EXPECT_EQ(run("", &v), HpackResult::NeedMoreUnexpectedEndOfStream);
}

// ---------------------------------------------------------------- decoder errors

TEST(HpackDecode, TableIndexErrors) {
    EXPECT_EQ(decode_err("80"), HpackResult::InvalidTableIndex);  // index 0
    EXPECT_EQ(decode_err("be"), HpackResult::InvalidTableIndex);  // 62, empty table
    EXPECT_EQ(decode_err("bd"), HpackResult::Ok);                 // 61 www-authenticate
    EXPECT_EQ(decode_err("7f0001"), HpackResult::InvalidTableIndex);  // name index 63
    EXPECT_EQ(decode_err("0f2f0161"), HpackResult::InvalidTableIndex);  // 4-bit name 62
    EXPECT_EQ(decode_err("ffffffffff7f"), HpackResult::IntegerOverflow);
}

TEST(HpackDecode, SizeUpdates) {
    // Two updates at the start are fine; one after a field is not.
    EXPECT_EQ(decode_err("203fe11f82"), HpackResult::Ok);
    EXPECT_EQ(decode_err("8220"), HpackResult::InvalidMaxDynamicSize);
    // Above the limit.
    EXPECT_EQ(decode_err("3fe21f"), HpackResult::InvalidMaxDynamicSize);  // 4097
    EXPECT_EQ(decode_err("3fe11f"), HpackResult::Ok);                     // 4096

    // After set_recv_header_table_size(0): update to 0 then to 4096 fails.
    HpackDecoder d;
    d.set_recv_header_table_size(0);
    EXPECT_EQ(decode_hex(d, "203fe11f").r, HpackResult::InvalidMaxDynamicSize);
    HpackDecoder d2;
    d2.set_recv_header_table_size(0);
    EXPECT_EQ(decode_hex(d2, "20").r, HpackResult::Ok);
    EXPECT_EQ(d2.table().max_size(), 0u);
    EXPECT_EQ(d2.last_limit(), 0u);

    // The pending limit is the larger of the queued values.
    HpackDecoder d3;
    d3.set_recv_header_table_size(100);
    d3.set_recv_header_table_size(50);
    EXPECT_EQ(decode_hex(d3, "3f45").r, HpackResult::Ok);  // 100
    EXPECT_EQ(d3.last_limit(), 100u);

    // A size update shrinks the table and evicts.
    HpackDecoder d4;
    ASSERT_EQ(decode_hex(d4, "400161016240016301644001650166").r, HpackResult::Ok);
    EXPECT_EQ(d4.table().count(), 3u);
    ASSERT_EQ(decode_hex(d4, "3f03").r, HpackResult::Ok);  // 34: room for one entry
    EXPECT_EQ(table_of(d4.table()), (Fields{{"e", "f"}}));
}

TEST(HpackDecode, SizeUpdateAtStartOfLaterPass) {
    // A block split in two passes: the second pass may start with an update.
    HpackDecoder d;
    HeaderFrame f;
    auto a = unhex("82");
    auto b = unhex("2084");
    size_t c;
    ASSERT_EQ(d.decode(a.data(), a.size(), &c, f, kBig), HpackResult::Ok);
    ASSERT_EQ(d.decode(b.data(), b.size(), &c, f, kBig), HpackResult::Ok);
    EXPECT_EQ(f.path, "/");
}

TEST(HpackDecode, HugeEntryEmptiesTable) {
    HpackDecoder d;
    ASSERT_EQ(decode_hex(d, "4001610162").r, HpackResult::Ok);
    ASSERT_EQ(d.table().count(), 1u);
    // name "x" + 4064-byte value + 32 = 4097
    wl::ByteBuf b;
    b.push(0x40);
    b.push(0x01);
    b.push('x');
    encode_int(b, 0, 7, 4064);
    std::string v(4064, 'v');
    b.append(v);
    HeaderFrame f;
    size_t c;
    ASSERT_EQ(d.decode(b.data(), b.size(), &c, f, kBig), HpackResult::Ok);
    EXPECT_EQ(d.table().count(), 0u);
    EXPECT_EQ(d.table().size(), 0u);
    EXPECT_EQ(f.headers.value_count(), 1u);
    // Exactly 4096 fits.
    wl::ByteBuf b2;
    b2.push(0x40);
    b2.push(0x01);
    b2.push('x');
    encode_int(b2, 0, 7, 4063);
    b2.append(std::string(4063, 'v'));
    HeaderFrame f2;
    ASSERT_EQ(d.decode(b2.data(), b2.size(), &c, f2, kBig), HpackResult::Ok);
    EXPECT_EQ(d.table().size(), 4096u);
}

// The decoder's ring holds what the plain table holds through inserts of
// every size (empty, wrapping at the ring's end, too large), limit changes
// and the seed-dependent name hashes.
TEST(HpackDecode, RingTableMatchesPlainTable) {
    std::mt19937 rng(7);
    for (uint32_t max : {0u, 40u, 100u, 300u, 4096u, 20000u}) {
        DecoderTable ring(max);
        DynamicTable plain(max);
        for (int i = 0; i < 4000; ++i) {
            if (rng() % 50 == 0) {
                uint32_t m = rng() % (max + 64);
                ring.set_max_size(m);
                plain.set_max_size(m);
            }
            size_t nl = rng() % 3 == 0 ? 0 : 1 + rng() % 24;
            size_t vl = rng() % 4 == 0 ? rng() % (max + 16) : rng() % 40;
            std::string n(nl, char('a' + i % 26)), v(vl, char('0' + i % 10));
            ASSERT_EQ(ring.insert(n, v, wl::HeaderList::hash_name(n)), plain.insert(n, v));
            ASSERT_EQ(ring.count(), plain.count());
            ASSERT_EQ(ring.size(), plain.size());
            for (size_t k = 0; k < ring.count(); ++k) {
                ASSERT_EQ(ring.name(k), plain.name(k));
                ASSERT_EQ(ring.value(k), plain.value(k));
                ASSERT_EQ(ring.name_hash(k), wl::HeaderList::hash_name(plain.name(k)));
            }
        }
        EXPECT_LE(ring.ring_bytes(), std::max<size_t>(256, 2 * (max + 64)));
    }
}

// The encoder's table holds what the plain table holds through random
// inserts (its byte buffer filling and moving its live bytes to the front
// many times) and limit changes; every live entry is found by its pair.
TEST(HpackEncode, TableMatchesPlainTable) {
    std::mt19937 rng(11);
    for (uint32_t max : {0u, 40u, 300u, 4096u}) {
        EncoderTable t;
        DynamicTable plain;
        t.set_max_size(max);
        plain.set_max_size(max);
        for (int i = 0; i < 6000; ++i) {
            if (rng() % 64 == 0) {
                uint32_t m = rng() % (max + 1);
                t.set_max_size(m);
                plain.set_max_size(m);
            }
            std::string n(1 + rng() % 24, char('a' + i % 26)), v(rng() % 8 ? rng() % 60 : rng() % 4000, char('0' + i % 10));
            uint32_t nvh = uint32_t(rng());
            ASSERT_EQ(t.insert_indexed(n, v, uint32_t(n.size()), nvh) != UINT64_MAX, plain.insert(n, v));
            ASSERT_EQ(t.count(), plain.count());
            ASSERT_EQ(t.size(), plain.size());
            ASSERT_EQ(table_of(t), table_of(plain));
            if (t.count()) {
                ASSERT_EQ(t.index_of_seq(t.find_nv(n, v, nvh)), 62u);
            }
        }
    }
}

// An empty entry placed where the wrapped entries meet the oldest, then one
// more: the new entry goes to no live octets.
TEST(HpackDecode, RingTableEmptyEntryWhereTheRingIsFull) {
    DecoderTable ring(365);
    DynamicTable plain(365);
    char c = 'a';
    for (auto [nl, vl] : {std::pair{9, 81}, {24, 83}, {18, 72}, {0, 0}, {17, 6}}) {
        std::string n(size_t(nl), c), v(size_t(vl), char(c - 32));
        ++c;
        ASSERT_EQ(ring.insert(n, v, wl::HeaderList::hash_name(n)), plain.insert(n, v));
        ASSERT_EQ(ring.count(), plain.count());
        for (size_t k = 0; k < ring.count(); ++k) {
            ASSERT_EQ(ring.name(k), plain.name(k));
            ASSERT_EQ(ring.value(k), plain.value(k));
        }
    }
}

// Names from the static table and from entries made under another seed
// reach the block's list with the hash it looks them up by.
TEST(HpackDecode, NameHashesFollowTheSeed) {
    HpackDecoder d;
    EXPECT_EQ(decode_hex(d, "400a637573746f6d2d6b65790d637573746f6d2d686561646572").r, HpackResult::Ok);
    for (uint64_t seed : {0x9d1c3b5a7e2f4861ull, 0ull}) {
        wl::HeaderList::set_hash_seed(seed);
        // custom-key (the entry), accept-encoding and content-type (static)
        Decoded out = decode_hex(d, "be900f100161");
        ASSERT_EQ(out.r, HpackResult::Ok);
        for (auto [n, v] : {std::pair{"custom-key", "custom-header"}, {"accept-encoding", "gzip, deflate"},
                            {"content-type", "a"}}) {
            uint32_t e = out.f.headers.find(n);
            ASSERT_NE(e, wl::HeaderList::kNone) << n;
            EXPECT_EQ(out.f.headers.first_value(e), v);
        }
    }
}

TEST(HpackDecode, HugeHuffmanStringThenSmallBlocks) {
    // A 1 MB Huffman value, then ordinary blocks: both decode.
    HpackDecoder d;
    wl::ByteBuf b;
    b.push(0x00);
    encode_string(b, "x-big");
    encode_string(b, std::string(1 << 20, 'q'));
    HeaderFrame f;
    size_t c;
    ASSERT_EQ(d.decode(b.data(), b.size(), &c, f, kBig), HpackResult::Ok);
    EXPECT_EQ(f.headers.first_value(0).size(), size_t(1) << 20);
    Decoded r = decode_hex(d, "00 811f 811f");
    ASSERT_EQ(r.r, HpackResult::Ok);
    EXPECT_EQ(hpack_test::frame_fields(r.f), (Fields{{"a", "a"}}));
}

TEST(HpackDecode, NeedMoreKindsAndPartialConsumption) {
    HpackDecoder d;
    // Complete :method GET, then a literal whose value is cut short.
    Decoded r = decode_hex(d, "82400161056162");
    EXPECT_EQ(r.r, HpackResult::NeedMoreStringUnderflow);
    EXPECT_EQ(r.consumed, 1u);
    EXPECT_EQ(d.table().count(), 0u);  // the partial literal was not inserted
    EXPECT_EQ(decode_err("4001"), HpackResult::NeedMoreStringUnderflow);
    EXPECT_EQ(decode_err("400161"), HpackResult::NeedMoreUnexpectedEndOfStream);
    EXPECT_EQ(decode_err("40"), HpackResult::NeedMoreUnexpectedEndOfStream);
    EXPECT_EQ(decode_err("7f"), HpackResult::NeedMoreIntegerUnderflow);
    EXPECT_EQ(decode_err("407f"), HpackResult::NeedMoreIntegerUnderflow);
    EXPECT_EQ(decode_err("ff"), HpackResult::NeedMoreIntegerUnderflow);
    EXPECT_EQ(decode_err(""), HpackResult::Ok);
}

TEST(HpackDecode, ValidationErrors) {
    EXPECT_EQ(decode_err("0003 3a6162 0178"), HpackResult::InvalidPseudoheader);  // ":ab"
    EXPECT_EQ(decode_err("08 023230"), HpackResult::InvalidStatusCode);           // "20"
    EXPECT_EQ(decode_err("08 03303030"), HpackResult::InvalidStatusCode);         // "000"
    EXPECT_EQ(decode_err("08 03323061"), HpackResult::InvalidStatusCode);         // "20a"
    EXPECT_EQ(decode_err("08 0439393939"), HpackResult::InvalidStatusCode);       // 4 digits
    EXPECT_EQ(decode_err("08 03393939"), HpackResult::Ok);
    EXPECT_EQ(decode_err("08 03313030"), HpackResult::Ok);
    EXPECT_EQ(decode_err("02 03472054"), HpackResult::InvalidUtf8);  // method "G T"
    EXPECT_EQ(decode_err("02 0446524f42"), HpackResult::Ok);         // FROB
    EXPECT_EQ(decode_err("01 02c328"), HpackResult::InvalidUtf8);    // :authority bad UTF-8
    EXPECT_EQ(decode_err("01 02c3a9"), HpackResult::Ok);             // é
    EXPECT_EQ(decode_err("04 03eda080"), HpackResult::InvalidUtf8);  // surrogate in :path
    EXPECT_EQ(decode_err("04 02c0af"), HpackResult::InvalidUtf8);    // overlong
    EXPECT_EQ(decode_err("00 0141 0178"), HpackResult::InvalidUtf8);  // upper-case name
    EXPECT_EQ(decode_err("00 00 0178"), HpackResult::InvalidUtf8);    // empty name
    EXPECT_EQ(decode_err("00 0261 20 0178"), HpackResult::InvalidUtf8);  // space in name
    EXPECT_EQ(decode_err("00 0161 030a0d78"), HpackResult::InvalidUtf8);  // CR LF in value
    EXPECT_EQ(decode_err("00 0161 0100"), HpackResult::InvalidUtf8);      // NUL in value
    EXPECT_EQ(decode_err("00 0161 02ff09"), HpackResult::Ok);  // obs-text and HTAB
    // NUL, CR and LF are refused in pseudo-header values as in field values.
    EXPECT_EQ(decode_err("04 032f0d0a"), HpackResult::InvalidUtf8);  // :path "/\r\n"
    EXPECT_EQ(decode_err("01 02610a"), HpackResult::InvalidUtf8);    // :authority "a\n"
    EXPECT_EQ(decode_err("06 02680d"), HpackResult::InvalidUtf8);    // :scheme "h\r"
    EXPECT_EQ(decode_err("04 022f00"), HpackResult::InvalidUtf8);    // :path "/\0"
    EXPECT_EQ(decode_err("04 022f09"), HpackResult::Ok);             // other controls pass
}

// Every octet at every place of values of 1 to 40 octets (the checks go a
// vector, a word or an octet at a time, with an overlapping last load),
// raw and Huffman-coded (a value of short codes only skips the checks), in
// a regular field and in :path.
TEST(HpackDecode, ValueOctetsAtEveryPlace) {
    auto decode = [](const std::vector<uint8_t>& b) {
        HpackDecoder d;
        Decoded out;
        return d.decode(b.data(), b.size(), &out.consumed, out.f, kBig);
    };
    auto huffman = [](std::vector<uint8_t> b, const std::string& v) {
        wl::ByteBuf coded;
        encode_string(coded, v);
        b.insert(b.end(), coded.data(), coded.data() + coded.size());
        return b;
    };
    for (size_t len = 1; len <= 40; ++len) {
        for (size_t at = 0; at < len; ++at) {
            for (int c = 0; c < 256; ++c) {
                std::string v(len, 'x');
                v[at] = char(c);
                std::vector<uint8_t> b = {0x00, 0x01, 'a', uint8_t(len)};
                b.insert(b.end(), v.begin(), v.end());
                bool ok = c == '\t' || (c >= 0x20 && c != 0x7f);
                HpackResult want = ok ? HpackResult::Ok : HpackResult::InvalidUtf8;
                ASSERT_EQ(decode(b), want) << len << " " << at << " " << c;
                ASSERT_EQ(decode(huffman({0x00, 0x01, 'a'}, v)), want) << len << " " << at << " " << c;
                bool path_ok = c < 0x80 && c != 0 && c != '\r' && c != '\n';
                ASSERT_EQ(decode(huffman({0x04}, v)), path_ok ? HpackResult::Ok : HpackResult::InvalidUtf8)
                    << len << " " << at << " " << c;
            }
        }
    }
}

TEST(HpackDecode, HuffmanErrors) {
    // "a" = 00011 then padding 111: valid. Padding of zeros: invalid.
    EXPECT_EQ(decode_err("00 811f 811f"), HpackResult::Ok);  // Huffman name and value
    EXPECT_EQ(decode_err("00 0161 8118"), HpackResult::InvalidHuffmanCode);
    EXPECT_EQ(decode_err("00 0161 811f"), HpackResult::Ok);
    // Padding longer than 7 bits: "a" + 0xff.
    EXPECT_EQ(decode_err("00 0161 821fff"), HpackResult::InvalidHuffmanCode);
    // EOS (30 ones) inside the string.
    EXPECT_EQ(decode_err("00 0161 84ffffffff"), HpackResult::InvalidHuffmanCode);
    EXPECT_EQ(decode_err("00 0161 84fffffffc"), HpackResult::InvalidHuffmanCode);
    // Empty Huffman string is the empty value.
    EXPECT_EQ(decode_err("00 0161 80"), HpackResult::Ok);
}

// ---------------------------------------------------------------- acceptance

TEST(HpackAccept, PseudoOrderDuplicatesConnectionFieldsTe) {
    HpackDecoder d;
    // regular x-a: b, then :method GET -> malformed, later fields still decode.
    Decoded r = decode_hex(d, "4003782d610162 82 4003782d630164");
    ASSERT_EQ(r.r, HpackResult::Ok);
    EXPECT_TRUE(r.f.malformed);
    EXPECT_FALSE(r.f.has(Pseudo::Method));
    EXPECT_EQ(r.f.headers.value_count(), 2u);
    EXPECT_EQ(d.table().count(), 2u);
    // The following block uses the entries the malformed block inserted.
    Decoded r2 = decode_hex(d, "82 be bf");
    ASSERT_EQ(r2.r, HpackResult::Ok);
    EXPECT_FALSE(r2.f.malformed);
    EXPECT_EQ(hpack_test::frame_fields(r2.f),
              (Fields{{":method", "GET"}, {"x-c", "d"}, {"x-a", "b"}}));

    EXPECT_TRUE(decode_hex(d, "8282").f.malformed);  // duplicate :method
    EXPECT_TRUE(decode_hex(d, "8283").f.malformed);  // GET then POST
    EXPECT_FALSE(decode_hex(d, "8284").f.malformed);

    for (const char* n : {"connection", "transfer-encoding", "upgrade", "keep-alive",
                          "proxy-connection"}) {
        HeaderFrame f;
        accept_field(f, n, "x", kBig);
        EXPECT_TRUE(f.malformed) << n;
        EXPECT_EQ(f.headers.value_count(), 0u);
        EXPECT_EQ(f.size, 0u);
        EXPECT_FALSE(f.seen_regular);
    }
    HeaderFrame te;
    accept_field(te, "te", "trailers", kBig);
    EXPECT_FALSE(te.malformed);
    EXPECT_EQ(te.headers.value_count(), 1u);
    for (const char* v : {"gzip", "Trailers", "trailers, gzip", ""}) {
        HeaderFrame f;
        accept_field(f, "te", v, kBig);
        EXPECT_TRUE(f.malformed) << v;
    }
}

// A field taken from either table is accepted as the same field written
// out as a literal: the facts the tables keep (pseudo kind, connection
// field) are those of its name and value.
TEST(HpackAccept, IndexedFieldsAcceptedAsTheirLiterals) {
    auto literal = [](uint8_t first, std::string_view n, std::string_view v) {
        std::vector<uint8_t> b = {first, uint8_t(n.size())};
        b.insert(b.end(), n.begin(), n.end());
        b.push_back(uint8_t(v.size()));
        b.insert(b.end(), v.begin(), v.end());
        return b;
    };
    auto outcome = [](HpackDecoder& d, std::vector<uint8_t> b) {
        Decoded out;
        out.r = d.decode(b.data(), b.size(), &out.consumed, out.f, kBig);
        return std::make_tuple(out.r, out.f.malformed, out.f.pseudo_mask, out.f.size,
                               hpack_test::frame_fields(out.f));
    };
    const std::vector<uint8_t> regular = literal(0x00, "x-r", "1");
    auto cat = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    Fields fields = {{":method", "GET"},       {":path", "/x"},        {":authority", "a"},
                     {":scheme", "https"},     {":status", "204"},     {":protocol", "websocket"},
                     {"te", "trailers"},       {"te", "gzip"},         {"connection", "close"},
                     {"upgrade", "h2c"},       {"keep-alive", "1"},    {"proxy-connection", "x"},
                     {"transfer-encoding", "chunked"}, {"x-a", "b"}};
    for (size_t i = 1; i <= 61; ++i)
        fields.emplace_back(wl::h2::tables::kStatic[i].name, wl::h2::tables::kStatic[i].value);
    for (size_t i = 0; i < fields.size(); ++i) {
        const auto& [n, v] = fields[i];
        for (bool after_regular : {false, true}) {
            std::vector<uint8_t> head = after_regular ? regular : std::vector<uint8_t>{};
            HpackDecoder lit, dyn;
            auto want = outcome(lit, cat(head, literal(0x00, n, v)));
            outcome(dyn, literal(0x40, n, v));  // inserted as entry 62
            EXPECT_EQ(outcome(dyn, cat(head, {0xbe})), want) << n << ": " << v;
            if (i >= fields.size() - 61) {
                HpackDecoder st;
                uint8_t idx = uint8_t(i - (fields.size() - 61) + 1);
                EXPECT_EQ(outcome(st, cat(head, {uint8_t(0x80 | idx)})), want) << int(idx);
            }
        }
    }
}

TEST(HpackAccept, PseudoValuesAndSizes) {
    HeaderFrame f;
    accept_field(f, ":method", "FROB", kBig);
    accept_field(f, ":status", "204", kBig);
    accept_field(f, ":protocol", "websocket", kBig);
    EXPECT_EQ(f.method, Method::Extension);
    EXPECT_EQ(f.method_text, "FROB");
    EXPECT_EQ(f.status, 204);
    EXPECT_EQ(f.protocol, "websocket");
    EXPECT_EQ(f.size, (7 + 4 + 32) + (7 + 3 + 32) + (9 + 9 + 32u));
    EXPECT_EQ(method_from_token("get"), Method::Extension);
    EXPECT_EQ(method_from_token("CONNECT"), Method::Connect);
    EXPECT_EQ(field_size(10, 0), 42u);
}

TEST(HpackAccept, OverSizeAndWayTooLarge) {
    // Limit 100: fields of 34 bytes each (a: b).
    HeaderFrame f;
    accept_field(f, "a", "b", 100);  // 34
    accept_field(f, "c", "d", 100);  // 68
    EXPECT_FALSE(f.over_size);
    accept_field(f, "e", "f", 100);  // 102 >= 100: dropped, over-size
    EXPECT_TRUE(f.over_size);
    accept_field(f, ":path", "/", 100);  // dropped too
    EXPECT_FALSE(f.has(Pseudo::Path));
    EXPECT_EQ(f.headers.value_count(), 2u);
    EXPECT_FALSE(f.too_large);
    // Reaching exactly the limit is over-size.
    HeaderFrame g;
    accept_field(g, "a", "b", 34);
    EXPECT_TRUE(g.over_size);
    // Past four times the limit stops decoding.
    HeaderFrame h;
    for (int i = 0; i < 11; ++i) EXPECT_TRUE(accept_field(h, "a", "b", 100));  // 374
    EXPECT_FALSE(accept_field(h, "a", "b", 100));                              // 408 > 400
    EXPECT_TRUE(h.too_large);
    // Saturating limit.
    HeaderFrame s;
    EXPECT_TRUE(accept_field(s, "a", "b", SIZE_MAX));
    EXPECT_FALSE(s.over_size);
}

TEST(HpackHostile, BombStopsAtWayTooLarge) {
    // One 4000-byte entry, then 200 one-byte references to it: a 205-byte
    // block that expands to ~800 KB against a 16 KB limit.
    wl::ByteBuf b;
    b.push(0x40);
    b.push(0x01);
    b.push('x');
    encode_int(b, 0, 7, 3950);
    b.append(std::string(3950, 'v'));
    for (int i = 0; i < 200; ++i) b.push(0xbe);
    HpackDecoder d;
    HeaderFrame f;
    size_t c;
    ASSERT_EQ(d.decode(b.data(), b.size(), &c, f, 16384), HpackResult::Ok);
    EXPECT_TRUE(f.too_large);
    EXPECT_TRUE(f.over_size);
    EXPECT_LT(c, b.size());                  // stopped early
    EXPECT_LE(f.headers.value_count(), 5u);  // nothing past the limit stored
    EXPECT_LE(f.headers.store_size(), 20000u);
}

TEST(HpackHostile, FullHeaderListMakesFrameOverSize) {
    HeaderFrame f;
    for (uint32_t i = 0; i < wl::HeaderList::kMaxNames; ++i)
    {
        std::string n = "n";
        n += std::to_string(i);
        accept_field(f, n, "", SIZE_MAX / 8);
    }
    EXPECT_FALSE(f.over_size);
    accept_field(f, "another", "", SIZE_MAX / 8);
    EXPECT_TRUE(f.over_size);
}

TEST(HpackHostile, FullHeaderListFromDecodedBlock) {
    // The decoder hands a pass's fields to the list in one batch: a list
    // that fills up still makes the frame over-size, and only then.
    for (uint32_t names : {wl::HeaderList::kMaxNames, wl::HeaderList::kMaxNames + 1}) {
        std::vector<uint8_t> b;
        for (uint32_t i = 0; i < names; ++i) {
            std::string n = "n";
            n += std::to_string(i);
            b.push_back(0x00);  // literal without indexing, new name
            b.push_back(uint8_t(n.size()));
            b.insert(b.end(), n.begin(), n.end());
            b.push_back(0x00);  // empty value
        }
        HpackDecoder d;
        HeaderFrame f;
        size_t c;
        ASSERT_EQ(d.decode(b.data(), b.size(), &c, f, SIZE_MAX / 8), HpackResult::Ok);
        EXPECT_EQ(c, b.size());
        EXPECT_EQ(f.over_size, names > wl::HeaderList::kMaxNames) << names;
        EXPECT_EQ(f.headers.name_count(), wl::HeaderList::kMaxNames);
    }
}

// ---------------------------------------------------------------- encoder

TEST(HpackEncode, StaticFullMatches) {
    HpackEncoder e;
    EXPECT_EQ(encode_hex(e, {{":method", "GET"}, {":scheme", "https"}, {":path", "/"}}),
              "828784");
    EXPECT_EQ(encode_hex(e, {{":method", "POST"}, {":scheme", "http"}, {":path", "/index.html"},
                             {"accept-encoding", "gzip, deflate"}}),
              "83868590");
    for (auto [s, idx] : std::vector<std::pair<const char*, int>>{
             {"200", 8}, {"204", 9}, {"206", 10}, {"304", 11}, {"400", 12}, {"404", 13},
             {"500", 14}}) {
        HpackEncoder e2;
        EXPECT_EQ(encode_hex(e2, {{":status", s}}), hex(std::vector<uint8_t>{uint8_t(0x80 | idx)}.data(), 1));
    }
    EXPECT_EQ(e.table().count(), 0u);
}

TEST(HpackEncode, InsertedThenIndexed) {
    HpackEncoder e;
    std::string first = encode_hex(e, {{"x-a", "b"}});
    EXPECT_EQ(first.substr(0, 2), "40");  // literal with indexing, new name
    EXPECT_EQ(encode_hex(e, {{"x-a", "b"}}), "be");
    // Same name, new value: name index from the dynamic table (before the insertion).
    std::string third = encode_hex(e, {{"x-a", "c"}});
    EXPECT_EQ(third.substr(0, 2), "7e");
    HpackDecoder d;
    HeaderFrame f;
    for (const std::string& h : {first, std::string("be"), third}) {
        f.reset();
        ASSERT_EQ(decode_hex(d, h).r, HpackResult::Ok);
    }
    EXPECT_EQ(table_of(d.table()), table_of(e.table()));
    EXPECT_EQ(table_of(d.table()), (Fields{{"x-a", "c"}, {"x-a", "b"}}));
}

TEST(HpackEncode, NeverInsertedNames) {
    HpackEncoder e;
    std::string a = encode_hex(e, {{"cookie", "a=b"}});
    std::string b = encode_hex(e, {{"cookie", "a=b"}});
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.substr(0, 4), "0f11");  // without indexing, name index 32
    EXPECT_EQ(e.table().count(), 0u);
    for (const char* n : {"age", "authorization", "content-length", "etag", "if-modified-since",
                          "if-none-match", "location", "set-cookie"}) {
        encode_hex(e, {{n, "1"}});
        EXPECT_EQ(e.table().count(), 0u) << n;
    }
    EXPECT_EQ(encode_hex(e, {{":path", "/x"}}).substr(0, 2), "04");
    EXPECT_EQ(e.table().count(), 0u);
}

TEST(HpackEncode, BigFieldsNotInserted) {
    HpackEncoder e;
    // 3040 + 1 + 32 = 3073 > 3072: literal without indexing.
    std::string big = encode_hex(e, {{"a", std::string(3040, 'v')}});
    EXPECT_EQ(big.substr(0, 2), "00");
    EXPECT_EQ(e.table().count(), 0u);
    std::string fits = encode_hex(e, {{"a", std::string(3039, 'v')}});
    EXPECT_EQ(fits.substr(0, 2), "40");
    EXPECT_EQ(e.table().count(), 1u);
    std::string big_static = encode_hex(e, {{"user-agent", std::string(3100, 'v')}});
    EXPECT_EQ(big_static.substr(0, 4), "0f2b");  // name index 58
}

TEST(HpackEncode, SizeUpdateQueue) {
    HpackEncoder e;
    e.set_send_header_table_size(4096);  // equal to the current maximum
    EXPECT_EQ(e.pending_count(), 0);
    e.set_send_header_table_size(100000);  // clamped to 4096
    EXPECT_EQ(e.pending_count(), 0);
    e.set_send_header_table_size(0);
    e.set_send_header_table_size(1000);  // (0, 1000)
    EXPECT_EQ(e.pending_count(), 2);
    EXPECT_EQ(e.pending_min(), 0u);
    EXPECT_EQ(e.pending_final(), 1000u);
    e.set_send_header_table_size(2000);  // (0, 2000)
    EXPECT_EQ(e.pending_final(), 2000u);
    EXPECT_EQ(encode_hex(e, {{":method", "GET"}}), "203fb10f82");
    EXPECT_EQ(e.table().max_size(), 2000u);
    EXPECT_EQ(e.pending_count(), 0);
    e.set_send_header_table_size(500);
    e.set_send_header_table_size(100);  // one value: 100
    EXPECT_EQ(e.pending_count(), 1);
    EXPECT_EQ(encode_hex(e, {}), "3f45");
    // Two pending, then a value below the minimum: one value.
    e.set_send_header_table_size(50);
    e.set_send_header_table_size(70);
    EXPECT_EQ(e.pending_count(), 2);
    e.set_send_header_table_size(10);
    EXPECT_EQ(e.pending_count(), 1);
    EXPECT_EQ(e.pending_final(), 10u);
    // One pending above the current maximum, then larger: one value.
    HpackEncoder e2;
    e2.set_send_header_table_size(0);
    encode_hex(e2, {});
    e2.set_send_header_table_size(100);
    e2.set_send_header_table_size(200);  // old 100 > max 0: one value
    EXPECT_EQ(e2.pending_count(), 1);
    EXPECT_EQ(e2.pending_final(), 200u);
}

TEST(HpackEncode, NextValueReusesName) {
    HpackEncoder e;
    HpackDecoder d;
    const std::string big(3100, 'z');
    std::vector<EncodeField> fs = {
        {FieldKind::Status, {}, "200"},
        {FieldKind::Regular, "set-cookie", "a=1"},  // static name 55, not inserted
        {FieldKind::NextValue, {}, "b=2"},
        {FieldKind::Regular, "x-custom", "1"},  // inserted, new name
        {FieldKind::NextValue, {}, "2"},
        {FieldKind::NextValue, {}, "3"},
        {FieldKind::Regular, "x-big", big},  // literal name, not inserted
        {FieldKind::NextValue, {}, "small"},
        {FieldKind::Regular, "accept-encoding", "gzip, deflate"},
        {FieldKind::NextValue, {}, "br"},
    };
    for (int round = 0; round < 2; ++round) {
        wl::ByteBuf out;
        e.encode(fs, out);
        HeaderFrame f;
        size_t c;
        ASSERT_EQ(d.decode(out.data(), out.size(), &c, f, kBig), HpackResult::Ok);
        EXPECT_EQ(hpack_test::frame_fields(f),
                  (Fields{{":status", "200"},
                          {"set-cookie", "a=1"},
                          {"set-cookie", "b=2"},
                          {"x-custom", "1"},
                          {"x-custom", "2"},
                          {"x-custom", "3"},
                          {"x-big", std::string(3100, 'z')},
                          {"x-big", "small"},
                          {"accept-encoding", "gzip, deflate"},
                          {"accept-encoding", "br"}}));
        EXPECT_EQ(table_of(d.table()), table_of(e.table()));
    }
    // The further value reuses the name index of the first: static 58 here,
    // then the dynamic name entry (index 63 once the new entry is in).
    HpackEncoder e4;
    std::vector<EncodeField> ua = {{FieldKind::Regular, "user-agent", "a"},
                                   {FieldKind::NextValue, {}, "b"}};
    wl::ByteBuf o4;
    e4.encode(ua, o4);
    EXPECT_EQ(hex(o4), "7a" "811f" "0f2b" "818f");
    std::vector<EncodeField> ua2 = {{FieldKind::Regular, "user-agent", "c"},
                                    {FieldKind::NextValue, {}, "d"}};
    o4.clear();
    e4.encode(ua2, o4);
    EXPECT_EQ(hex(o4).substr(0, 2), "7e");       // name from entry 62 (user-agent: a)
    EXPECT_EQ(hex(o4).substr(6, 4), "0f30");    // that entry is now 63
    // add_headers gives the same block as the explicit list.
    HpackEncoder e1, e2;
    wl::HeaderList h;
    h.append("x-a", "1");
    h.append("x-b", "2");
    h.append("x-a", "3");
    wl::ByteBuf o1, o2;
    e1.begin_block(o1);
    e1.add_headers(h, o1);
    std::vector<EncodeField> ex = {{FieldKind::Regular, "x-a", "1"},
                                   {FieldKind::NextValue, {}, "3"},
                                   {FieldKind::Regular, "x-b", "2"}};
    e2.encode(ex, o2);
    EXPECT_EQ(hex(o1), hex(o2));
}

// A map sent again finds its fields where they were in the last block, and
// still follows the table: a field grown too large for a shrunk table is a
// literal again, an evicted one is inserted again.
TEST(HpackEncode, RepeatedHeaderListFollowsTableChanges) {
    wl::HeaderList h;
    h.append("x-big", std::string(218, 'v'));  // 5 + 218 + 32 = 255
    h.append("x-a", "1");
    HpackEncoder by_list, by_field;
    std::vector<EncodeField> fs = {{FieldKind::Regular, "x-big", h.first_value(0)},
                                   {FieldKind::Regular, "x-a", "1"}};
    auto block = [&](std::optional<uint32_t> size) {
        if (size) {
            by_list.set_send_header_table_size(*size);
            by_field.set_send_header_table_size(*size);
        }
        wl::ByteBuf a, b;
        by_list.begin_block(a);
        by_list.add_headers(h, a);
        by_field.encode(fs, b);
        EXPECT_EQ(hex(a), hex(b));
        return hex(a);
    };
    block({});
    EXPECT_EQ(block({}), "bfbe");           // both found where they were
    EXPECT_EQ(block(300).substr(0, 4), "3f8d");  // the update, then x-big too large: a literal
    EXPECT_EQ(block(0).substr(0, 2), "20");
    block(4096);
    EXPECT_EQ(block({}), "bfbe");
}

TEST(HpackEncode, EvictedNameSourceWritesLiteralName) {
    HpackEncoder e;
    e.set_send_header_table_size(100);
    encode_hex(e, {{"x-name", "value-1"}});  // 6 + 7 + 32 = 45
    // A second value for the name: the insertion (45) evicts the first entry
    // only when the table cannot hold both; 100 holds two.
    std::string s2 = encode_hex(e, {{"x-name", "value-2"}});
    EXPECT_EQ(s2.substr(0, 2), "7e");
    EXPECT_EQ(e.table().count(), 2u);
    // Third: evicts the oldest (value-1); the name comes from value-2 (index 62).
    std::string s3 = encode_hex(e, {{"x-name", "value-3"}});
    EXPECT_EQ(s3.substr(0, 2), "7e");
    // With room for a single entry, the name source is evicted: literal name.
    HpackEncoder e1;
    e1.set_send_header_table_size(60);
    encode_hex(e1, {{"x-name", "value-1"}});
    std::string t = encode_hex(e1, {{"x-name", "value-2"}});
    EXPECT_EQ(t.substr(0, 4), "4085");  // literal name (Huffman, 5 octets)
    HpackDecoder d;
    d.set_recv_header_table_size(100);
    HpackEncoder e3;
    e3.set_send_header_table_size(60);
    for (const char* v : {"value-1", "value-2", "value-3"}) {
        std::string h = encode_hex(e3, {{"x-name", v}});
        Decoded r = decode_hex(d, h);
        ASSERT_EQ(r.r, HpackResult::Ok);
        EXPECT_EQ(hpack_test::frame_fields(r.f), (Fields{{"x-name", v}}));
    }
}

TEST(HpackEncode, LongStringLengthPrefix) {
    // A coded length of 127 or more takes a multi-octet prefix (bytes moved).
    for (size_t n : {100u, 126u, 127u, 128u, 200u, 1000u, 70000u}) {
        std::string s;
        for (size_t i = 0; i < n; ++i) s += char('a' + i % 26);
        wl::ByteBuf b;
        b.append("pre");
        encode_string(b, s);
        size_t L = huffman_encoded_len(s);
        const uint8_t* p = b.data() + 3;
        ASSERT_TRUE(*p & 0x80);
        uint32_t len;
        ASSERT_EQ(decode_int(p, b.data() + b.size(), 7, len), HpackResult::Ok);
        ASSERT_EQ(len, L);
        ASSERT_EQ(size_t(b.data() + b.size() - p), L);
        std::vector<uint8_t> out(2 * L + 1);
        size_t ol;
        ASSERT_TRUE(huffman_decode(p, L, out.data(), &ol));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), ol), s);
    }
    wl::ByteBuf e;
    encode_string(e, "");
    EXPECT_EQ(hex(e), "00");
}

// ---------------------------------------------------------------- Huffman

namespace {

// Bit-by-bit reference: walk the code table directly.
bool reference_decode(const uint8_t* in, size_t n, std::string* out) {
    using wl::h2::tables::kHuffEncode;
    uint32_t code = 0;
    int bits = 0;
    for (size_t i = 0; i < n * 8; ++i) {
        code = (code << 1) | ((in[i / 8] >> (7 - i % 8)) & 1);
        ++bits;
        if (bits > 30) return false;
        for (int s = 0; s < 257; ++s) {
            if (kHuffEncode[s].bits == bits && kHuffEncode[s].code == code) {
                if (s == 256) return false;
                out->push_back(char(s));
                code = 0;
                bits = 0;
                break;
            }
        }
    }
    // Leftover: at most 7 bits, all ones.
    return bits <= 7 && code == (1u << bits) - 1;
}

}  // namespace

TEST(HpackHuffman, FastPathMatchesBitByBitReference) {
    std::mt19937 rng(12345);
    int valid = 0;
    for (int iter = 0; iter < 3000; ++iter) {
        std::vector<uint8_t> in;
        if (iter % 2 == 0) {
            // Coded random text (valid), sometimes with the tail mangled.
            std::string s;
            // Up to a few hundred octets: the bulk path with its refills, then the tail.
            size_t n = rng() % (iter % 3 ? 40 : 300);
            for (size_t i = 0; i < n; ++i) s += char(iter % 4 == 0 ? rng() % 256 : 32 + rng() % 95);
            in.resize(huffman_encoded_len(s));
            huffman_encode(s, in.data());
            if (iter % 8 == 2 && !in.empty()) in.back() ^= uint8_t(1u << (rng() % 8));
            if (iter % 8 == 6) in.push_back(uint8_t(rng()));
        } else {
            size_t n = rng() % 12;
            for (size_t i = 0; i < n; ++i) {
                // Bias towards ones so long codes and padding come up often.
                uint8_t b = uint8_t(rng());
                if (rng() % 2) b |= uint8_t(rng());
                in.push_back(b);
            }
        }
        std::string ref;
        bool ref_ok = reference_decode(in.data(), in.size(), &ref);
        std::vector<uint8_t> out(2 * in.size() + 1);
        size_t ol = 0;
        bool printable = false;
        bool ok = huffman_decode(in.data(), in.size(), out.data(), &ol, &printable);
        ASSERT_EQ(ok, ref_ok) << hex(in.data(), in.size());
        if (ok) {
            ++valid;
            ASSERT_EQ(std::string(reinterpret_cast<char*>(out.data()), ol), ref);
            // Printable exactly when every code took at most 8 bits, and
            // then every octet is printable ASCII.
            bool short_codes = true;
            for (unsigned char c : ref) short_codes &= wl::h2::tables::kHuffEncode[c].bits <= 8;
            ASSERT_EQ(printable, short_codes) << hex(in.data(), in.size());
        }
    }
    EXPECT_GT(valid, 1000);
}

// The coder joins several short codes per step and falls back to one at a
// time; strings of every length mixing short and long codes come out as
// the codes written one bit at a time, padded with ones.
TEST(HpackHuffman, EncodeMatchesBitByBitReference) {
    using wl::h2::tables::kHuffEncode;
    std::mt19937 rng(777);
    for (int iter = 0; iter < 4000; ++iter) {
        std::string s;
        size_t n = iter % 48;
        for (size_t i = 0; i < n; ++i) {
            const char rare[] = {'\0', '\xff', '(', '+', '?'};  // codes of 10 to 26 bits
            s += iter % 3 == 0 ? char(rng() % 256) : rng() % 8 == 0 ? rare[rng() % 5] : char('a' + rng() % 26);
        }
        std::vector<uint8_t> ref;
        unsigned bits = 0;
        for (unsigned char c : s)
            for (int b = kHuffEncode[c].bits - 1; b >= 0; --b, ++bits) {
                if (bits % 8 == 0) ref.push_back(0);
                if (kHuffEncode[c].code >> b & 1) ref.back() |= uint8_t(0x80 >> bits % 8);
            }
        if (bits % 8) ref.back() |= uint8_t(0xff >> bits % 8);
        std::vector<uint8_t> out(huffman_encoded_len(s));
        ASSERT_EQ(out.size(), ref.size());
        ASSERT_EQ(huffman_encode(s, out.data()), out.data() + out.size());
        ASSERT_EQ(hex(out.data(), out.size()), hex(ref.data(), ref.size())) << iter;
    }
}

// The decoder skips the value checks for strings of short codes only.
TEST(HpackHuffman, CodesOfAtMostEightBitsArePrintableAscii) {
    for (int c = 0; c < 256; ++c) {
        if (wl::h2::tables::kHuffEncode[c].bits <= 8) {
            EXPECT_TRUE(c >= 0x20 && c <= 0x7e) << c;
        }
    }
}

TEST(HpackHuffman, EverySymbolRoundTrips) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += char(i);
    for (int i = 255; i >= 0; --i) all += char(i);
    std::vector<uint8_t> coded(huffman_encoded_len(all));
    ASSERT_EQ(huffman_encode(all, coded.data()), coded.data() + coded.size());
    std::vector<uint8_t> out(coded.size() * 2);
    size_t ol;
    ASSERT_TRUE(huffman_decode(coded.data(), coded.size(), out.data(), &ol));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), ol), all);
    // RFC example: "www.example.com".
    std::vector<uint8_t> w(huffman_encoded_len("www.example.com"));
    huffman_encode("www.example.com", w.data());
    EXPECT_EQ(hex(w.data(), w.size()), "f1e3c2e5f23a6ba0ab90f4ff");
}
