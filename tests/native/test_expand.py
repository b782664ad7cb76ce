"""Tests of figvault.src.unarchive.expand.

Archive files are made here directly: dill.dump of hand-made records. The
saved functions are built by exec in a namespace of their own, so that dill
stores them by value; they report their calls to a log file beside the working
directory, which keeps the working directory's listing to what expand does.
"""

import builtins
import collections
import inspect
import json
import os
import pickle
import textwrap
import types
import weakref
from pathlib import Path

import dill
import pytest

import figvault.src.unarchive as unarchive
from figvault.src.unarchive import expand

ENTRY_NAME = "figvault.src.unarchive.expand"

ARCHIVE = "plot.figvault"
SOURCES = {
    "./plot.py": "from figvault import archive\n\nprint('plot')\n",
    "./lib/util.py": "def helper():\n    return 1\n",
    "./lib/io/read.py": "X = 'x'\n",
}
RESTORED_LINES = ["./plot.py", "lib/util.py", "lib/io/read.py"]

# Shared by every saved function: one JSON line per call.
LOGGING = '''
def _log(kind, kw):
    import json, os
    entry = {"kind": kind, "kw": kw, "cwd": os.getcwd(), "listing": sorted(os.listdir("."))}
    with open(LOG, "a") as log:
        log.write(json.dumps(entry) + "\\n")
'''

SAVED_FUNCTIONS = {
    # Takes any keyword arguments, prints, and returns a value.
    "record": '''
        def plot(**kw):
            _log("record", kw)
            print("plot called")
            return "a figure"
    ''',
    # Fixed parameters, as a real plotting function has.
    "fixed": '''
        def plot(title, dpi=72):
            _log("fixed", {"title": title, "dpi": dpi})
    ''',
    # Changes its own keyword dictionary and a value inside it.
    "mutate": '''
        def plot(**kw):
            _log("mutate", kw)
            kw.pop("title")
            kw["added"] = True
            kw["points"].append(99)
    ''',
    "raise": '''
        def plot(**kw):
            _log("raise", kw)
            raise RuntimeError("plotting failed")
    ''',
    # Leaves the working directory changed, in a folder it makes.
    "chdir": '''
        def plot(**kw):
            import os
            _log("chdir", kw)
            os.mkdir("elsewhere")
            os.chdir("elsewhere")
    ''',
    # Uses no file of its own: only makes a folder named "called".
    "mkdir": '''
        def plot(**kw):
            import os
            os.mkdir("called")
    ''',
}


# ---- helpers --------------------------------------------------------------


def write_archive(path, record):
    with open(path, "wb") as out:
        dill.dump(record, out)
    return path


def snapshot(root):
    """Every file and folder below root, with the bytes of each file."""
    root = Path(root)
    return {
        path.relative_to(root).as_posix(): (None if path.is_dir() else path.read_bytes())
        for path in sorted(root.rglob("*"))
    }


class Saved:
    """Makes saved functions and reads the calls that they logged."""

    def __init__(self, log):
        self.log = log

    def __call__(self, kind="record"):
        namespace = {"__name__": "figvault_saved_plot", "LOG": str(self.log)}
        exec(textwrap.dedent(LOGGING), namespace)
        exec(textwrap.dedent(SAVED_FUNCTIONS[kind]), namespace)
        return namespace["plot"]

    def calls(self):
        if not self.log.exists():
            return []
        return [json.loads(line) for line in self.log.read_text().splitlines()]


@pytest.fixture
def work(workdir):
    """An empty working directory below tmp_path."""
    return workdir


@pytest.fixture
def saved(tmp_path):
    return Saved(tmp_path / "calls.jsonl")


@pytest.fixture
def make_archive(work, saved):
    """Writes ARCHIVE with a record {"args", "files", "func"}; a key given as
    MISSING is left out."""

    def make(args=None, files=SOURCES, func="record", **extra):
        record = {}
        if args is not MISSING:
            record["args"] = args
        if files is not MISSING:
            record["files"] = files
        if func is not MISSING:
            record["func"] = saved(func) if isinstance(func, str) else func
        record.update(extra)
        return write_archive(work / ARCHIVE, record)

    return make


MISSING = object()


# ---- the function object and argument binding ------------------------------


