// H2Streams: construction, attributes, repr, garbage collection, the write
// batches, the decoder entry points and the method table.
#include "h2/conn.h"

#include <climits>
#include <string>

#include "errors/errors.h"

using wl::h2::Engine;
using wl::h2::EngineConfig;

PyTypeObject* WL_H2StreamsType = nullptr;
PyTypeObject* WL_H2WriteBatchType = nullptr;

namespace {

// ------------------------------------------------------------------ write batch

// One former pending buffer on its way to the transport. Its release gives
// the buffer back through the engine's lock-free spare slot, so it is safe
// from any thread and from inside any locked section.
struct WriteBatch {
    PyObject_HEAD
    wl::ByteBuf* buf;  // owned
    PyObject* owner;   // the H2Streams
};

const uint8_t kEmpty[1] = {0};

int batch_getbuffer(PyObject* o, Py_buffer* view, int flags) {
    auto* b = reinterpret_cast<WriteBatch*>(o);
    size_t n = b->buf ? b->buf->size() : 0;
    if (n > size_t(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_BufferError, "write batch too large to export");
        return -1;
    }
    const void* data = n ? static_cast<const void*>(b->buf->data()) : kEmpty;
    return PyBuffer_FillInfo(view, o, const_cast<void*>(data), Py_ssize_t(n), 1, flags);
}

int batch_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(reinterpret_cast<WriteBatch*>(o)->owner);
    return 0;
}

int batch_clear(PyObject* o) {
    auto* b = reinterpret_cast<WriteBatch*>(o);
    if (b->owner && b->buf) {
        wl_h2s(b->owner)->eng->recycle(b->buf);
        b->buf = nullptr;
    }
    Py_CLEAR(b->owner);
    return 0;
}

void batch_dealloc(PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    batch_clear(o);
    delete reinterpret_cast<WriteBatch*>(o)->buf;
    tp->tp_free(o);
    Py_DECREF(tp);
}

PyType_Slot batch_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(batch_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(batch_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(batch_clear)},
    {Py_tp_doc, const_cast<char*>("Bytes of one write, exported read-only through the buffer protocol.")},
    {0, nullptr},
};

PyType_Spec batch_spec = {WL_TYPE_NAME("H2WriteBatch"), sizeof(WriteBatch), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                              Py_TPFLAGS_DISALLOW_INSTANTIATION,
                          batch_slots};

// ------------------------------------------------------------------ construction

int conv_u32_arg(PyObject* o, const char* arg, uint32_t* out) {
    return wl_h2s_u32(o, "H2Streams", arg, out);
}

int conv_u64_arg(PyObject* o, const char* arg, uint64_t* out) {
    return wl_conv_uint(o, "H2Streams", arg, UINT64_MAX, out);
}

// The given text in double quotes with backslash escapes.
std::string quoted(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    static constexpr char kHex[] = "0123456789abcdef";
                    out += "\\u{";
                    if (c >= 0x10) out += kHex[c >> 4];
                    out += kHex[c & 0xf];
                    out += '}';
                } else {
                    out += char(c);
                }
        }
    }
    out += '"';
    return out;
}

