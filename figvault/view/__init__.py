"""What users see of an archive: ``show``'s summary, ``diff``'s comparison
and ``list``'s rows, as text or JSON, read without running anything from it.

:func:`show`, :func:`diff` and :func:`list_archives` are the whole of it for
the command line; the modules below hold the summary (:mod:`.summary`), the
comparison (:mod:`.compare`), the listing (:mod:`.listing`), the text
(:mod:`.render`) and what they are made of.
Every error concerning an archive names it (``error.archive``).
"""

from __future__ import annotations

import json

from ..reader import Budget, concerning
from .compare import compare_archives
from .listing import archive_rows
from .render import diff_text, list_text, show_text
from .summary import summarize_archive

__all__ = ["diff", "list_archives", "show"]


def show(path: str, budget: Budget, as_json: bool = False) -> str:
    """The text that ``figvault show`` prints for the archive at ``path``."""
    report = summarize_archive(path, budget).report
    with concerning(path):
        return json.dumps(report, indent=2) if as_json else show_text(report)


def diff(
    old: str, new: str, budget: Budget, as_json: bool = False, stat: bool = False, raw: bool = False
) -> tuple[str, bool]:
    """(the text that ``figvault diff`` prints for two archives, whether they
    are the same); errors of the comparison itself concern the new one.
    ``raw`` compares notebooks by their JSON text rather than their cells."""
    before = summarize_archive(old, budget)
    after = summarize_archive(new, budget)
    with concerning(new):
        report = compare_archives(before, after, budget, with_lines=not stat, raw=raw)
        return (json.dumps(report, indent=2) if as_json else diff_text(report, stat)), report["same"]


def list_archives(folder: str, budget: Budget, as_json: bool = False) -> str:
    """The text that ``figvault list`` prints for the archives of ``folder``."""
    rows = archive_rows(folder, budget)
    return json.dumps({"folder": folder, "archives": rows}, indent=2) if as_json else list_text(rows)
