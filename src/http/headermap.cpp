// HeaderMap: the Python face of wl::HeaderList.
#include "http/headermap.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "core/chars.h"
#include "core/copy.h"
#include "core/load.h"
#include "http/names.h"
#include "py/fresh.h"
#include "py/kept.h"

PyTypeObject* WL_HeaderMapType = nullptr;

namespace {

using wl::HeaderList;

constexpr const char* kFullMsg = "header map is full (http::HeaderMap MAX_SIZE, 32768 entries)";
// Names and values live in one store addressed by 32-bit offsets.
constexpr const char* kTooLargeMsg = "header map is full (names and values exceed 4 GiB)";

WlHeaderMap* as_map(PyObject* o) { return reinterpret_cast<WlHeaderMap*>(o); }

PyObject* status_error(HeaderList::Status st) {
    PyErr_SetString(PyExc_ValueError, st == HeaderList::Status::TooLarge ? kTooLargeMsg : kFullMsg);
    return nullptr;
}

PyObject* ascii_str(std::string_view v) { return wl_fresh_ascii(v.data(), v.size()); }

// The bytes of a str or bytes object read in place, or false. An ASCII
// str's bytes are its UTF-8, held in the object; neither read runs Python
// code.
inline bool ascii_view(PyObject* o, std::string_view* out) {
    if (!PyUnicode_Check(o) || !PyUnicode_IS_COMPACT_ASCII(o)) return false;
    *out = {static_cast<const char*>(PyUnicode_DATA(o)), size_t(PyUnicode_GET_LENGTH(o))};
    return true;
}

inline bool plain_view(PyObject* o, std::string_view* out) {
    if (PyBytes_Check(o)) {
        *out = {PyBytes_AS_STRING(o), size_t(PyBytes_GET_SIZE(o))};
        return true;
    }
    return ascii_view(o, out);
}

// Name bytes of a str or bytes object, or -1 with TypeError (or the
// encoding error of a str that is not valid text).
int name_bytes(PyObject* name, std::string_view* out) {
    if (plain_view(name, out)) return 0;
    if (PyUnicode_Check(name)) {
        Py_ssize_t n;
        const char* p = PyUnicode_AsUTF8AndSize(name, &n);
        if (!p) return -1;
        *out = {p, size_t(n)};
        return 0;
    }
    PyErr_SetString(PyExc_TypeError, "header name must be str or bytes");
    return -1;
}

// Writes the lower-case form of raw to d (raw.size() bytes); false for an
// invalid name.
inline bool lower_token(std::string_view raw, char* d) {
    return raw.size() <= 65535 && wl::lower_token(raw.data(), raw.size(), d);
}

bool normalize(std::string_view raw, std::string& buf) {
    if (raw.size() > 65535) return false;
    buf.resize(raw.size());
    return lower_token(raw, buf.data());
}

// Room for one normalized name: on the stack for any usual name, on the heap
// beyond that.
class NameBuf {
public:
    char* get(size_t n) {
        if (n <= sizeof small_) return small_;
        big_.resize(n);
        return big_.data();
    }

private:
    char small_[256];
    std::string big_;
};

}  // namespace

int wl_header_name(PyObject* name, std::string& buf) {
    std::string_view raw;
    if (name_bytes(name, &raw) < 0) return -1;
    if (!normalize(raw, buf)) {
        PyErr_SetString(PyExc_ValueError, "invalid header name");
        return -1;
    }
    return 0;
}

int wl_header_value(PyObject* value, std::string_view* out) {
    if (plain_view(value, out)) {
    } else if (PyUnicode_Check(value)) {
        Py_ssize_t n;
        const char* p = PyUnicode_AsUTF8AndSize(value, &n);
        if (!p) return -1;
        *out = {p, size_t(n)};
    } else {
        PyErr_SetString(PyExc_TypeError, "header value must be str or bytes");
        return -1;
    }
    if (!wl::is_field_value(*out)) {
        PyErr_SetString(PyExc_ValueError, "invalid header value");
        return -1;
    }
    return 0;
}

namespace {

// Maps released lately, kept whole (lock and cleared collection with its
// storage) for the next maps, parsed or built. Each holds at most
// kSpareBytes, so the few kept stay a few kilobytes.
constexpr size_t kSpareBytes = 8192;
wl::KeptObjects<WlHeaderMap, 8> g_spares;

bool keep_spare(WlHeaderMap* self) {
    if (g_spares.full() || Py_TYPE(self) != WL_HeaderMapType || self->list.capacity_bytes() > kSpareBytes)
        return false;
    self->list.clear();
    g_spares.put(self);
    return true;
}

// A map of type tp with an empty list, a kept one when there is one; NULL
// with MemoryError.
WlHeaderMap* alloc_map(PyTypeObject* tp) {
    if (!g_spares.empty() && tp == WL_HeaderMapType) return g_spares.take(tp);
    auto* self = reinterpret_cast<WlHeaderMap*>(tp->tp_alloc(tp, 0));
    if (!self) return nullptr;
    new (&self->mu) wl::Mutex();
    new (&self->list) HeaderList();
    self->version = 0;
    return self;
}

}  // namespace

