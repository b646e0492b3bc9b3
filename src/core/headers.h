// HeaderList: the ordered, case-insensitive, multi-valued header collection
// behind the Python HeaderMap. No Python here.
//
// Storage: every name and value lives in one byte store and is referred to
// by (offset, length). A parser may adopt its head bytes as the store and
// append entries that point into them, so values are never copied one by
// one. Entries keep the order of each name's first insertion; a name's
// further values hang off a chain in `extras_`. Every entry keeps its name's
// hash. Up to kLinearNames names are found by comparing them one by one
// behind a 64-bit filter of their hashes (cheaper than an index for a
// typical head, and bounded); past that a hash index maps names to entries: it
// starts at 8 slots (sized for the names held), doubles when the names
// reach three quarters of it and never exceeds 32768 slots, so at most
// 24576 distinct names.
//
// Names handed to this class must already be lower-case tokens and values
// valid field values: validation belongs to the callers (the binding layer
// validates user input, parsers validate wire input).
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/chars.h"
#include "core/load.h"

namespace wl {

class HeaderList {
public:
    static constexpr uint32_t kInitialIndex = 8;
    static constexpr uint32_t kMaxIndex = 32768;
    static constexpr uint32_t kMaxNames = kMaxIndex / 4 * 3;  // 24576
    static constexpr uint32_t kNone = UINT32_MAX;
    // The most names held without a hash index.
    static constexpr uint32_t kLinearNames = 16;
    // Spans are 32-bit: the store never grows past this many bytes.
    static constexpr size_t kMaxStore = UINT32_MAX;

    struct Span {
        uint32_t off = 0, len = 0;
    };
    struct Entry {
        Span name;
        Span value;                // first value
        uint32_t hash = 0;         // hash_name(name)
        uint32_t extra_head = kNone, extra_tail = kNone;
        uint32_t count = 1;        // number of values
    };

    // Full: 24576 names held. TooLarge: the store would pass kMaxStore.
    enum class Status { Ok, Full, TooLarge };

    HeaderList() = default;
    // Exchanges contents and storage (cheaper than three moves).
    void swap(HeaderList& o) noexcept {
        store_.swap(o.store_);
        entries_.swap(o.entries_);
        extras_.swap(o.extras_);
        index_.swap(o.index_);
        std::swap(filter_, o.filter_);
        std::swap(free_extra_, o.free_extra_);
        std::swap(values_, o.values_);
        std::swap(garbage_, o.garbage_);
    }

    // ---- building ----
    // Appends a value, keeping existing ones. Full when 24576 names are held
    // (for a new name and an existing one alike).
    Status append(std::string_view name, std::string_view value);
    // Replaces all values of name by value (position kept; new names go last).
    Status set(std::string_view name, std::string_view value);
    // Removes name and its values; the last entry takes its place.
    bool remove(std::string_view name);
    void clear();

    // Low-level building for parsers: copy raw bytes into the store and then
    // append entries whose spans point into it. Throws std::length_error
    // rather than let the store pass kMaxStore.
    Span store_bytes(std::string_view bytes);
    Span store_lower(std::string_view name);  // store a lower-cased copy
    // A parser's header block: the list must be empty. Stores the block with
    // room for `names` entries, in as few allocations as the list can.
    Span adopt_block(std::string_view block, size_t names);
    // The same for a list that may hold anything: its contents are replaced
    // by the block (clear() and adopt_block() in one step).
    Span assign_block(std::string_view block, size_t names) {
        // The usual head: a short block, no longer than the last one, of a
        // few names, with room for their entries: nothing to allocate, and
        // no call.
        if (short_block(block.size()) && names <= kLinearNames && names <= entries_.capacity()) {
            drop_entries();
            copy_short_block(block);
            return Span{0, uint32_t(block.size())};
        }
        return assign_block_general(block, names);
    }
    // The stored bytes of s, for a parser to rewrite in place (lower-casing
    // names it stored) before it appends entries that use them.
    uint8_t* store_bytes_of(Span s) { return reinterpret_cast<uint8_t*>(store_.data()) + s.off; }
    Status append_spans(Span name, Span value);
    // Appends the lines of a parsed block at once: line(i, &name, &value)
    // gives the spans of line i (names lower case, already in the store) or
    // false to skip it. The same as append_spans per line, without its
    // per-call overhead for the small lists of typical heads.
    template <class Line>
    Status append_lines(size_t n, Line&& line);
    // The same with each name's hash given too: line(i, &name, &value,
    // &hash), hash being hash_name(name). A parser that has the name in
    // registers while it lower-cases it hashes it there (hash_words).
    template <class Line>
    Status append_hashed_lines(size_t n, Line&& line);
    // Pre-size the store, the entry table and the name index.
    void reserve(size_t store_bytes, size_t entries);

