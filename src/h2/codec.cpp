// H2Codec and the HTTP/2 frame classes.
#include "h2/codec.h"

#include "py/kept.h"
#include "py/members.h"

#include <cstring>
#include <new>
#include <string>

#include "errors/errors.h"
#include "http/headermap.h"
#include "proto/h2/frame_encoder.h"

using wl::h2::ConnError;
using wl::h2::FrameDecoder;
using wl::h2::FrameEncoder;

PyTypeObject* WL_H2CodecType = nullptr;
PyTypeObject* WL_H2FrameHeadersType = nullptr;
PyTypeObject* WL_H2FrameDataType = nullptr;
PyTypeObject* WL_H2FrameSettingsType = nullptr;
PyTypeObject* WL_H2FrameWindowUpdateType = nullptr;
PyTypeObject* WL_H2FramePingType = nullptr;
PyTypeObject* WL_H2FrameGoAwayType = nullptr;
PyTypeObject* WL_H2FrameRstStreamType = nullptr;
PyTypeObject* WL_H2FramePriorityType = nullptr;
PyTypeObject* WL_H2FrameStreamErrorType = nullptr;

namespace {

// Interned method and scheme strings, shared by every decoded frame.
PyObject* g_methods[9];  // in the order of wl::h2::Method
PyObject* g_http;
PyObject* g_https;

int init_interned() {
    if (g_https) return 0;
    static const char* const names[9] = {"GET",     "POST",    "PUT",   "DELETE", "HEAD",
                                         "OPTIONS", "CONNECT", "PATCH", "TRACE"};
    for (int i = 0; i < 9; ++i)
        if (!g_methods[i] && !(g_methods[i] = PyUnicode_InternFromString(names[i]))) return -1;
    if (!g_http && !(g_http = PyUnicode_InternFromString("http"))) return -1;
    if (!(g_https = PyUnicode_InternFromString("https"))) return -1;
    return 0;
}

template <class T>
T* alloc_frame(PyTypeObject* tp) {
    // Frame objects hold no references that could form cycles, so they are
    // plain (untracked) objects.
    T* self = PyObject_New(T, tp);  // takes the instance's reference to its heap type
    if (!self) return nullptr;
    std::memset(reinterpret_cast<char*>(self) + sizeof(PyObject), 0, sizeof(T) - sizeof(PyObject));
    return self;
}

// Optional attributes hold None rather than NULL.
void none_if_null(PyObject*& p) {
    if (!p) p = Py_NewRef(Py_None);
}

template <class T>
void frame_dealloc_plain(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(tp);
}

// A str of valid UTF-8; ASCII (the usual case) is copied straight in.
PyObject* str_of(std::string_view s) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size(), i = 0;
    uint64_t any = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        any |= w;
    }
    for (; i < n; ++i) any |= p[i];
    if (any & 0x8080808080808080ull)
        return PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(n), nullptr);
    PyObject* o = PyUnicode_New(Py_ssize_t(n), 127);
    if (o) std::memcpy(PyUnicode_DATA(o), p, n);
    return o;
}

const char* tf(bool b) { return b ? "true" : "false"; }

// Header-block frames released lately, kept (holding no references) for the
// next blocks: one decoded and dropped per request costs no allocation.
wl::KeptObjects<WlH2FrameHeaders, 4> g_kept_headers;

}  // namespace

// ------------------------------------------------------------------ frame constructors

