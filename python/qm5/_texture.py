"""Opening a texture and decoding its images."""

import builtins
import ctypes
import os
import sys
import threading
import weakref
from typing import NamedTuple

from . import _library as L
from ._context import check, new_context
from ._errors import Qm5Error, Status

_CHUNK = 1 << 20


class ImageEntry(NamedTuple):
    """One image of a texture: "plain" or "compressed", and where its bytes lie."""

    encoding: str
    offset: int
    size: int


def _read_bounded(stream, limit, name):
    """The rest of stream, refused once it passes limit bytes (0: no limit)."""
    chunks, total = [], 0
    while True:
        chunk = stream.read(_CHUNK)
        if not chunk:
            return b"".join(chunks)
        total += len(chunk)
        if limit and total > limit:
            raise Qm5Error(Status.ERROR_LIMIT, f"larger than the memory limit of {limit} bytes", name=name)
        chunks.append(chunk)


def _read_source(source, limit):
    """(bytes, name) of a path, a binary stream or bytes-like data."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        return bytes(source), None
    if hasattr(source, "read"):
        name = getattr(source, "name", None)
        return _read_bounded(source, limit, name if isinstance(name, str) else None), name
    path = os.fspath(source)  # TypeError for anything else
    name = os.fsdecode(path)
    with builtins.open(path, "rb") as stream:
        return _read_bounded(stream, limit, name), name


def _writable(buffer):
    """A bytearray as the library's out argument."""
    return (ctypes.c_char * len(buffer)).from_buffer(buffer)


def _release(handle, ctx, _data):
    L.lib.qm5_close(handle)
    L.lib.qm5_context_free(ctx)


def open_texture(source, *, max_pixels=None):
    """Opens a texture from a path, a binary stream or bytes.

    max_pixels bounds the images decode_* will decode (None: the library's
    default, 8192 x 8192; 0: no bound). Raises Qm5Error for data that is not
    a sound texture, OSError when a file cannot be read.
    """
    ctx = new_context()
    try:
        if max_pixels is not None:
            check(ctx, L.lib.qm5_set_limit(ctx, L.LIMIT_PIXELS, max_pixels))
        data, name = _read_source(source, L.lib.qm5_get_limit(ctx, L.LIMIT_MEMORY))
        handle = ctypes.c_void_p()
        # data is bytes, which never change: the texture reads them in place
        # and keeps them alive until it is closed.
        check(ctx, L.lib.qm5_open_borrowed(ctx, data, len(data), ctypes.byref(handle)), name)
    except BaseException:
        L.lib.qm5_context_free(ctx)
        raise
    return Texture(ctx, handle.value, name, data)


class Texture:
    """An open texture: its header, its images' places, the palette, and
    decoding. One texture may be used from one thread at a time (a lock sees
    to it); distinct textures work in parallel."""

    def __init__(self, ctx, handle, name, data):
        self._ctx, self._handle, self.name = ctx, handle, name
        self._lock = threading.Lock()
        # The finalizer holds data, so the bytes outlive the handle reading them.
        self._finalizer = weakref.finalize(self, _release, handle, ctx, data)
        info = L.Info()
        self._check(L.lib.qm5_get_info(handle, ctypes.byref(info)))
        self.version, self.width, self.height = info.version, info.width, info.height
        self.colour_count, self.mipmap_levels = info.colour_count, info.mipmap_levels
        self.compressed = bool(info.compressed)
        entries = []
        for i in range(info.image_count):
            image = L.ImageInfo()
            self._check(L.lib.qm5_get_image_info(handle, i, ctypes.byref(image)))
            entries.append(ImageEntry("compressed" if image.compressed else "plain", image.offset, image.size))
        self.images = tuple(entries)
        rgba = self._buffer(L.BUFFER_PALETTE)
        self._check(L.lib.qm5_get_palette(handle, _writable(rgba), len(rgba)))
        del rgba[3::4]
        self.palette = bytes(rgba)  # red, green, blue of each colour, index 0 first

    @property
    def image_count(self):
        return len(self.images)

    @property
    def index_size(self):
        """Bytes per index from decode_indices: 1 up to 256 colours, else 2."""
        return 1 if self.colour_count <= 256 else 2

    def _check(self, status):
        check(self._ctx, status, self.name)

    def _buffer(self, which):
        size = ctypes.c_size_t()
        self._check(L.lib.qm5_buffer_size(self._handle, which, ctypes.byref(size)))
        return bytearray(size.value)

    def _decode(self, function, which, image):
        if not isinstance(image, int) or not 0 <= image < len(self.images):
            raise IndexError(f"no image {image!r} in a texture of {len(self.images)} images")
        with self._lock:
            if not self._finalizer.alive:
                raise ValueError("the texture is closed")
            if self._too_large():  # the library's refusal, before a buffer of that size is made
                self._check(function(self._handle, image, None, 0))
            out = self._buffer(which)
            self._check(function(self._handle, image, _writable(out), len(out)))
        return out

    def _too_large(self):
        limit = L.lib.qm5_get_limit(self._ctx, L.LIMIT_PIXELS)
        return limit != 0 and self.width * self.height > limit

    def decode_rgb(self, image=0):
        """Image `image` as bytes: red, green, blue per pixel, rows from the top."""
        out = self._decode(L.lib.qm5_decode_rgba, L.BUFFER_RGBA, image)
        del out[3::4]
        return bytes(out)

    def decode_indices(self, image=0):
        """Image `image` as palette indices, index_size bytes each (little-endian)."""
        out = self._decode(L.lib.qm5_decode_indices, L.BUFFER_INDICES, image)
        if self.index_size == 1:
            return bytes(out[0::2] if sys.byteorder == "little" else out[1::2])
        if sys.byteorder == "big":
            out[0::2], out[1::2] = out[1::2], out[0::2]
        return bytes(out)

    def close(self):
        """Releases the library's texture (done as well when it is collected)."""
        with self._lock:
            self._finalizer()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        kind = "compressed" if self.compressed else "plain"
        return (f"<qm5.Texture {self.width} x {self.height}, {self.colour_count} colours, "
                f"{len(self.images)} images, {kind}>")
