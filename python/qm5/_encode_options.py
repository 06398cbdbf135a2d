"""The encode options and the call that takes them: the one place that knows
how a mode, an effort and a thread count reach the library.

libqm5 1.0 takes qm5_encode_options {mode, threads, flags}, and chooses the
palette-order effort of the best modes itself (that of qm5 encode --best).
"""

import ctypes

from ._errors import argument_error
from ._library import lib, version

MODES = {"plain": 0, "compressed": 1, "best": 2, "auto": 3, "auto-best": 4}
IGNORE_ALPHA = 1
_MAX_THREADS = 2**32 - 1  # a uint32_t; the library uses at most 1024


class EncodeOptions(ctypes.Structure):
    _fields_ = [("mode", ctypes.c_int), ("threads", ctypes.c_uint32), ("flags", ctypes.c_uint32)]


def options(mode, effort, threads, ignore_alpha):
    """The options for qm5_encode, or Qm5Error for a request this library cannot take."""
    if mode not in MODES:
        raise argument_error(f"unknown mode {mode!r}; the modes are {', '.join(map(repr, MODES))}")
    if effort is not None:
        raise argument_error(f"effort={effort!r} is not supported by this libqm5 ({version}): it has no encode "
                             "effort option; leave effort=None for the library's default")
    if not isinstance(threads, int) or not 0 <= threads <= _MAX_THREADS:
        raise argument_error(f"threads={threads!r}; give a count of 0 (one per core) or more")
    return EncodeOptions(MODES[mode], threads, IGNORE_ALPHA if ignore_alpha else 0)


def call_encode(ctx, images, opts):
    """qm5_encode: (status, pointer to the texture's bytes, their count)."""
    data, size = ctypes.c_void_p(), ctypes.c_size_t()
    status = lib.qm5_encode(ctx, ctypes.byref(images), ctypes.byref(opts), ctypes.byref(data), ctypes.byref(size))
    return status, data, size.value
