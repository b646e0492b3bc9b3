#include "proto/h1/scan.h"

namespace wl::h1 {

using namespace scan_detail;


size_t scan_value_ref(const uint8_t* p, size_t n) { return scan_ref<0x1f>(p, n); }
size_t scan_value_word(const uint8_t* p, size_t n) { return scan_word<0x1f>(p, n); }
size_t scan_target_ref(const uint8_t* p, size_t n) { return scan_ref<0x20>(p, n); }
size_t scan_target_word(const uint8_t* p, size_t n) { return scan_word<0x20>(p, n); }

#if defined(__SSE2__)
size_t scan_value_sse2(const uint8_t* p, size_t n) { return scan_sse2<0x1f>(p, n); }
size_t scan_target_sse2(const uint8_t* p, size_t n) { return scan_sse2<0x20>(p, n); }
#else
size_t scan_value_sse2(const uint8_t* p, size_t n) { return scan_word<0x1f>(p, n); }
size_t scan_target_sse2(const uint8_t* p, size_t n) { return scan_word<0x20>(p, n); }
#endif

}  // namespace wl::h1
