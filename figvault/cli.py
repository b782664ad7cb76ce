"""The ``figvault`` command line.

``figvault show ARCHIVE [--json]`` tells what an archive holds without
running anything from it; ``figvault diff OLD NEW [--json] [--stat]``
compares two archives the same way; ``figvault expand ARCHIVE [--folder
DIR]`` restores the saved sources and calls the saved function again,
running the archived code (the replay of ``figvault.expand``); ``figvault
extract ARCHIVE --folder DIR`` restores the sources without running anything.

Errors are reported as one line, "figvault: error: ...", on the standard
error stream (with ``--json``, also as a JSON object on the standard
output); the exit status is 2 for a wrong command line and 1 for a failure.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import traceback
import warnings
from typing import Any, Sequence

from . import expansion, inspection, restore, safe_reader
from .prepare import ReplayWarning
from .sources import FileDictionaryError

PROG = "figvault"

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2


class CommandError(Exception):
    """A failure to report as one line.

    ``archive`` is the file concerned, ``limit`` the budget that ran out (if
    any), and ``output_failed`` tells that the standard output is unusable.
    """

    def __init__(
        self,
        message: str,
        archive: str | None = None,
        limit: safe_reader.LimitError | None = None,
        output_failed: bool = False,
    ) -> None:
        super().__init__(message)
        self.archive = archive
        self.limit = limit
        self.output_failed = output_failed


def _version() -> str:
    from . import __version__

    return str(__version__)


# ---------------------------------------------------------------------------
# Reading an archive
# ---------------------------------------------------------------------------


def _read(path: str, names: list[str] | None = None, limits: safe_reader.Limits | None = None) -> dict:
    """The archive record of ``path``, read without running anything."""
    try:
        return safe_reader.read_archive(path, names, limits)
    except FileNotFoundError:
        raise CommandError(f"cannot open {path!r}: no such file") from None
    except IsADirectoryError:
        raise CommandError(f"cannot open {path!r}: it is a directory") from None
    except OSError as error:
        reason = error.strerror or str(error)
        raise CommandError(f"cannot open {path!r}: {reason}") from None
    except safe_reader.LimitError as error:
        raise CommandError(f"{safe_reader.clean_text(path, safe_reader.NAME_CHARS)}: {error}", path, error) from None
    except safe_reader.ArchiveError as error:
        raise CommandError(f"{path!r} is not a figvault archive: {error}") from None


def _inspect(path: str, budget: safe_reader.Budget) -> inspection.Inspection:
    """One archive inspected for show and diff; every failure becomes a CommandError."""
    shown = safe_reader.clean_text(path, safe_reader.NAME_CHARS)
    try:
        return inspection.inspect_archive(path, budget)
    except FileNotFoundError:
        raise CommandError(f"cannot open {path!r}: no such file", archive=path) from None
    except IsADirectoryError:
        raise CommandError(f"cannot open {path!r}: it is a directory", archive=path) from None
    except OSError as error:
        reason = error.strerror or str(error)
        raise CommandError(f"cannot open {path!r}: {reason}", archive=path) from None
    except safe_reader.LimitError as error:
        raise CommandError(f"{shown}: {error}", archive=path, limit=error) from None
    except safe_reader.ArchiveError as error:
        raise CommandError(f"{path!r} is not a figvault archive: {error}", archive=path) from None
    except MemoryError:
        raise CommandError(f"{shown}: the archive is too large to inspect in the memory available", archive=path) from None
    except RecursionError:
        raise CommandError(f"{path!r} is not a figvault archive: the archive record is nested too deeply", archive=path) from None


def summarize_archive(path: str, budget: safe_reader.Budget | None = None) -> dict[str, Any]:
    """The summary that ``show`` prints, as JSON-ready data."""
    return _inspect(path, budget or safe_reader.Budget()).summary


# ---------------------------------------------------------------------------
# show
# ---------------------------------------------------------------------------

# Widest cells of a printed table, by kind of cell.
NAME_WIDTH = safe_reader.NAME_CHARS
TYPE_WIDTH = 60
VALUE_WIDTH = safe_reader.VALUE_TEXT_CHARS
# Widest line of a printed source or diff line.
LINE_WIDTH = 240


def _clean(text: Any, limit: int = NAME_WIDTH) -> str:
    """Text from an archive made safe for a terminal (no control characters
    or line breaks) and cut to ``limit`` characters."""
    return safe_reader.clean_text(text, limit)


def _code_line(text: str) -> str:
    """A line of archived source, tabs expanded, made safe for a terminal."""
    return _clean(text.expandtabs(8), LINE_WIDTH)


def _table(header: Sequence[str], rows: Sequence[Sequence[str]], right: Sequence[int] = ()) -> list[str]:
    widths = [len(h) for h in header]
    for row in rows:
        widths = [max(w, len(cell)) for w, cell in zip(widths, row)]
    lines = []
    for row in [list(header)] + [list(r) for r in rows]:
        cells = [cell.rjust(w) if i in right else cell.ljust(w) for i, (cell, w) in enumerate(zip(row, widths))]
        lines.append("  " + "  ".join(cells).rstrip())
    return lines


CODE_CHECK_TEXT = {
    "matches": "matches {key}",
    "differs": "DOES NOT come from {key}",
    "unchecked": "not checked: {detail}",
}


def _signature(name: str, params: list[str] | None) -> str:
    """name(param, ...) on one line of bounded width."""
    text = _clean(name) + ("(" + ", ".join(_clean(p) for p in params) + ")" if params is not None else "")
    return _clean(text, LINE_WIDTH)


def _function_lines(function: dict[str, Any]) -> list[str]:
    name = function.get("qualname") or function.get("name")
    params = function.get("parameters")
    kind = function.get("kind")
    if name:
        title = _signature(name, params)
    else:
        title = f"<{_clean(kind, TYPE_WIDTH)}>"
    lines = [f"Function   {title}"]
    if kind not in ("function", "global", "unknown"):
        lines.append(f"  kind      {_clean(kind, TYPE_WIDTH)}")
    lines.append(f"  module    {_clean(function.get('module') or '?')}")
    stored = function.get("stored")
    if stored == "by reference":
        stored += " (the module is imported when the archive is loaded)"
    elif stored == "by value":
        stored += " (the code is in the archive)"
    lines.append(f"  stored    {stored}")
    if function.get("source_file"):
        where = _clean(function["source_file"])
        if function.get("source_line"):
            where += f", line {function['source_line']}"
        lines.append(f"  source    {where}")
    elif function.get("filename"):
        where = _clean(function["filename"])
        if function.get("firstlineno"):
            where += f", line {function['firstlineno']}"
        lines.append(f"  written   {where} (not in the archive)")
    check = function.get("code_check")
    if check and (function.get("stored") == "by value" or check["status"] != "unchecked"):
        text = CODE_CHECK_TEXT[check["status"]].format(
            key=_clean(function.get("source_file") or "?"), detail=_clean(check["detail"], LINE_WIDTH)
        )
        lines.append(f"  code      {text}")
    return lines


def _value_text(entry: dict[str, Any]) -> str:
    if entry.get("value") is not None:
        return _clean(entry["value"], VALUE_WIDTH)
    parts = []
    if "shape" in entry:
        shape = entry["shape"]
        parts.append("shape (" + ", ".join(str(n) for n in shape) + ("," if len(shape) == 1 else "") + ")")
    if "dtype" in entry:
        parts.append(_clean(entry["dtype"], TYPE_WIDTH))
    if parts:
        return ", ".join(parts)
    if "refers_to" in entry:
        return _clean(entry["refers_to"])
    if "length" in entry:
        return f"{entry['length']} items"
    return "-"


def _source_lines(function: dict[str, Any]) -> list[str]:
    text = function.get("source_text")
    if text is None:
        return []
    first = function.get("source_line") or 1
    last = function.get("source_end_line") or first
    lines = text.split("\n")
    width = len(str(first + len(lines)))
    shown = [f"Source     {_clean(function['source_file'])}, lines {first}-{last}"]
    shown += [f"  {str(first + i).rjust(width)}  {_code_line(line)}".rstrip() for i, line in enumerate(lines)]
    if last - first + 1 > len(lines):
        shown.append(f"  ... {last - first + 1 - len(lines)} more lines")
    return shown


def _share(part: int, whole: int) -> str:
    return f"{100 * part / whole:.0f}%" if whole else "-"


def render_text(summary: dict[str, Any]) -> str:
    """The text that ``show`` prints for a summary."""
    size = summary.get("size")
    lines = [f"Archive    {_clean(summary['archive'])}" + (f" ({size} bytes)" if size is not None else "")]
    lines += _function_lines(summary["function"])
    warnings = summary.get("warnings") or []
    if warnings:
        lines.append("")
        lines.append(f"Warnings ({len(warnings)})")
        lines += [f"  ! {_clean(warning, LINE_WIDTH)}" for warning in warnings]
    source = _source_lines(summary["function"])
    if source:
        lines.append("")
        lines += source
    lines.append("")
    args = summary.get("args")
    if "args_type" in summary:
        lines.append(f"Arguments: not a dict but {_clean(summary['args_type'], TYPE_WIDTH)}")
    elif args is None:
        lines.append("Arguments: none recorded; expand does not call the function")
    elif not args:
        lines.append("Arguments: none (the function is called without arguments)")
    else:
        lines.append(f"Arguments ({len(args)})")
        rows = [[_clean(a["name"]), _clean(a["type"], TYPE_WIDTH), _value_text(a)] for a in args]
        lines += _table(["NAME", "TYPE", "VALUE"], rows)
    lines.append("")
    files = summary.get("files") or []
    if "files_type" in summary:
        lines.append(f"Files: not a dict but {_clean(summary['files_type'], TYPE_WIDTH)}")
    elif not files:
        lines.append("Files: none")
    else:
        lines.append(f"Files ({len(files)})")
        rows = []
        for f in files:
            size_text = "-" if f["bytes"] is None else str(f["bytes"])
            count = "-" if f["lines"] is None else str(f["lines"])
            rows.append([_clean(f["path"]), size_text, count])
        total_bytes = sum(f["bytes"] or 0 for f in files)
        total_lines = sum(f["lines"] or 0 for f in files)
        rows.append(["total", str(total_bytes), str(total_lines)])
        lines += _table(["PATH", "BYTES", "LINES"], rows, right=(1, 2))
        folders = summary.get("folders") or []
        if folders:
            lines.append("")
            lines.append("Snapshot by top-level folder")
            rows = [[_clean(f["folder"]), str(f["files"]), str(f["bytes"]), _share(f["bytes"], total_bytes)] for f in folders]
            lines += _table(["FOLDER", "FILES", "BYTES", "SHARE"], rows, right=(1, 2, 3))
    lines.append("")
    imports = summary.get("imports")
    if imports is None:  # a summary from an older reader
        imports = [{"module": name.rpartition(".")[0] or name, "via": "global"} for name in summary.get("globals", ())]
    if imports:
        listed = []
        for entry in imports:
            text = _clean(entry["module"])
            if entry.get("via") not in (None, "global"):
                text += f" (through {_clean(entry['via'])})"
            listed.append(text)
        lines.append("Imported on load  " + ", ".join(dict.fromkeys(listed)))
    else:
        lines.append("Imported on load  nothing")
    if summary.get("other_keys"):
        lines.append("")
        lines.append("Other entries: " + ", ".join(_clean(k) for k in summary["other_keys"]))
    return "\n".join(lines)


def _write_output(text: str, budget: safe_reader.Budget) -> None:
    """Print ``text`` (and a line break) within the output budget. Text that
    the output's encoding cannot hold is written as escapes."""
    if len(text) > budget.limits.output:
        raise safe_reader.LimitError("the output", safe_reader.count_text(budget.limits.output, "characters"))
    stream = sys.stdout
    if stream is None:
        raise CommandError("there is no standard output to write to")
    try:
        stream.reconfigure(errors="backslashreplace")  # type: ignore[union-attr]
    except (AttributeError, ValueError, OSError):
        pass
    try:
        stream.write(text + "\n")
        stream.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        _silence_stdout()
        raise CommandError(f"cannot write the output: {error.strerror or error}", output_failed=True) from None


