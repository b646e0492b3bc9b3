// H2Streams: the inbound per-stream operations (HEADERS, DATA,
// WINDOW_UPDATE, RST_STREAM).
#include "h2/conn.h"

using wl::h2::Engine;
using wl::h2::EngineError;

namespace {

Engine* eng(PyObject* self) { return wl_h2s(self)->eng; }

// Parses the single `frame` argument of the given frame class.
PyObject* frame_arg(WlArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyTypeObject* type, const char* what) {
    PyObject* a[1];
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 ||
        wl_h2s_frame(a[0], type, spec.fname, what) < 0)
        return nullptr;
    return a[0];
}

}  // namespace

WL_H2S_METHOD(recv_headers) {
    WL_ARGSPEC(spec, "recv_headers", 2, 1, "frame", "spare");
    PyObject* a[2] = {nullptr, nullptr};
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 ||
        wl_h2s_frame(a[0], WL_H2FrameHeadersType, "recv_headers", "H2FrameHeaders") < 0)
        return nullptr;
    const auto* f = reinterpret_cast<WlH2FrameHeaders*>(a[0]);
    wl::h2::HeadersIn in;
    in.stream_id = f->stream_id;
    in.end_stream = f->end_stream;
    in.informational = f->is_informational;
    in.status = f->status_code;
    in.has_content_length = f->has_content_length;
    in.content_length_invalid = f->content_length_invalid;
    in.content_length = f->content_length_value;
    PyObject* spare = a[1] == Py_None ? nullptr : a[1];
    Engine* e = eng(self);
    return wl_h2s_guard([&]() -> PyObject* {
        WlHandleDrops drops;
        // Our own reference, handed to the record if it takes the spare and
        // released after unlocking otherwise.
        Py_XINCREF(spare);
        wl::h2::HeadersOut out;
        EngineError err;
        PyObject* handle = nullptr;
        {
            WlLock g(e->state_mu);
            // Runs before the lock is dropped, also when the call throws.
            struct SpareBack {
                WlHandleDrops& d;
                PyObject* spare;
                const wl::h2::HeadersOut& out;
                ~SpareBack() {
                    if (!out.spare_used) d.add(spare);
                }
            } back{drops, spare, out};
            err = e->recv_headers(in, wl_h2_handle(spare), &out);
            if (!err) handle = wl_h2_ref(out.handle);
            drops.take(*e);
        }
        if (err) return wl_h2s_raise(err);
        return wl_h2_headers_verdict_new(out.kind, handle, in.stream_id, out.eof, out.flags);
    });
}

WL_H2S_METHOD(recv_data) {
    WL_ARGSPEC(spec, "recv_data", 1, 1, "frame");
    PyObject* fo = frame_arg(spec, args, nargs, kwnames, WL_H2FrameDataType, "H2FrameData");
    if (!fo) return nullptr;
    const auto* f = reinterpret_cast<WlH2FrameData*>(fo);
    wl::h2::DataIn in;
    in.stream_id = f->stream_id;
    in.end_stream = f->end_stream;
    in.payload_len = uint32_t(PyBytes_GET_SIZE(f->data));
    in.flow_len = f->flow_controlled_len;
    Engine* e = eng(self);
    return wl_h2s_guard([&]() -> PyObject* {
        WlHandleDrops drops;
        wl::h2::DataOut out;
        EngineError err;
        PyObject* handle = nullptr;
        {
            WlLock g(e->state_mu);
            err = e->recv_data(in, &out);
            if (!err) handle = wl_h2_ref(out.handle);
            drops.take(*e);
        }
        if (err) return wl_h2s_raise(err);
        // The frame's own payload object: no copy.
        PyObject* payload = out.deliver ? Py_NewRef(f->data) : nullptr;
        return wl_h2_data_verdict_new(handle, payload, out.budgeted, out.eof, out.flags);
    });
}

WL_H2S_METHOD(recv_window_update) {
    WL_ARGSPEC(spec, "recv_window_update", 1, 1, "frame");
    PyObject* fo =
        frame_arg(spec, args, nargs, kwnames, WL_H2FrameWindowUpdateType, "H2FrameWindowUpdate");
    if (!fo) return nullptr;
    const auto* f = reinterpret_cast<WlH2FrameWindowUpdate*>(fo);
    Engine* e = eng(self);
    return wl_h2s_guard([&]() -> PyObject* {
        WlRefs wake;
        EngineError err;
        {
            WlLock g(e->state_mu);
            err = e->recv_window_update(f->stream_id, f->increment);
            if (!err) wake.take_handles(e->wake());
            e->wake().clear();
        }
        if (err) return wl_h2s_raise(err);
        return wake.to_list();
    });
}

WL_H2S_METHOD(recv_reset) {
    WL_ARGSPEC(spec, "recv_reset", 1, 1, "frame");
    PyObject* fo = frame_arg(spec, args, nargs, kwnames, WL_H2FrameRstStreamType, "H2FrameRstStream");
    if (!fo) return nullptr;
    const auto* f = reinterpret_cast<WlH2FrameRstStream*>(fo);
    Engine* e = eng(self);
    return wl_h2s_guard([&]() -> PyObject* {
        WlHandleDrops drops;
        wl::h2::RecvResetOut out;
        EngineError err;
        PyObject* handle = nullptr;
        {
            WlLock g(e->state_mu);
            err = e->recv_reset(f->stream_id, f->error_code, &out);
            if (!err && out.has) handle = wl_h2_ref(out.handle);
            drops.take(*e);
        }
        if (err) return wl_h2s_raise(err);
        if (!out.has) Py_RETURN_NONE;
        PyObject* stop = wl_h2_stopped_new(out.stop);
        if (!stop) {
            Py_XDECREF(handle);
            return nullptr;
        }
        if (!handle) handle = Py_NewRef(Py_None);
        return Py_BuildValue("(NNNk)", handle, stop, wl_bool(out.notify_body),
                             (unsigned long)out.flags);
    });
}
