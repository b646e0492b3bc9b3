// H1BodyDecoder: the Python face of wl::h1::BodyDecoder.
#include "h1/body.h"

#include <cstring>
#include <new>

#include "core/copy.h"
#include "errors/errors.h"
#include "h1/codec.h"
#include "http/headermap.h"
#include "py/kept.h"

PyTypeObject* WL_H1BodyDecoderType = nullptr;

namespace {

using wl::h1::BodyDecoder;
using wl::h1::BodyKind;

constexpr const char* kCtorName = "H1BodyDecoder";

// size_hint when the next piece is all of the held bytes object, which is
// handed out as it is: nothing to allocate.
constexpr size_t kHintHeld = SIZE_MAX;

}  // namespace

// Whether a next piece of n bytes is all of the held object, which can then
// be handed out as it is (an exact bytes only: a subclass is copied). The
// borrowed bytes lie inside the held object, so a piece as long is all of it.
static bool whole_held(WlH1BodyDecoder* d, size_t n) {
    return d->held && d->dec.borrowing() && PyBytes_CheckExact(d->held) && n == size_t(PyBytes_GET_SIZE(d->held));
}

// The size of the next piece decode() will hand out (kHintHeld for the held
// object itself, 0 for none), stored for decode() to allocate its result
// before locking. Under the decoder's lock.
static void update_hint(WlH1BodyDecoder* d) {
    size_t n = d->dec.next_piece_size();
    if (n && whole_held(d, n)) n = kHintHeld;
    d->size_hint.store(n, std::memory_order_relaxed);
}

namespace {

// Decoders released lately with nothing left to read, kept whole for the
// next bodies (one per request otherwise costs an object allocation and its
// set-up), each with an input buffer of at most kSpareInput bytes.
constexpr size_t kSpareInput = 16384;
wl::KeptObjects<WlH1BodyDecoder, 4> g_spare_decoders;

// Keeps a released decoder, its references already dropped, when there is
// room and its input is empty (a buffer larger than kSpareInput is freed).
bool keep_spare(WlH1BodyDecoder* d) {
    if (g_spare_decoders.full() || d->dec.borrowing() || d->dec.buffered() != 0) return false;
    if (d->dec.input().capacity() > kSpareInput) {
        wl::ByteBuf big;
        d->dec.take_input(big);  // swaps the empty buffer out: nothing to copy
    }
    d->size_hint.store(0, std::memory_order_relaxed);
    d->spare_cap[0] = d->spare_cap[1] = 0;
    d->spare_last = 0;
    g_spare_decoders.put(d);
    return true;
}

PyObject* alloc_decoder(PyTypeObject* tp, BodyKind kind, uint64_t length) {
    if (!g_spare_decoders.empty()) {
        WlH1BodyDecoder* self = g_spare_decoders.take(tp);
        self->dec.reset(kind, length);  // input empty, nothing borrowed
        return reinterpret_cast<PyObject*>(self);
    }
    auto* self = reinterpret_cast<WlH1BodyDecoder*>(tp->tp_alloc(tp, 0));
    if (!self) return nullptr;
    new (&self->mu) wl::Mutex();
    new (&self->dec) BodyDecoder(kind, length);  // allocates nothing
    self->held = nullptr;
    new (&self->size_hint) std::atomic<size_t>(0);
    self->spare[0] = self->spare[1] = nullptr;
    self->spare_cap[0] = self->spare_cap[1] = 0;
    self->spare_last = 0;
    return reinterpret_cast<PyObject*>(self);
}

PyObject* make_decoder(PyTypeObject* tp, PyObject* kind_o, PyObject* length_o) {
    BodyKind kind = BodyKind::Empty;
    // A head's body_kind is one of the shared kind names: no text to compare.
    if (kind_o == wl_h1_body_kind_str(BodyKind::Chunked)) {
        kind = BodyKind::Chunked;
    } else if (kind_o == wl_h1_body_kind_str(BodyKind::Length)) {
        kind = BodyKind::Length;
    } else {
        WlStrArg kind_s;
        if (wl_conv_str(kind_o, kCtorName, "kind", &kind_s) < 0) return nullptr;
        kind = wl::h1::body_kind_from_name(kind_s.v);
    }
    uint64_t length = 0;
    if (length_o && wl_conv_uint(length_o, kCtorName, "length", UINT64_MAX, &length) < 0) return nullptr;
    return alloc_decoder(tp, kind, length);
}

// H1BodyDecoder(kind, length=0)
PyObject* decoder_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    PyObject* kind_o = nullptr;
    PyObject* length_o = nullptr;
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most 2 positional arguments (%zd given)", kCtorName,
                     nargs);
        return nullptr;
    }
    if (nargs > 0) kind_o = PyTuple_GET_ITEM(args, 0);
    if (nargs > 1) length_o = PyTuple_GET_ITEM(args, 1);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyObject** slot = nullptr;
            int is_kind = PyUnicode_Check(key) ? PyUnicode_CompareWithASCIIString(key, "kind") : -1;
            if (is_kind == 0) {
                slot = &kind_o;
            } else if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "length") == 0) {
                slot = &length_o;
            } else {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", kCtorName, key);
                return nullptr;
            }
            if (*slot) {
                PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%d)",
                             kCtorName, slot == &kind_o ? "kind" : "length", slot == &kind_o ? 1 : 2);
                return nullptr;
            }
            *slot = value;
        }
    }
    if (!kind_o) {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument 'kind' (pos 1)", kCtorName);
        return nullptr;
    }
    return make_decoder(tp, kind_o, length_o);
}

