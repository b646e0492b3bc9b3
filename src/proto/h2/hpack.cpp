#include "proto/h2/hpack.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/chars.h"
#include "proto/h2/hpack_tables.h"
#include "proto/h2/huffman.h"

namespace wl::h2 {

using tables::kStatic;

// ---------------------------------------------------------------- names

std::string_view pseudo_name(Pseudo p) {
    static constexpr std::string_view k[] = {":authority", ":method", ":scheme",
                                             ":path",      ":protocol", ":status"};
    return k[unsigned(p)];
}

Method method_from_token(std::string_view t) {
    switch (t.size()) {
    case 3:
        if (t == "GET") return Method::Get;
        if (t == "PUT") return Method::Put;
        break;
    case 4:
        if (t == "POST") return Method::Post;
        if (t == "HEAD") return Method::Head;
        break;
    case 5:
        if (t == "PATCH") return Method::Patch;
        if (t == "TRACE") return Method::Trace;
        break;
    case 6:
        if (t == "DELETE") return Method::Delete;
        break;
    case 7:
        if (t == "OPTIONS") return Method::Options;
        if (t == "CONNECT") return Method::Connect;
        break;
    }
    return Method::Extension;
}

std::string_view method_text(Method m) {
    static constexpr std::string_view k[] = {"GET",     "POST",    "PUT",   "DELETE", "HEAD",
                                             "OPTIONS", "CONNECT", "PATCH", "TRACE",  ""};
    return k[unsigned(m)];
}

void HeaderFrame::reset() {
    pseudo_mask = 0;
    method = Method::Get;
    method_text.clear();
    authority.clear();
    scheme.clear();
    path.clear();
    protocol.clear();
    status = 0;
    headers.clear();
    seen_regular = false;
    size = 0;
    malformed = over_size = too_large = false;
}

std::string_view hpack_result_name(HpackResult r) {
    static constexpr std::string_view k[] = {
        "Ok",
        "InvalidRepresentation",
        "InvalidIntegerPrefix",
        "InvalidTableIndex",
        "InvalidHuffmanCode",
        "InvalidUtf8",
        "InvalidStatusCode",
        "InvalidPseudoheader",
        "InvalidMaxDynamicSize",
        "IntegerOverflow",
        "NeedMore(UnexpectedEndOfStream)",
        "NeedMore(IntegerUnderflow)",
        "NeedMore(StringUnderflow)",
    };
    return k[unsigned(r)];
}

// ---------------------------------------------------------------- dynamic table

// The slots are allocated by the first insertion: an idle connection's
// tables cost nothing.
DynamicTable::DynamicTable(uint32_t max_size) : max_size_(max_size) {}

std::string_view DynamicTable::name(size_t i) const {
    const Slot& s = slot(next_seq_ - 1 - i);
    return std::string_view(s.bytes).substr(0, s.name_len);
}

std::string_view DynamicTable::value(size_t i) const {
    const Slot& s = slot(next_seq_ - 1 - i);
    return std::string_view(s.bytes).substr(s.name_len);
}

void DynamicTable::evict_one() {
    const Slot& s = slot(oldest_seq_);
    size_ -= field_size(s.bytes.size(), 0);
    ++oldest_seq_;
}

void DynamicTable::set_max_size(uint32_t m) {
    max_size_ = m;
    while (size_ > max_size_) evict_one();
}

void DynamicTable::grow_slots() {
    std::vector<Slot> ns(slots_.empty() ? 8 : slots_.size() * 2);
    size_t mask = ns.size() - 1;
    for (uint64_t q = oldest_seq_; q < next_seq_; ++q) ns[q & mask] = std::move(slot(q));
    slots_.swap(ns);
}

bool DynamicTable::insert(std::string_view n, std::string_view v) {
    uint64_t sz = field_size(n.size(), v.size());
    if (sz > max_size_) {
        while (count()) evict_one();
        return false;
    }
    while (size_ + sz > max_size_) evict_one();
    if (count() == slots_.size()) grow_slots();
    Slot& s = slot(next_seq_);
    // The slot's storage is reused: one resize, then the bytes.
    s.bytes.resize(n.size() + v.size());
    if (!n.empty()) std::memcpy(s.bytes.data(), n.data(), n.size());
    if (!v.empty()) std::memcpy(s.bytes.data() + n.size(), v.data(), v.size());
    s.name_len = uint32_t(n.size());
    ++next_seq_;
    size_ += sz;
    return true;
}

// ---------------------------------------------------------------- decoder table

void DecoderTable::evict_one() {
    const Entry& e = entry(oldest_seq_);
    size_ -= field_size(e.name_len, e.value_len);
    ++oldest_seq_;
}

void DecoderTable::set_max_size(uint32_t m) {
    max_size_ = m;
    while (size_ > max_size_) evict_one();
}

void DecoderTable::rehash() {
    for (uint64_t q = oldest_seq_; q < next_seq_; ++q) {
        Entry& e = entry(q);
        e.hash = HeaderList::hash_name({bytes_.get() + e.off, e.name_len});
    }
}

void DecoderTable::grow_entries() {
    std::vector<Entry> ns(entries_.empty() ? 16 : entries_.size() * 2);
    size_t mask = ns.size() - 1;
    for (uint64_t q = oldest_seq_; q < next_seq_; ++q) ns[q & mask] = entry(q);
    entries_.swap(ns);
}

// A new ring with room for the live entries and len more octets, the
// entries moved to its front, oldest first.
void DecoderTable::grow_bytes(size_t len) {
    size_t live = size_t(size_ - 32 * count());
    // Doubling, but never past twice the table's limit, which always has
    // room (see place()), unless the live entries need more.
    size_t cap = std::max({std::min(cap_ * 2, size_t(max_size_) * 2), (live + len) * 2, size_t(256)});
    std::unique_ptr<char[]> nb(new char[cap]);
    size_t at = 0;
    for (uint64_t q = oldest_seq_; q < next_seq_; ++q) {
        Entry& e = entry(q);
        size_t n = size_t(e.name_len) + e.value_len;
        if (n) std::memcpy(nb.get() + at, bytes_.get() + e.off, n);
        e.off = at;
        at += n;
    }
    bytes_.swap(nb);
    cap_ = cap;
}

// Where a new entry of len octets goes. The live entries take one run of
// the ring, or two when they wrapped around its end; the new one follows
// the newest, or starts the ring again when the end is too near. With
// twice the table's bytes in the ring one of these always fits, so it
// grows only while a connection's table first fills.
size_t DecoderTable::place(size_t len) {
    if (count() == 0) {
        if (cap_ < len) grow_bytes(len);
        return 0;
    }
    const Entry& old = entry(oldest_seq_);
    const Entry& nw = entry(next_seq_ - 1);
    size_t tail = old.off, head = nw.off + nw.name_len + nw.value_len;
    // An empty newest entry can sit at the oldest's offset with the live
    // octets wrapped around the end, or in one run: the run holds them all.
    if (nw.off > old.off || (nw.off == old.off && head - tail == size_ - 32 * count())) {  // [tail, head)
        if (len <= cap_ - head) return head;
        if (len <= tail) return 0;
    } else if (len <= tail - head) {  // in [tail, end) and [0, head)
        return head;
    }
    grow_bytes(len);
    const Entry& moved = entry(next_seq_ - 1);
    return moved.off + moved.name_len + moved.value_len;
}

bool DecoderTable::insert(std::string_view n, std::string_view v, uint32_t hash, FieldFacts facts) {
    uint64_t sz = field_size(n.size(), v.size());
    if (sz > max_size_) {
        oldest_seq_ = next_seq_;
        size_ = 0;
        return false;
    }
    while (size_ + sz > max_size_) evict_one();
    if (count() == entries_.size()) grow_entries();
    size_t at = place(n.size() + v.size());
    char* p = bytes_.get() + at;
    if (!n.empty()) std::memcpy(p, n.data(), n.size());
    if (!v.empty()) std::memcpy(p + n.size(), v.data(), v.size());
    entry(next_seq_) = Entry{at, uint32_t(n.size()), uint32_t(v.size()), hash, facts};
    ++next_seq_;
    size_ += sz;
    return true;
}

// ---------------------------------------------------------------- integers and strings
// The decoder's scratch space is never smaller than this once allocated.
static constexpr size_t kMinScratch = 4096;

static inline void put_int(ByteBuf& out, uint8_t first, int prefix_bits, uint64_t v) {
    uint8_t* t = out.tail(11);
    uint64_t mask = (uint64_t(1) << prefix_bits) - 1;
    if (v < mask) {
        t[0] = uint8_t(first | v);
        out.commit(1);
        return;
    }
    t[0] = uint8_t(first | mask);
    v -= mask;
    size_t k = 1;
    while (v >= 128) {
        t[k++] = uint8_t(0x80 | (v & 0x7f));
        v >>= 7;
    }
    t[k++] = uint8_t(v);
    out.commit(k);
}

void encode_int(ByteBuf& out, uint8_t first, int prefix_bits, uint64_t v) {
    put_int(out, first, prefix_bits, v);
}

static inline HpackResult get_int(const uint8_t*& p, const uint8_t* end, int prefix_bits, uint32_t& v) {
    if (p == end) return HpackResult::NeedMoreUnexpectedEndOfStream;
    uint32_t mask = (1u << prefix_bits) - 1;
    uint32_t x = *p & mask;
    if (x < mask) {
        ++p;
        v = x;
        return HpackResult::Ok;
    }
    const uint8_t* q = p + 1;
    // At most four continuation octets (five octets in all): the value
    // stays below 2^29 and never wraps.
    for (unsigned shift = 0; shift < 28; shift += 7) {
        if (q == end) return HpackResult::NeedMoreIntegerUnderflow;
        uint8_t b = *q++;
        x += uint32_t(b & 0x7f) << shift;
        if (!(b & 0x80)) {
            p = q;
            v = x;
            return HpackResult::Ok;
        }
    }
    return HpackResult::IntegerOverflow;
}

HpackResult decode_int(const uint8_t*& p, const uint8_t* end, int prefix_bits, uint32_t& v) {
    return get_int(p, end, prefix_bits, v);
}

static inline size_t int_len(uint64_t v, int prefix_bits) {
    uint64_t mask = (uint64_t(1) << prefix_bits) - 1;
    if (v < mask) return 1;
    v -= mask;
    size_t k = 2;
    while (v >= 128) {
        v >>= 7;
        ++k;
    }
    return k;
}

void encode_string(ByteBuf& out, std::string_view s) {
    if (s.empty()) {
        out.push(0x00);
        return;
    }
    // Code in place after one reserved length octet; move the coded bytes
    // only when the length does not fit the 7-bit prefix.
    size_t room = s.size() * 4 + 16;
    uint8_t* t = out.tail(room);
    size_t L = size_t(huffman_encode(s, t + 1) - (t + 1));
    if (L < 127) {
        t[0] = uint8_t(0x80 | L);
        out.commit(1 + L);
        return;
    }
    size_t k = int_len(L, 7);
    std::memmove(t + k, t + 1, L);
    uint64_t v = L - 127;
    t[0] = 0xff;
    size_t i = 1;
    while (v >= 128) {
        t[i++] = uint8_t(0x80 | (v & 0x7f));
        v >>= 7;
    }
    t[i] = uint8_t(v);
    out.commit(k + L);
}

// ---------------------------------------------------------------- validation

static bool valid_utf8(std::string_view s) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    const unsigned char* e = p + s.size();
    while (p < e) {
        // ASCII runs, 8 at a time.
        while (e - p >= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            if (w & 0x8080808080808080ull) break;
            p += 8;
        }
        if (p >= e) break;
        unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        size_t need;
        uint32_t cp;
        if (c >= 0xc2 && c <= 0xdf) {
            need = 1;
            cp = c & 0x1f;
        } else if (c >= 0xe0 && c <= 0xef) {
            need = 2;
            cp = c & 0x0f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            need = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (size_t(e - p) <= need) return false;
        for (size_t i = 1; i <= need; ++i) {
            if ((p[i] & 0xc0) != 0x80) return false;
            cp = (cp << 6) | (p[i] & 0x3f);
        }
        if ((need == 2 && cp < 0x800) || (need == 3 && (cp < 0x10000 || cp > 0x10ffff)) ||
            (cp >= 0xd800 && cp <= 0xdfff))
            return false;
        p += need + 1;
    }
    return true;
}

// A name HeaderMap would take as it is: 1 to 65535 lower-case token octets
// (the table maps NUL to itself, so it needs its own test).
static inline bool valid_lower_name(std::string_view n) {
    if (n.empty() || n.size() > 65535) return false;
    for (unsigned char c : n)
        if (c == 0 || kTokenLower[c] != c) return false;
    return true;
}

// Field values: HTAB, 0x20-0x7E and 0x80-0xFF. Sixteen octets at a time
// (with SSE2) or eight, the last ones as one overlapping load; a load
// holding anything below 0x20 or 0x7F is checked octet by octet.
static inline bool valid_value(std::string_view v) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(v.data());
    size_t n = v.size();
    auto octets_ok = [&](size_t at, size_t k) {
        for (size_t j = at; j < at + k; ++j)
            if (!kFieldValueOk[p[j]]) return false;
        return true;
    };
    auto word_ok = [&](size_t at) {
        constexpr uint64_t k01 = 0x0101010101010101ull, k80 = 0x8080808080808080ull;
        uint64_t w;
        std::memcpy(&w, p + at, 8);
        uint64_t low = (w - k01 * 0x20) & ~w & k80;  // octets below 0x20
        uint64_t x = w ^ (k01 * 0x7f);
        uint64_t del = (x - k01) & ~x & k80;          // octets equal to 0x7F
        return (low | del) == 0 || octets_ok(at, 8);
    };
    if (n < 8) return octets_ok(0, n);
#if defined(__SSE2__)
    if (n >= 16) {
        auto block_ok = [&](size_t at) {
            __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
            // x <= 0x1F exactly when min(x, 0x1F) == x (unsigned).
            __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x1f)), x);
            __m128i del = _mm_cmpeq_epi8(x, _mm_set1_epi8(0x7f));
            return _mm_movemask_epi8(_mm_or_si128(low, del)) == 0 || octets_ok(at, 16);
        };
        size_t i = 0;
        for (; i + 16 <= n; i += 16)
            if (!block_ok(i)) return false;
        return i == n || block_ok(n - 16);
    }
