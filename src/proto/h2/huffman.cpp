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

static inline uint64_t load_be64(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return __builtin_bswap64(w);
}

bool huffman_decode(const uint8_t* in, size_t n, uint8_t* out, size_t* out_len, bool* printable) {
    const uint16_t* const root = kHuffDecode[0];
    uint8_t* o = out;
    const uint8_t* p = in;
    const uint8_t* end = in + n;
    // Left-aligned bit accumulator: the pending bits, a marker bit, then
    // zeros. A lookup is simply the top octet, and 8 or more bits are
    // pending exactly when the marker sits below the top octet.
    constexpr uint64_t kBelowTopOctet = UINT64_MAX >> 8;
    uint64_t acc = uint64_t(1) << 63;
    const uint16_t* tbl = root;
    bool long_code = false;  // a subtable was entered: some code is longer than 8 bits
    auto pending = [&] { return 63u - unsigned(__builtin_ctzll(acc)); };
    // Appends `bits` new bits (left-aligned in w, zeros below); at most 63
    // bits may then be pending.
    auto append = [&](uint64_t w, unsigned have, unsigned bits) {
        acc = (acc & (acc - 1)) | (w >> have) | (uint64_t(1) << (63 - have - bits));
    };
    // Looks up while 8 or more bits are pending.
    auto run = [&]() -> bool {
        while (acc & kBelowTopOctet) {
            uint16_t e = tbl[acc >> 56];
            acc <<= (e & 63);
            if (e & kHuffSym) [[likely]] {
                *o++ = uint8_t(e >> 8);
                tbl = root;
            } else if (e & kHuffSub) {
                tbl = kHuffDecode[e >> 8];
                long_code = true;
            } else {
                return false;
            }
        }
        return true;
    };
    // Bulk: top up with the whole octets that fit (56 or more bits then
    // pending), then seven root lookups, which need no check of the bits
    // left: each takes at most 8.
    while (end - p >= 8) {
        unsigned have = pending();
        unsigned take = (63 - have) >> 3;
        append(load_be64(p) & ~(UINT64_MAX >> (8 * take)), have, 8 * take);
        p += take;
        bool all = tbl == root;
        if (all) {
            int k = 0;
#pragma GCC unroll 7
            for (; k < 7; ++k) {
                uint16_t e = root[acc >> 56];
                if (!(e & kHuffSym)) [[unlikely]] break;
                acc <<= e & 63;
                o[k] = uint8_t(e >> 8);
            }
            o += k;
            all = k == 7;
        }
        if (!all && !run()) return false;
    }
    if (p < end) {
        if (!run()) return false;
        unsigned k = unsigned(end - p);  // 1..7, and fewer than 8 bits pending
        uint64_t w = 0;
        if (n >= 8) {
            w = load_be64(end - 8) << (8 * (8 - k));
        } else {
            for (unsigned i = 0; i < k; ++i) w |= uint64_t(p[i]) << (56 - 8 * i);
        }
        append(w, pending(), 8 * k);
    }
    if (!run()) return false;
    // Fewer than 8 bits are left: resolve them with the missing low bits
    // taken as padding (ones); symbols that fit entirely are real.
    unsigned nbits = pending();
    acc &= acc - 1;
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
    if (printable) *printable = !long_code;
    return true;
}

}  // namespace wl::h2
