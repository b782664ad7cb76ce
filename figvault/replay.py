"""Replay an archive with its own modules importable.

dill stores a function that lives in an importable module by reference, as
``module.qualname``: loading the archive imports that module. On another
machine, or in an empty folder, the module is usually not importable, yet its
source is in the archive's "files". :func:`archived_modules` installs, for
the duration of a ``with`` block, import finders that serve modules and
packages from such a file dictionary, so that ``figvault.src.unarchive.expand``
can load and run the archive anywhere the third-party packages are installed.

Mapping of files to module names: below a root folder R of the archive,
"R/pkg/mod.py" is module "pkg.mod", "R/pkg/__init__.py" is the package
"pkg", and a folder holding Python files but no "__init__.py" is a namespace
package.

Which copy wins, the archived one or one the ordinary import system finds?
Replaying should run the code as it was archived, not whatever is installed
or lies in the current folder today, so:

* Names defined in a *primary* root of the archive are served from the
  archive first (a finder placed at the front of ``sys.meta_path``): their
  top-level module is a ``name.py`` file or a regular package
  (``name/__init__.py``) directly in that root. The primary roots are the
  folder of the script the saved function came from (when the record tells
  it; that folder was ``sys.path[0]`` when the archive was written), the
  archive's top folder (the working directory at that time), and the folder
  from which the saved function's own module resolves.
* Everything else in the archive (namespace folders, modules below other
  folders) is a fallback: a finder at the end of ``sys.meta_path`` serves it
  only when the ordinary import system finds nothing, as a namespace package
  on ``sys.path`` would come last.
* Built-in modules and modules already imported are never replaced.

On leaving the block the finders are removed and the modules served from the
archive are taken out of ``sys.modules`` again (objects made from them keep
working, and their tracebacks still show the archived source).
"""

from __future__ import annotations

import ast
import builtins
import contextlib
import importlib.abc
import importlib.machinery
import sys
import types
from typing import Any, Iterable, Iterator

__all__ = [
    "ArchiveModules",
    "archived_modules",
    "fresh_main",
    "main_script_key",
    "find_definition",
    "replay_plan",
]

_INIT = "__init__.py"


def _parts_of_key(key: str) -> tuple[str, ...] | None:
    """The components of a file-dictionary key below the archive's top folder,
    or None for a key that is absolute or leaves that folder."""
    if not isinstance(key, str) or not key or key.startswith(("/", "\\")):
        return None
    parts = tuple(part for part in key.replace("\\", "/").split("/") if part not in ("", "."))
    if not parts or ".." in parts:
        return None
    return parts


class ArchiveModules:
    """An index of the Python modules held by a file dictionary.

    ``files`` maps "./path.py" keys to source texts; ``origin`` is a path
    used to build the ``__file__`` of served modules (``origin/path.py``),
    normally the absolute path of the archive file, so that tracebacks name
    the archive and the path inside it.
    """

    def __init__(self, files: dict[str, str], origin: str, primary_roots: Iterable[str] = ()) -> None:
        self.origin = str(origin).rstrip("/") or "/"
        self.sources: dict[tuple[str, ...], str] = {}
        self.keys: dict[tuple[str, ...], str] = {}  # parts -> the key of files
        self.folders: set[tuple[str, ...]] = set()
        for key, text in files.items():
            parts = _parts_of_key(key)
            if parts is None or not isinstance(text, str) or not parts[-1].endswith(".py"):
                continue
            if parts in self.sources:
                continue  # the first of two spellings of one path wins
            self.sources[parts] = text
            self.keys[parts] = key
            for depth in range(len(parts)):
                self.folders.add(parts[:depth])
        # Every folder holding a file is a candidate root; shallow ones first.
        ordered = sorted(self.folders, key=len)
        self.primary: list[tuple[str, ...]] = []
        for root in primary_roots:
            parts = () if root in ("", ".", "./") else _parts_of_key(root)
            if parts is not None and parts in self.folders and parts not in self.primary:
                self.primary.append(parts)
        self.fallback = [root for root in ordered if root not in self.primary]

    # -- paths ---------------------------------------------------------------

    def path_of(self, parts: tuple[str, ...]) -> str:
        """The ``__file__``-style path of archive parts."""
        return "/".join((self.origin.rstrip("/"),) + parts) if parts else self.origin

    def folder_of_path(self, entry: Any) -> tuple[str, ...] | None:
        """The archive folder that a package ``__path__`` entry stands for."""
        if not isinstance(entry, str):
            return None
        prefix = self.origin.rstrip("/") + "/"
        if entry == self.origin:
            return ()
        if not entry.startswith(prefix):
            return None
        parts = tuple(entry[len(prefix) :].split("/"))
        return parts if parts in self.folders else None

    # -- lookup --------------------------------------------------------------

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
            found = self.resolve_from(root, names)
            if found is not None:
                return (root,) + found
        return None

    def resolve_from(self, root: tuple[str, ...], names: list[str]) -> tuple[str, tuple[str, ...]] | None:
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


