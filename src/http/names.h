// Shared Python objects for common header names, so that reading the names
// of a parsed or decoded head does not build a new str per name per call.
#pragma once
#include <cstdint>
#include <string_view>

#include "core/chars.h"
#include "py/common.h"

namespace wl_names_detail {
// Open addressing keyed by the seeded name hash every header entry already
// holds, so finding an entry's shared objects costs no hashing. A probe reads
// only the compact key array; the name's bytes are compared on a hash match.
// Written once, at module initialisation (after the hash is seeded), and
// kept about a fifth full, so a probe seldom reads a second slot.
struct Key {
    uint32_t hash;
    uint32_t entry;  // index into g_known plus one; 0: empty slot
};
struct Known {
    const char* name;  // NUL-terminated literal, lower case
    size_t len;
    PyObject* obj[2];  // str, bytes
};
constexpr size_t kSlots = 512;
constexpr size_t kMaxKnown = 200;
extern Key g_keys[kSlots];
extern Known g_known[kMaxKnown];

// Uncommon names seen lately, one table per kind (str, bytes): see names.cpp.
struct Recent {
    PyObject* obj;     // NULL: empty
    const char* data;  // obj's bytes
    uint32_t len, hash;
};
constexpr size_t kRecent = 1024;  // sets of two, chosen by the name hash
extern Recent g_recent[2][kRecent];
}  // namespace wl_names_detail

// Creates the shared objects (once per process; later calls do nothing).
// Returns 0, or -1 with an exception set.
int wl_names_init();

// A lower-case header name as str / bytes: a new reference to the shared
// object when the name is a common one or was seen lately, else a new
// object. NULL with an exception set on failure.
PyObject* wl_name_str(std::string_view name);
PyObject* wl_name_bytes(std::string_view name);

// wl_name_uncommon when the name is not among the recent ones.
PyObject* wl_name_recent_miss(std::string_view name, bool raw, uint32_t hash);

// wl_name_str / wl_name_bytes (by raw) for a name wl_name_shared did not
// find, hash being wl::HeaderList::hash_name(name): skips looking it up
// among the common names again and hashing it.
inline PyObject* wl_name_uncommon(std::string_view name, bool raw, uint32_t hash) {
#ifndef Py_GIL_DISABLED
    // The interpreter lock orders every user of the table (names.cpp).
    using namespace wl_names_detail;
    const Recent* set = &g_recent[raw][hash & (kRecent - 2)];
    for (int w = 0; w < 2; ++w) {
        const Recent& r = set[w];
        if (r.hash == hash && r.len == name.size() && r.obj && wl::bytes_equal(r.data, name.data(), name.size()))
            return Py_NewRef(r.obj);
    }
#endif
    return wl_name_recent_miss(name, raw, hash);
}

// The shared object of a common name (str, or bytes when raw), borrowed,
// or NULL; hash is wl::HeaderList::hash_name(name), as a header entry keeps
// it. Plain C++: may be called under a lock (the objects live as long as
// the process).
inline PyObject* wl_name_shared(std::string_view name, uint32_t hash, bool raw) {
    using namespace wl_names_detail;
    for (size_t s = hash & (kSlots - 1);; s = (s + 1) & (kSlots - 1)) {
        const Key& k = g_keys[s];
        if (k.entry == 0) return nullptr;
        if (k.hash == hash) {
            const Known& e = g_known[k.entry - 1];
            if (e.len == name.size() && wl::bytes_equal(e.name, name.data(), name.size())) return e.obj[raw];
        }
    }
}
