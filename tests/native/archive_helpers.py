"""Helpers shared by the tests of figvault.src.archive (its fixtures are in
conftest.py)."""

import contextlib
import os

import dill

import figvault.src.archive as archive_module

# The file name that the module's own traceback entries carry.
SOURCE_PATH = "figvault/src/archive.py"

INIT_ENTRY = "figvault.src.archive.archive.__init__"
CALL_ENTRY = "figvault.src.archive.archive.__call__"
WRAPPER_ENTRY = "figvault.src.archive.archive.__call__.wrapper"

DEFAULT_NAME = "myplot.figvault"


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
