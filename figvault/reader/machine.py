"""The reader's pickle machine and its entry points.

:class:`Unpickler` runs the opcodes of :mod:`.opcodes` on its stack, memo
and metastack, reading bytes within the budgets of a :class:`~.budget.Budget`:
a declared length is checked against the bytes that are really left before
anything is allocated for it, the data made, the memo and the number of
operations are bounded per stream, and dictionary keys whose hash a crafted
stream could choose are kept unhashed. A sources-only read (``extract``)
makes nothing but dicts and scalars, whatever else the stream describes.
:func:`load`, :func:`loads` and :func:`read_record` turn every failure of a
malformed stream into an :class:`~.budget.ArchiveError`.
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
from .budget import MAX_MEMO, MAX_NUMBER_DIGITS, ArchiveError, Budget, LimitError, allocation_error, number_error
from .kinds import describe_type
from .opcodes import DISPATCH, Stop, refuse
from .placeholders import SKIPPED, Call, Global, OpaqueKey, Persistent, Placeholder, StreamSet, cut_name
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

# What a sources-only read makes: the objects that can be (or hold) file
# keys and texts. Every other object it reads is SKIPPED.
_SOURCE_TYPES = frozenset((dict, str, bytes, bytearray, int, float, complex, bool, type(None)))
# Opcodes that make a dict, and what one costs a sources-only read (which
# counts it as made data, since dicts are all it keeps).
_DICT_OPCODES = frozenset((pickle.EMPTY_DICT[0], pickle.DICT[0]))
_DICT_BYTES = 64
# Memo entries at indices that a pickler never writes (beyond the next free
# one) are kept apart, and bounded whatever the memo budget.
_MAX_SPARSE_MEMO = MAX_MEMO


@dataclass(repr=False)
class ReadInfo:
    """What a read saw besides the value: the global names the stream uses
    ("module.name", each once, in first-seen order, cut to MAX_NAME_CHARS;
    none for a sources-only read), the modules that an ordinary load imports
    for them, the highest protocol, and, per dictionary, the keys that were
    set more than once."""

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
    within the budgets of a :class:`~.budget.Budget`.

    With ``sources_only``, only dicts and scalars are made; every other
    object (lists, tuples, sets, calls, ...) is :data:`SKIPPED`, and no
    names are recorded: the archive's file dictionary reads the same, and
    the rest costs time but no memory. With a ``store`` (a replay's read),
    large texts and bytes are left in the file.
    """

    def __init__(
        self, file: BinaryIO, budget: Budget | None = None, store: Store | None = None, sources_only: bool = False
    ) -> None:
        self.file = file
        self.store = store  # large texts and bytes are left in the file (a replay's read)
        self.budget = budget or Budget()
        self.limits = self.budget.limits
        self.sources_only = sources_only
        self.allocated = 0  # bytes of data made from this stream
        self.names: dict[str, None] = {}
        self.modules: dict[str, None] = {}
        self.duplicates: dict[int, tuple[dict, list[Any], int]] = {}
        self.proto = 0
        # The memo: the indices a pickler writes (0, 1, 2, ...) in a list,
        # any others apart.
        self.memo: list[Any] = []
        self.sparse_memo: dict[int, Any] = {}
        self.stack: list[Any] = []
        self.metastack: list[list[Any]] = []
        # The dicts that were given a key other than a str, by id (and kept
        # alive, so that no other dict takes the id).
        self._other_keys: dict[int, dict] = {}
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
            if size > self.allocation_left():
                self.allocate(size)  # raises
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
        limit = self.allocation_left() + 1
        line = self.file.readline(limit)
        if not line.endswith(b"\n"):
            if len(line) >= limit:
                self.allocate(len(line))  # raises
            raise EOFError
        self.allocate(len(line))
        return line

    def number(self, text: bytes, base: int = 10) -> int:
        """The integer written as ``text`` (a line of the stream), within the
        digits that Python turns into an int."""
        if len(text) > MAX_NUMBER_DIGITS:
            raise number_error(len(text.strip()))
        return int(text, base)

    def payload(self, size: int) -> bytes:
        """``size`` bytes that become (part of) an object."""
        data = self.read(size)
        self.allocate(size)
        return data

    def allocate(self, size: int) -> None:
        """Count ``size`` bytes of data made from the stream."""
        self.allocated += size
        if self.allocated > self.limits.allocation:
            raise allocation_error(self.limits.allocation)

    def allocation_left(self) -> int:
        return max(0, self.limits.allocation - self.allocated)

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
        keep_sources = self._keep_sources if self.sources_only else None
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
                if keep_sources is not None:
                    keep_sources(key[0])
        except Stop as stop:
            return stop.value

    def _keep_sources(self, opcode: int) -> None:
        """After each operation of a sources-only read: the object it made
        (on top of the stack) is kept only when it is a dict or a scalar."""
        stack = self.stack
        if stack:
            kind = type(stack[-1])
            if kind is dict:
                if opcode in _DICT_OPCODES:
                    self.allocate(_DICT_BYTES)
            elif kind not in _SOURCE_TYPES:
                stack[-1] = SKIPPED

    # -- globals ---------------------------------------------------------------

    def find_class(self, module: str, name: str) -> Global:
        special = (module, name) in DILL_SPECIAL_GLOBALS
        if self.proto < 3 and not special:  # names of Python 2, as an ordinary load maps them
            if (module, name) in _compat_pickle.NAME_MAPPING:
                module, name = _compat_pickle.NAME_MAPPING[(module, name)]
            elif module in _compat_pickle.IMPORT_MAPPING:
                module = _compat_pickle.IMPORT_MAPPING[module]
        found = Global(module, name)
        if not self.sources_only:
            self.names.setdefault(found.dotted)
            if not special:
                self.modules.setdefault(cut_name(module))
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
        if kind is not str:
            self._other_keys[id(target)] = target
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

    def keywords_checked(self, kwargs: dict) -> bool:
        """Whether every key of a dict the stream made is a str (in constant
        time: a stream can hand one large dict to every call it makes)."""
        return id(kwargs) not in self._other_keys

    # -- memo ------------------------------------------------------------------

    def memo_put(self, index: int) -> None:
        if index < 0:
            raise pickle.UnpicklingError("negative PUT argument")
        if index > _MAX_MEMO_INDEX:
            raise LimitError(f"a memo index of {count_text(index)}", count_text(_MAX_MEMO_INDEX))
        value = self.top()
        memo, sparse = self.memo, self.sparse_memo
        if index < len(memo):
            memo[index] = value
            return
        if index not in sparse:
            if len(memo) + len(sparse) >= self.limits.memo:
                raise _memo_full(self.limits.memo)
            if index > len(memo) and len(sparse) >= _MAX_SPARSE_MEMO:
                raise _memo_full(_MAX_SPARSE_MEMO)
        if index == len(memo):
            memo.append(value)
            sparse.pop(index, None)
        else:
            sparse[index] = value

    def memo_get(self, index: int) -> None:
        memo = self.memo
        if 0 <= index < len(memo):
            self.push(memo[index])
        elif index in self.sparse_memo:
            self.push(self.sparse_memo[index])
        else:
            raise pickle.UnpicklingError(f"Memo value not found at index {index}")

    def memo_size(self) -> int:
        """The index that MEMOIZE gives the next object: the memo's length."""
        return len(self.memo) + len(self.sparse_memo)

    def info(self) -> ReadInfo:
        return ReadInfo(list(self.names), list(self.modules), self.proto, self.duplicates)


