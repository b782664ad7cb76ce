"""What users see of an archive: ``show``'s summary and ``diff``'s
comparison, as text or JSON, read without running anything from it.

:func:`show` and :func:`diff` are the whole of it for the command line; the
modules below hold the summary (:mod:`.summary`), the comparison
(:mod:`.compare`), the text (:mod:`.render`) and what they are made of.
Every error concerning an archive names it (``error.archive``).
"""

from __future__ import annotations

import json

from ..reader import Budget, concerning
from .compare import compare_archives
from .render import diff_text, show_text
from .summary import summarize_archive

__all__ = ["diff", "show"]


def show(path: str, budget: Budget, as_json: bool = False) -> str:
    """The text that ``figvault show`` prints for the archive at ``path``."""
    report = summarize_archive(path, budget).report
    with concerning(path):
        return json.dumps(report, indent=2) if as_json else show_text(report)


def diff(old: str, new: str, budget: Budget, as_json: bool = False, stat: bool = False) -> str:
    """The text that ``figvault diff`` prints for two archives; errors of the
    comparison itself concern the new one."""
    before = summarize_archive(old, budget)
    after = summarize_archive(new, budget)
    with concerning(new):
        report = compare_archives(before, after, budget, with_lines=not stat)
        return json.dumps(report, indent=2) if as_json else diff_text(report, stat)
