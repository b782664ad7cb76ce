"""Class `archive` and the wrapper that it puts around a plotting function:
what they look like to introspection, how they bind their arguments, which
positional arguments a call may carry, the order of the work done by a call,
the module globals looked up on the way, and the import of the module."""

import builtins
import collections
import enum
import gc
import inspect
import json
import sys
import types
import weakref
from pathlib import Path

import dill
import numpy as np
import pytest
import torch

import archive_helpers as helpers

archive = helpers.archive_module.archive
load_record = helpers.load_record
folder_state = helpers.folder_state

INIT = helpers.INIT_ENTRY
CALL = helpers.CALL_ENTRY
WRAPPER = helpers.WRAPPER_ENTRY

CLASS_DOC = "\n    figvault.archive is the main function to save your code\n\n\n    "


def plot(x, y=None):
    return ("plotted", x, y)


def spread(x, *rest):
    return (x, rest)


# ---- class archive -----------------------------------------------------------


def test_archive_is_an_ordinary_class():
    assert type(archive) is type
    assert archive.__bases__ == (object,)
    assert archive.__mro__ == (archive, object)
    assert archive.__name__ == "archive"
    assert archive.__qualname__ == "archive"
    assert archive.__module__ == "figvault.src.archive"
    assert archive.__doc__ == CLASS_DOC
    assert list(vars(archive))[:4] == ["__module__", "__doc__", "__init__", "__call__"]
    assert str(inspect.signature(archive)) == "(filename=None)"
    assert repr(archive) == "<class 'figvault.src.archive.archive'>"


@pytest.mark.parametrize(
    "name, qualname, doc, defaults, varnames, signature",
    [
        ("__init__", "archive.__init__", "archive.__init__(self, filename=None)", (None,),
         ("self", "filename"), "(self, filename=None)"),
        ("__call__", "archive.__call__", "archive.__call__(self, func)", None,
         ("self", "func", "wrapper"), "(self, func)"),
    ],
)
def test_methods(name, qualname, doc, defaults, varnames, signature):
    method = getattr(archive, name)
    assert method is vars(archive)[name]
    assert method.__name__ == name
    assert method.__qualname__ == qualname
    assert method.__module__ == "figvault.src.archive"
    assert method.__doc__ == doc
    assert method.__defaults__ == defaults
    assert method.__kwdefaults__ is None
    assert method.__code__.co_varnames == varnames
    assert method.__code__.co_argcount == 2
    assert method.__code__.co_firstlineno == {"__init__": 23, "__call__": 30}[name]
    assert method.__code__.co_filename == helpers.SOURCE_PATH
    assert str(inspect.signature(method)) == signature


def test_methods_bind_to_instances():
    decorator = archive("fig.fv")
    bound = decorator.__call__
    assert bound.__self__ is decorator
    assert bound.__func__ is archive.__call__
    assert str(inspect.signature(bound)) == "(func)"
    assert str(inspect.signature(decorator)) == "(func)"


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: archive(), "myplot.figvault"),
        (lambda: archive(None), "myplot.figvault"),
        (lambda: archive(filename=None), "myplot.figvault"),
        (lambda: archive("fig.fv"), "fig.fv"),
        (lambda: archive(filename="fig.fv"), "fig.fv"),
        (lambda: archive(""), ""),
    ],
)
def test_filename_is_stored(make, expected):
    decorator = make()
    assert vars(decorator) == {"filename": expected}


@pytest.mark.parametrize("value", [3.5, object(), Path("p.fv"), b"b.fv", 7, ["not", "a", "name"]])
def test_filename_is_stored_unchecked(value):
    assert archive(value).filename is value


def test_init_sets_the_attribute_through_the_ordinary_protocol():
    seen = []

    class Watched(archive):
        def __setattr__(self, name, value):
            seen.append((name, value))
            super().__setattr__(name, value)

    Watched()
    Watched("fig.fv")
    assert seen == [("filename", "myplot.figvault"), ("filename", "fig.fv")]


