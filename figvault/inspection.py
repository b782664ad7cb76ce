"""What ``figvault show`` and ``figvault diff`` report about archives.

Everything here works on what :mod:`figvault.safe_reader` read, within the
same budgets, and runs nothing from an archive: archived sources are
compiled (never executed) to check that the saved code comes from them and
to find the saved function's lines.

Every walk over the read data visits each object once, however often the
stream shares it, so that a small file cannot make the work explode.
"""

from __future__ import annotations

import difflib
import hashlib
import os
import struct
import textwrap
import types
from dataclasses import dataclass, field
from typing import Any, Iterator

from . import safe_reader as sr
from .replay import find_definition
from .sources import OUTSIDE, FileDictionaryError, ModuleIndex, key_parts, main_script_key
from .safe_reader import Budget, Call, Global, OpaqueKey, Persistent, Placeholder, StreamSet

__all__ = ["Inspection", "diff_archives", "inspect_archive", "key_parts"]

# Lines of the saved function's source kept in a report.
MAX_SOURCE_LINES = 400
# A changed file is compared line by line only below these sizes.
MAX_DIFF_LINES = 20_000
MAX_DIFF_CHARS = 4 * 1024 * 1024
# Functions stored by value besides the saved one that are checked against
# their archived source.
MAX_OTHER_FUNCTIONS = 64
# Characters of archived source compiled in all, beyond which those other
# functions are left unchecked (compiling takes time).
MAX_OTHER_SOURCE_CHARS = 2 * 1024 * 1024
# Lines of context around each change in a unified diff.
DIFF_CONTEXT = 3
# Texts that dill evaluates for objects it cannot otherwise name; these two
# only name built-in constants.
SAFE_EVAL_TEXTS = frozenset({"Ellipsis", "NotImplemented"})
# How far a chain of attribute lookups is followed to name a callee.
_NAME_CHAIN = 8
# Rough characters of output per row of a table, besides the row's texts.
_ROW_OVERHEAD = 40

# Calls that import a module named by their first argument.
_IMPORTING_CALLS = {
    "dill._dill._import_module",
    "builtins.__import__",
    "importlib.import_module",
    "importlib.__import__",
    "importlib._bootstrap._gcd_import",
    "pkgutil.resolve_name",
}
# Calls that evaluate Python text (the argument that holds it).
_EVALUATING_CALLS = {"dill._dill._eval_repr": 0, "builtins.eval": 0, "builtins.exec": 0, "dill._dill._getattr": 2}
# Calls that open a file named by their first argument.
_OPENING_CALLS = {"dill._dill._create_filehandle", "builtins.open", "io.open", "_io.open"}
# Calls that look an attribute up: (object, name).
_ATTRIBUTE_CALLS = {"builtins.getattr", "dill._dill._get_attr"}

WARN_NOT_TEXT_KEY = (
    "the record holds {value} under a key that is not text ({kind}): a real load may turn that key "
    "into 'func', 'files' or 'args', so what runs can differ from what is shown"
)
WARN_DUPLICATE_KEY = "the record sets {key} more than once; a real load keeps the last value"
WARN_ARG_NOT_TEXT = "an argument is keyed by {kind}, not by a parameter name; a real load may merge it with another"
WARN_ARG_DUPLICATE = "the argument {key} is set more than once; a real load keeps the last value"
WARN_FILE_NOT_TEXT = "a file key or text is not text ({kind}); expand cannot restore it"
WARN_FILE_DUPLICATE = "the file {key} is set more than once; a real load keeps the last text"
WARN_CODE_DIFFERS = "the function's code does not come from {key}"
WARN_CODE_REPLACED = "the function's state replaces its code while it loads (it sets __code__)"
WARN_OTHER_CODE_DIFFERS = "the function {name} stored in the archive does not come from {key}"
WARN_OTHERS_UNCHECKED = "some other functions stored in the archive were not checked against their source (too many)"
WARN_CODE_UNCHECKED = "the function's code could not be checked against {key}: {reason}"
WARN_COMPUTED_IMPORT = "loading imports a module whose name is computed while loading ({via})"
WARN_EVALUATES = "loading evaluates the text {text} ({via})"
WARN_OPENS = "loading opens the file {name} ({via})"


