#include "http/names.h"

#include <cstring>

#include "proto/h2/hpack_tables.h"

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

struct Slot {
    const char* name = nullptr;  // NUL-terminated, lower case
    size_t len = 0;
    PyObject* str = nullptr;
    PyObject* bytes = nullptr;
};

// Open addressing over a hash of the length and three bytes: cheap enough
// to beat building a short str, and the table is written once.
constexpr size_t kSlots = 512;
Slot g_slots[kSlots];
bool g_ready = false;

inline size_t slot_of(const char* p, size_t n) {
    return (n * 0x9e37u + uint8_t(p[0]) * 0x45d9u + uint8_t(p[n - 1]) * 0x2f1du + uint8_t(p[n / 2]) * 0x11u) &
           (kSlots - 1);
}

const Slot* lookup(std::string_view name) {
    if (name.empty() || name.size() > 40) return nullptr;
    for (size_t s = slot_of(name.data(), name.size());; s = (s + 1) & (kSlots - 1)) {
        const Slot& sl = g_slots[s];
        if (!sl.name) return nullptr;
        if (sl.len == name.size() && std::memcmp(sl.name, name.data(), name.size()) == 0) return &sl;
    }
}

int add(const char* name, size_t len) {
    if (lookup({name, len})) return 0;
    size_t s = slot_of(name, len);
    while (g_slots[s].name) s = (s + 1) & (kSlots - 1);
    PyObject* str = PyUnicode_InternFromString(name);
    PyObject* bytes = str ? PyBytes_FromStringAndSize(name, Py_ssize_t(len)) : nullptr;
    if (!bytes) {
        Py_XDECREF(str);
        return -1;
    }
    g_slots[s] = Slot{name, len, str, bytes};  // kept for the life of the process
    return 0;
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
    if (const Slot* s = lookup(name)) return Py_NewRef(s->str);
    PyObject* o = PyUnicode_New(Py_ssize_t(name.size()), 127);
    if (o) std::memcpy(PyUnicode_DATA(o), name.data(), name.size());
    return o;
}

PyObject* wl_name_bytes(std::string_view name) {
    if (const Slot* s = lookup(name)) return Py_NewRef(s->bytes);
    return wl_bytes(name);
}
