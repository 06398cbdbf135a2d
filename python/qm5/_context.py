"""Library contexts, and the outcome of a failed call as a Qm5Error."""

import ctypes

from ._errors import Place, Qm5Error, Status
from ._library import lib


def new_context():
    ctx = ctypes.c_void_p()
    if lib.qm5_context_new(ctypes.byref(ctx)) != Status.OK:
        raise MemoryError("libqm5 cannot make a context")
    return ctx.value


def failure(ctx, status, name=None):
    """The last call with ctx failed with status: its message and place."""
    message = (lib.qm5_last_message(ctx) or b"").decode("utf-8", "replace")
    if not message:
        message = (lib.qm5_status_text(status) or b"").decode("utf-8", "replace") or f"status {status}"
    p = lib.qm5_last_place(ctx)
    place = Place(*(None if v < 0 else v for v in (p.image, p.record, p.offset)))
    return Qm5Error(status, message, place, name)


def check(ctx, status, name=None):
    if status != Status.OK:
        raise failure(ctx, status, name)
