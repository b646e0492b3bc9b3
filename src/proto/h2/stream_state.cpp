#include "proto/h2/stream_state.h"

namespace wl::h2 {

namespace {

const char* peer_str(Peer p) { return p == Peer::Streaming ? "Streaming" : "AwaitingHeaders"; }

const char* initiator_debug(Initiator i) {
    switch (i) {
        case Initiator::User: return "User";
        case Initiator::Library: return "Library";
        case Initiator::Remote: return "Remote";
    }
    return "Library";
}

void append_bytes_debug(std::string& out, const std::string* data) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "b\"";
    if (data) {
        for (unsigned char c : *data) {
            switch (c) {
                case '\t': out += "\\t"; break;
                case '\r': out += "\\r"; break;
                case '\n': out += "\\n"; break;
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                default:
                    if (c >= 0x20 && c < 0x7f) {
                        out += char(c);
                    } else {
                        out += "\\x";
                        out += kHex[c >> 4];
                        out += kHex[c & 0xf];
                    }
            }
        }
    }
    out += '"';
}

}  // namespace

const char* initiator_str(Initiator i) {
    switch (i) {
        case Initiator::User: return "user";
        case Initiator::Library: return "library";
        case Initiator::Remote: return "remote";
    }
    return "library";
}

void Error::append_debug(std::string& out) const {
    switch (kind) {
        case Kind::Reset:
            out += "Reset(StreamId(";
            out += std::to_string(stream_id);
            out += "), ";
            append_reason_debug(out, reason);
            out += ", ";
            out += initiator_debug(initiator);
            out += ')';
            break;
        case Kind::GoAway:
            out += "GoAway(";
            append_bytes_debug(out, debug_data.get());
            out += ", ";
            append_reason_debug(out, reason);
            out += ", ";
            out += initiator_debug(initiator);
            out += ')';
            break;
        case Kind::Io:
            out += "Io(";
            out += io == IoKind::BrokenPipe ? "BrokenPipe" : "Other";
            out += ", \"";
            for (const char* p = io_message; *p; ++p) {
                if (*p == '"' || *p == '\\') out += '\\';
                out += *p;
            }
            out += "\")";
            break;
    }
}

Violation StreamState::send_open(bool eos) {
    switch (kind_) {
        case StateKind::Idle:
            if (eos)
                half_closed_local(Peer::AwaitingHeaders);
            else
                open(Peer::Streaming, Peer::AwaitingHeaders);
            return Violation::None;
        case StateKind::Open:
            if (local_ != Peer::AwaitingHeaders) return Violation::User;
            if (eos)
                half_closed_local(remote_);
            else
                open(Peer::Streaming, remote_);
            return Violation::None;
        case StateKind::HalfClosedRemote:
            if (local_ != Peer::AwaitingHeaders) return Violation::User;
            [[fallthrough]];
        case StateKind::ReservedLocal:
            if (eos)
                close(CloseCause::EndStream);
            else
                half_closed_remote(Peer::Streaming);
            return Violation::None;
        default:
            return Violation::User;
    }
}

OpenResult StreamState::recv_open(bool eos, bool informational) {
    switch (kind_) {
        case StateKind::Idle:
            if (eos)
                half_closed_remote(Peer::AwaitingHeaders);
            else
                open(Peer::AwaitingHeaders, informational ? Peer::AwaitingHeaders : Peer::Streaming);
            return {Violation::None, true};
        case StateKind::ReservedRemote:
            if (eos)
                close(CloseCause::EndStream);
            else if (!informational)
                half_closed_local(Peer::Streaming);
            return {Violation::None, true};
        case StateKind::Open:
            if (remote_ != Peer::AwaitingHeaders) break;
            if (eos)
                half_closed_remote(local_);
            else if (!informational)
                remote_ = Peer::Streaming;
            return {Violation::None, false};
        case StateKind::HalfClosedLocal:
            if (remote_ != Peer::AwaitingHeaders) break;
            if (eos)
                close(CloseCause::EndStream);
            else if (!informational)
                remote_ = Peer::Streaming;
            return {Violation::None, false};
        default:
            break;
    }
    return {Violation::Protocol, false};
}

Violation StreamState::reserve_remote() {
    if (kind_ != StateKind::Idle) return Violation::Protocol;
    kind_ = StateKind::ReservedRemote;
    return Violation::None;
}

Violation StreamState::reserve_local() {
    if (kind_ != StateKind::Idle) return Violation::User;
    kind_ = StateKind::ReservedLocal;
    return Violation::None;
}

Violation StreamState::recv_close() {
    switch (kind_) {
        case StateKind::Open:
            half_closed_remote(local_);
            return Violation::None;
        case StateKind::HalfClosedLocal:
            close(CloseCause::EndStream);
            return Violation::None;
        default:
            return Violation::Protocol;
    }
}

bool StreamState::send_close() {
    if (kind_ == StateKind::Open && local_ == Peer::Streaming) {
        half_closed_local(remote_);
        return true;
    }
    if (kind_ == StateKind::HalfClosedRemote && local_ == Peer::Streaming) {
        close(CloseCause::EndStream);
        return true;
    }
    return false;
}

