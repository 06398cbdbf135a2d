"""Pillow opens and saves Qm5 textures once this module is imported.

    from PIL import Image
    import qm5.pillow
    im = Image.open("wall.qm5")          # "P" up to 256 colours, else "RGB"
    im.save("copy.qm5", qm5_mode="best")
    im.save("sky.qm5", save_all=True, append_images=[im1, im2], qm5_mode="auto")

Each image of a texture is a frame (seek, tell, n_frames). Saving takes
qm5_mode ("plain", the default, "compressed", "best", "auto", "auto-best"),
qm5_effort, qm5_threads and qm5_ignore_alpha, as qm5.encode takes them.
A damaged file raises what Pillow raises for one: UnidentifiedImageError
when it is no texture, OSError when it is a damaged one; Image.MAX_IMAGE_PIXELS
bounds the pictures opened.
"""

import struct

from PIL import Image, ImageFile, ImagePalette, ImageSequence

from . import _texture
from ._encoding import encode
from ._errors import Qm5Error, Status

FORMAT = "QM5"
_MAGIC = b"qm5"
# Width and height are the header's signed 16-bit fields at bytes 14 and 16.
_HEADER = struct.Struct("<14xhh2x")


def _accept(prefix):
    return prefix[:3] == _MAGIC


def _pillow_error(error):
    """The exception Pillow's callers expect for a library refusal."""
    if error.status == Status.ERROR_NOT_TEXTURE:
        return SyntaxError(error.message)
    if error.status == Status.ERROR_OUT_OF_MEMORY:
        return MemoryError(str(error))
    if error.status == Status.ERROR_ARGUMENT:
        return ValueError(str(error))
    return OSError(str(error))


def _pixel_limit():
    """The pixels Pillow lets through: refused above twice MAX_IMAGE_PIXELS."""
    limit = Image.MAX_IMAGE_PIXELS
    return 0 if limit is None else 2 * limit


class Qm5ImageFile(ImageFile.ImageFile):
    format = FORMAT
    format_description = "Qm5 palettised texture"

    def _open(self):
        header = self.fp.read(_HEADER.size)
        if not _accept(header):
            raise SyntaxError("not a Qm5 texture")
        # Pillow checks its pixel limit once this returns; checked here as
        # well, so that the file of a picture it refuses is not read whole.
        if len(header) == _HEADER.size:
            width, height = _HEADER.unpack(header)
            if width > 0 and height > 0 and _pixel_limit() and width * height > _pixel_limit():
                raise Image.DecompressionBombError(
                    f"Image size ({width * height} pixels) exceeds limit of {_pixel_limit()} pixels, "
                    "could be decompression bomb DOS attack.")
        self.fp.seek(0)
        try:
            texture = _texture.open_texture(self.fp, max_pixels=_pixel_limit())
        except Qm5Error as e:
            raise _pillow_error(e) from e
        if texture.image_count == 0:
            texture.close()
            raise SyntaxError("the texture holds no image")
        self._texture = texture
        self._size = (texture.width, texture.height)
        if texture.colour_count <= 256:
            self._set_mode("P")
            # Pixels no record covers are index 0: black in a texture without colours.
            self.palette = ImagePalette.raw("RGB", texture.palette or b"\0\0\0")
        else:
            self._set_mode("RGB")
        self._frame = -1
        self._fp = self.fp
        if texture.image_count > 1:
            self._close_exclusive_fp_after_loading = False  # frames after the first are loaded later
        self.seek(0)

    def _set_mode(self, mode):
        # Pillow 10.1 made mode a read-only property over _mode.
        if isinstance(getattr(type(self), "mode", None), property):
            self._mode = mode
        else:
            self.mode = mode

    def close(self):
        super().close()
        if getattr(self, "_texture", None) is not None:
            self._texture.close()

    @property
    def n_frames(self):
        return self._texture.image_count

    @property
    def is_animated(self):
        return self._texture.image_count > 1

    def seek(self, frame):
        if not self._seek_check(frame):
            return
        self._frame = frame
        self.fp = self._fp
        self.tile = [("qm5", (0, 0) + self.size, 0, (self._texture, frame))]

    def tell(self):
        return self._frame


class Qm5Decoder(ImageFile.PyDecoder):
    """Decodes one image of the texture the tile names; the data is the texture's own."""

    _pulls_fd = True

    def decode(self, buffer):
        texture, frame = self.args
        try:
            if self.mode == "P":
                self.set_as_raw(texture.decode_indices(frame), "P")
            else:
                self.set_as_raw(texture.decode_rgb(frame), "RGB")
        except Qm5Error as e:
            raise _pillow_error(e) from e
        return -1, 0


def _frames(im, save_all):
    """Every picture to save: im's current frame, or all frames of im and of append_images."""
    if not save_all:
        return [im]
    frames = []
    for source in [im] + list(im.encoderinfo.get("append_images", [])):
        current = source.tell()
        frames += [frame.copy() for frame in ImageSequence.Iterator(source)]
        source.seek(current)
    return frames


def _save(im, fp, filename, save_all=False):
    info = im.encoderinfo
    try:
        data = encode(_frames(im, save_all), info.get("qm5_mode", "plain"), effort=info.get("qm5_effort"),
                      threads=info.get("qm5_threads", 0), ignore_alpha=info.get("qm5_ignore_alpha", False))
    except Qm5Error as e:
        raise _pillow_error(e) from e
    fp.write(data)


def _save_all(im, fp, filename):
    _save(im, fp, filename, save_all=True)


Image.register_open(FORMAT, Qm5ImageFile, _accept)
Image.register_decoder("qm5", Qm5Decoder)
Image.register_save(FORMAT, _save)
Image.register_save_all(FORMAT, _save_all)
Image.register_extension(FORMAT, ".qm5")
