import gc
import random
import resource
import sys
import threading

import pytest
from hypothesis import given, settings, strategies as st

from wirelet import _wirelet as w
from wirelet.http import HeaderMap

from conftest import skip_if_sanitized


class Model:
    """Ordered multi-dict: the behaviour HeaderMap must match."""

    def __init__(self):
        self.entries = []  # [name, [values]] in first-insertion order

    def _find(self, name):
        for i, (n, _) in enumerate(self.entries):
            if n == name:
                return i
        return None

    def add(self, name, value):
        i = self._find(name)
        if i is None:
            self.entries.append([name, [value]])
        else:
            self.entries[i][1].append(value)

    def set(self, name, value):
        i = self._find(name)
        if i is None:
            self.entries.append([name, [value]])
        else:
            self.entries[i][1] = [value]

    def delete(self, name):
        i = self._find(name)
        if i is None:
            raise KeyError(name)
        last = self.entries.pop()
        if i < len(self.entries):
            self.entries[i] = last

    def get_all(self, name):
        i = self._find(name)
        return [] if i is None else list(self.entries[i][1])

    def items(self):
        return [(n, v) for n, vs in self.entries for v in vs]


NAMES = ["a", "A", "b", "B", "content-type", "Content-Type", "x-id", "X-ID"]
VALUES = st.lists(st.sampled_from([b"a", b"b", b" ", b"\t", b"\x80", b"\xff"]), max_size=4).map(b"".join)
OPS = st.lists(
    st.tuples(
        st.sampled_from(["add", "set", "del", "setdefault", "get_all", "get", "contains"]),
        st.sampled_from(NAMES),
        VALUES,
    ),
    max_size=60,
)


@settings(max_examples=300, deadline=None)
@given(OPS)
def test_matches_ordered_multidict_model(ops):
    m, model = HeaderMap(), Model()
    for op, name, value in ops:
        key = name.lower()
        if op == "add":
            m.add(name, value)
            model.add(key, value)
        elif op == "set":
            m[name] = value
            model.set(key, value)
        elif op == "del":
            try:
                model.delete(key)
            except KeyError:
                with pytest.raises(KeyError) as ei:
                    del m[name]
                assert ei.value.args == (key,)
            else:
                del m[name]
        elif op == "setdefault":
            expected = model.get_all(key)
            got = m.setdefault(name, value)
            if expected:
                assert got == expected[0]
            else:
                assert got == value
                model.add(key, value)
        elif op == "get_all":
            assert m.get_all(name) == model.get_all(key)
        elif op == "get":
            vals = model.get_all(key)
            assert m.get(name) == (vals[0] if vals else None)
        else:
            assert (name in m) == bool(model.get_all(key))
        assert len(m) == len(model.items())
    assert m.items() == model.items()
    assert m.keys() == [n for n, _ in model.entries]
    assert m.values() == [v for _, v in model.items()]
    assert m.raw_items() == [(n.encode(), v) for n, v in model.items()]
    assert list(m) == m.keys()
    copy = HeaderMap(m)
    assert copy == m and not (copy != m)
    # Equality ignores the relative order of different names.
    assert HeaderMap([(n, v) for n, vs in reversed(model.entries) for v in vs]) == m


def test_grouping_and_order():
    m = HeaderMap([("Content-Type", "a"), ("content-type", "b")])
    assert m.get_all("CONTENT-TYPE") == [b"a", b"b"]
    assert len(m) == 2 and m.keys() == ["content-type"]
    m = HeaderMap()
    for n in ("a", "b", "a"):
        m.add(n, n)
    assert m.items() == [("a", b"a"), ("a", b"a"), ("b", b"b")]
    m = HeaderMap([("a", "1"), ("b", "2"), ("c", "3")])
    del m["a"]
    assert m.keys() == ["c", "b"]
    m["b"] = "new"
    assert m.keys() == ["c", "b"]


def test_construction_forms():
    assert HeaderMap().items() == []
    assert HeaderMap(None).items() == []
    assert HeaderMap(init={"Host": "x", "host": "y"}).get_all("host") == [b"x", b"y"]
    assert HeaderMap([["a", "1", "ignored"], ("b", b"2")]).items() == [("a", b"1"), ("b", b"2")]
    src = HeaderMap([("a", "1")])
    cp = HeaderMap(src)
    cp.add("a", "2")
    assert src.get_all("a") == [b"1"]
    with pytest.raises(IndexError):
        HeaderMap([("only-name",)])
    with pytest.raises(TypeError):
        HeaderMap(5)
    with pytest.raises(TypeError):
        HeaderMap([], [])
    with pytest.raises(TypeError):
        HeaderMap(bogus=1)

    def boom():
        yield ("a", "1")
        raise RuntimeError("from the iterator")

    with pytest.raises(RuntimeError, match="from the iterator"):
        HeaderMap(boom())


