"""The ``figvault`` command line.

``figvault show ARCHIVE [--json]`` tells what an archive holds without
running anything from it; ``figvault expand ARCHIVE [--folder DIR]``
restores the saved sources and calls the saved function again, running the
archived code (the replay of ``figvault.expand``); ``figvault extract
ARCHIVE --folder DIR`` restores the sources without running anything.

Errors are reported as one line, "figvault: error: ...", on the standard
error stream; the exit status is 2 for a wrong command line and 1 for a
failure.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import traceback
import warnings
from typing import Any, Sequence

from . import expansion, replay, restore, safe_reader
from .prepare import ReplayWarning

PROG = "figvault"

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2


class CommandError(Exception):
    """A failure to report as one line."""


def _version() -> str:
    from . import __version__

    return str(__version__)


# ---------------------------------------------------------------------------
# Reading an archive
# ---------------------------------------------------------------------------


def _read(path: str, names: list[str] | None = None) -> dict:
    """The archive record of ``path``, read without running anything."""
    try:
        return safe_reader.read_archive(path, names)
    except FileNotFoundError:
        raise CommandError(f"cannot open {path!r}: no such file") from None
    except IsADirectoryError:
        raise CommandError(f"cannot open {path!r}: it is a directory") from None
    except OSError as error:
        reason = error.strerror or str(error)
        raise CommandError(f"cannot open {path!r}: {reason}") from None
    except safe_reader.ArchiveError as error:
        raise CommandError(f"{path!r} is not a figvault archive: {error}") from None


def _with_sources(summary: dict[str, Any], files: dict[str, str]) -> None:
    """Add to the function summary where its source is in the archive."""
    function = summary["function"]
    function["source_file"] = None
    function["source_line"] = None
    module = function.get("module")
    if not isinstance(module, str):
        return
    if module == "__main__":
        key = replay.main_script_key(files, function.get("filename"))
    else:
        roots, _ = replay.replay_plan(files, function)
        modules = replay.ArchiveModules(files, "/", roots)
        found = modules.resolve(module)
        key = modules.keys[found[2]] if found is not None and found[1] != "namespace" else None
    if key is None:
        return
    function["source_file"] = key
    function["source_line"] = function.get("firstlineno")
    qualname = function.get("qualname")
    if function.get("stored") == "by reference" and isinstance(qualname, str):
        found_def = replay.find_definition(files[key], qualname)
        if found_def is not None:
            line, parameters = found_def
            if function.get("kind") == "method":
                parameters = parameters[1:]  # bound to the saved instance
            function["source_line"], function["parameters"] = line, parameters


def summarize_archive(path: str) -> dict[str, Any]:
    """The summary that ``show`` prints, as JSON-ready data."""
    names: list[str] = []
    record = _read(path, names)
    try:
        summary = safe_reader.summarize(record)
        _with_sources(summary, safe_reader.source_files(record))
    except (safe_reader.ArchiveError, RecursionError) as error:
        reason = str(error) if isinstance(error, safe_reader.ArchiveError) else "the archive record is nested too deeply"
        raise CommandError(f"{path!r} is not a figvault archive: {reason}") from None
    try:
        size = os.path.getsize(path)
    except OSError:
        size = None
    summary["globals"] = names
    return {"archive": path, "size": size, **summary}


# ---------------------------------------------------------------------------
# show
# ---------------------------------------------------------------------------


def _clean(text: Any) -> str:
    """Text from an archive made safe for a terminal (no control characters)."""
    text = str(text)
    return text if text.isprintable() else repr(text)[1:-1]


def _table(header: Sequence[str], rows: Sequence[Sequence[str]], right: Sequence[int] = ()) -> list[str]:
    widths = [len(h) for h in header]
    for row in rows:
        widths = [max(w, len(cell)) for w, cell in zip(widths, row)]
    lines = []
    for row in [list(header)] + [list(r) for r in rows]:
        cells = [cell.rjust(w) if i in right else cell.ljust(w) for i, (cell, w) in enumerate(zip(row, widths))]
        lines.append("  " + "  ".join(cells).rstrip())
    return lines


def _function_lines(function: dict[str, Any]) -> list[str]:
    name = function.get("qualname") or function.get("name")
    params = function.get("parameters")
    kind = function.get("kind")
    if name:
        title = _clean(name) + ("(" + ", ".join(_clean(p) for p in params) + ")" if params is not None else "")
    else:
        title = f"<{_clean(kind)}>"
    lines = [f"Function   {title}"]
    if kind not in ("function", "global", "unknown"):
        lines.append(f"  kind      {_clean(kind)}")
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
        lines.append(f"  written   {where}")
    return lines


def _value_text(entry: dict[str, Any]) -> str:
    if entry.get("value") is not None:
        return _clean(entry["value"])
    if "shape" in entry:
        return "shape (" + ", ".join(str(n) for n in entry["shape"]) + ("," if len(entry["shape"]) == 1 else "") + ")"
    if "refers_to" in entry:
        return _clean(entry["refers_to"])
    if "length" in entry:
        return f"{entry['length']} items"
    return "-"


def render_text(summary: dict[str, Any]) -> str:
    lines = [f"Archive    {_clean(summary['archive'])}" + (f" ({summary['size']} bytes)" if summary.get("size") is not None else "")]
    lines += _function_lines(summary["function"])
    lines.append("")
    args = summary.get("args")
    if "args_type" in summary:
        lines.append(f"Arguments: not a dict but {_clean(summary['args_type'])}")
    elif args is None:
        lines.append("Arguments: none recorded; expand does not call the function")
    elif not args:
        lines.append("Arguments: none (the function is called without arguments)")
    else:
        lines.append(f"Arguments ({len(args)})")
        rows = [[_clean(a["name"]), _clean(a["type"]), _value_text(a)] for a in args]
        lines += _table(["NAME", "TYPE", "VALUE"], rows)
    lines.append("")
    files = summary.get("files") or []
    if "files_type" in summary:
        lines.append(f"Files: not a dict but {_clean(summary['files_type'])}")
    elif not files:
        lines.append("Files: none")
    else:
        lines.append(f"Files ({len(files)})")
        rows = []
        for f in files:
            size = "-" if f["bytes"] is None else str(f["bytes"])
            count = "-" if f["lines"] is None else str(f["lines"])
            rows.append([_clean(f["path"]), size, count])
        total_bytes = sum(f["bytes"] or 0 for f in files)
        total_lines = sum(f["lines"] or 0 for f in files)
        rows.append(["total", str(total_bytes), str(total_lines)])
        lines += _table(["PATH", "BYTES", "LINES"], rows, right=(1, 2))
    modules = list(dict.fromkeys(name.rpartition(".")[0] or name for name in summary.get("globals", ())))
    lines.append("")
    if modules:
        lines.append("Imported on load  " + ", ".join(_clean(m) for m in modules))
    else:
        lines.append("Imported on load  nothing")
    if summary.get("other_keys"):
        lines.append("")
        lines.append("Other entries: " + ", ".join(_clean(k) for k in summary["other_keys"]))
    return "\n".join(lines)


def command_show(options: argparse.Namespace) -> int:
    summary = summarize_archive(options.archive)
    if options.json:
        print(json.dumps(summary, indent=2))
    else:
        print(render_text(summary))
    return EXIT_OK


# ---------------------------------------------------------------------------
# expand
# ---------------------------------------------------------------------------


def _open_replay(path: str, folder: str | None) -> expansion.Replay:
    """The replay of ``path`` into ``folder``, checked and read; nothing runs."""
    if folder is not None:
        try:
            restore.new_folder_path(folder)
        except FileExistsError:
            raise CommandError(f"the folder {folder!r} exists already") from None
    names: list[str] = []
    record = _read(path, names)
    try:
        return expansion.Replay(path, folder, record=record, global_names=names)
    except FileExistsError:
        raise CommandError(f"the folder {folder!r} exists already") from None
    except restore.FileDictionaryError as error:
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
    replaying = _open_replay(path, options.folder)
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
    expand.add_argument("archive", metavar="ARCHIVE", help="the archive file")
    expand.add_argument(
        "--folder",
        metavar="DIR",
        default=None,
        help="a new folder to restore the saved source files into (it must not exist)",
    )
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
    extract.add_argument("archive", metavar="ARCHIVE", help="the archive file")
    extract.add_argument(
        "--folder",
        metavar="DIR",
        required=True,
        help="a new folder to restore the saved source files into (it must not exist)",
    )
    extract.set_defaults(handler=command_extract)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    options = parser.parse_args(argv)  # exits with status 2 on a usage error
    try:
        return options.handler(options)
    except CommandError as error:
        sys.stdout.flush()
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print(f"{PROG}: error: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of the output went away (`figvault show x | head`):
        # stop quietly, and keep the interpreter's final flush from failing.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILURE
