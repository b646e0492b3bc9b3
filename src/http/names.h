// Shared Python objects for common header names, so that reading the names
// of a parsed or decoded head does not build a new str per name per call.
#pragma once
#include <string_view>

#include "py/common.h"

// Creates the shared objects (once per process; later calls do nothing).
// Returns 0, or -1 with an exception set.
int wl_names_init();

// A lower-case header name as str / bytes: a new reference to the shared
// object when the name is a common one or was seen lately, else a new
// object. NULL with an exception set on failure.
PyObject* wl_name_str(std::string_view name);
PyObject* wl_name_bytes(std::string_view name);

// wl_name_str / wl_name_bytes (by raw) for a name wl_name_shared did not
// find, hash being wl::HeaderList::hash_name(name): skips looking it up
// among the common names again and hashing it.
PyObject* wl_name_uncommon(std::string_view name, bool raw, uint32_t hash);

// The shared object of a common name (str, or bytes when raw), borrowed,
// or NULL. Plain C++: may be called under a lock (the objects live as long
// as the process).
PyObject* wl_name_shared(std::string_view name, bool raw);
