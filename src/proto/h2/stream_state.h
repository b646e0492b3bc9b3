// The per-stream state machine of RFC 9113 section 5.1, as a plain value.
// The HTTP/2 engine keeps one per stream under its own lock; illegal
// transitions come back as values and leave the state untouched.
// No Python here.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "proto/h2/reason.h"

namespace wl::h2 {

// How far one side of a stream has got.
enum class Peer : uint8_t { AwaitingHeaders, Streaming };

// Who caused an error.
enum class Initiator : uint8_t { User, Library, Remote };

// The I/O failure class of an Io error.
enum class IoKind : uint8_t { BrokenPipe, Other };

const char* initiator_str(Initiator i);  // "user", "library", "remote"

// Why a stream (or its connection) failed.
struct Error {
    enum class Kind : uint8_t { Reset, GoAway, Io };

    Kind kind = Kind::Reset;
    Initiator initiator = Initiator::Library;
    IoKind io = IoKind::Other;
    uint32_t stream_id = 0;  // Reset
    Reason reason = 0;       // Reset, GoAway
    std::shared_ptr<const std::string> debug_data;  // GoAway; null means empty
    const char* io_message = "";                    // Io; static text

    static Error reset(uint32_t stream_id, Reason reason, Initiator initiator) {
        Error e;
        e.kind = Kind::Reset;
        e.stream_id = stream_id;
        e.reason = reason;
        e.initiator = initiator;
        return e;
    }
    static Error go_away(std::shared_ptr<const std::string> debug, Reason reason, Initiator initiator) {
        Error e;
        e.kind = Kind::GoAway;
        e.debug_data = std::move(debug);
        e.reason = reason;
        e.initiator = initiator;
        return e;
    }
    static Error io_error(IoKind kind, const char* message) {
        Error e;
        e.kind = Kind::Io;
        e.io = kind;
        e.io_message = message;
        return e;
    }
    // The error a stream takes when its transport goes away.
    static Error broken_pipe() {
        return io_error(IoKind::BrokenPipe, "stream closed because of a broken pipe");
    }

    void append_debug(std::string& out) const;
};

enum class StateKind : uint8_t {
    Idle,
    ReservedLocal,
    ReservedRemote,
    Open,
    HalfClosedLocal,
    HalfClosedRemote,
    Closed,
};

enum class CloseCause : uint8_t {
    EndStream,              // both sides ended cleanly
    Error,                  // error()
    ErrorAfterEndStream,    // error() arrived after the peer's END_STREAM
    ScheduledLibraryReset,  // scheduled_reason(); RST_STREAM not sent yet
};

// An illegal transition: a local one is the caller's misuse (the connection
// stays usable), a remote one is a connection-level PROTOCOL_ERROR.
enum class Violation : uint8_t { None, User, Protocol };

struct OpenResult {
    Violation violation;
    bool opened;  // this HEADERS opened the stream (from Idle or ReservedRemote)
};

// Whether the receive side may still deliver data.
enum class RecvOpen : uint8_t {
    Yes,
    No,      // cleanly finished (or never going to receive)
    Failed,  // closed by error() or a scheduled reset: report it
};

// Why a stream stopped, as its readers and senders see it.
struct Stop {
    bool has_reason = false;
    Reason reason = 0;
    bool conn = false;  // a connection-level condition applies
};

class StreamState {
public:
    StateKind kind() const { return kind_; }
    // Open: both; HalfClosedLocal: remote(); HalfClosedRemote: local().
    Peer local() const { return local_; }
    Peer remote() const { return remote_; }
    // Closed only.
    CloseCause cause() const { return cause_; }
    // Closed(Error) and Closed(ErrorAfterEndStream) only.
    const Error& error() const { return error_; }
    // Closed(ScheduledLibraryReset) only.
    Reason scheduled_reason() const { return scheduled_; }

    // Local HEADERS sent.
    [[nodiscard]] Violation send_open(bool eos);
    // Remote HEADERS received; `informational` when it carried a 1xx status.
    [[nodiscard]] OpenResult recv_open(bool eos, bool informational);
    [[nodiscard]] Violation reserve_remote();
    [[nodiscard]] Violation reserve_local();
    // Remote END_STREAM received (on DATA or trailers).
    [[nodiscard]] Violation recv_close();
    // Local END_STREAM queued; true when a transition happened.
    bool send_close();
    // RST_STREAM received; `queued`: frames of this stream still wait to be sent.
    void recv_reset(uint32_t stream_id, Reason reason, bool queued);
    // The transport ended under the stream.
    void recv_eof() { handle_error(Error::broken_pipe()); }
    // Closes with Error(e) unless already closed.
    void handle_error(Error e);
    // Closes with Error(Reset(...)) from any state.
    void set_reset(uint32_t stream_id, Reason reason, Initiator initiator);
    // Schedules a reset unless already closed; true when the state changed.
    bool set_scheduled_reset(Reason reason);
    std::optional<Reason> get_scheduled_reset() const;

    RecvOpen ensure_recv_open() const;

    bool is_idle() const { return kind_ == StateKind::Idle; }
    bool is_closed() const { return kind_ == StateKind::Closed; }
    bool is_reset() const { return kind_ == StateKind::Closed && cause_ != CloseCause::EndStream; }
    bool is_scheduled_reset() const {
        return kind_ == StateKind::Closed && cause_ == CloseCause::ScheduledLibraryReset;
    }
    bool is_local_error() const;
    bool is_remote_reset() const;
    bool is_send_streaming() const;
    bool is_recv_headers() const;
    bool is_recv_streaming() const;
    bool is_recv_end_stream() const;
    bool is_send_closed() const;

    Stop stop() const;

    // "Idle", "Open { local: Streaming, remote: AwaitingHeaders }", ...
    void append_debug(std::string& out) const;
    std::string debug() const {
        std::string s;
        append_debug(s);
        return s;
    }

private:
    bool has_error() const {
        return kind_ == StateKind::Closed &&
               (cause_ == CloseCause::Error || cause_ == CloseCause::ErrorAfterEndStream);
    }
    void open(Peer local, Peer remote) { set(StateKind::Open, local, remote); }
    void half_closed_local(Peer remote) { set(StateKind::HalfClosedLocal, local_, remote); }
    void half_closed_remote(Peer local) { set(StateKind::HalfClosedRemote, local, remote_); }
    void set(StateKind k, Peer local, Peer remote) {
        kind_ = k;
        local_ = local;
        remote_ = remote;
    }
    void close(CloseCause c) {
        kind_ = StateKind::Closed;
        cause_ = c;
    }

    StateKind kind_ = StateKind::Idle;
    Peer local_ = Peer::AwaitingHeaders;
    Peer remote_ = Peer::AwaitingHeaders;
    CloseCause cause_ = CloseCause::EndStream;
    Reason scheduled_ = 0;
    Error error_;
};

}  // namespace wl::h2
