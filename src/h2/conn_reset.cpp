// H2Streams: resets, body close, capacity release, acceptance, and the
// introspection and diagnostic methods.
#include <string>

#include "h2/conn.h"
#include "h2/streams.h"

using wl::h2::Engine;
using wl::h2::EngineError;
using wl::h2::Stream;

namespace {

Engine* eng(PyObject* self) { return wl_h2s(self)->eng; }

// Parses the single `sid` argument.
int parse_sid(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              WlArgSpec& spec, uint32_t* sid) {
    PyObject* a[1];
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0) return -1;
    return wl_h2s_u32(a[0], fname, "sid", sid);
}

// Runs a reset-like operation and builds its H2ResetVerdict.
template <class F>
PyObject* reset_verdict(PyObject* self, F&& op) {
    Engine* e = eng(self);
    return wl_h2s_guard([&]() -> PyObject* {
        WlHandleDrops drops;
        wl::h2::ResetOut out;
        EngineError err;
        PyObject* handle = nullptr;
        {
            WlLock g(e->state_mu);
            err = op(*e, &out);
            if (!err) handle = wl_h2_ref(out.handle);
            drops.take(*e);
        }
        if (err) return wl_h2s_raise(err);
        return wl_h2_reset_verdict_new(out, handle);
    });
}

// A value read from one stream record: None, a bool or an int.
struct Probe {
    enum Kind : uint8_t { None, Bool, Int } kind = None;
    long long v = 0;
    static Probe b(bool x) { return {Bool, x}; }
    static Probe i(long long x) { return {Int, x}; }
    PyObject* build() const {
        switch (kind) {
            case Bool: return wl_bool(v != 0);
            case Int: return PyLong_FromLongLong(v);
            default: Py_RETURN_NONE;
        }
    }
};

template <class F>
PyObject* probe(PyObject* self, const char* fname, WlArgSpec& spec, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, F&& f) {
    uint32_t sid;
    if (parse_sid(fname, args, nargs, kwnames, spec, &sid) < 0) return nullptr;
    Engine* e = eng(self);
    Probe p;
    {
        WlLock g(e->state_mu);
        p = f(*e, e->stream(sid), sid);
    }
    return p.build();
}

#define PROBE(name, body)                                                                    \
    WL_H2S_METHOD(name) {                                                                    \
        WL_ARGSPEC(spec, #name, 1, 1, "sid");                                                \
        return probe(self, #name, spec, args, nargs, kwnames,                                \
                     [](Engine & e, const Stream* s, uint32_t sid) -> Probe {                \
                         (void)e, (void)s, (void)sid;                                               \
                         body                                                                \
                     });                                                                     \
    }

#define SETTER(name, call)                                                                   \
    WL_H2S_METHOD(name) {                                                                    \
        WL_ARGSPEC(spec, #name, 1, 1, "sid");                                                \
        uint32_t sid;                                                                        \
        if (parse_sid(#name, args, nargs, kwnames, spec, &sid) < 0) return nullptr;          \
        Engine* e = eng(self);                                                               \
        {                                                                                    \
            WlLock g(e->state_mu);                                                           \
            e->call(sid);                                                                    \
        }                                                                                    \
        Py_RETURN_NONE;                                                                      \
    }

}  // namespace

WL_H2S_METHOD(reset_stream) {
    WL_ARGSPEC(spec, "reset_stream", 3, 2, "sid", "reason", "initiator");
    PyObject* a[3] = {nullptr, nullptr, nullptr};
    uint32_t sid, reason;
    wl::h2::Initiator initiator = wl::h2::Initiator::User;
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 ||
        wl_h2s_u32(a[0], "reset_stream", "sid", &sid) < 0 ||
        wl_conv_reason(a[1], "reset_stream", "reason", &reason) < 0 ||
        (a[2] && wl_conv_initiator(a[2], "reset_stream", "initiator", &initiator) < 0))
        return nullptr;
    return reset_verdict(self, [&](Engine& e, wl::h2::ResetOut* out) {
        return e.reset_stream(sid, reason, initiator, out);
    });
}

WL_H2S_METHOD(reset_on_error) {
    WL_ARGSPEC(spec, "reset_on_error", 2, 2, "sid", "reason");
    PyObject* a[2];
    uint32_t sid, reason;
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 ||
        wl_h2s_u32(a[0], "reset_on_error", "sid", &sid) < 0 ||
        wl_conv_reason(a[1], "reset_on_error", "reason", &reason) < 0)
        return nullptr;
    return reset_verdict(self, [&](Engine& e, wl::h2::ResetOut* out) {
        return e.reset_on_error(sid, reason, out);
    });
}

WL_H2S_METHOD(aclose_body) {
    WL_ARGSPEC(spec, "aclose_body", 1, 1, "sid");
    uint32_t sid;
    if (parse_sid("aclose_body", args, nargs, kwnames, spec, &sid) < 0) return nullptr;
    return reset_verdict(self, [&](Engine& e, wl::h2::ResetOut* out) { return e.aclose_body(sid, out); });
}

WL_H2S_METHOD(release_capacity) {
    WL_ARGSPEC(spec, "release_capacity", 2, 2, "sid", "n");
    PyObject* a[2];
    uint32_t sid, n;
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 ||
        wl_h2s_u32(a[0], "release_capacity", "sid", &sid) < 0 ||
        wl_h2s_u32(a[1], "release_capacity", "n", &n) < 0)
        return nullptr;
    Engine* e = eng(self);
    return wl_h2s_guard([&]() -> PyObject* {
        WlHandleDrops drops;
        uint32_t flags;
        {
            WlLock g(e->state_mu);
            flags = e->release_capacity(sid, n);
            drops.take(*e);
        }
        return PyLong_FromUnsignedLong(flags);
    });
}