def test_function_object():
    assert expand.__name__ == "expand"
    assert expand.__qualname__ == "expand"
    assert expand.__module__ == "figvault.src.unarchive"
    assert expand.__doc__ == "expand(filename, folder=None)"
    assert expand.__defaults__ == (None,)
    code = expand.__code__
    assert code.co_argcount == 2
    assert code.co_varnames == ("filename", "folder", "data", "file_dict", "plotter", "args")
    assert code.co_firstlineno == 5
    assert str(inspect.signature(expand)) == "(filename, folder=None)"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "expand() takes at least 1 positional argument (0 given)"),
        ((), {"folder": "restored"}, "expand() takes at least 1 positional argument (0 given)"),
        (("a", "b", "c"), {}, "expand() takes at most 2 positional arguments (3 given)"),
        (("a",), {"filename": "b"}, "expand() got multiple values for keyword argument 'filename'"),
        (("a",), {"target": "b"}, "expand() got an unexpected keyword argument 'target'"),
    ],
)
def test_binding_refusals(work, saved, args, kwargs, message, our_entries):
    with pytest.raises(TypeError) as caught:
        expand(*args, **kwargs)
    assert str(caught.value) == message
    assert our_entries(caught, "unarchive") == [(ENTRY_NAME, 5)]
    assert os.listdir(work) == []
    assert saved.calls() == []


@pytest.mark.parametrize(
    "call",
    [
        lambda path: expand(path, "restored"),
        lambda path: expand(filename=path, folder="restored"),
        lambda path: expand(folder="restored", filename=path),
        lambda path: expand(path, folder="restored"),
    ],
    ids=["positional", "keywords", "keywords-reversed", "mixed"],
)
def test_parameters_by_position_or_keyword(make_archive, saved, work, call):
    make_archive(args={"title": "t"})
    assert call(ARCHIVE) is None
    assert [c["kw"] for c in saved.calls()] == [{"title": "t"}]
    assert (work / "restored" / "plot.py").read_text() == SOURCES["./plot.py"]


# ---- the order of effects ---------------------------------------------------


def test_function_runs_before_the_sources_are_restored(make_archive, saved, work, capsys):
    make_archive(args={"title": "wave", "dpi": 100})
    assert expand(ARCHIVE, "restored") is None

    (call,) = saved.calls()
    assert call["kw"] == {"title": "wave", "dpi": 100}
    # At call time the folder does not exist yet, and the call runs in the
    # caller's working directory.
    assert call["listing"] == [ARCHIVE]
    assert call["cwd"] == str(work)
    # Afterwards the sources are there, and the working directory is back.
    assert os.getcwd() == str(work)
    for key, text in SOURCES.items():
        assert (work / "restored" / key).read_text() == text
    assert capsys.readouterr().out.splitlines() == ["plot called", *RESTORED_LINES]


def test_relative_folder_is_taken_after_the_function_ran(make_archive, saved, work, capsys):
    make_archive(args={}, func="chdir")
    expand(ARCHIVE, "restored")
    assert len(saved.calls()) == 1
    assert not (work / "restored").exists()
    assert (work / "elsewhere" / "restored" / "plot.py").read_text() == SOURCES["./plot.py"]
    assert os.getcwd() == str(work / "elsewhere")
    assert capsys.readouterr().out.splitlines() == RESTORED_LINES


def test_function_that_raises_writes_nothing(make_archive, saved, work, capsys, our_entries):
    make_archive(args={"title": "t"}, func="raise")
    before = snapshot(work)
    with pytest.raises(RuntimeError, match="plotting failed") as caught:
        expand(ARCHIVE, "restored")
    assert our_entries(caught, "unarchive") == [(ENTRY_NAME, 13)]
    assert len(saved.calls()) == 1
    assert snapshot(work) == before
    assert capsys.readouterr().out == ""


# ---- what the record holds under "args" -----------------------------------


def test_record_without_args_restores_without_calling(make_archive, saved, work, capsys):
    make_archive(args=MISSING)
    assert expand(ARCHIVE, "restored") is None
    assert saved.calls() == []
    assert snapshot(work / "restored") == {
        "lib": None,
        "lib/io": None,
        "lib/io/read.py": SOURCES["./lib/io/read.py"].encode(),
        "lib/util.py": SOURCES["./lib/util.py"].encode(),
        "plot.py": SOURCES["./plot.py"].encode(),
    }
    assert capsys.readouterr().out.splitlines() == RESTORED_LINES


