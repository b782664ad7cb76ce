"""``show``'s summary of one archive, as JSON-ready data.

The archive is read by the reader within the command's budget, walked once,
and described: the saved function (checked against the archived source it
names), every argument, every file and the snapshot's size by top-level
folder, what loading it would import and call, and what is worth a warning.
Nothing from the archive runs.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any

from ..reader import (
    Budget,
    Global,
    Plainness,
    ReadInfo,
    SavedPython,
    Walk,
    concerning,
    describe_type,
    read_record,
    saved_python,
    walk,
)
from ..sources import OUTSIDE, FileDictionaryError, key_parts, source_files
from ..terminal import clean_text
from .codecheck import CodeCheck, check_code, check_other_functions, line_span
from .compiling import COMPILE_ERRORS, Compiler, NotCompiled
from .locations import ArchivedSources, SourcePlace
from .function import MAX_PARAMETERS, describe_function, effective_code, find_definition, function_record
from .loading import scan_loading
from .text import ARG_KEY_CHARS, KEY_CHARS, NAME_CHARS, QUOTE_CHARS, ROW_CHARS, VALUE_CHARS
from .values import describe_value, text_lines, text_size, value_text

__all__ = ["ArchiveSummary", "describe_record", "summarize_archive"]

# Lines of the saved function's source kept in a summary.
MAX_SOURCE_LINES = 400

# The folder of a file whose key is not text, lies outside the folder, or
# cannot be restored for another reason.
NOT_TEXT_FOLDER = "(not text)"
OUTSIDE_FOLDER = "(outside the folder)"
NOT_RESTORABLE_FOLDER = "(not restorable)"

WARN_NOT_TEXT_KEY = (
    "the record holds {value} under a key that is not text ({kind}): a real load may turn that key "
    "into 'func', 'files' or 'args', so what runs can differ from what is shown"
)
WARN_DUPLICATE_KEY = "the record sets {key} more than once; a real load keeps the last value"
WARN_ARG_NOT_TEXT = "an argument is keyed by {kind}, not by a parameter name; a real load may merge it with another"
WARN_ARG_DUPLICATE = "the argument {key} is set more than once; a real load keeps the last value"
WARN_FILE_NOT_TEXT = "a file key or text is not text ({kind}); expand cannot restore it"
WARN_FILE_DUPLICATE = "the file {key} is set more than once; a real load keeps the last text"
WARN_CODE_DIFFERS = "the function's code does not come from {key}"
WARN_CODE_REPLACED = "the function's state replaces its code while it loads (it sets __code__)"
WARN_CODE_UNCHECKED = "the function's code could not be checked against {key}: {reason}"
WARN_LINES_UNREAD = "the function's lines were not looked up in {key}: {reason}"
# Why code is not checked against its source: bytecode belongs to one version.
OTHER_PYTHON_DETAIL = "the code was saved by Python {saved} and this is Python {running}"


@dataclass(repr=False)
class ArchiveSummary:
    """One archive as ``show`` sees it: the record, what the read saw, the
    archived sources (str keys and texts) and the JSON-ready ``report``."""

    path: str
    record: dict
    info: ReadInfo
    files: dict[str, str]
    report: dict[str, Any]

    def __repr__(self) -> str:  # the record is read data, which may be huge
        return f"<ArchiveSummary of {self.path!r}>"


# ---------------------------------------------------------------------------
# The record
# ---------------------------------------------------------------------------


def describe_record(record: dict, budget: Budget | None = None, walked: Walk | None = None) -> dict[str, Any]:
    """The saved function, arguments and files of an archive record, as
    JSON-ready data.

    Raises ArchiveError (LimitError) for a record nested too deeply or too
    large to describe (``walked`` is the :func:`~figvault.reader.walk` of
    the record against the same budget, when it has been made already).
    """
    budget = budget or Budget()
    if walked is None:
        walked = walk(record, budget)
    plain = Plainness(budget, walked.plain)
    args = record.get("args")
    arguments: list[dict[str, Any]] | None
    if "args" not in record or type(args) is not dict:
        arguments = None
    else:
        arguments = []
        for key, value in args.items():
            name = key if type(key) is str else value_text(key, ARG_KEY_CHARS)
            entry = {"name": name[:NAME_CHARS] if len(name) > NAME_CHARS else name}
            entry.update(describe_value(value, plain))
            budget.output(len(entry["name"]) + ROW_CHARS)
            arguments.append(entry)
    files = record.get("files", {})
    file_rows: list[dict[str, Any]] = []
    stats: dict[int, tuple[int, int]] = {}
    if type(files) is dict:
        for path, text in files.items():
            row: dict[str, Any] = {"path": path if type(path) is str else value_text(path, NAME_CHARS)}
            budget.output(min(len(row["path"]), NAME_CHARS) + ROW_CHARS)
            if type(text) is str:
                known = stats.get(id(text))
                if known is None:
                    known = stats[id(text)] = (text_size(text), text_lines(text))
                row["bytes"], row["lines"] = known
            else:
                row.update(bytes=None, lines=None, type=describe_type(text))
            file_rows.append(row)
    summary: dict[str, Any] = {
        "function": describe_function(record.get("func")),
        "args": arguments,
        "files": file_rows,
    }
    if "args" in record and type(args) is not dict:
        summary["args_type"] = describe_type(args)
    if type(files) is not dict:
        summary["files_type"] = describe_type(files)
    other = [key for key in record if not (type(key) is str and key in ("args", "files", "func"))]
    if other:
        summary["other_keys"] = [k if type(k) is str else describe_type(k) for k in other]
    return summary


def _key_text(key: Any) -> str:
    return value_text(key, KEY_CHARS) if type(key) in (str, bytes, int, bool, type(None)) else f"<{describe_type(key)}>"


def _record_warnings(record: dict, info: ReadInfo) -> list[str]:
    warnings: list[str] = []
    duplicated, _ = info.duplicate_keys(record)
    for key in duplicated:
        warnings.append(WARN_DUPLICATE_KEY.format(key=_key_text(key)))
    for key, value in record.items():
        if type(key) is not str:
            held = f"the global {value.dotted}" if isinstance(value, Global) else f"a {describe_type(value)}"
            warnings.append(
                WARN_NOT_TEXT_KEY.format(value=clean_text(held, QUOTE_CHARS), kind=clean_text(describe_type(key), VALUE_CHARS))
            )
    args = record.get("args")
    if type(args) is dict:
        duplicated, _ = info.duplicate_keys(args)
        warnings += [WARN_ARG_DUPLICATE.format(key=_key_text(key)) for key in duplicated]
        kinds = {describe_type(key) for key in args if type(key) is not str}
        warnings += [WARN_ARG_NOT_TEXT.format(kind=clean_text(kind, VALUE_CHARS)) for kind in sorted(kinds)[:8]]
    files = record.get("files")
    if type(files) is dict:
        duplicated, _ = info.duplicate_keys(files)
        warnings += [WARN_FILE_DUPLICATE.format(key=_key_text(key)) for key in duplicated]
        kinds: set[str] = set()
        for key, text in files.items():
            if type(key) is not str:
                kinds.add(describe_type(key))
            if type(text) is not str:
                kinds.add(describe_type(text))
            if len(kinds) > 8:
                break
        warnings += [WARN_FILE_NOT_TEXT.format(kind=clean_text(kind, VALUE_CHARS)) for kind in sorted(kinds)]
    return warnings


# ---------------------------------------------------------------------------
# The saved function's source
# ---------------------------------------------------------------------------


def _source_lines(source: str, first: int, last: int) -> str:
    lines = source.split("\n")
    last = min(last, len(lines), first + MAX_SOURCE_LINES - 1)
    return "\n".join(lines[first - 1 : last])


def _show_lines(function: dict[str, Any], source: str, first: int, last: int, budget: Budget) -> None:
    function["source_line"], function["source_end_line"] = first, last
    function["source_text"] = _source_lines(source, first, last)
    budget.output(len(function["source_text"]) + ROW_CHARS * min(last - first + 1, MAX_SOURCE_LINES))


def _by_value(
    record: dict, function: dict[str, Any], sources: ArchivedSources, compiler: Compiler, python: SavedPython
) -> list[str]:
    """The code check of a function stored by value, against the archived
    script, module or notebook cell it comes from; its lines when found.
    Code saved by another Python version is not checked (its bytecode
    differs anyway): its lines are looked up by name."""
    places = sources.places(function.get("filename"), function.get("qualname"), function.get("module"))
    if not places:
        function["code_check"] = {"status": "unchecked", "detail": "its source is not in the archive"}
        return []
    if not python.runs_here:
        place = places[0]
        function["source_file"], function["source_cell"] = place.key, place.cell
        detail = OTHER_PYTHON_DETAIL.format(saved=python.text, running=python.running)
        function["code_check"] = {"status": "unchecked", "detail": detail}
        _definition_lines(function, place, compiler)
        return []
    warnings: list[str] = []
    code_record = function_record(record.get("func"))
    if code_record is None or not code_record.args:
        check = CodeCheck("unchecked", "the stream holds no code record for it")
    else:
        code, replaced = effective_code(code_record)
        if replaced:
            warnings.append(WARN_CODE_REPLACED)
        check = check_code(code, places, compiler)
    place = check.place or places[0]
    function["source_file"], function["source_cell"] = place.key, place.cell
    function["code_check"] = {"status": check.status, "detail": check.detail}
    shown_key = clean_text(place.label, NAME_CHARS)
    if check.status == "differs":
        warnings.append(WARN_CODE_DIFFERS.format(key=shown_key) + f": {check.detail}")
    elif check.status == "unchecked":
        warnings.append(WARN_CODE_UNCHECKED.format(key=shown_key, reason=check.detail))
    if check.code is not None:
        _show_lines(function, place.lines, *line_span(check.code), compiler.budget)
    elif function.get("firstlineno"):
        function["source_line"] = function["firstlineno"]
    return warnings


def _by_reference(function: dict[str, Any], sources: ArchivedSources, compiler: Compiler) -> list[str]:
    """The lines and parameters of a function stored by reference, found in
    the syntax tree of its module's archived file (nothing is compiled)."""
    module, qualname = function.get("module"), function.get("qualname")
    key = sources.module_key(module) if isinstance(module, str) and module and module != "__main__" else None
    if key is None:
        function["code_check"] = {"status": "unchecked", "detail": "the function is not stored by value"}
        return []
    function["source_file"] = key
    function["code_check"] = {"status": "unchecked", "detail": "the code is not in the archive (stored by reference)"}
    if not isinstance(qualname, str):
        return []
    try:
        tree = compiler.tree(key, sources.files[key])
    except COMPILE_ERRORS:
        return []
    except NotCompiled as reason:
        return [WARN_LINES_UNREAD.format(key=clean_text(key, NAME_CHARS), reason=reason)]
    definition = find_definition(tree, qualname)
    if definition is None:
        return []
    first, last, parameters = definition
    parameters = parameters[:MAX_PARAMETERS]
    if function.get("kind") == "method":
        parameters = parameters[1:]  # bound to the saved instance
    function["parameters"] = [clean_text(p, NAME_CHARS) for p in parameters]
    _show_lines(function, sources.files[key], first, last, compiler.budget)
    return []


