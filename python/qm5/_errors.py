"""The one exception of the package, with the library's status and place."""

import enum
from typing import NamedTuple, Optional


class Status(enum.IntEnum):
    """The library's outcomes (qm5_status); the values are fixed."""

    OK = 0
    ERROR_ARGUMENT = 1
    ERROR_BUFFER_SIZE = 2
    ERROR_IO = 3
    ERROR_NOT_TEXTURE = 4
    ERROR_TRUNCATED = 5
    ERROR_MALFORMED = 6
    ERROR_LIMIT = 7
    ERROR_OUT_OF_MEMORY = 8
    ERROR_TRANSPARENT = 9
    ERROR_TOO_MANY_COLOURS = 10
    ERROR_RECORD_TOO_LONG = 11


class Place(NamedTuple):
    """Where a failure lies; None where not known.

    image: the image (0 = first); record: the colour record of a compressed
    image, or the colour being compressed; offset: the byte offset in the
    texture when reading, in the image's pixels when encoding.
    """

    image: Optional[int] = None
    record: Optional[int] = None
    offset: Optional[int] = None


NOWHERE = Place()


class Qm5Error(Exception):
    """A texture or picture the library refused, or a call it cannot make.

    status: a Status (an int when the library has a newer code than this
    package knows); message: the library's words, e.g. "record 12 of image 0
    runs past the end of the file"; place: a Place; name: the file the call
    was about, when there was one.
    """

    def __init__(self, status, message, place=NOWHERE, name=None):
        try:
            status = Status(status)
        except ValueError:
            pass
        self.status = status
        self.message = message
        self.place = place
        self.name = name
        super().__init__(f"{name}: {message}" if name else message)


def argument_error(message, image=None):
    """A request refused before it reaches the library."""
    return Qm5Error(Status.ERROR_ARGUMENT, message, Place(image=image))
