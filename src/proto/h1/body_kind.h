// How a message body is framed; shared by the head parser, the serializers
// and the body decoder. No Python here.
#pragma once
#include <cstdint>
#include <string_view>

namespace wl::h1 {

enum class BodyKind : uint8_t { Empty, Length, Chunked, Close };

// "empty", "length", "chunked" or "close".
const char* body_kind_name(BodyKind kind);
// "length", "chunked", "close"; every other name is an empty body.
BodyKind body_kind_from_name(std::string_view name);

}  // namespace wl::h1
