"""Read figvault archive files without running anything stored in them.

An archive file is a dill (pickle) stream. Loading such a stream the ordinary
way imports the modules it names and calls the functions it names, so a
crafted file can run any code. The reader here never does that: it is a
pickle reader of its own, in which every global name in the stream
(``module.name``) becomes a :class:`Global` placeholder that only records the
two strings, and every operation that would call, instantiate or update an
object (REDUCE, NEWOBJ, NEWOBJ_EX, INST, OBJ, BUILD, APPEND(S), SETITEM(S)
and ADDITEMS on something that is not a plain container) is recorded on
placeholders instead. Persistent ids become :class:`Persistent` placeholders.
The result is the archive record made of plain Python data (dicts, lists,
tuples, strings, numbers, bytes, ...) and placeholder trees, from which the
saved function's name, the saved arguments and the saved source files can be
read.

A hostile file must not be able to make the reader itself crash, hang or
exhaust memory, so reading runs within budgets (:class:`Limits`): the number
of pickle operations, memo entries and bytes of data made from the stream
are bounded, a declared length is checked against the bytes that are really
left before anything is allocated for it, and dictionary keys whose hash an
attacker could choose or whose hashing could recurse without bound are kept
unhashed (:class:`OpaqueKey`). Sets are kept as :class:`StreamSet` for the
same reason. A budget that runs out raises :class:`LimitError`.

Nothing here imports a module named by the stream or calls an object that
the stream produced, apart from the plain containers built by the reader
itself and the placeholder classes defined in this module.
"""

from __future__ import annotations

import _compat_pickle
import codecs
import copyreg
import io
import math
import os
import pickle
import stat
import struct
import sys
from dataclasses import dataclass
from typing import Any, BinaryIO, Callable, Iterable, Iterator, NoReturn

__all__ = [
    "ArchiveError",
    "Budget",
    "Call",
    "Global",
    "LimitError",
    "Limits",
    "OpaqueKey",
    "Persistent",
    "Placeholder",
    "ReadInfo",
    "SafeUnpickler",
    "StreamSet",
    "clean_text",
    "describe_function",
    "describe_value",
    "is_plain",
    "load",
    "loads",
    "read_archive",
    "read_record",
    "source_files",
    "summarize",
    "survey",
]

# The keys that a record must hold to be expanded (its "args" are optional).
REQUIRED_KEYS = ("files", "func")

# ---------------------------------------------------------------------------
# Budgets
# ---------------------------------------------------------------------------

# Longest chain of nested containers and placeholders in a value.
MAX_DEPTH = 300
# Pickle operations read from one stream, and objects visited by one walk
# over what was read.
MAX_NODES = 1_000_000
# Entries of the pickle memo (each PUT/BINPUT/MEMOIZE adds one).
MAX_MEMO = 500_000
# Bytes of text, bytes and integer data made from one command's archives.
MAX_ALLOCATION = 512 * 1024 * 1024
# Characters that one command may print.
MAX_OUTPUT = 16 * 1024 * 1024
# Components of one file key ("./a/b/c.py" has 3).
MAX_PATH_PARTS = 256
# Bytes of source text handed to compile() or ast.parse() at a time.
MAX_PARSE_BYTES = 512 * 1024

# Memo indices are at most 32 bits wide in the binary opcodes; text opcodes
# may name any integer, and large ones would collide in the memo's hash table.
_MAX_MEMO_INDEX = 2**32 - 1
# Reads up to this size are made at once; larger ones are checked against the
# bytes left first, or read piece by piece when the size is unknown.
_SMALL_READ = 64 * 1024
_READ_CHUNK = 1024 * 1024


@dataclass(frozen=True)
class Limits:
    """The budgets of one read (defaults: the module's MAX_* constants)."""

    depth: int = MAX_DEPTH
    nodes: int = MAX_NODES
    memo: int = MAX_MEMO
    allocation: int = MAX_ALLOCATION
    output: int = MAX_OUTPUT
    path_parts: int = MAX_PATH_PARTS
    parse_bytes: int = MAX_PARSE_BYTES


class ArchiveError(Exception):
    """The file cannot be read as a figvault archive."""


class LimitError(ArchiveError):
    """A budget ran out: ``what`` exceeds ``limit`` (both texts)."""

    def __init__(self, what: str, limit: str) -> None:
        super().__init__(f"{what} exceeds {limit}")
        self.what = what
        self.limit = limit


def count_text(number: int, unit: str = "") -> str:
    """12,345 bytes: a count with thousands separators and a unit."""
    return f"{number:,}" + (f" {unit}" if unit else "")


class Budget:
    """The running counts of one command, checked against its :class:`Limits`."""

    def __init__(self, limits: Limits | None = None) -> None:
        self.limits = limits or Limits()
        self.allocated = 0
        self.printed = 0

    def allocate(self, size: int) -> None:
        """Count ``size`` bytes of data made from the stream."""
        self.allocated += size
        if self.allocated > self.limits.allocation:
            raise LimitError("the data read from the archive", count_text(self.limits.allocation, "bytes"))

    def allocation_left(self) -> int:
        return max(0, self.limits.allocation - self.allocated)

    def output(self, size: int) -> None:
        """Count ``size`` characters about to be printed."""
        self.printed += size
        if self.printed > self.limits.output:
            raise LimitError("the output", count_text(self.limits.output, "characters"))

    def check_depth(self, depth: int) -> None:
        if depth > self.limits.depth:
            raise LimitError("the nesting depth of the archive's data", count_text(self.limits.depth, "levels"))

    def check_nodes(self, count: int, what: str = "the number of objects to inspect") -> None:
        if count > self.limits.nodes:
            raise LimitError(what, count_text(self.limits.nodes))

    def check_parse(self, size: int, name: str) -> None:
        if size > self.limits.parse_bytes:
            raise LimitError(
                f"the source {name} to compile ({count_text(size, 'bytes')})",
                count_text(self.limits.parse_bytes, "bytes"),
            )

    def check_path(self, parts: int) -> None:
        if parts > self.limits.path_parts:
            raise LimitError(f"a file path of {count_text(parts)} parts", count_text(self.limits.path_parts, "parts"))


