// Drives the HTTP/2 stream primitives with byte-coded operation scripts and
// checks them against wide reference arithmetic and the state invariants.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "proto/h2/content_length.h"
#include "proto/h2/data_budget.h"
#include "proto/h2/flow_control.h"
#include "proto/h2/stream_state.h"

using namespace wl::h2;

namespace {

struct Reader {
    const uint8_t* p;
    size_t n;
    bool empty() const { return n == 0; }
    uint8_t byte() {
        if (!n) return 0;
        --n;
        return *p++;
    }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
        return v;
    }
    // Sizes clustered around the interesting edges.
    uint32_t size() {
        uint8_t sel = byte();
        switch (sel & 3) {
            case 0: return byte();
            case 1: return uint32_t(INT32_MAX) - byte() + (sel >> 7);
            case 2: return u32() & 0x7fffffff;
            default: return u32();
        }
    }
};

#define CHECK(c)              \
    do {                      \
        if (!(c)) std::abort(); \
    } while (0)

void check_state(const StreamState& s) {
    CHECK(s.is_closed() == (s.kind() == StateKind::Closed));
    CHECK(!(s.is_send_streaming() && s.is_send_closed()));
    CHECK(!(s.is_recv_streaming() && (s.is_recv_headers() || s.is_recv_end_stream())));
    CHECK(s.is_reset() == (s.is_closed() && s.cause() != CloseCause::EndStream));
    CHECK(!(s.is_local_error() && s.is_remote_reset()));
    CHECK(s.is_scheduled_reset() == s.get_scheduled_reset().has_value());
    CHECK(!s.debug().empty());
}

void run_state(Reader& r) {
    StreamState s;
    while (!r.empty()) {
        std::string before = s.debug();
        uint8_t op = r.byte();
        bool a = op & 0x10, b = op & 0x20;
        Violation v = Violation::None;
        switch (op & 0xf) {
            case 0: v = s.send_open(a); break;
            case 1: v = s.recv_open(a, b).violation; break;
            case 2: v = s.reserve_remote(); break;
            case 3: v = s.reserve_local(); break;
            case 4: v = s.recv_close(); break;
            case 5: s.send_close(); break;
            case 6: s.recv_reset(r.u32() & kMaxStreamId, r.u32(), a); break;
            case 7: s.recv_eof(); break;
            case 8: s.set_reset(r.u32() & kMaxStreamId, r.u32(), Initiator(r.byte() % 3)); break;
            case 9: s.set_scheduled_reset(r.u32()); break;
            case 10: (void)s.ensure_recv_open(); break;
            case 11: (void)s.stop(); break;
            default: {
                std::string data(r.byte(), 'x');
                s.handle_error(Error::go_away(std::make_shared<const std::string>(data), r.u32(),
                                              Initiator(r.byte() % 3)));
                break;
            }
        }
        if (v != Violation::None) CHECK(s.debug() == before);
        check_state(s);
    }
}

void run_flow(Reader& r) {
    FlowControl f;
    int64_t win = 0, avail = 0;
    while (!r.empty()) {
        uint8_t op = r.byte() % 6;
        uint32_t sz = r.size();
        int64_t w2 = win, a2 = avail;
        FlowError want = sz > uint32_t(INT32_MAX) ? FlowError::SizeTooLarge : FlowError::None;
        auto step = [&](int64_t& v, int64_t d) {
            if (want != FlowError::None) return;
            if (v + d < INT32_MIN || v + d > INT32_MAX)
                want = FlowError::Overflow;
            else
                v += d;
        };
        FlowError e = FlowError::None;
        switch (op) {
            case 0: e = f.claim_capacity(sz); step(a2, -int64_t(sz)); break;
            case 1: e = f.assign_capacity(sz); step(a2, sz); break;
            case 2: e = f.inc_window(sz); step(w2, sz); break;
            case 3: e = f.dec_send_window(sz); step(w2, -int64_t(sz)); break;
            case 4: e = f.dec_recv_window(sz); step(w2, -int64_t(sz)); step(a2, -int64_t(sz)); break;
            default:
                e = f.send_data(sz);
                if (want == FlowError::None && sz) {
                    if (int64_t(sz) > (w2 < 0 ? 0 : w2)) {
                        want = FlowError::ExceedsWindow;
                    } else {
                        step(w2, -int64_t(sz));
                        step(a2, -int64_t(sz));
                    }
                }
        }
        CHECK(e == want);
        win = w2;
        avail = a2;
        CHECK(f.window_raw() == win && f.available() == avail);
        auto u = f.unclaimed_capacity();
        if (u) CHECK(*u == avail - win && *u > 0 && *u >= win / 2);
    }
}

void run_counts(Reader& r) {
    size_t configured = r.u32() % 50000;
    DataFrameBudget b(configured);
    ContentLength c(r.byte() & 1);
    uint64_t avail = configured, empty = 0;
    while (!r.empty()) {
        uint8_t op = r.byte();
        uint64_t n = (op & 0x80) ? (uint64_t(r.u32()) << 32 | r.u32()) : r.byte() + (op & 0x40 ? 200 : 0);
        switch (op & 3) {
            case 0: {
                size_t charge;
                bool ok = b.record(n, &charge);
                if (n == 0) {
                    CHECK(ok == (empty < kMaxRecvEmptyDataFrames));
                    ++empty;
                } else if (n >= 256) {
                    CHECK(ok);
                    avail = n - 256 >= configured - avail ? configured : avail + (n - 256);
                } else {
                    CHECK(ok == (avail >= 256 - n));
                    if (ok) {
                        CHECK(charge == 256 - n);
                        avail -= charge;
                    }
                }
                break;
            }
            case 1:
                b.release(n);
                avail = n >= configured - avail ? configured : avail + n;
                break;
            case 2: {
                uint64_t before = c.remaining();
                bool ok = c.dec(n);
                if (c.kind() == ContentLength::Kind::Remaining)
                    CHECK(ok ? c.remaining() == before - n : (n > before && c.remaining() == before));
                else if (c.is_head())
                    CHECK(ok == (n == 0));
                else
                    CHECK(ok);
                break;
            }
            default:
                c.set(n);
                break;
        }
        CHECK(b.available() == avail && b.available() <= configured && b.empty_frames() == empty);
        CHECK(c.is_satisfied() == (c.kind() != ContentLength::Kind::Remaining || c.remaining() == 0));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    Reader r{data + 1, size - 1};
    switch (data[0] % 3) {
        case 0: run_state(r); break;
        case 1: run_flow(r); break;
        default: run_counts(r); break;
    }
    return 0;
}
