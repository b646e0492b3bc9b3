// The sending half of the HTTP/2 codec: HPACK-encoded header blocks framed as
// HEADERS + CONTINUATION, the request and response pseudo-header rules, and
// the DATA size check. Every writer appends to one ByteBuf. No Python here.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "core/buffer.h"
#include "core/headers.h"
#include "proto/h2/frame.h"
#include "proto/h2/hpack.h"

namespace wl::h2 {

// Request pseudo-headers, validated and ready to encode. Views point into
// the caller's strings (or into path_buf).
struct RequestPseudo {
    std::string_view method, scheme, authority, path;
    bool has_scheme = false, has_authority = false, has_path = false;
    std::string path_buf;
};

// Builds the request pseudo-headers from a method, a target and the
// optional connection scheme/authority. On failure returns false with the
// ValueError text in *msg.
bool build_request_pseudo(std::string_view method, std::string_view target,
                          const std::string_view* scheme, const std::string_view* authority,
                          RequestPseudo* out, std::string* msg);

// True when the headers hold a connection-specific field or a te other than
// "trailers" (its first value decides).
bool has_connection_specific(const HeaderList& h);

class FrameEncoder {
public:
    uint32_t max_frame_size() const { return max_frame_size_; }
    // The value must already be within 16384..16777215.
    void set_max_frame_size(uint32_t v) { max_frame_size_ = v; }
    void set_send_header_table_size(uint32_t v) { hpack_.set_send_header_table_size(v); }

    bool data_fits(size_t n) const { return n <= max_frame_size_; }
    std::string data_too_big_message(size_t n) const;

    void write_request_headers(ByteBuf& out, uint32_t sid, const RequestPseudo& p,
                               const HeaderList* headers, bool end_stream);
    // status must be 100..999.
    void write_response_headers(ByteBuf& out, uint32_t sid, uint16_t status,
                                const HeaderList* headers, bool end_stream, bool auto_date);
    void write_trailers(ByteBuf& out, uint32_t sid, const HeaderList* trailers);

    const HpackEncoder& hpack() const { return hpack_; }

private:
    size_t begin(ByteBuf& out);
    void finish(ByteBuf& out, size_t block_at, uint32_t sid, bool end_stream);

    uint32_t max_frame_size_ = kDefaultMaxFrameSize;
    HpackEncoder hpack_;
};

}  // namespace wl::h2
