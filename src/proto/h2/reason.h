// HTTP/2 error codes (RFC 9113 section 7). A reason is a plain 32-bit code;
// codes outside the registered table travel unchanged. No Python here.
#pragma once
#include <cstdint>
#include <string>

namespace wl::h2 {

using Reason = uint32_t;

// Stream identifiers are 31-bit.
inline constexpr uint32_t kMaxStreamId = 0x7fffffff;

inline constexpr Reason kNoError = 0;
inline constexpr Reason kProtocolError = 1;
inline constexpr Reason kInternalError = 2;
inline constexpr Reason kFlowControlError = 3;
inline constexpr Reason kSettingsTimeout = 4;
inline constexpr Reason kStreamClosed = 5;
inline constexpr Reason kFrameSizeError = 6;
inline constexpr Reason kRefusedStream = 7;
inline constexpr Reason kCancel = 8;
inline constexpr Reason kCompressionError = 9;
inline constexpr Reason kConnectError = 10;
inline constexpr Reason kEnhanceYourCalm = 11;
inline constexpr Reason kInadequateSecurity = 12;
inline constexpr Reason kHttp11Required = 13;
inline constexpr uint32_t kReasonCount = 14;  // registered codes are 0..13

struct ReasonInfo {
    const char* name;
    const char* description;
};

inline constexpr ReasonInfo kReasons[kReasonCount] = {
    {"NO_ERROR", "not a result of an error"},
    {"PROTOCOL_ERROR", "unspecific protocol error detected"},
    {"INTERNAL_ERROR", "unexpected internal error encountered"},
    {"FLOW_CONTROL_ERROR", "flow-control protocol violated"},
    {"SETTINGS_TIMEOUT", "settings ACK not received in timely manner"},
    {"STREAM_CLOSED", "received frame when stream half-closed"},
    {"FRAME_SIZE_ERROR", "frame with invalid size"},
    {"REFUSED_STREAM", "refused stream before processing any application logic"},
    {"CANCEL", "stream no longer needed"},
    {"COMPRESSION_ERROR", "unable to maintain the header compression context"},
    {"CONNECT_ERROR",
     "connection established in response to a CONNECT request was reset or abnormally closed"},
    {"ENHANCE_YOUR_CALM", "detected excessive load generating behavior"},
    {"INADEQUATE_SECURITY", "security properties do not meet minimum requirements"},
    {"HTTP_1_1_REQUIRED", "endpoint requires HTTP/1.1"},
};

// The registered name, or nullptr for an unregistered code.
inline const char* reason_name(Reason r) { return r < kReasonCount ? kReasons[r].name : nullptr; }

// The text that error messages use.
inline const char* reason_description(Reason r) {
    return r < kReasonCount ? kReasons[r].description : "unknown reason";
}

// Debug form: the name, or "Reason(0x1a)" for an unregistered code.
inline void append_reason_debug(std::string& out, Reason r) {
    if (const char* n = reason_name(r)) {
        out += n;
        return;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    char buf[8];
    int n = 0;
    do {
        buf[n++] = kHex[r & 0xf];
        r >>= 4;
    } while (r);
    out += "Reason(0x";
    while (n) out += buf[--n];
    out += ')';
}

}  // namespace wl::h2
