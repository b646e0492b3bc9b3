import gc
import itertools
import sys
import threading
import weakref

import pytest

from wirelet import _wirelet as w
from wirelet._wirelet import H1ClientState


class Token:
    """A weak-referenceable stand-in for transports, events, handles."""

    def __init__(self, name="t"):
        self.name = name

    def __repr__(self):
        return f"Token({self.name})"


def fresh():
    t = Token("transport")
    return H1ClientState(t), t


def test_initial_state_and_repr():
    s, t = fresh()
    assert repr(s) == "H1ClientState(closed=false, failed=false, busy=false, exchange_active=false, watcher=false)"
    assert (s.closed, s.busy, s.upgraded, s.peer_http10, s.writer_finished, s.has_watcher, s.error) == (
        False, False, False, False, False, False, None)
    assert s.transport_ref() is t and s.is_dead() is False


def test_exchange_slot():
    s, _ = fresh()
    assert s.try_begin_exchange() is True
    assert s.try_begin_exchange() is False
    assert s.busy is True
    assert s.end_exchange() is True
    assert s.end_exchange() is False
    assert s.try_begin_exchange() is True


def test_fail_keeps_first_error_and_returns_transport_once():
    s, t = fresh()
    e1, e2 = ValueError("first"), ValueError("second")
    assert s.fail(e1) is t
    assert s.fail(e2) is None
    assert s.error is e1 and s.is_dead() and s.closed
    assert s.transport_ref() is None
    assert s.arm_watcher(Token()) is False


def test_fail_without_exception_closes_only():
    s, t = fresh()
    assert s.fail() is t and s.error is None and s.is_dead()


def test_upgrade_hands_off_for_good():
    s, t = fresh()
    assert s.upgrade() is t
    assert s.upgraded and s.closed
    assert s.close_now() is None and s.fail(ValueError()) is None
    assert s.mark_closed()[0] is None and s.upgrade() is None


def test_watcher_arming_rules():
    s, _ = fresh()
    done = Token("done")
    assert s.arm_watcher(done) is True
    assert s.arm_watcher(Token()) is False  # a slot already exists
    assert s.has_watcher and s.watcher_done() is done
    s2, _ = fresh()
    s2.close_now()
    assert s2.arm_watcher(done) is False


def test_watcher_handle_store_and_refusal():
    s, _ = fresh()
    h1, h2 = Token("h1"), Token("h2")
    assert s.store_watcher_handle(h1) is h1  # no slot yet
    s.arm_watcher(Token())
    assert s.store_watcher_handle(h1) is None
    assert s.store_watcher_handle(h2) is h2
    assert s.take_watcher_handle() is h1
    assert s.take_watcher_handle() is None
    s.mark_closed()
    assert s.store_watcher_handle(h2) is h2


def test_idle_eof_closes_and_returns_transport_once():
    s, t = fresh()
    s.arm_watcher(Token())
    assert s.watcher_completed(b"") == (w.H1_WATCH_IDLE_EOF, t)
    assert s.closed
    assert s.watcher_completed(b"") == (w.H1_WATCH_IDLE_EOF, None)
    assert s.watcher_completed(None) == (w.H1_WATCH_IDLE_EOF, None)


@pytest.mark.parametrize(
    "setup, args, expected",
    [
        ("none", (b"x",), w.H1_WATCH_IGNORED),
        ("idle", (b"x",), w.H1_WATCH_IDLE_BYTES),
        ("idle", (None, OSError("reset")), w.H1_WATCH_IDLE_ERROR),
        ("idle-closed", (None, OSError("reset")), w.H1_WATCH_IGNORED),
        ("active", (b"x",), w.H1_WATCH_HANDOFF),
        ("active", (b"",), w.H1_WATCH_HANDOFF),
        ("active", (None, OSError("reset")), w.H1_WATCH_HANDOFF),
    ],
)
def test_watcher_verdicts(setup, args, expected):
    s, t = fresh()
    if setup != "none":
        s.arm_watcher(Token())
    if setup == "idle-closed":
        assert s.close_now() is t
    if setup == "active":
        s.try_begin_exchange()
        s.exchange_started()
    verdict, transport = s.watcher_completed(*args)
    assert verdict == expected and transport is None
    assert s.closed == (setup == "idle-closed")


