// H1Codec, H1RequestHead, H1ResponseHead: the Python face of wl::h1::Codec.
#include "h1/codec.h"

#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "core/load.h"
#include "errors/errors.h"
#include "h1/body.h"
#include "http/headermap.h"
#include "py/fresh.h"
#include "py/kept.h"
#include "py/members.h"

PyTypeObject* WL_H1CodecType = nullptr;
PyTypeObject* WL_H1RequestHeadType = nullptr;
PyTypeObject* WL_H1ResponseHeadType = nullptr;

namespace {

using wl::ByteBuf;
using wl::HeaderList;
using namespace wl::h1;

// ---------------------------------------------------------------- shared strings

PyObject* g_methods[kStandardMethods];
PyObject* g_kinds[4];
PyObject* g_terminator;  // b"0\r\n\r\n"
PyObject* g_empty;       // b""
PyObject* g_continue;    // the 100 Continue interim response

int init_shared() {
    if (g_terminator) return 0;
    for (int i = 0; i < kStandardMethods; ++i)
        if (!(g_methods[i] = PyUnicode_InternFromString(method_name(Method(i))))) return -1;
    for (int i = 0; i < 4; ++i)
        if (!(g_kinds[i] = PyUnicode_InternFromString(body_kind_name(BodyKind(i))))) return -1;
    if (!(g_empty = PyBytes_FromStringAndSize(nullptr, 0))) return -1;
    if (!(g_continue = PyBytes_FromStringAndSize("HTTP/1.1 100 Continue\r\n\r\n", 25))) return -1;
    if (!(g_terminator = wl_bytes(kChunkedTerminator))) return -1;
    return 0;
}

PyObject* raise_internal() {
    return wl_raise_h1_parse(parse_kind_name(ParseKind::Internal), parse_kind_message(ParseKind::Internal));
}

WlH1Codec* as_codec(PyObject* o) { return reinterpret_cast<WlH1Codec*>(o); }

PyObject* ascii_token_str(std::string_view v) { return wl_fresh_ascii(v.data(), v.size()); }

// A request-target as str: its bytes read as Latin-1 (a peer may send any
// byte above 0x7f there). Most targets are ASCII, made directly without the
// decoder's second pass for the widest character. ("/" alone goes to the
// decoder: a single character is a shared object there.)
PyObject* target_str(std::string_view v) {
    const char* p = v.data();
    size_t n = v.size();
    uint64_t high;
    if (n >= 8) {
        // Sixteen bytes a step; the last word is read overlapping the one before.
        high = wl::load64(p + n - 8);
        for (size_t i = 0; i + 8 < n; i += 16) high |= wl::load64(p + i) | (i + 16 < n ? wl::load64(p + i + 8) : 0);
    } else if (n >= 4) {
        uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        high = a | b;
    } else {
        high = n == 1 ? 0x80 : uint8_t(p[0]) | uint8_t(p[n / 2]) | uint8_t(p[n - 1]);
    }
    if (high & 0x8080808080808080ull) return PyUnicode_DecodeLatin1(p, Py_ssize_t(n), nullptr);
    return ascii_token_str(v);
}

// Head objects released lately, kept for the next parsed heads. They hold
// no references while kept.
template <class Head>
struct SpareHeads {
    wl::KeptObjects<Head, 4> kept;
    Head* take(PyTypeObject* tp) { return kept.empty() ? PyObject_New(Head, tp) : kept.take(tp); }
    void release(Head* o) {
        PyTypeObject* tp = Py_TYPE(o);
        if (!kept.full())
            kept.put(o);
        else
            PyObject_Free(o);
        Py_DECREF(tp);
    }
};
SpareHeads<WlH1RequestHead> g_spare_requests;
SpareHeads<WlH1ResponseHead> g_spare_responses;

PyObject* new_response_head(WlParsedResponse& h) {
    PyObject* headers = wl_headermap_from(std::move(h.head.headers));
    if (!headers) return nullptr;
    WlH1ResponseHead* o = g_spare_responses.take(WL_H1ResponseHeadType);
    if (!o) {
        Py_DECREF(headers);
        return nullptr;
    }
    o->headers = headers;
    o->kind_name = g_kinds[int(h.head.body_kind)];
    o->content_length = h.head.content_length;
    o->status = h.head.status;
    o->body_kind = h.head.body_kind;
    o->keep_alive = h.head.keep_alive;
    o->is_upgrade = h.head.is_upgrade;
    o->http10 = h.head.http10;
    return reinterpret_cast<PyObject*>(o);
}

PyObject* content_length_obj(BodyKind k, uint64_t n) {
    if (k == BodyKind::Chunked || k == BodyKind::Close) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(k == BodyKind::Length ? n : 0);
}

PyObject* raise_serialize_error(const SerializeError& e) {
    if (e.kind == SerializeError::Kind::Value) return wl_value_error(e.message);
    return wl_raise_h1_failure(e.failure);
}

// Drops the bytes a failed parse call appended (the newest n at the end of
// the read buffer; leading empty lines the parser may have dropped for good
// come from the front). Mutable access restarts any remembered parse.
void unfeed(Codec& core, size_t n) {
    ByteBuf& rb = core.read_buffer();
    rb.truncate(rb.size() >= n ? rb.size() - n : 0);
}

}  // namespace

PyObject* wl_h1_body_kind_str(BodyKind k) { return g_kinds[int(k)]; }

PyObject* wl_h1_parse_error(WlParse r, const Failure& f) {
    switch (r) {
        case WlParse::Failed: return wl_raise_h1_failure(f);
        case WlParse::NoMemory: return PyErr_NoMemory();
        default: return raise_internal();
    }
}

using wl::ByteBuf;

