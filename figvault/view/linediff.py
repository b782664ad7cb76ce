"""Unified diffs of archived texts within a budget of line comparisons per
command.

difflib's matcher can take time that grows with the square of the lines
(lines that match poorly, each found again and again), so the comparisons
it makes are counted before it makes them: each search for the longest
matching block costs the lines it scans and the places where those lines
occur in the other text. One comparison may spend half of what is left (so
that one file cannot leave the others without a diff); a comparison that
would spend more stops, and the file is "changed" with lines counted by
content, not a line diff. Each distinct pair of texts is compared once.
"""

from __future__ import annotations

import difflib
import itertools
from collections import Counter
from dataclasses import dataclass

__all__ = ["LineDiff", "LineDiffer"]

# Line comparisons that one command may make, in all (about 2 seconds).
MAX_LINE_COMPARISONS = 50_000_000
# What scanning one line costs, in comparisons (a table of matches is made
# for it): about four times the cost of visiting one place of a line.
SCAN_COST = 4
# A changed file is compared line by line only below these sizes.
MAX_DIFF_LINES = 20_000
MAX_DIFF_CHARS = 4 * 1024 * 1024
# Lines of context around each change in a unified diff.
DIFF_CONTEXT = 3

TOO_LONG_NOTE = "too long to compare line by line"
OVER_BUDGET_NOTE = (
    "no line diff: comparing it line by line would take more than its share of the {limit:,} line "
    "comparisons of this command; the counts are of lines found in only one of the two"
)


@dataclass(frozen=True)
class LineDiff:
    """The hunks of the unified diff of two texts (None when none was made),
    the lines added and removed (None when not counted), and why there is
    no diff."""

    lines: list[str] | None
    added: int | None
    removed: int | None
    note: str | None = None


class _OverBudget(Exception):
    pass


class _CountingMatcher(difflib.SequenceMatcher):
    """difflib's matcher, charging each longest-match search to a budget
    before it runs."""

    def __init__(self, a: list[str], b: list[str], differ: LineDiffer) -> None:
        super().__init__(None, a, b, autojunk=True)
        self.differ = differ
        # Places of each line of ``a`` in ``b``, summed over a's lines.
        self.places = list(itertools.accumulate((len(self.b2j.get(line, ())) for line in a), initial=0))

    def find_longest_match(self, alo: int = 0, ahi: int | None = None, blo: int = 0, bhi: int | None = None) -> difflib.Match:
        ahi = len(self.a) if ahi is None else ahi
        bhi = len(self.b) if bhi is None else bhi
        self.differ.spend(SCAN_COST * (ahi - alo) + self.places[ahi] - self.places[alo])
        return super().find_longest_match(alo, ahi, blo, bhi)


def _split_lines(text: str) -> list[str]:
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


def _range_text(start: int, stop: int) -> str:
    beginning, length = start + 1, stop - start
    if length == 1:
        return str(beginning)
    if not length:
        beginning -= 1
    return f"{beginning},{length}"


class LineDiffer:
    """The line diffs of one command: its budget of line comparisons, and
    the diffs already made, by pair of texts."""

    def __init__(self, limit: int = MAX_LINE_COMPARISONS) -> None:
        self.limit = limit
        self.left = limit
        self.allowance = 0  # what the running comparison may still spend
        self.made: dict[tuple[int, int], tuple[str, str, LineDiff]] = {}

    def spend(self, comparisons: int) -> None:
        if comparisons > self.allowance:
            raise _OverBudget
        self.allowance -= comparisons
        self.left -= comparisons

    def diff(self, old: str, new: str) -> LineDiff:
        """The hunks of the unified diff of two texts (each pair compared once)."""
        key = (id(old), id(new))
        known = self.made.get(key)
        if known is None:
            known = self.made[key] = (old, new, self._diff(old, new))  # the texts keep their ids
        return known[2]

    def _diff(self, old: str, new: str) -> LineDiff:
        if len(old) > MAX_DIFF_CHARS or len(new) > MAX_DIFF_CHARS:
            return LineDiff(None, None, None, TOO_LONG_NOTE)
        a, b = _split_lines(old), _split_lines(new)
        if len(a) > MAX_DIFF_LINES or len(b) > MAX_DIFF_LINES:
            return LineDiff(None, None, None, TOO_LONG_NOTE)
        # The common beginning and end need no matching (most edits are small).
        prefix = 0
        limit = min(len(a), len(b))
        while prefix < limit and a[prefix] == b[prefix]:
            prefix += 1
        suffix = 0
        while suffix < limit - prefix and a[len(a) - 1 - suffix] == b[len(b) - 1 - suffix]:
            suffix += 1
        start = max(0, prefix - DIFF_CONTEXT)
        keep_end = max(0, suffix - DIFF_CONTEXT)
        a_mid, b_mid = a[start : len(a) - keep_end], b[start : len(b) - keep_end]
        self.allowance = self.left // 2  # the files after it keep the other half
        try:
            groups = list(_CountingMatcher(a_mid, b_mid, self).get_grouped_opcodes(DIFF_CONTEXT))
        except _OverBudget:
            only_old, only_new = Counter(a_mid), Counter(b_mid)
            only_old.subtract(b_mid)
            only_new.subtract(a_mid)
            added = sum(count for count in only_new.values() if count > 0)
            removed = sum(count for count in only_old.values() if count > 0)
            return LineDiff(None, added, removed, OVER_BUDGET_NOTE.format(limit=self.limit))
        lines: list[str] = []
        added = removed = 0
        for group in groups:
            first, last = group[0], group[-1]
            lines.append(f"@@ -{_range_text(first[1] + start, last[2] + start)} +{_range_text(first[3] + start, last[4] + start)} @@")
            for tag, i1, i2, j1, j2 in group:
                if tag == "equal":
                    lines.extend(" " + line for line in a_mid[i1:i2])
                    continue
                if tag in ("replace", "delete"):
                    lines.extend("-" + line for line in a_mid[i1:i2])
                    removed += i2 - i1
                if tag in ("replace", "insert"):
                    lines.extend("+" + line for line in b_mid[j1:j2])
                    added += j2 - j1
        return LineDiff(lines, added, removed)
