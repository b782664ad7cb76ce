"""The budgets of a read, and the errors of a file that cannot be read.

A crafted archive must not make the reader (or what is made of its data)
crash, hang or exhaust memory, so every command counts what it does against
:class:`Limits`; a budget that runs out raises :class:`LimitError`, which
says in our own words what ran out and what the limit is. What a read makes
is counted per archive (by the reader), what is printed per command (by a
:class:`Budget`).
"""

from __future__ import annotations

import contextlib
import os
from dataclasses import dataclass
from typing import Iterator

from ..terminal import count_text

__all__ = [
    "ArchiveError",
    "ArchiveTooLarge",
    "Budget",
    "LimitError",
    "Limits",
    "concerning",
    "limits_for_loading",
    "limits_for_sources",
]

# Longest chain of nested containers and placeholders in a value.
MAX_DEPTH = 300
# Pickle operations read from one stream, and objects visited by one walk
# over what was read.
MAX_NODES = 1_000_000
# Entries of the pickle memo (each PUT/BINPUT/MEMOIZE adds one).
MAX_MEMO = 500_000
# Bytes of text, bytes and integer data made from one archive.
MAX_ALLOCATION = 512 * 1024 * 1024
# Characters that one command may print.
MAX_OUTPUT = 16 * 1024 * 1024
# Components of one file key ("./a/b/c.py" has 3).
MAX_PATH_PARTS = 256
# Bytes of source text handed to compile() or ast.parse() at a time.
MAX_PARSE_BYTES = 512 * 1024
# Digits of a number written as text in a stream: Python's own limit for
# turning text into an int (beyond it the work grows quadratically, and an
# ordinary load refuses such a number as well).
MAX_NUMBER_DIGITS = 4300

# What each budget bounds, as its error message names it.
ALLOCATION_TEXT = "the data read from the archive"
OUTPUT_TEXT = "the output"
DEPTH_TEXT = "the nesting depth of the archive's data"
NODES_TEXT = "the number of objects to inspect"
NUMBER_TEXT = "a number of {digits} digits"
PARSE_TEXT = "the source {name} to compile ({size})"
PATH_TEXT = "a file path of {parts} parts"
# Why a read failed without a budget running out.
NESTED_TEXT = "the archive record is nested too deeply"
TOO_LARGE_TEXT = "the archive is too large to inspect in the memory available"


@dataclass(frozen=True)
class Limits:
    """The budgets of one read (defaults: the module's MAX_* constants)."""

    depth: int = MAX_DEPTH
    nodes: int = MAX_NODES
    memo: int = MAX_MEMO
    allocation: int = MAX_ALLOCATION
    output: int = MAX_OUTPUT
    path_parts: int = MAX_PATH_PARTS
    parse_bytes: int = MAX_PARSE_BYTES


class ArchiveError(Exception):
    """The file cannot be read as a figvault archive.

    ``archive`` names the file concerned when the code that raised it knew
    (see :func:`concerning`).
    """

    archive: str | None = None


class LimitError(ArchiveError):
    """A budget ran out: ``what`` exceeds ``limit`` (both texts)."""

    def __init__(self, what: str, limit: str) -> None:
        super().__init__(f"{what} exceeds {limit}")
        self.what = what
        self.limit = limit


class ArchiveTooLarge(ArchiveError):
    """The memory ran out while an archive was read or described."""


@contextlib.contextmanager
def concerning(archive: str) -> Iterator[None]:
    """Errors of the block concern the archive ``archive``: an ArchiveError
    names it, and running out of memory or stack becomes one."""
    try:
        yield
    except ArchiveError as error:
        if error.archive is None:
            error.archive = archive
        raise
    except MemoryError:
        error = ArchiveTooLarge(TOO_LARGE_TEXT)
        error.archive = archive
        raise error from None
    except RecursionError:
        error = ArchiveError(NESTED_TEXT)
        error.archive = archive
        raise error from None


def allocation_error(limit: int) -> LimitError:
    """The error of a read that made more than ``limit`` bytes of data."""
    return LimitError(ALLOCATION_TEXT, count_text(limit, "bytes"))


def number_error(digits: int) -> LimitError:
    """The error of a number written with ``digits`` digits, too many to read."""
    return LimitError(NUMBER_TEXT.format(digits=count_text(digits)), count_text(MAX_NUMBER_DIGITS, "digits"))


class Budget:
    """The limits of one command and what it has printed so far. Each read
    of an archive counts what it makes on its own (so that ``diff`` can
    read two archives that ``show`` reads), against the same limits."""

    def __init__(self, limits: Limits | None = None) -> None:
        self.limits = limits or Limits()
        self.printed = 0

    def output(self, size: int) -> None:
        """Count ``size`` characters about to be printed."""
        self.printed += size
        if self.printed > self.limits.output:
            raise LimitError(OUTPUT_TEXT, count_text(self.limits.output, "characters"))

    def check_output(self, size: int) -> None:
        """Refuse a text of ``size`` characters that is longer than the output budget."""
        if size > self.limits.output:
            raise LimitError(OUTPUT_TEXT, count_text(self.limits.output, "characters"))

    def check_depth(self, depth: int) -> None:
        if depth > self.limits.depth:
            raise LimitError(DEPTH_TEXT, count_text(self.limits.depth, "levels"))

    def check_nodes(self, count: int, what: str = NODES_TEXT) -> None:
        if count > self.limits.nodes:
            raise LimitError(what, count_text(self.limits.nodes))

    def check_parse(self, size: int, name: str) -> None:
        if size > self.limits.parse_bytes:
            raise LimitError(
                PARSE_TEXT.format(name=name, size=count_text(size, "bytes")),
                count_text(self.limits.parse_bytes, "bytes"),
            )

    def check_path(self, parts: int) -> None:
        if parts > self.limits.path_parts:
            raise LimitError(PATH_TEXT.format(parts=count_text(parts)), count_text(self.limits.path_parts, "parts"))


# A replay loads the archive with dill right after reading it, so reading it
# for the plan may cost what loading costs: its budgets grow with the file.
# Every operation takes at least one byte of the file, so operations and memo
# entries as many as its bytes bound the time by the file's size; a pickler
# nests no deeper than this.
_LOADING_DEPTH = 10_000
_LOADING_BYTES_PER_FILE_BYTE = 8  # text decoded from UTF-8 may take four times its bytes, and more


def limits_for_loading(path: str | os.PathLike[str]) -> Limits:
    """Budgets for reading an archive that is about to be loaded anyway (the
    replay): large enough for anything dill itself could load from a file of
    that size, so that they never refuse a genuine archive."""
    size = os.path.getsize(path)
    return Limits(
        depth=max(MAX_DEPTH, _LOADING_DEPTH),
        nodes=max(MAX_NODES, size),
        memo=max(MAX_MEMO, size),
        allocation=max(MAX_ALLOCATION, _LOADING_BYTES_PER_FILE_BYTE * size),
    )


def limits_for_sources(path: str | os.PathLike[str]) -> Limits:
    """Budgets for a read that keeps only the archived sources (``extract``),
    whatever else the archive holds: it makes nothing but dicts and scalars,
    so its operations and memo entries may be as many as the file's bytes
    (time and memory grow with the file), while the data it makes keeps the
    usual bound."""
    size = os.path.getsize(path)
    return Limits(depth=max(MAX_DEPTH, _LOADING_DEPTH), nodes=max(MAX_NODES, size), memo=max(MAX_MEMO, size))
