// Module definition and execution step: adds every attribute in the
// published order.
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <chrono>

#include "core/headers.h"
#include "errors/errors.h"
#include "http/names.h"
#include "py/common.h"

namespace {

// Header names come from peers: the name index is seeded from the operating
// system's randomness once per process, before any collection exists (a
// reload keeps the seed, as maps built under it may still be alive).
void seed_header_hash() {
    static bool seeded = false;
    if (seeded) return;
    seeded = true;
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != ssize_t(sizeof seed)) {
        int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
        if (fd < 0 || read(fd, &seed, sizeof seed) != ssize_t(sizeof seed))
            seed = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                   uint64_t(reinterpret_cast<uintptr_t>(&seeded));
        if (fd >= 0) close(fd);
    }
    wl::HeaderList::set_hash_seed(seed);
}

PyObject* g_version = nullptr;

PyObject* version_string() {
    if (g_version) return g_version;
    // Derived once from the package version: "-alpha" -> "a", "-beta" -> "b".
    std::string v = WIRELET_VERSION;
    for (auto [from, to] : {std::pair<const char*, const char*>{"-alpha", "a"}, {"-beta", "b"}}) {
        std::string f(from);
        for (size_t p; (p = v.find(f)) != std::string::npos;) v.replace(p, f.size(), to);
    }
    g_version = PyUnicode_FromStringAndSize(v.data(), Py_ssize_t(v.size()));
    return g_version;
}

int add_ints(PyObject* m, std::initializer_list<std::pair<const char*, long long>> items) {
    for (auto& [name, value] : items)
        if (wl_add_int(m, name, value) < 0) return -1;
    return 0;
}

int wl_exec(PyObject* m) {
    if (!PyModule_Check(m)) {
        PyErr_SetString(PyExc_TypeError, "module exec slot expects a module object");
        return -1;
    }
    seed_header_hash();
    PyObject* ver = version_string();
    if (!ver || PyModule_AddObjectRef(m, "__version__", ver) < 0) return -1;                  // 1
    if (wl_add_exc(m, WL_EXC_WIRELET) < 0 || wl_add_exc(m, WL_EXC_CONN_CLOSED) < 0) return -1;  // 2, 3
    if (wl_names_init() < 0 || wl_add_headermap(m) < 0) return -1;                                                   // 4
    if (wl_add_http_functions(m) < 0) return -1;                                              // 5, 6
    if (wl_add_h2codec(m) < 0) return -1;                                                     // 7, 8
    if (wl_add_h2streams(m) < 0) return -1;                                                   // 9
    if (wl_add_h2conn(m) < 0) return -1;                                                      // 10
    if (add_ints(m, {{"H2_FLAG_WAKE", 1}, {"H2_FLAG_SLOT_FREED", 2}, {"H2_FLAG_CONN_DONE", 4},
                     {"H2_FLAG_STOP_ACCEPTING", 8}}) < 0)                                     // 11
        return -1;
    if (add_ints(m, {{"H2_HEADERS_IGNORED", 0}, {"H2_HEADERS_OPENED", 1}, {"H2_HEADERS_HEAD", 2},
                     {"H2_HEADERS_TRAILERS", 3}}) < 0)                                        // 12
        return -1;
    for (WlExc e : {WL_EXC_H2, WL_EXC_H2_PROTOCOL, WL_EXC_H2_STREAM, WL_EXC_H2_USER, WL_EXC_H2_FLOW})
        if (wl_add_exc(m, e) < 0) return -1;                                                  // 13
    if (wl_add_h2reason(m) < 0) return -1;                                                    // 14
    if (add_ints(m, {{"H2_DEFAULT_HEADER_TABLE_SIZE", 4096},                                  // 15
                     {"H2_DEFAULT_INITIAL_WINDOW_SIZE", 65535},                               // 16
                     {"H2_DEFAULT_MAX_FRAME_SIZE", 16384},                                    // 17
                     {"H2_MAX_MAX_FRAME_SIZE", 16777215},                                     // 18
                     {"H2_MAX_STREAM_ID", 2147483647},                                        // 19
                     {"H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD", 256},                       // 20
                     {"H2_DEFAULT_DATA_FRAME_BUDGET", 25600},                                 // 21
                     {"H2_MAX_RECV_EMPTY_DATA_FRAMES", 100}}) < 0)                            // 22
        return -1;
    {
        PyObject* preface = PyBytes_FromStringAndSize("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 24);
        if (!preface) return -1;
        int r = PyModule_AddObjectRef(m, "H2_PREFACE", preface);                              // 23
        Py_DECREF(preface);
        if (r < 0) return -1;
    }
    for (WlExc e : {WL_EXC_H1, WL_EXC_H1_PARSE, WL_EXC_H1_BODY, WL_EXC_H1_INCOMPLETE,
                    WL_EXC_H1_UNEXPECTED, WL_EXC_H1_USER})
        if (wl_add_exc(m, e) < 0) return -1;                                                  // 24
    if (wl_add_h1codec(m) < 0) return -1;                                                     // 25
    if (wl_add_h1conn(m) < 0 || wl_add_latch(m) < 0) return -1;                               // 26
    if (add_ints(m, {{"H1_WATCH_HANDOFF", 0}, {"H1_WATCH_IDLE_EOF", 1}, {"H1_WATCH_IDLE_BYTES", 2},
                     {"H1_WATCH_IDLE_ERROR", 3}, {"H1_WATCH_IGNORED", 4}}) < 0)               // 27
        return -1;
    if (add_ints(m, {{"H1_NEXT_NONE", 0}, {"H1_NEXT_RAISE", 1}, {"H1_NEXT_CLOSE", 2},
                     {"H1_NEXT_DRAIN", 3}, {"H1_READ_PARSE", 4}, {"H1_READ_SHUTDOWN", 5},
                     {"H1_READ_WATCHER", 6}, {"H1_READ_TRANSPORT", 7}, {"H1_READ_EOF", 8}}) < 0)  // 28
        return -1;
    if (add_ints(m, {{"H1_REQ_OK", 0}, {"H1_REQ_ALREADY", 1}, {"H1_REQ_STALE", 2},
                     {"H1_REQ_PARKED", 3}, {"H1_REQ_PEER_CLOSED", 4}, {"H1_REQ_CONTINUE", 5}}) < 0)  // 29
        return -1;
    if (wl_add_proxy(m) < 0) return -1;                                                       // 30
    return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(wl_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT,
    "_wirelet",
    nullptr,  // empty docstring
    0,        // no per-module state
    nullptr,  // functions are added by the execution step
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__wirelet(void) { return PyModuleDef_Init(&g_def); }