PyObject* streams_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"role",
                               "initial_window_size",
                               "connection_window",
                               "max_frame_size",
                               "max_header_list_size",
                               "max_send_buf_size",
                               "max_concurrent_streams",
                               "max_pending_accept_reset_streams",
                               "max_local_error_reset_streams",
                               "data_frame_budget",
                               "auto_date_header",
                               "enable_push",
                               nullptr};
    PyObject* a[12] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOOOOOOOO:H2Streams", const_cast<char**>(kw),
                                     &a[0], &a[1], &a[2], &a[3], &a[4], &a[5], &a[6], &a[7], &a[8],
                                     &a[9], &a[10], &a[11]))
        return nullptr;
    for (int i = 1; i <= 5; ++i)
        if (!a[i]) {
            PyErr_Format(PyExc_TypeError, "H2Streams() missing required keyword-only argument: '%s'", kw[i]);
            return nullptr;
        }
    std::string_view role;
    if (wl_conv_str(a[0], "H2Streams", "role", &role) < 0) return nullptr;
    EngineConfig cfg;
    if (conv_u32_arg(a[1], "initial_window_size", &cfg.initial_window_size) < 0 ||
        conv_u32_arg(a[2], "connection_window", &cfg.connection_window) < 0 ||
        conv_u32_arg(a[3], "max_frame_size", &cfg.max_frame_size) < 0 ||
        conv_u32_arg(a[4], "max_header_list_size", &cfg.max_header_list_size) < 0 ||
        conv_u64_arg(a[5], "max_send_buf_size", &cfg.max_send_buf_size) < 0)
        return nullptr;
    if (a[6] && a[6] != Py_None) {
        uint32_t v;
        if (conv_u32_arg(a[6], "max_concurrent_streams", &v) < 0) return nullptr;
        cfg.max_concurrent_streams = v;
    }
    if (a[7] && conv_u64_arg(a[7], "max_pending_accept_reset_streams", &cfg.max_pending_accept_reset_streams) < 0)
        return nullptr;
    if (a[8]) {
        if (a[8] == Py_None) {
            cfg.max_local_error_reset_streams.reset();
        } else {
            uint64_t v;
            if (conv_u64_arg(a[8], "max_local_error_reset_streams", &v) < 0) return nullptr;
            cfg.max_local_error_reset_streams = v;
        }
    }
    if (a[9] && a[9] != Py_None) {
        uint64_t v;
        if (conv_u64_arg(a[9], "data_frame_budget", &v) < 0) return nullptr;
        cfg.data_frame_budget = v;
    }
    if (a[10] && wl_conv_bool(a[10], "H2Streams", "auto_date_header", &cfg.auto_date_header) < 0)
        return nullptr;
    if (a[11] && a[11] != Py_None) {
        bool v;
        if (wl_conv_bool(a[11], "H2Streams", "enable_push", &v) < 0) return nullptr;
        cfg.enable_push = v;
    }

    if (role == "server") {
        cfg.server = true;
    } else if (role != "client") {
        std::string msg = "role must be 'client' or 'server', got " + quoted(role);
        PyErr_SetString(PyExc_ValueError, msg.c_str());
        return nullptr;
    }
    std::string msg;
    if (!cfg.validate(&msg)) {
        PyErr_SetString(PyExc_ValueError, msg.c_str());
        return nullptr;
    }

    auto* self = reinterpret_cast<WlH2Streams*>(wl_alloc_subclassable(type));
    if (!self) return nullptr;
    try {
        self->eng = new Engine(cfg);
    } catch (const std::bad_alloc&) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(self);
}

int streams_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(o));
    WlH2Streams* s = wl_h2s(o);
    if (!s->eng || !s->eng->state_mu.try_lock()) return 0;  // busy elsewhere: report nothing
    int r = s->eng->for_each_ref([&](wl::h2::Handle h) { return visit(wl_h2_obj(h), arg); });
    if (!r && s->read_handle) r = visit(s->read_handle, arg);
    if (!r && s->pump_handle) r = visit(s->pump_handle, arg);
    s->eng->state_mu.unlock();
    return r;
}

int streams_clear(PyObject* o) {
    WlH2Streams* s = wl_h2s(o);
    if (!s->eng) return 0;
    WlHandleDrops drops;
    WlLock g(s->eng->state_mu);
    s->eng->drop_all_refs();
    drops.take(*s->eng);
    drops.add(s->read_handle);
    drops.add(s->pump_handle);
    s->read_handle = s->pump_handle = nullptr;
    return 0;
}

