// HPACK (RFC 7541) header compression for the HTTP/2 codec. No Python here.
//
// One HpackDecoder and one HpackEncoder per connection, each with its own
// dynamic table. The decoder turns held header-block bytes into fields and
// hands each one to field acceptance, which fills a HeaderFrame (the fields
// of the HEADERS frame being built). The encoder turns an ordered list of
// fields into a header block appended to a ByteBuf.
//
// Typical use by the frame decoder, once per HEADERS or CONTINUATION frame:
//
//     HpackResult r = dec.decode(held, frame, max_header_list_size);
//     if (frame.too_large)            -> connection error (abuse limit)
//     else if (r == HpackResult::Ok && end_headers && frame.malformed)
//                                     -> stream error, frame dropped
//     else if (is_need_more(r) && !end_headers) -> keep `held`, wait
//     else if (r != HpackResult::Ok)  -> connection error "Hpack(<name>)"
//     else                            -> partial block or complete frame
//
// `held` keeps only the bytes of an incomplete trailing representation.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/buffer.h"
#include "core/headers.h"

namespace wl::h2 {

inline constexpr uint32_t kDefaultHeaderTableSize = 4096;
// The encoder never lets its table grow above this, whatever the peer allows.
inline constexpr uint32_t kEncoderTableCeiling = 4096;

// Field size (RFC 7541 section 4.1): used for table accounting and for the
// header-list size. Pseudo-header names count with their colon.
inline constexpr size_t field_size(size_t name_len, size_t value_len) {
    return name_len + value_len + 32;
}

// ---------------------------------------------------------------- fields

enum class Pseudo : uint8_t { Authority, Method, Scheme, Path, Protocol, Status };
inline constexpr int kPseudoCount = 6;
// ":authority", ":method", ... (with the colon).
std::string_view pseudo_name(Pseudo p);

// Parsed request method: the standard ones by identity, others by text.
enum class Method : uint8_t {
    Get, Post, Put, Delete, Head, Options, Connect, Patch, Trace, Extension
};
// Method for a token (case-sensitive: "get" is an extension method).
Method method_from_token(std::string_view token);
// Canonical text of a standard method; empty for Extension.
std::string_view method_text(Method m);

// The fields of one HEADERS frame as field acceptance builds them.
// Pseudo-headers are kept apart; regular fields go to `headers` in
// received order. The flags record what acceptance decided.
struct HeaderFrame {
    uint8_t pseudo_mask = 0;       // bit (1 << Pseudo) set when stored
    Method method = Method::Get;   // valid when the Method bit is set
    std::string method_text;       // the text when method == Extension
    std::string authority, scheme, path, protocol;
    uint16_t status = 0;           // 100..999, valid when the Status bit is set
    HeaderList headers;

    bool seen_regular = false;     // a regular field arrived in this block
    uint64_t size = 0;             // running decoded size (saturating)
    bool malformed = false;        // misplaced/duplicate pseudo, connection-specific field, bad te
    bool over_size = false;        // a field reached max_header_list_size: later fields dropped
    bool too_large = false;        // size went above 4 x max_header_list_size: decoding stopped

    bool has(Pseudo p) const { return pseudo_mask & (1u << unsigned(p)); }
    // Empties everything (keeps allocated capacity where it can).
    void reset();
};

// ---------------------------------------------------------------- results

enum class HpackResult : uint8_t {
    Ok = 0,
    InvalidRepresentation,
    InvalidIntegerPrefix,
    InvalidTableIndex,
    InvalidHuffmanCode,
    InvalidUtf8,
    InvalidStatusCode,
    InvalidPseudoheader,
    InvalidMaxDynamicSize,
    IntegerOverflow,
    // An incomplete representation at the end of the bytes: not an error
    // while more CONTINUATION frames may follow.
    NeedMoreUnexpectedEndOfStream,
    NeedMoreIntegerUnderflow,
    NeedMoreStringUnderflow,
};
inline bool is_need_more(HpackResult r) {
    return r >= HpackResult::NeedMoreUnexpectedEndOfStream;
}
// "InvalidTableIndex", "NeedMore(StringUnderflow)", ... ("Ok" for Ok).
std::string_view hpack_result_name(HpackResult r);

// ---------------------------------------------------------------- dynamic table

// Queue of entries, newest first (HPACK index 62 is entry 0). Entries live
// in ring slots whose string storage is reused, so a warm table inserts
// without allocating. Size and max_size follow RFC 7541 section 4. The
// plain form of the table: the decoder's and the encoder's tables are
// tested against it.
class DynamicTable {
public:
    explicit DynamicTable(uint32_t max_size = kDefaultHeaderTableSize);

