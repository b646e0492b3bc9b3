// H2Reason, H2StreamState, H2FlowControl, H2ContentLength and
// H2DataFrameBudget: thin locked wrappers over the protocol-core values.
// Errors are raised only after the object's lock has been dropped.
#include "h2/streams.h"

#include <new>
#include <string>

#include "errors/errors.h"
#include "proto/h2/content_length.h"
#include "proto/h2/data_budget.h"
#include "proto/h2/reason.h"

namespace {

using wl::h2::ContentLength;
using wl::h2::DataFrameBudget;
using wl::h2::Error;
using wl::h2::FlowControl;
using wl::h2::FlowError;
using wl::h2::Initiator;
using wl::h2::Reason;
using wl::h2::StreamState;
using wl::h2::Violation;

constexpr uint64_t kU32Max = 0xffffffffu;
constexpr uint64_t kU64Max = ~uint64_t(0);

PyTypeObject* g_reason_type = nullptr;
PyTypeObject* g_state_type = nullptr;
PyTypeObject* g_flow_type = nullptr;
PyTypeObject* g_clen_type = nullptr;
PyTypeObject* g_budget_type = nullptr;

PyObject* none() { return Py_NewRef(Py_None); }

int no_args(const char* name, PyObject* args, PyObject* kwargs) {
    if ((args && PyTuple_GET_SIZE(args) != 0) || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments", name);
        return -1;
    }
    return 0;
}

void plain_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// Appends code point c as UTF-8.
void put_utf8(std::string& out, Py_UCS4 c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xc0 | (c >> 6));
        out += char(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        out += char(0xe0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3f));
        out += char(0x80 | (c & 0x3f));
    } else {
        out += char(0xf0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3f));
        out += char(0x80 | ((c >> 6) & 0x3f));
        out += char(0x80 | (c & 0x3f));
    }
}

// The value in double quotes with backslash escapes; characters that do
// not print come out as \u{hex}.
std::string quoted_debug(PyObject* s) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        switch (c) {
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case '\0': out += "\\0"; continue;
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            default: break;
        }
        if (c >= 0x20 && c < 0x7f) {
            out += char(c);
        } else if (c >= 0xa0 && Py_UNICODE_ISPRINTABLE(c) && !(c >= 0xd800 && c < 0xe000)) {
            put_utf8(out, c);
        } else {
            char buf[8];
            int k = 0;
            do {
                buf[k++] = kHex[c & 0xf];
                c >>= 4;
            } while (c);
            out += "\\u{";
            while (k) out += buf[--k];
            out += '}';
        }
    }
    out += '"';
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// shared converters and raise helpers

int wl_conv_stream_id(PyObject* o, const char* fname, const char* arg, uint32_t* out) {
    uint64_t v;
    if (wl_conv_uint(o, fname, arg, kU32Max, &v) < 0) return -1;
    if (v > wl::h2::kMaxStreamId) {
        PyErr_Format(PyExc_ValueError, "stream id %llu exceeds the maximum 2147483647",
                     (unsigned long long)v);
        return -1;
    }
    *out = uint32_t(v);
    return 0;
}

namespace {
struct WlReason {
    PyObject_HEAD
    uint32_t value;
};
}  // namespace

int wl_conv_reason(PyObject* o, const char* fname, const char* arg, uint32_t* out) {
    if (g_reason_type && Py_IS_TYPE(o, g_reason_type)) {
        *out = reinterpret_cast<WlReason*>(o)->value;
        return 0;
    }
    uint64_t v;
    if (wl_conv_uint(o, fname, arg, kU32Max, &v) < 0) return -1;
    *out = uint32_t(v);
    return 0;
}

int wl_conv_initiator(PyObject* o, const char* fname, const char* arg, Initiator* out) {
    if (!PyUnicode_Check(o)) return wl_type_error(fname, arg, "str", o);
    if (PyUnicode_CompareWithASCIIString(o, "user") == 0) {
        *out = Initiator::User;
    } else if (PyUnicode_CompareWithASCIIString(o, "library") == 0) {
        *out = Initiator::Library;
    } else if (PyUnicode_CompareWithASCIIString(o, "remote") == 0) {
        *out = Initiator::Remote;
    } else {
        std::string msg = "initiator must be 'user' | 'library' | 'remote', got " + quoted_debug(o);
        PyErr_SetString(PyExc_ValueError, msg.c_str());
        return -1;
    }
    return 0;
}

