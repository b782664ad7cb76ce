"""A fresh ``__main__`` for replaying a function saved from a script or a
notebook.

dill stores a function of ``__main__`` by value. Saved the plain way, its
globals are "whatever ``__main__`` holds when the archive is loaded", so a
replay in a new process finds none of the script's module-level names
(``np``, ``plt``, helper functions, constants). This module rebuilds them
from the archived source of the script (or of the notebook's code cells):
it runs that source's module-level

* imports (not those of figvault, not relative ones: a script has no package),
* function and class definitions (without figvault decorators), and
* assignments,

in order, and never its expression statements, its
``if __name__ == "__main__":`` block or any other compound statement, nor
the saved function's own definition (unless the function is rebuilt from
these sources), nor a statement that only binds names the archive holds
already (the saved values win anyway). A statement that fails (also by
raising SystemExit) is skipped and reported as a :class:`ReplayWarning`
located at its line in the archived source; the statements see
``sys.argv`` as the script's name alone.
"""

from __future__ import annotations

import __future__
import ast
import builtins
import contextlib
import linecache
import sys
import types
import warnings
from dataclasses import dataclass
from typing import Any, Iterable, Iterator

from ..sources import parse_python

__all__ = ["ReplayWarning", "SourcePiece", "fresh_main", "prepare_namespace"]

# Sources longer than this (in characters, all pieces together) are not
# parsed: parsing costs a few hundred times the text's size in memory.
MAX_PREPARED_SOURCE_CHARS = 2_000_000
# Longest exception text quoted in a warning.
SHOWN_ERROR_CHARS = 200

# The ReplayWarning texts.
SKIPPED_MESSAGE = "skipped while preparing the replay: {error}"
UNPARSED_MESSAGE = "skipped: the source does not parse as Python"
TOO_LARGE_MESSAGE = "the archived source is not prepared for the replay: {size} characters exceed {limit}"


class ReplayWarning(UserWarning):
    """Something of the archived script or notebook could not be prepared
    for the replay (a statement that failed, a cell that does not parse)."""


@dataclass(frozen=True)
class SourcePiece:
    """Python source to prepare from: a script, or one notebook cell.

    ``filename`` names it in tracebacks and warnings (registered with
    linecache so that tracebacks show the archived lines).
    """

    filename: str
    text: str


def _one_line(text: str, limit: int = SHOWN_ERROR_CHARS) -> str:
    """Text for a one-line message: control characters escaped, shortened."""
    text = text if text.isprintable() else repr(text)[1:-1]
    return text if len(text) <= limit else text[: limit - 3] + "..."


def _error_text(error: BaseException) -> str:
    """The first line of an exception's text ("" when it has none or cannot make one)."""
    try:
        return str(error).split("\n", 1)[0]
    except Exception:
        return ""


def _warn(message: str, filename: str, lineno: int) -> None:
    warnings.warn_explicit(_one_line(message, 4 * SHOWN_ERROR_CHARS), ReplayWarning, filename, lineno)


# ---------------------------------------------------------------------------
# Choosing and running statements
# ---------------------------------------------------------------------------


def _is_figvault(module: str | None) -> bool:
    return module is not None and (module == "figvault" or module.startswith("figvault."))


def _root_name(node: ast.expr) -> str | None:
    """The name a decorator or call chain starts from: ``a`` in ``a.b.c(...)``."""
    while True:
        if isinstance(node, ast.Call):
            node = node.func
        elif isinstance(node, ast.Attribute):
            node = node.value
        elif isinstance(node, ast.Name):
            return node.id
        else:
            return None


def _names_read(node: ast.AST) -> set[str]:
    return {n.id for n in ast.walk(node) if isinstance(n, ast.Name)}


def _target_names(targets: Iterable[ast.expr]) -> set[str]:
    names: set[str] = set()
    for target in targets:
        names |= {n.id for n in ast.walk(target) if isinstance(n, ast.Name)}
    return names