# ---------------------------------------------------------------------------
# Cleaning text for a terminal
# ---------------------------------------------------------------------------


def clean_text(text: Any, limit: int | None = None) -> str:
    """``text`` without control characters or line breaks (they are written as
    escapes, as repr() writes them), cut to about ``limit`` characters."""
    if type(text) is not str:
        text = str(text)
    if limit is not None and len(text) > limit:
        text = text[: max(0, limit - 3)]
        cut = True
    else:
        cut = False
    if not text.isprintable():
        text = "".join(ch if ch.isprintable() else repr(ch)[1:-1] for ch in text)
        if limit is not None and len(text) > limit:
            text = text[: max(0, limit - 3)]
            cut = True
    return text + "..." if cut else text


# ---------------------------------------------------------------------------
# Placeholders
# ---------------------------------------------------------------------------

_NOTHING: tuple = ()


class Placeholder:
    """An object described by the stream but never made.

    Calling a placeholder returns a :class:`Call` that records the callee and
    the arguments; ``__setstate__`` and the container protocol used by the
    reader only record what they are given (``states``, ``items`` and
    ``entries``, empty tuples until something is recorded).
    """

    __slots__ = ("states", "items", "entries", "__weakref__")

    def __init__(self) -> None:
        self.states: list[Any] | tuple = _NOTHING  # BUILD states, in order
        self.items: list[Any] | tuple = _NOTHING  # APPEND(S) / ADDITEMS values
        self.entries: list[tuple[Any, Any]] | tuple = _NOTHING  # SETITEM(S) pairs

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
        return f"{self.module}.{self.name}" if self.module else self.name

    def __repr__(self) -> str:
        return f"<global {clean_text(self.dotted, 200)}>"


class Call(Placeholder):
    """The result of calling (or instantiating) ``func`` with ``args``.

    ``how`` tells which opcode made it: "call" (REDUCE), "new" (NEWOBJ,
    NEWOBJ_EX) or "inst" (INST, OBJ).
    """

    __slots__ = ("func", "args", "kwargs", "how")

    def __init__(self, func: Any, args: tuple, kwargs: dict | None = None, how: str = "call") -> None:
        super().__init__()
        self.func = func
        self.args = tuple(args)
        self.kwargs = dict(kwargs) if kwargs else {}
        self.how = how

    @property
    def func_name(self) -> str | None:
        """The dotted name of the callee when it is a global, else None."""
        return self.func.dotted if isinstance(self.func, Global) else None

    def parts(self) -> list[Any]:
        found = [self.func, *self.args]
        for key, value in self.kwargs.items():
            found.append(key)
            found.append(value)
        return found + super().parts()

    def __repr__(self) -> str:
        callee = self.func_name or type(self.func).__name__
        return f"<call {clean_text(callee, 200)}(...)>"


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


_PLACEHOLDER_TYPES = (Global, Call, Persistent, Placeholder)

# Globals that dill's own loader answers without importing anything: the
# loading process's __main__ module and the type of None.
DILL_SPECIAL_GLOBALS = frozenset({("__builtin__", "__main__"), ("__builtin__", "NoneType")})

# Integers below this size hash to themselves (modulo 2**61 - 1), so they
# cannot be made to collide; larger ones can.
_SAFE_INT = 2**61 - 1


# ---------------------------------------------------------------------------
# The reader
# ---------------------------------------------------------------------------


class _Stop(Exception):
    def __init__(self, value: Any) -> None:
        super().__init__()
        self.value = value


def _refuse(opcode: str, target: Any) -> NoReturn:
    raise pickle.UnpicklingError(f"{opcode} applied to a {type(target).__name__}")


@dataclass(repr=False)
class ReadInfo:
    """What a read saw besides the value: the global names the stream uses
    ("module.name", each once, in first-seen order), the modules that an
    ordinary load imports for them, the highest protocol,
    and, per dictionary, the keys that were set more than once."""

    names: list[str]
    modules: list[str]
    protocol: int
    duplicates: dict[int, tuple[dict, list[Any], int]]

    def __repr__(self) -> str:  # the duplicates hold read data, which may be huge
        return f"<ReadInfo: {len(self.names)} names, protocol {self.protocol}>"

    def duplicate_keys(self, target: dict) -> tuple[list[Any], int]:
        """(up to 8 keys set again, how many times keys were set again) in ``target``."""
        entry = self.duplicates.get(id(target))
        if entry is None or entry[0] is not target:
            return [], 0
        return entry[1], entry[2]


