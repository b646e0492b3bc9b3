"""HTTP/2 stream primitives: H2Reason, H2StreamState, H2FlowControl,
H2ContentLength and H2DataFrameBudget."""

import operator
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from wirelet import _wirelet as w

H2Reason = w.H2Reason
MAX_WIN = 2**31 - 1

# ---------------------------------------------------------------------------
# H2Reason

REASONS = [
    (0, "NO_ERROR", "not a result of an error"),
    (1, "PROTOCOL_ERROR", "unspecific protocol error detected"),
    (2, "INTERNAL_ERROR", "unexpected internal error encountered"),
    (3, "FLOW_CONTROL_ERROR", "flow-control protocol violated"),
    (4, "SETTINGS_TIMEOUT", "settings ACK not received in timely manner"),
    (5, "STREAM_CLOSED", "received frame when stream half-closed"),
    (6, "FRAME_SIZE_ERROR", "frame with invalid size"),
    (7, "REFUSED_STREAM", "refused stream before processing any application logic"),
    (8, "CANCEL", "stream no longer needed"),
    (9, "COMPRESSION_ERROR", "unable to maintain the header compression context"),
    (10, "CONNECT_ERROR",
     "connection established in response to a CONNECT request was reset or abnormally closed"),
    (11, "ENHANCE_YOUR_CALM", "detected excessive load generating behavior"),
    (12, "INADEQUATE_SECURITY", "security properties do not meet minimum requirements"),
    (13, "HTTP_1_1_REQUIRED", "endpoint requires HTTP/1.1"),
]


@pytest.mark.parametrize("value,name,desc", REASONS)
def test_reason_members(value, name, desc):
    r = getattr(H2Reason, name)
    assert type(r) is H2Reason
    assert H2Reason(value) is r
    assert (r.value, r.name) == (value, name)
    assert repr(r) == str(r) == f"H2Reason.{name}"
    assert int(r) == operator.index(r) == hash(r) == value
    assert r == value and value == r and not (r != value)
    assert r == H2Reason(value) and r != value + 1
    assert {value: "x"}[r] == "x"
    # The description is the message of the error a scheduled reset reports.
    s = w.H2StreamState()
    assert s.set_scheduled_reset(r) is True
    with pytest.raises(w.H2ProtocolError) as ei:
        s.ensure_recv_open()
    assert ei.value.args == (value, desc)
    assert repr(s) == f"Closed(ScheduledLibraryReset({name}))"


def test_reason_unregistered_code_debug_and_description():
    s = w.H2StreamState()
    s.set_scheduled_reset(26)
    assert repr(s) == "Closed(ScheduledLibraryReset(Reason(0x1a)))"
    assert s.get_scheduled_reset() == 26
    with pytest.raises(w.H2ProtocolError) as ei:
        s.ensure_recv_open()
    assert ei.value.args == (26, "unknown reason")
    s = w.H2StreamState()
    s.set_reset(1, 0xFFFFFFFF, "user")
    assert repr(s) == "Closed(Error(Reset(StreamId(1), Reason(0xffffffff), User)))"


def test_reason_class_shape():
    assert len([n for n in dir(H2Reason) if n.isupper()]) == 14
    assert H2Reason.__module__ == "wirelet._wirelet"
    assert H2Reason.CANCEL != H2Reason.NO_ERROR
    assert H2Reason.CANCEL != "CANCEL" and H2Reason.CANCEL != 2**40 and H2Reason.CANCEL != -8
    assert H2Reason.PROTOCOL_ERROR == True  # noqa: E712  (bool is an int)
    for op in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError):
            op(H2Reason.CANCEL, 9)
        with pytest.raises(TypeError):
            op(H2Reason.CANCEL, H2Reason.NO_ERROR)
    with pytest.raises(TypeError):
        class Sub(H2Reason):  # noqa: F841
            pass
    with pytest.raises((AttributeError, TypeError)):
        H2Reason.CANCEL = 3
    with pytest.raises(AttributeError):
        H2Reason.CANCEL.value = 3
    with pytest.raises(AttributeError):
        H2Reason.CANCEL.foo = 3


@pytest.mark.parametrize("arg,exc,msg", [
    (14, ValueError, "14 is not a valid H2Reason"),
    (2**32 - 1, ValueError, "4294967295 is not a valid H2Reason"),
    (-1, OverflowError, None),
    (2**32, OverflowError, None),
    ("1", TypeError, None),
    (1.0, TypeError, None),
    (None, TypeError, None),
])
def test_reason_bad_code(arg, exc, msg):
    with pytest.raises(exc) as ei:
        H2Reason(arg)
    if msg is not None:
        assert str(ei.value) == msg


