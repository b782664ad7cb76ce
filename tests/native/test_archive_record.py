"""The archive record that a decorated call writes, and how the archive file is
written: its content, its name, its rewriting on every call, and the safe
replacement of an existing archive."""

import builtins
import errno
import functools
import inspect
import os
import types
from pathlib import Path

import dill
import numpy as np
import pytest
import torch

import archive_helpers as helpers
import figvault
from figvault.src.unarchive import expand

archive = helpers.archive_module.archive
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


class Plotter:
    """Bound methods, callable objects and classes: the call fills `self` (or
    `cls`) itself, so the positional arguments pair with the parameters after it."""

    drawn = []

    def __init__(self, y=None, n=None):
        if y is not None:
            Plotter.drawn.append(("init", y, n))

    def draw(self, y, n):
        Plotter.drawn.append(("draw", y, n))

    def __call__(self, y, n=2):
        Plotter.drawn.append(("call", y, n))

    @classmethod
    def make(cls, y, n):
        Plotter.drawn.append(("make", y, n))

    @staticmethod
    def static(y, n):
        Plotter.drawn.append(("static", y, n))


@pytest.mark.parametrize(
    "func, kind",
    [
        (Plotter().draw, "draw"),
        (Plotter(), "call"),
        (Plotter.make, "make"),
        (Plotter.static, "static"),
        (Plotter, "init"),
        (functools.partial(Plotter.static), "static"),
    ],
    ids=["bound-method", "callable-object", "classmethod", "staticmethod", "class", "partial"],
)
def test_positional_arguments_pair_with_the_parameters_the_call_fills(workdir, func, kind):
    Plotter.drawn.clear()
    archive("fig.fv")(func)([1.5], 4)
    assert load_record("fig.fv")["args"] == {"y": [1.5], "n": 4}
    expand("fig.fv")
    assert Plotter.drawn == [(kind, [1.5], 4)] * 2


def drawn_pair(x, y):
    return ("drawn", x, y)


def drawn_three(a, b, c):
    return ("drawn", a, b, c)


class Traced:
    """A class-based decorator: functools.update_wrapper gives the object the
    wrapped function's name and __wrapped__, so inspect.signature of it
    reports the wrapped function's parameters; the call fills those of
    __call__."""

    def __init__(self, func):
        functools.update_wrapper(self, func)

    def __call__(self, *args, **kwargs):
        return ("traced", self.__wrapped__(*args, **kwargs))


class TracedPair:
    """The same with named parameters of its own."""

    def __init__(self, func):
        functools.update_wrapper(self, func)

    def __call__(self, first, second):
        return ("traced", self.__wrapped__(first, second))


def passing_on(func):
    """A function decorator made with functools.wraps."""

    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        return ("wrapped", func(*args, **kwargs))

    return wrapper


@pytest.mark.parametrize(
    "func, args, stored, result",
    [
        (drawn_pair, (1, 2), {"x": 1, "y": 2}, ("drawn", 1, 2)),
        (Traced(drawn_pair), (1, 2), {"args": (1, 2)}, ("traced", ("drawn", 1, 2))),
        (TracedPair(drawn_pair), (1, 2), {"first": 1, "second": 2}, ("traced", ("drawn", 1, 2))),
        (passing_on(drawn_pair), (1, 2), {"args": (1, 2)}, ("wrapped", ("drawn", 1, 2))),
        (functools.partial(drawn_three, 1), (2, 3), {"b": 2, "c": 3}, ("drawn", 1, 2, 3)),
        (functools.partial(Traced(drawn_three), 1), (2, 3), {"args": (2, 3)}, ("traced", ("drawn", 1, 2, 3))),
        (functools.partial(passing_on(drawn_three), 1), (2, 3), {"args": (2, 3)}, ("wrapped", ("drawn", 1, 2, 3))),
        (functools.partial(drawn_three, c=3), (1, 2), {"a": 1, "b": 2}, ("drawn", 1, 2, 3)),
    ],
    ids=[
        "plain-function",
        "class-decorator-star-args",
        "class-decorator-named",
        "function-decorator-wraps",
        "partial",
        "partial-of-class-decorator",
        "partial-of-wraps-decorator",
        "partial-with-keyword",
    ],
)
def test_wrapped_callables_pair_with_the_parameters_of_the_call_itself(workdir, func, args, stored, result):
    """Whatever __wrapped__ says, the positional arguments pair with the
    parameters that the call fills, and the replay passes them there again."""
    assert archive("fig.fv")(func)(*args) == result
    assert load_record("fig.fv")["args"] == stored
    assert figvault.expand("fig.fv") == result


def test_plain_functions_pair_by_getfullargspec_alone(workdir, am, monkeypatch):
    """A plain function's names come from getfullargspec only: the signature
    that other callables also consult is never asked for."""

    def refuse_signature(*args, **kwargs):
        raise AssertionError("inspect.signature asked for a plain function")

    monkeypatch.setattr(am, "inspect", types.SimpleNamespace(getfullargspec=inspect.getfullargspec,
                                                             signature=refuse_signature))
    assert archive("fig.fv")(passing_on(drawn_pair))(1, 2) == ("wrapped", ("drawn", 1, 2))
    assert archive("fig.fv")(drawn_pair)(1, 2) == ("drawn", 1, 2)
    assert load_record("fig.fv")["args"] == {"x": 1, "y": 2}


def test_a_refused_argument_of_a_method_is_named_by_its_parameter(workdir):
    with pytest.raises(TypeError, match=r"^Unrecognized argument type for n:<class 'set'>$"):
        archive("fig.fv")(Plotter().draw)([1.5], {4})


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


def test_empty_file_name_fails_in_open_after_the_sources_were_read(workdir, events, our_entries):
    plot = helpers.recorder()
    decorator = archive("")
    assert decorator.filename == ""
    with pytest.raises(FileNotFoundError) as caught:
        decorator(plot)(1)
    assert caught.value.errno == errno.ENOENT
    assert our_entries(caught, "archive") == [WRITE_LINE]
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
def test_open_failures_reach_the_caller(workdir, name, error, our_entries):
    (workdir / "folder").mkdir()
    (workdir / "plain.txt").write_text("text")
    before = folder_state(workdir)
    plot = helpers.recorder()
    with pytest.raises(error) as caught:
        archive(name)(plot)(1)
    assert caught.value.filename == name
    assert our_entries(caught, "archive") == [WRITE_LINE]
    assert plot.calls == []
    assert folder_state(workdir) == before
    assert os.listdir(workdir / "folder") == []


def test_function_that_raises_finds_its_archive_complete(workdir, our_entries):
    problem = ValueError("bad data")

    def plot(x):
        assert load_record("fig.fv")["args"] == {"x": x}
        raise problem

    with pytest.raises(ValueError) as caught:
        archive("fig.fv")(plot)(3)
    assert caught.value is problem
    assert our_entries(caught, "archive") == [(helpers.WRAPPER_ENTRY, 45)]
    assert load_record("fig.fv")["args"] == {"x": 3}


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
def test_missing_writer_names_leave_the_archive_untouched(workdir, am, monkeypatch, change, error, message, our_entries):
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
    assert our_entries(caught, "archive") == [WRITE_LINE]
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