    size_t count() const { return size_t(next_seq_ - oldest_seq_); }
    uint64_t size() const { return size_; }
    uint32_t max_size() const { return max_size_; }

    // i = 0 is the newest entry.
    std::string_view name(size_t i) const;
    std::string_view value(size_t i) const;

    // Sets the maximum and evicts until size <= max.
    void set_max_size(uint32_t m);
    // Evicts as needed and inserts; an entry larger than max_size empties
    // the table and is not inserted (returns false).
    bool insert(std::string_view name, std::string_view value);

    // Sequence numbers: every inserted entry gets the next one; an entry is
    // alive while seq >= oldest_seq(). HPACK index = 62 + newest - seq.
    uint64_t oldest_seq() const { return oldest_seq_; }
    uint64_t next_seq() const { return next_seq_; }
    bool alive(uint64_t seq) const { return seq >= oldest_seq_ && seq < next_seq_; }
    size_t index_of_seq(uint64_t seq) const { return size_t(62 + (next_seq_ - 1 - seq)); }

protected:
    struct Slot {
        std::string bytes;     // name then value
        uint32_t name_len = 0;
        uint32_t name_hash = 0, nv_hash = 0;
        uint64_t next_name = UINT64_MAX, next_nv = UINT64_MAX;  // older entries of the same chains
    };
    Slot& slot(uint64_t seq) { return slots_[seq & (slots_.size() - 1)]; }
    const Slot& slot(uint64_t seq) const { return slots_[seq & (slots_.size() - 1)]; }
    void evict_one();
    void grow_slots();

    std::vector<Slot> slots_;   // power of two
    uint64_t oldest_seq_ = 0, next_seq_ = 0;
    uint64_t size_ = 0;
    uint32_t max_size_;
};

// What field acceptance asks of a decoded field besides its bytes: its
// pseudo kind (-1 for a regular field) and, for a regular field, whether it
// is connection-specific (and so makes the frame malformed).
struct FieldFacts {
    int8_t pseudo = -1;
    bool conn_specific = false;
};

// The decoder's table: the same queue, with every entry's bytes (name then
// value) in one ring of bytes and its name's hash (HeaderList::hash_name)
// and field facts kept beside it, so that inserting allocates only while
// the ring grows and a field taken from the table is not hashed or
// classified again. The ring never needs more than twice the bytes a full
// table holds.
class DecoderTable {
public:
    explicit DecoderTable(uint32_t max_size = kDefaultHeaderTableSize) : max_size_(max_size) {}

    size_t count() const { return size_t(next_seq_ - oldest_seq_); }
    uint64_t size() const { return size_; }
    uint32_t max_size() const { return max_size_; }

    // i = 0 is the newest entry.
    std::string_view name(size_t i) const {
        const Entry& e = newest(i);
        return {bytes_.get() + e.off, e.name_len};
    }
    std::string_view value(size_t i) const {
        const Entry& e = newest(i);
        return {bytes_.get() + e.off + e.name_len, e.value_len};
    }
    uint32_t name_hash(size_t i) const { return newest(i).hash; }
    FieldFacts facts(size_t i) const { return newest(i).facts; }