namespace {

int window_size_error(uint64_t v) {
    PyErr_Format(PyExc_ValueError, "window size %llu exceeds the maximum 2147483647 (RFC 9113 6.9.1)",
                 (unsigned long long)v);
    return -1;
}

}  // namespace

int wl_conv_window_size(PyObject* o, const char* fname, const char* arg, uint32_t* out) {
    uint64_t v;
    if (wl_conv_uint(o, fname, arg, kU32Max, &v) < 0) return -1;
    if (v > uint64_t(wl::h2::kMaxWindow)) return window_size_error(v);
    *out = uint32_t(v);
    return 0;
}

PyObject* wl_raise_h2_violation(Violation v) {
    if (v == Violation::User) return wl_raise_h2_user(WL_H2U_UNEXPECTED_FRAME_TYPE);
    return wl_raise_h2_protocol(wl::h2::kProtocolError,
                                wl::h2::reason_description(wl::h2::kProtocolError));
}

PyObject* wl_raise_h2_state_error(const Error& e) {
    switch (e.kind) {
        case Error::Kind::Reset:
            return wl_raise_h2_stream(e.stream_id, e.reason, wl::h2::initiator_str(e.initiator));
        case Error::Kind::GoAway:
            return wl_raise_h2_protocol(e.reason, wl::h2::reason_description(e.reason));
        case Error::Kind::Io:
            return wl_raise_conn_closed(e.io_message);
    }
    return nullptr;
}

PyObject* wl_raise_h2_flow_error(FlowError e, uint64_t size, int32_t window) {
    switch (e) {
        case FlowError::Overflow:
            return wl_raise_h2_flow(wl::h2::kFlowControlError);
        case FlowError::SizeTooLarge:
            window_size_error(size);
            return nullptr;
        case FlowError::ExceedsWindow:
            PyErr_Format(PyExc_ValueError, "data size %llu exceeds the send window %d",
                         (unsigned long long)size, int(window < 0 ? 0 : window));
            return nullptr;
        case FlowError::None:
            break;
    }
    PyErr_SetString(PyExc_SystemError, "flow-control error without a cause");
    return nullptr;
}

namespace {

// ---------------------------------------------------------------------------
// H2Reason: immutable singletons, one per registered code.

PyObject* g_reasons[wl::h2::kReasonCount];

PyObject* reason_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"code", nullptr};
    PyObject* code;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:H2Reason", const_cast<char**>(kwlist), &code))
        return nullptr;
    uint32_t v;
    if (wl_conv_reason(code, "H2Reason", "code", &v) < 0) return nullptr;
    if (v >= wl::h2::kReasonCount) {
        PyErr_Format(PyExc_ValueError, "%lu is not a valid H2Reason", (unsigned long)v);
        return nullptr;
    }
    return Py_NewRef(g_reasons[v]);
}

uint32_t reason_value(PyObject* o) { return reinterpret_cast<WlReason*>(o)->value; }

PyObject* reason_repr(PyObject* self) {
    return PyUnicode_FromFormat("H2Reason.%s", wl::h2::reason_name(reason_value(self)));
}

Py_hash_t reason_hash(PyObject* self) { return Py_hash_t(reason_value(self)); }

PyObject* reason_int(PyObject* self) { return PyLong_FromUnsignedLong(reason_value(self)); }

PyObject* reason_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    if (Py_IS_TYPE(other, g_reason_type)) {
        bool eq = reason_value(self) == reason_value(other);
        return wl_bool(op == Py_EQ ? eq : !eq);
    }
    if (!PyLong_Check(other)) Py_RETURN_NOTIMPLEMENTED;
    PyObject* v = PyLong_FromUnsignedLong(reason_value(self));
    if (!v) return nullptr;
    PyObject* r = PyObject_RichCompare(v, other, op);
    Py_DECREF(v);
    return r;
}

PyObject* reason_get_value(PyObject* self, void*) { return reason_int(self); }

PyObject* reason_get_name(PyObject* self, void*) {
    return PyUnicode_FromString(wl::h2::reason_name(reason_value(self)));
}

// Pickles and copies back to the same singleton.
PyObject* reason_reduce(PyObject* self, PyObject*) {
    return Py_BuildValue("(O(k))", reinterpret_cast<PyObject*>(Py_TYPE(self)),
                         (unsigned long)reason_value(self));
}

