#include "proto/h1/body_kind.h"

namespace wl::h1 {

const char* body_kind_name(BodyKind kind) {
    switch (kind) {
        case BodyKind::Length: return "length";
        case BodyKind::Chunked: return "chunked";
        case BodyKind::Close: return "close";
        case BodyKind::Empty: break;
    }
    return "empty";
}

BodyKind body_kind_from_name(std::string_view name) {
    if (name == "length") return BodyKind::Length;
    if (name == "chunked") return BodyKind::Chunked;
    if (name == "close") return BodyKind::Close;
    return BodyKind::Empty;
}

}  // namespace wl::h1