void wl_headermap_lend_storage(HeaderList& out) {
    if (!g_spares.empty()) out.swap(g_spares.next()->list);
}

void wl_headermap_return_storage(HeaderList& l) {
    if (l.entries().capacity() == 0 || g_spares.empty() || l.capacity_bytes() > kSpareBytes) return;
    HeaderList& k = g_spares.next()->list;
    if (k.entries().capacity() != 0) return;  // it has storage of its own
    l.clear();
    k.swap(l);
}

PyObject* wl_headermap_from(HeaderList&& list) {
    WlHeaderMap* self = alloc_map(WL_HeaderMapType);
    if (!self) return nullptr;
    self->list.swap(list);  // the new map's list is empty
    return reinterpret_cast<PyObject*>(self);
}

void wl_headermap_copy(PyObject* map, HeaderList& out) {
    WlHeaderMap* m = as_map(map);
    WlLock g(m->mu);
    out = m->list;
}

int wl_conv_headermap(PyObject* o, const char* fname, const char* arg, bool allow_none, PyObject** out) {
    if (allow_none && o == Py_None) {
        *out = nullptr;
        return 0;
    }
    if (!wl_headermap_check(o)) return wl_type_error(fname, arg, allow_none ? "HeaderMap or None" : "HeaderMap", o);
    *out = o;
    return 0;
}

namespace {

int append_status(HeaderList& list, std::string_view name, std::string_view value) {
    HeaderList::Status st = list.append(name, value);
    if (st == HeaderList::Status::Ok) return 0;
    status_error(st);
    return -1;
}

// Lower-cases the name into n (room for its size) and checks the value, in
// that order: the errors a pair raises, whichever path reads it.
int fold_pair(std::string_view raw, std::string_view v, char* n) {
    if (!lower_token(raw, n)) {
        PyErr_SetString(PyExc_ValueError, "invalid header name");
        return -1;
    }
    if (!wl::is_field_value(v)) {
        PyErr_SetString(PyExc_ValueError, "invalid header value");
        return -1;
    }
    return 0;
}

// Appends a pair read in place: the name is validated (and lower-cased into
// nb), then the value, in that order.
int append_views(HeaderList& list, std::string_view raw, std::string_view v, NameBuf& nb) {
    char* n = nb.get(raw.size());
    if (fold_pair(raw, v, n) < 0) return -1;
    return append_status(list, {n, raw.size()}, v);
}

// Appends (name, value) objects: the name's type and bytes, then the value's.
int append_pair(HeaderList& list, PyObject* name, PyObject* value, NameBuf& nb) {
    std::string_view raw, v;
    if (name_bytes(name, &raw) < 0) return -1;
    char* n = nb.get(raw.size());
    if (!lower_token(raw, n)) {
        PyErr_SetString(PyExc_ValueError, "invalid header name");
        return -1;
    }
    if (wl_header_value(value, &v) < 0) return -1;
    return append_status(list, {n, raw.size()}, v);
}

// plain_view for exact bytes and str only: the type is compared, not its
// flags read.
inline bool exact_view(PyObject* o, std::string_view* out) {
    if (Py_IS_TYPE(o, &PyBytes_Type)) {
        *out = {PyBytes_AS_STRING(o), size_t(PyBytes_GET_SIZE(o))};
        return true;
    }
    if (!Py_IS_TYPE(o, &PyUnicode_Type) || !PyUnicode_IS_COMPACT_ASCII(o)) return false;
    *out = {static_cast<const char*>(PyUnicode_DATA(o)), size_t(PyUnicode_GET_LENGTH(o))};
    return true;
}

// Bytes written back to back: on the stack for a usual head, on the heap
// beyond that.
class Block {
public:
    char* room(size_t n) {
        if (cap_ - size_ < n) grow(n);
        char* p = data_ + size_;
        size_ += n;
        return p;
    }
    std::string_view view() const { return {data_, size_}; }

private:
    void grow(size_t n) {
        size_t cap = std::max(cap_ * 2, size_ + n);
        std::unique_ptr<char[]> fresh(new char[cap]);
        std::memcpy(fresh.get(), data_, size_);
        heap_ = std::move(fresh);
        data_ = heap_.get();
        cap_ = cap;
    }