#endif
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        if (!word_ok(i)) return false;
    return i == n || word_ok(n - 8);
}

// Pseudo kind of a name starting with ':', or -1.
static inline int pseudo_kind(std::string_view n) {
    switch (n.size()) {
    case 5:
        if (n == ":path") return int(Pseudo::Path);
        break;
    case 7:
        if (n == ":method") return int(Pseudo::Method);
        if (n == ":scheme") return int(Pseudo::Scheme);
        if (n == ":status") return int(Pseudo::Status);
        break;
    case 9:
        if (n == ":protocol") return int(Pseudo::Protocol);
        break;
    case 10:
        if (n == ":authority") return int(Pseudo::Authority);
        break;
    }
    return -1;
}

static inline bool has_nul_cr_lf(std::string_view v) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(v.data());
    size_t n = v.size();
    if (n < 8) {
        for (size_t i = 0; i < n; ++i)
            if (p[i] == 0 || p[i] == '\r' || p[i] == '\n') return true;
        return false;
    }
    // Eight octets at a time, the last ones as one overlapping word.
    constexpr uint64_t k01 = 0x0101010101010101ull, k80 = 0x8080808080808080ull;
    auto zero_in = [](uint64_t x) { return ((x - k01) & ~x & k80) != 0; };
    auto word_has = [&](size_t at) {
        uint64_t w;
        std::memcpy(&w, p + at, 8);
        return zero_in(w) || zero_in(w ^ (k01 * '\r')) || zero_in(w ^ (k01 * '\n'));
    };
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        if (word_has(i)) return true;
    return i < n && word_has(n - 8);
}