PyMethodDef reason_methods[] = {
    {"__reduce__", WL_NOARGS(reason_reduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reason_getset[] = {
    {"value", WL_GUARD(reason_get_value), nullptr, "The error code (int).", nullptr},
    {"name", WL_GUARD(reason_get_name), nullptr, "The registered name (str).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reason_slots[] = {
    {Py_tp_new, WL_SLOT(reason_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc)},
    {Py_tp_repr, WL_SLOT(reason_repr)},
    {Py_tp_str, WL_SLOT(reason_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(reason_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(reason_richcompare)},
    {Py_tp_getset, reason_getset},
    {Py_tp_methods, reason_methods},
    {Py_nb_int, reinterpret_cast<void*>(reason_int)},
    {Py_nb_index, reinterpret_cast<void*>(reason_int)},
    {Py_tp_doc, const_cast<char*>(
         "H2Reason(code)\n--\n\n"
         "An HTTP/2 error code (RFC 9113 section 7). One instance per registered code, also\n"
         "available as class attributes (H2Reason.CANCEL). Compares equal to its int value.")},
    {0, nullptr},
};

PyType_Spec reason_spec = {WL_TYPE_NAME("H2Reason"), sizeof(WlReason), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, reason_slots};

int make_reason_type() {
    PyTypeObject* tp = wl_new_type(&reason_spec);
    if (!tp) return -1;
    PyObject* made[wl::h2::kReasonCount] = {};
    for (uint32_t i = 0; i < wl::h2::kReasonCount; ++i) {
        auto* r = reinterpret_cast<WlReason*>(tp->tp_alloc(tp, 0));
        if (r) r->value = i;
        made[i] = reinterpret_cast<PyObject*>(r);
        // The type is immutable from Python; its attributes are filled in
        // before anyone can see it.
        if (!r || PyDict_SetItemString(tp->tp_dict, wl::h2::kReasons[i].name, made[i]) < 0) {
            for (PyObject* o : made) Py_XDECREF(o);
            Py_DECREF(tp);
            return -1;
        }
    }
    PyType_Modified(tp);
    for (uint32_t i = 0; i < wl::h2::kReasonCount; ++i) g_reasons[i] = made[i];  // kept for the process
    g_reason_type = tp;
    return 0;
}

// ---------------------------------------------------------------------------
// H2StreamState

struct PyState {
    PyObject_HEAD
    wl::Mutex mu;
    StreamState st;
};

PyState* as_state(PyObject* o) { return reinterpret_cast<PyState*>(o); }

PyObject* state_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (no_args("H2StreamState", args, kwargs) < 0) return nullptr;
    auto* self = reinterpret_cast<PyState*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    new (&self->mu) wl::Mutex();
    new (&self->st) StreamState();
    return reinterpret_cast<PyObject*>(self);
}

void state_dealloc(PyObject* o) {
    as_state(o)->st.~StreamState();
    plain_dealloc(o);
}

PyObject* state_repr(PyObject* o) {
    std::string s;
    {
        WlLock g(as_state(o)->mu);
        as_state(o)->st.append_debug(s);
    }
    return PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size()));
}

PyObject* violation_result(Violation v) {
    if (v != Violation::None) return wl_raise_h2_violation(v);
    return none();
}

PyObject* state_send_open(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "send_open", 1, 1, "eos");
    PyObject* a[1];
    bool eos;
    if (wl_parse_args(spec, args, nargs, kw, a) < 0 || wl_conv_bool(a[0], "send_open", "eos", &eos) < 0)
        return nullptr;
    Violation v;
    {
        WlLock g(as_state(o)->mu);
        v = as_state(o)->st.send_open(eos);
    }
    return violation_result(v);
}

PyObject* state_recv_open(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "recv_open", 2, 2, "eos", "informational");
    PyObject* a[2];
    bool eos, info;
    if (wl_parse_args(spec, args, nargs, kw, a) < 0 || wl_conv_bool(a[0], "recv_open", "eos", &eos) < 0 ||
        wl_conv_bool(a[1], "recv_open", "informational", &info) < 0)
        return nullptr;
    wl::h2::OpenResult r;
    {
        WlLock g(as_state(o)->mu);
        r = as_state(o)->st.recv_open(eos, info);
    }
    if (r.violation != Violation::None) return wl_raise_h2_violation(r.violation);
    return wl_bool(r.opened);
}

template <Violation (StreamState::*Op)()>
PyObject* state_violation_op(PyObject* o, PyObject*) {
    Violation v;
    {
        WlLock g(as_state(o)->mu);
        v = (as_state(o)->st.*Op)();
    }
    return violation_result(v);
}

PyObject* state_recv_reset(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "recv_reset", 3, 3, "stream_id", "reason", "queued");
    PyObject* a[3];
    uint32_t sid, reason;
    bool queued;
    if (wl_parse_args(spec, args, nargs, kw, a) < 0 ||
        wl_conv_stream_id(a[0], "recv_reset", "stream_id", &sid) < 0 ||
        wl_conv_reason(a[1], "recv_reset", "reason", &reason) < 0 ||
        wl_conv_bool(a[2], "recv_reset", "queued", &queued) < 0)
        return nullptr;
    WlLock g(as_state(o)->mu);
    as_state(o)->st.recv_reset(sid, reason, queued);
    return none();
}

