"""The build backend of the package qm5 (PEP 517 and PEP 660), in the tree.

The package is pure Python with nothing to compile, so its wheel is the
package's files and their metadata in a zip: pip builds it from here with
the standard library alone, without downloading a build tool, so
`pip install ./python` works with no network.
"""

import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile

NAME = "qm5"
SUMMARY = "Qm5 palettised textures (.qm5): read and write them, from Python and Pillow"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_EPOCH = (1980, 1, 1, 0, 0, 0)  # fixed times: the same sources give the same wheel


def _version():
    with open(os.path.join(ROOT, NAME, "__init__.py"), encoding="utf-8") as f:
        return re.search(r'^__version__ = "([^"]+)"', f.read(), re.M).group(1)


def _metadata():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    return (f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {_version()}\nSummary: {SUMMARY}\n"
            "Requires-Python: >=3.8\nDescription-Content-Type: text/markdown\n\n" + readme).encode()


def _package_files():
    folder = os.path.join(ROOT, NAME)
    return sorted(f"{NAME}/{name}" for name in os.listdir(folder) if name.endswith(".py"))


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def _write_wheel(wheel_directory, files):
    """files: [(name in the wheel, bytes)]; adds the dist-info and returns the wheel's name."""
    info = f"{NAME}-{_version()}.dist-info"
    files = files + [(f"{info}/METADATA", _metadata()),
                     (f"{info}/WHEEL", b"Wheel-Version: 1.0\nGenerator: qm5_build_backend\n"
                                       b"Root-Is-Purelib: true\nTag: py3-none-any\n")]
    record = "".join(_record_line(name, data) for name, data in files) + f"{info}/RECORD,,\n"
    wheel = f"{NAME}-{_version()}-py3-none-any.whl"
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel), "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files + [(f"{info}/RECORD", record.encode())]:
            z.writestr(zipfile.ZipInfo(name, _EPOCH), data, zipfile.ZIP_DEFLATED)
    return wheel


def _read(name):
    with open(os.path.join(ROOT, name), "rb") as f:
        return f.read()


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, [(name, _read(name)) for name in _package_files()])


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # The package stays where it is: a .pth file puts its folder on the path.
    return _write_wheel(wheel_directory, [(f"{NAME}_editable.pth", (ROOT + "\n").encode())])


def build_sdist(sdist_directory, config_settings=None):
    base = f"{NAME}-{_version()}"
    names = ["pyproject.toml", "README.md", "backend/qm5_build_backend.py"] + _package_files()
    with tarfile.open(os.path.join(sdist_directory, base + ".tar.gz"), "w:gz") as tar:
        for name, data in [(name, _read(name)) for name in names] + [("PKG-INFO", _metadata())]:
            member = tarfile.TarInfo(f"{base}/{name}")
            member.size, member.mode = len(data), 0o644
            tar.addfile(member, io.BytesIO(data))
    return base + ".tar.gz"
