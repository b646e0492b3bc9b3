"""H2Codec: frame decoding (non-header frames), serializers and the frame classes."""
import struct

import hyperframe.frame as hf
import pytest

from wirelet import _wirelet as w

H2ProtocolError = w.H2ProtocolError


def frame(ftype, flags, sid, payload=b""):
    return struct.pack(">I", len(payload))[1:] + bytes([ftype, flags]) + struct.pack(">I", sid) + payload


def proto_err(codec, data, reason, message):
    with pytest.raises(H2ProtocolError) as ei:
        codec.receive(data)
    assert ei.value.args == (reason, message)
    return ei.value


# ---------------------------------------------------------------- construction and classes


def test_construction_and_role():
    assert w.H2Codec().role_client is True
    assert w.H2Codec("client").role_client is True
    assert w.H2Codec(role="server").role_client is False
    with pytest.raises(ValueError) as ei:
        w.H2Codec("Client")
    assert str(ei.value) == "role must be 'client' or 'server', got \"Client\""
    with pytest.raises(ValueError) as ei:
        w.H2Codec('a"b\\c\n')
    assert str(ei.value) == "role must be 'client' or 'server', got \"a\\\"b\\\\c\\n\""
    with pytest.raises(TypeError):
        w.H2Codec(b"client")
    with pytest.raises(TypeError):
        w.H2Codec(1)


FRAME_CLASSES = ["H2FrameHeaders", "H2FrameData", "H2FrameSettings", "H2FrameWindowUpdate", "H2FramePing",
                 "H2FrameGoAway", "H2FrameRstStream", "H2FramePriority", "H2FrameStreamError"]


def test_module_order():
    names = list(vars(w))
    i = names.index("H2Codec")
    assert names[i:i + 10] == ["H2Codec"] + FRAME_CLASSES


@pytest.mark.parametrize("name", FRAME_CLASSES)
def test_frame_classes_not_constructible_and_final(name):
    cls = getattr(w, name)
    assert cls.__module__ == "wirelet._wirelet"
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_codec_frozen_and_final():
    c = w.H2Codec()
    with pytest.raises(AttributeError):
        c.foo = 1
    with pytest.raises(AttributeError):
        c.role_client = False
    with pytest.raises(TypeError):
        type("Sub", (w.H2Codec,), {})


def test_frame_attributes_read_only():
    c = w.H2Codec()
    (f,) = c.receive(frame(0, 1, 3, b"abc"))
    with pytest.raises(AttributeError):
        f.stream_id = 5
    with pytest.raises(AttributeError):
        f.other = 1


def test_text_signatures():
    assert w.H2Codec.receive.__text_signature__ == "($self, data)"
    assert w.H2Codec.serialize_request_headers.__text_signature__ == (
        "($self, stream_id, method, target, headers=None, end_stream=False, *, scheme=None, authority=None)")
    assert w.H2Codec.match_preface.__text_signature__ == "(data)"


# ---------------------------------------------------------------- buffering


def test_receive_empty_and_short():
    c = w.H2Codec()
    assert c.receive(b"") == []
    assert c.receive(b"\x00\x00\x03\x00") == []
    assert c.buffered() == 4
    assert c.receive(b"\x01\x00\x00\x00\x01ab") == []
    assert c.buffered() == 11
    (f,) = c.receive(b"c")
    assert (f.stream_id, f.end_stream, f.data) == (1, True, b"abc")
    assert c.buffered() == 0


def test_receive_requires_bytes():
    c = w.H2Codec()
    with pytest.raises(TypeError):
        c.receive(bytearray(b"x"))
    with pytest.raises(TypeError):
        c.receive("x")
    # Positional calls skip the argument parser; the others still go through it.
    assert c.receive(data=b"") == []
    for args, kw in [((), {}), ((b"", b""), {}), ((b"",), {"data": b""}), ((), {"x": b""})]:
        with pytest.raises(TypeError):
            c.receive(*args, **kw)


def test_frame_size_checked_on_header():
    c = w.H2Codec()
    hdr = frame(0, 0, 1, b"")[:0] + b"\x00\x40\x01" + b"\x00\x00\x00\x00\x00\x01"
    proto_err(c, hdr, 6, "frame length exceeds SETTINGS_MAX_FRAME_SIZE")
    # the offending frame stays at the head of the buffer
    assert c.buffered() == 9


