"""Restore an archive's saved sources into a new folder, safely.

The file dictionary of an archive maps "./path/to/file.py" keys to texts.
Before the new folder is made, the whole dictionary is checked: every key and
text is a ``str`` without NUL characters, no key is absolute or leads out of
the folder, no two keys name the same file once normalised ("./a.py",
"a.py" and "./b/../a.py" are one file), and no file sits where another key
needs a folder. Only then is the folder made and every file written, with
missing parent folders made. A restore that still fails (a full disk, a text
that the file-system encoding cannot hold) removes the folder it made, so a
restore either completes or leaves nothing behind.

Each restored path is printed as ``write_files_from_dict`` prints it: the
normalised folder part, "/", the file name ("./plot.py", "lib/util.py").
Nothing here changes the working directory.
"""

from __future__ import annotations

import errno
import os
import shutil
from typing import Any

__all__ = ["FileDictionaryError", "check_file_dict", "new_folder_path", "restore_files"]

# Longest key accepted, in bytes once encoded for the file system: the
# longest path that the system accepts at all (PATH_MAX on Linux).
MAX_KEY_BYTES = 4096
# How much of a key or a type name an error message shows.
SHOWN_KEY_CHARS = 80

FOLDER_TYPE_MESSAGE = "folder must be a path (str, bytes or os.PathLike), not {type}"
# Why a file dictionary is refused (FileDictionaryError), by problem.
KEY_MESSAGES = {
    "not_dict": "the saved files are not a dict but {type}",
    "key_type": "a file key is not str but {type}",
    "text_type": "the text of {key} is not str but {type}",
    "text_nul": "the text of {key} holds a NUL character",
    "nul": "the file key {key} holds a NUL character",
    "unencodable": "the file key {key} cannot be a file name here",
    "long": "the file key {key} is longer than {limit} bytes",
    "absolute": "the file key {key} is absolute",
    "no_file": "the file key {key} does not name a file",
    "leaves": "the file key {key} leads out of the folder",
    "same_file": "the file keys {first} and {key} name the same file",
    "file_as_folder": "the file key {key} names a file where {below} needs a folder",
}
# Notes on the exception of a restore that failed half-way.
REMOVED_NOTE = "figvault: nothing was restored; the folder {folder!r} was removed again"
NOT_REMOVED_NOTE = "figvault: the partly restored folder {folder!r} could not be removed"

_PARENT = ".."
_CURRENT = "."


class FileDictionaryError(ValueError):
    """The archive's file dictionary cannot be restored safely."""


def _shown(key: Any) -> str:
    """A key for an error message: its repr, shortened, without line breaks."""
    text = repr(key)
    if len(text) > SHOWN_KEY_CHARS:
        text = text[: SHOWN_KEY_CHARS - 3] + "..."
    return text


def new_folder_path(folder: str | os.PathLike[str] | bytes) -> str:
    """``folder`` as an absolute path, refused when anything exists there.

    Resolving it first means a function that later changes the working
    directory cannot move the restore somewhere else.
    """
    if not isinstance(folder, (str, bytes, os.PathLike)):
        raise TypeError(FOLDER_TYPE_MESSAGE.format(type=type(folder).__name__))
    path = os.path.abspath(os.fsdecode(folder))
    if os.path.lexists(path):
        raise FileExistsError(errno.EEXIST, "the folder exists already", path)
    return path


def _relative_parts(key: str) -> tuple[str, ...]:
    """The path components of ``key`` below the target folder, normalised as
    ``os.path.normpath`` would; refuses keys that cannot be restored safely."""
    if "\0" in key:
        raise FileDictionaryError(KEY_MESSAGES["nul"].format(key=_shown(key)))
    try:
        encoded = os.fsencode(key)
    except UnicodeEncodeError:
        raise FileDictionaryError(KEY_MESSAGES["unencodable"].format(key=_shown(key))) from None
    if len(encoded) > MAX_KEY_BYTES:
        raise FileDictionaryError(KEY_MESSAGES["long"].format(key=_shown(key), limit=MAX_KEY_BYTES))
    if key.startswith("/"):
        raise FileDictionaryError(KEY_MESSAGES["absolute"].format(key=_shown(key)))
    name = key.rpartition("/")[2]
    if name in ("", _CURRENT, _PARENT):
        raise FileDictionaryError(KEY_MESSAGES["no_file"].format(key=_shown(key)))
    parts: list[str] = []
    for part in key.split("/"):
        if part in ("", _CURRENT):
            continue
        if part == _PARENT:
            if not parts:
                raise FileDictionaryError(KEY_MESSAGES["leaves"].format(key=_shown(key)))
            parts.pop()
        else:
            parts.append(part)
    return tuple(parts)


def check_file_dict(files: Any) -> list[tuple[str, tuple[str, ...]]]:
    """(key, normalised components) for every entry of an archive's file
    dictionary, in its order; FileDictionaryError for the first problem."""
    if type(files) is not dict:
        raise FileDictionaryError(KEY_MESSAGES["not_dict"].format(type=type(files).__name__))
    entries: list[tuple[str, tuple[str, ...]]] = []
    seen: dict[tuple[str, ...], str] = {}
    for key, text in files.items():
        if type(key) is not str:
            raise FileDictionaryError(KEY_MESSAGES["key_type"].format(type=type(key).__name__))
        if type(text) is not str:
            raise FileDictionaryError(KEY_MESSAGES["text_type"].format(key=_shown(key), type=type(text).__name__))
        if "\0" in text:
            raise FileDictionaryError(KEY_MESSAGES["text_nul"].format(key=_shown(key)))
        parts = _relative_parts(key)
        if parts in seen:
            raise FileDictionaryError(KEY_MESSAGES["same_file"].format(first=_shown(seen[parts]), key=_shown(key)))
        seen[parts] = key
        entries.append((key, parts))
    # In sorted order the paths below a file's path follow it at once, so
    # one pass over neighbours finds every file that must also be a folder.
    ordered = sorted(seen)
    for current, following in zip(ordered, ordered[1:]):
        if following[: len(current)] == current:
            raise FileDictionaryError(
                KEY_MESSAGES["file_as_folder"].format(key=_shown(seen[current]), below=_shown(seen[following]))
            )
    return entries


def _printed_path(key: str) -> str:
    """The path that ``write_files_from_dict`` prints for a key, with control
    characters and line breaks escaped: a key comes from the archive and
    must not write to the terminal or forge a line of its own."""
    head, tail = os.path.split(key)
    path = os.path.normpath(head) + "/" + tail
    return path if path.isprintable() else repr(path)[1:-1]


def restore_files(files: Any, folder: str, *, checked: list[tuple[str, tuple[str, ...]]] | None = None) -> None:
    """Write the file dictionary into the new folder ``folder`` (absolute,
    from :func:`new_folder_path`), printing each restored path.

    ``checked`` is the result of :func:`check_file_dict` when the caller has
    it already. On any failure the folder made here is removed again and a
    note on the exception says so.
    """
    entries = check_file_dict(files) if checked is None else checked
    os.mkdir(folder)
    try:
        for key, parts in entries:
            target = os.path.join(folder, *parts)
            print(_printed_path(key))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            # "x": never replace a file; the checks above make each path unique.
            with open(target, "x") as file:
                file.write(files[key])
    except BaseException as error:
        shutil.rmtree(folder, ignore_errors=True)
        if os.path.lexists(folder):
            error.add_note(NOT_REMOVED_NOTE.format(folder=folder))
        else:
            error.add_note(REMOVED_NOTE.format(folder=folder))
        raise
