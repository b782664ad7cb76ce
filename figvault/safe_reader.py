"""Descriptions of what the reader read: short texts of values, the saved
function, and the summary of a record."""

from __future__ import annotations

import math
from typing import Any

from .reader import Budget, Call, Global, OpaqueKey, Persistent, Placeholder, StreamSet  # noqa: F401
from .reader.budget import MAX_OUTPUT  # noqa: F401 - named by tests
from .reader.kinds import CHAIN_LOOK as _CHAIN_LOOK
from .reader.kinds import array_facts, describe_type, numpy_scalar_value
from .reader.kinds import type_of_call as _type_of_call
from .reader.machine import ReadInfo, load, loads, read_record  # noqa: F401
from .reader.budget import ArchiveError, LimitError, Limits, limits_for_loading  # noqa: F401
from .reader.walk import Plainness as _Plainness, Walk as Survey, walk as survey, children, is_leaf as _is_leaf  # noqa: F401
from .terminal import clean_text, count_text  # noqa: F401

_READ_CHUNK = 1024 * 1024
_SCALARS = (type(None), bool, int, float, complex, str, bytes, bytearray)
_CONTAINERS = (list, tuple, dict)


def read_archive(path, names=None, limits=None):
    record, info = read_record(path, Budget(limits))
    if names is not None:
        names.extend(info.names)
    return record


def source_files(record: dict) -> dict[str, str]:
    """The record's file dictionary, keeping only str paths with str texts."""
    files = record.get("files")
    if type(files) is not dict:
        return {}
    return {path: text for path, text in files.items() if type(path) is str and type(text) is str}

# ---------------------------------------------------------------------------
# Short texts for values
# ---------------------------------------------------------------------------

# Characters of a value's short text (as in an argument table).
VALUE_TEXT_CHARS = 80
# Integers with more digits are described by their number of digits.
_MAX_INT_DIGITS = 60
_LOG10_2 = math.log10(2)


def int_text(value: int) -> str:
    """The decimal text of an int, or "<int of about N digits>" for a huge one
    (turning those into text is slow, and refused beyond 4,300 digits)."""
    bits = value.bit_length()
    if bits <= 190:  # at most 58 digits
        return str(value)
    digits = int(bits * _LOG10_2) + 1
    return f"<int of about {digits:,} digits>"


class _Renderer:
    """Writes a short Python-like text for plain data within a character
    budget: each step writes at least one character, so the work is bounded
    by the budget whatever the data shares."""

    def __init__(self, limit: int) -> None:
        self.limit = limit
        self.parts: list[str] = []
        self.size = 0

    def full(self) -> bool:
        return self.size >= self.limit

    def put(self, text: str) -> None:
        room = self.limit - self.size
        if room <= 0:
            return
        if len(text) > room:
            text = text[:room]
        self.parts.append(text)
        self.size += len(text)

    def render(self, value: Any) -> str:
        self._value(value, 0)
        text = "".join(self.parts)
        if self.size >= self.limit:
            text = text[: max(0, self.limit - 3)] + "..."
        return text

    def _value(self, value: Any, depth: int) -> None:
        if self.full():
            return
        kind = type(value)
        if kind is str:
            self.put(repr(value[: self.limit - self.size + 1]) if len(value) > self.limit else repr(value))
        elif kind is bytes:
            self.put(repr(value[: self.limit - self.size + 1]) if len(value) > self.limit else repr(value))
        elif kind is int:
            self.put(int_text(value))
        elif kind in (type(None), bool, float, complex):
            self.put(repr(value))
        elif kind is OpaqueKey:
            self._value(value.value, depth)
        elif depth >= 20:
            self.put("...")
        elif kind is list:
            self._items("[", value, "]", depth)
        elif kind is tuple:
            self._items("(", value, ",)" if len(value) == 1 else ")", depth)
        elif kind is StreamSet:
            if not value.items:
                self.put(f"{value.kind}()")
            elif value.kind == "set":
                self._items("{", value.items, "}", depth)
            else:
                self._items("frozenset({", value.items, "})", depth)
        elif kind is dict:
            self.put("{")
            first = True
            for key, item in value.items():
                if self.full():
                    return
                if not first:
                    self.put(", ")
                first = False
                self._value(key, depth + 1)
                self.put(": ")
                self._value(item, depth + 1)
            self.put("}")
        else:
            self.put("<" + clean_text(describe_type(value), 60) + ">")

    def _items(self, opening: str, items: Any, closing: str, depth: int) -> None:
        self.put(opening)
        for index, item in enumerate(items):
            if self.full():
                return
            if index:
                self.put(", ")
            self._value(item, depth + 1)
        self.put(closing)


