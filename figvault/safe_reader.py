"""Read figvault archive files without running anything stored in them.

An archive file is a dill (pickle) stream. Loading such a stream the ordinary
way imports the modules it names and calls the functions it names, so a
crafted file can run any code. The reader here never does that: every global
name in the stream (``module.name``) becomes a :class:`Global` placeholder
that only records the two strings, and every operation that would call,
instantiate or update an object (REDUCE, NEWOBJ, NEWOBJ_EX, INST, OBJ, BUILD,
APPEND(S), SETITEM(S) and ADDITEMS on something that is not a plain
container) is recorded on placeholders instead. Persistent ids become
:class:`Persistent` placeholders. The result is the archive record made of
plain Python data (dicts, lists, tuples, strings, numbers, bytes, ...) and
placeholder trees, from which the saved function's name, the saved arguments
and the saved source files can be read.

Nothing here imports a module named by the stream or calls an object that
the stream produced, apart from the plain containers built by the unpickler
itself and the placeholder classes defined in this module.
"""

from __future__ import annotations

import io
import os
import pickle
import reprlib
from typing import TYPE_CHECKING, Any, BinaryIO, Callable, ClassVar, Iterator, NoReturn

__all__ = [
    "ArchiveError",
    "Call",
    "Global",
    "Persistent",
    "Placeholder",
    "SafeUnpickler",
    "describe_function",
    "describe_value",
    "is_plain",
    "load",
    "loads",
    "read_archive",
    "source_files",
    "summarize",
]

# The keys that a record must hold to be expanded (its "args" are optional).
REQUIRED_KEYS = ("files", "func")


class ArchiveError(Exception):
    """The file cannot be read as a figvault archive."""


# ---------------------------------------------------------------------------
# Placeholders
# ---------------------------------------------------------------------------


class Placeholder:
    """An object described by the stream but never made.

    Calling a placeholder returns a :class:`Call` that records the callee and
    the arguments; ``__setstate__`` and the container protocol used by the
    unpickler only record what they are given.
    """

    def __init__(self) -> None:
        self.states: list[Any] = []  # BUILD states, in order
        self.items: list[Any] = []  # APPEND(S) / ADDITEMS values
        self.entries: list[tuple[Any, Any]] = []  # SETITEM(S) pairs

    def __call__(self, *args: Any, **kwargs: Any) -> "Call":
        return Call(self, args, kwargs)

    def __setstate__(self, state: Any) -> None:
        self.states.append(state)

    def append(self, value: Any) -> None:
        self.items.append(value)

    def extend(self, values: Any) -> None:
        self.items.extend(values)

    def add(self, value: Any) -> None:
        self.items.append(value)

    def __setitem__(self, key: Any, value: Any) -> None:
        self.entries.append((key, value))

    # Identity semantics, whatever the stream says.
    __eq__ = object.__eq__
    __hash__ = object.__hash__


class Global(Placeholder):
    """The global ``module.name`` named by a GLOBAL or STACK_GLOBAL opcode."""

    def __init__(self, module: str, name: str) -> None:
        super().__init__()
        self.module = module
        self.name = name

    @property
    def dotted(self) -> str:
        return f"{self.module}.{self.name}" if self.module else self.name

    def __repr__(self) -> str:
        return f"<global {self.dotted}>"


class Call(Placeholder):
    """The result of calling (or instantiating) ``func`` with ``args``.

    ``how`` tells which opcode made it: "call" (REDUCE), "new" (NEWOBJ,
    NEWOBJ_EX) or "inst" (INST, OBJ).
    """

    def __init__(self, func: Any, args: tuple, kwargs: dict | None = None, how: str = "call") -> None:
        super().__init__()
        self.func = func
        self.args = tuple(args)
        self.kwargs = dict(kwargs or {})
        self.how = how

    @property
    def func_name(self) -> str | None:
        """The dotted name of the callee when it is a global, else None."""
        return self.func.dotted if isinstance(self.func, Global) else None

    def __repr__(self) -> str:
        callee = self.func_name or type(self.func).__name__
        return f"<call {callee}(...)>"