@pytest.mark.parametrize(
    "name, exc, msg",
    [
        ("", ValueError, "invalid header name"),
        ("a b", ValueError, "invalid header name"),
        ("a:b", ValueError, "invalid header name"),
        ("caf\u00e9", ValueError, "invalid header name"),
        (b"\x00", ValueError, "invalid header name"),
        ("x" * 65536, ValueError, "invalid header name"),
        (1, TypeError, "header name must be str or bytes"),
        (None, TypeError, "header name must be str or bytes"),
        (bytearray(b"a"), TypeError, "header name must be str or bytes"),
    ],
)
def test_bad_names(name, exc, msg):
    m = HeaderMap()
    for call in (lambda: m.add(name, "v"), lambda: m.get(name), lambda: m[name],
                 lambda: m.get_all(name), lambda: m.setdefault(name, "v"),
                 lambda: m.__setitem__(name, "v"), lambda: m.__delitem__(name),
                 lambda: HeaderMap([(name, "v")])):
        with pytest.raises(exc) as ei:
            call()
        assert str(ei.value) == msg
    assert (name in m) is False


def test_surrogate_name_raises_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        HeaderMap().add("\udcff", "v")
    assert ("\udcff" in HeaderMap()) is False


@pytest.mark.parametrize("value", ["a\r\nb", "a\nb", "\x00", "\x7f", b"\x1f"])
def test_bad_values(value):
    with pytest.raises(ValueError, match="^invalid header value$"):
        HeaderMap().add("a", value)


@pytest.mark.parametrize("value", [1, None, bytearray(b"x"), memoryview(b"x")])
def test_bad_value_types(value):
    with pytest.raises(TypeError, match="^header value must be str or bytes$"):
        HeaderMap().add("a", value)


def test_good_values_kept_exactly():
    m = HeaderMap()
    m.add("a", b" \tx\xff\x80 ")
    m.add("a", "")
    m.add("a", "caf\u00e9")
    assert m.get_all("a") == [b" \tx\xff\x80 ", b"", "caf\u00e9".encode()]


TOKEN = "!#$%&'*+-.^_`|~0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"


@pytest.mark.parametrize("length", [1, 3, 4, 7, 8, 15, 16, 17, 31, 32, 33, 47])
def test_names_of_every_length_fold_and_validate_like_the_table(length):
    # Names are folded in blocks: every length class, every token
    # character and a bad byte at every position must give the same
    # answers as a byte-by-byte reading.
    rnd = random.Random(length)
    for _ in range(40):
        raw = "".join(rnd.choice(TOKEN if rnd.random() < 0.3 else "AbZz09-") for _ in range(length))
        pairs = [(raw, "v"), (raw.encode(), b"w"), (raw.upper(), "x")]
        assert HeaderMap(pairs).items() == [(raw.lower(), b"v"), (raw.lower(), b"w"), (raw.lower(), b"x")]
        assert HeaderMap({raw: "v"}).keys() == [raw.lower()]
    for pos in range(length):
        for bad in ("\x00", " ", ":", "\x7f", "\x80", "@", "[", "{"):
            name = "a" * pos + bad + "B" * (length - pos - 1)
            for pairs in ([(name, "v")], [(name.encode("latin-1"), b"v")], {name: "v"}):
                with pytest.raises(ValueError, match="^invalid header name$"):
                    HeaderMap(pairs)


@pytest.mark.parametrize("length", [1, 4, 7, 8, 15, 16, 17, 31, 33])
def test_values_of_every_length_checked_at_every_position(length):
    ok = bytes(range(32, 127)) + b"\t\x80\xff"
    value = bytes(ok[i % len(ok)] for i in range(length))
    assert HeaderMap([("a", value)]).get("a") == value
    for pos in range(length):
        for bad in b"\x00\n\r\x1f\x7f":
            v = value[:pos] + bytes([bad]) + value[pos + 1:]
            for init in ([("a", v)], {"a": v}):
                with pytest.raises(ValueError, match="^invalid header value$"):
                    HeaderMap(init)


