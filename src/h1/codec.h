// H1Codec and the parsed head classes: native interface for the other
// HTTP/1 bindings (the server connection state owns a codec and drives it
// from under its own lock; it may take the codec's lock, never the reverse).
#pragma once
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/buffer.h"
#include "proto/h1/codec.h"
#include "py/common.h"

struct WlH1Codec {
    PyObject_HEAD
    wl::PoisonMutex mu;
    wl::h1::Codec core;
    std::string scratch;  // trailer block of serialize_trailers
    // The bytes object whose buffer `core` may borrow (see
    // Codec::receive_request_in_place): strong reference, set under the
    // lock, released only by Python-facing calls after unlocking once the
    // core no longer borrows (native callers may hold other locks).
    PyObject* held;
};

// The object attributes are plain member slots (read without a call).
struct WlH1RequestHead {
    PyObject_HEAD
    PyObject* method;     // str (interned for the standard methods)
    PyObject* target;     // str
    PyObject* headers;    // HeaderMap
    PyObject* kind_name;  // body_kind as str: shared, not counted
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
    PyObject* headers;    // HeaderMap
    PyObject* kind_name;  // body_kind as str: shared, not counted
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

// Native interface for the server state, which drives its codec from under
// its own lock. Rule for every function here: the codec's lock is held only
// for plain C++ work; Python objects are built by the caller after every
// lock is dropped.

// How a locked step ended.
enum class WlParse { Partial, Complete, Failed, NoMemory, Broken };

// Runs f (plain C++) under the codec's lock. std::bad_alloc (and
// std::length_error) give NoMemory: every step commits only after its
// allocations, so the codec is unchanged. Any other exception leaves the
// state in doubt: the mutex is poisoned and every later step is Broken.
template <class F>
WlParse wl_h1codec_locked(WlH1Codec* c, F&& f) {
    WlLock g(c->mu);
    if (c->mu.poisoned()) return WlParse::Broken;
    try {
        f();
    } catch (const std::bad_alloc&) {
        return WlParse::NoMemory;
    } catch (const std::length_error&) {
        return WlParse::NoMemory;
    } catch (...) {
        c->mu.poison();
        return WlParse::Broken;
    }
    return WlParse::Complete;
}

// Text copied out from under a lock: in place when short.
class WlText {
public:
    void assign(std::string_view v) {
        if (v.size() <= sizeof small_) {
            std::memcpy(small_, v.data(), v.size());
            n_ = v.size();
            big_.clear();
        } else {
            big_.assign(v);
            n_ = SIZE_MAX;
        }
    }
    std::string_view view() const { return n_ == SIZE_MAX ? std::string_view(big_) : std::string_view(small_, n_); }

private:
    char small_[240];
    size_t n_ = 0;
    std::string big_;
};

// A parsed request head, owning all its bytes (the parser's views into the
// read buffer are copied out under the lock).
struct WlParsedRequest {
    wl::h1::RequestHead head;  // its views are cleared
    WlText method_text;        // for Method::Other
    WlText target;
    // Kept from head to head: its collection keeps storage of its own
    // instead of borrowing a kept map's for each parse.
    bool kept = false;
};
struct WlParsedResponse {
    wl::h1::ResponseHead head;
};

// Appends data and parses one request head. Partial, Complete (out filled),
// Failed (f filled), NoMemory (data not appended) or Broken.
// With src (the bytes object data is the buffer of), the rest of a large
// read may be borrowed from it; *drop then receives a reference the caller
// releases after unlocking (or NULL).
WlParse wl_h1codec_parse_request(WlH1Codec* c, std::string_view data, WlParsedRequest& out, wl::h1::Failure& f,
                                 PyObject* src = nullptr, PyObject** drop = nullptr);
// The Python head for a parsed request (no lock held). New reference or NULL.
PyObject* wl_h1_request_head_new(WlParsedRequest& p);
// Raises the error for a Failed / NoMemory / Broken step. Returns NULL.
PyObject* wl_h1_parse_error(WlParse r, const wl::h1::Failure& f);

// The Python-facing parse calls (None when more bytes are needed). The
// bytes after a head read from a large `src` (a bytes object, data being its
// buffer) are borrowed from it rather than copied.
PyObject* wl_h1codec_receive_request_head(WlH1Codec* c, std::string_view data, PyObject* src = nullptr);
PyObject* wl_h1codec_receive_head(WlH1Codec* c, std::string_view data, PyObject* src);

// Encodes a response head and swaps it into `head` (headers may be NULL):
// the head leaves the codec without a copy. *reuse (when not NULL) receives
// whether the connection may serve another request after it. Complete,
// Failed (err filled), NoMemory or Broken.
WlParse wl_h1codec_serialize_response_native(WlH1Codec* c, unsigned status, PyObject* headers, bool keep_alive,
                                             bool http10, bool has_length, uint64_t length, bool chunked,
                                             wl::ByteBuf& head, wl::h1::SerializeError& err, bool* reuse);
PyObject* wl_h1_serialize_error(WlParse r, const wl::h1::SerializeError& err);
// Gives a head buffer back to the codec (after its bytes object was built)
// so that the next head is written without an allocation; head is left
// holding whatever the codec does not keep.
void wl_h1codec_return_head(WlH1Codec* c, wl::ByteBuf& head);

// Puts src in front of the codec's read buffer (bytes that arrived before
// anything buffered now); src ends empty. All or nothing: may throw
// std::bad_alloc with nothing moved.
void wl_h1codec_prepend_native(WlH1Codec* c, wl::ByteBuf& src);
// Swaps the read buffer out into out (which must be empty).
void wl_h1codec_take_native(WlH1Codec* c, wl::ByteBuf& out);
size_t wl_h1codec_buffered(WlH1Codec* c);
// The body-kind names and standard method names, interned (borrowed).
PyObject* wl_h1_body_kind_str(wl::h1::BodyKind k);
