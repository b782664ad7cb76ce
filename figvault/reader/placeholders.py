"""What the reader makes of what it never makes: placeholders.

Every global name in a stream (``module.name``) becomes a :class:`Global`
that only records the two strings; every operation that would call,
instantiate or update an object is recorded on placeholders instead
(:class:`Call`, and the ``states``, ``items`` and ``entries`` of any
placeholder); a persistent id becomes a :class:`Persistent`. Dictionary
keys whose hash a crafted stream could choose are kept as
:class:`OpaqueKey`, sets as :class:`StreamSet`. A read that wants only the
archived sources makes no object but dicts and scalars: everything else is
:data:`SKIPPED`. Names are joined and listed cut (:func:`dotted_name`).
Nothing here calls or imports anything that a stream names.
"""

from __future__ import annotations

from types import MappingProxyType
from typing import Any, Iterable, Mapping

from ..terminal import clean_text

__all__ = ["SKIPPED", "Call", "Global", "OpaqueKey", "Persistent", "Placeholder", "Skipped", "StreamSet", "cut_name", "dotted_name"]

# Characters of a name kept where names from a stream are joined or listed
# ("module.name"): no real name is longer, and a stream can make one name of
# megabytes and refer to it from every object, so a name is cut before it
# is copied.
MAX_NAME_CHARS = 200
# What ends a name that was cut (no identifier ends so, so a cut name never
# equals a real one).
CUT_MARK = "..."

NOTHING: tuple = ()
NO_KEYWORDS: Mapping[str, Any] = MappingProxyType({})


def cut_name(text: str, limit: int = MAX_NAME_CHARS) -> str:
    """``text`` when it is at most ``limit`` characters long, else its
    beginning and "..." (``limit`` characters in all)."""
    if len(text) <= limit:
        return text
    return text[: limit - len(CUT_MARK)] + CUT_MARK


def dotted_name(module: str, name: str, limit: int = MAX_NAME_CHARS) -> str:
    """"module.name" (or "name" without a module), cut to ``limit``
    characters without copying more of either part than that."""
    if len(module) + len(name) < limit:
        return f"{module}.{name}" if module else name
    joined = f"{module[:limit]}.{name[:limit]}" if module else name[: limit + 1]
    return cut_name(joined, limit)


class Placeholder:
    """An object described by the stream but never made.

    Calling a placeholder returns a :class:`Call` that records the callee and
    the arguments; ``__setstate__`` and the container protocol used by the
    reader only record what they are given (``states``, ``items`` and
    ``entries``, empty tuples until something is recorded).
    """

    __slots__ = ("states", "items", "entries", "__weakref__")

    def __init__(self) -> None:
        self.states: list[Any] | tuple = NOTHING  # BUILD states, in order
        self.items: list[Any] | tuple = NOTHING  # APPEND(S) / ADDITEMS values
        self.entries: list[tuple[Any, Any]] | tuple = NOTHING  # SETITEM(S) pairs

    def __call__(self, *args: Any, **kwargs: Any) -> "Call":
        return Call(self, args, kwargs)

    def __setstate__(self, state: Any) -> None:
        if not self.states:
            self.states = []
        self.states.append(state)  # type: ignore[union-attr]

    def append(self, value: Any) -> None:
        if not self.items:
            self.items = []
        self.items.append(value)  # type: ignore[union-attr]

    def extend(self, values: Iterable[Any]) -> None:
        if not self.items:
            self.items = []
        self.items.extend(values)  # type: ignore[union-attr]

    def add(self, value: Any) -> None:
        self.append(value)

    def __setitem__(self, key: Any, value: Any) -> None:
        if not self.entries:
            self.entries = []
        self.entries.append((key, value))  # type: ignore[union-attr]

    def parts(self) -> list[Any]:
        """Everything this placeholder refers to (for walks over the data)."""
        found: list[Any] = list(self.states) + list(self.items)
        for key, value in self.entries:
            found.append(key)
            found.append(value)
        return found

    # Identity semantics, whatever the stream says.
    __eq__ = object.__eq__
    __hash__ = object.__hash__


