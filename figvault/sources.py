"""The archive's sources: what a file key means, which archived file is what.

An archive's "files" dictionary maps keys such as "./plot.py" to texts. One
rule gives a key its meaning everywhere (show, diff, extract, expand and the
index of archived modules): the key is split at "/", empty and "."
components are dropped and ".." takes the previous component away, as
``os.path.normpath`` does, so "./a.py", "a.py" and "./b/../a.py" are one
file, restored at "a.py". A key is refused (:class:`FileDictionaryError`)
when it cannot be restored safely: it is absolute, leads out of the folder,
names no file, holds a NUL character, cannot be a file name here, or is too
long.

The rest answers which archived file is what: the script a function was
written in (:func:`main_script_key`), the file of a module
(:class:`ModuleIndex`), the notebook that defines a function
(:func:`find_defining_notebook`) and its code cells. Only text is parsed;
nothing here runs archived code.
"""

from __future__ import annotations

import ast
import json
import os
import re
from typing import TYPE_CHECKING, Any, Iterable

from .reader.stored import StoredText, text_of

if TYPE_CHECKING:
    from .reader import Budget

__all__ = [
    "FileDictionaryError",
    "ModuleIndex",
    "check_file_dict",
    "find_defining_notebook",
    "key_parts",
    "main_script_key",
    "notebook_code_cells",
    "parse_python",
    "restored_parts",
    "source_files",
    "strip_magics",
]

# Longest key accepted, in bytes once encoded for the file system: the
# longest path that the system accepts at all (PATH_MAX on Linux).
MAX_KEY_BYTES = 4096
# How much of a key or a type name an error message shows.
SHOWN_KEY_CHARS = 80

# Why a file dictionary is refused (FileDictionaryError), by problem.
KEY_MESSAGES = {
    "not_dict": "the saved files are not a dict but {type}",
    "key_type": "a file key is not str but {type}",
    "text_type": "the text of {key} is not str but {type}",
    "text_nul": "the text of {key} holds a NUL character",
    "nul": "the file key {key} holds a NUL character",
    "unencodable": "the file key {key} cannot be a file name here",
    "long": "the file key {key} is longer than {limit} bytes",
    "absolute": "the file key {key} is absolute",
    "no_file": "the file key {key} does not name a file",
    "leaves": "the file key {key} leads out of the folder",
    "same_file": "the file keys {first} and {key} name the same file",
    "file_as_folder": "the file key {key} names a file where {below} needs a folder",
}
# The problems of a key that lies outside the folder (rather than one that
# names no file or cannot be a file name).
OUTSIDE = frozenset({"absolute", "leaves"})

_PARENT = ".."
_CURRENT = "."


class FileDictionaryError(ValueError):
    """The archive's file dictionary cannot be restored safely; ``problem``
    is the key of :data:`KEY_MESSAGES` that says why."""

    def __init__(self, problem: str, **fields: Any) -> None:
        super().__init__(KEY_MESSAGES[problem].format(**fields))
        self.problem = problem


def shown_key(key: Any) -> str:
    """A key for an error message: its repr, shortened, without line breaks."""
    text = repr(key)
    if len(text) > SHOWN_KEY_CHARS:
        text = text[: SHOWN_KEY_CHARS - 3] + "..."
    return text


# ---------------------------------------------------------------------------
# Keys
# ---------------------------------------------------------------------------


def _normalised(path: str) -> tuple[str, ...] | None:
    """The components of a relative path once normalised, or None when it
    leads out of its folder."""
    parts: list[str] = []
    for part in path.split("/"):
        if part in ("", _CURRENT):
            continue
        if part == _PARENT:
            if not parts:
                return None
            parts.pop()
        else:
            parts.append(part)
    return tuple(parts)