PyObject* state_recv_eof(PyObject* o, PyObject*) {
    WlLock g(as_state(o)->mu);
    as_state(o)->st.recv_eof();
    return none();
}

PyObject* state_send_close(PyObject* o, PyObject*) {
    WlLock g(as_state(o)->mu);
    return wl_bool(as_state(o)->st.send_close());
}

PyObject* state_set_reset(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "set_reset", 3, 3, "stream_id", "reason", "initiator");
    PyObject* a[3];
    uint32_t sid, reason;
    Initiator init;
    if (wl_parse_args(spec, args, nargs, kw, a) < 0 ||
        wl_conv_stream_id(a[0], "set_reset", "stream_id", &sid) < 0 ||
        wl_conv_reason(a[1], "set_reset", "reason", &reason) < 0 ||
        wl_conv_initiator(a[2], "set_reset", "initiator", &init) < 0)
        return nullptr;
    WlLock g(as_state(o)->mu);
    as_state(o)->st.set_reset(sid, reason, init);
    return none();
}

PyObject* state_set_scheduled_reset(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "set_scheduled_reset", 1, 1, "reason");
    PyObject* a[1];
    uint32_t reason;
    if (wl_parse_args(spec, args, nargs, kw, a) < 0 ||
        wl_conv_reason(a[0], "set_scheduled_reset", "reason", &reason) < 0)
        return nullptr;
    WlLock g(as_state(o)->mu);
    return wl_bool(as_state(o)->st.set_scheduled_reset(reason));
}

PyObject* state_get_scheduled_reset(PyObject* o, PyObject*) {
    std::optional<Reason> r;
    {
        WlLock g(as_state(o)->mu);
        r = as_state(o)->st.get_scheduled_reset();
    }
    if (!r) return none();
    return PyLong_FromUnsignedLong(*r);
}

PyObject* state_ensure_recv_open(PyObject* o, PyObject*) {
    wl::h2::RecvOpen r;
    Error err;
    bool scheduled = false;
    Reason sched = 0;
    {
        WlLock g(as_state(o)->mu);
        const StreamState& st = as_state(o)->st;
        r = st.ensure_recv_open();
        if (r == wl::h2::RecvOpen::Failed) {
            scheduled = st.is_scheduled_reset();
            if (scheduled)
                sched = st.scheduled_reason();
            else
                err = st.error();
        }
    }
    if (r == wl::h2::RecvOpen::Yes) return wl_bool(true);
    if (r == wl::h2::RecvOpen::No) return wl_bool(false);
    if (scheduled) return wl_raise_h2_protocol(sched, wl::h2::reason_description(sched));
    return wl_raise_h2_state_error(err);
}

template <bool (StreamState::*Pred)() const>
PyObject* state_pred(PyObject* o, PyObject*) {
    WlLock g(as_state(o)->mu);
    return wl_bool((as_state(o)->st.*Pred)());
}

