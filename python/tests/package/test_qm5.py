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
    # Until libqm5 takes an effort, asking for one is refused, never ignored.
    with pytest.raises(qm5.Qm5Error, match="not supported by this libqm5"):
        qm5.encode(wall.image, "best", effort=8)


def test_a_missing_library_is_named(tmp_path):
    missing = tmp_path / "libqm5.so.1"
    env = dict(os.environ, QM5_LIBRARY=str(missing))
    run = subprocess.run([sys.executable, "-c", "import qm5"], env=env, stderr=subprocess.PIPE, text=True, timeout=60)
    assert run.returncode != 0
    assert "ImportError: libqm5 not found" in run.stderr and f"{missing} (QM5_LIBRARY)" in run.stderr