WlParse wl_h1codec_parse_request(WlH1Codec* c, std::string_view data, WlParsedRequest& out, Failure& f,
                                 PyObject* src, PyObject** drop) {
    WlParse r = WlParse::Partial;
    if (!out.kept) wl_headermap_lend_storage(out.head.headers);
    WlParse lr = wl_h1codec_locked(c, [&] {
        RequestHead& h = out.head;
        ParseStatus st;
        if (src) {
            bool was_empty = c->core.buffered() == 0;
            try {
                st = c->core.receive_request_in_place(data, h, &f);
            } catch (...) {
                if (was_empty)
                    c->core.clear_input();
                else
                    unfeed(c->core, data.size());
                throw;
            }
            *drop = c->held;  // replaced by src while borrowing from it
            c->held = c->core.borrowing() ? Py_NewRef(src) : nullptr;
        } else {
            c->core.feed(data);  // all or nothing
            try {
                st = c->core.receive_request({}, h, &f);
            } catch (...) {
                unfeed(c->core, data.size());
                throw;
            }
        }
        if (st == ParseStatus::Partial) return;
        if (st == ParseStatus::Error) {
            r = WlParse::Failed;
            return;
        }
        // The views point into the read buffer: copy them out now.
        if (h.method == Method::Other) out.method_text.assign(h.method_text);
        const wl::Uri& u = h.uri;
        if (u.form == wl::UriForm::Origin && u.target_size() == h.target_raw.size()) {
            out.target.assign(h.target_raw);
        } else {
            std::string t;
            u.append_target(t);
            out.target.assign(t);
        }
        h.method_text = {};
        h.target_raw = {};
        // From a constant: a temporary made here is stored and at once read
        // back across its stores, which stalls the copy.
        static const wl::Uri kNoUri;
        h.uri = kNoUri;
        r = WlParse::Complete;
    });
    return lr == WlParse::Complete ? r : lr;
}

PyObject* wl_h1_request_head_new(WlParsedRequest& p) {
    RequestHead& h = p.head;
    PyObject* method = h.method == Method::Other ? ascii_token_str(p.method_text.view())
                                                 : Py_NewRef(g_methods[int(h.method)]);
    if (!method) return nullptr;
    PyObject* target = target_str(p.target.view());
    if (!target) {
        Py_DECREF(method);
        return nullptr;
    }
    PyObject* headers = wl_headermap_from(std::move(h.headers));
    if (!headers) {
        Py_DECREF(method);
        Py_DECREF(target);
        return nullptr;
    }
    WlH1RequestHead* o = g_spare_requests.take(WL_H1RequestHeadType);
    if (!o) {
        Py_DECREF(method);
        Py_DECREF(target);
        Py_DECREF(headers);
        return nullptr;
    }
    o->method = method;
    o->target = target;
    o->headers = headers;
    o->kind_name = g_kinds[int(h.body_kind)];
    o->content_length = h.content_length;
    o->method_code = h.method;
    o->body_kind = h.body_kind;
    o->keep_alive = h.keep_alive;
    o->expect_continue = h.expect_continue;
    o->is_upgrade = h.is_upgrade;
    o->http10 = h.http10;
    o->allow_trailers = h.allow_trailers;
    o->is_connect = h.is_connect;
    return reinterpret_cast<PyObject*>(o);
}

namespace {

// The parse results of receive_request_head, kept from call to call so that
// nothing is set up or torn down per head. Its header collection keeps
// storage: a parsed one is swapped into the new map for that map's emptied
// storage (a kept map's, when there is one), so it borrows none. Taken for
// the call like the spare head buffer, so a call nested in it (from a
// finalizer) finds none and makes its own. One for the process under the
// interpreter lock, one per thread without it.
#ifdef Py_GIL_DISABLED
thread_local std::unique_ptr<WlParsedRequest> t_scratch_request;
#else
std::unique_ptr<WlParsedRequest> t_scratch_request;
#endif

class ScratchRequest {
public:
    ScratchRequest() : p_(std::move(t_scratch_request)) {
        if (p_) return;
        p_ = std::make_unique<WlParsedRequest>();
        p_->kept = true;
    }
    ~ScratchRequest() {
        if (!t_scratch_request) t_scratch_request = std::move(p_);
    }
    // After a failed parse, which may leave a large head's storage behind.
    void drop_storage() { p_->head.headers = wl::HeaderList(); }
    ScratchRequest(const ScratchRequest&) = delete;
    ScratchRequest& operator=(const ScratchRequest&) = delete;
    WlParsedRequest& get() { return *p_; }

private:
    std::unique_ptr<WlParsedRequest> p_;
};

}  // namespace

PyObject* wl_h1codec_receive_request_head(WlH1Codec* c, std::string_view data, PyObject* src) {
    ScratchRequest scratch;
    WlParsedRequest& p = scratch.get();
    Failure f;
    PyObject* drop = nullptr;
    WlParse r = wl_h1codec_parse_request(c, data, p, f, src, &drop);
    Py_XDECREF(drop);
    if (r == WlParse::Partial) Py_RETURN_NONE;
    if (r != WlParse::Complete) {
        scratch.drop_storage();
        return wl_h1_parse_error(r, f);
    }
    return wl_h1_request_head_new(p);
}

PyObject* wl_h1codec_receive_head(WlH1Codec* c, std::string_view data, PyObject* src) {
    WlParsedResponse p;
    Failure f;
    WlParse r = WlParse::Partial;
    PyObject* drop = nullptr;
    wl_headermap_lend_storage(p.head.headers);
    WlParse lr = wl_h1codec_locked(c, [&] {
        bool was_empty = c->core.buffered() == 0;
        ParseStatus st;
        try {
            st = c->core.receive_response_in_place(data, p.head, &f);
        } catch (...) {
            if (was_empty)
                c->core.clear_input();
            else
                unfeed(c->core, data.size());
            throw;
        }
        drop = c->held;  // replaced by src while borrowing from it
        c->held = c->core.borrowing() ? Py_NewRef(src) : nullptr;
        if (st == ParseStatus::Error) r = WlParse::Failed;
        if (st == ParseStatus::Complete) r = WlParse::Complete;
    });
    Py_XDECREF(drop);
    if (lr != WlParse::Complete) r = lr;
    if (r == WlParse::Partial) Py_RETURN_NONE;
    if (r != WlParse::Complete) return wl_h1_parse_error(r, f);
    return new_response_head(p);
}

