"""The reader's pickle machine and its entry points.

:class:`Unpickler` runs the opcodes of :mod:`.opcodes` on its stack, memo
and metastack, reading bytes within the budgets of a :class:`~.budget.Budget`:
a declared length is checked against the bytes that are really left before
anything is allocated for it, the memo and the number of operations are
bounded, and dictionary keys whose hash a crafted stream could choose are
kept unhashed. :func:`load`, :func:`loads` and :func:`read_record` turn
every failure of a malformed stream into an :class:`~.budget.ArchiveError`.
"""

from __future__ import annotations

import _compat_pickle
import copyreg
import io
import os
import pickle
import stat
from dataclasses import dataclass
from typing import Any, BinaryIO

from ..terminal import clean_text, count_text
from .budget import ArchiveError, Budget, LimitError
from .kinds import describe_type
from .opcodes import DISPATCH, Stop, refuse
from .placeholders import Call, Global, OpaqueKey, Persistent, Placeholder, StreamSet
from .stored import ArchiveFile, Store, StoredText

__all__ = ["ReadInfo", "Unpickler", "load", "loads", "read_record"]

# The keys that a record must hold to be expanded (its "args" are optional).
REQUIRED_KEYS = ("files", "func")

# Memo indices are at most 32 bits wide in the binary opcodes; text opcodes
# may name any integer, and large ones would collide in the memo's hash table.
_MAX_MEMO_INDEX = 2**32 - 1
# Reads up to this size are made at once; larger ones are checked against the
# bytes left first, or read piece by piece when the size is unknown.
_SMALL_READ = 64 * 1024
_READ_CHUNK = 1024 * 1024
# Characters of a malformed stream's own error shown in ours.
_DETAIL_CHARS = 200

# Globals that dill's own loader answers without importing anything: the
# loading process's __main__ module and the type of None.
DILL_SPECIAL_GLOBALS = frozenset({("__builtin__", "__main__"), ("__builtin__", "NoneType")})

# Integers below this size hash to themselves (modulo 2**61 - 1), so they
# cannot be made to collide; larger ones can.
_SAFE_INT = 2**61 - 1
_PLACEHOLDER_TYPES = (Global, Call, Persistent, Placeholder)


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


class Unpickler:
    """A pickle reader that imports nothing and calls nothing from the stream,
    within the budgets of a :class:`~.budget.Budget`."""

    def __init__(self, file: BinaryIO, budget: Budget | None = None, store: Store | None = None) -> None:
        self.file = file
        self.store = store  # large texts and bytes are left in the file (a replay's read)
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

    def left(self) -> int | None:
        """The bytes left in the file, when its size is known."""
        if self._size is None:
            return None
        try:
            return max(0, self._size - self.file.tell())
        except (OSError, ValueError):
            return None

    def check_left(self, size: int) -> int | None:
        """The bytes left in the file (when known), which must hold ``size``."""
        left = self.left()
        if left is not None and size > left:
            raise LimitError(
                f"a declared length of {count_text(size, 'bytes')}",
                f"the {count_text(left, 'bytes')} left in the file",
            )
        return left

    def read(self, size: int) -> bytes:
        """Exactly ``size`` bytes; nothing is allocated for a declared length
        before the bytes are known to be there."""
        if size < 0:
            raise pickle.UnpicklingError("negative byte count")
        if size <= _SMALL_READ:
            data = self.file.read(size)
        else:
            left = self.check_left(size)
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
        dispatch = DISPATCH
        limit = self.limits.nodes
        count = 0
        try:
            while True:
                key = read(1)
                if not key:
                    raise EOFError
                count += 1
                if count > limit:
                    raise LimitError("the number of pickle operations", count_text(limit))
                handler = dispatch[key[0]]
                if handler is None:
                    raise pickle.UnpicklingError(f"invalid load key, {key!r}")
                handler(self)
        except Stop as stop:
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
        if type(key) is StoredText:  # a key is always plain text, however long
            key = key.read()
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
            refuse(opcode, target)

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


def _run(unpickler: Unpickler) -> Any:
    """What the stream holds; every failure of a malformed stream is an ArchiveError."""
    try:
        return unpickler.load()
    except LimitError:
        raise
    except EOFError:
        raise ArchiveError("the data ends before the end of a pickle stream") from None
    except RecursionError:  # pragma: no cover - the reader does not recurse
        raise ArchiveError("the pickle stream is nested too deeply") from None
    except MemoryError:
        raise ArchiveError("the pickle stream is too large to read in memory") from None
    except Exception as error:  # any malformed stream
        detail = clean_text(str(error) or type(error).__name__, _DETAIL_CHARS)
        raise ArchiveError(f"not a readable pickle stream ({detail})") from None


def load(file: BinaryIO, names: list[str] | None = None, budget: Budget | None = None) -> Any:
    """Read one pickled object from a binary file, safely.

    When ``names`` is a list, the global names that the stream refers to
    ("module.name", each once) are appended to it. Raises ArchiveError when
    the stream is not a complete pickle, LimitError (an ArchiveError) when a
    budget runs out.
    """
    unpickler = Unpickler(file, budget)
    try:
        return _run(unpickler)
    finally:
        if names is not None:
            names.extend(unpickler.names)


def loads(data: bytes, budget: Budget | None = None) -> Any:
    """Read one pickled object from bytes, safely."""
    return load(io.BytesIO(data), budget=budget)


def read_record(
    path: str | os.PathLike[str] | ArchiveFile, budget: Budget | None = None
) -> tuple[dict, ReadInfo]:
    """The archive record of the file at ``path`` and what the read saw.

    Given an open :class:`~.stored.ArchiveFile` (a replay's read), its large
    texts and bytes are left in that file (see :mod:`.stored`).
    OSError from opening the file reaches the caller; ArchiveError is raised
    for a file that holds no pickle, or whose record is not a dict holding
    the keys "files" and "func".
    """
    if isinstance(path, ArchiveFile):
        opened, store = path.stream(_READ_CHUNK), Store(path)
    else:
        opened, store = open(path, "rb", buffering=_READ_CHUNK), None
    with opened as file:
        unpickler = Unpickler(file, budget, store)
        record = _run(unpickler)
    if type(record) is not dict:
        raise ArchiveError(f"the file holds {clean_text(describe_type(record), _DETAIL_CHARS)}, not an archive record")
    missing = [key for key in REQUIRED_KEYS if key not in record]
    if missing:
        listed = " and ".join(repr(key) for key in missing)
        noun = "entry" if len(missing) == 1 else "entries"
        raise ArchiveError(f"the archive record has no {listed} {noun}")
    return record, unpickler.info()
