// H1ClientState: the lock-protected record an HTTP/1 client driver consults
// around each exchange. Every decision two tasks could race on is one step.
#include "h1/watcher.h"

#include <new>

namespace {

struct ClientState {
    PyObject_HEAD
    wl::Mutex mu;
    PyObject* transport;
    PyObject* error;
    PyObject* writer;
    WlWatcherSlot slot;
    bool closed, upgraded, busy, exchange_active, peer_http10, writer_finished;
};

PyTypeObject* g_client_type = nullptr;

ClientState* cs(PyObject* o) { return reinterpret_cast<ClientState*>(o); }

PyObject* cs_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"transport", nullptr};
    PyObject* transport;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:H1ClientState", const_cast<char**>(kw), &transport))
        return nullptr;
    auto* self = cs(wl_alloc_subclassable(type));
    if (!self) return nullptr;
    new (&self->mu) wl::Mutex();
    new (&self->slot) WlWatcherSlot();
    self->transport = transport == Py_None ? nullptr : Py_NewRef(transport);  // None: no transport
    return reinterpret_cast<PyObject*>(self);
}

int cs_traverse(PyObject* o, visitproc visit, void* arg) {
    ClientState* self = cs(o);
    Py_VISIT(Py_TYPE(o));
    if (!self->mu.try_lock()) return 0;  // busy elsewhere: report nothing this pass
    int r = 0;
    if (self->transport) r = visit(self->transport, arg);
    if (!r && self->error) r = visit(self->error, arg);
    if (!r && self->writer) r = visit(self->writer, arg);
    if (!r) r = self->slot.traverse(visit, arg);
    self->mu.unlock();
    return r;
}

int cs_clear(PyObject* o) {
    ClientState* self = cs(o);
    WlDrops drops;
    WlLock g(self->mu);
    drops.add(self->transport);
    drops.add(self->error);
    drops.add(self->writer);
    self->transport = self->error = self->writer = nullptr;
    self->slot.remove(drops);
    return 0;
}

void cs_dealloc(PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    // Chains of states (one held as another's transport) free iteratively.
    Py_TRASHCAN_BEGIN(o, cs_dealloc)
    cs_clear(o);
    cs(o)->mu.~Mutex();
    tp->tp_free(o);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

// Takes the transport unless the connection was handed off.
PyObject* take_transport(ClientState* s) {
    if (s->upgraded) return nullptr;
    PyObject* t = s->transport;
    s->transport = nullptr;
    return t;
}

PyObject* m_transport_ref(PyObject* o, PyObject*) {
    ClientState* s = cs(o);
    WlLock g(s->mu);
    return wl_ref_or_none(s->closed || s->upgraded ? nullptr : s->transport);
}

PyObject* m_set_peer_http10(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "set_peer_http10", 1, 1, "value");
    PyObject* a[1];
    bool v;
    if (wl_parse_args(spec, args, nargs, kw, a) < 0 || wl_conv_bool(a[0], "set_peer_http10", "value", &v) < 0)
        return nullptr;
    ClientState* s = cs(o);
    WlLock g(s->mu);
    s->peer_http10 = v;
    Py_RETURN_NONE;
}

PyObject* m_is_dead(PyObject* o, PyObject*) {
    ClientState* s = cs(o);
    WlLock g(s->mu);
    return wl_bool(s->closed || s->error);
}

PyObject* m_try_begin_exchange(PyObject* o, PyObject*) {
    ClientState* s = cs(o);
    WlLock g(s->mu);
    if (s->busy) Py_RETURN_FALSE;
    s->busy = true;
    s->exchange_active = false;
    s->writer_finished = false;
    Py_RETURN_TRUE;
}

PyObject* m_end_exchange(PyObject* o, PyObject*) {
    ClientState* s = cs(o);
    WlLock g(s->mu);
    if (!s->busy) Py_RETURN_FALSE;
    s->busy = false;
    s->exchange_active = false;
    Py_RETURN_TRUE;
}

PyObject* m_exchange_started(PyObject* o, PyObject*) {
    ClientState* s = cs(o);
    WlLock g(s->mu);
    s->exchange_active = true;
    Py_RETURN_NONE;
}

PyObject* m_fail(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "fail", 1, 0, "exc");
    PyObject* a[1];
    if (wl_parse_args(spec, args, nargs, kw, a) < 0) return nullptr;
    PyObject* exc = a[0] == Py_None ? nullptr : a[0];
    ClientState* s = cs(o);
    PyObject* t;
    {
        WlLock g(s->mu);
        if (exc && !s->error) s->error = Py_NewRef(exc);
        s->closed = true;
        t = take_transport(s);
    }
    return wl_or_none(t);
}

PyObject* m_close_now(PyObject* o, PyObject*) {
    ClientState* s = cs(o);
    PyObject* t;
    {
        WlLock g(s->mu);
        s->closed = true;
        t = take_transport(s);
    }
    return wl_or_none(t);
}