class _ArchiveLoader(importlib.abc.ExecutionLoader):
    """Loads modules from the archive's source texts."""

    def __init__(self, modules: ArchiveModules) -> None:
        self.modules = modules
        self.served: dict[str, tuple[str, tuple[str, ...]]] = {}

    def _entry(self, fullname: str) -> tuple[str, tuple[str, ...]]:
        try:
            return self.served[fullname]
        except KeyError:
            raise ImportError(f"{fullname!r} is not served from the archive", name=fullname) from None

    def get_filename(self, fullname: str) -> str:
        kind, parts = self._entry(fullname)
        if kind == "namespace":
            raise ImportError(f"{fullname!r} is a namespace package", name=fullname)
        return self.modules.path_of(parts)

    def get_source(self, fullname: str) -> str:
        kind, parts = self._entry(fullname)
        return "" if kind == "namespace" else self.modules.sources[parts]

    def is_package(self, fullname: str) -> bool:
        return self._entry(fullname)[0] != "module"

    def create_module(self, spec: importlib.machinery.ModuleSpec) -> None:
        return None  # the default module object

    def exec_module(self, module: types.ModuleType) -> None:
        code = self.get_code(module.__name__)
        if code is None:  # pragma: no cover - every served module has a source
            raise ImportError(f"no code for {module.__name__!r}", name=module.__name__)
        exec(code, module.__dict__)


class _ArchiveFinder(importlib.abc.MetaPathFinder):
    """Finds modules of the archive; ``primary`` selects the front finder."""

    def __init__(self, modules: ArchiveModules, loader: _ArchiveLoader, primary: bool) -> None:
        self.modules = modules
        self.loader = loader
        self.primary = primary

    def find_spec(self, fullname: str, path: Any = None, target: Any = None) -> importlib.machinery.ModuleSpec | None:
        parent, _, name = fullname.rpartition(".")
        if not parent:
            if path is not None:
                return None
            if self.primary and fullname in sys.builtin_module_names:
                return None
            found = self.modules.lookup_top(name, self.primary)
        else:
            # A submodule: only inside a package that the archive served.
            if not self.primary or parent not in self.loader.served:
                return None
            found = None
            for entry in path or ():
                folder = self.modules.folder_of_path(entry)
                if folder is not None:
                    found = self.modules.lookup_in(folder, name)
                    if found is not None:
                        break
        if found is None:
            return None
        kind, parts = found
        self.loader.served[fullname] = found
        is_package = kind != "module"
        origin = None if kind == "namespace" else self.modules.path_of(parts)
        spec = importlib.machinery.ModuleSpec(fullname, self.loader, origin=origin, is_package=is_package)
        if is_package:
            folder = parts[:-1] if kind == "package" else parts
            spec.submodule_search_locations = [self.modules.path_of(folder)]
        spec.has_location = origin is not None
        return spec


@contextlib.contextmanager
def archived_modules(
    files: dict[str, str], origin: str, primary_roots: Iterable[str] = (".",)
) -> Iterator[ArchiveModules]:
    """Make the modules of a file dictionary importable inside the block."""
    modules = ArchiveModules(files, origin, primary_roots)
    loader = _ArchiveLoader(modules)
    front = _ArchiveFinder(modules, loader, primary=True)
    back = _ArchiveFinder(modules, loader, primary=False)
    sys.meta_path.insert(0, front)
    sys.meta_path.append(back)
    importlib.invalidate_caches()
    try:
        yield modules
    finally:
        for finder in (front, back):
            with contextlib.suppress(ValueError):
                sys.meta_path.remove(finder)
        for name in list(loader.served):
            module = sys.modules.get(name)
            if module is not None and getattr(module, "__loader__", None) is loader:
                del sys.modules[name]
        importlib.invalidate_caches()


