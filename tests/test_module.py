import importlib
import sys

import pytest

import wirelet
from wirelet import _wirelet as w

ORDER = [
    "__version__", "WireletError", "ConnectionClosedError", "HeaderMap", "http_date", "uri_parts",
    "H2Codec", "H2FrameHeaders", "H2FrameData", "H2FrameSettings", "H2FrameWindowUpdate",
    "H2FramePing", "H2FrameGoAway", "H2FrameRstStream", "H2FramePriority", "H2FrameStreamError",
    "H2StreamState", "H2FlowControl", "H2ContentLength", "H2DataFrameBudget",
    "H2Streams", "H2Stopped", "H2RecvHeadersVerdict", "H2RecvDataVerdict", "H2SendVerdict",
    "H2ResetVerdict",
    "H2_FLAG_WAKE", "H2_FLAG_SLOT_FREED", "H2_FLAG_CONN_DONE", "H2_FLAG_STOP_ACCEPTING",
    "H2_HEADERS_IGNORED", "H2_HEADERS_OPENED", "H2_HEADERS_HEAD", "H2_HEADERS_TRAILERS",
    "H2Error", "H2ProtocolError", "H2StreamError", "H2UserError", "H2FlowControlError",
    "H2Reason",
    "H2_DEFAULT_HEADER_TABLE_SIZE", "H2_DEFAULT_INITIAL_WINDOW_SIZE", "H2_DEFAULT_MAX_FRAME_SIZE",
    "H2_MAX_MAX_FRAME_SIZE", "H2_MAX_STREAM_ID", "H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD",
    "H2_DEFAULT_DATA_FRAME_BUDGET", "H2_MAX_RECV_EMPTY_DATA_FRAMES", "H2_PREFACE",
    "H1Error", "H1ParseError", "H1BodyError", "H1IncompleteMessageError",
    "H1UnexpectedMessageError", "H1UserError",
    "H1Codec", "H1ResponseHead", "H1RequestHead", "H1BodyDecoder",
    "H1ServerState", "H1ClientState", "OnceLatch",
    "H1_WATCH_HANDOFF", "H1_WATCH_IDLE_EOF", "H1_WATCH_IDLE_BYTES", "H1_WATCH_IDLE_ERROR",
    "H1_WATCH_IGNORED",
    "H1_NEXT_NONE", "H1_NEXT_RAISE", "H1_NEXT_CLOSE", "H1_NEXT_DRAIN", "H1_READ_PARSE",
    "H1_READ_SHUTDOWN", "H1_READ_WATCHER", "H1_READ_TRANSPORT", "H1_READ_EOF",
    "H1_REQ_OK", "H1_REQ_ALREADY", "H1_REQ_STALE", "H1_REQ_PARKED", "H1_REQ_PEER_CLOSED",
    "H1_REQ_CONTINUE",
    "ProxyMatcher", "ProxyIntercept",
]

CONSTANTS = {
    "H2_FLAG_WAKE": 1, "H2_FLAG_SLOT_FREED": 2, "H2_FLAG_CONN_DONE": 4, "H2_FLAG_STOP_ACCEPTING": 8,
    "H2_HEADERS_IGNORED": 0, "H2_HEADERS_OPENED": 1, "H2_HEADERS_HEAD": 2, "H2_HEADERS_TRAILERS": 3,
    "H2_DEFAULT_HEADER_TABLE_SIZE": 4096, "H2_DEFAULT_INITIAL_WINDOW_SIZE": 65535,
    "H2_DEFAULT_MAX_FRAME_SIZE": 16384, "H2_MAX_MAX_FRAME_SIZE": 16777215,
    "H2_MAX_STREAM_ID": 2147483647, "H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD": 256,
    "H2_DEFAULT_DATA_FRAME_BUDGET": 25600, "H2_MAX_RECV_EMPTY_DATA_FRAMES": 100,
    "H1_WATCH_HANDOFF": 0, "H1_WATCH_IDLE_EOF": 1, "H1_WATCH_IDLE_BYTES": 2,
    "H1_WATCH_IDLE_ERROR": 3, "H1_WATCH_IGNORED": 4,
    "H1_NEXT_NONE": 0, "H1_NEXT_RAISE": 1, "H1_NEXT_CLOSE": 2, "H1_NEXT_DRAIN": 3,
    "H1_READ_PARSE": 4, "H1_READ_SHUTDOWN": 5, "H1_READ_WATCHER": 6, "H1_READ_TRANSPORT": 7,
    "H1_READ_EOF": 8,
    "H1_REQ_OK": 0, "H1_REQ_ALREADY": 1, "H1_REQ_STALE": 2, "H1_REQ_PARKED": 3,
    "H1_REQ_PEER_CLOSED": 4, "H1_REQ_CONTINUE": 5,
}

