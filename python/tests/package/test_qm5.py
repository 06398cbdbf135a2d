import os
import subprocess
import sys

import pytest
from PIL import Image

import qm5
from conftest import MODE_FLAGS


def palette_colours(indices, palette, index_size):
    colours = bytearray()
    for p in range(0, len(indices), index_size):
        k = int.from_bytes(indices[p:p + index_size], "little")
        colours += palette[3 * k:3 * k + 3]
    return bytes(colours)


def test_open_describes_and_decodes_from_path_stream_and_bytes(tmp_path, wall, command_texture):
    data = command_texture(wall.path, "-c")
    path = tmp_path / "wall.qm5"
    path.write_bytes(data)
    with open(path, "rb") as stream:
        for source in (path, str(path), stream, data):
            with qm5.open(source) as tex:
                assert (tex.width, tex.height, tex.colour_count, tex.mipmap_levels) == (64, 64, 40, 6)
                assert tex.images == (qm5.ImageEntry("compressed", 180, len(data) - 180),)
                assert tex.decode_rgb(0) == wall.rgb
                assert palette_colours(tex.decode_indices(0), tex.palette, 1) == wall.rgb
    # The texture reads its bytes in place: a caller's buffer changed or
    # dropped after the open must not reach it.
    buffer = bytearray(data)
    tex = qm5.open(buffer)
    buffer[180:] = bytes(len(buffer) - 180)
    del buffer
    assert tex.decode_rgb(0) == wall.rgb
    tex.close()


def test_more_than_256_colours_decode_as_two_byte_indices(many_colours):
    with qm5.open(qm5.encode(many_colours, "compressed")) as tex:
        assert tex.colour_count == 300 and tex.index_size == 2
        assert palette_colours(tex.decode_indices(0), tex.palette, 2) == many_colours.tobytes()


@pytest.mark.parametrize("mode", MODE_FLAGS)
def test_encode_of_rgb_bytes_is_the_command_texture(mode, wall, command_texture):
    assert qm5.encode(wall.rgb, mode, size=wall.image.size) == command_texture(wall.path, *MODE_FLAGS[mode])


def test_refusals_carry_status_message_and_place(tmp_path, wall, command_texture):
    data = command_texture(wall.path)
    cut = tmp_path / "cut.qm5"
    cut.write_bytes(data[:-1])
    with pytest.raises(qm5.Qm5Error) as e:
        qm5.open(cut)
    assert e.value.status == qm5.Status.ERROR_TRUNCATED and e.value.place.image == 0
    assert str(e.value) == f"{cut}: {e.value.message}" and e.value.message
    with pytest.raises(FileNotFoundError):
        qm5.open(tmp_path / "missing.qm5")
    with pytest.raises(qm5.Qm5Error) as e:
        qm5.open(data, max_pixels=100).decode_rgb(0)
    assert e.value.status == qm5.Status.ERROR_LIMIT

    clear = Image.new("RGBA", (2, 2), (9, 9, 9, 0))
    with pytest.raises(qm5.Qm5Error) as e:
        qm5.encode([wall.image.copy(), clear])
    assert e.value.status == qm5.Status.ERROR_ARGUMENT and e.value.place.image == 1
    with pytest.raises(qm5.Qm5Error) as e:
        qm5.encode(clear)
    assert e.value.status == qm5.Status.ERROR_TRANSPARENT and e.value.place == (0, None, 0)
    assert qm5.open(qm5.encode(clear, ignore_alpha=True)).decode_rgb(0) == bytes([9] * 12)
    assert "matte=COLOUR" in e.value.message
    with pytest.raises(qm5.Qm5Error) as e:
        qm5.encode(wall.image, quality=120)
    assert e.value.status == qm5.Status.ERROR_ARGUMENT


def test_settings_give_the_command_texture(tmp_path, wall, command_texture):
    assert qm5.encode(wall.image, "best", effort=50) == command_texture(wall.path, "--best", "--effort", "50")
    # 64 x 64 pixels of 4096 colours, reduced.
    photo = Image.new("RGB", (64, 64))
    photo.putdata([(x * 4, y * 4, 80) for y in range(64) for x in range(64)])
    photo.save(tmp_path / "photo.png")
    want = command_texture(tmp_path / "photo.png", "--quality", "31.5", "--auto", "--best")
    assert qm5.encode(photo, "auto-best", quality=31.5) == want
    assert qm5.open(qm5.encode(photo, colors=8, dither=True)).colour_count == 8

    clear = Image.new("RGBA", (2, 2), (9, 9, 9, 0))
    assert qm5.open(qm5.encode(clear, matte="#ff00ff")).decode_rgb(0) == bytes([255, 0, 255] * 4)
    # A palette kept in its order, indices and all.
    indexed = wall.image.quantize(16)
    indexed.putpalette(indexed.getpalette()[:48][::-1])
    with qm5.open(qm5.encode(indexed, "best", keep_palette=True)) as tex:
        assert tex.palette[:48] == bytes(indexed.getpalette()[:48])
        assert tex.decode_indices(0) == indexed.tobytes()


def test_progress_reports_the_stages_and_cancels(wall):
    seen = []
    qm5.encode(wall.image, "best", progress=seen.append)
    stages = [p.stage for p in seen]
    assert stages[0] == "palette" and stages[-1] == "writing" and "compressing" in stages
    assert all(p.done <= p.total for p in seen)
    with pytest.raises(qm5.Qm5Error) as e:
        qm5.encode(wall.image, "best", progress=lambda p: p.stage == "compressing")
    assert e.value.status == qm5.Status.ERROR_CANCELLED

    def broken(progress):
        raise KeyError("from the callback")
    with pytest.raises(KeyError, match="from the callback"):
        qm5.encode(wall.image, "best", progress=broken)


def test_a_missing_library_is_named(tmp_path):
    missing = tmp_path / "libqm5.so.1"
    env = dict(os.environ, QM5_LIBRARY=str(missing))
    run = subprocess.run([sys.executable, "-c", "import qm5"], env=env, stderr=subprocess.PIPE, text=True, timeout=60)
    assert run.returncode != 0
    assert "ImportError: libqm5 not found" in run.stderr and f"{missing} (QM5_LIBRARY)" in run.stderr