WL_ARGSPEC(ctor_spec, kCtorName, 2, 1, "kind", "length");

// H1BodyDecoder(...) without the argument tuple: the usual way in, once per body.
PyObject* decoder_vectorcall(PyObject* tp, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* a[2] = {nullptr, nullptr};
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs >= 1 && nargs <= 2 && !kwnames) {
        a[0] = args[0];
        if (nargs == 2) a[1] = args[1];
    } else if (wl_parse_args(ctor_spec, args, nargs, kwnames, a) < 0) {
        return nullptr;
    }
    return make_decoder(reinterpret_cast<PyTypeObject*>(tp), a[0], a[1]);
}

void decoder_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    WlH1BodyDecoder* d = wl_h1body(self);
    if (!d->dec.borrowing()) {
        // Bytes objects only: releasing them runs no Python code.
        Py_CLEAR(d->held);
        Py_CLEAR(d->spare[0]);
        Py_CLEAR(d->spare[1]);
        if (keep_spare(d)) {
            Py_DECREF(tp);
            return;
        }
    }
    d->dec.~BodyDecoder();
    Py_CLEAR(d->held);
    Py_CLEAR(d->spare[0]);
    Py_CLEAR(d->spare[1]);
    tp->tp_free(self);
    Py_DECREF(tp);
}

WL_ARGSPEC(feed_spec, "feed", 1, 1, "data");

PyObject* decoder_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data_o;
    if (nargs == 1 && !kwnames) {
        data_o = args[0];
    } else if (wl_parse_args(feed_spec, args, nargs, kwnames, &data_o) < 0) {
        return nullptr;
    }
    std::string_view data;
    if (wl_conv_bytes(data_o, "feed", "data", &data) < 0) return nullptr;
    if (data.empty()) Py_RETURN_NONE;
    WlH1BodyDecoder* d = wl_h1body(self);
    // With nothing buffered the decoder reads straight from data_o, which
    // is kept alive instead of copied; otherwise the bytes are appended.
    PyObject* keep = data_o;
    PyObject* drop = nullptr;
    Py_INCREF(keep);
    try {
        WlLock g(d->mu);
        if (d->dec.borrow(data.data(), data.size())) {
            drop = d->held;
            d->held = keep;
            keep = nullptr;
        } else {
            d->dec.feed(data);
            if (!d->dec.borrowing()) {
                drop = d->held;
                d->held = nullptr;
            }
        }
        update_hint(d);
    } catch (const std::bad_alloc&) {
        Py_DECREF(keep);
        return PyErr_NoMemory();
    }
    Py_XDECREF(keep);
    Py_XDECREF(drop);
    Py_RETURN_NONE;
}

PyObject* decoder_mark_eof(PyObject* self, PyObject*) {
    WlH1BodyDecoder* d = wl_h1body(self);
    {
        WlLock g(d->mu);
        d->dec.mark_eof();
    }
    Py_RETURN_NONE;
}

// Results are refilled only under the interpreter lock: without it the
// references to an object are not all counted in one place, so "only ours"
// cannot be told, and no spares are kept.
#ifdef Py_GIL_DISABLED
constexpr bool kKeepSpares = false;
#else
constexpr bool kKeepSpares = true;
#endif

// Whether the decoder's is the only reference to o, so nobody can see it change.
bool only_ours(const PyObject* o) { return kKeepSpares && Py_REFCNT(o) == 1; }

