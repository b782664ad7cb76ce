"""Fixtures and helpers shared by the tests of figvault.src.archive.

The test modules import the fixtures they use from it, so that pytest finds
them in those modules only.
"""

import contextlib
import os
import shutil
import subprocess
import sys
import types

import dill
import pytest

import figvault.src.archive as archive_module
from support import child_environment, entries_from

# The file name that the module's own traceback entries carry.
SOURCE_PATH = "figvault/src/archive.py"

INIT_ENTRY = "figvault.src.archive.archive.__init__"
CALL_ENTRY = "figvault.src.archive.archive.__call__"
WRAPPER_ENTRY = "figvault.src.archive.archive.__call__.wrapper"

DEFAULT_NAME = "myplot.figvault"


def our_entries(error):
    """The traceback entries that the module added to `error`, oldest first."""
    return entries_from(error, SOURCE_PATH)


def load_record(path):
    """The archive record stored in `path`."""
    with open(path, "rb") as file:
        return dill.load(file)


def folder_state(folder):
    """{name: bytes} for every entry directly inside `folder` (None for a
    non-regular entry), hidden names included: shows leftovers as well as
    changed contents."""
    state = {}
    for entry in sorted(os.listdir(folder)):
        full = os.path.join(folder, entry)
        if os.path.isfile(full) and not os.path.islink(full):
            with open(full, "rb") as file:
                state[entry] = file.read()
        else:
            state[entry] = None
    return state


def mode_of(path):
    return os.stat(path).st_mode & 0o7777


@contextlib.contextmanager
def umask(value):
    previous = os.umask(value)
    try:
        yield
    finally:
        os.umask(previous)


def recorder(result="result"):
    """A plain function `plot(value, *more, **options)` that returns `result`
    and appends ((value, *more), options) to its attribute `calls`."""
    calls = []

    def plot(value, *more, **options):
        calls.append(((value, *more), options))
        return result

    plot.calls = calls
    return plot


def fd_is_open(fd):
    try:
        os.fstat(fd)
    except OSError:
        return False
    return True


def close_if_open(fd):
    if fd_is_open(fd):
        os.close(fd)


def run_python(code, cwd, unprivileged=False, timeout=120):
    """Runs `code` in a new interpreter (not in the source tree, which would
    shadow the installed package) and returns the finished process.

    With `unprivileged`, a process running as root first drops every
    capability, so that file permissions apply to it as to any other user;
    the test is skipped where that is not possible."""
    command = [sys.executable, "-c", code]
    if unprivileged and os.geteuid() == 0:
        setpriv = shutil.which("setpriv")
        if setpriv is None:
            pytest.skip("running as root without setpriv: permissions cannot be enforced")
        command = [setpriv, "--inh-caps=-all", "--bounding-set=-all", *command]
    env = child_environment()
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout)


@pytest.fixture
def am():
    """The module under test."""
    return archive_module


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """An empty working directory for the test; the previous one is restored
    afterwards, so that no archive lands anywhere else."""
    folder = tmp_path / "work"
    folder.mkdir()
    monkeypatch.chdir(folder)
    return folder


@pytest.fixture
def events(am, monkeypatch):
    """A list to which the reading of the sources appends "sources" (the real
    create_file_dict still runs behind it)."""
    happened = []
    real_files = am.files

    def create_file_dict():
        happened.append("sources")
        return real_files.create_file_dict()

    monkeypatch.setattr(am, "files", types.SimpleNamespace(create_file_dict=create_file_dict))
    return happened