    // ---- lookup ----
    // Index of the entry for name, or kNone.
    uint32_t find(std::string_view name) const;
    bool contains(std::string_view name) const { return find(name) != kNone; }
    size_t value_count() const { return values_; }    // len(m)
    size_t name_count() const { return entries_.size(); }
    bool full() const { return entries_.size() >= kMaxNames; }

    const std::vector<Entry>& entries() const { return entries_; }
    // Whether the name index exists. (Every entry's `hash` is hash_name()
    // of its name, indexed or not.)
    bool indexed() const { return !index_.empty(); }
    std::string_view str(Span s) const { return {store_.data() + s.off, s.len}; }
    std::string_view name(uint32_t entry) const { return str(entries_[entry].name); }
    std::string_view first_value(uint32_t entry) const { return str(entries_[entry].value); }

    // Calls f(value) for each value of entry, in order.
    template <class F>
    void for_each_value(uint32_t entry, F&& f) const {
        const Entry& e = entries_[entry];
        f(str(e.value));
        for (uint32_t x = e.extra_head; x != kNone; x = extras_[x].next) f(str(extras_[x].value));
    }
    // Calls f(span) for each value of entry, in order.
    template <class F>
    void for_each_span(uint32_t entry, F&& f) const {
        const Entry& e = entries_[entry];
        f(e.value);
        for (uint32_t x = e.extra_head; x != kNone; x = extras_[x].next) f(extras_[x].value);
    }
    // Calls f(name, value) for every value in map order.
    template <class F>
    void for_each(F&& f) const {
        for (uint32_t i = 0; i < entries_.size(); ++i) {
            std::string_view n = name(i);
            for_each_value(i, [&](std::string_view v) { f(n, v); });
        }
    }
    // Same values for every name, in order (order of names is irrelevant).
    bool equals(const HeaderList& other) const;

    size_t store_size() const { return store_.size(); }
    // Bytes of storage held, used or not (a cleared list keeps its storage).
    size_t capacity_bytes() const {
        return store_.capacity() + entries_.capacity() * sizeof(Entry) + extras_.capacity() * sizeof(Extra) +
               index_.capacity() * sizeof(Slot);
    }

    // A 32-bit hash of the name's bytes under the process seed.
    static uint32_t hash_name(std::string_view name);
    // hash_name of a name of n <= 16 bytes given as its little-endian
    // words: lo its first 8 bytes, hi the next 8, both zero past its end.
    static uint32_t hash_words(uint64_t lo, uint64_t hi, size_t n);
    // hash_name of a name of 16 < n <= 32 bytes given as the words of its
    // first 16 bytes (lo0, hi0) and of its last 16 (lo1, hi1).
    static uint32_t hash_words(uint64_t lo0, uint64_t hi0, uint64_t lo1, uint64_t hi1, size_t n);
    // The same with the secrets passed in: a loop that hashes many names
    // while storing through byte pointers reads them once, not per name.
    struct HashKey {
        uint64_t s0, s1;
    };
    static HashKey hash_key() { return {secret0_, secret1_}; }
    static uint32_t hash_words(HashKey k, uint64_t lo, uint64_t hi, size_t n);
    static uint32_t hash_words(HashKey k, uint64_t lo0, uint64_t hi0, uint64_t lo1, uint64_t hi1, size_t n);
    // Seeds the name hash (peers choose header names: an unseeded hash lets
    // them aim every name at one chain). Set once, before any list exists;
    // lists built under another seed must not be used afterwards.
    static void set_hash_seed(uint64_t seed);
    // The longest distance of an indexed name from its home slot.
    uint32_t longest_probe() const;

private:
    // Forgets every entry and index while the store keeps its bytes.
    void drop_entries() {
        entries_.clear();
        extras_.clear();
        index_.clear();
        filter_ = 0;
        free_extra_ = kNone;
        values_ = 0;
        garbage_ = 0;
    }
    // A block of 16 to 256 bytes, no longer than the store: copied in place.
    bool short_block(size_t n) const { return n - 16 <= 240 && n <= store_.size(); }
    // The store cut to the block's size in place and the bytes copied in
    // 16-byte steps, the last step ending at the block's end, with no general
    // string assign and no memcpy call. The block never lies in the store.
    void copy_short_block(std::string_view block) {
        const size_t n = block.size();
        store_.erase(n);
        char* d = store_.data();
        const char* s = block.data();
        for (size_t i = 0; i + 16 < n; i += 16) std::memcpy(d + i, s + i, 16);
        std::memcpy(d + n - 16, s + n - 16, 16);
    }
    Span assign_block_general(std::string_view block, size_t names);
    struct Extra {
        Span value;
        uint32_t next = kNone;
    };
    struct Slot {
        uint16_t entry_plus1;  // 0 = empty
        uint16_t hash_hi;
    };