def key_parts(key: str, budget: Budget | None = None) -> tuple[str, ...]:
    """The components of the path below the folder where ``key`` restores;
    FileDictionaryError for a key that cannot be restored safely. With a
    ``budget``, a key of more components than it allows raises LimitError."""
    if budget is not None and key.count("/") >= budget.limits.path_parts:
        budget.check_path(sum(1 for part in key.split("/") if part not in ("", _CURRENT)))
    if "\0" in key:
        raise FileDictionaryError("nul", key=shown_key(key))
    try:
        encoded = os.fsencode(key)
    except UnicodeEncodeError:
        raise FileDictionaryError("unencodable", key=shown_key(key)) from None
    if len(encoded) > MAX_KEY_BYTES:
        raise FileDictionaryError("long", key=shown_key(key), limit=MAX_KEY_BYTES)
    if key.startswith("/"):
        raise FileDictionaryError("absolute", key=shown_key(key))
    if key.rpartition("/")[2] in ("", _CURRENT, _PARENT):
        raise FileDictionaryError("no_file", key=shown_key(key))
    parts = _normalised(key)
    if parts is None:
        raise FileDictionaryError("leaves", key=shown_key(key))
    return parts


def restored_parts(key: Any) -> tuple[str, ...] | None:
    """:func:`key_parts` of a str key, or None for a key that is refused."""
    if type(key) is not str:
        return None
    try:
        return key_parts(key)
    except FileDictionaryError:
        return None


def check_file_dict(files: Any) -> list[tuple[str, tuple[str, ...]]]:
    """(key, normalised components) for every entry of an archive's file
    dictionary, in its order; FileDictionaryError for the first problem:
    a key or text that is not a str without NUL characters, a key refused
    by :func:`key_parts`, two keys naming one file, or a file where another
    key needs a folder."""
    if type(files) is not dict:
        raise FileDictionaryError("not_dict", type=type(files).__name__)
    entries: list[tuple[str, tuple[str, ...]]] = []
    seen: dict[tuple[str, ...], str] = {}
    for key, text in files.items():
        if type(key) is not str:
            raise FileDictionaryError("key_type", type=type(key).__name__)
        if type(text) is str:
            has_nul = "\0" in text
        elif type(text) is StoredText:  # a text left in the archive file
            has_nul = text.has_nul
        else:
            raise FileDictionaryError("text_type", key=shown_key(key), type=type(text).__name__)
        if has_nul:
            raise FileDictionaryError("text_nul", key=shown_key(key))
        parts = key_parts(key)
        if parts in seen:
            raise FileDictionaryError("same_file", first=shown_key(seen[parts]), key=shown_key(key))
        seen[parts] = key
        entries.append((key, parts))
    # In sorted order the paths below a file's path follow it at once, so
    # one pass over neighbours finds every file that must also be a folder.
    ordered = sorted(seen)
    for current, following in zip(ordered, ordered[1:]):
        if following[: len(current)] == current:
            raise FileDictionaryError("file_as_folder", key=shown_key(seen[current]), below=shown_key(seen[following]))
    return entries


def source_files(record: dict) -> dict[str, Any]:
    """The record's file dictionary, keeping only str keys with texts (str,
    or texts left in the archive file by a replay's read)."""
    files = record.get("files")
    if type(files) is not dict:
        return {}
    return {key: text for key, text in files.items() if type(key) is str and type(text) in (str, StoredText)}


def main_script_key(files: dict[str, str], filename: str | None) -> str | None:
    """The key of ``files`` naming the script whose path was ``filename``
    when the archive was written (the longest restored path that ends it)."""
    if not isinstance(filename, str) or not filename:
        return None
    best: str | None = None
    best_len = -1
    for key in files:
        parts = restored_parts(key)
        if not parts:
            continue
        tail = "/".join(parts)
        if (filename == tail or filename.endswith("/" + tail)) and len(parts) > best_len:
            best, best_len = key, len(parts)
    return best


# ---------------------------------------------------------------------------
# Modules
# ---------------------------------------------------------------------------

# Keys nested deeper than this name no importable module; skipping them keeps
# the index (every folder prefix of every key) small whatever the archive holds.
MAX_MODULE_DEPTH = 256

_INIT = "__init__.py"


def folder_parts(folder: str) -> tuple[str, ...] | None:
    """The components of a folder of the archive ("." or "./sub"), or None."""
    if folder.startswith("/"):
        return None
    return _normalised(folder)


