#include "proto/h2/huffman.h"

#include "proto/h2/hpack_tables.h"

namespace wl::h2 {

using tables::kHuffDecode;
using tables::kHuffEncode;
using tables::kHuffSub;
using tables::kHuffSym;

size_t huffman_encoded_len(std::string_view s) {
    size_t bits = 0;
    for (unsigned char c : s) bits += kHuffEncode[c].bits;
    return (bits + 7) / 8;
}

uint8_t* huffman_encode(std::string_view s, uint8_t* out) {
    // Codes are at most 30 bits, so with fewer than 32 bits pending the
    // accumulator never holds more than 62.
    uint64_t acc = 0;
    unsigned n = 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    const unsigned char* end = p + s.size();
    for (; p < end; ++p) {
        const tables::HuffCode& hc = kHuffEncode[*p];
        acc = (acc << hc.bits) | hc.code;
        n += hc.bits;
        if (n >= 32) {
            n -= 32;
            uint32_t w = uint32_t(acc >> n);
            out[0] = uint8_t(w >> 24);
            out[1] = uint8_t(w >> 16);
            out[2] = uint8_t(w >> 8);
            out[3] = uint8_t(w);
            out += 4;
        }
    }
    while (n >= 8) {
        n -= 8;
        *out++ = uint8_t(acc >> n);
    }
    if (n > 0) *out++ = uint8_t((acc << (8 - n)) | (0xffu >> n));
    return out;
}

bool huffman_decode(const uint8_t* in, size_t n, uint8_t* out, size_t* out_len) {
    uint8_t* o = out;
    uint32_t acc = 0;  // only the low 16 bits matter
    unsigned nbits = 0;
    unsigned cur = 0;
    for (size_t i = 0; i < n; ++i) {
        acc = (acc << 8) | in[i];
        nbits += 8;
        do {
            uint16_t e = kHuffDecode[cur][(acc >> (nbits - 8)) & 0xff];
            if (e & kHuffSym) {
                *o++ = uint8_t(e);
                nbits -= (e >> 8) & 0xf;
                cur = 0;
            } else if (e & kHuffSub) {
                nbits -= 8;
                cur = e & 0xff;
            } else {
                return false;
            }
        } while (nbits >= 8);
    }
    // Fewer than 8 bits are left: resolve them with the missing low bits
    // taken as padding (ones); symbols that fit entirely are real.
    while (nbits > 0) {
        unsigned pad = 8 - nbits;
        uint16_t e = kHuffDecode[cur][((acc << pad) | ((1u << pad) - 1)) & 0xff];
        if (!(e & kHuffSym) || ((e >> 8) & 0xf) > nbits) break;
        *o++ = uint8_t(e);
        nbits -= (e >> 8) & 0xf;
        cur = 0;
    }
    if (cur != 0) return false;
    uint32_t mask = (1u << nbits) - 1;
    if ((acc & mask) != mask) return false;
    *out_len = size_t(o - out);
    return true;
}

}  // namespace wl::h2
