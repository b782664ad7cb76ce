"""Helpers for comparing create_file_dict's native snapshot with the
Python-level steps it stands in for; shared by tests/native/test_snapshot_native.py
and the child interpreters it starts (which import this module by name).

A tree is described as data, so that hypothesis can make it and a child
process can rebuild it: a list of entries (kind, path, payload), parents
before children. `path` is a tuple of names (bytes, so that names need not
be valid UTF-8); kinds:

* "folder": payload None;
* "file": payload the file's bytes;
* "link": payload the symbolic link's target (bytes);
* "mode": payload the permission bits given to an existing file or folder
  once every entry exists.
"""

import collections
import contextlib
import ctypes
import glob
import json
import os
import shutil
import stat
import struct
import sys
import traceback
import types
import warnings

import pytest

FIGVAULT_SOURCE = "figvault/src/files.py"

# The interpreter versions on which create_file_dict walks and reads natively
# (where the differential tests prove it equal to that version's own
# Python-level steps); on every other version it takes those steps.
NATIVE_SNAPSHOT_VERSIONS = {(3, 11), (3, 12), (3, 13)}
NATIVE_SNAPSHOT = sys.version_info[:2] in NATIVE_SNAPSHOT_VERSIONS

native_only = pytest.mark.skipif(
    not NATIVE_SNAPSHOT,
    reason=f"create_file_dict has no native path on Python {sys.version_info[0]}.{sys.version_info[1]}",
)


# ---- trees ---------------------------------------------------------------------------


def build_tree(root, entries):
    """Makes the entries below the existing folder `root` (str or bytes)."""
    root = os.fsencode(root)
    modes = []
    for kind, path, payload in entries:
        target = os.path.join(root, *path)
        if kind == "folder":
            os.mkdir(target)
        elif kind == "file":
            with open(target, "wb") as file:
                file.write(payload)
        elif kind == "link":
            os.symlink(payload, target)
        elif kind == "mode":
            modes.append((target, payload))  # the last one given for a path wins
        else:
            raise ValueError(kind)
    # Deepest first: a folder that lost its permissions cannot be entered.
    for target, mode in sorted(modes, key=lambda item: -item[0].count(b"/")):
        os.chmod(target, mode)


def remove_tree(root):
    """Removes `root` whatever the permissions below it (folders are made
    accessible before they are entered; links are never followed)."""
    root = os.fsencode(root)
    if not os.path.lexists(root):
        return
    for folder, subfolders, _ in os.walk(root, topdown=True):
        for name in subfolders:
            path = os.path.join(folder, name)
            if not os.path.islink(path):
                os.chmod(path, stat.S_IRWXU)
    shutil.rmtree(root)


def tree_to_json(entries):
    """A JSON text of a tree (bytes as latin-1 text)."""

    def text(value):
        return value.decode("latin-1") if isinstance(value, bytes) else value

    return json.dumps([[kind, [text(name) for name in path], text(payload)] for kind, path, payload in entries])


def tree_from_json(document):
    def data(kind, value):
        return value.encode("latin-1") if kind in ("file", "link") else value

    return [
        (kind, tuple(name.encode("latin-1") for name in path), data(kind, payload))
        for kind, path, payload in json.loads(document)
    ]


# ---- the two paths -------------------------------------------------------------------


@contextlib.contextmanager
def python_level_steps(files):
    """create_file_dict takes its Python-level steps: its `glob` global is a
    stand-in whose `glob` is the real glob.glob, so every call it makes is the
    same while the native path (which requires the glob module itself) is not
    taken."""
    saved = files.glob
    files.glob = types.SimpleNamespace(glob=glob.glob)
    try:
        yield
    finally:
        files.glob = saved


def plain_steps():
    """glob.glob for both patterns and open().read() of every path, written
    as plain Python."""
    python_files = {}
    paths = glob.glob("./**/*.py", recursive=True) + glob.glob("./**/*.ipynb", recursive=True)
    for path in paths:
        with open(path, "r") as file:
            python_files[path] = file.read()
    return python_files


# ---- what a caller can see -------------------------------------------------------------


def traceback_entries(error):
    return [(frame.filename, frame.lineno, frame.name) for frame in traceback.extract_tb(error.__traceback__)]


def describe_error(error, with_traceback=True):
    """Everything a caller can read from an exception of create_file_dict."""
    described = {
        "type": type(error),
        "args": error.args,
        "str": str(error),
        "notes": getattr(error, "__notes__", None),
        "context": type(error.__context__),
        "cause": type(error.__cause__),
    }
    for name in ("errno", "strerror", "filename", "filename2", "encoding", "object", "start", "end", "reason"):
        described[name] = getattr(error, name, None)
    if with_traceback:
        described["traceback"] = traceback_entries(error)
    return described