class _Unknown(Exception):
    """The stream holds something that cannot be compared with real code."""


@dataclass(repr=False)
class Inspection:
    """One archive as ``show`` sees it: the record, what the read saw, the
    archived sources (str keys and texts) and the JSON-ready summary."""

    path: str
    record: dict
    info: sr.ReadInfo
    files: dict[str, str]
    summary: dict[str, Any]
    code: types.CodeType | None = None  # the compiled code of the saved function
    parts: dict[str, tuple[str, ...]] = field(default_factory=dict)

    def __repr__(self) -> str:  # the record is read data, which may be huge
        return f"<Inspection of {self.path!r}>"


# ---------------------------------------------------------------------------
# Paths
# ---------------------------------------------------------------------------


def _folder_of(parts: tuple[str, ...] | str) -> str:
    """The top-level folder of restored parts, or the label of a refused key."""
    if isinstance(parts, str):
        return "(outside the folder)" if parts in OUTSIDE else "(not restorable)"
    return parts[0] + "/" if len(parts) > 1 else "./"


# ---------------------------------------------------------------------------
# Walks
# ---------------------------------------------------------------------------


def _dotted(value: Any) -> str | None:
    """The dotted name that ``value`` stands for: a global, a module that
    dill imports by name, or an attribute of either."""
    suffix: list[str] = []
    for _ in range(_NAME_CHAIN):
        if isinstance(value, Global):
            module = "builtins" if value.module == "__builtin__" else value.module
            return ".".join([f"{module}.{value.name}" if module else value.name] + suffix[::-1])
        if not isinstance(value, Call) or not isinstance(value.func, Global):
            return None
        callee = _dotted(value.func) if isinstance(value.func, Global) else None
        if callee == "dill._dill._import_module" and value.args and type(value.args[0]) is str:
            return ".".join([value.args[0]] + suffix[::-1])
        if callee in _ATTRIBUTE_CALLS and len(value.args) >= 2 and type(value.args[1]) is str:
            suffix.append(value.args[1])
            value = value.args[0]
            continue
        return None
    return None


def _scan_loading(nodes: list[Any], info: sr.ReadInfo) -> tuple[list[dict], list[str], list[str]]:
    """(modules imported on load, callees called on load, warnings), from
    every container and placeholder of the record."""
    imports: list[dict[str, str]] = [{"module": module, "via": "global"} for module in info.modules]
    listed = set(info.modules)
    calls: dict[str, None] = {}
    warnings: list[str] = []
    for node in nodes:
        if type(node) is not Call:
            continue
        callee = _dotted(node.func)
        if callee is None:
            continue
        calls.setdefault(callee)
        args = node.args
        if callee in _IMPORTING_CALLS or callee == "dill._dill._create_namedtuple":
            if callee == "dill._dill._create_namedtuple":
                named = f"{args[2]}.{args[0]}" if len(args) > 2 and type(args[2]) is str and type(args[0]) is str else None
            else:
                named = args[0] if args and type(args[0]) is str else None
            if named is None:
                warnings.append(WARN_COMPUTED_IMPORT.format(via=callee))
            else:
                module = named.partition(":")[0] if callee == "pkgutil.resolve_name" else named
                if module not in listed:
                    listed.add(module)
                    imports.append({"module": module, "via": callee})
        if callee in _EVALUATING_CALLS:
            index = _EVALUATING_CALLS[callee]
            text = args[index] if len(args) > index else None
            if not _harmless_eval(callee, node.args):
                shown = sr.value_text(text, 80) if type(text) is str else "computed while loading"
                warnings.append(WARN_EVALUATES.format(text=shown, via=callee))
        if callee in _OPENING_CALLS:
            name = args[0] if args else None
            shown = sr.value_text(name, 120) if type(name) in (str, bytes) else "named while loading"
            warnings.append(WARN_OPENS.format(name=shown, via=callee))
    return imports, list(calls), warnings


