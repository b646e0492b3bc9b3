"""Results stay exactly as they were handed out while later calls reuse
released heads, maps, frames, buffers and storage: a random mix of results
kept and dropped, checked once at the end."""
import random

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