PyObject* wl_h2_frame_data_new(const wl::h2::DataFrame& f) {
    auto* o = alloc_frame<WlH2FrameData>(WL_H2FrameDataType);
    if (!o) return nullptr;
    o->stream_id = f.stream_id;
    o->end_stream = f.end_stream;
    o->flow_controlled_len = f.flow_controlled_len;
    o->padding = f.padding;
    o->data = wl_bytes(f.data);
    if (!o->data) {
        Py_DECREF(o);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(o);
}

PyObject* wl_h2_frame_headers_new(WlH2CollectedHeaders& h, std::string_view texts) {
    using wl::h2::Pseudo;
    using T = WlH2CollectedHeaders;
    WlH2FrameHeaders* o;
    if (g_kept_headers.empty()) {
        if (!(o = alloc_frame<WlH2FrameHeaders>(WL_H2FrameHeadersType))) return nullptr;
    } else {
        o = g_kept_headers.take(WL_H2FrameHeadersType);
        std::memset(reinterpret_cast<char*>(o) + sizeof(PyObject), 0, sizeof(*o) - sizeof(PyObject));
    }
    PyObject* self = reinterpret_cast<PyObject*>(o);
    auto text = [&](T::Text k) { return texts.substr(h.off[k], h.len[k]); };
    o->stream_id = h.stream_id;
    o->end_stream = h.end_stream;
    if (h.has(Pseudo::Method)) {
        if (h.method == wl::h2::Method::Extension) {
            if (!(o->method = str_of(text(T::kMethodText)))) goto fail;
        } else {
            o->method = Py_NewRef(g_methods[unsigned(h.method)]);
        }
    }
    if (h.has(Pseudo::Scheme)) {
        std::string_view sc = text(T::kScheme);
        if (sc == "https")
            o->scheme = Py_NewRef(g_https);
        else if (sc == "http")
            o->scheme = Py_NewRef(g_http);
        else if (!(o->scheme = str_of(sc)))
            goto fail;
    }
    if (h.has(Pseudo::Authority) && !(o->authority = str_of(text(T::kAuthority)))) goto fail;
    if (h.has(Pseudo::Path) && !(o->path = str_of(text(T::kPath)))) goto fail;
    if (h.has(Pseudo::Status)) {
        o->status_code = h.status;
        o->is_informational = h.status >= 100 && h.status <= 199;
        if (!(o->status = PyLong_FromLong(h.status))) goto fail;
    }
    o->has_content_length = h.has_content_length && !h.content_length_invalid;
    o->content_length_invalid = h.content_length_invalid;
    if (o->has_content_length) {
        o->content_length_value = h.content_length;
        if (!(o->content_length = PyLong_FromUnsignedLongLong(h.content_length))) goto fail;
    }
    if (!(o->headers = wl_headermap_from(std::move(h.headers)))) goto fail;
    none_if_null(o->method);
    none_if_null(o->scheme);
    none_if_null(o->authority);
    none_if_null(o->path);
    none_if_null(o->status);
    none_if_null(o->content_length);
    return self;
fail:
    Py_DECREF(self);
    return nullptr;
}

static PyObject* opt_u32(const wl::h2::SettingsFrame& f, uint8_t bit, uint32_t v, bool* err) {
    if (!f.has(bit)) return nullptr;
    PyObject* o = PyLong_FromUnsignedLong(v);
    if (!o) *err = true;
    return o;
}

PyObject* wl_h2_frame_settings_new(const wl::h2::SettingsFrame& f) {
    using S = wl::h2::SettingsFrame;
    auto* o = alloc_frame<WlH2FrameSettings>(WL_H2FrameSettingsType);
    if (!o) return nullptr;
    new (&o->value) S(f);
    o->ack = f.ack;
    bool err = false;
    o->header_table_size = opt_u32(f, S::kHasHeaderTableSize, f.header_table_size, &err);
    if (f.has(S::kHasEnablePush)) o->enable_push = wl_bool(f.enable_push);
    o->max_concurrent_streams = opt_u32(f, S::kHasMaxConcurrentStreams, f.max_concurrent_streams, &err);
    o->initial_window_size = opt_u32(f, S::kHasInitialWindowSize, f.initial_window_size, &err);
    o->max_frame_size = opt_u32(f, S::kHasMaxFrameSize, f.max_frame_size, &err);
    o->max_header_list_size = opt_u32(f, S::kHasMaxHeaderListSize, f.max_header_list_size, &err);
    if (err) {
        Py_DECREF(o);
        return nullptr;
    }
    none_if_null(o->header_table_size);
    none_if_null(o->enable_push);
    none_if_null(o->max_concurrent_streams);
    none_if_null(o->initial_window_size);
    none_if_null(o->max_frame_size);
    none_if_null(o->max_header_list_size);
    return reinterpret_cast<PyObject*>(o);
}

PyObject* wl_h2_frame_window_update_new(const wl::h2::WindowUpdateFrame& f) {
    auto* o = alloc_frame<WlH2FrameWindowUpdate>(WL_H2FrameWindowUpdateType);
    if (!o) return nullptr;
    o->stream_id = f.stream_id;
    o->increment = f.increment;
    return reinterpret_cast<PyObject*>(o);
}

PyObject* wl_h2_frame_ping_new(const wl::h2::PingFrame& f) {
    auto* o = alloc_frame<WlH2FramePing>(WL_H2FramePingType);
    if (!o) return nullptr;
    o->ack = f.ack;
    std::memcpy(o->payload, f.data, 8);
    if (!(o->data = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(f.data), 8))) {
        Py_DECREF(o);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(o);
}

PyObject* wl_h2_frame_goaway_new(const wl::h2::GoAwayFrame& f) {
    auto* o = alloc_frame<WlH2FrameGoAway>(WL_H2FrameGoAwayType);
    if (!o) return nullptr;
    o->last_stream_id = f.last_stream_id;
    o->error_code = f.error_code;
    if (!(o->debug_data = wl_bytes(f.debug_data))) {
        Py_DECREF(o);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(o);
}

PyObject* wl_h2_frame_rst_stream_new(const wl::h2::RstStreamFrame& f) {
    auto* o = alloc_frame<WlH2FrameRstStream>(WL_H2FrameRstStreamType);
    if (!o) return nullptr;
    o->stream_id = f.stream_id;
    o->error_code = f.error_code;
    return reinterpret_cast<PyObject*>(o);
}

PyObject* wl_h2_frame_priority_new(const wl::h2::PriorityFrame& f) {
    auto* o = alloc_frame<WlH2FramePriority>(WL_H2FramePriorityType);
    if (!o) return nullptr;
    o->stream_id = f.stream_id;
    return reinterpret_cast<PyObject*>(o);
}

PyObject* wl_h2_frame_stream_error_new(const wl::h2::StreamErrorFrame& f) {
    auto* o = alloc_frame<WlH2FrameStreamError>(WL_H2FrameStreamErrorType);
    if (!o) return nullptr;
    o->stream_id = f.stream_id;
    o->error_code = f.error_code;
    return reinterpret_cast<PyObject*>(o);
}

// ------------------------------------------------------------------ decoding bridge

namespace {

// Collects frames as plain C++ values under the decoder's lock.
class CollectSink final : public wl::h2::FrameSink {
public:
    explicit CollectSink(WlH2Collected& got) : got_(got) {}
    bool on_data(const wl::h2::DataFrame& f) override { return add(f, f.data); }
    bool on_headers(wl::h2::HeadersFrame& f) override {
        using T = WlH2CollectedHeaders;
        wl::h2::HeaderFrame& h = f.fields;
        const std::string* texts[T::kTexts] = {&h.method_text, &h.authority, &h.scheme, &h.path,
                                               &h.protocol};
        size_t at = got_.bytes.size(), total = 0;
        for (const std::string* t : texts) total += t->size();
        // Every allocation first: nothing is taken from the frame until they succeeded.
        got_.frames.reserve(got_.frames.size() + 1);
        got_.offsets.reserve(got_.offsets.size() + 1);
        got_.bytes.reserve(at + total);
        T& c = std::get<T>(got_.frames.emplace_back(std::in_place_type<T>));  // reserved: cannot fail
        c.stream_id = f.stream_id;
        c.end_stream = f.end_stream;
        c.has_content_length = f.has_content_length;
        c.content_length_invalid = f.content_length_invalid;
        c.content_length = f.content_length;
        c.pseudo_mask = h.pseudo_mask;
        c.method = h.method;
        c.status = h.status;
        // Most texts are empty (a response has none): those only record
        // where they would be.
        size_t off = 0;
        for (int k = 0; k < T::kTexts; ++k) {
            size_t n = texts[k]->size();
            c.off[k] = uint32_t(off);
            c.len[k] = uint32_t(n);
            if (n) got_.bytes.append(*texts[k]);
            off += n;
        }
        c.headers.swap(h.headers);  // c's list is new and empty
        got_.offsets.push_back(at);
        return true;
    }
    bool on_settings(const wl::h2::SettingsFrame& f) override { return add(f); }
    bool on_ping(const wl::h2::PingFrame& f) override { return add(f); }
    bool on_goaway(const wl::h2::GoAwayFrame& f) override { return add(f, f.debug_data); }
    bool on_rst_stream(const wl::h2::RstStreamFrame& f) override { return add(f); }
    bool on_window_update(const wl::h2::WindowUpdateFrame& f) override { return add(f); }
    bool on_priority(const wl::h2::PriorityFrame& f) override { return add(f); }
    bool on_stream_error(const wl::h2::StreamErrorFrame& f) override { return add(f); }

private:
    template <class F>
    bool add(const F& f, std::string_view payload = {}) {
        got_.frames.reserve(got_.frames.size() + 1);
        got_.offsets.reserve(got_.offsets.size() + 1);
        size_t at = got_.bytes.size();
        got_.bytes.append(payload);
        got_.offsets.push_back(at);
        got_.frames.emplace_back(f);
        return true;
    }
    WlH2Collected& got_;
};

PyObject* frame_object(WlH2Collected::Frame& fr, std::string_view payload) {
    // For a header block `payload` starts with its pseudo-header values.
    return std::visit(
        [&](auto& f) -> PyObject* {
            using T = std::decay_t<decltype(f)>;
            if constexpr (std::is_same_v<T, wl::h2::DataFrame>) {
                f.data = payload;
                return wl_h2_frame_data_new(f);
            } else if constexpr (std::is_same_v<T, WlH2CollectedHeaders>) {
                return wl_h2_frame_headers_new(f, payload);
            } else if constexpr (std::is_same_v<T, wl::h2::SettingsFrame>) {
                return wl_h2_frame_settings_new(f);
            } else if constexpr (std::is_same_v<T, wl::h2::PingFrame>) {
                return wl_h2_frame_ping_new(f);
            } else if constexpr (std::is_same_v<T, wl::h2::GoAwayFrame>) {
                f.debug_data = payload;
                return wl_h2_frame_goaway_new(f);
            } else if constexpr (std::is_same_v<T, wl::h2::RstStreamFrame>) {
                return wl_h2_frame_rst_stream_new(f);
            } else if constexpr (std::is_same_v<T, wl::h2::WindowUpdateFrame>) {
                return wl_h2_frame_window_update_new(f);
            } else if constexpr (std::is_same_v<T, wl::h2::PriorityFrame>) {
                return wl_h2_frame_priority_new(f);
            } else {
                return wl_h2_frame_stream_error_new(f);
            }
        },
        fr);
}

}  // namespace

// The buffers of the last collection are kept: a receive call then
// allocates nothing for frames it hands straight on. A nested call (a
// finalizer that receives while results are being built) finds them in use
// and makes its own. The interpreter lock orders their users; builds
// without it keep them per thread.
namespace {
struct KeptCollection {
    WlH2Collected got;
    bool in_use = false;
};
#ifdef Py_GIL_DISABLED
thread_local KeptCollection g_kept;
#else
KeptCollection g_kept;
#endif
constexpr size_t kSpareBytes = 64 * 1024;
constexpr size_t kSpareFrames = 256;
}  // namespace

WlH2Received::WlH2Received() : kept_(!g_kept.in_use), got(kept_ ? g_kept.got : own_) {
    g_kept.in_use = true;
}

WlH2Received::~WlH2Received() {
    if (!kept_) return;
    if (got.bytes.capacity() > kSpareBytes || got.frames.capacity() > kSpareFrames) {
        got = WlH2Collected();  // an unusually large call's are freed
    } else {
        got.frames.clear();
        got.offsets.clear();
        got.bytes.clear();
    }
    g_kept.in_use = false;
}

int wl_h2_receive_begin(WlH2Received* out) {
    // Made empty with room for one frame, the usual result: appending it
    // then needs no allocation after the decoding.
    out->list = PyList_New(1);
    if (!out->list) return -1;
    Py_SET_SIZE(out->list, 0);
    return 0;
}

void wl_h2_receive_locked(FrameDecoder& dec, std::string_view data, WlH2Received* out) {
    CollectSink sink(out->got);
    // A decoder between blocks and without storage of its own borrows a
    // kept HeaderMap's: it goes back with the map that adopts the block (no
    // allocation for the block's list), or straight back when no block took
    // it.
    wl::HeaderList& block = dec.block_list();
    bool lend = !dec.header_block_pending() && block.entries().capacity() == 0;
    if (lend) wl_headermap_lend_storage(block);
    try {
        dec.receive(data, sink, &out->error);
    } catch (const std::bad_alloc&) {
        out->no_memory = true;  // raised after unlocking
    } catch (const std::length_error&) {
        out->no_memory = true;
    }
    if (lend && !dec.header_block_pending()) wl_headermap_return_storage(block);
}

PyObject* wl_h2_raise_conn_error(const ConnError& e) {
    return wl_raise_h2_protocol(e.reason(), e.message());
}

PyObject* wl_h2_receive_finish(WlH2Received* r) {
    if (r->no_memory) {
        PyErr_NoMemory();
        r->py_failed = true;
    }
    WlH2Collected& got = r->got;
    for (size_t i = 0; i < got.frames.size() && !r->py_failed; ++i) {
        size_t end = i + 1 < got.offsets.size() ? got.offsets[i + 1] : got.bytes.size();
        std::string_view payload(got.bytes.data() + got.offsets[i], end - got.offsets[i]);
        PyObject* o = frame_object(got.frames[i], payload);
        if (!o || PyList_Append(r->list, o) < 0) r->py_failed = true;
        Py_XDECREF(o);
    }
    got.frames.clear();
    if (r->py_failed || r->error) {
        Py_CLEAR(r->list);
        if (r->py_failed) return nullptr;
        return wl_h2_raise_conn_error(r->error);
    }
    PyObject* l = r->list;
    r->list = nullptr;
    return l;
}

// ------------------------------------------------------------------ frame classes

namespace {

#define RO WL_READONLY

// ---- H2FrameData
PyMemberDef data_members[] = {
    {"stream_id", WL_T_UINT, offsetof(WlH2FrameData, stream_id), RO, "Stream identifier."},
    {"end_stream", WL_T_BOOL, offsetof(WlH2FrameData, end_stream), RO, "END_STREAM flag."},
    {"data", WL_T_OBJECT, offsetof(WlH2FrameData, data), RO, "Payload without padding (bytes)."},
    {"flow_controlled_len", WL_T_UINT, offsetof(WlH2FrameData, flow_controlled_len), RO,
     "Whole frame payload length, padding included."},
    {"padding", WL_T_UINT, offsetof(WlH2FrameData, padding), RO,
     "Pad length + 1 when PADDED, else 0."},
    {nullptr, 0, 0, 0, nullptr},
};

void data_dealloc(PyObject* self) {
    Py_XDECREF(reinterpret_cast<WlH2FrameData*>(self)->data);
    frame_dealloc_plain<WlH2FrameData>(self);
}

PyObject* data_repr(PyObject* self) {
    auto* o = reinterpret_cast<WlH2FrameData*>(self);
    return PyUnicode_FromFormat("Data(stream_id=%u, end_stream=%s, len=%zd)", o->stream_id,
                                tf(o->end_stream), PyBytes_GET_SIZE(o->data));
}

PyType_Slot data_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(data_dealloc)},
    {Py_tp_repr, WL_SLOT(data_repr)},
    {Py_tp_members, data_members},
    {Py_tp_doc, const_cast<char*>("A received DATA frame.")},
    {0, nullptr},
};

// ---- H2FrameHeaders
PyMemberDef headers_members[] = {
    {"stream_id", WL_T_UINT, offsetof(WlH2FrameHeaders, stream_id), RO, "Stream identifier."},
    {"end_stream", WL_T_BOOL, offsetof(WlH2FrameHeaders, end_stream), RO, "END_STREAM flag."},
    {"method", WL_T_OBJECT, offsetof(WlH2FrameHeaders, method), RO, ":method or None."},
    {"scheme", WL_T_OBJECT, offsetof(WlH2FrameHeaders, scheme), RO, ":scheme or None."},
    {"authority", WL_T_OBJECT, offsetof(WlH2FrameHeaders, authority), RO, ":authority or None."},
    {"path", WL_T_OBJECT, offsetof(WlH2FrameHeaders, path), RO, ":path or None."},
    {"status", WL_T_OBJECT, offsetof(WlH2FrameHeaders, status), RO, ":status as int, or None."},
    {"headers", WL_T_OBJECT, offsetof(WlH2FrameHeaders, headers), RO,
     "The regular fields (HeaderMap), in received order."},
    {"content_length", WL_T_OBJECT, offsetof(WlH2FrameHeaders, content_length), RO,
     "The parsed content-length, or None."},
    {"content_length_invalid", WL_T_BOOL, offsetof(WlH2FrameHeaders, content_length_invalid), RO,
     "True when content-length is present but does not parse."},
    {"is_informational", WL_T_BOOL, offsetof(WlH2FrameHeaders, is_informational), RO,
     "True for a 1xx status."},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* headers_end_headers(PyObject*, void*) { Py_RETURN_TRUE; }

PyGetSetDef headers_getset[] = {
    {"end_headers", headers_end_headers, nullptr,
     "Always True: only complete header blocks are delivered.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void headers_dealloc(PyObject* self) {
    auto* o = reinterpret_cast<WlH2FrameHeaders*>(self);
    Py_XDECREF(o->method);
    Py_XDECREF(o->scheme);
    Py_XDECREF(o->authority);
    Py_XDECREF(o->path);
    Py_XDECREF(o->status);
    Py_XDECREF(o->headers);
    Py_XDECREF(o->content_length);
    if (g_kept_headers.full()) {
        frame_dealloc_plain<WlH2FrameHeaders>(self);
        return;
    }
    g_kept_headers.put(o);
    Py_DECREF(WL_H2FrameHeadersType);  // the instance's reference to its type
}

PyObject* headers_repr(PyObject* self) {
    auto* o = reinterpret_cast<WlH2FrameHeaders*>(self);
    size_t n;
    {
        WlHeaderMapRead r(o->headers);
        n = r.list().value_count();
    }
    if (o->status != Py_None)
        return PyUnicode_FromFormat("Headers(stream_id=%u, status=Some(%u), end_stream=%s, fields=%zu)",
                                    o->stream_id, unsigned(o->status_code), tf(o->end_stream), n);
    return PyUnicode_FromFormat("Headers(stream_id=%u, status=None, end_stream=%s, fields=%zu)",
                                o->stream_id, tf(o->end_stream), n);
}

PyType_Slot headers_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(headers_dealloc)},
    {Py_tp_repr, WL_SLOT(headers_repr)},
    {Py_tp_members, headers_members},
    {Py_tp_getset, headers_getset},
    {Py_tp_doc, const_cast<char*>("A received header block (HEADERS and its CONTINUATION frames).")},
    {0, nullptr},
};

// ---- H2FrameSettings
PyMemberDef settings_members[] = {
    {"ack", WL_T_BOOL, offsetof(WlH2FrameSettings, ack), RO, "ACK flag."},
    {"header_table_size", WL_T_OBJECT, offsetof(WlH2FrameSettings, header_table_size), RO, "SETTINGS_HEADER_TABLE_SIZE (int), or None when absent."},
    {"enable_push", WL_T_OBJECT, offsetof(WlH2FrameSettings, enable_push), RO, "SETTINGS_ENABLE_PUSH (bool), or None when absent."},
    {"max_concurrent_streams", WL_T_OBJECT, offsetof(WlH2FrameSettings, max_concurrent_streams), RO, "SETTINGS_MAX_CONCURRENT_STREAMS (int), or None when absent."},
    {"initial_window_size", WL_T_OBJECT, offsetof(WlH2FrameSettings, initial_window_size), RO, "SETTINGS_INITIAL_WINDOW_SIZE (int), or None when absent."},
    {"max_frame_size", WL_T_OBJECT, offsetof(WlH2FrameSettings, max_frame_size), RO, "SETTINGS_MAX_FRAME_SIZE (int), or None when absent."},
    {"max_header_list_size", WL_T_OBJECT, offsetof(WlH2FrameSettings, max_header_list_size), RO, "SETTINGS_MAX_HEADER_LIST_SIZE (int), or None when absent."},
    {nullptr, 0, 0, 0, nullptr},
};

void settings_dealloc(PyObject* self) {
    auto* o = reinterpret_cast<WlH2FrameSettings*>(self);
    Py_XDECREF(o->header_table_size);
    Py_XDECREF(o->enable_push);
    Py_XDECREF(o->max_concurrent_streams);
    Py_XDECREF(o->initial_window_size);
    Py_XDECREF(o->max_frame_size);
    Py_XDECREF(o->max_header_list_size);
    frame_dealloc_plain<WlH2FrameSettings>(self);
}

void put_opt(std::string& s, bool has, uint32_t v) {
    if (has)
        s.append("Some(").append(std::to_string(v)).append(")");
    else
        s.append("None");
}

PyObject* settings_repr(PyObject* self) {
    using S = wl::h2::SettingsFrame;
    const S& f = reinterpret_cast<WlH2FrameSettings*>(self)->value;
    std::string s = "Settings(ack=";
    s.append(tf(f.ack)).append(", max_concurrent_streams=");
    put_opt(s, f.has(S::kHasMaxConcurrentStreams), f.max_concurrent_streams);
    s.append(", initial_window_size=");
    put_opt(s, f.has(S::kHasInitialWindowSize), f.initial_window_size);
    s.append(", max_frame_size=");
    put_opt(s, f.has(S::kHasMaxFrameSize), f.max_frame_size);
    s.append(")");
    return PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size()));
}

