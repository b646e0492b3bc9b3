// HPACK throughput: our core decoder and encoder against libnghttp2's public
// HPACK inflater and deflater, over the raw hpack-test-case stories (each
// story one connection, 4096-byte tables), in one process.
//
//   bench_hpack_vs_nghttp2 [rounds]
//
// Each round runs both sides back to back (thread CPU time); the figures are
// the min and median of the per-round ratios.
//
// Encode: every story's header lists, in order, on a fresh encoder per story.
// Decode: the same wire bytes for both (nghttp2's encoding of the stories),
// on a fresh decoder per story. Our decoder also validates every field and
// stores it into the frame's header collection; nghttp2's inflater hands out
// pointers into its table, which the loop only touches.
#include <nghttp2/nghttp2.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../../tests/native/test_hpack_util.h"
#include "bench_timing.h"
#include "proto/h2/hpack.h"

using namespace wl::h2;

namespace {

struct Story {
    std::vector<std::vector<EncodeField>> ours;
    std::vector<std::vector<nghttp2_nv>> theirs;
    std::vector<std::vector<uint8_t>> wire;  // nghttp2's encoding
    std::vector<hpack_test::Fields> fields;  // owns the strings
};

volatile size_t g_sink;

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
    std::vector<std::string> files = hpack_test::stories(WIRELET_DATA_DIR "/hpack-test-case/raw-data");
    if (files.empty()) {
        std::fprintf(stderr, "corpus not found\n");
        return 1;
    }
    std::vector<Story> stories(files.size());
    size_t nblocks = 0, nfields = 0, field_bytes = 0, wire_bytes = 0;
    for (size_t s = 0; s < files.size(); ++s) {
        Story& st = stories[s];
        for (auto& c : hpack_test::load_story(files[s])) st.fields.push_back(std::move(c.fields));
        nghttp2_hd_deflater* def;
        nghttp2_hd_deflate_new(&def, 4096);
        for (auto& fs : st.fields) {
            std::vector<EncodeField> ours;
            std::vector<nghttp2_nv> theirs;
            for (size_t i = 0; i < fs.size(); ++i) {
                auto& [n, v] = fs[i];
                EncodeField f = hpack_test::to_encode_field(n, v);
                if (f.kind == FieldKind::Regular && i > 0 && fs[i - 1].first == n)
                    f = EncodeField{FieldKind::NextValue, {}, f.value};
                ours.push_back(f);
                theirs.push_back(nghttp2_nv{(uint8_t*)n.data(), (uint8_t*)v.data(), n.size(),
                                            v.size(), NGHTTP2_NV_FLAG_NONE});
                field_bytes += n.size() + v.size();
            }
            std::vector<uint8_t> buf(nghttp2_hd_deflate_bound(def, theirs.data(), theirs.size()));
            ssize_t k = nghttp2_hd_deflate_hd(def, buf.data(), buf.size(), theirs.data(), theirs.size());
            if (k < 0) return 1;
            buf.resize(size_t(k));
            wire_bytes += buf.size();
            st.wire.push_back(std::move(buf));
            st.ours.push_back(std::move(ours));
            st.theirs.push_back(std::move(theirs));
            ++nblocks;
            nfields += fs.size();
        }
        nghttp2_hd_deflate_del(def);
    }
    std::printf("corpus: %zu stories, %zu blocks, %zu fields, %zu field bytes, %zu wire bytes\n",
                stories.size(), nblocks, nfields, field_bytes, wire_bytes);

    // ---- decode ----
    HeaderFrame frame;
    auto our_dec_once = [&] {
        size_t total = 0;
        for (Story& st : stories) {
            HpackDecoder d;
            for (auto& w : st.wire) {
                frame.reset();
                size_t c;
                if (d.decode(w.data(), w.size(), &c, frame, 16u << 20) != HpackResult::Ok) std::abort();
                total += frame.headers.value_count();
            }
        }
        g_sink = total;
    };
    auto ng_dec_once = [&] {
        size_t total = 0;
        for (Story& st : stories) {
            nghttp2_hd_inflater* inf;
            nghttp2_hd_inflate_new(&inf);
            for (auto& w : st.wire) {
                const uint8_t* in = w.data();
                size_t left = w.size();
                for (;;) {
                    nghttp2_nv nv;
                    int flags = 0;
                    ssize_t n = nghttp2_hd_inflate_hd2(inf, &nv, &flags, in, left, 1);
                    if (n < 0) std::abort();
                    in += n;
                    left -= size_t(n);
                    if (flags & NGHTTP2_HD_INFLATE_EMIT) total += nv.namelen + nv.valuelen;
                    if (flags & NGHTTP2_HD_INFLATE_FINAL) {
                        nghttp2_hd_inflate_end_headers(inf);
                        break;
                    }
                    if ((flags & NGHTTP2_HD_INFLATE_EMIT) == 0 && left == 0) break;
                }
            }
            nghttp2_hd_inflate_del(inf);
        }
        g_sink = total;
    };

    // ---- encode ----
    wl::ByteBuf out;
    size_t our_bytes = 0, ng_bytes = 0;
    auto our_enc_once = [&] {
        our_bytes = 0;
        for (Story& st : stories) {
            HpackEncoder e;
            for (auto& fs : st.ours) {
                out.clear();
                e.encode(fs, out);
                our_bytes += out.size();
            }
        }
    };
    std::vector<uint8_t> buf(1 << 20);
    auto ng_enc_once = [&] {
        ng_bytes = 0;
        for (Story& st : stories) {
            nghttp2_hd_deflater* def;
            nghttp2_hd_deflate_new(&def, 4096);
            for (auto& nv : st.theirs) {
                ssize_t k = nghttp2_hd_deflate_hd(def, buf.data(), buf.size(), nv.data(), nv.size());
                if (k < 0) std::abort();
                ng_bytes += size_t(k);
            }
            nghttp2_hd_deflate_del(def);
        }
    };

    auto reps = [](auto& once) {
        return [&once](size_t n) {
            for (size_t i = 0; i < n; ++i) once();
        };
    };
    bench::Ratio dec = bench::compare(reps(our_dec_once), reps(ng_dec_once), rounds);
    bench::Ratio enc = bench::compare(reps(our_enc_once), reps(ng_enc_once), rounds);
    auto mbps = [&](double s) { return double(field_bytes) / s / 1e6; };
    std::printf("decode: ours %.0f MB/s of fields, nghttp2 %.0f MB/s\n", mbps(dec.ours), mbps(dec.theirs));
    bench::report("HPACK decode vs nghttp2", dec);
    std::printf("encode: ours %.0f MB/s of fields, nghttp2 %.0f MB/s\n", mbps(enc.ours), mbps(enc.theirs));
    bench::report("HPACK encode vs nghttp2", enc);
    std::printf("encoded size: ours %zu bytes, nghttp2 %zu bytes\n", our_bytes, ng_bytes);
    return 0;
}
