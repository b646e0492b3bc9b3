"""Header blocks through H2Codec against the pure-Python hpack package.

Every story of the raw-data corpus (hpack-test-case), in order and each with
its own compression context, is encoded (H2Codec.serialize_request_headers /
serialize_response_headers, with the HeaderMap built from the story's list
inside the timing, against hpack.Encoder.encode of the same list) and decoded
(H2Codec.receive of the HEADERS frames, reading the pseudo-header attributes
and every (name, value) of the HeaderMap, against hpack.Decoder.decode of the
same blocks, reading every field). Fields an HTTP/2 sender must not send
(connection, keep-alive, transfer-encoding, ...) are dropped first, so both
decoders accept every block.

    python bench/h2_hpack.py [--quick]
"""
import json
import os

import hpack

import _timing

_timing.use_dev_build()

from wirelet import _wirelet as w  # noqa: E402

DATA = os.environ.get("WIRELET_DATA_DIR", os.path.join(_timing.ROOT, "tests", "data"))
RAW = os.path.join(DATA, "hpack-test-case", "raw-data")
DROP = {"connection", "keep-alive", "transfer-encoding", "upgrade", "proxy-connection"}


def load():
    stories = []
    for name in sorted(os.listdir(RAW)):
        if not name.endswith(".json"):
            continue
        with open(os.path.join(RAW, name)) as f:
            story = json.load(f)
        sets = []
        for case in story["cases"]:
            fields = [next(iter(h.items())) for h in case["headers"]]
            fields = [(n, v) for n, v in fields if n not in DROP and not (n == "te" and v != "trailers")]
            pseudo = dict(f for f in fields if f[0].startswith(":"))
            regular = [f for f in fields if not f[0].startswith(":")]
            sid = 2 * len(sets) + 1
            # Each side's input in the form its API takes: our serializer
            # arguments (the status as an int), hpack's ordered list.
            if ":status" in pseudo:
                ordered = [(":status", pseudo[":status"])] + regular
                args = (sid, int(pseudo[":status"]), None, None, None, None)
            else:
                ordered = [(n, pseudo[n]) for n in (":method", ":scheme", ":authority", ":path")] + regular
                args = (sid, None, pseudo[":method"], pseudo[":path"], pseudo[":scheme"], pseudo[":authority"])
            sets.append((args, regular, ordered))
        stories.append(sets)
    return stories


def ours_encode(stories):
    HeaderMap, H2Codec = w.HeaderMap, w.H2Codec
    out = []
    for sets in stories:
        c = H2Codec()
        req, resp = c.serialize_request_headers, c.serialize_response_headers
        out.append([resp(sid, status, HeaderMap(regular)) if status else
                    req(sid, method, path, HeaderMap(regular), scheme=scheme, authority=authority)
                    for (sid, status, method, path, scheme, authority), regular, _ in sets])
    return out


def ref_encode(stories):
    out = []
    for sets in stories:
        e = hpack.Encoder()
        out.append([e.encode(ordered) for _, _, ordered in sets])
    return out


def ours_decode(frames):
    n = 0
    for story in frames:
        c = w.H2Codec("server")
        for f in story:
            for h in c.receive(f):
                h.method, h.scheme, h.authority, h.path, h.status
                for _name, _value in h.headers.items():
                    n += 1
    return n


def ref_decode(blocks):
    n = 0
    for story in blocks:
        d = hpack.Decoder()
        for b in story:
            for _name, _value in d.decode(b):
                n += 1
    return n


def repeat(fn, arg):
    def run(k):
        for _ in range(k):
            fn(arg)
    return run


def bench(quick=False):
    stories = load()
    if quick:
        stories = stories[::4]
    frames = ours_encode(stories)
    blocks = [[f[9:] for f in story] for story in frames]  # every block fits one frame
    assert all(len(f) - 9 == int.from_bytes(f[:3], "big") for s in frames for f in s)
    # Both decoders read the same blocks and agree on their fields.
    for sets, story in zip(stories, blocks):
        d = hpack.Decoder()
        for (_, _, ordered), b in zip(sets, story):
            assert sorted(d.decode(b)) == sorted(ordered)
    nblocks = sum(len(s) for s in stories)
    rounds = 3 if quick else 5
    rows = []
    r = _timing.compare(repeat(ours_encode, stories), repeat(ref_encode, stories), rounds, 0.05)
    rows.append(_timing.row("HPACK encode from Python, HeaderMap built, vs hpack",
                            f"{len(stories)} stories, {nblocks} blocks", r, 50.0, "hpack"))
    r = _timing.compare(repeat(ours_decode, frames), repeat(ref_decode, blocks), rounds, 0.05)
    rows.append(_timing.row("HPACK decode from Python, fields read, vs hpack",
                            f"{len(stories)} stories, {nblocks} blocks", r, 50.0, "hpack"))
    return rows


if __name__ == "__main__":
    _timing.main_of(bench)