def test_init_returns_none_and_can_run_again():
    decorator = archive("first.fv")
    assert archive.__init__(decorator) is None
    assert decorator.filename == "myplot.figvault"
    assert archive.__init__(decorator, filename="again.fv") is None
    assert decorator.filename == "again.fv"


class CallablePath:
    """Path-like and callable: still a file name."""

    def __fspath__(self):
        return "called.fv"

    def __call__(self):
        raise AssertionError("not called")


class Drawer:
    def draw(self):
        return 1

    def __call__(self):
        return 2


def test_decorator_without_parentheses_is_refused_at_once(workdir, our_entries):
    drawn = []
    with pytest.raises(TypeError) as caught:
        @archive
        def drawing():
            drawn.append(1)

    message = str(caught.value)
    assert message.startswith("archive() takes a file name, not <function ")
    assert "drawing" in message
    assert message.endswith('decorate with @archive() or @archive("name.figvault")')
    assert our_entries(caught, "archive") == [(INIT, 25)]
    assert drawn == [] and folder_state(workdir) == {}


@pytest.mark.parametrize(
    "function",
    [plot, lambda: 1, len, Drawer, Drawer().draw, Drawer(), archive("x.fv"), archive],
    ids=["function", "lambda", "builtin", "class", "method", "callable-object", "decorator", "archive-class"],
)
def test_any_callable_is_refused_as_filename(function):
    with pytest.raises(TypeError, match=r"^archive\(\) takes a file name, not "):
        archive(function)


@pytest.mark.parametrize(
    "filename",
    ["plot.fv", b"plot.fv", Path("plot.fv"), CallablePath(), 3, None],
    ids=["str", "bytes", "path", "callable-path-like", "descriptor", "none"],
)
def test_file_names_of_every_kind_are_accepted(filename):
    decorator = archive(filename)
    assert decorator.filename is (filename if filename is not None else decorator.filename)
    assert decorator.filename == (filename if filename is not None else "myplot.figvault")


# ---- argument binding of the methods and the wrapper ---------------------------------


@pytest.mark.parametrize(
    "attempt, message, entry",
    [
        (lambda: archive(1, 2), "__init__() takes at most 2 positional arguments (3 given)", (INIT, 23)),
        (lambda: archive.__init__(), "__init__() takes at least 1 positional argument (0 given)", (INIT, 23)),
        (lambda: archive(filename=1, other=2), "__init__() got an unexpected keyword argument 'other'", (INIT, 23)),
        (lambda: archive("a", filename="b"),
         "__init__() got multiple values for keyword argument 'filename'", (INIT, 23)),
        (lambda: archive()(), "__call__() takes exactly 2 positional arguments (1 given)", (CALL, 30)),
        (lambda: archive()(plot, plot), "__call__() takes exactly 2 positional arguments (3 given)", (CALL, 30)),
        (lambda: archive()(function=plot), "__call__() takes exactly 2 positional arguments (1 given)", (CALL, 30)),
        (lambda: archive()(plot, func=plot),
         "__call__() got multiple values for keyword argument 'func'", (CALL, 30)),
        (lambda: archive()(plot, other=1), "__call__() got an unexpected keyword argument 'other'", (CALL, 30)),
    ],
    ids=[
        "init-too-many",
        "init-no-self",
        "init-unknown-keyword",
        "init-twice",
        "call-no-func",
        "call-too-many",
        "call-unknown-keyword-only",
        "call-func-twice",
        "call-unknown-keyword",
    ],
)
def test_binding_refusals_of_the_methods(attempt, message, entry, our_entries):
    with pytest.raises(TypeError) as caught:
        attempt()
    assert str(caught.value) == message
    assert our_entries(caught, "archive") == [entry]


def test_func_may_be_given_by_keyword(workdir):
    wrapper = archive(filename="fig.fv")(func=plot)
    assert wrapper(1) == ("plotted", 1, None)
    assert load_record("fig.fv")["func"] is plot