WlParse wl_h1codec_serialize_response_native(WlH1Codec* c, unsigned status, PyObject* headers, bool keep_alive,
                                             bool http10, bool has_length, uint64_t length, bool chunked,
                                             wl::ByteBuf& head, SerializeError& err, bool* reuse) {
    bool ok = false;
    WlParse lr = wl_h1codec_locked(c, [&] {
        if (headers) {
            WlHeaderMapRead r(headers);
            ok = c->core.serialize_response(status, &r.list(), keep_alive, http10, has_length, length, chunked, &err);
        } else {
            ok = c->core.serialize_response(status, nullptr, keep_alive, http10, has_length, length, chunked, &err);
        }
        if (!ok) return;
        head.swap(c->core.head_buffer());
        if (reuse) *reuse = !c->core.response_close_delimited() && !c->core.response_is_last();
    });
    if (lr != WlParse::Complete) return lr;
    return ok ? WlParse::Complete : WlParse::Failed;
}

void wl_h1codec_return_head(WlH1Codec* c, wl::ByteBuf& head) {
    WlLock g(c->mu);
    wl::ByteBuf& mine = c->core.head_buffer();
    if (mine.capacity() < head.capacity()) mine.swap(head);
}

// A spare head buffer per thread. A serializer swaps the written head out
// of the codec for it under the codec's lock, so the codec keeps a buffer
// with room, and makes the bytes after unlocking with no second lock to
// give a buffer back. The spare is taken for the call: a call nested in the
// bytes' allocation (a finalizer) finds none and works with a fresh one.
// The interpreter lock orders its users, so there is one for the process;
// builds without that lock keep one per thread. A buffer past
// kSpareHeadKeep (an unusually large head) is freed, not kept for good.
#ifdef Py_GIL_DISABLED
static thread_local wl::ByteBuf t_spare_head;
#else
static wl::ByteBuf t_spare_head;
#endif
constexpr size_t kSpareHeadKeep = 256 * 1024;

class SpareHead {
public:
    SpareHead() { s_.swap(t_spare_head); }
    ~SpareHead() {
        if (s_.capacity() <= kSpareHeadKeep && t_spare_head.capacity() < s_.capacity()) t_spare_head.swap(s_);
    }
    SpareHead(const SpareHead&) = delete;
    SpareHead& operator=(const SpareHead&) = delete;
    wl::ByteBuf& get() { return s_; }

private:
    wl::ByteBuf s_;
};

PyObject* wl_h1_serialize_error(WlParse r, const SerializeError& err) {
    if (r == WlParse::Failed) return raise_serialize_error(err);
    return wl_h1_parse_error(r, Failure());
}

void wl_h1codec_prepend_native(WlH1Codec* c, ByteBuf& src) {
    WlLock g(c->mu);
    ByteBuf& rb = c->core.read_buffer();
    if (rb.empty())
        rb.swap(src);
    else
        rb.prepend(src.data(), src.size());
    src.clear();
}

void wl_h1codec_take_native(WlH1Codec* c, ByteBuf& out) {
    WlLock g(c->mu);
    out.swap(c->core.read_buffer());
}

size_t wl_h1codec_buffered(WlH1Codec* c) {
    WlLock g(c->mu);
    return c->core.buffered();
}

namespace {

// ---------------------------------------------------------------- H1Codec

PyObject* codec_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kF = "H1Codec";
    if (args && PyTuple_GET_SIZE(args) > 0) {
        PyErr_SetString(PyExc_TypeError, "H1Codec() takes no positional arguments");
        return nullptr;
    }
    CodecConfig cfg;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(kwargs, &pos, &k, &v)) {
            const char* name = PyUnicode_Check(k) ? PyUnicode_AsUTF8(k) : nullptr;
            if (!name) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return nullptr;
            }
            if (std::strcmp(name, "max_headers") == 0) {
                if (v != Py_None) {
                    uint64_t n;
                    if (wl_conv_uint(v, kF, "max_headers", SIZE_MAX, &n) < 0) return nullptr;
                    cfg.max_headers = size_t(n);
                }
            } else if (std::strcmp(name, "ignore_invalid_headers") == 0) {
                if (wl_conv_bool(v, kF, "ignore_invalid_headers", &cfg.ignore_invalid_headers) < 0) return nullptr;
            } else if (std::strcmp(name, "title_case_headers") == 0) {
                if (wl_conv_bool(v, kF, "title_case_headers", &cfg.title_case_headers) < 0) return nullptr;
            } else if (std::strcmp(name, "date_header") == 0) {
                if (wl_conv_bool(v, kF, "date_header", &cfg.date_header) < 0) return nullptr;
            } else if (std::strcmp(name, "max_buf_size") == 0) {
                uint64_t n;
                if (wl_conv_uint(v, kF, "max_buf_size", UINT64_MAX, &n) < 0) return nullptr;
                cfg.max_buf_size = n;
            } else {
                PyErr_Format(PyExc_TypeError, "H1Codec() got an unexpected keyword argument '%s'", name);
                return nullptr;
            }
        }
    }
    if (cfg.max_buf_size < kMinMaxBufSize) {
        PyErr_Format(PyExc_ValueError, "the max_buf_size cannot be smaller than %d", int(kMinMaxBufSize));
        return nullptr;
    }
    auto* self = reinterpret_cast<WlH1Codec*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    try {
        new (&self->mu) wl::PoisonMutex();
        new (&self->core) Codec(cfg);
        new (&self->scratch) std::string();
        self->held = nullptr;
    } catch (const std::bad_alloc&) {
        Py_DECREF(self);  // never constructed: tp_dealloc must not run destructors
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(self);
}

void codec_dealloc(PyObject* o) {
    WlH1Codec* self = as_codec(o);
    PyTypeObject* tp = Py_TYPE(o);
    self->scratch.~basic_string();
    self->core.~Codec();
    self->mu.~PoisonMutex();
    Py_CLEAR(self->held);
    tp->tp_free(o);
    Py_DECREF(tp);
}