def test_reason_pickle_and_copy():
    import copy
    import pickle

    for r in (H2Reason.NO_ERROR, H2Reason.HTTP_1_1_REQUIRED):
        assert pickle.loads(pickle.dumps(r)) is r
        assert copy.copy(r) is r and copy.deepcopy(r) is r


def test_reason_constructor_arity():
    assert H2Reason(code=8) is H2Reason.CANCEL
    assert H2Reason(H2Reason.CANCEL) is H2Reason.CANCEL
    with pytest.raises(TypeError):
        H2Reason()
    with pytest.raises(TypeError):
        H2Reason(1, 2)


# ---------------------------------------------------------------------------
# H2StreamState: every reachable state, built by a short recipe

OPEN_SA = "Open { local: Streaming, remote: AwaitingHeaders }"
OPEN_AA = "Open { local: AwaitingHeaders, remote: AwaitingHeaders }"
OPEN_AS = "Open { local: AwaitingHeaders, remote: Streaming }"
OPEN_SS = "Open { local: Streaming, remote: Streaming }"
HCL_A = "HalfClosedLocal(AwaitingHeaders)"
HCL_S = "HalfClosedLocal(Streaming)"
HCR_A = "HalfClosedRemote(AwaitingHeaders)"
HCR_S = "HalfClosedRemote(Streaming)"
END = "Closed(EndStream)"
RESET_REMOTE = "Closed(Error(Reset(StreamId(1), CANCEL, Remote)))"
AFTER_END = "Closed(ErrorAfterEndStream(Reset(StreamId(1), CANCEL, Remote)))"
SCHEDULED = "Closed(ScheduledLibraryReset(CANCEL))"
RESET_USER = "Closed(Error(Reset(StreamId(1), CANCEL, User)))"
RESET_LIB = "Closed(Error(Reset(StreamId(3), PROTOCOL_ERROR, Library)))"
IO = 'Closed(Error(Io(BrokenPipe, "stream closed because of a broken pipe")))'

RECIPES = {
    "Idle": [],
    "ReservedLocal": [("reserve_local",)],
    "ReservedRemote": [("reserve_remote",)],
    OPEN_SA: [("send_open", False)],
    OPEN_AA: [("recv_open", False, True)],
    OPEN_AS: [("recv_open", False, False)],
    OPEN_SS: [("send_open", False), ("recv_open", False, False)],
    HCL_A: [("send_open", True)],
    HCL_S: [("send_open", True), ("recv_open", False, False)],
    HCR_A: [("recv_open", True, False)],
    HCR_S: [("recv_open", True, False), ("send_open", False)],
    END: [("send_open", True), ("recv_open", True, False)],
    RESET_REMOTE: [("send_open", False), ("recv_reset", 1, 8, False)],
    AFTER_END: [("recv_open", True, False), ("recv_reset", 1, 8, False)],
    SCHEDULED: [("send_open", False), ("set_scheduled_reset", 8)],
    RESET_USER: [("set_reset", 1, 8, "user")],
    RESET_LIB: [("send_open", False), ("set_reset", 3, 1, "library")],
    IO: [("send_open", False), ("recv_eof",)],
}
STATES = list(RECIPES)
CLOSED = [s for s in STATES if s.startswith("Closed")]


def make(state):
    s = w.H2StreamState()
    for op, *args in RECIPES[state]:
        getattr(s, op)(*args)
    assert repr(s) == state
    return s


USER_ERR = (w.H2UserError, ("unexpected_frame_type", "unexpected frame type"))
PROTO_ERR = (w.H2ProtocolError, (1, "unspecific protocol error detected"))
UNCHANGED = object()

