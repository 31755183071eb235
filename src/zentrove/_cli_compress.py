"""Compressed inputs and outputs of the command line, known by their file
name's extension: .gz, .bz2 and .xz are read and written through the standard
library's codecs, a block at a time like every other file.
"""

from __future__ import annotations

from typing import IO, cast

SUFFIXES = (".gz", ".bz2", ".xz")


def compression_of(name: str) -> str | None:
    """The compressed extension that ends a file name, in any case."""
    lowered = name.lower()
    return next((suffix for suffix in SUFFIXES if lowered.endswith(suffix)), None)


def plain_name(name: str) -> str:
    """The name without its compressed extension: events.jsonl for
    events.jsonl.gz."""
    suffix = compression_of(name)
    return name[: -len(suffix)] if suffix else name


def open_reader(path: str, suffix: str) -> IO[bytes]:
    """The decompressed bytes of a file; reading raises one of READ_ERRORS."""
    if suffix == ".gz":
        import gzip

        return cast(IO[bytes], gzip.open(path, "rb"))
    if suffix == ".bz2":
        import bz2

        return cast(IO[bytes], bz2.open(path, "rb"))
    import lzma

    return cast(IO[bytes], lzma.open(path, "rb"))


def compressing(raw: IO[bytes], suffix: str) -> IO[bytes]:
    """A writer that compresses into raw; closing it ends the compressed
    stream and leaves raw open."""
    if suffix == ".gz":
        import gzip

        # The gzip command's level: the module's default, 9, is far slower.
        return cast(IO[bytes], gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=6))
    if suffix == ".bz2":
        import bz2

        return cast(IO[bytes], bz2.BZ2File(raw, "wb"))
    import lzma

    return cast(IO[bytes], lzma.LZMAFile(raw, "wb"))


def read_errors() -> tuple[type[Exception], ...]:
    """What reading a compressed file raises beyond OSError: a stream cut
    short (EOFError) and bad xz data (lzma.LZMAError)."""
    import lzma

    return (OSError, EOFError, lzma.LZMAError)
