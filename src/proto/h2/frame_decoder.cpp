#include "proto/h2/frame_decoder.h"

#include <algorithm>
#include <cstring>

namespace wl::h2 {

PrefaceMatch match_preface(std::string_view data) {
    size_t n = std::min(data.size(), kPreface.size());
    if (n && std::memcmp(data.data(), kPreface.data(), n) != 0) return PrefaceMatch::Mismatch;
    return n < kPreface.size() ? PrefaceMatch::Partial : PrefaceMatch::Match;
}

void FrameDecoder::recompute_continuation_limit() {
    size_t b = max_header_list_size_ / max_recv_frame_size_;
    if (b < 1) b = 1;
    size_t limit = b + b / 4;
    continuation_limit_ = limit < 5 ? 5 : limit;
}

PrefaceMatch FrameDecoder::feed_preface(std::string_view data) {
    preface_active_ = true;
    // Only the first 24 bytes take part in the comparison; keep the rest
    // aside so a long first read is not copied twice.
    size_t have = preface_.size();
    size_t take = have < kPreface.size() ? std::min(data.size(), kPreface.size() - have) : 0;
    preface_.append(data.data(), take);
    PrefaceMatch m = match_preface(preface_.view());
    if (m == PrefaceMatch::Match) {
        std::string_view extra = preface_.view().substr(kPreface.size());
        if (!extra.empty()) buf_.append(extra);
        buf_.append(data.substr(take));
        preface_.clear_and_free();
        preface_active_ = false;
    } else if (take < data.size()) {
        preface_.append(data.substr(take));
    }
    return m;
}

FrameDecoder::Status FrameDecoder::receive(std::string_view data, FrameSink& sink, ConnError* err) {
    if (preface_required && !preface_consumed) {
        PrefaceMatch m = feed_preface(data);
        if (m == PrefaceMatch::Mismatch) {
            err->kind = ConnErrorKind::BadPreface;
            return Status::Error;
        }
        if (m == PrefaceMatch::Partial) return Status::Ok;
        preface_consumed = true;
        data = {};
    }
    const uint8_t* in = reinterpret_cast<const uint8_t*>(data.data());
    if (buf_.empty()) {
        // Fast path: decode straight from the caller's bytes and keep only
        // the incomplete tail.
        size_t used = 0;
        Status st = decode_frames(in, data.size(), &used, sink, err);
        if (used < data.size()) buf_.append(in + used, data.size() - used);
        return st;
    }
    buf_.append(data);
    size_t used = 0;
    Status st = decode_frames(buf_.data(), buf_.size(), &used, sink, err);
    buf_.consume(used);
    // One huge frame must not pin its memory for the life of the connection.
    if (buf_.empty() && buf_.capacity() > kKeepCapacity) buf_.clear_and_free();
    return st;
}

FrameDecoder::Status FrameDecoder::decode_frames(const uint8_t* p, size_t n, size_t* used,
                                                 FrameSink& sink, ConnError* err) {
    size_t pos = 0;
    Status st = Status::Ok;
    while (n - pos >= kFrameHeaderLen) {
        const uint8_t* h = p + pos;
        uint32_t len = get_u24(h);
        if (len > max_recv_frame_size_) {
            err->kind = ConnErrorKind::FrameTooLarge;
            st = Status::Error;
            break;
        }
        if (n - pos - kFrameHeaderLen < len) break;
        uint8_t type = h[3], flags = h[4];
        uint32_t sid = get_u32(h + 5) & 0x7fffffffu;
        pos += kFrameHeaderLen + len;
        if (partial_ && type != kContinuation) {
            err->kind = ConnErrorKind::ExpectedContinuation;
            st = Status::Error;
            break;
        }
        st = decode_one(type, flags, sid, h + kFrameHeaderLen, len, sink, err);
        if (st != Status::Ok) break;
    }
    *used = pos;
    return st;
}

static FrameDecoder::Status frame_error(ConnError* err, FrameError e) {
    err->kind = ConnErrorKind::FrameLoad;
    err->detail = frame_error_name(e);
    return FrameDecoder::Status::Error;
}

static FrameDecoder::Status conn_error(ConnError* err, ConnErrorKind k) {
    err->kind = k;
    return FrameDecoder::Status::Error;
}

static inline FrameDecoder::Status sunk(bool ok) {
    return ok ? FrameDecoder::Status::Ok : FrameDecoder::Status::SinkStopped;
}

FrameDecoder::Status FrameDecoder::decode_one(uint8_t type, uint8_t flags, uint32_t sid,
                                              const uint8_t* pl, uint32_t len, FrameSink& sink,
                                              ConnError* err) {
    switch (type) {
        case kData: {
            if (sid == 0) return frame_error(err, FrameError::InvalidStreamId);
            DataFrame f{sid, (flags & kEndStream) != 0, {}, len, 0};
            const uint8_t* d = pl;
            uint32_t dlen = len;
            if (flags & kPadded) {
                if (len == 0 || pl[0] >= len) return frame_error(err, FrameError::TooMuchPadding);
                uint32_t pad = pl[0];
                d = pl + 1;
                dlen = len - 1 - pad;
                f.padding = pad + 1;
            }
            f.data = {reinterpret_cast<const char*>(d), dlen};
            return sunk(sink.on_data(f));
        }
        case kHeaders:
            return on_headers(flags, sid, pl, len, sink, err);
        case kPriority: {
            if (sid == 0) return conn_error(err, ConnErrorKind::PriorityStreamZero);
            if (len != 5) return frame_error(err, FrameError::InvalidPayloadLength);
            uint32_t dep = get_u32(pl) & 0x7fffffffu;
            if (dep == sid) return sunk(sink.on_stream_error({sid, kProtocolError}));
            return sunk(sink.on_priority({sid}));
        }
        case kRstStream:
            if (len != 4) return frame_error(err, FrameError::InvalidPayloadLength);
            return sunk(sink.on_rst_stream({sid, get_u32(pl)}));
        case kSettings:
            return on_settings(flags, sid, pl, len, sink, err);
        case kPushPromise:
            return conn_error(err, ConnErrorKind::PushPromise);
        case kPing: {
            if (sid != 0) return frame_error(err, FrameError::InvalidStreamId);
            if (len != 8) return frame_error(err, FrameError::BadFrameSize);
            PingFrame f;
            f.ack = (flags & kAck) != 0;
            std::memcpy(f.data, pl, 8);
            return sunk(sink.on_ping(f));
        }
        case kGoAway: {
            if (len < 8) return frame_error(err, FrameError::BadFrameSize);
            GoAwayFrame f{get_u32(pl) & 0x7fffffffu, get_u32(pl + 4),
                          {reinterpret_cast<const char*>(pl + 8), len - 8u}};
            return sunk(sink.on_goaway(f));
        }
        case kWindowUpdate: {
            if (len != 4) return frame_error(err, FrameError::BadFrameSize);
            uint32_t inc = get_u32(pl) & 0x7fffffffu;
            if (inc == 0) return frame_error(err, FrameError::InvalidWindowUpdateValue);
            return sunk(sink.on_window_update({sid, inc}));
        }
        case kContinuation:
            return on_continuation(flags, sid, pl, len, sink, err);
        default:
            return Status::Ok;  // unknown types are ignored
    }
}

FrameDecoder::Status FrameDecoder::on_settings(uint8_t flags, uint32_t sid, const uint8_t* pl,
                                               uint32_t len, FrameSink& sink, ConnError* err) {
    if (sid != 0) return frame_error(err, FrameError::InvalidStreamId);
    SettingsFrame f;
    if (flags & kAck) {
        if (len != 0) return frame_error(err, FrameError::InvalidPayloadLength);
        f.ack = true;
        return sunk(sink.on_settings(f));
    }
    if (len % 6 != 0) return frame_error(err, FrameError::InvalidPayloadAckSettings);
    for (uint32_t i = 0; i < len; i += 6) {
        uint32_t id = get_u16(pl + i), v = get_u32(pl + i + 2);
        switch (id) {
            case 1:
                f.header_table_size = v;
                f.present |= SettingsFrame::kHasHeaderTableSize;
                break;
            case 2:
                if (v > 1) return frame_error(err, FrameError::InvalidSettingValue);
                f.enable_push = v == 1;
                f.present |= SettingsFrame::kHasEnablePush;
                break;
            case 3:
                f.max_concurrent_streams = v;
                f.present |= SettingsFrame::kHasMaxConcurrentStreams;
                break;
            case 4:
                if (v > kMaxWindowSize) return frame_error(err, FrameError::InvalidSettingValue);
                f.initial_window_size = v;
                f.present |= SettingsFrame::kHasInitialWindowSize;
                break;
            case 5:
                if (v < kDefaultMaxFrameSize || v > kMaxMaxFrameSize)
                    return frame_error(err, FrameError::InvalidSettingValue);
                f.max_frame_size = v;
                f.present |= SettingsFrame::kHasMaxFrameSize;
                break;
            case 6:
                f.max_header_list_size = v;
                f.present |= SettingsFrame::kHasMaxHeaderListSize;
                break;
            case 8:
                if (v > 1) return frame_error(err, FrameError::InvalidSettingValue);
                break;
            default:
                break;
        }
    }
    return sunk(sink.on_settings(f));
}

FrameDecoder::Status FrameDecoder::on_headers(uint8_t flags, uint32_t sid, const uint8_t* pl,
                                              uint32_t len, FrameSink& sink, ConnError* err) {
    if (sid == 0) return frame_error(err, FrameError::InvalidStreamId);
    uint32_t pos = 0, pad = 0;
    if (flags & kPadded) {
        if (len == 0) return frame_error(err, FrameError::MalformedMessage);
        pad = pl[0];
        pos = 1;
    }
    bool self_dep = false;
    if (flags & kPriorityFlag) {
        if (len - pos < 5) return frame_error(err, FrameError::MalformedMessage);
        uint32_t dep = get_u32(pl + pos) & 0x7fffffffu;
        self_dep = dep == sid;
        pos += 5;
    }
    if (pad > len - pos) return frame_error(err, FrameError::TooMuchPadding);
    std::string_view frag{reinterpret_cast<const char*>(pl + pos), len - pos - pad};
    // A self-dependent stream is a stream error, but its block is still
    // decoded so the HPACK table stays in step with the peer.
    self_dependent_ = self_dep;
    // The decoder hands each pass's fields to the list in one step, sized
    // to them: no reservation ahead of the block.
    frame_.reset();
    frame_.stream_id = sid;
    frame_.end_stream = (flags & kEndStream) != 0;
    continuations_ = 0;
    held_.clear();
    return decode_block(frag, (flags & kEndHeaders) != 0, sink, err);
}

FrameDecoder::Status FrameDecoder::on_continuation(uint8_t flags, uint32_t sid, const uint8_t* pl,
                                                   uint32_t len, FrameSink& sink, ConnError* err) {
    if (!partial_) return conn_error(err, ConnErrorKind::UnexpectedContinuation);
    partial_ = false;
    if (sid != frame_.stream_id) return conn_error(err, ConnErrorKind::ContinuationStreamMismatch);
    bool end_headers = (flags & kEndHeaders) != 0;
    if (end_headers) {
        continuations_ = 0;
    } else if (++continuations_ > continuation_limit_) {
        return conn_error(err, ConnErrorKind::TooManyContinuations);
    }
    if (!held_.empty() && frame_.fields.over_size &&
        held_.size() + len + kFrameHeaderLen > max_header_list_size_)
        return conn_error(err, ConnErrorKind::ContinuationOverLimit);
    return decode_block({reinterpret_cast<const char*>(pl), len}, end_headers, sink, err);
}

FrameDecoder::Status FrameDecoder::decode_block(std::string_view more, bool end_headers,
                                                FrameSink& sink, ConnError* err) {
    HpackResult r;
    if (held_.empty()) {
        size_t used = 0;
        r = hpack_.decode(reinterpret_cast<const uint8_t*>(more.data()), more.size(), &used,
                          frame_.fields, max_header_list_size_);
        if (!frame_.fields.too_large && is_need_more(r) && !end_headers)
            held_.append(more.substr(used));
    } else {
        held_.append(more);
        r = hpack_.decode(held_, frame_.fields, max_header_list_size_);
    }
    if (frame_.fields.too_large) return conn_error(err, ConnErrorKind::HeaderListAbuse);
    if (r != HpackResult::Ok && !(is_need_more(r) && !end_headers)) {
        err->kind = ConnErrorKind::Hpack;
        err->detail = hpack_result_name(r);
        return Status::Error;
    }
    if (!end_headers) {
        partial_ = true;
        return Status::Ok;
    }
    if (held_.capacity() > kKeepCapacity)
        held_.clear_and_free();
    else
        held_.clear();
    // A block that lost fields to the header-list limit is refused for its
    // stream rather than delivered short: a request or response missing some
    // of its fields must not be acted on. The whole block was decoded, so the
    // HPACK table stays in step with the peer.
    if (frame_.fields.malformed || frame_.fields.over_size || self_dependent_) {
        self_dependent_ = false;
        uint32_t sid = frame_.stream_id;
        frame_.reset();
        return sunk(sink.on_stream_error({sid, kProtocolError}));
    }
    const HeaderList& h = frame_.fields.headers;
    uint32_t cl = h.find("content-length");
    if (cl != HeaderList::kNone) {
        frame_.has_content_length = true;
        frame_.content_length_invalid = !parse_content_length(h.first_value(cl), &frame_.content_length);
    }
    // The next block starts with a reset: none is needed here.
    return sunk(sink.on_headers(frame_));
}

}  // namespace wl::h2
