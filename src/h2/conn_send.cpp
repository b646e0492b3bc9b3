// H2Streams: concurrency slots, opening streams and sending heads, data and
// trailers.
//
// Header maps are copied out under their own lock before the state lock is
// taken, so the two locks are never held together.
#include "h2/conn.h"
#include "http/headermap.h"

using wl::h2::Engine;
using wl::h2::EngineError;
using wl::h2::SendOut;

namespace {

Engine* eng(PyObject* self) { return wl_h2s(self)->eng; }

// Runs a send operation under the state lock and builds its H2SendVerdict.
template <class F>
PyObject* send_verdict(PyObject* self, F&& op) {
    Engine* e = eng(self);
    WlHandleDrops drops;
    SendOut out;
    EngineError err;
    PyObject* handle = nullptr;
    {
        WlLock g(e->state_mu);
        try {
            err = op(*e, &out);
        } catch (...) {
            drops.take(*e);  // a failed header block fails the connection
            throw;
        }
        if (!err) handle = wl_h2_ref(out.handle);
        drops.take(*e);
    }
    if (err) return wl_h2s_raise(err);
    return wl_h2_send_verdict_new(out, handle);
}

}  // namespace

WL_H2S_NOARGS(try_claim_slot) {
    Engine* e = eng(self);
    bool v;
    {
        WlLock g(e->state_mu);
        v = e->try_claim_slot();
    }
    return wl_bool(v);
}

WL_H2S_NOARGS(can_open) {
    Engine* e = eng(self);
    bool v;
    {
        WlLock g(e->state_mu);
        v = e->can_open();
    }
    return wl_bool(v);
}

WL_H2S_NOARGS(release_slot_count) {
    Engine* e = eng(self);
    {
        WlLock g(e->state_mu);
        e->release_slot_count();
    }
    Py_RETURN_NONE;
}

WL_H2S_METHOD(apply_stream_limit) {
    WL_ARGSPEC(spec, "apply_stream_limit", 1, 1, "limit");
    PyObject* a[1];
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0) return nullptr;
    std::optional<uint64_t> limit;
    if (a[0] != Py_None) {
        uint64_t v;
        if (wl_conv_uint(a[0], "apply_stream_limit", "limit", UINT64_MAX, &v) < 0) return nullptr;
        limit = v;
    }
    Engine* e = eng(self);
    {
        WlLock g(e->state_mu);
        e->apply_stream_limit(limit);
    }
    Py_RETURN_NONE;
}

WL_H2S_METHOD(open_stream) {
    static const char* const fn = "open_stream";
    WL_ARGSPEC(spec, "open_stream", 6, 6, "method", "target", "headers", "end_stream", "is_head",
               "handle", "scheme", "authority");
    PyObject* a[8];
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0) return nullptr;
    std::string_view method, target, scheme, authority;
    bool has_scheme = a[6] && a[6] != Py_None, has_auth = a[7] && a[7] != Py_None;
    wl::h2::OpenIn in;
    if (wl_conv_str(a[0], fn, "method", &in.method) < 0 ||
        wl_conv_str(a[1], fn, "target", &in.target) < 0 ||
        wl_conv_headermap(a[2], fn, "headers", true, &a[2]) < 0 ||
        wl_conv_bool(a[3], fn, "end_stream", &in.end_stream) < 0 ||
        wl_conv_bool(a[4], fn, "is_head", &in.is_head) < 0 ||
        (has_scheme && wl_conv_str(a[6], fn, "scheme", &scheme) < 0) ||
        (has_auth && wl_conv_str(a[7], fn, "authority", &authority) < 0))
        return nullptr;
    if (has_scheme) in.scheme = &scheme;
    if (has_auth) in.authority = &authority;
    return wl_h2s_guard([&]() -> PyObject* {
        wl::HeaderList headers;
        if (a[2]) {
            wl_headermap_copy(a[2], headers);
            in.headers = &headers;
        }
        Engine* e = eng(self);
        WlHandleDrops drops;
        // The record takes this reference; an unused one is dropped after
        // unlocking.
        PyObject* handle = Py_NewRef(a[5]);
        std::optional<uint32_t> sid;
        bool used = false;
        EngineError err;
        {
            WlLock g(e->state_mu);
            try {
                err = e->open_stream(in, wl_h2_handle(handle), &sid, &used);
            } catch (...) {
                if (!used) drops.add(handle);
                drops.take(*e);
                throw;
            }
            if (!used) drops.add(handle);
            drops.take(*e);
        }
        if (err) return wl_h2s_raise(err);
        if (!sid) Py_RETURN_NONE;
        return PyLong_FromUnsignedLong(*sid);
    });
}

WL_H2S_METHOD(send_data) {
    static const char* const fn = "send_data";
    WL_ARGSPEC(spec, "send_data", 4, 4, "sid", "data", "offset", "end_stream");
    PyObject* a[4];
    uint32_t sid;
    std::string_view data;
    uint64_t offset;
    bool end_stream;
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 || wl_h2s_u32(a[0], fn, "sid", &sid) < 0 ||
        wl_conv_bytes(a[1], fn, "data", &data) < 0 ||
        wl_conv_uint(a[2], fn, "offset", UINT64_MAX, &offset) < 0 ||
        wl_conv_bool(a[3], fn, "end_stream", &end_stream) < 0)
        return nullptr;
    return wl_h2s_guard([&]() -> PyObject* {
        return send_verdict(self, [&](Engine& e, SendOut* out) {
            return e.send_data(sid, data, offset, end_stream, out);
        });
    });
}

WL_H2S_METHOD(send_trailers) {
    static const char* const fn = "send_trailers";
    WL_ARGSPEC(spec, "send_trailers", 2, 2, "sid", "trailers");
    PyObject* a[2];
    uint32_t sid;
    PyObject* map;
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 || wl_h2s_u32(a[0], fn, "sid", &sid) < 0 ||
        wl_conv_headermap(a[1], fn, "trailers", false, &map) < 0)
        return nullptr;
    return wl_h2s_guard([&]() -> PyObject* {
        wl::HeaderList trailers;
        wl_headermap_copy(map, trailers);
        return send_verdict(self, [&](Engine& e, SendOut* out) {
            return e.send_trailers(sid, trailers, out);
        });
    });
}

WL_H2S_METHOD(send_response_head) {
    static const char* const fn = "send_response_head";
    WL_ARGSPEC(spec, "send_response_head", 4, 4, "sid", "status", "headers", "end_stream");
    PyObject* a[4];
    uint32_t sid;
    uint64_t status;
    PyObject* map;
    bool end_stream;
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 || wl_h2s_u32(a[0], fn, "sid", &sid) < 0 ||
        wl_conv_uint(a[1], fn, "status", 0xffff, &status) < 0 ||
        wl_conv_headermap(a[2], fn, "headers", true, &map) < 0 ||
        wl_conv_bool(a[3], fn, "end_stream", &end_stream) < 0)
        return nullptr;
    return wl_h2s_guard([&]() -> PyObject* {
        wl::HeaderList headers;
        if (map) wl_headermap_copy(map, headers);
        return send_verdict(self, [&](Engine& e, SendOut* out) {
            return e.send_response_head(sid, uint16_t(status), map ? &headers : nullptr, end_stream,
                                        out);
        });
    });
}