# op -> (explicit outcomes by state, outcome for every other state).
# An outcome is (result, new state) or an exception (class, args).
LIB_RESET = "Closed(Error(Reset(StreamId(5), INTERNAL_ERROR, Library)))"
TABLES = {
    ("send_open", False): ({
        "Idle": (None, OPEN_SA),
        OPEN_AA: (None, OPEN_SA),
        OPEN_AS: (None, OPEN_SS),
        HCR_A: (None, HCR_S),
        "ReservedLocal": (None, HCR_S),
    }, USER_ERR),
    ("send_open", True): ({
        "Idle": (None, HCL_A),
        OPEN_AA: (None, HCL_A),
        OPEN_AS: (None, HCL_S),
        HCR_A: (None, END),
        "ReservedLocal": (None, END),
    }, USER_ERR),
    ("recv_open", True, False): ({
        "Idle": (True, HCR_A),
        "ReservedRemote": (True, END),
        OPEN_SA: (False, HCR_S),
        OPEN_AA: (False, HCR_A),
        HCL_A: (False, END),
    }, PROTO_ERR),
    ("recv_open", True, True): ({
        "Idle": (True, HCR_A),
        "ReservedRemote": (True, END),
        OPEN_SA: (False, HCR_S),
        OPEN_AA: (False, HCR_A),
        HCL_A: (False, END),
    }, PROTO_ERR),
    ("recv_open", False, True): ({
        "Idle": (True, OPEN_AA),
        "ReservedRemote": (True, "ReservedRemote"),
        OPEN_SA: (False, OPEN_SA),
        OPEN_AA: (False, OPEN_AA),
        HCL_A: (False, HCL_A),
    }, PROTO_ERR),
    ("recv_open", False, False): ({
        "Idle": (True, OPEN_AS),
        "ReservedRemote": (True, HCL_S),
        OPEN_SA: (False, OPEN_SS),
        OPEN_AA: (False, OPEN_AS),
        HCL_A: (False, HCL_S),
    }, PROTO_ERR),
    ("reserve_remote",): ({"Idle": (None, "ReservedRemote")}, PROTO_ERR),
    ("reserve_local",): ({"Idle": (None, "ReservedLocal")}, USER_ERR),
    ("recv_close",): ({
        OPEN_SA: (None, HCR_S),
        OPEN_AA: (None, HCR_A),
        OPEN_AS: (None, HCR_A),
        OPEN_SS: (None, HCR_S),
        HCL_A: (None, END),
        HCL_S: (None, END),
    }, PROTO_ERR),
    ("send_close",): ({
        OPEN_SA: (True, HCL_A),
        OPEN_SS: (True, HCL_S),
        HCR_S: (True, END),
    }, (False, UNCHANGED)),
    ("recv_reset", 1, 8, False): (
        dict({HCR_A: (None, AFTER_END), HCR_S: (None, AFTER_END)},
             **{c: (None, UNCHANGED) for c in CLOSED}),
        (None, RESET_REMOTE)),
    ("recv_reset", 1, 8, True): ({
        HCR_A: (None, AFTER_END),
        HCR_S: (None, AFTER_END),
        END: (None, AFTER_END),
        AFTER_END: (None, AFTER_END),
    }, (None, RESET_REMOTE)),
    ("recv_eof",): ({c: (None, UNCHANGED) for c in CLOSED}, (None, IO)),
    ("set_reset", 5, 2, "library"): ({}, (None, LIB_RESET)),
    ("set_scheduled_reset", 8): ({c: (False, UNCHANGED) for c in CLOSED}, (True, SCHEDULED)),
    ("get_scheduled_reset",): ({SCHEDULED: (8, UNCHANGED)}, (None, UNCHANGED)),
    ("ensure_recv_open",): ({
        "ReservedLocal": (False, UNCHANGED),
        HCR_A: (False, UNCHANGED),
        HCR_S: (False, UNCHANGED),
        END: (False, UNCHANGED),
        AFTER_END: (False, UNCHANGED),
        RESET_REMOTE: (w.H2StreamError, (1, 8, "remote")),
        RESET_USER: (w.H2StreamError, (1, 8, "user")),
        RESET_LIB: (w.H2StreamError, (3, 1, "library")),
        SCHEDULED: (w.H2ProtocolError, (8, "stream no longer needed")),
        IO: (w.ConnectionClosedError, ("stream closed because of a broken pipe",)),
    }, (True, UNCHANGED)),
}


@pytest.mark.parametrize("state", STATES)
@pytest.mark.parametrize("call", list(TABLES), ids=lambda c: "-".join(map(str, c)))
def test_transition_table(state, call):
    table, default = TABLES[call]
    outcome = table.get(state, default)
    s = make(state)
    op, *args = call
    if isinstance(outcome[0], type) and issubclass(outcome[0], BaseException):
        exc, exc_args = outcome
        with pytest.raises(exc) as ei:
            getattr(s, op)(*args)
        assert type(ei.value) is exc
        assert ei.value.args == exc_args
        assert repr(s) == state  # left unchanged
    else:
        result, new = outcome
        got = getattr(s, op)(*args)
        assert type(got) is type(result) and got == result
        assert repr(s) == (state if new is UNCHANGED else new)