    char small_[2048];
    std::unique_ptr<char[]> heap_;
    char* data_ = small_;
    size_t size_ = 0, cap_ = sizeof small_;
};

// Two lengths per pair (name, value): on the stack for a usual map.
class PairLens {
public:
    explicit PairLens(size_t pairs) {
        if (pairs > kSmall) big_.reset(new uint32_t[2 * pairs]);
        lens_ = big_ ? big_.get() : small_;
    }
    void set(size_t i, size_t name, size_t value) {
        lens_[2 * i] = uint32_t(name);
        lens_[2 * i + 1] = uint32_t(value);
    }
    uint32_t name(size_t i) const { return lens_[2 * i]; }
    uint32_t value(size_t i) const { return lens_[2 * i + 1]; }

private:
    static constexpr size_t kSmall = 64;
    uint32_t small_[2 * kSmall];
    std::unique_ptr<uint32_t[]> big_;
    uint32_t* lens_;
};

// The common constructions: n pairs of bytes or ASCII str read in place by
// next(i, &name, &value), which runs no Python code (so the source cannot
// change under us) and returns false for a pair of another kind. Each pair
// is validated as it is read, its lower-cased name and its value written
// into one block; the block enters the store with a single copy and the
// entries point into it. Returns 1 when some pair is of another kind
// (nothing appended: the general path starts over), else 0 or -1.
template <class Next>
int fill_plain(HeaderList& list, size_t n, Next&& next) {
    if (n == 0) return 0;
    Block block;
    PairLens lens(n);
    for (size_t i = 0; i < n; ++i) {
        std::string_view raw, v;
        if (!next(i, &raw, &v)) return 1;
        // Past one store's worth the general path finds which pair fails first.
        if (raw.size() + v.size() > HeaderList::kMaxStore - block.view().size()) return 1;
        char* d = block.room(raw.size() + v.size());
        if (!lower_token(raw, d)) {
            PyErr_SetString(PyExc_ValueError, "invalid header name");
            return -1;
        }
        if (!wl::copy_field_value(v.data(), v.size(), d + raw.size())) {
            PyErr_SetString(PyExc_ValueError, "invalid header value");
            return -1;
        }
        lens.set(i, raw.size(), v.size());
    }
    uint32_t off = list.adopt_block(block.view(), std::min(n, size_t(HeaderList::kMaxNames))).off;
    HeaderList::Status st = list.append_lines(n, [&](size_t i, HeaderList::Span* ns, HeaderList::Span* vs) {
        *ns = {off, lens.name(i)};
        *vs = {off + lens.name(i), lens.value(i)};
        off += lens.name(i) + lens.value(i);
        return true;
    });
    if (st == HeaderList::Status::Ok) return 0;
    status_error(st);
    return -1;
}

// A list or tuple of 2-tuples of exact bytes or ASCII str.
int fill_plain_pairs(HeaderList& list, PyObject* seq) {
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    PyObject** items = PySequence_Fast_ITEMS(seq);
    // The pairs' tuples are scattered objects, mostly out of cache: those of
    // a stretch are asked for at once, so their misses overlap instead of
    // coming one after another. (Asking for their names and values too
    // measured slower: that reads each tuple before it is in.)
    constexpr Py_ssize_t kAhead = 32;
    for (Py_ssize_t i = 0; i < std::min(n, kAhead); ++i) __builtin_prefetch(items[i]);
    return fill_plain(list, size_t(n), [&](size_t i, std::string_view* raw, std::string_view* v) {
        if (Py_ssize_t(i) + kAhead < n) __builtin_prefetch(items[i + kAhead]);
        PyObject* item = items[i];
        return PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) >= 2 &&
               exact_view(PyTuple_GET_ITEM(item, 0), raw) && exact_view(PyTuple_GET_ITEM(item, 1), v);
    });
}

// A dict whose keys and values are bytes or ASCII str.
int fill_plain_dict(HeaderList& list, PyObject* dict) {
    Py_ssize_t pos = 0;
    return fill_plain(list, size_t(PyDict_GET_SIZE(dict)), [&](size_t, std::string_view* raw, std::string_view* v) {
        PyObject *k, *val;
        return PyDict_Next(dict, &pos, &k, &val) && plain_view(k, raw) && plain_view(val, v);
    });
}

int fill_from(HeaderList& list, PyObject* init) {
    if (wl_headermap_check(init)) {
        wl_headermap_copy(init, list);
        return 0;
    }
    NameBuf nb;
    if (PyDict_Check(init)) {
        int r = fill_plain_dict(list, init);
        if (r <= 0) return r;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(init, &pos, &k, &v)) {
            std::string_view raw, val;
            if (plain_view(k, &raw) && plain_view(v, &val)) {
                // Both read in place: no Python code runs, no references needed.
                if (append_views(list, raw, val, nb) < 0) return -1;
                continue;
            }
            Py_INCREF(k);
            Py_INCREF(v);
            int r = append_pair(list, k, v, nb);
            Py_DECREF(k);
            Py_DECREF(v);
            if (r < 0) return -1;
        }
        return 0;
    }
    if (PyList_CheckExact(init) || PyTuple_CheckExact(init)) {
        int r = fill_plain_pairs(list, init);
        if (r <= 0) return r;
    }
    PyObject* it = PyObject_GetIter(init);
    if (!it) return -1;
    PyObject* item;
    while ((item = PyIter_Next(it))) {
        PyObject *k, *v;
        if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) >= 2) {
            k = Py_NewRef(PyTuple_GET_ITEM(item, 0));
            v = Py_NewRef(PyTuple_GET_ITEM(item, 1));
        } else {
            k = PySequence_GetItem(item, 0);
            v = k ? PySequence_GetItem(item, 1) : nullptr;
            if (!v) {
                Py_XDECREF(k);
                Py_DECREF(item);
                Py_DECREF(it);
                return -1;
            }
        }
        int r = append_pair(list, k, v, nb);
        Py_DECREF(k);
        Py_DECREF(v);
        Py_DECREF(item);
        if (r < 0) {
            Py_DECREF(it);
            return -1;
        }
    }
    Py_DECREF(it);
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* new_map(PyTypeObject* type, PyObject* init) {
    WlHeaderMap* self = alloc_map(type);
    if (!self) return nullptr;
    int r = 0;
    if (init && init != Py_None) {
        try {
            r = fill_from(self->list, init);
        } catch (...) {
            Py_DECREF(self);
            throw;
        }
    }
    if (r < 0) {
        Py_DECREF(self);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(self);
}

PyObject* too_many_args(Py_ssize_t n) {
    PyErr_Format(PyExc_TypeError, "HeaderMap() takes at most 1 argument (%zd given)", n);
    return nullptr;
}

// True for the keyword `init`; false with TypeError for any other keyword
// or when `init` came by position too.
bool keyword_init(PyObject* key, bool positional) {
    if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, "init") != 0) {
        PyErr_Format(PyExc_TypeError, "HeaderMap() got an unexpected keyword argument '%S'", key);
        return false;
    }
    if (positional) {
        PyErr_SetString(PyExc_TypeError, "argument for HeaderMap() given by name ('init') and position (1)");
        return false;
    }
    return true;
}

