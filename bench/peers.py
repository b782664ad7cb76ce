"""Plain-Python counterparts of the figvault work, used as floors and peers.

* ``floor_archive`` / ``floor_archive_direct``: only the work an archive call
  cannot avoid (two glob.glob calls, reading every file, dill.dump of the same
  record, and the os.replace of a temp file, or a direct write), inlined.
* ``PeerArchive``: the decorator a user would write in plain Python doing the
  same steps as figvault.src.archive.archive, including getfullargspec, the
  argument-kind check and a safe temp-file + os.replace write.
* ``floor_expand``: dill.load plus writing the files back the same way
  write_files_from_dict does (split, normpath, print, exists, makedirs, open,
  write, close).
* ``restore_by_path``: the sources restored by path, as the replay's restore
  did before it walked through folder descriptors (check, print, makedirs,
  open(path, "x"), write, close).
* Small functions with the same parameters as figvault's callables, for the
  cost of one call.
"""

import inspect
import itertools
import os
import tempfile

import dill
import torch
from numpy import ndarray

from plain_snapshot import create_file_dict  # noqa: F401 - the floors' snapshot, also used by run.py

_ACCEPTED = (int, float, bool, bytes, str, list, tuple, dict)


# ---- archive: floors --------------------------------------------------------

def floor_archive(target, func, arg_names, args):
    """The unavoidable work of one archive call, with an atomic replace."""
    python_files = create_file_dict()
    data = {"args": dict(zip(arg_names, args)), "files": python_files, "func": func}
    temporary = target + ".floor-tmp"
    f = open(temporary, "wb")
    dill.dump(data, f)
    f.close()
    os.replace(temporary, target)
    return func(*args)


def floor_archive_direct(target, func, arg_names, args):
    """The same work, writing the target directly (no temp file, no rename)."""
    python_files = create_file_dict()
    data = {"args": dict(zip(arg_names, args)), "files": python_files, "func": func}
    f = open(target, "wb")
    dill.dump(data, f)
    f.close()
    return func(*args)


# ---- archive: the floor plus figvault's extra steps, one by one ------------------

_sibling_counter = itertools.count()


def floor_archive_plus(target, func, args, check=False, sibling=False):
    """The floor, plus (check) getfullargspec and the argument-kind check, plus
    (sibling) the way figvault prepares its temp file: lstat of the target, a
    new uniquely named file made with O_EXCL beside it, fchmod to the target's
    mode, close, then open again by name for the dump."""
    python_files = create_file_dict()
    if check:
        arg_names = inspect.getfullargspec(func)[0]
        for i, arg in enumerate(args):
            if not isinstance(arg, _ACCEPTED + (ndarray, torch.Tensor)):
                raise TypeError(f"Unrecognized argument type for {arg_names[i]}:{type(arg)}")
    else:
        arg_names = ["data"]
    data = {"args": dict(zip(arg_names, args)), "files": python_files, "func": func}
    if sibling:
        mode = os.lstat(target).st_mode & 0o7777
        folder, base = os.path.split(target)
        temporary = f"{folder}/.{base}.tmp{os.getpid()}-{next(_sibling_counter)}"
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        os.fchmod(fd, mode)
        os.close(fd)
    else:
        temporary = target + ".floor-tmp"
    f = open(temporary, "wb")
    dill.dump(data, f)
    f.close()
    os.replace(temporary, target)
    return func(*args)


# ---- archive: the plain-Python peer decorator -------------------------------

class PeerArchive:
    """What a user would write by hand instead of figvault's archive."""

    def __init__(self, filename=None):
        self.filename = "myplot.figvault" if filename is None else filename

    def __call__(self, func):
        def wrapper(*args, **kwargs):
            python_files = create_file_dict()
            args_name = inspect.getfullargspec(func)[0]
            args_dict = dict(zip(args_name, args))
            for i, arg in enumerate(args):
                if not isinstance(arg, _ACCEPTED + (ndarray, torch.Tensor)):
                    raise TypeError(f"Unrecognized argument type for {args_name[i]}:{type(arg)}")
            data = {"args": args_dict, "files": python_files, "func": func}
            # Safe write: a temp file beside the target, then an atomic replace.
            filename = os.fspath(self.filename)
            folder = os.path.dirname(os.path.abspath(filename))
            fd, temporary = tempfile.mkstemp(prefix=".", suffix=".tmp", dir=folder)
            try:
                with os.fdopen(fd, "wb") as f:
                    dill.dump(data, f)
                os.replace(temporary, filename)
            except BaseException:
                os.unlink(temporary)
                raise
            return func(*args, **kwargs)

        return wrapper


# ---- expand: floor -----------------------------------------------------------

def floor_expand(filename, folder):
    f = open(filename, "rb")
    data = dill.load(f)
    f.close()
    file_dict = data["files"]
    plotter = data["func"]
    plotter(**data["args"])
    cwd = os.getcwd()
    os.mkdir(folder)
    os.chdir(folder)
    try:
        for key in file_dict:
            base_path, file_name = os.path.split(key)
            base_path = os.path.normpath(base_path)
            print(base_path + "/" + file_name)
            if base_path != "." and not os.path.exists(base_path):
                os.makedirs(base_path)
            f = open(base_path + "/" + file_name, "w")
            f.write(file_dict[key])
            f.close()
    finally:
        os.chdir(cwd)


# ---- one call of a function object --------------------------------------------

def write_files_from_dict(folder_dict, new_folder_path=None):
    """Refuses anything but a dict, like figvault's, then would do the work."""
    if folder_dict is not None and type(folder_dict) is not dict:
        raise TypeError(
            "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
            % ("folder_dict", "dict", type(folder_dict).__name__)
        )


def create_file_dict_signature():
    """Same parameters as figvault's create_file_dict (none)."""


def expand(filename, folder=None):
    """Same parameters as figvault's expand."""


class PeerDecorator:
    """A plain decorator class: __init__ stores filename, __call__ returns a closure."""

    def __init__(self, filename=None):
        if filename is None:
            self.filename = "myplot.figvault"
        else:
            self.filename = filename

    def __call__(self, func):
        def wrapper(*args, **kwargs):
            return func(*args, **kwargs)

        return wrapper


# ---- restore by path ----------------------------------------------------------

def restore_by_path(files, folder):
    """Every file of an archive's dictionary written below the new folder by
    path, with its missing parent folders made: no descriptors, no checks
    of what a path leads to."""
    os.mkdir(folder)
    for key, text in files.items():
        head, tail = os.path.split(key)
        print(os.path.normpath(head) + "/" + tail)
        target = os.path.join(folder, os.path.normpath(key))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "x") as file:
            file.write(text)