def _harmless_eval(callee: str, args: tuple) -> bool:
    if callee == "dill._dill._eval_repr":
        return bool(args) and args[0] in SAFE_EVAL_TEXTS if type(args[0] if args else None) is str else False
    if callee == "dill._dill._getattr" and len(args) >= 3 and type(args[1]) is str and type(args[2]) is str:
        # dill evaluates  <class>.__dict__["<name>"]  with the class named in a repr.
        pieces = args[2].split("'")
        owner = pieces[3] if len(pieces) > 3 else ""
        return owner.isidentifier() and args[1].isidentifier()
    return False


# ---------------------------------------------------------------------------
# Record checks
# ---------------------------------------------------------------------------


def _key_text(key: Any) -> str:
    return sr.value_text(key, 60) if type(key) in (str, bytes, int, bool, type(None)) else f"<{sr.describe_type(key)}>"


def _record_warnings(record: dict, info: sr.ReadInfo) -> list[str]:
    warnings: list[str] = []
    duplicated, _ = info.duplicate_keys(record)
    for key in duplicated:
        warnings.append(WARN_DUPLICATE_KEY.format(key=_key_text(key)))
    for key, value in record.items():
        if type(key) is not str:
            held = f"the global {value.dotted}" if isinstance(value, Global) else f"a {sr.describe_type(value)}"
            warnings.append(
                WARN_NOT_TEXT_KEY.format(value=sr.clean_text(held, 120), kind=sr.clean_text(sr.describe_type(key), 80))
            )
    args = record.get("args")
    if type(args) is dict:
        duplicated, _ = info.duplicate_keys(args)
        warnings += [WARN_ARG_DUPLICATE.format(key=_key_text(key)) for key in duplicated]
        kinds = {sr.describe_type(key) for key in args if type(key) is not str}
        warnings += [WARN_ARG_NOT_TEXT.format(kind=sr.clean_text(kind, 80)) for kind in sorted(kinds)[:8]]
    files = record.get("files")
    if type(files) is dict:
        duplicated, _ = info.duplicate_keys(files)
        warnings += [WARN_FILE_DUPLICATE.format(key=_key_text(key)) for key in duplicated]
        kinds: set[str] = set()
        for key, text in files.items():
            if type(key) is not str:
                kinds.add(sr.describe_type(key))
            if type(text) is not str:
                kinds.add(sr.describe_type(text))
            if len(kinds) > 8:
                break
        warnings += [WARN_FILE_NOT_TEXT.format(kind=sr.clean_text(kind, 80)) for kind in sorted(kinds)]
    return warnings


# ---------------------------------------------------------------------------
# The saved function and its source
# ---------------------------------------------------------------------------


def _function_record(func: Any) -> Call | None:
    """The ``_create_function`` record of the saved function (a bound method
    is looked through), or None."""
    for _ in range(_NAME_CHAIN):
        if not isinstance(func, Call):
            return None
        if func.func_name == "dill._dill._create_function":
            return func
        if sr.describe_type(func) == "method" and func.args:
            func = func.args[0]
            continue
        return None
    return None


def effective_code(function_record: Call) -> tuple[Any, bool]:
    """(the code record the loaded function ends up with, whether its state
    replaces the code it was made with): a BUILD state may set __code__."""
    code = function_record.args[0] if function_record.args else None
    replaced = False
    for state in function_record.states:
        if type(state) is tuple and len(state) == 2 and type(state[1]) is dict and "__code__" in state[1]:
            code = state[1]["__code__"]
            replaced = True
    return code, replaced


def _source_key(function: dict[str, Any], files: dict[str, str], parts_of: dict[str, tuple[str, ...]]) -> str | None:
    """The archived file that the saved function says it comes from."""
    module = function.get("module")
    filename = function.get("filename")
    key = None
    if function.get("stored") == "by value" and isinstance(filename, str):
        key = main_script_key(files, filename)
    if key is None and isinstance(module, str) and module and module != "__main__":
        key = ModuleIndex(files, ["."]).module_key(module)
    return key


def _compile(source: str, key: str, optimize: int, budget: Budget) -> types.CodeType:
    """The module code of an archived source: compiled, never run."""
    budget.check_parse(len(source.encode("utf-8", "surrogatepass")) if not source.isascii() else len(source), key)
    return compile(source, key, "exec", dont_inherit=True, optimize=optimize)