class SafeUnpickler:
    """A pickle reader that imports nothing and calls nothing from the stream,
    within the budgets of a :class:`Budget`."""

    def __init__(self, file: BinaryIO, budget: Budget | None = None) -> None:
        self.file = file
        self.budget = budget or Budget()
        self.limits = self.budget.limits
        self.names: dict[str, None] = {}
        self.modules: dict[str, None] = {}
        self.duplicates: dict[int, tuple[dict, list[Any], int]] = {}
        self.proto = 0
        self.memo: dict[int, Any] = {}
        self.stack: list[Any] = []
        self.metastack: list[list[Any]] = []
        self._size = self._file_size(file)
        self.operations = 0

    # -- reading bytes -------------------------------------------------------

    @staticmethod
    def _file_size(file: BinaryIO) -> int | None:
        """The size of a regular file or an in-memory buffer, else None."""
        if isinstance(file, io.BytesIO):
            return len(file.getbuffer())
        try:
            info = os.fstat(file.fileno())
        except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
            return None
        return info.st_size if stat.S_ISREG(info.st_mode) else None

    def _left(self) -> int | None:
        if self._size is None:
            return None
        try:
            return max(0, self._size - self.file.tell())
        except (OSError, ValueError):
            return None

    def read(self, size: int) -> bytes:
        """Exactly ``size`` bytes; nothing is allocated for a declared length
        before the bytes are known to be there."""
        if size < 0:
            raise pickle.UnpicklingError("negative byte count")
        if size <= _SMALL_READ:
            data = self.file.read(size)
        else:
            left = self._left()
            if left is not None and size > left:
                raise LimitError(
                    f"a declared length of {count_text(size, 'bytes')}",
                    f"the {count_text(left, 'bytes')} left in the file",
                )
            if size > self.budget.allocation_left():
                self.budget.allocate(size)  # raises
            if left is not None:
                data = self.file.read(size)
            else:
                pieces = []
                wanted = size
                while wanted:
                    piece = self.file.read(min(wanted, _READ_CHUNK))
                    if not piece:
                        break
                    pieces.append(piece)
                    wanted -= len(piece)
                data = b"".join(pieces)
        if len(data) != size:
            raise EOFError
        return data

    def readline(self) -> bytes:
        """One text line, newline included, within the allocation budget."""
        limit = self.budget.allocation_left() + 1
        line = self.file.readline(limit)
        if not line.endswith(b"\n"):
            if len(line) >= limit:
                self.budget.allocate(len(line))  # raises
            raise EOFError
        self.budget.allocate(len(line))
        return line

    def payload(self, size: int) -> bytes:
        """``size`` bytes that become (part of) an object."""
        data = self.read(size)
        self.budget.allocate(size)
        return data

    # -- the stack -----------------------------------------------------------

    def pop_mark(self) -> list[Any]:
        items = self.stack
        if not self.metastack:
            raise pickle.UnpicklingError("could not find MARK")
        self.stack = self.metastack.pop()
        return items

    def push(self, value: Any) -> None:
        self.stack.append(value)

    def top(self) -> Any:
        if not self.stack:
            raise pickle.UnpicklingError("the stream takes an object from an empty stack")
        return self.stack[-1]

    def pop(self) -> Any:
        if not self.stack:
            raise pickle.UnpicklingError("the stream takes an object from an empty stack")
        return self.stack.pop()

    # -- the load loop -------------------------------------------------------

    def load(self) -> Any:
        read = self.file.read
        dispatch = _DISPATCH
        limit = self.limits.nodes
        count = 0
        try:
            while True:
                key = read(1)
                if not key:
                    raise EOFError
                count += 1
                if count > limit:
                    self.operations = count
                    raise LimitError("the number of pickle operations", count_text(limit))
                handler = dispatch[key[0]]
                if handler is None:
                    raise pickle.UnpicklingError(f"invalid load key, {key!r}")
                handler(self)
        except _Stop as stop:
            self.operations = count
            return stop.value

    # -- globals ---------------------------------------------------------------

    def find_class(self, module: str, name: str) -> Global:
        special = (module, name) in DILL_SPECIAL_GLOBALS
        if self.proto < 3 and not special:  # names of Python 2, as an ordinary load maps them
            if (module, name) in _compat_pickle.NAME_MAPPING:
                module, name = _compat_pickle.NAME_MAPPING[(module, name)]
            elif module in _compat_pickle.IMPORT_MAPPING:
                module = _compat_pickle.IMPORT_MAPPING[module]
        found = Global(module, name)
        self.names.setdefault(found.dotted)
        if not special:
            self.modules.setdefault(module)
        return found

    def get_extension(self, code: int) -> None:
        # copyreg's registry is read, never its cache: a placeholder must not
        # reach ordinary loads later in the process.
        key = copyreg._inverted_registry.get(code)  # type: ignore[attr-defined]
        if not key:
            if code <= 0:
                raise pickle.UnpicklingError("EXT specifies code <= 0")
            raise pickle.UnpicklingError(f"unregistered extension code {code}")
        self.push(self.find_class(*key))

    # -- dictionaries ------------------------------------------------------------

    def set_item(self, target: dict, key: Any, value: Any) -> None:
        kind = type(key)
        if kind is str or kind is bytes or key is None or kind is bool or (kind is int and -_SAFE_INT < key < _SAFE_INT):
            if key in target:
                self._note_duplicate(target, key)
        elif isinstance(key, _PLACEHOLDER_TYPES) or kind is OpaqueKey:
            pass  # hashed by identity
        elif kind in (list, dict, bytearray) or (kind is StreamSet and key.kind == "set"):
            raise pickle.UnpicklingError(f"a dict key is a {kind.__name__ if kind is not StreamSet else 'set'}, which cannot be hashed")
        else:
            key = OpaqueKey(key)
        target[key] = value

    def _note_duplicate(self, target: dict, key: Any) -> None:
        entry = self.duplicates.get(id(target))
        if entry is None or entry[0] is not target:
            entry = (target, [], 0)
        keys, count = entry[1], entry[2] + 1
        if len(keys) < 8 and not any(type(k) is type(key) and k == key for k in keys):
            keys.append(key)
        self.duplicates[id(target)] = (target, keys, count)

    def set_items(self, target: Any, items: list[Any], opcode: str) -> None:
        if len(items) % 2:
            raise pickle.UnpicklingError(f"{opcode} with an odd number of items")
        if type(target) is dict:
            for index in range(0, len(items), 2):
                self.set_item(target, items[index], items[index + 1])
        elif isinstance(target, Placeholder):
            for index in range(0, len(items), 2):
                target[items[index]] = items[index + 1]
        else:
            _refuse(opcode, target)

    # -- memo ------------------------------------------------------------------

    def memo_put(self, index: int) -> None:
        if index < 0:
            raise pickle.UnpicklingError("negative PUT argument")
        if index > _MAX_MEMO_INDEX:
            raise LimitError(f"a memo index of {count_text(index)}", count_text(_MAX_MEMO_INDEX))
        memo = self.memo
        if index not in memo and len(memo) >= self.limits.memo:
            raise LimitError("the number of memo entries", count_text(self.limits.memo))
        memo[index] = self.top()

    def memo_get(self, index: int) -> None:
        try:
            self.push(self.memo[index])
        except (KeyError, TypeError):
            raise pickle.UnpicklingError(f"Memo value not found at index {index}") from None

    def info(self) -> ReadInfo:
        return ReadInfo(list(self.names), list(self.modules), self.proto, self.duplicates)


