// The HTTP/2 engine's connection control, resets and releases, driven
// directly with streams planted in its table.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "proto/h2/engine.h"

namespace wl::h2 {

// Plants records as the inbound and opening paths would.
struct EngineTestAccess {
    static Stream& add(Engine& e, uint32_t id, StateKind kind = StateKind::Open) {
        Stream s;
        s.id = id;
        s.handle = reinterpret_cast<Handle>(uintptr_t(id) * 16);
        s.send_flow = FlowControl(int32_t(e.peer_initial_window_), int32_t(e.peer_initial_window_));
        int32_t rw = int32_t(e.local_stream_recv_window_);
        s.recv_flow = FlowControl(rw, rw);
        if (kind != StateKind::Idle) (void)s.state.send_open(false);
        if (kind == StateKind::Open || kind == StateKind::HalfClosedRemote)
            (void)s.state.recv_open(kind == StateKind::HalfClosedRemote, false);
        auto [it, ok] = e.streams_.emplace(id, s);
        ++e.num_streams_;
        if (e.server_ && id > e.highest_peer_id_) e.highest_peer_id_ = id;
        if (!e.server_ && id >= e.next_stream_id_) e.next_stream_id_ = id + 2;
        return it->second;
    }
    // The peer sent n DATA bytes on the stream.
    static void receive(Engine& e, Stream& s, uint32_t n) {
        (void)e.conn_recv_.send_data(n);
        (void)s.recv_flow.send_data(n);
        s.recv_unreleased += n;
    }
    static FlowControl& conn_recv(Engine& e) { return e.conn_recv_; }
};

}  // namespace wl::h2

using namespace wl::h2;
using T = EngineTestAccess;

namespace {

EngineConfig config(bool server) {
    EngineConfig c;
    c.server = server;
    return c;
}

// Frames in a byte string: (type, flags, stream id, payload).
struct Frame {
    uint8_t type, flags;
    uint32_t sid;
    std::string payload;
};
std::vector<Frame> frames(std::string_view b) {
    std::vector<Frame> out;
    while (b.size() >= 9) {
        auto* p = reinterpret_cast<const uint8_t*>(b.data());
        uint32_t len = get_u24(p);
        out.push_back({p[3], p[4], get_u32(p + 5) & 0x7fffffff, std::string(b.substr(9, len))});
        b.remove_prefix(9 + len);
    }
    return out;
}
std::string take_all(Engine& e) {
    bool stopping;
    wl::ByteBuf* b = e.take_pending(&stopping);
    std::string s(b->view());
    e.recycle(b);
    return s;
}

}  // namespace

TEST(H2Engine, PeerInitialWindowOverflowIsRefusedBeforeAnythingApplies) {
    Engine e(config(false));
    ASSERT_FALSE(e.begin());
    take_all(e);
    Stream& s = T::add(e, 1);
    ASSERT_EQ(s.send_flow.inc_window(kMaxWindow - 65535 - 10), FlowError::None);
    SettingsFrame f;
    f.present = SettingsFrame::kHasInitialWindowSize | SettingsFrame::kHasMaxFrameSize |
                SettingsFrame::kHasMaxConcurrentStreams;
    f.initial_window_size = 65535 + 11;
    f.max_frame_size = 32768;
    f.max_concurrent_streams = 3;
    SettingsOutcome out;
    EngineError err = e.recv_settings(f, &out);
    EXPECT_EQ(err.kind, EngineError::Kind::Flow);
    EXPECT_EQ(err.reason, kFlowControlError);
    // Nothing was applied or acknowledged.
    EXPECT_FALSE(e.has_pending());
    EXPECT_EQ(e.peer_max_frame_size(), 16384u);
    EXPECT_FALSE(e.peer_max_concurrent_streams());
    EXPECT_EQ(e.peer_initial_window_size(), 65535u);
    EXPECT_EQ(s.send_flow.window_raw(), kMaxWindow - 10);
    // One less fits: applied to open send sides only, and the shifted streams wake.
    Stream& closed_local = T::add(e, 3, StateKind::HalfClosedLocal);
    (void)closed_local.state.send_close();
    f.initial_window_size = 65535 + 10;
    ASSERT_FALSE(e.recv_settings(f, &out));
    EXPECT_EQ(s.send_flow.window_raw(), kMaxWindow);
    EXPECT_EQ(e.stream(3)->send_flow.window_raw(), 65535);
    ASSERT_EQ(e.wake().size(), 1u);
    EXPECT_EQ(e.wake()[0], s.handle);
    EXPECT_EQ(out.flags, kFlagWake | kFlagSlotFreed);
    // Lowering wakes nobody and may leave a window negative.
    f.present = SettingsFrame::kHasInitialWindowSize;
    f.initial_window_size = 0;
    ASSERT_FALSE(e.recv_settings(f, &out));
    EXPECT_TRUE(e.wake().empty());
    EXPECT_EQ(s.send_flow.window_raw(), kMaxWindow - 65545);
}

