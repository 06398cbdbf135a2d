"""Encoding pictures into a texture."""

import ctypes

from . import _encode_options
from ._context import failure, new_context
from ._errors import Status, argument_error
from ._library import Images, lib

_BYTES_LIKE = (bytes, bytearray, memoryview)
_ADVICE = [("with QM5_IGNORE_ALPHA", "with ignore_alpha=True"), ("with QM5_MODE_AUTO", 'in mode "auto"')]


def _rgb_to_rgba(rgb, pixels):
    rgba = bytearray(4 * pixels)
    for channel in range(3):
        rgba[channel::4] = rgb[channel::3]
    rgba[3::4] = b"\xff" * pixels
    return rgba


def _pillow_image_class(picture):
    try:
        from PIL import Image
    except ImportError:
        return None
    return Image.Image if isinstance(picture, Image.Image) else None


def _picture(picture, size, i):
    """((width, height), RGBA pixels) of one picture."""
    if isinstance(picture, _BYTES_LIKE):
        if size is None:
            raise argument_error("RGB bytes need size=(width, height)", image=i)
        width, height = size
        rgb = picture if isinstance(picture, bytes) else bytes(picture)  # bytes slice fastest
        if width < 1 or height < 1 or len(rgb) != 3 * width * height:
            raise argument_error(f"picture {i} holds {len(rgb)} bytes; {width} x {height} RGB pixels "
                                 f"are {max(3 * width * height, 0)}", image=i)
        return (width, height), _rgb_to_rgba(rgb, width * height)
    if _pillow_image_class(picture) is None:
        raise TypeError(f"picture {i} is a {type(picture).__name__}; give RGB bytes or a Pillow image")
    # Pillow's conversion keeps its meaning of transparency (an alpha band, a
    # palette's transparent entry) for the library to refuse or drop.
    rgba = picture if picture.mode == "RGBA" else picture.convert("RGBA")
    return picture.size, rgba.tobytes()


def _pictures(pictures, size):
    """(width, height, [RGBA pixels of each picture]), all of one size."""
    if isinstance(pictures, _BYTES_LIKE) or _pillow_image_class(pictures) is not None:
        pictures = [pictures]
    found = [_picture(p, size, i) for i, p in enumerate(pictures)]
    if not found:
        raise argument_error("no pictures to encode")
    (width, height), _ = found[0]
    for i, ((w, h), _) in enumerate(found):
        if (w, h) != (width, height):
            raise argument_error(f"picture {i} is {w} x {h}, picture 0 is {width} x {height}; "
                                 "the images of a texture share one size", image=i)
    return width, height, [pixels for _, pixels in found]


def _pointer(pixels):
    if isinstance(pixels, bytes):
        return ctypes.cast(ctypes.c_char_p(pixels), ctypes.POINTER(ctypes.c_uint8))
    return ctypes.cast((ctypes.c_uint8 * len(pixels)).from_buffer(pixels), ctypes.POINTER(ctypes.c_uint8))


def encode(pictures, mode="plain", *, size=None, effort=None, threads=0, ignore_alpha=False):
    """The bytes of a texture holding the pictures, as qm5 encode writes them.

    pictures: a Pillow image, RGB bytes (red, green, blue per pixel, rows from
    the top) with size=(width, height), or a list of either, all of one size.
    mode: "plain", "compressed", "best", "auto" or "auto-best" (qm5 encode,
    -c, --best, --auto, --auto --best). effort: the palette-order effort of the
    best modes (None: the library's default). threads: 0 for one per core;
    never changes the bytes. ignore_alpha drops alpha instead of refusing a
    pixel that is not opaque. Raises Qm5Error.
    """
    opts = _encode_options.options(mode, effort, threads, ignore_alpha)
    width, height, buffers = _pictures(pictures, size)
    rgba = (ctypes.POINTER(ctypes.c_uint8) * len(buffers))(*map(_pointer, buffers))
    images = Images(width=width, height=height, count=len(buffers), rgba=rgba)
    ctx = new_context()
    try:
        status, data, length = _encode_options.call_encode(ctx, images, opts)
        if status != Status.OK:
            error = failure(ctx, status)
            for c_name, python_name in _ADVICE:  # the library's advice in this package's words
                error.message = error.message.replace(c_name, python_name)
            error.args = (error.message,)
            raise error
        try:
            return ctypes.string_at(data, length)
        finally:
            lib.qm5_free(data)
    finally:
        lib.qm5_context_free(ctx)
