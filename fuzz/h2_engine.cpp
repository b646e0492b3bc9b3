// Connection engine fuzzer: arbitrary bytes go to a server engine the way
// the driver's read pump feeds it (decode everything, then dispatch each
// frame, then the GOAWAY reply check), with the write pump taking batches
// in between. Invariants: no crash; every handle handed in is dropped
// exactly once by the end; the active-stream count matches the records that
// are not yet counted out; the drop list is empty between calls.
//
// Between reads the application also sends (input bytes choose what): a
// client opens streams, both roles send heads, DATA and trailers. Sends
// never take a window below zero, never queue a DATA frame above the
// peer's frame size, never buffer more than max_send_buf_size for one
// stream; the slot count matches the streams that hold a slot; and every
// byte we write decodes cleanly as the peer would read it.
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "proto/h2/engine.h"

using namespace wl::h2;

namespace {

struct Queued {
    uint8_t type;  // frame type, 0xff for a stream error
    HeadersIn headers;
    DataIn data;
    SettingsFrame settings;
    PingFrame ping;
    uint32_t sid = 0, value = 0;
    std::string debug;
};

struct Collect : FrameSink {
    std::vector<Queued> q;
    bool on_data(const DataFrame& f) override {
        Queued x{};
        x.type = kData;
        x.data = {f.stream_id, f.end_stream, uint32_t(f.data.size()), f.flow_controlled_len};
        q.push_back(x);
        return true;
    }
    bool on_headers(HeadersFrame& f) override {
        Queued x{};
        x.type = kHeaders;
        x.headers.stream_id = f.stream_id;
        x.headers.end_stream = f.end_stream;
        x.headers.status = f.fields.has(Pseudo::Status) ? f.fields.status : 0;
        x.headers.informational = x.headers.status >= 100 && x.headers.status < 200;
        x.headers.has_content_length = f.has_content_length;
        x.headers.content_length_invalid = f.content_length_invalid;
        x.headers.content_length = f.content_length;
        q.push_back(x);
        return true;
    }
    bool on_settings(const SettingsFrame& f) override {
        Queued x{};
        x.type = kSettings;
        x.settings = f;
        q.push_back(x);
        return true;
    }
    bool on_ping(const PingFrame& f) override {
        Queued x{};
        x.type = kPing;
        x.ping = f;
        q.push_back(x);
        return true;
    }
    bool on_goaway(const GoAwayFrame& f) override {
        Queued x{};
        x.type = kGoAway;
        x.sid = f.last_stream_id;
        x.value = f.error_code;
        x.debug.assign(f.debug_data);
        q.push_back(x);
        return true;
    }
    bool on_rst_stream(const RstStreamFrame& f) override {
        Queued x{};
        x.type = kRstStream;
        x.sid = f.stream_id;
        x.value = f.error_code;
        q.push_back(x);
        return true;
    }
    bool on_window_update(const WindowUpdateFrame& f) override {
        Queued x{};
        x.type = kWindowUpdate;
        x.sid = f.stream_id;
        x.value = f.increment;
        q.push_back(x);
        return true;
    }
    bool on_priority(const PriorityFrame&) override { return true; }
    bool on_stream_error(const StreamErrorFrame& f) override {
        Queued x{};
        x.type = 0xff;
        x.sid = f.stream_id;
        x.value = f.error_code;
        q.push_back(x);
        return true;
    }
};

const char kBody[20000] = {};

struct Harness {
    Engine e;
    std::set<uintptr_t> live;  // handles the engine holds a reference to
    uintptr_t next_handle = 16;
    int64_t now = 0;
    bool dead = false;
    FrameDecoder peer;  // reads what we write, as the other side would
    Collect peer_sink;
    wl::HeaderList fields;

    explicit Harness(const EngineConfig& c) : e(c), peer(c.server) {
        if (!c.server) {
            peer.preface_required = true;
            peer.preface_consumed = false;
        }
        peer.set_max_recv_frame_size(kMaxMaxFrameSize);
        fields.append("x-a", "1");
        fields.append("content-type", "text/plain");
    }

    Handle fresh() {
        uintptr_t h = next_handle;
        next_handle += 16;
        return reinterpret_cast<Handle>(h);
    }

