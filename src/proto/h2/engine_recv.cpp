// Inbound per-stream frames: HEADERS, DATA, WINDOW_UPDATE and RST_STREAM.
//
// Every check that can refuse a frame runs before anything is changed, so a
// connection error leaves the engine as it was, and a stream error leaves
// only the accounting the stream error itself calls for (the frame's bytes
// counted against the connection window and given back).
#include <string>

#include "proto/h2/engine.h"

namespace wl::h2 {

namespace {

// The peer's side has ended (END_STREAM seen): it may send no more HEADERS
// or DATA on the stream.
bool peer_ended(const StreamState& st) {
    if (st.kind() == StateKind::HalfClosedRemote) return true;
    return st.is_closed() &&
           (st.cause() == CloseCause::EndStream || st.cause() == CloseCause::ErrorAfterEndStream);
}

// Content-length rules for a received head; false on a violation.
bool head_length_ok(const HeadersIn& f) {
    if (f.content_length_invalid) return false;
    if (f.has_content_length && f.content_length > 0 && f.end_stream && f.status != 204 &&
        f.status != 304)
        return false;
    return true;
}

}  // namespace

// ------------------------------------------------------------------ HEADERS

EngineError Engine::recv_headers(const HeadersIn& f, Handle spare, HeadersOut* out) {
    *out = HeadersOut{};
    const uint32_t sid = f.stream_id;
    const size_t before = pending_->size();
    uint32_t flags = 0;
    auto finish = [&]() {
        if (pending_->size() > before) flags |= kFlagWake;
        out->flags = flags;
        return EngineError{};
    };

    if (Stream* s = find(sid)) {
        StreamState& st = s->state;
        if (st.is_closed()) {
            if (st.is_local_error()) return finish();  // late frame after our reset
            // Ended cleanly or reset by the peer, kept only for what it owes:
            // the frame belongs to a stream that is over. The record goes and
            // the frame is refused for this stream alone.
            release_record(*s);
            flags |= close_bookkeeping(*s);  // s is dangling from here
            if (reset_store_check(sid)) return finish();
            return EngineError::stream(sid, kStreamClosed);
        }
        if (st.is_recv_headers()) {
            if (f.informational && f.end_stream) return EngineError::stream(sid, kProtocolError);
            // Checked before the transition: on a violation the stream stays
            // open, so the reset that follows reaches the peer.
            bool check_length = !f.informational && !s->is_head;
            if (check_length && !head_length_ok(f)) return EngineError::stream(sid, kProtocolError);
            OpenResult r = st.recv_open(f.end_stream, f.informational);
            if (r.violation != Violation::None) return EngineError::violation(r.violation);
            if (f.informational) return finish();  // still waiting for the final head
            if (check_length && f.has_content_length) s->content_length.set(f.content_length);
            out->kind = kHeadersHead;
            out->handle = s->handle;
            out->eof = f.end_stream;
            if (st.is_closed()) flags |= close_bookkeeping(*s);
            return finish();
        }
        // The peer already ended its side: HEADERS on a half-closed (remote)
        // stream is that stream's error alone.
        if (peer_ended(st)) return EngineError::stream(sid, kStreamClosed);
        if (!f.end_stream) return EngineError::stream(sid, kProtocolError);
        // Trailers. A body that ended short of its declared length is refused
        // before the state moves, for the same reason as above.
        if (!s->content_length.is_satisfied()) return EngineError::stream(sid, kProtocolError);
        if (Violation v = st.recv_close(); v != Violation::None) return EngineError::violation(v);
        out->kind = kHeadersTrailers;
        out->handle = s->handle;
        out->eof = true;
        if (st.is_closed()) flags |= close_bookkeeping(*s);
        return finish();
    }

    if (!server_) {
        if (reset_store_check(sid)) return finish();
        if (may_have_existed(sid)) return EngineError::stream(sid, kStreamClosed);
        return idle_stream_error(sid);
    }

    if (reset_store_check(sid)) return finish();
    if (beyond_final_goaway(sid)) return finish();
    if ((sid & 1) == 0 || sid <= highest_peer_id_)
        return EngineError::protocol(kProtocolError, "invalid new stream id " + std::to_string(sid));
    // The spare is checked first: a call without one changes nothing, so the
    // retry with a spare still finds the id new.
    if (!spare) return EngineError::value("recv_headers: the server role needs a spare stream handle");
    if (cfg_.max_concurrent_streams && num_streams_ >= *cfg_.max_concurrent_streams) {
        highest_peer_id_ = sid;  // refused, but spent
        return EngineError::stream(sid, kRefusedStream);
    }

    Stream rec;
    rec.id = sid;
    rec.handle = spare;
    rec.send_flow = FlowControl(int32_t(peer_initial_window_), int32_t(peer_initial_window_));
    rec.recv_flow =
        FlowControl(int32_t(local_stream_recv_window_), int32_t(local_stream_recv_window_));
    OpenResult r = rec.state.recv_open(f.end_stream, false);
    if (r.violation != Violation::None) return EngineError::violation(r.violation);
    bool length_ok = head_length_ok(f);
    if (length_ok && f.has_content_length) rec.content_length.set(f.content_length);
    // The two insertions may fail for memory; nothing has changed before them.
    if (length_ok) pending_accept_.insert(sid);
    try {
        streams_.emplace(sid, std::move(rec));
    } catch (...) {
        pending_accept_.erase(sid);
        throw;
    }
    out->spare_used = true;  // from here the record owns the reference, error or not
    highest_peer_id_ = sid;
    last_processed_id_ = sid;
    ++num_streams_;
    // A bad length still leaves the stream in the table, for the reset.
    if (!length_ok) return EngineError::stream(sid, kProtocolError);
    out->kind = kHeadersOpened;
    out->handle = spare;
    out->eof = f.end_stream;
    return finish();
}

// ------------------------------------------------------------------ DATA

// A frame whose stream is gone or locally reset still counts against the
// connection window; its bytes are given back at once.
EngineError Engine::swallow_data(uint32_t flow_len) {
    if (flow_len == 0) return {};
    if (int64_t(flow_len) > conn_recv_.window_size()) return EngineError::flow();
    (void)conn_recv_.send_data(flow_len);
    give_back_conn_recv(flow_len);
    return {};
}

EngineError Engine::recv_data(const DataIn& f, DataOut* out) {
    *out = DataOut{};
    const uint32_t sid = f.stream_id;
    const uint32_t L = f.flow_len;
    const uint32_t P = f.payload_len <= L ? f.payload_len : L;
    const size_t before = pending_->size();
    uint32_t flags = 0;
    auto finish = [&]() {
        if (pending_->size() > before) flags |= kFlagWake;
        out->flags = flags;
        return EngineError{};
    };

    Stream* s = find(sid);
    if (!s) {
        if (reset_store_check(sid) || beyond_final_goaway(sid)) {
            if (EngineError e = swallow_data(L)) return e;
            return finish();
        }
        if (!may_have_existed(sid)) return idle_stream_error(sid);
        if (EngineError e = swallow_data(L)) return e;
        return EngineError::stream(sid, kStreamClosed);
    }

    StreamState& st = s->state;
    if (st.is_closed() && st.is_local_error()) {
        if (EngineError e = swallow_data(L)) return e;
        return finish();
    }
    if (st.is_closed() || st.kind() == StateKind::HalfClosedRemote) {
        // The peer already ended (or reset) its side: the stream's error
        // alone, never the connection's.
        if (int64_t(L) > conn_recv_.window_size()) return EngineError::flow();
        if (st.is_closed()) {
            release_record(*s);
            (void)close_bookkeeping(*s);  // s is dangling from here
        }
        (void)swallow_data(L);
        return EngineError::stream(sid, kStreamClosed);
    }
    if (!st.is_recv_streaming())
        return EngineError::protocol(kProtocolError, "unexpected DATA on stream " + std::to_string(sid));

    // Refusals first, in order: connection window, stream window, content
    // length, DATA budget.
    if (L > 0 && int64_t(L) > conn_recv_.window_size()) return EngineError::flow();
    if (L > 0 && int64_t(L) > s->recv_flow.window_size()) {
        (void)swallow_data(L);
        return EngineError::stream(sid, kFlowControlError);
    }
    ContentLength& cl = s->content_length;
    bool length_bad = false;
    if (s->is_head || cl.is_head())
        length_bad = P > 0;
    else if (cl.kind() == ContentLength::Kind::Remaining)
        length_bad = P > cl.remaining() || (f.end_stream && cl.remaining() != P);
    if (length_bad) {
        (void)swallow_data(L);
        return EngineError::stream(sid, kProtocolError);
    }
    size_t charge = 0;
    if (!f.end_stream && !budget_.record(P, &charge))
        return EngineError::protocol(kEnhanceYourCalm, "too_many_data_frames");

    (void)conn_recv_.send_data(L);
    (void)s->recv_flow.send_data(L);
    (void)cl.dec(P);
    s->recv_unreleased += L;
    s->data_budget_charged += charge;
    out->handle = s->handle;
    if (f.end_stream) {
        // Cannot fail: the state is receive-streaming.
        (void)st.recv_close();
        out->deliver = true;
        out->eof = true;
    } else if (P > 0) {
        out->deliver = true;
        out->budgeted = true;
    }
    // Padding never reaches the application: its window goes back now
    // (after the close, so an ended stream gets no stream WINDOW_UPDATE).
    if (uint32_t pad = L - P) {
        s->recv_unreleased -= pad;
        give_back_stream_recv(*s, pad);
        give_back_conn_recv(pad);
    }
    if (st.is_closed()) flags |= close_bookkeeping(*s);  // s may dangle from here
    return finish();
}

// ------------------------------------------------------------------ WINDOW_UPDATE

EngineError Engine::recv_window_update(uint32_t sid, uint32_t increment) {
    wake_.clear();
    if (sid == 0) {
        if (conn_send_.inc_window(increment) != FlowError::None) return EngineError::flow();
        // The capacity follows the window; it can only lag behind it.
        (void)conn_send_.assign_capacity(increment);
        for (auto& [id, s] : streams_)
            if (!s.counted_out && s.handle) wake_.push_back(s.handle);
        return {};
    }
    if (Stream* s = find(sid)) {
        if (s->send_flow.inc_window(increment) != FlowError::None)
            return EngineError::stream(sid, kFlowControlError);
        (void)s->send_flow.assign_capacity(increment);
        if (s->handle) wake_.push_back(s->handle);
        return {};
    }
    if (in_reset_store(sid) || may_have_existed(sid) || beyond_final_goaway(sid)) return {};
    return idle_stream_error(sid);
}

// ------------------------------------------------------------------ RST_STREAM

EngineError Engine::recv_reset(uint32_t sid, Reason code, RecvResetOut* out) {
    *out = RecvResetOut{};
    if (sid == 0) return EngineError::protocol(kProtocolError, "RST_STREAM on stream 0");
    if (EngineError e = charge_recv_reset()) return e;
    Stream* s = find(sid);
    if (!s) {
        // A stream the peer opened after our final GOAWAY was ignored, not
        // idle: its reset is no error either.
        if (in_reset_store(sid) || may_have_existed(sid) || beyond_final_goaway(sid)) return {};
        return idle_stream_error(sid);
    }
    if (server_ && pending_accept_.count(sid) && !pending_accept_reset_.count(sid)) {
        if (pending_accept_reset_.size() >= cfg_.max_pending_accept_reset_streams)
            return EngineError::protocol(kEnhanceYourCalm, "too_many_resets");
        pending_accept_reset_.insert(sid);
    }
    if (s->counted_out) return {};
    const size_t before = pending_->size();
    StreamState& st = s->state;
    out->notify_body = !peer_ended(st);
    if (!st.is_closed()) st.recv_reset(sid, code, false);
    out->has = true;
    out->handle = s->handle;
    out->stop = st.stop();
    release_record(*s);
    uint32_t flags = close_bookkeeping(*s);  // s is dangling from here
    if (pending_->size() > before) flags |= kFlagWake;
    out->flags = flags;
    return {};
}

}  // namespace wl::h2
