// Python faces of the HTTP/2 stream primitives, plus the converters and
// raise helpers the HTTP/2 engine shares with them.
#pragma once
#include "proto/h2/flow_control.h"
#include "proto/h2/stream_state.h"
#include "py/common.h"

// A stream identifier: unsigned 32-bit int (TypeError / OverflowError),
// below 2^31 (ValueError "stream id N exceeds the maximum 2147483647").
int wl_conv_stream_id(PyObject* o, const char* fname, const char* arg, uint32_t* out);

// An HTTP/2 error code: an unsigned 32-bit int or an H2Reason.
int wl_conv_reason(PyObject* o, const char* fname, const char* arg, uint32_t* out);

// Exactly "user", "library" or "remote"; any other str raises ValueError
// "initiator must be 'user' | 'library' | 'remote', got " + the quoted value.
int wl_conv_initiator(PyObject* o, const char* fname, const char* arg, wl::h2::Initiator* out);

// A flow-control size: an unsigned 32-bit int no larger than 2^31 - 1
// (ValueError "window size N exceeds the maximum 2147483647 (RFC 9113 6.9.1)").
int wl_conv_window_size(PyObject* o, const char* fname, const char* arg, uint32_t* out);

// Raise helpers; each returns NULL.
// User: H2UserError("unexpected_frame_type"); Protocol: H2ProtocolError(1, ...).
PyObject* wl_raise_h2_violation(wl::h2::Violation v);
// Reset: H2StreamError(id, reason, initiator); GoAway: H2ProtocolError(reason,
// description); Io: ConnectionClosedError(message).
PyObject* wl_raise_h2_state_error(const wl::h2::Error& e);
// Overflow: H2FlowControlError(3); the others ValueError naming `size`.
PyObject* wl_raise_h2_flow_error(wl::h2::FlowError e, uint64_t size, int32_t window);
