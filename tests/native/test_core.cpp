// Core pieces that Python cannot reach well: the URI parser's tables, date
// rendering at fixed instants, buffer growth, the mutex under contention and
// the header collection's index.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/buffer.h"
#include "core/chars.h"
#include "core/copy.h"
#include "core/date.h"
#include "core/headers.h"
#include "core/mutex.h"
#include "core/uri.h"

using namespace wl;

// ---- dates ----

struct DateCase {
    int64_t secs;
    const char* text;
};

class DateRender : public ::testing::TestWithParam<DateCase> {};

TEST_P(DateRender, FixedInstant) {
    char out[kHttpDateLen];
    render_imf_fixdate(GetParam().secs, out);
    EXPECT_EQ(std::string(out, kHttpDateLen), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Instants, DateRender,
    ::testing::Values(DateCase{0, "Thu, 01 Jan 1970 00:00:00 GMT"},
                      DateCase{784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},
                      DateCase{951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
                      DateCase{4107542399, "Sun, 28 Feb 2100 23:59:59 GMT"},
                      DateCase{4107542400, "Mon, 01 Mar 2100 00:00:00 GMT"},
                      DateCase{253402300799, "Fri, 31 Dec 9999 23:59:59 GMT"}));

TEST(DateCache, RendersAgainOutsideTheCachedSecond) {
    // Forwards, backwards (a clock stepped back) and the same second again.
    for (int64_t t : {int64_t(784111777), int64_t(784111778), int64_t(784111700), int64_t(784111700)}) {
        char want[kHttpDateLen];
        render_imf_fixdate(t, want);
        EXPECT_EQ(std::string(cached_http_date_at(t), kHttpDateLen), std::string(want, kHttpDateLen)) << t;
    }
}

TEST(DateCache, SameSecondSameText) {
    const char* a = cached_http_date();
    std::string first(a, kHttpDateLen);
    std::string second(cached_http_date(), kHttpDateLen);
    // Either the same second or the very next one.
    EXPECT_EQ(first.substr(26), "GMT");
    EXPECT_EQ(second.size(), size_t(kHttpDateLen));
}

// ---- URI parser ----

struct UriOk {
    const char* in;
    UriForm form;
    const char* scheme;
    const char* authority;
    const char* target;  // written back
};

class UriAccept : public ::testing::TestWithParam<UriOk> {};

TEST_P(UriAccept, ParsesAndWritesBack) {
    const UriOk& c = GetParam();
    Uri u;
    ASSERT_EQ(parse_uri(c.in, &u), UriError::Ok) << c.in;
    EXPECT_EQ(u.form, c.form);
    EXPECT_EQ(u.scheme, c.scheme);
    EXPECT_EQ(u.authority, c.authority);
    std::string out;
    u.append_target(out);
    EXPECT_EQ(out, c.target);
    EXPECT_EQ(out.size(), u.target_size());
}

INSTANTIATE_TEST_SUITE_P(
    Forms, UriAccept,
    ::testing::Values(
        UriOk{"/", UriForm::Origin, "", "", "/"},
        UriOk{"/a/b?c=d", UriForm::Origin, "", "", "/a/b?c=d"},
        UriOk{"/a#frag", UriForm::Origin, "", "", "/a"},
        UriOk{"/?", UriForm::Origin, "", "", "/?"},
        UriOk{"*", UriForm::Asterisk, "", "", "*"},
        UriOk{"http://h", UriForm::Absolute, "http", "h", "http://h/"},
        UriOk{"HTTPS://h:1/x?y", UriForm::Absolute, "HTTPS", "h:1", "https://h:1/x?y"},
        UriOk{"http://h?q", UriForm::Absolute, "http", "h", "http://h/?q"},
        UriOk{"git+ssh://u@h/p", UriForm::Absolute, "git+ssh", "u@h", "git+ssh://u@h/p"},
        UriOk{"h:443", UriForm::Authority, "", "h:443", "h:443"},
        UriOk{"[::1]:80", UriForm::Authority, "", "[::1]:80", "[::1]:80"},
        UriOk{"/caf\xc3\xa9", UriForm::Origin, "", "", "/caf\xc3\xa9"},
        UriOk{"http://h%41/", UriForm::Absolute, "http", "h%41", "http://h%41/"},
        UriOk{"http://u%5B:p@h:65535", UriForm::Absolute, "http", "u%5B:p@h:65535", "http://u%5B:p@h:65535/"},
        UriOk{"http://[::ffff:1.2.3.4]:0080/", UriForm::Absolute, "http", "[::ffff:1.2.3.4]:0080",
              "http://[::ffff:1.2.3.4]:0080/"},
        UriOk{"x://[v1.a:b]/", UriForm::Absolute, "x", "[v1.a:b]", "x://[v1.a:b]/"}));

struct UriBad {
    std::string in;
    UriError err;
};

class UriReject : public ::testing::TestWithParam<UriBad> {};

TEST_P(UriReject, Reason) {
    Uri u;
    EXPECT_EQ(parse_uri(GetParam().in, &u), GetParam().err) << GetParam().in;
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, UriReject,
    ::testing::Values(UriBad{"", UriError::Empty}, UriBad{"/a b", UriError::InvalidUriChar},
                      UriBad{std::string("/a\0", 3), UriError::InvalidUriChar},
                      UriBad{"http://a b/", UriError::InvalidUriChar},
                      UriBad{"http://a:1:2/", UriError::InvalidAuthority},
                      UriBad{"http://[::1/", UriError::InvalidAuthority},
                      UriBad{"http://::1]/", UriError::InvalidAuthority},
                      UriBad{"http://u@/", UriError::InvalidAuthority},
                      // Brackets only around a whole IP-literal host.
                      UriBad{"http://[::1]x/", UriError::InvalidAuthority},
                      UriBad{"http://a[b]/", UriError::InvalidAuthority},
                      UriBad{"http://[]/", UriError::InvalidAuthority},
                      UriBad{"http://[x]/", UriError::InvalidAuthority},
                      UriBad{"http://u[@h/", UriError::InvalidAuthority},
                      UriBad{"http://[::1]@h/", UriError::InvalidAuthority},
                      UriBad{"[::1]]:80", UriError::InvalidAuthority},
                      UriBad{"http://h%4/", UriError::InvalidAuthority},
                      UriBad{"http://h%zz/", UriError::InvalidAuthority},
                      UriBad{"http://h:65536/", UriError::InvalidPort},
                      UriBad{"h:99999", UriError::InvalidPort},
                      UriBad{"http://:80/", UriError::InvalidAuthority},
                      UriBad{"HTTPS://u@:1/", UriError::InvalidAuthority},
                      UriBad{"http://h:x/", UriError::InvalidPort},
                      UriBad{"http:///", UriError::InvalidFormat},
                      UriBad{"a/b", UriError::InvalidFormat},
                      UriBad{"9a://h/", UriError::InvalidScheme},
                      UriBad{std::string(65, 'a').append("://h/"), UriError::SchemeTooLong},
                      UriBad{std::string(65535, '/'), UriError::TooLong}));

TEST(Uri, EveryReasonHasText) {
    for (int e = 1; e <= int(UriError::SchemeTooLong); ++e)
        EXPECT_STRNE(uri_error_reason(UriError(e)), "invalid uri");
    EXPECT_STREQ(uri_error_reason(UriError::PathMissing), "path missing");
}

TEST(Uri, AuthorityPieces) {
    EXPECT_EQ(authority_host("u:p@h:1"), "h");
    EXPECT_EQ(authority_host("[::1]:8"), "[::1]");
    std::string_view port;
    ASSERT_TRUE(authority_port_text("[::1]:8", &port));
    EXPECT_EQ(port, "8");
    EXPECT_FALSE(authority_port_text("[::1]", &port));
    uint16_t p = 0;
    EXPECT_TRUE(parse_port("+80", &p));
    EXPECT_EQ(p, 80);
    EXPECT_TRUE(parse_port("65535", &p));
    EXPECT_FALSE(parse_port("65536", &p));
    EXPECT_FALSE(parse_port("", &p));
    EXPECT_FALSE(parse_port("8a", &p));
    EXPECT_EQ(default_port("wss"), 443);
    EXPECT_EQ(default_port("HTTP"), 0);
}

// ---- character tables ----

TEST(Chars, TokenTableMatchesDefinition) {
    const std::string tchar = "!#$%&'*+-.^_`|~";
    for (int c = 0; c < 256; ++c) {
        bool expect = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      tchar.find(char(c)) != std::string::npos;
        EXPECT_EQ(is_token_char(uint8_t(c)), expect) << c;
        bool value_ok = c == '\t' || (c >= 0x20 && c != 0x7f);
        EXPECT_EQ(kFieldValueOk[c] != 0, value_ok) << c;
        // Every byte at every position of the block, overlapping-block and
        // byte paths; names fold to the table's lower case.
        for (size_t len : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 40}) {
            for (size_t at = 0; at < len; at += (len > 17 ? 7 : 1)) {
                std::string v(len, 'a');
                v[at] = char(c);
                EXPECT_EQ(is_field_value(v), value_ok) << c << " at " << at << " of " << len;
                std::string copy(len + 2, '#');
                EXPECT_EQ(copy_field_value(v.data(), len, copy.data() + 1), value_ok) << c << " at " << at;
                EXPECT_EQ(copy, "#" + v + "#") << c << " at " << at << " of " << len;  // exactly its bytes
                std::string name(len, 'Q'), lower(len, '?');
                name[at] = char(c);
                std::string want = std::string(len, 'q');
                want[at] = char(kTokenLower[c]);
                EXPECT_EQ(lower_token(name.data(), len, lower.data()), expect) << c << " at " << at << " of " << len;
                if (expect) {
                    EXPECT_EQ(lower, want) << c << " at " << at << " of " << len;
                }
            }
        }
    }
    char none = 0;
    EXPECT_FALSE(lower_token("", 0, &none));
    EXPECT_TRUE(has_list_token("Keep-Alive, CLOSE", "close"));
    EXPECT_FALSE(has_list_token("closed", "close"));
    EXPECT_FALSE(has_list_token("close\x80", "close"));
}

// ---- buffer ----

TEST(ByteBuf, GrowsConsumesAndCompacts) {
    ByteBuf b;
    std::string expect;
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        size_t n = rng() % 300;
        std::string chunk(n, char('a' + round % 26));
        b.append(chunk);
        expect += chunk;
        size_t take = rng() % (expect.size() + 1);
        b.consume(take);
        expect.erase(0, take);
        ASSERT_EQ(b.view(), expect);
    }
    EXPECT_LE(b.capacity(), 4096u);  // consumed space is reused
    ByteBuf moved(std::move(b));
    EXPECT_EQ(moved.view(), expect);
    EXPECT_TRUE(b.empty());
}