TEST(H2Engine, OurAckShiftsStreamReceiveWindows) {
    EngineConfig c = config(true);
    c.initial_window_size = 1000;
    Engine e(c);
    ASSERT_FALSE(e.begin());
    Stream& s = T::add(e, 1);
    EXPECT_EQ(s.recv_flow.window_raw(), 65535);  // max(initial, 65535) until the ACK
    T::receive(e, s, 500);
    SettingsFrame ack;
    ack.ack = true;
    SettingsOutcome out;
    ASSERT_FALSE(e.recv_settings(ack, &out));
    EXPECT_EQ(s.recv_flow.window_raw(), 1000 - 500);
    EXPECT_EQ(s.recv_flow.available(), 1000 - 500);
    EXPECT_EQ(e.recv_settings(ack, &out).message, "received unexpected settings ack");
}

namespace {

int64_t g_now = 0;
int64_t fake_clock() { return g_now; }

struct Fixture {
    Engine e;
    explicit Fixture(bool server, EngineConfig c = EngineConfig{}) : e((c.server = server, c)) {
        g_now = 5'000'000'000;
        e.clock = &fake_clock;
        (void)e.begin();
        take_all(e);
    }
    std::vector<Frame> sent() { return frames(take_all(e)); }
};

}  // namespace

TEST(H2EngineReset, CoreResetPaths) {
    for (bool server : {false, true}) {
        Fixture f(server);
        Engine& e = f.e;
        Stream& s = T::add(e, 1);
        Handle h = s.handle;
        T::receive(e, s, 100);
        ResetOut out;
        ASSERT_FALSE(e.reset_stream(1, kCancel, Initiator::User, &out));
        EXPECT_EQ(out.handle, h);
        ASSERT_TRUE(out.stop);
        EXPECT_TRUE(out.stop->has_reason && out.stop->reason == kCancel && !out.stop->conn);
        EXPECT_EQ(out.flags, kFlagWake);
        EXPECT_FALSE(e.stream(1));
        EXPECT_EQ(e.num_streams(), 0u);
        EXPECT_TRUE(e.in_reset_store(1));
        ASSERT_EQ(e.drops().size(), 1u);
        EXPECT_EQ(e.drops()[0], h);
        e.drops().clear();
        auto fr = f.sent();
        ASSERT_EQ(fr.size(), 1u);
        EXPECT_EQ(fr[0].type, kRstStream);
        EXPECT_EQ(get_u32(reinterpret_cast<const uint8_t*>(fr[0].payload.data())), kCancel);
        // The unreleased bytes went back to the connection (no update yet: below half).
        EXPECT_EQ(T::conn_recv(e).available(), 65535);
        // A second reset finds nothing.
        ASSERT_FALSE(e.reset_stream(1, kCancel, Initiator::User, &out));
        EXPECT_FALSE(out.handle || out.stop || out.flags);
        EXPECT_FALSE(e.has_pending());

        // Closed by both END_STREAMs but still owing bytes: no RST_STREAM,
        // Closed(EndStream) becomes a local reset and is remembered.
        Stream& t = T::add(e, 3, StateKind::HalfClosedRemote);
        T::receive(e, t, 10);
        (void)t.state.send_close();
        (void)e.close_bookkeeping(t);
        ASSERT_TRUE(e.stream(3));
        ASSERT_FALSE(e.reset_stream(3, kNoError, Initiator::User, &out));
        EXPECT_TRUE(out.stop && out.stop->has_reason && out.stop->reason == kNoError);
        EXPECT_FALSE(e.stream(3));
        EXPECT_TRUE(e.in_reset_store(3));
        EXPECT_FALSE(e.has_pending());
        // Closed by the peer's reset: keeps its cause, is not remembered.
        Stream& u = T::add(e, 5);
        T::receive(e, u, 10);
        u.state.recv_reset(5, kInternalError, false);
        (void)e.close_bookkeeping(u);
        ASSERT_FALSE(e.reset_stream(5, kCancel, Initiator::User, &out));
        EXPECT_TRUE(out.stop && out.stop->reason == kInternalError);
        EXPECT_FALSE(e.in_reset_store(5));
        EXPECT_EQ(e.num_streams(), 0u);
        e.drops().clear();
    }
}

