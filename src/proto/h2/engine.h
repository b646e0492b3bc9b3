// The HTTP/2 connection engine: the whole state of one connection, client or
// server, as plain C++. No Python here; the binding (src/h2/conn*.cpp) turns
// the results into Python objects.
//
// Who works where (one file per area so several people can work at once):
//   engine.cpp          construction, begin, pending buffer and write-batch
//                       buffers, credits, the shared stream helpers below
//                       (close bookkeeping, record release, reset store,
//                       may-have-existed test, window give-back), introspection
//   engine_control.cpp  SETTINGS, PING, GOAWAY, graceful shutdown, fail
//   engine_recv.cpp     recv_headers, recv_data, recv_window_update, recv_reset
//   engine_send.cpp     slots, open_stream, send_data, send_trailers,
//                       send_response_head
//   engine_reset.cpp    reset_stream, reset_on_error, aclose_body,
//                       release_capacity, release_data_frame, accepted
//
// Locks. The engine carries two mutexes but never takes state_mu itself: the
// caller holds state_mu around every member function except the decoder
// entry points, which need decoder_mu only. Where both are held, state_mu is
// taken first; begin() and the SETTINGS paths take decoder_mu inside. The
// one lock-free piece is the spare buffer slot: recycle() may run from any
// thread at any time, with or without either lock, so a write batch released
// inside a locked section cannot deadlock.
//
// Handles. A stream's handle (and a stored connection error object) is an
// opaque pointer owned by the binding: the engine holds one reference per
// record and never dereferences it. When a record goes, its handle moves to
// the drop list; the caller takes the list with take_drops() while still
// locked and releases the references after unlocking. Handles that appear in
// a result are borrowed from the records (or from the drop list): the caller
// takes its own references before it unlocks.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/buffer.h"
#include "core/headers.h"
#include "core/mutex.h"
#include "proto/h2/content_length.h"
#include "proto/h2/data_budget.h"
#include "proto/h2/flow_control.h"
#include "proto/h2/frame.h"
#include "proto/h2/frame_decoder.h"
#include "proto/h2/frame_encoder.h"
#include "proto/h2/reason.h"
#include "proto/h2/stream_state.h"

namespace wl::h2 {

// Bits of the flags that results carry: what the driver wakes afterwards.
inline constexpr uint32_t kFlagWake = 1;           // bytes were appended to pending
inline constexpr uint32_t kFlagSlotFreed = 2;      // a concurrency slot was freed
inline constexpr uint32_t kFlagConnDone = 4;       // the connection is finished
inline constexpr uint32_t kFlagStopAccepting = 8;  // server: stop accepting requests

// The kind of a received HEADERS.
enum HeadersKind : uint8_t {
    kHeadersIgnored = 0,
    kHeadersOpened = 1,
    kHeadersHead = 2,
    kHeadersTrailers = 3,
};

// Abuse limits that have no constructor argument.
inline constexpr uint32_t kMaxQueuedAcks = 1000;           // PING/SETTINGS ACKs per batch
inline constexpr size_t kResetStoreMax = 50;               // locally reset ids remembered
inline constexpr int64_t kResetStoreTtlNs = 1000000000;    // for one second
inline constexpr double kRecvResetBurst = 1000;            // RST_STREAM received: burst
inline constexpr double kRecvResetPerSecond = 33;          // ... and refill rate
inline constexpr uint32_t kMaxLateResetsPerBatch = 1000;   // RST_STREAM answering late frames

using Handle = void*;

// Constructor arguments, already converted; validate() checks the ranges.
struct EngineConfig {
    bool server = false;
    uint32_t initial_window_size = 65535;
    uint32_t connection_window = 65535;
    uint32_t max_frame_size = kDefaultMaxFrameSize;
    uint32_t max_header_list_size = 16384;
    uint64_t max_send_buf_size = 1 << 20;
    std::optional<uint32_t> max_concurrent_streams;
    uint64_t max_pending_accept_reset_streams = 20;
    std::optional<uint64_t> max_local_error_reset_streams = 1024;
    std::optional<uint64_t> data_frame_budget;
    bool auto_date_header = true;
    std::optional<bool> enable_push;

    // Range checks after the role, in the published order; false with the
    // ValueError text in *msg.
    bool validate(std::string* msg) const;
    // The DATA budget size: the given one, else half the connection window
    // above 51201, else the default.
    size_t budget_size() const;
};

// A failure of an engine operation, raised by the binding.
struct EngineError {
    enum class Kind : uint8_t {
        None,
        Protocol,  // H2ProtocolError(reason or None, message)
        Stream,    // H2StreamError(stream_id, reason, initiator)
        Flow,      // H2FlowControlError(reason)
        User,      // H2UserError(kind, message or the table's text)
        Value,     // ValueError(message)
        Closed,    // ConnectionClosedError(message)
    };
    Kind kind = Kind::None;
    bool has_reason = true;
    Reason reason = 0;
    uint32_t stream_id = 0;
    Initiator initiator = Initiator::Library;
    uint8_t user_kind = 0;  // index in the H2UserError kind table
    std::string message;

