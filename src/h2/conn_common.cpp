// Helpers shared by the H2Streams method files, and the result classes
// H2Stopped, H2RecvHeadersVerdict, H2RecvDataVerdict, H2SendVerdict and
// H2ResetVerdict: read-only, not constructible from Python.
#include "h2/conn.h"

#include "py/members.h"

#include <cstddef>

#include "errors/errors.h"
#include "py/fresh.h"

using wl::h2::EngineError;
using wl::h2::Stop;

PyTypeObject* WL_H2StoppedType = nullptr;
PyTypeObject* WL_H2RecvHeadersVerdictType = nullptr;
PyTypeObject* WL_H2RecvDataVerdictType = nullptr;
PyTypeObject* WL_H2SendVerdictType = nullptr;
PyTypeObject* WL_H2ResetVerdictType = nullptr;

// ------------------------------------------------------------------ references

void WlHandleDrops::take(wl::h2::Engine& e) {
    auto& d = e.drops();
    for (auto h : d) add(wl_h2_obj(h));
    d.clear();
}

void WlHandleDrops::release() {
    // Each release may run arbitrary code; take the lists first so a
    // re-entrant call sees an empty object.
    int n = n_;
    n_ = 0;
    std::vector<PyObject*> more;
    more.swap(more_);
    for (int i = 0; i < n; ++i) Py_DECREF(inl_[i]);
    for (PyObject* o : more) Py_DECREF(o);
}

PyObject* WlRefs::to_list() {
    PyObject* l = PyList_New(Py_ssize_t(v_.size()));
    if (!l) return nullptr;
    for (size_t i = 0; i < v_.size(); ++i) {
        PyObject* o = v_[i] ? v_[i] : Py_NewRef(Py_None);
        PyList_SET_ITEM(l, Py_ssize_t(i), o);
    }
    v_.clear();
    return l;
}

PyObject* WlAborted::to_list() {
    auto& hs = handles.items();
    // Each pair allocates: a collection meanwhile may reach the list.
    PyObject* l = wl_fresh_list(Py_ssize_t(hs.size()));
    if (!l) return nullptr;
    for (size_t i = 0; i < hs.size(); ++i) {
        PyObject* stop = wl_h2_stopped_new(stops[i]);
        PyObject* h = hs[i] ? hs[i] : Py_NewRef(Py_None);
        hs[i] = nullptr;
        if (!stop) {
            Py_DECREF(h);
            Py_DECREF(l);
            return nullptr;
        }
        PyObject* t = PyTuple_Pack(2, h, stop);
        Py_DECREF(h);
        Py_DECREF(stop);
        if (!t) {
            Py_DECREF(l);
            return nullptr;
        }
        wl_fresh_list_set(l, Py_ssize_t(i), t);
    }
    hs.clear();
    return l;
}

// ------------------------------------------------------------------ errors

PyObject* wl_h2s_internal_error() {
    return wl_raise_h2_protocol(wl::h2::kInternalError, "internal error in the HTTP/2 engine");
}

PyObject* wl_h2s_raise(const EngineError& e) {
    switch (e.kind) {
        case EngineError::Kind::Protocol:
            return wl_raise_h2_protocol(e.has_reason ? (long long)e.reason : -1, e.message);
        case EngineError::Kind::Stream:
            return wl_raise_h2_stream(e.stream_id, e.reason, wl::h2::initiator_str(e.initiator));
        case EngineError::Kind::Flow: return wl_raise_h2_flow(e.reason);
        case EngineError::Kind::User:
            if (e.message.empty()) return wl_raise_h2_user(WlH2UserKind(e.user_kind));
            return wl_raise_h2_user_msg(WlH2UserKind(e.user_kind), e.message);
        case EngineError::Kind::Value:
            PyErr_SetString(PyExc_ValueError, e.message.c_str());
            return nullptr;
        case EngineError::Kind::Closed: return wl_raise_conn_closed(e.message);
        case EngineError::Kind::None: break;
    }
    return wl_h2s_internal_error();
}

PyObject* wl_h2s_not_built(const char* name) {
    PyErr_Format(PyExc_NotImplementedError, "H2Streams.%s is not built yet", name);
    return nullptr;
}

int wl_h2s_u32(PyObject* o, const char* fname, const char* arg, uint32_t* out) {
    uint64_t v;
    if (wl_conv_uint(o, fname, arg, 0xffffffffu, &v) < 0) return -1;
    *out = uint32_t(v);
    return 0;
}

