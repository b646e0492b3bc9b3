// H1ServerState: connection state plus current-request state of one HTTP/1
// server connection. Owns the connection's H1Codec and the current body
// decoder, and takes their locks only while holding its own (state first).
#include <cstring>
#include <new>

#include "h1/body.h"
#include "h1/codec.h"
#include "h1/watcher.h"
#include "http/headermap.h"

namespace {

enum : int {
    NEXT_NONE = 0,
    NEXT_RAISE = 1,
    NEXT_CLOSE = 2,
    NEXT_DRAIN = 3,
    READ_PARSE = 4,
    READ_SHUTDOWN = 5,
    READ_WATCHER = 6,
    READ_TRANSPORT = 7,
    READ_EOF = 8,
};
enum : int { REQ_OK = 0, REQ_ALREADY = 1, REQ_STALE = 2, REQ_PARKED = 3, REQ_PEER_CLOSED = 4, REQ_CONTINUE = 5 };

struct ServerState {
    PyObject_HEAD
    wl::Mutex mu;
    PyObject* transport;
    PyObject* codec;    // H1Codec, never replaced
    PyObject* decoder;  // H1BodyDecoder of the current request
    uint64_t next_seq;
    uint64_t seq;
    WlWatcherSlot slot;
    // connection
    bool closed, reusable, upgraded, half_close, keep_alive_enabled, shutdown_requested, idle_parked;
    // current request
    bool expect_continue, http10, req_keep_alive, upgrade_requested, connect, may_switch;
    bool responded, head_pending, response_done, body_done, body_read_owned, continue_claimed;
    bool peer_closed, head_negotiated, do_switch, reuse, want;
};

PyTypeObject* g_server_type = nullptr;

ServerState* ss(PyObject* o) { return reinterpret_cast<ServerState*>(o); }
WlH1Codec* codec_of(ServerState* s) { return reinterpret_cast<WlH1Codec*>(s->codec); }

// ---- owned-object helpers (called with the state lock held) ----

size_t codec_buffered(ServerState* s) { return wl_h1codec_buffered(codec_of(s)); }

// Moves the decoder's unread input (a pipelined next request, which arrived
// with the body) in front of the codec's read buffer, before any byte that
// came later. All or nothing: a failed allocation throws std::bad_alloc
// with the bytes back in the decoder. Returns whether anything moved.
bool move_decoder_input(ServerState* s, WlDrops& drops) {
    if (!s->decoder) return false;
    wl::ByteBuf extra;
    drops.add(wl_h1body_take_input(s->decoder, extra));
    if (extra.empty()) return false;
    try {
        wl_h1codec_prepend_native(codec_of(s), extra);
    } catch (const std::bad_alloc&) {
        drops.add(wl_h1body_feed_native(s->decoder, extra));  // adopted again: the input was empty
        throw;
    }
    return true;
}

// The bytes a hand-off passes on: the decoder's unread input, then the
// codec's read buffer, then what the watcher already read (oldest first).
size_t leftover_size(ServerState* s, bool with_watcher) {
    size_t n = codec_buffered(s);
    if (s->decoder) n += wl_h1body_buffered(s->decoder);
    if (with_watcher && s->slot.present && s->slot.data) n += size_t(PyBytes_GET_SIZE(s->slot.data));
    return n;
}

// Copies those bytes into out (exactly leftover_size bytes) and empties the
// sources; the watcher's bytes object goes to drops. Allocates nothing.
void take_leftover(ServerState* s, bool with_watcher, char* out, WlDrops& drops) {
    wl::ByteBuf part;
    if (s->decoder) {
        drops.add(wl_h1body_take_input(s->decoder, part));  // may throw: nothing changed yet
        if (!part.empty()) std::memcpy(out, part.data(), part.size());
        out += part.size();
        part.clear_and_free();
    }
    wl_h1codec_take_native(codec_of(s), part);
    if (!part.empty()) std::memcpy(out, part.data(), part.size());
    out += part.size();
    if (with_watcher && s->slot.present && s->slot.data) {
        std::memcpy(out, PyBytes_AS_STRING(s->slot.data), size_t(PyBytes_GET_SIZE(s->slot.data)));
        drops.add(s->slot.data);
        s->slot.data = nullptr;
    }
}

PyObject* take_transport(ServerState* s) {
    if (s->upgraded) return nullptr;
    PyObject* t = s->transport;
    s->transport = nullptr;
    return t;
}

bool is_current(ServerState* s, uint64_t seq) { return seq != 0 && seq == s->seq; }

// Positions the connection at the next request head. Returns the verdict and
// a new reference (or NULL) in *obj.
int next_head(ServerState* s, WlDrops& drops, PyObject** obj) {
    *obj = nullptr;
    move_decoder_input(s, drops);  // the only step that may fail: before any change
    {
        WlH1Codec* c = codec_of(s);
        WlLock g(c->mu);
        c->core.reset();
    }
    drops.add(s->decoder);
    s->decoder = nullptr;
    s->response_done = true;
    s->body_done = true;
    if (codec_buffered(s) != 0) return READ_PARSE;
    if (s->shutdown_requested) return READ_SHUTDOWN;
    if (!s->slot.present) {
        if (!s->transport) return READ_EOF;
        s->idle_parked = true;
        *obj = Py_NewRef(s->transport);
        return READ_TRANSPORT;
    }
    s->idle_parked = true;
    *obj = wl_ref_or_none(s->slot.done);
    return READ_WATCHER;
}

// The arm decision; true when a new watcher slot was created.
bool arm_decision(ServerState* s, PyObject* done, WlDrops& drops) {
    if (!s->want || s->half_close || s->closed || !s->transport || s->slot.present || !s->body_done ||
        s->response_done)
        return false;
    if (s->may_switch && !(s->head_negotiated && !s->do_switch)) return false;
    if (codec_buffered(s) != 0) return false;
    if (move_decoder_input(s, drops)) return false;
    s->slot.arm(done);
    return true;
}

// A tuple of new references, each stolen; should any be NULL (a failed
// allocation) the others are released and NULL is returned. Results are
// built on every request, where Py_BuildValue's format parsing showed up.
template <typename... Items>
PyObject* steal_tuple(Items... items) {
    PyObject* objs[] = {items...};
    PyObject* t = nullptr;
    if (((items != nullptr) && ...)) t = PyTuple_New(Py_ssize_t(sizeof...(items)));
    if (!t) {
        for (PyObject* o : objs) Py_XDECREF(o);
        return nullptr;
    }
    for (size_t i = 0; i < sizeof...(items); ++i) PyTuple_SET_ITEM(t, Py_ssize_t(i), objs[i]);
    return t;
}

PyObject* pair(int code, PyObject* obj) {  // steals obj (may be NULL)
    return steal_tuple(PyLong_FromLong(code), wl_or_none(obj));
}

// ---- construction and GC ----

PyObject* ss_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"codec", "transport", "keep_alive", "half_close", nullptr};
    PyObject *codec, *transport, *keep_alive = Py_True, *half_close = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OO:H1ServerState", const_cast<char**>(kw), &codec,
                                     &transport, &keep_alive, &half_close))
        return nullptr;
    if (!wl_h1codec_check(codec)) return wl_type_error("H1ServerState", "codec", "H1Codec", codec), nullptr;
    bool ka, hc;
    if (wl_conv_bool(keep_alive, "H1ServerState", "keep_alive", &ka) < 0 ||
        wl_conv_bool(half_close, "H1ServerState", "half_close", &hc) < 0)
        return nullptr;
    auto* self = ss(wl_alloc_subclassable(type));
    if (!self) return nullptr;
    new (&self->mu) wl::Mutex();
    new (&self->slot) WlWatcherSlot();
    self->transport = transport == Py_None ? nullptr : Py_NewRef(transport);  // None: no transport
    self->codec = Py_NewRef(codec);
    self->next_seq = 1;
    self->reusable = true;
    self->keep_alive_enabled = ka;
    self->half_close = hc;
    return reinterpret_cast<PyObject*>(self);
}