def test_max_recv_frame_size():
    c = w.H2Codec()
    for bad in (16383, 16777216, 0):
        with pytest.raises(ValueError) as ei:
            c.set_max_recv_frame_size(bad)
        assert str(ei.value) == f"max_frame_size must be in [16384, 16777215], got {bad}"
    with pytest.raises(OverflowError):
        c.set_max_recv_frame_size(-1)
    with pytest.raises(OverflowError):
        c.set_max_recv_frame_size(2**32)
    with pytest.raises(TypeError):
        c.set_max_recv_frame_size("16384")
    c.set_max_recv_frame_size(16384)
    c.set_max_recv_frame_size(16777215)
    (f,) = c.receive(frame(0, 0, 1, b"x" * 20000))
    assert len(f.data) == 20000


def test_error_keeps_following_bytes():
    c = w.H2Codec()
    data = frame(0, 0, 1, b"a") + frame(6, 0, 1, b"12345678") + frame(0, 0, 1, b"bc")
    proto_err(c, data, 1, "failed to load frame: InvalidStreamId")
    assert c.buffered() == 11


# ---------------------------------------------------------------- DATA


def test_data_frames():
    c = w.H2Codec()
    f1, f2, f3 = c.receive(frame(0, 0, 1, b"hello") + frame(0, 0x9, 3, b"\x02abcXX") + frame(0, 0x8, 5, b"\x03xyz"))
    assert (f1.stream_id, f1.end_stream, f1.data, f1.flow_controlled_len, f1.padding) == (1, False, b"hello", 5, 0)
    assert (f2.stream_id, f2.end_stream, f2.data, f2.flow_controlled_len, f2.padding) == (3, True, b"abc", 6, 3)
    assert (f3.data, f3.flow_controlled_len, f3.padding) == (b"", 4, 4)
    assert repr(f1) == "Data(stream_id=1, end_stream=false, len=5)"
    assert repr(f2) == "Data(stream_id=3, end_stream=true, len=3)"
    assert isinstance(f1, w.H2FrameData)


@pytest.mark.parametrize("data,name", [
    (frame(0, 0, 0, b"x"), "InvalidStreamId"),
    (frame(0, 0x8, 1, b""), "TooMuchPadding"),
    (frame(0, 0x8, 1, b"\x04xyz"), "TooMuchPadding"),
    (frame(0, 0x8, 1, b"\x05xyz"), "TooMuchPadding"),
])
def test_data_errors(data, name):
    proto_err(w.H2Codec(), data, 1, "failed to load frame: " + name)


# ---------------------------------------------------------------- SETTINGS


def settings_payload(*pairs):
    return b"".join(struct.pack(">HI", i, v) for i, v in pairs)


def test_settings_decoding():
    c = w.H2Codec()
    (f,) = c.receive(frame(4, 0, 0, settings_payload((1, 100), (2, 0), (3, 7), (4, 65535), (5, 16384),
                                                        (6, 1000), (3, 9), (8, 1), (9, 77))))
    assert (f.ack, f.header_table_size, f.enable_push, f.max_concurrent_streams, f.initial_window_size,
            f.max_frame_size, f.max_header_list_size) == (False, 100, False, 9, 65535, 16384, 1000)
    assert repr(f) == ("Settings(ack=false, max_concurrent_streams=Some(9), initial_window_size=Some(65535), "
                       "max_frame_size=Some(16384))")
    (f,) = c.receive(frame(4, 0, 0, settings_payload((9, 1))))
    assert (f.header_table_size, f.enable_push, f.max_concurrent_streams, f.initial_window_size,
            f.max_frame_size, f.max_header_list_size) == (None,) * 6
    (f,) = c.receive(frame(4, 1, 0))
    assert f.ack is True and f.enable_push is None
    assert repr(f) == "Settings(ack=true, max_concurrent_streams=None, initial_window_size=None, max_frame_size=None)"
    (f,) = c.receive(frame(4, 0, 0, settings_payload((2, 1))))
    assert f.enable_push is True


@pytest.mark.parametrize("data,name", [
    (frame(4, 0, 1, b""), "InvalidStreamId"),
    (frame(4, 1, 0, settings_payload((1, 1))), "InvalidPayloadLength"),
    (frame(4, 0, 0, b"\x00\x01\x00"), "InvalidPayloadAckSettings"),
    (frame(4, 0, 0, settings_payload((2, 2))), "InvalidSettingValue"),
    (frame(4, 0, 0, settings_payload((4, 2**31))), "InvalidSettingValue"),
    (frame(4, 0, 0, settings_payload((5, 16383))), "InvalidSettingValue"),
    (frame(4, 0, 0, settings_payload((5, 16777216))), "InvalidSettingValue"),
    (frame(4, 0, 0, settings_payload((8, 2))), "InvalidSettingValue"),
])
def test_settings_errors(data, name):
    proto_err(w.H2Codec(), data, 1, "failed to load frame: " + name)