TEST(H2EngineReset, ResetOnErrorCapAndLateFrames) {
    EngineConfig c;
    c.max_local_error_reset_streams = 2;
    Fixture f(true, c);
    Engine& e = f.e;
    ResetOut out;
    EXPECT_EQ(e.reset_on_error(0, kProtocolError, &out).kind, EngineError::Kind::Value);
    for (uint32_t id : {1u, 3u}) {
        T::add(e, id);
        ASSERT_FALSE(e.reset_on_error(id, kProtocolError, &out));
        EXPECT_TRUE(out.handle && out.stop);
    }
    T::add(e, 5);
    EngineError err = e.reset_on_error(5, kProtocolError, &out);
    EXPECT_EQ(err.kind, EngineError::Kind::Protocol);
    EXPECT_EQ(err.reason, kEnhanceYourCalm);
    EXPECT_EQ(err.message, "too many stream resets");
    EXPECT_EQ(e.local_error_resets(), 3u);
    EXPECT_TRUE(e.stream(5));  // nothing else happened
    // Late frames on forgotten ids are answered without counting, and the
    // answers are bounded per write batch.
    take_all(e);
    for (uint32_t i = 0; i < kMaxLateResetsPerBatch + 5; ++i) {
        ASSERT_FALSE(e.reset_on_error(7, kStreamClosed, &out));
        EXPECT_EQ(out.flags, i < kMaxLateResetsPerBatch ? kFlagWake : 0u);
        EXPECT_FALSE(out.handle);
    }
    EXPECT_EQ(f.sent().size(), kMaxLateResetsPerBatch);
    EXPECT_EQ(e.local_error_resets(), 3u);
    ASSERT_FALSE(e.reset_on_error(7, kStreamClosed, &out));
    EXPECT_EQ(out.flags, kFlagWake);
    e.drops().clear();
}

TEST(H2EngineReset, ResetStoreKeepsTheNewestFiftyForOneSecond) {
    Fixture f(false);
    Engine& e = f.e;
    for (uint32_t i = 0; i < 60; ++i) e.reset_store_insert(2 * i + 1);
    size_t n = 0;
    for (uint32_t i = 0; i < 60; ++i) n += e.in_reset_store(2 * i + 1);
    EXPECT_EQ(n, kResetStoreMax);
    EXPECT_FALSE(e.in_reset_store(1));     // the oldest went
    EXPECT_TRUE(e.in_reset_store(119));    // the newest stays
    g_now += kResetStoreTtlNs;             // exactly one second still counts
    EXPECT_TRUE(e.reset_store_check(119));
    g_now += 1;
    EXPECT_FALSE(e.reset_store_check(119));
    EXPECT_FALSE(e.in_reset_store(119));  // the expired lookup removed it
    EXPECT_TRUE(e.in_reset_store(117));   // others stay until looked up or purged
    e.reset_store_insert(1001);           // insertion purges every expired entry
    EXPECT_FALSE(e.in_reset_store(117));
    EXPECT_TRUE(e.reset_store_check(1001));
}

TEST(H2EngineReset, AcloseBody) {
    Fixture f(true);
    Engine& e = f.e;
    // The request body was fully received but the response is still due:
    // only the receive accounting goes back; the stream stays active.
    Stream& s = T::add(e, 1, StateKind::HalfClosedRemote);
    T::receive(e, s, 40000);
    ResetOut out;
    ASSERT_FALSE(e.aclose_body(1, &out));
    EXPECT_FALSE(out.handle || out.stop);
    EXPECT_EQ(out.flags, kFlagWake);
    auto fr = f.sent();
    ASSERT_EQ(fr.size(), 1u);
    EXPECT_EQ(fr[0].type, kWindowUpdate);
    EXPECT_EQ(fr[0].sid, 0u);
    EXPECT_EQ(get_u32(reinterpret_cast<const uint8_t*>(fr[0].payload.data())), 40000u);
    ASSERT_TRUE(e.stream(1));
    EXPECT_EQ(e.num_streams(), 1u);
    EXPECT_TRUE(e.stream(1)->recv_reclaimed);
    EXPECT_EQ(e.release_capacity(1, 100), 0u);  // reclaimed: nothing more
    // Before the peer's END_STREAM: RST_STREAM(CANCEL).
    T::add(e, 3);
    ASSERT_FALSE(e.aclose_body(3, &out));
    EXPECT_TRUE(out.handle && out.stop && out.stop->reason == kCancel);
    fr = f.sent();
    ASSERT_EQ(fr.size(), 1u);
    EXPECT_EQ(fr[0].type, kRstStream);
    // Closed after both ends, owing bytes: released and removed, no RST.
    Stream& t = T::add(e, 5, StateKind::HalfClosedRemote);
    T::receive(e, t, 10);
    (void)t.state.send_close();
    (void)e.close_bookkeeping(t);
    ASSERT_FALSE(e.aclose_body(5, &out));
    EXPECT_FALSE(e.stream(5));
    EXPECT_FALSE(e.has_pending());
    ASSERT_FALSE(e.aclose_body(99, &out));
    EXPECT_FALSE(out.handle || out.stop || out.flags);
    e.drops().clear();
}