# Predicate -> the states where it holds.
PREDICATES = {
    "is_idle": {"Idle"},
    "is_closed": set(CLOSED),
    "is_reset": set(CLOSED) - {END},
    "is_scheduled_reset": {SCHEDULED},
    "is_local_error": {SCHEDULED, RESET_USER, RESET_LIB, IO},
    "is_remote_reset": {RESET_REMOTE, AFTER_END},
    "is_send_streaming": {OPEN_SA, OPEN_SS, HCR_S},
    "is_recv_headers": {"Idle", "ReservedRemote", OPEN_SA, OPEN_AA, HCL_A},
    "is_recv_streaming": {OPEN_AS, OPEN_SS, HCL_S},
    "is_recv_end_stream": {HCR_A, HCR_S, END, AFTER_END},
    "is_send_closed": set(CLOSED) | {HCL_A, HCL_S, "ReservedRemote"},
}


@pytest.mark.parametrize("state", STATES)
def test_predicates(state):
    s = make(state)
    got = {p: getattr(s, p)() for p in PREDICATES}
    assert got == {p: state in holds for p, holds in PREDICATES.items()}


def test_informational_then_final_head():
    s = w.H2StreamState()
    assert s.recv_open(False, True) is True
    assert s.is_recv_headers() and not s.is_recv_streaming()
    assert s.recv_open(False, False) is False
    assert s.is_recv_streaming() and not s.is_recv_headers()


def test_reset_after_end_stream_does_not_fail_reader():
    s = make(END)
    s.recv_reset(1, 8, False)
    assert repr(s) == END
    s.recv_reset(1, 8, True)
    assert repr(s) == AFTER_END
    assert s.is_remote_reset() and s.is_recv_end_stream()
    assert s.ensure_recv_open() is False


def test_scheduled_reset_is_kept():
    s = make(OPEN_SS)
    assert s.set_scheduled_reset(8) is True
    assert s.set_scheduled_reset(2) is False
    assert s.get_scheduled_reset() == 8
    # A reset from the peer replaces it while frames are still queued.
    s.recv_reset(1, 8, True)
    assert repr(s) == RESET_REMOTE and s.get_scheduled_reset() is None


def test_set_reset_replaces_any_close():
    s = make(IO)
    s.set_reset(7, 3, "remote")
    assert repr(s) == "Closed(Error(Reset(StreamId(7), FLOW_CONTROL_ERROR, Remote)))"
    assert s.is_remote_reset() and not s.is_local_error()
    s.set_reset(2**31 - 1, H2Reason.CANCEL, "user")
    assert repr(s) == "Closed(Error(Reset(StreamId(2147483647), CANCEL, User)))"


@pytest.mark.parametrize("bad,shown", [
    ("User", '"User"'),
    ("", '""'),
    (" user", '" user"'),
    ('a"b\\c', '"a\\"b\\\\c"'),
    ("\n\t\r\0", '"\\n\\t\\r\\0"'),
    ("\x01\x7f", '"\\u{1}\\u{7f}"'),
    ("é€", '"é€"'),
    ("\u200b", '"\\u{200b}"'),
])
def test_set_reset_bad_initiator(bad, shown):
    s = make(OPEN_SA)
    with pytest.raises(ValueError) as ei:
        s.set_reset(1, 8, bad)
    assert str(ei.value) == "initiator must be 'user' | 'library' | 'remote', got " + shown
    assert repr(s) == OPEN_SA


@pytest.mark.parametrize("call,exc,msg", [
    (("send_open", 1), TypeError, "send_open() argument 'eos' must be bool, not int"),
    (("send_open", None), TypeError, "send_open() argument 'eos' must be bool, not NoneType"),
    (("recv_open", True, 0), TypeError, "recv_open() argument 'informational' must be bool, not int"),
    (("recv_reset", 2**31, 8, False), ValueError, "stream id 2147483648 exceeds the maximum 2147483647"),
    (("recv_reset", 2**32 - 1, 8, False), ValueError,
     "stream id 4294967295 exceeds the maximum 2147483647"),
    (("recv_reset", 2**32, 8, False), OverflowError, None),
    (("recv_reset", -1, 8, False), OverflowError, None),
    (("recv_reset", 1, 2**32, False), OverflowError, None),
    (("recv_reset", 1, -8, False), OverflowError, None),
    (("recv_reset", 1, "8", False), TypeError, "recv_reset() argument 'reason' must be int, not str"),
    (("recv_reset", 1, 8, 1), TypeError, None),
    (("recv_reset", 1.0, 8, False), TypeError, None),
    (("set_reset", 2**31, 8, "user"), ValueError, "stream id 2147483648 exceeds the maximum 2147483647"),
    (("set_reset", 1, 8, b"user"), TypeError, "set_reset() argument 'initiator' must be str, not bytes"),
    (("set_reset", 1, 8), TypeError, None),
    (("set_scheduled_reset", 2**32), OverflowError, None),
    (("set_scheduled_reset", None), TypeError, None),
    (("set_scheduled_reset",), TypeError, None),
    (("send_close", 1), TypeError, None),
])
def test_state_bad_arguments(call, exc, msg):
    s = make(OPEN_SA)
    op, *args = call
    with pytest.raises(exc) as ei:
        getattr(s, op)(*args)
    if msg is not None:
        assert str(ei.value) == msg
    assert repr(s) == OPEN_SA