PyObject* hm_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* init = nullptr;
    Py_ssize_t na = args ? PyTuple_GET_SIZE(args) : 0;
    if (na > 1) return too_many_args(na);
    if (na == 1) init = PyTuple_GET_ITEM(args, 0);
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(kwargs, &pos, &k, &v)) {
            if (!keyword_init(k, init != nullptr)) return nullptr;
            init = v;
        }
    }
    return new_map(type, init);
}

// HeaderMap(...) without the argument tuple and the generic type call.
PyObject* hm_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Py_ssize_t na = PyVectorcall_NARGS(nargsf);
    if (na > 1) return too_many_args(na);
    PyObject* init = na ? args[0] : nullptr;
    if (kwnames) {
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            if (!keyword_init(PyTuple_GET_ITEM(kwnames, k), init != nullptr)) return nullptr;
            init = args[na + k];
        }
    }
    return new_map(reinterpret_cast<PyTypeObject*>(type), init);
}

void hm_dealloc(PyObject* o) {
    WlHeaderMap* self = as_map(o);
    PyTypeObject* tp = Py_TYPE(o);
    if (keep_spare(self)) {
        Py_DECREF(tp);
        return;
    }
    self->list.~HeaderList();
    self->mu.~Mutex();
    tp->tp_free(o);
    Py_DECREF(tp);
}

// ---- methods ----
//
// Readers copy what they need out under the lock (plain C++ only) and build
// the Python results after unlocking: an allocation may run the garbage
// collector, whose finalizers may call back into this map.

// The values of a map (or of one name) in map order, copied out: their bytes
// back to back, with each value's length.
struct ValuesCopy {
    std::string bytes;
    std::vector<uint32_t> lens;
    void add(std::string_view v) {
        bytes.append(v);
        lens.push_back(uint32_t(v.size()));
    }
};

