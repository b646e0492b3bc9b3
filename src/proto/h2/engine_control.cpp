// Connection control: SETTINGS in both directions, PING, the GOAWAY exchange,
// the server's two-phase graceful shutdown and connection failure.
#include <cstring>

#include "proto/h2/engine.h"

namespace wl::h2 {

namespace {

constexpr uint8_t kShutdownPing[8] = {'S', 'H', 'U', 'T', 'D', 'O', 'W', 'N'};

bool fits_i32(int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

// A window pair shifted by d stays within the signed 32-bit range.
bool shift_fits(const FlowControl& f, int64_t d) {
    return fits_i32(int64_t(f.window_raw()) + d) && fits_i32(int64_t(f.available()) + d);
}

void shift(FlowControl& f, int64_t d) {
    FlowControl shifted(int32_t(int64_t(f.window_raw()) + d), int32_t(int64_t(f.available()) + d));
    f = shifted;
}

// Whether our sending side of the stream is still open.
bool send_side_open(const StreamState& st) {
    switch (st.kind()) {
        case StateKind::ReservedRemote:
        case StateKind::HalfClosedLocal:
        case StateKind::Closed: return false;
        default: return true;
    }
}

EngineError ack_flood() {
    return EngineError::protocol(kEnhanceYourCalm, "too many acknowledgements queued");
}

}  // namespace

EngineError Engine::apply_ack() {
    if (local_settings_ != LocalSettings::Sent)
        return EngineError::protocol(kProtocolError, "received unexpected settings ack");
    int64_t d = int64_t(cfg_.initial_window_size) - int64_t(local_stream_recv_window_);
    if (d != 0)
        for (auto& [id, s] : streams_)
            if (!shift_fits(s.recv_flow, d)) return EngineError::flow();
    local_settings_ = LocalSettings::Acked;
    {
        // The limits were applied at begin; setting them again keeps the
        // decoder's derived CONTINUATION limit in step with our values.
        LockGuard<Mutex> g(decoder_mu);
        decoder_.set_max_recv_frame_size(cfg_.max_frame_size);
        decoder_.set_max_header_list_size(cfg_.max_header_list_size);
    }
    if (d != 0) {
        local_stream_recv_window_ = cfg_.initial_window_size;
        for (auto& [id, s] : streams_) shift(s.recv_flow, d);
    }
    return {};
}

EngineError Engine::recv_settings(const SettingsFrame& f, SettingsOutcome* out) {
    wake_.clear();
    *out = SettingsOutcome{};
    if (f.ack) return apply_ack();

    // Everything that can refuse the frame is checked before anything is
    // applied or acknowledged.
    if (!ack_allowed()) return ack_flood();
    if (f.has(SettingsFrame::kHasMaxFrameSize) &&
        (f.max_frame_size < kDefaultMaxFrameSize || f.max_frame_size > kMaxMaxFrameSize))
        return EngineError::value(max_frame_size_message(f.max_frame_size));
    int64_t d = 0;
    if (f.has(SettingsFrame::kHasInitialWindowSize)) {
        if (f.initial_window_size > kMaxWindowSize) return EngineError::flow();
        d = int64_t(f.initial_window_size) - int64_t(peer_initial_window_);
        if (d != 0)
            for (auto& [id, s] : streams_)
                if (send_side_open(s.state) && !shift_fits(s.send_flow, d)) return EngineError::flow();
    }

    write_settings_ack(*pending_);
    ++acks_since_take_;
    out->initial = !peer_settings_seen_;
    peer_settings_seen_ = true;
    uint32_t flags = kFlagWake;

    if (f.has(SettingsFrame::kHasHeaderTableSize)) {
        peer_header_table_size_ = f.header_table_size;
        encoder_.set_send_header_table_size(f.header_table_size);
    }
    if (f.has(SettingsFrame::kHasMaxFrameSize)) {
        peer_max_frame_size_ = f.max_frame_size;
        encoder_.set_max_frame_size(f.max_frame_size);
    }
    if (f.has(SettingsFrame::kHasMaxConcurrentStreams)) {
        peer_max_concurrent_ = f.max_concurrent_streams;
        if (!server_) {
            stream_limit_ = f.max_concurrent_streams;
            flags |= kFlagSlotFreed;
        }
    }
    if (d != 0) {
        peer_initial_window_ = f.initial_window_size;
        for (auto& [id, s] : streams_) {
            if (!send_side_open(s.state)) continue;
            shift(s.send_flow, d);
            if (d > 0 && s.handle) wake_.push_back(s.handle);
        }
    }
    out->flags = flags;
    return {};
}

EngineError Engine::recv_ping(const PingFrame& f, uint32_t* flags) {
    *flags = 0;
    if (!f.ack) {
        if (!ack_allowed()) return ack_flood();
        write_ping(*pending_, f.data, true);
        ++acks_since_take_;
        *flags = kFlagWake;
        return {};
    }
    if (server_ && graceful_ && !shutdown_final_ &&
        std::memcmp(f.data, kShutdownPing, sizeof kShutdownPing) == 0) {
        // The peer has processed everything it sent before our first
        // GOAWAY: last_processed_id is now the true last stream.
        shutdown_final_ = true;
        max_stream_id_ = last_processed_id_;
        write_goaway(*pending_, last_processed_id_, kNoError, {});
        *flags = kFlagWake;
        if (num_streams_ == 0) *flags |= kFlagStopAccepting;
    }
    return {};
}

template <class Pred>
uint32_t Engine::abort_streams(Pred pred, const Error& e, bool by_goaway) {
    aborted_.clear();
    std::vector<uint32_t> ids;
    for (auto& [id, s] : streams_)
        if (pred(id)) ids.push_back(id);
    uint32_t flags = 0;
    for (uint32_t id : ids) {
        Stream* s = find(id);
        if (!s) continue;
        bool was_closed = s->state.is_closed();
        if (!was_closed) s->state.handle_error(e);
        if (by_goaway) {
            // The aborted stream's undelivered bytes go back to the
            // connection window, as releasing a closed record does.
            if (s->recv_unreleased) give_back_conn_recv(s->recv_unreleased);
            if (s->data_budget_charged) budget_.release(s->data_budget_charged);
        }
        s->recv_unreleased = 0;
        s->data_budget_charged = 0;
        s->recv_reclaimed = true;
        if (!was_closed) aborted_.push_back({s->handle, s->state.stop()});
        flags |= close_bookkeeping(*s);  // removes the record: it owes nothing now
    }
    return flags;
}

EngineError Engine::recv_go_away(uint32_t last_stream_id, Reason code, std::string_view debug,
                                 uint32_t* flags) {
    aborted_.clear();
    *flags = 0;
    if (peer_goaway_ && last_stream_id > peer_goaway_->last_stream_id)
        return EngineError::protocol(kProtocolError, "GOAWAY may not raise last_stream_id");
    PeerGoAway g;
    g.last_stream_id = last_stream_id;
    g.error_code = code;
    g.debug = std::make_shared<const std::string>(debug);
    peer_goaway_ = g;
    if (server_) return {};
    Error e = Error::go_away(g.debug, code, Initiator::Remote);
    *flags = kFlagSlotFreed |
             abort_streams([&](uint32_t id) { return id > last_stream_id; }, e, true);
    return {};
}

uint32_t Engine::maybe_goaway_reply() {
    if (goaway_replied_ || has_error_ || num_streams_ != 0 || !peer_goaway_ ||
        peer_goaway_->last_stream_id >= kMaxStreamId)
        return 0;
    goaway_replied_ = true;
    write_goaway(*pending_, server_ ? last_processed_id_ : 0, kNoError, {});
    has_error_ = true;
    stored_msg_ = "connection closed: GOAWAY exchanged";
    return kFlagWake | kFlagConnDone;
}

uint32_t Engine::send_goaway(Reason reason) {
    write_goaway(*pending_, server_ ? last_processed_id_ : 0, reason, {});
    return kFlagWake;
}

uint32_t Engine::begin_graceful_shutdown() {
    if (graceful_) return 0;
    graceful_ = true;
    write_goaway(*pending_, kMaxStreamId, kNoError, {});
    write_ping(*pending_, kShutdownPing, false);
    return kFlagWake;
}

void Engine::fail(Handle exc, std::string_view message) {
    if (!has_error_) {
        has_error_ = true;
        if (exc)
            stored_exc_ = exc;
        else
            stored_msg_.assign(message);
    } else if (exc) {
        drops_.push_back(exc);
    }
    abort_streams([](uint32_t) { return true; }, Error::broken_pipe(), false);
}

}  // namespace wl::h2
