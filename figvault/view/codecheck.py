"""Checking saved code against the archived source it names.

An archived source (a script, a module, or the notebook cell that defined
the function) is compiled, never run: at the usual optimisation level
first, at the others only when the code differs and the text holds what
they change. The code objects it defines are compared field by field with
the code record the stream holds; constants are turned into comparable
forms once.
"""

from __future__ import annotations

import struct
import types
from dataclasses import dataclass
from typing import Any, Iterator

from ..reader import Call, Global, StreamSet, describe_type
from ..terminal import clean_text
from .compiling import COMPILE_ERRORS, Compiler, NotCompiled
from .function import code_fields, effective_code
from .locations import ArchivedSources, SourcePlace
from .text import NAME_CHARS, VALUE_CHARS

__all__ = ["CodeCheck", "check_code", "check_other_functions", "code_objects", "line_span"]

# Functions stored by value besides the saved one that are checked against
# their archived source.
MAX_OTHER_FUNCTIONS = 64

WARN_OTHER_CODE_DIFFERS = "the function {name} stored in the archive does not come from {key}"
WARN_OTHERS_UNCHECKED = "some other functions stored in the archive were not checked against their source ({reason})"
TOO_MANY_TEXT = "too many"
OUT_OF_BUDGET_TEXT = "the time or text allowed for compiling ran out"
# Why a cell's code is left unchecked: the kernel compiled IPython syntax
# in its lines, which is not compiled here as the kernel did.
IPYTHON_LINES_TEXT = "its lines hold IPython syntax (a magic or a shell escape)"


class _Unknown(Exception):
    """The stream holds something that cannot be compared with real code."""


def code_objects(module: types.CodeType) -> Iterator[types.CodeType]:
    stack = [module]
    while stack:
        code = stack.pop()
        yield code
        stack.extend(const for const in code.co_consts if isinstance(const, types.CodeType))


def line_span(code: types.CodeType) -> tuple[int, int]:
    """(first line, last line) of a function's code, nested functions included."""
    last = code.co_firstlineno
    for inner in code_objects(code):
        for _, end, _, _ in inner.co_positions():
            if end is not None and end > last:
                last = end
    return code.co_firstlineno, last


def _float_form(value: float) -> tuple:
    return ("float", struct.pack("<d", value))


def _real_const(value: Any) -> Any:
    kind = type(value)
    if kind in (type(None), bool, int, str, bytes):
        return (kind.__name__, value)
    if kind is float:
        return _float_form(value)
    if kind is complex:
        return ("complex", _float_form(value.real), _float_form(value.imag))
    if kind is tuple:
        return ("tuple", tuple(_real_const(item) for item in value))
    if kind is frozenset:
        return ("frozenset", tuple(sorted((_real_const(item) for item in value), key=repr)))
    if value is Ellipsis:
        return ("Ellipsis",)
    if kind is types.CodeType:
        return ("code", _real_code(value))
    return ("other", repr(value))


_COMPARED_FIELDS = ("argcount", "posonlyargcount", "kwonlyargcount", "nlocals", "stacksize", "flags", "code",
                    "consts", "names", "varnames", "name", "qualname", "firstlineno", "linetable",
                    "exceptiontable", "freevars", "cellvars")
_QUALNAME = _COMPARED_FIELDS.index("qualname")
_FIRSTLINENO = _COMPARED_FIELDS.index("firstlineno")


def _real_code(code: types.CodeType) -> tuple:
    return tuple(
        _real_const_tuple(getattr(code, "co_" + name)) if name == "consts" else getattr(code, "co_" + name)
        for name in _COMPARED_FIELDS
    )


def _real_const_tuple(consts: tuple) -> tuple:
    return tuple(_real_const(item) for item in consts)


# Items of a tuple or frozenset constant that are compared at most.
_MAX_CONST_ITEMS = 10_000
_SCALAR_CONSTS = (type(None), bool, int, float, str, bytes)


class _StreamForms:
    """Comparable forms of the code records and constants a stream holds;
    each shared object is turned into a form once."""

    def __init__(self) -> None:
        self.known: dict[int, Any] = {}
        self.keep: list[Any] = []

    def const(self, value: Any) -> Any:
        kind = type(value)
        if kind in _SCALAR_CONSTS:
            return _float_form(value) if kind is float else (kind.__name__, value)
        known = self.known.get(id(value))
        if known is not None:
            return known
        form = self._const(value)
        self.known[id(value)] = form
        self.keep.append(value)
        return form

    def _const(self, value: Any) -> Any:
        kind = type(value)
        if kind is tuple:
            if len(value) > _MAX_CONST_ITEMS:
                raise _Unknown("a constant is too large")
            return ("tuple", tuple(self.const(item) for item in value))
        if kind is StreamSet and value.kind == "frozenset":
            # Frozenset constants hold constants: scalars, or flat tuples of them.
            if len(value.items) > _MAX_CONST_ITEMS or not all(_flat_const(item) for item in value.items):
                raise _Unknown("a frozenset constant holds more than constants")
            return ("frozenset", tuple(sorted((self.const(item) for item in value.items), key=repr)))
        if isinstance(value, Global) and value.module in ("builtins", "__builtin__") and value.name == "Ellipsis":
            return ("Ellipsis",)
        if isinstance(value, Call):
            name = value.func_name
            if name == "dill._dill._create_code":
                return ("code", self.code(value))
            if name == "dill._dill._eval_repr" and value.args == ("Ellipsis",):
                return ("Ellipsis",)
            inner = value.func
            if (
                isinstance(inner, Call)
                and inner.func_name == "dill._dill._load_type"
                and inner.args == ("complex",)
                and len(value.args) == 2
                and all(type(part) is float for part in value.args)
            ):
                return ("complex", _float_form(value.args[0]), _float_form(value.args[1]))
        raise _Unknown(f"a constant of the code is {describe_type(value)}")

    def code(self, call: Call) -> tuple:
        fields = code_fields(call)
        if "exceptiontable" not in fields or "endlinetable" in fields:
            raise _Unknown("the code was recorded by another Python version")
        form = []
        for name in _COMPARED_FIELDS:
            value = fields[name]
            if name == "consts":
                if type(value) is not tuple or len(value) > _MAX_CONST_ITEMS:
                    raise _Unknown("the code's constants are not a tuple of constants")
                value = tuple(self.const(item) for item in value)
            form.append(value)
        return tuple(form)