    explicit operator bool() const { return kind != Kind::None; }

    static EngineError protocol(Reason r, std::string m) {
        EngineError e;
        e.kind = Kind::Protocol;
        e.reason = r;
        e.message = std::move(m);
        return e;
    }
    static EngineError stream(uint32_t sid, Reason r, Initiator i = Initiator::Library) {
        EngineError e;
        e.kind = Kind::Stream;
        e.stream_id = sid;
        e.reason = r;
        e.initiator = i;
        return e;
    }
    static EngineError flow(Reason r = kFlowControlError) {
        EngineError e;
        e.kind = Kind::Flow;
        e.reason = r;
        return e;
    }
    static EngineError user(uint8_t k, std::string m = {}) {
        EngineError e;
        e.kind = Kind::User;
        e.user_kind = k;
        e.message = std::move(m);
        return e;
    }
    static EngineError value(std::string m) {
        EngineError e;
        e.kind = Kind::Value;
        e.message = std::move(m);
        return e;
    }
    // A stream-state violation: User -> "unexpected_frame_type",
    // Protocol -> PROTOCOL_ERROR with its description.
    static EngineError violation(Violation v);
    // A stream-state error (Reset -> stream error, GoAway -> protocol error,
    // Io -> connection closed).
    static EngineError state_error(const Error& err);
};

// H2UserError kinds the engine raises (indices of the kind table).
inline constexpr uint8_t kUserUnexpectedFrameType = 1;
inline constexpr uint8_t kUserMalformedHeaders = 6;

// One live stream.
struct Stream {
    uint32_t id = 0;
    StreamState state;
    Handle handle = nullptr;       // one reference held while the record lives
    FlowControl send_flow;         // starts at the peer's initial window size
    FlowControl recv_flow;         // starts at the local stream receive window
    ContentLength content_length;  // of the received body
    bool is_head = false;          // the request was HEAD
    bool slot_holder = false;      // carries one of num_open_streams
    bool counted_out = false;      // close bookkeeping has run
    bool recv_reclaimed = false;   // receive capacity already given back
    uint32_t recv_unreleased = 0;  // delivered, not yet released
    uint64_t send_buffered = 0;    // DATA bytes queued or in an uncredited batch
    size_t data_budget_charged = 0;
    uint64_t credit_epoch = 0;     // credit_written dedupe

    bool owes_nothing() const { return recv_unreleased == 0 && data_budget_charged == 0; }
};

// Stream ids are chosen by the peer: the table's hash is seeded per engine.
struct StreamIdHash {
    uint64_t seed = 0;
    size_t operator()(uint32_t k) const {
        uint64_t x = (uint64_t(k) ^ seed) * 0x9E3779B97F4A7C15ull;
        return size_t(x ^ (x >> 29));
    }
};
using StreamTable = std::unordered_map<uint32_t, Stream, StreamIdHash>;
using IdSet = std::unordered_set<uint32_t, StreamIdHash>;

// ---- operation inputs and results ----

struct HeadersIn {
    uint32_t stream_id = 0;
    bool end_stream = false;
    bool informational = false;
    uint16_t status = 0;  // 0 when absent
    bool has_content_length = false;
    bool content_length_invalid = false;
    uint64_t content_length = 0;
};
struct HeadersOut {
    uint8_t kind = kHeadersIgnored;
    Handle handle = nullptr;  // borrowed
    bool eof = false;
    bool spare_used = false;  // the record took the spare's reference
    uint32_t flags = 0;
};

struct DataIn {
    uint32_t stream_id = 0;
    bool end_stream = false;
    uint32_t payload_len = 0;
    uint32_t flow_len = 0;  // payload plus padding
};
struct DataOut {
    Handle handle = nullptr;  // borrowed; nullptr when swallowed
    bool deliver = false;     // hand the payload over (else payload None)
    bool budgeted = false;
    bool eof = false;
    uint32_t flags = 0;
};

struct RecvResetOut {
    bool has = false;  // false: the result is None
    Handle handle = nullptr;
    Stop stop;
    bool notify_body = false;
    uint32_t flags = 0;
};

struct SendOut {
    uint64_t sent = 0;
    bool done = false;
    std::optional<Stop> stopped;
    Handle handle = nullptr;  // borrowed
    std::optional<Stop> reader_stop;
    uint32_t flags = 0;
};

struct ResetOut {
    Handle handle = nullptr;  // borrowed; nullptr: nothing to notify
    std::optional<Stop> stop;
    uint32_t flags = 0;
};

struct Aborted {
    Handle handle;
    Stop stop;
};

struct SettingsOutcome {
    bool initial = false;
    uint32_t flags = 0;  // the handles to wake are in wake()
};

struct OpenIn {
    std::string_view method, target;
    const std::string_view* scheme = nullptr;     // nullptr = None
    const std::string_view* authority = nullptr;  // nullptr = None
    const HeaderList* headers = nullptr;          // a private copy
    bool end_stream = false;
    bool is_head = false;
};

struct PeerGoAway {
    uint32_t last_stream_id = 0;
    Reason error_code = 0;
    std::shared_ptr<const std::string> debug;  // never null once set
};

class Engine {
public:
    explicit Engine(const EngineConfig& cfg);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // The caller holds state_mu around every call below except the decoder
    // entry points (decoder_mu only) and recycle() (no lock).
    Mutex state_mu;
    Mutex decoder_mu;