#define WL_PRED(name, doc)                                                       \
    {#name, WL_NOARGS(state_pred<&StreamState::name>), METH_NOARGS, #name "($self)\n--\n\n" doc}

PyMethodDef state_methods[] = {
    {"send_open", WL_METH(state_send_open), METH_FASTCALL | METH_KEYWORDS,
     "send_open($self, eos)\n--\n\nLocal HEADERS sent; eos: they carried END_STREAM."},
    {"recv_open", WL_METH(state_recv_open), METH_FASTCALL | METH_KEYWORDS,
     "recv_open($self, eos, informational)\n--\n\nRemote HEADERS received. True when they opened "
     "the stream (from Idle or ReservedRemote)."},
    {"reserve_remote", WL_NOARGS(state_violation_op<&StreamState::reserve_remote>), METH_NOARGS,
     "reserve_remote($self)\n--\n\nIdle to ReservedRemote."},
    {"reserve_local", WL_NOARGS(state_violation_op<&StreamState::reserve_local>), METH_NOARGS,
     "reserve_local($self)\n--\n\nIdle to ReservedLocal."},
    {"recv_close", WL_NOARGS(state_violation_op<&StreamState::recv_close>), METH_NOARGS,
     "recv_close($self)\n--\n\nRemote END_STREAM received (on DATA or trailers)."},
    {"recv_reset", WL_METH(state_recv_reset), METH_FASTCALL | METH_KEYWORDS,
     "recv_reset($self, stream_id, reason, queued)\n--\n\nRST_STREAM received; queued: frames of "
     "this stream still wait in the send queue."},
    {"recv_eof", WL_NOARGS(state_recv_eof), METH_NOARGS,
     "recv_eof($self)\n--\n\nThe transport ended under the stream."},
    {"send_close", WL_NOARGS(state_send_close), METH_NOARGS,
     "send_close($self)\n--\n\nLocal END_STREAM queued. True when a transition happened."},
    {"set_reset", WL_METH(state_set_reset), METH_FASTCALL | METH_KEYWORDS,
     "set_reset($self, stream_id, reason, initiator)\n--\n\nClose with a reset; initiator is "
     "'user', 'library' or 'remote'."},
    {"set_scheduled_reset", WL_METH(state_set_scheduled_reset), METH_FASTCALL | METH_KEYWORDS,
     "set_scheduled_reset($self, reason)\n--\n\nSchedule a reset unless closed. True when the "
     "state changed."},
    {"get_scheduled_reset", WL_NOARGS(state_get_scheduled_reset), METH_NOARGS,
     "get_scheduled_reset($self)\n--\n\nThe scheduled reset reason, or None."},
    {"ensure_recv_open", WL_NOARGS(state_ensure_recv_open), METH_NOARGS,
     "ensure_recv_open($self)\n--\n\nWhether the receive side may still deliver data; raises the "
     "error that closed the stream."},
    WL_PRED(is_scheduled_reset, "Closed by a reset that is scheduled but not yet sent."),
    WL_PRED(is_local_error, "Closed by an error of local origin."),
    WL_PRED(is_remote_reset, "Closed by a reset the peer sent."),
    WL_PRED(is_reset, "Closed by any error or reset."),
    WL_PRED(is_send_streaming, "The local side may send DATA."),
    WL_PRED(is_recv_headers, "The remote side has not sent its final headers yet."),
    WL_PRED(is_recv_streaming, "The remote side may send DATA."),
    WL_PRED(is_recv_end_stream, "The remote side ended with END_STREAM."),
    WL_PRED(is_closed, "Closed, whatever the cause."),
    WL_PRED(is_send_closed, "The local side can send no more."),
    WL_PRED(is_idle, "Idle."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot state_slots[] = {
    {Py_tp_new, WL_SLOT(state_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc)},
    {Py_tp_repr, WL_SLOT(state_repr)},
    {Py_tp_methods, state_methods},
    {Py_tp_doc, const_cast<char*>("H2StreamState()\n--\n\n"
                                  "The state of one HTTP/2 stream (RFC 9113 section 5.1), starting "
                                  "in Idle.")},
    {0, nullptr},
};

PyType_Spec state_spec = {WL_TYPE_NAME("H2StreamState"), sizeof(PyState), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, state_slots};

// ---------------------------------------------------------------------------
// H2FlowControl

struct PyFlow {
    PyObject_HEAD
    wl::Mutex mu;
    FlowControl fc;
};

PyFlow* as_flow(PyObject* o) { return reinterpret_cast<PyFlow*>(o); }

PyObject* flow_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (no_args("H2FlowControl", args, kwargs) < 0) return nullptr;
    auto* self = reinterpret_cast<PyFlow*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    new (&self->mu) wl::Mutex();
    new (&self->fc) FlowControl();
    return reinterpret_cast<PyObject*>(self);
}

PyObject* flow_repr(PyObject* o) {
    std::string s;
    {
        WlLock g(as_flow(o)->mu);
        s = as_flow(o)->fc.debug();
    }
    return PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size()));
}

PyObject* flow_window_size(PyObject* o, PyObject*) {
    long v;
    {
        WlLock g(as_flow(o)->mu);
        v = as_flow(o)->fc.window_size();
    }
    return PyLong_FromLong(v);
}

PyObject* flow_available(PyObject* o, PyObject*) {
    long v;
    {
        WlLock g(as_flow(o)->mu);
        v = as_flow(o)->fc.available();
    }
    return PyLong_FromLong(v);
}

