// Two engines back to back, a client and a server, run by an application
// script taken from the input: open streams (with honest or lying
// content-lengths), send bodies and trailers, answer with interim and final
// heads, release received data, reset, close bodies, shut down gracefully,
// and deliver the bytes each way in pieces. Both peers are honest, so the
// only connection errors allowed are the abuse limits (ENHANCE_YOUR_CALM);
// anything else aborts. After every step:
//   - every record has a live handle; every handle is dropped exactly once;
//   - the active count is the records not yet counted out, and the client's
//     claimed slots are the records holding one;
//   - connection windows are never negative, stream windows never below what
//     a smaller initial window setting allows;
//   - with nothing in flight, each sender's windows equal its receiver's;
//   - every DATA payload carries the bytes its stream sent at that offset,
//     and new stream ids reach the server in increasing order.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "proto/h2/engine.h"

namespace wl::h2 {
struct EngineTestAccess {
    static const FlowControl& conn_send(const Engine& e) { return e.conn_send_; }
    static const FlowControl& conn_recv(const Engine& e) { return e.conn_recv_; }
};
}  // namespace wl::h2

using namespace wl::h2;
using A = EngineTestAccess;

namespace {

#define CHECK(c) \
    do {         \
        if (!(c)) std::abort(); \
    } while (0)

uint8_t pattern(uint32_t sid, uint64_t off) { return uint8_t(sid * 131 + off + (off >> 8)); }

int64_t g_now = 0;
// WL_PAIR_TRACE=1 prints every step and frame (for reading a crash).
const bool g_trace = std::getenv("WL_PAIR_TRACE") != nullptr;
#define TRACE(...) \
    do {           \
        if (g_trace) std::fprintf(stderr, __VA_ARGS__); \
    } while (0)
int64_t fake_clock() { return g_now; }

// The script: bytes consumed one at a time, zero once exhausted.
struct Script {
    const uint8_t* p;
    size_t n;
    uint8_t u8() {
        if (!n) return 0;
        --n;
        return *p++;
    }
    uint32_t u16() { return uint32_t(u8()) << 8 | u8(); }
};

struct Out {  // one stream's outbound body
    uint64_t total = 0, sent = 0;
    bool trailers = false, done = true;
};

struct Side;

// Decodes what the other side sent and applies it like the read pump does.
struct Sink : FrameSink {
    Side* s;
    explicit Sink(Side* side) : s(side) {}
    bool on_data(const DataFrame& f) override;
    bool on_headers(HeadersFrame& f) override;
    bool on_settings(const SettingsFrame& f) override;
    bool on_ping(const PingFrame& f) override;
    bool on_goaway(const GoAwayFrame& f) override;
    bool on_rst_stream(const RstStreamFrame& f) override;
    bool on_window_update(const WindowUpdateFrame& f) override;
    bool on_priority(const PriorityFrame&) override { return true; }
    bool on_stream_error(const StreamErrorFrame& f) override;
};

struct Side {
    Engine e;
    uint32_t iws;
    std::set<uintptr_t> live;
    uintptr_t next_handle;
    std::map<uint32_t, Out> out;           // our bodies
    std::map<uint32_t, uint64_t> in_off;   // bytes received per stream
    std::map<uint32_t, bool> can_answer;   // server: request complete, head not sent
    uint32_t last_new_id = 0;
    std::set<uint32_t> seen;  // server: every stream the peer opened or we refused
    bool dead = false;
    Sink sink{this};

    Side(const EngineConfig& c, uintptr_t base) : e(c), iws(c.initial_window_size), next_handle(base) {
        e.clock = &fake_clock;
    }

    Handle fresh() {
        next_handle += 16;
        return reinterpret_cast<Handle>(next_handle);
    }

    void drain() {
        for (Handle h : e.drops()) CHECK(live.erase(reinterpret_cast<uintptr_t>(h)) == 1);
        e.drops().clear();
    }

    void settle() {
        drain();
        e.wake().clear();
        e.aborted().clear();
        uint64_t active = 0, slots = 0;
        int64_t floor = iws < 65535 ? int64_t(iws) - 65535 : 0;
        for (auto& [id, s] : e.streams()) {
            CHECK(s.handle && id == s.id && live.count(reinterpret_cast<uintptr_t>(s.handle)));
            if (!s.counted_out) ++active;
            slots += s.slot_holder;
            CHECK(s.recv_flow.window_raw() >= floor && s.send_flow.window_raw() >= -65535);
        }
        CHECK(active == e.num_streams());
        if (!e.is_server()) CHECK(slots == e.num_open_streams());
        CHECK(A::conn_send(e).window_raw() >= 0 && A::conn_recv(e).window_raw() >= 0);
    }