static inline bool valid_status(std::string_view v) {
    return v.size() == 3 && v[0] >= '1' && v[0] <= '9' && v[1] >= '0' && v[1] <= '9' &&
           v[2] >= '0' && v[2] <= '9';
}

// Validates a decoded field. name_known: the name came from a table, where
// only valid names live. Sets *pk to the pseudo kind or -1.
// value_printable: the value is known to hold only octets 0x20 to 0x7E,
// which every value check but those of :status and :method accepts.
static inline HpackResult validate(std::string_view n, std::string_view v, bool name_known,
                                   bool value_printable, int* pk) {
    if (!n.empty() && n[0] == ':') {
        int k = pseudo_kind(n);
        if (k < 0) return HpackResult::InvalidPseudoheader;
        *pk = k;
        switch (Pseudo(k)) {
        case Pseudo::Status:
            return valid_status(v) ? HpackResult::Ok : HpackResult::InvalidStatusCode;
        case Pseudo::Method:
            return is_token(v) ? HpackResult::Ok : HpackResult::InvalidUtf8;
        default:
            // NUL, CR and LF would let a request line or header be split
            // wherever the value is written out again.
            return value_printable || (valid_utf8(v) && !has_nul_cr_lf(v)) ? HpackResult::Ok
                                                                           : HpackResult::InvalidUtf8;
        }
    }
    *pk = -1;
    if (!name_known && !valid_lower_name(n)) return HpackResult::InvalidUtf8;
    return value_printable || valid_value(v) ? HpackResult::Ok : HpackResult::InvalidUtf8;
}

// ---------------------------------------------------------------- field acceptance

static inline uint64_t sat_add(uint64_t a, uint64_t b) {
    uint64_t r = a + b;
    return r < a ? UINT64_MAX : r;
}

