"""Writing the archive file safely: a failed write (an argument dill cannot
store, a failing close, a full disk) keeps the previous archive; the
replacement keeps the mode, follows symbolic links, and is planned against
the target's folder when the write starts; devices, pipes and descriptors are
written directly; permissions are respected as open() respects them; and the
record is dumped with the globals a function reads, falling back to a plain
dump when that fails."""

import errno
import json
import os
import resource
import threading

import dill
import pytest

import archive_helpers as helpers
from support import run_python

archive = helpers.archive_module.archive
load_record = helpers.load_record
folder_state = helpers.folder_state
mode_of = helpers.mode_of

WRITE_LINE = (helpers.WRAPPER_ENTRY, 43)


def one(value):
    return value


def two(x, y):
    return (x, y)


class Unpicklable:
    def __reduce__(self):
        raise RuntimeError("refuses to be pickled")


def numbers():
    yield 1


# ---- failures of the writer -------------------------------------------------


@pytest.mark.parametrize(
    "value, error, text",
    [
        ([1, numbers()], TypeError, "cannot pickle 'generator' object"),
        ((Unpicklable(),), RuntimeError, "refuses to be pickled"),
        ({"key": Unpicklable()}, RuntimeError, "refuses to be pickled"),
    ],
    ids=["generator-in-list", "reduce-raises-in-tuple", "reduce-raises-in-dict"],
)
@pytest.mark.parametrize("previous", [True, False], ids=["previous-archive", "no-archive-yet"])
def test_failing_dump_keeps_the_previous_archive_and_skips_the_function(workdir, value, error, text, previous, our_entries):
    plot = helpers.recorder()
    wrapper = archive("fig.fv")(plot)
    if previous:
        wrapper("first")
    before = folder_state(workdir)
    with pytest.raises(error, match=text) as caught:
        wrapper(value)
    assert our_entries(caught, "archive") == [WRITE_LINE]
    assert folder_state(workdir) == before
    assert len(plot.calls) == (1 if previous else 0)
    if previous:
        assert load_record("fig.fv")["args"] == {"value": "first"}


def test_failing_close_keeps_the_previous_archive(workdir, our_entries):
    # The record fits in the write buffer, so the file size limit is only hit
    # by the flush when the file is closed.
    plot = helpers.recorder()
    wrapper = archive("fig.fv")(plot)
    wrapper("first")
    before = folder_state(workdir)
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (64, hard))
    try:
        with pytest.raises(OSError) as caught:
            wrapper("second")
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
    assert caught.value.errno == errno.EFBIG
    assert our_entries(caught, "archive") == [WRITE_LINE]
    assert folder_state(workdir) == before
    assert plot.calls == [(("first",), {})]


def test_failing_close_of_a_device_reaches_the_caller(workdir, our_entries):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    plot = helpers.recorder()
    with pytest.raises(OSError) as caught:
        archive("/dev/full")(plot)(1)
    assert caught.value.errno == errno.ENOSPC
    assert our_entries(caught, "archive") == [WRITE_LINE]
    assert plot.calls == []
    assert folder_state(workdir) == {}


def test_failing_close_of_a_broken_pipe_reaches_the_caller(workdir, our_entries):
    read_end, write_end = os.pipe()
    os.close(read_end)
    plot = helpers.recorder()
    try:
        with pytest.raises(BrokenPipeError) as caught:
            archive(write_end)(plot)(1)
    finally:
        helpers.close_if_open(write_end)
    assert our_entries(caught, "archive") == [WRITE_LINE]
    assert plot.calls == []


# ---- what is written directly, and what is replaced ---------------------------


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o604, 0o755])
def test_rewritten_archive_keeps_its_mode(workdir, mode):
    wrapper = archive("fig.fv")(two)
    with helpers.umask(0o022):
        wrapper(1, 2)
        os.chmod("fig.fv", mode)
        wrapper(3, 4)
    assert mode_of("fig.fv") == mode
    assert load_record("fig.fv")["args"] == {"x": 3, "y": 4}
    assert list(folder_state(workdir)) == ["fig.fv"]


