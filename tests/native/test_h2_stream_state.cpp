// The stream state as the HTTP/2 engine drives it: errors only the engine
// can produce (GOAWAY, I/O), the derived stop, and the value semantics.
#include <gtest/gtest.h>

#include "proto/h2/stream_state.h"

using namespace wl::h2;

namespace {

StreamState open_both() {
    StreamState s;
    EXPECT_EQ(s.send_open(false), Violation::None);
    EXPECT_EQ(s.recv_open(false, false).violation, Violation::None);
    return s;
}

void expect_stop(const StreamState& s, bool has_reason, Reason reason, bool conn) {
    Stop st = s.stop();
    EXPECT_EQ(st.has_reason, has_reason) << s.debug();
    if (has_reason) {
        EXPECT_EQ(st.reason, reason) << s.debug();
    }
    EXPECT_EQ(st.conn, conn) << s.debug();
}

}  // namespace

TEST(H2StreamState, GoAwayError) {
    StreamState s = open_both();
    auto data = std::make_shared<const std::string>(std::string("bye\n\"\\\x01\xff", 9));
    s.handle_error(Error::go_away(data, kEnhanceYourCalm, Initiator::Remote));
    EXPECT_EQ(s.debug(),
              "Closed(Error(GoAway(b\"bye\\n\\\"\\\\\\x01\\xff\\x00\", ENHANCE_YOUR_CALM, Remote)))");
    EXPECT_TRUE(s.is_reset());
    EXPECT_FALSE(s.is_local_error());
    EXPECT_FALSE(s.is_remote_reset());  // a GOAWAY is not a reset
    EXPECT_EQ(s.ensure_recv_open(), RecvOpen::Failed);
    EXPECT_EQ(s.error().kind, Error::Kind::GoAway);
    expect_stop(s, true, kEnhanceYourCalm, true);

    // Already closed: a later error does not replace the first.
    s.handle_error(Error::broken_pipe());
    EXPECT_EQ(s.error().kind, Error::Kind::GoAway);
}

TEST(H2StreamState, LocalGoAwayIsLocalError) {
    StreamState s = open_both();
    s.handle_error(Error::go_away(nullptr, kProtocolError, Initiator::Library));
    EXPECT_EQ(s.debug(), "Closed(Error(GoAway(b\"\", PROTOCOL_ERROR, Library)))");
    EXPECT_TRUE(s.is_local_error());
}

TEST(H2StreamState, GoAwayAfterEndStreamViaQueuedReset) {
    StreamState s;
    ASSERT_EQ(s.recv_open(true, false).violation, Violation::None);
    s.recv_reset(1, kCancel, false);
    EXPECT_EQ(s.cause(), CloseCause::ErrorAfterEndStream);
    expect_stop(s, true, kCancel, false);
    EXPECT_EQ(s.ensure_recv_open(), RecvOpen::No);
}

TEST(H2StreamState, StopTable) {
    StreamState idle;
    expect_stop(idle, false, 0, false);

    StreamState end;
    ASSERT_EQ(end.send_open(true), Violation::None);
    ASSERT_EQ(end.recv_open(true, false).violation, Violation::None);
    EXPECT_EQ(end.debug(), "Closed(EndStream)");
    expect_stop(end, false, 0, false);

    StreamState reset = open_both();
    reset.set_reset(1, kRefusedStream, Initiator::User);
    expect_stop(reset, true, kRefusedStream, false);

    StreamState io = open_both();
    io.recv_eof();
    expect_stop(io, false, 0, true);

    StreamState sched = open_both();
    ASSERT_TRUE(sched.set_scheduled_reset(kCancel));
    expect_stop(sched, true, kCancel, true);
}