def _definition_lines(function: dict[str, Any], place: SourcePlace, compiler: Compiler) -> None:
    """The lines of the definition of the function in ``place``, found by
    its qualified name in the syntax tree (or its first line alone)."""
    qualname = function.get("qualname")
    definition = None
    if isinstance(qualname, str):
        try:
            definition = find_definition(compiler.tree(place.label, place.text), qualname)
        except (NotCompiled, *COMPILE_ERRORS):
            definition = None
    if definition is not None:
        _show_lines(function, place.lines, definition[0], definition[1], compiler.budget)
    elif function.get("firstlineno"):
        function["source_line"] = function["firstlineno"]


def _describe_source(
    record: dict, function: dict[str, Any], sources: ArchivedSources, compiler: Compiler, python: SavedPython
) -> list[str]:
    """Adds source_file, source_cell, source_line, source_end_line,
    source_text and code_check to ``function``; returns the warnings about
    its code."""
    function.update(source_file=None, source_cell=None, source_line=None, source_end_line=None, source_text=None)
    stored = function.get("stored")
    if stored == "by value":
        return _by_value(record, function, sources, compiler, python)
    if stored == "by reference":
        return _by_reference(function, sources, compiler)
    function["code_check"] = {"status": "unchecked", "detail": "the saved object is not a function"}
    return []


