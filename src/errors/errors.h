// The exception hierarchy and the factories every other binding uses to
// raise. Argument tuples are built only when an exception is raised.
#pragma once
#include "py/common.h"
#include "proto/h1/failure.h"

#include <string_view>

enum WlExc {
    WL_EXC_WIRELET,
    WL_EXC_CONN_CLOSED,
    WL_EXC_H1,
    WL_EXC_H1_PARSE,
    WL_EXC_H1_BODY,
    WL_EXC_H1_INCOMPLETE,
    WL_EXC_H1_UNEXPECTED,
    WL_EXC_H1_USER,
    WL_EXC_H2,
    WL_EXC_H2_PROTOCOL,
    WL_EXC_H2_STREAM,
    WL_EXC_H2_USER,
    WL_EXC_H2_FLOW,
    WL_EXC_COUNT
};

// The class (borrowed), created on first need; NULL with an error set if
// creation failed.
PyObject* wl_exc_type(WlExc which);
// Adds the class to the module under its short name.
int wl_add_exc(PyObject* m, WlExc which);

// New exception instance with the given args (steals nothing); for stored
// failures that are handed out later without a traceback.
PyObject* wl_exc_new(WlExc which, PyObject* args);

// Raise helpers. Each returns NULL so callers can `return wl_raise_...`.
PyObject* wl_raise_conn_closed(std::string_view msg);
PyObject* wl_raise_h1(std::string_view msg);
PyObject* wl_raise_h1_parse(const char* kind, std::string_view msg);
PyObject* wl_raise_h1_body(std::string_view io_kind, std::string_view msg);
PyObject* wl_raise_h1_incomplete(std::string_view msg);
PyObject* wl_raise_h1_unexpected(std::string_view msg);
PyObject* wl_raise_h1_user(const char* kind, std::string_view msg);
// reason < 0 means None.
PyObject* wl_raise_h2_protocol(long long reason, std::string_view msg);
PyObject* wl_raise_h2_stream(uint32_t stream_id, uint32_t reason, const char* initiator);
PyObject* wl_raise_h2_flow(uint32_t reason);

// H2UserError kinds, in table order.
enum WlH2UserKind {
    WL_H2U_INACTIVE_STREAM_ID,
    WL_H2U_UNEXPECTED_FRAME_TYPE,
    WL_H2U_PAYLOAD_TOO_BIG,
    WL_H2U_REJECTED,
    WL_H2U_RELEASE_CAPACITY_TOO_BIG,
    WL_H2U_OVERFLOWED_STREAM_ID,
    WL_H2U_MALFORMED_HEADERS,
    WL_H2U_MISSING_URI_SCHEME_AND_AUTHORITY,
    WL_H2U_POLL_RESET_AFTER_SEND_RESPONSE,
    WL_H2U_SEND_PING_WHILE_PENDING,
    WL_H2U_SEND_SETTINGS_WHILE_PENDING,
    WL_H2U_PEER_DISABLED_SERVER_PUSH,
    WL_H2U_INVALID_INFORMATIONAL_STATUS_CODE,
};
// Raises H2UserError(kind, message-of-the-table) or with `msg` instead.
PyObject* wl_raise_h2_user(WlH2UserKind kind);
PyObject* wl_raise_h2_user_msg(WlH2UserKind kind, std::string_view msg);

// HTTP/1 failure conversion: builds the exception instance for f (new
// reference), or raises it.
PyObject* wl_h1_failure_exc(const wl::h1::Failure& f);
PyObject* wl_raise_h1_failure(const wl::h1::Failure& f);
