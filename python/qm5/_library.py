"""libqm5 through ctypes: where it is found, and its functions and structures
as <qm5/qm5.h> declares them (tests/package/test_binding.py holds the two side by side).

The library is looked for, in this order, and the first that loads is used:
  1. the file QM5_LIBRARY names, when that variable is set (then nothing else);
  2. the file cmake --install recorded beside this package (_location.py);
  3. the library's name on the system's loader path (libqm5.so.1 and so on).
"""

import ctypes
import os
import sys

# The major version of the C interface this package speaks.
ABI_MAJOR = 1


class Info(ctypes.Structure):
    _fields_ = [("version", ctypes.c_int32), ("width", ctypes.c_int32), ("height", ctypes.c_int32),
                ("colour_count", ctypes.c_int32), ("mipmap_levels", ctypes.c_int32),
                ("image_count", ctypes.c_uint32), ("compressed", ctypes.c_int32)]


class ImageInfo(ctypes.Structure):
    _fields_ = [("compressed", ctypes.c_int32), ("offset", ctypes.c_uint64), ("size", ctypes.c_uint64)]


class PlaceStruct(ctypes.Structure):
    _fields_ = [("image", ctypes.c_int64), ("record", ctypes.c_int64), ("offset", ctypes.c_int64)]


class Images(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int32), ("height", ctypes.c_int32), ("count", ctypes.c_uint32),
                ("rgba", ctypes.POINTER(ctypes.POINTER(ctypes.c_uint8))),
                ("indices", ctypes.POINTER(ctypes.POINTER(ctypes.c_uint16))),
                ("palette", ctypes.POINTER(ctypes.c_uint8)), ("palette_size", ctypes.c_uint32)]


# qm5_limit and qm5_buffer values.
LIMIT_PIXELS, LIMIT_PAINT_WORK, LIMIT_MEMORY = 0, 1, 2
BUFFER_RGBA, BUFFER_INDICES, BUFFER_PALETTE = 0, 1, 2

_p = ctypes.c_void_p
_status = ctypes.c_int
# name: (result type, argument types); every enum is an int.
_FUNCTIONS = {
    "qm5_version": (ctypes.c_char_p, []),
    "qm5_status_text": (ctypes.c_char_p, [_status]),
    "qm5_context_new": (_status, [ctypes.POINTER(_p)]),
    "qm5_context_free": (None, [_p]),
    "qm5_set_limit": (_status, [_p, ctypes.c_int, ctypes.c_uint64]),
    "qm5_get_limit": (ctypes.c_uint64, [_p, ctypes.c_int]),
    "qm5_last_message": (ctypes.c_char_p, [_p]),
    "qm5_last_place": (PlaceStruct, [_p]),
    "qm5_open": (_status, [_p, _p, ctypes.c_size_t, ctypes.POINTER(_p)]),
    "qm5_open_borrowed": (_status, [_p, _p, ctypes.c_size_t, ctypes.POINTER(_p)]),
    "qm5_close": (None, [_p]),
    "qm5_get_info": (_status, [_p, ctypes.POINTER(Info)]),
    "qm5_get_image_info": (_status, [_p, ctypes.c_uint32, ctypes.POINTER(ImageInfo)]),
    "qm5_buffer_size": (_status, [_p, ctypes.c_int, ctypes.POINTER(ctypes.c_size_t)]),
    "qm5_decode_rgba": (_status, [_p, ctypes.c_uint32, _p, ctypes.c_size_t]),
    "qm5_decode_indices": (_status, [_p, ctypes.c_uint32, _p, ctypes.c_size_t]),
    "qm5_get_palette": (_status, [_p, _p, ctypes.c_size_t]),
    "qm5_encode": (_status, [_p, ctypes.POINTER(Images), _p, ctypes.POINTER(_p), ctypes.POINTER(ctypes.c_size_t)]),
    "qm5_free": (None, [_p]),
}


def _system_names():
    if sys.platform == "win32":
        return ["qm5.dll", "libqm5.dll"]  # MSVC's name, MinGW's name
    if sys.platform == "darwin":
        return [f"libqm5.{ABI_MAJOR}.dylib"]
    return [f"libqm5.so.{ABI_MAJOR}"]


def _candidates():
    """(what to load, how it was found) in the order of the module's docstring."""
    named = os.environ.get("QM5_LIBRARY")
    if named:
        return [(named, "QM5_LIBRARY")]
    found = []
    try:
        from . import _location  # written by cmake --install
        found.append((os.path.normpath(os.path.join(os.path.dirname(__file__), _location.LIBRARY)),
                      "installed beside the package"))
    except ImportError:
        pass
    return found + [(name, "the system's loader path") for name in _system_names()]


def _bind(lib):
    for name, (result, arguments) in _FUNCTIONS.items():
        function = getattr(lib, name)  # AttributeError: not this interface
        function.restype = result
        function.argtypes = arguments


def _load():
    tried = []
    for what, how in _candidates():
        try:
            lib = ctypes.CDLL(what)
        except OSError as e:
            tried.append(f"{what} ({how}): {e}")
            continue
        try:
            _bind(lib)
        except AttributeError as e:
            tried.append(f"{what} ({how}): not libqm5 {ABI_MAJOR}.x ({e})")
            continue
        version = lib.qm5_version().decode()
        if version.split(".")[0] != str(ABI_MAJOR):
            tried.append(f"{what} ({how}): libqm5 {version}, this package needs {ABI_MAJOR}.x")
            continue
        return lib, what, version
    raise ImportError("libqm5 not found; looked for:\n  " + "\n  ".join(tried) +
                      "\nInstall it (cmake --install), or set QM5_LIBRARY to the library's file.")


lib, path, version = _load()