def _code_objects(module: types.CodeType) -> Iterator[types.CodeType]:
    stack = [module]
    while stack:
        code = stack.pop()
        yield code
        stack.extend(const for const in code.co_consts if isinstance(const, types.CodeType))


def _line_span(code: types.CodeType) -> tuple[int, int]:
    """(first line, last line) of a function's code, nested functions included."""
    last = code.co_firstlineno
    for inner in _code_objects(code):
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
        raise _Unknown(f"a constant of the code is {sr.describe_type(value)}")

    def code(self, call: Call) -> tuple:
        fields = sr.code_fields(call)
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


_COMPILE_ERRORS = (SyntaxError, ValueError, RecursionError, MemoryError, OverflowError)


class Compiled:
    """Archived sources compiled once per optimization level."""

    def __init__(self, budget: Budget) -> None:
        self.budget = budget
        self.modules: dict[tuple[str, int], types.CodeType | Exception] = {}
        self.compiled_chars = 0  # characters compiled so far

    def has(self, key: str) -> bool:
        return (key, 0) in self.modules

    def module(self, key: str, source: str, optimize: int) -> types.CodeType:
        """The module code of ``source``; raises what compile() raised."""
        found = self.modules.get((key, optimize))
        if found is None:
            self.compiled_chars += len(source)
            try:
                found = _compile(source, key, optimize, self.budget)
            except _COMPILE_ERRORS as error:
                found = error
            self.modules[(key, optimize)] = found
        if isinstance(found, Exception):
            raise found
        return found


def check_code(code_record: Any, key: str, source: str, budget: Budget, compiled: Compiled | None = None) -> CodeCheck:
    """Whether the code that the stream holds is the code that ``source``
    (archived as ``key``) compiles to for the function of that name."""
    compiled = compiled or Compiled(budget)
    try:
        recorded = _stream_code(code_record)
    except _Unknown as reason:
        return CodeCheck("unchecked", str(reason))
    except RecursionError:
        return CodeCheck("unchecked", "its constants are nested too deeply")
    qualname, firstlineno = recorded[_COMPARED_FIELDS.index("qualname")], recorded[_COMPARED_FIELDS.index("firstlineno")]
    named: list[types.CodeType] = []
    for optimize in (0, 1, 2):
        try:
            module = compiled.module(key, source, optimize)
        except _COMPILE_ERRORS as error:
            return CodeCheck("unchecked", f"it does not compile ({type(error).__name__})")
        named = [code for code in _code_objects(module) if code.co_qualname == qualname and code is not module]
        for code in named:
            if _real_code(code) == recorded:
                return CodeCheck("matches", f"the code is that of {key}, line {firstlineno}", code)
        if not named:
            break
    shown = sr.clean_text(qualname, 80) if type(qualname) is str else "of that name"
    if not named:
        return CodeCheck("differs", f"{key} defines no function {shown}")
    return CodeCheck("differs", f"the code that {key} compiles to for {shown} is different")


def _source_lines(source: str, first: int, last: int) -> str:
    lines = source.split("\n")
    last = min(last, len(lines), first + MAX_SOURCE_LINES - 1)
    return "\n".join(lines[first - 1 : last])


