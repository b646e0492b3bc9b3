// H1BodyDecoder's native interface for the other HTTP/1 bindings.
#pragma once
#include "core/buffer.h"
#include "py/common.h"

extern PyTypeObject* WL_H1BodyDecoderType;  // NULL until registered

inline bool wl_h1body_check(PyObject* o) {
    return WL_H1BodyDecoderType && Py_TYPE(o) == WL_H1BodyDecoderType;
}

// Moves every byte of src to the end of the decoder's input buffer, under
// the decoder's lock; src ends empty. The caller must not hold any other
// object's lock.
void wl_h1body_feed_native(PyObject* decoder, wl::ByteBuf& src);