def _line_int(reader: SafeUnpickler, base: int = 10) -> int:
    text = reader.readline()[:-1]
    return int(text, base)


def _decode_text(reader: SafeUnpickler, data: bytes) -> str:
    text = str(data, "utf-8", "surrogatepass")
    reader.budget.allocate(sys.getsizeof(text) - len(data))
    return text


def _decode_string(reader: SafeUnpickler, data: bytes) -> str:
    # Protocol 0-2 byte strings, as dill loads them (encoding "ASCII").
    return data.decode("ascii")


def _op_proto(r: SafeUnpickler) -> None:
    proto = r.read(1)[0]
    if proto > pickle.HIGHEST_PROTOCOL:
        raise pickle.UnpicklingError(f"unsupported pickle protocol: {proto}")
    r.proto = max(r.proto, proto)


def _op_frame(r: SafeUnpickler) -> None:
    size = struct.unpack("<Q", r.read(8))[0]
    left = r._left()
    if left is not None and size > left:
        raise LimitError(f"a declared frame length of {count_text(size, 'bytes')}", f"the {count_text(left, 'bytes')} left in the file")


def _op_stop(r: SafeUnpickler) -> None:
    raise _Stop(r.pop())


def _op_mark(r: SafeUnpickler) -> None:
    r.metastack.append(r.stack)
    r.stack = []


def _op_pop(r: SafeUnpickler) -> None:
    if r.stack:
        r.stack.pop()
    else:
        r.pop_mark()


def _op_pop_mark(r: SafeUnpickler) -> None:
    r.pop_mark()


def _op_dup(r: SafeUnpickler) -> None:
    r.push(r.top())


def _op_none(r: SafeUnpickler) -> None:
    r.push(None)


def _op_true(r: SafeUnpickler) -> None:
    r.push(True)


def _op_false(r: SafeUnpickler) -> None:
    r.push(False)


def _op_int(r: SafeUnpickler) -> None:
    line = r.readline()
    if line == b"00\n":
        r.push(False)
    elif line == b"01\n":
        r.push(True)
    else:
        r.push(int(line, 0))


def _op_binint(r: SafeUnpickler) -> None:
    r.push(struct.unpack("<i", r.read(4))[0])


def _op_binint1(r: SafeUnpickler) -> None:
    r.push(r.read(1)[0])


def _op_binint2(r: SafeUnpickler) -> None:
    r.push(struct.unpack("<H", r.read(2))[0])


def _op_long(r: SafeUnpickler) -> None:
    text = r.readline()[:-1]
    if text.endswith(b"L"):
        text = text[:-1]
    r.push(int(text, 0))


def _op_long1(r: SafeUnpickler) -> None:
    size = r.read(1)[0]
    r.push(int.from_bytes(r.payload(size), "little", signed=True))


def _op_long4(r: SafeUnpickler) -> None:
    size = struct.unpack("<i", r.read(4))[0]
    if size < 0:
        raise pickle.UnpicklingError("LONG pickle has negative byte count")
    r.push(int.from_bytes(r.payload(size), "little", signed=True))


def _op_float(r: SafeUnpickler) -> None:
    r.push(float(r.readline()[:-1]))


def _op_binfloat(r: SafeUnpickler) -> None:
    r.push(struct.unpack(">d", r.read(8))[0])


def _op_string(r: SafeUnpickler) -> None:
    data = r.readline()[:-1]
    if len(data) >= 2 and data[0] == data[-1] and data[0] in b"\"'":
        data = data[1:-1]
    else:
        raise pickle.UnpicklingError("the STRING opcode argument must be quoted")
    r.push(_decode_string(r, codecs.escape_decode(data)[0]))


def _op_binstring(r: SafeUnpickler) -> None:
    size = struct.unpack("<i", r.read(4))[0]
    if size < 0:
        raise pickle.UnpicklingError("BINSTRING pickle has negative byte count")
    r.push(_decode_string(r, r.payload(size)))


def _op_short_binstring(r: SafeUnpickler) -> None:
    r.push(_decode_string(r, r.payload(r.read(1)[0])))


def _op_binbytes(r: SafeUnpickler) -> None:
    r.push(r.payload(struct.unpack("<I", r.read(4))[0]))


def _op_short_binbytes(r: SafeUnpickler) -> None:
    r.push(r.payload(r.read(1)[0]))


def _op_binbytes8(r: SafeUnpickler) -> None:
    r.push(r.payload(struct.unpack("<Q", r.read(8))[0]))


def _op_bytearray8(r: SafeUnpickler) -> None:
    r.push(bytearray(r.payload(struct.unpack("<Q", r.read(8))[0])))


def _op_unicode(r: SafeUnpickler) -> None:
    text = str(r.readline()[:-1], "raw-unicode-escape")
    r.budget.allocate(sys.getsizeof(text))
    r.push(text)


def _op_binunicode(r: SafeUnpickler) -> None:
    r.push(_decode_text(r, r.payload(struct.unpack("<I", r.read(4))[0])))


def _op_short_binunicode(r: SafeUnpickler) -> None:
    r.push(_decode_text(r, r.payload(r.read(1)[0])))


def _op_binunicode8(r: SafeUnpickler) -> None:
    r.push(_decode_text(r, r.payload(struct.unpack("<Q", r.read(8))[0])))


def _op_next_buffer(r: SafeUnpickler) -> None:
    raise pickle.UnpicklingError("pickle stream refers to out-of-band data but no *buffers* argument was given")


def _op_readonly_buffer(r: SafeUnpickler) -> None:
    value = r.top()
    if type(value) is bytearray:
        r.stack[-1] = bytes(value)


