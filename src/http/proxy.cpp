// ProxyMatcher and ProxyIntercept: thin, immutable wrappers over the proxy
// matcher of src/proxy. Neither holds Python objects, so neither takes part
// in garbage collection, and neither needs a lock: nothing changes after
// construction.
#include <new>
#include <optional>

#include "proxy/proxy.h"
#include "py/common.h"

namespace {

using wl::proxy::Intercept;
using wl::proxy::InterceptPtr;
using wl::proxy::Matcher;

struct PyMatcher {
    PyObject_HEAD
    Matcher m;
};

struct PyIntercept {
    PyObject_HEAD
    InterceptPtr p;
};

PyTypeObject* g_matcher_type = nullptr;
PyTypeObject* g_intercept_type = nullptr;

// UTF-8 view of a str. A str that cannot be encoded strictly (lone
// surrogates) is encoded with surrogatepass into *holder, so that it simply
// fails to parse instead of raising.
int utf8_view(PyObject* s, std::string_view* out, PyObject** holder) {
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (p) {
        *out = std::string_view(p, size_t(n));
        return 0;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
    PyErr_Clear();
    *holder = PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass");
    if (!*holder) return -1;
    *out = std::string_view(PyBytes_AS_STRING(*holder), size_t(PyBytes_GET_SIZE(*holder)));
    return 0;
}

PyObject* new_intercept(InterceptPtr p) {
    auto* self = reinterpret_cast<PyIntercept*>(g_intercept_type->tp_alloc(g_intercept_type, 0));
    if (!self) return nullptr;
    new (&self->p) InterceptPtr(std::move(p));
    return reinterpret_cast<PyObject*>(self);
}

PyObject* new_matcher(Matcher&& m) {
    auto* self = reinterpret_cast<PyMatcher*>(g_matcher_type->tp_alloc(g_matcher_type, 0));
    if (!self) return nullptr;
    new (&self->m) Matcher(std::move(m));
    return reinterpret_cast<PyObject*>(self);
}

// ---- ProxyMatcher ----

void matcher_dealloc(PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    reinterpret_cast<PyMatcher*>(o)->m.~Matcher();
    tp->tp_free(o);
    Py_DECREF(tp);
}

PyObject* matcher_from_env(PyObject*, PyObject*) {
    try {
        return new_matcher(Matcher::from_env());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

WL_ARGSPEC(g_from_parts_spec, "from_parts", 0, 0, "all", "http", "https", "no");

PyObject* matcher_from_parts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (wl_parse_args(g_from_parts_spec, args, nargs, kwnames, a) < 0) return nullptr;
    std::optional<std::string_view> v[4];
    PyObject* holders[4] = {};
    int rc = 0;
    for (int i = 0; i < 4 && rc == 0; ++i) {
        if (!a[i] || a[i] == Py_None) continue;
        if (!PyUnicode_Check(a[i])) {
            rc = wl_type_error("from_parts", g_from_parts_spec_names[i], "str or None", a[i]);
            break;
        }
        std::string_view s;
        rc = utf8_view(a[i], &s, &holders[i]);
        if (rc == 0) v[i] = s;
    }
    PyObject* r = nullptr;
    if (rc == 0) {
        try {
            r = new_matcher(Matcher::from_parts(v[0], v[1], v[2], v[3]));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
    }
    for (PyObject* h : holders) Py_XDECREF(h);
    return r;
}

WL_ARGSPEC(g_intercept_spec, "intercept", 1, 1, "url");

PyObject* matcher_intercept(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyObject* url;
    if (nargs == 1 && !kwnames) url = args[0];
    else if (wl_parse_args(g_intercept_spec, args, nargs, kwnames, &url) < 0) return nullptr;
    if (!PyUnicode_Check(url)) return wl_type_error("intercept", "url", "str", url), nullptr;
    std::string_view s;
    PyObject* holder = nullptr;
    if (utf8_view(url, &s, &holder) < 0) return nullptr;
    InterceptPtr p;
    try {
        p = reinterpret_cast<PyMatcher*>(self)->m.intercept(s);
    } catch (...) {
        Py_XDECREF(holder);
        throw;
    }
    Py_XDECREF(holder);
    if (!p) Py_RETURN_NONE;
    return new_intercept(std::move(p));
}

PyMethodDef matcher_methods[] = {
    {"from_env", WL_NOARGS(matcher_from_env), METH_NOARGS | METH_STATIC,
     "from_env()\n--\n\nBuild a matcher from the proxy environment variables (ALL_PROXY, "
     "HTTP_PROXY, HTTPS_PROXY, NO_PROXY, upper case before lower case). Never proxies when "
     "REQUEST_METHOD is set."},
    {"from_parts", WL_METH(matcher_from_parts),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_parts(*, all=None, http=None, https=None, no=None)\n--\n\nBuild a matcher from proxy "
     "URL strings; all is the fallback for both schemes, no an exclusion list in NO_PROXY "
     "syntax. None and \"\" mean unset; an unusable proxy URL is ignored."},
    {"intercept", WL_METH(matcher_intercept),
     METH_FASTCALL | METH_KEYWORDS,
     "intercept($self, url)\n--\n\nThe ProxyIntercept to use for the destination url, or None "
     "when it goes direct (excluded, not http or https, no host, or not parsable)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot matcher_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(matcher_dealloc)},
    {Py_tp_methods, matcher_methods},
    {Py_tp_doc, const_cast<char*>("Immutable proxy configuration: chooses the proxy for a "
                                  "destination URL. Build with from_env() or from_parts().")},
    {0, nullptr},
};

PyType_Spec matcher_spec = {
    WL_TYPE_NAME("ProxyMatcher"), sizeof(PyMatcher), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    matcher_slots};

// ---- ProxyIntercept ----

void intercept_dealloc(PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    reinterpret_cast<PyIntercept*>(o)->p.~InterceptPtr();
    tp->tp_free(o);
    Py_DECREF(tp);
}

const Intercept& get(PyObject* o) { return *reinterpret_cast<PyIntercept*>(o)->p; }

PyObject* utf8_str(std::string_view v) {
    return PyUnicode_DecodeUTF8(v.data(), Py_ssize_t(v.size()), nullptr);
}

PyObject* intercept_uri(PyObject* self, void*) { return utf8_str(get(self).uri); }

PyObject* intercept_basic_auth(PyObject* self, PyObject*) {
    const Intercept& i = get(self);
    if (i.auth != Intercept::Auth::Basic) Py_RETURN_NONE;
    return wl_ascii_str(i.basic);
}

PyObject* intercept_raw_auth(PyObject* self, PyObject*) {
    const Intercept& i = get(self);
    if (i.auth != Intercept::Auth::Raw) Py_RETURN_NONE;
    PyObject* u = utf8_str(i.user);
    if (!u) return nullptr;
    PyObject* p = utf8_str(i.password);
    if (!p) {
        Py_DECREF(u);
        return nullptr;
    }
    PyObject* t = PyTuple_Pack(2, u, p);
    Py_DECREF(u);
    Py_DECREF(p);
    return t;
}

PyObject* intercept_repr(PyObject* self) try {
    static const char kHex[] = "0123456789abcdef";
    std::string r = "ProxyIntercept(uri=\"";
    for (char c : get(self).uri) {
        switch (c) {
            case '"': r += "\\\""; break;
            case '\\': r += "\\\\"; break;
            case '\n': r += "\\n"; break;
            case '\r': r += "\\r"; break;
            case '\t': r += "\\t"; break;
            case '\0': r += "\\0"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                    r += "\\u{";
                    if (static_cast<unsigned char>(c) >= 0x10) r += kHex[static_cast<unsigned char>(c) >> 4];
                    r += kHex[c & 15];
                    r += '}';
                } else {
                    r += c;
                }
        }
    }
    r += "\")";
    return utf8_str(r);
} catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
}

PyMethodDef intercept_methods[] = {
    {"basic_auth", WL_NOARGS(intercept_basic_auth), METH_NOARGS,
     "basic_auth($self)\n--\n\nThe Proxy-Authorization value (\"Basic ...\") for an HTTP "
     "proxy given with user information, else None."},
    {"raw_auth", WL_NOARGS(intercept_raw_auth), METH_NOARGS,
     "raw_auth($self)\n--\n\nThe (user, password) pair for a SOCKS proxy given with user "
     "information (password \"\" when none was given), else None."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef intercept_getset[] = {
    {"uri", WL_GUARD(intercept_uri), nullptr, "The proxy URL without user information, as str.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot intercept_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(intercept_dealloc)},
    {Py_tp_repr, WL_SLOT(intercept_repr)},
    {Py_tp_methods, intercept_methods},
    {Py_tp_getset, intercept_getset},
    {Py_tp_doc, const_cast<char*>("One selected proxy: its URL and its credentials.")},
    {0, nullptr},
};

PyType_Spec intercept_spec = {
    WL_TYPE_NAME("ProxyIntercept"), sizeof(PyIntercept), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    intercept_slots};

}  // namespace

int wl_add_proxy(PyObject* m) {
    if (wl_add_type(m, &g_matcher_type, &matcher_spec) < 0) return -1;
    return wl_add_type(m, &g_intercept_type, &intercept_spec);
}
