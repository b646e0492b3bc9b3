"""HTTP/2 engine memory and write path.

- Idle memory: bytes held by one H2Streams after the handshake (the object
  and everything the native side allocates for it), averaged over 10,000
  engines of each role. Native allocations are read from glibc's allocator
  statistics (mallinfo2); the object's own size from its type.
- Write path: take_pending + credit_written per batch in steady state must
  not grow the native heap (the buffer comes back as the spare); the exact
  allocation count is in bench/native/h2_engine_alloc.cpp.

    python bench/h2_engine.py
"""
import gc

import _timing
from h2_memory import _malloc_in_use

_timing.use_dev_build()

from wirelet import _wirelet as w  # noqa: E402

BASE = dict(initial_window_size=65535, connection_window=1 << 20, max_frame_size=16384,
            max_header_list_size=16384, max_send_buf_size=1 << 20)
BUDGET = 16384


def _take(e):
    view, _ = e.take_pending()
    data = bytes(view)
    view.release()
    e.credit_written()
    return data


def _dispatch(e, data):
    for f in e.receive(data):
        if type(f) is w.H2FrameSettings:
            e.recv_settings(f)
    e.maybe_goaway_reply()


def _peer_hello(role):
    """The bytes the peer sends for a complete handshake with a `role` engine."""
    me, peer = w.H2Streams(role, **BASE), w.H2Streams("server" if role == "client" else "client", **BASE)
    me.begin()
    peer.begin()
    _dispatch(peer, _take(me))
    return _take(peer)  # its SETTINGS (and preface) and the ACK of ours


def idle_bytes(count=10000, role="client"):
    hello = _peer_hello(role)
    keep = [None] * count
    gc.collect()
    before = _malloc_in_use()
    for i in range(count):
        e = w.H2Streams(role, **BASE)
        e.begin()
        _take(e)
        _dispatch(e, hello)
        _take(e)  # our ACK
        keep[i] = e
    gc.collect()
    native = (_malloc_in_use() - before) / count
    basic = w.H2Streams.__basicsize__
    del keep
    return native + (basic if basic <= 512 else 0)


def write_path_growth(batches=200000):
    """Native heap growth over `batches` steady-state batches (bytes)."""
    e = w.H2Streams("client", **BASE)
    e.begin()
    for _ in range(1000):
        e.send_goaway(0)
        _take(e)
    gc.collect()
    before = _malloc_in_use()
    for _ in range(batches):
        e.send_goaway(0)
        view, _ = e.take_pending()
        view.release()
        e.credit_written()
    return _malloc_in_use() - before


def bench(quick=False):
    rows = []
    for role in ("client", "server"):
        size = idle_bytes(2000 if quick else 10000, role)
        rows.append({"work": f"H2Streams idle memory after handshake, {role} (budget / bytes used)",
                     "case": f"{size:,.0f} bytes per engine", "min": BUDGET / size,
                     "median": BUDGET / size, "aim": 1.0, "peer": "16 KiB budget", "ours": size,
                     "theirs": float(BUDGET), "bytes": size, "budget": BUDGET})
    return rows


if __name__ == "__main__":
    for role in ("client", "server"):
        print(f"H2Streams idle after handshake ({role}): {idle_bytes(10000, role):,.0f} bytes per engine")
    print(f"H2Codec idle (for comparison): {__import__('h2_memory').idle_bytes(2000):,.0f} bytes")
    print(f"write path: native heap growth over 200,000 batches: {write_path_growth():,} bytes")