PyType_Slot settings_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(settings_dealloc)},
    {Py_tp_repr, WL_SLOT(settings_repr)},
    {Py_tp_members, settings_members},
    {Py_tp_doc, const_cast<char*>("A received SETTINGS frame; absent settings are None.")},
    {0, nullptr},
};

// ---- H2FrameWindowUpdate
PyMemberDef wu_members[] = {
    {"stream_id", WL_T_UINT, offsetof(WlH2FrameWindowUpdate, stream_id), RO, "Stream id (0 for the connection)."},
    {"increment", WL_T_UINT, offsetof(WlH2FrameWindowUpdate, increment), RO, "Window size increment (int)."},
    {nullptr, 0, 0, 0, nullptr},
};
PyType_Slot wu_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(frame_dealloc_plain<WlH2FrameWindowUpdate>)},
    {Py_tp_members, wu_members},
    {Py_tp_doc, const_cast<char*>("A received WINDOW_UPDATE frame.")},
    {0, nullptr},
};

// ---- H2FramePing
PyMemberDef ping_members[] = {
    {"ack", WL_T_BOOL, offsetof(WlH2FramePing, ack), RO, "True for a PING acknowledgement."},
    {"data", WL_T_OBJECT, offsetof(WlH2FramePing, data), RO, "The 8 payload bytes."},
    {nullptr, 0, 0, 0, nullptr},
};
void ping_dealloc(PyObject* self) {
    Py_XDECREF(reinterpret_cast<WlH2FramePing*>(self)->data);
    frame_dealloc_plain<WlH2FramePing>(self);
}
PyType_Slot ping_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(ping_dealloc)},
    {Py_tp_members, ping_members},
    {Py_tp_doc, const_cast<char*>("A received PING frame.")},
    {0, nullptr},
};

