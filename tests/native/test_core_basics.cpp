#include <gtest/gtest.h>

#include "core/date.h"

TEST(Date, FixedInstant) {
    char out[wl::kHttpDateLen];
    wl::render_imf_fixdate(784111777, out);
    EXPECT_EQ(std::string(out, wl::kHttpDateLen), "Sun, 06 Nov 1994 08:49:37 GMT");
}
