// Tables of RFC 7541 (static table, Huffman code), generated into
// hpack_tables.cpp by tools/gen_hpack_tables.py. No Python here.
#pragma once
#include <cstdint>
#include <string_view>

namespace wl::h2::tables {

struct StaticEntry {
    std::string_view name, value;
};
// Index 1..61; entry 0 is empty. Constant-initialized, so it may be read
// during static initialization in other files.
extern constinit const StaticEntry kStatic[62];

struct HuffCode {
    uint32_t code;  // right-aligned
    uint8_t bits;
};
// Symbols 0..255 and 256 (end of string).
extern const HuffCode kHuffEncode[257];

// Decoding, 8 input bits per lookup: table 0 is the root, 1..14 subtables.
// Entry: symbol << 8 | kHuffSym | bits (bits consumed at this level, 1..8),
// subtable << 8 | kHuffSub | 8 (all 8 bits consumed), or 0 for an invalid
// code (including the end-of-string symbol). The low six bits of an entry
// are the number of bits it consumes.
inline constexpr uint16_t kHuffSym = 0x40;
inline constexpr uint16_t kHuffSub = 0x80;
inline constexpr uint16_t kHuffBits = 0x0f;
inline constexpr int kHuffTables = 15;
extern const uint16_t kHuffDecode[kHuffTables][256];

// Static name index (15..61) of a regular field name, 0 when none.
int static_name_index(std::string_view name);

}  // namespace wl::h2::tables