int wl_h2s_frame(PyObject* o, PyTypeObject* type, const char* fname, const char* what) {
    if (PyObject_TypeCheck(o, type)) return 0;
    return wl_type_error(fname, "frame", what, o);
}

// ------------------------------------------------------------------ result classes

namespace {

struct Stopped {
    PyObject_HEAD
    PyObject* reason;  // int or None
    char conn;
};

struct HeadersVerdict {
    PyObject_HEAD
    PyObject* handle;
    unsigned int kind;
    unsigned int stream_id;
    unsigned int flags;
    char eof;
};

struct DataVerdict {
    PyObject_HEAD
    PyObject* handle;
    PyObject* payload;
    unsigned int flags;
    char budgeted;
    char eof;
};

struct SendVerdict {
    PyObject_HEAD
    PyObject* stopped;
    PyObject* handle;
    PyObject* reader_stop;
    unsigned long long sent;
    unsigned int flags;
    char done;
};

struct ResetVerdict {
    PyObject_HEAD
    PyObject* handle;
    PyObject* stop;
    unsigned int flags;
};

const char* tf(bool b) { return b ? "true" : "false"; }

template <class T>
T* alloc(PyTypeObject* type) {
    return reinterpret_cast<T*>(type->tp_alloc(type, 0));
}

void clear_one(PyObject*& f) { Py_CLEAR(f); }

// Generic GC support over the object fields listed by offset.
template <class T, PyObject* T::*... Fields>
struct Gc {
    static int traverse(PyObject* o, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(o));
        T* s = reinterpret_cast<T*>(o);
        int r = 0;
        ((r = r ? r : (s->*Fields ? visit(s->*Fields, arg) : 0)), ...);
        return r;
    }
    static int clear(PyObject* o) {
        T* s = reinterpret_cast<T*>(o);
        (clear_one(s->*Fields), ...);
        return 0;
    }
    static void dealloc(PyObject* o) {
        PyTypeObject* tp = Py_TYPE(o);
        PyObject_GC_UnTrack(o);
        clear(o);
        tp->tp_free(o);
        Py_DECREF(tp);
    }
};

using StoppedGc = Gc<Stopped, &Stopped::reason>;
using HeadersGc = Gc<HeadersVerdict, &HeadersVerdict::handle>;
using DataGc = Gc<DataVerdict, &DataVerdict::handle, &DataVerdict::payload>;
using SendGc = Gc<SendVerdict, &SendVerdict::stopped, &SendVerdict::handle, &SendVerdict::reader_stop>;
using ResetGc = Gc<ResetVerdict, &ResetVerdict::handle, &ResetVerdict::stop>;

PyObject* or_none(PyObject* o) { return o ? o : Py_NewRef(Py_None); }

// ---- repr

PyObject* stopped_repr(PyObject* o) {
    auto* s = reinterpret_cast<Stopped*>(o);
    return PyUnicode_FromFormat("H2Stopped(reason=%R, conn=%s)", s->reason, tf(s->conn));
}
PyObject* headers_repr(PyObject* o) {
    auto* s = reinterpret_cast<HeadersVerdict*>(o);
    return PyUnicode_FromFormat("H2RecvHeadersVerdict(kind=%u, stream_id=%u, eof=%s, flags=%u)",
                                s->kind, s->stream_id, tf(s->eof), s->flags);
}
PyObject* data_repr(PyObject* o) {
    auto* s = reinterpret_cast<DataVerdict*>(o);
    Py_ssize_t n = PyBytes_Check(s->payload) ? PyBytes_GET_SIZE(s->payload) : -1;
    if (n < 0)
        return PyUnicode_FromFormat("H2RecvDataVerdict(payload=None, budgeted=%s, eof=%s, flags=%u)",
                                    tf(s->budgeted), tf(s->eof), s->flags);
    return PyUnicode_FromFormat("H2RecvDataVerdict(payload=%zd bytes, budgeted=%s, eof=%s, flags=%u)",
                                n, tf(s->budgeted), tf(s->eof), s->flags);
}
PyObject* send_repr(PyObject* o) {
    auto* s = reinterpret_cast<SendVerdict*>(o);
    return PyUnicode_FromFormat("H2SendVerdict(sent=%llu, done=%s, stopped=%R, flags=%u)", s->sent,
                                tf(s->done), s->stopped, s->flags);
}
PyObject* reset_repr(PyObject* o) {
    auto* s = reinterpret_cast<ResetVerdict*>(o);
    return PyUnicode_FromFormat("H2ResetVerdict(stop=%R, flags=%u)", s->stop, s->flags);
}

