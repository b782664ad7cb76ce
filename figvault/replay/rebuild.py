"""Replaying an archive whose code another Python version saved.

Bytecode belongs to the version that made it: this interpreter would
misread it (a crash, at best a wrong error). So the saved function is never
run: it is rebuilt from the archived sources, which the replay prepares
anyway (a script's or notebook's module-level definitions in the fresh
``__main__``; an archived module through the served imports), and taken
from there by its qualified name. :func:`rebuild_problem` tells, before
anything runs, why a function cannot be rebuilt (a lambda, code made at
run time, a source that is not in the archive); the replay is then refused
with :class:`ForeignCodeError`, one line naming both versions.
"""

from __future__ import annotations

import types
from typing import Any

from ..reader import SavedPython, text_of
from ..sources import parse_python
from ..terminal import clean_text
from ..view.function import find_definition
from ..view.text import NAME_CHARS
from .plan import ReplayPlan

__all__ = ["ForeignCodeError", "rebuild_problem", "rebuilt_function"]

REFUSED_MESSAGE = (
    "cannot replay {archive} on Python {running}: its code was saved by Python {saved}, "
    "and {name} cannot be rebuilt from the archived sources: {reason}"
)
NOT_A_FUNCTION = "the saved object is not a function but a {kind}"
NO_NAME = "the archive records no name for it"
LAMBDA = "it is a lambda"
MADE_INSIDE = "it was made at run time inside {outer}"
MADE_AT_RUN_TIME = "its code was made at run time ({filename})"
SOURCE_MISSING = "its source {filename} is not in the archive"
MODULE_MISSING = "its module {module} is not in the archive"
NOT_DEFINED = "{key} does not define it"
NOT_PREPARED = "preparing {key} did not define it (see the warnings above)"
NOT_SERVED = "another module named {module} was imported in place of the archived one"


class ForeignCodeError(Exception):
    """The archive's code was saved by another Python version, and the saved
    function cannot be rebuilt from the archived sources."""

    def __init__(self, archive: str, python: SavedPython, name: str, reason: str) -> None:
        super().__init__(
            REFUSED_MESSAGE.format(
                archive=repr(archive), running=python.running, saved=python.text, name=clean_text(name, NAME_CHARS),
                reason=reason,
            )
        )


def _defines(source: str, qualname: str) -> bool:
    tree = parse_python(source)
    return tree is not None and find_definition(tree, qualname) is not None


def rebuild_problem(function: dict[str, Any], plan: ReplayPlan, files: dict[str, Any]) -> str | None:
    """Why the saved function (as :func:`~figvault.view.function.describe_function`
    describes it) cannot be rebuilt from the archived sources, or None."""
    kind, qualname, module = function.get("kind"), function.get("qualname"), function.get("module")
    if kind not in ("function", "method"):
        return NOT_A_FUNCTION.format(kind=clean_text(str(kind), NAME_CHARS))
    if not isinstance(qualname, str) or not qualname:
        return NO_NAME
    if "<lambda>" in qualname:
        return LAMBDA
    if "<locals>" in qualname:
        return MADE_INSIDE.format(outer=clean_text(qualname.partition(".<locals>")[0], NAME_CHARS) + "()")
    if module == "__main__":
        filename = function.get("filename")
        shown = clean_text(str(filename), NAME_CHARS)
        if plan.script is not None:
            found = _defines(text_of(files[plan.script]), qualname)
            key = plan.script
        elif plan.notebook is not None:
            key = plan.notebook
            found = any(_defines(piece.text, qualname) for piece in plan.pieces)
        elif not isinstance(filename, str) or filename.startswith("<"):
            return MADE_AT_RUN_TIME.format(filename=shown)
        else:
            return SOURCE_MISSING.format(filename=shown)
    else:
        if plan.module_file is None:
            return MODULE_MISSING.format(module=clean_text(str(module), NAME_CHARS))
        key = plan.module_file
        found = _defines(text_of(files[key]), qualname)
    return None if found else NOT_DEFINED.format(key=clean_text(key, NAME_CHARS))


def _lookup(namespace: Any, qualname: str) -> Any:
    found = namespace
    for part in qualname.split("."):
        found = found.get(part) if isinstance(found, dict) else getattr(found, part, None)
        if found is None:
            return None
    return found


def rebuilt_function(saved: Any, namespace: Any, loaded_classes: list[type]) -> Any:
    """The saved function ``saved`` (loaded with inert code) as the archived
    sources define it in ``namespace`` (the prepared ``__main__``'s dict, or
    the served module): a function by its qualified name; a bound method
    as that function bound to the saved instance, whose class, made by the
    load, becomes the rebuilt one. None when the sources do not define it."""
    if isinstance(saved, types.MethodType):
        function = rebuilt_function(saved.__func__, namespace, loaded_classes)
        owner = saved.__self__
        if function is None:
            return None
        if type(owner) in loaded_classes:
            rebuilt_class = _lookup(namespace, type(owner).__qualname__)
            if not isinstance(rebuilt_class, type):
                return None
            try:
                owner.__class__ = rebuilt_class
            except TypeError:  # the rebuilt class lays its instances out otherwise
                return None
        return types.MethodType(function, owner)
    found = _lookup(namespace, getattr(saved, "__qualname__", ""))
    return found if isinstance(found, types.FunctionType) else None