def _op_tuple(r: SafeUnpickler) -> None:
    r.push(tuple(r.pop_mark()))


def _op_empty_tuple(r: SafeUnpickler) -> None:
    r.push(())


def _op_tuple1(r: SafeUnpickler) -> None:
    r.stack[-1:] = [(r.top(),)]


def _op_tuple2(r: SafeUnpickler) -> None:
    if len(r.stack) < 2:
        raise pickle.UnpicklingError("TUPLE2 needs two objects on the stack")
    r.stack[-2:] = [(r.stack[-2], r.stack[-1])]


def _op_tuple3(r: SafeUnpickler) -> None:
    if len(r.stack) < 3:
        raise pickle.UnpicklingError("TUPLE3 needs three objects on the stack")
    r.stack[-3:] = [(r.stack[-3], r.stack[-2], r.stack[-1])]


def _op_empty_list(r: SafeUnpickler) -> None:
    r.push([])


def _op_list(r: SafeUnpickler) -> None:
    r.push(r.pop_mark())


def _op_empty_dict(r: SafeUnpickler) -> None:
    r.push({})


def _op_dict(r: SafeUnpickler) -> None:
    items = r.pop_mark()
    made: dict = {}
    r.set_items(made, items, "DICT")
    r.push(made)


def _op_empty_set(r: SafeUnpickler) -> None:
    r.push(StreamSet("set"))


def _op_frozenset(r: SafeUnpickler) -> None:
    r.push(StreamSet("frozenset", r.pop_mark()))


def _op_append(r: SafeUnpickler) -> None:
    value = r.pop()
    target = r.top()
    if type(target) is list or isinstance(target, Placeholder):
        target.append(value)
    else:
        _refuse("APPEND", target)


def _op_appends(r: SafeUnpickler) -> None:
    items = r.pop_mark()
    target = r.top()
    if type(target) is list or isinstance(target, Placeholder):
        target.extend(items)
    else:
        _refuse("APPENDS", target)


def _op_setitem(r: SafeUnpickler) -> None:
    value = r.pop()
    key = r.pop()
    r.set_items(r.top(), [key, value], "SETITEM")


def _op_setitems(r: SafeUnpickler) -> None:
    items = r.pop_mark()
    r.set_items(r.top(), items, "SETITEMS")


def _op_additems(r: SafeUnpickler) -> None:
    items = r.pop_mark()
    target = r.top()
    if type(target) is StreamSet and target.kind == "set":
        target.items.extend(items)
    elif isinstance(target, Placeholder):
        target.extend(items)
    else:
        _refuse("ADDITEMS", target)


def _op_build(r: SafeUnpickler) -> None:
    state = r.pop()
    target = r.top()
    if isinstance(target, Placeholder):
        target.__setstate__(state)
    else:
        # An ordinary load fails on it as well: plain containers take no state.
        _refuse("BUILD", target)


def _op_global(r: SafeUnpickler) -> None:
    module = r.readline()[:-1].decode("utf-8")
    name = r.readline()[:-1].decode("utf-8")
    r.push(r.find_class(module, name))


def _op_stack_global(r: SafeUnpickler) -> None:
    name = r.pop()
    module = r.pop()
    if type(name) is not str or type(module) is not str:
        raise pickle.UnpicklingError("STACK_GLOBAL requires str")
    r.push(r.find_class(module, name))


def _instantiate(r: SafeUnpickler, klass: Any, args: list[Any]) -> None:
    if not isinstance(klass, Placeholder):
        _refuse("INST/OBJ", klass)
    r.push(Call(klass, tuple(args), how="inst"))


def _op_inst(r: SafeUnpickler) -> None:
    module = r.readline()[:-1].decode("ascii")
    name = r.readline()[:-1].decode("ascii")
    klass = r.find_class(module, name)
    _instantiate(r, klass, r.pop_mark())


def _op_obj(r: SafeUnpickler) -> None:
    args = r.pop_mark()
    if not args:
        raise pickle.UnpicklingError("OBJ without a class")
    _instantiate(r, args[0], args[1:])


def _op_reduce(r: SafeUnpickler) -> None:
    args = r.pop()
    func = r.top()
    if not isinstance(func, Placeholder):
        _refuse("REDUCE", func)
    if type(args) is not tuple:
        raise pickle.UnpicklingError("REDUCE arguments are not a tuple")
    r.stack[-1] = Call(func, args)


def _op_newobj(r: SafeUnpickler) -> None:
    args = r.pop()
    cls = r.pop()
    if not isinstance(cls, Placeholder):
        _refuse("NEWOBJ", cls)
    if type(args) is not tuple:
        raise pickle.UnpicklingError("NEWOBJ arguments are not a tuple")
    r.push(Call(cls, args, how="new"))


def _op_newobj_ex(r: SafeUnpickler) -> None:
    kwargs = r.pop()
    args = r.pop()
    cls = r.pop()
    if not isinstance(cls, Placeholder):
        _refuse("NEWOBJ_EX", cls)
    if type(args) is not tuple or type(kwargs) is not dict:
        raise pickle.UnpicklingError("NEWOBJ_EX arguments are not a tuple and a dict")
    if not all(type(key) is str for key in kwargs):
        raise pickle.UnpicklingError("NEWOBJ_EX keywords are not all strings")
    r.push(Call(cls, args, kwargs, how="new"))


def _op_persid(r: SafeUnpickler) -> None:
    try:
        pid = r.readline()[:-1].decode("ascii")
    except UnicodeDecodeError:
        raise pickle.UnpicklingError("persistent IDs in protocol 0 must be ASCII strings") from None
    r.push(Persistent(pid))


def _op_binpersid(r: SafeUnpickler) -> None:
    r.push(Persistent(r.pop()))


def _op_get(r: SafeUnpickler) -> None:
    r.memo_get(_line_int(r))


