// HeaderMap's native interface for the other bindings.
#pragma once
#include "core/headers.h"
#include "py/common.h"

struct WlHeaderMap {
    PyObject_HEAD
    wl::Mutex mu;
    wl::HeaderList list;
    // Counts changes to list, so that a reader that unlocked in between can
    // tell whether what it copied still holds.
    uint32_t version;
};

extern PyTypeObject* WL_HeaderMapType;

inline bool wl_headermap_check(PyObject* o) { return Py_TYPE(o) == WL_HeaderMapType; }

// A new HeaderMap that takes ownership of a freshly built collection (no
// re-validation: the builder guarantees lower-case token names and valid
// values). Returns a new reference or NULL.
PyObject* wl_headermap_from(wl::HeaderList&& list);

// Gives `out` (an empty list) the storage of a map released lately, when
// one is kept, so that a collection built into it and then handed to
// wl_headermap_from allocates nothing. Plain C++ apart from the GIL it
// relies on (builds without it keep no maps), so it may run under the
// builder's lock.
void wl_headermap_lend_storage(wl::HeaderList& out);
// Gives lent storage that was not used back to the kept map it came from
// (emptied first); otherwise `l` keeps it. Plain C++ like the above.
void wl_headermap_return_storage(wl::HeaderList& l);

// Copies the collection out under the map's lock.
void wl_headermap_copy(PyObject* map, wl::HeaderList& out);

// Reads a map in place under its lock for the lifetime of the guard.
class WlHeaderMapRead {
public:
    explicit WlHeaderMapRead(PyObject* map) : m_(reinterpret_cast<WlHeaderMap*>(map)), g_(m_->mu) {}
    const wl::HeaderList& list() const { return m_->list; }

private:
    WlHeaderMap* m_;
    WlLock g_;
};

// Argument converter: o must be a HeaderMap (TypeError naming the argument,
// "fname() argument 'arg' must be HeaderMap, not T"); with allow_none,
// None gives *out = NULL.
int wl_conv_headermap(PyObject* o, const char* fname, const char* arg, bool allow_none, PyObject** out);

// Normalizes a Python name (str or bytes) into a lower-case token in buf.
// Raises TypeError "header name must be str or bytes" or ValueError
// "invalid header name". Returns 0 or -1.
int wl_header_name(PyObject* name, std::string& buf);
// Validates a value (str or bytes) and returns a view of its bytes (valid
// while `value` lives). TypeError "header value must be str or bytes" or
// ValueError "invalid header value".
int wl_header_value(PyObject* value, std::string_view* out);
