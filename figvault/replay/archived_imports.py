"""The archive's own modules, served while a replay loads and runs.

dill stores a function that lives in an importable module by reference, as
``module.qualname``: loading the archive imports that module. On another
machine, or in an empty folder, the module is usually not importable, yet its
source is in the archive's "files". :func:`archived_modules` installs, for
the duration of a ``with`` block, import finders that serve modules and
packages from such a file dictionary (indexed by
:class:`figvault.sources.ModuleIndex`), so that the archive loads and runs
anywhere the third-party packages are installed, and runs the archived code
rather than today's edits.

Archived modules are found where the original run found them:

* Names defined in a *primary* root of the archive are served from the
  archive first (a finder placed at the front of ``sys.meta_path``), as
  Python put those folders first on ``sys.path``: their top-level module is
  a ``name.py`` file or a regular package (``name/__init__.py``) directly in
  that root. The primary roots are the folder of the script the saved
  function came from (that run's ``sys.path[0]``) and the folder from which
  the saved function's own module resolves (see
  :func:`figvault.replay.plan.plan_replay`).
* Everything else in the archive (namespace folders, modules below other
  folders) is a fallback: a finder at the end of ``sys.meta_path`` serves it
  only when nothing installed or standard provides the name.
* A standard-library or built-in module is never served from the archive,
  nor figvault itself.

Afterwards no module of the archive stays in ``sys.modules``; standard and
installed modules that the replayed code imported may stay (see
:class:`_ModulesGuard`).
"""

from __future__ import annotations

import contextlib
import importlib.abc
import importlib.machinery
import sys
import types
from typing import Any, Iterable, Iterator

from ..sources import ModuleIndex

__all__ = ["ArchiveModules", "archived_modules", "never_served", "served_from_archive"]

# Top-level names that the archive never provides, whatever it holds: the
# replay itself runs on figvault and dill, and "__main__" is the fresh
# namespace that the replay prepares.
NEVER_SERVED = frozenset({"figvault", "dill", "__main__"})

def never_served(top_name: str) -> bool:
    """True for a top-level module name that must never come from an archive:
    a standard-library or built-in module (an archived calendar.py must not
    replace the standard calendar), figvault or dill."""
    return top_name in NEVER_SERVED or top_name in sys.stdlib_module_names or top_name in sys.builtin_module_names


class ArchiveModules(ModuleIndex):
    """The module index of a file dictionary, with the paths that its served
    modules carry.

    ``files`` maps "./path.py" keys to source texts; ``origin`` is a path
    used to build the ``__file__`` of served modules (``origin/path.py``),
    normally the absolute path of the archive file, so that tracebacks name
    the archive and the path inside it.
    """

    def __init__(self, files: dict[str, str], origin: str, primary_roots: Iterable[str] = ()) -> None:
        super().__init__(files, primary_roots)
        self.origin = str(origin).rstrip("/") or "/"

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
        return "" if kind == "namespace" else self.modules.source(parts)

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
            if path is not None or never_served(fullname):
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


def _is_extension(module: Any) -> bool:
    """True for a module loaded from a compiled extension."""
    spec = getattr(module, "__spec__", None)
    if isinstance(getattr(spec, "loader", None), importlib.machinery.ExtensionFileLoader):
        return True
    origin = getattr(spec, "origin", None)
    return isinstance(origin, str) and origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))


def _is_python_source(module: Any) -> bool:
    """True for a module executed from a Python source or bytecode file."""
    spec = getattr(module, "__spec__", None)
    loader = getattr(spec, "loader", None)
    return isinstance(loader, (importlib.machinery.SourceFileLoader, importlib.machinery.SourcelessFileLoader))


class _ModulesGuard:
    """Takes the archive's modules out of ``sys.modules`` after a replay, and
    puts back what the replay replaced or set aside.

    On entering, modules that are already imported but that the archive
    provides in a primary root are set aside, so that the archived copy is
    imported instead of today's. On leaving, every module served from the
    archive is removed, every entry that was replaced or set aside is put
    back, and a module newly imported during the replay that holds
    references to archive-served modules is removed too.

    Ordinary installed or standard modules newly imported during the replay
    stay: removing an extension-backed package breaks the process (after
    numpy's modules are deleted from ``sys.modules``, ``import numpy`` fails
    with "cannot load module more than once per process"). For the same
    reason an already imported package is never set aside when it or one of
    its submodules is an extension.
    """

    def __init__(self, modules: ArchiveModules, loader: _ArchiveLoader) -> None:
        self.modules = modules
        self.loader = loader
        self.before: dict[str, Any] = {}

    def __enter__(self) -> None:
        self.before = dict(sys.modules)
        tops: dict[str, list[str]] = {}
        for name in self.before:
            tops.setdefault(name.partition(".")[0], []).append(name)
        for top, names in tops.items():
            if never_served(top) or self.modules.lookup_top(top, primary=True) is None:
                continue
            if any(_is_extension(self.before[name]) for name in names):
                continue
            for name in names:
                del sys.modules[name]

    def served_names(self) -> set[str]:
        return {
            name
            for name, module in sys.modules.items()
            if name in self.loader.served and getattr(module, "__loader__", None) is self.loader
        }

    def _refers_to(self, module: Any, served: set[str], served_ids: set[int]) -> bool:
        """True when a module's namespace holds a served module, or a
        function, class or object defined in one."""
        try:
            values = list(vars(module).values())
        except TypeError:
            return False
        for value in values:
            if id(value) in served_ids:
                return True
            owner = value if isinstance(value, (types.FunctionType, type)) else type(value)
            try:
                defined_in = owner.__module__
            except Exception:  # a class with an unusual __module__
                continue
            if isinstance(defined_in, str) and defined_in in served:
                return True
        return False

    def __exit__(self, *exc: Any) -> None:
        served = self.served_names()
        served_ids = {id(sys.modules[name]) for name in served}
        for name in served:
            del sys.modules[name]
        for name, module in list(sys.modules.items()):
            if name in self.before or not _is_python_source(module):
                continue
            if self._refers_to(module, served, served_ids):
                del sys.modules[name]
        for name, module in self.before.items():
            if sys.modules.get(name) is not module:
                sys.modules[name] = module


@contextlib.contextmanager
def archived_modules(
    files: dict[str, str], origin: str, primary_roots: Iterable[str] = (".",)
) -> Iterator[ArchiveModules]:
    """Make the modules of a file dictionary importable inside the block;
    none of them stays in ``sys.modules`` after it."""
    modules = ArchiveModules(files, origin, primary_roots)
    loader = _ArchiveLoader(modules)
    front = _ArchiveFinder(modules, loader, primary=True)
    back = _ArchiveFinder(modules, loader, primary=False)
    guard = _ModulesGuard(modules, loader)
    guard.__enter__()
    sys.meta_path.insert(0, front)
    sys.meta_path.append(back)
    importlib.invalidate_caches()
    try:
        yield modules
    finally:
        for finder in (front, back):
            with contextlib.suppress(ValueError):
                sys.meta_path.remove(finder)
        guard.__exit__()
        importlib.invalidate_caches()


def served_from_archive(module: Any) -> bool:
    """True when ``module`` was loaded from the archive's sources (and not,
    say, a module of the same name that was imported before)."""
    return isinstance(getattr(getattr(module, "__spec__", None), "loader", None), _ArchiveLoader)