class Persistent(Placeholder):
    """An object named by a persistent id (PERSID / BINPERSID)."""

    def __init__(self, pid: Any) -> None:
        super().__init__()
        self.pid = pid

    def __repr__(self) -> str:
        return "<persistent id>"


# ---------------------------------------------------------------------------
# The unpickler
# ---------------------------------------------------------------------------


def _refuse(opcode: str, target: Any) -> NoReturn:
    raise pickle.UnpicklingError(f"{opcode} applied to a {type(target).__name__}")


class SafeUnpickler(pickle._Unpickler):
    """A pickle reader that imports nothing and calls nothing from the stream.

    Built on the pure-Python unpickler so that every opcode that could reach
    foreign code is replaced here.
    """

    dispatch: ClassVar[dict[int, Callable[[Any], None]]] = dict(pickle._Unpickler.dispatch)

    # State of the pure-Python unpickler (set up by its load()).
    stack: list[Any]
    append: Callable[[Any], None]
    if TYPE_CHECKING:

        def pop_mark(self) -> list[Any]: ...

    def __init__(self, file: BinaryIO, **kwargs: Any) -> None:
        super().__init__(file, **kwargs)
        # Every "module.name" the stream names, in first-seen order: what an
        # ordinary load would import.
        self.names: dict[str, None] = {}

    def find_class(self, module: str, name: str) -> Global:  # noqa: D401
        found = Global(str(module), str(name))
        self.names.setdefault(found.dotted)
        return found

    def persistent_load(self, pid: Any) -> Persistent:
        return Persistent(pid)

    # REDUCE: func(*args)
    def load_reduce(self) -> None:
        stack = self.stack
        args = stack.pop()
        func = stack[-1]
        if not isinstance(func, Placeholder):
            _refuse("REDUCE", func)
        if not isinstance(args, tuple):
            raise pickle.UnpicklingError("REDUCE arguments are not a tuple")
        stack[-1] = Call(func, args)

    dispatch[pickle.REDUCE[0]] = load_reduce

    # NEWOBJ: cls.__new__(cls, *args)
    def load_newobj(self) -> None:
        args = self.stack.pop()
        cls = self.stack.pop()
        if not isinstance(cls, Placeholder):
            _refuse("NEWOBJ", cls)
        if not isinstance(args, tuple):
            raise pickle.UnpicklingError("NEWOBJ arguments are not a tuple")
        self.append(Call(cls, args, how="new"))

    dispatch[pickle.NEWOBJ[0]] = load_newobj

    # NEWOBJ_EX: cls.__new__(cls, *args, **kwargs)
    def load_newobj_ex(self) -> None:
        kwargs = self.stack.pop()
        args = self.stack.pop()
        cls = self.stack.pop()
        if not isinstance(cls, Placeholder):
            _refuse("NEWOBJ_EX", cls)
        if not isinstance(args, tuple) or type(kwargs) is not dict:
            raise pickle.UnpicklingError("NEWOBJ_EX arguments are not a tuple and a dict")
        self.append(Call(cls, args, kwargs, how="new"))

    dispatch[pickle.NEWOBJ_EX[0]] = load_newobj_ex

    # INST and OBJ (protocols 0 and 1): klass(*args)
    def _instantiate(self, klass: Any, args: list) -> None:
        if not isinstance(klass, Placeholder):
            _refuse("INST/OBJ", klass)
        self.append(Call(klass, tuple(args), how="inst"))

    # BUILD: inst.__setstate__(state) or an update of inst.__dict__
    def load_build(self) -> None:
        state = self.stack.pop()
        inst = self.stack[-1]
        if isinstance(inst, Placeholder):
            inst.__setstate__(state)
        # The state of anything else (a plain container) is dropped: plain
        # containers have no state of their own to restore.

    dispatch[pickle.BUILD[0]] = load_build

    def load_append(self) -> None:
        value = self.stack.pop()
        target = self.stack[-1]
        if type(target) is list or isinstance(target, Placeholder):
            target.append(value)
        else:
            _refuse("APPEND", target)

    dispatch[pickle.APPEND[0]] = load_append

    def load_appends(self) -> None:
        items = self.pop_mark()
        target = self.stack[-1]
        if type(target) is list or isinstance(target, Placeholder):
            target.extend(items)
        else:
            _refuse("APPENDS", target)

    dispatch[pickle.APPENDS[0]] = load_appends

    def _set_items(self, target: Any, pairs: Iterator[tuple[Any, Any]], opcode: str) -> None:
        if type(target) is dict or isinstance(target, Placeholder):
            for key, value in pairs:
                target[key] = value
        else:
            _refuse(opcode, target)

    def load_setitem(self) -> None:
        value = self.stack.pop()
        key = self.stack.pop()
        self._set_items(self.stack[-1], iter([(key, value)]), "SETITEM")

    dispatch[pickle.SETITEM[0]] = load_setitem

    def load_setitems(self) -> None:
        items = self.pop_mark()
        pairs = ((items[i], items[i + 1]) for i in range(0, len(items) - 1, 2))
        self._set_items(self.stack[-1], pairs, "SETITEMS")

    dispatch[pickle.SETITEMS[0]] = load_setitems

    def load_additems(self) -> None:
        items = self.pop_mark()
        target = self.stack[-1]
        if type(target) is set:
            target.update(items)
        elif isinstance(target, Placeholder):
            target.extend(items)
        else:
            _refuse("ADDITEMS", target)

    dispatch[pickle.ADDITEMS[0]] = load_additems