// ---- H2FrameGoAway
PyMemberDef goaway_members[] = {
    {"last_stream_id", WL_T_UINT, offsetof(WlH2FrameGoAway, last_stream_id), RO, "The last stream id the sender may have processed."},
    {"error_code", WL_T_UINT, offsetof(WlH2FrameGoAway, error_code), RO, "Error code (int; see H2Reason)."},
    {"debug_data", WL_T_OBJECT, offsetof(WlH2FrameGoAway, debug_data), RO, "Additional debug data (bytes, possibly empty)."},
    {nullptr, 0, 0, 0, nullptr},
};
void goaway_dealloc(PyObject* self) {
    Py_XDECREF(reinterpret_cast<WlH2FrameGoAway*>(self)->debug_data);
    frame_dealloc_plain<WlH2FrameGoAway>(self);
}
PyType_Slot goaway_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(goaway_dealloc)},
    {Py_tp_members, goaway_members},
    {Py_tp_doc, const_cast<char*>("A received GOAWAY frame.")},
    {0, nullptr},
};

// ---- H2FrameRstStream
PyMemberDef rst_members[] = {
    {"stream_id", WL_T_UINT, offsetof(WlH2FrameRstStream, stream_id), RO, "Stream id of the reset stream."},
    {"error_code", WL_T_UINT, offsetof(WlH2FrameRstStream, error_code), RO, "Error code (int; see H2Reason)."},
    {nullptr, 0, 0, 0, nullptr},
};
PyType_Slot rst_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(frame_dealloc_plain<WlH2FrameRstStream>)},
    {Py_tp_members, rst_members},
    {Py_tp_doc, const_cast<char*>("A received RST_STREAM frame.")},
    {0, nullptr},
};

// ---- H2FramePriority
PyMemberDef prio_members[] = {
    {"stream_id", WL_T_UINT, offsetof(WlH2FramePriority, stream_id), RO, "Stream id the PRIORITY frame names (the frame is otherwise ignored)."},
    {nullptr, 0, 0, 0, nullptr},
};
PyType_Slot prio_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(frame_dealloc_plain<WlH2FramePriority>)},
    {Py_tp_members, prio_members},
    {Py_tp_doc, const_cast<char*>("A received PRIORITY frame (validated; its fields are dropped).")},
    {0, nullptr},
};

// ---- H2FrameStreamError
PyMemberDef serr_members[] = {
    {"stream_id", WL_T_UINT, offsetof(WlH2FrameStreamError, stream_id), RO, "Stream id of the stream that failed to decode."},
    {"error_code", WL_T_UINT, offsetof(WlH2FrameStreamError, error_code), RO, "Error code of the stream error (int; see H2Reason)."},
    {nullptr, 0, 0, 0, nullptr},
};
PyType_Slot serr_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(frame_dealloc_plain<WlH2FrameStreamError>)},
    {Py_tp_members, serr_members},
    {Py_tp_doc, const_cast<char*>("A stream-level error found while decoding: reset stream_id with "
                                  "error_code; the connection stays up.")},
    {0, nullptr},
};

