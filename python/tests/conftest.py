"""What the tests share: the sample picture and the qm5 command's textures.
ctest sets QM5_LIBRARY and QM5_CMD to the build's library and command."""

import os
import subprocess
from pathlib import Path
from types import SimpleNamespace

import pytest
from PIL import Image

SOURCE_DIR = Path(__file__).resolve().parents[2]
# Each mode of qm5.encode and Pillow's qm5_mode, with the flags of qm5 encode.
MODE_FLAGS = {"plain": [], "compressed": ["-c"], "best": ["--best"], "auto": ["--auto"],
              "auto-best": ["--auto", "--best"]}


@pytest.fixture(scope="session")
def source_dir():
    return SOURCE_DIR


@pytest.fixture(scope="session")
def wall():
    """samples/wall.bmp: 64 x 64, 40 colours."""
    path = SOURCE_DIR / "samples" / "wall.bmp"
    with Image.open(path) as im:
        image = im.convert("RGB")
    return SimpleNamespace(path=path, image=image, rgb=image.tobytes())


@pytest.fixture(scope="session")
def command_texture():
    """The texture qm5 encode writes for a picture file with the given flags."""
    def run(picture, *flags, program=None):
        command = [program or os.environ["QM5_CMD"], "encode", str(picture), "-o", "-", "-q", *flags]
        # What ctest preloads is the interpreter's (a sanitized build's
        # runtime, python/CMakeLists.txt): the command has its own.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        return subprocess.run(command, check=True, stdout=subprocess.PIPE, env=env, timeout=60).stdout
    return run


@pytest.fixture(scope="session")
def many_colours():
    """20 x 15 pixels of 300 colours: more than a "P" image holds."""
    image = Image.new("RGB", (20, 15))
    image.putdata([(k % 256, k // 256 * 100, 50) for k in range(300)])
    return image
