"""Encoding pictures into a texture."""

import ctypes

from . import _encode_options
from ._context import failure, new_context
from ._errors import Status, argument_error
from ._library import Images, lib

_BYTES_LIKE = (bytes, bytearray, memoryview)
_ADVICE = [("with QM5_MATTE", "with matte=COLOUR"), ("QM5_IGNORE_ALPHA", "ignore_alpha=True"),
           ("with QM5_MODE_AUTO", 'in mode "auto"'),
           ("with the quality or max_colours setting", "with quality= or colors=")]


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


def _indexed(pictures):
    """(width, height, [indices of each picture], RGBA palette) of Pillow "P" images sharing one palette."""
    if _pillow_image_class(pictures) is not None:
        pictures = [pictures]
    pictures = list(pictures)
    if not pictures or any(_pillow_image_class(p) is None or p.mode != "P" for p in pictures):
        raise argument_error('keep_palette=True takes Pillow images of mode "P"')
    palette = pictures[0].getpalette() or []
    if any((p.getpalette() or []) != palette for p in pictures):
        raise argument_error("keep_palette=True takes pictures that share one palette")
    (width, height) = pictures[0].size
    for i, p in enumerate(pictures):
        if p.size != (width, height):
            raise argument_error(f"picture {i} is {p.size[0]} x {p.size[1]}, picture 0 is {width} x {height}; "
                                 "the images of a texture share one size", image=i)
    rgba = bytearray()
    for k in range(0, len(palette) - 2, 3):
        rgba += bytes(palette[k:k + 3]) + b"\xff"
    indices = [_widen(p.tobytes()) for p in pictures]
    return width, height, indices, bytes(rgba) or b"\0\0\0\xff"


def _widen(indices):
    """8-bit indices as the library's 16-bit ones, in the machine's order."""
    return (ctypes.c_uint16 * len(indices))(*indices)


def _pointer(pixels):
    if isinstance(pixels, bytes):
        return ctypes.cast(ctypes.c_char_p(pixels), ctypes.POINTER(ctypes.c_uint8))
    return ctypes.cast((ctypes.c_uint8 * len(pixels)).from_buffer(pixels), ctypes.POINTER(ctypes.c_uint8))


def _images(pictures, size, keep_palette):
    """The qm5_images of the pictures, and what must stay alive while it is used."""
    if keep_palette:
        width, height, indices, palette = _indexed(pictures)
        pointers = (ctypes.POINTER(ctypes.c_uint16) * len(indices))(
            *(ctypes.cast(i, ctypes.POINTER(ctypes.c_uint16)) for i in indices))
        images = Images(width=width, height=height, count=len(indices), indices=pointers,
                        palette=ctypes.cast(ctypes.c_char_p(palette), ctypes.POINTER(ctypes.c_uint8)),
                        palette_size=len(palette) // 4)
        return images, (indices, pointers, palette)
    width, height, buffers = _pictures(pictures, size)
    rgba = (ctypes.POINTER(ctypes.c_uint8) * len(buffers))(*map(_pointer, buffers))
    return Images(width=width, height=height, count=len(buffers), rgba=rgba), (buffers, rgba)


def encode(pictures, mode="plain", *, size=None, effort=None, threads=0, ignore_alpha=False, keep_palette=False,
           quality=None, colors=None, dither=False, matte=None, progress=None):
    """The bytes of a texture holding the pictures, as qm5 encode writes them.

    pictures: a Pillow image, RGB bytes (red, green, blue per pixel, rows from
    the top) with size=(width, height), or a list of either, all of one size.
    mode: "plain", "compressed", "best", "auto" or "auto-best" (qm5 encode,
    -c, --best, --auto, --auto --best). effort: the palette-order effort of the
    best modes, 0 to 1000 (None: 1, qm5 encode's). threads: 0 for one per core;
    never changes the bytes. ignore_alpha drops alpha instead of refusing a
    pixel that is not opaque; matte=(r, g, b) or "#rrggbb" composites such
    pixels onto that colour (qm5 encode --matte). keep_palette: Pillow "P"
    images keep their palette and indices as they are. quality (a PSNR in dB)
    and colors (at most that many) reduce truecolour pictures of any number of
    colours, as qm5 encode --quality and --colors; dither for textures stored
    plain. progress: called with a Progress a few times a second; a true
    result cancels (Qm5Error with Status.ERROR_CANCELLED), and an exception it
    raises cancels and is raised. Raises Qm5Error.
    """
    request = _encode_options.Request(mode, effort, threads, ignore_alpha, keep_palette, quality, colors, dither,
                                      matte, progress)
    images, alive = _images(pictures, size, keep_palette)
    ctx = new_context()
    try:
        status, data, length, raised = _encode_options.call_encode(ctx, images, request)
        del alive
        if raised is not None:
            raise raised
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