#define RO WL_READONLY
PyMemberDef stopped_members[] = {
    {"reason", WL_T_OBJECT, offsetof(Stopped, reason), RO, "The error code (int), or None."},
    {"conn", WL_T_BOOL, offsetof(Stopped, conn), RO, "A connection-level condition applies."},
    {nullptr, 0, 0, 0, nullptr},
};
PyMemberDef headers_members[] = {
    {"kind", WL_T_UINT, offsetof(HeadersVerdict, kind), RO, "An H2_HEADERS_* code."},
    {"handle", WL_T_OBJECT, offsetof(HeadersVerdict, handle), RO, "The stream's handle, or None."},
    {"stream_id", WL_T_UINT, offsetof(HeadersVerdict, stream_id), RO, "The frame's stream id."},
    {"eof", WL_T_BOOL, offsetof(HeadersVerdict, eof), RO, "The peer's side ended with this frame."},
    {"flags", WL_T_UINT, offsetof(HeadersVerdict, flags), RO, "H2_FLAG_* bits."},
    {nullptr, 0, 0, 0, nullptr},
};
PyMemberDef data_members[] = {
    {"handle", WL_T_OBJECT, offsetof(DataVerdict, handle), RO, "The stream's handle, or None."},
    {"payload", WL_T_OBJECT, offsetof(DataVerdict, payload), RO, "The payload to deliver, or None."},
    {"budgeted", WL_T_BOOL, offsetof(DataVerdict, budgeted), RO,
     "The payload was charged to the DATA budget."},
    {"eof", WL_T_BOOL, offsetof(DataVerdict, eof), RO, "END_STREAM: the body is complete."},
    {"flags", WL_T_UINT, offsetof(DataVerdict, flags), RO, "H2_FLAG_* bits."},
    {nullptr, 0, 0, 0, nullptr},
};
PyMemberDef send_members[] = {
    {"sent", WL_T_ULL, offsetof(SendVerdict, sent), RO, "Bytes framed and queued by this call."},
    {"done", WL_T_BOOL, offsetof(SendVerdict, done), RO, "The last byte is queued."},
    {"stopped", WL_T_OBJECT, offsetof(SendVerdict, stopped), RO,
     "Why the stream cannot send (H2Stopped), or None."},
    {"handle", WL_T_OBJECT, offsetof(SendVerdict, handle), RO,
     "The handle whose request body was reset, or None."},
    {"reader_stop", WL_T_OBJECT, offsetof(SendVerdict, reader_stop), RO,
     "The stop that handle's body readers must see, or None."},
    {"flags", WL_T_UINT, offsetof(SendVerdict, flags), RO, "H2_FLAG_* bits."},
    {nullptr, 0, 0, 0, nullptr},
};
PyMemberDef reset_members[] = {
    {"handle", WL_T_OBJECT, offsetof(ResetVerdict, handle), RO, "The stream's handle, or None."},
    {"stop", WL_T_OBJECT, offsetof(ResetVerdict, stop), RO,
     "What the body readers must see (H2Stopped), or None."},
    {"flags", WL_T_UINT, offsetof(ResetVerdict, flags), RO, "H2_FLAG_* bits."},
    {nullptr, 0, 0, 0, nullptr},
};
#undef RO

#define RESULT_FLAGS \
    (Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION)

#define RESULT_SPEC(var, Name, T, G, members, repr, doc)                       \
    PyType_Slot var##_slots[] = {                                              \
        {Py_tp_dealloc, reinterpret_cast<void*>(G::dealloc)},                  \
        {Py_tp_traverse, reinterpret_cast<void*>(G::traverse)},                \
        {Py_tp_clear, reinterpret_cast<void*>(G::clear)},                      \
        {Py_tp_members, members},                                              \
        {Py_tp_repr, reinterpret_cast<void*>(repr)},                           \
        {Py_tp_doc, const_cast<char*>(doc)},                                   \
        {0, nullptr},                                                          \
    };                                                                         \
    PyType_Spec var##_spec = {WL_TYPE_NAME(Name), sizeof(T), 0, RESULT_FLAGS, var##_slots};

RESULT_SPEC(stopped, "H2Stopped", Stopped, StoppedGc, stopped_members, stopped_repr,
            "Why a stream stopped: a reason code or None, and whether the connection went.")
