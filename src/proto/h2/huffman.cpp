#include "proto/h2/huffman.h"

#include <cstring>

#include "proto/h2/hpack_tables.h"

namespace wl::h2 {

using tables::kHuffBits;
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
    // Codes are at most 30 bits and at most 32 bits go in per step, so with
    // fewer than 32 bits pending the accumulator never holds more than 63.
    uint64_t acc = 0;
    unsigned n = 0;
    auto flush = [&] {
        if (n >= 32) {
            n -= 32;
            uint32_t w = uint32_t(acc >> n);
            out[0] = uint8_t(w >> 24);
            out[1] = uint8_t(w >> 16);
            out[2] = uint8_t(w >> 8);
            out[3] = uint8_t(w);
            out += 4;
        }
    };
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    const unsigned char* end = p + s.size();
    // Four octets per step when their codes together take at most 32 bits
    // (text mostly: its common octets have codes of 5 to 8 bits), else one.
    // The four codes are joined apart from the accumulator, so the chain
    // through it is one shift and one or per step.
    while (end - p >= 4) {
        const tables::HuffCode& a = kHuffEncode[p[0]];
        const tables::HuffCode& b = kHuffEncode[p[1]];
        const tables::HuffCode& c = kHuffEncode[p[2]];
        const tables::HuffCode& d = kHuffEncode[p[3]];
        unsigned cd = unsigned(c.bits) + d.bits;
        unsigned bits = unsigned(a.bits) + b.bits + cd;
        if (bits <= 32) {
            uint64_t ab = uint64_t(a.code) << b.bits | b.code;
            acc = (acc << bits) | (ab << cd | (uint64_t(c.code) << d.bits | d.code));
            n += bits;
            p += 4;
        } else {
            acc = (acc << a.bits) | a.code;
            n += a.bits;
            p += 1;
        }
        flush();
    }
    for (; p < end; ++p) {
        const tables::HuffCode& hc = kHuffEncode[*p];
        acc = (acc << hc.bits) | hc.code;
        n += hc.bits;
        flush();
    }
    while (n >= 8) {
        n -= 8;
        *out++ = uint8_t(acc >> n);
    }
    if (n > 0) *out++ = uint8_t((acc << (8 - n)) | (0xffu >> n));
    return out;
}

bool huffman_decode(const uint8_t* in, size_t n, uint8_t* out, size_t* out_len) {
    const uint16_t* const root = kHuffDecode[0];
    uint8_t* o = out;
    const uint8_t* p = in;
    const uint8_t* end = in + n;
    // Left-aligned bit accumulator: the top `nbits` bits are pending, so a
    // lookup is simply the top octet.
    uint64_t acc = 0;
    unsigned nbits = 0;
    const uint16_t* tbl = root;
    // Look up while 8 or more bits are pending. The chain from one lookup
    // to the next is load, shift by the entry's low bits, shift out the top
    // octet: the flag tests only steer the output and the table.
    auto step = [&]() -> bool {
        do {
            uint16_t e = tbl[acc >> 56];
            acc <<= (e & 63);
            nbits -= e & kHuffBits;
            if (e & kHuffSym) [[likely]] {
                *o++ = uint8_t(e >> 8);
                tbl = root;
            } else if (e & kHuffSub) {
                tbl = kHuffDecode[e >> 8];
            } else {
                return false;
            }
        } while (nbits >= 8);
        return true;
    };
    // Bulk: top the accumulator up from one 8-octet load (7 or 8 whole
    // octets fit, since fewer than 8 bits are pending).
    while (end - p >= 8) {
        unsigned take = (64 - nbits) >> 3;
        uint64_t w;
        std::memcpy(&w, p, 8);
        w = __builtin_bswap64(w);
        acc |= w >> nbits;
        nbits += take * 8;
        p += take;
        if (!step()) return false;
        // Bits of a partly loaded octet sit below nbits: clear them.
        acc = nbits ? acc & ~(UINT64_MAX >> nbits) : 0;
    }
    for (; p < end; ++p) {
        acc |= uint64_t(*p) << (56 - nbits);
        nbits += 8;
        if (!step()) return false;
    }
    // Fewer than 8 bits are left: resolve them with the missing low bits
    // taken as padding (ones); symbols that fit entirely are real.
    while (nbits > 0) {
        uint16_t e = tbl[(acc >> 56) | (0xffu >> nbits)];
        unsigned len = e & kHuffBits;
        if (!(e & kHuffSym) || len > nbits) break;
        *o++ = uint8_t(e >> 8);
        acc <<= len;
        nbits -= len;
        tbl = root;
    }
    if (tbl != root) return false;
    if (nbits && (acc >> (64 - nbits)) != (uint64_t(1) << nbits) - 1) return false;
    *out_len = size_t(o - out);
    return true;
}

}  // namespace wl::h2
