// Shared helpers of the binding layer: type creation, fast argument
// parsing, converters with exact error messages, and lock guards.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string_view>
#include <type_traits>

#include "core/mutex.h"

#define WL_MODULE "wirelet._wirelet"
#define WL_TYPE_NAME(name) WL_MODULE "." name

// Creates a heap type from spec (bases may be NULL). On failure raises
// RuntimeError "failed to create type object for `Name`" chained from the
// original error. Returns a new reference.
PyTypeObject* wl_new_type(PyType_Spec* spec, PyObject* bases = nullptr);

// Creates *slot once per process from spec, then adds it to module m under
// its short name. Returns 0 or -1 with an exception set.
int wl_add_type(PyObject* m, PyTypeObject** slot, PyType_Spec* spec, PyObject* bases = nullptr);

// Adds an int constant; 0 or -1.
int wl_add_int(PyObject* m, const char* name, long long value);

// Allocates an instance of a class that Python may subclass (zero-filled,
// like tp_alloc). It goes through object.__new__, which also lays out a
// subclass's instance attributes the way the interpreter's fast attribute
// access expects; tp_alloc alone leaves them in a plain dict, where every
// attribute read and write of the driver takes the slow path.
PyObject* wl_alloc_subclassable(PyTypeObject* type);

// ---- argument parsing for METH_FASTCALL | METH_KEYWORDS ----
//
// Parameters are listed in order; the first `max_positional` may be passed
// positionally, the rest only by keyword. The first `required` must be
// given. `out` receives borrowed references, NULL for omitted arguments.
// Keyword names are matched against interned copies first (pointer
// equality), then by value; no tuple or dict is built.
struct WlArgSpec {
    const char* fname;            // "receive_head", used in messages
    const char* const* names;     // parameter names
    int nparams;
    int max_positional;
    int required;
    PyObject** interned;          // nparams slots, filled on first use
};