EXCEPTIONS = {
    "WireletError": Exception,
    "ConnectionClosedError": "WireletError",
    "H1Error": "WireletError",
    "H1ParseError": "H1Error",
    "H1BodyError": "H1Error",
    "H1IncompleteMessageError": "H1Error",
    "H1UnexpectedMessageError": "H1Error",
    "H1UserError": "H1Error",
    "H2Error": "WireletError",
    "H2ProtocolError": "H2Error",
    "H2StreamError": "H2Error",
    "H2UserError": "H2Error",
    "H2FlowControlError": "H2Error",
}


def test_attribute_order():
    present = [k for k in vars(w) if not (k.startswith("__") and k != "__version__")]
    # Classes of subsystems still being built may be absent; the rest keep the order.
    expected = [k for k in ORDER if k in vars(w)]
    assert present == expected
    assert "H2WriteBatch" not in vars(w)


def test_constants_and_version():
    assert w.__version__ == wirelet.__version__ == "0.4.0"
    for name, value in CONSTANTS.items():
        assert getattr(w, name) == value and type(getattr(w, name)) is int, name
    assert w.H2_PREFACE == b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" and len(w.H2_PREFACE) == 24


@pytest.mark.parametrize("name, base", EXCEPTIONS.items())
def test_exception_hierarchy(name, base):
    cls = getattr(w, name)
    expected_base = base if isinstance(base, type) else getattr(w, base)
    assert cls.__bases__ == (expected_base,)
    assert cls.__module__ == "_wirelet"
    assert f"{cls.__module__}.{cls.__qualname__}" == f"_wirelet.{name}"
    assert cls.__doc__ and "args" in cls.__doc__
    type(f"Sub{name}", (cls,), {})  # exception classes may be subclassed


def test_exception_relations():
    assert issubclass(w.ConnectionClosedError, w.WireletError)
    assert not issubclass(w.ConnectionClosedError, (w.H1Error, w.H2Error))
    assert issubclass(w.H1IncompleteMessageError, w.H1Error)
    assert not issubclass(w.H1IncompleteMessageError, w.ConnectionClosedError)
    e = w.H1ParseError("uri", "bad uri")
    assert e.args == ("uri", "bad uri")


def test_classes_are_in_the_package_module():
    assert w.HeaderMap.__module__ == "wirelet._wirelet"
    assert w.OnceLatch.__module__ == "wirelet._wirelet"
    from wirelet.http import HeaderMap
    assert HeaderMap is w.HeaderMap


def test_final_and_frozen_classes():
    for name in ("HeaderMap", "OnceLatch"):
        cls = getattr(w, name)
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        with pytest.raises(AttributeError):
            cls().attr = 1
        with pytest.raises(TypeError):
            cls.attr = 1


def test_types_are_created_once_per_process():
    spec = importlib.util.find_spec("wirelet._wirelet")
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    assert mod is not w
    assert mod.HeaderMap is w.HeaderMap
    assert mod.H1ParseError is w.H1ParseError
    assert sys.modules["wirelet._wirelet"] is w
