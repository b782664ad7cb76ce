"""``diff``'s comparison of two archives, as JSON-ready data.

Arguments and the saved function's code are compared by fingerprints that
are equal for equal data, shared or not; code by what it is, not by the
folder it was compiled in (a code object's file name counts only by the
archived file or notebook cell it names). Files are compared by their
text, with a unified diff of the lines that changed (within the command's
budget of line comparisons); notebooks by the text of their cells.
"""

from __future__ import annotations

import hashlib
import struct
from typing import Any, Callable

from ..reader import Budget, Call, Global, OpaqueKey, Persistent, Placeholder, Plainness, StreamSet, children, is_leaf
from ..sources import restored_parts
from .function import effective_code, filename_position, function_record
from .linediff import LineDiff, LineDiffer
from .locations import ArchivedSources
from .notebook import NotebookCells, cell_listing
from .summary import ArchiveSummary
from .text import NAME_CHARS, ROW_CHARS
from .values import describe_value, text_lines

__all__ = ["Fingerprints", "compare_archives"]

NOTEBOOK_SUFFIX = ".ipynb"
SAME_CELLS_NOTE = "the same cells: only outputs, execution counts or metadata differ"
CELLS_NOTE = "compared by the text of its cells (--raw compares the JSON)"
# Texts and bytes longer than this (and integers of more bits) are digested
# once however often the stream shares them.
_SHARED_LEAF_SIZE = 64