# ---------------------------------------------------------------------------
# One archive
# ---------------------------------------------------------------------------


def _folder(key: Any, budget: Budget) -> str:
    """The top-level folder a file key restores into, or why it restores nowhere."""
    if type(key) is not str:
        return NOT_TEXT_FOLDER
    try:
        parts = key_parts(key, budget)
    except FileDictionaryError as refused:
        return OUTSIDE_FOLDER if refused.problem in OUTSIDE else NOT_RESTORABLE_FOLDER
    return parts[0] + "/" if len(parts) > 1 else "./"


def _folders(record: dict, rows: list[dict[str, Any]], budget: Budget) -> list[dict[str, Any]]:
    """Files and bytes of the snapshot by top-level folder, largest first."""
    files = record.get("files")
    totals: dict[str, list[int]] = {}
    for row, key in zip(rows, files if type(files) is dict else ()):
        entry = totals.setdefault(_folder(key, budget), [0, 0])
        entry[0] += 1
        entry[1] += row["bytes"] or 0
    ordered = sorted(totals.items(), key=lambda item: (-item[1][1], item[0]))
    return [{"folder": name, "files": count, "bytes": size} for name, (count, size) in ordered]


def summarize_archive(path: str, budget: Budget | None = None) -> ArchiveSummary:
    """Read and describe one archive. Raises OSError for a file that cannot
    be opened, ArchiveError (LimitError) naming ``path`` for one that cannot
    be read or described."""
    budget = budget or Budget()
    with concerning(path):
        record, info = read_record(path, budget)
        budget.output(sum(len(name) + ROW_CHARS for name in info.names))  # the globals, listed by --json
        walked = walk(record, budget)
        report = describe_record(record, budget, walked)
        files = source_files(record)
        folders = _folders(record, report["files"], budget)
        warnings = _record_warnings(record, info)
        sources = ArchivedSources(files)
        compiler = Compiler(budget)
        python = saved_python(walked.nodes)
        report["function"]["python"] = python.text
        function_warnings = _describe_source(record, report["function"], sources, compiler, python)
        if python.runs_here:
            function_warnings += check_other_functions(
                walked.nodes, function_record(record.get("func")), sources, compiler
            )
        del compiler
        imports, calls, load_warnings = scan_loading(walked.nodes, info, budget)
        del walked
    try:
        size: int | None = os.path.getsize(path)
    except OSError:
        size = None
    report = {
        "archive": path,
        "size": size,
        **report,
        "folders": folders,
        "globals": info.names,
        "imports": imports,
        "calls": calls,
        "warnings": warnings + function_warnings + load_warnings,
    }
    return ArchiveSummary(path, record, info, files, report)