def _only_binds(targets: Iterable[ast.expr]) -> bool:
    """True when assigning to ``targets`` binds names and does nothing else
    (no attribute or item is set)."""
    return all(
        isinstance(n, (ast.Name, ast.Tuple, ast.List, ast.Starred, ast.Load, ast.Store))
        for target in targets
        for n in ast.walk(target)
    )


def _bound_names(node: ast.stmt) -> set[str] | None:
    """The names a chosen statement binds, or None when it does more than
    bind names (or binds none)."""
    if isinstance(node, ast.Import):
        return {alias.asname or alias.name.split(".", 1)[0] for alias in node.names}
    if isinstance(node, ast.ImportFrom):
        names = {alias.asname or alias.name for alias in node.names}
        return None if "*" in names else names
    if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
        return {node.name}
    if isinstance(node, (ast.Assign, ast.AugAssign)) or (isinstance(node, ast.AnnAssign) and node.value is not None):
        targets = node.targets if isinstance(node, ast.Assign) else [node.target]
        if not _only_binds(targets):
            return None
        return _target_names(targets) or None
    return None


class _Chooser:
    """Decides, statement by statement, what is run in the fresh namespace."""

    def __init__(self, skip_function: str | None, provided: frozenset[str] = frozenset()) -> None:
        self.skip_function = skip_function
        self.provided = provided  # names whose values the archive holds
        self.figvault_names: set[str] = set()  # names bound to figvault things

    def choose(self, node: ast.stmt) -> ast.stmt | None:
        """The statement to run (possibly trimmed), or None to leave it out."""
        chosen = self._choose(node)
        if chosen is not None and self.provided:
            names = _bound_names(chosen)
            if names is not None and names <= self.provided:
                return None
        return chosen

    def _choose(self, node: ast.stmt) -> ast.stmt | None:
        if isinstance(node, ast.Import):
            kept = []
            for alias in node.names:
                if _is_figvault(alias.name):
                    self.figvault_names.add(alias.asname or alias.name.split(".", 1)[0])
                else:
                    kept.append(alias)
            if not kept:
                return None
            node.names = kept
            return node
        if isinstance(node, ast.ImportFrom):
            if node.level:
                return None  # a script has no package to be relative to
            if _is_figvault(node.module):
                self.figvault_names.update(alias.asname or alias.name for alias in node.names)
                return None
            return node
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            if self.skip_function is not None and node.name == self.skip_function and not isinstance(node, ast.ClassDef):
                return None  # the archive holds the saved function itself
            # Defined without figvault's decorators: replaying archives nothing.
            node.decorator_list = [d for d in node.decorator_list if _root_name(d) not in self.figvault_names]
            return node
        if isinstance(node, (ast.Assign, ast.AnnAssign, ast.AugAssign)):
            targets = node.targets if isinstance(node, ast.Assign) else [node.target]
            if node.value is not None and _names_read(node.value) & self.figvault_names:
                # `plot = archive("x.figvault")(draw)`, `arch = figvault.archive`
                self.figvault_names |= _target_names(targets)
                return None
            return node
        return None


def _future_flags(tree: ast.Module) -> int:
    """The compiler flags of the ``from __future__ import ...`` statements
    at the top of a module."""
    flags = 0
    for node in tree.body:
        if isinstance(node, ast.ImportFrom) and node.module == "__future__":
            for alias in node.names:
                feature = getattr(__future__, alias.name, None)
                flags |= getattr(feature, "compiler_flag", 0)
    return flags


def _register_source(filename: str, text: str) -> None:
    """Let tracebacks and warnings show the archived lines of ``filename``."""
    lines = text.splitlines(keepends=True)
    linecache.cache[filename] = (len(text), None, lines, filename)


