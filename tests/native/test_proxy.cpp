#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "proxy/proxy.h"

using namespace wl::proxy;

namespace {

IpAddr ip(const char* s) {
    IpAddr a;
    EXPECT_TRUE(parse_ip(s, &a)) << s;
    return a;
}

IpNet net(const char* s) {
    IpNet n;
    EXPECT_TRUE(parse_cidr(s, &n)) << s;
    return n;
}

}  // namespace

TEST(ProxyIp, ParsesAddresses) {
    IpAddr a;
    EXPECT_TRUE(parse_ip("1.2.3.4", &a));
    EXPECT_EQ(a.family, 4);
    EXPECT_EQ(a.bytes[0], 1);
    EXPECT_EQ(a.bytes[3], 4);
    EXPECT_TRUE(parse_ip("::", &a));
    EXPECT_EQ(a.family, 6);
    EXPECT_TRUE(parse_ip("::ffff:10.0.0.1", &a));
    EXPECT_EQ(a.family, 6);
    EXPECT_EQ(a.bytes[15], 1);
    EXPECT_TRUE(ip("2001:db8::1") == ip("2001:0db8:0:0:0:0:0:1"));
    EXPECT_FALSE(ip("1.2.3.4") == ip("::102:304"));
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "01.2.3.4", "1.2.3.4 ", " 1.2.3.4",
                            "a.b.c.d", "[::1]", "::1%eth0", ":::", "1:2:3:4:5:6:7:8:9", "example.com",
                            "1.2.3.4/8", "-1.2.3.4"})
        EXPECT_FALSE(parse_ip(bad, &a)) << bad;
    // an embedded NUL must not cut the text short
    EXPECT_FALSE(parse_ip(std::string_view("1.2.3.4\0x", 9), &a));
    std::string longv6(100, ':');
    EXPECT_FALSE(parse_ip(longv6, &a));
}

TEST(ProxyIp, Cidr) {
    EXPECT_TRUE(net("10.0.0.0/8").contains(ip("10.200.1.1")));
    EXPECT_FALSE(net("10.0.0.0/8").contains(ip("11.0.0.0")));
    EXPECT_TRUE(net("10.9.9.9/8").contains(ip("10.0.0.1")));  // host bits cleared
    EXPECT_TRUE(net("0.0.0.0/0").contains(ip("255.255.255.255")));
    EXPECT_FALSE(net("0.0.0.0/0").contains(ip("::1")));
    EXPECT_TRUE(net("192.168.1.128/25").contains(ip("192.168.1.255")));
    EXPECT_FALSE(net("192.168.1.128/25").contains(ip("192.168.1.127")));
    EXPECT_TRUE(net("1.2.3.4/32").contains(ip("1.2.3.4")));
    EXPECT_FALSE(net("1.2.3.4/32").contains(ip("1.2.3.5")));
    EXPECT_TRUE(net("2001:db8::/32").contains(ip("2001:db8:ffff::1")));
    EXPECT_FALSE(net("2001:db8::/32").contains(ip("2001:db9::")));
    EXPECT_TRUE(net("fe80::/10").contains(ip("febf::1")));
    EXPECT_FALSE(net("fe80::/10").contains(ip("fec0::1")));
    EXPECT_TRUE(net("::1/128").contains(ip("::1")));
    EXPECT_FALSE(net("::1/128").contains(ip("::2")));
    EXPECT_TRUE(net("::/0").contains(ip("ffff::")));
    EXPECT_FALSE(net("::/0").contains(ip("1.2.3.4")));
    IpNet n;
    for (const char* bad : {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/+8", "10.0.0.0/-1",
                            "10.0.0.0/8/8", "/8", "example.com/8", "10.0.0.0/1000", "10.0.0.0/ 8"})
        EXPECT_FALSE(parse_cidr(bad, &n)) << bad;
}