    static uint64_t filter_mask(uint32_t h) { return uint64_t(1) << (h & 63); }
    bool name_at(uint32_t e, std::string_view name) const;
    uint32_t find_linear(std::string_view name, uint32_t h) const;
    // The entry for name, or kNone; *h receives the name's hash, *slot_out
    // the entry's index slot.
    uint32_t find_entry(std::string_view name, uint32_t* h, uint32_t* slot_out) const;
    // The entry for name in the index, or kNone with *slot at the empty
    // slot where the name would go.
    uint32_t probe(std::string_view name, uint32_t h, uint32_t* slot) const;
    bool grow_index_for_new_name();
    void rebuild_index(uint32_t size);
    void index_insert(uint32_t entry, uint32_t h);
    void index_erase_slot(uint32_t slot);
    uint32_t slot_of_entry(uint32_t entry) const;
    uint32_t new_extra(Span v);
    void link_value(uint32_t entry, Span v);            // a further value of entry
    void push_entry(Span name, Span value, uint32_t h);  // a new name at the end (h as find_entry gives)
    template <bool Indexed, class Line>
    size_t append_new_lines(size_t n, Line& line);
    void free_extras(uint32_t head);
    void add_garbage(size_t n);
    bool store_fits(size_t n) const { return n <= kMaxStore - store_.size(); }
    void compact();
    void compact_now();

    std::string store_;
    std::vector<Entry> entries_;
    std::vector<Extra> extras_;
    std::vector<Slot> index_;
    // Without an index: one bit per name held (filter_mask of its hash); a
    // clear bit proves a name absent without comparing. Removals leave their
    // bits.
    uint64_t filter_ = 0;
    uint32_t free_extra_ = kNone;
    size_t values_ = 0;
    size_t garbage_ = 0;  // store bytes no longer referenced