class Global(Placeholder):
    """The global ``module.name`` named by a GLOBAL or STACK_GLOBAL opcode."""

    __slots__ = ("module", "name")

    def __init__(self, module: str, name: str) -> None:
        super().__init__()
        self.module = module
        self.name = name

    @property
    def dotted(self) -> str:
        """"module.name", cut to MAX_NAME_CHARS characters."""
        return dotted_name(self.module, self.name)

    def __repr__(self) -> str:
        return f"<global {clean_text(self.dotted, MAX_NAME_CHARS)}>"


class Call(Placeholder):
    """The result of calling (or instantiating) ``func`` with ``args``.

    ``how`` tells which opcode made it: "call" (REDUCE), "new" (NEWOBJ,
    NEWOBJ_EX) or "inst" (INST, OBJ).
    """

    __slots__ = ("func", "args", "kwargs", "how")

    def __init__(self, func: Any, args: tuple, kwargs: Mapping[str, Any] | None = None, how: str = "call") -> None:
        super().__init__()
        self.func = func
        self.args = tuple(args)
        # The stream's own dict, not a copy: a stream can hand one large dict
        # to every call it makes.
        self.kwargs: Mapping[str, Any] = kwargs if kwargs else NO_KEYWORDS
        self.how = how

    @property
    def func_name(self) -> str | None:
        """The dotted name of the callee when it is a global, else None."""
        return self.func.dotted if isinstance(self.func, Global) else None

    def parts(self) -> list[Any]:
        # The arguments and keywords as the stream made them (one tuple, one
        # dict), not their items: a stream can hand one large tuple or dict
        # to every call it makes, and a walk visits each of them once.
        found = [self.func, self.args]
        if self.kwargs:
            found.append(self.kwargs)
        return found + super().parts()

    def __repr__(self) -> str:
        callee = self.func_name or type(self.func).__name__
        return f"<call {clean_text(callee, MAX_NAME_CHARS)}(...)>"


class Skipped(Placeholder):
    """Stands for every object that a sources-only read does not make (a
    list, a tuple, a set, a call, ...): it takes whatever is recorded on it
    and keeps nothing, so such objects cost the reader no memory."""

    __slots__ = ()

    def __call__(self, *args: Any, **kwargs: Any) -> "Skipped":
        return self

    def __setstate__(self, state: Any) -> None:
        pass

    def append(self, value: Any) -> None:
        pass

    def extend(self, values: Iterable[Any]) -> None:
        pass

    def __setitem__(self, key: Any, value: Any) -> None:
        pass

    def __repr__(self) -> str:
        return "<not read>"


# The one object that stands for everything a sources-only read skips.
SKIPPED = Skipped()


class Persistent(Placeholder):
    """An object named by a persistent id (PERSID / BINPERSID)."""

    __slots__ = ("pid",)

    def __init__(self, pid: Any) -> None:
        super().__init__()
        self.pid = pid

    def parts(self) -> list[Any]:
        return [self.pid] + super().parts()

    def __repr__(self) -> str:
        return "<persistent id>"


class OpaqueKey:
    """A dictionary key from the stream kept as read, hashed by identity.

    Tuples, floats, large integers and frozensets have hashes that a crafted
    stream can make collide (or, for deeply nested tuples, that recurse
    without bound), so they are not hashed; ``value`` is the key itself.
    """

    __slots__ = ("value",)

    def __init__(self, value: Any) -> None:
        self.value = value

    def __repr__(self) -> str:
        return f"<key {type(self.value).__name__}>"


class StreamSet:
    """A set or frozenset from the stream, kept as the list of its items
    (unhashed, so duplicates are not merged)."""

    __slots__ = ("kind", "items")

    def __init__(self, kind: str, items: Iterable[Any] = ()) -> None:
        self.kind = kind  # "set" or "frozenset"
        self.items: list[Any] = list(items)

    def __repr__(self) -> str:
        return f"<{self.kind} of {len(self.items)} items>"