void streams_dealloc(PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    Py_TRASHCAN_BEGIN(o, streams_dealloc)  // deep chains of owned handles free iteratively
    streams_clear(o);
    delete wl_h2s(o)->eng;
    wl_h2s(o)->eng = nullptr;
    tp->tp_free(o);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

PyObject* streams_repr(PyObject* o) {
    Engine* e = wl_h2s(o)->eng;
    bool server, failed, goaway;
    size_t n;
    unsigned long long active;
    {
        WlLock g(e->state_mu);
        server = e->is_server();
        n = e->stream_count();
        active = e->num_streams();
        failed = e->has_error();
        goaway = e->peer_goaway().has_value();
    }
    auto tf = [](bool b) { return b ? "true" : "false"; };
    return PyUnicode_FromFormat("H2Streams(role=%s, streams=%zu, active=%llu, failed=%s, goaway=%s)",
                                server ? "server" : "client", n, active, tf(failed), tf(goaway));
}

// ------------------------------------------------------------------ attributes

template <class F>
PyObject* snapshot(PyObject* o, F&& f) {
    Engine* e = wl_h2s(o)->eng;
    WlLock g(e->state_mu);
    return f(*e);  // f builds only ints, bools and None: no code runs
}

PyObject* u64(unsigned long long v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* opt_u64(std::optional<uint64_t> v) { return v ? u64(*v) : Py_NewRef(Py_None); }

#define GETTER(name, expr) \
    PyObject* g_##name(PyObject* o, void*) { \
        return snapshot(o, [](Engine& e) -> PyObject* { return expr; }); \
    }

// Small ints and bools are shared objects, so building them under the lock
// allocates nothing that a collection could be started by; larger values are
// copied out first.
#define GETTER_NUM(name, type, expr)                     \
    PyObject* g_##name(PyObject* o, void*) {             \
        Engine* e = wl_h2s(o)->eng;                      \
        type v;                                          \
        {                                                \
            WlLock g(e->state_mu);                       \
            v = (expr);                                  \
        }                                                \
        return conv(v);                                  \
    }

PyObject* conv(bool v) { return wl_bool(v); }
PyObject* conv(unsigned long long v) { return u64(v); }
PyObject* conv(long long v) { return PyLong_FromLongLong(v); }
PyObject* conv(std::optional<uint64_t> v) { return opt_u64(v); }

GETTER_NUM(is_server, bool, e->is_server())
GETTER_NUM(graceful, bool, e->graceful())
GETTER_NUM(shutdown_final, bool, e->shutdown_final())
GETTER_NUM(num_streams, unsigned long long, e->num_streams())
GETTER_NUM(num_open_streams, unsigned long long, e->num_open_streams())
GETTER_NUM(stream_limit, std::optional<uint64_t>, e->stream_limit())
GETTER_NUM(last_processed_id, unsigned long long, e->last_processed_id())
GETTER_NUM(max_stream_id, unsigned long long, e->max_stream_id())
GETTER_NUM(conn_send_window, long long, e->conn_send_window())
GETTER_NUM(conn_recv_available, long long, e->conn_recv_available())
GETTER_NUM(data_frame_budget_available, unsigned long long, e->data_budget().available())
GETTER_NUM(data_frame_budget_empty_frames, unsigned long long, e->data_budget().empty_frames())
GETTER_NUM(peer_initial_window_size, unsigned long long, e->peer_initial_window_size())
GETTER_NUM(peer_max_frame_size, unsigned long long, e->peer_max_frame_size())
GETTER_NUM(peer_max_concurrent_streams, std::optional<uint64_t>,
           e->peer_max_concurrent_streams() ? std::optional<uint64_t>(*e->peer_max_concurrent_streams())
                                            : std::nullopt)
GETTER_NUM(max_pending_accept_reset_streams, unsigned long long, e->max_pending_accept_reset_streams())
GETTER_NUM(max_local_error_reset_streams, std::optional<uint64_t>, e->max_local_error_reset_streams())
GETTER_NUM(local_error_resets, unsigned long long, e->local_error_resets())
GETTER_NUM(goaway_replied, bool, e->goaway_replied())

#undef GETTER
#undef GETTER_NUM

