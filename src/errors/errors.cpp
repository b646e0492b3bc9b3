#include "errors/errors.h"

namespace {

struct ExcDef {
    const char* name;  // qualified name
    WlExc base;        // WL_EXC_COUNT for Exception
    const char* doc;
};

const ExcDef kExc[WL_EXC_COUNT] = {
    {"_wirelet.WireletError", WL_EXC_COUNT,
     "Base of every error of the system, HTTP/1 and HTTP/2.\n\nargs: none of its own."},
    {"_wirelet.ConnectionClosedError", WL_EXC_WIRELET,
     "The transport failed (reset, I/O error) or could not be shut down while work was still\n"
     "in flight. A transport failure, not a protocol violation.\n\nargs: (message: str,)"},
    {"_wirelet.H1Error", WL_EXC_WIRELET,
     "Base of the HTTP/1 errors; raised directly for an HTTP/1 failure of no more specific\n"
     "category.\n\nargs: (message: str,) when raised directly."},
    {"_wirelet.H1ParseError", WL_EXC_H1,
     "A malformed HTTP/1 message head.\n\nargs: (kind: str, message: str)"},
    {"_wirelet.H1BodyError", WL_EXC_H1,
     "A received body that could not be decoded: a framing error, or the transport closing\n"
     "before the body was complete.\n\nargs: (io_kind: str, message: str)"},
    {"_wirelet.H1IncompleteMessageError", WL_EXC_H1,
     "The connection closed while a message was still expected.\n\nargs: (message: str,)"},
    {"_wirelet.H1UnexpectedMessageError", WL_EXC_H1,
     "The peer sent bytes when none were expected; the connection is poisoned.\n\n"
     "args: (message: str,)"},
    {"_wirelet.H1UserError", WL_EXC_H1,
     "Local misuse detected on the wire path; the connection is closed afterwards.\n\n"
     "args: (kind: str, message: str)"},
    {"_wirelet.H2Error", WL_EXC_WIRELET, "Base of the HTTP/2 errors.\n\nargs: none of its own."},
    {"_wirelet.H2ProtocolError", WL_EXC_H2,
     "Connection-level protocol violation; the connection answers with GOAWAY carrying\n"
     "reason.\n\nargs: (reason: int or None, message: str)"},
    {"_wirelet.H2StreamError", WL_EXC_H2,
     "Stream-level protocol violation; the stream is reset, the connection survives.\n\n"
     "args: (stream_id: int, reason: int, initiator: str)"},
    {"_wirelet.H2UserError", WL_EXC_H2,
     "Local API misuse on an HTTP/2 connection.\n\nargs: (kind: str, message: str)"},
    {"_wirelet.H2FlowControlError", WL_EXC_H2,
     "A flow-control window overflowed or underflowed.\n\nargs: (reason: int,)"},
};

PyObject* g_exc[WL_EXC_COUNT];

PyObject* raise_args(WlExc which, PyObject* args) {
    if (!args) return nullptr;
    PyObject* t = wl_exc_type(which);
    if (t) PyErr_SetObject(t, args);
    Py_DECREF(args);
    return nullptr;
}

PyObject* str_of(std::string_view v) {
    return PyUnicode_DecodeUTF8(v.data(), Py_ssize_t(v.size()), "replace");
}

PyObject* args1(std::string_view msg) {
    PyObject* m = str_of(msg);
    if (!m) return nullptr;
    PyObject* t = PyTuple_Pack(1, m);
    Py_DECREF(m);
    return t;
}

PyObject* args2(std::string_view a, std::string_view b) {
    PyObject* x = str_of(a);
    PyObject* y = x ? str_of(b) : nullptr;
    PyObject* t = y ? PyTuple_Pack(2, x, y) : nullptr;
    Py_XDECREF(x);
    Py_XDECREF(y);
    return t;
}

const char* const kH2User[][2] = {
    {"inactive_stream_id", "inactive stream"},
    {"unexpected_frame_type", "unexpected frame type"},
    {"payload_too_big", "payload too big"},
    {"rejected", "rejected"},
    {"release_capacity_too_big", "release capacity too big"},
    {"overflowed_stream_id", "stream ID overflowed"},
    {"malformed_headers", "malformed headers"},
    {"missing_uri_scheme_and_authority", "request URI missing scheme and authority"},
    {"poll_reset_after_send_response", "poll_reset after send_response is illegal"},
    {"send_ping_while_pending", "send_ping before received previous pong"},
    {"send_settings_while_pending", "sending SETTINGS before received previous ACK"},
    {"peer_disabled_server_push", "sending PUSH_PROMISE to peer who disabled server push"},
    {"invalid_informational_status_code", "invalid informational status code"},
};

}  // namespace

