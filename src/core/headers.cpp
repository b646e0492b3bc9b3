#include "core/headers.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "core/chars.h"

namespace wl {

namespace {
// splitmix64's finalizer: spreads any seed, 0 included, over all 64 bits.
constexpr uint64_t spread(uint64_t x) {
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}
constexpr uint64_t kSecret0 = 0x9e3779b97f4a7c15ull, kSecret1 = 0xd1b54a32d192ed03ull;
}  // namespace

uint64_t HeaderList::secret0_ = spread(kSecret0);
uint64_t HeaderList::secret1_ = spread(kSecret1);

void HeaderList::set_hash_seed(uint64_t seed) {
    secret0_ = spread(seed ^ kSecret0);
    secret1_ = spread(seed ^ kSecret1);
}

uint32_t HeaderList::find_entry(std::string_view name, uint32_t* h, uint32_t* slot_out) const {
    *h = hash_name(name);
    if (!indexed()) return find_linear(name, *h);
    uint32_t slot;
    uint32_t e = probe(name, *h, &slot);
    if (slot_out) *slot_out = slot;
    return e;
}

uint32_t HeaderList::find(std::string_view name) const {
    uint32_t h;
    return find_entry(name, &h, nullptr);
}

void HeaderList::index_insert(uint32_t entry, uint32_t h) {
    uint32_t mask = uint32_t(index_.size()) - 1;
    uint32_t s = h & mask;
    while (index_[s].entry_plus1 != 0) s = (s + 1) & mask;
    index_[s] = Slot{uint16_t(entry + 1), uint16_t(h >> 16)};
}

uint32_t HeaderList::longest_probe() const {
    if (!indexed()) return 0;
    uint32_t mask = uint32_t(index_.size()) - 1, worst = 0;
    for (uint32_t s = 0; s < index_.size(); ++s) {
        if (index_[s].entry_plus1 == 0) continue;
        uint32_t home = entries_[index_[s].entry_plus1 - 1u].hash & mask;
        worst = std::max(worst, (s - home) & mask);
    }
    return worst;
}

void HeaderList::rebuild_index(uint32_t size) {
    if (index_.capacity() >= size) {
        // The storage of an earlier index (kept by clear()): no allocation.
        index_.assign(size, Slot{0, 0});
    } else {
        // Built aside and swapped in: a failed allocation leaves the old index.
        std::vector<Slot> fresh(size, Slot{0, 0});
        index_.swap(fresh);
    }
    for (uint32_t i = 0; i < entries_.size(); ++i) index_insert(i, entries_[i].hash);
}

// The index size that holds `names` below three quarters.
static uint32_t index_size_for(size_t names) {
    uint32_t size = HeaderList::kInitialIndex;
    while (size < HeaderList::kMaxIndex && names >= size / 4 * 3) size *= 2;
    return size;
}

bool HeaderList::grow_index_for_new_name() {
    if (!indexed()) {
        if (entries_.size() < kLinearNames) return true;
        // The names held and the new one.
        rebuild_index(index_size_for(entries_.size() + 1));
        return true;
    }
    if (entries_.size() < index_.size() / 4 * 3) return true;
    if (index_.size() >= kMaxIndex) return false;
    rebuild_index(uint32_t(index_.size()) * 2);
    return true;
}

uint32_t HeaderList::slot_of_entry(uint32_t entry) const {
    uint32_t mask = uint32_t(index_.size()) - 1;
    for (uint32_t s = entries_[entry].hash & mask;; s = (s + 1) & mask)
        if (index_[s].entry_plus1 == entry + 1) return s;
}

void HeaderList::index_erase_slot(uint32_t slot) {
    // Backward-shift deletion keeps linear probing chains intact.
    uint32_t mask = uint32_t(index_.size()) - 1;
    uint32_t hole = slot;
    for (uint32_t s = (slot + 1) & mask; index_[s].entry_plus1 != 0; s = (s + 1) & mask) {
        uint32_t home = entries_[index_[s].entry_plus1 - 1u].hash & mask;
        // Move s into the hole unless its home lies cyclically in (hole, s].
        bool stays = hole <= s ? (hole < home && home <= s) : (hole < home || home <= s);
        if (!stays) {
            index_[hole] = index_[s];
            hole = s;
        }
    }
    index_[hole] = Slot{0, 0};
}

HeaderList::Span HeaderList::store_bytes(std::string_view bytes) {
    if (!store_fits(bytes.size())) throw std::length_error("header store past 4 GiB");
    Span s{uint32_t(store_.size()), uint32_t(bytes.size())};
    const char* base = store_.data();
    if (bytes.data() >= base && bytes.data() < base + store_.size()) {
        // Copying from the store into itself: resize first, then copy by offset.
        size_t src_off = size_t(bytes.data() - base);
        store_.resize(store_.size() + bytes.size());
        std::memmove(store_.data() + s.off, store_.data() + src_off, bytes.size());
        return s;
    }
    store_.append(bytes.data(), bytes.size());
    return s;
}

HeaderList::Span HeaderList::store_lower(std::string_view name) {
    if (!store_fits(name.size())) throw std::length_error("header store past 4 GiB");
    Span s{uint32_t(store_.size()), uint32_t(name.size())};
    // `name` may point into the store itself (a parser lower-casing a name
    // it stored earlier): keep its offset across the resize.
    const char* base = store_.data();
    bool inside = name.data() >= base && name.data() < base + store_.size();
    size_t src_off = inside ? size_t(name.data() - base) : 0;
    store_.resize(store_.size() + name.size());
    const char* src = inside ? store_.data() + src_off : name.data();
    char* d = store_.data() + s.off;
    for (size_t i = 0; i < name.size(); ++i) d[i] = ascii_lower(src[i]);
    return s;
}

void HeaderList::reserve(size_t store_bytes, size_t entries) {
    store_.reserve(store_bytes);
    entries_.reserve(entries);
    // Size the index once for the expected names instead of doubling it
    // while they are appended.
    if (entries <= kLinearNames) return;
    uint32_t size = index_size_for(entries);
    if (size > index_.size()) rebuild_index(size);
}

HeaderList::Span HeaderList::adopt_block(std::string_view block, size_t names) {
    if (!store_fits(block.size())) throw std::length_error("header store past 4 GiB");
    entries_.reserve(names);
    if (names > kLinearNames) rebuild_index(index_size_for(names));
    // Assigned rather than appended: the allocation is sized to the block.
    Span s{uint32_t(store_.size()), uint32_t(block.size())};
    if (store_.empty())
        store_.assign(block.data(), block.size());
    else
        store_.append(block.data(), block.size());
    return s;
}

HeaderList::Span HeaderList::assign_block_general(std::string_view block, size_t names) {
    // clear() and adopt_block() in one, the old store overwritten by the
    // block rather than emptied first. Should an allocation fail, the list
    // is left empty (the store's old bytes unreferenced).
    if (block.size() > kMaxStore) throw std::length_error("header store past 4 GiB");
    drop_entries();
    entries_.reserve(names);
    if (names > kLinearNames) rebuild_index(index_size_for(names));
    const size_t n = block.size();
    if (short_block(n))
        copy_short_block(block);
    else
        store_.assign(block.data(), n);
    return Span{0, uint32_t(n)};
}

uint32_t HeaderList::new_extra(Span v) {
    if (free_extra_ != kNone) {
        uint32_t x = free_extra_;
        free_extra_ = extras_[x].next;
        extras_[x] = Extra{v, kNone};
        return x;
    }
    extras_.push_back(Extra{v, kNone});
    return uint32_t(extras_.size() - 1);
}

void HeaderList::free_extras(uint32_t head) {
    while (head != kNone) {
        uint32_t next = extras_[head].next;
        add_garbage(extras_[head].value.len);
        extras_[head].next = free_extra_;
        free_extra_ = head;
        head = next;
    }
}

void HeaderList::link_value(uint32_t e, Span v) {
    Entry& en = entries_[e];
    uint32_t x = new_extra(v);
    if (en.extra_tail == kNone)
        en.extra_head = x;
    else
        extras_[en.extra_tail].next = x;
    en.extra_tail = x;
    ++en.count;
    ++values_;
}

void HeaderList::push_entry(Span name, Span value, uint32_t h) {
    Entry en;
    en.name = name;
    en.value = value;
    en.hash = h;
    entries_.push_back(en);
    if (indexed())
        index_insert(uint32_t(entries_.size() - 1), h);
    else
        filter_ |= filter_mask(h);
    ++values_;
}

HeaderList::Status HeaderList::append_spans(Span name, Span value) {
    if (!grow_index_for_new_name()) return Status::Full;
    uint32_t h;
    uint32_t e = find_entry(str(name), &h, nullptr);
    if (e != kNone) {
        add_garbage(name.len);
        link_value(e, value);
    } else {
        push_entry(name, value, h);
    }
    return Status::Ok;
}

// append and set check the store first and then change nothing visible
// until their last allocation succeeded: a std::bad_alloc leaves the list as
// it was (at most some unreferenced bytes at the end of the store).
HeaderList::Status HeaderList::append(std::string_view name, std::string_view value) {
    if (value.size() > kMaxStore || !store_fits(name.size() + value.size())) return Status::TooLarge;
    if (!grow_index_for_new_name()) return Status::Full;
    uint32_t h;
    uint32_t e = find_entry(name, &h, nullptr);
    Span v = store_bytes(value);
    if (e != kNone) {
        link_value(e, v);
    } else {
        Span n = store_bytes(name);
        push_entry(n, v, h);
    }
    return Status::Ok;
}

HeaderList::Status HeaderList::set(std::string_view name, std::string_view value) {
    if (value.size() > kMaxStore || !store_fits(name.size() + value.size())) return Status::TooLarge;
    if (!grow_index_for_new_name()) return Status::Full;
    uint32_t h;
    uint32_t e = find_entry(name, &h, nullptr);
    if (e == kNone) {
        Span n = store_bytes(name);
        Span v = store_bytes(value);
        push_entry(n, v, h);
        return Status::Ok;
    }
    Span v = store_bytes(value);
    Entry& en = entries_[e];
    add_garbage(en.value.len);
    free_extras(en.extra_head);
    values_ -= en.count - 1;
    en.extra_head = en.extra_tail = kNone;
    en.count = 1;
    en.value = v;
    compact();
    return Status::Ok;
}

bool HeaderList::remove(std::string_view name) {
    uint32_t h;
    uint32_t slot = 0;
    uint32_t e = find_entry(name, &h, &slot);
    if (e == kNone) return false;
    Entry& en = entries_[e];
    values_ -= en.count;
    add_garbage(en.name.len + en.value.len);
    free_extras(en.extra_head);
    if (indexed()) index_erase_slot(slot);
    uint32_t last = uint32_t(entries_.size() - 1);
    if (e != last) {
        if (indexed()) index_[slot_of_entry(last)].entry_plus1 = uint16_t(e + 1);
        entries_[e] = entries_[last];
    }
    entries_.pop_back();
    compact();
    return true;
}

void HeaderList::clear() {
    store_.clear();
    drop_entries();
}


void HeaderList::add_garbage(size_t n) { garbage_ += n; }

void HeaderList::compact() {
    // Rewrite the store once dead bytes dominate, so a long-lived map that is
    // edited in a loop stays bounded.
    if (garbage_ < 4096 || garbage_ < store_.size() / 2) return;
    // Only an optimisation: without memory for the copies, keep the garbage.
    try {
        compact_now();
    } catch (const std::bad_alloc&) {
    }
}

void HeaderList::compact_now() {
    // Both allocations first: nothing changes until they succeeded.
    std::string fresh;
    fresh.reserve(store_.size() - garbage_ + 64);
    std::vector<Extra> nx;
    nx.reserve(values_ - entries_.size());
    auto move = [&](Span& s) {
        uint32_t off = uint32_t(fresh.size());
        fresh.append(store_.data() + s.off, s.len);
        s.off = off;
    };
    for (Entry& en : entries_) {
        move(en.name);
        move(en.value);
        for (uint32_t x = en.extra_head; x != kNone; x = extras_[x].next) move(extras_[x].value);
    }
    // Rebuild the extras without the free list.
    for (Entry& en : entries_) {
        uint32_t head = kNone, tail = kNone;
        for (uint32_t x = en.extra_head; x != kNone; x = extras_[x].next) {
            nx.push_back(Extra{extras_[x].value, kNone});
            uint32_t id = uint32_t(nx.size() - 1);
            if (tail == kNone)
                head = id;
            else
                nx[tail].next = id;
            tail = id;
        }
        en.extra_head = head;
        en.extra_tail = tail;
    }
    extras_.swap(nx);
    free_extra_ = kNone;
    store_.swap(fresh);
    garbage_ = 0;
}

bool HeaderList::equals(const HeaderList& o) const {
    if (values_ != o.values_ || entries_.size() != o.entries_.size()) return false;
    for (uint32_t i = 0; i < entries_.size(); ++i) {
        const Entry& a = entries_[i];
        uint32_t j = o.find(name(i));
        if (j == kNone) return false;
        const Entry& b = o.entries_[j];
        if (a.count != b.count) return false;
        if (str(a.value) != o.str(b.value)) return false;
        uint32_t x = a.extra_head, y = b.extra_head;
        while (x != kNone) {
            if (str(extras_[x].value) != o.str(o.extras_[y].value)) return false;
            x = extras_[x].next;
            y = o.extras_[y].next;
        }
    }
    return true;
}

}  // namespace wl
