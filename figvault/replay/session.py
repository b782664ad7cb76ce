"""The replay for people: ``figvault.expand`` and ``figvault.extract``, in steps.

``figvault.src.unarchive.expand`` is the plain module function: it loads the
archive with dill, calls the saved function with the saved arguments as
keywords, and only then restores the sources. :class:`Replay` is the replay
that the command line uses too. In order, it

1. resolves ``folder`` to an absolute path and refuses one that exists
   (stage "folder");
2. reads the archive with the restricted reader, nothing runs (stage
   "read"; the large texts stay in the file until they are needed), checks
   the whole file dictionary, and tells from the bytecode which Python
   version saved the code: code of another version is never run, the
   function is rebuilt from the archived sources, or the replay is refused
   (:mod:`.rebuild`; stage "check");
3. restores the sources into the new folder, before any archived code runs,
   so that a replay that fails still leaves them restored (the exception
   gets a note naming the folder; stage "restore");
4. loads the record with dill while the archive's own modules are served
   (:mod:`.archived_imports`) and ``__main__`` is a fresh module prepared
   from the archived script or notebook (:mod:`.main_module`): the
   module-level names that the saved globals lack come from there, so every
   function of the script finds every name of it, also through eval() or
   globals(). Then it calls the saved function in the caller's working
   directory with the saved arguments bound by its signature (stage "run").

An extract does steps 1-3 only and never loads any code.
"""

from __future__ import annotations

import importlib
import inspect
import os
import types
from typing import Any

from ..reader import (
    ArchiveError,
    ArchiveFile,
    Budget,
    Limits,
    SavedPython,
    limits_for_loading,
    limits_for_sources,
    read_record,
    saved_python,
    walk,
)
from ..sources import check_file_dict, source_files
from ..terminal import clean_text
from ..view.function import describe_function
from ..view.text import NAME_CHARS
from .archived_imports import archived_modules, served_from_archive
from .load import Loaded, load_record
from .main_module import fresh_main, prepare_namespace
from .names import saved_globals, share_names
from .plan import ReplayPlan, plan_replay
from .rebuild import NOT_PREPARED, NOT_SERVED, ForeignCodeError, rebuild_problem, rebuilt_function
from .restore import new_folder_path, restore_files

__all__ = ["Replay", "bind_arguments", "expand", "extract"]

# The globals that a record names when something in it was saved with
# ``__main__``'s namespace as its globals (a function saved the plain way):
# dill's own name for it, or the namespace of the module named "__main__".
MAIN_NAMESPACE_GLOBAL = "__builtin__.__main__"
MAIN_MODULE_PREFIX = "__main__."

FILENAME_TYPE_MESSAGE = "filename must be a path (str, bytes or os.PathLike), not {type}"
ARGS_TYPE_MESSAGE = "the saved arguments are not a dict but {type}"
FUNC_TYPE_MESSAGE = "the saved function is not callable but {type}"
MISSING_BEFORE_STAR_MESSAGE = "the archive holds no argument for {name!r}, which must come before *{star}"
EXTRACT_FOLDER_MESSAGE = "extract needs a folder to restore the sources into"
# The note on the exception of a replay that failed after the restore.
RESTORED_NOTE = "figvault: the sources were restored into {folder!r} before the replay failed"
LOADED_RECORD_MESSAGE = "the loaded archive record is not a dict holding 'func'"
NESTED_RECORD_MESSAGE = "the archive record is nested too deeply"


def _uses_main_namespace(global_names: list[str]) -> bool:
    return any(name == MAIN_NAMESPACE_GLOBAL or name.startswith(MAIN_MODULE_PREFIX) for name in global_names)


def _archive_path(filename: Any) -> str:
    """The archive's path, absolute, so a replay that changes directory
    still names the same file."""
    if not isinstance(filename, (str, bytes, os.PathLike)):
        raise TypeError(FILENAME_TYPE_MESSAGE.format(type=type(filename).__name__))
    return os.path.abspath(os.fsdecode(filename))


class SavedRecordError(ArchiveError, TypeError):
    """The loaded record's function or arguments cannot be called: a fault
    of the archive, not of the replayed code (a TypeError as well, as the
    plain module function raises one)."""