def _flat_const(value: Any) -> bool:
    kind = type(value)
    return kind in _SCALAR_CONSTS or (kind is tuple and len(value) <= 64 and all(type(i) in _SCALAR_CONSTS for i in value))


def _stream_code(call: Call) -> tuple:
    return _StreamForms().code(call)


@dataclass
class CodeCheck:
    status: str  # "matches", "differs" or "unchecked"
    detail: str
    code: types.CodeType | None = None
    place: SourcePlace | None = None  # where the code was found
    defined: bool = True  # False when the place defines no function of that name


def _levels(text: str) -> tuple[int, ...]:
    """The optimisation levels to compile at: -O changes only asserts and
    __debug__, -OO also docstrings."""
    return (0, 1, 2) if "assert" in text or "__debug__" in text else (0, 2)


def _check_place(recorded: tuple, place: SourcePlace, compiler: Compiler) -> CodeCheck:
    qualname, firstlineno = recorded[_QUALNAME], recorded[_FIRSTLINENO]
    named: list[types.CodeType] = []
    for optimize in _levels(place.text):
        try:
            module = compiler.code(place.label, place.text, optimize, place.flags)
        except COMPILE_ERRORS as error:
            return CodeCheck("unchecked", f"it does not compile ({type(error).__name__})", place=place)
        except NotCompiled as reason:
            return CodeCheck("unchecked", str(reason), place=place)
        named = [code for code in code_objects(module) if code.co_qualname == qualname and code is not module]
        for code in named:
            if _real_code(code) == recorded:
                return CodeCheck("matches", f"the code is that of {place.label}, line {firstlineno}", code, place)
        if not named:
            break
    shown = clean_text(qualname, VALUE_CHARS) if type(qualname) is str else "of that name"
    if not named:
        return CodeCheck("differs", f"{place.label} defines no function {shown}", place=place, defined=False)
    if place.text != place.lines and _lines_changed(place, named):
        return CodeCheck("unchecked", IPYTHON_LINES_TEXT, place=place)
    return CodeCheck("differs", f"the code that {place.label} compiles to for {shown} is different", place=place)


def _lines_changed(place: SourcePlace, named: list[types.CodeType]) -> bool:
    """Whether the lines of the functions found were changed from the cell's
    text before compiling (its IPython syntax made plain Python)."""
    compiled, shown = place.text.split("\n"), place.lines.split("\n")
    for code in named:
        first, last = line_span(code)
        if compiled[first - 1 : last] != shown[first - 1 : last]:
            return True
    return False


def check_code(code_record: Any, places: list[SourcePlace], compiler: Compiler) -> CodeCheck:
    """Whether the code that the stream holds is the code that one of the
    ``places`` compiles to for the function of that name (the first that
    does; else what the likeliest place says)."""
    try:
        recorded = _stream_code(code_record)
    except _Unknown as reason:
        return CodeCheck("unchecked", str(reason))
    except RecursionError:
        return CodeCheck("unchecked", "its constants are nested too deeply")
    checks = []
    for place in places:
        check = _check_place(recorded, place, compiler)
        if check.status == "matches":
            return check
        checks.append(check)
    if not checks:
        return CodeCheck("unchecked", "its source is not in the archive")
    # A place that defines the function says more than one that does not.
    return next((check for check in checks if check.defined), checks[0])


def check_other_functions(nodes: list[Any], saved: Call | None, sources: ArchivedSources, compiler: Compiler) -> list[str]:
    """Warnings for the other functions stored by value (helpers kept in the
    saved function's globals, defaults or arguments) whose code does not
    come from the archived file they name."""
    warnings: list[str] = []
    checked = 0
    for node in nodes:
        if type(node) is not Call or node is saved or node.func_name != "dill._dill._create_function":
            continue
        code, replaced = effective_code(node)
        fields = code_fields(code)
        qualname = fields.get("qualname")
        places = sources.places(fields.get("filename"), qualname) if type(qualname) is str else []
        if not places:
            continue
        checked += 1
        if checked > MAX_OTHER_FUNCTIONS:
            warnings.append(WARN_OTHERS_UNCHECKED.format(reason=TOO_MANY_TEXT))
            break
        check = check_code(code, places, compiler)
        if check.status == "unchecked" and compiler.spent:
            warnings.append(WARN_OTHERS_UNCHECKED.format(reason=OUT_OF_BUDGET_TEXT))
            break
        if check.status == "differs" or replaced:
            where = check.place.label if check.place is not None else places[0].label
            warnings.append(
                WARN_OTHER_CODE_DIFFERS.format(name=clean_text(qualname, VALUE_CHARS), key=clean_text(where, NAME_CHARS))
                + (" (its state replaces its code)" if replaced else f": {check.detail}")
            )
    return warnings