def test_state_keywords_and_signatures():
    s = w.H2StreamState()
    assert s.recv_open(informational=True, eos=False) is True
    s.set_reset(stream_id=1, reason=8, initiator="user")
    assert repr(s) == RESET_USER
    with pytest.raises(TypeError):
        s.recv_reset(1, 8, queued=True, extra=1)
    assert w.H2StreamState.send_open.__text_signature__ == "($self, eos)"
    assert w.H2StreamState.recv_reset.__text_signature__ == "($self, stream_id, reason, queued)"
    assert w.H2StreamState.is_idle.__text_signature__ == "($self)"
    with pytest.raises(TypeError):
        w.H2StreamState(1)


# ---------------------------------------------------------------------------
# H2FlowControl

def win_msg(v):
    return f"window size {v} exceeds the maximum 2147483647 (RFC 9113 6.9.1)"


def flow_state(f):
    return (f.window_size(), f.available(), repr(f))


def test_flow_new_pair():
    f = w.H2FlowControl()
    assert (f.window_size(), f.available(), f.has_unavailable(), f.unclaimed_capacity()) == (0, 0, False, None)
    assert repr(f) == "FlowControl { window_size: Window(0), available: Window(0) }"


def test_flow_send_side():
    f = w.H2FlowControl()
    f.inc_window(65535)
    f.assign_capacity(65535)
    assert f.unclaimed_capacity() is None
    f.send_data(1000)
    assert (f.window_size(), f.available()) == (64535, 64535)


@pytest.mark.parametrize("released,expect", [(40000, 40000), (10000, None), (12767, 12767), (12766, None)])
def test_flow_receive_side_threshold(released, expect):
    f = w.H2FlowControl()
    f.inc_window(65535)
    f.assign_capacity(65535)
    f.send_data(40000)
    assert (f.window_size(), f.available()) == (25535, 25535)
    f.assign_capacity(released)
    assert f.unclaimed_capacity() == expect


def test_flow_overflow_keeps_value():
    f = w.H2FlowControl()
    f.inc_window(1)
    with pytest.raises(w.H2FlowControlError) as ei:
        f.inc_window(MAX_WIN)
    assert ei.value.args == (3,)
    assert f.window_size() == 1
    with pytest.raises(ValueError) as ei:
        f.inc_window(2**31)
    assert str(ei.value) == win_msg(2**31)
    assert f.window_size() == 1


def test_flow_negative_window():
    f = w.H2FlowControl()
    f.inc_window(65535)
    f.dec_send_window(70000)
    assert repr(f) == "FlowControl { window_size: Window(-4465), available: Window(0) }"
    assert f.window_size() == 0 and f.has_unavailable() is False
    # Negative window: any released capacity is reported at once.
    f.assign_capacity(1)
    assert f.unclaimed_capacity() == 4466
    with pytest.raises(ValueError) as ei:
        f.send_data(1)
    assert str(ei.value) == "data size 1 exceeds the send window 0"
    f.send_data(0)
    assert repr(f) == "FlowControl { window_size: Window(-4465), available: Window(1) }"


def test_flow_claim_below_zero():
    f = w.H2FlowControl()
    f.assign_capacity(5)
    f.claim_capacity(10)
    assert f.available() == -5
    f = w.H2FlowControl()
    f.claim_capacity(MAX_WIN)
    f.claim_capacity(1)
    assert f.available() == -(2**31)
    with pytest.raises(w.H2FlowControlError) as ei:
        f.claim_capacity(1)
    assert ei.value.args == (3,) and f.available() == -(2**31)


def test_flow_two_step_keeps_first_step():
    f = w.H2FlowControl()
    f.claim_capacity(MAX_WIN)
    f.claim_capacity(1)  # available at the bottom of the range
    with pytest.raises(w.H2FlowControlError):
        f.dec_recv_window(5)
    assert repr(f) == "FlowControl { window_size: Window(-5), available: Window(-2147483648) }"
    f.inc_window(100)
    with pytest.raises(w.H2FlowControlError):
        f.send_data(10)
    assert repr(f) == "FlowControl { window_size: Window(85), available: Window(-2147483648) }"


