"""Loading the archive record with dill, noting what the load makes.

dill makes every function that it stored by value with ``_create_function``
and every class with ``_create_type``. The replay loads through an
unpickler that notes them, so that the functions of a script can be given
the module-level names of the prepared ``__main__`` afterwards.

For code saved by another Python version, dill's code constructor is
replaced too: its bytecode would be misread by this interpreter (a crash at
best), so each code record becomes inert code of the same name, file and
free variables, whose function raises a RuntimeError when called. The
replay then takes the function it calls from the archived sources.
"""

from __future__ import annotations

import types
from dataclasses import dataclass, field
from typing import Any, BinaryIO

__all__ = ["Loaded", "inert_code", "load_record"]

# Where dill keeps the constructors named by its streams.
DILL_MODULE = "dill._dill"

# What a function made of inert code raises when it is called.
INERT_MESSAGE = (
    "{name}: its code was saved by Python {saved} and cannot run on Python {running} "
    "(it is not defined by the archived sources that the replay rebuilt)"
)
# Fields of a code record from 3.11 on, after the co_lnotab that leads it.
_NAME, _FILENAME, _QUALNAME, _FIRSTLINENO, _FREEVARS = 11, 10, 12, 13, 16
_CODE_FIELDS = 18

# One inert function per number of free variables: each reads them all
# (so the closure that dill passes fits), then raises.
_TEMPLATE = """
def _make():
    {assigned} = None
    def inert(*args, **kwargs):
        {cells}
        raise RuntimeError({message!r})
    return inert.__code__
"""
_PLAIN_TEMPLATE = """
def inert(*args, **kwargs):
    raise RuntimeError({message!r})
"""


@dataclass
class Loaded:
    """The loaded record, and the functions and classes the load made."""

    record: Any
    functions: list[types.FunctionType] = field(default_factory=list)
    classes: list[type] = field(default_factory=list)

    def made(self) -> frozenset[int]:
        """The ids of the functions and classes that the load made."""
        return frozenset(map(id, self.functions)) | frozenset(map(id, self.classes))


def _text(value: Any, default: str) -> str:
    return value if type(value) is str else default


def inert_code(args: tuple, saved: str, running: str) -> types.CodeType:
    """Code standing for a code record of another version (dill's arguments
    ``args``): same name, qualified name, file, first line and free
    variables; calling its function raises a RuntimeError saying why."""
    fields = list(args)
    if fields and type(fields[0]) is not int:  # the leading co_lnotab
        fields = fields[1:]
    if len(fields) != _CODE_FIELDS:
        fields = [None] * _CODE_FIELDS
    name = _text(fields[_NAME], "<unknown>")
    qualname = _text(fields[_QUALNAME], name)
    freevars = fields[_FREEVARS] if type(fields[_FREEVARS]) is tuple else ()
    freevars = tuple(v if type(v) is str else f"v{i}" for i, v in enumerate(freevars))
    message = INERT_MESSAGE.format(name=qualname, saved=saved, running=running)
    namespace: dict[str, Any] = {}
    if freevars:
        cells = [f"v{i}" for i in range(len(freevars))]
        exec(_TEMPLATE.format(assigned=" = ".join(cells), cells=", ".join(cells), message=message), namespace)
        code = namespace["_make"]()
    else:
        exec(_PLAIN_TEMPLATE.format(message=message), namespace)
        code = namespace["inert"].__code__
    first = fields[_FIRSTLINENO]
    return code.replace(
        co_name=name,
        co_qualname=qualname,
        co_filename=_text(fields[_FILENAME], "<unknown>"),
        co_firstlineno=first if type(first) is int and first > 0 else 1,
        co_freevars=freevars,
    )


def load_record(stream: BinaryIO, foreign: tuple[str, str] | None = None) -> Loaded:
    """Load one record from ``stream`` with dill (``__main__`` as the
    replay prepared it). ``foreign`` is (saved version, running version)
    when the code was saved by another version: it is made inert."""
    import dill  # loaded only now: `import figvault` stays light

    loaded = Loaded(None)

    def create_function(*args: Any, **kwargs: Any) -> Any:
        made = dill._dill._create_function(*args, **kwargs)
        loaded.functions.append(made)
        return made

    def create_type(*args: Any) -> Any:
        made = dill._dill._create_type(*args)
        loaded.classes.append(made)
        return made

    def create_code(*args: Any) -> types.CodeType:
        assert foreign is not None
        return inert_code(args, *foreign)

    replaced = {"_create_function": create_function, "_create_type": create_type}
    if foreign is not None:
        replaced["_create_code"] = create_code

    class ReplayUnpickler(dill.Unpickler):  # type: ignore[misc,name-defined]
        def find_class(self, module: str, name: str) -> Any:
            if module in (DILL_MODULE, "dill.dill") and name in replaced:
                return replaced[name]
            return super().find_class(module, name)

    loaded.record = ReplayUnpickler(stream).load()
    return loaded
