"""The archive record that a decorated call writes, and how the archive file is
written: its content, its name, its rewriting on every call, and the safe
replacement of an existing archive."""

import builtins
import errno
import json
import os
import resource
import threading
import types
from pathlib import Path

import dill
import numpy as np
import pytest
import torch


import archive_helpers as helpers  # noqa: E402
am = helpers.am
workdir = helpers.workdir
events = helpers.events
archive = helpers.archive_module.archive
our_entries = helpers.our_entries
load_record = helpers.load_record
folder_state = helpers.folder_state
mode_of = helpers.mode_of

WRITE_LINE = (helpers.WRAPPER_ENTRY, 43)


# ---- functions that get decorated -------------------------------------------


def two(x, y):
    return (x, y)


def with_default(x, y=5):
    return (x, y)


def no_parameters():
    return "none"


def var_positional(x, *rest):
    return (x, rest)


def keyword_only(x, *, z):
    return (x, z)


def var_keyword(x, **options):
    return (x, options)


def four(a, b, c, d=4):
    return (a, b, c, d)


class Points(list):
    pass


class Unpicklable:
    def __reduce__(self):
        raise RuntimeError("refuses to be pickled")


def numbers():
    yield 1


# ---- the record ---------------------------------------------------------------


def test_record_holds_args_files_and_func_in_this_order(workdir):
    (workdir / "plot.py").write_text("import figvault\n")
    calls = []

    def plot(x, y):
        calls.append((x, y))
        return "drawn"

    assert archive("fig.fv")(plot)(1, [2, 3]) == "drawn"
    assert calls == [(1, [2, 3])]
    record = load_record("fig.fv")
    assert type(record) is dict
    assert list(record) == ["args", "files", "func"]
    assert record["args"] == {"x": 1, "y": [2, 3]}
    assert record["files"] == {"./plot.py": "import figvault\n"}
    assert record["func"].__name__ == "plot"
    assert record["func"](4, 5) == "drawn"


def test_archive_file_is_exactly_what_dill_writes_for_the_record(workdir):
    (workdir / "plot.py").write_text("x = 1\n")
    archive("fig.fv")(two)(1, "b")
    expected = {"args": {"x": 1, "y": "b"}, "files": {"./plot.py": "x = 1\n"}, "func": two}
    assert (workdir / "fig.fv").read_bytes() == dill.dumps(expected)


def test_saved_function_is_the_undecorated_one(workdir):
    wrapper = archive("fig.fv")(two)
    wrapper(1, 2)
    record = load_record("fig.fv")
    assert record["func"] is two
    assert record["func"] is not wrapper


@pytest.mark.parametrize(
    "func, args, kwargs, expected",
    [
        (two, (1, 2), {}, [("x", 1), ("y", 2)]),
        (two, (1,), {"y": 2}, [("x", 1)]),
        (two, (), {"x": 1, "y": 2}, []),
        (with_default, (1,), {}, [("x", 1)]),
        (with_default, (1, 7), {}, [("x", 1), ("y", 7)]),
        (no_parameters, (), {}, []),
        (var_positional, (1, 2, 3), {}, [("x", 1), ("rest", (2, 3))]),
        (var_positional, (1,), {}, [("x", 1)]),
        (var_positional, (), {"x": 1}, []),
        (keyword_only, (1,), {"z": 3}, [("x", 1)]),
        (var_keyword, (1,), {"color": "red"}, [("x", 1)]),
        (four, (1, 2), {"c": 3}, [("a", 1), ("b", 2)]),
        (four, ("a", "b", "c", "d"), {}, [("a", "a"), ("b", "b"), ("c", "c"), ("d", "d")]),
    ],
    ids=[
        "all-positional",
        "mixed",
        "keywords-only",
        "default-not-stored",
        "default-overridden",
        "no-parameters",
        "surplus-positional-in-var-positional",
        "var-positional-left-empty",
        "var-positional-by-keyword",
        "keyword-only-parameter",
        "var-keyword",
        "fewer-than-parameters",
        "every-parameter",
    ],
)
def test_args_holds_the_named_positional_values_in_parameter_order(workdir, func, args, kwargs, expected):
    result = archive("fig.fv")(func)(*args, **kwargs)
    assert result == func(*args, **kwargs)
    stored = load_record("fig.fv")["args"]
    assert type(stored) is dict
    assert list(stored.items()) == expected