PyObject* m_mark_closed(PyObject* o, PyObject*) {
    ClientState* s = cs(o);
    PyObject *t, *done, *writer;
    bool idle;
    {
        WlLock g(s->mu);
        s->closed = true;
        t = take_transport(s);
        done = s->slot.present && s->slot.done ? Py_NewRef(s->slot.done) : nullptr;
        writer = s->writer;
        s->writer = nullptr;
        idle = !s->busy;
    }
    PyObject* r = PyTuple_New(4);
    if (!r) {
        Py_XDECREF(t);
        Py_XDECREF(done);
        Py_XDECREF(writer);
        return nullptr;
    }
    PyTuple_SET_ITEM(r, 0, wl_or_none(t));
    PyTuple_SET_ITEM(r, 1, wl_or_none(done));
    PyTuple_SET_ITEM(r, 2, wl_or_none(writer));
    PyTuple_SET_ITEM(r, 3, wl_bool(idle));
    return r;
}

PyObject* m_upgrade(PyObject* o, PyObject*) {
    ClientState* s = cs(o);
    PyObject* t;
    {
        WlLock g(s->mu);
        s->closed = true;
        t = s->upgraded ? nullptr : s->transport;
        s->transport = nullptr;
        s->upgraded = true;
    }
    return wl_or_none(t);
}

PyObject* m_store_writer(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "store_writer", 1, 1, "scope");
    PyObject* a[1];
    if (wl_parse_args(spec, args, nargs, kw, a) < 0) return nullptr;
    ClientState* s = cs(o);
    WlDrops drops;
    WlLock g(s->mu);
    if (s->closed) return Py_NewRef(a[0]);
    drops.add(s->writer);
    s->writer = Py_NewRef(a[0]);
    Py_RETURN_NONE;
}

PyObject* m_take_writer(PyObject* o, PyObject*) {
    ClientState* s = cs(o);
    WlLock g(s->mu);
    PyObject* w = s->writer;
    s->writer = nullptr;
    return wl_or_none(w);
}

PyObject* m_writer_done(PyObject* o, PyObject*) {
    ClientState* s = cs(o);
    WlLock g(s->mu);
    s->writer_finished = true;
    Py_RETURN_NONE;
}

PyObject* m_arm_watcher(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "arm_watcher", 1, 1, "done");
    PyObject* a[1];
    if (wl_parse_args(spec, args, nargs, kw, a) < 0) return nullptr;
    ClientState* s = cs(o);
    WlLock g(s->mu);
    if (s->closed || s->error || !s->transport || s->slot.present) Py_RETURN_FALSE;
    s->slot.arm(a[0]);
    s->exchange_active = false;
    Py_RETURN_TRUE;
}


enum { WATCH_HANDOFF = 0, WATCH_IDLE_EOF = 1, WATCH_IDLE_BYTES = 2, WATCH_IDLE_ERROR = 3, WATCH_IGNORED = 4 };

PyObject* m_watcher_completed(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "watcher_completed", 2, 0, "data", "error");
    PyObject* a[2];
    if (wl_parse_args(spec, args, nargs, kw, a) < 0) return nullptr;
    PyObject* data = a[0] == Py_None ? nullptr : a[0];
    PyObject* error = a[1] == Py_None ? nullptr : a[1];
    if (data && !PyBytes_Check(data)) return wl_type_error("watcher_completed", "data", "bytes or None", data), nullptr;
    ClientState* s = cs(o);
    int verdict;
    PyObject* t = nullptr;
    {
        WlDrops drops;
        WlLock g(s->mu);
        if (!s->slot.present) {
            verdict = WATCH_IGNORED;
        } else {
            s->slot.armed = false;
            if (s->exchange_active) {
                drops.add(s->slot.data);
                drops.add(s->slot.read_error);
                s->slot.data = data ? Py_NewRef(data) : nullptr;
                s->slot.read_error = error ? Py_NewRef(error) : nullptr;
                verdict = WATCH_HANDOFF;
            } else if (error) {
                verdict = s->closed ? WATCH_IGNORED : WATCH_IDLE_ERROR;
            } else if (data && PyBytes_GET_SIZE(data) > 0) {
                verdict = WATCH_IDLE_BYTES;
            } else {
                s->closed = true;
                t = take_transport(s);
                verdict = WATCH_IDLE_EOF;
            }
        }
    }
    PyObject* r = Py_BuildValue("(iN)", verdict, wl_or_none(t));
    return r;
}





#define FLAG_GETTER(name, expr)                         \
    PyObject* g_##name(PyObject* o, void*) {            \
        ClientState* s = cs(o);                         \
        WlLock g(s->mu);                                \
        return wl_bool(expr);                           \
    }
FLAG_GETTER(closed, s->closed)
FLAG_GETTER(busy, s->busy)
FLAG_GETTER(upgraded, s->upgraded)
FLAG_GETTER(peer_http10, s->peer_http10)
FLAG_GETTER(writer_finished, s->writer_finished)
FLAG_GETTER(has_watcher, s->slot.present)
#undef FLAG_GETTER

PyObject* g_error(PyObject* o, void*) {
    ClientState* s = cs(o);
    WlLock g(s->mu);
    return wl_ref_or_none(s->error);
}