def test_handoff_result_taken_by_exchange():
    s, _ = fresh()
    s.arm_watcher(Token())
    s.try_begin_exchange()
    s.exchange_started()
    h = Token("h")
    s.store_watcher_handle(h)
    assert s.watcher_completed(b"x") == (w.H1_WATCH_HANDOFF, None)
    assert s.take_watcher_result() == (b"x", None)
    assert s.has_watcher  # handle not joined yet: slot kept for close()
    assert s.take_watcher_handle() is h
    assert s.take_watcher_result() == (None, None)
    assert not s.has_watcher
    assert s.arm_watcher(Token()) is True


def test_watcher_aborted_and_data_type():
    s, _ = fresh()
    s.watcher_aborted()
    s.arm_watcher(Token())
    s.watcher_aborted()
    with pytest.raises(TypeError, match="data"):
        s.watcher_completed("text")
    with pytest.raises(TypeError, match="value"):
        s.set_peer_http10(1)
    s.set_peer_http10(True)
    assert s.peer_http10 is True


def test_writer_scope():
    s, _ = fresh()
    a, b = Token("a"), Token("b")
    assert s.store_writer(a) is None
    assert s.store_writer(b) is None  # replaces a
    s.writer_done()
    assert s.writer_finished
    assert s.take_writer() is b and s.take_writer() is None
    s.store_writer(a)
    t, done, writer, idle = s.mark_closed()
    assert writer is a and idle is True
    assert s.store_writer(b) is b
    assert s.try_begin_exchange() is True  # does not look at closed


def test_mark_closed_reports_busy_and_done_event():
    s, t = fresh()
    done = Token("done")
    s.arm_watcher(done)
    s.try_begin_exchange()
    assert s.mark_closed() == (t, done, None, False)


CLOSERS = {
    "fail": lambda s: s.fail(ValueError("x")),
    "close_now": lambda s: s.close_now(),
    "mark_closed": lambda s: s.mark_closed()[0],
    "upgrade": lambda s: s.upgrade(),
    "idle_eof": lambda s: (s.arm_watcher(Token()), s.watcher_completed(b""))[1][1],
}


@pytest.mark.parametrize("first, second", list(itertools.product(CLOSERS, repeat=2)))
def test_transport_handed_back_exactly_once(first, second):
    s, t = fresh()
    got = [CLOSERS[first](s), CLOSERS[second](s)]
    assert [x for x in got if x is not None] == [t]
    assert s.transport_ref() is None


def test_references_released():
    t, done, handle, err, scope = Token(), Token(), Token(), ValueError("x"), Token()
    refs = [weakref.ref(o) for o in (t, done, handle, scope)]
    s = H1ClientState(t)
    s.arm_watcher(done)
    s.store_watcher_handle(handle)
    s.store_writer(scope)
    s.fail(err)
    base = sys.getrefcount(err)
    for _ in range(1000):
        s.error
    assert sys.getrefcount(err) == base
    del t, done, handle, scope
    assert all(r() is not None for r in refs[1:])
    del s
    assert all(r() is None for r in refs)


def test_cycle_through_subclass_is_collected():
    class Conn(H1ClientState):
        pass

    t = Token()
    c = Conn(t)
    t.conn = c  # transport -> state -> transport
    c.extra = c
    r = weakref.ref(c)
    del c, t
    gc.collect()
    assert r() is None


def test_subclass_allowed_base_frozen():
    class Conn(H1ClientState):
        pass

    c = Conn(Token())
    c.anything = 1
    with pytest.raises(AttributeError):
        H1ClientState(Token()).anything = 1
    with pytest.raises(AttributeError):
        c.closed = True


def test_threads_hand_back_transport_at_most_once():
    for _ in range(20):
        s, t = fresh()
        got = []
        lock = threading.Lock()
        ops = [s.close_now, lambda: s.fail(ValueError()), lambda: s.mark_closed()[0], s.upgrade,
               lambda: s.watcher_completed(b"")[1]]
        s.arm_watcher(Token())
        barrier = threading.Barrier(len(ops))

        def run(op):
            barrier.wait()
            for _ in range(50):
                s.try_begin_exchange()
                r = op()
                s.end_exchange()
                if r is not None:
                    with lock:
                        got.append(r)

        threads = [threading.Thread(target=run, args=(op,)) for op in ops]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        assert got == [t]