def test_record_without_args_and_without_folder_does_nothing(make_archive, saved, work):
    make_archive(args=MISSING)
    before = snapshot(work)
    assert expand(ARCHIVE) is None
    assert saved.calls() == []
    assert snapshot(work) == before


def test_empty_args_call_once_without_arguments(make_archive, saved, capsys):
    make_archive(args={})
    assert expand(ARCHIVE) is None
    assert [c["kw"] for c in saved.calls()] == [{}]
    assert capsys.readouterr().out == "plot called\n"


def test_empty_args_leave_required_parameters_unfilled(make_archive, saved, work, our_entries):
    # No positional arguments are passed: a required parameter is missing.
    make_archive(args={}, func="fixed")
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'title'") as caught:
        expand(ARCHIVE, "restored")
    assert our_entries(caught, "unarchive") == [(ENTRY_NAME, 13)]
    assert saved.calls() == []
    assert os.listdir(work) == [ARCHIVE]


@pytest.mark.parametrize(
    "args",
    [
        {"title": "wave", "dpi": 100},
        [("title", "wave"), ("dpi", 100)],
        (("title", "wave"), ("dpi", 100)),
        collections.OrderedDict([("title", "wave"), ("dpi", 100)]),
        collections.UserDict({"title": "wave", "dpi": 100}),
        collections.ChainMap({"title": "wave"}, {"dpi": 100}),
    ],
    ids=["dict", "pair-list", "pair-tuple", "dict-subclass", "mapping", "chain-map"],
)
def test_args_accepted_kinds(make_archive, saved, work, args):
    make_archive(args=args, func="fixed")
    assert expand(ARCHIVE, "restored") is None
    assert [c["kw"] for c in saved.calls()] == [{"title": "wave", "dpi": 100}]
    assert (work / "restored" / "plot.py").exists()


def test_positional_parameters_missing_from_args_take_defaults(make_archive, saved):
    # A call archived with dpi given by keyword holds only the title.
    make_archive(args={"title": "wave"}, func="fixed")
    expand(ARCHIVE)
    assert [c["kw"] for c in saved.calls()] == [{"title": "wave", "dpi": 72}]


@pytest.mark.parametrize(
    "args, error, message",
    [
        (None, TypeError, r"^argument after \*\* must be a mapping, not NoneType$"),
        (5, TypeError, r"^'int' object is not iterable$"),
        ([("title", "wave", "extra")], ValueError, r"^dictionary update sequence element #0 has length 3; 2 is required$"),
        ({1: "wave"}, TypeError, r"keywords must be strings"),
        ({"colour": "red"}, TypeError, r"got an unexpected keyword argument 'colour'"),
    ],
    ids=["none", "int", "triple", "non-str-key", "unknown-keyword"],
)
def test_args_refused_before_anything_is_written(make_archive, saved, work, capsys, args, error, message, our_entries):
    make_archive(args=args, func="fixed")
    before = snapshot(work)
    with pytest.raises(error, match=message) as caught:
        expand(ARCHIVE, "restored")
    assert our_entries(caught, "unarchive") == [(ENTRY_NAME, 13)]
    assert saved.calls() == []
    assert snapshot(work) == before
    assert capsys.readouterr().out == ""


def test_call_receives_a_shallow_copy_of_args(work, saved, monkeypatch):
    points = [1, 2]
    args = {"title": "wave", "points": points}
    record = {"args": args, "files": {}, "func": saved("mutate")}
    (work / ARCHIVE).write_bytes(b"")
    monkeypatch.setattr(unarchive, "dill", types.SimpleNamespace(load=lambda file: record))

    expand(ARCHIVE)
    expand(ARCHIVE)

    # The function popped "title" and added "added" to its own dictionary
    # both times; the record's dictionary kept its keys ...
    assert [c["kw"]["title"] for c in saved.calls()] == ["wave", "wave"]
    assert record["args"] is args
    assert list(args) == ["title", "points"]
    # ... but the values are shared, not copied.
    assert args["points"] is points
    assert points == [1, 2, 99, 99]


def test_mutating_function_expands_twice_from_file(make_archive, saved):
    make_archive(args={"title": "wave", "points": [1]}, func="mutate")
    expand(ARCHIVE)
    expand(ARCHIVE)
    assert [c["kw"] for c in saved.calls()] == [{"title": "wave", "points": [1]}] * 2


