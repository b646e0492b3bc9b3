#include "http/names.h"

#include <cstring>

#include "core/chars.h"
#include "core/headers.h"
#include "core/mutex.h"
#include "proto/h2/hpack_tables.h"

namespace wl_names_detail {
Key g_keys[kSlots];
Known g_known[kMaxKnown];
}  // namespace wl_names_detail

namespace {

// The names of the HPACK static table (pseudo-headers aside) and other
// names most requests and responses carry.
constexpr const char* kExtra[] = {
    "connection", "keep-alive", "te", "trailer", "transfer-encoding", "upgrade", "proxy-connection",
    "dnt", "origin", "pragma", "priority", "x-requested-with", "x-forwarded-for", "x-forwarded-host",
    "x-forwarded-proto", "x-real-ip", "x-request-id", "x-frame-options", "x-content-type-options",
    "x-xss-protection", "upgrade-insecure-requests", "sec-fetch-dest", "sec-fetch-mode",
    "sec-fetch-site", "sec-fetch-user", "sec-ch-ua", "sec-ch-ua-mobile", "sec-ch-ua-platform",
    "sec-websocket-key", "sec-websocket-version", "sec-websocket-accept", "sec-websocket-protocol",
    "sec-websocket-extensions", "access-control-allow-headers", "access-control-allow-methods",
    "access-control-allow-credentials", "access-control-expose-headers", "access-control-max-age",
    "access-control-request-headers", "access-control-request-method", "content-security-policy",
    "alt-svc", "early-data", "forwarded", "timing-allow-origin", "x-powered-by",
};

using namespace wl_names_detail;
bool g_ready = false;
size_t g_nknown = 0;

int add(const char* name, size_t len) {
    uint32_t hash = wl::HeaderList::hash_name({name, len});
    if (wl_name_shared({name, len}, hash, false) || g_nknown == kMaxKnown) return 0;
    size_t s = hash & (kSlots - 1);
    while (g_keys[s].entry) s = (s + 1) & (kSlots - 1);
    PyObject* str = PyUnicode_InternFromString(name);
    PyObject* bytes = str ? PyBytes_FromStringAndSize(name, Py_ssize_t(len)) : nullptr;
    if (!bytes) {
        Py_XDECREF(str);
        return -1;
    }
    g_known[g_nknown] = Known{name, len, {str, bytes}};  // kept for the life of the process
    g_keys[s] = Key{hash, uint32_t(g_nknown + 1)};
    ++g_nknown;
    return 0;
}

// Uncommon names seen lately, shared too: one direct-mapped table per kind,
// indexed by the seeded name hash (peers cannot aim names at one slot), for
// names of at most 64 bytes, so it holds at most a few hundred kilobytes
// (1024 slots: the names of a large head seldom evict one another). A
// try-lock guards both tables: a thread that finds it taken builds its own
// object. Only references are taken under it; a replaced object is released
// after unlocking.
constexpr size_t kRecent = 1024;
constexpr size_t kRecentMaxLen = 64;
PyObject* g_recent_str[kRecent];
PyObject* g_recent_bytes[kRecent];
wl::Mutex g_recent_mu;

PyObject* new_str(std::string_view name) {
    PyObject* o = PyUnicode_New(Py_ssize_t(name.size()), 127);
    if (o) std::memcpy(PyUnicode_DATA(o), name.data(), name.size());
    return o;
}

PyObject* new_bytes(std::string_view name) { return wl_bytes(name); }

// The name held by a table entry (ASCII str or bytes).
std::string_view held_name(PyObject* o) {
    if (PyUnicode_Check(o)) return {static_cast<const char*>(PyUnicode_DATA(o)), size_t(PyUnicode_GET_LENGTH(o))};
    return {PyBytes_AS_STRING(o), size_t(PyBytes_GET_SIZE(o))};
}

bool holds(PyObject* o, std::string_view name) {
    std::string_view h = held_name(o);
    return h.size() == name.size() && wl::bytes_equal(h.data(), name.data(), name.size());
}

PyObject* recent(PyObject** table, std::string_view name, uint32_t hash, PyObject* (*make)(std::string_view)) {
    if (name.size() > kRecentMaxLen) return make(name);
    size_t slot = hash & (kRecent - 1);
    if (g_recent_mu.try_lock()) {
        PyObject* o = table[slot];
        PyObject* hit = o && holds(o, name) ? Py_NewRef(o) : nullptr;
        g_recent_mu.unlock();
        if (hit) return hit;
    }
    PyObject* made = make(name);
    if (!made) return nullptr;
    PyObject* old = nullptr;
    if (g_recent_mu.try_lock()) {
        old = table[slot];
        table[slot] = Py_NewRef(made);
        g_recent_mu.unlock();
    }
    Py_XDECREF(old);
    return made;
}

}  // namespace

int wl_names_init() {
    if (g_ready) return 0;
    using wl::h2::tables::kStatic;
    for (int i = 1; i < 62; ++i) {
        std::string_view n = kStatic[i].name;
        if (n[0] != ':' && add(n.data(), n.size()) < 0) return -1;  // NUL-terminated literals
    }
    for (const char* n : kExtra)
        if (add(n, std::strlen(n)) < 0) return -1;
    g_ready = true;
    return 0;
}

PyObject* wl_name_str(std::string_view name) {
    uint32_t hash = wl::HeaderList::hash_name(name);
    if (PyObject* o = wl_name_shared(name, hash, false)) return Py_NewRef(o);
    return recent(g_recent_str, name, hash, new_str);
}

PyObject* wl_name_bytes(std::string_view name) {
    uint32_t hash = wl::HeaderList::hash_name(name);
    if (PyObject* o = wl_name_shared(name, hash, true)) return Py_NewRef(o);
    return recent(g_recent_bytes, name, hash, new_bytes);
}

PyObject* wl_name_uncommon(std::string_view name, bool raw, uint32_t hash) {
    return raw ? recent(g_recent_bytes, name, hash, new_bytes) : recent(g_recent_str, name, hash, new_str);
}