def _memo_full(limit: int) -> LimitError:
    return LimitError("the number of memo entries", count_text(limit))


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
    path: str | os.PathLike[str] | ArchiveFile, budget: Budget | None = None, sources_only: bool = False
) -> tuple[dict, ReadInfo]:
    """The archive record of the file at ``path`` and what the read saw.

    Given an open :class:`~.stored.ArchiveFile` (a replay's read), its large
    texts and bytes are left in that file (see :mod:`.stored`). With
    ``sources_only``, only the record's dicts and scalars are made (its
    "files" reads as it is; "func" and "args" hold SKIPPED in place of
    everything else). OSError from opening the file reaches the caller;
    ArchiveError is raised for a file that holds no pickle, or whose record
    is not a dict holding the keys "files" and "func".
    """
    if isinstance(path, ArchiveFile):
        opened, store = path.stream(_READ_CHUNK), Store(path)
    else:
        opened, store = open(path, "rb", buffering=_READ_CHUNK), None
    with opened as file:
        unpickler = Unpickler(file, budget, store, sources_only)
        record = _run(unpickler)
    if type(record) is not dict:
        raise ArchiveError(f"the file holds {clean_text(describe_type(record), _DETAIL_CHARS)}, not an archive record")
    missing = [key for key in REQUIRED_KEYS if key not in record]
    if missing:
        listed = " and ".join(repr(key) for key in missing)
        noun = "entry" if len(missing) == 1 else "entries"
        raise ArchiveError(f"the archive record has no {listed} {noun}")
    return record, unpickler.info()