# ---- the folder -----------------------------------------------------------


def test_folder_none_writes_nothing(make_archive, saved, work, capsys):
    make_archive(args={"title": "t"})
    before = snapshot(work)
    assert expand(ARCHIVE, None) is None
    assert len(saved.calls()) == 1
    assert snapshot(work) == before
    # The function's own output only; write_files_from_dict did not run, so
    # its default folder "sourcefiles/" was not made either.
    assert capsys.readouterr().out == "plot called\n"


@pytest.mark.parametrize("folder", [None, "restored"])
def test_files_is_required_even_without_folder(make_archive, saved, work, folder, our_entries):
    make_archive(args={"title": "t"}, files=MISSING)
    with pytest.raises(KeyError) as caught:
        expand(ARCHIVE, folder)
    assert caught.value.args == ("files",)
    assert our_entries(caught, "unarchive") == [(ENTRY_NAME, 8)]
    assert saved.calls() == []
    assert os.listdir(work) == [ARCHIVE]


@pytest.mark.parametrize("args", [{"title": "t"}, MISSING], ids=["with-args", "without-args"])
def test_func_is_required_even_without_args(make_archive, work, args, our_entries):
    make_archive(args=args, func=MISSING)
    with pytest.raises(KeyError) as caught:
        expand(ARCHIVE, "restored")
    assert caught.value.args == ("func",)
    assert our_entries(caught, "unarchive") == [(ENTRY_NAME, 9)]
    assert os.listdir(work) == [ARCHIVE]


@pytest.mark.parametrize(
    "folder",
    ["restored", b"restored", Path("restored"), "nested/restored"],
    ids=["str", "bytes", "path", "nested"],
)
def test_folder_kinds(make_archive, saved, work, folder):
    if folder == "nested/restored":
        (work / "nested").mkdir()
    make_archive(args={})
    expand(ARCHIVE, folder)
    restored = work / os.fsdecode(folder)
    for key, text in SOURCES.items():
        assert (restored / key).read_text() == text
    assert os.getcwd() == str(work)


@pytest.mark.parametrize(
    "folder, error, message",
    [
        ("", FileNotFoundError, r"No such file or directory: ''"),
        (False, TypeError, r"^mkdir: path should be string, bytes or os.PathLike, not bool$"),
        (0, TypeError, r"^mkdir: path should be string, bytes or os.PathLike, not int$"),
        ("missing/restored", FileNotFoundError, r"No such file or directory"),
    ],
    ids=["empty", "false", "zero", "missing-parent"],
)
def test_folder_refused_by_mkdir_after_the_call(make_archive, saved, work, folder, error, message, capsys, our_entries):
    # Only None skips the restoration: "" and False reach os.mkdir.
    make_archive(args={"title": "t"})
    before = snapshot(work)
    with pytest.raises(error, match=message) as caught:
        expand(ARCHIVE, folder)
    assert our_entries(caught, "unarchive") == [(ENTRY_NAME, 16)]
    assert our_entries(caught) == [("figvault.src.files.write_files_from_dict", 28)]
    assert len(saved.calls()) == 1
    assert snapshot(work) == before
    assert os.getcwd() == str(work)
    assert capsys.readouterr().out == "plot called\n"


def test_existing_folder_fails_after_the_call(make_archive, saved, work, our_entries):
    make_archive(args={})
    expand(ARCHIVE, "restored")
    with pytest.raises(FileExistsError) as caught:
        expand(ARCHIVE, "restored")
    assert our_entries(caught, "unarchive") == [(ENTRY_NAME, 16)]
    assert len(saved.calls()) == 2


def test_files_not_a_dict_fails_after_the_call(make_archive, saved, work, our_entries):
    make_archive(args={}, files=collections.OrderedDict(SOURCES))
    with pytest.raises(TypeError) as caught:
        expand(ARCHIVE, "restored")
    # The type is named as the interpreter names it (its tp_name).
    assert str(caught.value) == (
        "Argument 'folder_dict' has incorrect type (expected dict, got collections.OrderedDict)"
    )
    assert our_entries(caught, "unarchive") == [(ENTRY_NAME, 16)]
    assert len(saved.calls()) == 1
    assert os.listdir(work) == [ARCHIVE]


