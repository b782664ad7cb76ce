"""What placeholders stand for, read from the stream without making anything.

The type a call makes ("function", "numpy.ndarray", "object made by
os.system"), the element type and shape of a pickled numpy array or torch
tensor, and the value of a numpy scalar: facts the stream records about
objects that the reader never builds. How they are printed is the view's.
"""

from __future__ import annotations

import io
import struct
from typing import Any

from ..terminal import clean_text
from .budget import ArchiveError, Budget, Limits
from .placeholders import Call, Global, OpaqueKey, Persistent, Skipped, StreamSet

__all__ = ["array_facts", "describe_type", "numpy_dtype", "numpy_scalar_value", "type_of_call"]

# How many placeholders of a chain (a call of a call of ...) are looked at.
CHAIN_LOOK = 8

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

_NUMPY_RECONSTRUCT = ("numpy.core.multiarray._reconstruct", "numpy._core.multiarray._reconstruct")
_NUMPY_SCALAR = ("numpy.core.multiarray.scalar", "numpy._core.multiarray.scalar")

# Characters kept of a dtype's name, and of a field name inside it.
_DTYPE_CHARS = 120
_FIELD_CHARS = 40
# The longest type code a dtype is made with ("<U20", "f8"): a longer one is
# shown cut, never parsed.
_DTYPE_CODE_CHARS = 24
# Levels of structured dtypes inside structured dtypes that are spelled out.
_DTYPE_LEVELS = 2
# Fields of a structured dtype that are spelled out.
_DTYPE_FIELDS = 8


def describe_type(value: Any) -> str:
    """A short name for what ``value`` stands for; nothing is called."""
    if isinstance(value, Global):
        return "global"
    if isinstance(value, Call):
        return type_of_call(value)
    if isinstance(value, Persistent):
        return "persistent reference"
    if type(value) is Skipped:
        return "an object that was not read"
    if type(value) is StreamSet:
        return value.kind
    if type(value) is OpaqueKey:
        return describe_type(value.value)
    return type(value).__name__


def type_of_call(call: Call) -> str:
    """The type of what a call makes, as far as the stream tells."""
    prefix = ""
    for depth in range(CHAIN_LOOK):
        if depth == 3:
            return prefix + "..."
        name = call.func_name
        if name is not None:
            return prefix + _type_of_named_call(call, name)
        inner = call.func
        if not isinstance(inner, Call):
            return prefix + "object"
        if inner.func_name == "dill._dill._load_type" and inner.args and type(inner.args[0]) is str:
            # A type that dill names, called: MethodType(func, obj) etc.
            kind = inner.args[0]
            return prefix + ({"MethodType": "method"}.get(kind, kind))
        prefix += "object made by "
        call = inner
    return prefix + "object"


def _type_of_named_call(call: Call, name: str) -> str:
    if name in _TYPE_OF_CALL:
        return _TYPE_OF_CALL[name]
    if name == "dill._dill._load_type":
        return "type"
    if name == "dill._dill._create_array":
        return "numpy.ndarray"
    if name in _NUMPY_SCALAR:
        dtype = numpy_dtype(call.args[0]) if call.args else None
        return f"numpy.{dtype}" if dtype and dtype.isidentifier() else "numpy scalar"
    if name in ("copyreg._reconstructor", "copyreg.__newobj__", "copyreg.__newobj_ex__") or name.endswith("._reconstruct"):
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


# numpy type codes ("f8") and their names.
_NUMPY_KINDS = {"b": "bool", "i": "int", "u": "uint", "f": "float", "c": "complex"}


def numpy_dtype(dtype: Any, level: int = 0) -> str | None:
    """The name of a pickled numpy dtype ("float32", "<U2", ...), or None."""
    if not isinstance(dtype, Call):
        return None
    name = dtype.func_name or ""
    if name.rpartition(".")[2] != "dtype" or not name.startswith("numpy") or not dtype.args:
        return None
    code = dtype.args[0]
    if type(code) is not str or not code:
        return None
    if len(code) > _DTYPE_CODE_CHARS or not code.isascii():
        return clean_text(code, _DTYPE_CHARS)
    state = dtype.states[-1] if dtype.states and type(dtype.states[-1]) is tuple else ()
    order = state[1] if len(state) > 1 and type(state[1]) is str else ""
    kind, size = code[0], code[1:]
    if kind == "b" and size == "1":
        text = "bool"
    elif kind in _NUMPY_KINDS and size.isdigit():
        text = f"{_NUMPY_KINDS[kind]}{int(size) * 8}"
    elif kind in "Mm" and size.isdigit():
        text = "datetime64" if kind == "M" else "timedelta64"
        meta = state[8] if len(state) > 8 and type(state[8]) is tuple else ()
        unit = meta[1] if len(meta) > 1 and type(meta[1]) is tuple and meta[1] else None
        if unit and type(unit[0]) is bytes and unit[0].isascii() and unit[0].isalnum():
            text += f"[{unit[0].decode()}]"
    elif kind == "O":
        text = "object"
    elif kind in "US" and size.isdigit():
        text = (">" if order == ">" else "<") + code if kind == "U" else "|" + code
    elif kind == "V":
        names = state[3] if len(state) > 3 and type(state[3]) is tuple else None
        fields = state[4] if len(state) > 4 and type(state[4]) is dict else None
        if names and fields is not None and level >= _DTYPE_LEVELS:
            text = "struct(...)"
        elif names and fields is not None:
            parts = []
            for field in names[:_DTYPE_FIELDS]:
                entry = fields.get(field) if type(field) is str else None
                inner = numpy_dtype(entry[0], level + 1) if type(entry) is tuple and entry else None
                parts.append(f"{clean_text(field, _FIELD_CHARS)}: {inner or '?'}")
            text = "struct(" + ", ".join(parts) + (", ..." if len(names) > _DTYPE_FIELDS else "") + ")"
        else:
            text = code
    else:
        text = code
    if order == ">" and kind not in "US":
        text += " (big-endian)"
    return clean_text(text, _DTYPE_CHARS)