// What items() needs of a map, copied out under the lock: the entries in one
// piece, and the further values of names that have more than one, in map
// order; then either the whole store, or, when a value is at least kDirect
// bytes long, only the names, back to back (each entry's name span rewritten
// to point there). In that case the values are copied under the lock again,
// later, straight into their bytes objects (fill), so a large value is copied
// once. A map of up to 8 KiB of names and values and 64 names (a large cookie
// or a long list of headers included) fits the inline arrays, so reading one
// costs no allocation besides the results.
class ItemsCopy {
public:
    using Entry = HeaderList::Entry;
    using Span = HeaderList::Span;
    static constexpr uint32_t kDirect = 1024;
    // Under the lock: plain C++ only. whole: the store in any case.
    void take(const HeaderList& l, bool whole) {
        names_ = l.name_count();
        values_ = l.value_count();
        entries_ = fit<Entry>(inline_entries_, big_entries_, names_);
        whole_ = true;
        if (names_ == 0) return;
        std::memcpy(static_cast<void*>(entries_), l.entries().data(), names_ * sizeof(Entry));
        if (values_ != names_) {
            more_ = fit<Span>(inline_more_, big_more_, values_ - names_);
            Span* m = more_;
            for (uint32_t e = 0; e < names_; ++e) {
                if (entries_[e].count == 1) continue;
                bool first = true;
                l.for_each_span(e, [&](Span v) {
                    if (!first) *m++ = v;
                    first = false;
                });
            }
        }
        const char* store = l.str({0, uint32_t(l.store_size())}).data();
        if (!whole && l.store_size() >= kDirect) {
            bool large = false;
            for_each_value([&](Span v) { large |= v.len >= kDirect; });
            whole_ = !large;
        }
        if (whole_) {
            bytes_ = fit<char>(inline_bytes_, big_bytes_, l.store_size());
            std::memcpy(bytes_, store, l.store_size());
            return;
        }
        size_t size = 0;
        for (size_t e = 0; e < names_; ++e) size += entries_[e].name.len;
        bytes_ = fit<char>(inline_bytes_, big_bytes_, size);
        size_t at = 0;
        for (size_t e = 0; e < names_; ++e) {
            Span& n = entries_[e].name;
            std::memcpy(bytes_ + at, store + n.off, n.len);
            n.off = uint32_t(at);
            at += n.len;
        }
    }
    // Under the lock again, the map unchanged since a take that left the
    // values out: copies every value into its bytes object (out, in map
    // order, each of the value's size).
    void fill(const HeaderList& l, PyObject* const* out) const {
        const char* store = l.str({0, uint32_t(l.store_size())}).data();
        for_each_value([&](Span v) { wl::copy_bytes(PyBytes_AS_STRING(*out++), store + v.off, v.len); });
    }
    // f(span) for every value in map order.
    template <class F>
    void for_each_value(F&& f) const {
        const Span* m = more_;
        for (size_t e = 0; e < names_; ++e) {
            f(entries_[e].value);
            for (uint32_t k = 1; k < entries_[e].count; ++k) f(*m++);
        }
    }
    size_t names() const { return names_; }
    size_t values() const { return values_; }
    // Whether the store was copied (values are read from bytes()).
    bool whole() const { return whole_; }
    // The store, or the names alone.
    const char* bytes() const { return bytes_; }
    const Entry* entries() const { return entries_; }
    // The further values of the names with more than one, in map order.
    const Span* more() const { return more_; }

private:
    // Room for n objects of T, left uninitialized (each is copied in): in
    // the inline array when it fits.
    template <class T, size_t N>
    static T* fit(std::byte (&inline_buf)[N], std::unique_ptr<std::byte[]>& big, size_t n) {
        if (n * sizeof(T) <= N) return reinterpret_cast<T*>(inline_buf);
        big.reset(new std::byte[n * sizeof(T)]);
        return reinterpret_cast<T*>(big.get());
    }
    std::byte inline_bytes_[8192];
    alignas(Entry) std::byte inline_entries_[64 * sizeof(Entry)];
    alignas(Span) std::byte inline_more_[64 * sizeof(Span)];
    std::unique_ptr<std::byte[]> big_bytes_, big_entries_, big_more_;
    char* bytes_ = nullptr;
    Entry* entries_ = nullptr;
    Span* more_ = nullptr;
    size_t names_ = 0, values_ = 0;
    bool whole_ = true;
};

// The bytes objects of a map's values, made before their contents are
// copied in; whatever is not handed on is released.
class ValueObjects {
public:
    ValueObjects() = default;
    ValueObjects(const ValueObjects&) = delete;
    ValueObjects& operator=(const ValueObjects&) = delete;
    ~ValueObjects() { clear(); }
    // One bytes object per value of c, its size the value's. Making bytes
    // runs no Python code. 0, or -1 with MemoryError.
    int make(const ItemsCopy& c) {
        if (c.values() > std::size(inline_)) {
            big_.reset(new PyObject*[c.values()]);
            objs_ = big_.get();
        }
        int r = 0;
        c.for_each_value([&](HeaderList::Span v) {
            if (r == 0 && !(objs_[n_++] = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(v.len)))) {
                --n_;
                r = -1;
            }
        });
        return r;
    }
    PyObject* const* data() const { return objs_; }
    // Hands out the i-th object (a new reference).
    PyObject* take(size_t i) { return std::exchange(objs_[i], nullptr); }
    void clear() {
        for (size_t i = 0; i < n_; ++i) Py_XDECREF(objs_[i]);
        n_ = 0;
    }

private:
    PyObject* inline_[64];
    std::unique_ptr<PyObject*[]> big_;
    PyObject** objs_ = inline_;
    size_t n_ = 0;
};

PyObject* bytes_list(const ValuesCopy& c) {
    PyObject* out = PyList_New(Py_ssize_t(c.lens.size()));
    if (!out) return nullptr;
    const char* p = c.bytes.data();
    for (size_t i = 0; i < c.lens.size(); ++i) {
        PyObject* b = PyBytes_FromStringAndSize(p, Py_ssize_t(c.lens[i]));
        if (!b) {
            Py_DECREF(out);
            return nullptr;
        }
        PyList_SET_ITEM(out, Py_ssize_t(i), b);
        p += c.lens[i];
    }
    return out;
}

WL_ARGSPEC(get_spec, "get", 2, 1, "name", "default");
PyObject* hm_get(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject* a[2];
    if (wl_parse_args(get_spec, args, nargs, kw, a) < 0) return nullptr;
    std::string name;
    if (wl_header_name(a[0], name) < 0) return nullptr;
    WlHeaderMap* self = as_map(o);
    std::string value;
    bool found;
    {
        WlLock g(self->mu);
        uint32_t e = self->list.find(name);
        found = e != HeaderList::kNone;
        if (found) value = self->list.first_value(e);
    }
    if (!found) return Py_NewRef(a[1] ? a[1] : Py_None);
    return wl_bytes(value);
}