def bind_arguments(func: Any, args: Any) -> tuple[tuple[Any, ...], dict[str, Any]]:
    """(positional, keyword) arguments for calling ``func`` with the saved
    arguments ``args`` (parameter name -> value).

    Positional-only parameters, and a ``*name`` parameter saved as a tuple
    under ``name`` (with every parameter before it), go by position; the
    rest by keyword. A missing positional parameter takes its default when
    a later one must be passed by position. Without a signature everything
    goes by keyword, as the plain module function passes it.
    """
    if not isinstance(args, dict):
        raise SavedRecordError(ARGS_TYPE_MESSAGE.format(type=type(args).__name__))
    remaining = dict(args)
    try:
        # The parameters the archive paired the arguments with: never those
        # of a function that `func` wraps (__wrapped__).
        parameters = list(inspect.signature(func, follow_wrapped=False).parameters.values())
    except (TypeError, ValueError):  # no signature to read
        return (), remaining
    star = next((p for p in parameters if p.kind is inspect.Parameter.VAR_POSITIONAL), None)
    star_values: tuple[Any, ...] | None = None
    if star is not None and type(remaining.get(star.name)) is tuple:
        star_values = remaining.pop(star.name)
    by_position = [
        p
        for p in parameters
        if p.kind is inspect.Parameter.POSITIONAL_ONLY
        or (star_values and p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD)
    ]
    positional: list[Any] = []
    defaults: list[Any] = []  # defaults to pass only if a later value follows
    missing = None
    for parameter in by_position:
        if parameter.name in remaining:
            positional += defaults
            defaults = []
            positional.append(remaining.pop(parameter.name))
        elif parameter.default is not inspect.Parameter.empty:
            defaults.append(parameter.default)
        else:
            missing = parameter.name
            break
    if star_values:
        if missing is not None:
            star_name = star.name if star is not None else "args"
            raise TypeError(MISSING_BEFORE_STAR_MESSAGE.format(name=missing, star=star_name))
        positional += defaults
        positional.extend(star_values)
    return tuple(positional), remaining