constexpr unsigned kFrameFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyType_Spec headers_spec = {WL_TYPE_NAME("H2FrameHeaders"), sizeof(WlH2FrameHeaders), 0, kFrameFlags, headers_slots};
PyType_Spec data_spec = {WL_TYPE_NAME("H2FrameData"), sizeof(WlH2FrameData), 0, kFrameFlags, data_slots};
PyType_Spec settings_spec = {WL_TYPE_NAME("H2FrameSettings"), sizeof(WlH2FrameSettings), 0, kFrameFlags, settings_slots};
PyType_Spec wu_spec = {WL_TYPE_NAME("H2FrameWindowUpdate"), sizeof(WlH2FrameWindowUpdate), 0, kFrameFlags, wu_slots};
PyType_Spec ping_spec = {WL_TYPE_NAME("H2FramePing"), sizeof(WlH2FramePing), 0, kFrameFlags, ping_slots};
PyType_Spec goaway_spec = {WL_TYPE_NAME("H2FrameGoAway"), sizeof(WlH2FrameGoAway), 0, kFrameFlags, goaway_slots};
PyType_Spec rst_spec = {WL_TYPE_NAME("H2FrameRstStream"), sizeof(WlH2FrameRstStream), 0, kFrameFlags, rst_slots};
PyType_Spec prio_spec = {WL_TYPE_NAME("H2FramePriority"), sizeof(WlH2FramePriority), 0, kFrameFlags, prio_slots};
PyType_Spec serr_spec = {WL_TYPE_NAME("H2FrameStreamError"), sizeof(WlH2FrameStreamError), 0, kFrameFlags, serr_slots};

// ------------------------------------------------------------------ H2Codec

struct WlH2Codec {
    PyObject_HEAD
    wl::Mutex mu;
    FrameDecoder dec;
    FrameEncoder enc;
};

WlH2Codec* as_codec(PyObject* o) { return reinterpret_cast<WlH2Codec*>(o); }

// Debug-quoted form of a role value: double quotes, escapes for quotes,
// backslashes and control characters.
std::string debug_quote(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buf[12];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", c);
                    out += buf;
                } else {
                    out += char(c);
                }
        }
    }
    out += '"';
    return out;
}

PyObject* codec_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"role", nullptr};
    PyObject* role = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:H2Codec", const_cast<char**>(kw), &role))
        return nullptr;
    bool client = true;
    if (role) {
        WlStrArg r;
        if (wl_conv_str(role, "H2Codec", "role", &r, true) < 0) return nullptr;
        if (r.v == "server") {
            client = false;
        } else if (r.v != "client") {
            return wl_value_error("role must be 'client' or 'server', got " + debug_quote(r.v));
        }
    }
    if (init_interned() < 0) return nullptr;
    auto* self = reinterpret_cast<WlH2Codec*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    try {
        new (&self->mu) wl::Mutex();
        new (&self->dec) FrameDecoder(client);
        new (&self->enc) FrameEncoder();
    } catch (const std::bad_alloc&) {
        type->tp_free(self);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(self);
}

void codec_dealloc(PyObject* o) {
    auto* self = as_codec(o);
    self->enc.~FrameEncoder();
    self->dec.~FrameDecoder();
    PyTypeObject* tp = Py_TYPE(o);
    tp->tp_free(o);
    Py_DECREF(tp);
}

#define FASTARGS PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames

template <class F>
PyObject* guard_alloc(F&& f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

int conv_u32(PyObject* o, const char* fname, const char* arg, uint32_t* out) {
    uint64_t v;
    if (wl_conv_uint(o, fname, arg, UINT32_MAX, &v) < 0) return -1;
    *out = uint32_t(v);
    return 0;
}
int conv_sid(PyObject* o, const char* fname, const char* arg, uint32_t* out) {
    uint64_t v;
    if (wl_conv_uint(o, fname, arg, wl::h2::kMaxStreamId, &v) < 0) return -1;
    *out = uint32_t(v);
    return 0;
}

PyObject* codec_receive(PyObject* o, FASTARGS) {
    WL_ARGSPEC(spec, "receive", 1, 1, "data");
    PyObject* a[1];
    if (nargs == 1 && !kwnames)
        a[0] = args[0];  // the usual call needs no argument parsing
    else if (wl_parse_args(spec, args, nargs, kwnames, a) < 0)
        return nullptr;
    std::string_view data;
    if (wl_conv_bytes(a[0], "receive", "data", &data) < 0) return nullptr;
    auto* self = as_codec(o);
    WlH2Received r;
    if (wl_h2_receive_begin(&r) < 0) return nullptr;
    {
        WlLock g(self->mu);
        wl_h2_receive_locked(self->dec, data, &r);
    }
    return wl_h2_receive_finish(&r);
}

PyObject* codec_buffered(PyObject* o, PyObject*) {
    auto* self = as_codec(o);
    size_t n;
    {
        WlLock g(self->mu);
        n = self->dec.buffered();
    }
    return PyLong_FromSize_t(n);
}

PyObject* preface_result(wl::h2::PrefaceMatch m) {
    switch (m) {
        case wl::h2::PrefaceMatch::Partial: Py_RETURN_NONE;
        case wl::h2::PrefaceMatch::Match: Py_RETURN_TRUE;
        default: Py_RETURN_FALSE;
    }
}

PyObject* codec_feed_preface(PyObject* o, FASTARGS) {
    WL_ARGSPEC(spec, "feed_preface", 1, 1, "data");
    PyObject* a[1];
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0) return nullptr;
    std::string_view data;
    if (wl_conv_bytes(a[0], "feed_preface", "data", &data) < 0) return nullptr;
    auto* self = as_codec(o);
    return guard_alloc([&] {
        wl::h2::PrefaceMatch m;
        {
            WlLock g(self->mu);
            m = self->dec.feed_preface(data);
        }
        return preface_result(m);
    });
}

PyObject* codec_match_preface(PyObject*, FASTARGS) {
    WL_ARGSPEC(spec, "match_preface", 1, 1, "data");
    PyObject* a[1];
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0) return nullptr;
    std::string_view data;
    if (wl_conv_bytes(a[0], "match_preface", "data", &data) < 0) return nullptr;
    return preface_result(wl::h2::match_preface(data));
}

int conv_frame_size(PyObject* v, const char* fname, uint32_t* out) {
    if (conv_u32(v, fname, "val", out) < 0) return -1;
    if (*out < wl::h2::kDefaultMaxFrameSize || *out > wl::h2::kMaxMaxFrameSize) {
        PyErr_SetString(PyExc_ValueError, wl::h2::max_frame_size_message(*out).c_str());
        return -1;
    }
    return 0;
}

PyObject* codec_set_max_recv_frame_size(PyObject* o, FASTARGS) {
    WL_ARGSPEC(spec, "set_max_recv_frame_size", 1, 1, "val");
    PyObject* a[1];
    uint32_t v;
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 ||
        conv_frame_size(a[0], "set_max_recv_frame_size", &v) < 0)
        return nullptr;
    auto* self = as_codec(o);
    WlLock g(self->mu);
    self->dec.set_max_recv_frame_size(v);
    Py_RETURN_NONE;
}

PyObject* codec_set_max_header_list_size(PyObject* o, FASTARGS) {
    WL_ARGSPEC(spec, "set_max_header_list_size", 1, 1, "val");
    PyObject* a[1];
    uint32_t v;
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 ||
        conv_u32(a[0], "set_max_header_list_size", "val", &v) < 0)
        return nullptr;
    auto* self = as_codec(o);
    WlLock g(self->mu);
    self->dec.set_max_header_list_size(v);
    Py_RETURN_NONE;
}