def _silence_stdout() -> None:
    """Point the standard output at the null device, so that the
    interpreter's last flush of what could not be written does not fail."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, AttributeError, ValueError):
        pass


def _limit_failure(path: str, error: safe_reader.LimitError) -> CommandError:
    return CommandError(f"{safe_reader.clean_text(path, NAME_WIDTH)}: {error}", archive=path, limit=error)


def command_show(options: argparse.Namespace) -> int:
    budget = safe_reader.Budget()
    path = options.archive
    summary = _inspect(path, budget).summary
    try:
        text = json.dumps(summary, indent=2) if options.json else render_text(summary)
        _write_output(text, budget)
    except safe_reader.LimitError as error:
        raise _limit_failure(path, error) from None
    return EXIT_OK


# ---------------------------------------------------------------------------
# diff
# ---------------------------------------------------------------------------

DIFF_STATUS_TEXT = {"same": "same", "changed": "changed", "added": "added", "removed": "removed"}


def _side_text(side: dict[str, Any] | None) -> str:
    if not side:
        return "-"
    described = _value_text(side)
    kind = _clean(side.get("type", "?"), TYPE_WIDTH)
    return described if side.get("value") is not None else f"{kind} {described}".strip()


def render_diff_text(report: dict[str, Any], stat: bool = False) -> str:
    """The text that ``diff`` prints for a comparison."""
    old, new = report["old"], report["new"]
    lines = [
        f"Old        {_clean(old['archive'])}" + (f" ({old['size']} bytes)" if old.get("size") is not None else ""),
        f"New        {_clean(new['archive'])}" + (f" ({new['size']} bytes)" if new.get("size") is not None else ""),
    ]
    for label, side in (("old", old), ("new", new)):
        for warning in side.get("warnings") or []:
            lines.append(f"  ! {label}: {_clean(warning, LINE_WIDTH)}")
    function = report["function"]

    before = _signature(function["old"].get("qualname") or "?", function["old"].get("parameters"))
    after = _signature(function["new"].get("qualname") or "?", function["new"].get("parameters"))
    title = after if before == after else f"{before} -> {after}"
    lines.append("")
    lines.append(f"Function   {title}")
    code = {"same": "unchanged", "changed": "CHANGED", "unknown": "cannot be compared"}[function["code"]]
    lines.append(f"  code      {code}")
    if function["code"] == "same" and function["record"] == "changed":
        lines.append("  other     its defaults, globals or attributes changed")
    for key in ("module", "stored"):
        old_value, new_value = function["old"].get(key), function["new"].get(key)
        if old_value != new_value:
            lines.append(f"  {key:<9} {_clean(old_value or '?')} -> {_clean(new_value or '?')}")
    lines.append("")
    args = report["args"]
    changed = [a for a in args if a["status"] != "same"]
    lines.append(f"Arguments ({len(changed)} of {len(args)} changed)" if args else "Arguments: none")
    rows = []
    for entry in args:
        if entry["status"] == "same":
            rows.append([_clean(entry["name"]), "same", _side_text(entry.get("old")), ""])
        else:
            old_text, new_text = _side_text(entry.get("old")), _side_text(entry.get("new"))
            if entry["status"] == "changed" and old_text == new_text:
                new_text = "same type and shape, other data"
            rows.append([_clean(entry["name"]), entry["status"], old_text, new_text])
    if rows:
        lines += _table(["NAME", "CHANGE", "OLD", "NEW"], rows)
    counts = report["file_counts"]
    lines.append("")
    lines.append(
        f"Files: {counts['changed']} changed, {counts['added']} added, {counts['removed']} removed, {counts['same']} unchanged"
    )
    rows = []
    for row in report["files"]:
        plus = row.get("added_lines")
        minus = row.get("removed_lines")
        change = f"+{plus if plus is not None else '?'} -{minus if minus is not None else '?'}"
        rows.append([row["status"], _clean(row["path"]), change, _clean(row.get("note", ""), LINE_WIDTH)])
    if rows:
        lines += _table(["CHANGE", "PATH", "LINES", ""], rows)
    if not stat:
        for row in report["files"]:
            if row.get("diff"):
                lines.append("")
                lines += [_code_line(line) for line in row["diff"]]
    return "\n".join(lines)


def command_diff(options: argparse.Namespace) -> int:
    budget = safe_reader.Budget()
    old = _inspect(options.old, budget)
    new = _inspect(options.new, budget)
    try:
        report = inspection.diff_archives(old, new, budget, with_lines=not options.stat)
        text = json.dumps(report, indent=2) if options.json else render_diff_text(report, options.stat)
        _write_output(text, budget)
    except safe_reader.LimitError as error:
        raise _limit_failure(options.new, error) from None
    return EXIT_OK


# ---------------------------------------------------------------------------
# expand
# ---------------------------------------------------------------------------


def _open_replay(path: str, folder: str | None, runs_code: bool = True) -> expansion.Replay:
    """The replay of ``path`` into ``folder``, checked and read; nothing runs."""
    if folder is not None:
        try:
            restore.new_folder_path(folder)
        except FileExistsError:
            raise CommandError(f"the folder {folder!r} exists already") from None
    names: list[str] = []
    try:
        limits = safe_reader.limits_for_loading(path) if runs_code else None
    except OSError:
        limits = None  # reading it reports the problem
    record = _read(path, names, limits)
    try:
        return expansion.Replay(path, folder, record=record, global_names=names, runs_code=runs_code)
    except FileExistsError:
        raise CommandError(f"the folder {folder!r} exists already") from None
    except FileDictionaryError as error:
        raise CommandError(f"cannot restore the sources of {path!r}: {error}") from None


def _restore(path: str, replaying: expansion.Replay) -> None:
    """Write the sources; a failure is one line (the folder is removed again)."""
    try:
        replaying.restore()
    except FileExistsError:
        raise CommandError(f"the folder {replaying.folder!r} exists already") from None
    except (OSError, ValueError) as error:
        reason = (error.strerror if isinstance(error, OSError) else None) or str(error) or type(error).__name__
        raise CommandError(
            f"restoring the sources of {path!r} into {replaying.folder!r} failed: {_clean(reason)}; nothing was restored"
        ) from None


def _show_replay_warning(message: Any, category: type, filename: str, lineno: int, file: Any = None, line: Any = None) -> None:
    """Warnings while preparing a replay, as one 'figvault: warning:' line each."""
    stream = file if file is not None else sys.stderr
    text = f"{PROG}: warning: {_clean(filename)}:{lineno}: {_clean(message)}"
    try:
        print(text, file=stream)
    except (OSError, ValueError):  # stderr is gone: nothing to tell
        pass


def command_expand(options: argparse.Namespace) -> int:
    path = options.archive
    replaying = _open_replay(path, options.folder)
    _restore(path, replaying)
    with warnings.catch_warnings():
        warnings.simplefilter("always", ReplayWarning)
        previous, warnings.showwarning = warnings.showwarning, _show_replay_warning
        try:
            replaying.run()
        except safe_reader.ArchiveError as error:
            where = f"; the sources were restored into {replaying.folder!r}" if replaying.restored else ""
            raise CommandError(f"{path!r} is not a figvault archive: {error}{where}") from None
        except Exception as error:
            return _report_crash(path, error, replaying)
        finally:
            warnings.showwarning = previous
    return EXIT_OK


def command_extract(options: argparse.Namespace) -> int:
    path = options.archive
    replaying = _open_replay(path, options.folder, runs_code=False)
    _restore(path, replaying)
    return EXIT_OK


_PACKAGE_FOLDER = os.path.dirname(os.path.abspath(__file__))


def _report_crash(path: str, error: BaseException, replaying: expansion.Replay) -> int:
    """A failure while the archive loads or its function runs: the traceback
    (it is the user's code that failed), then the one-line error."""
    sys.stdout.flush()
    # Start the traceback where the replay leaves figvault's own Python code.
    tb = error.__traceback__
    while tb is not None and tb.tb_next is not None:
        if os.path.dirname(os.path.abspath(tb.tb_frame.f_code.co_filename)) != _PACKAGE_FOLDER:
            break
        tb = tb.tb_next
    traceback.print_exception(type(error), error, tb, file=sys.stderr)
    try:
        lines = str(error).splitlines()
    except Exception:  # an exception whose text cannot be made
        lines = []
    message = _clean(lines[0]) if lines else ""
    detail = type(error).__name__ + (f": {message}" if message else "")
    where = f"; the sources were restored into {replaying.folder!r}" if replaying.restored else ""
    print(f"{PROG}: error: expanding {path!r} failed: {detail}{where}", file=sys.stderr)
    return EXIT_FAILURE


# ---------------------------------------------------------------------------
# The parser
# ---------------------------------------------------------------------------


class _VersionAction(argparse.Action):
    """--version, reading the version only when asked (it is slow to read)."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        kwargs.setdefault("nargs", 0)
        kwargs.setdefault("default", argparse.SUPPRESS)
        super().__init__(option_strings, dest, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, namespace: Any, values: Any, option_string: Any = None) -> None:
        print(f"{parser.prog} {_version()}")
        parser.exit()


def _add_archive_and_folder(command: argparse.ArgumentParser, folder_required: bool) -> None:
    command.add_argument("archive", metavar="ARCHIVE", help="the archive file")
    command.add_argument(
        "--folder",
        metavar="DIR",
        default=None,
        required=folder_required,
        help="a new folder to restore the saved source files into (it must not exist)",
    )


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Inspect and replay figvault archives (files written by figvault.archive).",
    )
    parser.add_argument("--version", action=_VersionAction, help="show the version and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    show = commands.add_parser(
        "show",
        help="show what an archive holds, without running anything from it",
        description=(
            "Show the saved function, the saved arguments and the saved source files of an archive. "
            "The archive is read with a restricted reader that imports no module and calls no function "
            "named in it, so showing an untrusted archive is safe."
        ),
    )
    show.add_argument("archive", metavar="ARCHIVE", help="the archive file")
    show.add_argument("--json", action="store_true", help="print the summary as JSON")
    show.set_defaults(handler=command_show)

    diff = commands.add_parser(
        "diff",
        help="compare two archives, without running anything from them",
        description=(
            "Tell which saved arguments and which saved files differ between two archives, and whether "
            "the saved function's code changed. Both archives are read like show reads them: nothing "
            "from them runs."
        ),
    )
    diff.add_argument("old", metavar="OLD", help="the older archive")
    diff.add_argument("new", metavar="NEW", help="the newer archive")
    diff.add_argument("--json", action="store_true", help="print the comparison as JSON")
    diff.add_argument("--stat", action="store_true", help="count changed lines per file instead of printing diffs")
    diff.set_defaults(handler=command_diff)

    expand = commands.add_parser(
        "expand",
        help="restore the saved sources and call the saved function again",
        description=(
            "With --folder, write the saved source files into that new folder first; then load the "
            "archive and call the saved function with the saved arguments in the current folder. "
            "The archive's own modules are importable while it loads and runs, so it runs the "
            "archived code and replays in an empty folder. "
            "This runs code from the archive: expand only archives you trust."
        ),
    )
    _add_archive_and_folder(expand, folder_required=False)
    expand.set_defaults(handler=command_expand)

    extract = commands.add_parser(
        "extract",
        help="restore the saved sources without running anything",
        description=(
            "Write the saved source files of an archive into a new folder. The archive is read with "
            "the restricted reader of show: nothing from it is imported or run, so extracting an "
            "untrusted archive is safe."
        ),
    )
    _add_archive_and_folder(extract, folder_required=True)
    extract.set_defaults(handler=command_extract)
    return parser


def _report_failure(options: argparse.Namespace, error: CommandError) -> int:
    """The one-line error on stderr; under --json also a JSON object on stdout."""
    message = safe_reader.clean_text(str(error))
    if getattr(options, "json", False) and not error.output_failed and sys.stdout is not None:
        failure: dict[str, Any] = {"error": message}
        if error.archive is not None:
            failure["archive"] = error.archive
        if error.limit is not None:
            failure["what"], failure["limit"] = error.limit.what, error.limit.limit
        try:
            sys.stdout.write(json.dumps(failure) + "\n")
            sys.stdout.flush()
        except OSError:
            _silence_stdout()
    else:
        try:
            if sys.stdout is not None:
                sys.stdout.flush()
        except OSError:
            _silence_stdout()
    try:
        print(f"{PROG}: error: {message}", file=sys.stderr)
    except (OSError, AttributeError):
        pass
    return EXIT_FAILURE


# Commands that only read archives: any failure of theirs is reported as
# one line (the archive may be hostile; a traceback would help nobody).
_READING_COMMANDS = ("show", "diff")


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    options = parser.parse_args(argv)  # exits with status 2 on a usage error
    try:
        try:
            return options.handler(options)
        except (CommandError, KeyboardInterrupt, BrokenPipeError):
            raise
        except MemoryError:
            if options.command not in _READING_COMMANDS:
                raise
            raise CommandError("out of memory while reading the archive") from None
        except RecursionError:
            if options.command not in _READING_COMMANDS:
                raise
            raise CommandError("the archive is nested too deeply to read") from None
        except Exception as error:
            if options.command not in _READING_COMMANDS:
                raise
            detail = safe_reader.clean_text(f"{type(error).__name__}: {error}", 200)
            raise CommandError(f"the archive cannot be inspected ({detail})") from None
    except CommandError as error:
        return _report_failure(options, error)
    except KeyboardInterrupt:
        print(f"{PROG}: error: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of the output went away (`figvault show x | head`):
        # stop quietly, and keep the interpreter's final flush from failing.
        _silence_stdout()
        return EXIT_FAILURE