#define WL_ARGSPEC(var, fname, maxpos, required, ...)                                   \
    static const char* const var##_names[] = {__VA_ARGS__};                            \
    static PyObject* var##_interned[sizeof(var##_names) / sizeof(var##_names[0])];     \
    static WlArgSpec var = {fname, var##_names,                                          \
                            int(sizeof(var##_names) / sizeof(var##_names[0])), maxpos,  \
                            required, var##_interned}

int wl_parse_args(WlArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** out);

// Converters. Each returns 0 on success, -1 with TypeError/OverflowError set.
// Messages name the function and the argument, e.g.
//   "receive_head() argument 'data' must be bytes, not str".
int wl_conv_bool(PyObject* o, const char* fname, const char* arg, bool* out);
// The value of an exact int that fits one internal digit (statuses,
// lengths, stream ids: nearly every argument), read in place; false for
// any other object, which then takes the general conversion.
inline bool wl_small_uint(PyObject* o, uint64_t* out) {
    if (!PyLong_CheckExact(o)) return false;
    const PyLongObject* l = reinterpret_cast<const PyLongObject*>(o);
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(l)) return false;
    Py_ssize_t v = PyUnstable_Long_CompactValue(l);
#else
    if (Py_SIZE(o) != 0 && Py_SIZE(o) != 1) return false;
    Py_ssize_t v = Py_SIZE(o) ? Py_ssize_t(l->ob_digit[0]) : 0;
#endif
    if (v < 0) return false;
    *out = uint64_t(v);
    return true;
}
int wl_conv_uint_any(PyObject* o, const char* fname, const char* arg, uint64_t max, uint64_t* out);
inline int wl_conv_uint(PyObject* o, const char* fname, const char* arg, uint64_t max, uint64_t* out) {
    uint64_t v;
    if (wl_small_uint(o, &v) && v <= max) {
        *out = v;
        return 0;
    }
    return wl_conv_uint_any(o, fname, arg, max, out);
}
int wl_conv_bytes(PyObject* o, const char* fname, const char* arg, std::string_view* out);
int wl_conv_str(PyObject* o, const char* fname, const char* arg, std::string_view* out);  // UTF-8

// A str argument whose UTF-8 bytes are checked by a parser that reports
// invalid values itself (URLs, methods, body kinds): a lone surrogate is not
// text, so instead of raising UnicodeEncodeError each one becomes three NUL
// bytes, which every grammar refuses as an invalid value (and no name
// matches). With keep_surrogates the 3-byte form is kept instead, for
// messages that quote the value (wl_value_error decodes it back). The view
// lives as long as both the argument and this holder.
struct WlStrArg {
    std::string_view v;
    PyObject* holder = nullptr;  // encoded copy when the str holds surrogates
    WlStrArg() = default;
    WlStrArg(const WlStrArg&) = delete;
    WlStrArg& operator=(const WlStrArg&) = delete;
    ~WlStrArg() { Py_XDECREF(holder); }
};
int wl_conv_str(PyObject* o, const char* fname, const char* arg, WlStrArg* out, bool keep_surrogates = false);
// Raises ValueError(msg), decoding msg's bytes so that a surrogate passed
// through WlStrArg reads back as itself. Returns NULL.
PyObject* wl_value_error(std::string_view msg);
// Raises "fname() argument 'arg' must be what, not type".
int wl_type_error(const char* fname, const char* arg, const char* what, PyObject* got);

// ---- C++ exceptions never reach the interpreter ----
//
// Raises the Python error for the C++ exception being handled: MemoryError
// for std::bad_alloc and std::length_error, SystemError for anything else.
// Call only from inside a catch block.
void wl_raise_from_cxx() noexcept;

// Wraps an entry point (method, getter, slot) so that a C++ exception that
// escapes it becomes a Python error: NULL or -1 is returned. Guarding is
// the last line only: operations that can fail mid-way keep their state
// intact themselves (allocate first, then commit).
template <class Sig>
struct WlGuard;
template <class R, class... A>
struct WlGuard<R (*)(A...)> {
    template <R (*F)(A...)>
    static R call(A... a) noexcept {
        try {
            return F(a...);
        } catch (...) {
            wl_raise_from_cxx();
            if constexpr (std::is_pointer_v<R>)
                return nullptr;
            else
                return R(-1);
        }
    }
};
#define WL_GUARD(fn) (&WlGuard<decltype(&fn)>::template call<&fn>)
// A guarded slot function as a PyType_Slot pointer.
#define WL_SLOT(fn) reinterpret_cast<void*>(WL_GUARD(fn))

// A METH_FASTCALL function as a method-table entry's PyCFunction (guarded).
#define WL_METH(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(WL_GUARD(fn)))
// A METH_NOARGS / METH_O function, guarded.
#define WL_NOARGS(fn) WL_GUARD(fn)

// RAII lock of an object's internal mutex (never releases the GIL). Builds
// with the interpreter lock take nothing: only plain C++ runs under an
// internal mutex, so a thread keeps the interpreter lock from lock to unlock,
// no other thread can be inside any locked section meanwhile, and the
// interpreter lock's hand-over orders memory. The mutex's two uncontended
// atomic operations would add nothing but their cost.
#ifdef Py_GIL_DISABLED
using WlLock = wl::LockGuard<wl::Mutex>;
#else
class WlLock {
public:
    explicit WlLock(wl::Mutex&) {}
    WlLock(const WlLock&) = delete;
    WlLock& operator=(const WlLock&) = delete;
};
#endif

// bytes / str from views.
inline PyObject* wl_bytes(std::string_view v) {
    return PyBytes_FromStringAndSize(v.data(), Py_ssize_t(v.size()));
}
inline PyObject* wl_ascii_str(std::string_view v) {
    return PyUnicode_DecodeLatin1(v.data(), Py_ssize_t(v.size()), nullptr);
}
inline PyObject* wl_bool(bool b) { return Py_NewRef(b ? Py_True : Py_False); }

// ---- registration hooks: each subsystem adds its classes at its rows ----
int wl_add_headermap(PyObject* m);                  // row 4
int wl_add_http_functions(PyObject* m);             // rows 5-6
int wl_add_h2codec(PyObject* m);                    // rows 7-8
int wl_add_h2streams(PyObject* m);                  // row 9
int wl_add_h2conn(PyObject* m);                     // row 10
int wl_add_h2reason(PyObject* m);                   // row 14
int wl_add_h1codec(PyObject* m);                    // row 25 (H1Codec, H1ResponseHead, H1RequestHead)
int wl_add_h1body(PyObject* m);                     // row 25 (H1BodyDecoder; called by wl_add_h1codec)
int wl_add_h1conn(PyObject* m);                     // row 26 (H1ServerState, H1ClientState)
int wl_add_latch(PyObject* m);                      // row 26 (OnceLatch)
int wl_add_proxy(PyObject* m);                      // row 30