@contextlib.contextmanager
def fresh_main(imports_from: str | None = None, name: str = "__main__") -> Iterator[types.ModuleType]:
    """Run the block with a new, empty ``__main__`` module.

    Functions that dill saved by value from a script's ``__main__`` are given
    the namespace of the loading process's ``__main__`` as their globals;
    for a replay that should be a clean module, not the command line's own.
    When ``imports_from`` is the source of the original script, its
    module-level import statements (``import x``, ``from x import y``; not
    those nested in other statements) are run in the new namespace first, so
    that names such as ``np`` or ``plt`` that the function uses resolve as
    they did when the archive was written. An import that fails is skipped,
    and imports of figvault itself are left out: replaying needs no archiving
    decorator (and loading it would import torch for nothing).
    """
    main = types.ModuleType(name)
    main.__dict__["__builtins__"] = builtins
    saved = sys.modules.get("__main__")
    dill_module = sys.modules.get("dill._dill")
    saved_dill_main = getattr(dill_module, "_main_module", None)
    sys.modules["__main__"] = main
    if dill_module is not None and saved_dill_main is not None:
        setattr(dill_module, "_main_module", main)
    try:
        if imports_from:
            _run_imports(imports_from, main)
        yield main
    finally:
        if saved is not None:
            sys.modules["__main__"] = saved
        else:  # pragma: no cover - a process always has a __main__
            sys.modules.pop("__main__", None)
        if dill_module is not None and saved_dill_main is not None:
            setattr(dill_module, "_main_module", saved_dill_main)


def _run_imports(source: str, main: types.ModuleType) -> None:
    if not isinstance(source, str):
        return
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError, RecursionError, MemoryError):
        return
    for node in tree.body:
        if isinstance(node, ast.ImportFrom) and node.level:
            continue  # a script has no package to be relative to
        if isinstance(node, ast.Import):
            node.names = [alias for alias in node.names if not _is_figvault(alias.name)]
            if not node.names:
                continue
        if isinstance(node, ast.ImportFrom) and _is_figvault(node.module or ""):
            continue
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            statement = ast.Module(body=[node], type_ignores=[])
            try:
                exec(compile(statement, "<figvault replay imports>", "exec"), main.__dict__)
            except Exception:
                continue


def _is_figvault(module: str) -> bool:
    return module == "figvault" or module.startswith("figvault.")


def main_script_key(files: dict[str, str], filename: str | None) -> str | None:
    """The key of ``files`` naming the script whose path was ``filename``
    when the archive was written (the longest key that ends the path)."""
    if not isinstance(filename, str) or not filename:
        return None
    path = filename.replace("\\", "/")
    best: str | None = None
    best_len = -1
    for key in files:
        parts = _parts_of_key(key)
        if parts is None:
            continue
        tail = "/".join(parts)
        if (path == tail or path.endswith("/" + tail)) and len(parts) > best_len:
            best, best_len = key, len(parts)
    return best


def find_definition(source: str, qualname: str) -> tuple[int, list[str]] | None:
    """(first line, parameter texts) of the function ``qualname`` defined in
    ``source`` (module level or in classes), found by parsing only."""
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError, RecursionError, MemoryError):
        return None
    body: list[ast.stmt] = tree.body
    node: ast.AST | None = None
    for part in qualname.split("."):
        node = None
        for statement in body:
            if isinstance(statement, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)) and statement.name == part:
                node = statement  # the last definition wins, as at run time
        if node is None:
            return None
        body = getattr(node, "body", [])
    if not isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
        return None
    first = min([node.lineno] + [d.lineno for d in node.decorator_list])
    try:
        return first, _parameter_texts(node.args)
    except Exception:  # an unusual tree: the line is still useful
        return first, []


def _parameter_texts(args: ast.arguments) -> list[str]:
    def one(arg: ast.arg, default: ast.expr | None = None) -> str:
        text = arg.arg
        if default is not None:
            text += "=" + ast.unparse(default)
        return text

    positional = list(args.posonlyargs) + list(args.args)
    defaults: list[ast.expr | None] = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    texts = [one(arg, default) for arg, default in zip(positional, defaults)]
    if args.posonlyargs:
        texts.insert(len(args.posonlyargs), "/")
    if args.vararg is not None:
        texts.append("*" + args.vararg.arg)
    elif args.kwonlyargs:
        texts.append("*")
    texts.extend(one(arg, default) for arg, default in zip(args.kwonlyargs, args.kw_defaults))
    if args.kwarg is not None:
        texts.append("**" + args.kwarg.arg)
    return texts


def replay_plan(files: dict[str, str], function: dict[str, Any]) -> tuple[list[str], str | None]:
    """(primary roots, key of the original script) for replaying a record
    whose saved function :func:`figvault.safe_reader.describe_function`
    described."""
    roots: list[str] = []
    script = None
    module = function.get("module")
    if module == "__main__":
        script = main_script_key(files, function.get("filename"))
        if script is not None:
            parts = _parts_of_key(script) or ()
            roots.append("./" + "/".join(parts[:-1]) if len(parts) > 1 else ".")
    if "." not in roots:
        roots.append(".")
    if isinstance(module, str) and module and module != "__main__":
        found = ArchiveModules(files, "/", roots).resolve(module)
        if found is not None:
            root = "./" + "/".join(found[0]) if found[0] else "."
            if root not in roots:
                roots.append(root)
    return roots, script