int ss_traverse(PyObject* o, visitproc visit, void* arg) {
    ServerState* s = ss(o);
    Py_VISIT(Py_TYPE(o));
    if (!s->mu.try_lock()) return 0;
    int r = 0;
    if (s->transport) r = visit(s->transport, arg);
    if (!r && s->codec) r = visit(s->codec, arg);
    if (!r && s->decoder) r = visit(s->decoder, arg);
    if (!r) r = s->slot.traverse(visit, arg);
    s->mu.unlock();
    return r;
}

int ss_clear(PyObject* o) {
    ServerState* s = ss(o);
    WlDrops drops;
    WlLock g(s->mu);
    drops.add(s->transport);
    drops.add(s->codec);
    drops.add(s->decoder);
    s->transport = s->codec = s->decoder = nullptr;
    s->slot.remove(drops);
    return 0;
}

void ss_dealloc(PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    // Chains of states (one held as another's transport) free iteratively.
    Py_TRASHCAN_BEGIN(o, ss_dealloc)
    ss_clear(o);
    ss(o)->mu.~Mutex();
    tp->tp_free(o);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

// Cleared objects (after gc's tp_clear) have no codec; every operation that
// needs it then acts as on a closed connection.
#define NEED_CODEC(s, ret)        \
    if (!(s)->codec) return ret;

// ---- argument helpers ----

int arg_seq(PyObject* o, const char* fname, uint64_t* out) { return wl_conv_uint(o, fname, "seq", UINT64_MAX, out); }

// Positional calls, the driver's every-request case, skip the general parser.
#define FASTCALL_ARGS(fname, maxpos, req, ...)                                        \
    WL_ARGSPEC(spec, fname, maxpos, req, __VA_ARGS__);                               \
    constexpr int n_params = int(sizeof(spec##_names) / sizeof(spec##_names[0]));    \
    PyObject* a[n_params];                                                           \
    if (!kw && nargs >= (req) && nargs <= (maxpos)) {                                \
        for (int i = 0; i < n_params; ++i) a[i] = i < nargs ? args[i] : nullptr;     \
    } else if (wl_parse_args(spec, args, nargs, kw, a) < 0) {                        \
        return nullptr;                                                              \
    }

// ---- operations ----

PyObject* m_transport_ref(PyObject* o, PyObject*) {
    ServerState* s = ss(o);
    WlLock g(s->mu);
    return wl_ref_or_none(s->closed || s->upgraded ? nullptr : s->transport);
}

PyObject* m_begin_read(PyObject* o, PyObject*) {
    ServerState* s = ss(o);
    int v;
    PyObject* obj = nullptr;
    {
        WlDrops drops;
        WlLock g(s->mu);
        if (s->closed || !s->reusable || !s->codec) {
            v = NEXT_NONE;
        } else if (s->seq == 0) {
            v = next_head(s, drops, &obj);
        } else if (!s->response_done) {
            v = NEXT_RAISE;
        } else if (s->body_done) {
            v = next_head(s, drops, &obj);
        } else if (s->body_read_owned) {
            s->closed = true;
            s->reusable = false;
            obj = take_transport(s);
            v = NEXT_CLOSE;
        } else {
            s->body_read_owned = true;
            v = NEXT_DRAIN;
        }
    }
    return pair(v, obj);
}

PyObject* m_drain_done(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    FASTCALL_ARGS("drain_done", 1, 1, "complete");
    bool complete;
    if (wl_conv_bool(a[0], "drain_done", "complete", &complete) < 0) return nullptr;
    ServerState* s = ss(o);
    int v;
    PyObject* obj = nullptr;
    {
        WlDrops drops;
        WlLock g(s->mu);
        s->body_read_owned = false;
        if (complete && s->codec) {
            s->body_done = true;
            // As begin_read: a connection closed, revoked or shutting down
            // meanwhile reads no further head.
            if (s->closed || !s->reusable || s->shutdown_requested)
                v = NEXT_NONE;
            else
                v = next_head(s, drops, &obj);
        } else {
            s->closed = true;
            s->reusable = false;
            obj = take_transport(s);
            v = NEXT_CLOSE;
        }
    }
    return pair(v, obj);
}

PyObject* m_unpark_idle_read(PyObject* o, PyObject*) {
    ServerState* s = ss(o);
    WlLock g(s->mu);
    s->idle_parked = false;
    return wl_bool(s->closed);
}

// The most read-buffer storage a codec keeps from one head to the next.
constexpr size_t kKeptReadBuffer = 16384;

PyObject* m_accept_head(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    FASTCALL_ARGS("accept_head", 1, 1, "data");
    std::string_view data;
    if (wl_conv_bytes(a[0], "accept_head", "data", &data) < 0) return nullptr;
    ServerState* s = ss(o);
    // The decoder object exists before any lock is taken; the parse fills it.
    PyObject* decoder = wl_h1body_new(wl::h1::BodyKind::Empty, 0);
    if (!decoder) return nullptr;
    WlParsedRequest p;
    wl::h1::Failure f;
    WlParse r = WlParse::Partial;
    uint64_t seq = 0;
    {
        WlDrops drops;
        drops.add(decoder);  // released after unlocking unless kept below
        WlLock g(s->mu);
        if (s->codec) {
            WlH1Codec* c = codec_of(s);
            r = wl_h1codec_parse_request(c, data, p, f);
            if (r == WlParse::Complete) {
                const wl::h1::RequestHead& h = p.head;
                wl::ByteBuf rest;
                {
                    // An empty read buffer stays with the codec, storage and
                    // all, for the next head (unless a large head grew it).
                    WlLock cg(c->mu);
                    wl::ByteBuf& rb = c->core.read_buffer();
                    if (!rb.empty() || rb.capacity() > kKeptReadBuffer) rest.swap(rb);
                }
                // A head without a body, with nothing after it, leaves the
                // decoder as it was made (empty kind, nothing to read).
                if (h.body_kind != wl::h1::BodyKind::Empty || !rest.empty())
                    wl_h1body_reset_native(decoder, h.body_kind, h.content_length, rest);  // no allocation
                seq = s->seq = s->next_seq++;
                drops.add(s->decoder);
                s->decoder = Py_NewRef(decoder);
                s->expect_continue = h.expect_continue;
                s->http10 = h.http10;
                s->req_keep_alive = h.keep_alive;
                s->upgrade_requested = h.is_upgrade;
                s->connect = h.is_connect;
                s->may_switch = s->upgrade_requested || s->connect;
                s->body_done = wl_h1body_is_complete(decoder);
                s->responded = s->head_pending = s->response_done = s->body_read_owned = false;
                s->continue_claimed = s->peer_closed = s->head_negotiated = s->do_switch = false;
                s->reuse = s->want = false;
                Py_INCREF(decoder);  // the result's reference
            }
        }
    }
    if (r == WlParse::Partial) Py_RETURN_NONE;
    if (r != WlParse::Complete) return wl_h1_parse_error(r, f);
    PyObject* head = wl_h1_request_head_new(p);
    if (!head) {
        Py_DECREF(decoder);
        return nullptr;
    }
    return steal_tuple(head, PyLong_FromUnsignedLongLong(seq), decoder);
}

PyObject* m_fail_read(PyObject* o, PyObject*) {
    ServerState* s = ss(o);
    PyObject* t;
    {
        WlLock g(s->mu);
        s->closed = true;
        s->reusable = false;
        t = take_transport(s);
    }
    return wl_or_none(t);
}

PyObject* m_stop_serving(PyObject* o, PyObject*) {
    ServerState* s = ss(o);
    WlLock g(s->mu);
    s->closed = true;
    s->reusable = false;
    Py_RETURN_NONE;
}

PyObject* m_mark_closed(PyObject* o, PyObject*) {
    ServerState* s = ss(o);
    PyObject *t, *done;
    bool was_closed;
    {
        WlLock g(s->mu);
        was_closed = s->closed;
        s->closed = true;
        s->reusable = false;
        t = take_transport(s);
        done = s->slot.present && s->slot.done ? Py_NewRef(s->slot.done) : nullptr;
    }
    return steal_tuple(wl_or_none(t), wl_or_none(done), wl_bool(was_closed));
}

PyObject* m_mark_unusable(PyObject* o, PyObject*) {
    ServerState* s = ss(o);
    WlLock g(s->mu);
    s->reusable = false;
    Py_RETURN_NONE;
}

PyObject* m_request_shutdown(PyObject* o, PyObject*) {
    ServerState* s = ss(o);
    PyObject* t = nullptr;
    {
        WlLock g(s->mu);
        s->reusable = false;
        s->shutdown_requested = true;
        if (s->idle_parked) {
            s->closed = true;
            t = take_transport(s);
        }
    }
    return wl_or_none(t);
}

PyObject* m_current_decoder(PyObject* o, PyObject*) {
    ServerState* s = ss(o);
    WlLock g(s->mu);
    return wl_ref_or_none(s->decoder);
}

PyObject* m_try_send_continue(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    FASTCALL_ARGS("try_send_continue", 1, 1, "seq");
    uint64_t seq;
    if (arg_seq(a[0], "try_send_continue", &seq) < 0) return nullptr;
    ServerState* s = ss(o);
    WlLock g(s->mu);
    if (!is_current(s, seq) || !s->expect_continue || s->continue_claimed || s->responded || s->http10)
        Py_RETURN_FALSE;
    s->continue_claimed = true;
    Py_RETURN_TRUE;
}

PyObject* m_begin_body_read(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    FASTCALL_ARGS("begin_body_read", 1, 1, "seq");
    uint64_t seq;
    if (arg_seq(a[0], "begin_body_read", &seq) < 0) return nullptr;
    ServerState* s = ss(o);
    WlLock g(s->mu);
    if (!is_current(s, seq) || s->body_done || s->body_read_owned) Py_RETURN_FALSE;
    s->body_read_owned = true;
    Py_RETURN_TRUE;
}

PyObject* m_end_body_read(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    FASTCALL_ARGS("end_body_read", 2, 2, "seq", "complete");
    uint64_t seq;
    bool complete;
    if (arg_seq(a[0], "end_body_read", &seq) < 0 || wl_conv_bool(a[1], "end_body_read", "complete", &complete) < 0)
        return nullptr;
    ServerState* s = ss(o);
    WlLock g(s->mu);
    if (is_current(s, seq)) {
        s->body_read_owned = false;
        if (complete) s->body_done = true;
    }
    Py_RETURN_NONE;
}

PyObject* m_peer_closed_now(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    FASTCALL_ARGS("peer_closed_now", 1, 1, "seq");
    uint64_t seq;
    if (arg_seq(a[0], "peer_closed_now", &seq) < 0) return nullptr;
    ServerState* s = ss(o);
    WlLock g(s->mu);
    if (!is_current(s, seq)) Py_RETURN_FALSE;
    if (s->response_done) return wl_bool(s->peer_closed);
    Py_RETURN_NONE;
}

PyObject* m_peer_closed_flag(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    FASTCALL_ARGS("peer_closed_flag", 1, 1, "seq");
    uint64_t seq;
    if (arg_seq(a[0], "peer_closed_flag", &seq) < 0) return nullptr;
    ServerState* s = ss(o);
    WlLock g(s->mu);
    return wl_bool(is_current(s, seq) && s->peer_closed);
}

PyObject* m_arm_watcher(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    FASTCALL_ARGS("arm_watcher", 2, 2, "seq", "done", "want", "head_negotiated");
    uint64_t seq;
    bool want = true, negotiated = false;
    if (arg_seq(a[0], "arm_watcher", &seq) < 0 ||
        (a[2] && wl_conv_bool(a[2], "arm_watcher", "want", &want) < 0) ||
        (a[3] && wl_conv_bool(a[3], "arm_watcher", "head_negotiated", &negotiated) < 0))
        return nullptr;
    ServerState* s = ss(o);
    bool armed = false;
    {
        WlDrops drops;
        WlLock g(s->mu);
        if (is_current(s, seq) && s->codec) {
            bool was_want = s->want, was_negotiated = s->head_negotiated;
            if (want) s->want = true;
            if (negotiated) s->head_negotiated = true;
            try {
                armed = arm_decision(s, a[1], drops);
            } catch (...) {
                s->want = was_want;  // a failed move changed nothing else
                s->head_negotiated = was_negotiated;
                throw;
            }
        }
    }
    return wl_bool(armed);
}


PyObject* m_watcher_completed(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    FASTCALL_ARGS("watcher_completed", 2, 0, "data", "error");
    PyObject* data = a[0] == Py_None ? nullptr : a[0];
    PyObject* error = a[1] == Py_None ? nullptr : a[1];
    if (data && !PyBytes_Check(data)) return wl_type_error("watcher_completed", "data", "bytes or None", data), nullptr;
    bool eos = !data || PyBytes_GET_SIZE(data) == 0;
    ServerState* s = ss(o);
    WlDrops drops;
    WlLock g(s->mu);
    if (!s->slot.present) Py_RETURN_FALSE;
    drops.add(s->slot.data);
    drops.add(s->slot.read_error);
    s->slot.data = data ? Py_NewRef(data) : nullptr;
    s->slot.read_error = error ? Py_NewRef(error) : nullptr;
    s->slot.armed = false;
    if (!eos || s->response_done || s->peer_closed) Py_RETURN_FALSE;
    s->reusable = false;
    s->peer_closed = true;
    Py_RETURN_TRUE;
}





PyObject* m_close_window(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    FASTCALL_ARGS("close_window", 1, 1, "seq");
    uint64_t seq;
    if (arg_seq(a[0], "close_window", &seq) < 0) return nullptr;
    ServerState* s = ss(o);
    WlLock g(s->mu);
    if (!is_current(s, seq) || s->response_done) Py_RETURN_FALSE;
    s->response_done = true;
    Py_RETURN_TRUE;
}

PyObject* claim(int code, PyObject* head_bytes, bool armed) {  // steals head_bytes
    return steal_tuple(PyLong_FromLong(code), wl_or_none(head_bytes), wl_bool(armed));
}

PyObject* m_respond_head(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    FASTCALL_ARGS("respond_head", 4, 4, "seq", "status", "headers", "done", "content_length", "chunked", "want");
    uint64_t seq, status, length = 0;
    PyObject* headers;
    bool has_length = false, chunked = false, want = false;
    if (arg_seq(a[0], "respond_head", &seq) < 0 || wl_conv_uint(a[1], "respond_head", "status", 0xffff, &status) < 0 ||
        wl_conv_headermap(a[2], "respond_head", "headers", true, &headers) < 0)
        return nullptr;
    if (a[4] && a[4] != Py_None) {
        if (wl_conv_uint(a[4], "respond_head", "content_length", UINT64_MAX, &length) < 0) return nullptr;
        has_length = true;
    }
    if ((a[5] && wl_conv_bool(a[5], "respond_head", "chunked", &chunked) < 0) ||
        (a[6] && wl_conv_bool(a[6], "respond_head", "want", &want) < 0))
        return nullptr;
    ServerState* s = ss(o);
    int code = REQ_OK;
    bool armed = false;
    wl::ByteBuf head;
    wl::h1::SerializeError err;
    WlParse r = WlParse::Complete;
    PyObject* codec = nullptr;  // to give the head buffer back to
    {
        WlDrops drops;
        WlLock g(s->mu);
        if (!is_current(s, seq) || !s->codec) {
            code = REQ_STALE;
        } else if (s->head_pending) {
            s->head_pending = false;
        } else if (s->responded) {
            code = REQ_ALREADY;
        } else {
            s->responded = true;
            if (s->continue_claimed) {
                s->head_pending = true;
                code = REQ_CONTINUE;
            }
        }
        if (code == REQ_OK && s->peer_closed) code = REQ_PEER_CLOSED;
        if (code == REQ_OK) {
            bool keep_alive = s->req_keep_alive && s->keep_alive_enabled && !s->shutdown_requested;
            bool reuse = false;
            r = wl_h1codec_serialize_response_native(codec_of(s), unsigned(status), headers, keep_alive, s->http10,
                                                     has_length, length, chunked, head, err, &reuse);
            if (r == WlParse::Complete) {  // else the claim stands
                codec = Py_NewRef(s->codec);
                s->reuse = reuse;
                s->do_switch =
                    (status == 101 && s->upgrade_requested) || (status >= 200 && status < 300 && s->connect);
                s->head_negotiated = true;
                if (want) s->want = true;
                armed = arm_decision(s, a[3], drops);
            }
        }
    }
    if (r != WlParse::Complete) return wl_h1_serialize_error(r, err);
    if (code != REQ_OK) return claim(code, nullptr, false);
    PyObject* bytes = wl_bytes(head.view());
    if (codec) {
        wl_h1codec_return_head(reinterpret_cast<WlH1Codec*>(codec), head);
        Py_DECREF(codec);
    }
    if (!bytes) return nullptr;
    return claim(REQ_OK, bytes, armed);
}

PyObject* m_finish_response(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    FASTCALL_ARGS("finish_response", 1, 1, "seq");
    uint64_t seq;
    if (arg_seq(a[0], "finish_response", &seq) < 0) return nullptr;
    ServerState* s = ss(o);
    // A switch hands the bytes received after the head on: they are
    // measured under the lock, the bytes object is allocated outside it, and
    // the step commits only if the count still holds (else it starts over).
    PyObject* leftover = nullptr;
    size_t need = 0;
    for (;;) {
        bool stale = false, sw = false, close = false, retry = false;
        PyObject* t = nullptr;
        try {
            WlDrops drops;
            WlLock g(s->mu);
            if (!is_current(s, seq) || !s->codec) {
                stale = true;
            } else if (s->do_switch && (!leftover || leftover_size(s, false) != need)) {
                retry = true;
                need = leftover_size(s, false);
            } else {
                if (s->do_switch) take_leftover(s, false, PyBytes_AS_STRING(leftover), drops);  // may throw first
                s->response_done = true;
                if (s->do_switch) {
                    t = s->upgraded ? nullptr : s->transport;
                    s->transport = nullptr;
                    s->upgraded = s->closed = true;
                    s->reusable = false;
                    sw = true;
                } else {
                    if (s->reusable) s->reusable = s->reuse;
                    if (!s->reusable) {
                        s->closed = true;
                        t = take_transport(s);
                        close = true;
                    }
                }
            }
        } catch (...) {
            Py_XDECREF(leftover);
            throw;
        }
        if (retry) {
            Py_XDECREF(leftover);
            leftover = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(need));
            if (!leftover) return nullptr;
            continue;
        }
        if (!sw) Py_CLEAR(leftover);
        if (stale) return steal_tuple(wl_bool(false), wl_bool(false), wl_or_none(nullptr), wl_or_none(nullptr));
        return steal_tuple(wl_bool(sw), wl_bool(close), wl_or_none(t), wl_or_none(leftover));
    }
}

PyObject* m_fail_response(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    FASTCALL_ARGS("fail_response", 1, 1, "seq");
    uint64_t seq;
    if (arg_seq(a[0], "fail_response", &seq) < 0) return nullptr;
    ServerState* s = ss(o);
    PyObject* t;
    {
        WlLock g(s->mu);
        if (is_current(s, seq)) s->response_done = true;
        s->closed = true;
        s->reusable = false;
        t = take_transport(s);
    }
    return wl_or_none(t);
}

PyObject* m_detach(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    FASTCALL_ARGS("detach", 1, 1, "seq");
    uint64_t seq;
    if (arg_seq(a[0], "detach", &seq) < 0) return nullptr;
    ServerState* s = ss(o);
    // As in finish_response: allocate the leftover outside the lock, commit
    // only when its size still holds.
    PyObject* leftover = nullptr;
    size_t need = 0;
    for (;;) {
        int code = REQ_OK;
        bool retry = false;
        PyObject* t = nullptr;
        try {
            WlDrops drops;
            WlLock g(s->mu);
            if (!is_current(s, seq) || !s->codec)
                code = REQ_STALE;
            else if (s->responded)
                code = REQ_ALREADY;
            else if (s->slot.present && s->slot.armed)
                code = REQ_PARKED;
            else if (!leftover || leftover_size(s, true) != need) {
                retry = true;
                need = leftover_size(s, true);
            } else {
                take_leftover(s, true, PyBytes_AS_STRING(leftover), drops);  // may throw first
                s->responded = s->response_done = true;
                t = s->upgraded ? nullptr : s->transport;
                s->transport = nullptr;
                s->upgraded = s->closed = true;
                s->reusable = false;
            }
        } catch (...) {
            Py_XDECREF(leftover);
            throw;
        }
        if (retry) {
            Py_XDECREF(leftover);
            leftover = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(need));
            if (!leftover) return nullptr;
            continue;
        }
        if (code != REQ_OK) {
            Py_XDECREF(leftover);
            return steal_tuple(PyLong_FromLong(code), wl_or_none(nullptr), wl_or_none(nullptr));
        }
        return steal_tuple(PyLong_FromLong(REQ_OK), wl_or_none(t), leftover);
    }
}

// ---- attributes ----

#define FLAG_GETTER(name, expr)              \
    PyObject* g_##name(PyObject* o, void*) { \
        ServerState* s = ss(o);              \
        WlLock g(s->mu);                     \
        return wl_bool(expr);                \
    }
