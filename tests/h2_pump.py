"""Drives H2Streams engines in memory the way the driver's read and write pumps do.

`Pump.deliver(frm, to)` moves everything `frm` has pending into `to.receive` and
dispatches each decoded frame to the matching `recv_*` method, then calls
`maybe_goaway_reply`, exactly as the read pump does. Results are returned as
(frame, result) pairs so tests can look at every verdict.
"""

from wirelet import _wirelet as w

BASE = dict(initial_window_size=65535, connection_window=65535, max_frame_size=16384,
            max_header_list_size=16384, max_send_buf_size=1 << 20)


def engine(role="client", **kw):
    return w.H2Streams(role, **{**BASE, **kw})


class Handle:
    """A stand-in for the driver's per-stream object (weak-referenceable)."""

    def __init__(self, name=""):
        self.name = name

    def __repr__(self):
        return f"Handle({self.name!r})"


def dispatch(e, frame, spare=None):
    t = type(frame)
    if t is w.H2FrameSettings:
        return e.recv_settings(frame)
    if t is w.H2FramePing:
        return e.recv_ping(frame)
    if t is w.H2FrameGoAway:
        return e.recv_go_away(frame)
    if t is w.H2FrameHeaders:
        return e.recv_headers(frame, spare() if spare and e.is_server else None)
    if t is w.H2FrameData:
        return e.recv_data(frame)
    if t is w.H2FrameWindowUpdate:
        return e.recv_window_update(frame)
    if t is w.H2FrameRstStream:
        return e.recv_reset(frame)
    if t is w.H2FrameStreamError:
        return e.reset_on_error(frame.stream_id, frame.error_code)
    return None  # PRIORITY


def take(e):
    view, _stopping = e.take_pending()
    data = bytes(view)
    view.release()
    e.credit_written()
    return data


def feed(e, data, spare=None):
    """receive + dispatch + maybe_goaway_reply; returns [(frame, result)], reply flags."""
    out = [(f, dispatch(e, f, spare)) for f in e.receive(data)]
    return out, e.maybe_goaway_reply()


def deliver(frm, to, spare=None):
    return feed(to, take(frm), spare)


def handshake(client, server):
    client.begin()
    server.begin()
    deliver(client, server)  # preface + SETTINGS -> server ACKs
    deliver(server, client)  # SETTINGS + ACK -> client ACKs
    deliver(client, server)  # ACK
