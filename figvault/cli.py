"""The ``figvault`` command line.

``figvault show ARCHIVE [--json]`` tells what an archive holds without
running anything from it; ``figvault diff OLD NEW [--json] [--stat] [--raw]
[--exit-code]`` compares two archives the same way; ``figvault list [DIR]
[--json]`` lists the archives of a folder; ``figvault expand ARCHIVE
[--folder DIR]`` restores the saved sources and calls the saved function
again, running the archived code (the replay of ``figvault.expand``);
``figvault extract ARCHIVE --folder DIR`` restores the sources without
running anything.

Each command parses its arguments and calls one function of the pipeline
(:func:`figvault.view.show`, :func:`figvault.view.diff`,
:func:`figvault.view.list_archives`, the steps of
:class:`figvault.replay.Replay`); every error goes through one handler,
:func:`_report`. A failure of the replayed code prints its traceback, then
one line; every other failure is one line, "figvault: error: ...", on the
standard error stream (with ``--json``, also a JSON object on the standard
output). A replay that succeeds says so in one line on the standard error
stream. The exit status is 2 for a wrong command line and 1 for a failure;
``diff --exit-code`` exits with 0 for the same archives, 1 for different
ones and 2 for a failure. The list of restored paths that ``extract`` and
``expand`` print is only a report: when the standard output fails, the
listing stops and the command goes on; a closed pipe (``| head``) is no
failure, any other output error is reported once the command is done.

The pipeline is imported by the command that uses it, so that parsing the
command line (and ``figvault --help``) stays fast.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
from typing import TYPE_CHECKING, Any, Iterator, Sequence

from .terminal import clean_text

if TYPE_CHECKING:
    from .reader import Budget
    from .replay import Replay

PROG = "figvault"

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_INTERRUPTED = 130
# `diff --exit-code`: 1 means "the archives differ", so a failure is 2 there (as diff(1) does).
EXIT_DIFFERENT = 1
EXIT_DIFF_TROUBLE = 2

# Characters of an unexpected error's own text shown in ours, and of a name.
DETAIL_CHARS = 200
NAME_CHARS = 200

# The line on standard error after a replay, and its end for a function
# rebuilt from the archived sources (code saved by another Python version).
REPLAYED_NOTE = "replayed {function} from {archive}"
REBUILT_NOTE = " (its code was saved by Python {saved}; rebuilt from {source})"

# The figvault package's folder: a traceback of replayed code starts where
# the replay leaves it.
_PACKAGE_FOLDER = os.path.dirname(os.path.abspath(__file__))


class OutputError(Exception):
    """The standard output cannot be written (a JSON error object cannot be either)."""


class _Command:
    """What the error handler knows of the running command: its options,
    the archive it works on (as the user wrote it; None while ``diff``
    reads both), and the replay it runs."""

    def __init__(self, options: argparse.Namespace) -> None:
        self.options = options
        self.archive: str | None = None
        self.replay: Replay | None = None
        self.listing_error: OSError | ValueError | None = None


def _version() -> str:
    from . import __version__

    return str(__version__)


# ---------------------------------------------------------------------------
# The commands
# ---------------------------------------------------------------------------


def command_show(options: argparse.Namespace, command: _Command) -> None:
    from . import view
    from .reader import Budget

    command.archive = options.archive
    budget = Budget()
    _write_output(view.show(options.archive, budget, as_json=options.json), budget)


def command_diff(options: argparse.Namespace, command: _Command) -> int:
    from . import view
    from .reader import Budget

    budget = Budget()
    text, same = view.diff(options.old, options.new, budget, as_json=options.json, stat=options.stat, raw=options.raw)
    command.archive = options.new  # what is left to fail is the comparison's output
    _write_output(text, budget)
    return EXIT_DIFFERENT if options.exit_code and not same else EXIT_OK


def command_list(options: argparse.Namespace, command: _Command) -> None:
    from . import view
    from .reader import Budget

    command.archive = options.folder
    budget = Budget()
    _write_output(view.list_archives(options.folder, budget, as_json=options.json), budget)


def command_expand(options: argparse.Namespace, command: _Command) -> None:
    from .replay import Replay

    command.archive = options.archive
    replay = command.replay = Replay(options.archive, options.folder)
    with _replay_warnings():
        replay.prepare()
        replay.restore()
        _end_listing(replay, command)  # before the replayed code prints
        replay.run()
    if replay.called is not None:  # a record without arguments calls nothing
        _print_error_line(_replayed_note(replay, options.archive))


def command_extract(options: argparse.Namespace, command: _Command) -> None:
    from .replay import Replay

    command.archive = options.archive
    command.replay = Replay(options.archive, options.folder, runs_code=False)
    command.replay.extract()
    _end_listing(command.replay, command)


def _end_listing(replay: Replay, command: _Command) -> None:
    """The restore went on when the standard output failed while it listed
    the restored paths; point the output at the null device, so that what is
    still buffered (or printed later) goes nowhere instead of failing again.
    A closed pipe means the reader has all it wanted (`| head`): nothing to
    tell. Any other failure lost output nobody chose to drop: it is reported
    when the command is done."""
    error = replay.listing_error
    if error is None:
        return
    _silence_stdout()
    if not isinstance(error, BrokenPipeError):
        command.listing_error = error


def _signature(func: Any) -> str:
    """``name(a, b, *rest)``: a function's name and parameter names."""
    import inspect

    name = getattr(func, "__qualname__", None) or getattr(func, "__name__", None) or type(func).__name__
    try:
        parameters = inspect.signature(func).parameters.values()
    except (TypeError, ValueError):  # no signature to read
        return str(name)
    prefixes = {inspect.Parameter.VAR_POSITIONAL: "*", inspect.Parameter.VAR_KEYWORD: "**"}
    return f"{name}({', '.join(prefixes.get(p.kind, '') + p.name for p in parameters)})"