def _describe_saved_function(
    record: dict,
    function: dict[str, Any],
    files: dict[str, str],
    parts_of: dict[str, tuple[str, ...]],
    compiled: Compiled,
) -> tuple[list[str], types.CodeType | None]:
    """Adds source_file, source_line, source_text and code_check to
    ``function``; returns (warnings, the compiled code of the function)."""
    function.update(source_file=None, source_line=None, source_end_line=None, source_text=None)
    key = _source_key(function, files, parts_of)
    warnings: list[str] = []
    code_record = _function_record(record.get("func"))
    stored = function.get("stored")
    if key is None:
        reason = "its source is not in the archive" if stored == "by value" else "the function is not stored by value"
        function["code_check"] = {"status": "unchecked", "detail": reason}
        return warnings, None
    source = files[key]
    function["source_file"] = key
    shown_key = sr.clean_text(key, sr.NAME_CHARS)
    found: types.CodeType | None = None
    if stored == "by value":
        if code_record is None or not code_record.args:
            check = CodeCheck("unchecked", "the stream holds no code record for it")
        else:
            code, replaced = effective_code(code_record)
            if replaced:
                warnings.append(WARN_CODE_REPLACED)
            check = check_code(code, key, source, compiled.budget, compiled)
        function["code_check"] = {"status": check.status, "detail": check.detail}
        if check.status == "differs":
            warnings.append(WARN_CODE_DIFFERS.format(key=shown_key) + f": {check.detail}")
        elif check.status == "unchecked":
            warnings.append(WARN_CODE_UNCHECKED.format(key=shown_key, reason=check.detail))
        found = check.code
    elif stored == "by reference":
        function["code_check"] = {"status": "unchecked", "detail": "the code is not in the archive (stored by reference)"}
        qualname = function.get("qualname")
        if isinstance(qualname, str):
            try:
                module = compiled.module(key, source, 0)
            except _COMPILE_ERRORS:
                module = None
            if module is not None:
                named = [code for code in _code_objects(module) if code.co_qualname == qualname and code is not module]
                # The last definition wins, as at run time.
                found = max(named, key=lambda code: code.co_firstlineno) if named else None
            if found is not None:
                # Only the definition's own lines are parsed, not the whole module.
                first, last = _line_span(found)
                segment = textwrap.dedent("\n".join(source.split("\n")[first - 1 : last]))
                definition = find_definition(segment, qualname.rpartition(".")[2])
                if definition is not None:
                    parameters = definition[1][: sr.MAX_PARAMETERS]
                    if function.get("kind") == "method":
                        parameters = parameters[1:]  # bound to the saved instance
                    function["parameters"] = [sr.clean_text(p, sr.NAME_CHARS) for p in parameters]
    else:
        function["code_check"] = {"status": "unchecked", "detail": "the saved object is not a function"}
    if found is not None:
        first, last = _line_span(found)
        function["source_line"], function["source_end_line"] = first, last
        function["source_text"] = _source_lines(source, first, last)
        compiled.budget.output(len(function["source_text"]) + _ROW_OVERHEAD * min(last - first + 1, MAX_SOURCE_LINES))
    elif stored == "by value" and function.get("firstlineno"):
        function["source_line"] = function["firstlineno"]
    return warnings, found


def _check_other_functions(
    nodes: list[Any], saved: Call | None, files: dict[str, str], compiled: Compiled
) -> list[str]:
    """Warnings for the other functions stored by value (helpers kept in the
    saved function's globals, defaults or arguments) whose code does not
    come from the archived file they name."""
    warnings: list[str] = []
    checked = 0
    for node in nodes:
        if type(node) is not Call or node is saved or node.func_name != "dill._dill._create_function":
            continue
        code, replaced = effective_code(node)
        fields = sr.code_fields(code)
        filename, qualname = fields.get("filename"), fields.get("qualname")
        key = main_script_key(files, filename) if type(filename) is str else None
        if key is None or type(qualname) is not str:
            continue
        checked += 1
        if checked > MAX_OTHER_FUNCTIONS or (
            not compiled.has(key) and compiled.compiled_chars + len(files[key]) > MAX_OTHER_SOURCE_CHARS
        ):
            warnings.append(WARN_OTHERS_UNCHECKED)
            break
        check = check_code(code, key, files[key], compiled.budget, compiled)
        if check.status == "differs" or replaced:
            warnings.append(
                WARN_OTHER_CODE_DIFFERS.format(name=sr.clean_text(qualname, 80), key=sr.clean_text(key, sr.NAME_CHARS))
                + (" (its state replaces its code)" if replaced else f": {check.detail}")
            )
    return warnings


# ---------------------------------------------------------------------------
# One archive
# ---------------------------------------------------------------------------


def _folders(rows: list[dict[str, Any]], parts_of: dict[str, tuple[str, ...]]) -> list[dict[str, Any]]:
    totals: dict[str, list[int]] = {}
    for row in rows:
        path = row.get("path_key")
        folder = _folder_of(parts_of.get(path)) if isinstance(path, str) else "(not text)"
        entry = totals.setdefault(folder, [0, 0])
        entry[0] += 1
        entry[1] += row["bytes"] or 0
    ordered = sorted(totals.items(), key=lambda item: (-item[1][1], item[0]))
    return [{"folder": name, "files": count, "bytes": size} for name, (count, size) in ordered]