    void settle() {
        for (Handle h : e.drops())
            if (live.erase(reinterpret_cast<uintptr_t>(h)) != 1) std::abort();  // dropped twice
        e.drops().clear();
        uint64_t active = 0;
        for (auto& [id, s] : e.streams()) {
            if (!s.handle || id != s.id) std::abort();
            if (!live.count(reinterpret_cast<uintptr_t>(s.handle))) std::abort();
            if (!s.counted_out) ++active;
        }
        if (active != e.num_streams()) std::abort();
        uint64_t slots = 0;
        for (auto& [id, s] : e.streams()) slots += s.slot_holder;
        if (slots != e.num_open_streams()) std::abort();  // every claim became a stream or went back
    }

    // A connection error: the driver sends GOAWAY and fails the connection.
    void conn_error(const EngineError& err) {
        e.send_goaway(err.kind == EngineError::Kind::Flow ? err.reason : kProtocolError);
        e.fail(nullptr, "connection closed");
        dead = true;
    }

    void handle_error(const EngineError& err, uint32_t sid) {
        if (!err) return;
        if (err.kind == EngineError::Kind::Stream) {
            ResetOut out;
            EngineError again = e.reset_on_error(err.stream_id ? err.stream_id : sid, err.reason, &out);
            if (again) conn_error(again);
            return;
        }
        conn_error(err);
    }

    void dispatch(const Queued& x) {
        EngineError err;
        switch (x.type) {
            case kHeaders: {
                Handle spare = fresh();
                HeadersOut out;
                err = e.recv_headers(x.headers, spare, &out);
                if (out.spare_used) live.insert(reinterpret_cast<uintptr_t>(spare));
                break;
            }
            case kData: {
                DataOut out;
                err = e.recv_data(x.data, &out);
                if (!err && out.budgeted) e.release_data_frame(x.data.stream_id, x.data.payload_len);
                if (!err) e.release_capacity(x.data.stream_id, x.data.flow_len);
                break;
            }
            case kSettings: {
                SettingsOutcome out;
                err = e.recv_settings(x.settings, &out);
                break;
            }
            case kPing: {
                uint32_t flags;
                err = e.recv_ping(x.ping, &flags);
                break;
            }
            case kGoAway: {
                uint32_t flags;
                err = e.recv_go_away(x.sid, x.value, x.debug, &flags);
                break;
            }
            case kRstStream: {
                RecvResetOut out;
                err = e.recv_reset(x.sid, x.value, &out);
                break;
            }
            case kWindowUpdate: err = e.recv_window_update(x.sid, x.value); break;
            case 0xff: {
                ResetOut out;
                err = e.reset_on_error(x.sid, x.value, &out);
                break;
            }
        }
        // The stubs of operations still being built report a ValueError:
        // treat it as a refusal of this frame only.
        if (err && err.kind != EngineError::Kind::Value) handle_error(err, x.sid);
        settle();
    }

    // What the application does between reads, chosen by one input byte:
    // resets, body closes, acceptance and releases on the live streams.
    void application(uint8_t action) {
        if (dead || e.streams().empty()) return;
        uint32_t sid = e.streams().begin()->first;
        ResetOut out;
        EngineError err;
        switch (action % 6) {
            case 1: err = e.reset_stream(sid, kCancel, Initiator::User, &out); break;
            case 2: err = e.aclose_body(sid, &out); break;
            case 3: e.accepted(sid); break;
            case 4: {
                std::vector<uint32_t> ids;
                for (auto& [id, st] : e.streams()) ids.push_back(id);
                for (uint32_t id : ids) e.release_data_frame(id, 1 + action % 255);
                break;
            }
            case 5: e.release_capacity(sid, uint32_t(action) * 1000); break;
            default: break;
        }
        if (err) conn_error(err);
        settle();
    }

    // The application's sends, chosen by one input byte.
    void open(uint8_t a) {
        if (!e.try_claim_slot()) return;
        static constexpr std::string_view kMethods[] = {"GET", "POST", "HEAD", "PUT"};
        std::string_view scheme = "https", authority = "a.test";
        OpenIn in;
        in.method = kMethods[(a >> 1) & 3];
        in.target = "/p";
        in.scheme = &scheme;
        in.authority = &authority;
        in.headers = &fields;
        in.end_stream = a & 8;
        in.is_head = in.method == "HEAD";
        Handle h = fresh();
        std::optional<uint32_t> sid;
        bool used = false;
        EngineError err = e.open_stream(in, h, &sid, &used);
        if (used) live.insert(reinterpret_cast<uintptr_t>(h));
        if (err && err.reason != kRefusedStream) std::abort();  // only the id space can run out
        settle();
    }