class Replay:
    """One replay of an archive, step by step.

    :meth:`prepare` checks the folder, reads the archive, checks its
    sources and plans the replay without running anything; :meth:`restore`
    writes the sources; :meth:`run` loads the record and calls the saved
    function. :meth:`expand` and :meth:`extract` take the steps in order.
    ``stage`` names the step that runs (or ran last): "folder", "read",
    "check", "restore" or "run", so that a caller can tell a failure of the
    replayed code from one of the archive.
    """

    def __init__(self, filename: Any, folder: Any = None, *, runs_code: bool = True) -> None:
        """``runs_code`` is False for a replay that only restores the sources."""
        self.filename = filename
        self.requested_folder = folder
        self.runs_code = runs_code
        self.stage = "start"
        self.folder: str | None = None
        self.archive: str | None = None
        self.record: dict = {}
        self.global_names: list[str] = []
        self.checked: list[tuple[str, tuple[str, ...]]] | None = None
        self.restored = False
        # The error that ended the listing of restored paths (the restore went on).
        self.listing_error: OSError | ValueError | None = None
        # Known once prepared (a replay that runs code): the open archive,
        # its sources (texts left in the file), the saved function, the
        # Python version that saved its code, and the plan.
        self.source: ArchiveFile | None = None
        self.files: dict[str, Any] = {}
        self.function: dict[str, Any] = {}
        self.python = SavedPython()
        self.planned = ReplayPlan()
        self.called: Any = None  # the function that the replay called
        # Bytecode that this and another version read alike may be the
        # other's, which this interpreter would misread: when the sources
        # can rebuild the function, they do.
        self.rebuilds_uncertain = False

    @property
    def rebuilds(self) -> bool:
        """True when the saved code came from another Python version (or
        may have: see ``rebuilds_uncertain``): the function is rebuilt from
        the archived sources instead."""
        return not self.python.runs_here or self.rebuilds_uncertain

    @property
    def rebuilt_from(self) -> str | None:
        """The archived file that the function is rebuilt from."""
        if not self.rebuilds:
            return None
        return self.planned.script or self.planned.notebook or self.planned.module_file

    def prepare(self) -> None:
        """Check the folder, read the archive, check its sources and plan
        the replay; nothing runs."""
        self.stage = "folder"
        # The folder first: it must not exist, and it is fixed as an
        # absolute path before anything can change the working directory.
        if self.requested_folder is not None:
            self.folder = new_folder_path(self.requested_folder)
        self.archive = _archive_path(self.filename)
        self.stage = "read"
        budget = Budget(self.read_limits())
        if self.runs_code:
            # One open file for every read of the replay; the large texts
            # stay in it until something needs them.
            self.source = ArchiveFile(self.archive)
            self.record, info = read_record(self.source, budget)
        else:
            self.record, info = read_record(self.archive, budget, sources_only=True)
        self.global_names = info.names
        self.stage = "check"
        if self.folder is not None:
            self.checked = check_file_dict(self.record["files"])
        if self.runs_code:
            self._plan(budget)

    def _plan(self, budget: Budget) -> None:
        assert self.archive is not None
        func = self.record["func"]
        try:
            self.function = describe_function(func)
            self.python = saved_python(walk(func, budget).nodes)
        except RecursionError:
            raise ArchiveError(NESTED_RECORD_MESSAGE) from None
        self.files = source_files(self.record)
        self.planned = plan_replay(self.files, self.function, origin=self.archive)
        if self.rebuilds:
            problem = rebuild_problem(self.function, self.planned, self.files)
            if problem is not None:
                raise self._refusal(problem)
        elif len(self.python.versions) > 1:
            self.rebuilds_uncertain = rebuild_problem(self.function, self.planned, self.files) is None

    def _refusal(self, reason: str) -> ForeignCodeError:
        name = self.function.get("qualname") or self.function.get("name") or "the saved function"
        return ForeignCodeError(os.fsdecode(self.filename), self.python, name, reason)

    def read_limits(self) -> Limits:
        """The reader's budgets: a replay loads the archive anyway, so they
        grow with the file; sources only (``extract``) are read without
        making anything else, so any archive's operations fit, at a cost
        that grows with the file."""
        assert self.archive is not None
        return limits_for_loading(self.archive) if self.runs_code else limits_for_sources(self.archive)

    def restore(self) -> None:
        """Write the saved sources into the new folder (when one was given)."""
        self.stage = "restore"
        if self.folder is None:
            return
        self.listing_error = restore_files(self.record["files"], self.folder, checked=self.checked)
        self.restored = True

    def run(self) -> Any:
        """Load the record and call the saved function; its result.

        A record without "args" is loaded but its function is not called
        (as the plain module function does), and None is returned.
        """
        self.stage = "run"
        try:
            return self._run()
        except BaseException as error:
            if self.restored:
                error.add_note(RESTORED_NOTE.format(folder=self.folder))
            raise

    def _run(self) -> Any:
        assert self.archive is not None and self.source is not None
        plan = self.planned
        # Only what the load needs stays: the places of the texts (for the
        # served modules), not the reader's copy of the record.
        self.record = {}
        foreign = (self.python.text or "?", self.python.running) if self.rebuilds else None
        skip = None if foreign else plan.skip_function
        with archived_modules(self.files, self.archive, plan.roots):
            with fresh_main(main_file=plan.main_file) as main:
                # A record that names __main__'s namespace (a function saved
                # the plain way) looks names up in it while it loads.
                prepared = bool(plan.pieces) and _uses_main_namespace(self.global_names)
                if prepared:
                    prepare_namespace(main.__dict__, plan.pieces, skip)
                with self.source.stream() as stream:
                    loaded = load_record(stream, foreign)
                record, loaded.record = loaded.record, None
                if not isinstance(record, dict) or "func" not in record:
                    raise ArchiveError(LOADED_RECORD_MESSAGE)
                func, args, called = record["func"], record.get("args"), "args" in record
                del record  # the loaded sources go before the function runs
                scripts = [f for f in loaded.functions if f.__globals__.get("__name__") == "__main__"]
                saved = saved_globals(scripts, main.__dict__, loaded.made() if foreign else frozenset())
                main.__dict__.update(saved)
                if plan.pieces and not prepared:
                    prepare_namespace(main.__dict__, plan.pieces, skip, frozenset(saved))
                    main.__dict__.update(saved)  # the archived values win
                if foreign:
                    func = self._rebuilt(func, main, loaded)
                elif skip and getattr(func, "__globals__", {}).get("__name__") == "__main__":
                    # The archived script called the function by this name.
                    main.__dict__.setdefault(skip, func)
                share_names(scripts, main.__dict__)
                if not called:
                    return None
                if not callable(func):
                    raise SavedRecordError(FUNC_TYPE_MESSAGE.format(type=type(func).__name__))
                positional, keywords = bind_arguments(func, args)
                self.called = func
                return func(*positional, **keywords)

    def _rebuilt(self, saved: Any, main: types.ModuleType, loaded: Loaded) -> Any:
        """The saved function as the archived sources define it."""
        module = self.function.get("module")
        namespace: Any = main.__dict__
        if module != "__main__" and isinstance(module, str):
            namespace = importlib.import_module(module)  # served from the archive
            if not served_from_archive(namespace):  # a module of the same name came first
                raise self._refusal(NOT_SERVED.format(module=clean_text(module, NAME_CHARS)))
        rebuilt = rebuilt_function(saved, namespace, loaded.classes)
        if rebuilt is None:
            key = clean_text(self.rebuilt_from or "?", NAME_CHARS)
            raise self._refusal(NOT_PREPARED.format(key=key))
        return rebuilt

    def expand(self) -> Any:
        """Every step: restore the sources (when a folder was given), then
        call the saved function; its result."""
        self.prepare()
        self.restore()
        return self.run()

    def extract(self) -> str:
        """The steps up to the restore; the folder's absolute path."""
        if self.requested_folder is None:
            raise TypeError(EXTRACT_FOLDER_MESSAGE)
        self.prepare()
        self.restore()
        assert self.folder is not None
        return self.folder


def expand(filename: Any, folder: Any = None) -> Any:
    """Replay an archive: restore its sources into the new folder ``folder``
    (when given), then call the saved function with the saved arguments in
    the current working directory, running the archived code; returns the
    function's result.

    Unlike the plain ``figvault.src.unarchive.expand``, the sources are
    restored first (a failed replay leaves them restored, and its exception
    says so in a note), the archive's own modules are served while it loads
    and runs, a function saved from a script or notebook gets a fresh
    ``__main__`` prepared from the archived source, and the arguments are
    bound by the function's signature. Runs code from the archive: expand
    only archives you trust.
    """
    return Replay(filename, folder).expand()


def extract(filename: Any, folder: Any) -> str:
    """Restore an archive's saved sources into the new folder ``folder``
    without loading or running anything from it; returns the folder's
    absolute path."""
    return Replay(filename, folder, runs_code=False).extract()