def load(file: BinaryIO, names: list[str] | None = None) -> Any:
    """Read one pickled object from a binary file, safely.

    When ``names`` is a list, the global names that the stream refers to
    ("module.name", each once) are appended to it. Raises ArchiveError when
    the stream is not a complete pickle.
    """
    unpickler = SafeUnpickler(file)
    try:
        return unpickler.load()
    except EOFError:
        raise ArchiveError("the data ends before the end of a pickle stream") from None
    except RecursionError:
        raise ArchiveError("the pickle stream is nested too deeply") from None
    except MemoryError:
        raise ArchiveError("the pickle stream is too large to read") from None
    except Exception as error:  # any malformed stream
        detail = str(error) or type(error).__name__
        raise ArchiveError(f"not a readable pickle stream ({detail})") from None
    finally:
        if names is not None:
            names.extend(unpickler.names)


def loads(data: bytes) -> Any:
    """Read one pickled object from bytes, safely."""
    return load(io.BytesIO(data))


def read_archive(path: str | os.PathLike[str], names: list[str] | None = None) -> dict:
    """Read the archive record of the file at ``path`` without running it.

    OSError from opening the file reaches the caller; ArchiveError is raised
    for a file that holds no pickle, or whose record is not a dict holding
    the keys "files" and "func". ``names`` is filled as by :func:`load`.
    """
    with open(path, "rb") as file:
        record = load(file, names)
    if type(record) is not dict:
        raise ArchiveError(f"the file holds {describe_value(record)['type']}, not an archive record")
    missing = [key for key in REQUIRED_KEYS if key not in record]
    if missing:
        listed = " and ".join(repr(key) for key in missing)
        noun = "entry" if len(missing) == 1 else "entries"
        raise ArchiveError(f"the archive record has no {listed} {noun}")
    return record


# ---------------------------------------------------------------------------
# Describing what was read
# ---------------------------------------------------------------------------

_SCALARS = (type(None), bool, int, float, str, bytes)
_CONTAINERS = (list, tuple, dict)

_short = reprlib.Repr()
_short.maxlevel = 4
_short.maxstring = 60
_short.maxother = 60
_short.maxlong = 60
_short.maxlist = _short.maxtuple = _short.maxdict = 8
_short.maxset = _short.maxfrozenset = 8


