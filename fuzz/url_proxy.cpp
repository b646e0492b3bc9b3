// URL parser and proxy matcher on arbitrary bytes.
// Invariants: never crash; an accepted URL written back parses again to the
// same form and pieces; proxy parsing and matching never throw.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/uri.h"
#include "proxy/proxy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);

    wl::Uri u;
    if (wl::parse_uri(in, &u) == wl::UriError::Ok) {
        std::string out;
        u.append_target(out);
        if (out.size() != u.target_size()) std::abort();
        wl::Uri again;
        if (wl::parse_uri(out, &again) != wl::UriError::Ok) std::abort();
        if (again.form != u.form || again.authority != u.authority || again.scheme_name() != u.scheme_name())
            std::abort();
        std::string_view port;
        uint16_t p;
        if (wl::authority_port_text(u.authority, &port)) (void)wl::parse_port(port, &p);
        (void)wl::authority_host(u.authority);
    }

    // Split the input into a proxy URL, a NO_PROXY list and a destination.
    size_t a = in.find('\n');
    size_t b = a == std::string_view::npos ? a : in.find('\n', a + 1);
    std::string_view proxy = in.substr(0, a);
    std::string_view no = a == std::string_view::npos ? std::string_view() : in.substr(a + 1, b - a - 1);
    std::string_view dest = b == std::string_view::npos ? in : in.substr(b + 1);
    auto m = wl::proxy::Matcher::from_parts(proxy, std::nullopt, std::nullopt, no);
    auto hit = m.intercept(dest);
    if (hit && hit->uri.empty()) std::abort();
    return 0;
}