def test_wrapper_refuses_keywords_that_are_not_strings(workdir, events, our_entries):
    calls = []

    def drawing(*args, **kwargs):
        calls.append(args)

    with pytest.raises(TypeError) as caught:
        archive("fig.fv")(drawing)(1, **{1: "one"})
    assert str(caught.value) == "wrapper() keywords must be strings"
    assert our_entries(caught, "archive") == []
    assert events == []
    assert calls == []
    assert folder_state(workdir) == {}


# ---- the wrapper -----------------------------------------------------------------


def test_wrapper_introspection():
    def documented(a, b=2):
        """Draws."""

    documented.extra = "attribute"
    wrapper = archive()(documented)
    assert wrapper.__name__ == "wrapper"
    assert wrapper.__qualname__ == "archive.__call__.<locals>.wrapper"
    assert wrapper.__module__ == "figvault.src.archive"
    assert wrapper.__doc__ is None
    assert wrapper.__defaults__ is None
    assert wrapper.__kwdefaults__ is None
    assert not hasattr(wrapper, "extra")
    assert not hasattr(wrapper, "__wrapped__")
    assert str(inspect.signature(wrapper)) == "(*args, **kwargs)"
    code = wrapper.__code__
    assert code.co_firstlineno == 31
    assert code.co_argcount == 0
    assert code.co_kwonlyargcount == 0
    assert code.co_varnames == ("args", "kwargs", "python_files", "args_name", "args_dict", "i", "arg", "data")
    assert code.co_flags & inspect.CO_VARARGS and code.co_flags & inspect.CO_VARKEYWORDS
    assert code.co_filename == helpers.SOURCE_PATH
    assert code.co_name == "wrapper"


def test_every_application_makes_a_new_wrapper():
    decorator = archive()
    first = decorator(plot)
    second = decorator(plot)
    assert first is not second
    assert first.__code__ is second.__code__


@pytest.mark.parametrize("result", [None, 0, "", [1, 2], object()], ids=["None", "zero", "empty", "list", "object"])
def test_wrapper_returns_the_result_unchanged(workdir, result):
    def drawing(x):
        return result

    assert archive("fig.fv")(drawing)(1) is result


def test_keywords_reach_the_function_but_not_the_record(workdir):
    received = []

    def drawing(x, *rest, **options):
        received.append((x, rest, options))
        return "done"

    keywords = {"color": "red", "func": 1, "self": 2, "args": 3, "kwargs": 4}
    assert archive("fig.fv")(drawing)(1, 2, **keywords) == "done"
    assert received == [(1, (2,), keywords)]
    assert load_record("fig.fv")["args"] == {"x": 1, "rest": (2,)}


def test_function_exception_passes_unchanged(workdir, our_entries):
    problem = KeyError("missing column")

    def drawing(x):
        raise problem

    with pytest.raises(KeyError) as caught:
        archive("fig.fv")(drawing)(1)
    assert caught.value is problem
    assert our_entries(caught, "archive") == [(WRAPPER, 45)]
    names = [frame.name for frame in caught.traceback]
    assert names[-1] == "drawing"
    assert load_record("fig.fv")["args"] == {"x": 1}


def test_wrapper_keeps_its_function_and_decorator_alive(workdir):
    def drawing(x):
        return x * 2

    decorator = archive("fig.fv")
    wrapper = decorator(drawing)
    function_ref = weakref.ref(drawing)
    decorator_ref = weakref.ref(decorator)
    del drawing, decorator
    assert function_ref() is not None and decorator_ref() is not None
    assert wrapper(4) == 8
    del wrapper
    assert function_ref() is None and decorator_ref() is None


def test_cycle_through_a_wrapper_is_collected():
    decorator = archive()
    decorator.wrapper = decorator(plot)
    decorator_ref = weakref.ref(decorator)
    del decorator
    gc.collect()
    assert decorator_ref() is None


# ---- accepted and refused positional arguments -----------------------------------


class Count(int):
    pass


class Ratio(float):
    pass


class Blob(bytes):
    pass


