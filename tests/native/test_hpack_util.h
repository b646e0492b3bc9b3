// Helpers shared by the HPACK tests.
#pragma once
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

}  // namespace hpack_test
