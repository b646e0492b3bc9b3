// H1Codec and the parsed head classes: native interface for the other
// HTTP/1 bindings (the server connection state owns a codec and drives it
// from under its own lock; it may take the codec's lock, never the reverse).
#pragma once
#include "core/buffer.h"
#include "proto/h1/codec.h"
#include "py/common.h"

struct WlH1Codec {
    PyObject_HEAD
    wl::PoisonMutex mu;
    wl::h1::Codec core;
    std::string scratch;  // trailer block of serialize_trailers
};

struct WlH1RequestHead {
    PyObject_HEAD
    PyObject* method;   // str (interned for the standard methods)
    PyObject* target;   // str
    PyObject* headers;  // HeaderMap
    uint64_t content_length;
    wl::h1::Method method_code;
    wl::h1::BodyKind body_kind;
    bool keep_alive;
    bool expect_continue;
    bool is_upgrade;
    bool http10;
    bool allow_trailers;
    bool is_connect;  // read by the server state, not a Python attribute
};

struct WlH1ResponseHead {
    PyObject_HEAD
    PyObject* headers;  // HeaderMap
    uint64_t content_length;
    uint16_t status;
    wl::h1::BodyKind body_kind;
    bool keep_alive;
    bool is_upgrade;
    bool http10;
};

extern PyTypeObject* WL_H1CodecType;
extern PyTypeObject* WL_H1RequestHeadType;
extern PyTypeObject* WL_H1ResponseHeadType;

inline bool wl_h1codec_check(PyObject* o) { return WL_H1CodecType && Py_TYPE(o) == WL_H1CodecType; }

// Each of these takes the codec's lock for its duration (and a HeaderMap's
// lock after it, for the serializers). They return a new reference, None
// (Py_None, new reference) when more bytes are needed, or NULL with an
// exception set.
PyObject* wl_h1codec_receive_request_head(WlH1Codec* c, std::string_view data);
PyObject* wl_h1codec_receive_head(WlH1Codec* c, std::string_view data);
// headers may be NULL.
PyObject* wl_h1codec_serialize_response(WlH1Codec* c, unsigned status, PyObject* headers, bool keep_alive,
                                        bool http10, bool has_length, uint64_t length, bool chunked);
// Appends every byte of src to the codec's read buffer; src ends empty.
void wl_h1codec_feed_native(WlH1Codec* c, wl::ByteBuf& src);
// The body-kind names and standard method names, interned (borrowed).
PyObject* wl_h1_body_kind_str(wl::h1::BodyKind k);
