// H1BodyDecoder's native interface for the other HTTP/1 bindings.
#pragma once
#include <atomic>

#include "core/buffer.h"
#include "proto/h1/body_decoder.h"
#include "py/common.h"

extern PyTypeObject* WL_H1BodyDecoderType;  // NULL until registered

// The object layout: native owners (the server connection state) may lock
// `mu` and drive `dec` directly; they must never take another object's lock
// while holding it.
struct WlH1BodyDecoder {
    PyObject_HEAD
    wl::Mutex mu;
    wl::h1::BodyDecoder dec;
    // The bytes object fed last, while `dec` may borrow its buffer (see
    // BodyDecoder::borrow): strong reference, replaced or dropped only with
    // the decoder no longer borrowing, and released after unlocking. A
    // bytes object refers to nothing, so no GC support is needed.
    PyObject* held;
    // Size of the next piece decode() hands out, 0 for none: its result is
    // allocated before locking (hence atomic).
    std::atomic<size_t> size_hint;
    // The last two results handed out (strong references) with the sizes
    // they were made with. One the caller has dropped already (this is its
    // only reference left) is refilled for the next piece instead of a new
    // one being allocated. Changed under the lock; released after unlocking
    // (into a small process-wide pool when nobody else refers to them), and
    // all of them whenever decode() has nothing to hand out, so a decoder
    // waiting for input keeps none. spare_cap[i] is the size spare[i] was
    // made with: the most it can carry.
    PyObject* spare[2];
    size_t spare_cap[2];
    uint8_t spare_last;  // the slot of the latest
};

inline bool wl_h1body_check(PyObject* o) {
    return WL_H1BodyDecoderType && Py_TYPE(o) == WL_H1BodyDecoderType;
}

inline WlH1BodyDecoder* wl_h1body(PyObject* o) { return reinterpret_cast<WlH1BodyDecoder*>(o); }

// Moves every byte of src to the end of the decoder's input buffer, under
// the decoder's lock; src ends empty. An empty input adopts src's storage
// (no copy); otherwise the bytes are appended, which may throw
// std::bad_alloc with nothing moved. The caller must not hold any other
// object's lock, or must release the returned object (the bytes object the
// decoder no longer borrows, or NULL) only after dropping its locks.
[[nodiscard]] PyObject* wl_h1body_feed_native(PyObject* decoder, wl::ByteBuf& src);

// Gives the decoder data (inside the bytes object `obj`, whose reference
// the call takes over): borrowed with obj kept alive when nothing is
// buffered, else appended. drops[0..1] receive references the caller
// releases (no lock may be held then). May throw std::bad_alloc with nothing
// changed and obj's reference still the caller's.
void wl_h1body_feed_borrowed(PyObject* decoder, PyObject* obj, std::string_view data, PyObject* drops[2]);

// A new decoder for a body of the given kind (length is used by Length
// only). Returns a new reference, or NULL with an exception set (also when
// the class is not registered yet).
PyObject* wl_h1body_new(wl::h1::BodyKind kind, uint64_t length);

// Moves every byte of the decoder's input buffer to the end of out (the
// bytes past a completed body), under the decoder's lock.
// May throw std::bad_alloc (bytes the decoder borrowed are copied first)
// with nothing moved. Returns the bytes object the decoder no longer
// borrows, or NULL: the caller releases it after dropping its locks.
[[nodiscard]] PyObject* wl_h1body_take_input(PyObject* decoder, wl::ByteBuf& out);

// Bytes in the input buffer, under the decoder's lock.
size_t wl_h1body_buffered(PyObject* decoder);

// Makes the decoder a fresh one for a body of the given kind and gives it
// `input` (adopted: the fresh input is empty, so nothing is allocated).
void wl_h1body_reset_native(PyObject* decoder, wl::h1::BodyKind kind, uint64_t length, wl::ByteBuf& input);

// Completion and failure read under the decoder's lock.
bool wl_h1body_is_complete(PyObject* decoder);
bool wl_h1body_failed(PyObject* decoder);