FLAG_GETTER(closed, s->closed)
FLAG_GETTER(reusable, s->reusable)
FLAG_GETTER(upgraded, s->upgraded)
FLAG_GETTER(half_close, s->half_close)
FLAG_GETTER(keep_alive_enabled, s->keep_alive_enabled)
FLAG_GETTER(shutdown_requested, s->shutdown_requested)
FLAG_GETTER(has_watcher, s->slot.present)
FLAG_GETTER(watcher_parked, s->slot.present && s->slot.armed)
#undef FLAG_GETTER

PyObject* g_codec(PyObject* o, void*) {
    ServerState* s = ss(o);
    WlLock g(s->mu);
    return wl_ref_or_none(s->codec);
}

PyObject* g_current_seq(PyObject* o, void*) {
    ServerState* s = ss(o);
    uint64_t v;
    {
        WlLock g(s->mu);
        v = s->seq;
    }
    return PyLong_FromUnsignedLongLong(v);
}

PyObject* ss_repr(PyObject* o) {
    ServerState* s = ss(o);
    uint64_t seq;
    bool c, r, resp, done, w;
    {
        WlLock g(s->mu);
        seq = s->seq;
        c = s->closed;
        r = s->reusable;
        resp = s->responded;
        done = s->response_done;
        w = s->slot.present;
    }
    auto tf = [](bool v) { return v ? "true" : "false"; };
    return PyUnicode_FromFormat(
        "H1ServerState(seq=%llu, closed=%s, reusable=%s, responded=%s, response_done=%s, watcher=%s)",
        (unsigned long long)seq, tf(c), tf(r), tf(resp), tf(done), tf(w));
}

