"""The encode settings and the call that takes them: the one place that knows
how a mode, an effort, a reduction and a progress callback reach the library.

A libqm5 with qm5_encode_with takes the extensible qm5_encode_settings; an
older one only qm5_encode_options {mode, threads, flags}, and then a request
for anything more is refused, never ignored.
"""

import ctypes
from typing import NamedTuple

from ._errors import argument_error
from ._library import lib, version

MODES = {"plain": 0, "compressed": 1, "best": 2, "auto": 3, "auto-best": 4}
STAGES = {1: "palette", 2: "mipmaps", 3: "compressing", 4: "writing"}
IGNORE_ALPHA, KEEP_PALETTE_ORDER, DITHER, MATTE = 1, 2, 4, 8
DEFAULT_EFFORT, MAX_EFFORT = 1, 1000
_MAX_THREADS = 2**32 - 1  # a uint32_t; the library uses at most 1024
_HAS_SETTINGS = hasattr(lib, "qm5_encode_with")


class EncodeOptions(ctypes.Structure):
    _fields_ = [("mode", ctypes.c_int), ("threads", ctypes.c_uint32), ("flags", ctypes.c_uint32)]


class ProgressStruct(ctypes.Structure):
    _fields_ = [("stage", ctypes.c_int32), ("image", ctypes.c_uint32), ("images", ctypes.c_uint32),
                ("done", ctypes.c_uint64), ("total", ctypes.c_uint64)]


ProgressCallback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(ProgressStruct))


class EncodeSettings(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("mode", ctypes.c_int32), ("threads", ctypes.c_uint32),
                ("flags", ctypes.c_uint32), ("effort", ctypes.c_uint32), ("progress", ProgressCallback),
                ("progress_data", ctypes.c_void_p), ("quality", ctypes.c_uint32), ("max_colours", ctypes.c_uint32),
                ("matte_colour", ctypes.c_uint32)]


if _HAS_SETTINGS:
    lib.qm5_encode_with.restype = ctypes.c_int
    lib.qm5_encode_with.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.POINTER(EncodeSettings),
                                    ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_size_t)]


class Progress(NamedTuple):
    """How far an encode has got: done of total units of stage ("palette",
    "mipmaps", "compressing", "writing"); while compressing, image of images."""

    stage: str
    image: int
    images: int
    done: int
    total: int


def _matte(matte):
    """0xRRGGBB of (r, g, b), "#rrggbb" or an int."""
    if isinstance(matte, str) and len(matte.lstrip("#")) == 6:
        try:
            return int(matte.lstrip("#"), 16)
        except ValueError:
            pass
    elif isinstance(matte, int) and 0 <= matte <= 0xFFFFFF:
        return matte
    elif isinstance(matte, (tuple, list)) and len(matte) == 3 and all(isinstance(c, int) and 0 <= c <= 255
                                                                       for c in matte):
        return matte[0] << 16 | matte[1] << 8 | matte[2]
    raise argument_error(f"matte={matte!r}; give (r, g, b), '#rrggbb' or 0xRRGGBB")


class Request:
    """An encode's settings, checked before any picture is converted."""

    def __init__(self, mode, effort=None, threads=0, ignore_alpha=False, keep_palette=False, quality=None,
                 colors=None, dither=False, matte=None, progress=None):
        if mode not in MODES:
            raise argument_error(f"unknown mode {mode!r}; the modes are {', '.join(map(repr, MODES))}")
        if not isinstance(threads, int) or not 0 <= threads <= _MAX_THREADS:
            raise argument_error(f"threads={threads!r}; give a count of 0 (one per core) or more")
        if effort is not None and (not isinstance(effort, int) or not 0 <= effort <= MAX_EFFORT):
            raise argument_error(f"effort={effort!r}; it runs from 0 to {MAX_EFFORT}")
        if quality is not None and (not isinstance(quality, (int, float)) or not 1 <= quality <= 99):
            raise argument_error(f"quality={quality!r}; give a PSNR in dB from 1 to 99")
        if colors is not None and (not isinstance(colors, int) or not 2 <= colors <= 32767):
            raise argument_error(f"colors={colors!r}; give a count from 2 to 32767")
        if dither and quality is None and colors is None:
            raise argument_error("dither needs quality or colors")
        if progress is not None and not callable(progress):
            raise argument_error("progress must be callable")
        self.mode, self.threads, self.keep_palette, self.progress = mode, threads, keep_palette, progress
        self.effort = DEFAULT_EFFORT if effort is None else effort
        self.quality = 0 if quality is None else int(round(quality * 100))
        self.colors = colors or 0
        self.matte = None if matte is None else _matte(matte)
        self.flags = ((IGNORE_ALPHA if ignore_alpha else 0) | (KEEP_PALETTE_ORDER if keep_palette else 0) |
                      (DITHER if dither else 0) | (MATTE if self.matte is not None else 0))
        wanted = [name for name, given in (("effort", effort is not None), ("quality", quality is not None),
                                           ("colors", colors is not None), ("dither", dither),
                                           ("matte", matte is not None), ("progress", progress is not None))
                  if given]
        if wanted and not _HAS_SETTINGS:
            raise argument_error(f"{', '.join(wanted)} not supported by this libqm5 ({version}): it has no "
                                 "extensible encode settings (qm5_encode_with)")


def call_encode(ctx, images, request):
    """The encode: (status, pointer to the texture's bytes, their count, what the callback raised)."""
    data, size = ctypes.c_void_p(), ctypes.c_size_t()
    if not _HAS_SETTINGS:
        opts = EncodeOptions(MODES[request.mode], request.threads, request.flags)
        status = lib.qm5_encode(ctx, ctypes.byref(images), ctypes.byref(opts), ctypes.byref(data),
                                ctypes.byref(size))
        return status, data, size.value, None
    raised = []

    def relay(_, p):
        # An exception cannot cross the C library: it cancels, and is raised after the call.
        try:
            report = Progress(STAGES.get(p[0].stage, str(p[0].stage)), p[0].image, p[0].images, p[0].done,
                              p[0].total)
            return 1 if request.progress(report) else 0
        except BaseException as e:  # noqa: B902 (KeyboardInterrupt cancels as well)
            raised.append(e)
            return 1

    settings = EncodeSettings(ctypes.sizeof(EncodeSettings), MODES[request.mode], request.threads, request.flags,
                              request.effort, ProgressCallback(relay) if request.progress else ProgressCallback(),
                              None, request.quality, request.colors, request.matte or 0)
    status = lib.qm5_encode_with(ctx, ctypes.byref(images), ctypes.byref(settings), ctypes.byref(data),
                                 ctypes.byref(size))
    return status, data, size.value, raised[0] if raised else None
