#include "py/common.h"

#include <cstring>
#include <new>
#include <stdexcept>

PyTypeObject* wl_new_type(PyType_Spec* spec, PyObject* bases) {
    PyObject* t = PyType_FromSpecWithBases(spec, bases);
    if (t) return reinterpret_cast<PyTypeObject*>(t);
    const char* dot = std::strrchr(spec->name, '.');
    const char* shortname = dot ? dot + 1 : spec->name;
    PyObject *exc, *val, *tb;
    PyErr_Fetch(&exc, &val, &tb);
    PyErr_NormalizeException(&exc, &val, &tb);
    PyErr_Format(PyExc_RuntimeError, "failed to create type object for `%s`", shortname);
    if (val) {
        PyObject *e2, *v2, *t2;
        PyErr_Fetch(&e2, &v2, &t2);
        PyErr_NormalizeException(&e2, &v2, &t2);
        PyException_SetCause(v2, val);  // steals val
        PyErr_Restore(e2, v2, t2);
    }
    Py_XDECREF(exc);
    Py_XDECREF(tb);
    return nullptr;
}

int wl_add_type(PyObject* m, PyTypeObject** slot, PyType_Spec* spec, PyObject* bases) {
    if (!*slot) {
        *slot = wl_new_type(spec, bases);
        if (!*slot) return -1;
    }
    const char* dot = std::strrchr(spec->name, '.');
    return PyModule_AddObjectRef(m, dot ? dot + 1 : spec->name, reinterpret_cast<PyObject*>(*slot));
}

int wl_add_int(PyObject* m, const char* name, long long value) {
    PyObject* v = PyLong_FromLongLong(value);
    if (!v) return -1;
    int r = PyModule_AddObjectRef(m, name, v);
    Py_DECREF(v);
    return r;
}

PyObject* wl_alloc_subclassable(PyTypeObject* type) {
    PyObject* empty = PyTuple_New(0);
    if (!empty) return nullptr;
    PyObject* o = PyBaseObject_Type.tp_new(type, empty, nullptr);
    Py_DECREF(empty);
    return o;
}

static int intern_names(WlArgSpec& s) {
    for (int i = 0; i < s.nparams; ++i) {
        if (s.interned[i]) continue;
        s.interned[i] = PyUnicode_InternFromString(s.names[i]);
        if (!s.interned[i]) return -1;
    }
    return 0;
}

int wl_parse_args(WlArgSpec& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** out) {
    if (s.nparams && !s.interned[s.nparams - 1] && intern_names(s) < 0) return -1;
    if (nargs > s.max_positional) {
        if (s.max_positional == 0)
            PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", s.fname);
        else
            PyErr_Format(PyExc_TypeError, "%s() takes at most %d positional argument%s (%zd given)",
                         s.fname, s.max_positional, s.max_positional == 1 ? "" : "s", nargs);
        return -1;
    }
    for (int i = 0; i < s.nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            int found = -1;
            for (int i = 0; i < s.nparams; ++i)
                if (s.interned[i] == key) {
                    found = i;
                    break;
                }
            if (found < 0) {
                for (int i = 0; i < s.nparams; ++i) {
                    int eq = PyUnicode_Compare(s.interned[i], key);
                    if (eq == -1 && PyErr_Occurred()) return -1;
                    if (eq == 0) {
                        found = i;
                        break;
                    }
                }
            }
            if (found < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", s.fname,
                             key);
                return -1;
            }
            if (out[found]) {
                PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%d)",
                             s.fname, s.names[found], found + 1);
                return -1;
            }
            out[found] = args[nargs + k];
        }
    }
    for (int i = 0; i < s.required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", s.fname,
                         s.names[i], i + 1);
            return -1;
        }
    }
    return 0;
}

int wl_type_error(const char* fname, const char* arg, const char* what, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", fname, arg, what,
                 Py_TYPE(got)->tp_name);
    return -1;
}

int wl_conv_bool(PyObject* o, const char* fname, const char* arg, bool* out) {
    if (!PyBool_Check(o)) return wl_type_error(fname, arg, "bool", o);
    *out = o == Py_True;
    return 0;
}

int wl_conv_uint_any(PyObject* o, const char* fname, const char* arg, uint64_t max, uint64_t* out) {
    if (!PyLong_Check(o)) return wl_type_error(fname, arg, "int", o);
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow < 0 || (overflow == 0 && v < 0)) {
        PyErr_Format(PyExc_OverflowError, "%s() argument '%s': can't convert negative int to unsigned",
                     fname, arg);
        return -1;
    }
    unsigned long long u;
    if (overflow > 0) {
        u = PyLong_AsUnsignedLongLong(o);
        if (u == (unsigned long long)-1 && PyErr_Occurred()) {
            PyErr_Clear();
            PyErr_Format(PyExc_OverflowError, "%s() argument '%s': int too big to convert", fname, arg);
            return -1;
        }
    } else {
        u = (unsigned long long)v;
    }
    if (u > max) {
        PyErr_Format(PyExc_OverflowError, "%s() argument '%s': int too big to convert", fname, arg);
        return -1;
    }
    *out = u;
    return 0;
}

int wl_conv_bytes(PyObject* o, const char* fname, const char* arg, std::string_view* out) {
    if (!PyBytes_Check(o)) return wl_type_error(fname, arg, "bytes", o);
    *out = std::string_view(PyBytes_AS_STRING(o), size_t(PyBytes_GET_SIZE(o)));
    return 0;
}

int wl_conv_str(PyObject* o, const char* fname, const char* arg, std::string_view* out) {
    if (!PyUnicode_Check(o)) return wl_type_error(fname, arg, "str", o);
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(o, &n);
    if (!p) return -1;
    *out = std::string_view(p, size_t(n));
    return 0;
}

int wl_conv_str(PyObject* o, const char* fname, const char* arg, WlStrArg* out, bool keep_surrogates) {
    if (!PyUnicode_Check(o)) return wl_type_error(fname, arg, "str", o);
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(o, &n);
    if (p) {
        out->v = std::string_view(p, size_t(n));
        return 0;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
    PyErr_Clear();
    out->holder = PyUnicode_AsEncodedString(o, "utf-8", "surrogatepass");
    if (!out->holder) return -1;
    char* b = PyBytes_AS_STRING(out->holder);  // a new object of ours: writable
    size_t len = size_t(PyBytes_GET_SIZE(out->holder));
    if (!keep_surrogates) {
        // A surrogate's form is ED A0..BF xx; no valid sequence starts so.
        for (size_t i = 0; i + 2 < len; ++i)
            if (uint8_t(b[i]) == 0xED && (uint8_t(b[i + 1]) & 0xE0) == 0xA0) b[i] = b[i + 1] = b[i + 2] = 0;
    }
    out->v = std::string_view(b, len);
    return 0;
}

PyObject* wl_value_error(std::string_view msg) {
    PyObject* s = PyUnicode_DecodeUTF8(msg.data(), Py_ssize_t(msg.size()), "surrogatepass");
    if (!s) {
        PyErr_Clear();
        s = PyUnicode_DecodeUTF8(msg.data(), Py_ssize_t(msg.size()), "replace");
    }
    if (!s) return nullptr;
    PyErr_SetObject(PyExc_ValueError, s);
    Py_DECREF(s);
    return nullptr;
}

void wl_raise_from_cxx() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "internal error in wirelet: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "internal error in wirelet");
    }
}
