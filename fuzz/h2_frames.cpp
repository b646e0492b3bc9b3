// Frame decoder fuzzer. Invariants: any input yields frames or one connection
// error, never a crash; feeding the same bytes whole, split in two, or in small
// chunks gives the same frames and the same error.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "proto/h2/frame_decoder.h"

using namespace wl::h2;

namespace {

// Serialises every frame into one transcript string.
struct Transcript : FrameSink {
    std::string s;
    void num(uint64_t v) { s.append(std::to_string(v)).push_back(' '); }
    bool on_data(const DataFrame& f) override {
        s += "D ";
        num(f.stream_id);
        num(f.end_stream);
        num(f.flow_controlled_len);
        num(f.padding);
        if (f.padding + f.data.size() != f.flow_controlled_len) std::abort();
        s.append(f.data).push_back('\n');
        return true;
    }
    bool on_headers(HeadersFrame& f) override {
        const HeaderFrame& h = f.fields;
        s += "H ";
        num(f.stream_id);
        num(f.end_stream);
        num(h.pseudo_mask);
        if (h.has(Pseudo::Method)) s.append(method_text(h.method)).append(h.method_text).push_back(' ');
        if (h.has(Pseudo::Scheme)) s.append(h.scheme).push_back(' ');
        if (h.has(Pseudo::Authority)) s.append(h.authority).push_back(' ');
        if (h.has(Pseudo::Path)) s.append(h.path).push_back(' ');
        if (h.has(Pseudo::Status)) num(h.status);
        num(f.has_content_length);
        num(f.content_length_invalid);
        num(f.content_length);
        h.headers.for_each([&](std::string_view n, std::string_view v) {
            s.append(n).push_back(':');
            s.append(v).push_back('\n');
        });
        return true;
    }
    bool on_settings(const SettingsFrame& f) override {
        s += "S ";
        num(f.ack);
        num(f.present);
        num(f.header_table_size);
        num(f.enable_push);
        num(f.max_concurrent_streams);
        num(f.initial_window_size);
        num(f.max_frame_size);
        num(f.max_header_list_size);
        return true;
    }
    bool on_ping(const PingFrame& f) override {
        s += "P ";
        num(f.ack);
        s.append(reinterpret_cast<const char*>(f.data), 8);
        return true;
    }
    bool on_goaway(const GoAwayFrame& f) override {
        s += "G ";
        num(f.last_stream_id);
        num(f.error_code);
        s.append(f.debug_data);
        return true;
    }
    bool on_rst_stream(const RstStreamFrame& f) override {
        s += "R ";
        num(f.stream_id);
        num(f.error_code);
        return true;
    }
    bool on_window_update(const WindowUpdateFrame& f) override {
        s += "W ";
        num(f.stream_id);
        num(f.increment);
        if (f.increment == 0 || f.increment > 0x7fffffffu) std::abort();
        return true;
    }
    bool on_priority(const PriorityFrame& f) override {
        s += "Y ";
        num(f.stream_id);
        return true;
    }
    bool on_stream_error(const StreamErrorFrame& f) override {
        s += "E ";
        num(f.stream_id);
        num(f.error_code);
        return true;
    }
};

struct Config {
    uint32_t max_frame;
    size_t max_list;
    uint32_t table_size;
    bool preface;
};

FrameDecoder make(const Config& c) {
    FrameDecoder d(!c.preface);
    d.set_max_recv_frame_size(c.max_frame);
    d.set_max_header_list_size(c.max_list);
    d.set_recv_header_table_size(c.table_size);
    if (c.preface) {
        d.preface_required = true;
        d.preface_consumed = false;
    }
    return d;
}

// Feeds `data` in pieces of the given sizes (cycled); stops at an error.
std::string run(const Config& c, std::string_view data, const uint8_t* sizes, size_t nsizes) {
    FrameDecoder d = make(c);
    Transcript t;
    ConnError err;
    size_t pos = 0, k = 0;
    do {
        size_t n = data.size() - pos;
        if (nsizes) n = std::min(n, size_t(sizes[k++ % nsizes]) + 1);
        FrameDecoder::Status st = d.receive(data.substr(pos, n), t, &err);
        pos += n;
        if (st == FrameDecoder::Status::Error) {
            if (!err) std::abort();
            std::string m = err.message();
            if (m.empty() || err.reason() == 0) std::abort();
            t.s.append("ERR ").append(std::to_string(err.reason())).append(" ").append(m);
            return t.s;
        }
        if (st != FrameDecoder::Status::Ok) std::abort();
    } while (pos < data.size());
    t.s.append("END ").append(std::to_string(d.buffered()));
    return t.s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    static const uint32_t kFrames[4] = {16384, 16385, 65536, 16777215};
    static const size_t kLists[4] = {16777216, 100, 4096, 0};
    Config c{kFrames[data[0] & 3], kLists[(data[0] >> 2) & 3], uint32_t(data[1]) << 4,
             (data[0] & 0x10) != 0};
    size_t split = data[2] | size_t(data[3]) << 8;
    std::string_view in(reinterpret_cast<const char*>(data + 4), size - 4);
    std::string whole = run(c, in, nullptr, 0);
    // Two pieces at an arbitrary cut.
    split = in.empty() ? 0 : split % (in.size() + 1);
    {
        FrameDecoder d = make(c);
        Transcript t;
        ConnError err;
        std::string got;
        FrameDecoder::Status st = d.receive(in.substr(0, split), t, &err);
        if (st == FrameDecoder::Status::Ok) st = d.receive(in.substr(split), t, &err);
        got = t.s;
        if (st == FrameDecoder::Status::Error)
            got.append("ERR ").append(std::to_string(err.reason())).append(" ").append(err.message());
        else
            got.append("END ").append(std::to_string(d.buffered()));
        if (got != whole) std::abort();
    }
    // Small pieces whose sizes come from the input itself.
    std::string chunked = run(c, in, data, std::min<size_t>(size, 16));
    if (chunked != whole) std::abort();
    return 0;
}
