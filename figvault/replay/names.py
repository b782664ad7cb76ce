"""The module-level names of a replayed script.

Saved with the globals it reads, a function of a script gets a namespace of
its own holding just those names: a lookup through eval() or globals() of
any other name of the script fails. The replay gives every function of the
script the names its saved globals lack from the ``__main__`` it prepared
from the archived script, and the prepared ``__main__`` the saved values,
so that all of them see the same objects.
"""

from __future__ import annotations

import gc
import types
from typing import Any, Iterable

__all__ = ["holds_code", "saved_globals", "share_names"]

# Objects visited to tell whether one saved value holds code the load made;
# past it the value counts as data (a large array or list of numbers).
MAX_VISITED = 100_000
# What a saved value may refer to without holding saved code: installed
# modules, classes and functions (with everything they refer to).
_NOT_LOOKED_INTO = (type, types.ModuleType, types.FunctionType, types.BuiltinFunctionType)


def holds_code(value: Any, made: frozenset[int]) -> bool:
    """True when ``value`` is, or refers to, a function or class the load made
    (ids in ``made``), or an instance of one. Modules, and classes and
    functions that the load did not make, are not looked into."""
    stack, seen = [value], set()
    while stack and len(seen) < MAX_VISITED:
        item = stack.pop()
        if id(item) in seen:
            continue
        seen.add(id(item))
        if id(item) in made or id(type(item)) in made:
            return True
        if isinstance(item, _NOT_LOOKED_INTO):
            continue
        stack.extend(gc.get_referents(item))
    return False


def saved_globals(functions: Iterable[types.FunctionType], namespace: dict[str, Any], made: frozenset[int]) -> dict[str, Any]:
    """The module-level names that the archive holds for the script's
    functions (their saved globals, apart from the prepared ``namespace``
    itself). Values that hold code the load made (``made``: code saved by
    another Python version) are left out: the archived sources define them
    again."""
    saved: dict[str, Any] = {}
    for function in functions:
        own = function.__globals__
        if own is namespace:
            continue
        for name, value in own.items():
            if name in saved or (name.startswith("__") and name.endswith("__")):
                continue
            if made and holds_code(value, made):
                continue
            saved[name] = value
    return saved


def share_names(functions: Iterable[types.FunctionType], namespace: dict[str, Any]) -> None:
    """Give every function of the script the module-level names its saved
    globals lack, from the prepared ``namespace``."""
    for function in functions:
        own = function.__globals__
        if own is namespace:
            continue
        for name, value in namespace.items():
            own.setdefault(name, value)
