// Ending streams early and giving receive resources back: resets, body
// close, capacity release with WINDOW_UPDATE aggregation, DATA budget
// release, acceptance, and the rate limit on resets the peer sends.
#include "proto/h2/engine.h"

namespace wl::h2 {

namespace {

// The peer's side ended cleanly: it sends no more DATA.
bool peer_ended_cleanly(const StreamState& st) {
    if (st.kind() == StateKind::HalfClosedRemote) return true;
    if (!st.is_closed()) return false;
    return st.cause() == CloseCause::EndStream || st.cause() == CloseCause::ErrorAfterEndStream;
}

}  // namespace

void Engine::core_reset(uint32_t sid, Reason reason, Initiator initiator, ResetOut* out) {
    *out = ResetOut{};
    Stream* s = find(sid);
    if (!s) return;
    size_t before = pending_->size();
    bool was_closed = s->state.is_closed();
    if (!was_closed) {
        s->state.set_reset(sid, reason, initiator);
    } else if (s->state.cause() == CloseCause::EndStream) {
        s->state.set_reset(sid, reason, initiator);
    }
    out->handle = s->handle;
    out->stop = s->state.stop();
    bool remember = !was_closed || s->state.is_local_error();
    release_record(*s);
    if (!was_closed) write_rst_stream(*pending_, sid, reason);
    uint32_t flags = close_bookkeeping(*s);  // s is dangling from here
    if (remember) reset_store_insert(sid);
    if (pending_->size() > before) flags |= kFlagWake;
    out->flags = flags;
}

EngineError Engine::reset_stream(uint32_t sid, Reason reason, Initiator initiator, ResetOut* out) {
    core_reset(sid, reason, initiator, out);
    return {};
}

EngineError Engine::reset_on_error(uint32_t sid, Reason reason, ResetOut* out) {
    *out = ResetOut{};
    if (sid == 0) return EngineError::value("reset_on_error: stream id 0 is the connection itself");
    if (!find(sid)) {
        // A late frame on a stream that is gone: it costs the peer nothing
        // to provoke, so it does not count toward the error-reset cap; the
        // RST_STREAM frames it produces are bounded per write batch instead.
        reset_store_insert(sid);
        if (late_resets_since_take_ >= kMaxLateResetsPerBatch) return {};
        ++late_resets_since_take_;
        write_rst_stream(*pending_, sid, reason);
        out->flags = kFlagWake;
        return {};
    }
    ++local_error_resets_;
    if (cfg_.max_local_error_reset_streams && local_error_resets_ > *cfg_.max_local_error_reset_streams)
        return EngineError::protocol(kEnhanceYourCalm, "too many stream resets");
    core_reset(sid, reason, Initiator::Library, out);
    return {};
}

EngineError Engine::aclose_body(uint32_t sid, ResetOut* out) {
    *out = ResetOut{};
    Stream* s = find(sid);
    if (!s) return {};
    if (!peer_ended_cleanly(s->state)) {
        core_reset(sid, kCancel, Initiator::User, out);
        return {};
    }
    // The body was fully received: only the receive accounting goes back.
    // A stream whose own side is still open (HalfClosedRemote) keeps its
    // record and its place among the active streams.
    size_t before = pending_->size();
    release_record(*s);
    uint32_t flags = s->state.is_closed() ? close_bookkeeping(*s) : 0;
    if (pending_->size() > before) flags |= kFlagWake;
    out->flags = flags;
    return {};
}

uint32_t Engine::release_capacity(uint32_t sid, uint32_t n) {
    Stream* s = find(sid);
    if (!s || s->recv_reclaimed) return 0;
    size_t before = pending_->size();
    // Never grant window for bytes that were not received.
    uint32_t grant = n < s->recv_unreleased ? n : s->recv_unreleased;
    s->recv_unreleased -= grant;
    if (grant) {
        give_back_stream_recv(*s, grant);
        give_back_conn_recv(grant);
    }
    remove_if_done(*s);
    return pending_->size() > before ? kFlagWake : 0;
}

void Engine::release_data_frame(uint32_t sid, uint64_t payload_len) {
    if (payload_len == 0 || payload_len >= kDataFrameOverheadThreshold) return;
    Stream* s = find(sid);
    if (!s) return;
    size_t owed = kDataFrameOverheadThreshold - size_t(payload_len);
    size_t amount = s->data_budget_charged < owed ? s->data_budget_charged : owed;
    s->data_budget_charged -= amount;
    budget_.release(amount);
    remove_if_done(*s);
}

void Engine::accepted(uint32_t sid) {
    pending_accept_.erase(sid);
    pending_accept_reset_.erase(sid);
}

EngineError Engine::charge_recv_reset() {
    int64_t now = clock();
    double refill = double(now - recv_reset_refill_ns_) * (kRecvResetPerSecond / 1e9);
    recv_reset_refill_ns_ = now;
    recv_reset_tokens_ += refill > 0 ? refill : 0;
    if (recv_reset_tokens_ > kRecvResetBurst) recv_reset_tokens_ = kRecvResetBurst;
    if (recv_reset_tokens_ < 1)
        return EngineError::protocol(kEnhanceYourCalm, "too many stream resets received");
    recv_reset_tokens_ -= 1;
    return {};
}

}  // namespace wl::h2
