"""``diff``'s comparison of two archives, as JSON-ready data.

Arguments and the saved function's code are compared by fingerprints that
are equal for equal data, shared or not; files by their text, with a
unified diff of the lines that changed.
"""

from __future__ import annotations

import difflib
import hashlib
import struct
from typing import Any

from ..reader import Budget, Call, Global, OpaqueKey, Persistent, Placeholder, Plainness, StreamSet, children, is_leaf
from ..sources import restored_parts
from .function import effective_code, function_record
from .summary import ArchiveSummary
from .text import NAME_CHARS, ROW_CHARS
from .values import describe_value, text_lines

__all__ = ["Fingerprints", "compare_archives", "line_diff"]

# A changed file is compared line by line only below these sizes.
MAX_DIFF_LINES = 20_000
MAX_DIFF_CHARS = 4 * 1024 * 1024
# Lines of context around each change in a unified diff.
DIFF_CONTEXT = 3
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
    each object is digested once."""

    def __init__(self, budget: Budget) -> None:
        self.budget = budget
        self.known: dict[int, bytes] = {}
        self.keep: list[Any] = []
        self.visited = 0

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
            stack.append((node, list(children(node))[::-1], []))

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


def _split_lines(text: str) -> list[str]:
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


def _range_text(start: int, stop: int) -> str:
    beginning, length = start + 1, stop - start
    if length == 1:
        return str(beginning)
    if not length:
        beginning -= 1
    return f"{beginning},{length}"


def line_diff(old: str, new: str, old_name: str, new_name: str) -> tuple[list[str] | None, int | None, int | None]:
    """(unified diff lines, lines added, lines removed) of two texts, or
    (None, None, None) when they are too long to compare line by line."""
    if len(old) > MAX_DIFF_CHARS or len(new) > MAX_DIFF_CHARS:
        return None, None, None
    a, b = _split_lines(old), _split_lines(new)
    if len(a) > MAX_DIFF_LINES or len(b) > MAX_DIFF_LINES:
        return None, None, None
    # The common beginning and end need no matching (most edits are small).
    prefix = 0
    limit = min(len(a), len(b))
    while prefix < limit and a[prefix] == b[prefix]:
        prefix += 1
    suffix = 0
    while suffix < limit - prefix and a[len(a) - 1 - suffix] == b[len(b) - 1 - suffix]:
        suffix += 1
    start = max(0, prefix - DIFF_CONTEXT)
    keep_end = max(0, suffix - DIFF_CONTEXT)
    a_mid, b_mid = a[start : len(a) - keep_end], b[start : len(b) - keep_end]
    matcher = difflib.SequenceMatcher(None, a_mid, b_mid, autojunk=True)
    lines = [f"--- {old_name}", f"+++ {new_name}"]
    added = removed = 0
    for group in matcher.get_grouped_opcodes(DIFF_CONTEXT):
        first, last = group[0], group[-1]
        lines.append(f"@@ -{_range_text(first[1] + start, last[2] + start)} +{_range_text(first[3] + start, last[4] + start)} @@")
        for tag, i1, i2, j1, j2 in group:
            if tag == "equal":
                lines.extend(" " + line for line in a_mid[i1:i2])
                continue
            if tag in ("replace", "delete"):
                lines.extend("-" + line for line in a_mid[i1:i2])
                removed += i2 - i1
            if tag in ("replace", "insert"):
                lines.extend("+" + line for line in b_mid[j1:j2])
                added += j2 - j1
    if len(lines) == 2:
        lines = []
    return lines, added, removed


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


def compare_archives(old: ArchiveSummary, new: ArchiveSummary, budget: Budget, with_lines: bool = True) -> dict[str, Any]:
    """A JSON-ready comparison of two summarized archives."""
    prints = Fingerprints(budget)
    plain = Plainness(budget)
    # The saved function.
    old_fn, new_fn = old.report["function"], new.report["function"]
    function: dict[str, Any] = {
        "old": {key: old_fn.get(key) for key in ("qualname", "module", "stored", "parameters")},
        "new": {key: new_fn.get(key) for key in ("qualname", "module", "stored", "parameters")},
    }
    old_code = _function_code_digest(old.record.get("func"), prints)
    new_code = _function_code_digest(new.record.get("func"), prints)
    if old_code is not None and new_code is not None:
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
    function["record"] = "same" if prints.of(old.record.get("func")) == prints.of(new.record.get("func")) else "changed"
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
            same = prints.of(old_named[name]) == prints.of(new_named[name])
            entry["status"] = "same" if same else "changed"
            entry["old"] = _argument_side(old_named[name], plain)
            if not same:
                entry["new"] = _argument_side(new_named[name], plain)
        budget.output(len(entry["name"]) + 3 * ROW_CHARS)
        arguments.append(entry)
    # The files.
    rows: list[dict[str, Any]] = []
    counts = {"changed": 0, "added": 0, "removed": 0, "same": 0}
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
            shown = "/".join(place) if type(place) is tuple else path
            lines, added, removed = line_diff(old_text, new_text, f"a/{shown}", f"b/{shown}")
            row["added_lines"], row["removed_lines"] = added, removed
            if lines is None:
                row["note"] = "too long to compare line by line"
            elif with_lines:
                row["diff"] = lines
                budget.output(sum(len(line) + 1 for line in lines))
        counts[row["status"]] += 1
        if row["status"] != "same":
            budget.output(len(path) + ROW_CHARS)
            rows.append(row)
    return {
        "old": {"archive": old.path, "size": old.report.get("size"), "warnings": old.report["warnings"]},
        "new": {"archive": new.path, "size": new.report.get("size"), "warnings": new.report["warnings"]},
        "function": function,
        "args": arguments,
        "files": rows,
        "file_counts": counts,
    }