PyObject* flow_has_unavailable(PyObject* o, PyObject*) {
    WlLock g(as_flow(o)->mu);
    return wl_bool(as_flow(o)->fc.has_unavailable());
}

PyObject* flow_unclaimed_capacity(PyObject* o, PyObject*) {
    std::optional<int64_t> r;
    {
        WlLock g(as_flow(o)->mu);
        r = as_flow(o)->fc.unclaimed_capacity();
    }
    if (!r) return none();
    return PyLong_FromLongLong(*r);
}

// One size argument, one checked operation on the pair.
template <FlowError (FlowControl::*Op)(uint32_t)>
PyObject* flow_sized_op(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw,
                        WlArgSpec& spec) {
    PyObject* a[1];
    uint32_t sz;
    if (wl_parse_args(spec, args, nargs, kw, a) < 0 ||
        wl_conv_window_size(a[0], spec.fname, spec.names[0], &sz) < 0)
        return nullptr;
    FlowError e;
    int32_t window;
    {
        WlLock g(as_flow(o)->mu);
        e = (as_flow(o)->fc.*Op)(sz);
        window = as_flow(o)->fc.window_raw();
    }
    if (e != FlowError::None) return wl_raise_h2_flow_error(e, sz, window);
    return none();
}

#define WL_FLOW_OP(fn, name, arg)                                                                \
    PyObject* flow_##fn(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) { \
        WL_ARGSPEC(spec, name, 1, 1, arg);                                                     \
        return flow_sized_op<&FlowControl::fn>(o, args, nargs, kw, spec);                      \
    }

WL_FLOW_OP(claim_capacity, "claim_capacity", "capacity")
WL_FLOW_OP(assign_capacity, "assign_capacity", "capacity")
WL_FLOW_OP(inc_window, "inc_window", "sz")
WL_FLOW_OP(dec_send_window, "dec_send_window", "sz")
WL_FLOW_OP(dec_recv_window, "dec_recv_window", "sz")
WL_FLOW_OP(send_data, "send_data", "sz")

PyMethodDef flow_methods[] = {
    {"window_size", WL_NOARGS(flow_window_size), METH_NOARGS,
     "window_size($self)\n--\n\nThe window as the peer knows it, or 0 while it is negative."},
    {"available", WL_NOARGS(flow_available), METH_NOARGS,
     "available($self)\n--\n\nThe capacity known locally, possibly negative."},
    {"has_unavailable", WL_NOARGS(flow_has_unavailable), METH_NOARGS,
     "has_unavailable($self)\n--\n\nTrue when the window is not negative and exceeds the "
     "available capacity."},
    {"unclaimed_capacity", WL_NOARGS(flow_unclaimed_capacity), METH_NOARGS,
     "unclaimed_capacity($self)\n--\n\nThe WINDOW_UPDATE increment to send now, or None."},
    {"claim_capacity", WL_METH(flow_claim_capacity), METH_FASTCALL | METH_KEYWORDS,
     "claim_capacity($self, capacity)\n--\n\navailable -= capacity."},
    {"assign_capacity", WL_METH(flow_assign_capacity), METH_FASTCALL | METH_KEYWORDS,
     "assign_capacity($self, capacity)\n--\n\navailable += capacity."},
    {"inc_window", WL_METH(flow_inc_window), METH_FASTCALL | METH_KEYWORDS,
     "inc_window($self, sz)\n--\n\nwindow_size += sz."},
    {"dec_send_window", WL_METH(flow_dec_send_window), METH_FASTCALL | METH_KEYWORDS,
     "dec_send_window($self, sz)\n--\n\nwindow_size -= sz (the peer lowered its initial window)."},
    {"dec_recv_window", WL_METH(flow_dec_recv_window), METH_FASTCALL | METH_KEYWORDS,
     "dec_recv_window($self, sz)\n--\n\nwindow_size -= sz, then available -= sz."},
    {"send_data", WL_METH(flow_send_data), METH_FASTCALL | METH_KEYWORDS,
     "send_data($self, sz)\n--\n\nsz bytes were framed: window_size -= sz, then available -= sz."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot flow_slots[] = {
    {Py_tp_new, WL_SLOT(flow_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc)},
    {Py_tp_repr, WL_SLOT(flow_repr)},
    {Py_tp_methods, flow_methods},
    {Py_tp_doc, const_cast<char*>("H2FlowControl()\n--\n\n"
                                  "One HTTP/2 flow-control window pair (RFC 9113 section 6.9); "
                                  "both values start at 0.")},
    {0, nullptr},
};

PyType_Spec flow_spec = {WL_TYPE_NAME("H2FlowControl"), sizeof(PyFlow), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, flow_slots};

// ---------------------------------------------------------------------------
// H2ContentLength

struct PyClen {
    PyObject_HEAD
    wl::Mutex mu;
    ContentLength cl;
};

PyClen* as_clen(PyObject* o) { return reinterpret_cast<PyClen*>(o); }

PyObject* clen_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"is_head", nullptr};
    PyObject* head_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:H2ContentLength", const_cast<char**>(kwlist),
                                     &head_obj))
        return nullptr;
    bool is_head = false;
    if (head_obj && wl_conv_bool(head_obj, "H2ContentLength", "is_head", &is_head) < 0) return nullptr;
    auto* self = reinterpret_cast<PyClen*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    new (&self->mu) wl::Mutex();
    new (&self->cl) ContentLength(is_head);
    return reinterpret_cast<PyObject*>(self);
}