def _leaf_digest(value: Any) -> bytes:
    kind = type(value)
    digest = hashlib.blake2b(digest_size=16)
    if kind is str:
        digest.update(b"s")
        for start in range(0, len(value), 1 << 20):
            digest.update(value[start : start + (1 << 20)].encode("utf-8", "surrogatepass"))
    elif kind is bytes or kind is bytearray:
        digest.update(b"b" if kind is bytes else b"a")
        digest.update(value)
    elif kind is int:
        digest.update(b"i" + value.to_bytes(value.bit_length() // 8 + 1, "little", signed=True))
    elif kind is float:
        digest.update(b"f" + struct.pack("<d", value))
    elif kind is complex:
        digest.update(b"c" + struct.pack("<dd", value.real, value.imag))
    else:  # None, True, False
        digest.update(b"k" + repr(value).encode())
    return digest.digest()


class Fingerprints:
    """Digests of read values that are equal for equal data, shared or not;
    each object is digested once. ``place_of`` gives the file name of a code
    record the text it is digested as (its place rather than its folder)."""

    def __init__(self, budget: Budget, place_of: Callable[[str], str] | None = None) -> None:
        self.budget = budget
        self.place_of = place_of
        self.known: dict[int, bytes] = {}
        self.keep: list[Any] = []
        self.visited = 0

    def _children(self, node: Any) -> list[Any]:
        found = list(children(node))
        if self.place_of is not None and type(node) is Call:
            position = filename_position(node)
            if position is not None and type(node.args[position]) is str:
                # The arguments are one child (after the callee): digest a
                # copy that holds the place instead of the file name.
                args = list(node.args)
                args[position] = self.place_of(args[position])
                found[1] = tuple(args)
        return found

    def leaf(self, value: Any) -> bytes:
        """The digest of a scalar; a long one is digested once by identity."""
        kind = type(value)
        if kind is int:
            large = value.bit_length() > 8 * _SHARED_LEAF_SIZE
        else:
            large = (kind is str or kind is bytes or kind is bytearray) and len(value) > _SHARED_LEAF_SIZE
        if not large:
            return _leaf_digest(value)
        known = self.known.get(id(value))
        if known is None:
            known = self.known[id(value)] = _leaf_digest(value)
            self.keep.append(value)
        return known

    def of(self, root: Any) -> bytes:
        if is_leaf(root):
            return self.leaf(root)
        known = self.known
        if id(root) in known:
            return known[id(root)]
        on_path: set[int] = set()
        stack: list[tuple[Any, list[Any], list[bytes]]] = []

        def enter(node: Any) -> None:
            self.visited += 1
            if self.visited > self.budget.limits.nodes:
                self.budget.check_nodes(self.visited)
            self.keep.append(node)
            on_path.add(id(node))
            stack.append((node, self._children(node)[::-1], []))

        enter(root)
        while stack:
            node, pending, digests = stack[-1]
            descended = False
            while pending:
                child = pending.pop()
                if is_leaf(child):
                    digests.append(self.leaf(child))
                elif id(child) in known:
                    digests.append(known[id(child)])
                elif id(child) in on_path:
                    digests.append(b"cycle")
                else:
                    enter(child)
                    descended = True
                    break
            if descended:
                continue
            stack.pop()
            on_path.discard(id(node))
            known[id(node)] = self._combine(node, digests)
            if stack:
                stack[-1][2].append(known[id(node)])
        return known[id(root)]

    def _combine(self, node: Any, digests: list[bytes]) -> bytes:
        digest = hashlib.blake2b(digest_size=16)
        kind = type(node)
        if kind is dict:
            half = len(digests) // 2
            pairs = sorted(key + value for key, value in zip(digests[:half], digests[half:]))
            digest.update(b"D")
            digests = pairs
        elif kind is StreamSet:
            digest.update(b"S" + node.kind.encode())
            digests = sorted(digests)
        elif kind is OpaqueKey:
            return digests[0]
        elif isinstance(node, Global):
            digest.update(b"G" + self.leaf(node.module) + self.leaf(node.name))
        elif isinstance(node, Call):
            digest.update(b"C" + node.how.encode())
        elif isinstance(node, Persistent):
            digest.update(b"P")
        elif isinstance(node, Placeholder):
            digest.update(b"H")
        else:
            digest.update(kind.__name__.encode())
        digest.update(len(digests).to_bytes(8, "little"))
        for part in digests:
            digest.update(part)
        return digest.digest()


def _by_place(files: dict[str, str]) -> dict[Any, tuple[str, str]]:
    """(key, text) of every file by where it restores (its key itself when
    it restores nowhere, or where an earlier key restores already)."""
    placed: dict[Any, tuple[str, str]] = {}
    for key, text in files.items():
        place: Any = restored_parts(key)
        if place is None or place in placed:
            place = key
        placed[place] = (key, text)
    return placed


def _argument_side(value: Any, plain: Any) -> dict[str, Any]:
    described = describe_value(value, plain)
    return {key: described[key] for key in ("type", "value", "shape", "dtype", "length", "refers_to") if key in described}


def _function_code_digest(func: Any, prints: Fingerprints) -> bytes | None:
    record = function_record(func)
    if record is None or not record.args:
        return None
    return prints.of(effective_code(record)[0])


class _FileComparison:
    """The line diffs of one comparison: each distinct pair of texts is
    compared once, notebooks by the text of their cells unless ``raw``."""

    def __init__(self, raw: bool) -> None:
        self.raw = raw
        self.differ = LineDiffer()
        self.cells = (NotebookCells(), NotebookCells())  # one budget per archive
        self.made: dict[tuple[int, int, bool], tuple[str, str, dict[str, Any], bool]] = {}

    def changed(self, old: str, new: str, shown: str) -> dict[str, Any]:
        """added_lines, removed_lines, and diff or note, of a changed file."""
        notebook = shown.endswith(NOTEBOOK_SUFFIX) and not self.raw
        key = (id(old), id(new), notebook)
        known = self.made.get(key)
        if known is None:
            known = self.made[key] = (old, new, *self._changed(old, new, notebook))  # the texts keep their ids
        fields, by_cells = dict(known[2]), known[3]
        if fields.get("diff"):
            suffix = " (cells)" if by_cells else ""
            fields["diff"] = [f"--- a/{shown}{suffix}", f"+++ b/{shown}{suffix}"] + fields["diff"]
        return fields

    def _changed(self, old: str, new: str, notebook: bool) -> tuple[dict[str, Any], bool]:
        """(the fields of a changed file, whether its cells were compared)."""
        if notebook:
            old_cells, new_cells = self.cells[0].cells(old), self.cells[1].cells(new)
            if old_cells is not None and new_cells is not None:
                old_listing, new_listing = cell_listing(old_cells), cell_listing(new_cells)
                if old_listing == new_listing:
                    return {"added_lines": 0, "removed_lines": 0, "note": SAME_CELLS_NOTE}, True
                return _fields(self.differ.diff(old_listing, new_listing), CELLS_NOTE), True
        return _fields(self.differ.diff(old, new), None), False


def _fields(found: LineDiff, note: str | None) -> dict[str, Any]:
    fields: dict[str, Any] = {"added_lines": found.added, "removed_lines": found.removed}
    if found.lines is not None:
        fields["diff"] = found.lines
    if found.note or note:
        fields["note"] = found.note or note
    return fields


def compare_archives(
    old: ArchiveSummary, new: ArchiveSummary, budget: Budget, with_lines: bool = True, raw: bool = False
) -> dict[str, Any]:
    """A JSON-ready comparison of two summarized archives (``raw``: notebooks
    compared by their JSON text, not by their cells)."""
    old_prints = Fingerprints(budget, ArchivedSources(old.files).place_of)
    new_prints = Fingerprints(budget, ArchivedSources(new.files).place_of)
    plain = Plainness(budget)
    # The saved function.
    old_fn, new_fn = old.report["function"], new.report["function"]
    function: dict[str, Any] = {
        "old": {key: old_fn.get(key) for key in ("qualname", "module", "stored", "parameters", "python")},
        "new": {key: new_fn.get(key) for key in ("qualname", "module", "stored", "parameters", "python")},
    }
    old_code = _function_code_digest(old.record.get("func"), old_prints)
    new_code = _function_code_digest(new.record.get("func"), new_prints)
    if old_code is not None and new_code is not None and old_fn.get("python") != new_fn.get("python"):
        function["code"] = "unknown"  # the bytecode of two Python versions differs anyway
    elif old_code is not None and new_code is not None:
        function["code"] = "same" if old_code == new_code else "changed"
    elif old_fn.get("stored") == new_fn.get("stored") == "by reference":
        same_name = (old_fn.get("module"), old_fn.get("qualname")) == (new_fn.get("module"), new_fn.get("qualname"))
        if not same_name:
            function["code"] = "changed"
        elif old_fn.get("source_text") is not None and new_fn.get("source_text") is not None:
            function["code"] = "same" if old_fn["source_text"] == new_fn["source_text"] else "changed"
        else:
            function["code"] = "unknown"
    else:
        function["code"] = "changed" if old_fn.get("stored") != new_fn.get("stored") else "unknown"
    same_record = old_prints.of(old.record.get("func")) == new_prints.of(new.record.get("func"))
    function["record"] = "same" if same_record else "changed"
    # The arguments.
    arguments: list[dict[str, Any]] = []
    old_args, new_args = old.record.get("args"), new.record.get("args")
    old_args = old_args if type(old_args) is dict else {}
    new_args = new_args if type(new_args) is dict else {}
    old_named = {key: value for key, value in old_args.items() if type(key) is str}
    new_named = {key: value for key, value in new_args.items() if type(key) is str}
    for name in list(old_named) + [name for name in new_named if name not in old_named]:
        entry: dict[str, Any] = {"name": name[:NAME_CHARS]}
        if name not in new_named:
            entry["status"] = "removed"
            entry["old"] = _argument_side(old_named[name], plain)
        elif name not in old_named:
            entry["status"] = "added"
            entry["new"] = _argument_side(new_named[name], plain)
        else:
            same = old_prints.of(old_named[name]) == new_prints.of(new_named[name])
            entry["status"] = "same" if same else "changed"
            entry["old"] = _argument_side(old_named[name], plain)
            if not same:
                entry["new"] = _argument_side(new_named[name], plain)
        budget.output(len(entry["name"]) + 3 * ROW_CHARS)
        arguments.append(entry)
    # The files.
    rows: list[dict[str, Any]] = []
    counts = {"changed": 0, "added": 0, "removed": 0, "same": 0}
    files = _FileComparison(raw)
    old_files, new_files = _by_place(old.files), _by_place(new.files)
    for place in list(old_files) + [place for place in new_files if place not in old_files]:
        (path, old_text), (new_path, new_text) = old_files.get(place, (None, None)), new_files.get(place, (None, None))
        path = path if path is not None else new_path
        row: dict[str, Any] = {"path": path}
        if new_text is None:
            row.update(status="removed", added_lines=0, removed_lines=text_lines(old_text or ""))
        elif old_text is None:
            row.update(status="added", added_lines=text_lines(new_text), removed_lines=0)
        elif old_text is new_text or old_text == new_text:
            row["status"] = "same"
        else:
            row["status"] = "changed"
            row.update(files.changed(old_text, new_text, "/".join(place) if type(place) is tuple else path))
            if not with_lines:
                row.pop("diff", None)
            elif "diff" in row:
                budget.output(sum(len(line) + 1 for line in row["diff"]))
        counts[row["status"]] += 1
        if row["status"] != "same":
            budget.output(len(path) + ROW_CHARS)
            rows.append(row)
    same = same_record and all(a["status"] == "same" for a in arguments) and not rows and old_args.keys() == new_args.keys()
    return {
        "old": {"archive": old.path, "size": old.report.get("size"), "warnings": old.report["warnings"]},
        "new": {"archive": new.path, "size": new.report.get("size"), "warnings": new.report["warnings"]},
        "same": same,
        "function": function,
        "args": arguments,
        "files": rows,
        "file_counts": counts,
    }