class Label(str):
    pass


class Series(list):
    pass


class Pair(tuple):
    pass


class Options(dict):
    pass


class Colour(enum.IntEnum):
    RED = 1


Point = collections.namedtuple("Point", "x y")


ACCEPTED = [
    0,
    -(2**70),
    True,
    False,
    1.5,
    float("nan"),
    b"bytes",
    "text",
    [1, [2, 3]],
    (),
    {"a": 1},
    Count(3),
    Ratio(0.5),
    Blob(b"x"),
    Label("label"),
    Series([1]),
    Pair((1, 2)),
    Options(a=1),
    Colour.RED,
    Point(1, 2),
    collections.OrderedDict(a=1),
    collections.defaultdict(list),
    np.float64(2.5),
    np.zeros((2, 2)),
    np.array(["a", "b"]),
    np.ma.masked_array([1, 2]),
    torch.tensor([1.0, 2.0]),
    torch.nn.Parameter(torch.zeros(2)),
]


@pytest.mark.parametrize("value", ACCEPTED, ids=lambda value: type(value).__name__)
def test_accepted_kinds(workdir, value):
    received = []

    def drawing(x, y):
        received.append(y)
        return "done"

    assert archive("fig.fv")(drawing)(1, value) == "done"
    assert received[0] is value
    stored = load_record("fig.fv")["args"]
    assert list(stored) == ["x", "y"]
    assert type(stored["y"]) is type(value)


# Values of no accepted kind. The message shows the type as the built-in
# format() turns it into text, which is the interpreter's own (the name of
# pathlib's class differs between versions).
REFUSED = [
    {1},
    frozenset(),
    1j,
    None,
    range(3),
    plot,
    len,
    object(),
    bytearray(b"x"),
    np.int64(1),
    Path("p"),
    int,
]


@pytest.mark.parametrize("value", REFUSED, ids=[type(value).__name__ for value in REFUSED])
def test_refused_kinds(workdir, events, value, our_entries):
    calls = []

    def drawing(x, y):
        calls.append(y)

    with pytest.raises(TypeError) as caught:
        archive("fig.fv")(drawing)(1, value)
    assert str(caught.value) == "Unrecognized argument type for y:" + format(type(value), "")
    assert type(caught.value) is TypeError
    assert our_entries(caught, "archive") == [(WRAPPER, 40)]
    assert events == ["sources"]
    assert calls == []
    assert folder_state(workdir) == {}


@pytest.mark.parametrize(
    "args, name",
    [(({1}, None), "a"), ((1, None), "b"), ((1, 2.0, "s", [], (), {}, b"", frozenset()), "h")],
)
def test_first_refused_argument_is_named(workdir, args, name):
    def drawing(a, b, c=0, d=0, e=0, f=0, g=0, h=0):
        pass

    with pytest.raises(TypeError, match=f"^Unrecognized argument type for {name}:<class "):
        archive("fig.fv")(drawing)(*args)


def test_refused_call_leaves_the_previous_archive(workdir):
    calls = []

    def drawing(x):
        calls.append(x)

    wrapper = archive("fig.fv")(drawing)
    wrapper(1)
    before = folder_state(workdir)
    with pytest.raises(TypeError):
        wrapper({2})
    assert folder_state(workdir) == before
    assert calls == [1]
    assert load_record("fig.fv")["args"] == {"x": 1}


class PosingAsInt:
    @property
    def __class__(self):
        return int


class PosingAsBool:
    @property
    def __class__(self):
        return bool

    def __reduce__(self):
        return (bool, (True,))


class PosingAsArray:
    @property
    def __class__(self):
        return np.ndarray

    def __reduce__(self):
        return (np.zeros, (1,))


def test_object_posing_as_int_is_refused(workdir):
    with pytest.raises(TypeError) as caught:
        archive("fig.fv")(plot)(PosingAsInt())
    assert str(caught.value).startswith("Unrecognized argument type for x:<class ")
    assert str(caught.value).endswith(".PosingAsInt'>")