def test_flow_extreme_unclaimed_does_not_wrap():
    f = w.H2FlowControl()
    f.dec_send_window(MAX_WIN)
    f.dec_send_window(1)
    f.assign_capacity(MAX_WIN)
    assert f.unclaimed_capacity() == 2**32 - 1


@pytest.mark.parametrize("method", ["claim_capacity", "assign_capacity", "inc_window", "dec_send_window",
                                    "dec_recv_window", "send_data"])
@pytest.mark.parametrize("arg,exc,msg", [
    (2**31, ValueError, win_msg(2**31)),
    (2**32 - 1, ValueError, win_msg(2**32 - 1)),
    (2**32, OverflowError, None),
    (-1, OverflowError, None),
    ("1", TypeError, "{m}() argument '{a}' must be int, not str"),
    (1.5, TypeError, None),
])
def test_flow_bad_sizes(method, arg, exc, msg):
    f = w.H2FlowControl()
    f.inc_window(100)
    before = flow_state(f)
    with pytest.raises(exc) as ei:
        getattr(f, method)(arg)
    if msg is not None:
        a = "capacity" if "capacity" in method else "sz"
        assert str(ei.value) == msg.format(m=method, a=a)
    assert flow_state(f) == before


I32 = range(-(2**31), 2**31)


class FlowModel:
    """The pair with unbounded ints, mirroring the 32-bit checks."""

    def __init__(self):
        self.window = 0
        self.available = 0

    def _step(self, field, delta):
        v = getattr(self, field) + delta
        if v not in I32:
            raise w.H2FlowControlError(3)
        setattr(self, field, v)

    def apply(self, op, sz):
        if sz > MAX_WIN:
            raise ValueError(win_msg(sz))
        if op == "claim_capacity":
            self._step("available", -sz)
        elif op == "assign_capacity":
            self._step("available", sz)
        elif op == "inc_window":
            self._step("window", sz)
        elif op == "dec_send_window":
            self._step("window", -sz)
        elif op == "dec_recv_window":
            self._step("window", -sz)
            self._step("available", -sz)
        elif op == "send_data":
            if sz == 0:
                return
            if sz > max(self.window, 0):
                raise ValueError(f"data size {sz} exceeds the send window {max(self.window, 0)}")
            self._step("window", -sz)
            self._step("available", -sz)

    def unclaimed(self):
        if self.window >= self.available:
            return None
        unclaimed = self.available - self.window
        threshold = int(self.window / 2)
        return None if unclaimed < threshold else unclaimed


SIZES = st.one_of(
    st.integers(0, 70000),
    st.integers(MAX_WIN - 70000, MAX_WIN + 3),
    st.integers(0, MAX_WIN),
)
FLOW_OPS = st.sampled_from(["claim_capacity", "assign_capacity", "inc_window", "dec_send_window",
                            "dec_recv_window", "send_data"])


@settings(max_examples=400, deadline=None)
@given(st.lists(st.tuples(FLOW_OPS, SIZES), max_size=40))
def test_flow_against_model(ops):
    f, m = w.H2FlowControl(), FlowModel()
    for op, sz in ops:
        try:
            m.apply(op, sz)
            expected = None
        except Exception as e:  # noqa: BLE001
            expected = e
        if expected is None:
            assert getattr(f, op)(sz) is None
        else:
            with pytest.raises(type(expected)) as ei:
                getattr(f, op)(sz)
            assert ei.value.args == expected.args
        assert f.window_size() == max(m.window, 0)
        assert f.available() == m.available
        assert f.has_unavailable() == (m.window >= 0 and m.window > m.available)
        assert f.unclaimed_capacity() == m.unclaimed()
        assert repr(f) == (f"FlowControl {{ window_size: Window({m.window}), "
                           f"available: Window({m.available}) }}")


# ---------------------------------------------------------------------------
# H2ContentLength

def test_content_length_remaining():
    c = w.H2ContentLength()
    assert repr(c) == "Omitted"
    c.set(10)
    assert repr(c) == "Remaining(10)"
    assert c.dec(4) is True and c.is_satisfied() is False
    assert c.dec(6) is True and c.is_satisfied() is True
    assert c.dec(1) is False and repr(c) == "Remaining(0)"
    assert c.dec(0) is True
    c.set(3)
    assert c.dec(4) is False and repr(c) == "Remaining(3)"
    assert c.is_head() is False


@pytest.mark.parametrize("make_head", [lambda: w.H2ContentLength(is_head=True), lambda: w.H2ContentLength(True)])
def test_content_length_head(make_head):
    c = make_head()
    c.set(100)
    assert repr(c) == "Head" and c.is_head() is True
    assert c.dec(0) is True and c.dec(1) is False
    assert c.is_satisfied() is True


