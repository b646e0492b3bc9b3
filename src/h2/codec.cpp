#include "py/common.h"

// Placeholder until this subsystem lands.
int wl_add_h2codec(PyObject*) { return 0; }