#define ATTR(name, doc) {#name, g_##name, nullptr, doc, nullptr}
PyGetSetDef streams_getset[] = {
    ATTR(is_server, "The server role."),
    ATTR(graceful, "Graceful shutdown phase 1 has begun."),
    ATTR(shutdown_final, "The final GOAWAY of graceful shutdown has been queued."),
    ATTR(num_streams, "Active streams (opened and not yet closed)."),
    ATTR(num_open_streams, "Slots claimed by this side."),
    ATTR(stream_limit, "The stream limit in force, or None."),
    ATTR(last_processed_id, "Server: the highest peer stream id accepted."),
    ATTR(max_stream_id, "Server: the last-stream-id of graceful shutdown's final phase."),
    ATTR(conn_send_window, "Connection send window (a negative window reads 0)."),
    ATTR(conn_recv_available, "Connection receive capacity available to the peer."),
    ATTR(data_frame_budget_available, "The DATA budget's available bytes."),
    ATTR(data_frame_budget_empty_frames, "Empty non-final DATA frames received."),
    ATTR(peer_initial_window_size, "The peer's SETTINGS_INITIAL_WINDOW_SIZE in force."),
    ATTR(peer_max_frame_size, "The peer's SETTINGS_MAX_FRAME_SIZE in force."),
    ATTR(peer_max_concurrent_streams, "The peer's SETTINGS_MAX_CONCURRENT_STREAMS, or None."),
    ATTR(max_pending_accept_reset_streams, "Cap on peer resets of streams not yet accepted."),
    ATTR(max_local_error_reset_streams, "Cap on resets sent for peer stream errors, or None."),
    ATTR(local_error_resets, "Streams reset for a peer's stream error so far."),
    ATTR(goaway_replied, "We have answered the peer's GOAWAY."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef ATTR

}  // namespace

// ------------------------------------------------------------------ methods of the write path

WL_H2S_NOARGS(begin) {
    Engine* e = wl_h2s(self)->eng;
    return wl_h2s_guard([&]() -> PyObject* {
        wl::h2::EngineError err;
        {
            WlLock g(e->state_mu);
            err = e->begin();
        }
        if (err) return wl_h2s_raise(err);
        Py_RETURN_NONE;
    });
}

WL_H2S_METHOD(store_task_handles) {
    WL_ARGSPEC(spec, "store_task_handles", 2, 2, "read", "pump");
    PyObject* a[2];
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0) return nullptr;
    WlH2Streams* s = wl_h2s(self);
    WlHandleDrops drops;
    {
        WlLock g(s->eng->state_mu);
        drops.add(s->read_handle);
        drops.add(s->pump_handle);
        s->read_handle = Py_NewRef(a[0]);
        s->pump_handle = Py_NewRef(a[1]);
    }
    Py_RETURN_NONE;
}

namespace {

PyObject* take_slot(PyObject* self, PyObject* WlH2Streams::*slot) {
    WlH2Streams* s = wl_h2s(self);
    PyObject* h;
    {
        WlLock g(s->eng->state_mu);
        h = s->*slot;
        s->*slot = nullptr;
    }
    return h ? h : Py_NewRef(Py_None);
}

}  // namespace

WL_H2S_NOARGS(take_read_handle) { return take_slot(self, &WlH2Streams::read_handle); }
WL_H2S_NOARGS(take_pump_handle) { return take_slot(self, &WlH2Streams::pump_handle); }

WL_H2S_NOARGS(take_pending) {
    Engine* e = wl_h2s(self)->eng;
    // The batch object exists before the lock is taken, so the swap cannot
    // fail half-way.
    auto* batch = reinterpret_cast<WriteBatch*>(WL_H2WriteBatchType->tp_alloc(WL_H2WriteBatchType, 0));
    if (!batch) return nullptr;
    bool stopping = false;
    try {
        WlLock g(e->state_mu);
        batch->buf = e->take_pending(&stopping);
    } catch (const std::bad_alloc&) {
        Py_DECREF(batch);
        return PyErr_NoMemory();
    }
    batch->owner = Py_NewRef(self);
    PyObject* view = PyMemoryView_FromObject(reinterpret_cast<PyObject*>(batch));
    Py_DECREF(batch);  // the view keeps it alive
    if (!view) return nullptr;
    PyObject* r = PyTuple_New(2);
    if (!r) {
        Py_DECREF(view);
        return nullptr;
    }
    PyTuple_SET_ITEM(r, 0, view);
    PyTuple_SET_ITEM(r, 1, wl_bool(stopping));
    return r;
}

WL_H2S_NOARGS(credit_written) {
    Engine* e = wl_h2s(self)->eng;
    return wl_h2s_guard([&]() -> PyObject* {
        WlRefs refs;
        {
            WlLock g(e->state_mu);
            e->credit_written();
            refs.take_handles(e->wake());
        }
        return refs.to_list();
    });
}

WL_H2S_NOARGS(has_pending) {
    Engine* e = wl_h2s(self)->eng;
    bool v;
    {
        WlLock g(e->state_mu);
        v = e->has_pending();
    }
    return wl_bool(v);
}

WL_H2S_NOARGS(stop_pump) {
    Engine* e = wl_h2s(self)->eng;
    {
        WlLock g(e->state_mu);
        e->stop_pump();
    }
    Py_RETURN_NONE;
}

