"""Restore an archive's saved sources into a new folder, safely.

The file dictionary of an archive maps "./path/to/file.py" keys to texts.
Before the new folder is made, the whole dictionary is checked
(:func:`figvault.sources.check_file_dict`: every key restores inside the
folder, no two keys name one file, no file sits where another key needs a
folder). Only then is the folder made and every file written, with missing
parent folders made. A restore that still fails (a full disk, a text
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

from ..reader import write_text
from ..sources import check_file_dict

__all__ = ["new_folder_path", "restore_files"]

FOLDER_TYPE_MESSAGE = "folder must be a path (str, bytes or os.PathLike), not {type}"

# Notes on the exception of a restore that failed half-way.
REMOVED_NOTE = "figvault: nothing was restored; the folder {folder!r} was removed again"
NOT_REMOVED_NOTE = "figvault: the partly restored folder {folder!r} could not be removed"


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
                write_text(file, files[key])
    except BaseException as error:
        shutil.rmtree(folder, ignore_errors=True)
        if os.path.lexists(folder):
            error.add_note(NOT_REMOVED_NOTE.format(folder=folder))
        else:
            error.add_note(REMOVED_NOTE.format(folder=folder))
        raise
