"""Tests of the restore behind `extract`, `expand` and figvault.expand/extract:
another process swapping a folder for a link mid-restore, the modes and
bytes of what is restored, and a standard output that fails while the
restored paths are listed."""

import io
import os
import stat
import subprocess
import sys
import time

import dill
import pytest
from support import child_environment

import figvault

# ./a.py, then 3,000 files in ./sub: a listing longer than a pipe holds
# (64 KiB) plus the output's buffer, so a child that nobody reads from
# stops inside ./sub, mid-restore.
SUB_KEYS = [f"./sub/{index:05d}_{'long_name_' * 4}.py" for index in range(3000)]
BIG = {"./a.py": "A = 1\n", **{key: f"N = {index}\n" for index, key in enumerate(SUB_KEYS)}}
BIG_LISTING = ["a.py", "sub/"] + sorted(key[2:] for key in SUB_KEYS)
# Files of ./sub written before the swap.
SWAP_AFTER = 10
# Seconds a child may take to reach ./sub, or to finish.
CHILD_SECONDS = 60


def make_archive(path, files, marker=os.devnull):
    """An archive of `files` whose function (stored by value) leaves `marker`, then prints."""
    namespace = {"__name__": "fv_restore_tests_nowhere"}
    exec(f"def plot():\n    open({str(marker)!r}, 'w').close()\n    print('replayed')\n", namespace)
    with open(path, "wb") as file:
        dill.dump({"args": {}, "files": files, "func": namespace["plot"]}, file)
    return path


def start_cli(*args, cwd, stdout=subprocess.PIPE):
    return subprocess.Popen(
        [sys.executable, "-m", "figvault", *map(str, args)],
        cwd=cwd, env=child_environment(), stdout=stdout, stderr=subprocess.PIPE,
    )


class ListingHook(io.StringIO):
    """A standard output that calls `on_line(line)` for every listed line, while the restore runs."""

    def __init__(self, on_line):
        super().__init__()
        self.on_line = on_line
        self.pending = ""

    def write(self, text):
        self.pending += text
        while "\n" in self.pending:
            line, self.pending = self.pending.split("\n", 1)
            self.on_line(line)
        return super().write(text)


@pytest.mark.parametrize("command, swapped", [("extract", "sub"), ("expand", "sub"), ("extract", ".")])
def test_a_folder_swapped_for_a_link_by_another_process_fails_the_restore(tmp_path, command, swapped):
    outside, parked, marker, target = tmp_path / "outside", tmp_path / "parked", tmp_path / "ran", tmp_path / "out"
    outside.mkdir()
    make_archive(tmp_path / "a.figvault", BIG, marker)
    # Nobody reads the child's listing: it waits inside ./sub while this
    # process moves a folder away and puts a link to `outside` in its place.
    child = start_cli(command, "a.figvault", "--folder", "out", cwd=tmp_path)
    try:
        deadline = time.monotonic() + CHILD_SECONDS
        while not ((target / "sub").is_dir() and len(os.listdir(target / "sub")) >= SWAP_AFTER):
            assert child.poll() is None and time.monotonic() < deadline, "the child never reached ./sub"
            time.sleep(0.01)
        os.rename(os.path.normpath(target / swapped), parked)
        os.symlink(outside, os.path.normpath(target / swapped))
        stderr = child.communicate(timeout=CHILD_SECONDS)[1].decode()
    finally:
        child.kill()
        child.wait()
    # Nothing went through the link, and what was written is gone, also from the moved folder.
    assert len(os.listdir(outside)) == 0 and len(os.listdir(parked)) == 0
    name = os.path.basename(os.path.normpath(target / swapped))
    assert (child.returncode, stderr.splitlines()) == (1, [
        f"figvault: error: restoring the sources of 'a.figvault' into {str(target)!r} failed: "
        f"the folder {name!r} was moved or replaced while the sources were restored; nothing was restored"
    ])
    assert not os.path.lexists(target) or os.readlink(target) == str(outside)  # only the swapper's link
    assert not marker.exists()


TEXTS = {"./a.py": "x = 'é'\r\nline\n\u2028end", "./lib/deep/b.py": "b\n"}


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002], ids=oct)
def test_private_while_restored_then_the_modes_and_bytes_of_plain_open(tmp_path, monkeypatch, umask):
    target = tmp_path / "out"
    modes_while_restored = []
    monkeypatch.setattr(sys, "stdout", ListingHook(lambda line: modes_while_restored.append(
        stat.S_IMODE(os.stat(target).st_mode))))
    previous = os.umask(umask)
    try:
        figvault.extract(make_archive(tmp_path / "a.figvault", TEXTS), target)
        # What mkdir and open(path, "w") give under the same umask.
        os.mkdir(tmp_path / "plain")
        for key, text in TEXTS.items():
            with open(tmp_path / "plain" / os.path.basename(key), "w") as file:
                file.write(text)
    finally:
        os.umask(previous)
    assert modes_while_restored == [0o700] * len(TEXTS)
    for folder in (target, target / "lib", target / "lib" / "deep", tmp_path / "plain"):
        assert stat.S_IMODE(os.stat(folder).st_mode) == 0o777 & ~umask
    for key in TEXTS:
        restored, plain = target / key, tmp_path / "plain" / os.path.basename(key)
        assert stat.S_IMODE(os.stat(restored).st_mode) == stat.S_IMODE(os.stat(plain).st_mode)
        assert restored.read_bytes() == plain.read_bytes()


@pytest.mark.parametrize(
    "command, output", [("extract", "closed pipe"), ("expand", "closed pipe"), ("extract", "full device")]
)
def test_a_failing_output_ends_the_listing_never_the_restore(tmp_path, listing, command, output):
    marker = tmp_path / "ran"
    make_archive(tmp_path / "a.figvault", BIG, marker)
    if output == "closed pipe":  # figvault extract ... | head -1
        child = start_cli(command, "a.figvault", "--folder", "out", cwd=tmp_path)
        first = child.stdout.readline()
        child.stdout.close()
        child.wait(timeout=CHILD_SECONDS)
        # expand still says what it replayed: standard error is not the pipe.
        note = b"replayed plot() from a.figvault\n" if command == "expand" else b""
        assert (first, child.returncode, child.stderr.read()) == (b"./a.py\n", 0, note)
        child.stderr.close()
    else:  # figvault extract ... > /dev/full
        with open("/dev/full", "wb") as full:
            child = start_cli(command, "a.figvault", "--folder", "out", cwd=tmp_path, stdout=full)
            stderr = child.communicate(timeout=CHILD_SECONDS)[1].decode()
        assert (child.returncode, stderr.splitlines()) == (1, [
            "figvault: error: cannot write the list of restored files: No space left on device; "
            f"the sources were restored into {str(tmp_path / 'out')!r}"
        ])
    assert listing(tmp_path / "out") == BIG_LISTING
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
    monkeypatch.setattr(sys, "stdout", make_output())
    # The function's own print meets the failing output too, after the restore.
    with pytest.raises((OSError, ValueError)) as caught:
        figvault.expand(archive, "out")
    assert "the sources were restored into" in caught.value.__notes__[0]
    assert marker.exists()
    assert listing(tmp_path / "out") == ["a.py", "lib/", "lib/b.py"]


@pytest.mark.parametrize(
    "encoding, files, printed",
    [
        # The restore goes folder by folder; the listing keeps the dictionary's order.
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