static inline bool connection_specific(std::string_view n, std::string_view v) {
    switch (n.size()) {
    case 2:
        return n == "te" && v != "trailers";
    case 7:
        return n == "upgrade";
    case 10:
        return n == "connection" || n == "keep-alive";
    case 16:
        return n == "proxy-connection";
    case 17:
        return n == "transfer-encoding";
    }
    return false;
}

// The field's name and value are valid; pk is its pseudo kind or -1. A
// regular field that is kept goes to store(n, v), false when the list
// refused it.
// Running sizes above this stop decoding: 4 x max_header_list_size, saturating.
static inline uint64_t abuse_limit(size_t max_list) {
    return uint64_t(max_list) > UINT64_MAX / 4 ? UINT64_MAX : uint64_t(max_list) * 4;
}

// The facts of a valid field.
static inline FieldFacts facts_of(std::string_view n, std::string_view v) {
    if (!n.empty() && n[0] == ':') return {int8_t(pseudo_kind(n)), false};
    return {-1, connection_specific(n, v)};
}

template <class Store>
static bool accept(HeaderFrame& f, FieldFacts facts, std::string_view n, std::string_view v,
                   size_t max_list, uint64_t abuse, Store&& store) {
    const int pk = facts.pseudo;
    if (pk >= 0) {
        if (f.seen_regular || (f.pseudo_mask & (1u << pk))) {
            f.malformed = true;
            return true;
        }
    } else {
        if (facts.conn_specific) {
            f.malformed = true;
            return true;
        }
        f.seen_regular = true;
    }
    f.size = sat_add(f.size, field_size(n.size(), v.size()));
    if (f.size > abuse) {
        f.too_large = true;
        return false;
    }
    if (f.size >= max_list || f.over_size) {
        f.over_size = true;
        return true;
    }
    if (pk < 0) {
        if (!store(n, v)) f.over_size = true;
        return true;
    }
    f.pseudo_mask |= uint8_t(1u << pk);
    switch (Pseudo(pk)) {
    case Pseudo::Authority:
        f.authority.assign(v);
        break;
    case Pseudo::Method:
        f.method = method_from_token(v);
        if (f.method == Method::Extension) f.method_text.assign(v);
        break;
    case Pseudo::Scheme:
        f.scheme.assign(v);
        break;
    case Pseudo::Path:
        f.path.assign(v);
        break;
    case Pseudo::Protocol:
        f.protocol.assign(v);
        break;
    case Pseudo::Status:
        f.status = uint16_t((v[0] - '0') * 100 + (v[1] - '0') * 10 + (v[2] - '0'));
        break;
    }
    return true;
}

bool accept_field(HeaderFrame& frame, std::string_view name, std::string_view value,
                  size_t max_header_list_size) {
    return accept(frame, facts_of(name, value), name, value, max_header_list_size,
                  abuse_limit(max_header_list_size),
                  [&](std::string_view n, std::string_view v) {
                      return frame.headers.append(n, v) == HeaderList::Status::Ok;
                  });
}

// ---------------------------------------------------------------- decoder

// HeaderList::hash_name of the static table's names, made under the seed in
// force at first use (`probe` tells whether it still is), and the entries'
// field facts.
namespace {
struct StaticHashes {
    uint32_t probe;
    uint32_t name[62];
    FieldFacts facts[62];
};
}  // namespace

static inline uint32_t hash_probe() { return HeaderList::hash_name(":status"); }

static const StaticHashes& static_hashes() {
    static const StaticHashes k = [] {
        StaticHashes s{};
        s.probe = hash_probe();
        for (size_t i = 1; i < 62; ++i) {
            s.name[i] = HeaderList::hash_name(kStatic[i].name);
            s.facts[i] = facts_of(kStatic[i].name, kStatic[i].value);
        }
        return s;
    }();
    return k;
}

HpackDecoder::HpackDecoder() {}  // the scratch buffer comes with the first string it holds

void HpackDecoder::set_recv_header_table_size(uint32_t v) {
    if (!has_pending_ || v > pending_limit_) pending_limit_ = v;
    has_pending_ = true;
}

// A string: raw strings and table entries are referenced in place, Huffman
// strings are decoded into the scratch buffer at its current fill.
struct HpackDecoder::Str {
    const uint8_t* raw = nullptr;  // bytes outside the scratch buffer, or null
    size_t off = 0;                // else offset in scratch
    size_t len = 0;
    bool printable = false;        // Huffman-decoded from codes of at most 8 bits
    static Str of(std::string_view s) {
        return {reinterpret_cast<const uint8_t*>(s.data()), 0, s.size(), false};
    }
};

// NeedMore when the string at p (length prefix and octets) is not all held;
// p moves past it otherwise. Malformed lengths are left to read_str, which
// reports them in decoding order.
static inline HpackResult skip_str(const uint8_t*& p, const uint8_t* end) {
    if (p == end) return HpackResult::NeedMoreUnexpectedEndOfStream;
    uint32_t len;
    HpackResult r = get_int(p, end, 7, len);
    if (r != HpackResult::Ok) return r;
    if (size_t(end - p) < len) return HpackResult::NeedMoreStringUnderflow;
    p += len;
    return HpackResult::Ok;
}

void HpackDecoder::grow_scratch(size_t need) {
    scratch_.resize(std::max({need, kMinScratch, scratch_.size() * 2}));
}

HpackResult HpackDecoder::read_str(const uint8_t*& p, const uint8_t* end, size_t& fill, Str& s) {
    if (p == end) return HpackResult::NeedMoreUnexpectedEndOfStream;
    bool huff = *p & 0x80;
    uint32_t len;
    const uint8_t* q = p;
    HpackResult r = get_int(q, end, 7, len);
    if (r != HpackResult::Ok) return r;
    if (size_t(end - q) < len) return HpackResult::NeedMoreStringUnderflow;
    if (!huff) {
        s = {q, 0, len};
    } else {
        reserve_scratch(fill + size_t(len) * 2);
        size_t out_len;
        bool printable;
        if (!huffman_decode(q, len, scratch_.data() + fill, &out_len, &printable))
            return HpackResult::InvalidHuffmanCode;
        s = {nullptr, fill, out_len, printable};
        fill += out_len;
    }
    p = q + len;
    return HpackResult::Ok;
}