def value_text(value: Any, limit: int = VALUE_TEXT_CHARS) -> str:
    """A short Python-like text for plain data, at most ``limit`` characters."""
    return _Renderer(limit).render(value)


def describe_value(value: Any, _plain: _Plainness | None = None) -> dict[str, Any]:
    """{"type": text, "value": short text or None}: the value only for plain
    data; "length" for containers, "shape" and "dtype" for arrays and
    tensors, "refers_to" for a global. Placeholders are described by the
    globals they name; nothing is called."""
    kind = type(value)
    described: dict[str, Any] = {"type": describe_type(value), "value": None}
    if isinstance(value, Global):
        described["refers_to"] = value.dotted
    elif isinstance(value, Call):
        facts = array_facts(value)
        described.update(facts)
        if not facts and numpy_scalar_value(value) is not None:
            described["value"] = numpy_scalar_value(value)
        elif value.func_name == "dill._dill._import_module" and value.args and type(value.args[0]) is str:
            described["refers_to"] = value.args[0]
    elif kind is StreamSet:
        described["length"] = len(value.items)
        if (_plain or _Plainness()).check(value):
            described["value"] = value_text(value)
    elif kind in _SCALARS or kind in _CONTAINERS:
        if kind in _CONTAINERS:
            described["length"] = len(value)
        if kind is bytearray:
            described["length"] = len(value)
        elif (_plain or _Plainness()).check(value):
            described["value"] = value_text(value)
    return described


# ---------------------------------------------------------------------------
# The saved function
# ---------------------------------------------------------------------------

# Flags of a code object (the values of inspect.CO_VARARGS and CO_VARKEYWORDS).
_CO_VARARGS = 0x04
_CO_VARKEYWORDS = 0x08

_CODE_LAYOUTS: dict[int, tuple[str, ...]] = {
    # Python 3.11 as dill records it (and 3.12).
    18: ("argcount", "posonlyargcount", "kwonlyargcount", "nlocals", "stacksize", "flags",
         "code", "consts", "names", "varnames", "filename", "name", "qualname", "firstlineno",
         "linetable", "exceptiontable", "freevars", "cellvars"),
    # 3.11 pre-releases.
    17: ("argcount", "posonlyargcount", "kwonlyargcount", "nlocals", "stacksize", "flags",
         "code", "consts", "names", "varnames", "filename", "name", "qualname", "firstlineno",
         "linetable", "freevars", "cellvars"),
    20: ("argcount", "posonlyargcount", "kwonlyargcount", "nlocals", "stacksize", "flags",
         "code", "consts", "names", "varnames", "filename", "name", "qualname", "firstlineno",
         "linetable", "endlinetable", "columntable", "exceptiontable", "freevars", "cellvars"),
    # 3.8 - 3.10.
    16: ("argcount", "posonlyargcount", "kwonlyargcount", "nlocals", "stacksize", "flags",
         "code", "consts", "names", "varnames", "filename", "name", "firstlineno", "linetable",
         "freevars", "cellvars"),
    # 3.7.
    15: ("argcount", "kwonlyargcount", "nlocals", "stacksize", "flags",
         "code", "consts", "names", "varnames", "filename", "name", "firstlineno", "lnotab",
         "freevars", "cellvars"),
}


def code_fields(code: Any) -> dict[str, Any]:
    """The fields of a code object that dill recorded for ``_create_code``
    ({} when ``code`` is not such a record)."""
    if not (isinstance(code, Call) and code.func_name == "dill._dill._create_code"):
        return {}
    args = list(code.args)
    if args and type(args[0]) is not int:  # a leading co_lnotab
        args = args[1:]
    names = _CODE_LAYOUTS.get(len(args))
    if names is None:
        return {}
    return dict(zip(names, args))


_code_fields = code_fields  # the older private name


