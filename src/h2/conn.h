// H2Streams, its write batches and result classes: the Python face of the
// HTTP/2 connection engine (src/proto/h2/engine.h).
//
// Every method follows one pattern:
//
//     convert arguments (TypeError / OverflowError / ValueError)
//     WlHandleDrops drops;           // declared before the lock: released after it
//     {
//         WlLock g(self->eng->state_mu);
//         err = self->eng->op(...);  // plain C++ only
//         refs = ...;                // Py_INCREF the handles the result names
//         drops.take(*self->eng);    // references the engine let go
//     }
//     build the result, or raise err
//
// No Python object is created, released or called while either lock is held
// (Py_INCREF of a handle the engine keeps alive is the one exception: it runs
// no code). C++ exceptions are caught by wl_h2s_guard.
//
// Files: conn.cpp (type, construction, attributes, repr, write batches, the
// method table), conn_common.cpp (helpers and result classes), and one file
// per area with the methods: conn_recv.cpp, conn_send.cpp, conn_control.cpp,
// conn_reset.cpp.
#pragma once
#include <new>
#include <vector>

#include "h2/codec.h"
#include "proto/h2/engine.h"
#include "py/common.h"

struct WlH2Streams {
    PyObject_HEAD
    wl::h2::Engine* eng;  // never null after construction
    // The driver's task handles, guarded by the state lock.
    PyObject* read_handle;
    PyObject* pump_handle;
};

extern PyTypeObject* WL_H2StreamsType;
extern PyTypeObject* WL_H2StoppedType;
extern PyTypeObject* WL_H2RecvHeadersVerdictType;
extern PyTypeObject* WL_H2RecvDataVerdictType;
extern PyTypeObject* WL_H2SendVerdictType;
extern PyTypeObject* WL_H2ResetVerdictType;
extern PyTypeObject* WL_H2WriteBatchType;

inline WlH2Streams* wl_h2s(PyObject* o) { return reinterpret_cast<WlH2Streams*>(o); }
inline PyObject* wl_h2_obj(wl::h2::Handle h) { return static_cast<PyObject*>(h); }
inline wl::h2::Handle wl_h2_handle(PyObject* o) { return static_cast<wl::h2::Handle>(o); }

// A new reference to a handle the engine keeps alive (call under the lock;
// null stays null).
inline PyObject* wl_h2_ref(wl::h2::Handle h) {
    PyObject* o = wl_h2_obj(h);
    Py_XINCREF(o);
    return o;
}

// References to release after unlocking. Declare it before the lock guard so
// it is destroyed after the guard. take() moves the engine's drop list in
// without allocating for up to 8 entries.
class WlHandleDrops {
public:
    WlHandleDrops() = default;
    WlHandleDrops(const WlHandleDrops&) = delete;
    WlHandleDrops& operator=(const WlHandleDrops&) = delete;
    ~WlHandleDrops() { release(); }
    void take(wl::h2::Engine& e);
    void add(PyObject* o) {
        if (!o) return;
        if (n_ < kInline)
            inl_[n_++] = o;
        else
            more_.push_back(o);
    }
    void release();

private:
    static constexpr int kInline = 8;
    PyObject* inl_[kInline];
    int n_ = 0;
    std::vector<PyObject*> more_;
};

// New references collected under the lock (for a result list), owned until
// handed to a list.
class WlRefs {
public:
    WlRefs() = default;
    WlRefs(const WlRefs&) = delete;
    WlRefs& operator=(const WlRefs&) = delete;
    ~WlRefs() {
        for (PyObject* o : v_) Py_XDECREF(o);
    }
    // Under the lock: a new reference to each handle.
    void take_handles(const std::vector<wl::h2::Handle>& hs) {
        v_.reserve(hs.size());
        for (auto h : hs) v_.push_back(wl_h2_ref(h));
    }
    std::vector<PyObject*>& items() { return v_; }
    // After unlocking: a list that takes the references over.
    PyObject* to_list();

private:
    std::vector<PyObject*> v_;
};

// (handle, stop) pairs of aborted streams, collected under the lock.
struct WlAborted {
    WlRefs handles;
    std::vector<wl::h2::Stop> stops;
    void take(wl::h2::Engine& e) {
        auto& a = e.aborted();
        handles.items().reserve(a.size());
        stops.reserve(a.size());
        for (auto& x : a) {
            handles.items().push_back(wl_h2_ref(x.handle));
            stops.push_back(x.stop);
        }
        a.clear();
    }
    // A list of (handle, H2Stopped) tuples.
    PyObject* to_list();
};