def is_plain(value: Any, _depth: int = 0, _seen: set[int] | None = None) -> bool:
    """True for None, bool, int, float, str, bytes, and for lists, tuples
    and dicts (with plain keys) made only of those."""
    kind = type(value)
    if kind in _SCALARS:
        return True
    if kind not in _CONTAINERS or _depth > 50:
        return False
    seen = set() if _seen is None else _seen
    if id(value) in seen:  # a container that holds itself
        return False
    seen.add(id(value))
    try:
        if kind is dict:
            return all(
                is_plain(k, _depth + 1, seen) and is_plain(v, _depth + 1, seen) for k, v in value.items()
            )
        return all(is_plain(item, _depth + 1, seen) for item in value)
    finally:
        seen.discard(id(value))


def _truncate(text: str, limit: int) -> str:
    return text if len(text) <= limit else text[: limit - 3] + "..."


def _shape_of(call: Call) -> tuple | None:
    """The shape of a pickled numpy array or torch tensor, if recorded."""
    name = call.func_name or ""
    if name == "dill._dill._create_array" and len(call.args) >= 3:
        state = call.args[2]
        if isinstance(state, tuple) and len(state) >= 2 and isinstance(state[1], tuple):
            return state[1]
    if name.endswith("._reconstruct"):
        for state in call.states:
            if isinstance(state, tuple) and len(state) >= 2 and isinstance(state[1], tuple):
                return state[1]
    if name.startswith("torch._utils._rebuild_") and len(call.args) >= 3:
        size = call.args[2]
        if isinstance(size, tuple):
            return size
        inner = call.args[0]
        if isinstance(inner, Call):
            return _shape_of(inner)
    return None


_TYPE_OF_CALL = {
    "dill._dill._create_function": "function",
    "dill._dill._create_code": "code",
    "dill._dill._create_cell": "cell",
    "dill._dill._create_lock": "lock",
    "dill._dill._create_rlock": "lock",
    "dill._dill._create_filehandle": "file",
    "dill._dill._create_stringi": "StringIO",
    "dill._dill._create_stringo": "StringIO",
    "dill._dill._import_module": "module",
    "dill._dill._create_type": "type",
    "dill._dill._create_namedtuple": "type",
    "torch._utils._rebuild_tensor_v2": "torch.Tensor",
    "torch._utils._rebuild_tensor": "torch.Tensor",
    "torch._utils._rebuild_parameter": "torch.nn.Parameter",
    "torch._tensor._rebuild_from_type_v2": "torch.Tensor",
}


def _type_of_call(call: Call) -> str:
    name = call.func_name
    if name is None:
        if isinstance(call.func, Call):
            inner = call.func
            if inner.func_name == "dill._dill._load_type" and inner.args and type(inner.args[0]) is str:
                # A type that dill names, called: MethodType(func, obj) etc.
                return {"MethodType": "method"}.get(inner.args[0], inner.args[0])
            return f"object made by {_type_of_call(inner)}"
        return "object"
    if name in _TYPE_OF_CALL:
        return _TYPE_OF_CALL[name]
    if name == "dill._dill._load_type":
        return "type"
    if name == "dill._dill._create_array":
        return "numpy.ndarray"
    if name in ("copyreg._reconstructor", "copyreg.__newobj__", "copyreg.__newobj_ex__") or name.endswith(
        "._reconstruct"
    ):
        if call.args and isinstance(call.args[0], Global):
            return call.args[0].dotted
    if call.how in ("new", "inst"):
        return name
    last = name.rpartition(".")[2]
    if last[:1].isupper():  # calling a class
        return name
    if name in ("builtins.getattr", "__builtin__.getattr"):
        return "attribute"
    return f"object made by {name}"


def describe_value(value: Any) -> dict[str, Any]:
    """{"type": text, "value": short repr or None}: the value only for plain data.

    Placeholders are described by the globals they name; nothing is called.
    """
    kind = type(value)
    described: dict[str, Any] = {"type": kind.__name__, "value": None}
    if isinstance(value, Global):
        described["type"] = "global"
        described["value"] = None
        described["refers_to"] = value.dotted
    elif isinstance(value, Call):
        described["type"] = _type_of_call(value)
        shape = _shape_of(value)
        if shape is not None and all(type(n) is int for n in shape):
            described["shape"] = list(shape)
    elif isinstance(value, Persistent):
        described["type"] = "persistent reference"
    elif kind in _SCALARS or kind in _CONTAINERS:
        if kind in _CONTAINERS:
            try:
                described["length"] = len(value)
            except Exception:  # pragma: no cover - plain containers have a length
                pass
        if is_plain(value):
            try:
                described["value"] = _truncate(_short.repr(value), 80)
            except RecursionError:  # pragma: no cover - is_plain bounds the depth
                described["value"] = None
    return described


