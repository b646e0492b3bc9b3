// IMF-fixdate rendering and the per-thread, per-second Date cache.
// No Python here.
#pragma once
#include <cstdint>

namespace wl {

constexpr int kHttpDateLen = 29;

// Renders `secs` (seconds since 1970, UTC) as "Sun, 06 Nov 1994 08:49:37 GMT".
void render_imf_fixdate(int64_t secs, char out[kHttpDateLen]);

// The current date, re-rendered at most once per wall-clock second per
// thread. The pointer stays valid for the calling thread; copy it out.
const char* cached_http_date();
// The same for a given wall-clock second (the cache the current date uses).
const char* cached_http_date_at(int64_t secs);

}  // namespace wl
