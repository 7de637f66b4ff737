#!/usr/bin/env python3
"""Puts benchmark transcripts into the page cache in a known state, since how
the kernel holds a file there decides how fast its pages map.

usage: page_cache.py written|read FILE...

  written  writes each file again a line at a time, as an agent appends to its
           transcript: the cache holds it in the small pages such writes leave.
  read     drops each file from the cache and reads it back, as a file is read
           from disk: read-ahead holds it in large folios, which map several
           times faster. Where the file system gives the cache no large folios
           (or keeps files in memory only, as tmpfs does), both states are the
           same.
"""
import os
import sys


def written(path):
    temporary = path + ".rewriting"
    with open(path, "rb") as source:
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            for line in source:
                view = memoryview(line)
                while view:
                    view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
    os.replace(temporary, path)


def read(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)  # only clean pages can be dropped
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        while os.read(fd, 1 << 20):
            pass
    finally:
        os.close(fd)


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in ("written", "read"):
        sys.exit(__doc__)
    state = written if sys.argv[1] == "written" else read
    for path in sys.argv[2:]:
        state(path)


if __name__ == "__main__":
    main()