@pytest.mark.parametrize("mask", [0o022, 0o077, 0o027, 0o000])
def test_new_archive_mode_follows_the_umask(workdir, mask):
    with helpers.umask(mask):
        archive("fig.fv")(two)(1, 2)
    assert mode_of("fig.fv") == 0o666 & ~mask


@pytest.mark.parametrize(
    "link, points_to, target",
    [
        ("fig.fv", "data.fv", "data.fv"),
        ("fig.fv", "store/data.fv", "store/data.fv"),
        ("links/fig.fv", "../store/data.fv", "store/data.fv"),
        ("fig.fv", "links/hop.fv", "store/data.fv"),
        ("fig.fv", "ABSOLUTE", "store/data.fv"),
    ],
    ids=["same-folder", "into-subfolder", "relative-to-link", "chain", "absolute"],
)
@pytest.mark.parametrize("existing", [True, False], ids=["target-exists", "dangling"])
def test_writing_through_a_symlink_replaces_its_target(workdir, link, points_to, target, existing):
    (workdir / "store").mkdir()
    (workdir / "links").mkdir()
    if points_to == "ABSOLUTE":
        points_to = str(workdir / "store" / "data.fv")
    if link == "fig.fv" and points_to == "links/hop.fv":
        os.symlink("../store/data.fv", workdir / "links" / "hop.fv")
    os.symlink(points_to, workdir / link)
    if existing:
        (workdir / target).write_bytes(b"old")
        os.chmod(workdir / target, 0o640)
    archive(link)(two)(1, 2)
    assert os.path.islink(workdir / link)
    assert os.readlink(workdir / link) == points_to
    assert not os.path.islink(workdir / target)
    assert load_record(workdir / target)["args"] == {"x": 1, "y": 2}
    if existing:
        assert mode_of(workdir / target) == 0o640
    for folder in (workdir, workdir / "store", workdir / "links"):
        assert not [name for name in os.listdir(folder) if name.startswith(".")]


def test_symlink_loop_fails_in_open(workdir, our_entries):
    os.symlink("b.fv", "a.fv")
    os.symlink("a.fv", "b.fv")
    plot = helpers.recorder()
    with pytest.raises(OSError) as caught:
        archive("a.fv")(plot)(1)
    assert caught.value.errno == errno.ELOOP
    assert caught.value.filename == "a.fv"
    assert our_entries(caught, "archive") == [WRITE_LINE]
    assert plot.calls == []
    assert os.readlink("a.fv") == "b.fv" and os.readlink("b.fv") == "a.fv"
    assert sorted(os.listdir(workdir)) == ["a.fv", "b.fv"]