// A kept regular field: its name and value are brought into the scratch
// buffer (where a Huffman string already is) and listed for the flush.
inline void HpackDecoder::keep(const Str& n, const Str& v, uint32_t hash, size_t& fill) {
    reserve_scratch(fill + (n.raw ? n.len : 0) + (v.raw ? v.len : 0));
    if (n.raw && v.raw == n.raw + n.len) {
        // A dynamic table entry holds its name and value together.
        std::memcpy(scratch_.data() + fill, n.raw, n.len + v.len);
        lines_.push_back(
            {{uint32_t(fill), uint32_t(n.len)}, {uint32_t(fill + n.len), uint32_t(v.len)}, hash});
        fill += n.len + v.len;
        return;
    }
    auto place = [&](const Str& s) {
        if (!s.raw) return HeaderList::Span{uint32_t(s.off), uint32_t(s.len)};
        HeaderList::Span at{uint32_t(fill), uint32_t(s.len)};
        if (s.len) std::memcpy(scratch_.data() + fill, s.raw, s.len);
        fill += s.len;
        return at;
    };
    HeaderList::Span ns = place(n);
    lines_.push_back({ns, place(v), hash});
}

// The pass's kept fields enter the frame's list in one step: the scratch
// bytes become (or extend) its store, and the lines point into them.
void HpackDecoder::flush(HeaderFrame& frame, size_t fill) {
    if (lines_.empty()) return;
    HeaderList& h = frame.headers;
    if (fill > HeaderList::kMaxStore - h.store_size()) {
        frame.over_size = true;
        lines_.clear();
        return;
    }
    std::string_view block(reinterpret_cast<const char*>(scratch_.data()), fill);
    HeaderList::Span at = h.store_size() == 0 && h.name_count() == 0
                              ? h.adopt_block(block, lines_.size())
                              : h.store_bytes(block);
    auto line = [&](size_t i, HeaderList::Span* n, HeaderList::Span* v, uint32_t* hash) {
        *n = {lines_[i].name.off + at.off, lines_[i].name.len};
        *v = {lines_[i].value.off + at.off, lines_[i].value.len};
        *hash = lines_[i].hash;
        return true;
    };
    if (h.append_hashed_lines(lines_.size(), line) != HeaderList::Status::Ok) frame.over_size = true;
    lines_.clear();
}

HpackResult HpackDecoder::decode(const uint8_t* data, size_t len, size_t* consumed,
                                 HeaderFrame& frame, size_t max_list) {
    size_t fill = 0;
    HpackResult r = decode_pass(data, len, consumed, frame, max_list, fill);
    flush(frame, fill);
    mid_block_ = is_need_more(r);
    return r;
}

HpackResult HpackDecoder::decode_pass(const uint8_t* data, size_t len, size_t* consumed,
                                      HeaderFrame& frame, size_t max_list, size_t& fill) {
    if (has_pending_) {
        last_limit_ = pending_limit_;
        has_pending_ = false;
    }
    *consumed = 0;
    lines_.clear();
    // Not while a representation waits for the rest of its bytes: its
    // next pass would only grow the scratch space again.
    if (!mid_block_) shrink_scratch();
    const uint8_t* p = data;
    const uint8_t* end = data + len;
    const uint64_t abuse = abuse_limit(max_list);
    // Names' hashes: the static table's and those kept with the entries
    // hold while the seed they were made under does.
    const uint32_t probe = hash_probe();
    if (probe != hash_probe_) {
        table_.rehash();
        hash_probe_ = probe;
    }
    const StaticHashes& sh = static_hashes();
    const bool static_ok = sh.probe == probe;
    auto static_hash = [&](uint32_t i) {
        return static_ok ? sh.name[i] : HeaderList::hash_name(kStatic[i].name);
    };
    bool field_seen = false;
    // The scratch bytes before `fill` hold the strings of the fields kept so
    // far in this pass; a field that is not kept gives its bytes back.
    Str ns, vs;
    uint32_t nh = 0;
    bool kept = false;
    auto store = [&](std::string_view, std::string_view) {
        // Last use of the field's views: keep() may move the scratch bytes.
        keep(ns, vs, nh, fill);
        kept = true;
        return true;
    };
    while (p < end) {
        uint8_t b = *p;
        const uint8_t* q = p;
        std::string_view name, value;
        FieldFacts facts;
        HpackResult r;
        size_t start = fill;
        kept = false;
        if (b & 0x80) {
            // Indexed field: entries of both tables are valid fields already.
            uint32_t idx;
            r = get_int(q, end, 7, idx);
            if (r != HpackResult::Ok) return r;
            if (idx == 0) return HpackResult::InvalidTableIndex;
            if (idx <= 61) {
                name = kStatic[idx].name;
                value = kStatic[idx].value;
                nh = static_hash(idx);
                facts = sh.facts[idx];
            } else if (idx - 62 < table_.count()) {
                name = table_.name(idx - 62);
                value = table_.value(idx - 62);
                nh = table_.name_hash(idx - 62);
                facts = table_.facts(idx - 62);
            } else {
                return HpackResult::InvalidTableIndex;
            }
            ns = Str::of(name);
            vs = Str::of(value);
        } else if ((b & 0xe0) == 0x20) {
            // Size update: only before the first field of the pass.
            if (field_seen) return HpackResult::InvalidMaxDynamicSize;
            uint32_t v;
            r = get_int(q, end, 5, v);
            if (r != HpackResult::Ok) return r;
            if (v > last_limit_) return HpackResult::InvalidMaxDynamicSize;
            table_.set_max_size(v);
            p = q;
            *consumed = size_t(p - data);
            continue;
        } else {
            // Literals: 01 with incremental indexing (6-bit index), 0000
            // without indexing and 0001 never indexed (4-bit index).
            bool indexing = b & 0x40;
            uint32_t idx;
            r = get_int(q, end, indexing ? 6 : 4, idx);
            if (r != HpackResult::Ok) return r;
            if (idx > 61 && idx - 62 >= table_.count()) return HpackResult::InvalidTableIndex;
            {
                // Both strings must be held before either is Huffman-decoded:
                // a representation cut by a frame boundary is decoded once,
                // when complete, not again on every CONTINUATION pass.
                const uint8_t* t = q;
                HpackResult c = idx == 0 ? skip_str(t, end) : HpackResult::Ok;
                if (c == HpackResult::Ok) c = skip_str(t, end);
                if (is_need_more(c)) return c;
            }
            if (idx == 0) {
                r = read_str(q, end, fill, ns);
                if (r != HpackResult::Ok) return r;
            } else if (idx <= 61) {
                ns = Str::of(kStatic[idx].name);
                nh = static_hash(idx);
            } else {
                std::string_view tn = table_.name(idx - 62);
                nh = table_.name_hash(idx - 62);
                if (indexing) {
                    // The insertion below may evict or move this entry.
                    reserve_scratch(fill + tn.size());
                    std::memcpy(scratch_.data() + fill, tn.data(), tn.size());
                    ns = {nullptr, fill, tn.size()};
                    fill += tn.size();
                } else {
                    ns = Str::of(tn);
                }
            }
            r = read_str(q, end, fill, vs);
            if (r != HpackResult::Ok) return r;
            const uint8_t* sbase = scratch_.data();
            name = std::string_view(reinterpret_cast<const char*>(ns.raw ? ns.raw : sbase + ns.off),
                                    ns.len);
            value = std::string_view(reinterpret_cast<const char*>(vs.raw ? vs.raw : sbase + vs.off),
                                     vs.len);
            int pk;
            r = validate(name, value, idx != 0, vs.printable, &pk);
            if (r != HpackResult::Ok) return r;
            facts = {int8_t(pk), pk < 0 && connection_specific(name, value)};
            if (idx == 0 && (indexing || pk < 0)) nh = HeaderList::hash_name(name);
            // name/value point at scratch or input, never into the table.
            if (indexing) table_.insert(name, value, nh, facts);
        }
        field_seen = true;
        p = q;
        *consumed = size_t(p - data);
        if (!wl::h2::accept(frame, facts, name, value, max_list, abuse, store)) return HpackResult::Ok;
        if (!kept) fill = start;
    }
    return HpackResult::Ok;
}