def _count(fields: dict[str, Any], name: str) -> int | None:
    """A non-negative count field of a code record (0 when absent)."""
    value = fields.get(name, 0)
    if type(value) is not int or value < 0:
        return None
    return value


def _parameters(fields: dict[str, Any], defaults: Any, kwdefaults: Any) -> list[str] | None:
    varnames = fields.get("varnames")
    argcount = _count(fields, "argcount")
    kwonly = _count(fields, "kwonlyargcount")
    posonly = _count(fields, "posonlyargcount")
    flags = fields.get("flags", 0)
    if type(varnames) is not tuple or argcount is None or kwonly is None or posonly is None or type(flags) is not int:
        return None
    if "argcount" not in fields or not all(type(n) is str for n in varnames):
        return None
    if argcount + kwonly > len(varnames) or posonly > argcount:
        return None
    if argcount + kwonly > MAX_PARAMETERS:
        return [clean_text(name, NAME_CHARS) for name in varnames[:MAX_PARAMETERS]] + ["..."]
    params: list[str] = []
    positional = list(varnames[:argcount])
    default_values = list(defaults) if type(defaults) is tuple else []
    default_values = default_values[-argcount:] if argcount else []
    first_default = len(positional) - len(default_values)
    for index, name in enumerate(positional):
        text = clean_text(name, NAME_CHARS)
        if index >= first_default:
            text += "=" + _default_text(default_values[index - first_default])
        params.append(text)
        if posonly and index == posonly - 1:
            params.append("/")
    has_star = bool(flags & _CO_VARARGS)
    if has_star:
        index = argcount + kwonly
        params.append("*" + (clean_text(varnames[index], NAME_CHARS) if index < len(varnames) else "args"))
    elif kwonly:
        params.append("*")
    kw = kwdefaults if type(kwdefaults) is dict else {}
    for name in varnames[argcount : argcount + kwonly]:
        params.append(clean_text(name, NAME_CHARS) + ("=" + _default_text(kw[name]) if name in kw else ""))
    if flags & _CO_VARKEYWORDS:
        index = argcount + kwonly + (1 if has_star else 0)
        params.append("**" + (clean_text(varnames[index], NAME_CHARS) if index < len(varnames) else "kwargs"))
    return params


# Characters kept of a name (parameter, argument, module, path) in a summary.
NAME_CHARS = 200
# Parameters listed for a function; more are cut short with "...".
MAX_PARAMETERS = 256


def _default_text(value: Any) -> str:
    described = describe_value(value)
    if described["value"] is not None:
        return clean_text(described["value"], 30)
    return f"<{clean_text(described['type'], 60)}>"


def _module_of_globals(globs: Any) -> str | None:
    if isinstance(globs, Global):
        if (globs.module, globs.name) == ("__builtin__", "__main__"):
            return "__main__"
        if globs.name == "__dict__":  # "c<module>\n__dict__": a module's namespace
            return globs.module
    if type(globs) is dict and type(globs.get("__name__")) is str:
        return globs["__name__"]
    return None


def _text_or_none(value: Any) -> str | None:
    return value if type(value) is str else None