def _op_binget(r: SafeUnpickler) -> None:
    r.memo_get(r.read(1)[0])


def _op_long_binget(r: SafeUnpickler) -> None:
    r.memo_get(struct.unpack("<I", r.read(4))[0])


def _op_put(r: SafeUnpickler) -> None:
    r.memo_put(_line_int(r))


def _op_binput(r: SafeUnpickler) -> None:
    r.memo_put(r.read(1)[0])


def _op_long_binput(r: SafeUnpickler) -> None:
    r.memo_put(struct.unpack("<I", r.read(4))[0])


def _op_memoize(r: SafeUnpickler) -> None:
    r.memo_put(len(r.memo))


def _op_ext1(r: SafeUnpickler) -> None:
    r.get_extension(r.read(1)[0])


def _op_ext2(r: SafeUnpickler) -> None:
    r.get_extension(struct.unpack("<H", r.read(2))[0])


def _op_ext4(r: SafeUnpickler) -> None:
    r.get_extension(struct.unpack("<i", r.read(4))[0])


_HANDLERS: dict[bytes, Callable[[SafeUnpickler], None]] = {
    pickle.PROTO: _op_proto,
    pickle.FRAME: _op_frame,
    pickle.STOP: _op_stop,
    pickle.MARK: _op_mark,
    pickle.POP: _op_pop,
    pickle.POP_MARK: _op_pop_mark,
    pickle.DUP: _op_dup,
    pickle.NONE: _op_none,
    pickle.NEWTRUE: _op_true,
    pickle.NEWFALSE: _op_false,
    pickle.INT: _op_int,
    pickle.BININT: _op_binint,
    pickle.BININT1: _op_binint1,
    pickle.BININT2: _op_binint2,
    pickle.LONG: _op_long,
    pickle.LONG1: _op_long1,
    pickle.LONG4: _op_long4,
    pickle.FLOAT: _op_float,
    pickle.BINFLOAT: _op_binfloat,
    pickle.STRING: _op_string,
    pickle.BINSTRING: _op_binstring,
    pickle.SHORT_BINSTRING: _op_short_binstring,
    pickle.BINBYTES: _op_binbytes,
    pickle.SHORT_BINBYTES: _op_short_binbytes,
    pickle.BINBYTES8: _op_binbytes8,
    pickle.BYTEARRAY8: _op_bytearray8,
    pickle.UNICODE: _op_unicode,
    pickle.BINUNICODE: _op_binunicode,
    pickle.SHORT_BINUNICODE: _op_short_binunicode,
    pickle.BINUNICODE8: _op_binunicode8,
    pickle.NEXT_BUFFER: _op_next_buffer,
    pickle.READONLY_BUFFER: _op_readonly_buffer,
    pickle.TUPLE: _op_tuple,
    pickle.EMPTY_TUPLE: _op_empty_tuple,
    pickle.TUPLE1: _op_tuple1,
    pickle.TUPLE2: _op_tuple2,
    pickle.TUPLE3: _op_tuple3,
    pickle.EMPTY_LIST: _op_empty_list,
    pickle.LIST: _op_list,
    pickle.EMPTY_DICT: _op_empty_dict,
    pickle.DICT: _op_dict,
    pickle.EMPTY_SET: _op_empty_set,
    pickle.FROZENSET: _op_frozenset,
    pickle.APPEND: _op_append,
    pickle.APPENDS: _op_appends,
    pickle.SETITEM: _op_setitem,
    pickle.SETITEMS: _op_setitems,
    pickle.ADDITEMS: _op_additems,
    pickle.BUILD: _op_build,
    pickle.GLOBAL: _op_global,
    pickle.STACK_GLOBAL: _op_stack_global,
    pickle.INST: _op_inst,
    pickle.OBJ: _op_obj,
    pickle.REDUCE: _op_reduce,
    pickle.NEWOBJ: _op_newobj,
    pickle.NEWOBJ_EX: _op_newobj_ex,
    pickle.PERSID: _op_persid,
    pickle.BINPERSID: _op_binpersid,
    pickle.GET: _op_get,
    pickle.BINGET: _op_binget,
    pickle.LONG_BINGET: _op_long_binget,
    pickle.PUT: _op_put,
    pickle.BINPUT: _op_binput,
    pickle.LONG_BINPUT: _op_long_binput,
    pickle.MEMOIZE: _op_memoize,
    pickle.EXT1: _op_ext1,
    pickle.EXT2: _op_ext2,
    pickle.EXT4: _op_ext4,
}

_DISPATCH: list[Callable[[SafeUnpickler], None] | None] = [None] * 256
for _opcode, _handler in _HANDLERS.items():
    _DISPATCH[_opcode[0]] = _handler
del _opcode, _handler


def load(file: BinaryIO, names: list[str] | None = None, budget: Budget | None = None) -> Any:
    """Read one pickled object from a binary file, safely.

    When ``names`` is a list, the global names that the stream refers to
    ("module.name", each once) are appended to it. Raises ArchiveError when
    the stream is not a complete pickle, LimitError (an ArchiveError) when a
    budget runs out.
    """
    unpickler = SafeUnpickler(file, budget)
    try:
        value, _ = _load_with(unpickler)
        return value
    finally:
        if names is not None:
            names.extend(unpickler.names)


def _load_with(unpickler: SafeUnpickler) -> tuple[Any, SafeUnpickler]:
    try:
        return unpickler.load(), unpickler
    except LimitError:
        raise
    except EOFError:
        raise ArchiveError("the data ends before the end of a pickle stream") from None
    except RecursionError:  # pragma: no cover - the reader does not recurse
        raise ArchiveError("the pickle stream is nested too deeply") from None
    except MemoryError:
        raise ArchiveError("the pickle stream is too large to read in memory") from None
    except Exception as error:  # any malformed stream
        detail = clean_text(str(error) or type(error).__name__, 200)
        raise ArchiveError(f"not a readable pickle stream ({detail})") from None