PyObject* hm_get_all(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "get_all", 1, 1, "name");
    PyObject* a[1];
    if (!kw && nargs == 1)
        a[0] = args[0];
    else if (wl_parse_args(spec, args, nargs, kw, a) < 0)
        return nullptr;
    std::string name;
    if (wl_header_name(a[0], name) < 0) return nullptr;
    WlHeaderMap* self = as_map(o);
    // A single short value (a server's Host check asks for one on every
    // request) is copied out on the stack; anything else goes to the heap.
    char one[128];
    size_t one_len = 0;
    bool single = false;
    ValuesCopy c;
    {
        WlLock g(self->mu);
        const HeaderList& l = self->list;
        uint32_t e = l.find(name);
        if (e != HeaderList::kNone) {
            std::string_view v = l.first_value(e);
            if (l.entries()[e].count == 1 && v.size() <= sizeof one) {
                std::memcpy(one, v.data(), v.size());
                one_len = v.size();
                single = true;
            } else {
                l.for_each_value(e, [&](std::string_view x) { c.add(x); });
            }
        }
    }
    if (!single) return bytes_list(c);
    PyObject* b = PyBytes_FromStringAndSize(one, Py_ssize_t(one_len));
    if (!b) return nullptr;
    PyObject* out = PyList_New(1);
    if (!out) {
        Py_DECREF(b);
        return nullptr;
    }
    PyList_SET_ITEM(out, 0, b);
    return out;
}

PyObject* hm_add(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "add", 2, 2, "name", "value");
    PyObject* a[2];
    if (wl_parse_args(spec, args, nargs, kw, a) < 0) return nullptr;
    std::string name;
    if (wl_header_name(a[0], name) < 0) return nullptr;
    std::string_view v;
    if (wl_header_value(a[1], &v) < 0) return nullptr;
    WlHeaderMap* self = as_map(o);
    HeaderList::Status st;
    {
        WlLock g(self->mu);
        st = self->list.append(name, v);
        ++self->version;
    }
    if (st != HeaderList::Status::Ok) return status_error(st);
    Py_RETURN_NONE;
}

PyObject* hm_setdefault(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    WL_ARGSPEC(spec, "setdefault", 2, 2, "name", "value");
    PyObject* a[2];
    if (wl_parse_args(spec, args, nargs, kw, a) < 0) return nullptr;
    std::string name;
    if (wl_header_name(a[0], name) < 0) return nullptr;
    WlHeaderMap* self = as_map(o);
    std::string present;
    bool found;
    {
        WlLock g(self->mu);
        uint32_t e = self->list.find(name);
        found = e != HeaderList::kNone;
        if (found) present = self->list.first_value(e);
    }
    if (found) return wl_bytes(present);
    std::string_view v;
    if (wl_header_value(a[1], &v) < 0) return nullptr;
    HeaderList::Status st;
    {
        WlLock g(self->mu);
        // Another thread may have added the name meanwhile: keep the first value.
        uint32_t e = self->list.find(name);
        found = e != HeaderList::kNone;
        if (found)
            present = self->list.first_value(e);
        else
            st = self->list.append(name, v);
        ++self->version;
    }
    if (found) return wl_bytes(present);
    if (st != HeaderList::Status::Ok) return status_error(st);
    if (PyBytes_CheckExact(a[1])) return Py_NewRef(a[1]);
    return wl_bytes(v);
}

PyObject* hm_keys(PyObject* o, PyObject*) {
    WlHeaderMap* self = as_map(o);
    ValuesCopy c;
    {
        WlLock g(self->mu);
        const HeaderList& l = self->list;
        c.lens.reserve(l.name_count());
        for (const auto& en : l.entries()) c.add(l.str(en.name));
    }
    PyObject* out = PyList_New(Py_ssize_t(c.lens.size()));
    if (!out) return nullptr;
    const char* p = c.bytes.data();
    for (size_t i = 0; i < c.lens.size(); ++i) {
        PyObject* s = wl_name_str({p, c.lens[i]});
        if (!s) {
            Py_DECREF(out);
            return nullptr;
        }
        PyList_SET_ITEM(out, Py_ssize_t(i), s);
        p += c.lens[i];
    }
    return out;
}

PyObject* hm_values(PyObject* o, PyObject*) {
    WlHeaderMap* self = as_map(o);
    ValuesCopy c;
    {
        WlLock g(self->mu);
        const HeaderList& l = self->list;
        c.bytes.reserve(l.store_size());
        c.lens.reserve(l.value_count());
        l.for_each([&](std::string_view, std::string_view v) { c.add(v); });
    }
    return bytes_list(c);
}

// Copies n bytes to a fresh object's buffer with overlapping moves when
// short, as header values mostly are: no library call for them.
void copy_value(char* d, const char* s, size_t n) {
    if (n >= 16 && n <= 32) {
        char a[16], b[16];
        std::memcpy(a, s, 16);
        std::memcpy(b, s + n - 16, 16);
        std::memcpy(d, a, 16);
        std::memcpy(d + n - 16, b, 16);
    } else if (n >= 8 && n < 16) {
        uint64_t a = wl::load64(s), b = wl::load64(s + n - 8);
        std::memcpy(d, &a, 8);
        std::memcpy(d + n - 8, &b, 8);
    } else if (n < 8) {
        for (size_t i = 0; i < n; ++i) d[i] = s[i];
    } else {
        std::memcpy(d, s, n);
    }
}

