"""Which Python version saved the code that an archive holds, read from the
stream without building anything.

An archive record is exactly what dill writes: no field names a version,
and dill records a code object with the same fields on 3.11, 3.12 and 3.13.
The bytecode tells them apart: ``co_code`` as pickled holds only base
instructions with their inline caches zeroed, and the opcode numbers, the
caches that follow each instruction and the RESUME opcode differ by
version. A code object's bytecode is parsed with the table of each version
(:mod:`.bytecode_tables`, made from that version's own ``opcode`` module):
every opcode known, every cache zero, every jump landing on an instruction,
a RESUME present. The versions whose parse accepts every code object of the
stream are the candidates.
"""

from __future__ import annotations

import sys
from dataclasses import dataclass
from typing import Any, Iterable

from .bytecode_tables import TABLES
from .placeholders import Call
from .stored import StoredBytes

__all__ = ["RUNNING_PYTHON", "SavedPython", "bytecode_versions", "saved_python"]

RUNNING_PYTHON = "%d.%d" % sys.version_info[:2]

# dill's constructor of code objects, as the stream names it.
CODE_CONSTRUCTOR = "dill._dill._create_code"
# Fields of a code record from 3.11 on (after the co_lnotab that leads it),
# and where co_code sits among them.
CODE_FIELDS = 18
CODE_INDEX = 6
UNKNOWN_VERSION_TEXT = "a Python version figvault does not know"


@dataclass(frozen=True)
class SavedPython:
    """What the stream's code says about the Python version that saved it.

    ``versions`` are the candidates (empty: none figvault knows);
    ``has_code`` is False when the stream holds no code at all (a function
    stored by reference), which any version runs.
    """

    versions: tuple[str, ...] = ()
    has_code: bool = False

    @property
    def running(self) -> str:
        """The version of the running interpreter ("3.11")."""
        return RUNNING_PYTHON

    @property
    def runs_here(self) -> bool:
        """True when the running interpreter may run the saved code: there is
        none, or it is valid bytecode of this version by every check."""
        return not self.has_code or self.running in self.versions

    @property
    def text(self) -> str | None:
        """"3.12", "3.11 or 3.12", an unknown version, or None without code."""
        if not self.has_code:
            return None
        return " or ".join(self.versions) if self.versions else UNKNOWN_VERSION_TEXT


def _parses(code: bytes, resume: int, extended_arg: int, ops: dict[int, tuple[int, int]]) -> bool:
    size = len(code)
    if not size or size % 2:
        return False
    starts: set[int] = set()
    targets: list[int] = []
    seen_resume = False
    arg = 0
    offset = 0
    while offset < size:
        opcode = code[offset]
        entry = ops.get(opcode)
        if entry is None:
            return False
        caches, direction = entry
        starts.add(offset)
        arg = arg << 8 | code[offset + 1]
        after = offset + 2 + 2 * caches
        if after > size or any(code[offset + 2 : after]):
            return False
        if direction:
            targets.append(after + 2 * arg * direction)
        if opcode == resume:
            seen_resume = True
        if opcode != extended_arg:
            arg = 0
        offset = after
    return seen_resume and all(target in starts for target in targets)


def bytecode_versions(code: bytes) -> frozenset[str]:
    """The versions whose bytecode ``code`` (a ``co_code`` as pickled) is."""
    return frozenset(version for version, table in TABLES.items() if _parses(code, *table))


def _bytecode(call: Call) -> bytes | None:
    """The co_code of a code record of 3.11 or later, or None."""
    args = list(call.args)
    if args and type(args[0]) is not int:  # the leading co_lnotab
        args = args[1:]
    if len(args) != CODE_FIELDS:
        return None
    code = args[CODE_INDEX]
    if type(code) is StoredBytes:
        code = code.read()
    return code if type(code) is bytes else None


def saved_python(nodes: Iterable[Any]) -> SavedPython:
    """The version that saved the code records among ``nodes`` (the objects
    of a :func:`~.walk.walk` over read data)."""
    candidates = frozenset(TABLES)
    has_code = False
    for node in nodes:
        if type(node) is not Call or node.func_name != CODE_CONSTRUCTOR:
            continue
        has_code = True
        code = _bytecode(node)
        candidates &= bytecode_versions(code) if code is not None else frozenset()
        if not candidates:
            break
    return SavedPython(tuple(sorted(candidates, key=lambda v: tuple(map(int, v.split("."))))) if has_code else (), has_code)