def test_long_lists_of_pairs_built_whole():
    pairs = [(f"X-Name-{i % 50}", bytes([97 + i % 26]) * (i * 7 % 500)) for i in range(400)]
    model = Model()
    for n, v in pairs:
        model.add(n.lower(), v)
    assert HeaderMap(pairs).items() == model.items()
    with pytest.raises(ValueError, match="^invalid header name$"):
        HeaderMap(pairs + [("bad name", "v")])
    # Dicts too, read whole in one pass unless some key or value needs
    # converting (then pair by pair from the start, to the same map).
    d = {f"X-{i}" if i % 3 else f"x-{i}".encode(): b"v" * (i % 90) for i in range(300)}
    expected = [(k.lower() if isinstance(k, str) else k.decode(), v) for k, v in d.items()]
    assert HeaderMap(d).items() == expected
    d["x-last"] = "caf\u00e9"
    assert HeaderMap(d).items() == expected + [("x-last", "caf\u00e9".encode())]


def test_construction_checks_name_then_value_in_order():
    # The first bad pair decides, and within a pair the name goes first.
    cases = [
        ([("a b", "\n")], ValueError, "invalid header name"),
        ([("a", "\n"), ("b c", "v")], ValueError, "invalid header value"),
        ([("a", "v"), ("b", 1), ("c d", "v")], TypeError, "header value must be str or bytes"),
        ([("a", "v"), (1, "\n")], TypeError, "header name must be str or bytes"),
        ([("a", "v"), ("caf\u00e9", 1)], ValueError, "invalid header name"),
        ([("a", "v"), ("b", "\udcff")], UnicodeEncodeError, None),
    ]
    for pairs, exc, msg in cases:
        for init in (pairs, tuple(pairs), dict(pairs), iter(pairs)):
            with pytest.raises(exc) as ei:
                HeaderMap(init)
            if msg:
                assert str(ei.value) == msg


def test_token_characters_accepted():
    name = "!#$%&'*+-.^_`|~09azAZ"
    m = HeaderMap([(name, "v")])
    assert m.keys() == [name.lower()]


def test_missing_and_defaults():
    m = HeaderMap([("Host", "x")])
    with pytest.raises(KeyError) as ei:
        m["X-Missing"]
    assert ei.value.args == ("x-missing",)
    with pytest.raises(KeyError) as ei:
        del m["X-Missing"]
    assert ei.value.args == ("x-missing",)
    assert m.get("nope") is None
    sentinel = object()
    assert m.get("nope", sentinel) is sentinel
    assert m.get(name="HOST") == b"x"
    assert m.get_all("nope") == []
    assert m.setdefault("host", b"\n") == b"x"  # present: value not validated
    assert (1 in m) is False


@pytest.mark.parametrize("size", [0, 1, 127, 128, 129, 5000])
@pytest.mark.parametrize("count", [1, 2])
def test_get_all_value_sizes(size, count):
    values = [bytes([97 + i]) * size for i in range(count)]
    m = HeaderMap([("x", "1")] + [("host", v) for v in values] + [("y", "2")])
    assert m.get_all("Host") == m.get_all(name="host") == values


@pytest.mark.parametrize("large", [0, 1023, 1024, 70000])
@pytest.mark.parametrize("extra", [0, 70])
def test_items_of_maps_with_a_large_value(large, extra):
    # A value of 1 KiB or more is copied straight into its result: every
    # value, empty and one-byte ones included, comes out as it went in, and
    # the interpreter's shared one-byte objects are never written to.
    fields = [("A", b""), ("b", b"x"), ("a", b"y" * large), ("c", b"z"), ("a", b"w"), ("d", b"q" * 2000)]
    fields += [("e-%d" % i, b"%d" % (i % 10)) for i in range(extra)]
    m = HeaderMap(fields)
    grouped = {}
    for n, v in fields:
        grouped.setdefault(n.lower(), []).append(v)
    expect = [(n, v) for n, vs in grouped.items() for v in vs]
    for _ in range(3):
        assert m.items() == expect
        assert m.raw_items() == [(n.encode(), v) for n, v in expect]
    assert (b"x", b"z", b"w", b"0") == (bytes([120]), bytes([122]), bytes([119]), bytes([48]))


def test_items_values_of_every_short_length():
    # Short values are copied in overlapping word moves: each length comes
    # out whole, with its end and hash as a bytes object made in Python.
    values = [bytes(range(33, 33 + n)) for n in range(70)]
    m = HeaderMap([("v%d" % n, v) for n, v in enumerate(values)])
    for _ in range(2):
        got = [v for _, v in m.items()]
        assert got == values
        assert all(type(v) is bytes and hash(v) == hash(bytes(e)) and v + b"" == e for v, e in zip(got, values))