// A spare result that can carry a piece of n bytes: nobody else refers to
// it, and it is at most twice that size (so little memory sits unused).
int spare_for(const WlH1BodyDecoder* d, size_t n) {
    for (int i = 0; i < 2; ++i) {
        const PyObject* o = d->spare[i];
        if (o && only_ours(o) && n <= d->spare_cap[i] && n >= d->spare_cap[i] / 2) return i;
    }
    return -1;
}

// Makes the unshared bytes object o hold n bytes (at most what it was made
// with) as a fresh object would: terminating NUL, no cached hash.
void refit(PyObject* o, size_t n) {
    Py_SET_SIZE(o, Py_ssize_t(n));
    PyBytes_AS_STRING(o)[n] = '\0';
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    reinterpret_cast<PyBytesObject*>(o)->ob_shash = -1;
#pragma GCC diagnostic pop
}

// Results released by their callers and let go of by decoders (an idle
// one keeps none), kept for the next pieces of any decoder: a body read in
// socket-sized pieces would otherwise allocate its first results anew after
// every read. Exact bytes objects only the pool refers to, each with the
// size it was made with; guarded by the interpreter lock (none without it).
constexpr size_t kPooledMax = 65536;
constexpr int kPooled = kKeepSpares ? 4 : 0;
struct Pooled {
    PyObject* o;
    size_t cap;
};
Pooled g_pooled[kPooled > 0 ? kPooled : 1];
int g_pooled_n = 0;

// Takes over o's reference (and returns true) when the pool can keep it,
// in place of the oldest when full (returned in *evicted, else NULL).
bool pool_put(PyObject* o, size_t cap, PyObject** evicted) {
    *evicted = nullptr;
    if (!o || !kPooled || cap > kPooledMax || !only_ours(o) || !PyBytes_CheckExact(o)) return false;
    if (g_pooled_n == kPooled) {
        *evicted = g_pooled[0].o;
        for (int i = 1; i < kPooled; ++i) g_pooled[i - 1] = g_pooled[i];
        --g_pooled_n;
    }
    g_pooled[g_pooled_n++] = {o, cap};
    return true;
}

// A result for a piece of n bytes (a new reference, or NULL with an
// exception set) and the size it was made with: a pooled one when one fits
// as a spare would, else a new one.
PyObject* new_result(size_t n, size_t* cap) {
    for (int i = 0; i < g_pooled_n; ++i) {
        if (n <= g_pooled[i].cap && n >= g_pooled[i].cap / 2) {
            PyObject* o = g_pooled[i].o;
            *cap = g_pooled[i].cap;
            for (int j = i + 1; j < g_pooled_n; ++j) g_pooled[j - 1] = g_pooled[j];
            --g_pooled_n;
            refit(o, n);
            return o;
        }
    }
    *cap = n;
    return PyBytes_FromStringAndSize(nullptr, Py_ssize_t(n));
}

// Releases o, or keeps it in the pool (no lock may be held).
void drop_result(PyObject* o, size_t cap) {
    PyObject* evicted;
    if (!pool_put(o, cap, &evicted)) Py_XDECREF(o);
    Py_XDECREF(evicted);
}