TEST(ProxyText, Base64) {
    EXPECT_EQ(base64_encode(""), "");
    EXPECT_EQ(base64_encode("f"), "Zg==");
    EXPECT_EQ(base64_encode("fo"), "Zm8=");
    EXPECT_EQ(base64_encode("foo"), "Zm9v");
    EXPECT_EQ(base64_encode("foob"), "Zm9vYg==");
    EXPECT_EQ(base64_encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(base64_encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64_encode(std::string_view("\xff\xfe\x00", 3)), "//4A");
}

TEST(ProxyText, PercentDecode) {
    EXPECT_EQ(percent_decode("a%20b%3a%3A"), "a b::");
    EXPECT_EQ(percent_decode("%"), "%");
    EXPECT_EQ(percent_decode("%4"), "%4");
    EXPECT_EQ(percent_decode("%zz%41"), "%zzA");
    EXPECT_EQ(percent_decode("%00"), std::string(1, '\0'));
    EXPECT_EQ(percent_decode("%%41"), "%A");
}

TEST(ProxyText, Utf8Repair) {
    const std::string R = "\xEF\xBF\xBD";
    struct Case {
        std::string in, out;
    } cases[] = {
        {"plain", "plain"},
        {"\xC3\xA9", "\xC3\xA9"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"\xFF", R},
        {"a\x80z", "a" + R + "z"},
        {"\xC3", R},
        {"\xE2\x82", R},                      // truncated: one replacement
        {"\xE2\x82z", R + "z"},
        {"\xC0\xAF", R + R},                  // overlong lead: each byte
        {"\xE0\x80\x80", R + R + R},          // overlong 3-byte
        {"\xED\xA0\x80", R + R + R},          // surrogate
        {"\xF4\x90\x80\x80", R + R + R + R},  // above U+10FFFF
        {"\xF0\x9F\x98", R},
        {"\xF0\x9F\x98\xF0\x9F\x98\x80", R + "\xF0\x9F\x98\x80"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utf8_repair(c.in), c.out);
        EXPECT_EQ(utf8_valid(c.in), c.in == c.out);
    }
}

TEST(ProxyMatch, ProxyStrings) {
    auto p = parse_proxy("user:pa:ss@proxy:1");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->uri, "http://proxy:1/");
    EXPECT_EQ(p->auth, Intercept::Auth::Basic);
    EXPECT_EQ(p->basic, "Basic " + base64_encode("user:pa:ss"));
    p = parse_proxy("socks5h://u@s");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->auth, Intercept::Auth::Raw);
    EXPECT_EQ(p->user, "u");
    EXPECT_EQ(p->password, "");
    EXPECT_FALSE(parse_proxy(""));
    EXPECT_FALSE(parse_proxy("ftp://x"));
    EXPECT_FALSE(parse_proxy("/x"));
}

TEST(ProxyMatch, FromEnvLookup) {
    static std::map<std::string, std::string>* env;
    std::map<std::string, std::string> e = {
        {"HTTP_PROXY", ""}, {"http_proxy", "low:1"}, {"all_proxy", "a:2"},
        {"HTTPS_PROXY", "\xff"}, {"https_proxy", "s:3"}, {"no_proxy", "skip.me"}};
    env = &e;
    auto lookup = [](const char* name) -> const char* {
        auto it = env->find(name);
        return it == env->end() ? nullptr : it->second.c_str();
    };
    Matcher m = Matcher::from_env(lookup);
    ASSERT_TRUE(m.http);
    EXPECT_EQ(m.http->uri, "http://a:2/");
    ASSERT_TRUE(m.https);
    EXPECT_EQ(m.https->uri, "http://s:3/");
    EXPECT_FALSE(m.intercept("http://skip.me/"));
    EXPECT_TRUE(m.intercept("http://x.skip.me.not/"));
    e["REQUEST_METHOD"] = "";
    m = Matcher::from_env(lookup);
    EXPECT_FALSE(m.http);
    EXPECT_FALSE(m.https);
    EXPECT_FALSE(m.intercept("http://x/"));
}

TEST(ProxyMatch, DomainRules) {
    NoProxy np = NoProxy::parse(" Example.COM ,.dot.org,, 10.0.0.0/8 ,::1");
    EXPECT_EQ(np.domains.size(), 2u);
    EXPECT_EQ(np.nets.size(), 2u);
    EXPECT_TRUE(np.excludes("example.com"));
    EXPECT_TRUE(np.excludes("A.EXAMPLE.com"));
    EXPECT_FALSE(np.excludes("anexample.com"));
    EXPECT_FALSE(np.excludes("com"));
    EXPECT_TRUE(np.excludes("dot.org"));
    EXPECT_TRUE(np.excludes("x.dot.org"));
    EXPECT_FALSE(np.excludes("xdot.org"));
    EXPECT_TRUE(np.excludes("10.1.1.1"));
    EXPECT_TRUE(np.excludes("::1"));
    EXPECT_FALSE(np.excludes("::2"));
    EXPECT_FALSE(np.excludes(""));
    EXPECT_TRUE(NoProxy::parse("*").excludes("host"));
    EXPECT_FALSE(NoProxy::parse("*").excludes("1.1.1.1"));
    EXPECT_TRUE(NoProxy::parse("").domains.empty());
}
