"""Freed memory handed back to the system at once, in processes the product owns.

glibc serves a large allocation from its heap, not from a mapping of its
own, once a block of that size has been freed (its mmap threshold follows
the largest block freed, up to 32 MB). The cut-outs free full-size planes of
10-50 MB and ONNX Runtime, without its arena, tensors of up to 26 MB; once
they sit in the heap, a block still in use above them keeps the whole heap
resident: a 12 MP cut-out's refinement and composing ran some 40 MB higher.
A fixed threshold
gives every block of a megabyte or more its own mapping, returned when freed.

Only the command line and the service set it: a host program that imports
the library owns its allocator.
"""

from __future__ import annotations

import ctypes
import ctypes.util

M_MMAP_THRESHOLD = -3  # glibc's mallopt parameter
THRESHOLD = 1 << 20


def return_freed_memory_promptly() -> bool:
    """Fixes glibc's mmap threshold at THRESHOLD; False where the C library
    is not glibc (nothing is changed there)."""
    name = ctypes.util.find_library("c")
    try:
        libc = ctypes.CDLL(name)
        mallopt = libc.mallopt
    except (OSError, AttributeError, TypeError):
        return False
    mallopt.argtypes = [ctypes.c_int, ctypes.c_int]
    mallopt.restype = ctypes.c_int
    return mallopt(M_MMAP_THRESHOLD, THRESHOLD) == 1
