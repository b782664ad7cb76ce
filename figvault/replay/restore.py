"""Restore an archive's saved sources into a new folder, safely.

The file dictionary of an archive maps "./path/to/file.py" keys to texts.
Before the new folder is made, the whole dictionary is checked
(:func:`figvault.sources.check_file_dict`: every key restores inside the
folder, no two keys name one file, no file sits where another key needs a
folder). Only then is the folder made and every file written.

Nothing below the new folder is reached through a path: the folder is made
and opened once, and the walk goes down from it through descriptors. Every
subfolder is made (``mkdir`` in its parent's descriptor) and opened once,
without following a link, and filled while it is open; every file is
created in its folder's descriptor and never replaces anything. Another
process that swaps a folder for a link to somewhere else therefore cannot
redirect a single file; the swap is noticed when the folder is left (its
name no longer names the folder that was filled) and the restore fails.
(A folder swapped once it is complete is like one swapped after the
restore: its files stay in the folder made for them.) The new folder stays
private (0o700) until every file is written, then gets the mode that a
plain ``mkdir`` gives. A restore that fails (a full disk, a text that the
file-system encoding cannot hold, a swap) empties the folders it made,
also an open one moved elsewhere, and removes the new folder, so a
restore either completes or leaves nothing behind.

Each restored path is printed as ``write_files_from_dict`` prints it, in
the dictionary's order: the normalised folder part, "/", the file name
("./plot.py", "lib/util.py"). The listing is only a report: when the
standard output fails (a reader that went away, ``| head``), the listing
stops and the restore goes on; the error is returned to the caller.
Nothing here changes the working directory.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import sys
from typing import Any, Callable

from ..reader import StoredText, write_text
from ..sources import check_file_dict

__all__ = ["FolderMovedError", "new_folder_path", "restore_files"]

FOLDER_TYPE_MESSAGE = "folder must be a path (str, bytes or os.PathLike), not {type}"
MOVED_MESSAGE = "the folder {path!r} was moved or replaced while the sources were restored"

# Notes on the exception of a restore that failed half-way.
REMOVED_NOTE = "figvault: nothing was restored; the folder {folder!r} was removed again"
NOT_REMOVED_NOTE = "figvault: the partly restored folder {folder!r} could not be removed"

# The new folder while it is filled: nobody else may look inside or swap
# anything in it.
PRIVATE_MODE = 0o700
# The modes that mkdir(path) and open(path, "w") ask for; the umask applies.
FOLDER_MODE = 0o777
FILE_MODE = 0o666
# A folder of the restore, opened once: never through a link.
FOLDER_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
# A restored file: always a new one, never through a link.
FILE_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC

# Where Linux tells the umask without changing it.
_STATUS_FILE = "/proc/self/status"
_UMASK_FIELD = b"Umask:"


class FolderMovedError(OSError):
    """Another process moved or replaced a folder of the restore while it was written."""


def new_folder_path(folder: str | os.PathLike[str] | bytes) -> str:
    """``folder`` as an absolute path, refused when anything exists there.

    Resolving it first means a function that later changes the working
    directory cannot move the restore somewhere else.
    """
    if not isinstance(folder, (str, bytes, os.PathLike)):
        raise TypeError(FOLDER_TYPE_MESSAGE.format(type=type(folder).__name__))
    path = os.path.abspath(os.fsdecode(folder))
    if os.path.lexists(path):
        raise FileExistsError(errno.EEXIST, "the folder exists already", path)
    return path


def _printed_path(key: str) -> str:
    """The path that ``write_files_from_dict`` prints for a key, with control
    characters and line breaks escaped: a key comes from the archive and
    must not write to the terminal or forge a line of its own."""
    head, tail = os.path.split(key)
    path = os.path.normpath(head) + "/" + tail
    return path if path.isprintable() else repr(path)[1:-1]


class _Listing:
    """The restored paths on the standard output, in the dictionary's order
    (the walk goes in folder order: a path is printed once it and every
    path before it are written). The first write that fails ends the
    listing; ``error`` keeps it."""

    def __init__(self, entries: list[tuple[str, tuple[str, ...]]]) -> None:
        self.keys = [key for key, _ in entries]
        self.written = bytearray(len(entries))
        self.shown = 0
        self.error: OSError | ValueError | None = None

    def done(self, index: int) -> None:
        """Entry ``index`` is written: print every path now due."""
        self.written[index] = 1
        while self.shown < len(self.keys) and self.written[self.shown]:
            self._write(_printed_path(self.keys[self.shown]) + "\n")
            self.shown += 1

    def finish(self) -> None:
        """Flush what is buffered, so that a failure is seen here and not at exit."""
        self._guarded(lambda stream: stream.flush())

    def _write(self, line: str) -> None:
        def write(stream: Any) -> None:
            try:
                stream.write(line)
            except UnicodeEncodeError:
                # A name the output's encoding cannot hold is shown as escapes.
                stream.write(line.encode("ascii", "backslashreplace").decode("ascii"))

        self._guarded(write)

    def _guarded(self, action: Callable[[Any], None]) -> None:
        """Run ``action`` on the standard output unless the listing has ended;
        the first failure ends it (ValueError: the stream is closed)."""
        stream = sys.stdout
        if self.error is not None or stream is None:
            return
        try:
            action(stream)
        except (OSError, ValueError) as error:
            self.error = error


def _current_umask() -> int:
    """The process's umask, read where the system tells it; elsewhere set
    and put back at once (to a private mask, so that a file another thread
    makes meanwhile is not opened to everyone)."""
    try:
        with open(_STATUS_FILE, "rb") as status:
            for line in status:
                if line.startswith(_UMASK_FIELD):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    mask = os.umask(0o077)
    os.umask(mask)
    return mask


def _names(parent: int, name: str, folder: int) -> bool:
    """Whether ``name`` in the folder ``parent`` is still the folder open as ``folder``."""
    try:
        found = os.stat(name, dir_fd=parent, follow_symlinks=False)
    except OSError:
        return False
    return os.path.samestat(found, os.fstat(folder))


def _write_text(folder: int, name: str, text: str | StoredText) -> None:
    """Create the file ``name`` in ``folder`` and write ``text`` as
    open(path, "w") writes it (default encoding, line endings)."""
    descriptor = os.open(name, FILE_FLAGS, FILE_MODE, dir_fd=folder)
    try:
        file = open(descriptor, "w")
    except BaseException:
        os.close(descriptor)
        raise
    with file:
        write_text(file, text)


def _empty(folder: int) -> None:
    """Remove everything inside the open folder, never following a link."""
    import shutil  # only a failed restore needs it: the command line stays light

    with os.scandir(folder) as found:
        names = [(entry.name, entry.is_dir(follow_symlinks=False)) for entry in found]
    for name, is_folder in names:
        if is_folder:
            shutil.rmtree(name, dir_fd=folder)
        else:
            os.unlink(name, dir_fd=folder)


class _Walk:
    """The open folders of a restore: the new folder (``name`` in the
    folder ``parent``) and the chain of subfolders being filled."""

    def __init__(self, parent: int, name: str, root: int) -> None:
        self.parent = parent
        self.name = name
        self.root = root
        self.path: list[str] = []  # the subfolders open below the new folder
        self.open: list[int] = []  # their descriptors

    def folder_for(self, parts: tuple[str, ...]) -> int:
        """The open descriptor of folder ``parts`` (components below the new
        folder); the folders left are checked and closed, the ones entered
        are made and opened. In folder order every folder is entered once."""
        common = 0
        while common < min(len(self.path), len(parts)) and self.path[common] == parts[common]:
            common += 1
        while len(self.path) > common:
            self._leave()
        for name in parts[common:]:
            here = self.open[-1] if self.open else self.root
            os.mkdir(name, FOLDER_MODE, dir_fd=here)
            self.open.append(os.open(name, FOLDER_FLAGS, dir_fd=here))
            self.path.append(name)
        return self.open[-1] if self.open else self.root

    def finish(self) -> None:
        """Leave every subfolder, check the new folder and give it its mode."""
        while self.path:
            self._leave()
        if not _names(self.parent, self.name, self.root):
            raise FolderMovedError(MOVED_MESSAGE.format(path=self.name))
        mode = stat.S_IMODE(os.fstat(self.root).st_mode) & ~0o777  # setgid and the like stay
        os.fchmod(self.root, mode | (FOLDER_MODE & ~_current_umask()))

    def _leave(self) -> None:
        """Close the deepest subfolder once its name still names it."""
        here = self.open[-1]
        parent = self.open[-2] if len(self.open) > 1 else self.root
        if not _names(parent, self.path[-1], here):
            raise FolderMovedError(MOVED_MESSAGE.format(path="/".join(self.path)))
        self.open.pop()
        self.path.pop()
        os.close(here)

    def remove(self) -> bool:
        """Empty every folder made here, also one moved elsewhere (deepest
        first, while it is open), then remove the new folder; whether it is gone."""
        for folder in reversed([self.root, *self.open]):
            try:
                _empty(folder)
            except (OSError, RecursionError):
                pass
        self.close()
        if _names(self.parent, self.name, self.root):
            try:
                os.rmdir(self.name, dir_fd=self.parent)
            except OSError:
                return False
        return True

    def close(self) -> None:
        for folder in reversed(self.open):
            os.close(folder)
        self.open.clear()
        self.path.clear()


def restore_files(
    files: Any, folder: str, *, checked: list[tuple[str, tuple[str, ...]]] | None = None
) -> OSError | ValueError | None:
    """Write the file dictionary into the new folder ``folder`` (absolute,
    from :func:`new_folder_path`), printing each restored path; returns the
    error that ended the listing early, or None.

    ``checked`` is the result of :func:`check_file_dict` when the caller has
    it already. On any failure the folder made here is removed again and a
    note on the exception says so.
    """
    entries = check_file_dict(files) if checked is None else checked
    listing = _Listing(entries)
    head, name = os.path.split(folder)
    parent = os.open(head, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.mkdir(name, PRIVATE_MODE, dir_fd=parent)
        try:
            root = os.open(name, FOLDER_FLAGS, dir_fd=parent)
        except BaseException:
            with contextlib.suppress(OSError):  # the name may have been swapped already
                os.rmdir(name, dir_fd=parent)
            raise
        walk = _Walk(parent, name, root)
        try:
            for index in sorted(range(len(entries)), key=lambda index: entries[index][1]):
                key, parts = entries[index]
                _write_text(walk.folder_for(parts[:-1]), parts[-1], files[key])
                listing.done(index)
            walk.finish()
        except BaseException as error:
            note = REMOVED_NOTE if walk.remove() else NOT_REMOVED_NOTE
            error.add_note(note.format(folder=folder))
            raise
        finally:
            walk.close()
            os.close(root)
    finally:
        os.close(parent)
    listing.finish()
    return listing.error
