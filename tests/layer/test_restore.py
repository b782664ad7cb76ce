"""Tests of the restore behind `extract`, `expand` and figvault.expand/extract:
another process swapping a folder for a link mid-restore, the modes of what
is restored, and a standard output that fails while the restored paths are
listed."""

import io
import os
import stat
import subprocess
import sys
import textwrap
import time

import dill
import pytest
from support import child_environment

import figvault
from figvault.replay.restore import FolderMovedError

# A listing longer than a pipe holds (64 KiB) plus the output's buffer, so a
# child that nobody reads from stops, mid-restore, inside ./sub.
FILES_IN_SUB = 3000
SUB_KEYS = [f"./sub/{index:05d}_{'long_name_' * 4}.py" for index in range(FILES_IN_SUB)]
# Files of ./sub written before the swap (the in-process swapper).
SWAP_AFTER = 10
# Seconds a child may take to reach ./sub, or to finish.
CHILD_SECONDS = 60


def make_archive(path, files, marker=None):
    """An archive of `files` whose function (stored by value) leaves `marker`
    and prints a line; with no marker it is never meant to run."""
    namespace = {"__name__": "fv_restore_tests_nowhere"}
    target = str(marker) if marker is not None else os.devnull
    exec(f"def plot():\n    open({target!r}, 'w').close()\n    print('replayed')\n    return 'done'\n", namespace)
    with open(path, "wb") as file:
        dill.dump({"args": {}, "files": files, "func": namespace["plot"]}, file)
    return path


def big_files():
    return {"./a.py": "A = 1\n", **{key: f"N = {index}\n" for index, key in enumerate(SUB_KEYS)}}


def start_cli(*args, cwd, stdout=subprocess.PIPE):
    return subprocess.Popen(
        [sys.executable, "-m", "figvault", *map(str, args)],
        cwd=cwd, env=child_environment(), stdout=stdout, stderr=subprocess.PIPE,
    )


class ListingHook(io.StringIO):
    """A standard output that calls `on_line(number, line)` for every listed
    line, while the restore still runs."""

    def __init__(self, on_line):
        super().__init__()
        self.on_line = on_line
        self.count = 0
        self.pending = ""

    def write(self, text):
        self.pending += text
        while "\n" in self.pending:
            line, self.pending = self.pending.split("\n", 1)
            self.count += 1
            self.on_line(self.count, line)
        return super().write(text)


def swap_for_link(folder, parked, outside):
    """What a hostile process does: move `folder` away, put a link to `outside` in its place."""
    os.rename(folder, parked)
    os.symlink(outside, folder)


# ---------------------------------------------------------------------------
# A folder swapped for a link while it is restored
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("command", ["extract", "expand"])
def test_a_folder_swapped_for_a_link_by_another_process_fails_the_restore(tmp_path, command):
    outside, parked = tmp_path / "outside", tmp_path / "parked"
    outside.mkdir()
    marker = tmp_path / "ran"
    make_archive(tmp_path / "a.figvault", big_files(), marker)
    target = tmp_path / "out"
    # Nobody reads the child's listing: it stops inside ./sub once the pipe
    # is full, and this process swaps ./sub while it waits.
    child = start_cli(command, "a.figvault", "--folder", "out", cwd=tmp_path)
    try:
        deadline = time.monotonic() + CHILD_SECONDS
        while not ((target / "sub").is_dir() and len(os.listdir(target / "sub")) >= SWAP_AFTER):
            assert child.poll() is None and time.monotonic() < deadline, "the child never reached ./sub"
            time.sleep(0.01)
        swap_for_link(target / "sub", parked, outside)
        stdout, stderr = child.communicate(timeout=CHILD_SECONDS)
    finally:
        child.kill()
        child.wait()
    assert len(os.listdir(outside)) == 0 and len(os.listdir(parked)) == 0
    assert child.returncode == 1, stderr
    assert stderr.decode().splitlines() == [
        f"figvault: error: restoring the sources of 'a.figvault' into {str(target)!r} failed: "
        "the folder 'sub' was moved or replaced while the sources were restored; nothing was restored"
    ]
    assert not os.path.lexists(target)
    assert not marker.exists()


@pytest.mark.parametrize("swapped", ["sub", "."])
def test_a_swap_seen_by_figvault_expand_writes_nothing_through_the_link(tmp_path, monkeypatch, swapped):
    outside, parked = tmp_path / "outside", tmp_path / "parked"
    outside.mkdir()
    marker = tmp_path / "ran"
    files = {"./a.py": "A = 1\n", **{key: "N = 1\n" for key in SUB_KEYS[:100]}}
    archive = make_archive(tmp_path / "a.figvault", files, marker)
    target = tmp_path / "out"

    def swap_midway(number, line):
        if number == SWAP_AFTER:
            swap_for_link(os.path.normpath(target / swapped), parked, outside)

    monkeypatch.setattr(sys, "stdout", ListingHook(swap_midway))
    with pytest.raises(FolderMovedError) as caught:
        figvault.expand(archive, target)
    assert any("was removed again" in note for note in caught.value.__notes__)
    # What was written before and after the swap is gone wherever it was moved.
    assert os.listdir(outside) == [] and os.listdir(parked) == []
    # Only the swapper's own link may remain where the folder was.
    assert not os.path.lexists(target) or os.readlink(target) == str(outside)
    assert not marker.exists()