// ------------------------------------------------------------------ decoder entry points

WL_H2S_METHOD(receive) {
    WL_ARGSPEC(spec, "receive", 1, 1, "data");
    PyObject* a[1];
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0) return nullptr;
    std::string_view data;
    if (wl_conv_bytes(a[0], "receive", "data", &data) < 0) return nullptr;
    Engine* e = wl_h2s(self)->eng;
    WlH2Received r;
    if (wl_h2_receive_begin(&r) < 0) return nullptr;
    {
        WlLock g(e->decoder_mu);
        wl_h2_receive_locked(e->decoder(), data, &r);
    }
    return wl_h2_receive_finish(&r);
}

WL_H2S_METHOD(prime) {
    WL_ARGSPEC(spec, "prime", 1, 1, "data");
    PyObject* a[1];
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0) return nullptr;
    std::string_view data;
    if (wl_conv_bytes(a[0], "prime", "data", &data) < 0) return nullptr;
    Engine* e = wl_h2s(self)->eng;
    return wl_h2s_guard([&]() -> PyObject* {
        int r;
        {
            WlLock g(e->decoder_mu);
            r = e->prime(data);
        }
        if (r > 0) Py_RETURN_TRUE;
        if (r < 0) Py_RETURN_FALSE;
        Py_RETURN_NONE;
    });
}

// ------------------------------------------------------------------ type