    void set_max_size(uint32_t m);
    // As DynamicTable::insert; `hash` is the name's hash, `facts` the
    // field's. The strings must not point into this table.
    bool insert(std::string_view name, std::string_view value, uint32_t hash, FieldFacts facts = {});
    // Hashes every name again (after the hash seed changed).
    void rehash();
    // Octets of the ring (at most twice max_size(), or 256, unless the
    // limit fell after the ring grew).
    size_t ring_bytes() const { return cap_; }

private:
    struct Entry {
        size_t off;
        uint32_t name_len, value_len, hash;
        FieldFacts facts;
    };
    Entry& entry(uint64_t seq) { return entries_[seq & (entries_.size() - 1)]; }
    const Entry& entry(uint64_t seq) const { return entries_[seq & (entries_.size() - 1)]; }
    const Entry& newest(size_t i) const { return entry(next_seq_ - 1 - i); }
    void evict_one();
    size_t place(size_t len);
    void grow_entries();
    void grow_bytes(size_t len);

    std::vector<Entry> entries_;  // power of two
    std::unique_ptr<char[]> bytes_;
    size_t cap_ = 0;
    uint64_t oldest_seq_ = 0, next_seq_ = 0;
    uint64_t size_ = 0;
    uint32_t max_size_;
};

// ---------------------------------------------------------------- decoder

class HpackDecoder {
public:
    HpackDecoder();

    // Queues a table size limit for the next pass: the larger of the value
    // and an already pending one.
    void set_recv_header_table_size(uint32_t v);

    // One decoding pass over `data`: decodes complete representations in
    // order and feeds each field to acceptance into `frame`. `*consumed` gets
    // the number of bytes of complete representations (an incomplete one at
    // the end is left for the next pass, with a NeedMore result). On an error
    // the table is as it was after the last complete representation. When
    // acceptance sets frame.too_large, decoding stops at once with Ok.
    HpackResult decode(const uint8_t* data, size_t len, size_t* consumed, HeaderFrame& frame,
                       size_t max_header_list_size);
    // Same over held bytes; the complete representations are consumed from
    // the front of `held`.
    HpackResult decode(ByteBuf& held, HeaderFrame& frame, size_t max_header_list_size);

    const DecoderTable& table() const { return table_; }
    uint32_t last_limit() const { return last_limit_; }
    bool has_pending_limit() const { return has_pending_; }

private:
    static constexpr size_t kScratchSize = 4096;
    static constexpr size_t kScratchKeep = 64 * 1024;
    static constexpr size_t kLinesKeep = 4096;
    struct Str;
    struct Line {
        HeaderList::Span name, value;  // in scratch_
        uint32_t hash;                 // the name's
    };
    void shrink_scratch();
    void reserve_scratch(size_t need) {
        if (scratch_.size() < need) grow_scratch(need);
    }
    void grow_scratch(size_t need);
    HpackResult read_str(const uint8_t*& p, const uint8_t* end, size_t& fill, Str& s);
    void keep(const Str& n, const Str& v, uint32_t hash, size_t& fill);
    void flush(HeaderFrame& frame, size_t fill);
    HpackResult decode_pass(const uint8_t* data, size_t len, size_t* consumed, HeaderFrame& frame,
                            size_t max_header_list_size, size_t& fill);

