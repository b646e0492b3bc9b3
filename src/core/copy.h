// Copying received bytes into results. No Python here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace wl {

// memcpy for non-overlapping buffers, minus one trap: for copies of a few
// KiB and up memcpy moves with the string instruction, which some x86
// processors run ten times slower when the destination lies 1 to 63 bytes
// after the source modulo the 4 KiB page (every load then seems to depend
// on the store just before it). Where the result is allocated is up to the
// allocator, so a body copied piece by piece can land there on every piece.
// Such copies go through 64-byte vector steps instead, loads before stores.
inline void copy_bytes(void* dst, const void* src, size_t n) {
#if defined(__SSE2__)
    const uintptr_t gap = (reinterpret_cast<uintptr_t>(dst) - reinterpret_cast<uintptr_t>(src)) & 4095;
    if (n >= 256 && gap - 1 < 63) {
        auto* d = static_cast<uint8_t*>(dst);
        auto* s = static_cast<const uint8_t*>(src);
        size_t i = 0;
        for (; i + 64 <= n; i += 64) {
            __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 16));
            __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 32));
            __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 48));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), a);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i + 16), b);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i + 32), c);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i + 48), e);
        }
        std::memcpy(d + i, s + i, n - i);
        return;
    }
#endif
    std::memcpy(dst, src, n);
}

}  // namespace wl
