// HTTP/2 frames: wire constants, decoded frame values, connection errors and
// the frame writers. No Python here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/buffer.h"
#include "core/headers.h"
#include "proto/h2/hpack.h"
#include "proto/h2/reason.h"

namespace wl::h2 {

constexpr uint32_t kDefaultMaxFrameSize = 16384;
constexpr uint32_t kMaxMaxFrameSize = 16777215;
constexpr uint32_t kMaxWindowSize = 2147483647;
constexpr size_t kDefaultMaxHeaderListSize = 16777216;
constexpr size_t kFrameHeaderLen = 9;

constexpr std::string_view kPreface{"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 24};

enum FrameType : uint8_t {
    kData = 0,
    kHeaders = 1,
    kPriority = 2,
    kRstStream = 3,
    kSettings = 4,
    kPushPromise = 5,
    kPing = 6,
    kGoAway = 7,
    kWindowUpdate = 8,
    kContinuation = 9,
};

enum FrameFlag : uint8_t {
    kEndStream = 0x1,
    kAck = 0x1,
    kEndHeaders = 0x4,
    kPadded = 0x8,
    kPriorityFlag = 0x20,
};

// ---- decoded frames ----

struct DataFrame {
    uint32_t stream_id;
    bool end_stream;
    std::string_view data;  // valid only during the sink call
    uint32_t flow_controlled_len;
    uint32_t padding;
};

struct SettingsFrame {
    enum : uint8_t {
        kHasHeaderTableSize = 1,
        kHasEnablePush = 2,
        kHasMaxConcurrentStreams = 4,
        kHasInitialWindowSize = 8,
        kHasMaxFrameSize = 16,
        kHasMaxHeaderListSize = 32,
    };
    bool ack = false;
    uint8_t present = 0;
    bool enable_push = false;
    uint32_t header_table_size = 0;
    uint32_t max_concurrent_streams = 0;
    uint32_t initial_window_size = 0;
    uint32_t max_frame_size = 0;
    uint32_t max_header_list_size = 0;
    bool has(uint8_t bit) const { return (present & bit) != 0; }
};

struct PingFrame {
    bool ack;
    uint8_t data[8];
};

struct GoAwayFrame {
    uint32_t last_stream_id;
    uint32_t error_code;
    std::string_view debug_data;  // valid only during the sink call
};

struct RstStreamFrame {
    uint32_t stream_id;
    uint32_t error_code;
};

struct WindowUpdateFrame {
    uint32_t stream_id;
    uint32_t increment;
};

struct PriorityFrame {
    uint32_t stream_id;
};

struct StreamErrorFrame {
    uint32_t stream_id;
    uint32_t error_code;
};

// A complete header block: the HEADERS frame's stream and END_STREAM flag
// with the fields that acceptance stored.
struct HeadersFrame {
    uint32_t stream_id = 0;
    bool end_stream = false;
    HeaderFrame fields;
    // Derived at completion from the first content-length value.
    bool has_content_length = false;
    bool content_length_invalid = false;
    uint64_t content_length = 0;

    void reset() {
        stream_id = 0;
        end_stream = false;
        fields.reset();
        has_content_length = content_length_invalid = false;
        content_length = 0;
    }
};

// Parses a content-length value: at most 19 digits, the empty value is 0.
bool parse_content_length(std::string_view v, uint64_t* out);

// Receives decoded frames in wire order. A false return stops decoding
// (the frame was consumed; the caller reports its own failure).
class FrameSink {
public:
    virtual ~FrameSink() = default;
    virtual bool on_data(const DataFrame& f) = 0;
    virtual bool on_headers(HeadersFrame& f) = 0;  // may move `f.fields.headers` out
    virtual bool on_settings(const SettingsFrame& f) = 0;
    virtual bool on_ping(const PingFrame& f) = 0;
    virtual bool on_goaway(const GoAwayFrame& f) = 0;
    virtual bool on_rst_stream(const RstStreamFrame& f) = 0;
    virtual bool on_window_update(const WindowUpdateFrame& f) = 0;
    virtual bool on_priority(const PriorityFrame& f) = 0;
    virtual bool on_stream_error(const StreamErrorFrame& f) = 0;
};

// ---- connection errors ----

enum class ConnErrorKind : uint8_t {
    None,
    BadPreface,
    FrameTooLarge,
    ExpectedContinuation,
    FrameLoad,  // detail: frame error name
    PriorityStreamZero,
    PushPromise,
    UnexpectedContinuation,
    ContinuationStreamMismatch,
    TooManyContinuations,
    ContinuationOverLimit,
    HeaderListAbuse,
    Hpack,  // detail: HPACK error name
};

// Frame-level validation failures ("failed to load frame: <name>").
enum class FrameError : uint8_t {
    BadFrameSize,
    TooMuchPadding,
    InvalidSettingValue,
    InvalidWindowUpdateValue,
    InvalidPayloadLength,
    InvalidPayloadAckSettings,
    InvalidStreamId,
    MalformedMessage,
};
const char* frame_error_name(FrameError e);

struct ConnError {
    ConnErrorKind kind = ConnErrorKind::None;
    std::string_view detail;  // static text for FrameLoad / Hpack

    uint32_t reason() const;
    std::string message() const;
    explicit operator bool() const { return kind != ConnErrorKind::None; }
};

// ---- writers: append complete frames to a buffer ----

inline void put_u16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void put_u24(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 16);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v);
}
inline void put_u32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline uint32_t get_u16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
inline uint32_t get_u24(const uint8_t* p) { return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]; }
inline uint32_t get_u32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

inline void write_frame_header(uint8_t* p, uint32_t len, uint8_t type, uint8_t flags, uint32_t sid) {
    put_u24(p, len);
    p[3] = type;
    p[4] = flags;
    put_u32(p + 5, sid & 0x7fffffffu);
}

// Settings to send: one entry per present value, in identifier order.
struct SettingsOut {
    uint8_t present = 0;  // SettingsFrame::kHas* bits
    bool enable_push = false;
    uint32_t header_table_size = 0, max_concurrent_streams = 0, initial_window_size = 0,
             max_frame_size = 0, max_header_list_size = 0;
};
// Validates the values a SETTINGS frame may carry; on failure fills `msg`.
bool check_settings(const SettingsOut& s, std::string* msg);
std::string max_frame_size_message(uint64_t got);

size_t settings_frame_size(const SettingsOut& s);
void write_settings(ByteBuf& out, const SettingsOut& s);
void write_settings_ack(ByteBuf& out);
void write_data(ByteBuf& out, uint32_t sid, std::string_view data, bool end_stream);
void write_window_update(ByteBuf& out, uint32_t sid, uint32_t increment);
void write_ping(ByteBuf& out, const uint8_t payload[8], bool ack);
void write_goaway(ByteBuf& out, uint32_t last_stream_id, uint32_t error_code, std::string_view debug);
void write_rst_stream(ByteBuf& out, uint32_t sid, uint32_t error_code);

// Writes `block` (already encoded) as HEADERS + CONTINUATION frames whose
// payloads are at most max_frame_size, END_HEADERS on the last.
// `block_at` is the offset in `out` where the block bytes start, preceded by
// 9 bytes reserved for the HEADERS frame header; the block is framed in place.
void frame_header_block(ByteBuf& out, size_t block_at, uint32_t sid, bool end_stream,
                        uint32_t max_frame_size);

}  // namespace wl::h2