    DecoderTable table_;
    uint32_t hash_probe_ = 0;  // the probe's hash when the table's hashes were made
    bool has_pending_ = false;
    uint32_t pending_limit_ = 0;
    uint32_t last_limit_ = kDefaultHeaderTableSize;
    // Huffman output and the strings of the regular fields kept in the
    // current pass, which `lines_` lists; both go to the frame's list in one
    // step when the pass ends.
    // Bytes are written before they are read: growing it fills nothing in.
    template <class T>
    struct NoFill : std::allocator<T> {
        template <class U>
        struct rebind {
            using other = NoFill<U>;
        };
        template <class U>
        void construct(U* p) noexcept {
            ::new (static_cast<void*>(p)) U;
        }
    };
    std::vector<uint8_t, NoFill<uint8_t>> scratch_;
    std::vector<Line> lines_;
    bool mid_block_ = false;  // the last pass ended inside a representation
};

// Field acceptance of one decoded field (name and value already valid):
// exposed for the tests and for callers that build frames by hand.
// Returns false when the frame became too_large (decoding must stop).
bool accept_field(HeaderFrame& frame, std::string_view name, std::string_view value,
                  size_t max_header_list_size);

// ---------------------------------------------------------------- encoder

// A field to encode. Regular: `name` (lower case) and `value`. Pseudo:
// `value` only (":status" as its three digits). NextValue: a further value
// of the previous field's name (the first field of a block must not be one).
enum class FieldKind : uint8_t {
    Authority, Method, Scheme, Path, Protocol, Status, Regular, NextValue
};
struct EncodeField {
    FieldKind kind;
    std::string_view name;   // Regular only
    std::string_view value;
    bool sensitive = false;  // written as never indexed, never inserted
};

// Representation choices, per field:
//  - a static full match (":method" GET/POST, ":scheme" http/https, ":path"
//    "/" and "/index.html", the seven ":status" entries, "accept-encoding:
//    gzip, deflate") is an indexed field;
//  - ":path" and age, authorization, content-length, cookie, etag,
//    if-modified-since, if-none-match, location, set-cookie are never
//    inserted: literal without indexing with their static name index;
//  - a field larger than 3/4 of the table maximum: literal without
//    indexing (static name index, else literal name);
//  - a dynamic entry with the same name and value: indexed field;
//  - otherwise inserted, written with incremental indexing; the name index
//    is that of a dynamic entry with the same name as the peer's table
//    holds it before the insertion (a literal name when the insertion
//    evicts that entry), else the static name index, else a literal name.
// Every non-empty string is Huffman-coded.
// The encoder's dynamic table: the same queue as DynamicTable, with each
// entry's hashes and its links in two lookup chains (same name; same name
// and value). Entries live in a fixed array of slots (the ceiling allows no
// more than kSlots of them) and their bytes are appended to one buffer of
// twice the ceiling, whose live bytes move to its front when the end is
// reached; so inserting never allocates, and moves at most one octet per
// octet inserted. Slots and bytes come with the first insertion: an idle
// connection's table costs nothing.
class EncoderTable {
public:
    static constexpr size_t kSlots = kEncoderTableCeiling / 32;
    static constexpr size_t kBuckets = 256;
    static constexpr size_t kBytes = 2 * kEncoderTableCeiling;

    size_t count() const { return size_t(next_seq_ - oldest_seq_); }
    uint64_t size() const { return size_; }
    uint32_t max_size() const { return max_size_; }
    // i = 0 is the newest entry.
    std::string_view name(size_t i) const { return name_of(next_seq_ - 1 - i); }
    std::string_view value(size_t i) const { return value_of(next_seq_ - 1 - i); }

    void set_max_size(uint32_t m);  // m at most the ceiling
    // Evicts as needed and inserts (an entry larger than max_size() empties
    // the table and is not inserted: UINT64_MAX); returns the entry's seq.
    uint64_t insert_indexed(std::string_view n, std::string_view v, uint32_t nh, uint32_t nvh);
    uint64_t find_nv(std::string_view n, std::string_view v, uint32_t nvh) const;
    uint64_t find_name(std::string_view n, uint32_t nh) const;
    // Whether entry seq is alive and holds exactly name n and value v.
    bool holds(uint64_t seq, std::string_view n, std::string_view v) const;
    bool alive(uint64_t seq) const { return seq >= oldest_seq_ && seq < next_seq_; }
    size_t index_of_seq(uint64_t seq) const { return size_t(62 + (next_seq_ - 1 - seq)); }

private:
    struct Slot {
        uint32_t off, name_len, value_len;
        uint32_t name_hash, nv_hash;
        uint64_t next_name, next_nv;  // older entries of the same chains
    };
    struct Store {
        Slot slots[kSlots];
        uint64_t heads[2 * kBuckets];  // bucket -> newest seq: names, then names with values
        char bytes[kBytes];
    };
    const Slot& slot(uint64_t seq) const { return store_->slots[seq % kSlots]; }
    std::string_view name_of(uint64_t seq) const {
        const Slot& s = slot(seq);
        return {store_->bytes + s.off, s.name_len};
    }
    std::string_view value_of(uint64_t seq) const {
        const Slot& s = slot(seq);
        return {store_->bytes + s.off + s.name_len, s.value_len};
    }
    void evict_one();
    void compact();

