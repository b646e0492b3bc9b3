#include "http/names.h"

#include <cstring>

#include "core/chars.h"
#include "core/headers.h"
#include "core/mutex.h"
#include "proto/h2/hpack_tables.h"
#include "py/fresh.h"

namespace wl_names_detail {
Key g_keys[kSlots];
Known g_known[kMaxKnown];
Recent g_recent[2][kRecent];
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

// Uncommon names seen lately, shared too: one table per kind, in sets of two
// entries chosen by the seeded name hash (peers cannot aim names at one set;
// two names that meet in a set both stay), for names of at most 64 bytes, so
// it holds at most a few hundred kilobytes (1024 entries: the names of a
// large head seldom evict one another). Each entry keeps the name's hash and
// bytes beside its object, so a probe reads no object that does not match.
// The interpreter lock orders their users (every caller makes Python
// objects); in builds without it a try-lock guards both tables, and a thread
// that finds it taken builds its own object. Only references are taken under
// it; a replaced object is released after unlocking.
constexpr size_t kRecentMaxLen = 64;
#ifdef Py_GIL_DISABLED
wl::Mutex g_recent_mu;
bool recent_try_lock() { return g_recent_mu.try_lock(); }
void recent_unlock() { g_recent_mu.unlock(); }
#else
bool recent_try_lock() { return true; }
void recent_unlock() {}
#endif

PyObject* make_name(std::string_view name, bool raw) {
    if (raw) return wl_bytes(name);
    return wl_fresh_ascii(name.data(), name.size());
}

const char* name_data(PyObject* o, bool raw) {
    return raw ? PyBytes_AS_STRING(o) : static_cast<const char*>(PyUnicode_DATA(o));
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
    return wl_name_uncommon(name, false, hash);
}

PyObject* wl_name_bytes(std::string_view name) {
    uint32_t hash = wl::HeaderList::hash_name(name);
    if (PyObject* o = wl_name_shared(name, hash, true)) return Py_NewRef(o);
    return wl_name_uncommon(name, true, hash);
}

PyObject* wl_name_recent_miss(std::string_view name, bool raw, uint32_t hash) {
    if (name.size() > kRecentMaxLen) return make_name(name, raw);
    Recent* set = &g_recent[raw][hash & (kRecent - 2)];
#ifdef Py_GIL_DISABLED
    // Not looked up inline in these builds.
    if (recent_try_lock()) {
        PyObject* hit = nullptr;
        for (int w = 0; w < 2 && !hit; ++w) {
            const Recent& r = set[w];
            if (r.hash == hash && r.len == name.size() && r.obj && wl::bytes_equal(r.data, name.data(), name.size()))
                hit = Py_NewRef(r.obj);
        }
        recent_unlock();
        if (hit) return hit;
    }
#endif
    PyObject* made = make_name(name, raw);
    if (!made) return nullptr;
    PyObject* old = nullptr;
    if (recent_try_lock()) {
        // The newest first; the older of the two leaves.
        old = set[1].obj;
        set[1] = set[0];
        set[0] = Recent{Py_NewRef(made), name_data(made, raw), uint32_t(name.size()), hash};
        recent_unlock();
    }
    Py_XDECREF(old);
    return made;
}