// Runs a plain C++ step under the codec's lock; false with the Python error
// raised when it did not complete.
template <class F>
bool step(WlH1Codec* c, F&& f) {
    PyObject* drop = nullptr;  // the held bytes object, once nothing borrows it
    WlParse r = wl_h1codec_locked(c, [&] {
        f();
        if (!c->core.borrowing()) std::swap(drop, c->held);
    });
    Py_XDECREF(drop);
    if (r == WlParse::Complete) return true;
    wl_h1_parse_error(r, Failure());
    return false;
}

PyObject* codec_feed(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "feed", 1, 1, "data");
    PyObject* a[1];
    std::string_view data;
    if (wl_parse_args(spec, args, nargs, kw, a) < 0 || wl_conv_bytes(a[0], "feed", "data", &data) < 0)
        return nullptr;
    WlH1Codec* c = as_codec(o);
    if (!step(c, [&] { c->core.feed(data); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject* codec_receive_request_head(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    std::string_view data;
    PyObject* a[1];
    if (nargs == 1 && !kw) {
        a[0] = args[0];
    } else {
        WL_ARGSPEC(spec, "receive_request_head", 1, 1, "data");
        if (wl_parse_args(spec, args, nargs, kw, a) < 0) return nullptr;
    }
    if (wl_conv_bytes(a[0], "receive_request_head", "data", &data) < 0) return nullptr;
    return wl_h1codec_receive_request_head(as_codec(o), data, a[0]);
}

PyObject* codec_receive_head(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    std::string_view data;
    PyObject* a[1];
    if (nargs == 1 && !kw) {
        a[0] = args[0];
    } else {
        WL_ARGSPEC(spec, "receive_head", 1, 1, "data");
        if (wl_parse_args(spec, args, nargs, kw, a) < 0) return nullptr;
    }
    if (wl_conv_bytes(a[0], "receive_head", "data", &data) < 0) return nullptr;
    return wl_h1codec_receive_head(as_codec(o), data, a[0]);
}

// Optional content_length: None or a non-negative 64-bit integer.
int conv_opt_length(PyObject* v, const char* fname, bool* has, uint64_t* n) {
    *has = false;
    if (!v || v == Py_None) return 0;
    if (wl_conv_uint(v, fname, "content_length", UINT64_MAX, n) < 0) return -1;
    *has = true;
    return 0;
}

int conv_opt_bool(PyObject* v, const char* fname, const char* arg, bool dflt, bool* out) {
    if (!v) {
        *out = dflt;
        return 0;
    }
    return wl_conv_bool(v, fname, arg, out);
}

PyObject* codec_serialize_request(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const char* kF = "serialize_request";
    WL_ARGSPEC(spec, "serialize_request", 3, 2, "method", "url", "headers", "http10", "content_length", "chunked");
    PyObject* a[6];
    if (wl_parse_args(spec, args, nargs, kw, a) < 0) return nullptr;
    WlStrArg method, url;
    PyObject* headers = nullptr;
    bool http10, chunked, has_len;
    uint64_t len = 0;
    if (wl_conv_str(a[0], kF, "method", &method) < 0 || wl_conv_str(a[1], kF, "url", &url) < 0) return nullptr;
    if (a[2] && wl_conv_headermap(a[2], kF, "headers", true, &headers) < 0) return nullptr;
    if (conv_opt_bool(a[3], kF, "http10", false, &http10) < 0 || conv_opt_length(a[4], kF, &has_len, &len) < 0 ||
        conv_opt_bool(a[5], kF, "chunked", false, &chunked) < 0)
        return nullptr;
    WlH1Codec* c = as_codec(o);
    SerializeError err;
    SpareHead spare;
    wl::ByteBuf& head = spare.get();
    bool ok = false;
    WlParse r = wl_h1codec_locked(c, [&] {
        if (headers) {
            WlHeaderMapRead rd(headers);
            ok = c->core.serialize_request(method.v, url.v, &rd.list(), http10, has_len, len, chunked, &err);
        } else {
            ok = c->core.serialize_request(method.v, url.v, nullptr, http10, has_len, len, chunked, &err);
        }
        if (ok) head.swap(c->core.head_buffer());
    });
    if (r == WlParse::Complete && !ok) r = WlParse::Failed;
    if (r != WlParse::Complete) return wl_h1_serialize_error(r, err);
    return wl_bytes(head.view());
}

PyObject* codec_serialize_response(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const char* kF = "serialize_response";
    WL_ARGSPEC(spec, "serialize_response", 2, 1, "status", "headers", "keep_alive", "http10", "content_length",
               "chunked");
    PyObject* a[6];
    if (wl_parse_args(spec, args, nargs, kw, a) < 0) return nullptr;
    uint64_t status;
    PyObject* headers = nullptr;
    bool keep_alive, http10, chunked, has_len;
    uint64_t len = 0;
    if (wl_conv_uint(a[0], kF, "status", 0xffff, &status) < 0) return nullptr;
    if (a[1] && wl_conv_headermap(a[1], kF, "headers", true, &headers) < 0) return nullptr;
    if (conv_opt_bool(a[2], kF, "keep_alive", true, &keep_alive) < 0 ||
        conv_opt_bool(a[3], kF, "http10", false, &http10) < 0 || conv_opt_length(a[4], kF, &has_len, &len) < 0 ||
        conv_opt_bool(a[5], kF, "chunked", false, &chunked) < 0)
        return nullptr;
    SpareHead spare;
    SerializeError err;
    WlParse r = wl_h1codec_serialize_response_native(as_codec(o), unsigned(status), headers, keep_alive, http10,
                                                     has_len, len, chunked, spare.get(), err, nullptr);
    if (r != WlParse::Complete) return wl_h1_serialize_error(r, err);
    return wl_bytes(spare.get().view());
}

PyObject* codec_continue_response(PyObject*, PyObject*) { return Py_NewRef(g_continue); }

PyObject* codec_connection_close(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "connection_close", 1, 1, "headers");
    PyObject* a[1];
    PyObject* headers;
    if (wl_parse_args(spec, args, nargs, kw, a) < 0 ||
        wl_conv_headermap(a[0], "connection_close", "headers", false, &headers) < 0)
        return nullptr;
    bool close;
    {
        WlHeaderMapRead r(headers);
        close = connection_close(r.list());
    }
    return wl_bool(close);
}

PyObject* codec_serialize_data(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject* chunk;
    if (nargs == 1 && !kw) {
        chunk = args[0];
    } else {
        WL_ARGSPEC(spec, "serialize_data", 1, 1, "chunk");
        PyObject* a[1];
        if (wl_parse_args(spec, args, nargs, kw, a) < 0) return nullptr;
        chunk = a[0];
    }
    if (!PyBytes_Check(chunk)) return wl_type_error("serialize_data", "chunk", "bytes", chunk), nullptr;
    std::string_view data(PyBytes_AS_STRING(chunk), size_t(PyBytes_GET_SIZE(chunk)));
    if (data.empty()) return Py_NewRef(chunk);  // nothing to frame: no need for the codec
    WlH1Codec* c = as_codec(o);
    size_t keep = 0;
    DataPlan plan = DataPlan::Chunked;
    // A chunk of a chunked body changes no state: it is framed without
    // taking the lock. A body with a length counts its bytes under it.
    if (c->core.encoder_kind() != Encoder::Kind::Chunked || c->mu.poisoned()) {
        if (!step(c, [&] { plan = c->core.plan_data(data.size(), &keep); })) return nullptr;
    }
    switch (plan) {
        case DataPlan::NoEncoder:
            PyErr_SetString(PyExc_ValueError, "serialize_data with no request in flight");
            return nullptr;
        case DataPlan::Same: return Py_NewRef(chunk);
        case DataPlan::Prefix: return keep ? wl_bytes(data.substr(0, keep)) : Py_NewRef(g_empty);
        case DataPlan::Chunked: {
            size_t ln = chunk_size_line_len(data.size());
            PyObject* out = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(ln + data.size() + 2));
            if (!out) return nullptr;
            char* p = PyBytes_AS_STRING(out);
            chunk_size_line(data.size(), p);
            std::memcpy(p + ln, data.data(), data.size());
            std::memcpy(p + ln + data.size(), "\r\n", 2);
            return out;
        }
    }
    return raise_internal();
}

// The bytes that end a body; the trailer block was moved out into `block`.
PyObject* end_result(EndPlan plan, const std::string& block) {
    switch (plan) {
        case EndPlan::Empty: return Py_NewRef(g_empty);
        case EndPlan::Terminator: return Py_NewRef(g_terminator);
        case EndPlan::Trailers: return wl_bytes(block);
    }
    return Py_NewRef(g_empty);
}

PyObject* codec_serialize_end(PyObject* o, PyObject*) {
    WlH1Codec* c = as_codec(o);
    EndPlan plan = EndPlan::Empty;
    Failure f;
    bool ok = false;
    std::string block;
    if (!step(c, [&] {
            ok = c->core.end_body(&plan, &f);
            if (ok && plan == EndPlan::Trailers) block.swap(c->scratch);
        }))
        return nullptr;
    if (!ok) return wl_raise_h1_failure(f);
    return end_result(plan, block);
}

PyObject* codec_serialize_trailers(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "serialize_trailers", 1, 1, "trailers");
    PyObject* a[1];
    PyObject* trailers;
    if (wl_parse_args(spec, args, nargs, kw, a) < 0 ||
        wl_conv_headermap(a[0], "serialize_trailers", "trailers", false, &trailers) < 0)
        return nullptr;
    WlH1Codec* c = as_codec(o);
    EndPlan plan = EndPlan::Empty;
    Failure f;
    bool ok = false;
    std::string block;
    if (!step(c, [&] {
            {
                WlHeaderMapRead r(trailers);
                ok = c->core.end_body_with_trailers(r.list(), &c->scratch, &plan, &f);
            }
            if (ok && plan == EndPlan::Trailers) block.swap(c->scratch);
        }))
        return nullptr;
    if (!ok) return wl_raise_h1_failure(f);
    return end_result(plan, block);
}