def describe_function(func: Any) -> dict[str, Any]:
    """What the stream records about the saved function.

    Keys: "kind" (function, method, global, ...), "stored" ("by value" when
    the stream holds the code, "by reference" when it names the function
    as ``module.qualname``), "name", "qualname", "module", "filename",
    "firstlineno" and "parameters" (None when unknown).
    """
    info: dict[str, Any] = {
        "kind": "unknown",
        "stored": "unknown",
        "name": None,
        "qualname": None,
        "module": None,
        "filename": None,
        "firstlineno": None,
        "parameters": None,
    }
    method = False
    for _ in range(_CHAIN_LOOK):
        if isinstance(func, Call) and _type_of_call(func) == "method" and func.args:
            method = True
            func = func.args[0]
            continue
        break
    if isinstance(func, Global):
        info.update(kind="global", stored="by reference", module=func.module, qualname=func.name)
        info["name"] = func.name.rpartition(".")[2]
    elif not isinstance(func, Call):
        info["kind"] = describe_type(func)
    elif func.func_name == "dill._dill._create_function":
        args = func.args
        state_dict: dict = {}
        for state in func.states:
            if type(state) is tuple and len(state) == 2 and type(state[1]) is dict:
                state_dict.update((k, v) for k, v in state[1].items() if type(k) is str)
        # A state that sets __code__ replaces the code the function was made with.
        fields = code_fields(state_dict["__code__"] if "__code__" in state_dict else args[0] if args else None)
        fname = args[2] if len(args) > 2 and type(args[2]) is str else fields.get("name")
        qualname = state_dict.get("__qualname__")
        if type(qualname) is not str:
            qualname = _text_or_none(fields.get("qualname")) or _text_or_none(fname)
        module = state_dict.get("__module__")
        if type(module) is not str:
            module = _module_of_globals(args[1] if len(args) > 1 else None)
        firstlineno = fields.get("firstlineno")
        info.update(
            kind="function",
            stored="by value",
            name=_text_or_none(fname),
            qualname=qualname,
            module=module,
            filename=_text_or_none(fields.get("filename")),
            firstlineno=firstlineno if type(firstlineno) is int and firstlineno > 0 else None,
            parameters=_parameters(fields, state_dict.get("__defaults__", args[3] if len(args) > 3 else None), state_dict.get("__kwdefaults__")),
        )
    else:
        info["kind"] = _type_of_call(func)
    if method:
        info["kind"] = "method"
        if info["parameters"]:
            info["parameters"] = info["parameters"][1:]  # the bound first parameter
    return info


# ---------------------------------------------------------------------------
# A summary of a record
# ---------------------------------------------------------------------------


# Characters of output per row of a printed table, besides its name or path.
_ROW_CHARS = 40


def text_size(text: str) -> int:
    """The UTF-8 size of ``text`` (surrogates as written by surrogatepass),
    without making a whole copy of a large text."""
    if text.isascii():
        return len(text)
    size = 0
    for start in range(0, len(text), _READ_CHUNK):
        size += len(text[start : start + _READ_CHUNK].encode("utf-8", "surrogatepass"))
    return size


def text_lines(text: str) -> int:
    return text.count("\n") + (1 if text and not text.endswith("\n") else 0)


def summarize(record: dict, budget: Budget | None = None, surveyed: Survey | None = None) -> dict[str, Any]:
    """A JSON-ready summary of an archive record read by :func:`read_archive`.

    Raises ArchiveError (LimitError) for a record nested too deeply or too
    large to describe (``surveyed`` is the :func:`survey` of the record
    against the same budget, when it has been made already).
    """
    budget = budget or Budget()
    if surveyed is None:
        surveyed = survey(record, budget)
    plain = _Plainness(budget, surveyed.plain)
    args = record.get("args")
    arguments: list[dict[str, Any]] | None
    if "args" not in record or type(args) is not dict:
        arguments = None
    else:
        arguments = []
        for key, value in args.items():
            name = key if type(key) is str else value_text(key, 40)
            entry = {"name": name[:NAME_CHARS] if len(name) > NAME_CHARS else name}
            entry.update(describe_value(value, plain))
            budget.output(len(entry["name"]) + _ROW_CHARS)
            arguments.append(entry)
    files = record.get("files", {})
    file_rows: list[dict[str, Any]] = []
    stats: dict[int, tuple[int, int]] = {}
    if type(files) is dict:
        for path, text in files.items():
            row: dict[str, Any] = {"path": path if type(path) is str else value_text(path, NAME_CHARS)}
            budget.output(min(len(row["path"]), NAME_CHARS) + _ROW_CHARS)
            if type(text) is str:
                known = stats.get(id(text))
                if known is None:
                    known = stats[id(text)] = (text_size(text), text_lines(text))
                row["bytes"], row["lines"] = known
            else:
                row.update(bytes=None, lines=None, type=describe_type(text))
            file_rows.append(row)
    summary: dict[str, Any] = {
        "function": describe_function(record.get("func")),
        "args": arguments,
        "files": file_rows,
    }
    if "args" in record and type(args) is not dict:
        summary["args_type"] = describe_type(args)
    if type(files) is not dict:
        summary["files_type"] = describe_type(files)
    other = [key for key in record if not (type(key) is str and key in ("args", "files", "func"))]
    if other:
        summary["other_keys"] = [k if type(k) is str else describe_type(k) for k in other]
    return summary