# Flags of a code object (the values of inspect.CO_VARARGS and CO_VARKEYWORDS).
_CO_VARARGS = 0x04
_CO_VARKEYWORDS = 0x08


def _code_fields(code: Any) -> dict[str, Any]:
    """The fields of a code object that dill recorded for ``_create_code``."""
    if not (isinstance(code, Call) and code.func_name == "dill._dill._create_code"):
        return {}
    args = list(code.args)
    if args and type(args[0]) is not int:  # a leading co_lnotab
        args = args[1:]
    names: tuple[str, ...]
    if len(args) in (17, 18, 20):  # 3.11/3.12 (and PyPy, 3.11 alpha) layouts
        names = ("argcount", "posonlyargcount", "kwonlyargcount", "nlocals", "stacksize", "flags",
                 "code", "consts", "names", "varnames", "filename", "name", "qualname", "firstlineno")
    elif len(args) == 16:  # 3.8 - 3.10
        names = ("argcount", "posonlyargcount", "kwonlyargcount", "nlocals", "stacksize", "flags",
                 "code", "consts", "names", "varnames", "filename", "name", "firstlineno")
    elif len(args) == 15:  # 3.7
        names = ("argcount", "kwonlyargcount", "nlocals", "stacksize", "flags",
                 "code", "consts", "names", "varnames", "filename", "name", "firstlineno")
    else:
        return {}
    return dict(zip(names, args))


def _parameters(fields: dict[str, Any], defaults: Any, kwdefaults: Any) -> list[str] | None:
    varnames = fields.get("varnames")
    argcount = fields.get("argcount")
    kwonly = fields.get("kwonlyargcount", 0)
    posonly = fields.get("posonlyargcount", 0)
    flags = fields.get("flags", 0)
    if type(varnames) is not tuple or type(argcount) is not int or type(kwonly) is not int:
        return None
    if type(flags) is not int or not all(type(n) is str for n in varnames):
        return None
    params: list[str] = []
    positional = list(varnames[:argcount])
    default_values = list(defaults) if type(defaults) is tuple else []
    first_default = len(positional) - len(default_values)
    for index, name in enumerate(positional):
        text = name
        if index >= first_default:
            text += "=" + _default_text(default_values[index - first_default])
        params.append(text)
        if type(posonly) is int and posonly and index == posonly - 1:
            params.append("/")
    position = argcount
    star = None
    if flags & _CO_VARARGS:
        star = varnames[argcount + kwonly] if argcount + kwonly < len(varnames) else "args"
    if star is not None:
        params.append("*" + star)
    elif kwonly:
        params.append("*")
    kw = kwdefaults if type(kwdefaults) is dict else {}
    for name in varnames[position : position + kwonly]:
        params.append(name + ("=" + _default_text(kw[name]) if name in kw else ""))
    if flags & _CO_VARKEYWORDS:
        index = argcount + kwonly + (1 if flags & _CO_VARARGS else 0)
        params.append("**" + (varnames[index] if index < len(varnames) else "kwargs"))
    return params


def _default_text(value: Any) -> str:
    described = describe_value(value)
    if described["value"] is not None:
        return _truncate(described["value"], 30)
    return f"<{described['type']}>"


