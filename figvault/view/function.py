"""What the stream records about the saved function: its kind, how it is
stored, its names, module, parameters and code record; and, for a function
stored by reference, its lines and parameters found in the syntax tree of
the archived source."""

from __future__ import annotations

import ast
from typing import Any, Iterator

from ..reader import Call, Global, describe_type, type_of_call
from ..reader.kinds import CHAIN_LOOK
from ..terminal import clean_text
from .text import DEFAULT_CHARS, NAME_CHARS, TYPE_CHARS
from .values import describe_value

__all__ = ["code_fields", "describe_function", "effective_code", "filename_position", "find_definition", "function_record"]

# Parameters listed for a function; more are cut short with "...".
MAX_PARAMETERS = 256
# The largest line number a code object holds (a C int): a larger "first
# line" in a stream is no line, and is not printed.
MAX_LINE_NUMBER = 2**31 - 1

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


def _layout(code: Any) -> tuple[int, tuple[str, ...]] | None:
    """(index of the first field, field names) of a ``_create_code`` record."""
    if not (isinstance(code, Call) and code.func_name == "dill._dill._create_code"):
        return None
    args = code.args
    start = 1 if args and type(args[0]) is not int else 0  # a leading co_lnotab
    names = _CODE_LAYOUTS.get(len(args) - start)
    return (start, names) if names is not None else None


def code_fields(code: Any) -> dict[str, Any]:
    """The fields of a code object that dill recorded for ``_create_code``
    ({} when ``code`` is not such a record)."""
    layout = _layout(code)
    if layout is None:
        return {}
    start, names = layout
    return dict(zip(names, code.args[start:]))


def filename_position(code: Any) -> int | None:
    """The index in ``code.args`` of the file name of a ``_create_code``
    record, or None."""
    layout = _layout(code)
    return layout[0] + layout[1].index("filename") if layout is not None else None


def function_record(func: Any) -> Call | None:
    """The ``_create_function`` record of the saved function (a bound method
    is looked through), or None."""
    for _ in range(CHAIN_LOOK):
        if not isinstance(func, Call):
            return None
        if func.func_name == "dill._dill._create_function":
            return func
        if describe_type(func) == "method" and func.args:
            func = func.args[0]
            continue
        return None
    return None


def effective_code(record: Call) -> tuple[Any, bool]:
    """(the code record the loaded function ends up with, whether its state
    replaces the code it was made with): a BUILD state may set __code__."""
    code = record.args[0] if record.args else None
    replaced = False
    for state in record.states:
        if type(state) is tuple and len(state) == 2 and type(state[1]) is dict and "__code__" in state[1]:
            code = state[1]["__code__"]
            replaced = True
    return code, replaced


def _count(fields: dict[str, Any], name: str) -> int | None:
    """A non-negative count field of a code record (0 when absent)."""
    value = fields.get(name, 0)
    if type(value) is not int or value < 0:
        return None
    return value


def _default_text(value: Any) -> str:
    described = describe_value(value)
    if described["value"] is not None:
        return clean_text(described["value"], DEFAULT_CHARS)
    return f"<{clean_text(described['type'], TYPE_CHARS)}>"


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


def _distinct_states(states: Any) -> list[Any]:
    """The states given to an object, each once, in the order of its last
    use: applying them gives what applying all of them in order gives (a
    stream can give one large state thousands of times)."""
    last: dict[int, int] = {}
    for index, state in enumerate(states):
        last[id(state)] = index
    return [state for index, state in enumerate(states) if last[id(state)] == index]


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
    for _ in range(CHAIN_LOOK):
        if isinstance(func, Call) and type_of_call(func) == "method" and func.args:
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
        for state in _distinct_states(func.states):
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
            firstlineno=firstlineno if type(firstlineno) is int and 0 < firstlineno <= MAX_LINE_NUMBER else None,
            parameters=_parameters(fields, state_dict.get("__defaults__", args[3] if len(args) > 3 else None), state_dict.get("__kwdefaults__")),
        )
    else:
        info["kind"] = type_of_call(func)
    if method:
        info["kind"] = "method"
        if info["parameters"]:
            info["parameters"] = info["parameters"][1:]  # the bound first parameter
    return info


def _definitions(body: list[ast.stmt]) -> Iterator[ast.AST]:
    """The functions and classes defined in a body, also inside its if, for,
    while, with and try blocks (not inside other definitions)."""
    stack = list(reversed(body))
    while stack:
        statement = stack.pop()
        if isinstance(statement, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            yield statement
            continue
        for field in ("body", "orelse", "finalbody", "handlers", "cases"):
            inner = getattr(statement, field, None)
            if isinstance(inner, list):
                stack.extend(reversed(inner))


def find_definition(tree: ast.Module, qualname: str) -> tuple[int, int, list[str]] | None:
    """(first line, last line, parameter texts) of the function ``qualname``
    defined in a module's syntax tree; its first line is that of its first
    decorator."""
    body: list[ast.stmt] = tree.body
    node: ast.AST | None = None
    parent_is_function = False
    for part in qualname.split("."):
        if part == "<locals>":
            if not parent_is_function:
                return None
            continue
        node = None
        for statement in _definitions(body):
            if statement.name == part:  # type: ignore[attr-defined]
                node = statement  # the last definition wins, as at run time
        if node is None:
            return None
        body = node.body  # type: ignore[attr-defined]
        parent_is_function = isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef))
    if not parent_is_function:
        return None
    first = min([node.lineno] + [d.lineno for d in node.decorator_list])  # type: ignore[union-attr]
    last = node.end_lineno or node.lineno  # type: ignore[union-attr]
    try:
        return first, last, _parameter_texts(node.args)  # type: ignore[union-attr]
    except Exception:  # an unusual tree: the lines are still useful
        return first, last, []


def _parameter_texts(args: ast.arguments) -> list[str]:
    def one(arg: ast.arg, default: ast.expr | None = None) -> str:
        text = arg.arg
        if default is not None:
            text += "=" + ast.unparse(default)
        return text

    positional = list(args.posonlyargs) + list(args.args)
    defaults: list[ast.expr | None] = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    texts = [one(arg, default) for arg, default in zip(positional, defaults)]
    if args.posonlyargs:
        texts.insert(len(args.posonlyargs), "/")
    if args.vararg is not None:
        texts.append("*" + args.vararg.arg)
    elif args.kwonlyargs:
        texts.append("*")
    texts.extend(one(arg, default) for arg, default in zip(args.kwonlyargs, args.kw_defaults))
    if args.kwarg is not None:
        texts.append("**" + args.kwarg.arg)
    return texts
