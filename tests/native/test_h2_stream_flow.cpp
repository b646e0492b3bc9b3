// Flow-control pairs, content length and the DATA budget against wide
// reference arithmetic.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "proto/h2/content_length.h"
#include "proto/h2/data_budget.h"
#include "proto/h2/flow_control.h"

using namespace wl::h2;

namespace {

bool in_i32(int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

}  // namespace

TEST(H2FlowControl, RandomOpsMatchWideModel) {
    std::mt19937_64 rng(12345);
    for (int round = 0; round < 2000; ++round) {
        FlowControl f;
        int64_t win = 0, avail = 0;
        for (int step = 0; step < 60; ++step) {
            uint32_t sz;
            switch (rng() % 4) {
                case 0: sz = uint32_t(rng() % 70000); break;
                case 1: sz = uint32_t(INT32_MAX - int64_t(rng() % 70000) + 2); break;
                case 2: sz = uint32_t(rng() % (uint64_t(INT32_MAX) + 1)); break;
                default: sz = uint32_t(rng()); break;
            }
            int op = int(rng() % 6);
            FlowError e = FlowError::None;
            FlowError want = FlowError::None;
            int64_t w2 = win, a2 = avail;
            auto step_to = [&](int64_t& v, int64_t delta) {
                if (want != FlowError::None) return;
                if (!in_i32(v + delta))
                    want = FlowError::Overflow;
                else
                    v += delta;
            };
            if (sz > uint32_t(INT32_MAX)) want = FlowError::SizeTooLarge;
            switch (op) {
                case 0: e = f.claim_capacity(sz); step_to(a2, -int64_t(sz)); break;
                case 1: e = f.assign_capacity(sz); step_to(a2, sz); break;
                case 2: e = f.inc_window(sz); step_to(w2, sz); break;
                case 3: e = f.dec_send_window(sz); step_to(w2, -int64_t(sz)); break;
                case 4:
                    e = f.dec_recv_window(sz);
                    step_to(w2, -int64_t(sz));
                    step_to(a2, -int64_t(sz));
                    break;
                case 5:
                    e = f.send_data(sz);
                    if (want == FlowError::None && sz > 0) {
                        if (int64_t(sz) > std::max<int64_t>(w2, 0)) {
                            want = FlowError::ExceedsWindow;
                        } else {
                            step_to(w2, -int64_t(sz));
                            step_to(a2, -int64_t(sz));
                        }
                    }
                    break;
            }
            ASSERT_EQ(e, want) << "op " << op << " sz " << sz;
            win = w2;
            avail = a2;
            ASSERT_EQ(f.window_raw(), win);
            ASSERT_EQ(f.available(), avail);
            ASSERT_EQ(f.window_size(), std::max<int64_t>(win, 0));
            ASSERT_EQ(f.has_unavailable(), win >= 0 && win > avail);
            auto u = f.unclaimed_capacity();
            if (win >= avail) {
                ASSERT_FALSE(u.has_value());
            } else {
                int64_t unclaimed = avail - win;
                int64_t threshold = win / 2;
                if (unclaimed < threshold)
                    ASSERT_FALSE(u.has_value());
                else
                    ASSERT_EQ(u.value_or(-1), unclaimed);
            }
        }
    }
}

TEST(H2FlowControl, Debug) {
    FlowControl f(-4465, 12);
    EXPECT_EQ(f.debug(), "FlowControl { window_size: Window(-4465), available: Window(12) }");
}

TEST(H2ContentLength, Kinds) {
    ContentLength c;
    EXPECT_EQ(c.debug(), "Omitted");
    c.set(10);
    EXPECT_TRUE(c.dec(10));
    EXPECT_FALSE(c.dec(1));
    EXPECT_EQ(c.remaining(), 0u);
    ContentLength h(true);
    h.set(5);
    EXPECT_EQ(h.debug(), "Head");
    EXPECT_FALSE(h.dec(1));
    EXPECT_TRUE(h.is_satisfied());
}

TEST(H2DataFrameBudget, DefaultsAndSaturation) {
    EXPECT_EQ(DataFrameBudget().available(), 32767u);
    EXPECT_EQ(DataFrameBudget::budget_for_window(51200), 25600u);
    EXPECT_EQ(DataFrameBudget::budget_for_window(0xffffffffu), 0x7fffffffu);

    DataFrameBudget b(SIZE_MAX);
    size_t charge = 99;
    ASSERT_TRUE(b.record(1, &charge));
    EXPECT_EQ(charge, 255u);
    b.release(UINT64_MAX);
    EXPECT_EQ(b.available(), SIZE_MAX);
    ASSERT_TRUE(b.record(UINT64_MAX, &charge));
    EXPECT_EQ(charge, 0u);
    EXPECT_EQ(b.available(), SIZE_MAX);
}

TEST(H2DataFrameBudget, RandomOpsMatchModel) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 500; ++round) {
        size_t configured = rng() % 4000;
        DataFrameBudget b(configured);
        uint64_t avail = configured, empty = 0;
        for (int step = 0; step < 300; ++step) {
            uint64_t n = rng() % 3 == 0 ? rng() : rng() % 300;
            if (rng() % 4 == 0) {
                b.release(n);
                avail = std::min<uint64_t>(configured, n > configured ? configured : avail + n);
            } else {
                size_t charge;
                bool ok = b.record(n, &charge);
                if (n == 0) {
                    ASSERT_EQ(ok, empty < 100);
                    ++empty;
                    ASSERT_EQ(charge, 0u);
                } else if (n >= 256) {
                    ASSERT_TRUE(ok);
                    avail = (n - 256 > configured) ? configured : std::min<uint64_t>(configured, avail + n - 256);
                } else {
                    uint64_t cost = 256 - n;
                    ASSERT_EQ(ok, avail >= cost);
                    if (ok) {
                        avail -= cost;
                        ASSERT_EQ(charge, cost);
                    }
                }
            }
            ASSERT_EQ(b.available(), avail);
            ASSERT_EQ(b.empty_frames(), empty);
        }
    }
}