PyObject* clen_repr(PyObject* o) {
    std::string s;
    {
        WlLock g(as_clen(o)->mu);
        s = as_clen(o)->cl.debug();
    }
    return PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size()));
}

PyObject* clen_set(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "set", 1, 1, "value");
    PyObject* a[1];
    uint64_t v;
    if (wl_parse_args(spec, args, nargs, kw, a) < 0 || wl_conv_uint(a[0], "set", "value", kU64Max, &v) < 0)
        return nullptr;
    WlLock g(as_clen(o)->mu);
    as_clen(o)->cl.set(v);
    return none();
}

PyObject* clen_dec(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "dec", 1, 1, "len");
    PyObject* a[1];
    uint64_t v;
    if (wl_parse_args(spec, args, nargs, kw, a) < 0 || wl_conv_uint(a[0], "dec", "len", kU64Max, &v) < 0)
        return nullptr;
    WlLock g(as_clen(o)->mu);
    return wl_bool(as_clen(o)->cl.dec(v));
}

PyObject* clen_is_head(PyObject* o, PyObject*) {
    WlLock g(as_clen(o)->mu);
    return wl_bool(as_clen(o)->cl.is_head());
}

PyObject* clen_is_satisfied(PyObject* o, PyObject*) {
    WlLock g(as_clen(o)->mu);
    return wl_bool(as_clen(o)->cl.is_satisfied());
}

PyMethodDef clen_methods[] = {
    {"set", WL_METH(clen_set), METH_FASTCALL | METH_KEYWORDS,
     "set($self, value)\n--\n\nThe declared content-length; a HEAD response stays bodiless."},
    {"dec", WL_METH(clen_dec), METH_FASTCALL | METH_KEYWORDS,
     "dec($self, len)\n--\n\nAccount len received body bytes. False (nothing changed) when they "
     "exceed the declaration."},
    {"is_head", WL_NOARGS(clen_is_head), METH_NOARGS, "is_head($self)\n--\n\nThe message answers a HEAD request."},
    {"is_satisfied", WL_NOARGS(clen_is_satisfied), METH_NOARGS,
     "is_satisfied($self)\n--\n\nFalse only while declared bytes are still owed."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot clen_slots[] = {
    {Py_tp_new, WL_SLOT(clen_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc)},
    {Py_tp_repr, WL_SLOT(clen_repr)},
    {Py_tp_methods, clen_methods},
    {Py_tp_doc, const_cast<char*>("H2ContentLength(is_head=False)\n--\n\n"
                                  "The declared content-length of one received message and how "
                                  "much of it is still owed.")},
    {0, nullptr},
};

PyType_Spec clen_spec = {WL_TYPE_NAME("H2ContentLength"), sizeof(PyClen), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, clen_slots};

// ---------------------------------------------------------------------------
// H2DataFrameBudget

struct PyBudget {
    PyObject_HEAD
    wl::Mutex mu;
    DataFrameBudget b;
};

PyBudget* as_budget(PyObject* o) { return reinterpret_cast<PyBudget*>(o); }

PyObject* budget_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"configured", "connection_window", nullptr};
    PyObject* conf_obj = Py_None;
    PyObject* win_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:H2DataFrameBudget", const_cast<char**>(kwlist),
                                     &conf_obj, &win_obj))
        return nullptr;
    uint64_t configured = 0, window = wl::h2::kDefaultConnectionWindow;
    if (conf_obj != Py_None &&
        wl_conv_uint(conf_obj, "H2DataFrameBudget", "configured", SIZE_MAX, &configured) < 0)
        return nullptr;
    if (win_obj != Py_None &&
        wl_conv_uint(win_obj, "H2DataFrameBudget", "connection_window", kU32Max, &window) < 0)
        return nullptr;
    size_t budget = conf_obj != Py_None ? size_t(configured)
                                        : DataFrameBudget::budget_for_window(uint32_t(window));
    auto* self = reinterpret_cast<PyBudget*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    new (&self->mu) wl::Mutex();
    new (&self->b) DataFrameBudget(budget);
    return reinterpret_cast<PyObject*>(self);
}