def _module_of_globals(globs: Any) -> str | None:
    if isinstance(globs, Global):
        if (globs.module, globs.name) == ("__builtin__", "__main__"):
            return "__main__"
        if globs.name == "__dict__":  # "c<module>\n__dict__": a module's namespace
            return globs.module
    if type(globs) is dict and type(globs.get("__name__")) is str:
        return globs["__name__"]
    return None


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
    if isinstance(func, Global):
        info.update(kind="global", stored="by reference", module=func.module, qualname=func.name)
        info["name"] = func.name.rpartition(".")[2]
        return info
    if not isinstance(func, Call):
        info["kind"] = describe_value(func)["type"]
        return info
    name = func.func_name
    if name == "dill._dill._create_function":
        args = func.args
        fields = _code_fields(args[0] if args else None)
        state_dict: dict = {}
        for state in func.states:
            if isinstance(state, tuple) and len(state) == 2 and type(state[1]) is dict:
                state_dict.update(state[1])
        fname = args[2] if len(args) > 2 and type(args[2]) is str else fields.get("name")
        qualname = state_dict.get("__qualname__")
        if type(qualname) is not str:
            qualname = fields.get("qualname") if type(fields.get("qualname")) is str else fname
        module = state_dict.get("__module__")
        if type(module) is not str:
            module = _module_of_globals(args[1] if len(args) > 1 else None)
        kwdefaults = state_dict.get("__kwdefaults__")
        info.update(
            kind="function",
            stored="by value",
            name=fname if type(fname) is str else None,
            qualname=qualname,
            module=module,
            filename=fields.get("filename") if type(fields.get("filename")) is str else None,
            firstlineno=fields.get("firstlineno") if type(fields.get("firstlineno")) is int else None,
            parameters=_parameters(fields, args[3] if len(args) > 3 else None, kwdefaults),
        )
        return info
    kind = _type_of_call(func)
    if kind == "method" and func.args:
        inner = describe_function(func.args[0])
        inner["kind"] = "method"
        if inner["parameters"]:
            inner["parameters"] = inner["parameters"][1:]  # the bound first parameter
        return inner
    info["kind"] = kind
    return info


def _text_stats(text: Any) -> tuple[int | None, int | None]:
    if type(text) is not str:
        return None, None
    size = len(text.encode("utf-8", "surrogatepass"))
    lines = text.count("\n") + (1 if text and not text.endswith("\n") else 0)
    return size, lines


def summarize(record: dict) -> dict[str, Any]:
    """A JSON-ready summary of an archive record read by :func:`read_archive`.

    Raises ArchiveError for a record nested too deeply to describe.
    """
    try:
        return _summarize(record)
    except RecursionError:
        raise ArchiveError("the archive record is nested too deeply") from None


def _summarize(record: dict) -> dict[str, Any]:
    args = record.get("args")
    arguments: list[dict[str, Any]] | None
    if "args" not in record:
        arguments = None
    elif type(args) is dict:
        arguments = []
        for key, value in args.items():
            entry = {"name": key if type(key) is str else _truncate(repr(describe_value(key)["value"]), 40)}
            entry.update(describe_value(value))
            arguments.append(entry)
    else:
        arguments = None  # see "args_type"
    files = record.get("files", {})
    file_rows: list[dict[str, Any]] = []
    if type(files) is dict:
        for path, text in files.items():
            size, lines = _text_stats(text)
            file_rows.append(
                {
                    "path": path if type(path) is str else repr(describe_value(path)["value"]),
                    "bytes": size,
                    "lines": lines,
                    **({} if type(text) is str else {"type": describe_value(text)["type"]}),
                }
            )
    summary: dict[str, Any] = {
        "function": describe_function(record.get("func")),
        "args": arguments,
        "files": file_rows,
    }
    if "args" in record and type(args) is not dict:
        summary["args_type"] = describe_value(args)["type"]
    if type(files) is not dict:
        summary["files_type"] = describe_value(files)["type"]
    other = [key for key in record if key not in ("args", "files", "func")]
    if other:
        summary["other_keys"] = [k if type(k) is str else describe_value(k)["type"] for k in other]
    return summary


def source_files(record: dict) -> dict[str, str]:
    """The record's file dictionary, keeping only str paths with str texts."""
    files = record.get("files")
    if type(files) is not dict:
        return {}
    return {path: text for path, text in files.items() if type(path) is str and type(text) is str}
