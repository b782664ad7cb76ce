"""Notebooks in an archive: their cells, read from the JSON text within a
budget; the cell that a Jupyter kernel ran to define a function; that cell
as the kernel compiled it; and a notebook's cells as text, for ``diff``.

A kernel (ipykernel) compiles every cell under a file name of its own,
``<temporary folder>/ipykernel_<pid>/<hash>.py``, where the hash is the
32-bit MurmurHash2 of the cell's text: the saved code names the cell it
came from, whatever the process. Line numbers count from the cell's first
line. Older kernels and the IPython shell name a cell
``<ipython-input-<count>-<hash>>``.
"""

from __future__ import annotations

import __future__
import json
import re
import struct
from dataclasses import dataclass
from typing import Iterator

from ..sources import strip_magics

__all__ = ["Cell", "NotebookCells", "cell_listing", "is_cell_file", "kernel_cell_hash", "kernel_text", "stable_cell_name"]

# JSON values read from the notebooks of one archive, counted before
# parsing by the separators and brackets of the text: the parsed values
# take memory by their number, not by the length of the text.
MAX_NOTEBOOK_VALUES = 500_000
# Characters of cell text hashed to find the cell a kernel ran, per archive.
MAX_HASHED_CHARS = 8 * 1024 * 1024
# The seed of the hash that names a kernel's cell files.
KERNEL_HASH_SEED = 0xC70F6907

# The hash is a 32-bit number: at most 10 digits.
_KERNEL_CELL_FILE = re.compile(r"(?:^|[/\\])ipykernel_\d+[/\\](\d{1,10})\.py$")
_IPYTHON_INPUT = re.compile(r"^<ipython-input-\d+-([0-9a-f]+)>$")
# "from __future__ import annotations" at the start of a line of a cell:
# the kernel compiles every later cell with that feature too.
_FUTURE_IMPORT = re.compile(r"^from[ \t]+__future__[ \t]+import[ \t]+\(?([\w \t,]+)", re.M)

_MURMUR_M = 0x5BD1E995
_MASK = 0xFFFFFFFF


@dataclass(frozen=True)
class Cell:
    """One cell of a notebook: its kind ("code", "markdown", "raw", ...), its
    text, and its number (every cell counted, from 1)."""

    kind: str
    source: str
    number: int


def kernel_cell_hash(text: str) -> int:
    """The 32-bit MurmurHash2 of ``text`` (UTF-8) with the kernel's seed: the
    name a kernel gives the file of a cell."""
    data = text.encode("utf-8", "surrogatepass")
    length = len(data)
    h = (KERNEL_HASH_SEED ^ length) & _MASK
    end = length & ~3
    for (k,) in struct.iter_unpack("<I", data[:end]):
        k = (k * _MURMUR_M) & _MASK
        k ^= k >> 24
        h = ((h * _MURMUR_M) & _MASK) ^ ((k * _MURMUR_M) & _MASK)
    if end < length:
        h = ((h ^ int.from_bytes(data[end:], "little")) * _MURMUR_M) & _MASK
    h ^= h >> 13
    h = (h * _MURMUR_M) & _MASK
    return h ^ (h >> 15)


def is_cell_file(filename: str) -> bool:
    """Whether a code object's file name is that of a notebook cell."""
    return bool(_KERNEL_CELL_FILE.search(filename) or _IPYTHON_INPUT.match(filename))


def stable_cell_name(filename: str) -> str | None:
    """The part of a cell's file name that depends on the cell's text only
    (not on the process or the execution count), or None for another file."""
    found = _KERNEL_CELL_FILE.search(filename)
    if found:
        return "kernel cell " + found.group(1)
    found = _IPYTHON_INPUT.match(filename)
    return "input cell " + found.group(1) if found else None


def _values_in(text: str) -> int:
    """An upper bound of the number of JSON values in ``text`` (beyond one)."""
    return sum(text.count(mark) for mark in ",:[{")


class NotebookCells:
    """The cells of an archive's notebooks, each text read once, within
    :data:`MAX_NOTEBOOK_VALUES` for the archive."""

    def __init__(self, limit: int = MAX_NOTEBOOK_VALUES) -> None:
        self.values_left = limit
        self.hashed_left = MAX_HASHED_CHARS
        self.read: dict[int, tuple[str, list[Cell] | None]] = {}  # id(text) -> (text, cells)

    def cells(self, text: str) -> list[Cell] | None:
        """The cells of a notebook's JSON text, or None when it is not a
        notebook, or too large to read within the budget."""
        known = self.read.get(id(text))
        if known is not None:
            return known[1]
        found: list[Cell] | None = None
        values = _values_in(text)
        if values <= self.values_left:
            self.values_left -= values
            found = _parse_cells(text)
        self.read[id(text)] = (text, found)
        return found

    def defining_cells(self, files: dict[str, str], filename: str, name: str) -> Iterator[tuple[str, list[Cell], Cell]]:
        """(key, cells of the notebook, cell) of the code cells that may have
        defined the function ``name`` run from the cell file ``filename``: the
        cell whose text the file name hashes first, then every cell naming it."""
        found = _KERNEL_CELL_FILE.search(filename)
        wanted = int(found.group(1)) if found else None
        named: list[tuple[str, list[Cell], Cell]] = []
        for key, text in files.items():
            cells = self.cells(text) if key.endswith(".ipynb") else None
            for cell in cells or ():
                if cell.kind != "code" or name not in cell.source:
                    continue
                if wanted is not None and len(cell.source) <= self.hashed_left:
                    self.hashed_left -= len(cell.source)
                    if kernel_cell_hash(cell.source) == wanted:
                        yield key, cells, cell
                        continue
                named.append((key, cells, cell))
        yield from named


def _parse_cells(text: str) -> list[Cell] | None:
    try:
        notebook = json.loads(text)
    except (ValueError, RecursionError):
        return None
    cells = notebook.get("cells") if type(notebook) is dict else None
    if type(cells) is not list:
        return None
    found = []
    for number, cell in enumerate(cells, 1):
        if type(cell) is not dict:
            continue
        source = cell.get("source", "")
        if type(source) is list and all(type(line) is str for line in source):
            source = "".join(source)
        kind = cell.get("cell_type")
        if type(source) is str:
            found.append(Cell(kind if type(kind) is str else "?", source, number))
    return found


def kernel_text(cells: list[Cell], cell: Cell) -> tuple[str, int] | None:
    """(the text a kernel compiles for ``cell``, the compiler flags of the
    ``__future__`` features that earlier cells imported), or None for a cell
    that runs through a cell magic (%%time, %%bash, ...): its code is not
    compiled as one cell."""
    text = strip_magics(cell.source)
    if text is None or cell.source.lstrip().startswith("%%"):
        return None
    flags = 0
    for earlier in cells:
        if earlier.number > cell.number:
            break
        if earlier.kind == "code" and "__future__" in earlier.source:
            for names in _FUTURE_IMPORT.findall(earlier.source):
                for name in names.replace("(", " ").replace(",", " ").split():
                    if name in __future__.all_feature_names:
                        flags |= getattr(__future__, name).compiler_flag
    return text, flags


def cell_listing(cells: list[Cell]) -> str:
    """A notebook's cells as one text: a header line per cell, then its
    text. Outputs, execution counts and metadata are left out."""
    parts = []
    for cell in cells:
        parts.append(f"# cell {cell.number} ({cell.kind})\n")
        if cell.source:
            parts.append(cell.source if cell.source.endswith("\n") else cell.source + "\n")
    return "".join(parts)