    void send(uint32_t sid, uint8_t b) {
        const Stream* s = e.stream(sid);
        int32_t conn_before = e.conn_send_window(), win_before = s->send_flow.window_raw();
        uint64_t buffered_before = s->send_buffered;
        SendOut out;
        EngineError err;
        switch (b >> 6) {
            case 0:
                err = e.send_response_head(sid, uint16_t(100 + (b * 7) % 500), &fields, b & 2, &out);
                break;
            case 3: err = e.send_trailers(sid, fields, &out); break;
            default: {
                size_t n = (size_t(b) * 523) % sizeof kBody;
                err = e.send_data(sid, {kBody, n}, (b & 4) ? n / 2 : 0, b & 2, &out);
                if (err) break;
                if (out.sent > e.peer_max_frame_size() || e.conn_send_window() != conn_before - int64_t(out.sent))
                    std::abort();
                if (const Stream* t = e.stream(sid); t && out.sent) {
                    if (t->send_flow.window_raw() != win_before - int64_t(out.sent) || t->send_flow.window_raw() < 0 ||
                        t->send_buffered != buffered_before + out.sent ||
                        t->send_buffered > e.config().max_send_buf_size)
                        std::abort();
                }
            }
        }
        // Sends refuse only the caller's misuse; the connection stays usable.
        if (err && err.kind != EngineError::Kind::User && err.kind != EngineError::Kind::Value) std::abort();
        if (out.handle && !live.count(reinterpret_cast<uintptr_t>(out.handle))) std::abort();
        settle();
    }

    void sends(uint8_t a) {
        if (dead) return;
        if (!e.is_server() && (a & 1) && e.num_streams() < 8) open(a);
        std::vector<uint32_t> ids;
        for (auto& [id, s] : e.streams()) ids.push_back(id);
        std::sort(ids.begin(), ids.end());  // the table's order is seeded: keep runs reproducible
        for (size_t i = 0; i < ids.size() && i < 3; ++i) send(ids[i], uint8_t(a + 37 * i));
    }

    void write_pump(bool credit) {
        bool stopping;
        wl::ByteBuf* b = e.take_pending(&stopping);
        ConnError cerr;
        peer_sink.q.clear();
        if (peer.receive(b->view(), peer_sink, &cerr) == FrameDecoder::Status::Error) std::abort();
        e.recycle(b);
        if (credit) e.credit_written();
    }
};

int64_t g_now = 0;
int64_t fake_clock() { return g_now; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    uint8_t opts = data[0], split = data[1];
    data += 2;
    size -= 2;
    EngineConfig c;
    c.server = !(opts & 128);
    c.max_send_buf_size = (opts & 64) ? 20000 : 1 << 20;
    c.initial_window_size = (opts & 1) ? 65535 : 1000;
    c.connection_window = (opts & 2) ? 1 << 20 : 65535;
    c.max_frame_size = (opts & 4) ? 16384 : 65536;
    c.max_header_list_size = (opts & 8) ? 16384 : 512;
    if (opts & 16) c.max_concurrent_streams = 4;
    c.max_local_error_reset_streams = (opts & 32) ? std::optional<uint64_t>(8) : std::nullopt;
    c.max_pending_accept_reset_streams = 3;

    Harness h(c);
    g_now = 0;
    h.e.clock = &fake_clock;
    if (h.e.begin()) return 0;
    if (c.server && (opts & 64)) h.e.begin_graceful_shutdown();
    if (!c.server) h.open(2);  // a POST on stream 1 for the response to answer

    // Feed in chunks sized by `split` (1..256 bytes), dispatching after each.
    size_t chunk = size_t(split) + 1;
    Collect sink;
    for (size_t off = 0; off < size && !h.dead; off += chunk) {
        std::string_view part(reinterpret_cast<const char*>(data) + off, std::min(chunk, size - off));
        ConnError cerr;
        sink.q.clear();
        FrameDecoder::Status st = h.e.decoder().receive(part, sink, &cerr);
        for (const Queued& x : sink.q) {
            if (h.dead) break;
            h.dispatch(x);
        }
        if (st == FrameDecoder::Status::Error && !h.dead) {
            EngineError err = EngineError::protocol(cerr.reason(), cerr.message());
            h.conn_error(err);
        }
        h.e.maybe_goaway_reply();
        h.settle();
        h.application(uint8_t(part[0]));
        h.sends(uint8_t(part.back()));
        g_now += 100000000;  // 0.1 s per read
        h.write_pump((off / chunk) % 3 != 1);
    }
    h.e.drop_all_refs();
    h.settle();
    if (!h.live.empty()) std::abort();  // a handle the engine forgot to drop
    return 0;
}