def test_escaping_key_is_refused_after_the_call(make_archive, saved, work, our_entries):
    make_archive(args={}, files={"./plot.py": "x\n", "../outside.py": "y\n"})
    with pytest.raises(ValueError) as caught:
        expand(ARCHIVE, "restored")
    assert our_entries(caught, "unarchive") == [(ENTRY_NAME, 16)]
    assert len(saved.calls()) == 1
    assert not (work.parent / "outside.py").exists()
    assert os.getcwd() == str(work)


# ---- the archive file -----------------------------------------------------


def test_archive_name_kinds(make_archive, saved, work):
    make_archive(args={})
    expand(ARCHIVE)
    expand(ARCHIVE.encode())
    expand(Path(ARCHIVE))
    expand(str(work / ARCHIVE))
    assert len(saved.calls()) == 4


def test_archive_given_as_file_descriptor(make_archive, saved, work):
    make_archive(args={})
    fd = os.open(ARCHIVE, os.O_RDONLY)
    try:
        expand(fd)
        assert len(saved.calls()) == 1
        # open() took the descriptor over, and releasing the file closed it.
        with pytest.raises(OSError):
            os.fstat(fd)
    finally:
        try:
            os.close(fd)
        except OSError:
            pass


def test_expanding_twice_calls_twice_and_leaves_the_archive(make_archive, saved, work, capsys):
    path = make_archive(args={"title": "t"})
    content = path.read_bytes()
    expand(ARCHIVE, "first")
    expand(ARCHIVE, "second")
    assert len(saved.calls()) == 2
    assert path.read_bytes() == content
    assert snapshot(work / "first") == snapshot(work / "second")
    assert capsys.readouterr().out.splitlines() == (["plot called", *RESTORED_LINES] * 2)


def test_return_value_is_dropped(make_archive, saved):
    make_archive(args={})
    assert expand(ARCHIVE) is None
    assert len(saved.calls()) == 1


def test_extra_keys_are_ignored(make_archive, saved):
    make_archive(args={"title": "t"}, version=2, comment="ignored")
    expand(ARCHIVE)
    assert [c["kw"] for c in saved.calls()] == [{"title": "t"}]


def test_record_as_a_mapping(work, saved, capsys):
    record = collections.UserDict({"args": {"title": "t"}, "files": SOURCES, "func": saved()})
    write_archive(work / ARCHIVE, record)
    expand(ARCHIVE, "restored")
    assert len(saved.calls()) == 1
    assert (work / "restored" / "plot.py").read_text() == SOURCES["./plot.py"]


@pytest.mark.parametrize(
    "record, message",
    [
        (["args", "files", "func"], "list indices must be integers or slices, not str"),
        (None, "'NoneType' object is not subscriptable"),
    ],
)
def test_record_without_subscription(work, record, message, our_entries):
    write_archive(work / ARCHIVE, record)
    with pytest.raises(TypeError, match=message) as caught:
        expand(ARCHIVE, "restored")
    assert our_entries(caught, "unarchive") == [(ENTRY_NAME, 8)]
    assert os.listdir(work) == [ARCHIVE]