# ---------------------------------------------------------------- other frame types


def test_control_frames():
    c = w.H2Codec()
    ping, pong, ga, rst, wu, prio = c.receive(
        frame(6, 0, 0, b"12345678") + frame(6, 1, 0, b"abcdefgh") + frame(7, 0, 0, b"\x80\x00\x00\x05\x00\x00\x00\x02dbg")
        + frame(3, 0, 0, b"\x00\x00\x00\x08") + frame(8, 0, 5, b"\xff\xff\xff\xff") + frame(2, 0, 3, b"\x00\x00\x00\x01\x10"))
    assert (ping.ack, ping.data) == (False, b"12345678")
    assert (pong.ack, pong.data) == (True, b"abcdefgh")
    assert (ga.last_stream_id, ga.error_code, ga.debug_data) == (5, 2, b"dbg")
    assert (rst.stream_id, rst.error_code) == (0, 8)  # stream 0 is the engine's business
    assert (wu.stream_id, wu.increment) == (5, 2**31 - 1)
    assert prio.stream_id == 3 and not hasattr(prio, "weight")
    assert repr(ping).startswith("<wirelet._wirelet.H2FramePing object at")
    (ga,) = c.receive(frame(7, 0, 9, b"\x00\x00\x00\x00\x00\x00\x00\x00"))
    assert ga.debug_data == b""


@pytest.mark.parametrize("data,reason,message", [
    (frame(6, 0, 1, b"12345678"), 1, "failed to load frame: InvalidStreamId"),
    (frame(6, 0, 0, b"1234567"), 1, "failed to load frame: BadFrameSize"),
    (frame(7, 0, 0, b"1234567"), 1, "failed to load frame: BadFrameSize"),
    (frame(8, 0, 5, b"\x00\x00\x00\x00"), 1, "failed to load frame: InvalidWindowUpdateValue"),
    (frame(8, 0, 0, b"\x80\x00\x00\x00"), 1, "failed to load frame: InvalidWindowUpdateValue"),
    (frame(8, 0, 0, b"\x00\x00\x01"), 1, "failed to load frame: BadFrameSize"),
    (frame(3, 0, 1, b"\x00\x00\x00"), 1, "failed to load frame: InvalidPayloadLength"),
    (frame(2, 0, 0, b"\x00\x00\x00\x01\x10"), 1, "PRIORITY frame with stream ID 0"),
    (frame(2, 0, 1, b"\x00\x00\x00\x03"), 1, "failed to load frame: InvalidPayloadLength"),
    (frame(5, 4, 1, b"\x00\x00\x00\x02\x82"), 1, "PUSH_PROMISE received but server push is disabled"),
    (frame(9, 4, 1, b"\x82"), 1, "received unexpected CONTINUATION frame"),
])
def test_control_frame_errors(data, reason, message):
    proto_err(w.H2Codec(), data, reason, message)


def test_priority_self_dependency_is_stream_error():
    c = w.H2Codec()
    se, d = c.receive(frame(2, 0, 3, b"\x80\x00\x00\x03\x10") + frame(0, 0, 1, b"x"))
    assert isinstance(se, w.H2FrameStreamError)
    assert (se.stream_id, se.error_code) == (3, 1)
    assert d.data == b"x"


def test_unknown_frame_type_skipped():
    c = w.H2Codec()
    (f,) = c.receive(frame(0x10, 0xff, 7, b"junk") + frame(0, 0, 1, b"x"))
    assert f.data == b"x"


# ---------------------------------------------------------------- preface


