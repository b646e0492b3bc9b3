// Opening and sending: the client's concurrency slots, open_stream, DATA
// under both windows, trailers and the server's response head.
//
// Every operation reserves window, changes the stream state and encodes its
// frames into pending in one step under the caller's lock, so the frames of
// a stream leave in call order and new stream ids leave in increasing order.
// Allocation happens before any state changes where it can; a header block
// that fails half-way is handled by encode_block() below.
#include <algorithm>
#include <string>

#include "proto/h2/engine.h"

namespace wl::h2 {

namespace {

// A header block that fails half-way (out of memory) has already moved our
// HPACK table ahead of what the peer will ever see, so every later block
// could decode to the wrong fields: the partial bytes go and the connection
// fails before the failure propagates.
template <class F>
void encode_block(Engine& e, F&& write) {
    size_t before = e.pending_size();
    try {
        write(e.pending());
    } catch (...) {
        e.pending().truncate(before);
        try {
            e.fail(nullptr, "connection failed: a header block could not be encoded");
        } catch (...) {
        }
        throw;
    }
}

// Our side may still send its head: nothing was sent on the stream yet.
bool head_pending(const StreamState& st) {
    switch (st.kind()) {
        case StateKind::Idle:
        case StateKind::ReservedLocal: return true;
        case StateKind::Open:
        case StateKind::HalfClosedRemote: return st.local() == Peer::AwaitingHeaders;
        default: return false;
    }
}

bool is_interim(uint16_t status) { return status >= 100 && status < 200 && status != 101; }

// Our side of the stream has ended (END_STREAM queued): a stream that is now
// closed is counted out; a server whose request body is still coming resets
// the stream with NO_ERROR so the client stops sending it.
void finish_send_half(Engine& e, Stream& s, SendOut* out) {
    if (s.state.is_closed()) {
        out->flags |= e.close_bookkeeping(s);
        return;
    }
    if (!e.is_server() || s.state.is_recv_end_stream()) return;
    ResetOut r;
    e.core_reset(s.id, kNoError, Initiator::User, &r);
    out->handle = r.handle;
    out->reader_stop = r.stop;
    out->flags |= r.flags;
}

}  // namespace

// ------------------------------------------------------------------ slots

bool Engine::try_claim_slot() {
    if (stream_limit_ && num_open_streams_ >= *stream_limit_) return false;
    ++num_open_streams_;
    return true;
}

bool Engine::can_open() const { return !stream_limit_ || num_open_streams_ < *stream_limit_; }

void Engine::release_slot_count() {
    if (num_open_streams_) --num_open_streams_;
}

void Engine::apply_stream_limit(std::optional<uint64_t> limit) { stream_limit_ = limit; }

// ------------------------------------------------------------------ opening

EngineError Engine::open_stream(const OpenIn& in, Handle handle, std::optional<uint32_t>* sid,
                                bool* handle_used) {
    sid->reset();
    *handle_used = false;
    if (is_closed()) {
        release_slot_count();
        return {};
    }
    if (next_stream_id_ > kMaxStreamId) {
        release_slot_count();
        return EngineError::protocol(kRefusedStream, "stream ID space exhausted (OverflowedStreamId)");
    }
    RequestPseudo pseudo;
    std::string msg;
    bool built;
    try {
        built = build_request_pseudo(in.method, in.target, in.scheme, in.authority, &pseudo, &msg);
    } catch (...) {
        release_slot_count();
        throw;
    }
    if (!built) {
        release_slot_count();
        return EngineError::value(std::move(msg));
    }

    uint32_t id = uint32_t(next_stream_id_);
    Stream* s;
    try {
        auto [it, inserted] = streams_.try_emplace(id);
        if (!inserted) {
            // Only the diagnostic setter can point the next id at a live
            // stream; taking its record over would lose its handle.
            release_slot_count();
            return EngineError::value("open_stream: stream id " + std::to_string(id) + " is in use");
        }
        s = &it->second;
    } catch (...) {
        release_slot_count();
        throw;
    }
    s->id = id;
    s->handle = handle;
    s->content_length = ContentLength(in.is_head);
    s->is_head = in.is_head;
    s->send_flow = FlowControl(int32_t(peer_initial_window_), int32_t(peer_initial_window_));
    s->recv_flow =
        FlowControl(int32_t(local_stream_recv_window_), int32_t(local_stream_recv_window_));
    s->slot_holder = true;
    (void)s->state.send_open(in.end_stream);  // from Idle: always allowed
    next_stream_id_ += 2;
    ++num_streams_;
    *handle_used = true;
    *sid = id;

    encode_block(*this, [&](ByteBuf& out) {
        encoder_.write_request_headers(out, id, pseudo, in.headers, in.end_stream);
    });
    return {};
}

// ------------------------------------------------------------------ sending

EngineError Engine::send_data(uint32_t sid, std::string_view data, uint64_t offset, bool end_stream,
                              SendOut* out) {
    *out = SendOut{};
    if (offset > data.size()) return EngineError::value("send_data: offset is beyond the end of data");
    Stream* s = find(sid);
    if (!s) {
        out->stopped = Stop{};
        return {};
    }
    if (!s->state.is_send_streaming()) {
        out->stopped = s->state.stop();
        return {};
    }
    size_t before = pending_->size();
    uint64_t remaining = data.size() - offset;
    if (remaining == 0) {
        // Nothing to frame: an empty DATA frame only carries END_STREAM, and
        // needs no window; a non-final one would only cost the peer's
        // empty-frame budget.
        out->done = true;
        if (end_stream) {
            write_data(*pending_, sid, {}, true);
            (void)s->state.send_close();
            finish_send_half(*this, *s, out);
        }
        if (pending_->size() > before) out->flags |= kFlagWake;
        return {};
    }

    uint64_t room = uint64_t(std::min(conn_send_.window_size(), s->send_flow.window_size()));
    uint64_t buf_room =
        cfg_.max_send_buf_size > s->send_buffered ? cfg_.max_send_buf_size - s->send_buffered : 0;
    room = std::min({room, buf_room, uint64_t(peer_max_frame_size_), remaining});
    if (room == 0) return {};  // no window: the caller waits for its window event
    uint32_t len = uint32_t(room);
    bool es = end_stream && len == remaining;

    // Everything that may allocate comes before the first change.
    pending_->tail(kFrameHeaderLen + len);
    bool merge = !credits_.empty() && credits_.back().first == sid &&
                 credits_.back().second <= UINT32_MAX - len;
    if (!merge && credits_.size() == credits_.capacity())
        credits_.reserve(credits_.capacity() ? credits_.capacity() * 2 : 16);

    (void)conn_send_.send_data(len);
    (void)s->send_flow.send_data(len);
    s->send_buffered += len;
    write_data(*pending_, sid, data.substr(size_t(offset), len), es);
    if (merge)
        credits_.back().second += len;
    else
        credits_.emplace_back(sid, len);
    out->sent = len;
    out->done = len == remaining;
    if (es) {
        (void)s->state.send_close();
        finish_send_half(*this, *s, out);
    }
    if (pending_->size() > before) out->flags |= kFlagWake;
    return {};
}

EngineError Engine::send_trailers(uint32_t sid, const HeaderList& trailers, SendOut* out) {
    *out = SendOut{};
    Stream* s = find(sid);
    if (!s) {
        out->stopped = Stop{};
        return {};
    }
    if (!s->state.is_send_streaming()) {
        out->stopped = s->state.stop();
        return {};
    }
    size_t before = pending_->size();
    encode_block(*this, [&](ByteBuf& b) { encoder_.write_trailers(b, sid, &trailers); });
    (void)s->state.send_close();
    out->done = true;
    finish_send_half(*this, *s, out);
    if (pending_->size() > before) out->flags |= kFlagWake;
    return {};
}

EngineError Engine::send_response_head(uint32_t sid, uint16_t status, const HeaderList* headers,
                                       bool end_stream, SendOut* out) {
    *out = SendOut{};
    if (headers && has_connection_specific(*headers)) return EngineError::user(kUserMalformedHeaders);
    Stream* s = find(sid);
    if (!s) {
        out->stopped = Stop{};
        return {};
    }
    if (s->state.is_closed()) {
        out->stopped = s->state.stop();
        return {};
    }
    if (status < 100 || status > 999) return EngineError::value("invalid status: invalid status code");
    if (!head_pending(s->state)) return EngineError::user(kUserUnexpectedFrameType);
    bool interim = is_interim(status);
    // An informational head is never the last frame of a stream.
    if (interim && end_stream) return EngineError::user(kUserMalformedHeaders);

    size_t before = pending_->size();
    encode_block(*this, [&](ByteBuf& b) {
        encoder_.write_response_headers(b, sid, status, headers, end_stream, cfg_.auto_date_header);
    });
    out->done = true;
    // An interim head leaves the stream waiting for the final one.
    if (!interim) {
        (void)s->state.send_open(end_stream);  // allowed: head_pending() held
        if (end_stream) finish_send_half(*this, *s, out);
    }
    if (pending_->size() > before) out->flags |= kFlagWake;
    return {};
}

}  // namespace wl::h2