def loads(data: bytes, budget: Budget | None = None) -> Any:
    """Read one pickled object from bytes, safely."""
    return load(io.BytesIO(data), budget=budget)


def read_record(path: str | os.PathLike[str], budget: Budget | None = None) -> tuple[dict, ReadInfo]:
    """The archive record of the file at ``path`` and what the read saw.

    OSError from opening the file reaches the caller; ArchiveError is raised
    for a file that holds no pickle, or whose record is not a dict holding
    the keys "files" and "func".
    """
    with open(path, "rb", buffering=_READ_CHUNK) as file:
        unpickler = SafeUnpickler(file, budget)
        record, _ = _load_with(unpickler)
    if type(record) is not dict:
        raise ArchiveError(f"the file holds {clean_text(describe_type(record), 200)}, not an archive record")
    missing = [key for key in REQUIRED_KEYS if key not in record]
    if missing:
        listed = " and ".join(repr(key) for key in missing)
        noun = "entry" if len(missing) == 1 else "entries"
        raise ArchiveError(f"the archive record has no {listed} {noun}")
    return record, unpickler.info()


# A replay loads the archive with dill right after reading it, so reading it
# for the plan may cost what loading costs: its budgets grow with the file.
_LOADING_DEPTH = 10_000
_LOADING_BYTES_PER_FILE_BYTE = 8  # text decoded from UTF-8 may take four times its bytes, and more


def limits_for_loading(path: str | os.PathLike[str]) -> Limits:
    """Budgets for reading an archive that is about to be loaded anyway (the
    replay): large enough for anything dill itself could load from a file of
    that size, so that they never refuse a genuine archive."""
    size = os.path.getsize(path)
    return Limits(
        depth=max(MAX_DEPTH, _LOADING_DEPTH),
        nodes=max(MAX_NODES, size),
        memo=max(MAX_MEMO, size),
        allocation=max(MAX_ALLOCATION, _LOADING_BYTES_PER_FILE_BYTE * size),
    )


def read_archive(
    path: str | os.PathLike[str], names: list[str] | None = None, limits: Limits | None = None
) -> dict:
    """Read the archive record of the file at ``path`` without running it.

    OSError from opening the file reaches the caller; ArchiveError is raised
    for a file that holds no pickle, or whose record is not a dict holding
    the keys "files" and "func" (LimitError when ``limits``, by default the
    module's MAX_* constants, run out). ``names`` is filled as by :func:`load`.
    """
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
# Walking what was read
# ---------------------------------------------------------------------------

_SCALARS = (type(None), bool, int, float, complex, str, bytes, bytearray)
_SCALAR_TYPES = frozenset(_SCALARS)
_CONTAINERS = (list, tuple, dict)


def children(value: Any) -> Iterable[Any]:
    """The objects ``value`` refers to directly, for walks over read data."""
    kind = type(value)
    if kind is list or kind is tuple:
        return value
    if kind is dict:
        found = list(value)
        found.extend(value.values())
        return found
    if kind is OpaqueKey:
        return (value.value,)
    if kind is StreamSet:
        return value.items
    if isinstance(value, Placeholder):
        return value.parts()
    return _NOTHING


def _is_leaf(value: Any) -> bool:
    return type(value) in _SCALAR_TYPES


@dataclass(repr=False)
class Survey:
    """The result of :func:`survey`: the nesting depth of a value, every
    container and placeholder in it (each once), and which of the lists,
    tuples and dicts among them are plain data (see :func:`is_plain`), by id."""

    depth: int
    nodes: list[Any]
    plain: dict[int, bool]

    def __repr__(self) -> str:  # the nodes are read data, which may be huge
        return f"<Survey: depth {self.depth}, {len(self.nodes)} objects>"


_PLAIN_LEAF_TYPES = frozenset((type(None), bool, int, float, str, bytes))
_PLAIN_CONTAINER_TYPES = frozenset((list, tuple, dict, OpaqueKey, StreamSet))


def survey(root: Any, budget: Budget | None = None) -> Survey:
    """Visit everything reachable from ``root`` once, however often it is
    shared, and measure its nesting depth (the longest chain of containers
    and placeholders; cycles do not count). Raises LimitError when the depth
    or the number of objects exceeds the budget."""
    budget = budget or Budget()
    if _is_leaf(root):
        return Survey(0, [], {})
    max_depth = budget.limits.depth
    max_nodes = budget.limits.nodes
    leaf_types = _SCALAR_TYPES
    plain_leaves = _PLAIN_LEAF_TYPES
    plain_containers = _PLAIN_CONTAINER_TYPES
    depth_of: dict[int, int] = {}
    plain_of: dict[int, bool] = {}
    on_path: set[int] = {id(root)}
    nodes: list[Any] = [root]  # also keeps every visited id unique
    path: list[Any] = [root]
    stack: list[Iterator[Any]] = [iter(children(root))]
    deepest: list[int] = [0]
    plain: list[bool] = [type(root) in plain_containers]
    while stack:
        for child in stack[-1]:
            kind = type(child)
            if kind in leaf_types:
                if kind not in plain_leaves:
                    plain[-1] = False
                continue
            ident = id(child)
            known = depth_of.get(ident)
            if known is not None:
                if known > deepest[-1]:
                    deepest[-1] = known
                if not plain_of.get(ident, False):
                    plain[-1] = False
                continue
            if ident in on_path:  # a cycle: nothing on it is plain
                plain[-1] = False
                continue
            nodes.append(child)
            if len(nodes) > max_nodes:
                budget.check_nodes(len(nodes))
            if not child and (kind is list or kind is tuple or kind is dict):
                # Empty: one level deep, plain, nothing below it to visit.
                depth_of[ident] = 1
                plain_of[ident] = True
                if deepest[-1] < 1:
                    deepest[-1] = 1
                continue
            if len(path) >= max_depth:
                budget.check_depth(len(path) + 1)
            on_path.add(ident)
            path.append(child)
            stack.append(iter(child) if kind is list or kind is tuple else iter(children(child)))
            deepest.append(0)
            plain.append(kind in plain_containers)
            break
        else:
            stack.pop()
            node = path.pop()
            ident = id(node)
            on_path.discard(ident)
            depth = deepest.pop() + 1
            if depth > max_depth:
                budget.check_depth(depth)
            depth_of[ident] = depth
            node_plain = plain.pop()
            if type(node) in plain_containers:
                plain_of[ident] = node_plain
            if deepest:
                if depth > deepest[-1]:
                    deepest[-1] = depth
                if not node_plain:
                    plain[-1] = False
    return Survey(depth_of[id(root)], nodes, plain_of)