    std::unique_ptr<Store> store_;
    uint64_t oldest_seq_ = 0, next_seq_ = 0;
    uint64_t size_ = 0;
    uint32_t max_size_ = kDefaultHeaderTableSize;
    uint32_t end_ = 0;  // bytes used in store_->bytes, live or not
};

class HpackEncoder {
public:
    HpackEncoder();

    // Queues a table size (typically the peer's SETTINGS_HEADER_TABLE_SIZE),
    // clamped to the ceiling; emitted at the start of the next block.
    void set_send_header_table_size(uint32_t v);

    // Appends one header block: any pending size update, then every field.
    void encode(std::span<const EncodeField> fields, ByteBuf& out);

    // The same in steps: begin_block() once, then add() per field, or
    // add_headers() for the regular fields of a HeaderList in its iteration
    // order (first value with the name, further values as NextValue).
    void begin_block(ByteBuf& out);
    void add(const EncodeField& f, ByteBuf& out);
    void add_headers(const HeaderList& h, ByteBuf& out);

    const EncoderTable& table() const { return table_; }
    // Pending size update: 0, 1 or 2 values.
    int pending_count() const { return pending_count_; }
    uint32_t pending_min() const { return pending_min_; }
    uint32_t pending_final() const { return pending_final_; }

private:
    void encode_field(std::string_view name, std::string_view value, int static_name,
                      int static_full, bool never_insert, bool sensitive, ByteBuf& out);
    // The first value of a HeaderList entry at position pos of the block's
    // regular fields.
    void add_first(uint32_t pos, std::string_view name, std::string_view value, ByteBuf& out);

    EncoderTable table_;
    // Blocks of a connection repeat their fields, mostly in the same order:
    // for each of the first kRecall regular fields of the last block, the
    // dynamic entry holding its name and value (UINT64_MAX: none). A field
    // equal to that entry is the entry (the table never holds a pair twice),
    // found with one comparison instead of the lookups.
    static constexpr uint32_t kRecall = 32;
    uint64_t recall_[kRecall];
    uint64_t field_seq_ = UINT64_MAX;  // the entry encode_field matched or inserted
    int pending_count_ = 0;
    uint32_t pending_min_ = 0, pending_final_ = 0;

    // The previous field's name, for NextValue fields.
    enum class NameRef : uint8_t { None, Static, Dynamic, Literal };
    NameRef prev_ref_ = NameRef::None;
    uint32_t prev_static_ = 0;
    uint64_t prev_seq_ = 0;
    std::string_view prev_name_;
};

// ---------------------------------------------------------------- primitives
// Exposed for tests, fuzzing and benchmarks.

// Minimal integer encoding with an N-bit prefix; `first` holds the high
// bits of the first octet.
void encode_int(ByteBuf& out, uint8_t first, int prefix_bits, uint64_t v);
// Decodes an integer; on Ok advances p. At most 5 octets in all.
HpackResult decode_int(const uint8_t*& p, const uint8_t* end, int prefix_bits, uint32_t& v);
// String with the H flag set, always Huffman-coded (empty: single 0x00).
void encode_string(ByteBuf& out, std::string_view s);

}  // namespace wl::h2
