// HPACK decoder fuzz target.
//
// Input: one configuration octet, then header blocks, each preceded by its
// length octet (the last block takes whatever is left). Every block is
// decoded three ways on connection-long decoders: whole, split in two
// passes, and (when it decoded) re-encoded by our encoder and decoded again.
// Invariants: a result or an error, never a crash; a block that decodes
// whole decodes the same in two passes (tables stay in step); the round
// trip gives back the fields that were accepted.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "core/buffer.h"
#include "proto/h2/hpack.h"

using namespace wl::h2;

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

Fields fields_of(const HeaderFrame& f) {
    Fields out;
    if (f.has(Pseudo::Authority)) out.emplace_back(":authority", f.authority);
    if (f.has(Pseudo::Method))
        out.emplace_back(":method", f.method == Method::Extension ? f.method_text
                                                                  : std::string(method_text(f.method)));
    if (f.has(Pseudo::Scheme)) out.emplace_back(":scheme", f.scheme);
    if (f.has(Pseudo::Path)) out.emplace_back(":path", f.path);
    if (f.has(Pseudo::Protocol)) out.emplace_back(":protocol", f.protocol);
    if (f.has(Pseudo::Status)) out.emplace_back(":status", std::to_string(f.status));
    f.headers.for_each([&](std::string_view n, std::string_view v) {
        out.emplace_back(std::string(n), std::string(v));
    });
    return out;
}

template <class A, class B>
bool same_table(const A& a, const B& b) {
    if (a.count() != b.count() || a.size() != b.size() || a.max_size() != b.max_size()) return false;
    for (size_t i = 0; i < a.count(); ++i)
        if (a.name(i) != b.name(i) || a.value(i) != b.value(i)) return false;
    return true;
}

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    uint8_t cfg = data[0];
    // Small limits keep bomb-like inputs cheap; the abuse stop caps the work.
    static const size_t kLimits[4] = {4096, 1024, 200, 0};
    size_t max_list = kLimits[cfg & 3];
    HpackDecoder whole, split, again;
    HpackEncoder enc;
    if (cfg & 4) {
        whole.set_recv_header_table_size(256);
        split.set_recv_header_table_size(256);
    }
    size_t pos = 1;
    for (int block = 0; pos < size && block < 8; ++block) {
        size_t len = size - pos;
        if (block < 7 && len > 1) {
            size_t want = data[pos++];
            len = size - pos;
            if (want < len) len = want;
        }
        const uint8_t* b = data + pos;
        pos += len;

        HeaderFrame f1;
        size_t consumed = 0;
        HpackResult r1 = whole.decode(b, len, &consumed, f1, max_list);
        check(consumed <= len);
        check(r1 == HpackResult::Ok || consumed < len || f1.too_large);

        size_t cut = (size_t(cfg >> 3) * 7 + size_t(block) * 13) % (len + 1);
        HeaderFrame f2;
        wl::ByteBuf held;
        held.append(b, cut);
        HpackResult r2 = split.decode(held, f2, max_list);
        if (!f2.too_large && (r2 == HpackResult::Ok || is_need_more(r2))) {
            held.append(b + cut, len - cut);
            r2 = split.decode(held, f2, max_list);
        }
        if (r1 == HpackResult::Ok && !f1.too_large) {
            check(r2 == HpackResult::Ok);
            check(!f2.too_large);
            check(held.empty());
            check(fields_of(f1) == fields_of(f2));
            check(f1.malformed == f2.malformed && f1.over_size == f2.over_size);
            check(same_table(whole.table(), split.table()));

            // Round trip of the accepted fields.
            Fields fs = fields_of(f1);
            std::vector<EncodeField> ef;
            for (auto& [n, v] : fs) {
                FieldKind k = FieldKind::Regular;
                if (n == ":authority") k = FieldKind::Authority;
                else if (n == ":method") k = FieldKind::Method;
                else if (n == ":scheme") k = FieldKind::Scheme;
                else if (n == ":path") k = FieldKind::Path;
                else if (n == ":protocol") k = FieldKind::Protocol;
                else if (n == ":status") k = FieldKind::Status;
                if (k == FieldKind::Regular && !ef.empty() && ef.back().name == n)
                    ef.push_back(EncodeField{FieldKind::NextValue, {}, v});
                else
                    ef.push_back(EncodeField{k, k == FieldKind::Regular ? std::string_view(n)
                                                                        : std::string_view(),
                                             v});
            }
            wl::ByteBuf out;
            enc.encode(ef, out);
            HeaderFrame f3;
            size_t c3;
            check(again.decode(out.data(), out.size(), &c3, f3, SIZE_MAX) == HpackResult::Ok);
            check(c3 == out.size());
            check(!f3.malformed && !f3.over_size);
            check(fields_of(f3) == fs);
            check(same_table(again.table(), enc.table()));
        } else {
            // Once the connection would be torn down, stop feeding blocks.
            break;
        }
    }
    return 0;
}