PyObject* cs_repr(PyObject* o) {
    ClientState* s = cs(o);
    bool c, f, b, x, w;
    {
        WlLock g(s->mu);
        c = s->closed;
        f = s->error != nullptr;
        b = s->busy;
        x = s->exchange_active;
        w = s->slot.present;
    }
    auto tf = [](bool v) { return v ? "true" : "false"; };
    return PyUnicode_FromFormat("H1ClientState(closed=%s, failed=%s, busy=%s, exchange_active=%s, watcher=%s)",
                                tf(c), tf(f), tf(b), tf(x), tf(w));
}

#define FASTCALL(f) WL_METH(f), METH_FASTCALL | METH_KEYWORDS
PyMethodDef cs_methods[] = {
    {"transport_ref", WL_NOARGS(m_transport_ref), METH_NOARGS,
     "transport_ref($self)\n--\n\nThe transport, or None once closed or handed off."},
    {"set_peer_http10", FASTCALL(m_set_peer_http10),
     "set_peer_http10($self, value)\n--\n\nRecord that the server answered with HTTP/1.0."},
    {"is_dead", WL_NOARGS(m_is_dead), METH_NOARGS, "is_dead($self)\n--\n\nClosed or failed."},
    {"try_begin_exchange", WL_NOARGS(m_try_begin_exchange), METH_NOARGS,
     "try_begin_exchange($self)\n--\n\nClaim the exchange slot; False when busy."},
    {"end_exchange", WL_NOARGS(m_end_exchange), METH_NOARGS,
     "end_exchange($self)\n--\n\nRelease the exchange slot; True if it flipped."},
    {"exchange_started", WL_NOARGS(m_exchange_started), METH_NOARGS,
     "exchange_started($self)\n--\n\nThe exchange is about to write its request."},
    {"fail", FASTCALL(m_fail),
     "fail($self, exc=None)\n--\n\nPoison the connection; returns the transport to close, or None."},
    {"close_now", WL_NOARGS(m_close_now), METH_NOARGS,
     "close_now($self)\n--\n\nClose; returns the transport to close, or None."},
    {"mark_closed", WL_NOARGS(m_mark_closed), METH_NOARGS,
     "mark_closed($self)\n--\n\nClose; returns (transport, watcher done event, writer scope, idle)."},
    {"upgrade", WL_NOARGS(m_upgrade), METH_NOARGS,
     "upgrade($self)\n--\n\nHand the transport off after a protocol switch."},
    {"store_writer", FASTCALL(m_store_writer),
     "store_writer($self, scope)\n--\n\nStore the writer scope; returns it back if closed."},
    {"take_writer", WL_NOARGS(m_take_writer), METH_NOARGS, "take_writer($self)\n--\n\nTake the writer scope."},
    {"writer_done", WL_NOARGS(m_writer_done), METH_NOARGS,
     "writer_done($self)\n--\n\nThe writer sent the whole body."},
    {"arm_watcher", FASTCALL(m_arm_watcher),
     "arm_watcher($self, done)\n--\n\nCreate the idle watcher slot; True if armed."},
    {"watcher_completed", FASTCALL(m_watcher_completed),
     "watcher_completed($self, data=None, error=None)\n--\n\nReport the watcher's read; returns (verdict, transport)."},
    WL_WATCHER_METHOD_DEFS(ClientState),
    {nullptr, nullptr, 0, nullptr},
};
#undef FASTCALL

PyGetSetDef cs_getset[] = {
    {"closed", WL_GUARD(g_closed), nullptr, "The connection serves no more exchanges.", nullptr},
    {"busy", WL_GUARD(g_busy), nullptr, "An exchange holds the slot.", nullptr},
    {"upgraded", WL_GUARD(g_upgraded), nullptr, "The transport was handed off.", nullptr},
    {"peer_http10", WL_GUARD(g_peer_http10), nullptr, "The server answered with HTTP/1.0.", nullptr},
    {"writer_finished", WL_GUARD(g_writer_finished), nullptr, "The writer sent the whole body.", nullptr},
    {"has_watcher", WL_GUARD(g_has_watcher), nullptr, "A watcher slot exists.", nullptr},
    {"error", WL_GUARD(g_error), nullptr, "The stored failure, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot cs_slots[] = {
    {Py_tp_new, WL_SLOT(cs_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(cs_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(cs_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(cs_clear)},
    {Py_tp_methods, cs_methods},
    {Py_tp_getset, cs_getset},
    {Py_tp_repr, WL_SLOT(cs_repr)},
    {Py_tp_doc, const_cast<char*>("H1ClientState(transport)\n--\n\n"
                                  "Connection state of one HTTP/1 client connection.")},
    {0, nullptr},
};

PyType_Spec cs_spec = {WL_TYPE_NAME("H1ClientState"), sizeof(ClientState), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
                           Py_TPFLAGS_IMMUTABLETYPE,
                       cs_slots};

}  // namespace

int wl_add_h1server(PyObject* m);

int wl_add_h1conn(PyObject* m) {
    if (wl_add_h1server(m) < 0) return -1;
    return wl_add_type(m, &g_client_type, &cs_spec);
}