def _replayed_note(replay: Replay, archive: str) -> str:
    """One line saying which function was replayed from which archive."""
    signature = _signature(replay.called)
    note = REPLAYED_NOTE.format(function=clean_text(signature, NAME_CHARS), archive=clean_text(archive, NAME_CHARS))
    if replay.rebuilds:
        note += REBUILT_NOTE.format(saved=replay.python.text, source=clean_text(replay.rebuilt_from, NAME_CHARS))
    return note


def _print_error_line(text: str) -> None:
    """One line on the standard error stream, after what the standard
    output holds so far, when there is one to write to."""
    try:
        if sys.stdout is not None:
            sys.stdout.flush()
        print(text, file=sys.stderr, flush=True)
    except (OSError, AttributeError, ValueError):
        pass


def _write_output(text: str, budget: Budget) -> None:
    """Print ``text`` (and a line break) within the output budget. Text that
    the output's encoding cannot hold is written as escapes."""
    budget.check_output(len(text))
    stream = sys.stdout
    if stream is None:
        raise OutputError("there is no standard output to write to")
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
        raise OutputError(f"cannot write the output: {error.strerror or error}") from None


def _silence_stdout() -> None:
    """Point the standard output at the null device, so that the
    interpreter's last flush of what could not be written does not fail."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, AttributeError, ValueError):
        pass


def _show_replay_warning(message: Any, category: type, filename: str, lineno: int, file: Any = None, line: Any = None) -> None:
    """Warnings while preparing a replay, as one 'figvault: warning:' line each."""
    stream = file if file is not None else sys.stderr
    text = f"{PROG}: warning: {clean_text(filename, NAME_CHARS)}:{lineno}: {clean_text(message, NAME_CHARS)}"
    try:
        print(text, file=stream)
    except (OSError, ValueError):  # stderr is gone: nothing to tell
        pass


@contextlib.contextmanager
def _replay_warnings() -> Iterator[None]:
    """Show every ReplayWarning of the block as one line."""
    import warnings

    from .replay import ReplayWarning

    with warnings.catch_warnings():
        warnings.simplefilter("always", ReplayWarning)
        previous, warnings.showwarning = warnings.showwarning, _show_replay_warning
        try:
            yield
        finally:
            warnings.showwarning = previous


# ---------------------------------------------------------------------------
# Errors
# ---------------------------------------------------------------------------


def _report(error: BaseException, command: _Command) -> int:
    """The one error handler: the exit status for ``error``, after telling
    what failed."""
    from .reader import ArchiveError, LimitError
    from .replay import ForeignCodeError

    if isinstance(error, KeyboardInterrupt):
        print(f"{PROG}: error: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    replay = command.replay
    in_replayed_code = replay is not None and replay.stage == "run"
    if in_replayed_code and isinstance(error, Exception) and not isinstance(
        error, (ArchiveError, ForeignCodeError, OutputError)
    ):
        return _report_crash(error, command)
    if isinstance(error, BrokenPipeError):
        # The reader of the output went away (`figvault show x | head`):
        # stop quietly, and keep the interpreter's final flush from failing.
        _silence_stdout()
        return EXIT_FAILURE
    if not isinstance(error, Exception):  # SystemExit and the like go on
        raise error
    archive = command.archive if command.archive is not None else _archive_of(error)
    failure: dict[str, Any] = {"error": clean_text(_message(error, command, archive))}
    if archive is not None:
        failure["archive"] = archive
    if isinstance(error, LimitError):
        failure["what"], failure["limit"] = error.what, error.limit
    _print_failure(failure, json_too=getattr(command.options, "json", False) and not isinstance(error, OutputError))
    return EXIT_FAILURE


def _archive_of(error: BaseException) -> str | None:
    """The archive that an error names, when the command worked on several."""
    from .reader import ArchiveError

    if isinstance(error, ArchiveError):
        return error.archive
    if isinstance(error, OSError) and isinstance(error.filename, str):
        return error.filename
    return None


def _message(error: Exception, command: _Command, archive: str | None) -> str:
    """The one line that tells what failed, by kind of error and by step."""
    from .reader import ArchiveError, ArchiveTooLarge, LimitError
    from .replay import ForeignCodeError
    from .sources import FileDictionaryError

    stage = command.replay.stage if command.replay is not None else None
    folder = getattr(command.options, "folder", None)
    if isinstance(error, (OutputError, ForeignCodeError)):
        return str(error) + (_restored(command) if isinstance(error, ForeignCodeError) else "")
    if isinstance(error, FileExistsError) and stage in ("folder", "restore"):
        return f"the folder {folder!r} exists already"
    if isinstance(error, FileDictionaryError):
        return f"cannot restore the sources of {archive!r}: {error}"
    if stage == "restore" and isinstance(error, (OSError, ValueError)):
        reason = (error.strerror if isinstance(error, OSError) else None) or str(error) or type(error).__name__
        target = command.replay.folder if command.replay is not None else folder
        return f"restoring the sources of {archive!r} into {target!r} failed: {clean_text(reason, NAME_CHARS)}; nothing was restored"
    if isinstance(error, FileNotFoundError):
        return f"cannot open {archive!r}: no such file"
    if isinstance(error, IsADirectoryError):
        return f"cannot open {archive!r}: it is a directory"
    if isinstance(error, OSError):
        return f"cannot open {archive!r}: {error.strerror or error}"
    if isinstance(error, (LimitError, ArchiveTooLarge)):
        return f"{clean_text(archive, NAME_CHARS)}: {error}"
    if isinstance(error, ArchiveError):
        return f"{archive!r} is not a figvault archive: {error}{_restored(command)}"
    if isinstance(error, MemoryError):
        return "out of memory while reading the archive"
    if isinstance(error, RecursionError):
        return "the archive is nested too deeply to read"
    # Something no archive should cause; the archive may be hostile, and a
    # traceback would help nobody.
    detail = clean_text(f"{type(error).__name__}: {error}", DETAIL_CHARS)
    return f"the archive cannot be inspected ({detail})"


def _listing_message(command: _Command) -> str:
    """The error line of a command whose list of restored files could not be written."""
    error = command.listing_error
    reason = (error.strerror if isinstance(error, OSError) else None) or str(error) or type(error).__name__
    return f"cannot write the list of restored files: {reason}{_restored(command)}"


def _restored(command: _Command) -> str:
    """The end of an error line of a replay that restored the sources."""
    replay = command.replay
    return f"; the sources were restored into {replay.folder!r}" if replay is not None and replay.restored else ""


def _print_failure(failure: dict[str, Any], json_too: bool) -> None:
    """The one-line error on stderr; with ``json_too`` also a JSON object on stdout."""
    if json_too and sys.stdout is not None:
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
        print(f"{PROG}: error: {failure['error']}", file=sys.stderr)
    except (OSError, AttributeError):
        pass


def _report_crash(error: Exception, command: _Command) -> int:
    """A failure while the archive loads or its function runs: the traceback
    (it is the user's code that failed), then the one-line error."""
    import traceback

    sys.stdout.flush()
    # Start the traceback where the replay leaves figvault's own Python code.
    tb = error.__traceback__
    while tb is not None and tb.tb_next is not None:
        filename = os.path.abspath(tb.tb_frame.f_code.co_filename)
        if not filename.startswith(_PACKAGE_FOLDER + os.sep):
            break
        tb = tb.tb_next
    traceback.print_exception(type(error), error, tb, file=sys.stderr)
    try:
        lines = str(error).splitlines()
    except Exception:  # an exception whose text cannot be made
        lines = []
    message = clean_text(lines[0], NAME_CHARS) if lines else ""
    detail = type(error).__name__ + (f": {message}" if message else "")
    print(f"{PROG}: error: expanding {command.archive!r} failed: {detail}{_restored(command)}", file=sys.stderr)
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
    diff.add_argument(
        "--raw", action="store_true", help="compare notebooks (.ipynb) by their JSON text, not by the text of their cells"
    )
    diff.add_argument(
        "--exit-code",
        action="store_true",
        help="exit with 0 when the archives are the same, 1 when they differ, 2 when the comparison fails",
    )
    diff.set_defaults(handler=command_diff)

    listing = commands.add_parser(
        "list",
        help="list the archives of a folder, without running anything from them",
        description=(
            "List the archives of a folder (its files whose names end in .figvault): for each, the saved "
            "function, the names of the saved arguments, the number of saved files, its size and when it "
            "was last modified. Each is read like show reads it: nothing from it runs, and an archive that "
            "cannot be read gets one row saying why."
        ),
    )
    listing.add_argument("folder", metavar="DIR", nargs="?", default=".", help="the folder (default: the current one)")
    listing.add_argument("--json", action="store_true", help="print the rows as JSON")
    listing.set_defaults(handler=command_list)

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


def main(argv: Sequence[str] | None = None) -> int:
    options = build_parser().parse_args(argv)  # exits with status 2 on a usage error
    command = _Command(options)
    try:
        status = options.handler(options, command)
    except BaseException as error:
        status = _report(error, command)
        if status == EXIT_FAILURE and getattr(options, "exit_code", False):
            status = EXIT_DIFF_TROUBLE
        return status
    if command.listing_error is not None:
        return _report(OutputError(_listing_message(command)), command)
    return status if status is not None else EXIT_OK