// ---- mutex ----

TEST(Mutex, ExcludesUnderContention) {
    Mutex mu;
    long counter = 0;
    constexpr int kThreads = 4, kIters = 200000;
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t)
        ts.emplace_back([&] {
            for (int i = 0; i < kIters; ++i) {
                LockGuard<Mutex> g(mu);
                ++counter;
            }
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(counter, long(kThreads) * kIters);
    EXPECT_TRUE(mu.try_lock());
    EXPECT_FALSE(mu.try_lock());
    mu.unlock();
}

TEST(Mutex, PoisonSticks) {
    PoisonMutex mu;
    EXPECT_FALSE(mu.poisoned());
    mu.lock();
    mu.poison();
    mu.unlock();
    EXPECT_TRUE(mu.poisoned());
}

// ---- header collection ----

static std::string numbered(const char* prefix, unsigned i) {
    std::string s(prefix);
    s.append(std::to_string(i));
    return s;
}

TEST(HeaderList, IndexGrowthAndLimit) {
    HeaderList l;
    for (uint32_t i = 0; i < HeaderList::kMaxNames; ++i)
        ASSERT_EQ(l.append(numbered("n", i), "v"), HeaderList::Status::Ok);
    EXPECT_EQ(l.append("n0", "v"), HeaderList::Status::Full);
    EXPECT_EQ(l.append("other", "v"), HeaderList::Status::Full);
    for (uint32_t i = 0; i < HeaderList::kMaxNames; i += 97)
        EXPECT_NE(l.find(numbered("n", i)), HeaderList::kNone);
}

TEST(HeaderList, RemovalKeepsEveryOtherNameFindable) {
    std::mt19937 rng(11);
    HeaderList l;
    std::vector<std::string> live;
    for (int i = 0; i < 5000; ++i) {
        if (!live.empty() && rng() % 3 == 0) {
            size_t k = rng() % live.size();
            ASSERT_TRUE(l.remove(live[k]));
            live.erase(live.begin() + long(k));
        } else {
            std::string n = numbered("h", unsigned(rng() % 400));
            l.append(n, "x");
            if (std::find(live.begin(), live.end(), n) == live.end()) live.push_back(n);
        }
        if (i % 250 == 0) {
            for (auto& n : live) {
                ASSERT_NE(l.find(n), HeaderList::kNone) << n;
            }
        }
    }
    EXPECT_EQ(l.name_count(), live.size());
}

TEST(HeaderList, SpansIntoAdoptedStore) {
    HeaderList l;
    auto all = l.store_bytes("Host: a\r\nX: 1\r\n");
    HeaderList::Span name{all.off, 4}, value{all.off + 6, 1};
    HeaderList::Span lname = l.store_lower(l.str(name));
    ASSERT_EQ(l.append_spans(lname, value), HeaderList::Status::Ok);
    EXPECT_EQ(l.first_value(l.find("host")), "a");
}

TEST(HeaderList, StorePastFourGibIsRefusedNotWrapped) {
    // The sizes are checked before any byte is read, so a view longer than
    // its memory is never touched.
    static const char kByte = 'v';
    std::string_view huge(&kByte, size_t(HeaderList::kMaxStore) + 1);
    HeaderList l;
    ASSERT_EQ(l.append("a", "1"), HeaderList::Status::Ok);
    EXPECT_EQ(l.append("a", huge), HeaderList::Status::TooLarge);
    EXPECT_EQ(l.append("b", huge.substr(0, HeaderList::kMaxStore - 1)), HeaderList::Status::TooLarge);
    EXPECT_EQ(l.set("a", huge), HeaderList::Status::TooLarge);
    EXPECT_THROW(l.store_bytes(huge), std::length_error);
    EXPECT_THROW(l.store_lower(huge), std::length_error);
    EXPECT_EQ(l.value_count(), 1u);
    EXPECT_EQ(l.first_value(l.find("a")), "1");
}

TEST(HeaderList, SeededHashSpreadsNamesChosenToCollide) {
    // 2000 names whose unseeded hashes share their low 12 bits: with 2000
    // names the index has 4096 slots, so unseeded they form one chain.
    HeaderList::set_hash_seed(0);
    std::vector<std::string> names;
    const uint32_t target = HeaderList::hash_name("x0") & 0xfff;
    for (uint32_t i = 0; names.size() < 2000; ++i) {
        std::string n = numbered("x", i);
        if ((HeaderList::hash_name(n) & 0xfff) == target) names.push_back(n);
    }
    auto longest = [&] {
        HeaderList l;
        for (auto& n : names) l.append(n, "v");
        return l.longest_probe();
    };
    EXPECT_GE(longest(), 1999u);
    HeaderList::set_hash_seed(0x9d1c3b5a7e2f4861ull);
    uint32_t seeded = longest();
    HeaderList::set_hash_seed(0);
    EXPECT_LT(seeded, 64u);
}

TEST(ByteBuf, PrependGoesInFrontWithOrWithoutRoom) {
    ByteBuf b;
    b.append("world", 5);
    b.prepend("hello ", 6);
    EXPECT_EQ(b.view(), "hello world");
    b.consume(6);
    b.prepend("big ", 4);  // fits in the consumed front
    EXPECT_EQ(b.view(), "big world");
    ByteBuf e;
    e.prepend("x", 1);
    EXPECT_EQ(e.view(), "x");
}

TEST(CopyBytes, EveryGapAndLengthCopiesExactly) {
    // Both ways of copying: gaps of a few bytes modulo the page take the
    // vector steps, others memcpy; lengths around the step size and its tail.
    std::vector<uint8_t> src(3 * 4096), dst(3 * 4096);
    for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i * 131 + 7);
    for (size_t gap : {0, 1, 15, 16, 63, 64, 65, 4095}) {
        for (size_t n : {0, 1, 255, 256, 257, 319, 320, 4096, 4097}) {
            const uint8_t* s = src.data() + 5;
            uint8_t* d = dst.data() + ((reinterpret_cast<uintptr_t>(s) + gap - reinterpret_cast<uintptr_t>(dst.data())) & 4095);
            std::fill(dst.begin(), dst.end(), 0xEE);
            copy_bytes(d, s, n);
            ASSERT_TRUE(std::equal(s, s + n, d)) << gap << " " << n;
            ASSERT_TRUE(std::all_of(dst.data(), d, [](uint8_t c) { return c == 0xEE; })) << gap << " " << n;
            ASSERT_TRUE(std::all_of(d + n, dst.data() + dst.size(), [](uint8_t c) { return c == 0xEE; }));
        }
    }
}
