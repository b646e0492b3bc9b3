"""Idle memory of an H2Codec: bytes held by one freshly created codec (the
object itself and everything the native side allocates for it), averaged
over many codecs. Native allocations are read from glibc's allocator
statistics (mallinfo2), the object's own size from its type.

    python bench/h2_memory.py
"""
import ctypes
import gc

import _timing

_timing.use_dev_build()

from wirelet import _wirelet as w  # noqa: E402


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                 "fordblks", "keepcost")]


def _malloc_in_use():
    libc = ctypes.CDLL(None)
    try:
        f = libc.mallinfo2
    except AttributeError:
        return None
    f.restype = _Mallinfo2
    m = f()
    return m.uordblks + m.hblkhd


def idle_bytes(count=2000, role="client"):
    keep = [None] * count  # the list itself is not counted
    gc.collect()
    before = _malloc_in_use()
    for i in range(count):
        keep[i] = w.H2Codec(role)
    native = (_malloc_in_use() - before) / count
    del keep
    # Objects up to 512 bytes come from Python's own arenas, which malloc's
    # statistics do not see; larger ones are malloc'd and already counted.
    basic = w.H2Codec.__basicsize__
    return native + (basic if basic <= 512 else 0)


def bench(quick=False):
    size = idle_bytes(500 if quick else 2000)
    # Expressed as budget over use, so that like the speed ratios above 1 passes.
    return [{"work": "H2Codec idle memory (budget / bytes used)", "case": f"{size:,.0f} bytes per codec",
             "min": 4096 / size, "median": 4096 / size, "aim": 1.0, "peer": "4 KB budget",
             "ours": size, "theirs": 4096.0, "bytes": size}]


if __name__ == "__main__":
    print(f"H2Codec idle: {idle_bytes():,.0f} bytes per codec")