def test_content_length_omitted_and_extremes():
    c = w.H2ContentLength(is_head=False)
    assert all(c.dec(n) for n in (0, 1, 2**64 - 1)) and c.is_satisfied()
    c.set(2**64 - 1)
    assert c.dec(2**64 - 1) is True and c.is_satisfied()
    assert c.dec(1) is False


@pytest.mark.parametrize("call,exc", [
    (lambda c: c.set(-1), OverflowError),
    (lambda c: c.set(2**64), OverflowError),
    (lambda c: c.dec(2**64), OverflowError),
    (lambda c: c.dec("1"), TypeError),
    (lambda c: c.set(None), TypeError),
    (lambda c: w.H2ContentLength(is_head=1), TypeError),
    (lambda c: w.H2ContentLength(is_head=None), TypeError),
    (lambda c: w.H2ContentLength(True, True), TypeError),
    (lambda c: w.H2ContentLength(head=True), TypeError),
])
def test_content_length_bad_arguments(call, exc):
    c = w.H2ContentLength()
    c.set(5)
    with pytest.raises(exc):
        call(c)
    assert repr(c) == "Remaining(5)"


# ---------------------------------------------------------------------------
# H2DataFrameBudget

def calm(exc_info):
    assert type(exc_info.value) is w.H2ProtocolError
    assert exc_info.value.args == (11, "too_many_data_frames")


@pytest.mark.parametrize("kwargs,budget", [
    ({}, 32767),
    ({"connection_window": 51200}, 25600),
    ({"connection_window": 0}, 25600),
    ({"connection_window": 1000000}, 500000),
    ({"connection_window": 2**32 - 1}, 2**31 - 1),
    ({"configured": 10}, 10),
    ({"configured": 10, "connection_window": 1000000}, 10),
    ({"configured": 0}, 0),
    ({"configured": 2**64 - 1}, 2**64 - 1),
    ({"configured": None, "connection_window": None}, 32767),
])
def test_budget_size(kwargs, budget):
    b = w.H2DataFrameBudget(**kwargs)
    assert b.available == budget and b.empty_frames == 0
    assert repr(b) == f"DataFrameBudget {{ configured: {budget}, available: {budget}, empty_frames: 0 }}"


def test_budget_positional_arguments():
    assert w.H2DataFrameBudget(None, 1000000).available == 500000
    assert w.H2DataFrameBudget(7).available == 7


def test_budget_101st_small_frame():
    b = w.H2DataFrameBudget(connection_window=51200)
    assert [b.record(1) for _ in range(100)] == [255] * 100
    assert b.available == 100
    with pytest.raises(w.H2ProtocolError) as ei:
        b.record(1)
    calm(ei)
    assert b.available == 100
    b.release(255)
    assert b.record(1) == 255


def test_budget_earn_is_capped():
    b = w.H2DataFrameBudget(connection_window=51200)
    assert b.record(1000) == 0 and b.available == 25600
    assert b.record(255) == 1 and b.available == 25599
    assert b.record(256) == 0 and b.available == 25599
    assert b.record(1000) == 0 and b.available == 25600
    b.record(100)
    b.record(2**64 - 1)
    assert b.available == 25600
    b.record(100)
    b.release(2**64 - 1)
    assert b.available == 25600


def test_budget_101st_empty_frame():
    b = w.H2DataFrameBudget(configured=0)
    assert [b.record(0) for _ in range(100)] == [0] * 100
    assert b.empty_frames == 100
    with pytest.raises(w.H2ProtocolError) as ei:
        b.record(0)
    calm(ei)
    assert b.empty_frames == 101
    with pytest.raises(w.H2ProtocolError):
        b.record(0)
    assert b.empty_frames == 102
    # Releasing budget does not forgive empty frames.
    b.release(1000)
    with pytest.raises(w.H2ProtocolError):
        b.record(0)


class BudgetModel:
    def __init__(self, configured):
        self.configured = self.available = configured
        self.empty = 0

    def record(self, n):
        if n == 0:
            self.empty += 1
            if self.empty - 1 >= 100:
                raise w.H2ProtocolError(11, "too_many_data_frames")
            return 0
        if n >= 256:
            self.available = min(self.configured, self.available + n - 256)
            return 0
        charge = 256 - n
        if self.available < charge:
            raise w.H2ProtocolError(11, "too_many_data_frames")
        self.available -= charge
        return charge

    def release(self, charge):
        self.available = min(self.configured, self.available + charge)
        return None