TEST(H2StreamState, FailedTransitionsLeaveStateUntouched) {
    StreamState s = open_both();
    s.set_reset(9, kCancel, Initiator::User);
    std::string before = s.debug();
    EXPECT_EQ(s.send_open(false), Violation::User);
    EXPECT_EQ(s.reserve_local(), Violation::User);
    EXPECT_EQ(s.reserve_remote(), Violation::Protocol);
    EXPECT_EQ(s.recv_open(false, false).violation, Violation::Protocol);
    EXPECT_FALSE(s.recv_open(true, true).opened);
    EXPECT_EQ(s.recv_close(), Violation::Protocol);
    EXPECT_FALSE(s.send_close());
    EXPECT_EQ(s.debug(), before);
    EXPECT_EQ(s.error().stream_id, 9u);
}

TEST(H2StreamState, CopiesShareDebugData) {
    StreamState s = open_both();
    auto data = std::make_shared<const std::string>("x");
    s.handle_error(Error::go_away(data, kNoError, Initiator::Remote));
    StreamState copy = s;
    EXPECT_EQ(data.use_count(), 3);
    EXPECT_EQ(copy.debug(), s.debug());
    s.set_reset(1, kCancel, Initiator::Remote);  // drops the first copy's share
    EXPECT_EQ(data.use_count(), 2);
}

TEST(H2StreamState, EveryScriptKeepsInvariants) {
    // Every sequence of up to four operations: predicates stay consistent
    // with the state kind, and failed operations never change the state.
    enum Op { SendOpen, SendOpenEos, RecvOpen, RecvOpenEos, RecvInfo, RecvClose, SendClose,
              RecvReset, RecvResetQueued, Eof, Sched, ReserveL, ReserveR, OpCount };
    for (int code = 0; code < OpCount * OpCount * OpCount * OpCount; ++code) {
        StreamState s;
        int c = code;
        for (int step = 0; step < 4; ++step, c /= OpCount) {
            std::string before = s.debug();
            Violation v = Violation::None;
            switch (Op(c % OpCount)) {
                case SendOpen: v = s.send_open(false); break;
                case SendOpenEos: v = s.send_open(true); break;
                case RecvOpen: v = s.recv_open(false, false).violation; break;
                case RecvOpenEos: v = s.recv_open(true, false).violation; break;
                case RecvInfo: v = s.recv_open(false, true).violation; break;
                case RecvClose: v = s.recv_close(); break;
                case SendClose: s.send_close(); break;
                case RecvReset: s.recv_reset(1, kCancel, false); break;
                case RecvResetQueued: s.recv_reset(1, kCancel, true); break;
                case Eof: s.recv_eof(); break;
                case Sched: s.set_scheduled_reset(kCancel); break;
                case ReserveL: v = s.reserve_local(); break;
                case ReserveR: v = s.reserve_remote(); break;
                case OpCount: break;
            }
            if (v != Violation::None) {
                ASSERT_EQ(s.debug(), before);
            }
            ASSERT_EQ(s.is_closed(), s.kind() == StateKind::Closed);
            ASSERT_FALSE(s.is_send_streaming() && s.is_send_closed()) << s.debug();
            ASSERT_FALSE(s.is_recv_streaming() && s.is_recv_headers()) << s.debug();
            ASSERT_FALSE(s.is_recv_streaming() && s.is_recv_end_stream()) << s.debug();
            ASSERT_EQ(s.is_reset(), s.is_closed() && s.cause() != CloseCause::EndStream);
            ASSERT_EQ(s.ensure_recv_open() == RecvOpen::Failed,
                      s.is_closed() && (s.cause() == CloseCause::Error ||
                                        s.cause() == CloseCause::ScheduledLibraryReset));
        }
    }
}

TEST(H2Reason, DebugForms) {
    std::string out;
    append_reason_debug(out, kCancel);
    out += ' ';
    append_reason_debug(out, 14);
    out += ' ';
    append_reason_debug(out, 0);
    out += ' ';
    append_reason_debug(out, 0xffffffffu);
    EXPECT_EQ(out, "CANCEL Reason(0xe) NO_ERROR Reason(0xffffffff)");
    EXPECT_STREQ(reason_description(14), "unknown reason");
    EXPECT_STREQ(reason_description(kHttp11Required), "endpoint requires HTTP/1.1");
    EXPECT_EQ(reason_name(14), nullptr);
}