def test_values_are_stored_as_they_were_passed(workdir):
    def plot(values, array, tensor, nested):
        return None

    values = Points([1.5, 2.5])
    array = np.arange(6, dtype=np.float32).reshape(2, 3)
    tensor = torch.tensor([[1.0, 2.0]])
    nested = {"a": (1, b"x"), "b": [True, "s"]}
    archive("fig.fv")(plot)(values, array, tensor, nested)
    stored = load_record("fig.fv")["args"]
    assert type(stored["values"]) is Points and stored["values"] == [1.5, 2.5]
    assert type(stored["array"]) is np.ndarray and stored["array"].dtype == np.float32
    assert np.array_equal(stored["array"], array)
    assert type(stored["tensor"]) is torch.Tensor and torch.equal(stored["tensor"], tensor)
    assert stored["nested"] == nested


def test_archive_holds_values_from_before_the_function_ran(workdir):
    def fill(points, grid):
        points.append(99)
        grid[:] = 7

    points = [1]
    grid = np.zeros(3)
    archive("fig.fv")(fill)(points, grid)
    stored = load_record("fig.fv")["args"]
    assert points == [1, 99] and stored["points"] == [1]
    assert list(grid) == [7, 7, 7] and list(stored["grid"]) == [0, 0, 0]


def test_files_entry_is_the_snapshot_of_the_working_directory(workdir, am):
    (workdir / "a.py").write_text("a = 1\n")
    (workdir / "lib").mkdir()
    (workdir / "lib" / "b.py").write_text("b = 2\n")
    (workdir / "notes.ipynb").write_text('{"cells": []}')
    (workdir / "data.txt").write_text("ignored")
    archive("fig.fv")(two)(1, 2)
    stored = load_record("fig.fv")["files"]
    expected = am.files.create_file_dict()
    assert list(stored.items()) == list(expected.items())
    assert set(stored) == {"./a.py", "./lib/b.py", "./notes.ipynb"}
    assert list(stored)[-1] == "./notes.ipynb"


def test_sources_are_read_anew_on_every_call(workdir):
    wrapper = archive("fig.fv")(two)
    (workdir / "a.py").write_text("first\n")
    wrapper(1, 2)
    assert load_record("fig.fv")["files"] == {"./a.py": "first\n"}
    (workdir / "a.py").write_text("second\n")
    wrapper(1, 2)
    assert load_record("fig.fv")["files"] == {"./a.py": "second\n"}


# ---- the file name and the rewriting -------------------------------------------


def test_every_call_rewrites_the_file_with_its_own_record(workdir):
    wrapper = archive("fig.fv")(two)
    wrapper([1, 2, 3, 4, 5, 6, 7, 8], "long first value")
    wrapper(1, 2)
    assert load_record("fig.fv")["args"] == {"x": 1, "y": 2}
    expected = {"args": {"x": 1, "y": 2}, "files": {}, "func": two}
    assert (workdir / "fig.fv").read_bytes() == dill.dumps(expected)


def test_new_filename_redirects_later_calls_and_leaves_the_first_file(workdir):
    decorator = archive("first.fv")
    wrapper = decorator(two)
    wrapper(1, 2)
    first = (workdir / "first.fv").read_bytes()
    decorator.filename = "second.fv"
    wrapper(3, 4)
    assert (workdir / "first.fv").read_bytes() == first
    assert load_record("second.fv")["args"] == {"x": 3, "y": 4}
    assert folder_state(workdir).keys() == {"first.fv", "second.fv"}


def test_one_decorator_serves_all_its_wrappers(workdir):
    decorator = archive("a.fv")
    first = decorator(two)
    second = decorator(with_default)
    first(1, 2)
    assert load_record("a.fv")["func"] is two
    decorator.filename = "b.fv"
    second(3)
    assert load_record("b.fv")["func"] is with_default
    first(5, 6)
    assert load_record("b.fv")["args"] == {"x": 5, "y": 6}


