#include "proto/h2/frame.h"

#include <cstring>

namespace wl::h2 {

bool parse_content_length(std::string_view v, uint64_t* out) {
    if (v.size() > 19) return false;
    uint64_t n = 0;
    for (char c : v) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + uint64_t(c - '0');
    }
    *out = n;
    return true;
}

const char* frame_error_name(FrameError e) {
    switch (e) {
        case FrameError::BadFrameSize: return "BadFrameSize";
        case FrameError::TooMuchPadding: return "TooMuchPadding";
        case FrameError::InvalidSettingValue: return "InvalidSettingValue";
        case FrameError::InvalidWindowUpdateValue: return "InvalidWindowUpdateValue";
        case FrameError::InvalidPayloadLength: return "InvalidPayloadLength";
        case FrameError::InvalidPayloadAckSettings: return "InvalidPayloadAckSettings";
        case FrameError::InvalidStreamId: return "InvalidStreamId";
        case FrameError::MalformedMessage: return "MalformedMessage";
    }
    return "?";
}

uint32_t ConnError::reason() const {
    switch (kind) {
        case ConnErrorKind::FrameTooLarge: return kFrameSizeError;
        case ConnErrorKind::TooManyContinuations:
        case ConnErrorKind::HeaderListAbuse: return kEnhanceYourCalm;
        case ConnErrorKind::ContinuationOverLimit: return kCompressionError;
        default: return kProtocolError;
    }
}

std::string ConnError::message() const {
    switch (kind) {
        case ConnErrorKind::None: return {};
        case ConnErrorKind::BadPreface: return "bad client connection preface";
        case ConnErrorKind::FrameTooLarge: return "frame length exceeds SETTINGS_MAX_FRAME_SIZE";
        case ConnErrorKind::ExpectedContinuation: return "expected CONTINUATION frame";
        case ConnErrorKind::FrameLoad: return std::string("failed to load frame: ").append(detail);
        case ConnErrorKind::PriorityStreamZero: return "PRIORITY frame with stream ID 0";
        case ConnErrorKind::PushPromise: return "PUSH_PROMISE received but server push is disabled";
        case ConnErrorKind::UnexpectedContinuation: return "received unexpected CONTINUATION frame";
        case ConnErrorKind::ContinuationStreamMismatch:
            return "CONTINUATION frame stream ID does not match previous frame stream ID";
        case ConnErrorKind::TooManyContinuations: return "too_many_continuations";
        case ConnErrorKind::ContinuationOverLimit:
            return "CONTINUATION frame header block size over ignorable limit";
        case ConnErrorKind::HeaderListAbuse: return "decoded header list size over abuse limit";
        case ConnErrorKind::Hpack:
            return std::string("HPACK decoding failed: Hpack(").append(detail).append(")");
    }
    return {};
}

// ---- writers ----

std::string max_frame_size_message(uint64_t got) {
    return "max_frame_size must be in [" + std::to_string(kDefaultMaxFrameSize) + ", " +
           std::to_string(kMaxMaxFrameSize) + "], got " + std::to_string(got);
}

bool check_settings(const SettingsOut& s, std::string* msg) {
    if ((s.present & SettingsFrame::kHasMaxFrameSize) &&
        (s.max_frame_size < kDefaultMaxFrameSize || s.max_frame_size > kMaxMaxFrameSize)) {
        *msg = max_frame_size_message(s.max_frame_size);
        return false;
    }
    if ((s.present & SettingsFrame::kHasInitialWindowSize) && s.initial_window_size > kMaxWindowSize) {
        *msg = "initial_window_size must be <= " + std::to_string(kMaxWindowSize) + ", got " +
               std::to_string(s.initial_window_size);
        return false;
    }
    return true;
}

size_t settings_frame_size(const SettingsOut& s) {
    return kFrameHeaderLen + 6 * size_t(__builtin_popcount(s.present & 63));
}

