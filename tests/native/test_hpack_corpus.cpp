// HPACK against blocks produced by other encoders (hpack-test-case stories)
// and our encoder round-tripped through our decoder over the raw stories.
#include <gtest/gtest.h>

#include <map>

#include "proto/h2/hpack.h"
#include "test_hpack_util.h"

using namespace wl::h2;
using hpack_test::Case;
using hpack_test::Fields;
using hpack_test::load_story;
using hpack_test::stories;

namespace {

const std::string kData = WIRELET_DATA_DIR "/hpack-test-case";

// Fields that acceptance refuses, and why (the corpus comes from HTTP/1
// captures, so responses carry HTTP/1 connection fields).
const char* refusal_reason(const std::string& n, const std::string& v) {
    if (n == "connection" || n == "keep-alive" || n == "transfer-encoding" || n == "upgrade" ||
        n == "proxy-connection")
        return "connection-specific field";
    if (n == "te" && v != "trailers") return "te other than trailers";
    return nullptr;
}

}  // namespace

class HpackCorpus : public ::testing::TestWithParam<std::string> {};

TEST_P(HpackCorpus, EveryBlockOfEveryStoryDecodes) {
    std::vector<std::string> files = stories(kData + "/" + GetParam());
    ASSERT_EQ(files.size(), 26u) << "corpus missing under " << kData;
    size_t blocks = 0, malformed = 0;
    std::map<std::string, size_t> reasons;
    for (const std::string& path : files) {
        std::vector<Case> cases = load_story(path);
        ASSERT_FALSE(cases.empty()) << path;
        HpackDecoder d;
        for (size_t i = 0; i < cases.size(); ++i) {
            const Case& c = cases[i];
            if (c.table_size >= 0) d.set_recv_header_table_size(uint32_t(c.table_size));
            auto wire = hpack_test::unhex(c.wire);
            HeaderFrame f;
            size_t consumed = 0;
            HpackResult r = d.decode(wire.data(), wire.size(), &consumed, f, 16u << 20);
            ASSERT_EQ(r, HpackResult::Ok) << path << " case " << i << ": " << hpack_result_name(r);
            ASSERT_EQ(consumed, wire.size());
            HeaderFrame want = hpack_test::expected_frame(c.fields);
            bool refused = false;
            for (auto& [n, v] : c.fields)
                if (const char* why = refusal_reason(n, v)) {
                    refused = true;
                    ++reasons[why];
                }
            ASSERT_EQ(f.malformed, refused) << path << " case " << i;
            ASSERT_EQ(hpack_test::frame_fields(f), hpack_test::frame_fields(want))
                << path << " case " << i;
            ++blocks;
            malformed += f.malformed;
        }
    }
    EXPECT_GT(blocks, 1000u);
    RecordProperty("blocks", int(blocks));
    RecordProperty("malformed", int(malformed));
    for (auto& [why, n] : reasons) std::printf("  %s: %zu fields refused (%s)\n", GetParam().c_str(), n, why.c_str());
}