PyObject* codec_set_recv_header_table_size(PyObject* o, FASTARGS) {
    WL_ARGSPEC(spec, "set_recv_header_table_size", 1, 1, "val");
    PyObject* a[1];
    uint32_t v;
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 ||
        conv_u32(a[0], "set_recv_header_table_size", "val", &v) < 0)
        return nullptr;
    auto* self = as_codec(o);
    WlLock g(self->mu);
    self->dec.set_recv_header_table_size(v);
    Py_RETURN_NONE;
}

PyObject* codec_set_send_header_table_size(PyObject* o, FASTARGS) {
    WL_ARGSPEC(spec, "set_send_header_table_size", 1, 1, "val");
    PyObject* a[1];
    uint32_t v;
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 ||
        conv_u32(a[0], "set_send_header_table_size", "val", &v) < 0)
        return nullptr;
    auto* self = as_codec(o);
    WlLock g(self->mu);
    self->enc.set_send_header_table_size(v);
    Py_RETURN_NONE;
}

PyObject* codec_set_send_max_frame_size(PyObject* o, FASTARGS) {
    WL_ARGSPEC(spec, "set_send_max_frame_size", 1, 1, "val");
    PyObject* a[1];
    uint32_t v;
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 ||
        conv_frame_size(a[0], "set_send_max_frame_size", &v) < 0)
        return nullptr;
    auto* self = as_codec(o);
    WlLock g(self->mu);
    self->enc.set_max_frame_size(v);
    Py_RETURN_NONE;
}

PyObject* codec_role_client(PyObject* o, void*) {
    // Fixed at construction: no lock needed.
    return wl_bool(as_codec(o)->dec.role_client());
}

// ---- serializers

// A new bytes object of n bytes to be filled by the caller.
PyObject* new_bytes(size_t n, uint8_t** p) {
    PyObject* b = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(n));
    if (b) *p = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(b));
    return b;
}

PyObject* codec_serialize_settings(PyObject*, FASTARGS) {
    WL_ARGSPEC(spec, "serialize_settings", 0, 0, "header_table_size", "enable_push",
               "max_concurrent_streams", "initial_window_size", "max_frame_size",
               "max_header_list_size");
    PyObject* a[6];
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0) return nullptr;
    using S = wl::h2::SettingsFrame;
    wl::h2::SettingsOut s;
    struct U {
        int idx;
        const char* name;
        uint8_t bit;
        uint32_t* dst;
    } us[] = {
        {0, "header_table_size", S::kHasHeaderTableSize, &s.header_table_size},
        {2, "max_concurrent_streams", S::kHasMaxConcurrentStreams, &s.max_concurrent_streams},
        {3, "initial_window_size", S::kHasInitialWindowSize, &s.initial_window_size},
        {4, "max_frame_size", S::kHasMaxFrameSize, &s.max_frame_size},
        {5, "max_header_list_size", S::kHasMaxHeaderListSize, &s.max_header_list_size},
    };
    for (const U& u : us) {
        if (!a[u.idx] || a[u.idx] == Py_None) continue;
        if (conv_u32(a[u.idx], "serialize_settings", u.name, u.dst) < 0) return nullptr;
        s.present |= u.bit;
    }
    if (a[1] && a[1] != Py_None) {
        if (wl_conv_bool(a[1], "serialize_settings", "enable_push", &s.enable_push) < 0) return nullptr;
        s.present |= S::kHasEnablePush;
    }
    std::string msg;
    if (!wl::h2::check_settings(s, &msg)) {
        PyErr_SetString(PyExc_ValueError, msg.c_str());
        return nullptr;
    }
    return guard_alloc([&]() -> PyObject* {
        wl::ByteBuf b;
        wl::h2::write_settings(b, s);
        return wl_bytes(b.view());
    });
}

PyObject* codec_serialize_settings_ack(PyObject*, PyObject*) {
    static const char ack[9] = {0, 0, 0, 4, 1, 0, 0, 0, 0};
    return PyBytes_FromStringAndSize(ack, 9);
}

// Reads an optional HeaderMap argument; *list is NULL for None.
int opt_headermap(PyObject* o, const char* fname, const char* arg, PyObject** out) {
    *out = nullptr;
    if (!o) return 0;
    return wl_conv_headermap(o, fname, arg, true, out);
}

// One scratch buffer for header blocks: a serializer runs under the codec's
// lock into it and the block becomes bytes after unlocking. Taken out while
// in use, so a nested call makes its own. The interpreter lock orders its
// users, so there is one for the process and no thread-local lookup per
// call; builds without that lock keep one per thread.
#ifdef Py_GIL_DISABLED
thread_local wl::ByteBuf t_block_buf;
#else
wl::ByteBuf t_block_buf;
#endif
constexpr size_t kBlockBufKeep = 256 * 1024;

template <class F>
PyObject* encode_out(WlH2Codec* self, F&& f) {
    wl::ByteBuf& spare = t_block_buf;
    wl::ByteBuf out;
    out.swap(spare);
    {
        WlLock g(self->mu);
        f(out);
    }
    PyObject* r = wl_bytes(out.view());
    out.clear();
    if (out.capacity() <= kBlockBufKeep && spare.capacity() == 0) out.swap(spare);
    return r;
}

PyObject* codec_serialize_request_headers(PyObject* o, FASTARGS) {
    static const char* const fn = "serialize_request_headers";
    WL_ARGSPEC(spec, "serialize_request_headers", 5, 3, "stream_id", "method", "target", "headers",
               "end_stream", "scheme", "authority");
    PyObject* a[7];
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0) return nullptr;
    uint32_t sid;
    WlStrArg method, target, scheme, authority;
    PyObject* headers;
    bool end_stream = false;
    bool has_scheme = a[5] && a[5] != Py_None, has_auth = a[6] && a[6] != Py_None;
    if (conv_sid(a[0], fn, "stream_id", &sid) < 0 || wl_conv_str(a[1], fn, "method", &method) < 0 ||
        wl_conv_str(a[2], fn, "target", &target) < 0 || opt_headermap(a[3], fn, "headers", &headers) < 0 ||
        (a[4] && wl_conv_bool(a[4], fn, "end_stream", &end_stream) < 0) ||
        (has_scheme && wl_conv_str(a[5], fn, "scheme", &scheme) < 0) ||
        (has_auth && wl_conv_str(a[6], fn, "authority", &authority) < 0))
        return nullptr;
    auto* self = as_codec(o);
    wl::h2::RequestPseudo p;
    std::string msg;
    if (!wl::h2::build_request_pseudo(method.v, target.v, has_scheme ? &scheme.v : nullptr,
                                      has_auth ? &authority.v : nullptr, &p, &msg))
        return wl_value_error(msg);
    return encode_out(self, [&](wl::ByteBuf& out) {
        if (headers) {
            WlHeaderMapRead r(headers);
            self->enc.write_request_headers(out, sid, p, &r.list(), end_stream);
        } else {
            self->enc.write_request_headers(out, sid, p, nullptr, end_stream);
        }
    });
}

