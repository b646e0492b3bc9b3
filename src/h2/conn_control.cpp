// H2Streams: SETTINGS, PING, GOAWAY, graceful shutdown and connection failure.
#include <cstring>

#include "errors/errors.h"
#include "h2/conn.h"
#include "h2/streams.h"

using wl::h2::Engine;
using wl::h2::EngineError;

namespace {

Engine* eng(PyObject* self) { return wl_h2s(self)->eng; }

PyObject* flags_or_raise(const EngineError& err, uint32_t flags) {
    if (err) return wl_h2s_raise(err);
    return PyLong_FromUnsignedLong(flags);
}

template <class F>
PyObject* locked_flags(PyObject* self, F&& f) {
    Engine* e = eng(self);
    return wl_h2s_guard([&]() -> PyObject* {
        WlHandleDrops drops;
        uint32_t flags;
        {
            WlLock g(e->state_mu);
            flags = f(*e);
            drops.take(*e);
        }
        return PyLong_FromUnsignedLong(flags);
    });
}

}  // namespace

WL_H2S_METHOD(recv_settings) {
    WL_ARGSPEC(spec, "recv_settings", 1, 1, "frame");
    PyObject* a[1];
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 ||
        wl_h2s_frame(a[0], WL_H2FrameSettingsType, "recv_settings", "H2FrameSettings") < 0)
        return nullptr;
    const auto* f = reinterpret_cast<WlH2FrameSettings*>(a[0]);
    Engine* e = eng(self);
    return wl_h2s_guard([&]() -> PyObject* {
        WlRefs wake;
        wl::h2::SettingsOutcome out;
        EngineError err;
        {
            WlLock g(e->state_mu);
            err = e->recv_settings(f->value, &out);
            if (!err) wake.take_handles(e->wake());
        }
        if (err) return wl_h2s_raise(err);
        PyObject* list = wake.to_list();
        if (!list) return nullptr;
        return Py_BuildValue("(NNk)", wl_bool(out.initial), list, (unsigned long)out.flags);
    });
}

WL_H2S_METHOD(recv_ping) {
    WL_ARGSPEC(spec, "recv_ping", 1, 1, "frame");
    PyObject* a[1];
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 ||
        wl_h2s_frame(a[0], WL_H2FramePingType, "recv_ping", "H2FramePing") < 0)
        return nullptr;
    const auto* f = reinterpret_cast<WlH2FramePing*>(a[0]);
    wl::h2::PingFrame p;
    p.ack = f->ack;
    std::memcpy(p.data, f->payload, sizeof p.data);
    Engine* e = eng(self);
    return wl_h2s_guard([&]() -> PyObject* {
        uint32_t flags;
        EngineError err;
        {
            WlLock g(e->state_mu);
            err = e->recv_ping(p, &flags);
        }
        return flags_or_raise(err, flags);
    });
}

WL_H2S_METHOD(recv_go_away) {
    WL_ARGSPEC(spec, "recv_go_away", 1, 1, "frame");
    PyObject* a[1];
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 ||
        wl_h2s_frame(a[0], WL_H2FrameGoAwayType, "recv_go_away", "H2FrameGoAway") < 0)
        return nullptr;
    const auto* f = reinterpret_cast<WlH2FrameGoAway*>(a[0]);
    std::string_view debug(PyBytes_AS_STRING(f->debug_data), size_t(PyBytes_GET_SIZE(f->debug_data)));
    Engine* e = eng(self);
    return wl_h2s_guard([&]() -> PyObject* {
        WlHandleDrops drops;
        WlAborted aborted;
        uint32_t flags;
        EngineError err;
        {
            WlLock g(e->state_mu);
            err = e->recv_go_away(f->last_stream_id, f->error_code, debug, &flags);
            aborted.take(*e);
            drops.take(*e);
        }
        if (err) return wl_h2s_raise(err);
        PyObject* list = aborted.to_list();
        if (!list) return nullptr;
        return Py_BuildValue("(Nk)", list, (unsigned long)flags);
    });
}

WL_H2S_NOARGS(maybe_goaway_reply) {
    return locked_flags(self, [](Engine& e) { return e.maybe_goaway_reply(); });
}

WL_H2S_METHOD(send_goaway) {
    WL_ARGSPEC(spec, "send_goaway", 1, 1, "reason");
    PyObject* a[1];
    uint32_t reason;
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 ||
        wl_conv_reason(a[0], "send_goaway", "reason", &reason) < 0)
        return nullptr;
    return locked_flags(self, [&](Engine& e) { return e.send_goaway(reason); });
}

WL_H2S_NOARGS(begin_graceful_shutdown) {
    return locked_flags(self, [](Engine& e) { return e.begin_graceful_shutdown(); });
}

WL_H2S_METHOD(fail) {
    WL_ARGSPEC(spec, "fail", 2, 0, "exc", "message");
    PyObject* a[2] = {nullptr, nullptr};
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0) return nullptr;
    std::string_view message = "connection closed";
    if (a[1] && wl_conv_str(a[1], "fail", "message", &message) < 0) return nullptr;
    PyObject* exc = a[0] && a[0] != Py_None ? a[0] : nullptr;
    Engine* e = eng(self);
    return wl_h2s_guard([&]() -> PyObject* {
        WlHandleDrops drops;
        WlAborted aborted;
        {
            WlLock g(e->state_mu);
            Py_XINCREF(exc);  // the engine stores this reference or drops it
            e->fail(exc, message);
            aborted.take(*e);
            drops.take(*e);
        }
        return aborted.to_list();
    });
}

WL_H2S_NOARGS(conn_error) {
    Engine* e = eng(self);
    return wl_h2s_guard([&]() -> PyObject* {
        PyObject* exc = nullptr;
        bool has;
        std::string msg;
        {
            WlLock g(e->state_mu);
            has = e->has_error();
            if (has) {
                exc = wl_h2_ref(e->stored_exc());
                if (!exc) msg = e->stored_message();
            }
        }
        if (!has) Py_RETURN_NONE;
        if (exc) return exc;
        PyObject* args = Py_BuildValue("(s#)", msg.data(), Py_ssize_t(msg.size()));
        if (!args) return nullptr;
        PyObject* r = wl_exc_new(WL_EXC_CONN_CLOSED, args);
        Py_DECREF(args);
        return r;
    });
}

WL_H2S_NOARGS(goaway_info) {
    Engine* e = eng(self);
    return wl_h2s_guard([&]() -> PyObject* {
        std::optional<wl::h2::PeerGoAway> g;
        {
            WlLock lk(e->state_mu);
            g = e->peer_goaway();
        }
        if (!g) Py_RETURN_NONE;
        const std::string& d = *g->debug;
        return Py_BuildValue("(kky#)", (unsigned long)g->last_stream_id, (unsigned long)g->error_code,
                             d.data(), Py_ssize_t(d.size()));
    });
}

WL_H2S_NOARGS(is_closed) {
    Engine* e = eng(self);
    bool v;
    {
        WlLock g(e->state_mu);
        v = e->is_closed();
    }
    return wl_bool(v);
}

WL_H2S_NOARGS(is_failed) {
    Engine* e = eng(self);
    bool v;
    {
        WlLock g(e->state_mu);
        v = e->has_error();
    }
    return wl_bool(v);
}