    // ---- construction, handshake, write path (engine.cpp) ----
    EngineError begin();
    // Swaps pending out (the spare, else a new buffer, becomes pending) and
    // moves the credit batch to the written credits. The caller owns the
    // result and gives it back through recycle() once written.
    ByteBuf* take_pending(bool* stopping);
    // Lock-free: the buffer becomes the spare if there is none, else it is
    // freed. Safe from any thread, with or without the engine's locks.
    void recycle(ByteBuf* buf);
    // Applies the written credits; the handles to wake are in wake().
    void credit_written();
    bool has_pending() const { return !pending_->empty(); }
    void stop_pump() { stopping_ = true; }
    std::string_view pending_view() const { return pending_->view(); }

    // ---- decoder entry points (decoder_mu only) ----
    FrameDecoder& decoder() { return decoder_; }
    // 1 = True, 0 = None (partial preface), -1 = False.
    int prime(std::string_view data);

    // ---- inbound frames (engine_recv.cpp) ----
    EngineError recv_headers(const HeadersIn& f, Handle spare, HeadersOut* out);
    EngineError recv_data(const DataIn& f, DataOut* out);
    EngineError recv_window_update(uint32_t sid, uint32_t increment);  // wake()
    EngineError recv_reset(uint32_t sid, Reason code, RecvResetOut* out);

    // ---- connection control (engine_control.cpp) ----
    EngineError recv_settings(const SettingsFrame& f, SettingsOutcome* out);  // wake()
    EngineError recv_ping(const PingFrame& f, uint32_t* flags);
    EngineError recv_go_away(uint32_t last_stream_id, Reason code, std::string_view debug,
                             uint32_t* flags);  // aborted()
    uint32_t maybe_goaway_reply();
    uint32_t send_goaway(Reason reason);
    uint32_t begin_graceful_shutdown();
    // exc: the binding's exception object (a reference the engine takes
    // over, stored or dropped), or nullptr to store `message`.
    void fail(Handle exc, std::string_view message);  // aborted()
    bool has_error() const { return has_error_; }
    Handle stored_exc() const { return stored_exc_; }            // borrowed; may be null
    const std::string& stored_message() const { return stored_msg_; }
    const std::optional<PeerGoAway>& peer_goaway() const { return peer_goaway_; }
    bool is_closed() const { return has_error_ || peer_goaway_.has_value(); }

    // ---- opening and sending (engine_send.cpp) ----
    bool try_claim_slot();
    bool can_open() const;
    void release_slot_count();
    void apply_stream_limit(std::optional<uint64_t> limit);
    // *sid stays empty when the connection refuses (failed or GOAWAY).
    EngineError open_stream(const OpenIn& in, Handle handle, std::optional<uint32_t>* sid,
                            bool* handle_used);
    EngineError send_data(uint32_t sid, std::string_view data, uint64_t offset, bool end_stream,
                          SendOut* out);
    EngineError send_trailers(uint32_t sid, const HeaderList& trailers, SendOut* out);
    EngineError send_response_head(uint32_t sid, uint16_t status, const HeaderList* headers,
                                   bool end_stream, SendOut* out);

    // ---- resets and releases (engine_reset.cpp) ----
    EngineError reset_stream(uint32_t sid, Reason reason, Initiator initiator, ResetOut* out);
    EngineError reset_on_error(uint32_t sid, Reason reason, ResetOut* out);
    EngineError aclose_body(uint32_t sid, ResetOut* out);
    uint32_t release_capacity(uint32_t sid, uint32_t n);
    void release_data_frame(uint32_t sid, uint64_t payload_len);
    void accepted(uint32_t sid);

