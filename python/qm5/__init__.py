"""Qm5 palettised textures (.qm5) from Python, over the C library libqm5.

    import qm5
    with qm5.open("wall.qm5") as tex:
        print(tex.width, tex.height, tex.colour_count, tex.images)
        rgb = tex.decode_rgb(0)                            # bytes, 3 per pixel
        indices, palette = tex.decode_indices(0), tex.palette
    data = qm5.encode([rgb], "auto-best", size=(tex.width, tex.height))

Pillow opens and saves textures once qm5.pillow is imported.
"""

from ._errors import Place, Qm5Error, Status
from ._library import path as library_path, version as library_version
from ._texture import ImageEntry, Texture, open_texture as open
from ._encoding import encode
from ._encode_options import MODES

__version__ = "1.0.0"
__all__ = ["open", "encode", "Texture", "ImageEntry", "Qm5Error", "Status", "Place", "MODES",
           "library_path", "library_version"]