@pytest.mark.parametrize("poser", [PosingAsBool, PosingAsArray])
def test_objects_posing_as_bool_or_array_pass_the_isinstance_tests(workdir, poser):
    value = poser()
    assert archive("fig.fv")(plot)(value) == ("plotted", value, None)


def test_refused_value_of_var_positional_is_named_by_it(workdir, events, our_entries):
    calls = []

    def drawing(x, *rest):
        calls.append(rest)

    with pytest.raises(TypeError) as caught:
        archive("fig.fv")(drawing)(1, 2, {3})
    assert str(caught.value) == "Unrecognized argument type for rest:<class 'set'>"
    assert our_entries(caught, "archive") == [(WRAPPER, 40)]
    assert events == ["sources"]
    assert calls == []
    assert folder_state(workdir) == {}


def test_surplus_value_without_var_positional_has_no_name_to_report(workdir, events, our_entries):
    def drawing(x):
        raise AssertionError("not called")

    with pytest.raises(IndexError) as caught:
        archive("fig.fv")(drawing)(1, {2})
    assert str(caught.value) == "list index out of range"
    assert our_entries(caught, "archive") == [(WRAPPER, 40)]
    assert folder_state(workdir) == {}


def test_surplus_positionals_of_accepted_kinds_pass(workdir):
    assert archive("fig.fv")(spread)(1, "two", [3]) == (1, ("two", [3]))
    assert load_record("fig.fv")["args"] == {"x": 1, "rest": ("two", [3])}


# ---- the order of the work, and the globals looked up on the way -----------------------


@pytest.fixture
def steps(am, monkeypatch):
    """Records sources, argspec and dump in the order in which they happen."""
    happened = []
    real_files, real_inspect, real_dill = am.files, am.inspect, am.dill

    def create_file_dict():
        happened.append("sources")
        return real_files.create_file_dict()

    def getfullargspec(func):
        happened.append("argspec")
        return real_inspect.getfullargspec(func)

    def dump(data, file):
        happened.append("dump")
        real_dill.dump(data, file)

    monkeypatch.setattr(am, "files", types.SimpleNamespace(create_file_dict=create_file_dict))
    monkeypatch.setattr(am, "inspect", types.SimpleNamespace(getfullargspec=getfullargspec))
    monkeypatch.setattr(am, "dill", types.SimpleNamespace(dump=dump))
    return happened


def test_order_of_a_call(workdir, steps):
    def drawing(x):
        steps.append("function")

    wrapper = archive("fig.fv")(drawing)
    wrapper(1)
    assert steps == ["sources", "argspec", "dump", "function"]
    steps.clear()
    with pytest.raises(TypeError):
        wrapper(None)
    assert steps == ["sources", "argspec"]


@pytest.mark.parametrize(
    "name, error, message, line",
    [
        ("files", NameError, "name 'files' is not defined", 33),
        ("inspect", NameError, "name 'inspect' is not defined", 35),
        ("ndarray", NameError, "name 'ndarray' is not defined", 39),
        ("torch", NameError, "name 'torch' is not defined", 39),
    ],
)
def test_missing_global(workdir, am, monkeypatch, name, error, message, line, our_entries):
    calls = []

    def drawing(x):
        calls.append(x)

    wrapper = archive("fig.fv")(drawing)
    monkeypatch.delattr(am, name)
    with pytest.raises(error) as caught:
        wrapper(1)
    assert str(caught.value) == message
    assert our_entries(caught, "archive") == [(WRAPPER, line)]
    assert calls == []
    assert folder_state(workdir) == {}


@pytest.mark.parametrize("name", ["ndarray", "torch"])
def test_call_without_positionals_consults_neither_array_nor_tensor(workdir, am, monkeypatch, name):
    monkeypatch.delattr(am, name)
    assert archive("fig.fv")(plot)(x=1, y=2) == ("plotted", 1, 2)
    assert load_record("fig.fv")["args"] == {}