PyObject* codec_serialize_head_and_body(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const char* kF = "serialize_head_and_body";
    WL_ARGSPEC(spec, "serialize_head_and_body", 3, 1, "head", "body", "trailers");
    PyObject* a[3];
    if (wl_parse_args(spec, args, nargs, kw, a) < 0) return nullptr;
    std::string_view head, body;
    PyObject* trailers = nullptr;
    if (wl_conv_bytes(a[0], kF, "head", &head) < 0) return nullptr;
    if (a[1] && a[1] != Py_None && wl_conv_bytes(a[1], kF, "body", &body) < 0) return nullptr;
    if (a[2] && wl_conv_headermap(a[2], kF, "trailers", true, &trailers) < 0) return nullptr;
    WlH1Codec* c = as_codec(o);
    bool same = false, chunked = false, ok = true;
    std::string_view framed = body;
    EndPlan plan = EndPlan::Empty;
    Failure f;
    std::string block;
    if (!step(c, [&] {
            Encoder enc = c->core.take_encoder();
            if (enc.kind == Encoder::Kind::None || (enc.kind == Encoder::Kind::Length && enc.remaining == 0)) {
                same = true;
                return;
            }
            // Frame the body as one chunk.
            chunked = enc.kind == Encoder::Kind::Chunked;
            if (!body.empty() && enc.kind == Encoder::Kind::Length) {
                if (body.size() > enc.remaining) framed = body.substr(0, size_t(enc.remaining));
                enc.remaining -= framed.size();
            }
            if (trailers) {
                WlHeaderMapRead r(trailers);
                ok = c->core.end_taken(enc, &r.list(), &c->scratch, &plan, &f);
            } else {
                ok = c->core.end_taken(enc, nullptr, nullptr, &plan, &f);
            }
            if (ok && plan == EndPlan::Trailers) block.swap(c->scratch);
        }))
        return nullptr;
    if (same) return Py_NewRef(a[0]);
    if (!ok) return wl_raise_h1_failure(f);
    char line[18];
    size_t ln = chunked && !body.empty() ? chunk_size_line(body.size(), line) : 0;
    std::string_view end;
    if (plan == EndPlan::Terminator) end = kChunkedTerminator;
    if (plan == EndPlan::Trailers) end = block;
    size_t body_part = chunked && !body.empty() ? ln + body.size() + 2 : framed.size();
    PyObject* out = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(head.size() + body_part + end.size()));
    if (!out) return nullptr;
    char* p = PyBytes_AS_STRING(out);
    std::memcpy(p, head.data(), head.size());
    p += head.size();
    if (chunked && !body.empty()) {
        std::memcpy(p, line, ln);
        p += ln;
        std::memcpy(p, body.data(), body.size());
        p += body.size();
        std::memcpy(p, "\r\n", 2);
        p += 2;
    } else if (!framed.empty()) {  // an empty view may carry a null pointer
        std::memcpy(p, framed.data(), framed.size());
        p += framed.size();
    }
    if (!end.empty()) std::memcpy(p, end.data(), end.size());
    return out;
}

