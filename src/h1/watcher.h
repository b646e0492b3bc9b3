// Pieces shared by the two HTTP/1 connection states: the watcher slot and
// deferred reference releases.
#pragma once
#include "py/common.h"

// Objects taken out of a state under its lock are released here, after the
// lock is dropped (declare before the lock guard so it is destroyed after).
class WlDrops {
public:
    WlDrops() = default;
    WlDrops(const WlDrops&) = delete;
    WlDrops& operator=(const WlDrops&) = delete;
    ~WlDrops() {
        for (int i = 0; i < n_; ++i) Py_DECREF(objs_[i]);
    }
    void add(PyObject* o) {
        if (o) objs_[n_++] = o;
    }

private:
    PyObject* objs_[12];
    int n_ = 0;
};

inline PyObject* wl_ref_or_none(PyObject* o) { return Py_NewRef(o ? o : Py_None); }
inline PyObject* wl_or_none(PyObject* o) { return o ? o : Py_NewRef(Py_None); }  // steals o

// The idle / mid-message watcher: a background read parked on the transport.
struct WlWatcherSlot {
    bool present = false;
    bool armed = false;  // armed (read outstanding) or completed
    PyObject* done = nullptr;
    PyObject* handle = nullptr;
    PyObject* data = nullptr;
    PyObject* read_error = nullptr;
    bool handle_taken = false;  // take_watcher_handle ran on this slot

    void arm(PyObject* done_event) {
        present = true;
        armed = true;
        done = Py_NewRef(done_event);
        handle = data = read_error = nullptr;
        handle_taken = false;
    }
    // Removes the slot, handing its references to drops.
    void remove(WlDrops& drops) {
        drops.add(done);
        drops.add(handle);
        drops.add(data);
        drops.add(read_error);
        *this = WlWatcherSlot{};
    }
    int traverse(visitproc visit, void* arg) {
        Py_VISIT(done);
        Py_VISIT(handle);
        Py_VISIT(read_error);
        return 0;
    }
};


// The watcher operations both connection states share. S has a wl::Mutex
// `mu`, a WlWatcherSlot `slot` and a bool `closed`.

// None if stored; the handle itself if refused (closed, no slot, or a
// handle already stored).
template <class S>
PyObject* wl_watcher_store_handle(S* s, PyObject* handle) {
    WlLock g(s->mu);
    if (s->closed || !s->slot.present || s->slot.handle) return Py_NewRef(handle);
    s->slot.handle = Py_NewRef(handle);
    Py_RETURN_NONE;
}

template <class S>
PyObject* wl_watcher_aborted(S* s) {
    WlLock g(s->mu);
    if (s->slot.present) s->slot.armed = false;
    Py_RETURN_NONE;
}

template <class S>
PyObject* wl_watcher_done(S* s) {
    WlLock g(s->mu);
    return wl_ref_or_none(s->slot.present ? s->slot.done : nullptr);
}

template <class S>
PyObject* wl_watcher_take_handle(S* s) {
    WlLock g(s->mu);
    if (!s->slot.present) Py_RETURN_NONE;
    PyObject* h = s->slot.handle;
    s->slot.handle = nullptr;
    s->slot.handle_taken = true;
    return wl_or_none(h);
}

// (data, error) of the read; the slot goes once its handle was taken too (a
// handle not yet joined keeps the slot for close()), or when the read has
// completed and no handle was ever stored. A slot whose read is still
// parked stays: its watcher will report into it.
template <class S>
PyObject* wl_watcher_take_result(S* s) {
    PyObject *data = nullptr, *err = nullptr;
    {
        WlDrops drops;
        WlLock g(s->mu);
        if (s->slot.present) {
            data = s->slot.data;
            err = s->slot.read_error;
            s->slot.data = s->slot.read_error = nullptr;
            if (s->slot.handle_taken || (!s->slot.handle && !s->slot.armed)) s->slot.remove(drops);
        }
    }
    return Py_BuildValue("(NN)", wl_or_none(data), wl_or_none(err));
}

// The method-table entries of those operations for a state type S.
template <class S>
PyObject* wl_watcher_m_store_handle(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "store_watcher_handle", 1, 1, "handle");
    PyObject* a[1];
    if (wl_parse_args(spec, args, nargs, kw, a) < 0) return nullptr;
    return wl_watcher_store_handle(reinterpret_cast<S*>(o), a[0]);
}
template <class S>
PyObject* wl_watcher_m_aborted(PyObject* o, PyObject*) { return wl_watcher_aborted(reinterpret_cast<S*>(o)); }
template <class S>
PyObject* wl_watcher_m_done(PyObject* o, PyObject*) { return wl_watcher_done(reinterpret_cast<S*>(o)); }
template <class S>
PyObject* wl_watcher_m_take_handle(PyObject* o, PyObject*) { return wl_watcher_take_handle(reinterpret_cast<S*>(o)); }
template <class S>
PyObject* wl_watcher_m_take_result(PyObject* o, PyObject*) { return wl_watcher_take_result(reinterpret_cast<S*>(o)); }

#define WL_WATCHER_METHOD_DEFS(S)                                                                              \
    {"store_watcher_handle",                                                                                   \
     WL_METH(wl_watcher_m_store_handle<S>),           \
     METH_FASTCALL | METH_KEYWORDS,                                                                            \
     "store_watcher_handle($self, handle)\n--\n\nStore the watcher's handle; returns it back if refused."},    \
    {"watcher_aborted", WL_NOARGS(wl_watcher_m_aborted<S>), METH_NOARGS,                                                 \
     "watcher_aborted($self)\n--\n\nThe watcher's read ended without a result."},                          \
    {"watcher_done", WL_NOARGS(wl_watcher_m_done<S>), METH_NOARGS,                                                       \
     "watcher_done($self)\n--\n\nThe watcher slot's done event, or None."},                                \
    {"take_watcher_handle", WL_NOARGS(wl_watcher_m_take_handle<S>), METH_NOARGS,                                         \
     "take_watcher_handle($self)\n--\n\nTake the watcher's handle (once), to join it."},                   \
    {"take_watcher_result", WL_NOARGS(wl_watcher_m_take_result<S>), METH_NOARGS,                                         \
     "take_watcher_result($self)\n--\n\nTake the watcher's read as (data, error)."}