namespace {

#define NOARGS(name, sig, doc) {#name, WL_NOARGS(wl_h2s_##name), METH_NOARGS, #name sig "\n--\n\n" doc}
#define FAST(name, sig, doc) {#name, WL_METH(wl_h2s_##name), METH_FASTCALL | METH_KEYWORDS, #name sig "\n--\n\n" doc}

PyMethodDef streams_methods[] = {
    // write path and handshake
    NOARGS(begin, "($self)", "Queue the connection preface (client) and our SETTINGS."),
    FAST(store_task_handles, "($self, read, pump)", "Store the driver's two task handles."),
    NOARGS(take_read_handle, "($self)", "The stored read handle, or None; empties the slot."),
    NOARGS(take_pump_handle, "($self)", "The stored pump handle, or None; empties the slot."),
    NOARGS(take_pending, "($self)", "Swap the pending bytes out: (memoryview, stopping)."),
    NOARGS(credit_written, "($self)", "The last batch is written: handles of senders to wake."),
    NOARGS(has_pending, "($self)", "Bytes are waiting to be written."),
    NOARGS(stop_pump, "($self)", "Tell the write pump to stop after its next batch."),
    // inbound
    FAST(receive, "($self, data)", "Decode received bytes into frames."),
    FAST(prime, "($self, data)", "Seed the decoder with bytes another reader took: True, None or False."),
    FAST(recv_headers, "($self, frame, spare=None)", "Apply a received HEADERS frame."),
    FAST(recv_data, "($self, frame)", "Apply a received DATA frame."),
    FAST(recv_window_update, "($self, frame)", "Apply a received WINDOW_UPDATE: handles to wake."),
    FAST(recv_reset, "($self, frame)", "Apply a received RST_STREAM: None or (handle, stop, notify_body, flags)."),
    // connection control
    FAST(recv_settings, "($self, frame)", "Apply a SETTINGS frame: (initial, wake_windows, flags)."),
    FAST(recv_ping, "($self, frame)", "Answer or take a PING: flags."),
    FAST(recv_go_away, "($self, frame)", "Apply the peer's GOAWAY: (aborted pairs, flags)."),
    NOARGS(maybe_goaway_reply, "($self)", "Answer the peer's GOAWAY once no stream is active: flags."),
    FAST(send_goaway, "($self, reason)", "Queue GOAWAY for a violation we detected: flags."),
    NOARGS(begin_graceful_shutdown, "($self)", "Server: queue GOAWAY and the shutdown PING: flags."),
    FAST(fail, "($self, exc=None, message=\"connection closed\")",
         "Record the connection failure; (handle, stop) pairs of the aborted streams."),
    NOARGS(conn_error, "($self)", "The stored connection error, or None."),
    NOARGS(goaway_info, "($self)", "(last_stream_id, error_code, debug_data) of the peer's GOAWAY, or None."),
    NOARGS(is_closed, "($self)", "An error is stored or the peer's GOAWAY was received."),
    NOARGS(is_failed, "($self)", "An error is stored."),
    // opening and sending
    NOARGS(try_claim_slot, "($self)", "Claim a concurrency slot."),
    NOARGS(can_open, "($self)", "A slot is free (claims nothing)."),
    NOARGS(release_slot_count, "($self)", "Give back a claimed slot that did not become a stream."),
    FAST(apply_stream_limit, "($self, limit)", "Set the stream limit (None unsets it)."),
    FAST(open_stream,
         "($self, method, target, headers, end_stream, is_head, handle, *, scheme=None, authority=None)",
         "Open a client stream: its id, or None."),
    FAST(send_data, "($self, sid, data, offset, end_stream)", "Queue at most one DATA frame."),
    FAST(send_trailers, "($self, sid, trailers)", "Queue the trailers, ending the stream."),
    FAST(send_response_head, "($self, sid, status, headers, end_stream)", "Server: queue the response head."),
    // resets and releases
    FAST(reset_stream, "($self, sid, reason, initiator=\"user\")", "Reset a stream."),
    FAST(reset_on_error, "($self, sid, reason)", "Reset a stream after the peer's stream error."),
    FAST(aclose_body, "($self, sid)", "The application closed the stream's body."),
    FAST(release_capacity, "($self, sid, n)", "Return n consumed bytes of receive capacity: flags."),
    FAST(release_data_frame, "($self, sid, payload_len)", "A budgeted DATA payload was consumed."),
    FAST(accepted, "($self, sid)", "Server: the application pulled the request."),
    // introspection and diagnostics
    FAST(has_stream, "($self, sid)", "The stream has a record."),
    FAST(is_recv_end_stream, "($self, sid)", "The peer's side ended with END_STREAM."),
    FAST(stream_state, "($self, sid)", "The stream's state as text, or None."),
    FAST(stream_recv_unreleased, "($self, sid)", "Received bytes not yet released."),
    FAST(stream_recv_reclaimed, "($self, sid)", "The receive capacity went back already, or None."),
    FAST(stream_data_budget_charged, "($self, sid)", "The stream's DATA budget charge, or None."),
    FAST(stream_send_buffered, "($self, sid)", "DATA bytes queued and not yet credited, or None."),
    FAST(stream_send_window, "($self, sid)", "The stream's send window, or None."),
    FAST(in_reset_store, "($self, sid)", "The id is in the reset store, whatever its age."),
    FAST(set_next_stream_id, "($self, sid)", "Set the next stream id open_stream uses."),
    FAST(set_max_stream_id, "($self, sid)", "Server: set max_stream_id as graceful phase 2 would."),
    FAST(set_last_processed_id, "($self, sid)", "Server: set last_processed_id."),
    {nullptr, nullptr, 0, nullptr},
};
#undef NOARGS
#undef FAST

PyType_Slot streams_slots[] = {
    {Py_tp_new, WL_SLOT(streams_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(streams_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(streams_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(streams_clear)},
    {Py_tp_methods, streams_methods},
    {Py_tp_getset, streams_getset},
    {Py_tp_repr, WL_SLOT(streams_repr)},
    {Py_tp_doc, const_cast<char*>(
                    "H2Streams(role, *, initial_window_size, connection_window, max_frame_size, "
                    "max_header_list_size, max_send_buf_size, max_concurrent_streams=None, "
                    "max_pending_accept_reset_streams=20, max_local_error_reset_streams=1024, "
                    "data_frame_budget=None, auto_date_header=True, enable_push=None)\n--\n\n"
                    "The state of one HTTP/2 connection, client or server.")},
    {0, nullptr},
};

PyType_Spec streams_spec = {WL_TYPE_NAME("H2Streams"), sizeof(WlH2Streams), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
                                Py_TPFLAGS_IMMUTABLETYPE,
                            streams_slots};

}  // namespace

int wl_add_h2conn(PyObject* m) {
    if (!WL_H2WriteBatchType && !(WL_H2WriteBatchType = wl_new_type(&batch_spec))) return -1;
    if (wl_add_type(m, &WL_H2StreamsType, &streams_spec) < 0) return -1;
    return wl_h2_add_result_types(m);
}
