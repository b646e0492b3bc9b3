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
