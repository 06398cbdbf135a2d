"""The ctypes declarations against <qm5/qm5.h>: a field or an argument added,
moved or retyped in the header fails here instead of corrupting memory."""

import ctypes
import re

from conftest import SOURCE_DIR
from qm5 import _encode_options, _library

HEADER = re.sub(r"/\*.*?\*/", "", (SOURCE_DIR / "include" / "qm5" / "qm5.h").read_text(), flags=re.S)
C_TYPES = {"int32_t": ctypes.c_int32, "uint32_t": ctypes.c_uint32, "int64_t": ctypes.c_int64,
           "uint64_t": ctypes.c_uint64, "qm5_mode": ctypes.c_int}
MIRRORS = {"qm5_info": _library.Info, "qm5_image_info": _library.ImageInfo, "qm5_place": _library.PlaceStruct,
           "qm5_images": _library.Images, "qm5_encode_options": _encode_options.EncodeOptions}


def header_fields(struct):
    body = re.search(r"typedef struct %s \{(.*?)\} %s;" % (struct, struct), HEADER, re.S).group(1)
    fields = []
    for declaration in filter(None, (d.strip() for d in body.split(";"))):
        kind, name = re.fullmatch(r"(.*?)\s*(\w+)", declaration, re.S).groups()
        fields.append((name, "pointer" if "*" in kind else C_TYPES[kind]))
    return fields


def mirror_fields(structure):
    pointer = (ctypes._Pointer, ctypes.c_void_p, ctypes.c_char_p)
    return [(name, "pointer" if issubclass(kind, pointer) else kind) for name, kind in structure._fields_]


def test_structures_match_the_header():
    for struct, mirror in MIRRORS.items():
        assert mirror_fields(mirror) == header_fields(struct), struct


def test_functions_take_the_header_argument_counts():
    for name, (_, arguments) in _library._FUNCTIONS.items():
        declared = re.search(r"QM5_API [^;(]*\b%s\(([^)]*)\);" % name, HEADER).group(1).strip()
        assert len(arguments) == (0 if declared == "void" else declared.count(",") + 1), name