    void conn_error(const EngineError& err, uint32_t sid = 0) {
        // Honest peers trip nothing but the abuse limits, and one thing the
        // server cannot tell apart from a stream never opened: trailers for a
        // stream it reset more than a second ago.
        if (err.kind == EngineError::Kind::Protocol && err.reason == kProtocolError &&
            e.is_server() && seen.count(sid) && !e.stream(sid) && !e.in_reset_store(sid) &&
            err.message == "invalid new stream id " + std::to_string(sid)) {
            dead = true;
            return;
        }
        if (!(err.kind == EngineError::Kind::Protocol && err.reason == kEnhanceYourCalm))
            std::fprintf(stderr, "%s: connection error %d reason %u: %s\n",
                         e.is_server() ? "server" : "client", int(err.kind), err.reason,
                         err.message.c_str());
        CHECK(err.kind == EngineError::Kind::Protocol && err.reason == kEnhanceYourCalm);
        e.send_goaway(err.reason);
        e.fail(nullptr, "connection closed");
        dead = true;
    }

    void check(const EngineError& err, uint32_t sid = 0) {
        if (!err || dead) return;
        TRACE("  %s error kind %d reason %u sid %u\n", e.is_server() ? "srv" : "cli", int(err.kind),
              err.reason, err.stream_id);
        if (err.kind != EngineError::Kind::Stream) return conn_error(err, sid);
        ResetOut r;
        if (EngineError again = e.reset_on_error(err.stream_id, err.reason, &r)) conn_error(again);
    }

    // The application read n bytes of a stream's body.
    void release(uint32_t sid, uint32_t n) { e.release_capacity(sid, n); }