@pytest.mark.parametrize("count", [0, 1, 3, 64, 65])
def test_parsed_results_are_ordinary_objects(count):
    # Targets, names, values and the items() list are set up by hand from
    # fresh memory: each must be what Python itself would have made.
    fields = [("host", "h")] + [("x-odd-%d" % i, "v" * (i % 40)) for i in range(count)]
    target = "/t" + "q" * count
    wire = ("GET %s HTTP/1.1\r\n" % target + "".join("%s: %s\r\n" % f for f in fields) + "\r\n").encode()
    head = w.H1Codec().receive_request_head(wire)
    got = head.headers.items()
    expect = [(n, v.encode()) for n, v in fields]
    assert got == expect and sys.getsizeof(got) == sys.getsizeof([None] * len(expect))
    objs = [head.target] + [x for pair in got for x in pair]
    for a, e in zip(objs, [target] + [x for pair in expect for x in pair]):
        assert type(a) is type(e) and a == e and hash(a) == hash(e) and sys.getsizeof(a) == sys.getsizeof(e)
        assert a[:] + a[:0] == e and (a.isascii() if isinstance(a, str) else True)
    got.append(got)
    got.extend(expect)
    assert got[len(expect) + 1:] == expect and got[len(expect)] is got


def test_equality_rules():
    a = HeaderMap([("a", "1"), ("b", "2"), ("a", "3")])
    b = HeaderMap([("b", "2"), ("a", "1"), ("a", "3")])
    assert a == b and not a != b
    assert a != HeaderMap([("a", "3"), ("a", "1"), ("b", "2")])
    assert a != HeaderMap([("a", "1"), ("b", "2")])
    assert a != HeaderMap([("a", "1"), ("c", "2"), ("a", "3")])
    assert a == a
    assert (a == {"a": "1"}) is False
    assert (a == a.items()) is False
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(a, op)(b) is NotImplemented
    with pytest.raises(TypeError):
        hash(a)


def test_repr():
    m = HeaderMap([("A", "1"), ("b", b"\xff")])
    assert repr(m) == "HeaderMap([('a', b'1'), ('b', b'\\xff')])"


def test_iteration_is_a_snapshot():
    m = HeaderMap([("a", "1"), ("b", "2")])
    seen = []
    for name in m:
        seen.append(name)
        m.add("c" + name, "x")
    assert seen == ["a", "b"]


FULL = "header map is full (http::HeaderMap MAX_SIZE, 32768 entries)"


def test_size_limit():
    m = HeaderMap([(f"n{i}", "v") for i in range(24576)])
    assert len(m) == 24576
    for call in (lambda: m.add("new", "v"), lambda: m.add("n0", "v"),
                 lambda: m.__setitem__("n1", "v"), lambda: m.__setitem__("new", "v"),
                 lambda: m.setdefault("new", "v")):
        with pytest.raises(ValueError) as ei:
            call()
        assert str(ei.value) == FULL
    assert len(m) == 24576
    assert m.setdefault("n5", "other") == b"v"
    del m["n0"]
    m.add("again", "v")
    assert m.keys()[0] == "n24575" and m.keys()[-1] == "again"
    with pytest.raises(ValueError, match=r"header map is full"):
        HeaderMap([(f"n{i}", "v") for i in range(24577)])


def test_many_values_per_name_have_no_limit():
    m = HeaderMap()
    for i in range(30000):
        m.add("set-cookie", str(i))
    assert len(m) == 30000 and m.keys() == ["set-cookie"]


def test_class_shape():
    assert HeaderMap.__module__ == "wirelet._wirelet"
    assert HeaderMap.__qualname__ == "HeaderMap"
    assert HeaderMap.get.__text_signature__ == "($self, name, default=None)"
    assert HeaderMap.add.__text_signature__ == "($self, name, value)"
    assert HeaderMap.__text_signature__ == "(init=None)"
    with pytest.raises(TypeError):
        type("Sub", (HeaderMap,), {})
    m = HeaderMap()
    with pytest.raises(AttributeError):
        m.anything = 1
    assert gc.is_tracked(m) is False


def test_concurrent_mutation_keeps_invariants():
    m = HeaderMap()
    errors = []

    def worker(k):
        try:
            for i in range(2000):
                m.add(f"h{k}-{i % 50}", b"v")
                if i % 3 == 0:
                    try:
                        del m[f"h{k}-{(i * 7) % 50}"]
                    except KeyError:
                        pass
                m == HeaderMap(m)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert len(m) == len(m.items()) == sum(len(m.get_all(n)) for n in m.keys())


def _rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


