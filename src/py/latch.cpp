// OnceLatch: a one-shot flag for racing parties. One atomic byte, no lock.
#include <atomic>

#include "py/common.h"

namespace {

struct Latch {
    PyObject_HEAD
    std::atomic<uint8_t> flag;
};

PyTypeObject* g_latch_type = nullptr;

PyObject* latch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if ((args && PyTuple_GET_SIZE(args) != 0) || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "OnceLatch() takes no arguments");
        return nullptr;
    }
    auto* self = reinterpret_cast<Latch*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    new (&self->flag) std::atomic<uint8_t>(0);
    return reinterpret_cast<PyObject*>(self);
}

void latch_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* latch_try_acquire(PyObject* self, PyObject*) {
    uint8_t expected = 0;
    bool won = reinterpret_cast<Latch*>(self)->flag.compare_exchange_strong(
        expected, 1, std::memory_order_acq_rel, std::memory_order_acquire);
    return wl_bool(won);
}

PyObject* latch_is_set(PyObject* self, void*) {
    return wl_bool(reinterpret_cast<Latch*>(self)->flag.load(std::memory_order_acquire) != 0);
}

PyMethodDef latch_methods[] = {
    {"try_acquire", WL_NOARGS(latch_try_acquire), METH_NOARGS,
     "try_acquire($self)\n--\n\nAtomically take the latch. True for the one call that takes it, "
     "False for every other."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef latch_getset[] = {
    {"is_set", latch_is_set, nullptr, "True once any try_acquire has succeeded.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot latch_slots[] = {
    {Py_tp_new, WL_SLOT(latch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(latch_dealloc)},
    {Py_tp_methods, latch_methods},
    {Py_tp_getset, latch_getset},
    {Py_tp_doc, const_cast<char*>("OnceLatch()\n--\n\nA one-shot latch: try_acquire() succeeds exactly once.")},
    {0, nullptr},
};

PyType_Spec latch_spec = {WL_TYPE_NAME("OnceLatch"), sizeof(Latch), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, latch_slots};

}  // namespace

int wl_add_latch(PyObject* m) { return wl_add_type(m, &g_latch_type, &latch_spec); }
