"""How ``show`` and ``diff`` lay text out: the widths of printed fields,
tables, and lines of archived source.

Every text from an archive is cleaned (:func:`~figvault.terminal.clean_text`)
and cut to the width of its kind of field before it is printed.
"""

from __future__ import annotations

from typing import Any, Sequence

from ..terminal import clean_text

__all__ = [
    "ARG_KEY_CHARS",
    "DEFAULT_CHARS",
    "KEY_CHARS",
    "LINE_CHARS",
    "NAME_CHARS",
    "QUOTE_CHARS",
    "ROW_CHARS",
    "TYPE_CHARS",
    "VALUE_CHARS",
    "clean",
    "code_line",
    "table",
]

# The widest text of each kind of printed field, in characters.
NAME_CHARS = 200  # a name: function, parameter, argument, module, file path
TYPE_CHARS = 60  # what a value is: "numpy.ndarray", "object made by os.system"
VALUE_CHARS = 80  # a value's short text; a name or text quoted in a warning
QUOTE_CHARS = 120  # a longer text quoted in a warning (a global, a file name)
KEY_CHARS = 60  # a dictionary key quoted in a warning
DEFAULT_CHARS = 30  # a parameter's default value
ARG_KEY_CHARS = 40  # an argument keyed by something other than a name
LINE_CHARS = 240  # a line of source or of a diff, a warning
# What a table row adds to the texts it holds, counted against the output
# budget while a summary is made (so that a huge archive stops early).
ROW_CHARS = 40


def clean(text: Any, limit: int = NAME_CHARS) -> str:
    """Text from an archive made safe for a terminal (no control characters
    or line breaks) and cut to ``limit`` characters."""
    return clean_text(text, limit)


def code_line(text: str) -> str:
    """A line of archived source, tabs expanded, made safe for a terminal."""
    return clean_text(text.expandtabs(8), LINE_CHARS)


def table(header: Sequence[str], rows: Sequence[Sequence[str]], right: Sequence[int] = ()) -> list[str]:
    """The lines of a table whose columns are as wide as their widest cell;
    the columns numbered in ``right`` are aligned to the right."""
    widths = [len(h) for h in header]
    for row in rows:
        widths = [max(w, len(cell)) for w, cell in zip(widths, row)]
    lines = []
    for row in [list(header)] + [list(r) for r in rows]:
        cells = [cell.rjust(w) if i in right else cell.ljust(w) for i, (cell, w) in enumerate(zip(row, widths))]
        lines.append("  " + "  ".join(cells).rstrip())
    return lines