PyObject* wl_exc_type(WlExc which) {
    if (g_exc[which]) return g_exc[which];
    // Created under the interpreter lock, bases first.
    PyObject* base = kExc[which].base == WL_EXC_COUNT ? PyExc_Exception : wl_exc_type(kExc[which].base);
    if (!base) return nullptr;
    PyObject* t = PyErr_NewExceptionWithDoc(kExc[which].name, kExc[which].doc, base, nullptr);
    if (!t) return nullptr;
    if (!g_exc[which])
        g_exc[which] = t;  // lives for the rest of the process
    else
        Py_DECREF(t);
    return g_exc[which];
}

int wl_add_exc(PyObject* m, WlExc which) {
    PyObject* t = wl_exc_type(which);
    if (!t) return -1;
    return PyModule_AddObjectRef(m, kExc[which].name + 9, t);  // skip "_wirelet."
}

PyObject* wl_exc_new(WlExc which, PyObject* args) {
    PyObject* t = wl_exc_type(which);
    if (!t) return nullptr;
    return PyObject_Call(t, args, nullptr);
}

PyObject* wl_raise_conn_closed(std::string_view msg) { return raise_args(WL_EXC_CONN_CLOSED, args1(msg)); }
PyObject* wl_raise_h1(std::string_view msg) { return raise_args(WL_EXC_H1, args1(msg)); }
PyObject* wl_raise_h1_parse(const char* kind, std::string_view msg) {
    return raise_args(WL_EXC_H1_PARSE, args2(kind, msg));
}
PyObject* wl_raise_h1_body(std::string_view io_kind, std::string_view msg) {
    return raise_args(WL_EXC_H1_BODY, args2(io_kind, msg));
}
PyObject* wl_raise_h1_incomplete(std::string_view msg) {
    return raise_args(WL_EXC_H1_INCOMPLETE, args1(msg));
}
PyObject* wl_raise_h1_unexpected(std::string_view msg) {
    return raise_args(WL_EXC_H1_UNEXPECTED, args1(msg));
}
PyObject* wl_raise_h1_user(const char* kind, std::string_view msg) {
    return raise_args(WL_EXC_H1_USER, args2(kind, msg));
}

PyObject* wl_raise_h2_protocol(long long reason, std::string_view msg) {
    PyObject* r = reason < 0 ? Py_NewRef(Py_None) : PyLong_FromLongLong(reason);
    PyObject* m = r ? str_of(msg) : nullptr;
    PyObject* t = m ? PyTuple_Pack(2, r, m) : nullptr;
    Py_XDECREF(r);
    Py_XDECREF(m);
    return raise_args(WL_EXC_H2_PROTOCOL, t);
}

PyObject* wl_raise_h2_stream(uint32_t stream_id, uint32_t reason, const char* initiator) {
    return raise_args(WL_EXC_H2_STREAM,
                      Py_BuildValue("(kks)", (unsigned long)stream_id, (unsigned long)reason, initiator));
}

PyObject* wl_raise_h2_flow(uint32_t reason) {
    return raise_args(WL_EXC_H2_FLOW, Py_BuildValue("(k)", (unsigned long)reason));
}

PyObject* wl_raise_h2_user(WlH2UserKind kind) {
    return raise_args(WL_EXC_H2_USER, args2(kH2User[kind][0], kH2User[kind][1]));
}

PyObject* wl_raise_h2_user_msg(WlH2UserKind kind, std::string_view msg) {
    return raise_args(WL_EXC_H2_USER, args2(kH2User[kind][0], msg));
}

PyObject* wl_h1_failure_exc(const wl::h1::Failure& f) {
    using wl::h1::FailCategory;
    std::string msg = f.message();
    WlExc which;
    PyObject* args;
    switch (f.category) {
        case FailCategory::Parse:
            which = WL_EXC_H1_PARSE;
            args = args2(f.kind ? f.kind : "internal", msg);
            break;
        case FailCategory::User:
            which = WL_EXC_H1_USER;
            args = args2(f.kind ? f.kind : "service", msg);
            break;
        case FailCategory::Incomplete:
            which = WL_EXC_H1_INCOMPLETE;
            args = args1(msg);
            break;
        case FailCategory::Unexpected:
            which = WL_EXC_H1_UNEXPECTED;
            args = args1(msg);
            break;
        case FailCategory::Body: {
            which = WL_EXC_H1_BODY;
            const char* cls = f.io_class_name ? f.io_class_name : wl::h1::io_class_camel(f.io);
            std::string io_kind = cls ? wl::h1::snake_case(cls) : std::string("other");
            args = args2(io_kind, msg);
            break;
        }
        case FailCategory::Io:
            which = WL_EXC_CONN_CLOSED;
            args = args1(msg);
            break;
        default:
            which = WL_EXC_H1;
            args = args1(msg);
            break;
    }
    if (!args) return nullptr;
    PyObject* e = wl_exc_new(which, args);
    Py_DECREF(args);
    return e;
}

PyObject* wl_raise_h1_failure(const wl::h1::Failure& f) {
    PyObject* e = wl_h1_failure_exc(f);
    if (!e) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e)), e);
    Py_DECREF(e);
    return nullptr;
}