WL_H2S_METHOD(release_data_frame) {
    WL_ARGSPEC(spec, "release_data_frame", 2, 2, "sid", "payload_len");
    PyObject* a[2];
    uint32_t sid;
    uint64_t len;
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 ||
        wl_h2s_u32(a[0], "release_data_frame", "sid", &sid) < 0 ||
        wl_conv_uint(a[1], "release_data_frame", "payload_len", UINT64_MAX, &len) < 0)
        return nullptr;
    Engine* e = eng(self);
    WlHandleDrops drops;
    {
        WlLock g(e->state_mu);
        e->release_data_frame(sid, len);
        drops.take(*e);
    }
    Py_RETURN_NONE;
}

SETTER(accepted, accepted)
SETTER(set_next_stream_id, set_next_stream_id)
SETTER(set_max_stream_id, set_max_stream_id)
SETTER(set_last_processed_id, set_last_processed_id)

PROBE(has_stream, return Probe::b(s != nullptr);)
PROBE(is_recv_end_stream, return Probe::b(s && s->state.is_recv_end_stream());)
PROBE(stream_recv_unreleased, return Probe::i(s ? s->recv_unreleased : 0);)
PROBE(stream_recv_reclaimed, return s ? Probe::b(s->recv_reclaimed) : Probe{};)
PROBE(stream_data_budget_charged, return s ? Probe::i((long long)s->data_budget_charged) : Probe{};)
PROBE(stream_send_buffered, return s ? Probe::i((long long)s->send_buffered) : Probe{};)
PROBE(stream_send_window, return s ? Probe::i(s->send_flow.window_raw()) : Probe{};)
PROBE(in_reset_store, return Probe::b(e.in_reset_store(sid));)

WL_H2S_METHOD(stream_state) {
    WL_ARGSPEC(spec, "stream_state", 1, 1, "sid");
    uint32_t sid;
    if (parse_sid("stream_state", args, nargs, kwnames, spec, &sid) < 0) return nullptr;
    Engine* e = eng(self);
    return wl_h2s_guard([&]() -> PyObject* {
        std::string text;
        bool found;
        {
            WlLock g(e->state_mu);
            const Stream* s = e->stream(sid);
            found = s != nullptr;
            if (found) s->state.append_debug(text);
        }
        if (!found) Py_RETURN_NONE;
        return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
    });
}
