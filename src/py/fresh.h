// Objects of the hot result paths (header values and names, request
// targets, the items() list) set up by hand from a fresh allocation, as the
// interpreter's own constructors set them up, without their general
// dispatch. Every object made here is new: nothing is reused.
#pragma once

#include <Python.h>

#include <cstring>

// Where the object header is written directly. The interpreter's own
// set-up adds nothing there for fresh memory: the allocation trace it
// refreshes was made by this allocation. 3.13 added reference tracers that
// must see each new object, and debug and free-threaded builds keep more per
// object; those go through the interpreter's set-up.
#if PY_VERSION_HEX < 0x030D0000 && !defined(Py_REF_DEBUG) && !defined(Py_TRACE_REFS) && !defined(Py_GIL_DISABLED)
#define WL_FRESH_BY_HAND 1
#else
#define WL_FRESH_BY_HAND 0
#endif

// Where result lists grow one item at a time. The interpreter makes the list
// itself; only its item array and size are set here, which debug builds do
// not track, so they take this too: before 3.12 a collection may start at
// any tracked allocation made while the list is filled, and run Python code
// that reaches the list, which then must hold no empty slots.
#if PY_VERSION_HEX < 0x030D0000 && !defined(Py_GIL_DISABLED)
#define WL_FRESH_LIST_BY_HAND 1
#else
#define WL_FRESH_LIST_BY_HAND 0
#endif

// The header of a fresh variable-size object of a static type: one
// reference, its type and its size.
inline void wl_fresh_var(PyVarObject* o, PyTypeObject* tp, Py_ssize_t size) {
#if WL_FRESH_BY_HAND
    o->ob_base.ob_refcnt = 1;
    o->ob_base.ob_type = tp;
    o->ob_size = size;
#else
    PyObject_InitVar(o, tp, size);
#endif
}

// A str of n ASCII bytes, as PyUnicode_New(n, 127) makes it (the shared
// empty str for n == 0) with the bytes copied in. NULL with MemoryError.
inline PyObject* wl_fresh_ascii(const char* p, size_t n) {
#if WL_FRESH_BY_HAND
    if (n == 0) return PyUnicode_New(0, 127);
    auto* o = static_cast<PyASCIIObject*>(PyObject_Malloc(sizeof(PyASCIIObject) + n + 1));
    if (!o) return PyErr_NoMemory();
    o->ob_base.ob_refcnt = 1;
    o->ob_base.ob_type = &PyUnicode_Type;
    o->length = Py_ssize_t(n);
    o->hash = -1;
    std::memset(&o->state, 0, sizeof o->state);
    o->state.kind = PyUnicode_1BYTE_KIND;
    o->state.compact = 1;
    o->state.ascii = 1;
#if PY_VERSION_HEX < 0x030C0000
    o->state.ready = 1;
    o->wstr = nullptr;
#endif
    char* d = reinterpret_cast<char*>(o + 1);
    std::memcpy(d, p, n);
    d[n] = '\0';
    return reinterpret_cast<PyObject*>(o);
#else
    PyObject* s = PyUnicode_New(Py_ssize_t(n), 127);
    if (s) std::memcpy(PyUnicode_DATA(s), p, n);
    return s;
#endif
}

// A list for n items put in order with wl_fresh_list_set: by hand, an empty
// list with room for n (no zero-filled array) that grows by one with each
// item, so a collection that runs meanwhile sees only the items put in.
// NULL with MemoryError.
inline PyObject* wl_fresh_list(Py_ssize_t n) {
#if WL_FRESH_LIST_BY_HAND
    PyObject* l = PyList_New(0);
    if (!l || n == 0) return l;
    auto* o = reinterpret_cast<PyListObject*>(l);
    o->ob_item = static_cast<PyObject**>(PyMem_Malloc(size_t(n) * sizeof(PyObject*)));
    if (!o->ob_item) {
        Py_DECREF(l);
        return PyErr_NoMemory();
    }
    o->allocated = n;
    return l;
#else
    return PyList_New(n);
#endif
}

// Puts item i (taking the reference) into a list from wl_fresh_list, items
// 0 to i-1 being in.
inline void wl_fresh_list_set(PyObject* l, Py_ssize_t i, PyObject* item) {
#if WL_FRESH_LIST_BY_HAND
    reinterpret_cast<PyListObject*>(l)->ob_item[i] = item;
    Py_SET_SIZE(l, i + 1);
#else
    PyList_SET_ITEM(l, i, item);
#endif
}
