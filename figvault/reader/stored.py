"""Texts and bytes left in the archive file: what a replay reads lazily.

A replay reads an archive twice: once with this reader (to check and restore
the sources and plan the replay, running nothing) and once with dill. Were
the reader to keep every text of the snapshot decoded, both copies would be
alive while dill builds the record again. Read for a replay, the large
texts and bytes of a stream become :class:`StoredText` and
:class:`StoredBytes` instead: where they lie in the file, read again (by
offset, from the same open file) only when something needs them: a file
being restored, a module being imported.

Which texts are stored: every text or bytes of at least
:data:`STORED_MIN_BYTES`, and a snapshot's file text of at least
:data:`STORED_FILE_TEXT_MIN_BYTES` (a text that follows a key naming a
``.py`` or ``.ipynb`` file). Names, keys and the fields of code records
are shorter and stay plain text.
"""

from __future__ import annotations

import codecs
import os
from typing import TYPE_CHECKING, Any, BinaryIO, Iterator

if TYPE_CHECKING:
    from .machine import Unpickler

__all__ = ["ArchiveFile", "StoredBytes", "StoredText", "text_of", "write_text"]

# Texts and bytes at least this long are left in the file.
STORED_MIN_BYTES = 4096
# A snapshot's file text at least this long is left in the file too.
STORED_FILE_TEXT_MIN_BYTES = 256
# The keys whose texts are a snapshot's files.
SOURCE_SUFFIXES = (".py", ".ipynb")
# Bytes read from the file at a time (to check or write a stored text).
CHUNK_BYTES = 1024 * 1024


class ArchiveFile:
    """An archive file held open for a replay: the reader and dill read it
    through streams of their own (:meth:`stream`), stored values by offset,
    so that every read sees the same file even if its path is replaced
    meanwhile. Closed when the last stored value that needs it is gone."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)

    def stream(self, buffering: int = -1) -> BinaryIO:
        """A new buffered stream over the whole file, from its start."""
        stream = open(os.dup(self.fd), "rb", buffering=buffering)
        stream.seek(0)
        return stream

    def read_at(self, offset: int, size: int) -> bytes:
        data = os.pread(self.fd, size, offset)
        if len(data) != size:
            raise EOFError(f"{self.path!r} ended before a stored text: it changed during the replay")
        return data

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def __del__(self) -> None:
        self.close()


class _Stored:
    __slots__ = ("source", "offset", "size")

    def __init__(self, source: ArchiveFile, offset: int, size: int) -> None:
        self.source = source
        self.offset = offset
        self.size = size

    def _chunks(self) -> Iterator[bytes]:
        offset, left = self.offset, self.size
        while left:
            piece = self.source.read_at(offset, min(left, CHUNK_BYTES))
            offset += len(piece)
            left -= len(piece)
            yield piece


class StoredBytes(_Stored):
    """Bytes of the stream left in the file."""

    __slots__ = ()

    def read(self) -> bytes:
        return self.source.read_at(self.offset, self.size)

    def __repr__(self) -> str:
        return f"<{self.size} bytes stored at {self.offset}>"


class StoredText(_Stored):
    """A text of the stream left in the file (UTF-8 bytes, as pickle holds
    them); ``has_nul`` tells whether it holds a NUL character."""

    __slots__ = ("has_nul",)

    def __init__(self, source: ArchiveFile, offset: int, size: int, has_nul: bool) -> None:
        super().__init__(source, offset, size)
        self.has_nul = has_nul

    def read(self) -> str:
        return str(self.source.read_at(self.offset, self.size), "utf-8", "surrogatepass")

    def pieces(self) -> Iterator[str]:
        """The text, a piece at a time."""
        decoder = codecs.getincrementaldecoder("utf-8")("surrogatepass")
        for chunk in self._chunks():
            yield decoder.decode(chunk)
        yield decoder.decode(b"", final=True)

    def __repr__(self) -> str:
        return f"<text of {self.size} bytes stored at {self.offset}>"


def text_of(value: str | StoredText) -> str:
    """A text of the archive as str (a stored one is read now)."""
    return value.read() if type(value) is StoredText else value  # type: ignore[union-attr,return-value]


def write_text(file: Any, value: str | StoredText) -> None:
    """Write a text of the archive to a text file; a stored one a piece at
    a time, which gives the same bytes as writing it at once."""
    if type(value) is StoredText:
        for piece in value.pieces():  # type: ignore[union-attr]
            file.write(piece)
    else:
        file.write(value)


# ---------------------------------------------------------------------------
# Reading
# ---------------------------------------------------------------------------


class Store:
    """The reader's side: which payloads of a stream to leave in ``source``."""

    def __init__(self, source: ArchiveFile) -> None:
        self.source = source

    def keeps_text(self, r: Unpickler, size: int) -> bool:
        if size >= STORED_MIN_BYTES:
            return True
        if size < STORED_FILE_TEXT_MIN_BYTES or not r.stack:
            return False
        key = r.stack[-1]
        return type(key) is str and key.endswith(SOURCE_SUFFIXES)

    def text(self, r: Unpickler, size: int) -> StoredText:
        """Check the UTF-8 text of ``size`` bytes at the stream's position (as
        an ordinary load decodes it) and leave it in the file."""
        offset = r.file.tell()
        r.check_left(size)
        decoder = codecs.getincrementaldecoder("utf-8")("surrogatepass")
        has_nul = False
        left = size
        while left:
            chunk = r.file.read(min(left, CHUNK_BYTES))
            if not chunk:
                raise EOFError
            left -= len(chunk)
            decoder.decode(chunk, final=not left)
            has_nul = has_nul or b"\0" in chunk
        return StoredText(self.source, offset, size, has_nul)

    def bytes(self, r: Unpickler, size: int) -> StoredBytes:
        """Skip the ``size`` bytes at the stream's position, leaving them in the file."""
        offset = r.file.tell()
        r.check_left(size)
        r.file.seek(size, os.SEEK_CUR)
        return StoredBytes(self.source, offset, size)