def measure(root: Any, budget: Budget | None = None) -> int:
    """The nesting depth of ``root``, checked against the budget (see :func:`survey`)."""
    return survey(root, budget).depth


def is_plain(value: Any, _depth: int = 0, _seen: set[int] | None = None) -> bool:
    """True for None, bool, int, float, str, bytes, and for lists, tuples
    and dicts (with plain keys) made only of those. Shared objects are
    looked at once; a container that holds itself is not plain."""
    return _Plainness().check(value)


class _Plainness:
    """is_plain with a memory of the objects already judged."""

    _PLAIN_LEAVES = frozenset((type(None), bool, int, float, str, bytes))

    def __init__(self, budget: Budget | None = None, known: dict[int, bool] | None = None) -> None:
        # Ids judged by a survey stay valid while the surveyed value lives.
        self.known: dict[int, bool] = dict(known) if known else {}
        self.keep: list[Any] = []
        self.budget = budget or Budget()
        self.visited = 0

    def check(self, root: Any) -> bool:
        kind = type(root)
        if kind in self._PLAIN_LEAVES:
            return True
        if not self._container(root):
            return False
        known = self.known
        if id(root) in known:
            return known[id(root)]
        on_path: set[int] = set()
        stack: list[tuple[Any, Iterator[Any]]] = []

        def enter(node: Any) -> None:
            self.visited += 1
            if self.visited > self.budget.limits.nodes:
                self.budget.check_nodes(self.visited)
            self.keep.append(node)
            on_path.add(id(node))
            stack.append((node, iter(children(node))))

        enter(root)
        while stack:
            node, pending = stack[-1]
            verdict = True
            descended = False
            for child in pending:
                kind = type(child)
                if kind in self._PLAIN_LEAVES:
                    continue
                if not self._container(child) or id(child) in on_path:
                    verdict = False
                    break
                seen = known.get(id(child))
                if seen is None:
                    enter(child)
                    descended = True
                    break
                if not seen:
                    verdict = False
                    break
            if descended:
                continue
            stack.pop()
            on_path.discard(id(node))
            known[id(node)] = verdict
            if not verdict:
                # Everything still open holds this node: none of it is plain.
                for open_node, _ in stack:
                    known[id(open_node)] = False
                    on_path.discard(id(open_node))
                stack.clear()
        return known[id(root)]

    @staticmethod
    def _container(value: Any) -> bool:
        return type(value) in _PLAIN_CONTAINER_TYPES


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


# ---------------------------------------------------------------------------
# What placeholders stand for
# ---------------------------------------------------------------------------

# How many placeholders of a chain (a call of a call of ...) are looked at.
_CHAIN_LOOK = 8

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


def describe_type(value: Any) -> str:
    """A short name for what ``value`` stands for; nothing is called."""
    if isinstance(value, Global):
        return "global"
    if isinstance(value, Call):
        return _type_of_call(value)
    if isinstance(value, Persistent):
        return "persistent reference"
    if type(value) is StreamSet:
        return value.kind
    if type(value) is OpaqueKey:
        return describe_type(value.value)
    return type(value).__name__


def _type_of_call(call: Call) -> str:
    prefix = ""
    for depth in range(_CHAIN_LOOK):
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
        dtype = _numpy_dtype(call.args[0]) if call.args else None
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


def _numpy_dtype(dtype: Any) -> str | None:
    """The name of a pickled numpy dtype ("float32", "<U2", ...), or None."""
    if not isinstance(dtype, Call):
        return None
    name = dtype.func_name or ""
    if name.rpartition(".")[2] != "dtype" or not name.startswith("numpy") or not dtype.args:
        return None
    code = dtype.args[0]
    if type(code) is not str or not code:
        return None
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
        if names and fields is not None:
            parts = []
            for field in names[:8]:
                entry = fields.get(field) if type(field) is str else None
                inner = _numpy_dtype(entry[0]) if type(entry) is tuple and entry else None
                parts.append(f"{clean_text(field, 40)}: {inner or '?'}")
            text = "struct(" + ", ".join(parts) + (", ..." if len(names) > 8 else "") + ")"
        else:
            text = code
    else:
        text = code
    if order == ">" and kind not in "US":
        text += " (big-endian)"
    return clean_text(text, 120)


_SCALAR_FORMATS = {"bool": "?", "int8": "b", "int16": "h", "int32": "i", "int64": "q", "uint8": "B",
                   "uint16": "H", "uint32": "I", "uint64": "Q", "float16": "e", "float32": "f", "float64": "d"}


def _numpy_scalar_value(call: Call) -> str | None:
    if len(call.args) < 2 or type(call.args[1]) is not bytes:
        return None
    dtype = _numpy_dtype(call.args[0])
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
    for _ in range(_CHAIN_LOOK):
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
                dtype = _numpy_dtype(state[2])
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
        # The storage was saved by torch into these bytes: read their header.
        source = io.BytesIO(storage.args[0])
        budget = Budget(_TORCH_HEADER_LIMITS)
        try:
            value: Any = None
            for _ in range(_TORCH_HEADER_PICKLES):
                value, _ = _load_with(SafeUnpickler(source, budget))
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
        if not facts and value.func_name in _NUMPY_SCALAR:
            described["value"] = _numpy_scalar_value(value)
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
