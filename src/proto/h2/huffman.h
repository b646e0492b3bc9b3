// Huffman coding of HPACK string literals (RFC 7541 Appendix B). No Python here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace wl::h2 {

// Number of octets the coded form of s takes (padding included).
size_t huffman_encoded_len(std::string_view s);

// Codes s into out (room for huffman_encoded_len(s) octets, or simply
// 4 * s.size()), padding the last octet with one bits. Returns the end.
uint8_t* huffman_encode(std::string_view s, uint8_t* out);

// Decodes n coded octets into out, which must have room for 2 * n octets
// (the shortest code is 5 bits). False for a code not in the table, the
// end-of-string symbol, or padding longer than 7 bits or not all ones.
// *printable (when given) tells whether every code was of at most 8 bits:
// those are the printable ASCII octets (0x20 to 0x7E), so such a string
// needs no further check for control or non-ASCII octets.
bool huffman_decode(const uint8_t* in, size_t n, uint8_t* out, size_t* out_len,
                    bool* printable = nullptr);

}  // namespace wl::h2