// A value's bytes object (a new reference, or NULL with MemoryError), made
// as PyBytes_FromStringAndSize makes it, with the copy above. Empty and
// one-byte values go there: those are shared objects.
PyObject* value_bytes(const char* p, size_t n) {
    if (n <= 1) return PyBytes_FromStringAndSize(p, Py_ssize_t(n));
    auto* o = static_cast<PyBytesObject*>(PyObject_Malloc(offsetof(PyBytesObject, ob_sval) + n + 1));
    if (!o) return PyErr_NoMemory();
    wl_fresh_var(reinterpret_cast<PyVarObject*>(o), &PyBytes_Type, Py_ssize_t(n));
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    o->ob_shash = -1;
#pragma GCC diagnostic pop
    copy_value(o->ob_sval, p, n);
    o->ob_sval[n] = '\0';
    return reinterpret_cast<PyObject*>(o);
}

PyObject* items_list(const ItemsCopy& c, ValueObjects& vals, bool raw) {
    PyObject* out = wl_fresh_list(Py_ssize_t(c.values()));
    if (!out) return nullptr;
    const char* bytes = c.bytes();
    const bool whole = c.whole();
    const HeaderList::Span* more = c.more();
    wl::PairRefill pairs;
    Py_ssize_t i = 0;
    for (const HeaderList::Entry *e = c.entries(), *end = e + c.names(); e != end; ++e) {
        std::string_view n(bytes + e->name.off, e->name.len);
        uint32_t count = e->count;
        // One reference per value: the last pair takes the one made here.
        PyObject* shared = wl_name_shared(n, e->hash, raw);
        PyObject* name = shared ? Py_NewRef(shared) : wl_name_uncommon(n, raw, e->hash);
        if (!name) goto fail;
        for (uint32_t k = 0; k < count; ++k) {
            PyObject* b;
            if (whole) {
                HeaderList::Span v = k == 0 ? e->value : *more++;
                b = value_bytes(bytes + v.off, v.len);
            } else {
                b = vals.take(size_t(i));
            }
            if (!b) {
                Py_DECREF(name);
                goto fail;
            }
            size_t pair_bytes = n.size() + size_t(PyBytes_GET_SIZE(b));
            PyObject* t = pairs.pair(i, k + 1 < count ? Py_NewRef(name) : name, b, pair_bytes);
            if (!t) {
                if (k + 1 < count) Py_DECREF(name);
                goto fail;
            }
            wl_fresh_list_set(out, i++, t);
        }
    }
    pairs.keep(i);
    return out;
fail:
    Py_DECREF(out);
    return nullptr;
}

PyObject* items_of(PyObject* o, bool raw) {
    WlHeaderMap* self = as_map(o);
    ItemsCopy c;
    uint32_t version;
    {
        WlLock g(self->mu);
        c.take(self->list, false);
        version = self->version;
    }
    ValueObjects vals;
    if (!c.whole()) {
        // A large value: the values' objects are made first (making bytes
        // runs no Python code) and the values copied straight into them.
        if (vals.make(c) < 0) return nullptr;
        bool same;
        {
            WlLock g(self->mu);
            // Only another thread can have changed the map meanwhile; then
            // it is copied again, whole.
            same = self->version == version;
            if (same)
                c.fill(self->list, vals.data());
            else
                c.take(self->list, true);
        }
        if (!same) vals.clear();
    }
    return items_list(c, vals, raw);
}

PyObject* hm_items(PyObject* o, PyObject*) { return items_of(o, false); }
PyObject* hm_raw_items(PyObject* o, PyObject*) { return items_of(o, true); }

// ---- protocols ----

Py_ssize_t hm_len(PyObject* o) {
    WlHeaderMap* self = as_map(o);
    WlLock g(self->mu);
    return Py_ssize_t(self->list.value_count());
}

PyObject* key_error(const std::string& name) {
    PyObject* k = ascii_str(name);
    if (k) {
        PyErr_SetObject(PyExc_KeyError, k);
        Py_DECREF(k);
    }
    return nullptr;
}

PyObject* hm_subscript(PyObject* o, PyObject* key) {
    std::string name;
    if (wl_header_name(key, name) < 0) return nullptr;
    WlHeaderMap* self = as_map(o);
    std::string value;
    bool found;
    {
        WlLock g(self->mu);
        uint32_t e = self->list.find(name);
        found = e != HeaderList::kNone;
        if (found) value = self->list.first_value(e);
    }
    if (found) return wl_bytes(value);
    return key_error(name);
}

