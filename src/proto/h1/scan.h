// Fast scanning of long runs in an HTTP/1 head. No Python here.
//
// Each scanner returns the index of the first byte that ends a run, or n
// when the whole input is part of the run. Three implementations per
// scanner: a plain byte loop (the reference), a machine word at a time, and
// an SSE2 vector at a time. They must agree on every input; the dispatching
// function picks the fastest one the build supports.
#pragma once
#include <cstddef>
#include <cstdint>

namespace wl::h1 {

// Field values: stops at any control byte (0x00-0x1F, HTAB included) and DEL.
// Bytes 0x80-0xFF (obs-text) and visible ASCII are part of the run; the
// caller handles HTAB itself and resumes.
size_t scan_value_ref(const uint8_t* p, size_t n);
size_t scan_value_word(const uint8_t* p, size_t n);
size_t scan_value_sse2(const uint8_t* p, size_t n);  // falls back to word without SSE2

// Request-targets: stops at any byte 0x00-0x20 (space included) and DEL.
size_t scan_target_ref(const uint8_t* p, size_t n);
size_t scan_target_word(const uint8_t* p, size_t n);
size_t scan_target_sse2(const uint8_t* p, size_t n);

inline size_t scan_value(const uint8_t* p, size_t n) {
#if defined(__SSE2__)
    return scan_value_sse2(p, n);
#else
    return scan_value_word(p, n);
#endif
}

inline size_t scan_target(const uint8_t* p, size_t n) {
#if defined(__SSE2__)
    return scan_target_sse2(p, n);
#else
    return scan_target_word(p, n);
#endif
}

}  // namespace wl::h1
