"""Where saved code comes from, in the archive that holds it: the archived
script whose path ends the code's file name, the file of a module, or the
notebook cell that defined it; and, for comparing two archives, a place
that does not depend on the folder the project lay in."""

from __future__ import annotations

from dataclasses import dataclass
from itertools import islice

from ..sources import ModuleIndex, restored_parts
from .notebook import NotebookCells, is_cell_file, kernel_text, stable_cell_name

__all__ = ["ArchivedSources", "SourcePlace"]

# Notebook cells compiled, at most, to find the one a function comes from.
MAX_CANDIDATE_CELLS = 16
# Functions looked up in the notebooks of one archive (each lookup reads
# every cell).
MAX_CELL_LOOKUPS = 64


@dataclass(frozen=True)
class SourcePlace:
    """An archived text that saved code may come from: a file, or one cell
    of a notebook. ``text`` is what was compiled (for a cell: as the kernel
    compiled it, with ``flags``), ``lines`` what is shown."""

    key: str
    text: str
    lines: str
    cell: int | None = None
    flags: int = 0

    @property
    def label(self) -> str:
        return self.key if self.cell is None else f"{self.key}, cell {self.cell}"


class ArchivedSources:
    """The archived files of one archive (str keys and texts), indexed by the
    path where each restores."""

    def __init__(self, files: dict[str, str]) -> None:
        self.files = files
        self.by_path: dict[tuple[str, ...], str] = {}
        for key in files:
            parts = restored_parts(key)
            if parts:
                self.by_path.setdefault(parts, key)  # the first of keys naming one file
        self.deepest = max(map(len, self.by_path), default=0)
        self.notebooks = NotebookCells()
        self.cell_lookups = 0
        self._modules: ModuleIndex | None = None
        self._places: dict[str, str] = {}

    def script_key(self, filename: object) -> str | None:
        """The key of the archived file whose restored path ends ``filename``
        (the script a code object was compiled from), the longest first."""
        if not isinstance(filename, str) or not filename:
            return None
        parts = filename.rsplit("/", self.deepest)
        for size in range(min(len(parts), self.deepest), 0, -1):
            key = self.by_path.get(tuple(parts[-size:]))
            if key is not None:
                return key
        return None

    def module_key(self, module: str) -> str | None:
        """The key of the archived file of module ``module``."""
        if self._modules is None:
            self._modules = ModuleIndex(self.files, ["."])
        return self._modules.module_key(module)

    def places(self, filename: object, qualname: object, module: object = None) -> list[SourcePlace]:
        """Where code compiled from ``filename`` (of the function ``qualname``,
        of ``module``) may come from, the likeliest first: its script, the
        file of its module, or notebook cells."""
        key = self.script_key(filename)
        if key is None and isinstance(module, str) and module and module != "__main__":
            key = self.module_key(module)
        if key is not None:
            return [SourcePlace(key, self.files[key], self.files[key])]
        if not (isinstance(filename, str) and is_cell_file(filename) and isinstance(qualname, str) and qualname):
            return []
        if self.cell_lookups == MAX_CELL_LOOKUPS:
            return []
        self.cell_lookups += 1
        found = []
        cells_found = self.notebooks.defining_cells(self.files, filename, qualname.split(".", 1)[0])
        for key, cells, cell in islice(cells_found, MAX_CANDIDATE_CELLS):
            compiled = kernel_text(cells, cell)
            if compiled is not None:
                found.append(SourcePlace(key, compiled[0], cell.source, cell.number, compiled[1]))
        return found

    def place_of(self, filename: str) -> str:
        """The place of code compiled from ``filename``, for comparing code
        across archives: the restored path of its archived script, the cell
        of a notebook, or else the file's name without its folder."""
        known = self._places.get(filename)
        if known is None:
            key = self.script_key(filename)
            if key is not None:
                known = "archived " + "/".join(restored_parts(key) or ())
            else:
                known = stable_cell_name(filename) or "file " + filename.rpartition("/")[2]
            self._places[filename] = known
        return known