# ---------------------------------------------------------------------------
# Modes and bytes
# ---------------------------------------------------------------------------

TEXTS = {"./a.py": "x = 'é'\r\nline\n\u2028end", "./lib/deep/b.py": "b\n"}


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002], ids=oct)
def test_private_while_restored_then_the_modes_and_bytes_of_plain_open(tmp_path, monkeypatch, umask):
    target = tmp_path / "out"
    modes_while_restored = []
    monkeypatch.setattr(sys, "stdout", ListingHook(lambda number, line: modes_while_restored.append(
        stat.S_IMODE(os.stat(target).st_mode))))
    previous = os.umask(umask)
    try:
        figvault.extract(make_archive(tmp_path / "a.figvault", TEXTS), target)
        # What open(path, "w") and mkdir give under the same umask.
        os.mkdir(tmp_path / "plain")
        for key, text in TEXTS.items():
            with open(tmp_path / "plain" / os.path.basename(key), "w") as file:
                file.write(text)
    finally:
        os.umask(previous)
    assert modes_while_restored == [0o700] * len(TEXTS)
    for folder in (target, target / "lib", target / "lib" / "deep"):
        assert stat.S_IMODE(os.stat(folder).st_mode) == 0o777 & ~umask
    for key in TEXTS:
        restored, plain = target / key, tmp_path / "plain" / os.path.basename(key)
        assert stat.S_IMODE(os.stat(restored).st_mode) == stat.S_IMODE(os.stat(plain).st_mode) == 0o666 & ~umask
        assert restored.read_bytes() == plain.read_bytes()


# ---------------------------------------------------------------------------
# A standard output that fails while the restored paths are listed
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("command", ["extract", "expand"])
@pytest.mark.parametrize("output", ["closed pipe", "full device"])
def test_a_failing_output_ends_the_listing_never_the_restore(tmp_path, listing, command, output):
    marker = tmp_path / "ran"
    make_archive(tmp_path / "a.figvault", big_files(), marker)
    if output == "closed pipe":  # figvault extract ... | head -1
        child = start_cli(command, "a.figvault", "--folder", "out", cwd=tmp_path)
        first = child.stdout.readline()
        child.stdout.close()
        child.wait(timeout=CHILD_SECONDS)
        stderr = child.stderr.read().decode()
        child.stderr.close()
        assert first == b"./a.py\n"
        assert (child.returncode, stderr) == (0, "")
    else:  # figvault extract ... > /dev/full
        with open("/dev/full", "wb") as full:
            child = start_cli(command, "a.figvault", "--folder", "out", cwd=tmp_path, stdout=full)
            stderr = child.communicate(timeout=CHILD_SECONDS)[1].decode()
        assert child.returncode == 1
        assert stderr.splitlines() == [
            "figvault: error: cannot write the list of restored files: No space left on device; "
            f"the sources were restored into {str(tmp_path / 'out')!r}"
        ]
    assert listing(tmp_path / "out") == ["a.py", "sub/"] + sorted(key[2:] for key in SUB_KEYS)
    assert marker.exists() == (command == "expand")


class FailingOutput(io.StringIO):
    def __init__(self, error):
        super().__init__()
        self.error = error

    def write(self, text):
        raise self.error


def closed_output():
    stream = io.StringIO()
    stream.close()
    return stream


@pytest.mark.parametrize(
    "make_output",
    [lambda: FailingOutput(BrokenPipeError(32, "Broken pipe")), lambda: FailingOutput(OSError(5, "EIO")), closed_output],
    ids=["broken pipe", "I/O error", "closed"],
)
def test_figvault_expand_restores_and_replays_when_its_output_fails(tmp_path, monkeypatch, listing, make_output):
    marker = tmp_path / "ran"
    archive = make_archive(tmp_path / "a.figvault", {"./a.py": "A\n", "./lib/b.py": "B\n"}, marker)
    monkeypatch.chdir(tmp_path)
    # The function's own print still meets the failing output, after the restore.
    monkeypatch.setattr(sys, "stdout", make_output())
    with pytest.raises((OSError, ValueError)) as caught:
        figvault.expand(archive, "out")
    assert "the sources were restored into" in caught.value.__notes__[0]
    assert marker.exists()
    assert listing(tmp_path / "out") == ["a.py", "lib/", "lib/b.py"]


@pytest.mark.parametrize(
    "encoding, files, printed",
    [
        # The walk goes folder by folder; the listing keeps the dictionary's order.
        ("utf-8", {"./z.py": "", "./b/x.py": "", "./a.py": "", "./b/a/y.py": ""}, "./z.py\nb/x.py\n./a.py\nb/a/y.py\n"),
        ("utf-8", {"./\x1b[2Jcafé.py": ""}, "./\\x1b[2Jcafé.py\n"),
        ("ascii", {"./café.py": "", "./plain.py": ""}, "./caf\\xe9.py\n./plain.py\n"),
    ],
    ids=["dictionary order", "control characters", "unencodable"],
)
def test_listing_order_and_escapes(tmp_path, monkeypatch, encoding, files, printed):
    output = io.TextIOWrapper(io.BytesIO(), encoding=encoding)
    monkeypatch.setattr(sys, "stdout", output)
    folder = figvault.extract(make_archive(tmp_path / "a.figvault", files), tmp_path / "out")
    output.flush()
    assert output.buffer.getvalue().decode(encoding) == printed
    assert all(os.path.isfile(os.path.join(folder, key)) for key in files)
