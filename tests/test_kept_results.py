"""Results stay exactly as they were handed out while later calls reuse
released heads, maps, frames, buffers and storage: a random mix of results
kept and dropped, checked once at the end."""
import gc
import random
import sys

import pytest

from wirelet import _wirelet as w


def random_fields(rng, i):
    # Short and long values, repeated names, and sizes on both sides of the
    # bounds under which released storage is kept.
    sizes = (0, 1, 31, 33, 300, 9000)
    return [("x-h%d" % rng.randrange(12), "v%d-" % i + "z" * rng.choice(sizes)) for _ in range(rng.randrange(0, 20))]


def items_of(m):
    return list(m.items())


def read(head):
    return head.method, head.target, items_of(head.headers)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_results_kept_by_the_caller_are_never_reused(seed):
    rng = random.Random(seed)
    h1 = w.H1Codec()
    client, server = w.H2Codec(), w.H2Codec("server")
    kept = []
    for i in range(300):
        fields = random_fields(rng, i)
        target = "/p%d" % i + "q" * rng.choice((0, 40, 5000))
        wire = ("GET %s HTTP/1.1\r\nhost: h\r\n" % target + "".join("%s: %s\r\n" % f for f in fields) + "\r\n").encode()
        step = rng.choice((len(wire), 64, 7))
        heads = [h1.receive_request_head(wire[at:at + step]) for at in range(0, len(wire), step)]
        assert heads[:-1] == [None] * (len(heads) - 1)
        h2_wire = client.serialize_request_headers(2 * i + 1, "GET", "https://h" + target, w.HeaderMap(fields))
        [frame] = server.receive(h2_wire)
        built = w.HeaderMap(dict(fields) if rng.random() < 0.5 else fields)
        obj, look = rng.choice([(heads[-1], read), (heads[-1].headers, items_of),
                                (frame, lambda f: (f.path, items_of(f.headers))), (built, items_of)])
        assert (heads[-1].target, frame.path) == (target, target)
        kept.append((obj, look, look(obj)))
        del heads, frame, built  # everything not kept goes back for reuse
    for obj, look, expect in kept:
        assert look(obj) == expect


def grouped(fields, raw):
    # Map order: each name's values together, names in order of first use.
    by_name = {}
    for n, v in fields:
        by_name.setdefault(n.lower(), []).append(v.encode())
    return [(n.encode() if raw else n, v) for n, vs in by_name.items() for v in vs]


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_pairs_kept_by_the_caller_never_change_while_released_ones_are_refilled(seed):
    # Collections run often, so they (and a callback reading other maps)
    # land inside calls; some results are put in reference cycles.
    rng = random.Random(seed)
    sources = []
    for i in range(10):
        fields = random_fields(rng, i) + [("x-many", "%d" % k) for k in range(rng.choice((0, 70)))]
        sources.append((w.HeaderMap(fields), fields))
    wire = b"GET / HTTP/1.1\r\nHost: h\r\nUser-Agent: u\r\nX-Odd-Name: 1\r\n\r\n"
    sources.append((w.H1Codec().receive_request_head(wire).headers, [("host", "h"), ("user-agent", "u"), ("x-odd-name", "1")]))
    kept, nested = [], []

    def during_collection(phase, info):
        if phase == "start" and len(nested) < 50:
            m, fields = rng.choice(sources)
            nested.append((m.items(), repr(grouped(fields, False))))

    thresholds = gc.get_threshold()
    gc.callbacks.append(during_collection)
    gc.set_threshold(7)
    try:
        for _ in range(400):
            m, fields = rng.choice(sources)
            raw = rng.random() < 0.3
            got = m.raw_items() if raw else m.items()
            assert got == grouped(fields, raw)
            action = rng.randrange(6)
            if action == 0:
                kept.append((got, repr(got), None))
            elif action == 1 and got:
                p = rng.choice(got)
                kept.append((p, repr(p), hash(p)))
            elif action == 2 and got:
                kept.append((got[-1][1], repr(got[-1][1]), None))
            elif action == 3:
                got.append(got)  # a cycle only the collector frees
                got[: rng.randrange(3)] = [object()]
            elif action == 4:
                gc.collect(0)
            del got
    finally:
        gc.callbacks.remove(during_collection)
        gc.set_threshold(*thresholds)
    for obj, text, h in kept:
        assert repr(obj) == text
        assert h is None or hash(obj) == h
    assert nested and all(repr(items) == text for items, text in nested)


@pytest.mark.parametrize("raw", [False, True])
def test_released_pairs_keep_no_large_value_or_name_alive(raw):
    # Refilled pairs are kept between calls: a released result's large
    # values (and names) must be freed with it, not at the next call.
    for name, size in [("x-big", 9000), ("x-" + "n" * 9000, 1), ("x-big", 1 << 20)]:
        m = w.HeaderMap([("a", "1"), (name, "v" * size), ("b", "2")])
        got = m.raw_items() if raw else m.items()
        big = got[1][1] if size > 1 else got[1][0]
        del got, m
        gc.collect()
        assert sys.getrefcount(big) == 2