def outcome(call, with_traceback=True):
    """("ok", the items in order) or ("error", the exception described), and
    the warnings raised during the call (category, message, type of source)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = ("ok", list(call().items()))
        except Exception as error:  # noqa: BLE001 - the outcome is compared
            result = ("error", describe_error(error, with_traceback))
    return result, [(w.category, str(w.message), type(w.source)) for w in caught]


def without_figvault_notes(result):
    """A native outcome as plain glob + open().read() would give it: no note,
    no traceback (the plain steps are written differently)."""
    if result[0] == "ok":
        return result
    described = dict(result[1])
    described["notes"] = None
    described.pop("traceback", None)
    return ("error", described)


def without_glob_frames(result):
    """An outcome without the traceback entries of glob's own code: an
    exception raised inside glob (by a refusing audit hook, or RecursionError)
    passes through glob's frames under the Python-level steps only."""
    if result[0][0] == "ok" or "traceback" not in result[0][1]:
        return result
    described = dict(result[0][1])
    described["traceback"] = [entry for entry in described["traceback"] if entry[0] != glob.__file__]
    return ("error", described), result[1]


def compare_with_python_steps(files):
    """Runs create_file_dict natively, then through its Python-level steps,
    then the plain steps, in the working directory; returns the list of
    differences (empty when the three agree) and a label for the outcome."""
    native = outcome(files.create_file_dict)
    with python_level_steps(files):
        python = outcome(files.create_file_dict)
    plain, _ = outcome(plain_steps, with_traceback=False)
    differences = []
    if native != python:
        differences.append(("native", native, "python-level steps", python))
    if without_figvault_notes(native[0]) != plain:
        differences.append(("native", native[0], "plain steps", plain))
    label = "ok" if native[0][0] == "ok" else native[0][1]["type"].__name__
    return differences, label


# ---- how often each folder is opened -----------------------------------------------------

IN_OPEN = 0x20
IN_ISDIR = 0x40000000
INOTIFY_EVENT = struct.Struct("iIII")


def folder_openings(root, call):
    """Runs `call()` and returns how many times each folder below `root` (a
    path relative to it, "." for itself; hidden ones left out) was opened
    for reading meanwhile, as inotify reports it: glob lists every folder
    four times, the native snapshot once while no audit hook is installed."""
    libc = ctypes.CDLL(None, use_errno=True)
    notifier = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
    if notifier < 0:
        pytest.skip("inotify is not available")
    watched = {}
    try:
        # inotify merges an event into the one before it when they are the
        # same: the parent's events (of its child `root` being opened) keep
        # two openings of `root` in a row apart, as each subfolder's
        # openings are kept apart by its own parent's.
        libc.inotify_add_watch(notifier, os.fsencode(os.path.dirname(os.path.abspath(root))), IN_OPEN)
        for folder, subfolders, _ in os.walk(root):
            subfolders[:] = [name for name in subfolders if not name.startswith(".")]
            watch = libc.inotify_add_watch(notifier, os.fsencode(folder), IN_OPEN)
            watched[watch] = os.path.relpath(folder, root)
        call()
        counts = collections.Counter()
        while True:
            try:
                data = os.read(notifier, 1 << 16)
            except BlockingIOError:
                break
            offset = 0
            while offset < len(data):
                watch, mask, _, length = INOTIFY_EVENT.unpack_from(data, offset)
                offset += INOTIFY_EVENT.size + length
                if mask & IN_ISDIR and length == 0 and watch in watched:  # the watched folder itself
                    counts[watched[watch]] += 1
        return dict(counts)
    finally:
        os.close(notifier)


def interrupt():
    """What Python's own SIGINT handler does."""
    raise KeyboardInterrupt


# ---- the depth of the recursion budget ------------------------------------------------


def recursion_budget():
    """How many more Python frames fit before RecursionError."""

    def down(depth):
        try:
            return down(depth + 1)
        except RecursionError:
            return depth

    return down(0)


def c_recursion_budget():
    """How many more C-level calls fit before RecursionError: the depth of
    the deepest nested tuple of classes that isinstance() can search, as it
    enters one C-level call per level (on 3.11 these spend the budget of
    Python frames; from 3.12 on a budget of their own)."""
    nested = (int,)
    chain = [nested]
    for _ in range(1 << 14):
        nested = (nested,)
        chain.append(nested)
    low, high = 0, len(chain) - 1  # isinstance() searches chain[low]
    while low < high:
        middle = (low + high + 1) // 2
        try:
            isinstance(None, chain[middle])
            low = middle
        except RecursionError:
            high = middle - 1
    return low


def runs_in_glob(frame):
    """Whether glob's own code is on the stack below `frame`."""
    while frame is not None:
        if frame.f_code.co_filename == glob.__file__:
            return True
        frame = frame.f_back
    return False