@pytest.mark.parametrize(
    "name, replacement, line, message",
    [
        ("files", types.SimpleNamespace(), 33, "create_file_dict"),
        ("inspect", types.SimpleNamespace(), 35, "getfullargspec"),
        ("torch", types.SimpleNamespace(), 39, "Tensor"),
    ],
)
def test_global_without_the_attribute(workdir, am, monkeypatch, name, replacement, line, message, our_entries):
    monkeypatch.setattr(am, name, replacement)
    with pytest.raises(AttributeError, match=message) as caught:
        archive("fig.fv")(plot)(1)
    assert our_entries(caught, "archive") == [(WRAPPER, line)]
    assert folder_state(workdir) == {}


def test_failing_source_snapshot_stops_the_call(workdir, am, monkeypatch, our_entries):
    problem = PermissionError("unreadable")

    def create_file_dict():
        raise problem

    monkeypatch.setattr(am, "files", types.SimpleNamespace(create_file_dict=create_file_dict))
    with pytest.raises(PermissionError) as caught:
        archive("fig.fv")(plot)(1)
    assert caught.value is problem
    assert our_entries(caught, "archive") == [(WRAPPER, 33)]
    assert folder_state(workdir) == {}


def test_function_that_cannot_be_inspected(workdir, our_entries):
    with pytest.raises(TypeError, match="unsupported callable") as caught:
        archive("fig.fv")(42)(1)
    assert our_entries(caught, "archive") == [(WRAPPER, 35)]
    assert folder_state(workdir) == {}


def test_inspect_found_among_the_builtins(workdir, am, monkeypatch):
    monkeypatch.delattr(am, "inspect")
    monkeypatch.setattr(builtins, "inspect", types.SimpleNamespace(getfullargspec=lambda func: (["p", "q"], None)),
                        raising=False)
    wrapper = archive("fig.fv")(spread)
    wrapper(1, 2, 3)
    assert load_record("fig.fv")["args"] == {"p": 1, "q": 2}
    with pytest.raises(TypeError, match=r"^Unrecognized argument type for q:<class 'set'>$"):
        wrapper(1, {2})


def test_globals_are_looked_up_at_each_call(workdir, am, monkeypatch):
    wrapper = archive("fig.fv")(plot)
    with pytest.raises(TypeError):
        wrapper(frozenset())
    monkeypatch.setattr(am, "ndarray", frozenset)
    assert wrapper(frozenset({1})) == ("plotted", frozenset({1}), None)
    with pytest.raises(TypeError):
        wrapper(1j)
    monkeypatch.setattr(am, "torch", types.SimpleNamespace(Tensor=complex))
    assert wrapper(1j) == ("plotted", 1j, None)
    assert load_record("fig.fv")["args"] == {"x": 1j}
    monkeypatch.undo()
    with pytest.raises(TypeError):
        wrapper(1j)


class CountingTorch:
    def __init__(self):
        self.reads = 0

    @property
    def Tensor(self):
        self.reads += 1
        return torch.Tensor


@pytest.mark.parametrize(
    "args, kwargs, reads",
    [((), {"x": 1}, 0), ((1,), {}, 1), ((1, 2.0), {}, 2), ((1, 2.0, "s", b"b"), {}, 4), ((1, torch.zeros(1)), {}, 2)],
)
def test_tensor_class_is_looked_up_for_each_positional(workdir, am, monkeypatch, args, kwargs, reads):
    counting = CountingTorch()
    monkeypatch.setattr(am, "torch", counting)
    archive("fig.fv")(spread)(*args, **kwargs)
    assert counting.reads == reads


@pytest.mark.parametrize("name", ["ndarray", "torch"])
def test_isinstance_failure_ends_the_call(workdir, am, monkeypatch, name, our_entries):
    monkeypatch.setattr(am, name, 5 if name == "ndarray" else types.SimpleNamespace(Tensor=5))
    wrapper = archive("fig.fv")(plot)
    assert wrapper(1, [2]) == ("plotted", 1, [2])
    with pytest.raises(TypeError, match="^isinstance\\(\\) arg 2 must be a type") as caught:
        wrapper(1, {2})
    assert our_entries(caught, "archive") == [(WRAPPER, 39)]
    assert load_record("fig.fv")["args"] == {"x": 1, "y": [2]}