// The same blocks split at every third byte into two passes: the first pass
// keeps the incomplete tail, the second finishes it; the result is the same.
TEST_P(HpackCorpus, SplitBlocksDecodeTheSame) {
    std::vector<std::string> files = stories(kData + "/" + GetParam());
    for (size_t s = 0; s < files.size(); s += 4) {
        std::vector<Case> cases = load_story(files[s]);
        HpackDecoder whole, split;
        for (size_t i = 0; i < cases.size(); ++i) {
            auto wire = hpack_test::unhex(cases[i].wire);
            HeaderFrame f1, f2;
            size_t c;
            ASSERT_EQ(whole.decode(wire.data(), wire.size(), &c, f1, 16u << 20), HpackResult::Ok);
            size_t cut = (i * 3) % (wire.size() + 1);
            wl::ByteBuf held;
            held.append(wire.data(), cut);
            HpackResult r = split.decode(held, f2, 16u << 20);
            ASSERT_TRUE(r == HpackResult::Ok || is_need_more(r)) << hpack_result_name(r);
            held.append(wire.data() + cut, wire.size() - cut);
            ASSERT_EQ(split.decode(held, f2, 16u << 20), HpackResult::Ok);
            EXPECT_TRUE(held.empty());
            ASSERT_EQ(hpack_test::frame_fields(f1), hpack_test::frame_fields(f2));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Encoders, HpackCorpus,
                         ::testing::Values("nghttp2", "python-hpack", "go-hpack"));

namespace {

// Fields in story order; a repeated name right after itself becomes a
// NextValue field so that path is exercised too.
std::vector<EncodeField> to_fields(const Fields& fs) {
    std::vector<EncodeField> out;
    for (size_t i = 0; i < fs.size(); ++i) {
        EncodeField f = hpack_test::to_encode_field(fs[i].first, fs[i].second);
        if (i > 0 && f.kind == FieldKind::Regular && fs[i - 1].first == fs[i].first)
            f = EncodeField{FieldKind::NextValue, {}, f.value};
        out.push_back(f);
    }
    return out;
}

void round_trip_raw(uint32_t table_size) {
    std::vector<std::string> files = stories(kData + "/raw-data");
    ASSERT_EQ(files.size(), 26u);
    size_t blocks = 0, in = 0, out_bytes = 0;
    for (const std::string& path : files) {
        std::vector<Case> cases = load_story(path);
        HpackEncoder e;
        HpackDecoder d;
        e.set_send_header_table_size(table_size);
        for (size_t i = 0; i < cases.size(); ++i) {
            std::vector<EncodeField> fs = to_fields(cases[i].fields);
            wl::ByteBuf out;
            e.encode(fs, out);
            HeaderFrame f;
            size_t c;
            HpackResult r = d.decode(out.data(), out.size(), &c, f, 16u << 20);
            ASSERT_EQ(r, HpackResult::Ok) << path << " case " << i;
            ASSERT_EQ(c, out.size());
            ASSERT_EQ(hpack_test::frame_fields(f),
                      hpack_test::frame_fields(hpack_test::expected_frame(cases[i].fields)))
                << path << " case " << i;
            ASSERT_EQ(d.table().size(), e.table().size());
            ASSERT_EQ(d.table().count(), e.table().count());
            ++blocks;
            out_bytes += out.size();
            for (auto& [n, v] : cases[i].fields) in += n.size() + v.size();
        }
    }
    std::printf("  table %u: %zu blocks, %zu field bytes -> %zu encoded\n", table_size, blocks, in,
                out_bytes);
}

}  // namespace

TEST(HpackRoundTrip, RawStoriesDefaultTable) { round_trip_raw(4096); }
TEST(HpackRoundTrip, RawStoriesSmallTable) { round_trip_raw(256); }
TEST(HpackRoundTrip, RawStoriesNoTable) { round_trip_raw(0); }

// A HeaderList's fields (add_headers, which finds a field repeated at its
// place in the last block by one comparison) give the same bytes as the same
// fields looked up one by one, over every story, while the table size moves
// under them (entries evicted, fields turned too large for the table).
TEST(HpackRoundTrip, HeaderListsEncodeAsFieldLists) {
    const uint32_t sizes[] = {4096, 300, 2000, 0, 4096, 120};
    for (const std::string& path : stories(kData + "/raw-data")) {
        std::vector<Case> cases = load_story(path);
        HpackEncoder by_list, by_field;
        for (size_t i = 0; i < cases.size(); ++i) {
            if (i % 5 == 4) {
                by_list.set_send_header_table_size(sizes[i / 5 % 6]);
                by_field.set_send_header_table_size(sizes[i / 5 % 6]);
            }
            wl::HeaderList h;
            for (auto& [n, v] : cases[i].fields) h.append(n, v);
            std::vector<EncodeField> fs;
            for (uint32_t e = 0; e < h.name_count(); ++e)
                h.for_each_value(e, [&](std::string_view v) {
                    bool first = fs.empty() || fs.back().name != h.name(e);
                    fs.push_back({first ? FieldKind::Regular : FieldKind::NextValue, h.name(e), v});
                });
            wl::ByteBuf a, b;
            by_list.begin_block(a);
            by_list.add_headers(h, a);
            by_field.encode(fs, b);
            ASSERT_EQ(std::string_view(reinterpret_cast<const char*>(a.data()), a.size()),
                      std::string_view(reinterpret_cast<const char*>(b.data()), b.size()))
                << path << " case " << i;
        }
    }
}