// No Python object is made or released under the lock. The result comes
// from, in order: the object fed last, when the piece is all of it (handed
// out as it is); a spare result nobody else refers to any more; a bytes
// object allocated before locking for the size the previous call left in
// size_hint. Should none fit (another thread changed the input meanwhile),
// the size learned is allocated after unlocking and the step repeated, so a
// failed allocation consumes nothing.
PyObject* decoder_decode(PyObject* self, PyObject*) {
    WlH1BodyDecoder* d = wl_h1body(self);
    PyObject* out = nullptr;  // allocated for the piece expected
    size_t out_cap = 0;       // the size out was made with
    size_t hint = d->size_hint.load(std::memory_order_relaxed);
    // The spares are read without the lock here only to skip an allocation
    // (the interpreter lock, which this thread holds, keeps them as they
    // are; without it there are none); the choice is made under the lock.
    if (hint && hint != kHintHeld && spare_for(d, hint) < 0) {
        out = new_result(hint, &out_cap);
        if (!out) PyErr_Clear();  // retried below with the exact size
    }
    for (;;) {
        enum { Done, Retry, None, Failed, NoMemory } next = Done;
        size_t want = 0;
        PyObject* drops[4] = {};  // released (or pooled) after unlocking
        size_t drop_caps[4] = {};
        wl::h1::Failure failure;
        {
            WlLock g(d->mu);
            std::string_view piece;
            BodyDecoder::Status st = BodyDecoder::Status::Failed;
            try {
                st = d->dec.peek(&piece);
            } catch (const std::bad_alloc&) {
                next = NoMemory;
            }
            int reuse = -1;
            if (next == NoMemory) {
            } else if (st != BodyDecoder::Status::Data) {
                next = st == BodyDecoder::Status::Failed ? Failed : None;
                if (next == Failed) failure = d->dec.failure();
            } else if (whole_held(d, piece.size())) {
                d->dec.commit(piece.size());
                drops[0] = out;  // not needed
                drop_caps[0] = out_cap;
                out = d->held;   // the decoder's reference moves to the caller
                d->held = nullptr;
            } else if ((reuse = spare_for(d, piece.size())) >= 0 ||
                       (out && size_t(PyBytes_GET_SIZE(out)) == piece.size())) {
                if (reuse >= 0) {
                    drops[0] = out;  // not needed
                    drop_caps[0] = out_cap;
                    out = d->spare[reuse];
                    refit(out, piece.size());
                    Py_INCREF(out);  // the spare keeps its reference
                    d->spare_last = uint8_t(reuse);
                } else if (kKeepSpares) {
                    // Kept as a spare: in an empty slot, else in place of
                    // one nobody uses but too large or small, else of the older.
                    int slot = 1 - d->spare_last;
                    for (int i = 0; i < 2; ++i)
                        if (d->spare[i] && only_ours(d->spare[i])) slot = i;
                    for (int i = 0; i < 2; ++i)
                        if (!d->spare[i]) slot = i;
                    drops[0] = d->spare[slot];
                    drop_caps[0] = d->spare_cap[slot];
                    d->spare[slot] = Py_NewRef(out);
                    d->spare_cap[slot] = out_cap;
                    d->spare_last = uint8_t(slot);
                }
                wl::copy_bytes(PyBytes_AS_STRING(out), piece.data(), piece.size());
                d->dec.commit(piece.size());
            } else {
                next = Retry;
                want = piece.size();
            }
            if (d->held && !d->dec.borrowing()) {
                drops[1] = d->held;  // the fed object, once nothing borrows it
                d->held = nullptr;
            }
            if (next != Done && next != Retry) {
                // Nothing to hand out: the spares go too.
                drops[2] = d->spare[0];
                drops[3] = d->spare[1];
                drop_caps[2] = d->spare_cap[0];
                drop_caps[3] = d->spare_cap[1];
                d->spare[0] = d->spare[1] = nullptr;
            }
            update_hint(d);
        }
        Py_XDECREF(drops[1]);  // the fed object: may be anything bytes-like
        for (int i : {0, 2, 3})
            if (drops[i]) drop_result(drops[i], drop_caps[i]);
        if (next == Done) return out;
        drop_result(out, out_cap);
        out = nullptr;
        switch (next) {
            case None:
                Py_RETURN_NONE;
            case Failed:
                return wl_raise_h1_failure(failure);
            case NoMemory:
                return PyErr_NoMemory();
            default:
                break;
        }
        out = new_result(want, &out_cap);
        if (!out) return nullptr;
    }
}

PyObject* decoder_take_trailers(PyObject* self, PyObject*) {
    WlH1BodyDecoder* d = wl_h1body(self);
    wl::HeaderList trailers;
    bool taken;
    {
        WlLock g(d->mu);
        taken = d->dec.take_trailers(trailers);
    }
    if (!taken) Py_RETURN_NONE;
    return wl_headermap_from(std::move(trailers));
}

PyObject* decoder_is_complete(PyObject* self, void*) { return wl_bool(wl_h1body_is_complete(self)); }

PyObject* decoder_buffered(PyObject* self, void*) {
    WlH1BodyDecoder* d = wl_h1body(self);
    size_t n;
    {
        WlLock g(d->mu);
        n = d->dec.buffered();
    }
    return PyLong_FromSize_t(n);
}