void write_settings(ByteBuf& out, const SettingsOut& s) {
    size_t n = settings_frame_size(s);
    uint8_t* p = out.tail(n);
    write_frame_header(p, uint32_t(n - kFrameHeaderLen), kSettings, 0, 0);
    uint8_t* q = p + kFrameHeaderLen;
    auto entry = [&](uint8_t bit, uint16_t id, uint32_t v) {
        if (!(s.present & bit)) return;
        put_u16(q, id);
        put_u32(q + 2, v);
        q += 6;
    };
    entry(SettingsFrame::kHasHeaderTableSize, 1, s.header_table_size);
    entry(SettingsFrame::kHasEnablePush, 2, s.enable_push ? 1 : 0);
    entry(SettingsFrame::kHasMaxConcurrentStreams, 3, s.max_concurrent_streams);
    entry(SettingsFrame::kHasInitialWindowSize, 4, s.initial_window_size);
    entry(SettingsFrame::kHasMaxFrameSize, 5, s.max_frame_size);
    entry(SettingsFrame::kHasMaxHeaderListSize, 6, s.max_header_list_size);
    out.commit(n);
}

void write_settings_ack(ByteBuf& out) {
    uint8_t* p = out.tail(kFrameHeaderLen);
    write_frame_header(p, 0, kSettings, kAck, 0);
    out.commit(kFrameHeaderLen);
}

void write_data(ByteBuf& out, uint32_t sid, std::string_view data, bool end_stream) {
    uint8_t* p = out.tail(kFrameHeaderLen + data.size());
    write_frame_header(p, uint32_t(data.size()), kData, end_stream ? kEndStream : 0, sid);
    if (!data.empty()) std::memcpy(p + kFrameHeaderLen, data.data(), data.size());
    out.commit(kFrameHeaderLen + data.size());
}

void write_window_update(ByteBuf& out, uint32_t sid, uint32_t increment) {
    uint8_t* p = out.tail(13);
    write_frame_header(p, 4, kWindowUpdate, 0, sid);
    put_u32(p + 9, increment);
    out.commit(13);
}

void write_ping(ByteBuf& out, const uint8_t payload[8], bool ack) {
    uint8_t* p = out.tail(17);
    write_frame_header(p, 8, kPing, ack ? kAck : 0, 0);
    std::memcpy(p + 9, payload, 8);
    out.commit(17);
}

void write_goaway(ByteBuf& out, uint32_t last_stream_id, uint32_t error_code, std::string_view debug) {
    size_t n = 17 + debug.size();
    uint8_t* p = out.tail(n);
    write_frame_header(p, uint32_t(8 + debug.size()), kGoAway, 0, 0);
    put_u32(p + 9, last_stream_id & 0x7fffffffu);
    put_u32(p + 13, error_code);
    if (!debug.empty()) std::memcpy(p + 17, debug.data(), debug.size());
    out.commit(n);
}

void write_rst_stream(ByteBuf& out, uint32_t sid, uint32_t error_code) {
    uint8_t* p = out.tail(13);
    write_frame_header(p, 4, kRstStream, 0, sid);
    put_u32(p + 9, error_code);
    out.commit(13);
}

void frame_header_block(ByteBuf& out, size_t block_at, uint32_t sid, bool end_stream,
                        uint32_t max_frame_size) {
    size_t len = out.size() - block_at;
    uint8_t es = end_stream ? kEndStream : 0;
    if (len <= max_frame_size) {
        write_frame_header(out.data() + block_at - kFrameHeaderLen, uint32_t(len), kHeaders,
                           uint8_t(es | kEndHeaders), sid);
        return;
    }
    size_t k = (len + max_frame_size - 1) / max_frame_size;
    size_t extra = (k - 1) * kFrameHeaderLen;
    out.tail(extra);
    out.commit(extra);
    uint8_t* base = out.data() + block_at;
    // Move fragments back to front so nothing is overwritten before it moved.
    for (size_t i = k - 1; i >= 1; --i) {
        size_t src = i * size_t(max_frame_size);
        size_t flen = (i == k - 1) ? len - src : max_frame_size;
        size_t dst = i * (size_t(max_frame_size) + kFrameHeaderLen);
        std::memmove(base + dst, base + src, flen);
        write_frame_header(base + dst - kFrameHeaderLen, uint32_t(flen), kContinuation,
                           i == k - 1 ? kEndHeaders : 0, sid);
    }
    write_frame_header(base - kFrameHeaderLen, max_frame_size, kHeaders, es, sid);
}

}  // namespace wl::h2
