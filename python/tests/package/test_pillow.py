import io
import struct

import pytest
from PIL import Image, ImageOps, ImageSequence

import qm5
import qm5.pillow  # noqa: F401 (registers the plugin)
from conftest import MODE_FLAGS, SOURCE_DIR


@pytest.mark.parametrize("mode", MODE_FLAGS)
def test_save_is_the_command_texture_and_opens_as_p(mode, tmp_path, wall, command_texture):
    path = tmp_path / "wall.qm5"  # the extension picks the plugin
    wall.image.save(path, qm5_mode=mode)
    assert path.read_bytes() == command_texture(wall.path, *MODE_FLAGS[mode])
    with Image.open(path) as im:
        assert (im.format, im.mode, im.size, im.n_frames) == ("QM5", "P", (64, 64), 1)
        assert im.convert("RGB").tobytes() == wall.rgb


def test_save_all_gives_frames(tmp_path, wall):
    pictures = [wall.image, ImageOps.flip(wall.image), ImageOps.mirror(wall.image)]
    path = tmp_path / "three.qm5"
    pictures[0].save(path, save_all=True, append_images=pictures[1:], qm5_mode="compressed")
    with Image.open(path) as im:
        assert im.n_frames == 3 and im.is_animated
        got = [frame.convert("RGB").tobytes() for frame in ImageSequence.Iterator(im)]
        assert got == [p.tobytes() for p in pictures]
        im.seek(1)
        assert im.tell() == 1 and im.convert("RGB").tobytes() == pictures[1].tobytes()
        with pytest.raises(EOFError):
            im.seek(3)


def test_more_than_256_colours_open_as_rgb(many_colours):
    out = io.BytesIO()
    many_colours.save(out, format="QM5", qm5_mode="auto")
    with Image.open(out) as im:
        assert im.mode == "RGB" and im.tobytes() == many_colours.tobytes()


def small_textures():
    """A compressed texture of two images and a plain one, of a few colours."""
    image = Image.new("RGB", (6, 5))
    image.putdata([((x * 40) % 120, y * 50, 0) for y in range(5) for x in range(6)])
    flipped = ImageOps.flip(image)
    return [qm5.encode([image, flipped], "compressed"), qm5.encode([image, flipped], "plain")]


def damaged_files():
    """The fuzzers' textures and crashers, and every cut and byte change of small ones."""
    for folder in ("fuzz/corpus/texture", "fuzz/corpus/capi", "tests/regressions/texture", "tests/regressions/capi"):
        for path in sorted((SOURCE_DIR / folder).iterdir()):
            yield path.read_bytes()
    for data in small_textures():
        for end in range(len(data)):
            yield data[:end]
        for at in range(len(data)):
            for value in (0x00, 0x80, 0xFF, data[at] ^ 0x01):
                yield data[:at] + bytes([value]) + data[at + 1:]


def test_damaged_files_raise_pillow_exceptions():
    refused = opened = 0
    for data in damaged_files():
        try:
            with Image.open(io.BytesIO(data)) as im:
                for frame in ImageSequence.Iterator(im):
                    frame.load()
            opened += 1
        except (OSError, Image.DecompressionBombError):  # UnidentifiedImageError is an OSError
            refused += 1
    assert refused > 100 and opened > 100


def test_pillow_pixel_limit_holds(monkeypatch, wall):
    # 32767 x 32767, one colour painting every pixel: 27 bytes.
    huge = b"qm5\0" + struct.pack("<hhhhhhhh", 100, 1, 1, 1, 1, 32767, 32767, 0) + bytes(4) + b"\x80\0\0"
    with pytest.raises(Image.DecompressionBombError):
        Image.open(io.BytesIO(huge))
    out = io.BytesIO()
    wall.image.save(out, format="QM5")
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 1000)
    with pytest.raises(Image.DecompressionBombError):
        Image.open(out)