def test_module_globals_bound_by_the_import(am):
    assert am.torch is torch
    assert am.torch.Tensor is torch.Tensor
    assert am.ndarray is np.ndarray
    assert am.dill is dill
    assert am.inspect is inspect
    assert am.files is sys.modules["figvault.src.files"]


# ---- importing the module without torch -------------------------------------------

IMPORT_WITHOUT_TORCH = r"""
import importlib.abc, json, sys, traceback, types

class TorchBlocker(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name in ("torch", "figvault.src.torch"):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None

def attempt():
    try:
        import figvault.src.archive
    except ModuleNotFoundError as error:
        frames = [[frame.filename, frame.name, frame.lineno]
                  for frame in traceback.extract_tb(error.__traceback__)
                  if frame.name not in ("find_spec", "attempt")]
        return {"message": str(error), "name": error.name, "frames": frames,
                "loaded": "figvault.src.archive" in sys.modules,
                "files_loaded": "figvault.src.files" in sys.modules}
    return None

results = {}
blocker = TorchBlocker()
sys.meta_path.insert(0, blocker)
results["finder"] = attempt()
sys.meta_path.remove(blocker)
sys.modules["torch"] = None
results["halted"] = attempt()

# torch becomes importable: a minimal package stands in for the real one.
installed = types.ModuleType("torch")
installed.Tensor = type("Tensor", (), {})
sys.modules["torch"] = installed
import figvault.src.archive as module
results["after"] = {"names": sorted(name for name in vars(module) if not name.startswith("__")),
                    "torch_is_installed": module.torch is installed,
                    "ndarray": module.ndarray.__name__,
                    "files_loaded": "figvault.src.files" in sys.modules}
print(json.dumps(results))
"""


def test_import_without_torch_fails_at_line_2_and_a_later_import_succeeds(run_python, tmp_path):
    done = run_python(IMPORT_WITHOUT_TORCH, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    results = json.loads(done.stdout)
    entry = [helpers.SOURCE_PATH, "init figvault.src.archive", 2]
    assert results["finder"] == {
        "message": "No module named 'torch'",
        "name": "torch",
        "frames": [entry],
        "loaded": False,
        "files_loaded": False,
    }
    assert results["halted"] == {
        "message": "import of torch halted; None in sys.modules",
        "name": "torch",
        "frames": [entry],
        "loaded": False,
        "files_loaded": False,
    }
    assert results["after"] == {
        "names": ["archive", "dill", "files", "inspect", "ndarray", "torch"],
        "torch_is_installed": True,
        "ndarray": "ndarray",
        "files_loaded": True,
    }


def test_stacked_decorators_archive_and_replay(workdir):
    # The outer archive holds the inner wrapper: it pickles as the call of
    # archive.__call__ that made it, with its decorator and function.
    @archive("outer.fv")
    @archive("inner.fv")
    def drawing(x):
        return x * 2

    assert drawing(21) == 42
    outer = load_record("outer.fv")["func"]
    assert outer.__qualname__ == "archive.__call__.<locals>.wrapper"
    assert outer(5) == 10
    assert load_record("inner.fv")["args"] == {"x": 5}


class LoudMeta(type):
    looked_up = []

    def __getattr__(cls, name):
        if name != "__fspath__":
            raise AttributeError(name)
        LoudMeta.looked_up.append(name)
        raise KeyboardInterrupt


class CallableWithLoudType(metaclass=LoudMeta):
    def __call__(self):
        return 1


def test_judging_a_file_name_runs_no_code_of_its_type():
    with pytest.raises(TypeError, match=r"^archive\(\) takes a file name, not "):
        archive(CallableWithLoudType())
    assert LoudMeta.looked_up == []