    // ---- introspection and diagnostic setters (engine.cpp) ----
    const Stream* stream(uint32_t sid) const;
    bool in_reset_store(uint32_t sid) const;  // plain presence, any age
    void set_next_stream_id(uint32_t sid) { next_stream_id_ = sid; }
    void set_max_stream_id(uint32_t sid) { max_stream_id_ = sid; }
    void set_last_processed_id(uint32_t sid) { last_processed_id_ = sid; }

    bool is_server() const { return server_; }
    bool graceful() const { return graceful_; }
    bool shutdown_final() const { return shutdown_final_; }
    uint64_t num_streams() const { return num_streams_; }
    uint64_t num_open_streams() const { return num_open_streams_; }
    std::optional<uint64_t> stream_limit() const { return stream_limit_; }
    uint32_t last_processed_id() const { return last_processed_id_; }
    uint32_t max_stream_id() const { return max_stream_id_; }
    int32_t conn_send_window() const { return conn_send_.window_size(); }
    int32_t conn_recv_available() const { return conn_recv_.available(); }
    const DataFrameBudget& data_budget() const { return budget_; }
    uint32_t peer_initial_window_size() const { return peer_initial_window_; }
    uint32_t peer_max_frame_size() const { return peer_max_frame_size_; }
    std::optional<uint32_t> peer_max_concurrent_streams() const { return peer_max_concurrent_; }
    uint64_t max_pending_accept_reset_streams() const { return cfg_.max_pending_accept_reset_streams; }
    std::optional<uint64_t> max_local_error_reset_streams() const {
        return cfg_.max_local_error_reset_streams;
    }
    uint64_t local_error_resets() const { return local_error_resets_; }
    bool goaway_replied() const { return goaway_replied_; }
    size_t stream_count() const { return streams_.size(); }
    const EngineConfig& config() const { return cfg_; }
    const StreamTable& streams() const { return streams_; }

    // ---- results collected under the lock ----
    // Handles to wake (credit_written, recv_window_update, recv_settings);
    // borrowed.
    std::vector<Handle>& wake() { return wake_; }
    // (handle, stop) pairs of aborted streams (recv_go_away, fail); borrowed.
    std::vector<Aborted>& aborted() { return aborted_; }
    // References the caller must release after unlocking; moving them out
    // leaves the list empty.
    std::vector<Handle>& drops() { return drops_; }
    // Every reference the engine holds (handles and the stored exception),
    // for garbage-collection traversal.
    template <class F>
    int for_each_ref(F&& f) const {
        for (auto& [id, s] : streams_)
            if (s.handle)
                if (int r = f(s.handle)) return r;
        if (stored_exc_) return f(stored_exc_);
        return 0;
    }
    // Moves every reference to drops() (garbage-collection clear and
    // deallocation); the records go with them.
    void drop_all_refs();

    // Monotonic clock in nanoseconds; tests and fuzzers may replace it.
    int64_t (*clock)() = &monotonic_ns;
    static int64_t monotonic_ns();

    // ---- shared helpers, used by every operation file (engine.cpp) ----
    Stream* find(uint32_t sid);
    // The bookkeeping of a stream whose state became closed: counts it out
    // once, frees its slot, removes the record when it owes nothing (the
    // reference `s` is then dangling), plus the GOAWAY reply check and the
    // server's drain test. Returns the flag bits.
    uint32_t close_bookkeeping(Stream& s);
    // Gives back a record's unreleased receive bytes (connection window)
    // and DATA budget charge and marks it reclaimed. The record stays: a
    // closed one goes with the close_bookkeeping() that follows.
    void release_record(Stream& s);
    // Drops the record and moves its handle to drops().
    void remove_stream(uint32_t sid);
    // n bytes go back to the connection receive capacity; a WINDOW_UPDATE
    // is queued once the unclaimed capacity reaches half the window.
    void give_back_conn_recv(uint32_t n);
    // The same for a stream's receive flow (no update for a stream whose
    // peer side has ended).
    void give_back_stream_recv(Stream& s, uint32_t n);
    // An id without record may have existed (it is not idle).
    bool may_have_existed(uint32_t sid) const;
    // Server: the id is above the last-stream-id of our final GOAWAY; every
    // frame for it is discarded (swallowed, its DATA length given back to
    // the connection window), never treated as a frame on an idle stream.
    bool beyond_final_goaway(uint32_t sid) const { return server_ && sid > max_stream_id_; }
    // Reset store: lookup with expiry (removes an entry older than 1 s),
    // and insertion (purges expired entries, evicts the oldest when full).
    bool reset_store_check(uint32_t sid);
    void reset_store_insert(uint32_t sid);
    // The core reset of Part-independent use: closes S with Reset(S, R, I),
    // queues RST_STREAM when it was not closed yet, releases the record,
    // runs the close bookkeeping, and remembers S in the reset store.
    void core_reset(uint32_t sid, Reason reason, Initiator initiator, ResetOut* out);
    // Rate limit on RST_STREAM frames received (a token bucket: a burst of
    // 1000, refilled at 33 a second): recv_reset calls it first for every
    // frame with a stream id other than 0; past the limit, ENHANCE_YOUR_CALM.
    EngineError charge_recv_reset();
    // Removes a closed, counted-out record that owes nothing.
    void remove_if_done(Stream& s);
    // The idle-stream connection error.
    static EngineError idle_stream_error(uint32_t sid);

