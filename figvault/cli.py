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

from . import expansion, restore, view
from .reader import ArchiveError, ArchiveTooLarge, Budget, LimitError, Limits, limits_for_loading, read_record
from .terminal import clean_text
from .view.text import NAME_CHARS
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
        limit: LimitError | None = None,
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


def _read(path: str, names: list[str] | None = None, limits: Limits | None = None) -> dict:
    """The archive record of ``path``, read without running anything."""
    try:
        record, info = read_record(path, Budget(limits))
        if names is not None:
            names.extend(info.names)
        return record
    except FileNotFoundError:
        raise CommandError(f"cannot open {path!r}: no such file") from None
    except IsADirectoryError:
        raise CommandError(f"cannot open {path!r}: it is a directory") from None
    except OSError as error:
        reason = error.strerror or str(error)
        raise CommandError(f"cannot open {path!r}: {reason}") from None
    except LimitError as error:
        raise CommandError(f"{clean_text(path, NAME_CHARS)}: {error}", path, error) from None
    except ArchiveError as error:
        raise CommandError(f"{path!r} is not a figvault archive: {error}") from None


# ---------------------------------------------------------------------------
# show
# ---------------------------------------------------------------------------

def _write_output(text: str, budget: Budget, path: str) -> None:
    """Print ``text`` (and a line break) within the output budget. Text that
    the output's encoding cannot hold is written as escapes."""
    try:
        budget.check_output(len(text))
    except LimitError as error:
        raise _limit_failure(path, error) from None
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


def _limit_failure(path: str, error: LimitError) -> CommandError:
    return CommandError(f"{clean_text(path, NAME_CHARS)}: {error}", archive=path, limit=error)


def _viewing(path: str | None, make: Any) -> str:
    """The text that ``make()`` makes of archives; every failure becomes a CommandError."""
    try:
        return make()
    except OSError as error:
        name = error.filename if isinstance(error.filename, str) else path
        if isinstance(error, FileNotFoundError):
            raise CommandError(f"cannot open {name!r}: no such file", archive=name) from None
        if isinstance(error, IsADirectoryError):
            raise CommandError(f"cannot open {name!r}: it is a directory", archive=name) from None
        raise CommandError(f"cannot open {name!r}: {error.strerror or error}", archive=name) from None
    except LimitError as error:
        raise _limit_failure(error.archive or path, error) from None
    except ArchiveTooLarge as error:
        name = error.archive or path
        raise CommandError(f"{clean_text(name, NAME_CHARS)}: {error}", archive=name) from None
    except ArchiveError as error:
        name = error.archive or path
        raise CommandError(f"{name!r} is not a figvault archive: {error}", archive=name) from None


def command_show(options: argparse.Namespace) -> int:
    budget = Budget()
    path = options.archive
    _write_output(_viewing(path, lambda: view.show(path, budget, options.json)), budget, path)
    return EXIT_OK


# ---------------------------------------------------------------------------
# diff
# ---------------------------------------------------------------------------

def command_diff(options: argparse.Namespace) -> int:
    budget = Budget()
    text = _viewing(None, lambda: view.diff(options.old, options.new, budget, options.json, options.stat))
    _write_output(text, budget, options.new)
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
        limits = limits_for_loading(path) if runs_code else None
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
            f"restoring the sources of {path!r} into {replaying.folder!r} failed: {clean_text(reason, NAME_CHARS)}; nothing was restored"
        ) from None


def _show_replay_warning(message: Any, category: type, filename: str, lineno: int, file: Any = None, line: Any = None) -> None:
    """Warnings while preparing a replay, as one 'figvault: warning:' line each."""
    stream = file if file is not None else sys.stderr
    text = f"{PROG}: warning: {clean_text(filename, NAME_CHARS)}:{lineno}: {clean_text(message, NAME_CHARS)}"
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
        except ArchiveError as error:
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
    message = clean_text(lines[0], NAME_CHARS) if lines else ""
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
    message = clean_text(str(error))
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
            detail = clean_text(f"{type(error).__name__}: {error}", 200)
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