void StreamState::recv_reset(uint32_t stream_id, Reason reason, bool queued) {
    if (kind_ == StateKind::Closed && !queued) return;
    bool after_end = kind_ == StateKind::HalfClosedRemote ||
                     (kind_ == StateKind::Closed && (cause_ == CloseCause::EndStream ||
                                                     cause_ == CloseCause::ErrorAfterEndStream));
    error_ = Error::reset(stream_id, reason, Initiator::Remote);
    close(after_end ? CloseCause::ErrorAfterEndStream : CloseCause::Error);
}

void StreamState::handle_error(Error e) {
    if (kind_ == StateKind::Closed) return;
    error_ = std::move(e);
    close(CloseCause::Error);
}

void StreamState::set_reset(uint32_t stream_id, Reason reason, Initiator initiator) {
    error_ = Error::reset(stream_id, reason, initiator);
    close(CloseCause::Error);
}

bool StreamState::set_scheduled_reset(Reason reason) {
    if (kind_ == StateKind::Closed) return false;
    scheduled_ = reason;
    close(CloseCause::ScheduledLibraryReset);
    return true;
}

std::optional<Reason> StreamState::get_scheduled_reset() const {
    if (is_scheduled_reset()) return scheduled_;
    return std::nullopt;
}

RecvOpen StreamState::ensure_recv_open() const {
    switch (kind_) {
        case StateKind::Idle:
        case StateKind::ReservedRemote:
        case StateKind::Open:
        case StateKind::HalfClosedLocal:
            return RecvOpen::Yes;
        case StateKind::ReservedLocal:
        case StateKind::HalfClosedRemote:
            return RecvOpen::No;
        case StateKind::Closed:
            break;
    }
    switch (cause_) {
        case CloseCause::EndStream:
        case CloseCause::ErrorAfterEndStream:
            return RecvOpen::No;
        case CloseCause::Error:
        case CloseCause::ScheduledLibraryReset:
            break;
    }
    return RecvOpen::Failed;
}

bool StreamState::is_local_error() const {
    if (kind_ != StateKind::Closed) return false;
    if (cause_ == CloseCause::ScheduledLibraryReset) return true;
    if (!has_error()) return false;
    return error_.kind == Error::Kind::Io || error_.initiator != Initiator::Remote;
}

bool StreamState::is_remote_reset() const {
    return has_error() && error_.kind == Error::Kind::Reset && error_.initiator == Initiator::Remote;
}

bool StreamState::is_send_streaming() const {
    return (kind_ == StateKind::Open || kind_ == StateKind::HalfClosedRemote) &&
           local_ == Peer::Streaming;
}

bool StreamState::is_recv_headers() const {
    switch (kind_) {
        case StateKind::Idle:
        case StateKind::ReservedRemote:
            return true;
        case StateKind::Open:
        case StateKind::HalfClosedLocal:
            return remote_ == Peer::AwaitingHeaders;
        default:
            return false;
    }
}

bool StreamState::is_recv_streaming() const {
    return (kind_ == StateKind::Open || kind_ == StateKind::HalfClosedLocal) &&
           remote_ == Peer::Streaming;
}

bool StreamState::is_recv_end_stream() const {
    if (kind_ == StateKind::HalfClosedRemote) return true;
    return kind_ == StateKind::Closed &&
           (cause_ == CloseCause::EndStream || cause_ == CloseCause::ErrorAfterEndStream);
}

bool StreamState::is_send_closed() const {
    return kind_ == StateKind::Closed || kind_ == StateKind::HalfClosedLocal ||
           kind_ == StateKind::ReservedRemote;
}

Stop StreamState::stop() const {
    Stop s;
    if (kind_ != StateKind::Closed || cause_ == CloseCause::EndStream) return s;
    if (cause_ == CloseCause::ScheduledLibraryReset) {
        s.has_reason = true;
        s.reason = scheduled_;
        s.conn = true;
        return s;
    }
    if (error_.kind == Error::Kind::Io) {
        s.conn = true;
        return s;
    }
    s.has_reason = true;
    s.reason = error_.reason;
    // A GOAWAY counts for the connection only while the peer had not yet
    // ended its side.
    s.conn = error_.kind == Error::Kind::GoAway && cause_ == CloseCause::Error;
    return s;
}

void StreamState::append_debug(std::string& out) const {
    switch (kind_) {
        case StateKind::Idle: out += "Idle"; return;
        case StateKind::ReservedLocal: out += "ReservedLocal"; return;
        case StateKind::ReservedRemote: out += "ReservedRemote"; return;
        case StateKind::Open:
            out += "Open { local: ";
            out += peer_str(local_);
            out += ", remote: ";
            out += peer_str(remote_);
            out += " }";
            return;
        case StateKind::HalfClosedLocal:
            out += "HalfClosedLocal(";
            out += peer_str(remote_);
            out += ')';
            return;
        case StateKind::HalfClosedRemote:
            out += "HalfClosedRemote(";
            out += peer_str(local_);
            out += ')';
            return;
        case StateKind::Closed:
            break;
    }
    out += "Closed(";
    switch (cause_) {
        case CloseCause::EndStream: out += "EndStream"; break;
        case CloseCause::Error:
        case CloseCause::ErrorAfterEndStream:
            out += cause_ == CloseCause::Error ? "Error(" : "ErrorAfterEndStream(";
            error_.append_debug(out);
            out += ')';
            break;
        case CloseCause::ScheduledLibraryReset:
            out += "ScheduledLibraryReset(";
            append_reason_debug(out, scheduled_);
            out += ')';
            break;
    }
    out += ')';
}

}  // namespace wl::h2