@pytest.mark.parametrize("data,expected", [
    (b"", None),
    (w.H2_PREFACE[:16], None),
    (b"GET / HTTP/1.1\r\n", False),
    (w.H2_PREFACE, True),
    (w.H2_PREFACE + b"\x00\x00\x00", True),
    (b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\r", False),
])
def test_match_preface(data, expected):
    assert w.H2Codec.match_preface(data) is expected


def test_feed_preface():
    c = w.H2Codec("server")
    assert c.feed_preface(w.H2_PREFACE[:10]) is None
    assert c.buffered() == 0
    assert c.feed_preface(w.H2_PREFACE[10:] + b"abc") is True
    assert c.buffered() == 3
    c2 = w.H2Codec("server")
    assert c2.feed_preface(b"PRX") is False
    assert c2.feed_preface(w.H2_PREFACE) is False  # the diverged bytes are kept
    c3 = w.H2Codec()
    assert c3.feed_preface(w.H2_PREFACE + frame(0, 0, 1, b"x")) is True
    (f,) = c3.receive(b"")
    assert f.data == b"x"


# ---------------------------------------------------------------- serializers


def test_serialize_settings():
    c = w.H2Codec()
    assert c.serialize_settings() == bytes.fromhex("000000040000000000")
    assert c.serialize_settings(max_concurrent_streams=100, header_table_size=4096) == (
        bytes.fromhex("00000c04000000000000010000100000030000006"+"4"))
    all_ = c.serialize_settings(header_table_size=1, enable_push=False, max_concurrent_streams=3,
                                initial_window_size=4, max_frame_size=16384, max_header_list_size=6)
    (f,) = w.H2Codec().receive(all_)
    assert (f.header_table_size, f.enable_push, f.max_concurrent_streams, f.initial_window_size,
            f.max_frame_size, f.max_header_list_size) == (1, False, 3, 4, 16384, 6)
    assert c.serialize_settings(enable_push=True)[9:] == b"\x00\x02\x00\x00\x00\x01"
    assert c.serialize_settings_ack() == bytes.fromhex("000000040100000000")
    with pytest.raises(ValueError, match=r"^max_frame_size must be in \[16384, 16777215\], got 16383$"):
        c.serialize_settings(max_frame_size=16383)
    with pytest.raises(ValueError, match=r"^initial_window_size must be <= 2147483647, got 2147483648$"):
        c.serialize_settings(initial_window_size=2**31)
    with pytest.raises(TypeError):
        c.serialize_settings(enable_push=1)
    with pytest.raises(TypeError):
        c.serialize_settings(1)
    with pytest.raises(OverflowError):
        c.serialize_settings(header_table_size=2**32)


def test_serialize_data():
    c = w.H2Codec()
    assert c.serialize_data(1, b"", True) == bytes.fromhex("000000000100000001")
    assert len(c.serialize_data(1, b"x" * 16384)) == 16393
    with pytest.raises(w.H2UserError) as ei:
        c.serialize_data(1, b"x" * 16385)
    assert ei.value.args == ("payload_too_big", "DATA payload 16385 exceeds SETTINGS_MAX_FRAME_SIZE 16384")
    c.set_send_max_frame_size(32768)
    assert len(c.serialize_data(1, b"x" * 16385)) == 16394
    with pytest.raises(ValueError, match="got 16383$"):
        c.set_send_max_frame_size(16383)
    with pytest.raises(TypeError):
        c.serialize_data(1, "text")
    with pytest.raises(OverflowError):
        c.serialize_data(2**31, b"")


def test_serialize_control_frames():
    c = w.H2Codec()
    assert c.serialize_window_update(3, 1000) == frame(8, 0, 3, struct.pack(">I", 1000))
    assert c.serialize_ping(b"12345678") == frame(6, 0, 0, b"12345678")
    assert c.serialize_ping_ack(b"12345678") == frame(6, 1, 0, b"12345678")
    assert c.serialize_go_away(7, 2) == frame(7, 0, 0, struct.pack(">II", 7, 2))
    assert c.serialize_go_away(7, 2, b"why") == frame(7, 0, 0, struct.pack(">II", 7, 2) + b"why")
    assert c.serialize_go_away(7, 2, None) == frame(7, 0, 0, struct.pack(">II", 7, 2))
    assert c.serialize_rst_stream(5, 2**32 - 1) == frame(3, 0, 5, b"\xff\xff\xff\xff")
    for bad in (b"1234567", b"123456789"):
        with pytest.raises(ValueError) as ei:
            c.serialize_ping(bad)
        assert str(ei.value) == "ping payload must be exactly 8 bytes"
    with pytest.raises(OverflowError):
        c.serialize_go_away(2**31, 0)
    with pytest.raises(OverflowError):
        c.serialize_window_update(1, 2**31)  # would set the reserved bit
    with pytest.raises(OverflowError):
        c.serialize_rst_stream(1, 2**32)


def test_static_helpers():
    H = w.H2Codec
    assert H.is_client_initiated(1) and not H.is_client_initiated(0) and not H.is_client_initiated(2)
    assert H.method_is_head("HEAD") and not H.method_is_head("head") and not H.method_is_head("GE T")
    H.check_send_headers(w.HeaderMap({"te": "trailers", "x": "y"}))
    for bad in ({"te": "gzip"}, {"connection": "close"}, {"transfer-encoding": "chunked"}, {"upgrade": "h2c"},
                {"keep-alive": "1"}, {"proxy-connection": "x"}):
        with pytest.raises(w.H2UserError) as ei:
            H.check_send_headers(w.HeaderMap(bad))
        assert ei.value.args == ("malformed_headers", "malformed headers")
    with pytest.raises(w.H2UserError):
        H.check_send_headers(w.HeaderMap([("te", "gzip"), ("te", "trailers")]))
    H.check_send_headers(w.HeaderMap([("te", "trailers"), ("te", "gzip")]))  # the first value decides
    with pytest.raises(TypeError):
        H.check_send_headers({"a": "b"})


# ---------------------------------------------------------------- interop with hyperframe


def test_hyperframe_frames_decode():
    frames = []
    d = hf.DataFrame(1, data=b"payload", flags=["END_STREAM", "PADDED"])
    d.pad_length = 7
    frames.append(d)
    s = hf.SettingsFrame(0, settings={hf.SettingsFrame.MAX_CONCURRENT_STREAMS: 10,
                                      hf.SettingsFrame.INITIAL_WINDOW_SIZE: 1 << 20})
    frames.append(s)
    frames.append(hf.SettingsFrame(0, flags=["ACK"]))
    frames.append(hf.PingFrame(0, opaque_data=b"abcdefgh"))
    frames.append(hf.GoAwayFrame(0, last_stream_id=11, error_code=9, additional_data=b"bye"))
    frames.append(hf.RstStreamFrame(3, error_code=8))
    frames.append(hf.WindowUpdateFrame(0, window_increment=12345))
    frames.append(hf.PriorityFrame(5, depends_on=3, stream_weight=16))
    wire = b"".join(f.serialize() for f in frames)
    out = w.H2Codec().receive(wire)
    d, s, sa, p, g, r, wu, pr = out
    assert (d.stream_id, d.end_stream, d.data, d.padding, d.flow_controlled_len) == (1, True, b"payload", 8, 15)
    assert (s.max_concurrent_streams, s.initial_window_size, s.ack) == (10, 1 << 20, False)
    assert sa.ack
    assert p.data == b"abcdefgh" and not p.ack
    assert (g.last_stream_id, g.error_code, g.debug_data) == (11, 9, b"bye")
    assert (r.stream_id, r.error_code) == (3, 8)
    assert (wu.stream_id, wu.increment) == (0, 12345)
    assert pr.stream_id == 5


def test_our_frames_parse_in_hyperframe():
    c = w.H2Codec()
    data = (c.serialize_data(1, b"abc", True) + c.serialize_settings(max_frame_size=20000)
            + c.serialize_ping_ack(b"ABCDEFGH") + c.serialize_go_away(3, 1, b"x")
            + c.serialize_rst_stream(1, 5) + c.serialize_window_update(1, 77))
    out = []
    while data:
        f, length = hf.Frame.parse_frame_header(memoryview(data[:9]))
        f.parse_body(memoryview(data[9:9 + length]))
        out.append(f)
        data = data[9 + length:]
    d, s, p, g, r, wu = out
    assert d.data == b"abc" and "END_STREAM" in d.flags
    assert s.settings == {hf.SettingsFrame.MAX_FRAME_SIZE: 20000}
    assert "ACK" in p.flags and p.opaque_data == b"ABCDEFGH"
    assert (g.last_stream_id, g.error_code, g.additional_data) == (3, 1, b"x")
    assert r.error_code == 5 and wu.window_increment == 77


def test_memory_flat_for_many_frames():
    import tracemalloc
    c = w.H2Codec()
    data = frame(0, 0, 1, b"x" * 100) + frame(4, 0, 0, settings_payload((3, 1))) + frame(6, 0, 0, b"12345678")
    for _ in range(1000):
        c.receive(data)
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(20000):
        c.receive(data)
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert after - before < 100_000


def test_type_references_balanced():
    import sys
    c = w.H2Codec()
    data = (frame(0, 0, 1, b"x") + frame(4, 0, 0) + frame(6, 0, 0, b"12345678") + frame(7, 0, 0, b"\0" * 8)
            + frame(3, 0, 1, b"\0\0\0\0") + frame(8, 0, 0, b"\0\0\0\1") + frame(2, 0, 3, b"\0\0\0\1\1")
            + frame(2, 0, 3, b"\0\0\0\3\1") + frame(1, 4, 1, b"\x82"))
    types = [getattr(w, n) for n in FRAME_CLASSES] + [w.H2Codec]
    c.receive(data)
    before = [sys.getrefcount(t) for t in types]
    for _ in range(100):
        c.receive(data)
        w.H2Codec("server")
    assert [sys.getrefcount(t) for t in types] == before
