// Construction, the handshake, the pending buffer and its write batches,
// credits, the stream helpers every operation shares, and introspection.
#include "proto/h2/engine.h"

#include <sys/random.h>

#include <ctime>

namespace wl::h2 {

namespace {

// One process-wide random value, mixed with a per-engine counter, seeds the
// stream-table hash.
uint64_t engine_seed() {
    static const uint64_t base = [] {
        uint64_t v = 0;
        if (getrandom(&v, sizeof v, GRND_NONBLOCK) != ssize_t(sizeof v)) {
            timespec ts;
            clock_gettime(CLOCK_MONOTONIC, &ts);
            v = uint64_t(ts.tv_nsec) * 0x9E3779B97F4A7C15ull ^ uint64_t(ts.tv_sec);
        }
        return v | 1;
    }();
    static std::atomic<uint64_t> counter{0};
    uint64_t c = counter.fetch_add(1, std::memory_order_relaxed);
    uint64_t x = base ^ (c * 0xBF58476D1CE4E5B9ull);
    x ^= x >> 31;
    return x * 0x94D049BB133111EBull;
}

}  // namespace

// ------------------------------------------------------------------ config

bool EngineConfig::validate(std::string* msg) const {
    if (max_frame_size < kDefaultMaxFrameSize || max_frame_size > kMaxMaxFrameSize) {
        *msg = max_frame_size_message(max_frame_size);
        return false;
    }
    if (initial_window_size > kMaxWindowSize || connection_window > kMaxWindowSize) {
        *msg = "window sizes must be <= 2147483647 (RFC 9113 6.9.1)";
        return false;
    }
    return true;
}

size_t EngineConfig::budget_size() const {
    if (data_frame_budget) return size_t(*data_frame_budget);
    if (connection_window > 51201) return connection_window / 2;
    return kDefaultDataFrameBudget;
}

EngineError EngineError::violation(Violation v) {
    if (v == Violation::User) return user(kUserUnexpectedFrameType);
    return protocol(kProtocolError, reason_description(kProtocolError));
}

EngineError EngineError::state_error(const Error& err) {
    switch (err.kind) {
        case Error::Kind::Reset: return stream(err.stream_id, err.reason, err.initiator);
        case Error::Kind::GoAway: return protocol(err.reason, reason_description(err.reason));
        case Error::Kind::Io: {
            EngineError e;
            e.kind = Kind::Closed;
            e.message = err.io_message;
            return e;
        }
    }
    return protocol(kInternalError, reason_description(kInternalError));
}

// ------------------------------------------------------------------ construction

Engine::Engine(const EngineConfig& cfg)
    : cfg_(cfg),
      server_(cfg.server),
      decoder_(!cfg.server),
      pending_(new ByteBuf()),
      streams_(0, StreamIdHash{engine_seed()}),
      local_stream_recv_window_(cfg.initial_window_size > 65535 ? cfg.initial_window_size : 65535),
      budget_(cfg.budget_size()),
      next_stream_id_(cfg.server ? 2 : 1),
      pending_accept_(0, StreamIdHash{engine_seed()}),
      pending_accept_reset_(0, StreamIdHash{engine_seed()}) {
    if (server_) {
        decoder_.preface_required = true;
        decoder_.preface_consumed = false;
    }
    recv_reset_refill_ns_ = clock();
}

Engine::~Engine() {
    delete pending_;
    delete spare_.load(std::memory_order_acquire);
}

int64_t Engine::monotonic_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

EngineError Engine::begin() {
    SettingsOut s;
    if (cfg_.enable_push) {
        s.present |= SettingsFrame::kHasEnablePush;
        s.enable_push = *cfg_.enable_push;
    }
    if (server_ && cfg_.max_concurrent_streams) {
        s.present |= SettingsFrame::kHasMaxConcurrentStreams;
        s.max_concurrent_streams = *cfg_.max_concurrent_streams;
    }
    s.present |= SettingsFrame::kHasInitialWindowSize | SettingsFrame::kHasMaxFrameSize |
                 SettingsFrame::kHasMaxHeaderListSize;
    s.initial_window_size = cfg_.initial_window_size;
    s.max_frame_size = cfg_.max_frame_size;
    s.max_header_list_size = cfg_.max_header_list_size;
    std::string msg;
    if (!check_settings(s, &msg)) return EngineError::value(std::move(msg));

    if (!server_) pending_->append(kPreface);
    write_settings(*pending_, s);
    local_settings_ = LocalSettings::Sent;

    // Our own limits hold from the first frame: the header-list limit (and
    // the CONTINUATION limit derived from it) protects us whether or not the
    // peer ever acknowledges, and frames up to the size we announce are
    // legal as soon as the peer may have read our SETTINGS.
    {
        LockGuard<Mutex> g(decoder_mu);
        decoder_.set_max_recv_frame_size(cfg_.max_frame_size);
        decoder_.set_max_header_list_size(cfg_.max_header_list_size);
    }

    if (cfg_.connection_window > 65535) {
        (void)conn_recv_.assign_capacity(cfg_.connection_window - 65535);
        if (auto inc = conn_recv_.unclaimed_capacity()) {
            write_window_update(*pending_, 0, uint32_t(*inc));
            (void)conn_recv_.inc_window(uint32_t(*inc));
        }
    }
    return {};
}

// ------------------------------------------------------------------ write path

ByteBuf* Engine::take_pending(bool* stopping) {
    ByteBuf* next = spare_.exchange(nullptr, std::memory_order_acq_rel);
    if (!next) next = new ByteBuf();
    ByteBuf* out = pending_;
    pending_ = next;
    if (!credits_.empty()) {
        written_credits_.insert(written_credits_.end(), credits_.begin(), credits_.end());
        credits_.clear();
    }
    acks_since_take_ = 0;
    late_resets_since_take_ = 0;
    *stopping = stopping_;
    return out;
}

void Engine::recycle(ByteBuf* buf) {
    if (!buf) return;
    buf->clear();
    ByteBuf* expected = nullptr;
    if (!spare_.compare_exchange_strong(expected, buf, std::memory_order_acq_rel))
        delete buf;
}

void Engine::credit_written() {
    wake_.clear();
    uint64_t epoch = ++credit_epoch_;
    for (auto [sid, n] : written_credits_) {
        Stream* s = find(sid);
        if (!s) continue;
        s->send_buffered = s->send_buffered > n ? s->send_buffered - n : 0;
        if (s->credit_epoch != epoch) {
            s->credit_epoch = epoch;
            wake_.push_back(s->handle);
        }
    }
    written_credits_.clear();
}

int Engine::prime(std::string_view data) {
    if (server_ && !decoder_.preface_consumed) {
        switch (decoder_.feed_preface(data)) {
            case PrefaceMatch::Match: decoder_.preface_consumed = true; return 1;
            case PrefaceMatch::Partial: return 0;
            case PrefaceMatch::Mismatch: return -1;
        }
    }
    decoder_.append_input(data);
    return 1;
}

// ------------------------------------------------------------------ shared stream helpers

Stream* Engine::find(uint32_t sid) {
    auto it = streams_.find(sid);
    return it == streams_.end() ? nullptr : &it->second;
}

const Stream* Engine::stream(uint32_t sid) const {
    auto it = streams_.find(sid);
    return it == streams_.end() ? nullptr : &it->second;
}

void Engine::remove_stream(uint32_t sid) {
    auto it = streams_.find(sid);
    if (it == streams_.end()) return;
    if (it->second.handle) drops_.push_back(it->second.handle);
    streams_.erase(it);
}

uint32_t Engine::close_bookkeeping(Stream& s) {
    uint32_t flags = 0;
    bool counted_now = false;
    if (!s.counted_out) {
        s.counted_out = true;
        counted_now = true;
        if (num_streams_) --num_streams_;
        if (s.slot_holder) {
            s.slot_holder = false;
            if (num_open_streams_) --num_open_streams_;
            flags |= kFlagSlotFreed;
        }
    }
    if (s.owes_nothing()) remove_stream(s.id);  // s is dangling from here
    flags |= maybe_goaway_reply();
    if (counted_now && server_ && shutdown_final_ && num_streams_ == 0) flags |= kFlagStopAccepting;
    return flags;
}

void Engine::release_record(Stream& s) {
    if (s.recv_unreleased) {
        give_back_conn_recv(s.recv_unreleased);
        s.recv_unreleased = 0;
    }
    if (s.data_budget_charged) {
        budget_.release(s.data_budget_charged);
        s.data_budget_charged = 0;
    }
    s.recv_reclaimed = true;
}

void Engine::remove_if_done(Stream& s) {
    if (s.state.is_closed() && s.counted_out && s.owes_nothing()) remove_stream(s.id);
}

void Engine::give_back_conn_recv(uint32_t n) {
    if (n && conn_recv_.assign_capacity(n) != FlowError::None) {
        // The capacity is already at the 31-bit ceiling: there is nothing
        // more to grant.
        return;
    }
    if (auto inc = conn_recv_.unclaimed_capacity()) {
        uint32_t v = uint32_t(*inc);
        if (conn_recv_.inc_window(v) == FlowError::None) write_window_update(*pending_, 0, v);
    }
}

void Engine::give_back_stream_recv(Stream& s, uint32_t n) {
    if (n && s.recv_flow.assign_capacity(n) != FlowError::None) return;
    // The peer sends no more DATA once its side has ended.
    if (s.state.is_closed() || s.state.kind() == StateKind::HalfClosedRemote) return;
    if (auto inc = s.recv_flow.unclaimed_capacity()) {
        uint32_t v = uint32_t(*inc);
        if (s.recv_flow.inc_window(v) == FlowError::None) write_window_update(*pending_, s.id, v);
    }
}

bool Engine::may_have_existed(uint32_t sid) const {
    if (sid == 0 || (sid & 1) == 0) return false;
    return server_ ? sid <= highest_peer_id_ : uint64_t(sid) < next_stream_id_;
}

bool Engine::reset_store_check(uint32_t sid) {
    for (size_t i = 0; i < reset_store_.size(); ++i) {
        if (reset_store_[i].first != sid) continue;
        if (clock() - reset_store_[i].second > kResetStoreTtlNs) {
            reset_store_.erase(reset_store_.begin() + ptrdiff_t(i));
            return false;
        }
        return true;
    }
    return false;
}

void Engine::reset_store_insert(uint32_t sid) {
    int64_t now = clock();
    size_t keep = 0;
    for (size_t i = 0; i < reset_store_.size(); ++i) {
        auto e = reset_store_[i];
        if (now - e.second > kResetStoreTtlNs || e.first == sid) continue;
        reset_store_[keep++] = e;
    }
    reset_store_.resize(keep);
    // Full: the oldest entry goes, so the newest reset is always remembered
    // (late frames for it are the likeliest).
    if (reset_store_.size() >= kResetStoreMax) reset_store_.erase(reset_store_.begin());
    reset_store_.emplace_back(sid, now);
}

bool Engine::in_reset_store(uint32_t sid) const {
    for (auto& e : reset_store_)
        if (e.first == sid) return true;
    return false;
}

EngineError Engine::idle_stream_error(uint32_t sid) {
    return EngineError::protocol(kProtocolError, "frame on idle stream " + std::to_string(sid));
}

void Engine::drop_all_refs() {
    for (auto& [id, s] : streams_)
        if (s.handle) drops_.push_back(s.handle);
    streams_.clear();
    num_streams_ = num_open_streams_ = 0;
    if (stored_exc_) {
        drops_.push_back(stored_exc_);
        stored_exc_ = nullptr;
    }
}

}  // namespace wl::h2