@pytest.mark.parametrize(
    "make",
    [lambda: archive(), lambda: archive(None), lambda: archive(filename=None)],
    ids=["no-argument", "None", "None-by-keyword"],
)
def test_default_file_name(workdir, make):
    make()(two)(1, 2)
    assert list(folder_state(workdir)) == [helpers.DEFAULT_NAME]
    assert load_record(helpers.DEFAULT_NAME)["args"] == {"x": 1, "y": 2}


def test_relative_name_follows_the_working_directory_of_each_call(workdir, monkeypatch):
    (workdir / "one").mkdir()
    (workdir / "two").mkdir()
    wrapper = archive("fig.fv")(two)
    monkeypatch.chdir(workdir / "one")
    wrapper(1, 2)
    monkeypatch.chdir(workdir / "two")
    wrapper(3, 4)
    assert load_record(workdir / "one" / "fig.fv")["args"] == {"x": 1, "y": 2}
    assert load_record(workdir / "two" / "fig.fv")["args"] == {"x": 3, "y": 4}


@pytest.mark.parametrize(
    "name",
    ["fig.fv", b"fig.fv", Path("fig.fv"), "sub/../fig.fv"],
    ids=["str", "bytes", "path", "dotted"],
)
def test_file_name_kinds_that_open_accepts(workdir, name):
    (workdir / "sub").mkdir()
    archive(name)(two)(1, 2)
    assert folder_state(workdir).keys() == {"fig.fv", "sub"}
    assert os.listdir(workdir / "sub") == []
    assert load_record(workdir / "fig.fv")["args"] == {"x": 1, "y": 2}


def test_absolute_file_name(workdir, tmp_path):
    target = tmp_path / "elsewhere.fv"
    archive(str(target))(two)(1, 2)
    assert load_record(target)["args"] == {"x": 1, "y": 2}
    assert folder_state(workdir) == {}


def test_empty_file_name_fails_in_open_after_the_sources_were_read(workdir, events):
    plot = helpers.recorder()
    decorator = archive("")
    assert decorator.filename == ""
    with pytest.raises(FileNotFoundError) as caught:
        decorator(plot)(1)
    assert caught.value.errno == errno.ENOENT
    assert our_entries(caught) == [WRITE_LINE]
    assert events == ["sources"]
    assert plot.calls == []
    assert folder_state(workdir) == {}


@pytest.mark.parametrize(
    "name, error",
    [
        ("missing/fig.fv", FileNotFoundError),
        ("folder", IsADirectoryError),
        ("plain.txt/fig.fv", NotADirectoryError),
    ],
)
def test_open_failures_reach_the_caller(workdir, name, error):
    (workdir / "folder").mkdir()
    (workdir / "plain.txt").write_text("text")
    before = folder_state(workdir)
    plot = helpers.recorder()
    with pytest.raises(error) as caught:
        archive(name)(plot)(1)
    assert caught.value.filename == name
    assert our_entries(caught) == [WRITE_LINE]
    assert plot.calls == []
    assert folder_state(workdir) == before
    assert os.listdir(workdir / "folder") == []


def test_function_that_raises_finds_its_archive_complete(workdir):
    problem = ValueError("bad data")

    def plot(x):
        assert load_record("fig.fv")["args"] == {"x": x}
        raise problem

    with pytest.raises(ValueError) as caught:
        archive("fig.fv")(plot)(3)
    assert caught.value is problem
    assert our_entries(caught) == [(helpers.WRAPPER_ENTRY, 45)]
    assert load_record("fig.fv")["args"] == {"x": 3}


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
def test_failing_dump_keeps_the_previous_archive_and_skips_the_function(workdir, value, error, text, previous):
    plot = helpers.recorder()
    wrapper = archive("fig.fv")(plot)
    if previous:
        wrapper("first")
    before = folder_state(workdir)
    with pytest.raises(error, match=text) as caught:
        wrapper(value)
    assert our_entries(caught) == [WRITE_LINE]
    assert folder_state(workdir) == before
    assert len(plot.calls) == (1 if previous else 0)
    if previous:
        assert load_record("fig.fv")["args"] == {"value": "first"}


def test_failing_close_keeps_the_previous_archive(workdir):
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
    assert our_entries(caught) == [WRITE_LINE]
    assert folder_state(workdir) == before
    assert plot.calls == [(("first",), {})]