@skip_if_sanitized
def test_million_operations_keep_memory_flat():
    base = HeaderMap([("Content-Type", "text/plain"), ("Accept", "*/*")])

    def round_(n):
        for i in range(n):
            m = HeaderMap(base)
            m.add("x-id", b"12345")
            m["accept"] = "text/html"
            m.get("content-type")
            m.get_all("x-id")
            m.items()
            m.setdefault("x-new", "1")
            del m["x-id"]
            "accept" in m
            base == m
            try:
                m["missing"]
            except KeyError:
                pass

    round_(20000)
    gc.collect()
    before = _rss_kib()
    round_(100000)  # ~1.1 million operations
    gc.collect()
    grown = _rss_kib() - before
    assert grown < 4096, f"resident memory grew by {grown} KiB"


def test_long_lived_map_edited_in_a_loop_stays_bounded():
    m = HeaderMap()
    for i in range(200000):
        m["x"] = b"y" * 100
        m.add("z", b"q" * 50)
        del m["z"]
    assert m.items() == [("x", b"y" * 100)]
    assert sys.getrefcount(m) == 2


def test_names_shared_from_a_table_of_recent_names_stay_exact():
    # Thousands of distinct names evict one another from the shared table:
    # every call still hands out exactly the names of its map.
    names = [f"x-n{i}-" + "a" * (i % 50) for i in range(3000)]
    for _ in range(2):
        for i in range(0, len(names), 7):
            m = HeaderMap([(n, b"v") for n in names[i:i + 7]])
            assert m.keys() == names[i:i + 7]
            assert [n for n, _ in m.raw_items()] == [n.encode() for n in names[i:i + 7]]


@pytest.mark.parametrize(
    "name", ["content-type", "Set-Cookie", b"ACCEPT", "x-forwarded-for", "x-custom-1", "X-Long-" + "n" * 60]
)
def test_common_names_come_back_as_shared_objects(name):
    # Common names, and other names of up to 64 bytes seen lately, are
    # handed out as one shared object per name (str and bytes alike); longer
    # names are new objects. Either way the value is the normalized name.
    # b holds enough names to be indexed (its entries carry their hashes).
    lower = (name if isinstance(name, str) else name.decode()).lower()
    a, b = HeaderMap([(name, "1")]), HeaderMap({lower: b"2", **{f"x-fill-{i}": b"" for i in range(20)}})
    shared = len(lower) <= 64
    for get in (lambda m: m.keys()[0], lambda m: m.items()[0][0], lambda m: next(iter(m))):
        assert get(a) == get(b) == lower
        assert (get(a) is get(b)) == shared
    assert a.raw_items()[0][0] == lower.encode()
    assert (a.raw_items()[0][0] is b.raw_items()[0][0]) == shared


@pytest.mark.parametrize("pairs", [1, 8, 16, 17, 60, 61, 200])
@pytest.mark.parametrize("value_size", [0, 40, 3000])
def test_maps_made_after_others_died_start_new(pairs, value_size):
    # Dropped maps are kept for the next ones (those with small allocations
    # only): whatever the last one held, a new map holds exactly its own
    # pairs, grows, copies and compares like any other.
    def build(tag):
        return [(f"X-{tag}-{i}", b"v" * value_size + str(i).encode()) for i in range(pairs)]

    for make in (lambda: HeaderMap(build("a")), lambda: HeaderMap(dict(build("a")))):
        m = make()
        assert len(m) == pairs
        del m
        fresh = HeaderMap()
        assert len(fresh) == 0 and fresh.items() == [] and "x-a-0" not in fresh
        again = HeaderMap(build("b"))
        assert again.items() == [(n.lower(), v) for n, v in build("b")]
        assert "x-a-0" not in again
        for i in range(40):  # past the names compared one by one
            again.add(f"y-{i}", b"1")
        again.add("x-b-0", b"2")
        assert again.get_all("x-b-0") == [b"v" * value_size + b"0", b"2"]
        assert len(again) == pairs + 41 and again.get("y-39") == b"1"
        copy = HeaderMap(again)
        assert copy == again
        del again
        assert copy.get("y-0") == b"1" and len(copy) == pairs + 41


@skip_if_sanitized
def test_made_and_dropped_maps_keep_memory_flat():
    small = [("X-A", b"1"), ("X-B", b"2")]
    big = [(f"x-{i}", b"v" * 100) for i in range(50)]

    def round_(n):
        for _ in range(n):
            HeaderMap(small)
            HeaderMap(big)
            a, b = HeaderMap(big), HeaderMap(small)
            del a, b

    round_(20000)
    gc.collect()
    before = _rss_kib()
    round_(200000)
    gc.collect()
    grown = _rss_kib() - before
    assert grown < 4096, f"resident memory grew by {grown} KiB"
