// HTTP/2 frame objects and the decoding bridge shared by H2Codec and the
// connection engine: both decode with a wl::h2::FrameDecoder under their own
// lock and turn the frames into these objects.
#pragma once
#include <string>
#include <variant>
#include <vector>
#include "proto/h2/frame.h"
#include "proto/h2/frame_decoder.h"
#include "py/common.h"

// Frame objects: read-only, not constructible from Python. Optional values
// hold None (never NULL once constructed); the native fields next to them
// (status_code, has_content_length, SettingsFrame) carry the same facts.
struct WlH2FrameData {
    PyObject_HEAD
    uint32_t stream_id;
    uint32_t flow_controlled_len;
    uint32_t padding;
    char end_stream;
    PyObject* data;  // bytes
};

struct WlH2FrameHeaders {
    PyObject_HEAD
    uint32_t stream_id;
    char end_stream;
    char content_length_invalid;
    char is_informational;
    PyObject* method;          // str or None
    PyObject* scheme;          // str or None
    PyObject* authority;       // str or None
    PyObject* path;            // str or None
    PyObject* status;          // int or None
    PyObject* headers;         // HeaderMap
    PyObject* content_length;  // int or None
    uint16_t status_code;      // 0 when absent
    bool has_content_length;
    uint64_t content_length_value;
};

struct WlH2FrameSettings {
    PyObject_HEAD
    char ack;
    PyObject* header_table_size;
    PyObject* enable_push;  // bool or None
    PyObject* max_concurrent_streams;
    PyObject* initial_window_size;
    PyObject* max_frame_size;
    PyObject* max_header_list_size;
    wl::h2::SettingsFrame value;  // the same, natively
};

struct WlH2FramePing {
    PyObject_HEAD
    char ack;
    PyObject* data;  // bytes of 8
    uint8_t payload[8];
};

struct WlH2FrameGoAway {
    PyObject_HEAD
    uint32_t last_stream_id;
    uint32_t error_code;
    PyObject* debug_data;  // bytes
};

struct WlH2FrameRstStream {
    PyObject_HEAD
    uint32_t stream_id;
    uint32_t error_code;
};

struct WlH2FrameWindowUpdate {
    PyObject_HEAD
    uint32_t stream_id;
    uint32_t increment;
};

struct WlH2FramePriority {
    PyObject_HEAD
    uint32_t stream_id;
};

struct WlH2FrameStreamError {
    PyObject_HEAD
    uint32_t stream_id;
    uint32_t error_code;
};

extern PyTypeObject* WL_H2CodecType;
extern PyTypeObject* WL_H2FrameHeadersType;
extern PyTypeObject* WL_H2FrameDataType;
extern PyTypeObject* WL_H2FrameSettingsType;
extern PyTypeObject* WL_H2FrameWindowUpdateType;
extern PyTypeObject* WL_H2FramePingType;
extern PyTypeObject* WL_H2FrameGoAwayType;
extern PyTypeObject* WL_H2FrameRstStreamType;
extern PyTypeObject* WL_H2FramePriorityType;
extern PyTypeObject* WL_H2FrameStreamErrorType;

struct WlH2CollectedHeaders;

// Native constructors (new references, NULL with an exception set). The
// headers constructor takes the block's HeaderList, leaving it empty;
// `texts` is the byte string its pseudo-header spans refer to.
PyObject* wl_h2_frame_data_new(const wl::h2::DataFrame& f);
PyObject* wl_h2_frame_headers_new(WlH2CollectedHeaders& f, std::string_view texts);
PyObject* wl_h2_frame_settings_new(const wl::h2::SettingsFrame& f);
PyObject* wl_h2_frame_window_update_new(const wl::h2::WindowUpdateFrame& f);
PyObject* wl_h2_frame_ping_new(const wl::h2::PingFrame& f);
PyObject* wl_h2_frame_goaway_new(const wl::h2::GoAwayFrame& f);
PyObject* wl_h2_frame_rst_stream_new(const wl::h2::RstStreamFrame& f);
PyObject* wl_h2_frame_priority_new(const wl::h2::PriorityFrame& f);
PyObject* wl_h2_frame_stream_error_new(const wl::h2::StreamErrorFrame& f);

// Decoding in three steps so that no Python object is created or released
// under the caller's lock: wl_h2_receive_begin (before locking) creates the
// result list; wl_h2_receive_locked runs with the lock held and collects
// the frames as plain C++ values (payloads and pseudo-header values copied
// out of the decoder into one byte string); wl_h2_receive_finish runs after
// unlocking, builds the frame objects and either returns the list or
// discards it and raises.

// A complete header block as collected: the pseudo-header values are spans
// of WlH2Collected::bytes, the regular fields a list the HeaderMap adopts.
struct WlH2CollectedHeaders {
    enum Text : uint8_t { kMethodText, kAuthority, kScheme, kPath, kProtocol, kTexts };
    uint32_t stream_id = 0;
    bool end_stream = false;
    bool has_content_length = false;
    bool content_length_invalid = false;
    uint8_t pseudo_mask = 0;  // bit (1 << wl::h2::Pseudo) when present
    wl::h2::Method method = wl::h2::Method::Get;
    uint16_t status = 0;
    uint64_t content_length = 0;
    uint32_t off[kTexts] = {}, len[kTexts] = {};
    wl::HeaderList headers;

    bool has(wl::h2::Pseudo p) const { return pseudo_mask & (1u << unsigned(p)); }
};

struct WlH2Collected {
    using Frame = std::variant<wl::h2::DataFrame, WlH2CollectedHeaders, wl::h2::SettingsFrame, wl::h2::PingFrame,
                               wl::h2::GoAwayFrame, wl::h2::RstStreamFrame, wl::h2::WindowUpdateFrame,
                               wl::h2::PriorityFrame, wl::h2::StreamErrorFrame>;
    std::vector<Frame> frames;  // the views of DATA and GOAWAY point into `bytes` once finished
    std::vector<size_t> offsets;  // per frame: where its payload starts in `bytes`
    std::string bytes;            // DATA and GOAWAY payloads and pseudo-header values back to back
};
struct WlH2Received {
    WlH2Received();   // takes the kept collection buffers when they are free
    ~WlH2Received();  // empties them and frees them for the next call
    WlH2Received(const WlH2Received&) = delete;
    WlH2Received& operator=(const WlH2Received&) = delete;
    PyObject* list = nullptr;      // frames decoded in this call
    wl::h2::ConnError error;       // a connection error, if any
    bool py_failed = false;        // an object could not be created (exception set)
    bool no_memory = false;        // the decoder ran out of memory (raised by finish)

private:
    WlH2Collected own_;  // a nested call's (the kept buffers are in use)
    bool kept_;          // `got` is the kept buffers

public:
    WlH2Collected& got;
};
int wl_h2_receive_begin(WlH2Received* out);  // 0, or -1 with an exception set
void wl_h2_receive_locked(wl::h2::FrameDecoder& dec, std::string_view data, WlH2Received* out);
PyObject* wl_h2_receive_finish(WlH2Received* r);
// Raises H2ProtocolError for a connection error; returns NULL.
PyObject* wl_h2_raise_conn_error(const wl::h2::ConnError& e);