def test_failing_close_of_a_device_reaches_the_caller(workdir):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    plot = helpers.recorder()
    with pytest.raises(OSError) as caught:
        archive("/dev/full")(plot)(1)
    assert caught.value.errno == errno.ENOSPC
    assert our_entries(caught) == [WRITE_LINE]
    assert plot.calls == []
    assert folder_state(workdir) == {}


def test_failing_close_of_a_broken_pipe_reaches_the_caller(workdir):
    read_end, write_end = os.pipe()
    os.close(read_end)
    plot = helpers.recorder()
    try:
        with pytest.raises(BrokenPipeError) as caught:
            archive(write_end)(plot)(1)
    finally:
        helpers.close_if_open(write_end)
    assert our_entries(caught) == [WRITE_LINE]
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


def test_symlink_loop_fails_in_open(workdir):
    os.symlink("b.fv", "a.fv")
    os.symlink("a.fv", "b.fv")
    plot = helpers.recorder()
    with pytest.raises(OSError) as caught:
        archive("a.fv")(plot)(1)
    assert caught.value.errno == errno.ELOOP
    assert caught.value.filename == "a.fv"
    assert our_entries(caught) == [WRITE_LINE]
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
    done = helpers.run_python(PERMISSION_SCENARIOS, cwd=folder, unprivileged=True)
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


# ---- the module globals that the writer uses --------------------------------


class RecordingDill:
    def __init__(self, payload=b"payload"):
        self.calls = []
        self.payload = payload

    def dump(self, *args, **kwargs):
        record, file = args
        self.calls.append(
            {"args": len(args), "kwargs": kwargs, "keys": list(record), "record": record,
             "mode": file.mode, "closed": file.closed}
        )
        file.write(self.payload)


def test_dill_is_looked_up_at_each_call(workdir, am, monkeypatch):
    plot = helpers.recorder()
    wrapper = archive("fig.fv")(plot)
    wrapper(1)
    assert load_record("fig.fv")["args"] == {"value": 1}
    fake = RecordingDill()
    monkeypatch.setattr(am, "dill", fake)
    assert wrapper([2], key="word") == "result"
    assert len(fake.calls) == 1
    call = fake.calls[0]
    assert call["args"] == 2 and call["kwargs"] == {"recurse": True}
    assert call["keys"] == ["args", "files", "func"]
    assert call["record"]["args"] == {"value": [2]} and call["record"]["func"] is plot
    assert call["mode"] == "wb" and not call["closed"]
    assert (workdir / "fig.fv").read_bytes() == b"payload"
    assert plot.calls[-1] == (([2],), {"key": "word"})


@pytest.mark.parametrize(
    "change, error, message",
    [
        ("delete-dill", NameError, "name 'dill' is not defined"),
        ("dill-without-dump", AttributeError, "dump"),
        ("delete-filename", AttributeError, "filename"),
    ],
)
def test_missing_writer_names_leave_the_archive_untouched(workdir, am, monkeypatch, change, error, message):
    plot = helpers.recorder()
    decorator = archive("fig.fv")
    wrapper = decorator(plot)
    wrapper(1)
    before = folder_state(workdir)
    if change == "delete-dill":
        monkeypatch.delattr(am, "dill")
    elif change == "dill-without-dump":
        monkeypatch.setattr(am, "dill", types.SimpleNamespace())
    else:
        del decorator.filename
    with pytest.raises(error, match=message) as caught:
        wrapper(2)
    assert our_entries(caught) == [WRITE_LINE]
    assert folder_state(workdir) == before
    assert len(plot.calls) == 1


def test_dill_found_among_the_builtins(workdir, am, monkeypatch):
    fake = RecordingDill(b"from builtins")
    monkeypatch.delattr(am, "dill")
    monkeypatch.setattr(builtins, "dill", fake, raising=False)
    archive("fig.fv")(two)(1, 2)
    assert (workdir / "fig.fv").read_bytes() == b"from builtins"


def test_open_was_fixed_when_the_module_was_executed(workdir, am, monkeypatch):
    def refuse(*args, **kwargs):
        raise AssertionError("a rebound open was used")

    with monkeypatch.context() as patch:
        patch.setattr(am, "open", refuse, raising=False)
        patch.setattr(builtins, "open", refuse)
        archive("fig.fv")(two)(1, 2)
    assert load_record("fig.fv")["args"] == {"x": 1, "y": 2}

