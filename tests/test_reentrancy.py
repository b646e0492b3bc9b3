"""No Python code runs while an object's internal lock is held.

An allocation may start the garbage collector, whose finalizers may call
back into the very object being used; Python code in an overridden
exception initializer may do the same. Each case runs in a child process
under a watchdog, so a deadlock fails the test instead of hanging the
suite.
"""

import os
import subprocess
import sys
import textwrap

import pytest

# (setup, call): setup builds `obj`; call(obj) is a call that builds
# garbage-collected results or raises. The finalizer makes the same call.
CASES = {
    "headermap_items": ("obj = w.HeaderMap([('a', 'x'), ('b', 'y'), ('a', 'z')])", "obj.items()"),
    "headermap_raw_items": ("obj = w.HeaderMap([('a', 'x')])", "obj.raw_items()"),
    "headermap_keys_values": ("obj = w.HeaderMap([('a', 'x')])", "(obj.keys(), obj.values())"),
    "headermap_get_all": ("obj = w.HeaderMap([('a', 'x'), ('a', 'y')])", "obj.get_all('a')"),
    "headermap_iter_repr": ("obj = w.HeaderMap([('a', 'x')])", "(list(obj), repr(obj))"),
    "h1codec_parse_failure": ("obj = w.H1Codec()", "obj.receive_head(b'garbage\\r\\n\\r\\n')"),
    "h1codec_serialize_failure": ("obj = w.H1Codec()", "obj.serialize_request('GET', 'http://[/', None)"),
    "h1codec_end_failure": (
        "obj = w.H1Codec()",
        "(obj.serialize_request('POST', '/', None, content_length=5), obj.serialize_end())",
    ),
    "h1body_decode": (
        "obj = w.H1BodyDecoder('chunked')",
        "(obj.feed(b'zz\\r\\n'), obj.decode())",
    ),
    "h1client_calls": (
        "obj = w.H1ClientState(object())",
        "(obj.mark_closed(), obj.take_watcher_result(), obj.watcher_completed(b''), repr(obj))",
    ),
    "h1server_accept_failure": (
        "obj = w.H1ServerState(w.H1Codec(), object())",
        "obj.accept_head(b'bad request line\\r\\n\\r\\n')",
    ),
    "h1server_respond": (
        "obj = w.H1ServerState(w.H1Codec(), object())\n"
        "obj.accept_head(b'GET / HTTP/1.1\\r\\nhost: a\\r\\n\\r\\n')\n"
        "hm = w.HeaderMap([('a', 'b')])",
        "(obj.respond_head(1, 200, hm, None, content_length=0),"
        " obj.finish_response(1), obj.detach(1), obj.begin_read())",
    ),
    "h2codec_receive": (
        "obj = w.H2Codec(role='server')\nobj.feed_preface(w.H2_PREFACE)",
        "obj.receive(obj.serialize_settings(max_frame_size=16384) + obj.serialize_ping(b'12345678'))",
    ),
    "h2codec_serialize": (
        "obj = w.H2Codec()",
        "obj.serialize_request_headers(1, 'GET', 'https://a/', w.HeaderMap([('x', 'y')]))",
    ),
    "h2_stream_primitives": (
        "obj = (w.H2StreamState(), w.H2FlowControl(), w.H2ContentLength(), w.H2DataFrameBudget())",
        "[repr(o) for o in obj] + [obj[1].window_size(), obj[3].available]",
    ),
}

SCRIPT = """
import gc, sys, threading, time
import wirelet._wirelet as w
{setup}
def call():
    try:
        return {call}
    except Exception:
        return None
SLEEP = {sleep}
ran = []
class Finalizer:
    def __init__(self):
        self.cycle = self
    def __del__(self):
        if SLEEP:
            time.sleep(0.02)  # releases the interpreter lock
        call()
        ran.append(1)
stop = False
def other():
    while not stop:
        call()
if {threads}:
    t = threading.Thread(target=other)
    t.start()
for _ in range(20):
    gc.collect()
    gc.disable()
    Finalizer()
    gc.set_threshold(1)  # the next tracked allocation collects
    gc.enable()
    call()
    gc.disable()
stop = True
if {threads}:
    t.join()
gc.enable()
gc.collect()
assert ran, "the finalizer never ran"
print("ok")
"""