    // The hash's secrets, derived from the seed.
    static uint64_t secret0_, secret1_;
};

namespace headers_detail {
// The 128-bit product of a and b, its halves folded.
inline uint64_t mum(uint64_t a, uint64_t b) {
    unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return uint64_t(r) ^ uint64_t(r >> 64);
}
}  // namespace headers_detail

inline uint32_t HeaderList::hash_words(HashKey k, uint64_t lo, uint64_t hi, size_t n) {
    uint64_t h = headers_detail::mum(lo ^ (k.s0 + n), hi ^ k.s1);
    return uint32_t(h) ^ uint32_t(h >> 32);
}

inline uint32_t HeaderList::hash_words(HashKey k, uint64_t lo0, uint64_t hi0, uint64_t lo1, uint64_t hi1,
                                       size_t n) {
    using headers_detail::mum;
    uint64_t h = mum(lo1 ^ mum(lo0 ^ (k.s0 + n), hi0 ^ k.s1), hi1 ^ k.s1);
    return uint32_t(h) ^ uint32_t(h >> 32);
}

inline uint32_t HeaderList::hash_words(uint64_t lo, uint64_t hi, size_t n) {
    return hash_words(hash_key(), lo, hi, n);
}

inline uint32_t HeaderList::hash_words(uint64_t lo0, uint64_t hi0, uint64_t lo1, uint64_t hi1, size_t n) {
    return hash_words(hash_key(), lo0, hi0, lo1, hi1, n);
}

inline uint32_t HeaderList::hash_name(std::string_view name) {
    // One multiply per 16 bytes; a name of up to 16 bytes is read as two
    // words zero-padded past its end. Both words meet a secret before the
    // multiply, so which names collide differs from process to process.
    using namespace headers_detail;
    const char* p = name.data();
    size_t n = name.size();
    if (n <= 16) {
        uint64_t a = 0, b = 0;
        if (n >= 8) {
            a = load64(p);
            if (n > 8) b = load64(p + n - 8) >> (8 * (16 - n));
        } else if (n >= 4) {
            a = load32(p) | load32(p + n - 4) << (8 * (n - 4));
        } else if (n > 0) {
            a = uint64_t(uint8_t(p[0])) | uint64_t(uint8_t(p[n / 2])) << (8 * (n / 2)) |
                uint64_t(uint8_t(p[n - 1])) << (8 * (n - 1));
        }
        return hash_words(a, b, n);
    }
    uint64_t h = secret0_ + n;
    for (; n > 16; p += 16, n -= 16) h = mum(load64(p) ^ h, load64(p + 8) ^ secret1_);
    h = mum(load64(p + n - 16) ^ h, load64(p + n - 8) ^ secret1_);
    return uint32_t(h) ^ uint32_t(h >> 32);
}

inline bool HeaderList::name_at(uint32_t e, std::string_view name) const {
    const Span& n = entries_[e].name;
    return n.len == name.size() && bytes_equal(store_.data() + n.off, name.data(), name.size());
}

inline uint32_t HeaderList::find_linear(std::string_view name, uint32_t h) const {
    if (!(filter_ & filter_mask(h))) return kNone;
    for (uint32_t e = 0; e < entries_.size(); ++e)
        if (entries_[e].hash == h && name_at(e, name)) return e;
    return kNone;
}

inline uint32_t HeaderList::probe(std::string_view name, uint32_t h, uint32_t* slot) const {
    uint32_t mask = uint32_t(index_.size()) - 1;
    uint16_t hi = uint16_t(h >> 16);
    for (uint32_t s = h & mask;; s = (s + 1) & mask) {
        const Slot& sl = index_[s];
        if (sl.entry_plus1 == 0) {
            *slot = s;
            return kNone;
        }
        if (sl.hash_hi == hi && name_at(sl.entry_plus1 - 1u, name)) {
            *slot = s;
            return sl.entry_plus1 - 1u;
        }
    }
}

template <class Line>
HeaderList::Status HeaderList::append_lines(size_t n, Line&& line) {
    return append_hashed_lines(n, [&](size_t i, Span* ns, Span* vs, uint32_t* h) {
        if (!line(i, ns, vs)) return false;
        *h = hash_name(str(*ns));
        return true;
    });
}

template <class Line>
HeaderList::Status HeaderList::append_hashed_lines(size_t n, Line&& line) {
    size_t i = 0;
    if (indexed()) {
        if (entries_.size() < index_.size() / 4 * 3) i = append_new_lines<true>(n, line);
    } else if (entries_.size() < kLinearNames) {
        i = append_new_lines<false>(n, line);
    }
    for (; i < n; ++i) {
        Span ns, vs;
        uint32_t h;
        if (!line(i, &ns, &vs, &h)) continue;
        Status st = append_spans(ns, vs);
        if (st != Status::Ok) return st;
    }
    return Status::Ok;
}

template <bool Indexed, class Line>
size_t HeaderList::append_new_lines(size_t n, Line& line) {
    // The loop keeps its state in locals rather than in members it would
    // have to read again after every store; the entries' room is reserved
    // first, so they do not move. It stops where the general path takes
    // over: a list without an index reaching kLinearNames names, an index
    // reaching what it was sized for. Returns the lines it took.
    const size_t limit = Indexed ? index_.size() / 4 * 3 : kLinearNames;
    const size_t held = entries_.size();
    size_t count = held;
    entries_.reserve(std::min(count + n, limit));
    const Entry* es = entries_.data();
    Slot* index = index_.data();
    uint64_t filter = filter_;
    auto settle = [&] {
        if (!Indexed) filter_ = filter;
        values_ += count - held;
    };
    size_t i = 0;
    for (; i < n && count < limit; ++i) {
        Span ns, vs;
        uint32_t h;
        if (!line(i, &ns, &vs, &h)) continue;
        uint32_t e = kNone, slot = 0;
        if (Indexed) {
            e = probe(str(ns), h, &slot);
        } else if (filter & filter_mask(h)) {
            for (uint32_t k = 0; k < count; ++k) {
                if (es[k].hash == h && name_at(k, str(ns))) {
                    e = k;
                    break;
                }
            }
        }
        if (e != kNone) {
            add_garbage(ns.len);
            try {
                link_value(e, vs);
            } catch (...) {
                settle();
                throw;
            }
            continue;
        }
        entries_.push_back(Entry{ns, vs, h});
        ++count;
        if (Indexed)
            index[slot] = Slot{uint16_t(count), uint16_t(h >> 16)};
        else
            filter |= filter_mask(h);
    }
    settle();
    return i;
}

}  // namespace wl
