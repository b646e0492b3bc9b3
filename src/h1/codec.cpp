#include "py/common.h"

// Placeholder until this subsystem lands.
int wl_add_h1codec(PyObject*) { return 0; }
