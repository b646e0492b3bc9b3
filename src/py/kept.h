// Objects released lately, kept whole for the next objects of their type:
// one made and dropped per request then costs no allocation and no set-up.
#pragma once

#include <Python.h>

namespace wl {

// At most N objects, each already emptied by its owner and holding no
// references. The interpreter lock guards the list; in builds without it
// nothing is kept.
template <class T, int N>
class KeptObjects {
public:
#ifdef Py_GIL_DISABLED
    static constexpr int kMax = 0;
#else
    static constexpr int kMax = N;
#endif
    bool full() const { return n_ >= kMax; }
    bool empty() const { return n_ == 0; }
    void put(T* o) { kept_[n_++] = o; }
    // The object take() would hand out next.
    T* next() const { return kept_[n_ - 1]; }
    // A kept object, made an object of tp again (a new reference).
    T* take(PyTypeObject* tp) {
        T* o = kept_[--n_];
        PyObject_Init(reinterpret_cast<PyObject*>(o), tp);
        return o;
    }

private:
    T* kept_[kMax > 0 ? kMax : 1];
    int n_ = 0;
};

}  // namespace wl

namespace wl {

// The (name, value) pairs handed out lately, each with a reference kept, so
// that the next result refills the pairs its caller has released instead of
// freeing and allocating them again (CPython's dict items iterator reuses
// its result tuple the same way). A pair is refilled only when the kept
// reference is the last one: nothing a caller still holds ever changes, and
// every value is a new object. One result's pairs are kept (at most kMax),
// and only pairs of at most kMaxBytes (name and value): a released result's
// large values must not stay alive until the next call.
//
// A call works on the kept pairs in place, marked taken meanwhile, so a
// nested call (from a finalizer run by an allocation) keeps none. Builds
// without the interpreter lock keep none (no lock guards the reference
// counts), nor do versions that cache a tuple's hash inside it.
class PairRefill {
public:
#if defined(Py_GIL_DISABLED) || PY_VERSION_HEX >= 0x030E0000
    static constexpr Py_ssize_t kMax = 0;
#else
    static constexpr Py_ssize_t kMax = 64;
#endif
    static constexpr size_t kMaxBytes = 8192;
    PairRefill() {
        if (kMax == 0 || taken_) return;
        taken_ = true;
        t_ = kept_;
        n_ = kept_n_;
        cap_ = kMax;
    }
    PairRefill(const PairRefill&) = delete;
    PairRefill& operator=(const PairRefill&) = delete;
    ~PairRefill() {
        if (t_ != kept_) return;
        kept_n_ = n_;
        taken_ = false;
    }
    // The pair (name, value) at position i of the result being built, taking
    // both references: a kept pair refilled when its caller released it, else
    // a new tuple. `bytes` is the length of the name and the value together.
    // NULL with an exception set.
    PyObject* pair(Py_ssize_t i, PyObject* name, PyObject* value, size_t bytes) {
        const bool keepable = bytes <= kMaxBytes;
        if (keepable && i < n_ && Py_REFCNT(t_[i]) == 1) {
            PyObject* t = t_[i];
            PyObject* old_name = PyTuple_GET_ITEM(t, 0);
            PyObject* old_value = PyTuple_GET_ITEM(t, 1);
            PyTuple_SET_ITEM(t, 0, name);
            PyTuple_SET_ITEM(t, 1, value);
            // A str and a bytes: freeing them runs no Python code.
            Py_DECREF(old_name);
            Py_DECREF(old_value);
            return Py_NewRef(t);
        }
        PyObject* t = PyTuple_New(2);
        if (!t) {
            Py_DECREF(name);
            Py_DECREF(value);
            return nullptr;
        }
        PyTuple_SET_ITEM(t, 0, name);
        PyTuple_SET_ITEM(t, 1, value);
        if (keepable && i < cap_) {
            // Slot i holds position i's pair, unless a large pair was left
            // out: later ones then take the next free slot, which only
            // changes where a later call finds the pairs it may refill.
            if (i < n_)
                Py_SETREF(t_[i], Py_NewRef(t));
            else
                t_[n_++] = Py_NewRef(t);
        }
        return t;
    }
    // Keeps only the first n pairs: the result built has n.
    void keep(Py_ssize_t n) {
        while (n_ > n) Py_DECREF(t_[--n_]);
    }

private:
    PyObject** t_ = nullptr;
    Py_ssize_t n_ = 0;
    Py_ssize_t cap_ = 0;
    static inline PyObject* kept_[kMax > 0 ? kMax : 1];
    static inline Py_ssize_t kept_n_ = 0;
    static inline bool taken_ = false;
};

}  // namespace wl
