"""Chunked request bodies from Python: H1Codec + H1BodyDecoder against
httptools, on the same wire bytes delivered in 64 KiB reads (what a socket
read typically hands over). Both sides parse the head, then hand every
piece of body data to Python and read its length.

Bodies of 1 KiB to 16 MiB, in chunks of 4 KiB and of 64 KiB.

    python bench/h1_body.py [--quick]
"""
import _timing

_timing.use_dev_build()

import httptools  # noqa: E402

from wirelet import _wirelet as w  # noqa: E402

from h1_parse import Collector  # noqa: E402

HEAD = b"POST /upload HTTP/1.1\r\nHost: www.example.com\r\nTransfer-Encoding: chunked\r\n\r\n"
READ = 65536


def wire(body_size, chunk):
    out = [HEAD]
    left = body_size
    i = 0
    while left:
        n = min(chunk, left)
        out.append(b"%x\r\n" % n + bytes([97 + i % 26]) * n + b"\r\n")
        left -= n
        i += 1
    out.append(b"0\r\n\r\n")
    data = b"".join(out)
    return [data[i:i + READ] for i in range(0, len(data), READ)]


def ours(reads, size):
    codec = w.H1Codec()
    recv = codec.receive_request_head
    Decoder = w.H1BodyDecoder
    first, rest = reads[0], reads[1:]

    def run(n):
        for _ in range(n):
            h = recv(first)
            dec = Decoder(h.body_kind, 0)
            codec.take_body_into(dec)
            got = 0
            decode = dec.decode
            while (d := decode()) is not None:
                got += len(d)
            for r in rest:
                dec.feed(r)
                while (d := decode()) is not None:
                    got += len(d)
            assert got == size and dec.is_complete
            codec.reset()
    return run


def theirs(reads, size):
    c = Collector()
    p = httptools.HttpRequestParser(c)
    feed = p.feed_data

    def run(n):
        for _ in range(n):
            c.headers = []  # one message's headers, not a list growing over the run
            c.body = 0
            for r in reads:
                feed(r)
            assert c.body == size
    return run


SIZES = (1024, 65536, 1 << 20, 16 << 20)
CHUNKS = (4096, 65536)


def bench(quick=False):
    rows = []
    for chunk in CHUNKS:
        for size in SIZES[:3] if quick else SIZES:
            reads = wire(size, chunk)
            r = _timing.compare(ours(reads, size), theirs(reads, size), 3 if quick else 5,
                                0.01 if quick else 0.03)
            label = f"{size >> 10} KiB body" if size < 1 << 20 else f"{size >> 20} MiB body"
            rows.append(_timing.row(f"chunked body, {chunk >> 10} KiB chunks, vs httptools", label, r, 1.2,
                                    "httptools"))
    return rows


if __name__ == "__main__":
    _timing.main_of(bench)