def _truncated(saved):
    data = dill.dumps({"args": {}, "files": SOURCES, "func": saved()})
    return data[: len(data) // 2]


def _unknown_module(saved):
    # A pickle whose only opcode names a module that cannot be imported.
    return b"cfigvault_no_such_module\nplot\n."


@pytest.mark.parametrize(
    "content, errors",
    [
        (None, FileNotFoundError),
        ("directory", IsADirectoryError),
        (b"", EOFError),
        (_truncated, (EOFError, pickle.UnpicklingError)),
        (b"not a pickle", pickle.UnpicklingError),
        (_unknown_module, ModuleNotFoundError),
    ],
    ids=["missing", "directory", "empty", "truncated", "not-a-pickle", "unknown-module"],
)
def test_unreadable_archive(work, saved, capsys, content, errors, our_entries):
    path = work / ARCHIVE
    if content == "directory":
        path.mkdir()
    elif callable(content):
        path.write_bytes(content(saved))
    elif content is not None:
        path.write_bytes(content)
    before = snapshot(work)
    with pytest.raises(errors) as caught:
        expand(ARCHIVE, "restored")
    assert our_entries(caught, "unarchive") == [(ENTRY_NAME, 7)]
    assert saved.calls() == []
    assert snapshot(work) == before
    assert capsys.readouterr().out == ""


# ---- module globals ---------------------------------------------------------


def test_dill_is_looked_up_at_each_call(make_archive, saved, work, monkeypatch):
    make_archive(args={"title": "real"})
    seen = []
    fake_record = {"args": {"title": "fake"}, "files": {}, "func": saved()}

    def fake_load(file):
        seen.append((file.name, file.mode, file.closed))
        seen.append(weakref.ref(file))
        return fake_record

    with monkeypatch.context() as patch:
        patch.setattr(unarchive, "dill", types.SimpleNamespace(load=fake_load))
        expand(ARCHIVE)
    expand(ARCHIVE)  # the real dill again

    assert seen[0] == (ARCHIVE, "rb", False)
    assert seen[1]() is None  # the file was released right after load
    assert [c["kw"] for c in saved.calls()] == [{"title": "fake"}, {"title": "real"}]


def test_file_is_released_before_the_function_runs(work, monkeypatch):
    (work / ARCHIVE).write_bytes(b"")
    refs = []

    def plot():
        refs.append(refs[0]() is None)

    def fake_load(file):
        refs.append(weakref.ref(file))
        return {"args": {}, "files": {}, "func": plot}

    monkeypatch.setattr(unarchive, "dill", types.SimpleNamespace(load=fake_load))
    expand(ARCHIVE)
    assert refs[1] is True


@pytest.mark.parametrize(
    "patch, error, message",
    [
        (lambda m: m.delattr(unarchive, "dill"), NameError, "name 'dill' is not defined"),
        (lambda m: m.setattr(unarchive, "dill", types.SimpleNamespace()), AttributeError, "load"),
    ],
    ids=["no-dill", "no-load"],
)
def test_missing_dill_fails_before_opening(work, monkeypatch, patch, error, message, our_entries):
    # The archive does not exist: an error other than FileNotFoundError
    # shows that the file was not opened.
    with monkeypatch.context() as m:
        patch(m)
        with pytest.raises(error, match=message) as caught:
            expand("no-such.figvault", "restored")
    assert our_entries(caught, "unarchive") == [(ENTRY_NAME, 7)]
    assert os.listdir(work) == []


def test_dill_from_builtins_when_the_module_attribute_is_gone(make_archive, saved, monkeypatch):
    make_archive(args={"title": "t"})
    monkeypatch.delattr(unarchive, "dill")
    monkeypatch.setattr(builtins, "dill", dill, raising=False)
    expand(ARCHIVE)
    assert len(saved.calls()) == 1


def test_files_is_looked_up_at_each_call(make_archive, saved, work, monkeypatch):
    make_archive(args={})
    received = []
    fake_files = types.SimpleNamespace(write_files_from_dict=lambda *a, **k: received.append((a, k)))
    folder = Path("restored")

    with monkeypatch.context() as patch:
        patch.setattr(unarchive, "files", fake_files)
        expand(ARCHIVE, folder)
    assert received == [((SOURCES, folder), {})]
    assert received[0][0][1] is folder
    assert not (work / "restored").exists()

    expand(ARCHIVE, folder)  # the real files module again
    assert (work / "restored" / "plot.py").exists()
    assert len(saved.calls()) == 2


def test_missing_files_global_fails_after_the_call(make_archive, saved, work, monkeypatch, our_entries):
    make_archive(args={})
    monkeypatch.delattr(unarchive, "files")
    with pytest.raises(NameError, match="^name 'files' is not defined$") as caught:
        expand(ARCHIVE, "restored")
    assert our_entries(caught, "unarchive") == [(ENTRY_NAME, 16)]
    assert len(saved.calls()) == 1
    # Without a folder the global is not needed.
    expand(ARCHIVE)
    assert len(saved.calls()) == 2


def test_open_is_the_builtin_of_module_execution(make_archive, saved, work, monkeypatch):
    make_archive(args={}, func="mkdir")

    def refuse(*args, **kwargs):
        raise AssertionError("the later open was used")

    with monkeypatch.context() as patch:
        patch.setattr(builtins, "open", refuse)
        patch.setattr(unarchive, "open", refuse, raising=False)
        expand(ARCHIVE, "restored")
    assert (work / "called").is_dir()
    assert (work / "restored" / "lib" / "util.py").read_text() == SOURCES["./lib/util.py"]