RESULT_SPEC(headers, "H2RecvHeadersVerdict", HeadersVerdict, HeadersGc, headers_members,
            headers_repr, "What a received HEADERS frame did.")
RESULT_SPEC(data, "H2RecvDataVerdict", DataVerdict, DataGc, data_members, data_repr,
            "What a received DATA frame delivers.")
RESULT_SPEC(send, "H2SendVerdict", SendVerdict, SendGc, send_members, send_repr,
            "What a send operation queued.")
RESULT_SPEC(reset, "H2ResetVerdict", ResetVerdict, ResetGc, reset_members, reset_repr,
            "The stream a reset or body close must notify.")

}  // namespace

// ------------------------------------------------------------------ constructors

PyObject* wl_h2_stopped_new(const Stop& s) {
    PyObject* reason = nullptr;
    if (s.has_reason && !(reason = PyLong_FromUnsignedLong(s.reason))) return nullptr;
    auto* o = alloc<Stopped>(WL_H2StoppedType);
    if (!o) {
        Py_XDECREF(reason);
        return nullptr;
    }
    o->reason = or_none(reason);
    o->conn = s.conn;
    return reinterpret_cast<PyObject*>(o);
}

PyObject* wl_h2_stopped_opt(const std::optional<Stop>& s) {
    return s ? wl_h2_stopped_new(*s) : Py_NewRef(Py_None);
}

PyObject* wl_h2_headers_verdict_new(uint8_t kind, PyObject* handle, uint32_t sid, bool eof,
                                    uint32_t flags) {
    auto* o = alloc<HeadersVerdict>(WL_H2RecvHeadersVerdictType);
    if (!o) {
        Py_XDECREF(handle);
        return nullptr;
    }
    o->handle = or_none(handle);
    o->kind = kind;
    o->stream_id = sid;
    o->eof = eof;
    o->flags = flags;
    return reinterpret_cast<PyObject*>(o);
}

PyObject* wl_h2_data_verdict_new(PyObject* handle, PyObject* payload, bool budgeted, bool eof,
                                 uint32_t flags) {
    auto* o = alloc<DataVerdict>(WL_H2RecvDataVerdictType);
    if (!o) {
        Py_XDECREF(handle);
        Py_XDECREF(payload);
        return nullptr;
    }
    o->handle = or_none(handle);
    o->payload = or_none(payload);
    o->budgeted = budgeted;
    o->eof = eof;
    o->flags = flags;
    return reinterpret_cast<PyObject*>(o);
}

PyObject* wl_h2_send_verdict_new(const wl::h2::SendOut& out, PyObject* handle) {
    PyObject* stopped = wl_h2_stopped_opt(out.stopped);
    PyObject* reader = stopped ? wl_h2_stopped_opt(out.reader_stop) : nullptr;
    auto* o = reader ? alloc<SendVerdict>(WL_H2SendVerdictType) : nullptr;
    if (!o) {
        Py_XDECREF(stopped);
        Py_XDECREF(reader);
        Py_XDECREF(handle);
        return nullptr;
    }
    o->stopped = stopped;
    o->reader_stop = reader;
    o->handle = or_none(handle);
    o->sent = out.sent;
    o->done = out.done;
    o->flags = out.flags;
    return reinterpret_cast<PyObject*>(o);
}

PyObject* wl_h2_reset_verdict_new(const wl::h2::ResetOut& out, PyObject* handle) {
    PyObject* stop = wl_h2_stopped_opt(out.stop);
    auto* o = stop ? alloc<ResetVerdict>(WL_H2ResetVerdictType) : nullptr;
    if (!o) {
        Py_XDECREF(stop);
        Py_XDECREF(handle);
        return nullptr;
    }
    o->stop = stop;
    o->handle = or_none(handle);
    o->flags = out.flags;
    return reinterpret_cast<PyObject*>(o);
}

int wl_h2_add_result_types(PyObject* m) {
    if (wl_add_type(m, &WL_H2StoppedType, &stopped_spec) < 0) return -1;
    if (wl_add_type(m, &WL_H2RecvHeadersVerdictType, &headers_spec) < 0) return -1;
    if (wl_add_type(m, &WL_H2RecvDataVerdictType, &data_spec) < 0) return -1;
    if (wl_add_type(m, &WL_H2SendVerdictType, &send_spec) < 0) return -1;
    return wl_add_type(m, &WL_H2ResetVerdictType, &reset_spec);
}
