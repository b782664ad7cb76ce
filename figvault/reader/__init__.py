"""Untrusted bytes to placeholders, within budgets.

An archive file is a dill (pickle) stream. Loading it the ordinary way
imports the modules it names and calls the functions it names, so a crafted
file can run any code. This reader never does: every global name becomes a
:class:`Global` placeholder, every call, instantiation or update is recorded
on placeholders (:class:`Call`), and reading runs within the budgets of a
:class:`Budget` (:class:`LimitError` when one runs out). The result is the
archive record made of plain Python data and placeholder trees (or, for a
read of the sources only, of dicts and scalars, with :data:`SKIPPED` for the rest).

Nothing here imports a module named by the stream or calls an object that
the stream produced, apart from the plain containers built by the reader
itself and its placeholder classes.
"""

from .budget import (
    ArchiveError,
    ArchiveTooLarge,
    Budget,
    LimitError,
    Limits,
    concerning,
    limits_for_loading,
    limits_for_sources,
)
from .code_version import SavedPython, saved_python
from .kinds import array_facts, describe_type, numpy_scalar_value, type_of_call
from .machine import ReadInfo, load, loads, read_record
from .placeholders import SKIPPED, Call, Global, OpaqueKey, Persistent, Placeholder, StreamSet, cut_name, dotted_name
from .stored import ArchiveFile, StoredBytes, StoredText, text_of, write_text
from .walk import Plainness, Walk, children, is_leaf, walk

__all__ = [
    "SKIPPED",
    "ArchiveError",
    "ArchiveFile",
    "ArchiveTooLarge",
    "Budget",
    "Call",
    "Global",
    "LimitError",
    "Limits",
    "OpaqueKey",
    "Persistent",
    "Placeholder",
    "Plainness",
    "ReadInfo",
    "SavedPython",
    "StoredBytes",
    "StoredText",
    "StreamSet",
    "Walk",
    "array_facts",
    "children",
    "concerning",
    "cut_name",
    "describe_type",
    "dotted_name",
    "is_leaf",
    "limits_for_loading",
    "limits_for_sources",
    "load",
    "loads",
    "numpy_scalar_value",
    "read_record",
    "saved_python",
    "text_of",
    "type_of_call",
    "walk",
    "write_text",
]
