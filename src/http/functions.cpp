// Module functions http_date() and uri_parts(url).
#include "core/date.h"
#include "core/uri.h"
#include "py/common.h"

namespace {

PyObject* http_date(PyObject*, PyObject*) {
    return PyBytes_FromStringAndSize(wl::cached_http_date(), wl::kHttpDateLen);
}

PyObject* str_or_none(std::string_view v, bool present) {
    if (!present) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(v.data(), Py_ssize_t(v.size()), "surrogateescape");
}

PyObject* uri_parts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* url;
    if (nargs == 1 && !kwnames) {
        url = args[0];
    } else {
        WL_ARGSPEC(spec, "uri_parts", 1, 1, "url");
        if (wl_parse_args(spec, args, nargs, kwnames, &url) < 0) return nullptr;
    }
    WlStrArg arg;
    if (wl_conv_str(url, "uri_parts", "url", &arg) < 0) return nullptr;
    std::string_view s = arg.v;
    wl::Uri u;
    wl::UriError e = wl::parse_uri(s, &u);
    if (e != wl::UriError::Ok)
        return PyErr_Format(PyExc_ValueError, "invalid url %U: %s", url, wl::uri_error_reason(e));

    bool has_scheme = !u.scheme.empty();
    std::string_view scheme = u.scheme_name();
    bool has_auth = !u.authority.empty();
    std::string_view host_written, host;
    uint16_t port = 0;
    bool has_port = false;
    if (has_auth) {
        host_written = wl::authority_host(u.authority);
        host = host_written;
        while (!host.empty() && host.front() == '[') host.remove_prefix(1);
        while (!host.empty() && host.back() == ']') host.remove_suffix(1);
        std::string_view pt;
        if (wl::authority_port_text(u.authority, &pt) && wl::parse_port(pt, &port)) has_port = true;
    }
    if (!has_port && has_scheme) {
        port = wl::default_port(scheme);
        has_port = port != 0;
    }
    PyObject* o_scheme = str_or_none(scheme, has_scheme);
    PyObject* o_host = o_scheme ? str_or_none(host, has_auth) : nullptr;
    PyObject* o_port = nullptr;
    PyObject* o_auth = nullptr;
    if (o_host) o_port = has_port ? PyLong_FromLong(port) : Py_NewRef(Py_None);
    if (o_port) {
        if (has_auth && has_port) {
            std::string a(host_written);
            a += ':';
            a += std::to_string(port);
            o_auth = PyUnicode_DecodeUTF8(a.data(), Py_ssize_t(a.size()), "surrogateescape");
        } else {
            o_auth = Py_NewRef(Py_None);
        }
    }
    PyObject* r = o_auth ? PyTuple_Pack(4, o_scheme, o_host, o_port, o_auth) : nullptr;
    Py_XDECREF(o_scheme);
    Py_XDECREF(o_host);
    Py_XDECREF(o_port);
    Py_XDECREF(o_auth);
    return r;
}

PyMethodDef g_functions[] = {
    {"http_date", WL_NOARGS(http_date), METH_NOARGS,
     "http_date()\n--\n\nThe current Date header value (IMF-fixdate, 29 bytes), cached per second."},
    {"uri_parts", WL_METH(uri_parts), METH_FASTCALL | METH_KEYWORDS,
     "uri_parts(url)\n--\n\nSplit a URL into (scheme, host, port, authority)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int wl_add_http_functions(PyObject* m) { return PyModule_AddFunctions(m, g_functions); }
