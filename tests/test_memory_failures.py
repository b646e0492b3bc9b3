"""Running out of memory raises MemoryError and changes nothing.

Each case runs in a child process whose address space is capped just above
what it already uses, so the operation's next large allocation fails. A
C++ exception reaching the interpreter would abort the child.
"""

import os
import subprocess
import sys
import textwrap

import pytest

from conftest import SANITIZED

pytestmark = pytest.mark.skipif(SANITIZED, reason="address-space limits and the sanitizer's shadow memory clash")

PRELUDE = """
import resource
import wirelet._wirelet as w
N = 64 << 20
big = b"x" * N
_, HARD = resource.getrlimit(resource.RLIMIT_AS)

def vm():
    for line in open("/proc/self/status"):
        if line.startswith("VmSize:"):
            return int(line.split()[1]) * 1024

def fails(f):
    resource.setrlimit(resource.RLIMIT_AS, (vm() + N // 2, HARD))
    try:
        f()
    except MemoryError:
        return True
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (HARD, HARD))
    return False
"""

CASES = {
    "headermap_add_huge_value": """
        m = w.HeaderMap([("a", "1")])
        assert fails(lambda: m.add("b", big))
        assert m.items() == [("a", b"1")] and len(m) == 1
        m.add("b", big)
        assert len(m.get("b")) == N
    """,
    "headermap_from_a_long_list": """
        pairs = [(b"a", b"b")] * (N // 8)
        fails(lambda: w.HeaderMap(pairs))  # either outcome, but no abort
    """,
    "codec_take_body_into": """
        codec = w.H1Codec()
        codec.feed(big)
        dec = w.H1BodyDecoder("close")
        dec.feed(b"y")
        assert fails(lambda: codec.take_body_into(dec))
        assert codec.buffered() == N and dec.buffered == 1
        codec.take_body_into(dec)
        assert codec.buffered() == 0 and dec.buffered == N + 1
    """,
    "codec_take_body": """
        codec = w.H1Codec()
        codec.feed(big)
        assert fails(codec.take_body)
        assert codec.buffered() == N
    """,
    "server_detach": """
        s = w.H1ServerState(w.H1Codec(), "t")
        head, seq, dec = s.accept_head(b"GET / HTTP/1.1\\r\\nhost: a\\r\\n\\r\\n")
        s.codec.feed(big)
        assert fails(lambda: s.detach(seq))
        assert s.codec.buffered() == N and not s.closed
        code, t, leftover = s.detach(seq)
        assert (code, t, len(leftover)) == (w.H1_REQ_OK, "t", N)
    """,
    "server_moves_pipelined_bytes_back": """
        s = w.H1ServerState(w.H1Codec(), "t")
        head, seq, dec = s.accept_head(b"GET / HTTP/1.1\\r\\nhost: a\\r\\n\\r\\n" + big)
        assert dec.buffered == N
        s.codec.feed(b"later")
        s.respond_head(seq, 200, None, None, content_length=0)
        s.finish_response(seq)
        assert fails(s.begin_read)
        assert dec.buffered == N and s.codec.buffered() == 5
        assert s.begin_read() == (w.H1_READ_PARSE, None)
        rest = s.codec.take_body()
        assert len(rest) == N + 5 and rest.endswith(b"xlater")  # older bytes first
    """,
    "decoder_decode": """
        dec = w.H1BodyDecoder("length", N + 1)
        dec.feed(b"y")
        dec.feed(big)  # copied: a piece that is not one fed object
        assert fails(dec.decode)
        assert dec.buffered == N + 1
        assert len(dec.decode()) == N + 1
    """,
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_out_of_memory_raises_and_keeps_state(case):
    code = PRELUDE + textwrap.dedent(CASES[case]) + "\nprint('ok')\n"
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                       env=os.environ.copy())
    assert r.returncode == 0 and r.stdout.strip() == "ok", (r.returncode, r.stderr[-2000:])


@pytest.mark.parametrize("cls", ["H1ClientState", "H1ServerState"])
def test_a_long_chain_of_states_frees_without_overflowing_the_stack(cls):
    make = "w.H1ClientState(s)" if cls == "H1ClientState" else "w.H1ServerState(w.H1Codec(), s)"
    code = f"""
import wirelet._wirelet as w
s = None
for _ in range(200_000):
    s = {make}
del s
print("ok")
"""
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300,
                       env=os.environ.copy())
    assert r.returncode == 0 and r.stdout.strip() == "ok", (r.returncode, r.stderr[-2000:])
