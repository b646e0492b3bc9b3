// Helpers shared by the HPACK tests.
#pragma once
#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/buffer.h"
#include "proto/h2/hpack.h"

namespace hpack_test {

using Fields = std::vector<std::pair<std::string, std::string>>;

inline std::vector<uint8_t> unhex(std::string_view h) {
    std::vector<uint8_t> out;
    int hi = -1;
    for (char c : h) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;  // spaces and separators
        if (hi < 0) hi = v;
        else {
            out.push_back(uint8_t(hi << 4 | v));
            hi = -1;
        }
    }
    return out;
}

inline std::string hex(const uint8_t* p, size_t n) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}
inline std::string hex(const wl::ByteBuf& b) { return hex(b.data(), b.size()); }

// Pseudo-headers in a fixed order, then the regular fields in map order.
inline Fields frame_fields(const wl::h2::HeaderFrame& f) {
    using wl::h2::Pseudo;
    Fields out;
    if (f.has(Pseudo::Authority)) out.emplace_back(":authority", f.authority);
    if (f.has(Pseudo::Method))
        out.emplace_back(":method", f.method == wl::h2::Method::Extension
                                        ? f.method_text
                                        : std::string(wl::h2::method_text(f.method)));
    if (f.has(Pseudo::Scheme)) out.emplace_back(":scheme", f.scheme);
    if (f.has(Pseudo::Path)) out.emplace_back(":path", f.path);
    if (f.has(Pseudo::Protocol)) out.emplace_back(":protocol", f.protocol);
    if (f.has(Pseudo::Status)) out.emplace_back(":status", std::to_string(f.status));
    f.headers.for_each([&](std::string_view n, std::string_view v) {
        out.emplace_back(std::string(n), std::string(v));
    });
    return out;
}

// What acceptance makes of a plain field list (no size limit to speak of).
inline wl::h2::HeaderFrame expected_frame(const Fields& fields, size_t max_list = SIZE_MAX / 8) {
    wl::h2::HeaderFrame f;
    for (auto& [n, v] : fields) wl::h2::accept_field(f, n, v, max_list);
    return f;
}

inline wl::h2::EncodeField to_encode_field(const std::string& n, const std::string& v) {
    using wl::h2::FieldKind;
    FieldKind k = FieldKind::Regular;
    if (n == ":authority") k = FieldKind::Authority;
    else if (n == ":method") k = FieldKind::Method;
    else if (n == ":scheme") k = FieldKind::Scheme;
    else if (n == ":path") k = FieldKind::Path;
    else if (n == ":protocol") k = FieldKind::Protocol;
    else if (n == ":status") k = FieldKind::Status;
    return wl::h2::EncodeField{k, k == FieldKind::Regular ? std::string_view(n) : std::string_view(),
                               v};
}

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

inline std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline std::vector<std::string> stories(const std::string& dir) {
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

inline std::vector<Case> load_story(const std::string& path) {
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

}  // namespace hpack_test