@settings(max_examples=300, deadline=None)
@given(st.integers(0, 3000),
       st.lists(st.tuples(st.sampled_from(["record", "release"]),
                          st.one_of(st.integers(0, 300), st.integers(0, 2**64 - 1))), max_size=150))
def test_budget_against_model(configured, ops):
    b, m = w.H2DataFrameBudget(configured=configured), BudgetModel(configured)
    for op, n in ops:
        try:
            expected = getattr(m, op)(n)
            err = None
        except w.H2ProtocolError as e:
            err = e
        if err is None:
            assert getattr(b, op)(n) == expected
        else:
            with pytest.raises(w.H2ProtocolError) as ei:
                getattr(b, op)(n)
            assert ei.value.args == err.args
        assert (b.available, b.empty_frames) == (m.available, m.empty)


@pytest.mark.parametrize("call,exc", [
    (lambda: w.H2DataFrameBudget(configured=-1), OverflowError),
    (lambda: w.H2DataFrameBudget(configured=2**64), OverflowError),
    (lambda: w.H2DataFrameBudget(connection_window=2**32), OverflowError),
    (lambda: w.H2DataFrameBudget(connection_window="1"), TypeError),
    (lambda: w.H2DataFrameBudget(configured=1.0), TypeError),
    (lambda: w.H2DataFrameBudget(1, 2, 3), TypeError),
    (lambda: w.H2DataFrameBudget().record(-1), OverflowError),
    (lambda: w.H2DataFrameBudget().record(2**64), OverflowError),
    (lambda: w.H2DataFrameBudget().record(b"x"), TypeError),
    (lambda: w.H2DataFrameBudget().release(-1), OverflowError),
    (lambda: w.H2DataFrameBudget().release(None), TypeError),
])
def test_budget_bad_arguments(call, exc):
    with pytest.raises(exc):
        call()


def test_budget_attributes_read_only():
    b = w.H2DataFrameBudget()
    with pytest.raises(AttributeError):
        b.available = 5
    with pytest.raises(AttributeError):
        b.empty_frames = 5


# ---------------------------------------------------------------------------
# Class rules shared by the five classes

CLASSES = ["H2StreamState", "H2FlowControl", "H2ContentLength", "H2DataFrameBudget", "H2Reason"]


@pytest.mark.parametrize("name", CLASSES)
def test_class_rules(name):
    cls = getattr(w, name)
    assert f"{cls.__module__}.{cls.__qualname__}" == f"wirelet._wirelet.{name}"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1
    obj = cls(0) if cls is H2Reason else cls()
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "__dict__")


def test_module_order():
    names = list(vars(w))
    i = names.index("H2StreamState")
    assert names[i:i + 4] == CLASSES[:4]
    j = names.index("H2Reason")
    assert names[j - 1] == "H2FlowControlError"
    assert names[j + 1] == "H2_DEFAULT_HEADER_TABLE_SIZE"


def test_no_leaks():
    s, f = w.H2StreamState(), w.H2FlowControl()
    b, c = w.H2DataFrameBudget(configured=0), w.H2ContentLength()

    def work():
        for call in (lambda: make(SCHEDULED).ensure_recv_open(), lambda: make(IO).ensure_recv_open(),
                     lambda: make(RESET_USER).ensure_recv_open(), lambda: s.recv_close(),
                     lambda: f.inc_window(2**31), lambda: f.claim_capacity(MAX_WIN) or f.claim_capacity(MAX_WIN),
                     lambda: b.record(1), lambda: s.set_reset(1, 8, "x\u200b"), lambda: H2Reason(99)):
            try:
                call()
            except Exception:  # noqa: BLE001
                pass
        repr(s), repr(f), repr(b), repr(c), f.unclaimed_capacity(), s.get_scheduled_reset()
        H2Reason.CANCEL == 8, hash(H2Reason(3))

    for _ in range(200):
        work()
    before = sys.getallocatedblocks()
    for _ in range(3000):
        work()
    assert sys.getallocatedblocks() - before < 200


@pytest.mark.parametrize("name", CLASSES[:4])
def test_method_signatures(name):
    cls = getattr(w, name)
    methods = [m for m in vars(cls) if not m.startswith("_") and callable(getattr(cls, m))]
    assert methods
    for m in methods:
        assert getattr(cls, m).__text_signature__.startswith("($self"), m


def test_concurrent_updates_are_atomic():
    import threading

    f, b = w.H2FlowControl(), w.H2DataFrameBudget(configured=10**9)

    def worker():
        for _ in range(5000):
            f.assign_capacity(3)
            f.claim_capacity(1)
            b.release(b.record(1))

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert f.available() == 4 * 5000 * 2
    assert b.available == 10**9