    ByteBuf& pending() { return *pending_; }
    size_t pending_size() const { return pending_->size(); }
    // ACK flood check before queueing a PING or SETTINGS acknowledgement.
    bool ack_allowed() { return acks_since_take_ < kMaxQueuedAcks; }

private:
    friend struct EngineTestAccess;

    EngineConfig cfg_;
    bool server_;

    // -- decoder side (decoder_mu)
    FrameDecoder decoder_;

    // -- everything else (state_mu)
    FrameEncoder encoder_;  // our HPACK encoder and frame writer, sized by the peer
    ByteBuf* pending_;      // owned, never null
    std::atomic<ByteBuf*> spare_{nullptr};
    std::vector<std::pair<uint32_t, uint32_t>> credits_;          // since the last take
    std::vector<std::pair<uint32_t, uint32_t>> written_credits_;  // waiting for credit_written
    uint64_t credit_epoch_ = 0;
    bool stopping_ = false;
    uint32_t acks_since_take_ = 0;
    uint32_t late_resets_since_take_ = 0;

    StreamTable streams_;

    // settings
    enum class LocalSettings : uint8_t { NotSent, Sent, Acked };
    LocalSettings local_settings_ = LocalSettings::NotSent;
    bool peer_settings_seen_ = false;
    uint32_t peer_initial_window_ = 65535;
    uint32_t peer_max_frame_size_ = kDefaultMaxFrameSize;
    std::optional<uint32_t> peer_max_concurrent_;
    uint32_t peer_header_table_size_ = kDefaultHeaderTableSize;
    uint32_t local_stream_recv_window_;  // max(initial_window_size, 65535) until our ACK

    // flow control and budget
    FlowControl conn_send_{65535, 65535};
    FlowControl conn_recv_{65535, 65535};
    DataFrameBudget budget_;

    // stream ids and counters
    uint64_t next_stream_id_;  // client: 1, server: 2; above kMaxStreamId = exhausted
    uint32_t highest_peer_id_ = 0;
    uint32_t last_processed_id_ = 0;
    uint32_t max_stream_id_ = kMaxStreamId;
    uint64_t num_streams_ = 0;
    uint64_t num_open_streams_ = 0;
    std::optional<uint64_t> stream_limit_;

    // resets
    std::vector<std::pair<uint32_t, int64_t>> reset_store_;  // oldest first
    IdSet pending_accept_;        // server: opened by the peer, not yet accepted
    IdSet pending_accept_reset_;  // ... and reset by the peer meanwhile
    uint64_t local_error_resets_ = 0;
    double recv_reset_tokens_ = kRecvResetBurst;
    int64_t recv_reset_refill_ns_ = 0;

    // GOAWAY and shutdown
    std::optional<PeerGoAway> peer_goaway_;
    bool goaway_replied_ = false;
    bool graceful_ = false;
    bool shutdown_final_ = false;

    // stored error
    bool has_error_ = false;
    Handle stored_exc_ = nullptr;
    std::string stored_msg_;

    // results
    std::vector<Handle> wake_;
    std::vector<Aborted> aborted_;
    std::vector<Handle> drops_;

    // -- helpers private to one file go below, marked with their file --
    // engine_control.cpp
    EngineError apply_ack();
    // engine_recv.cpp: DATA for a gone or locally reset stream; its length
    // is counted against the connection window and given back at once.
    EngineError swallow_data(uint32_t flow_len);
    // aborts every stream matching pred with state error e (fail, GOAWAY)
    template <class Pred>
    uint32_t abort_streams(Pred pred, const Error& e, bool by_goaway);
};

}  // namespace wl::h2