PyObject* codec_body_is_eof(PyObject* o, PyObject*) {
    WlH1Codec* c = as_codec(o);
    bool eof = false;
    if (!step(c, [&] { eof = c->core.body_is_eof(); })) return nullptr;
    return wl_bool(eof);
}

PyObject* codec_reset(PyObject* o, PyObject*) {
    WlH1Codec* c = as_codec(o);
    if (!step(c, [&] { c->core.reset(); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject* codec_buffered(PyObject* o, PyObject*) {
    WlH1Codec* c = as_codec(o);
    size_t n = 0;
    if (!step(c, [&] { n = c->core.buffered(); })) return nullptr;
    return PyLong_FromSize_t(n);
}

// Measured under the lock, allocated outside it, then copied and consumed
// under the lock if the buffer still holds that many bytes: a failed
// allocation leaves every byte in place.
PyObject* codec_take_body(PyObject* o, PyObject*) {
    WlH1Codec* c = as_codec(o);
    size_t n = 0;
    if (!step(c, [&] { n = c->core.buffered(); })) return nullptr;
    for (;;) {
        if (n == 0) return Py_NewRef(g_empty);
        PyObject* out = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(n));
        if (!out) return nullptr;
        size_t now = 0;
        if (!step(c, [&] {
                std::string_view in = c->core.input();
                now = in.size();
                if (now != n) return;
                std::memcpy(PyBytes_AS_STRING(out), in.data(), n);
                c->core.clear_input();
            })) {
            Py_DECREF(out);
            return nullptr;
        }
        if (now == n) return out;
        Py_DECREF(out);  // another thread changed the buffer meanwhile
        n = now;
    }
}

PyObject* codec_take_body_into(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject* a[1];
    if (nargs == 1 && !kw) {
        a[0] = args[0];
    } else {
        WL_ARGSPEC(spec, "take_body_into", 1, 1, "decoder");
        if (wl_parse_args(spec, args, nargs, kw, a) < 0) return nullptr;
    }
    if (!wl_h1body_check(a[0])) return wl_type_error("take_body_into", "decoder", "H1BodyDecoder", a[0]), nullptr;
    WlH1Codec* c = as_codec(o);
    ByteBuf moved;
    PyObject* lent = nullptr;  // the bytes object borrowed from, passed on with its reference
    std::string_view rest;
    if (!step(c, [&] {
            if (c->core.borrowing() && c->held) {
                rest = c->core.input();
                std::swap(lent, c->held);
                c->core.clear_input();
            } else {
                moved.swap(c->core.read_buffer());
            }
        }))
        return nullptr;
    // The codec's lock is released: only the decoder's is taken now.
    if (lent) {
        PyObject* drops[2] = {nullptr, nullptr};
        try {
            wl_h1body_feed_borrowed(a[0], lent, rest, drops);
        } catch (const std::bad_alloc&) {
            // The decoder is unchanged: the codec borrows the bytes again,
            // or copies them in front of anything buffered meanwhile.
            step(c, [&] {
                if (c->core.borrow(rest.data(), rest.size()))
                    std::swap(lent, c->held);  // held was NULL: nothing borrowed
                else
                    c->core.read_buffer().prepend(rest.data(), rest.size());
            });
            Py_XDECREF(lent);
            PyErr_Clear();
            return PyErr_NoMemory();
        }
        Py_XDECREF(drops[0]);
        Py_XDECREF(drops[1]);
        Py_RETURN_NONE;
    }
    try {
        Py_XDECREF(wl_h1body_feed_native(a[0], moved));  // no lock is held here
    } catch (const std::bad_alloc&) {
        // The decoder is unchanged: the bytes go back in front of anything
        // buffered meanwhile.
        try {
            wl_h1codec_prepend_native(c, moved);
        } catch (const std::bad_alloc&) {
        }
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

PyObject* codec_get_parse_error_status(PyObject* o, void*) {
    WlH1Codec* c = as_codec(o);
    uint16_t s = 0;
    if (!step(c, [&] { s = c->core.parse_error_status(); })) return nullptr;
    if (!s) Py_RETURN_NONE;
    return PyLong_FromLong(s);
}

PyObject* codec_get_max_buf_size(PyObject* o, void*) {
    // Immutable after construction: no lock needed.
    return PyLong_FromUnsignedLongLong(as_codec(o)->core.config().max_buf_size);
}

template <bool (Codec::*Flag)() const>
PyObject* codec_get_flag(PyObject* o, void*) {
    WlH1Codec* c = as_codec(o);
    bool v = false;
    if (!step(c, [&] { v = (c->core.*Flag)(); })) return nullptr;
    return wl_bool(v);
}


PyMethodDef codec_methods[] = {
    {"feed", WL_METH(codec_feed), METH_FASTCALL | METH_KEYWORDS,
     "feed($self, data)\n--\n\nAppend bytes to the read buffer without parsing."},
    {"receive_request_head", WL_METH(codec_receive_request_head), METH_FASTCALL | METH_KEYWORDS,
     "receive_request_head($self, data)\n--\n\nAppend data and parse one request head: an H1RequestHead, "
     "or None when more bytes are needed."},
    {"receive_head", WL_METH(codec_receive_head), METH_FASTCALL | METH_KEYWORDS,
     "receive_head($self, data)\n--\n\nAppend data and parse one response head (interim 1xx heads are "
     "skipped): an H1ResponseHead, or None when more bytes are needed."},
    {"serialize_request", WL_METH(codec_serialize_request), METH_FASTCALL | METH_KEYWORDS,
     "serialize_request($self, method, url, headers=None, *, http10=False, content_length=None, "
     "chunked=False)\n--\n\nWrite a request head and install the body encoder."},
    {"serialize_response", WL_METH(codec_serialize_response), METH_FASTCALL | METH_KEYWORDS,
     "serialize_response($self, status, headers=None, *, keep_alive=True, http10=False, "
     "content_length=None, chunked=False)\n--\n\nWrite a response head and install the body encoder."},
    {"continue_response", WL_NOARGS(codec_continue_response), METH_NOARGS | METH_STATIC,
     "continue_response()\n--\n\nThe interim 100 Continue response."},
    {"connection_close", WL_METH(codec_connection_close), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "connection_close(headers)\n--\n\nWhether any connection field lists the close token."},
    {"serialize_data", WL_METH(codec_serialize_data), METH_FASTCALL | METH_KEYWORDS,
     "serialize_data($self, chunk)\n--\n\nFrame one body chunk for the wire."},
    {"serialize_end", WL_NOARGS(codec_serialize_end), METH_NOARGS,
     "serialize_end($self)\n--\n\nThe bytes that end the body."},
    {"serialize_trailers", WL_METH(codec_serialize_trailers), METH_FASTCALL | METH_KEYWORDS,
     "serialize_trailers($self, trailers)\n--\n\nEnd a chunked body with trailer fields."},
    {"serialize_head_and_body", WL_METH(codec_serialize_head_and_body), METH_FASTCALL | METH_KEYWORDS,
     "serialize_head_and_body($self, head, body=None, trailers=None)\n--\n\nThe head, the framed body and its "
     "end in one bytes object."},
    {"body_is_eof", WL_NOARGS(codec_body_is_eof), METH_NOARGS,
     "body_is_eof($self)\n--\n\nWhether the body in flight carries no more bytes."},
    {"reset", WL_NOARGS(codec_reset), METH_NOARGS,
     "reset($self)\n--\n\nPrepare for the next message; buffered bytes stay."},
    {"buffered", WL_NOARGS(codec_buffered), METH_NOARGS,
     "buffered($self)\n--\n\nThe number of bytes in the read buffer."},
    {"take_body", WL_NOARGS(codec_take_body), METH_NOARGS,
     "take_body($self)\n--\n\nRemove and return every byte of the read buffer."},
    {"take_body_into", WL_METH(codec_take_body_into), METH_FASTCALL | METH_KEYWORDS,
     "take_body_into($self, decoder)\n--\n\nMove the read buffer into an H1BodyDecoder."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef codec_getset[] = {
    {"parse_error_status", WL_GUARD(codec_get_parse_error_status), nullptr,
     "The automatic response status after a failed request parse, or None.", nullptr},
    {"max_buf_size", WL_GUARD(codec_get_max_buf_size), nullptr, "The cap on an incomplete head.", nullptr},
    {"request_connection_close", WL_GUARD(codec_get_flag<&Codec::request_connection_close>), nullptr,
     "The last serialized request asked to close the connection.", nullptr},
    {"response_is_last", WL_GUARD(codec_get_flag<&Codec::response_is_last>), nullptr,
     "The connection closes after the last serialized response.", nullptr},
    {"response_close_delimited", WL_GUARD(codec_get_flag<&Codec::response_close_delimited>), nullptr,
     "The last serialized response's body ends by closing the connection.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot codec_slots[] = {
    {Py_tp_new, WL_SLOT(codec_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(codec_dealloc)},
    {Py_tp_methods, codec_methods},
    {Py_tp_getset, codec_getset},
    {Py_tp_doc, const_cast<char*>(
                    "H1Codec(*, max_headers=None, ignore_invalid_headers=False, title_case_headers=False, "
                    "date_header=True, max_buf_size=417792)\n--\n\n"
                    "The sans-I/O HTTP/1.1 codec of one connection: parses heads from received bytes, "
                    "serializes heads and frames bodies.")},
    {0, nullptr},
};

PyType_Spec codec_spec = {WL_TYPE_NAME("H1Codec"), sizeof(WlH1Codec), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, codec_slots};

// ---------------------------------------------------------------- heads

WlH1RequestHead* as_req(PyObject* o) { return reinterpret_cast<WlH1RequestHead*>(o); }
WlH1ResponseHead* as_resp(PyObject* o) { return reinterpret_cast<WlH1ResponseHead*>(o); }

void req_dealloc(PyObject* o) {
    WlH1RequestHead* h = as_req(o);
    Py_XDECREF(h->method);
    Py_XDECREF(h->target);
    Py_XDECREF(h->headers);
    g_spare_requests.release(h);
}

void resp_dealloc(PyObject* o) {
    WlH1ResponseHead* h = as_resp(o);
    Py_XDECREF(h->headers);
    g_spare_responses.release(h);
}

PyObject* req_repr(PyObject* o) {
    WlH1RequestHead* h = as_req(o);
    return PyUnicode_FromFormat("H1RequestHead(method=%R, target=%R, body_kind=%U)", h->method, h->target,
                                g_kinds[int(h->body_kind)]);
}

PyObject* resp_repr(PyObject* o) {
    WlH1ResponseHead* h = as_resp(o);
    return PyUnicode_FromFormat("H1ResponseHead(status=%u, body_kind=%U, keep_alive=%s)", unsigned(h->status),
                                g_kinds[int(h->body_kind)], h->keep_alive ? "true" : "false");
}

PyObject* req_content_length(PyObject* o, void*) {
    return content_length_obj(as_req(o)->body_kind, as_req(o)->content_length);
}
template <bool WlH1RequestHead::*F>
PyObject* req_flag(PyObject* o, void*) {
    return wl_bool(as_req(o)->*F);
}

PyObject* resp_status(PyObject* o, void*) { return PyLong_FromLong(as_resp(o)->status); }
PyObject* resp_content_length(PyObject* o, void*) {
    return content_length_obj(as_resp(o)->body_kind, as_resp(o)->content_length);
}
template <bool WlH1ResponseHead::*F>
PyObject* resp_flag(PyObject* o, void*) {
    return wl_bool(as_resp(o)->*F);
}

// The object attributes are member slots, which the interpreter reads
// without calling into the module.
PyMemberDef req_members[] = {
    {"method", WL_T_OBJECT, offsetof(WlH1RequestHead, method), WL_READONLY, "The request method (str)."},
    {"target", WL_T_OBJECT, offsetof(WlH1RequestHead, target), WL_READONLY, "The request-target (str)."},
    {"headers", WL_T_OBJECT, offsetof(WlH1RequestHead, headers), WL_READONLY,
     "Every header line in received order (HeaderMap)."},
    {"body_kind", WL_T_OBJECT, offsetof(WlH1RequestHead, kind_name), WL_READONLY,
     "\"empty\", \"length\" or \"chunked\"."},
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef resp_members[] = {
    {"headers", WL_T_OBJECT, offsetof(WlH1ResponseHead, headers), WL_READONLY,
     "Every header line in received order (HeaderMap)."},
    {"body_kind", WL_T_OBJECT, offsetof(WlH1ResponseHead, kind_name), WL_READONLY,
     "\"empty\", \"length\", \"chunked\" or \"close\"."},
    {nullptr, 0, 0, 0, nullptr},
};

// Assigning or deleting an attribute fails with the same message for the
// member slots as for the computed attributes.
template <PyMemberDef* Members>
int head_setattro(PyObject* o, PyObject* name, PyObject* value) {
    if (PyUnicode_Check(name))
        for (const PyMemberDef* m = Members; m->name; ++m)
            if (PyUnicode_CompareWithASCIIString(name, m->name) == 0) {
                PyErr_Format(PyExc_AttributeError, "attribute '%U' of '%s' objects is not writable", name,
                             Py_TYPE(o)->tp_name);
                return -1;
            }
    return PyObject_GenericSetAttr(o, name, value);
}

PyGetSetDef req_getset[] = {
    {"content_length", req_content_length, nullptr, "The body length; 0 for empty; None for chunked.", nullptr},
    {"keep_alive", req_flag<&WlH1RequestHead::keep_alive>, nullptr,
     "The connection may stay open after this exchange.", nullptr},
    {"expect_continue", req_flag<&WlH1RequestHead::expect_continue>, nullptr,
     "The request carries expect: 100-continue.", nullptr},
    {"is_upgrade", req_flag<&WlH1RequestHead::is_upgrade>, nullptr,
     "The connection becomes a tunnel (CONNECT, or an HTTP/1.1 upgrade).", nullptr},
    {"http10", req_flag<&WlH1RequestHead::http10>, nullptr, "The request line said HTTP/1.0.", nullptr},
    {"allow_trailers", req_flag<&WlH1RequestHead::allow_trailers>, nullptr,
     "A te field lists the trailers token.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef resp_getset[] = {
    {"status", resp_status, nullptr, "The status code.", nullptr},
    {"content_length", resp_content_length, nullptr,
     "The body length; 0 for empty; None for chunked and close.", nullptr},
    {"keep_alive", resp_flag<&WlH1ResponseHead::keep_alive>, nullptr,
     "The connection may be reused after this response.", nullptr},
    {"is_upgrade", resp_flag<&WlH1ResponseHead::is_upgrade>, nullptr,
     "The connection becomes a raw tunnel (101, or a 2xx answer to CONNECT).", nullptr},
    {"http10", resp_flag<&WlH1ResponseHead::http10>, nullptr, "The status line said HTTP/1.0.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot req_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(req_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(req_repr)},
    {Py_tp_members, req_members},
    {Py_tp_getset, req_getset},
    {Py_tp_setattro, reinterpret_cast<void*>(head_setattro<req_members>)},
    {Py_tp_doc, const_cast<char*>("A parsed HTTP/1 request head (read-only).")},
    {0, nullptr},
};

PyType_Slot resp_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(resp_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(resp_repr)},
    {Py_tp_members, resp_members},
    {Py_tp_getset, resp_getset},
    {Py_tp_setattro, reinterpret_cast<void*>(head_setattro<resp_members>)},
    {Py_tp_doc, const_cast<char*>("A parsed HTTP/1 response head (read-only).")},
    {0, nullptr},
};

PyType_Spec req_spec = {WL_TYPE_NAME("H1RequestHead"), sizeof(WlH1RequestHead), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                        req_slots};
PyType_Spec resp_spec = {WL_TYPE_NAME("H1ResponseHead"), sizeof(WlH1ResponseHead), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         resp_slots};

}  // namespace

int wl_add_h1codec(PyObject* m) {
    if (init_shared() < 0) return -1;
    if (wl_add_type(m, &WL_H1CodecType, &codec_spec) < 0) return -1;
    if (wl_add_type(m, &WL_H1ResponseHeadType, &resp_spec) < 0) return -1;
    if (wl_add_type(m, &WL_H1RequestHeadType, &req_spec) < 0) return -1;
    return wl_add_h1body(m);
}
