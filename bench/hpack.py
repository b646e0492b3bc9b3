"""Header blocks through H2Codec against the pure-Python hpack package, in one run.

Every story of the raw-data corpus (hpack-test-case), in order and each with its own
compression context, is encoded (H2Codec.serialize_request_headers /
serialize_response_headers against hpack.Encoder.encode) and decoded (H2Codec.receive
of the HEADERS frames against hpack.Decoder.decode of the same blocks). Fields an
HTTP/2 sender must not send (connection, keep-alive, transfer-encoding, ...) are
dropped first, so both decoders accept every block and do the same work.

Run: python bench/hpack.py [rounds]   (PYTHONPATH=build/dev, or after installing)
"""

import json
import os
import sys
import time

# This file is itself named hpack.py: keep its directory off the import path.
_HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _HERE]

import hpack  # noqa: E402

from wirelet import _wirelet as w  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.environ.get("WIRELET_DATA_DIR", os.path.join(os.path.dirname(ROOT), "shared", "data"))
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
            if ":status" in pseudo:
                ordered = [(":status", pseudo[":status"])] + regular
            else:
                ordered = [(n, pseudo[n]) for n in (":method", ":scheme", ":authority", ":path")] + regular
            sets.append((pseudo, w.HeaderMap(regular), ordered))
        stories.append(sets)
    return stories


def ours_encode(stories):
    out = []
    for sets in stories:
        c = w.H2Codec()
        blocks = []
        sid = 1
        for pseudo, hm, _ in sets:
            if ":status" in pseudo:
                blocks.append(c.serialize_response_headers(sid, int(pseudo[":status"]), hm))
            else:
                blocks.append(c.serialize_request_headers(sid, pseudo[":method"], pseudo[":path"], hm,
                                                          scheme=pseudo[":scheme"],
                                                          authority=pseudo[":authority"]))
            sid += 2
        out.append(blocks)
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
            n += len(c.receive(f))
    return n


def ref_decode(blocks):
    n = 0
    for story in blocks:
        d = hpack.Decoder()
        for b in story:
            d.decode(b)
            n += 1
    return n


def best(fn, arg, rounds):
    t = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn(arg)
        t = min(t, time.perf_counter() - t0)
    return t


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    stories = load()
    nblocks = sum(len(s) for s in stories)
    frames = ours_encode(stories)
    blocks = [[f[9:] for f in story] for story in frames]  # every block fits one frame
    assert all(len(f) - 9 == int.from_bytes(f[:3], "big") for s in frames for f in s)
    assert ours_decode(frames) == nblocks
    # Both decoders read the same blocks and agree on their fields.
    for sets, story in zip(stories, blocks):
        d = hpack.Decoder()
        for (_, _, ordered), b in zip(sets, story):
            got = d.decode(b)
            assert sorted(got) == sorted(ordered), (got, ordered)

    # Interleaved rounds, best of each, so a burst of load elsewhere on the
    # machine hits both sides alike.
    t_enc_ours = t_enc_ref = t_dec_ours = t_dec_ref = float("inf")
    for _ in range(rounds):
        t_enc_ours = min(t_enc_ours, best(ours_encode, stories, 3))
        t_enc_ref = min(t_enc_ref, best(ref_encode, stories, 1))
        t_dec_ours = min(t_dec_ours, best(ours_decode, frames, 3))
        t_dec_ref = min(t_dec_ref, best(ref_decode, blocks, 1))

    print(f"{len(stories)} stories, {nblocks} header blocks, "
          f"{sum(len(b) for s in blocks for b in s)} encoded bytes")
    print(f"per block: H2Codec encode {t_enc_ours / nblocks * 1e6:.2f} us, decode {t_dec_ours / nblocks * 1e6:.2f} us")
    print(f"encode: H2Codec {t_enc_ours * 1e3:8.2f} ms   hpack {t_enc_ref * 1e3:8.2f} ms   "
          f"ratio {t_enc_ref / t_enc_ours:6.1f}x")
    print(f"decode: H2Codec {t_dec_ours * 1e3:8.2f} ms   hpack {t_dec_ref * 1e3:8.2f} ms   "
          f"ratio {t_dec_ref / t_dec_ours:6.1f}x")


if __name__ == "__main__":
    main()
