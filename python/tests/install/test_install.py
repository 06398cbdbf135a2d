"""The package as users get it: from cmake --install (the library found beside
it), and from pip install into a virtual environment, offline."""

import os
import subprocess
import sys
from pathlib import Path

from conftest import SOURCE_DIR

# In the virtual environment, with the sample's texture and command texture in the current folder.
USE = """
from PIL import Image, ImageOps
import qm5.pillow
wall = Image.open("wall.bmp").convert("RGB")
assert Image.open("wall.qm5").convert("RGB").tobytes() == wall.tobytes()
wall.save("saved.qm5", qm5_mode="auto-best")
assert open("saved.qm5", "rb").read() == open("command.qm5", "rb").read()
wall.save("three.qm5", save_all=True, append_images=[ImageOps.flip(wall), ImageOps.mirror(wall)])
assert Image.open("three.qm5").n_frames == 3
print(qm5.__file__, qm5.library_path)
"""


def run(*command, timeout=120, **options):
    # A hang is killed and named (subprocess.TimeoutExpired) well within
    # ctest's limit for the test.
    return subprocess.run([str(c) for c in command], check=True, stdout=subprocess.PIPE, text=True, timeout=timeout,
                          **options).stdout.strip()


def test_installed_by_cmake_and_by_pip(tmp_path, wall, command_texture):
    prefix = tmp_path / "prefix"
    run(os.environ.get("QM5_CMAKE", "cmake"), "--install", os.environ["QM5_BUILD_DIR"], "--prefix", prefix)
    libdir = (prefix / os.environ["QM5_LIBDIR"]).resolve()
    env = {k: v for k, v in os.environ.items() if k not in ("QM5_LIBRARY", "PYTHONPATH")}

    site = prefix / os.environ["QM5_PYTHON_SITE_DIR"]
    found = run(sys.executable, "-c", "import qm5; print(qm5.library_path)", env=dict(env, PYTHONPATH=str(site)))
    assert Path(found).resolve().parent == libdir

    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", "--system-site-packages", venv)
    python = venv / ("Scripts" if os.name == "nt" else "bin") / "python"
    run(python, "-m", "pip", "install", "--no-index", "--disable-pip-version-check", "-q", SOURCE_DIR / "python",
        env=env, timeout=240)
    work = tmp_path / "work"
    work.mkdir()
    (work / "wall.bmp").write_bytes(wall.path.read_bytes())
    qm5_command = prefix / "bin" / "qm5"
    (work / "wall.qm5").write_bytes(command_texture(wall.path, "-c", program=qm5_command))
    (work / "command.qm5").write_bytes(command_texture(wall.path, "--auto", "--best", program=qm5_command))
    # pip's copy, and the library of the prefix on the loader's path.
    package, library = run(python, "-c", USE, cwd=work, env=dict(env, LD_LIBRARY_PATH=str(libdir))).split()
    assert Path(package).is_relative_to(venv) and library == "libqm5.so.1"