PyMethodDef decoder_methods[] = {
    {"feed", WL_METH(decoder_feed),
     METH_FASTCALL | METH_KEYWORDS,
     "feed($self, data)\n--\n\nAppend received bytes to the input buffer."},
    {"mark_eof", WL_NOARGS(decoder_mark_eof), METH_NOARGS,
     "mark_eof($self)\n--\n\nThe transport closed: no more input will come."},
    {"decode", WL_NOARGS(decoder_decode), METH_NOARGS,
     "decode($self)\n--\n\nThe next piece of body data as bytes, or None when the body is complete "
     "or more input is needed (see is_complete). Raises H1BodyError on a malformed or truncated "
     "body."},
    {"take_trailers", WL_NOARGS(decoder_take_trailers), METH_NOARGS,
     "take_trailers($self)\n--\n\nThe trailers of a completed chunked body as a new HeaderMap, or "
     "None. They are moved out: a second call returns None."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef decoder_getset[] = {
    {"is_complete", WL_GUARD(decoder_is_complete), nullptr, "True once the whole body has been decoded.", nullptr},
    {"buffered", WL_GUARD(decoder_buffered), nullptr,
     "Bytes in the input buffer; after completion, bytes the peer sent past the body.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot decoder_slots[] = {
    {Py_tp_new, WL_SLOT(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decoder_dealloc)},
    {Py_tp_methods, decoder_methods},
    {Py_tp_getset, decoder_getset},
    {Py_tp_doc, const_cast<char*>(
                    "H1BodyDecoder(kind, length=0)\n--\n\nDecoder of one received HTTP/1 body. kind is "
                    "\"length\" (length bytes), \"chunked\", \"close\" (until mark_eof) or anything "
                    "else for an empty body.")},
    {0, nullptr},
};

PyType_Spec decoder_spec = {WL_TYPE_NAME("H1BodyDecoder"), sizeof(WlH1BodyDecoder), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, decoder_slots};

}  // namespace

// The held bytes object once the decoder stopped borrowing it (to be
// released by the caller after unlocking), else NULL.
static PyObject* release_unborrowed(WlH1BodyDecoder* d) {
    if (!d->held || d->dec.borrowing()) return nullptr;
    PyObject* h = d->held;
    d->held = nullptr;
    return h;
}

PyObject* wl_h1body_feed_native(PyObject* decoder, wl::ByteBuf& src) {
    WlH1BodyDecoder* d = wl_h1body(decoder);
    WlLock g(d->mu);
    d->dec.feed(src);
    update_hint(d);
    return release_unborrowed(d);
}

void wl_h1body_feed_borrowed(PyObject* decoder, PyObject* obj, std::string_view data, PyObject* drops[2]) {
    WlH1BodyDecoder* d = wl_h1body(decoder);
    WlLock g(d->mu);
    if (d->dec.borrow(data.data(), data.size())) {
        drops[0] = d->held;
        d->held = obj;
    } else {
        d->dec.feed(data);
        drops[0] = obj;
        drops[1] = release_unborrowed(d);
    }
    update_hint(d);
}

PyObject* wl_h1body_new(BodyKind kind, uint64_t length) {
    if (!WL_H1BodyDecoderType) {
        PyErr_SetString(PyExc_RuntimeError, "H1BodyDecoder is not initialized");
        return nullptr;
    }
    return alloc_decoder(WL_H1BodyDecoderType, kind, length);
}

PyObject* wl_h1body_take_input(PyObject* decoder, wl::ByteBuf& out) {
    WlH1BodyDecoder* d = wl_h1body(decoder);
    WlLock g(d->mu);
    if (d->dec.buffered() == 0) return release_unborrowed(d);  // nothing to move
    d->dec.take_input(out);
    d->size_hint.store(0, std::memory_order_relaxed);
    return release_unborrowed(d);
}

size_t wl_h1body_buffered(PyObject* decoder) {
    WlH1BodyDecoder* d = wl_h1body(decoder);
    WlLock g(d->mu);
    return d->dec.buffered();
}

void wl_h1body_reset_native(PyObject* decoder, BodyKind kind, uint64_t length, wl::ByteBuf& input) {
    WlH1BodyDecoder* d = wl_h1body(decoder);
    WlLock g(d->mu);
    d->dec = BodyDecoder(kind, length);
    d->dec.feed(input);
    update_hint(d);
}

bool wl_h1body_is_complete(PyObject* decoder) {
    WlH1BodyDecoder* d = wl_h1body(decoder);
    WlLock g(d->mu);
    return d->dec.is_complete();
}

bool wl_h1body_failed(PyObject* decoder) {
    WlH1BodyDecoder* d = wl_h1body(decoder);
    WlLock g(d->mu);
    return d->dec.failed();
}

int wl_add_h1body(PyObject* m) {
    if (wl_add_type(m, &WL_H1BodyDecoderType, &decoder_spec) < 0) return -1;
    WL_H1BodyDecoderType->tp_vectorcall = WL_GUARD(decoder_vectorcall);
    return 0;
}