@pytest.mark.parametrize("name", ["/dev/null", "DESCRIPTOR"])
def test_targets_that_are_not_regular_files_are_written_directly(workdir, name):
    plot = helpers.recorder()
    fd = None
    if name == "DESCRIPTOR":
        fd = os.open("by-fd.fv", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        name = fd
    try:
        assert archive(name)(plot)(1) == "result"
    finally:
        if fd is not None:
            helpers.close_if_open(fd)
    assert plot.calls == [((1,), {})]
    if fd is not None:
        assert list(folder_state(workdir)) == ["by-fd.fv"]
        assert load_record("by-fd.fv")["args"] == {"value": 1}
    else:
        assert folder_state(workdir) == {}


def test_descriptor_of_a_file_elsewhere_writes_that_file(workdir, tmp_path):
    target = tmp_path / "other.fv"
    target.write_bytes(b"old contents that are longer than nothing")
    fd = os.open(target, os.O_WRONLY | os.O_TRUNC)
    try:
        archive(fd)(two)(1, 2)
    finally:
        helpers.close_if_open(fd)
    assert load_record(target)["args"] == {"x": 1, "y": 2}
    assert folder_state(workdir) == {}


def test_named_pipe_is_written_directly(workdir):
    os.mkfifo("pipe.fv")
    received = []

    def read_all():
        with open("pipe.fv", "rb") as pipe:
            received.append(pipe.read())

    reader = threading.Thread(target=read_all, daemon=True)
    reader.start()
    plot = helpers.recorder()
    try:
        archive("pipe.fv")(plot)(1)
    finally:
        reader.join(10)
        if reader.is_alive():  # the writer never came: release the reader
            os.close(os.open("pipe.fv", os.O_WRONLY | os.O_NONBLOCK))
            reader.join(10)
    assert plot.calls == [((1,), {})]
    assert dill.loads(received[0])["args"] == {"value": 1}
    assert list(folder_state(workdir)) == ["pipe.fv"]
    assert os.path.exists("pipe.fv") and not os.path.isfile("pipe.fv")


# ---- permissions: checked in a process to which they apply ---------------------------

PERMISSION_SCENARIOS = r"""
import json, os, pickle, sys, traceback, types

# Tensors play no part here: a stand-in for torch keeps the process quick.
stand_in = types.ModuleType("torch")
stand_in.Tensor = type("Tensor", (), {})
sys.modules["torch"] = stand_in

from figvault.src.archive import archive

def plot(x):
    calls.append(x)

def attempt(name, value):
    try:
        archive(name)(plot)(value)
    except OSError as error:
        return {"error": type(error).__name__, "errno": error.errno, "filename": error.filename,
                "entries": [[f.name, f.lineno] for f in traceback.extract_tb(error.__traceback__)
                            if f.filename == "figvault/src/archive.py"]}
    return None

def listing(folder):
    return sorted(os.listdir(folder))

def stored_args(path):
    import dill
    with open(path, "rb") as file:
        try:
            return dill.load(file)["args"]
        except (pickle.UnpicklingError, EOFError):
            return None

results = {}

calls = []
with open("read-only.fv", "wb") as file:
    file.write(b"old")
os.chmod("read-only.fv", 0o444)
results["read_only"] = {"failure": attempt("read-only.fv", 1), "calls": calls,
                        "content": open("read-only.fv", "rb").read().decode(),
                        "listing": [name for name in listing(".") if name != "sticky"]}

calls = []
os.mkdir("locked")
with open("locked/fig.fv", "wb") as file:
    file.write(b"old")
os.chmod("locked/fig.fv", 0o640)
os.chmod("locked", 0o555)
try:
    failure = attempt("locked/fig.fv", 2)
    results["locked_existing"] = {"failure": failure, "calls": calls, "args": stored_args("locked/fig.fv"),
                                  "mode": os.stat("locked/fig.fv").st_mode & 0o7777,
                                  "listing": listing("locked")}
    calls = []
    results["locked_new"] = {"failure": attempt("locked/new.fv", 3), "calls": calls,
                             "listing": listing("locked")}
finally:
    os.chmod("locked", 0o755)

# Prepared by the test when it may give files to another user: a shared,
# sticky folder (like /tmp) holding a writable archive that someone else owns.
if os.path.isdir("sticky"):
    calls = []
    failure = attempt("sticky/shared.fv", 4)
    results["sticky"] = {"failure": failure, "calls": calls, "args": stored_args("sticky/shared.fv"),
                         "owner": os.stat("sticky/shared.fv").st_uid, "listing": listing("sticky")}
print(json.dumps(results))
"""


OTHER_USER = 65534  # nobody


@pytest.fixture(scope="module")
def permission_results(tmp_path_factory):
    folder = tmp_path_factory.mktemp("permissions")
    if os.geteuid() == 0:
        sticky = folder / "sticky"
        sticky.mkdir()
        (sticky / "shared.fv").write_bytes(b"old")
        os.chmod(sticky / "shared.fv", 0o666)
        os.chown(sticky / "shared.fv", OTHER_USER, OTHER_USER)
        os.chown(sticky, OTHER_USER, OTHER_USER)
        os.chmod(sticky, 0o1777)
    done = run_python(PERMISSION_SCENARIOS, cwd=folder, unprivileged=True)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_read_only_archive_is_refused_like_open_refuses_it(permission_results):
    outcome = permission_results["read_only"]
    assert outcome["failure"] == {
        "error": "PermissionError",
        "errno": errno.EACCES,
        "filename": "read-only.fv",
        "entries": [list(WRITE_LINE)],
    }
    assert outcome["calls"] == []
    assert outcome["content"] == "old"
    assert outcome["listing"] == ["read-only.fv"]


def test_folder_that_admits_no_new_file_gets_the_archive_written_in_place(permission_results):
    outcome = permission_results["locked_existing"]
    assert outcome["failure"] is None
    assert outcome["calls"] == [2]
    assert outcome["args"] == {"x": 2}
    assert outcome["mode"] == 0o640
    assert outcome["listing"] == ["fig.fv"]


def test_folder_that_admits_no_new_file_refuses_a_new_archive(permission_results):
    outcome = permission_results["locked_new"]
    assert outcome["failure"] == {
        "error": "PermissionError",
        "errno": errno.EACCES,
        "filename": "locked/new.fv",
        "entries": [list(WRITE_LINE)],
    }
    assert outcome["calls"] == []
    assert outcome["listing"] == ["fig.fv"]


def test_writable_archive_of_another_user_in_a_sticky_folder_is_written(permission_results):
    if "sticky" not in permission_results:
        pytest.skip("giving a file to another user needs root")
    outcome = permission_results["sticky"]
    assert outcome["failure"] is None
    assert outcome["calls"] == [4]
    assert outcome["args"] == {"x": 4}
    assert outcome["owner"] == OTHER_USER
    assert outcome["listing"] == ["shared.fv"]


# ---- the write is planned when it starts ----------------------------------------


class ChangesDirectory(list):
    """An argument whose pickling changes the working directory, as a
    __reduce__ or another thread inside a restore may."""

    def __init__(self, to):
        super().__init__()
        self.to = to

    def __reduce__(self):
        os.chdir(self.to)
        return (list, ())


@pytest.mark.parametrize("name", ["fig.fv", "sub/fig.fv", "link.fv"])
@pytest.mark.parametrize("previous", [True, False], ids=["previous-archive", "no-archive-yet"])
def test_changing_directory_during_the_dump_does_not_move_the_write(workdir, tmp_path, name, previous):
    (workdir / "sub").mkdir()
    if name == "link.fv":
        os.symlink("sub/target.fv", "link.fv")
    if previous:
        archive(name)(two)("old", 0)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    before_elsewhere = folder_state(elsewhere)

    assert archive(name)(two)(ChangesDirectory(elsewhere), 1) is not None

    os.chdir(workdir)
    assert load_record(name)["args"] == {"x": [], "y": 1}
    assert folder_state(elsewhere) == before_elsewhere
    for folder in (workdir, workdir / "sub"):
        assert [entry for entry in os.listdir(folder) if entry.startswith(".")] == []


# ---- the globals a function reads, and the plain dump when they cannot be stored --


class FailsOnce(list):
    """Refuses to be pickled the first time (as a global that only the full
    dump reaches would), and pickles as an empty list afterwards."""

    def __init__(self, error):
        super().__init__()
        self.error = error
        self.attempts = 0

    def __reduce__(self):
        self.attempts += 1
        if self.attempts == 1:
            raise self.error
        return (list, ())


def plain_bytes(args, func):
    """What a plain dill.dump of the record of a call writes."""
    from figvault.src import files

    return dill.dumps({"args": args, "files": files.create_file_dict(), "func": func})


@pytest.mark.parametrize(
    "error", [TypeError("cannot pickle"), RecursionError("too deep"), dill.PicklingError("no")],
    ids=["type-error", "recursion-error", "pickling-error"],
)
@pytest.mark.parametrize("target", ["path", "descriptor"])
def test_a_failed_dump_is_done_again_the_plain_way(workdir, error, target):
    (workdir / "plot.py").write_text("x = 1\n")
    value = FailsOnce(error)
    if target == "path":
        name = "fig.fv"
        archive(name)(two)("old", 0)
    else:
        fd = os.open("fig.fv", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        name = fd
    assert archive(name)(one)(value) is value

    assert value.attempts == 2
    with open("fig.fv", "rb") as file:
        assert file.read() == plain_bytes({"value": value}, one)
    assert sorted(os.listdir(workdir)) == ["fig.fv", "plot.py"]


def test_a_file_that_cannot_be_rewound_keeps_the_first_error(workdir, our_entries):
    read_end, write_end = os.pipe()
    received = []
    reader = threading.Thread(target=lambda: received.append(os.read(read_end, 1 << 20)), daemon=True)
    reader.start()
    value = FailsOnce(TypeError("cannot pickle"))
    plot = helpers.recorder()
    try:
        with pytest.raises(TypeError, match="^cannot pickle$") as caught:
            archive(write_end)(plot)(value)
    finally:
        reader.join(10)
        os.close(read_end)
    assert value.attempts == 1
    assert plot.calls == []
    assert caught.value.__context__ is None
    assert our_entries(caught, "archive") == [WRITE_LINE]


class AlwaysFails(list):
    def __reduce__(self):
        raise ValueError("never")


def test_when_the_plain_dump_fails_too_both_errors_are_told(workdir):
    archive("fig.fv")(two)("old", 0)
    before = folder_state(workdir)
    with pytest.raises(ValueError, match="^never$") as caught:
        archive("fig.fv")(two)(AlwaysFails(), 1)
    assert isinstance(caught.value.__context__, ValueError)
    assert caught.value.__context__ is not caught.value
    assert folder_state(workdir) == before


@pytest.mark.parametrize(
    "error", [OSError(errno.ENOSPC, "No space left on device"), KeyboardInterrupt()], ids=["os-error", "interrupt"]
)
def test_failures_of_the_file_or_the_user_are_not_retried(workdir, error):
    archive("fig.fv")(two)("old", 0)
    before = folder_state(workdir)
    value = FailsOnce(error)
    plot = helpers.recorder()
    with pytest.raises(type(error)):
        archive("fig.fv")(plot)(value)
    assert value.attempts == 1
    assert plot.calls == []
    assert folder_state(workdir) == before


SHARED_ERROR = ValueError("cannot pickle this")


class RaisesTheSameError(dict):
    def __reduce_ex__(self, protocol):
        raise SHARED_ERROR


def test_the_same_error_twice_does_not_become_its_own_context(workdir):
    with pytest.raises(ValueError) as caught:
        archive("fig.fv")(one)(RaisesTheSameError())
    assert caught.value is SHARED_ERROR
    assert caught.value.__context__ is not caught.value


@pytest.mark.skipif(os.geteuid() != 0, reason="giving a file to another user needs root")
def test_another_users_archive_keeps_its_owner_and_its_other_names(workdir):
    (workdir / "fig.fv").write_bytes(b"")
    os.chown("fig.fv", OTHER_USER, OTHER_USER)
    os.link("fig.fv", "backup.fv")
    os.chmod("fig.fv", 0o640)
    archive("fig.fv")(one)(7)
    status = os.stat("fig.fv")
    assert (status.st_uid, status.st_nlink, mode_of("fig.fv")) == (OTHER_USER, 2, 0o640)
    assert load_record("backup.fv")["args"] == {"value": 7}
    assert sorted(os.listdir(workdir)) == ["backup.fv", "fig.fv"]


def test_an_archive_with_other_hard_links_is_rewritten_through_them(workdir):
    archive("fig.fv")(one)(1)
    os.link("fig.fv", "backup.fv")
    archive("fig.fv")(one)(2)
    assert os.stat("fig.fv").st_nlink == 2
    assert load_record("backup.fv")["args"] == {"value": 2}