PyObject* budget_repr(PyObject* o) {
    std::string s;
    {
        WlLock g(as_budget(o)->mu);
        s = as_budget(o)->b.debug();
    }
    return PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size()));
}

PyObject* budget_record(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "record", 1, 1, "payload_len");
    PyObject* a[1];
    uint64_t len;
    if (wl_parse_args(spec, args, nargs, kw, a) < 0 ||
        wl_conv_uint(a[0], "record", "payload_len", kU64Max, &len) < 0)
        return nullptr;
    size_t charge;
    bool ok;
    {
        WlLock g(as_budget(o)->mu);
        ok = as_budget(o)->b.record(len, &charge);
    }
    if (!ok) return wl_raise_h2_protocol(wl::h2::kEnhanceYourCalm, "too_many_data_frames");
    return PyLong_FromSize_t(charge);
}

PyObject* budget_release(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "release", 1, 1, "charge");
    PyObject* a[1];
    uint64_t charge;
    if (wl_parse_args(spec, args, nargs, kw, a) < 0 ||
        wl_conv_uint(a[0], "release", "charge", kU64Max, &charge) < 0)
        return nullptr;
    WlLock g(as_budget(o)->mu);
    as_budget(o)->b.release(charge);
    return none();
}

PyObject* budget_get_available(PyObject* o, void*) {
    size_t v;
    {
        WlLock g(as_budget(o)->mu);
        v = as_budget(o)->b.available();
    }
    return PyLong_FromSize_t(v);
}

PyObject* budget_get_empty_frames(PyObject* o, void*) {
    size_t v;
    {
        WlLock g(as_budget(o)->mu);
        v = as_budget(o)->b.empty_frames();
    }
    return PyLong_FromSize_t(v);
}

PyMethodDef budget_methods[] = {
    {"record", WL_METH(budget_record), METH_FASTCALL | METH_KEYWORDS,
     "record($self, payload_len)\n--\n\nA non-final DATA frame of payload_len bytes arrived. "
     "Returns the charge to give back later."},
    {"release", WL_METH(budget_release), METH_FASTCALL | METH_KEYWORDS,
     "release($self, charge)\n--\n\nGive back a charge returned by record()."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef budget_getset[] = {
    {"available", WL_GUARD(budget_get_available), nullptr, "The budget currently available (int).", nullptr},
    {"empty_frames", WL_GUARD(budget_get_empty_frames), nullptr,
     "Empty non-final DATA frames counted so far (int).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot budget_slots[] = {
    {Py_tp_new, WL_SLOT(budget_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc)},
    {Py_tp_repr, WL_SLOT(budget_repr)},
    {Py_tp_methods, budget_methods},
    {Py_tp_getset, budget_getset},
    {Py_tp_doc, const_cast<char*>(
         "H2DataFrameBudget(configured=None, connection_window=None)\n--\n\n"
         "Connection-wide budget against floods of small or empty DATA frames. The budget is\n"
         "`configured`, else max(25600, connection_window // 2) with a default window of 65535.")},
    {0, nullptr},
};

PyType_Spec budget_spec = {WL_TYPE_NAME("H2DataFrameBudget"), sizeof(PyBudget), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, budget_slots};

}  // namespace

int wl_add_h2streams(PyObject* m) {
    if (wl_add_type(m, &g_state_type, &state_spec) < 0) return -1;
    if (wl_add_type(m, &g_flow_type, &flow_spec) < 0) return -1;
    if (wl_add_type(m, &g_clen_type, &clen_spec) < 0) return -1;
    return wl_add_type(m, &g_budget_type, &budget_spec);
}

int wl_add_h2reason(PyObject* m) {
    if (!g_reason_type && make_reason_type() < 0) return -1;
    return PyModule_AddObjectRef(m, "H2Reason", reinterpret_cast<PyObject*>(g_reason_type));
}