int hm_ass_subscript(PyObject* o, PyObject* key, PyObject* value) {
    std::string name;
    if (wl_header_name(key, name) < 0) return -1;
    WlHeaderMap* self = as_map(o);
    if (!value) {
        bool removed;
        {
            WlLock g(self->mu);
            removed = self->list.remove(name);
            ++self->version;
        }
        if (!removed) {
            key_error(name);
            return -1;
        }
        return 0;
    }
    std::string_view v;
    if (wl_header_value(value, &v) < 0) return -1;
    HeaderList::Status st;
    {
        WlLock g(self->mu);
        st = self->list.set(name, v);
        ++self->version;
    }
    if (st != HeaderList::Status::Ok) {
        status_error(st);
        return -1;
    }
    return 0;
}

int hm_contains(PyObject* o, PyObject* key) {
    std::string_view raw;
    if (!PyUnicode_Check(key) && !PyBytes_Check(key)) return 0;
    if (name_bytes(key, &raw) < 0) {
        PyErr_Clear();
        return 0;
    }
    std::string name;
    if (!normalize(raw, name)) return 0;
    WlHeaderMap* self = as_map(o);
    WlLock g(self->mu);
    return self->list.contains(name) ? 1 : 0;
}

PyObject* hm_iter(PyObject* o) {
    PyObject* keys = hm_keys(o, nullptr);
    if (!keys) return nullptr;
    PyObject* it = PyObject_GetIter(keys);
    Py_DECREF(keys);
    return it;
}

PyObject* hm_richcompare(PyObject* a, PyObject* b, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    bool eq;
    if (a == b) {
        eq = true;
    } else if (!wl_headermap_check(b)) {
        eq = false;
    } else {
        WlHeaderMap* x = as_map(a);
        WlHeaderMap* y = as_map(b);
        WlHeaderMap* first = x < y ? x : y;
        WlHeaderMap* second = x < y ? y : x;
        WlLock g1(first->mu);
        WlLock g2(second->mu);
        eq = x->list.equals(y->list);
    }
    return wl_bool(op == Py_EQ ? eq : !eq);
}

PyObject* hm_repr(PyObject* o) {
    PyObject* items = hm_items(o, nullptr);
    if (!items) return nullptr;
    PyObject* r = PyUnicode_FromFormat("HeaderMap(%R)", items);
    Py_DECREF(items);
    return r;
}

PyMethodDef hm_methods[] = {
    {"get", WL_METH(hm_get),
     METH_FASTCALL | METH_KEYWORDS,
     "get($self, name, default=None)\n--\n\nThe first value for name as bytes, or default."},
    {"get_all", WL_METH(hm_get_all),
     METH_FASTCALL | METH_KEYWORDS,
     "get_all($self, name)\n--\n\nAll values for name as a list of bytes (empty when absent)."},
    {"add", WL_METH(hm_add),
     METH_FASTCALL | METH_KEYWORDS,
     "add($self, name, value)\n--\n\nAppend a value for name, keeping existing ones."},
    {"setdefault", WL_METH(hm_setdefault),
     METH_FASTCALL | METH_KEYWORDS,
     "setdefault($self, name, value)\n--\n\nThe first value of name; stores value first when absent."},
    {"keys", WL_NOARGS(hm_keys), METH_NOARGS, "keys($self)\n--\n\nThe distinct names (str) in map order."},
    {"values", WL_NOARGS(hm_values), METH_NOARGS, "values($self)\n--\n\nEvery value (bytes) in map order."},
    {"items", WL_NOARGS(hm_items), METH_NOARGS,
     "items($self)\n--\n\nEvery (name, value) pair as (str, bytes) in map order."},
    {"raw_items", WL_NOARGS(hm_raw_items), METH_NOARGS,
     "raw_items($self)\n--\n\nEvery (name, value) pair as (bytes, bytes) in map order."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot hm_slots[] = {
    {Py_tp_new, WL_SLOT(hm_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(hm_dealloc)},
    {Py_tp_methods, hm_methods},
    {Py_tp_repr, WL_SLOT(hm_repr)},
    {Py_tp_iter, WL_SLOT(hm_iter)},
    {Py_tp_richcompare, WL_SLOT(hm_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_mp_length, WL_SLOT(hm_len)},
    {Py_mp_subscript, WL_SLOT(hm_subscript)},
    {Py_mp_ass_subscript, WL_SLOT(hm_ass_subscript)},
    {Py_sq_contains, WL_SLOT(hm_contains)},
    {Py_tp_doc, const_cast<char*>(
                    "HeaderMap(init=None)\n--\n\n"
                    "An ordered, case-insensitive, multi-valued map of header names (str,\n"
                    "lower case) to values (bytes). init may be a HeaderMap, a dict or an\n"
                    "iterable of (name, value) pairs.")},
    {0, nullptr},
};

PyType_Spec hm_spec = {WL_TYPE_NAME("HeaderMap"), sizeof(WlHeaderMap), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, hm_slots};

}  // namespace

int wl_add_headermap(PyObject* m) {
    if (wl_add_type(m, &WL_HeaderMapType, &hm_spec) < 0) return -1;
    // Calls of the class skip the generic type call (argument tuple, dict).
    WL_HeaderMapType->tp_vectorcall = WL_GUARD(hm_vectorcall);
    return 0;
}