#define FASTCALL(f) WL_METH(f), METH_FASTCALL | METH_KEYWORDS
PyMethodDef ss_methods[] = {
    {"transport_ref", WL_NOARGS(m_transport_ref), METH_NOARGS,
     "transport_ref($self)\n--\n\nThe transport, or None once closed or handed off."},
    {"begin_read", WL_NOARGS(m_begin_read), METH_NOARGS,
     "begin_read($self)\n--\n\nWhere the next request head comes from: (verdict, object or None)."},
    {"drain_done", FASTCALL(m_drain_done),
     "drain_done($self, complete)\n--\n\nReport the one-poll drain: (verdict, object or None)."},
    {"unpark_idle_read", WL_NOARGS(m_unpark_idle_read), METH_NOARGS,
     "unpark_idle_read($self)\n--\n\nThe idle read returned; True when a shutdown closed the connection meanwhile."},
    {"accept_head", FASTCALL(m_accept_head),
     "accept_head($self, data)\n--\n\nParse a request head: (head, seq, decoder) or None."},
    {"fail_read", WL_NOARGS(m_fail_read), METH_NOARGS,
     "fail_read($self)\n--\n\nThe head could not be read: close; returns the transport or None."},
    {"stop_serving", WL_NOARGS(m_stop_serving), METH_NOARGS,
     "stop_serving($self)\n--\n\nServe no more requests; the transport stays for mark_closed."},
    {"mark_closed", WL_NOARGS(m_mark_closed), METH_NOARGS,
     "mark_closed($self)\n--\n\nClose: (transport, watcher done event, already closed)."},
    {"mark_unusable", WL_NOARGS(m_mark_unusable), METH_NOARGS,
     "mark_unusable($self)\n--\n\nThe connection may not serve another request."},
    {"request_shutdown", WL_NOARGS(m_request_shutdown), METH_NOARGS,
     "request_shutdown($self)\n--\n\nGraceful shutdown; returns the transport if an idle read is parked."},
    {"current_decoder", WL_NOARGS(m_current_decoder), METH_NOARGS,
     "current_decoder($self)\n--\n\nThe current request's body decoder, or None."},
    {"try_send_continue", FASTCALL(m_try_send_continue),
     "try_send_continue($self, seq)\n--\n\nClaim the 100 Continue (at most once)."},
    {"begin_body_read", FASTCALL(m_begin_body_read),
     "begin_body_read($self, seq)\n--\n\nTake the transport read for the request body."},
    {"end_body_read", FASTCALL(m_end_body_read),
     "end_body_read($self, seq, complete)\n--\n\nRelease the body read."},
    {"peer_closed_now", FASTCALL(m_peer_closed_now),
     "peer_closed_now($self, seq)\n--\n\nFalse (stale), the peer-closed flag, or None (still open)."},
    {"peer_closed_flag", FASTCALL(m_peer_closed_flag),
     "peer_closed_flag($self, seq)\n--\n\nThe peer-closed flag of the current request."},
    {"arm_watcher", FASTCALL(m_arm_watcher),
     "arm_watcher($self, seq, done, *, want=True, head_negotiated=False)\n--\n\n"
     "True if a watcher must be spawned."},
    {"watcher_completed", FASTCALL(m_watcher_completed),
     "watcher_completed($self, data=None, error=None)\n--\n\nStore the watcher's read; True when the client is gone."},
    {"close_window", FASTCALL(m_close_window),
     "close_window($self, seq)\n--\n\nEnd the mid-message window; True if it was open."},
    {"respond_head", FASTCALL(m_respond_head),
     "respond_head($self, seq, status, headers, done, *, content_length=None, chunked=False, want=False)\n--\n\n"
     "Claim and encode the response head: (claim code, head bytes or None, armed)."},
    {"finish_response", FASTCALL(m_finish_response),
     "finish_response($self, seq)\n--\n\nThe response is on the wire: (switch, close, transport, leftover)."},
    {"fail_response", FASTCALL(m_fail_response),
     "fail_response($self, seq)\n--\n\nThe response failed: close; returns the transport or None."},
    {"detach", FASTCALL(m_detach),
     "detach($self, seq)\n--\n\nTake the raw connection: (claim code, transport, leftover)."},
    WL_WATCHER_METHOD_DEFS(ServerState),
    {nullptr, nullptr, 0, nullptr},
};
#undef FASTCALL