TEST(H2EngineRelease, RandomReleasesMatchExactModel) {
    // Many small releases give few updates; the windows the peer is granted
    // always equal exactly what was released, less the part not yet announced.
    uint64_t seed = 88172645463325252ull;
    auto rnd = [&](uint32_t n) {
        seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
        return uint32_t(seed % n);
    };
    for (int round = 0; round < 50; ++round) {
        Fixture f(false);
        Engine& e = f.e;
        Stream& s = T::add(e, 1);
        int64_t received = 0, released = 0, stream_granted = 0, conn_granted = 0, updates = 0;
        for (int step = 0; step < 400; ++step) {
            uint32_t room = uint32_t(s.recv_flow.window_raw());
            bool release = !(rnd(2) && room);
            if (!release) {
                uint32_t n = 1 + rnd(std::min<uint32_t>(room, 3000));
                T::receive(e, s, n);
                received += n;
            } else {
                uint32_t n = rnd(1500);
                e.release_capacity(1, n);
                released += std::min<int64_t>(n, received - released);
            }
            for (auto& fr : f.sent()) {
                ASSERT_EQ(fr.type, kWindowUpdate);
                uint32_t inc = get_u32(reinterpret_cast<const uint8_t*>(fr.payload.data()));
                (fr.sid ? stream_granted : conn_granted) += inc;
                ++updates;
            }
            ASSERT_EQ(s.recv_unreleased, received - released);
            // Advertised = initial - received + granted; capacity = initial - unreleased.
            ASSERT_EQ(s.recv_flow.window_raw(), 65535 - received + stream_granted);
            ASSERT_EQ(s.recv_flow.available(), 65535 - (received - released));
            ASSERT_EQ(T::conn_recv(e).window_raw(), 65535 - received + conn_granted);
            ASSERT_LE(stream_granted, released);
            // After a release nothing that reached the threshold stays unannounced.
            if (release) {
                ASSERT_FALSE(s.recv_flow.unclaimed_capacity());
            }
        }
        EXPECT_LT(updates, 400);
    }
}

TEST(H2EngineRelease, DataFrameBudget) {
    Fixture f(true);
    Engine& e = f.e;
    Stream& s = T::add(e, 1);
    size_t before = e.data_budget().available();
    s.data_budget_charged = 500;
    e.release_data_frame(1, 300);
    EXPECT_EQ(s.data_budget_charged, 500u);
    e.release_data_frame(1, 0);
    EXPECT_EQ(s.data_budget_charged, 500u);
    e.release_data_frame(1, 100);
    EXPECT_EQ(s.data_budget_charged, 500u - 156u);
    EXPECT_EQ(e.data_budget().available(), before);  // capped at the budget's size
    e.release_data_frame(77, 100);                    // unknown: nothing
}

TEST(H2EngineReset, RecvResetRateLimit) {
    Fixture f(true);
    Engine& e = f.e;
    for (int i = 0; i < 1000; ++i) ASSERT_FALSE(e.charge_recv_reset());
    EngineError err = e.charge_recv_reset();
    EXPECT_EQ(err.reason, kEnhanceYourCalm);
    g_now += 1'000'000'000;  // one second refills 33
    for (int i = 0; i < 33; ++i) ASSERT_FALSE(e.charge_recv_reset());
    EXPECT_TRUE(e.charge_recv_reset());
}

TEST(H2EngineControl, ClientGoAwayReturnsAbortedBytesAndFailAbortsAll) {
    Fixture f(false);
    Engine& e = f.e;
    for (uint32_t id : {1u, 3u, 5u}) {
        Stream& s = T::add(e, id);
        T::receive(e, s, 20000);
    }
    uint32_t flags;
    ASSERT_FALSE(e.recv_go_away(1, kNoError, "bye", &flags));
    EXPECT_EQ(flags & kFlagSlotFreed, kFlagSlotFreed);
    ASSERT_EQ(e.aborted().size(), 2u);
    for (auto& a : e.aborted()) EXPECT_TRUE(a.stop.has_reason && a.stop.conn && a.stop.reason == kNoError);
    EXPECT_EQ(e.stream_count(), 1u);
    EXPECT_EQ(e.num_streams(), 1u);
    // The 40000 bytes of the aborted streams went back to the connection.
    uint32_t granted = 0;
    for (auto& fr : f.sent()) granted += get_u32(reinterpret_cast<const uint8_t*>(fr.payload.data()));
    EXPECT_EQ(granted, 40000u);
    EXPECT_EQ(e.drops().size(), 2u);
    e.drops().clear();
    e.fail(nullptr, "gone");
    ASSERT_EQ(e.aborted().size(), 1u);
    EXPECT_TRUE(!e.aborted()[0].stop.has_reason && e.aborted()[0].stop.conn);
    EXPECT_EQ(e.stream_count(), 0u);
    EXPECT_EQ(e.stored_message(), "gone");
    e.drops().clear();
}
