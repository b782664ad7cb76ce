"""``list``'s rows: the archives of a folder (its files whose names end in
".figvault"), each read with the restricted reader within budgets of its
own. An archive that cannot be read gets a row that says why; nothing from
any archive runs."""

from __future__ import annotations

import os
import stat
from typing import Any

from ..reader import ArchiveError, ArchiveTooLarge, Budget, LimitError, concerning, read_record
from ..terminal import clean_text
from .function import describe_function
from .text import ARG_KEY_CHARS, LINE_CHARS, NAME_CHARS, ROW_CHARS
from .values import value_text

__all__ = ["ARCHIVE_SUFFIX", "archive_rows"]

ARCHIVE_SUFFIX = ".figvault"
# Argument names listed for one archive; the rest are counted.
MAX_LISTED_ARGUMENTS = 64

NOT_A_FILE_TEXT = "not a regular file"
NOT_AN_ARCHIVE_TEXT = "not a figvault archive: {error}"
CANNOT_OPEN_TEXT = "cannot open it: {reason}"
CANNOT_INSPECT_TEXT = "cannot be inspected ({detail})"


def _modified(seconds: float) -> str:
    """A modification time as local ISO 8601 text, to the second."""
    from datetime import datetime

    return datetime.fromtimestamp(seconds).astimezone().isoformat(timespec="seconds")


def _describe(path: str) -> dict[str, Any]:
    """function, args, arg_count and files of one archive, read within budgets of its own."""
    with concerning(path):
        record, _ = read_record(path, Budget())
        function = describe_function(record.get("func"))
    args = record.get("args")
    names = None
    if type(args) is dict:
        names = []
        for key in args:
            if len(names) == MAX_LISTED_ARGUMENTS:
                break
            names.append(key[:NAME_CHARS] if type(key) is str else value_text(key, ARG_KEY_CHARS))
    files = record.get("files")
    return {
        "function": function.get("qualname") or function.get("name"),
        "args": names,
        "arg_count": len(args) if type(args) is dict else None,
        "files": len(files) if type(files) is dict else None,
    }


def _error_text(error: Exception) -> str:
    if isinstance(error, OSError):
        return CANNOT_OPEN_TEXT.format(reason=error.strerror or type(error).__name__)
    if isinstance(error, (LimitError, ArchiveTooLarge)):
        return str(error)
    if isinstance(error, ArchiveError):
        return NOT_AN_ARCHIVE_TEXT.format(error=error)
    return CANNOT_INSPECT_TEXT.format(detail=f"{type(error).__name__}: {error}")


def archive_rows(folder: str, budget: Budget) -> list[dict[str, Any]]:
    """One row per archive of ``folder``, in the order of their names:
    archive (its file name), size, modified, and function, args (the first
    names), arg_count and files; or error, for one that cannot be read."""
    with os.scandir(folder) as entries:
        names = sorted(entry.name for entry in entries if entry.name.endswith(ARCHIVE_SUFFIX))
    rows = []
    for name in names:
        path = os.path.join(folder, name)
        row: dict[str, Any] = {"archive": name, "size": None, "modified": None}
        try:
            status = os.stat(path)
            row["size"], row["modified"] = status.st_size, _modified(status.st_mtime)
            if stat.S_ISREG(status.st_mode):
                row.update(_describe(path))
            else:
                row["error"] = NOT_A_FILE_TEXT
        except Exception as error:  # one row per archive, whatever it holds
            row["error"] = clean_text(_error_text(error), LINE_CHARS)
        budget.output(len(name) + sum(len(arg) + 2 for arg in row.get("args") or ()) + 2 * ROW_CHARS)
        rows.append(row)
    return rows