void HpackDecoder::shrink_scratch() {
    // One huge Huffman string must not pin its scratch space for the
    // connection's lifetime.
    if (scratch_.size() > kScratchKeep) {
        scratch_.resize(kScratchSize);
        scratch_.shrink_to_fit();
    }
    if (lines_.capacity() > kLinesKeep) std::vector<Line>().swap(lines_);
}

HpackResult HpackDecoder::decode(ByteBuf& held, HeaderFrame& frame, size_t max_header_list_size) {
    size_t consumed = 0;
    HpackResult r = decode(held.data(), held.size(), &consumed, frame, max_header_list_size);
    held.consume(consumed);
    return r;
}

// ---------------------------------------------------------------- encoder

static inline uint64_t load8(const unsigned char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

static inline uint32_t load4(const unsigned char* p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

// Eight octets per step and the tail as one overlapping load (never a
// byte-by-byte copy, which would stall the load that follows it). The
// length enters first, so overlapping tails of different lengths differ.
// Strings longer than 32 octets are sampled: their first and last 16
// octets and their length. The table holds at most 128 entries and every
// candidate is compared whole, so a sampled collision costs one comparison
// per entry at worst, while hashing stays constant time per field.
static inline uint32_t hash_bytes(std::string_view s, uint64_t seed) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size();
    uint64_t h = seed ^ (n * 0x9e3779b97f4a7c15ull);
    auto mix = [&h](uint64_t w) {
        h = (h ^ w) * 0xff51afd7ed558ccdull;
        h ^= h >> 32;
    };
    if (n > 32) {
        // Two independent lanes: the loads and multiplies overlap.
        uint64_t a = (load8(p) ^ h) * 0xff51afd7ed558ccdull;
        uint64_t b = (load8(p + n - 8) ^ h) * 0xc4ceb9fe1a85ec53ull;
        a = (a ^ (a >> 32) ^ load8(p + 8)) * 0xc4ceb9fe1a85ec53ull;
        b = (b ^ (b >> 32) ^ load8(p + n - 16)) * 0xff51afd7ed558ccdull;
        mix(a ^ (b >> 29) ^ (b << 35));
    } else if (n >= 8) {
        for (; n > 8; p += 8, n -= 8) mix(load8(p));
        mix(load8(p + n - 8));
    } else if (n >= 4) {
        mix(load4(p) | uint64_t(load4(p + n - 4)) << 32);
    } else if (n > 0) {
        mix(p[0] | uint64_t(p[n / 2]) << 8 | uint64_t(p[n - 1]) << 16);
    }
    h *= 0x9e3779b97f4a7c15ull;
    return uint32_t(h >> 32);
}

// Equal octets of two strings of the same length n, a word at a time for
// the short strings table lookups compare; long ones go to memcmp.
static inline bool same_bytes(const char* a, const char* b, size_t n) {
    const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
    if (n > 32) return std::memcmp(a, b, n) == 0;
    if (n >= 8) {
        for (size_t i = 0; i + 8 < n; i += 8)
            if (load8(x + i) != load8(y + i)) return false;
        return load8(x + n - 8) == load8(y + n - 8);
    }
    if (n >= 4) return load4(x) == load4(y) && load4(x + n - 4) == load4(y + n - 4);
    for (size_t i = 0; i < n; ++i)
        if (x[i] != y[i]) return false;
    return true;
}

static constexpr uint64_t kNameSeed = 0x51ed270b27u;

// Name hashes of the static table's entries, so that a field with a static
// name hashes its value only. Made at first use.
static const std::array<uint32_t, 62>& static_name_hashes() {
    static const auto k = [] {
        std::array<uint32_t, 62> h{};
        for (size_t i = 1; i < h.size(); ++i) h[i] = hash_bytes(kStatic[i].name, kNameSeed);
        return h;
    }();
    return k;
}

void EncoderTable::evict_one() {
    const Slot& s = slot(oldest_seq_);
    size_ -= field_size(s.name_len, s.value_len);
    ++oldest_seq_;
}

void EncoderTable::set_max_size(uint32_t m) {
    max_size_ = m;
    while (size_ > max_size_) evict_one();
}

// Moves the live entries' bytes to the front of the buffer, oldest first.
// They lie in insertion order, so each moves towards the front.
void EncoderTable::compact() {
    uint32_t at = 0;
    for (uint64_t q = oldest_seq_; q < next_seq_; ++q) {
        Slot& s = store_->slots[q % kSlots];
        uint32_t n = s.name_len + s.value_len;
        if (n && s.off != at) std::memmove(store_->bytes + at, store_->bytes + s.off, n);
        s.off = at;
        at += n;
    }
    end_ = at;
}

uint64_t EncoderTable::insert_indexed(std::string_view n, std::string_view v, uint32_t nh, uint32_t nvh) {
    if (!store_) {
        store_.reset(new Store);
        std::fill(std::begin(store_->heads), std::end(store_->heads), UINT64_MAX);
    }
    uint64_t sz = field_size(n.size(), v.size());
    if (sz > max_size_) {
        oldest_seq_ = next_seq_;
        size_ = 0;
        return UINT64_MAX;
    }
    while (size_ + sz > max_size_) evict_one();
    // The live entries and this one take at most max_size_ - 32 octets,
    // less than half the buffer.
    size_t len = n.size() + v.size();
    if (len > kBytes - end_) compact();
    char* p = store_->bytes + end_;
    if (!n.empty()) std::memcpy(p, n.data(), n.size());
    if (!v.empty()) std::memcpy(p + n.size(), v.data(), v.size());
    uint64_t seq = next_seq_++;
    uint64_t& hn = store_->heads[nh % kBuckets];
    uint64_t& hv = store_->heads[kBuckets + nvh % kBuckets];
    store_->slots[seq % kSlots] = Slot{end_, uint32_t(n.size()), uint32_t(v.size()), nh, nvh, hn, hv};
    hn = seq;
    hv = seq;
    end_ += uint32_t(len);
    size_ += sz;
    return seq;
}

uint64_t EncoderTable::find_nv(std::string_view n, std::string_view v, uint32_t nvh) const {
    if (!store_) return UINT64_MAX;
    for (uint64_t q = store_->heads[kBuckets + nvh % kBuckets]; alive(q); q = slot(q).next_nv) {
        const Slot& s = slot(q);
        if (s.nv_hash == nvh && s.name_len == n.size() && s.value_len == v.size()) {
            const char* b = store_->bytes + s.off;
            if (same_bytes(b, n.data(), n.size()) && same_bytes(b + n.size(), v.data(), v.size())) return q;
        }
    }
    return UINT64_MAX;
}

uint64_t EncoderTable::find_name(std::string_view n, uint32_t nh) const {
    if (!store_) return UINT64_MAX;
    for (uint64_t q = store_->heads[nh % kBuckets]; alive(q); q = slot(q).next_name) {
        const Slot& s = slot(q);
        if (s.name_hash == nh && s.name_len == n.size() && same_bytes(store_->bytes + s.off, n.data(), n.size()))
            return q;
    }
    return UINT64_MAX;
}

bool EncoderTable::holds(uint64_t seq, std::string_view n, std::string_view v) const {
    if (!alive(seq)) return false;
    const Slot& s = slot(seq);
    const char* b = store_->bytes + s.off;
    return s.name_len == n.size() && s.value_len == v.size() && same_bytes(b, n.data(), n.size()) &&
           same_bytes(b + n.size(), v.data(), v.size());
}

HpackEncoder::HpackEncoder() { std::fill(std::begin(recall_), std::end(recall_), UINT64_MAX); }

void HpackEncoder::set_send_header_table_size(uint32_t v) {
    if (v > kEncoderTableCeiling) v = kEncoderTableCeiling;
    switch (pending_count_) {
    case 0:
        if (v != table_.max_size()) {
            pending_count_ = 1;
            pending_final_ = v;
        }
        break;
    case 1:
        if (v > pending_final_ && pending_final_ <= table_.max_size()) {
            pending_count_ = 2;
            pending_min_ = pending_final_;
            pending_final_ = v;
        } else {
            pending_final_ = v;
        }
        break;
    default:
        if (v >= pending_min_) {
            pending_final_ = v;
        } else {
            pending_count_ = 1;
            pending_final_ = v;
        }
        break;
    }
}

void HpackEncoder::begin_block(ByteBuf& out) {
    if (pending_count_ == 2) {
        table_.set_max_size(pending_min_);
        put_int(out, 0x20, 5, pending_min_);
    }
    if (pending_count_ >= 1) {
        table_.set_max_size(pending_final_);
        put_int(out, 0x20, 5, pending_final_);
    }
    pending_count_ = 0;
    prev_ref_ = NameRef::None;
    prev_name_ = {};
}

// Static indices of regular names whose fields are never inserted.
static inline bool never_inserted_static(int sname) {
    switch (sname) {
    case 21:  // age
    case 23:  // authorization
    case 28:  // content-length
    case 32:  // cookie
    case 34:  // etag
    case 40:  // if-modified-since
    case 41:  // if-none-match
    case 46:  // location
    case 55:  // set-cookie
        return true;
    }
    return false;
}

static inline void write_literal(ByteBuf& out, uint8_t first, int prefix, uint32_t name_idx,
                                 std::string_view name, std::string_view value) {
    put_int(out, first, prefix, name_idx);
    if (name_idx == 0) encode_string(out, name);
    encode_string(out, value);
}

void HpackEncoder::encode_field(std::string_view name, std::string_view value, int sname,
                                int sfull, bool never_insert, bool sensitive, ByteBuf& out) {
    prev_name_ = name;
    field_seq_ = UINT64_MAX;
    if (sensitive) {
        write_literal(out, 0x10, 4, uint32_t(sname), name, value);
        prev_ref_ = sname ? NameRef::Static : NameRef::Literal;
        prev_static_ = uint32_t(sname);
        return;
    }
    if (sfull) {
        put_int(out, 0x80, 7, uint32_t(sfull));
        prev_ref_ = NameRef::Static;
        prev_static_ = uint32_t(sname);
        return;
    }
    if (never_insert ||
        uint64_t(field_size(name.size(), value.size())) * 4 > uint64_t(table_.max_size()) * 3) {
        write_literal(out, 0x00, 4, uint32_t(sname), name, value);
        prev_ref_ = sname ? NameRef::Static : NameRef::Literal;
        prev_static_ = uint32_t(sname);
        return;
    }
    uint32_t nh = sname ? static_name_hashes()[sname] : hash_bytes(name, kNameSeed);
    uint32_t nvh = hash_bytes(value, nh);
    uint64_t hit = table_.find_nv(name, value, nvh);
    if (hit != UINT64_MAX) {
        put_int(out, 0x80, 7, table_.index_of_seq(hit));
        prev_ref_ = NameRef::Dynamic;
        prev_seq_ = hit;
        field_seq_ = hit;
        return;
    }
    uint64_t named = table_.find_name(name, nh);
    // The name index refers to the table as the peer sees it before the
    // insertion; a same-name entry that the insertion evicts is not used.
    uint32_t name_idx;
    if (named != UINT64_MAX)
        name_idx = uint32_t(table_.index_of_seq(named));
    else
        name_idx = uint32_t(sname);
    uint64_t seq = table_.insert_indexed(name, value, nh, nvh);
    field_seq_ = seq;
    if (named != UINT64_MAX && !table_.alive(named)) name_idx = 0;
    write_literal(out, 0x40, 6, name_idx, name, value);
    // Further values reuse the name index just written, or the new entry
    // when the name was written literally.
    if (name_idx != 0 && named == UINT64_MAX) {
        prev_ref_ = NameRef::Static;
        prev_static_ = name_idx;
    } else {
        prev_ref_ = NameRef::Dynamic;
        prev_seq_ = name_idx != 0 ? named : seq;
    }
}

void HpackEncoder::add(const EncodeField& f, ByteBuf& out) {
    std::string_view v = f.value;
    switch (f.kind) {
    case FieldKind::Authority:
        encode_field(":authority", v, 1, 0, false, f.sensitive, out);
        return;
    case FieldKind::Method:
        encode_field(":method", v, 2, v == "GET" ? 2 : v == "POST" ? 3 : 0, false, f.sensitive,
                     out);
        return;
    case FieldKind::Scheme:
        encode_field(":scheme", v, 6, v == "http" ? 6 : v == "https" ? 7 : 0, false, f.sensitive,
                     out);
        return;
    case FieldKind::Path:
        encode_field(":path", v, 4, v == "/" ? 4 : v == "/index.html" ? 5 : 0, true, f.sensitive,
                     out);
        return;
    case FieldKind::Protocol:
        encode_field(":protocol", v, 0, 0, false, f.sensitive, out);
        return;
    case FieldKind::Status: {
        int full = 0;
        if (v.size() == 3) {
            static constexpr std::string_view k[] = {"200", "204", "206", "304",
                                                     "400", "404", "500"};
            for (int i = 0; i < 7; ++i)
                if (v == k[i]) full = 8 + i;
        }
        encode_field(":status", v, 8, full, false, f.sensitive, out);
        return;
    }
    case FieldKind::Regular: {
        int sname = tables::static_name_index(f.name);
        int full = (sname == 16 && v == "gzip, deflate") ? 16 : 0;
        encode_field(f.name, v, sname, full, never_inserted_static(sname), f.sensitive, out);
        return;
    }
    case FieldKind::NextValue: {
        uint8_t first = f.sensitive ? 0x10 : 0x00;
        switch (prev_ref_) {
        case NameRef::Static:
            write_literal(out, first, 4, prev_static_, prev_name_, v);
            return;
        case NameRef::Dynamic:
            if (table_.alive(prev_seq_)) {
                write_literal(out, first, 4, uint32_t(table_.index_of_seq(prev_seq_)), prev_name_,
                              v);
                return;
            }
            write_literal(out, first, 4, 0, prev_name_, v);
            return;
        case NameRef::Literal:
            write_literal(out, first, 4, 0, prev_name_, v);
            return;
        case NameRef::None:
            return;  // no previous name: the serializers never produce this
        }
        return;
    }
    }
}

void HpackEncoder::add_first(uint32_t pos, std::string_view n, std::string_view v, ByteBuf& out) {
    if (pos < kRecall) {
        uint64_t q = recall_[pos];
        // The entry can only be the field's when the field would be looked
        // up at all: not too large for the table as it is now (names never
        // inserted and static matches have no entry).
        if (uint64_t(field_size(n.size(), v.size())) * 4 <= uint64_t(table_.max_size()) * 3 &&
            table_.holds(q, n, v)) {
            put_int(out, 0x80, 7, table_.index_of_seq(q));
            prev_name_ = n;
            prev_ref_ = NameRef::Dynamic;
            prev_seq_ = q;
            return;
        }
    }
    add(EncodeField{FieldKind::Regular, n, v}, out);
    if (pos < kRecall) recall_[pos] = field_seq_;
}

void HpackEncoder::add_headers(const HeaderList& h, ByteBuf& out) {
    const auto& es = h.entries();
    for (uint32_t i = 0; i < es.size(); ++i) {
        std::string_view n = h.name(i);
        add_first(i, n, h.first_value(i), out);
        if (es[i].count > 1)
            h.for_each_value(i, [&, first = true](std::string_view v) mutable {
                if (!first) add(EncodeField{FieldKind::NextValue, n, v}, out);
                first = false;
            });
    }
}

void HpackEncoder::encode(std::span<const EncodeField> fields, ByteBuf& out) {
    begin_block(out);
    for (const EncodeField& f : fields) add(f, out);
}

}  // namespace wl::h2