PyObject* codec_serialize_response_headers(PyObject* o, FASTARGS) {
    static const char* const fn = "serialize_response_headers";
    WL_ARGSPEC(spec, "serialize_response_headers", 5, 2, "stream_id", "status", "headers",
               "end_stream", "auto_date");
    PyObject* a[5];
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0) return nullptr;
    uint32_t sid;
    PyObject* headers;
    bool end_stream = false, auto_date = false;
    if (conv_sid(a[0], fn, "stream_id", &sid) < 0) return nullptr;
    if (!PyLong_Check(a[1])) return wl_type_error(fn, "status", "int", a[1]), nullptr;
    if (opt_headermap(a[2], fn, "headers", &headers) < 0 ||
        (a[3] && wl_conv_bool(a[3], fn, "end_stream", &end_stream) < 0) ||
        (a[4] && wl_conv_bool(a[4], fn, "auto_date", &auto_date) < 0))
        return nullptr;
    int overflow = 0;
    long long status;
    uint64_t small;
    if (wl_small_uint(a[1], &small)) {
        status = (long long)small;
    } else {
        status = PyLong_AsLongLongAndOverflow(a[1], &overflow);
        if (status == -1 && PyErr_Occurred()) return nullptr;
    }
    if (overflow || status < 100 || status > 999) {
        PyErr_SetString(PyExc_ValueError, "invalid status: invalid status code");
        return nullptr;
    }
    auto* self = as_codec(o);
    return encode_out(self, [&](wl::ByteBuf& out) {
        if (headers) {
            WlHeaderMapRead r(headers);
            self->enc.write_response_headers(out, sid, uint16_t(status), &r.list(), end_stream, auto_date);
        } else {
            self->enc.write_response_headers(out, sid, uint16_t(status), nullptr, end_stream, auto_date);
        }
    });
}

PyObject* codec_serialize_trailers(PyObject* o, FASTARGS) {
    static const char* const fn = "serialize_trailers";
    WL_ARGSPEC(spec, "serialize_trailers", 2, 2, "stream_id", "trailers");
    PyObject* a[2];
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0) return nullptr;
    uint32_t sid;
    PyObject* trailers;
    if (conv_sid(a[0], fn, "stream_id", &sid) < 0 ||
        wl_conv_headermap(a[1], fn, "trailers", true, &trailers) < 0)
        return nullptr;
    auto* self = as_codec(o);
    return encode_out(self, [&](wl::ByteBuf& out) {
        if (trailers) {
            WlHeaderMapRead r(trailers);
            self->enc.write_trailers(out, sid, &r.list());
        } else {
            self->enc.write_trailers(out, sid, nullptr);
        }
    });
}

PyObject* codec_serialize_data(PyObject* o, FASTARGS) {
    static const char* const fn = "serialize_data";
    WL_ARGSPEC(spec, "serialize_data", 3, 2, "stream_id", "data", "end_stream");
    PyObject* a[3];
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0) return nullptr;
    uint32_t sid;
    std::string_view data;
    bool end_stream = false;
    if (conv_sid(a[0], fn, "stream_id", &sid) < 0 || wl_conv_bytes(a[1], fn, "data", &data) < 0 ||
        (a[2] && wl_conv_bool(a[2], fn, "end_stream", &end_stream) < 0))
        return nullptr;
    auto* self = as_codec(o);
    uint32_t limit;
    {
        WlLock g(self->mu);
        limit = self->enc.max_frame_size();
    }
    if (data.size() > limit) {
        std::string msg = "DATA payload " + std::to_string(data.size()) +
                          " exceeds SETTINGS_MAX_FRAME_SIZE " + std::to_string(limit);
        return wl_raise_h2_user_msg(WL_H2U_PAYLOAD_TOO_BIG, msg);
    }
    uint8_t* p;
    PyObject* b = new_bytes(9 + data.size(), &p);
    if (!b) return nullptr;
    wl::h2::write_frame_header(p, uint32_t(data.size()), wl::h2::kData,
                               end_stream ? wl::h2::kEndStream : 0, sid);
    if (!data.empty()) std::memcpy(p + 9, data.data(), data.size());
    return b;
}

PyObject* codec_serialize_window_update(PyObject*, FASTARGS) {
    static const char* const fn = "serialize_window_update";
    WL_ARGSPEC(spec, "serialize_window_update", 2, 2, "stream_id", "increment");
    PyObject* a[2];
    uint32_t sid, inc;
    // The increment is a 31-bit field: a larger value would set the reserved bit.
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 || conv_sid(a[0], fn, "stream_id", &sid) < 0 ||
        conv_sid(a[1], fn, "increment", &inc) < 0)
        return nullptr;
    uint8_t* p;
    PyObject* b = new_bytes(13, &p);
    if (!b) return nullptr;
    wl::h2::write_frame_header(p, 4, wl::h2::kWindowUpdate, 0, sid);
    wl::h2::put_u32(p + 9, inc);
    return b;
}

PyObject* ping_common(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* fn,
                      WlArgSpec& spec, bool ack) {
    PyObject* a[1];
    std::string_view payload;
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 || wl_conv_bytes(a[0], fn, "payload", &payload) < 0)
        return nullptr;
    if (payload.size() != 8) {
        PyErr_SetString(PyExc_ValueError, "ping payload must be exactly 8 bytes");
        return nullptr;
    }
    uint8_t* p;
    PyObject* b = new_bytes(17, &p);
    if (!b) return nullptr;
    wl::h2::write_frame_header(p, 8, wl::h2::kPing, ack ? wl::h2::kAck : 0, 0);
    std::memcpy(p + 9, payload.data(), 8);
    return b;
}

PyObject* codec_serialize_ping(PyObject*, FASTARGS) {
    WL_ARGSPEC(spec, "serialize_ping", 1, 1, "payload");
    return ping_common(args, nargs, kwnames, "serialize_ping", spec, false);
}

PyObject* codec_serialize_ping_ack(PyObject*, FASTARGS) {
    WL_ARGSPEC(spec, "serialize_ping_ack", 1, 1, "payload");
    return ping_common(args, nargs, kwnames, "serialize_ping_ack", spec, true);
}

PyObject* codec_serialize_go_away(PyObject*, FASTARGS) {
    static const char* const fn = "serialize_go_away";
    WL_ARGSPEC(spec, "serialize_go_away", 3, 2, "last_stream_id", "error_code", "debug_data");
    PyObject* a[3];
    uint32_t last, code;
    std::string_view debug;
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 ||
        conv_sid(a[0], fn, "last_stream_id", &last) < 0 || conv_u32(a[1], fn, "error_code", &code) < 0 ||
        (a[2] && a[2] != Py_None && wl_conv_bytes(a[2], fn, "debug_data", &debug) < 0))
        return nullptr;
    if (debug.size() > wl::h2::kMaxMaxFrameSize - 8) {
        PyErr_SetString(PyExc_ValueError, "debug_data does not fit in one frame");
        return nullptr;
    }
    uint8_t* p;
    PyObject* b = new_bytes(17 + debug.size(), &p);
    if (!b) return nullptr;
    wl::h2::write_frame_header(p, uint32_t(8 + debug.size()), wl::h2::kGoAway, 0, 0);
    wl::h2::put_u32(p + 9, last);
    wl::h2::put_u32(p + 13, code);
    if (!debug.empty()) std::memcpy(p + 17, debug.data(), debug.size());
    return b;
}

PyObject* codec_serialize_rst_stream(PyObject*, FASTARGS) {
    static const char* const fn = "serialize_rst_stream";
    WL_ARGSPEC(spec, "serialize_rst_stream", 2, 2, "stream_id", "error_code");
    PyObject* a[2];
    uint32_t sid, code;
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 || conv_sid(a[0], fn, "stream_id", &sid) < 0 ||
        conv_u32(a[1], fn, "error_code", &code) < 0)
        return nullptr;
    uint8_t* p;
    PyObject* b = new_bytes(13, &p);
    if (!b) return nullptr;
    wl::h2::write_frame_header(p, 4, wl::h2::kRstStream, 0, sid);
    wl::h2::put_u32(p + 9, code);
    return b;
}

