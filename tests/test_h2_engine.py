"""H2Streams: construction, attributes, the handshake and write batches."""

import inspect

import pytest

from wirelet import _wirelet as w

BASE = dict(initial_window_size=65535, connection_window=65535, max_frame_size=16384,
            max_header_list_size=16384, max_send_buf_size=1 << 20)


def engine(role="client", **kw):
    return w.H2Streams(role, **{**BASE, **kw})


ATTRS = {
    "is_server": False, "graceful": False, "shutdown_final": False, "num_streams": 0,
    "num_open_streams": 0, "stream_limit": None, "last_processed_id": 0,
    "max_stream_id": 2**31 - 1, "conn_send_window": 65535, "conn_recv_available": 65535,
    "data_frame_budget_available": 32767, "data_frame_budget_empty_frames": 0,
    "peer_initial_window_size": 65535, "peer_max_frame_size": 16384,
    "peer_max_concurrent_streams": None, "max_pending_accept_reset_streams": 20,
    "max_local_error_reset_streams": 1024, "local_error_resets": 0, "goaway_replied": False,
}


def test_fresh_engine_attributes_repr_and_frozen():
    e = engine()
    assert {k: getattr(e, k) for k in ATTRS} == ATTRS
    assert repr(e) == "H2Streams(role=client, streams=0, active=0, failed=false, goaway=false)"
    assert repr(engine("server")).startswith("H2Streams(role=server,")
    with pytest.raises(AttributeError):
        e.num_streams = 3
    with pytest.raises(AttributeError):
        e.anything = 1

    class Driver(w.H2Streams):
        pass

    d = Driver("server", **BASE)
    d.extra = 1  # subclasses add their own machinery
    assert d.is_server and d.extra == 1


SIGNATURES = {
    "begin": "()", "store_task_handles": "(read, pump)", "take_pending": "()",
    "receive": "(data)", "recv_headers": "(frame, spare=None)",
    "fail": "(exc=None, message='connection closed')",
    "open_stream": "(method, target, headers, end_stream, is_head, handle, *, scheme=None, authority=None)",
    "send_data": "(sid, data, offset, end_stream)",
    "reset_stream": "(sid, reason, initiator='user')",
    "release_data_frame": "(sid, payload_len)",
}


@pytest.mark.parametrize("name,sig", SIGNATURES.items())
def test_text_signatures(name, sig):
    s = str(inspect.signature(getattr(w.H2Streams, name)))
    assert s.replace("self, /, ", "").replace("(self, /)", "()") == sig


@pytest.mark.parametrize("kw,exc,msg", [
    (dict(role="Client"), ValueError, "role must be 'client' or 'server', got \"Client\""),
    (dict(role='a"b'), ValueError, "role must be 'client' or 'server', got \"a\\\"b\""),
    (dict(max_frame_size=16383), ValueError, "max_frame_size must be in [16384, 16777215], got 16383"),
    (dict(max_frame_size=16777216), ValueError,
     "max_frame_size must be in [16384, 16777215], got 16777216"),
    (dict(initial_window_size=2**31), ValueError,
     "window sizes must be <= 2147483647 (RFC 9113 6.9.1)"),
    (dict(connection_window=2**31), ValueError, "window sizes must be <= 2147483647 (RFC 9113 6.9.1)"),
    # The role is checked first.
    (dict(role="x", max_frame_size=1), ValueError, "role must be 'client' or 'server', got \"x\""),
    (dict(max_frame_size="big"), TypeError, "argument 'max_frame_size' must be int"),
    (dict(initial_window_size=2**32), OverflowError, "initial_window_size"),
    (dict(enable_push=1), TypeError, "enable_push"),
])
def test_constructor_validation(kw, exc, msg):
    args = {**BASE, "role": "client", **kw}
    role = args.pop("role")
    with pytest.raises(exc) as ei:
        w.H2Streams(role, **args)
    assert msg in str(ei.value)


@pytest.mark.parametrize("kw,budget", [
    (dict(), 32767), (dict(connection_window=100000), 50000), (dict(connection_window=51201), 25600),
    (dict(connection_window=51202), 25601), (dict(data_frame_budget=7), 7),
])
def test_data_budget_size(kw, budget):
    assert engine(**kw).data_frame_budget_available == budget


def test_limits_accepted_at_their_bounds():
    for kw in (dict(max_frame_size=16384), dict(max_frame_size=16777215),
               dict(initial_window_size=2**31 - 1), dict(max_local_error_reset_streams=None)):
        engine(**kw)
    assert engine(max_local_error_reset_streams=None).max_local_error_reset_streams is None