def prepare_namespace(
    namespace: dict[str, Any],
    pieces: list[SourcePiece],
    skip_function: str | None,
    provided: frozenset[str] = frozenset(),
) -> None:
    """Run the chosen module-level statements of ``pieces`` in ``namespace``.

    ``skip_function`` is the name of the saved function, whose definition is
    left out; a statement that only binds names of ``provided`` is left out
    too. Failures become ReplayWarnings; nothing is raised for them.
    """
    total = sum(len(piece.text) for piece in pieces)
    if total > MAX_PREPARED_SOURCE_CHARS:
        first = pieces[0].filename if pieces else "?"
        _warn(TOO_LARGE_MESSAGE.format(size=total, limit=MAX_PREPARED_SOURCE_CHARS), first, 1)
        return
    # The statements see the script's name as its whole command line: the
    # command line of the recording run is not archived, and figvault's own
    # arguments are not the script's (an argparse call would read them).
    saved_argv = sys.argv
    sys.argv = [pieces[0].filename] if pieces else [""]
    try:
        _prepare(namespace, pieces, _Chooser(skip_function, provided))
    finally:
        sys.argv = saved_argv


def _prepare(namespace: dict[str, Any], pieces: list[SourcePiece], chooser: _Chooser) -> None:
    for piece in pieces:
        tree = parse_python(piece.text)
        if tree is None:
            _warn(UNPARSED_MESSAGE, piece.filename, 1)
            continue
        _register_source(piece.filename, piece.text)
        # Statements are compiled one by one: the source's own future
        # imports are passed on to each, and none of this module's.
        flags = _future_flags(tree)
        for node in tree.body:
            chosen = chooser.choose(node)
            if chosen is None:
                continue
            try:
                module = ast.Module(body=[chosen], type_ignores=[])
                code = compile(module, piece.filename, "exec", flags=flags, dont_inherit=True)
                exec(code, namespace)
            except KeyboardInterrupt:
                raise
            except BaseException as error:  # SystemExit too (a parse_args() that fails, an exit())
                detail = _error_text(error)
                _warn(SKIPPED_MESSAGE.format(error=type(error).__name__ + (f": {detail}" if detail else "")),
                      piece.filename, node.lineno)


@contextlib.contextmanager
def fresh_main(
    source: str | None = None,
    name: str = "__main__",
    *,
    pieces: list[SourcePiece] | None = None,
    skip_function: str | None = None,
    main_file: str | None = None,
) -> Iterator[types.ModuleType]:
    """Run the block with a new ``__main__`` module.

    Functions that dill saved by value from a script's ``__main__`` (the
    plain way, without their globals) are given the namespace of the
    loading process's ``__main__`` as their globals; for a replay that is
    this new module, not the caller's. It is prepared from ``pieces`` (or
    from the script text ``source``) by
    :func:`prepare_namespace`: the module-level imports,
    definitions and assignments of the archived script or notebook, without
    the saved function ``skip_function`` itself. ``main_file`` becomes its
    ``__file__``, as the original script had one.
    """
    main = types.ModuleType(name)
    main.__dict__["__builtins__"] = builtins
    if main_file is not None:
        main.__dict__["__file__"] = main_file
    if pieces is None and isinstance(source, str):
        pieces = [SourcePiece("<figvault replay>", source)]
    saved = sys.modules.get("__main__")
    dill_module = sys.modules.get("dill._dill")
    saved_dill_main = getattr(dill_module, "_main_module", None)
    sys.modules["__main__"] = main
    if dill_module is not None and saved_dill_main is not None:
        setattr(dill_module, "_main_module", main)
    try:
        if pieces:
            prepare_namespace(main.__dict__, pieces, skip_function)
        yield main
    finally:
        if saved is not None:
            sys.modules["__main__"] = saved
        else:  # pragma: no cover - a process always has a __main__
            sys.modules.pop("__main__", None)
        if dill_module is not None and saved_dill_main is not None:
            setattr(dill_module, "_main_module", saved_dill_main)
        else:
            # dill imported inside took this module for the process's __main__.
            dill_after = sys.modules.get("dill._dill")
            if getattr(dill_after, "_main_module", None) is main:
                setattr(dill_after, "_main_module", saved)
