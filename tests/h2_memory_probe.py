"""Native heap in use (glibc mallinfo2), for memory-flatness tests."""
import ctypes


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                 "fordblks", "keepcost")]


def malloc_in_use():
    f = ctypes.CDLL(None).mallinfo2
    f.restype = _Mallinfo2
    m = f()
    return m.uordblks + m.hblkhd