class ModuleIndex:
    """The Python modules that a file dictionary holds, by archive folder.

    Below a root folder R, "R/pkg/mod.py" is module "pkg.mod",
    "R/pkg/__init__.py" the package "pkg", and a folder holding Python files
    but no "__init__.py" a namespace package. The ``primary_roots`` (folder
    spellings such as "." or "./scripts") are searched first; every other
    folder holding a file is a fallback root, shallow ones first. Of two
    keys restored at one path, the first wins.
    """

    def __init__(self, files: dict[str, Any], primary_roots: Iterable[str] = ()) -> None:
        self.sources: dict[tuple[str, ...], str | StoredText] = {}  # read when a module needs it
        self.keys: dict[tuple[str, ...], str] = {}  # parts -> the key of files
        self.folders: set[tuple[str, ...]] = set()
        for key, text in files.items():
            if type(key) is not str or type(text) not in (str, StoredText) or key.count("/") > 2 * MAX_MODULE_DEPTH:
                continue
            parts = restored_parts(key)
            if not parts or len(parts) > MAX_MODULE_DEPTH or not parts[-1].endswith(".py") or parts in self.sources:
                continue
            self.sources[parts] = text
            self.keys[parts] = key
            for depth in range(len(parts)):
                self.folders.add(parts[:depth])
        self.primary: list[tuple[str, ...]] = []
        for root in primary_roots:
            parts = folder_parts(root)
            if parts is not None and parts in self.folders and parts not in self.primary:
                self.primary.append(parts)
        self.fallback = [root for root in sorted(self.folders, key=len) if root not in self.primary]

    def source(self, parts: tuple[str, ...]) -> str:
        """The text of the archived file at ``parts``."""
        return text_of(self.sources[parts])

    def lookup_in(self, folder: tuple[str, ...], name: str) -> tuple[str, tuple[str, ...]] | None:
        """("module" | "package" | "namespace", parts) for ``name`` (one
        component) inside an archive folder, or None."""
        if not name.isidentifier():
            return None
        if folder + (name, _INIT) in self.sources:
            return "package", folder + (name, _INIT)
        if folder + (name + ".py",) in self.sources:
            return "module", folder + (name + ".py",)
        if folder + (name,) in self.folders:
            return "namespace", folder + (name,)
        return None

    def lookup_top(self, name: str, primary: bool) -> tuple[str, tuple[str, ...]] | None:
        """Look a top-level name up in the primary roots (regular modules and
        packages only) or in the fallback roots (anything)."""
        if primary:
            for root in self.primary:
                found = self.lookup_in(root, name)
                if found is not None and found[0] != "namespace":
                    return found
            return None
        for root in self.primary + self.fallback:
            found = self.lookup_in(root, name)
            if found is not None and (found[0] == "namespace" or root not in self.primary):
                return found
        return None

    def resolve(self, dotted: str) -> tuple[tuple[str, ...], str, tuple[str, ...]] | None:
        """(root, kind, parts): where module ``dotted`` comes from in the
        archive, trying the primary roots first (no import system involved)."""
        names = dotted.split(".")
        for root in self.primary + self.fallback:
            found = self._resolve_from(root, names)
            if found is not None:
                return (root,) + found
        return None

    def module_key(self, dotted: str) -> str | None:
        """The key of the archived file that defines module ``dotted``."""
        found = self.resolve(dotted)
        return self.keys[found[2]] if found is not None and found[1] != "namespace" else None

    def _resolve_from(self, root: tuple[str, ...], names: list[str]) -> tuple[str, tuple[str, ...]] | None:
        folder = root
        found = None
        for index, name in enumerate(names):
            found = self.lookup_in(folder, name)
            if found is None:
                return None
            if index < len(names) - 1:
                if found[0] == "module":
                    return None
                folder = found[1][:-1] if found[0] == "package" else found[1]
        return found


# ---------------------------------------------------------------------------
# Notebooks
# ---------------------------------------------------------------------------

