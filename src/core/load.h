#pragma once
// Unaligned loads from byte buffers, for scanning a word at a time. The 4-byte
// load is widened to 64 bits so callers may shift it past 32.

#include <cstdint>
#include <cstring>

namespace wl {

inline uint64_t load64(const void* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

inline uint64_t load32(const void* p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

inline uint16_t load16(const void* p) {
    uint16_t w;
    std::memcpy(&w, p, 2);
    return w;
}

}  // namespace wl