// Runs f and turns C++ exceptions into Python ones: std::bad_alloc ->
// MemoryError, anything else -> the internal error.
PyObject* wl_h2s_internal_error();
template <class F>
PyObject* wl_h2s_guard(F&& f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        return wl_h2s_internal_error();
    }
}

// Raises the engine error; returns NULL.
PyObject* wl_h2s_raise(const wl::h2::EngineError& e);

// Result objects (new references; NULL with an exception set). Handle
// arguments are new references that the result takes over (stolen even on
// failure); null means None.
PyObject* wl_h2_stopped_new(const wl::h2::Stop& s);
PyObject* wl_h2_stopped_opt(const std::optional<wl::h2::Stop>& s);  // None when empty
PyObject* wl_h2_headers_verdict_new(uint8_t kind, PyObject* handle, uint32_t sid, bool eof,
                                    uint32_t flags);
PyObject* wl_h2_data_verdict_new(PyObject* handle, PyObject* payload, bool budgeted, bool eof,
                                 uint32_t flags);
PyObject* wl_h2_send_verdict_new(const wl::h2::SendOut& out, PyObject* handle);
PyObject* wl_h2_reset_verdict_new(const wl::h2::ResetOut& out, PyObject* handle);

// Argument converters with the engine's messages.
int wl_h2s_u32(PyObject* o, const char* fname, const char* arg, uint32_t* out);
int wl_h2s_frame(PyObject* o, PyTypeObject* type, const char* fname, const char* what);

#define WL_H2S_ARGS PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames
#define WL_H2S_METHOD(name) PyObject* wl_h2s_##name(WL_H2S_ARGS)
#define WL_H2S_NOARGS(name) PyObject* wl_h2s_##name(PyObject* self, PyObject*)

// ---- methods, by file ----
// conn.cpp
WL_H2S_NOARGS(begin);
WL_H2S_METHOD(store_task_handles);
WL_H2S_NOARGS(take_read_handle);
WL_H2S_NOARGS(take_pump_handle);
WL_H2S_NOARGS(take_pending);
WL_H2S_NOARGS(credit_written);
WL_H2S_NOARGS(has_pending);
WL_H2S_NOARGS(stop_pump);
WL_H2S_METHOD(receive);
WL_H2S_METHOD(prime);
// conn_recv.cpp
WL_H2S_METHOD(recv_headers);
WL_H2S_METHOD(recv_data);
WL_H2S_METHOD(recv_window_update);
WL_H2S_METHOD(recv_reset);
// conn_control.cpp
WL_H2S_METHOD(recv_settings);
WL_H2S_METHOD(recv_ping);
WL_H2S_METHOD(recv_go_away);
WL_H2S_NOARGS(maybe_goaway_reply);
WL_H2S_METHOD(send_goaway);
WL_H2S_NOARGS(begin_graceful_shutdown);
WL_H2S_METHOD(fail);
WL_H2S_NOARGS(conn_error);
WL_H2S_NOARGS(goaway_info);
WL_H2S_NOARGS(is_closed);
WL_H2S_NOARGS(is_failed);
// conn_send.cpp
WL_H2S_NOARGS(try_claim_slot);
WL_H2S_NOARGS(can_open);
WL_H2S_NOARGS(release_slot_count);
WL_H2S_METHOD(apply_stream_limit);
WL_H2S_METHOD(open_stream);
WL_H2S_METHOD(send_data);
WL_H2S_METHOD(send_trailers);
WL_H2S_METHOD(send_response_head);
// conn_reset.cpp
WL_H2S_METHOD(reset_stream);
WL_H2S_METHOD(reset_on_error);
WL_H2S_METHOD(aclose_body);
WL_H2S_METHOD(release_capacity);
WL_H2S_METHOD(release_data_frame);
WL_H2S_METHOD(accepted);
WL_H2S_METHOD(has_stream);
WL_H2S_METHOD(is_recv_end_stream);
WL_H2S_METHOD(stream_state);
WL_H2S_METHOD(stream_recv_unreleased);
WL_H2S_METHOD(stream_recv_reclaimed);
WL_H2S_METHOD(stream_data_budget_charged);
WL_H2S_METHOD(stream_send_buffered);
WL_H2S_METHOD(stream_send_window);
WL_H2S_METHOD(in_reset_store);
WL_H2S_METHOD(set_next_stream_id);
WL_H2S_METHOD(set_max_stream_id);
WL_H2S_METHOD(set_last_processed_id);

// Raises NotImplementedError for a method not built yet; returns NULL.
PyObject* wl_h2s_not_built(const char* name);

// Registration (conn_common.cpp registers the result classes).
int wl_h2_add_result_types(PyObject* m);
