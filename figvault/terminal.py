"""Text from an archive made safe for one line of a terminal.

Every stage uses these: the reader for its own error messages, the view for
every printed field, the command line for its error line. This module
imports nothing of figvault, so any of them may import it.
"""

from __future__ import annotations

from typing import Any

__all__ = ["clean_text", "count_text"]


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


def count_text(number: int, unit: str = "") -> str:
    """12,345 bytes: a count with thousands separators and a unit."""
    return f"{number:,}" + (f" {unit}" if unit else "")