# Characters of notebook cells parsed in all to find a function's notebook:
# parsing costs a few hundred times the text's size in memory.
MAX_PARSED_CELL_CHARS = 2_000_000

# Cell magics whose body is ordinary Python; other cell magics (%%bash,
# %%html, ...) hold another language and their cells are left out.
PYTHON_CELL_MAGICS = frozenset({"time", "timeit", "capture", "prun"})

# Line magics, shell escapes and their assignment forms (`x = !ls`,
# `t = %timeit f()`), and help requests (`np.linspace?`).
_MAGIC_LINE = re.compile(r"^(\s*)(?:[%!]|[\w.,\s\[\]()*]+=\s*[%!]|[\w.]+\?\??\s*$)")


def parse_python(text: str) -> ast.Module | None:
    """The syntax tree of an archived Python text, or None when it does not parse."""
    try:
        return ast.parse(text)
    except (SyntaxError, ValueError, RecursionError, MemoryError):
        return None


def strip_magics(cell: str) -> str | None:
    """A code cell with IPython syntax turned into plain Python: line magics
    and shell escapes become ``pass`` (line numbers are kept); a cell magic
    of another language gives None."""
    lines = cell.split("\n")
    if lines and lines[0].lstrip().startswith("%%"):
        magic = lines[0].lstrip()[2:].split(None, 1)
        if not magic or magic[0] not in PYTHON_CELL_MAGICS:
            return None
        lines[0] = ""
    return "\n".join(
        match.group(1) + "pass" if (match := _MAGIC_LINE.match(line)) else line for line in lines
    )


def notebook_code_cells(text: str) -> list[str] | None:
    """The code cells of a notebook's JSON text, in document order, or None
    when the text is not a notebook."""
    try:
        notebook = json.loads(text)
    except (ValueError, RecursionError):
        return None
    cells = notebook.get("cells") if isinstance(notebook, dict) else None
    if not isinstance(cells, list):
        return None
    found: list[str] = []
    for cell in cells:
        if not isinstance(cell, dict) or cell.get("cell_type") != "code":
            continue
        source = cell.get("source", "")
        if isinstance(source, list) and all(isinstance(line, str) for line in source):
            source = "".join(source)
        if isinstance(source, str):
            found.append(source)
    return found


def _defines(tree: ast.Module, name: str) -> ast.AST | None:
    """The last module-level definition of ``name`` in a tree."""
    found = None
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)) and node.name == name:
            found = node
    return found


def find_defining_notebook(
    files: dict[str, str], qualname: str, firstlineno: Any = None, parameters: Any = None
) -> tuple[str, list[str]] | None:
    """(key, code cells) of the archived notebook that defines the function
    ``qualname`` at the top level of a code cell.

    When several do, the one whose definition starts at the saved code's
    first line (a cell's lines count from 1) and has the saved parameters
    is preferred; then the first in the archive's order.
    """
    top = qualname.split(".", 1)[0] if isinstance(qualname, str) and qualname else None
    if not top or not top.isidentifier():
        return None
    best: tuple[int, str, list[str]] | None = None
    budget = MAX_PARSED_CELL_CHARS
    for key, text in files.items():
        if not key.endswith(".ipynb"):
            continue
        cells = notebook_code_cells(text_of(text))
        if not cells:
            continue
        score = -1
        for cell in cells:
            stripped = strip_magics(cell)
            if stripped is None or len(stripped) > budget:
                continue
            budget -= len(stripped)
            tree = parse_python(stripped)
            node = _defines(tree, top) if tree is not None else None
            if node is None:
                continue
            here = 0
            first = min([node.lineno] + [d.lineno for d in getattr(node, "decorator_list", [])])
            if first == firstlineno:
                here += 2
            if "." not in qualname and isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                names = [a.arg for a in node.args.posonlyargs + node.args.args]
                saved = [str(p).split("=", 1)[0] for p in parameters or () if str(p) not in ("/", "*")]
                if saved and names == saved[: len(names)]:
                    here += 1
            score = max(score, here)
        if score >= 0 and (best is None or score > best[0]):
            best = (score, key, cells)
    return (best[1], best[2]) if best is not None else None
