// HeaderList: the ordered, case-insensitive, multi-valued header collection
// behind the Python HeaderMap. No Python here.
//
// Storage: every name and value lives in one byte store and is referred to
// by (offset, length). A parser may adopt its head bytes as the store and
// append entries that point into them, so values are never copied one by
// one. Entries keep the order of each name's first insertion; a name's
// further values hang off a chain in `extras_`. Up to kLinearNames names are
// found by comparing them one by one (cheaper than hashing for a typical
// head, and bounded); past that a hash index maps names to entries: it
// starts at 8 slots (sized for the names held), doubles when the names
// reach three quarters of it and never exceeds 32768 slots, so at most
// 24576 distinct names.
//
// Names handed to this class must already be lower-case tokens and values
// valid field values: validation belongs to the callers (the binding layer
// validates user input, parsers validate wire input).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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
        uint32_t hash = 0;         // set while the index exists
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
    // Whether the name index exists: each entry's `hash` is then
    // hash_name() of its name.
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

    static uint32_t hash_name(std::string_view name);
    // Seeds the name hash (peers choose header names: an unseeded hash lets
    // them aim every name at one chain). Set once, before any list exists;
    // lists built under another seed must not be used afterwards.
    static void set_hash_seed(uint64_t seed);
    // The longest distance of an indexed name from its home slot.
    uint32_t longest_probe() const;

private:
    struct Extra {
        Span value;
        uint32_t next = kNone;
    };
    struct Slot {
        uint16_t entry_plus1;  // 0 = empty
        uint16_t hash_hi;
    };

    uint32_t find_linear(std::string_view name, uint32_t filter_bit) const;
    static uint32_t filter_bit(std::string_view name);
    // The entry for name, or kNone; *h receives the name's hash when the
    // list is indexed, else its bit in filter_; *slot_out the entry's index
    // slot.
    uint32_t find_entry(std::string_view name, uint32_t* h, uint32_t* slot_out) const;
    uint32_t find_hashed(std::string_view name, uint32_t h, uint32_t* slot_out) const;
    bool grow_index_for_new_name();
    void rebuild_index(uint32_t size);
    void index_insert(uint32_t entry, uint32_t h);
    void index_erase_slot(uint32_t slot);
    uint32_t slot_of_entry(uint32_t entry) const;
    uint32_t new_extra(Span v);
    void link_value(uint32_t entry, Span v);            // a further value of entry
    void push_entry(Span name, Span value, uint32_t h);  // a new name at the end (h as find_entry gives)
    void free_extras(uint32_t head);
    void add_garbage(size_t n);
    bool store_fits(size_t n) const { return n <= kMaxStore - store_.size(); }
    void compact();
    void compact_now();

    std::string store_;
    std::vector<Entry> entries_;
    std::vector<Extra> extras_;
    std::vector<Slot> index_;
    // Without an index: one bit per name held (see filter_bit); a clear bit
    // proves a name absent without comparing. Removals leave their bits.
    uint64_t filter_ = 0;
    uint32_t free_extra_ = kNone;
    size_t values_ = 0;
    size_t garbage_ = 0;  // store bytes no longer referenced
};

template <class Line>
HeaderList::Status HeaderList::append_lines(size_t n, Line&& line) {
    for (size_t i = 0; i < n; ++i) {
        Span ns, vs;
        if (!line(i, &ns, &vs)) continue;
        if (indexed() || entries_.size() >= kLinearNames) {
            Status st = append_spans(ns, vs);
            if (st != Status::Ok) return st;
            continue;
        }
        std::string_view name = str(ns);
        uint32_t bit = filter_bit(name);
        uint32_t e = find_linear(name, bit);
        if (e != kNone) {
            add_garbage(ns.len);
            link_value(e, vs);
            continue;
        }
        Entry en;
        en.name = ns;
        en.value = vs;
        en.hash = bit;
        entries_.push_back(en);
        filter_ |= uint64_t(1) << bit;
        ++values_;
    }
    return Status::Ok;
}

}  // namespace wl