def run_child(code: str) -> None:
    try:
        r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30,
                           env=os.environ.copy())
    except subprocess.TimeoutExpired:
        pytest.fail("deadlock: the child process hung")
    assert r.returncode == 0 and r.stdout.strip().endswith("ok"), r.stderr[-2000:]


@pytest.mark.parametrize("threads", [False, True], ids=["same-thread", "two-threads"])
@pytest.mark.parametrize("case", sorted(CASES))
def test_finalizer_calling_back_during_a_call_finishes(case, threads):
    setup, call = CASES[case]
    run_child(SCRIPT.format(setup=setup, call=call, sleep=threads, threads=threads))


def test_overridden_exception_init_runs_outside_the_lock():
    run_child(textwrap.dedent("""
        import wirelet._wirelet as w
        codec = w.H1Codec()
        server = w.H1ServerState(w.H1Codec(), object())
        seen = []
        def init(self, *args):
            seen.append((codec.buffered(), server.current_seq))  # re-enter both objects
            Exception.__init__(self, *args)
        w.H1ParseError.__init__ = init
        for call in (lambda: codec.receive_head(b"garbage\\r\\n\\r\\n"),
                     lambda: server.accept_head(b"bad request line\\r\\n\\r\\n")):
            try:
                call()
            except w.H1ParseError:
                pass
        assert len(seen) == 2, seen
        print("ok")
    """))


def test_head_parsed_by_a_finalizer_inside_a_parse_keeps_both_results_apart():
    # The bytes a codec borrowed are released inside its next parse, after
    # the head is read and before its objects are built; their finalizer
    # parses other heads meanwhile.
    import wirelet._wirelet as w

    inner = []

    class Data(bytes):
        def __del__(self):
            h = w.H1Codec().receive_request_head(b"PUT /inner HTTP/1.1\r\nx-inner: 1\r\n\r\n")
            inner.append((h.method, h.target, h.headers.items()))

    for i in range(3):
        c = w.H1Codec()
        wire = b"GET /a HTTP/1.1\r\nx-a: 1\r\n\r\nPOST /b%d HTTP/1.1\r\nx-b: %d\r\n\r\n" % (i, i)
        first = c.receive_request_head(Data(wire))
        second = c.receive_request_head(b"")
        assert len(inner) == i + 1
        assert (first.method, first.target, first.headers.items()) == ("GET", "/a", [("x-a", b"1")])
        assert (second.method, second.target, second.headers.items()) == ("POST", f"/b{i}", [("x-b", b"%d" % i)])
    assert inner == [("PUT", "/inner", [("x-inner", b"1")])] * 3


# (setup, call): call() builds a result list whose every item allocates.
LISTS = {
    "items": (
        "wire = b'GET / HTTP/1.1\\r\\n' + b''.join(b'x-n%d: v%d\\r\\n' % (i, i) for i in range(100)) + b'\\r\\n'\n"
        "def call():\n"
        "    m = w.H1Codec(max_headers=200).receive_request_head(wire).headers\n"
        "    return m.items(), m.raw_items()",
        "got[-1][0][7] == ('x-n7', b'v7')",
    ),
    "h2_fail": (
        "def call():\n"
        "    e = w.H2Streams('client', initial_window_size=65535, connection_window=65535, max_frame_size=16384,\n"
        "                    max_header_list_size=65536, max_send_buf_size=65536)\n"
        "    e.begin()\n"
        "    for _ in range(100):\n"
        "        e.open_stream('GET', 'https://a.example/', None, True, False, object())\n"
        "    return e.fail()",
        "len(got[-1]) == 100 and type(got[-1][7][1]) is w.H2Stopped",
    ),
}


@pytest.mark.parametrize("case", sorted(LISTS))
def test_collection_inside_a_list_build_reads_only_filled_items(case):
    # A collection started by an allocation while a result list is filled
    # may run Python code (here a collector callback) that reaches the list.
    setup, check = LISTS[case]
    run_child(textwrap.dedent("""
        import gc
        import wirelet._wirelet as w
    """) + setup + textwrap.dedent(f"""
        def walk(phase, info):
            for o in gc.get_objects():
                if type(o) is list:
                    [type(x) for x in o]  # reads every item
        gc.callbacks.append(walk)
        gc.set_threshold(1, 1, 1)
        got = [call() for _ in range(3)]  # each kept: the next call makes new pairs
        gc.callbacks.remove(walk)
        assert {check}
        print("ok")
    """))
