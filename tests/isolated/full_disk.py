"""The command line on a disk that fills up at a chosen write.

Usage: full_disk.py WHERE K LOG ARGS...; runs `zentrove ARGS` where the K-th
output operation of the main process and every one after it fail with ENOSPC
(WHERE "main"), or
where every write of a worker process fails (WHERE "workers").  The counted
operations are raw writes of files the run opens for writing, os.fsync,
os.replace and os.sendfile; the name of the one that failed is appended to
LOG.  Exits with the command's status.
"""

import errno
import io
import os
import sys

from zentrove import _cli_jobs, cli

where, k, log = sys.argv[1], int(sys.argv[2]), sys.argv[3]
main_pid = os.getpid()
calls = 0


def full(name):
    """Whether the operation called now fails."""
    global calls
    if os.getpid() != main_pid:
        return where == "workers" and name == "write"
    if where != "main":
        return False
    calls += 1
    if calls < k:
        return False
    if calls == k:
        with open(log, "a") as handle:
            handle.write(name + "\n")
    return True  # full from then on


def no_space():
    return OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))


class FillingFile(io.FileIO):
    def write(self, data):
        if full("write"):
            raise no_space()
        return super().write(data)


def counted(name, real):
    def call(*args, **kwargs):
        if full(name):
            raise no_space()
        return real(*args, **kwargs)

    return call


real_fdopen = os.fdopen


def fdopen(fd, mode="r", *args, **kwargs):
    if mode == "wb":  # the output file and the part files
        return io.BufferedWriter(FillingFile(fd, "wb"))
    return real_fdopen(fd, mode, *args, **kwargs)


# Parts of 16 KiB (or $SEGMENT bytes), so that --jobs splits the tests' files.
_cli_jobs.SEGMENT = int(os.environ.get("SEGMENT", 16 << 10))
os.fdopen = fdopen
for name in ("fsync", "replace", "sendfile"):
    setattr(os, name, counted(name, getattr(os, name)))
raise SystemExit(cli.main(sys.argv[4:]))
