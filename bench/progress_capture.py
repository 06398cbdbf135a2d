#!/usr/bin/env python3
"""Watches qm5's progress line in a pseudo-terminal.

Runs a qm5 command with its error stream on a pseudo-terminal, samples the
line shown every 0.5 s and prints the longest time it stayed unchanged,
with the stages seen. A measurement for a person, not a unit test: the
figures depend on the machine and its load.

    bench/progress_capture.py build/cli/qm5 encode --best logo1024.bmp -o /tmp/logo.qm5
"""
import os
import pty
import select
import sys
import time


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    master, slave = pty.openpty()
    pid = os.fork()
    if pid == 0:
        os.close(master)
        os.dup2(slave, 2)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.execv(argv[1], argv[1:])
    os.close(slave)
    start = time.monotonic()
    buffer = b""
    shown, since, longest, stages = None, start, (0.0, ""), []
    done = False
    while not done:
        deadline = time.monotonic() + 0.5
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([master], [], [], left)
            if not ready:
                continue
            try:
                chunk = os.read(master, 4096)
            except OSError:
                chunk = b""
            if not chunk:
                done = True
                break
            buffer += chunk
        # The line now: what follows the last carriage return.
        line = buffer.rsplit(b"\r", 1)[-1].decode(errors="replace").strip()
        now = time.monotonic()
        if os.environ.get("SHOW"):
            print(f"{now - start:5.1f} {line}")
        if line != shown:
            if shown:
                longest = max(longest, (now - since, shown))
            shown, since = line, now
            stage = line.split(": ", 1)[-1].split(",")[0]
            if line and (not stages or stages[-1] != stage):
                stages.append(stage)
    os.waitpid(pid, 0)
    print(f"run: {time.monotonic() - start:.1f} s")
    print(f"longest unchanged: {longest[0]:.1f} s at '{longest[1]}'")
    print("stages: " + " | ".join(stages))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