PyObject* codec_check_send_headers(PyObject*, FASTARGS) {
    WL_ARGSPEC(spec, "check_send_headers", 1, 1, "headers");
    PyObject* a[1];
    PyObject* h;
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 ||
        wl_conv_headermap(a[0], "check_send_headers", "headers", false, &h) < 0)
        return nullptr;
    bool bad;
    {
        WlHeaderMapRead r(h);
        bad = wl::h2::has_connection_specific(r.list());
    }
    if (bad) return wl_raise_h2_user(WL_H2U_MALFORMED_HEADERS);
    Py_RETURN_NONE;
}

PyObject* codec_method_is_head(PyObject*, FASTARGS) {
    WL_ARGSPEC(spec, "method_is_head", 1, 1, "method");
    PyObject* a[1];
    WlStrArg m;
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 ||
        wl_conv_str(a[0], "method_is_head", "method", &m) < 0)
        return nullptr;
    return wl_bool(m.v == "HEAD");
}

PyObject* codec_is_client_initiated(PyObject*, FASTARGS) {
    WL_ARGSPEC(spec, "is_client_initiated", 1, 1, "stream_id");
    PyObject* a[1];
    uint32_t sid;
    if (wl_parse_args(spec, args, nargs, kwnames, a) < 0 ||
        conv_u32(a[0], "is_client_initiated", "stream_id", &sid) < 0)
        return nullptr;
    return wl_bool(sid & 1);
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef codec_methods[] = {
    {"receive", WL_METH(codec_receive), kFast,
     "receive($self, data)\n--\n\nAppends data and returns the list of frames now complete."},
    {"buffered", WL_NOARGS(codec_buffered), METH_NOARGS,
     "buffered($self)\n--\n\nNumber of received bytes not yet consumed as frames."},
    {"feed_preface", WL_METH(codec_feed_preface), kFast,
     "feed_preface($self, data)\n--\n\nMatches the client preface: None while incomplete, True once "
     "matched (later bytes are buffered), False on divergence."},
    {"match_preface", WL_METH(codec_match_preface), kFast | METH_STATIC,
     "match_preface(data)\n--\n\nClassifies the first bytes of a connection: None (a preface "
     "prefix), True (starts with the preface) or False."},
    {"set_max_recv_frame_size", WL_METH(codec_set_max_recv_frame_size), kFast,
     "set_max_recv_frame_size($self, val)\n--\n\nLargest frame payload accepted."},
    {"set_max_header_list_size", WL_METH(codec_set_max_header_list_size), kFast,
     "set_max_header_list_size($self, val)\n--\n\nLimit of a decoded header list."},
    {"set_recv_header_table_size", WL_METH(codec_set_recv_header_table_size), kFast,
     "set_recv_header_table_size($self, val)\n--\n\nQueues a decoder table size limit."},
    {"serialize_settings", WL_METH(codec_serialize_settings), kFast,
     "serialize_settings($self, *, header_table_size=None, enable_push=None, "
     "max_concurrent_streams=None, initial_window_size=None, max_frame_size=None, "
     "max_header_list_size=None)\n--\n\nA SETTINGS frame with the given settings."},
    {"serialize_settings_ack", WL_NOARGS(codec_serialize_settings_ack), METH_NOARGS,
     "serialize_settings_ack($self)\n--\n\nA SETTINGS frame with ACK."},
    {"serialize_request_headers", WL_METH(codec_serialize_request_headers), kFast,
     "serialize_request_headers($self, stream_id, method, target, headers=None, end_stream=False, *, "
     "scheme=None, authority=None)\n--\n\nA request header block (HEADERS + CONTINUATION)."},
    {"serialize_response_headers", WL_METH(codec_serialize_response_headers), kFast,
     "serialize_response_headers($self, stream_id, status, headers=None, end_stream=False, "
     "auto_date=False)\n--\n\nA response header block (HEADERS + CONTINUATION)."},
    {"serialize_trailers", WL_METH(codec_serialize_trailers), kFast,
     "serialize_trailers($self, stream_id, trailers)\n--\n\nA trailer block, always with END_STREAM."},
    {"serialize_data", WL_METH(codec_serialize_data), kFast,
     "serialize_data($self, stream_id, data, end_stream=False)\n--\n\nOne DATA frame."},
    {"serialize_window_update", WL_METH(codec_serialize_window_update), kFast,
     "serialize_window_update($self, stream_id, increment)\n--\n\nA WINDOW_UPDATE frame."},
    {"serialize_ping", WL_METH(codec_serialize_ping), kFast,
     "serialize_ping($self, payload)\n--\n\nA PING frame (8-byte payload)."},
    {"serialize_ping_ack", WL_METH(codec_serialize_ping_ack), kFast,
     "serialize_ping_ack($self, payload)\n--\n\nA PING frame with ACK."},
    {"serialize_go_away", WL_METH(codec_serialize_go_away), kFast,
     "serialize_go_away($self, last_stream_id, error_code, debug_data=None)\n--\n\nA GOAWAY frame."},
    {"serialize_rst_stream", WL_METH(codec_serialize_rst_stream), kFast,
     "serialize_rst_stream($self, stream_id, error_code)\n--\n\nA RST_STREAM frame."},
    {"set_send_header_table_size", WL_METH(codec_set_send_header_table_size), kFast,
     "set_send_header_table_size($self, val)\n--\n\nQueues an encoder table size update."},
    {"set_send_max_frame_size", WL_METH(codec_set_send_max_frame_size), kFast,
     "set_send_max_frame_size($self, val)\n--\n\nLargest frame payload sent."},
    {"check_send_headers", WL_METH(codec_check_send_headers), kFast | METH_STATIC,
     "check_send_headers(headers)\n--\n\nRaises H2UserError for connection-specific fields."},
    {"method_is_head", WL_METH(codec_method_is_head), kFast | METH_STATIC,
     "method_is_head(method)\n--\n\nTrue exactly for the method token HEAD."},
    {"is_client_initiated", WL_METH(codec_is_client_initiated), kFast | METH_STATIC,
     "is_client_initiated(stream_id)\n--\n\nTrue for odd stream identifiers."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef codec_getset[] = {
    {"role_client", WL_GUARD(codec_role_client), nullptr, "True for the client role.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot codec_slots[] = {
    {Py_tp_new, WL_SLOT(codec_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(codec_dealloc)},
    {Py_tp_methods, codec_methods},
    {Py_tp_getset, codec_getset},
    {Py_tp_doc, const_cast<char*>("H2Codec(role='client')\n--\n\nThe HTTP/2 frame codec: decodes "
                                  "received bytes into frame objects and serializes frames.")},
    {0, nullptr},
};

PyType_Spec codec_spec = {WL_TYPE_NAME("H2Codec"), sizeof(WlH2Codec), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, codec_slots};

}  // namespace

int wl_add_h2codec(PyObject* m) {
    if (init_interned() < 0) return -1;
    if (wl_add_type(m, &WL_H2CodecType, &codec_spec) < 0) return -1;
    if (wl_add_type(m, &WL_H2FrameHeadersType, &headers_spec) < 0) return -1;
    if (wl_add_type(m, &WL_H2FrameDataType, &data_spec) < 0) return -1;
    if (wl_add_type(m, &WL_H2FrameSettingsType, &settings_spec) < 0) return -1;
    if (wl_add_type(m, &WL_H2FrameWindowUpdateType, &wu_spec) < 0) return -1;
    if (wl_add_type(m, &WL_H2FramePingType, &ping_spec) < 0) return -1;
    if (wl_add_type(m, &WL_H2FrameGoAwayType, &goaway_spec) < 0) return -1;
    if (wl_add_type(m, &WL_H2FrameRstStreamType, &rst_spec) < 0) return -1;
    if (wl_add_type(m, &WL_H2FramePriorityType, &prio_spec) < 0) return -1;
    if (wl_add_type(m, &WL_H2FrameStreamErrorType, &serr_spec) < 0) return -1;
    return 0;
}