def inspect_archive(path: str, budget: Budget | None = None) -> Inspection:
    """Read and describe one archive. Raises OSError for a file that cannot
    be opened, ArchiveError (LimitError) for one that cannot be read."""
    budget = budget or Budget()
    record, info = sr.read_record(path, budget)
    surveyed = sr.survey(record, budget)
    summary = sr.summarize(record, budget, surveyed)
    files = sr.source_files(record)
    parts_of: dict[str, tuple[str, ...] | str] = {}
    raw_files = record.get("files")
    for key in raw_files if type(raw_files) is dict else ():
        if type(key) is not str:
            continue
        try:
            parts_of[key] = key_parts(key, budget)
        except FileDictionaryError as refused:
            parts_of[key] = refused.problem
    if type(raw_files) is dict:
        for row, key in zip(summary["files"], raw_files):
            if type(key) is str:
                row["path_key"] = key
    folders = _folders(summary["files"], parts_of)
    for row in summary["files"]:
        row.pop("path_key", None)
    warnings = _record_warnings(record, info)
    compiled = Compiled(budget)
    function_warnings, code = _describe_saved_function(record, summary["function"], files, parts_of, compiled)
    function_warnings += _check_other_functions(surveyed.nodes, _function_record(record.get("func")), files, compiled)
    del compiled
    imports, calls, load_warnings = _scan_loading(surveyed.nodes, info)
    del surveyed
    try:
        size: int | None = os.path.getsize(path)
    except OSError:
        size = None
    summary = {
        "archive": path,
        "size": size,
        **summary,
        "folders": folders,
        "globals": info.names,
        "imports": imports,
        "calls": calls,
        "warnings": warnings + function_warnings + load_warnings,
    }
    return Inspection(path, record, info, files, summary, code, parts_of)


# ---------------------------------------------------------------------------
# Comparing two archives
# ---------------------------------------------------------------------------


