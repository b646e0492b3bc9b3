// HPACK against blocks produced by other encoders (hpack-test-case stories)
// and our encoder round-tripped through our decoder over the raw stories.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "proto/h2/hpack.h"
#include "test_hpack_util.h"

using namespace wl::h2;
using hpack_test::Fields;

namespace {

// ---- a small JSON reader: enough for the story files ----
struct Json {
    enum Kind { Null, Bool, Num, Str, Arr, Obj } kind = Null;
    double num = 0;
    std::string str;
    std::vector<Json> arr;
    std::vector<std::pair<std::string, Json>> obj;

    const Json* get(std::string_view k) const {
        for (auto& [n, v] : obj)
            if (n == k) return &v;
        return nullptr;
    }
};

struct JsonParser {
    std::string_view s;
    size_t i = 0;
    bool ok = true;

    void ws() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\n' || s[i] == '\r' || s[i] == '\t')) ++i;
    }
    static void put_utf8(std::string& o, uint32_t cp) {
        if (cp < 0x80) {
            o += char(cp);
        } else if (cp < 0x800) {
            o += char(0xc0 | cp >> 6);
            o += char(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            o += char(0xe0 | cp >> 12);
            o += char(0x80 | ((cp >> 6) & 0x3f));
            o += char(0x80 | (cp & 0x3f));
        } else {
            o += char(0xf0 | cp >> 18);
            o += char(0x80 | ((cp >> 12) & 0x3f));
            o += char(0x80 | ((cp >> 6) & 0x3f));
            o += char(0x80 | (cp & 0x3f));
        }
    }
    uint32_t hex4() {
        uint32_t v = 0;
        for (int k = 0; k < 4 && i < s.size(); ++k, ++i) {
            char c = s[i];
            v = v * 16 + uint32_t(c <= '9' ? c - '0' : (c | 32) - 'a' + 10);
        }
        return v;
    }
    std::string string() {
        std::string o;
        ++i;  // opening quote
        while (i < s.size() && s[i] != '"') {
            char c = s[i++];
            if (c != '\\') {
                o += c;
                continue;
            }
            char e = s[i++];
            switch (e) {
            case 'n': o += '\n'; break;
            case 't': o += '\t'; break;
            case 'r': o += '\r'; break;
            case 'b': o += '\b'; break;
            case 'f': o += '\f'; break;
            case 'u': {
                uint32_t cp = hex4();
                if (cp >= 0xd800 && cp < 0xdc00 && i + 1 < s.size() && s[i] == '\\') {
                    i += 2;
                    uint32_t lo = hex4();
                    cp = 0x10000 + ((cp - 0xd800) << 10) + (lo - 0xdc00);
                }
                put_utf8(o, cp);
                break;
            }
            default: o += e; break;
            }
        }
        ++i;
        return o;
    }
    Json value() {
        ws();
        Json j;
        if (i >= s.size()) {
            ok = false;
            return j;
        }
        char c = s[i];
        if (c == '{') {
            j.kind = Json::Obj;
            ++i;
            ws();
            if (s[i] == '}') {
                ++i;
                return j;
            }
            while (ok) {
                ws();
                std::string k = string();
                ws();
                ++i;  // ':'
                j.obj.emplace_back(std::move(k), value());
                ws();
                if (s[i++] == '}') break;
            }
        } else if (c == '[') {
            j.kind = Json::Arr;
            ++i;
            ws();
            if (s[i] == ']') {
                ++i;
                return j;
            }
            while (ok) {
                j.arr.push_back(value());
                ws();
                if (s[i++] == ']') break;
            }
        } else if (c == '"') {
            j.kind = Json::Str;
            j.str = string();
        } else if (c == 't' || c == 'f' || c == 'n') {
            j.kind = c == 'n' ? Json::Null : Json::Bool;
            j.num = c == 't';
            i += c == 'f' ? 5 : 4;
        } else {
            j.kind = Json::Num;
            size_t b = i;
            while (i < s.size() && (isdigit(s[i]) || s[i] == '-' || s[i] == '.' || s[i] == 'e' ||
                                    s[i] == 'E' || s[i] == '+'))
                ++i;
            j.num = std::stod(std::string(s.substr(b, i - b)));
        }
        return j;
    }
};

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::vector<std::string> stories(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 5 && n.rfind("story_", 0) == 0 && n.substr(n.size() - 5) == ".json")
                out.push_back(dir + "/" + n);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

struct Case {
    std::string wire;
    Fields fields;
    long table_size = -1;
};

std::vector<Case> load_story(const std::string& path) {
    std::string text = read_file(path);
    JsonParser p{text};
    Json root = p.value();
    std::vector<Case> out;
    const Json* cases = root.get("cases");
    if (!p.ok || !cases) return out;
    for (const Json& c : cases->arr) {
        Case k;
        if (const Json* w = c.get("wire")) k.wire = w->str;
        if (const Json* t = c.get("header_table_size")) k.table_size = long(t->num);
        if (const Json* h = c.get("headers"))
            for (const Json& one : h->arr)
                for (auto& [n, v] : one.obj) k.fields.emplace_back(n, v.str);
        out.push_back(std::move(k));
    }
    return out;
}

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
    ASSERT_EQ(files.size(), 32u) << "corpus missing under " << kData;
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
    ASSERT_EQ(files.size(), 32u);
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
