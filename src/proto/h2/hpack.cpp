// Placeholder bodies so the interface links; replaced by the real coder.
#include "proto/h2/hpack.h"

namespace wl::h2 {

std::string_view pseudo_name(Pseudo p) {
    static constexpr std::string_view k[] = {":authority", ":method", ":scheme",
                                             ":path", ":protocol", ":status"};
    return k[unsigned(p)];
}
Method method_from_token(std::string_view) { return Method::Extension; }
std::string_view method_text(Method) { return {}; }
void HeaderFrame::reset() { *this = HeaderFrame(); }
std::string_view hpack_result_name(HpackResult) { return "Ok"; }

DynamicTable::DynamicTable(uint32_t max_size) : max_size_(max_size) {}
std::string_view DynamicTable::name(size_t) const { return {}; }
std::string_view DynamicTable::value(size_t) const { return {}; }
void DynamicTable::set_max_size(uint32_t m) { max_size_ = m; }
bool DynamicTable::insert(std::string_view, std::string_view) { return false; }
void DynamicTable::evict_one() {}
void DynamicTable::grow_slots() {}

HpackDecoder::HpackDecoder() {}
void HpackDecoder::set_recv_header_table_size(uint32_t v) {
    pending_limit_ = has_pending_ && pending_limit_ > v ? pending_limit_ : v;
    has_pending_ = true;
}
HpackResult HpackDecoder::decode(const uint8_t*, size_t, size_t* consumed, HeaderFrame&, size_t) {
    *consumed = 0;
    return HpackResult::Ok;
}
HpackResult HpackDecoder::decode(ByteBuf&, HeaderFrame&, size_t) { return HpackResult::Ok; }
bool accept_field(HeaderFrame&, std::string_view, std::string_view, size_t) { return true; }

HpackEncoder::Table::Table() {}
HpackEncoder::HpackEncoder() {}
void HpackEncoder::set_send_header_table_size(uint32_t) {}
void HpackEncoder::encode(std::span<const EncodeField>, ByteBuf&) {}
void HpackEncoder::begin_block(ByteBuf&) {}
void HpackEncoder::add(const EncodeField&, ByteBuf&) {}
void HpackEncoder::add_headers(const HeaderList&, ByteBuf&) {}

void encode_int(ByteBuf&, uint8_t, int, uint64_t) {}
HpackResult decode_int(const uint8_t*&, const uint8_t*, int, uint32_t&) { return HpackResult::Ok; }
void encode_string(ByteBuf&, std::string_view) {}

}  // namespace wl::h2