_SCALAR_FORMATS = {"bool": "?", "int8": "b", "int16": "h", "int32": "i", "int64": "q", "uint8": "B",
                   "uint16": "H", "uint32": "I", "uint64": "Q", "float16": "e", "float32": "f", "float64": "d"}


def numpy_scalar_value(call: Call) -> str | None:
    """The repr of a pickled numpy scalar's value, or None."""
    if call.func_name not in _NUMPY_SCALAR or len(call.args) < 2 or type(call.args[1]) is not bytes:
        return None
    dtype = numpy_dtype(call.args[0])
    fmt = _SCALAR_FORMATS.get(dtype or "")
    if fmt is None or struct.calcsize("<" + fmt) != len(call.args[1]):
        return None
    return repr(struct.unpack("<" + fmt, call.args[1])[0])


def _ints(values: Any) -> list[int] | None:
    if type(values) is tuple and len(values) <= 64 and all(type(n) is int and 0 <= n < 2**63 for n in values):
        return list(values)
    return None


def array_facts(call: Call) -> dict[str, Any]:
    """{"shape": [...], "dtype": "..."} of a pickled numpy array or torch
    tensor, as far as the stream records them."""
    found: dict[str, Any] = {}
    for _ in range(CHAIN_LOOK):
        name = call.func_name or ""
        state: Any = None
        if name == "dill._dill._create_array" and len(call.args) >= 3:
            state = call.args[2]
        elif name in _NUMPY_RECONSTRUCT:
            state = call.states[-1] if call.states else None
        if state is not None:
            if type(state) is tuple and len(state) >= 3:
                shape = _ints(state[1])
                if shape is not None:
                    found["shape"] = shape
                dtype = numpy_dtype(state[2])
                if dtype:
                    found["dtype"] = dtype
            return found
        if name in ("torch._utils._rebuild_tensor_v2", "torch._utils._rebuild_tensor") and len(call.args) >= 3:
            shape = _ints(call.args[2])
            if shape is not None:
                found["shape"] = shape
            dtype = _torch_dtype(call.args[0])
            if dtype:
                found["dtype"] = dtype
            return found
        if name == "torch._utils._rebuild_parameter" and call.args and isinstance(call.args[0], Call):
            call = call.args[0]
            continue
        if name == "torch._tensor._rebuild_from_type_v2" and len(call.args) >= 3:
            # (rebuild function, tensor type, its arguments, state)
            if isinstance(call.args[0], Global) and type(call.args[2]) is tuple:
                call = Call(call.args[0], call.args[2])
                continue
        return found
    return found


_TORCH_STORAGES = {
    "DoubleStorage": "float64", "FloatStorage": "float32", "HalfStorage": "float16", "BFloat16Storage": "bfloat16",
    "LongStorage": "int64", "IntStorage": "int32", "ShortStorage": "int16", "CharStorage": "int8",
    "ByteStorage": "uint8", "BoolStorage": "bool", "ComplexDoubleStorage": "complex128",
    "ComplexFloatStorage": "complex64", "QUInt8Storage": "quint8", "QInt8Storage": "qint8",
    "QInt32Storage": "qint32", "QUInt4x2Storage": "quint4x2", "QUInt2x4Storage": "quint2x4",
}
_TORCH_DTYPES = frozenset(_TORCH_STORAGES.values()) | {"float", "double", "half", "long", "int", "short", "uint16", "uint32", "uint64"}
# The pickles at the start of torch's own storage format: magic number,
# protocol version, system information, then the storage reference.
_TORCH_HEADER_PICKLES = 4
_TORCH_HEADER_LIMITS = Limits(nodes=10_000, memo=10_000, allocation=1024 * 1024)


def _torch_dtype(storage: Any) -> str | None:
    """The element type of a pickled torch storage."""
    if isinstance(storage, Persistent):
        return _torch_dtype_of_pid(storage.pid)
    if not isinstance(storage, Call) or not storage.args:
        return None
    if storage.func_name == "torch.storage._load_from_bytes" and type(storage.args[0]) is bytes:
        from .machine import load  # not at the top: the machine imports this module

        # The storage was saved by torch into these bytes: read their header.
        source = io.BytesIO(storage.args[0])
        budget = Budget(_TORCH_HEADER_LIMITS)
        try:
            value: Any = None
            for _ in range(_TORCH_HEADER_PICKLES):
                value = load(source, budget=budget)
        except ArchiveError:
            return None
        return _torch_dtype(value)
    return None


def _torch_dtype_of_pid(pid: Any) -> str | None:
    if type(pid) is not tuple or len(pid) < 2:
        return None
    kind = pid[1]
    if isinstance(kind, Global):
        if kind.module == "torch" and kind.name in _TORCH_STORAGES:
            return _TORCH_STORAGES[kind.name]
        if kind.module == "torch" and kind.name in _TORCH_DTYPES:
            return kind.name
    for item in pid[2:]:
        if isinstance(item, Global) and item.module == "torch" and item.name in _TORCH_DTYPES:
            return item.name
    return None