    void send_body(uint32_t sid, uint32_t max) {
        auto it = out.find(sid);
        if (it == out.end() || it->second.done) return;
        Out& o = it->second;
        uint64_t len = std::min<uint64_t>(o.total - o.sent, max);
        std::string data(len, '\0');
        for (uint64_t i = 0; i < len; ++i) data[i] = char(pattern(sid, o.sent + i));
        bool last = o.sent + len == o.total;
        SendOut r;
        check(e.send_data(sid, data, 0, last && !o.trailers, &r));
        if (r.stopped) {
            o.done = true;
            return;
        }
        o.sent += r.sent;
        if (r.done && last) {
            o.done = true;
            if (o.trailers) {
                wl::HeaderList t;
                (void)t.append("x-t", "1");
                check(e.send_trailers(sid, t, &r));
            }
        }
    }
};


bool Sink::on_data(const DataFrame& f) {
    if (s->dead) return false;
    TRACE("  %s <- DATA %u len=%zu end=%d\n", s->e.is_server() ? "srv" : "cli", f.stream_id,
          f.data.size(), f.end_stream);
    uint64_t& off = s->in_off[f.stream_id];
    for (size_t i = 0; i < f.data.size(); ++i)
        CHECK(uint8_t(f.data[i]) == pattern(f.stream_id, off + i));
    off += f.data.size();
    DataOut out;
    DataIn in{f.stream_id, f.end_stream, uint32_t(f.data.size()), f.flow_controlled_len};
    EngineError err = s->e.recv_data(in, &out);
    if (!err && out.budgeted && (off & 1)) s->e.release_data_frame(f.stream_id, f.data.size());
    if (!err && out.eof && s->e.is_server()) s->can_answer[f.stream_id] = true;
    s->check(err);
    s->settle();
    return !s->dead;
}

bool Sink::on_headers(HeadersFrame& f) {
    if (s->dead) return false;
    TRACE("  %s <- HEADERS %u end=%d\n", s->e.is_server() ? "srv" : "cli", f.stream_id, f.end_stream);
    HeadersIn in;
    in.stream_id = f.stream_id;
    in.end_stream = f.end_stream;
    in.status = f.fields.has(Pseudo::Status) ? f.fields.status : 0;
    in.informational = in.status >= 100 && in.status < 200;
    in.has_content_length = f.has_content_length;
    in.content_length_invalid = f.content_length_invalid;
    in.content_length = f.content_length;
    Handle spare = s->e.is_server() ? s->fresh() : nullptr;
    HeadersOut out;
    EngineError err = s->e.recv_headers(in, spare, &out);
    if (out.spare_used || (err.kind == EngineError::Kind::Stream && err.reason == kRefusedStream))
        s->seen.insert(f.stream_id);
    if (out.spare_used) s->live.insert(reinterpret_cast<uintptr_t>(spare));
    if (!err && out.kind == kHeadersOpened) {
        CHECK(f.stream_id > s->last_new_id);
        s->last_new_id = f.stream_id;
        if (out.eof) s->can_answer[f.stream_id] = true;
    }
    if (!err && out.kind == kHeadersTrailers && s->e.is_server()) s->can_answer[f.stream_id] = true;
    s->check(err, f.stream_id);
    s->settle();
    return !s->dead;
}

bool Sink::on_settings(const SettingsFrame& f) {
    SettingsOutcome o;
    s->check(s->e.recv_settings(f, &o));
    s->settle();
    return !s->dead;
}

bool Sink::on_ping(const PingFrame& f) {
    uint32_t flags;
    s->check(s->e.recv_ping(f, &flags));
    s->settle();
    return !s->dead;
}

bool Sink::on_goaway(const GoAwayFrame& f) {
    uint32_t flags;
    s->check(s->e.recv_go_away(f.last_stream_id, f.error_code, f.debug_data, &flags));
    s->settle();
    return !s->dead;
}

bool Sink::on_rst_stream(const RstStreamFrame& f) {
    TRACE("  %s <- RST %u %u\n", s->e.is_server() ? "srv" : "cli", f.stream_id, f.error_code);
    RecvResetOut o;
    s->check(s->e.recv_reset(f.stream_id, f.error_code, &o));
    s->settle();
    return !s->dead;
}

bool Sink::on_window_update(const WindowUpdateFrame& f) {
    s->check(s->e.recv_window_update(f.stream_id, f.increment));
    s->settle();
    return !s->dead;
}

bool Sink::on_stream_error(const StreamErrorFrame& f) {
    ResetOut o;
    s->check(s->e.reset_on_error(f.stream_id, f.error_code, &o));
    s->settle();
    return !s->dead;
}

// Moves up to `limit` pending bytes of `from` into `to` (the rest stays in
// flight for a later delivery); false once the connection is over.
bool deliver(Side& from, Side& to, std::string& flight, size_t limit) {
    bool stopping;
    wl::ByteBuf* b = from.e.take_pending(&stopping);
    flight.append(b->view());
    from.e.recycle(b);
    from.e.credit_written();
    from.settle();
    size_t n = std::min(limit, flight.size());
    if (n == 0 || to.dead) return !to.dead;
    ConnError cerr;
    auto st = to.e.decoder().receive(std::string_view(flight).substr(0, n), to.sink, &cerr);
    flight.erase(0, n);
    if (st == FrameDecoder::Status::Error) std::abort();  // we only ever write valid frames
    to.e.maybe_goaway_reply();
    to.settle();
    return !to.dead;
}

// With nothing in flight either way, each side's send windows are exactly
// the receive windows its peer has advertised.
void check_quiet(Side& a, Side& b, const std::string& ab, const std::string& ba) {
    if (!ab.empty() || !ba.empty() || a.e.has_pending() || b.e.has_pending() || a.dead || b.dead) return;
    CHECK(A::conn_send(a.e).window_raw() == A::conn_recv(b.e).window_raw());
    CHECK(A::conn_send(b.e).window_raw() == A::conn_recv(a.e).window_raw());
    // Only while the sender still streams: a send half that ended before the
    // peer's SETTINGS arrived is not shifted by them, its receive twin is.
    for (Side* x : {&a, &b}) {
        Side* y = x == &a ? &b : &a;
        for (auto& [id, s] : x->e.streams()) {
            const Stream* t = y->e.stream(id);
            if (!t || !s.state.is_send_streaming() || t->state.is_closed()) continue;
            CHECK(s.send_flow.window_raw() == t->recv_flow.window_raw());
        }
    }
}

EngineConfig config(bool server, uint8_t o) {
    static const uint32_t windows[4] = {65535, 1000, 100000, 16384};
    EngineConfig c;
    c.server = server;
    c.initial_window_size = windows[o & 3];
    c.connection_window = (o & 4) ? 1 << 20 : 65535;
    c.max_send_buf_size = (o & 8) ? 3000 : 1 << 20;
    if (server && (o & 16)) c.max_concurrent_streams = 3;
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    g_now = 0;
    Side cli(config(false, data[0]), 0x1000000), srv(config(true, data[1]), 0x2000000);
    Script sc{data + 2, size - 2};
    std::string c2s, s2c;
    if (cli.e.begin() || srv.e.begin()) return 0;

    static const uint16_t statuses[5] = {200, 103, 204, 304, 404};
    for (int steps = 0; sc.n && steps < 2000 && !cli.dead && !srv.dead; ++steps) {
        uint8_t op = sc.u8();
        Side& side = (op & 0x80) ? srv : cli;
        uint32_t pick = sc.u8();
        // A stream of this side, chosen by index among its records in id
        // order (the table's own order is seeded at random).
        uint32_t sid = 0;
        if (!side.e.streams().empty()) {
            std::vector<uint32_t> ids;
            for (auto& kv : side.e.streams()) ids.push_back(kv.first);
            std::sort(ids.begin(), ids.end());
            sid = ids[pick % ids.size()];
        }
        TRACE("step %d: op %d on %s, stream %u, t=%lld\n", steps, op & 0x0f,
              &side == &srv ? "srv" : "cli", sid, (long long)g_now);
        switch (op & 0x0f) {
            case 0: {  // the client opens a stream
                if (!cli.e.try_claim_slot()) break;
                uint32_t body = sc.u16() * (pick & 3);
                bool head = (pick & 0x1c) == 0x1c, trailers = pick & 0x20;
                wl::HeaderList h;
                // Mostly the true length, sometimes a wrong one.
                if (pick & 0x40) {
                    uint64_t cl = (pick & 0x80) ? body + (sc.u8() & 3) - 1 : body;
                    (void)h.append("content-length", std::to_string(cl));
                }
                OpenIn in;
                in.method = head ? "HEAD" : "POST";
                in.target = "/";
                std::string_view scheme = "https", auth = "a";
                in.scheme = &scheme;
                in.authority = &auth;
                in.headers = &h;
                in.is_head = head;
                in.end_stream = body == 0 && !trailers;
                std::optional<uint32_t> id;
                bool used;
                Handle hd = cli.fresh();
                cli.check(cli.e.open_stream(in, hd, &id, &used));
                if (used) cli.live.insert(reinterpret_cast<uintptr_t>(hd));
                if (id && !in.end_stream) cli.out[*id] = Out{body, 0, trailers, false};
                break;
            }
            case 1:  // send body bytes
            case 2: side.send_body(sid, sc.u16() + 1); break;
            case 3: {  // the server answers a complete request
                if (!side.e.is_server()) break;
                for (auto& [id, ok] : srv.can_answer) {
                    if (!ok || !srv.e.stream(id)) continue;
                    uint16_t status = statuses[pick % 5];
                    bool bodiless = status == 204 || status == 304 || (pick & 8);
                    SendOut r;
                    if (status == 103) {
                        srv.check(srv.e.send_response_head(id, status, nullptr, false, &r));
                        break;
                    }
                    wl::HeaderList h;
                    srv.check(srv.e.send_response_head(id, status, &h, bodiless, &r));
                    ok = false;
                    if (!bodiless) srv.out[id] = Out{uint64_t(sc.u16()), 0, bool(pick & 16), false};
                    break;
                }
                break;
            }
            case 4:  // the application reads some of a body
            case 5:
                if (sid) side.release(sid, sc.u16() * ((op & 1) ? 1u : 16u));
                break;
            case 6: {
                ResetOut r;
                if (sid) side.check(side.e.reset_stream(sid, pick & 15, Initiator::User, &r));
                break;
            }
            case 7: {
                ResetOut r;
                if (sid) side.check(side.e.aclose_body(sid, &r));
                break;
            }
            case 8:
                if (side.e.is_server()) srv.e.begin_graceful_shutdown();
                break;
            case 9: g_now += int64_t(pick) * 10000000; break;  // up to 2.5 s
            default: {  // deliver, whole or in pieces
                size_t limit = (pick & 1) ? SIZE_MAX : size_t(sc.u16()) + 1;
                if (&side == &cli)
                    deliver(cli, srv, c2s, limit);
                else
                    deliver(srv, cli, s2c, limit);
                break;
            }
        }
        cli.settle();
        srv.settle();
        check_quiet(cli, srv, c2s, s2c);
    }
    for (Side* s : {&cli, &srv}) {
        s->e.drop_all_refs();
        s->drain();
        CHECK(s->live.empty());
    }
    return 0;
}
