#include "proto/h2/frame_encoder.h"

#include "core/chars.h"
#include "core/date.h"
#include "core/uri.h"

namespace wl::h2 {

namespace {

bool invalid_url(UriError e, std::string* msg) {
    *msg = std::string("invalid url: ") + uri_error_reason(e);
    return false;
}

// The connection's scheme and authority follow the URI grammar too. A
// connection passes the same pair with every request: the last pair that
// passed is remembered per thread and not parsed again.
UriError check_connection_origin(std::string_view scheme, std::string_view authority) {
    thread_local std::string ok_scheme, ok_authority;
    thread_local bool have_ok = false;
    if (have_ok && scheme == ok_scheme && authority == ok_authority) return UriError::Ok;
    std::string probe;
    probe.reserve(scheme.size() + 3 + authority.size());
    probe.append(scheme).append("://").append(authority);
    Uri pu;
    UriError pe = parse_uri(probe, &pu);
    if (pe == UriError::Ok && (pu.authority.size() != authority.size() || !pu.path.empty() ||
                               pu.has_query))
        pe = UriError::InvalidAuthority;
    if (pe == UriError::Ok && authority.empty()) pe = UriError::InvalidFormat;
    if (pe == UriError::Ok && scheme.size() + authority.size() <= 512) {
        // Cleared first: a failed assignment must not leave a half-updated pair.
        have_ok = false;
        ok_scheme.assign(scheme);
        ok_authority.assign(authority);
        have_ok = true;
    }
    return pe;
}

}  // namespace

bool build_request_pseudo(std::string_view method, std::string_view target,
                          const std::string_view* scheme, const std::string_view* authority,
                          RequestPseudo* out, std::string* msg) {
    if (!is_token(method)) {
        *msg = "invalid method: invalid HTTP method";
        return false;
    }
    Uri uri;
    UriError e = parse_uri(target, &uri);
    if (e != UriError::Ok) return invalid_url(e, msg);
    out->method = method;
    if (!uri.scheme.empty() && !uri.authority.empty()) {
        // The scheme as uri_parts reports it; the authority without user
        // information, which must never go out in a header.
        out->scheme = uri.scheme_name();
        std::string_view a = uri.authority;
        if (size_t at = a.rfind('@'); at != std::string_view::npos) a.remove_prefix(at + 1);
        out->authority = a;
    } else {
        if (!scheme || !authority) {
            *msg = "request target is a bare path but the connection has no authority; pass "
                   "authority=... to H2Connection or use an absolute-URL target";
            return false;
        }
        UriError pe = check_connection_origin(*scheme, *authority);
        if (pe != UriError::Ok) return invalid_url(pe, msg);
        out->scheme = *scheme;
        out->authority = *authority;
    }
    out->has_scheme = out->has_authority = true;
    // :path is the path and query as written; a path-less query gets "/".
    std::string_view pq;
    if (uri.form == UriForm::Asterisk) {
        pq = "*";
    } else if (!uri.path.empty()) {
        const char* b = uri.path.data();
        const char* end = uri.has_query ? uri.query.data() + uri.query.size() : b + uri.path.size();
        pq = {b, size_t(end - b)};
    } else if (uri.has_query) {
        out->path_buf.assign("/?").append(uri.query);
        pq = out->path_buf;
    }
    if (pq.empty()) pq = method == "OPTIONS" ? "*" : "/";
    out->path = pq;
    out->has_path = true;
    if (method == "CONNECT") out->has_scheme = out->has_path = false;
    return true;
}

bool has_connection_specific(const HeaderList& h) {
    static constexpr std::string_view kBanned[] = {"connection", "transfer-encoding", "upgrade",
                                                   "keep-alive", "proxy-connection"};
    for (std::string_view n : kBanned)
        if (h.contains(n)) return true;
    uint32_t te = h.find("te");
    return te != HeaderList::kNone && h.first_value(te) != "trailers";
}

std::string FrameEncoder::data_too_big_message(size_t n) const {
    return "DATA payload " + std::to_string(n) + " exceeds SETTINGS_MAX_FRAME_SIZE " +
           std::to_string(max_frame_size_);
}

size_t FrameEncoder::begin(ByteBuf& out) {
    out.tail(kFrameHeaderLen);
    out.commit(kFrameHeaderLen);
    size_t at = out.size();
    hpack_.begin_block(out);
    return at;
}

void FrameEncoder::finish(ByteBuf& out, size_t block_at, uint32_t sid, bool end_stream) {
    frame_header_block(out, block_at, sid, end_stream, max_frame_size_);
}

void FrameEncoder::write_request_headers(ByteBuf& out, uint32_t sid, const RequestPseudo& p,
                                         const HeaderList* headers, bool end_stream) {
    size_t at = begin(out);
    hpack_.add({FieldKind::Method, {}, p.method}, out);
    if (p.has_scheme) hpack_.add({FieldKind::Scheme, {}, p.scheme}, out);
    if (p.has_authority) hpack_.add({FieldKind::Authority, {}, p.authority}, out);
    if (p.has_path) hpack_.add({FieldKind::Path, {}, p.path}, out);
    if (headers) hpack_.add_headers(*headers, out);
    finish(out, at, sid, end_stream);
}

void FrameEncoder::write_response_headers(ByteBuf& out, uint32_t sid, uint16_t status,
                                          const HeaderList* headers, bool end_stream,
                                          bool auto_date) {
    size_t at = begin(out);
    char digits[3] = {char('0' + status / 100), char('0' + status / 10 % 10), char('0' + status % 10)};
    hpack_.add({FieldKind::Status, {}, {digits, 3}}, out);
    if (headers) hpack_.add_headers(*headers, out);
    if (auto_date && !(headers && headers->contains("date"))) {
        const char* d = cached_http_date();
        hpack_.add({FieldKind::Regular, "date", {d, size_t(kHttpDateLen)}}, out);
    }
    finish(out, at, sid, end_stream);
}

void FrameEncoder::write_trailers(ByteBuf& out, uint32_t sid, const HeaderList* trailers) {
    size_t at = begin(out);
    if (trailers) hpack_.add_headers(*trailers, out);
    finish(out, at, sid, true);
}

}  // namespace wl::h2