def _leaf_digest(value: Any) -> bytes:
    kind = type(value)
    digest = hashlib.blake2b(digest_size=16)
    if kind is str:
        digest.update(b"s")
        for start in range(0, len(value), 1 << 20):
            digest.update(value[start : start + (1 << 20)].encode("utf-8", "surrogatepass"))
    elif kind is bytes or kind is bytearray:
        digest.update(b"b" if kind is bytes else b"a")
        digest.update(value)
    elif kind is int:
        digest.update(b"i" + value.to_bytes(value.bit_length() // 8 + 1, "little", signed=True))
    elif kind is float:
        digest.update(b"f" + struct.pack("<d", value))
    elif kind is complex:
        digest.update(b"c" + struct.pack("<dd", value.real, value.imag))
    else:  # None, True, False
        digest.update(b"k" + repr(value).encode())
    return digest.digest()


class Fingerprints:
    """Digests of read values that are equal for equal data, shared or not;
    each object is digested once."""

    def __init__(self, budget: Budget) -> None:
        self.budget = budget
        self.known: dict[int, bytes] = {}
        self.keep: list[Any] = []
        self.visited = 0

    def of(self, root: Any) -> bytes:
        if sr._is_leaf(root):
            return _leaf_digest(root)
        known = self.known
        if id(root) in known:
            return known[id(root)]
        on_path: set[int] = set()
        stack: list[tuple[Any, list[Any], list[bytes]]] = []

        def enter(node: Any) -> None:
            self.visited += 1
            if self.visited > self.budget.limits.nodes:
                self.budget.check_nodes(self.visited)
            self.keep.append(node)
            on_path.add(id(node))
            stack.append((node, list(sr.children(node))[::-1], []))

        enter(root)
        while stack:
            node, pending, digests = stack[-1]
            descended = False
            while pending:
                child = pending.pop()
                if sr._is_leaf(child):
                    digests.append(_leaf_digest(child))
                elif id(child) in known:
                    digests.append(known[id(child)])
                elif id(child) in on_path:
                    digests.append(b"cycle")
                else:
                    enter(child)
                    descended = True
                    break
            if descended:
                continue
            stack.pop()
            on_path.discard(id(node))
            known[id(node)] = self._combine(node, digests)
            if stack:
                stack[-1][2].append(known[id(node)])
        return known[id(root)]

    @staticmethod
    def _combine(node: Any, digests: list[bytes]) -> bytes:
        digest = hashlib.blake2b(digest_size=16)
        kind = type(node)
        if kind is dict:
            half = len(digests) // 2
            pairs = sorted(key + value for key, value in zip(digests[:half], digests[half:]))
            digest.update(b"D")
            digests = pairs
        elif kind is StreamSet:
            digest.update(b"S" + node.kind.encode())
            digests = sorted(digests)
        elif kind is OpaqueKey:
            return digests[0]
        elif isinstance(node, Global):
            digest.update(b"G" + node.module.encode("utf-8", "surrogatepass") + b"\0" + node.name.encode("utf-8", "surrogatepass"))
        elif isinstance(node, Call):
            digest.update(b"C" + node.how.encode())
        elif isinstance(node, Persistent):
            digest.update(b"P")
        elif isinstance(node, Placeholder):
            digest.update(b"H")
        else:
            digest.update(kind.__name__.encode())
        digest.update(len(digests).to_bytes(8, "little"))
        for part in digests:
            digest.update(part)
        return digest.digest()


def _split_lines(text: str) -> list[str]:
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


def _range_text(start: int, stop: int) -> str:
    beginning, length = start + 1, stop - start
    if length == 1:
        return str(beginning)
    if not length:
        beginning -= 1
    return f"{beginning},{length}"


def line_diff(old: str, new: str, old_name: str, new_name: str) -> tuple[list[str] | None, int | None, int | None]:
    """(unified diff lines, lines added, lines removed) of two texts, or
    (None, None, None) when they are too long to compare line by line."""
    if len(old) > MAX_DIFF_CHARS or len(new) > MAX_DIFF_CHARS:
        return None, None, None
    a, b = _split_lines(old), _split_lines(new)
    if len(a) > MAX_DIFF_LINES or len(b) > MAX_DIFF_LINES:
        return None, None, None
    # The common beginning and end need no matching (most edits are small).
    prefix = 0
    limit = min(len(a), len(b))
    while prefix < limit and a[prefix] == b[prefix]:
        prefix += 1
    suffix = 0
    while suffix < limit - prefix and a[len(a) - 1 - suffix] == b[len(b) - 1 - suffix]:
        suffix += 1
    start = max(0, prefix - DIFF_CONTEXT)
    keep_end = max(0, suffix - DIFF_CONTEXT)
    a_mid, b_mid = a[start : len(a) - keep_end], b[start : len(b) - keep_end]
    matcher = difflib.SequenceMatcher(None, a_mid, b_mid, autojunk=True)
    lines = [f"--- {old_name}", f"+++ {new_name}"]
    added = removed = 0
    for group in matcher.get_grouped_opcodes(DIFF_CONTEXT):
        first, last = group[0], group[-1]
        lines.append(f"@@ -{_range_text(first[1] + start, last[2] + start)} +{_range_text(first[3] + start, last[4] + start)} @@")
        for tag, i1, i2, j1, j2 in group:
            if tag == "equal":
                lines.extend(" " + line for line in a_mid[i1:i2])
                continue
            if tag in ("replace", "delete"):
                lines.extend("-" + line for line in a_mid[i1:i2])
                removed += i2 - i1
            if tag in ("replace", "insert"):
                lines.extend("+" + line for line in b_mid[j1:j2])
                added += j2 - j1
    if len(lines) == 2:
        lines = []
    return lines, added, removed


def _argument_side(value: Any, plain: Any) -> dict[str, Any]:
    described = sr.describe_value(value, plain)
    return {key: described[key] for key in ("type", "value", "shape", "dtype", "length", "refers_to") if key in described}


def _function_code_digest(func: Any, prints: Fingerprints) -> bytes | None:
    record = _function_record(func)
    if record is None or not record.args:
        return None
    return prints.of(effective_code(record)[0])


def diff_archives(old: Inspection, new: Inspection, budget: Budget, with_lines: bool = True) -> dict[str, Any]:
    """A JSON-ready comparison of two inspected archives."""
    prints = Fingerprints(budget)
    plain = sr._Plainness(budget)
    # The saved function.
    old_fn, new_fn = old.summary["function"], new.summary["function"]
    function: dict[str, Any] = {
        "old": {key: old_fn.get(key) for key in ("qualname", "module", "stored", "parameters")},
        "new": {key: new_fn.get(key) for key in ("qualname", "module", "stored", "parameters")},
    }
    old_code = _function_code_digest(old.record.get("func"), prints)
    new_code = _function_code_digest(new.record.get("func"), prints)
    if old_code is not None and new_code is not None:
        function["code"] = "same" if old_code == new_code else "changed"
    elif old_fn.get("stored") == new_fn.get("stored") == "by reference":
        same_name = (old_fn.get("module"), old_fn.get("qualname")) == (new_fn.get("module"), new_fn.get("qualname"))
        if not same_name:
            function["code"] = "changed"
        elif old_fn.get("source_text") is not None and new_fn.get("source_text") is not None:
            function["code"] = "same" if old_fn["source_text"] == new_fn["source_text"] else "changed"
        else:
            function["code"] = "unknown"
    else:
        function["code"] = "changed" if old_fn.get("stored") != new_fn.get("stored") else "unknown"
    function["record"] = "same" if prints.of(old.record.get("func")) == prints.of(new.record.get("func")) else "changed"
    # The arguments.
    arguments: list[dict[str, Any]] = []
    old_args, new_args = old.record.get("args"), new.record.get("args")
    old_args = old_args if type(old_args) is dict else {}
    new_args = new_args if type(new_args) is dict else {}
    old_named = {key: value for key, value in old_args.items() if type(key) is str}
    new_named = {key: value for key, value in new_args.items() if type(key) is str}
    for name in list(old_named) + [name for name in new_named if name not in old_named]:
        entry: dict[str, Any] = {"name": name[: sr.NAME_CHARS]}
        if name not in new_named:
            entry["status"] = "removed"
            entry["old"] = _argument_side(old_named[name], plain)
        elif name not in old_named:
            entry["status"] = "added"
            entry["new"] = _argument_side(new_named[name], plain)
        else:
            same = prints.of(old_named[name]) == prints.of(new_named[name])
            entry["status"] = "same" if same else "changed"
            entry["old"] = _argument_side(old_named[name], plain)
            if not same:
                entry["new"] = _argument_side(new_named[name], plain)
        budget.output(len(entry["name"]) + 3 * _ROW_OVERHEAD)
        arguments.append(entry)
    # The files.
    rows: list[dict[str, Any]] = []
    counts = {"changed": 0, "added": 0, "removed": 0, "same": 0}
    old_files, new_files = old.files, new.files
    for path in list(old_files) + [path for path in new_files if path not in old_files]:
        row: dict[str, Any] = {"path": path}
        old_text, new_text = old_files.get(path), new_files.get(path)
        if new_text is None:
            row.update(status="removed", added_lines=0, removed_lines=sr.text_lines(old_text or ""))
        elif old_text is None:
            row.update(status="added", added_lines=sr.text_lines(new_text), removed_lines=0)
        elif old_text is new_text or old_text == new_text:
            row["status"] = "same"
        else:
            row["status"] = "changed"
            shown = path[2:] if path.startswith("./") else path
            lines, added, removed = line_diff(old_text, new_text, f"a/{shown}", f"b/{shown}")
            row["added_lines"], row["removed_lines"] = added, removed
            if lines is None:
                row["note"] = "too long to compare line by line"
            elif with_lines:
                row["diff"] = lines
                budget.output(sum(len(line) + 1 for line in lines))
        counts[row["status"]] += 1
        if row["status"] != "same":
            budget.output(len(path) + _ROW_OVERHEAD)
            rows.append(row)
    return {
        "old": {"archive": old.path, "size": old.summary.get("size"), "warnings": old.summary["warnings"]},
        "new": {"archive": new.path, "size": new.summary.get("size"), "warnings": new.summary["warnings"]},
        "function": function,
        "args": arguments,
        "files": rows,
        "file_counts": counts,
    }