PyGetSetDef ss_getset[] = {
    {"codec", WL_GUARD(g_codec), nullptr, "The connection's H1Codec.", nullptr},
    {"closed", WL_GUARD(g_closed), nullptr, "No further request is served.", nullptr},
    {"reusable", WL_GUARD(g_reusable), nullptr, "The connection may serve another request.", nullptr},
    {"upgraded", WL_GUARD(g_upgraded), nullptr, "The transport was handed off.", nullptr},
    {"half_close", WL_GUARD(g_half_close), nullptr, "The client may legitimately half-close.", nullptr},
    {"keep_alive_enabled", WL_GUARD(g_keep_alive_enabled), nullptr, "The server allows keep-alive.", nullptr},
    {"shutdown_requested", WL_GUARD(g_shutdown_requested), nullptr, "A graceful shutdown was requested.", nullptr},
    {"has_watcher", WL_GUARD(g_has_watcher), nullptr, "A watcher slot exists.", nullptr},
    {"watcher_parked", WL_GUARD(g_watcher_parked), nullptr, "The watcher's read is outstanding.", nullptr},
    {"current_seq", WL_GUARD(g_current_seq), nullptr, "The current request's number (0 before the first).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot ss_slots[] = {
    {Py_tp_new, WL_SLOT(ss_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ss_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ss_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ss_clear)},
    {Py_tp_methods, ss_methods},
    {Py_tp_getset, ss_getset},
    {Py_tp_repr, WL_SLOT(ss_repr)},
    {Py_tp_doc, const_cast<char*>("H1ServerState(codec, transport, *, keep_alive=True, half_close=False)\n--\n\n"
                                  "Connection and current-request state of one HTTP/1 server connection.")},
    {0, nullptr},
};

PyType_Spec ss_spec = {WL_TYPE_NAME("H1ServerState"), sizeof(ServerState), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                       ss_slots};

}  // namespace

int wl_add_h1server(PyObject* m) { return wl_add_type(m, &g_server_type, &ss_spec); }
