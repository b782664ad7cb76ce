"""Property-based tests (hypothesis).

* Argument binding: any mix of positional and keyword arguments given to
  write_files_from_dict, expand, archive(), a decorator object, create_file_dict
  and a wrapper either gives the right result or the TypeError with exactly the
  message that the binding rules predict (count message, multiple values,
  unexpected keyword, keywords must be strings, incorrect type), never a crash.
  The calls go through the interpreter's own call syntax and through
  PyObject_Call with and without a keyword dictionary.
* Corrupted archives: arbitrary bytes, truncations and bit flips of a real
  archive, and well-formed records whose file keys try to leave the target
  folder, given to expand in a child process (so that a crash is seen as the
  child's exit status), end in a Python exception or a clean restore, and
  nothing is ever written outside the target folder.

The round trip file dictionary -> tree -> file dictionary is covered by
test_write_files_from_dict.py (test_round_trip_of_generated_trees).
"""

import ctypes
import json
import os
import pickle
import shutil
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import dill
import numpy
import pytest
from support import flip_bits, listing
import torch
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import figvault.src.archive as archive_module
import figvault.src.files as files_module
import figvault.src.unarchive as unarchive_module

create_file_dict = files_module.create_file_dict
write_files_from_dict = files_module.write_files_from_dict
archive = archive_module.archive
expand = unarchive_module.expand

SETTINGS = dict(
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)


# ---- calling with or without a keyword dictionary ---------------------------------

# Own function pointers: ctypes.pythonapi.PyObject_Call is one shared object
# whose argtypes other tests may set differently.
_object_call_with_dict = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.py_object)(
    ("PyObject_Call", ctypes.pythonapi)
)
_object_call_without_dict = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_void_p)(
    ("PyObject_Call", ctypes.pythonapi)
)

CALL_STYLES = ["syntax", "syntax_without_double_star", "c_api_with_dict", "c_api_without_dict"]


def invoke(function, args, kwargs, style):
    """function(*args, **kwargs) in one of four ways. The styles without a
    keyword dictionary are used only when there are no keywords; the C API
    styles hand the dictionary over unchanged (the interpreter's own syntax
    may have vetted keys on the way for some callables)."""
    if style == "syntax" or (style == "syntax_without_double_star" and kwargs):
        return function(*args, **kwargs)
    if style == "syntax_without_double_star":
        return function(*args)
    if style == "c_api_with_dict" or kwargs:
        return _object_call_with_dict(function, tuple(args), kwargs)
    return _object_call_without_dict(function, tuple(args), None)


def keyword_dictionary_given(kwargs, style):
    """Whether the callee receives a keyword dictionary (possibly empty)."""
    return bool(kwargs) or style in ("syntax", "c_api_with_dict")


def outcome(function, *args, **kwargs):
    """("ok", result) or (exception type, message)."""
    try:
        return ("ok", function(*args, **kwargs))
    except Exception as error:  # noqa: BLE001 - the outcome is compared
        return (type(error), str(error))


# ---- the binding rules, as a model ----------------------------------------------


class Refused(Exception):
    """The model's prediction of a binding refusal (a TypeError message)."""


def count_message(name, required, maximum, given):
    if required == maximum:
        word, expected = "exactly", maximum
    elif given < required:
        word, expected = "at least", required
    else:
        word, expected = "at most", maximum
    plural = "" if expected == 1 else "s"
    return f"{name}() takes {word} {expected} positional argument{plural} ({given} given)"


def bind(name, parameters, required, args, kwargs):
    """The values bound to `parameters` (None for unbound ones), or Refused.
    `kwargs` is None when no keyword dictionary is handed over."""
    n, maximum = len(args), len(parameters)
    if n > maximum or (kwargs is None and n < required):
        raise Refused(count_message(name, required, maximum, n))
    bound = list(args) + [None] * (maximum - n)
    if kwargs is None:
        return bound
    unmatched = len(kwargs)
    for i in range(n, maximum):
        if i >= required and unmatched == 0:
            continue
        if parameters[i] in kwargs:  # a dictionary lookup, as the binding makes it
            bound[i] = kwargs[parameters[i]]
            unmatched -= 1
        elif i < required:
            raise Refused(count_message(name, required, maximum, i))
    if unmatched:
        for key, value in kwargs.items():
            later = [i for i in range(n, maximum) if isinstance(key, str) and key == parameters[i]]
            if later:
                bound[later[0]] = value
                continue
            if not isinstance(key, str):
                raise Refused(f"{name}() keywords must be strings")
            if key in parameters[:n]:
                raise Refused(f"{name}() got multiple values for keyword argument '{key}'")
            raise Refused(f"{name}() got an unexpected keyword argument '{key}'")
    return bound


class Key(str):
    """A str subclass used as a keyword name: it names a parameter like the
    equal str does."""


class SubDict(dict):
    pass


def keyword_names(*parameters):
    names = list(parameters) + ["self", "func", "filename", "folder", "new_folder_path", "other"]
    names = list(dict.fromkeys(names))
    return st.sampled_from(names + [Key(name) for name in parameters] + [1, b"filename", 2.5])


def arguments(values, names):
    """(positional list, keyword dict in a generated order, call style)."""
    positional = st.lists(st.sampled_from(values), max_size=3)
    keywords = st.lists(
        st.tuples(names, st.sampled_from(values)), max_size=3, unique_by=lambda pair: pair[0]
    ).map(dict)
    return st.tuples(positional, keywords, st.sampled_from(CALL_STYLES))


def outcome_kind(actual):
    """A short label for hypothesis' statistics (--hypothesis-show-statistics)."""
    if actual[0] == "ok":
        return "ok"
    message = actual[1]
    for label in ("positional argument", "multiple values", "unexpected keyword", "must be strings",
                  "incorrect type", "Unrecognized argument", "takes no"):
        if label in message:
            return f"{actual[0].__name__}: {label}"
    return actual[0].__name__


def check(function, args, kwargs, style, expected):
    """Calls `function` and compares with `expected` (an outcome, or a
    callable judging the actual result)."""
    actual = outcome(invoke, function, args, kwargs, style)
    event(outcome_kind(actual))
    if callable(expected):
        assert actual[0] == "ok", actual
        expected(actual[1])
    else:
        assert actual == expected


@pytest.fixture
def sandbox(tmp_path, monkeypatch):
    """A working directory holding the folders "sourcefiles" and "taken" (so
    that no call can make a folder), an archive and nothing else."""
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    root = Path(tempfile.mkdtemp(prefix="figvault-properties-", dir=base)) if base else tmp_path
    (root / "sourcefiles").mkdir()
    (root / "taken").mkdir()
    good = root / "good.figvault"
    with open(good, "wb") as file:
        dill.dump({"args": {"text": "  x"}, "files": {}, "func": textwrap.dedent}, file)
    monkeypatch.chdir(root)
    yield root
    os.chdir(tmp_path)
    shutil.rmtree(root, ignore_errors=True)


# ---- write_files_from_dict ---------------------------------------------------------

WRITE_VALUES = [{}, None, SubDict(), "taken", "sourcefiles/", 3.5]


@settings(max_examples=300, **SETTINGS)
@given(call=arguments(WRITE_VALUES, keyword_names("folder_dict", "new_folder_path")))
def test_write_files_from_dict_binding(sandbox, call):
    args, kwargs, style = call
    before = listing(sandbox)
    try:
        folder_dict, new_folder_path = bind(
            "write_files_from_dict",
            ["folder_dict", "new_folder_path"],
            1,
            args,
            kwargs if keyword_dictionary_given(kwargs, style) else None,
        )
    except Refused as refusal:
        expected = (TypeError, str(refusal))
    else:
        if folder_dict is not None and type(folder_dict) is not dict:
            expected = (
                TypeError,
                f"Argument 'folder_dict' has incorrect type (expected dict, got {type(folder_dict).__name__})",
            )
        else:
            # Every value that reaches os.mkdir names an existing folder or
            # is no path at all: the model may make the same call safely.
            expected = outcome(os.mkdir, "sourcefiles/" if new_folder_path is None else new_folder_path)
            assert expected[0] != "ok"
    check(write_files_from_dict, args, kwargs, style, expected)
    assert os.getcwd() == str(sandbox)
    assert listing(sandbox) == before


# ---- expand ----------------------------------------------------------------------

EXPAND_VALUES = ["good.figvault", "no-such-folder/plot.figvault", "taken", None, {}, 3.5]


def _open_and_close(filename):
    with open(filename, "rb"):
        return None


@settings(max_examples=300, **SETTINGS)
@given(call=arguments(EXPAND_VALUES, keyword_names("filename", "folder")))
def test_expand_binding(sandbox, call):
    args, kwargs, style = call
    before = listing(sandbox)
    try:
        filename, folder = bind(
            "expand", ["filename", "folder"], 1, args, kwargs if keyword_dictionary_given(kwargs, style) else None
        )
    except Refused as refusal:
        expected = (TypeError, str(refusal))
    else:
        expected = outcome(_open_and_close, filename)
        if expected[0] == "ok" and folder is not None:
            # The saved function (textwrap.dedent) runs, then the folder is
            # made: it exists already or is no path at all.
            expected = outcome(os.mkdir, folder)
            assert expected[0] != "ok"
    check(expand, args, kwargs, style, expected)
    assert os.getcwd() == str(sandbox)
    assert listing(sandbox) == before


# ---- archive() and the decorator object -------------------------------------------

ARCHIVE_VALUES = ["plot.figvault", None, 3.5, {}, b"plot.figvault"]


@settings(max_examples=250, **SETTINGS)
@given(call=arguments(ARCHIVE_VALUES, keyword_names("self", "filename")))
def test_archive_binding(sandbox, call):
    args, kwargs, style = call
    try:
        _, filename = bind(
            "__init__",
            ["self", "filename"],
            1,
            [object()] + args,
            kwargs if keyword_dictionary_given(kwargs, style) else None,
        )
    except Refused as refusal:
        check(archive, args, kwargs, style, (TypeError, str(refusal)))
        return

    def judge(decorator):
        assert type(decorator) is archive
        if filename is None:
            assert decorator.filename == "myplot.figvault"
        else:
            assert decorator.filename is filename

    check(archive, args, kwargs, style, judge)


def same_objects(left, right):
    """Equal structure of tuples and dicts holding the very same objects."""
    if type(left) is tuple and type(right) is tuple:
        return len(left) == len(right) and all(map(same_objects, left, right))
    if type(left) is dict and type(right) is dict:
        return list(left) == list(right) and all(same_objects(left[key], right[key]) for key in left)
    return left is right


def decorated(a, b=None, *rest, **options):
    """The function that the wrappers below decorate."""
    return ("called", a, b, rest, options)


CALL_VALUES = [decorated, None, 3.5, "plot", textwrap.dedent]


@settings(max_examples=250, **SETTINGS)
@given(call=arguments(CALL_VALUES, keyword_names("self", "func")))
def test_decorator_call_binding(sandbox, call):
    args, kwargs, style = call
    decorator = archive("plot.figvault")
    try:
        bind(
            "__call__",
            ["self", "func"],
            2,
            [decorator] + args,
            kwargs if keyword_dictionary_given(kwargs, style) else None,
        )
    except Refused as refusal:
        check(decorator, args, kwargs, style, (TypeError, str(refusal)))
        return

    def judge(wrapper):
        assert wrapper.__name__ == "wrapper"
        assert wrapper.__qualname__ == "archive.__call__.<locals>.wrapper"

    check(decorator, args, kwargs, style, judge)
    assert not os.path.exists("plot.figvault")


# ---- create_file_dict ----------------------------------------------------------------


@settings(max_examples=150, **SETTINGS)
@given(call=arguments([None, 1, "x", {}], keyword_names("path")))
def test_create_file_dict_binding(sandbox, call):
    args, kwargs, style = call
    if kwargs:
        expected = (TypeError, "create_file_dict() takes no keyword arguments")
    elif args:
        expected = (TypeError, f"create_file_dict() takes no arguments ({len(args)} given)")
    else:
        expected = ("ok", {})
    check(create_file_dict, args, kwargs, style, expected)


# ---- the wrapper ------------------------------------------------------------------------

ACCEPTED = (int, float, bytes, str, list, tuple, dict, numpy.ndarray, torch.Tensor)
WRAPPER_VALUES = [
    1,
    True,
    2.5,
    b"raw",
    "text",
    [1, [2]],
    (3,),
    {"k": 1},
    numpy.arange(2),
    torch.zeros(2),
    None,
    {1, 2},
    1j,
    range(2),
]
WRAPPER_KEYS = st.sampled_from(["a", "b", "rest", "options", "style", Key("a"), Key("colour"), 1, b"a", None])


@settings(max_examples=250, **SETTINGS)
@given(
    positional=st.lists(st.sampled_from(WRAPPER_VALUES), max_size=4),
    keywords=st.lists(st.tuples(WRAPPER_KEYS, st.sampled_from(WRAPPER_VALUES)), max_size=3, unique_by=lambda p: p[0]).map(
        dict
    ),
    style=st.sampled_from(CALL_STYLES),
)
def test_wrapper_binding_and_kind_check(sandbox, positional, keywords, style):
    filename = str(sandbox / "wrapped.figvault")
    with open(filename, "wb") as file:
        file.write(b"previous")
    wrapper = archive(filename)(decorated)
    names = ["a", "b"]

    refused = None
    if any(not isinstance(key, str) for key in keywords):
        refused = (TypeError, "wrapper() keywords must be strings")
    else:
        for i, value in enumerate(positional):
            if isinstance(value, ACCEPTED):
                continue
            name = names[i] if i < len(names) else "rest"
            refused = (TypeError, f"Unrecognized argument type for {name}:{type(value)}")
            break

    actual = outcome(invoke, wrapper, positional, keywords, style)
    event(outcome_kind(actual))
    if refused is not None:
        assert actual == refused
        assert Path(filename).read_bytes() == b"previous"
        return
    expected = outcome(decorated, *positional, **keywords)
    if expected[0] == "ok":
        assert actual[0] == "ok"
        assert same_objects(actual[1], expected[1])
    else:
        assert actual == expected
    with open(filename, "rb") as file:
        record = dill.load(file)
    assert list(record) == ["args", "files", "func"]
    assert list(record["args"]) == names[: len(positional)] + ["rest"] * (len(positional) > len(names))
    if len(positional) > len(names):
        assert [type(value) for value in record["args"]["rest"]] == [type(value) for value in positional[len(names):]]
    assert record["files"] == {}
    assert record["func"] is decorated


# ---- corrupted archives, in a child process ---------------------------------------------

CHILD = r"""
import contextlib, io, json, os, sys
from figvault.src.unarchive import expand

paths, out_root = json.loads(sys.argv[1])
home = os.getcwd()
results = []
for index, path in enumerate(paths):
    target = os.path.join(out_root, str(index))
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            expand(path, target)
        result = "ok"
    except KeyboardInterrupt:
        raise
    except BaseException as error:
        result = type(error).__name__
    if os.getcwd() != home:
        result += " (working directory changed)"
        os.chdir(home)
    results.append(result)
print(json.dumps(results))
"""


def run_expand_batch(root, contents):
    """Writes each content to a file and expands them all in one child;
    returns the outcome names. The child's environment is this process's,
    so under tools/sanitize.sh it runs the sanitized modules too."""
    inputs = root / "inputs"
    out = root / "out"
    work = root / "work"
    outside = root / "outside"
    for folder in (inputs, out, work, outside):
        folder.mkdir()
    (outside / "keep.py").write_text("keep\n")
    paths = []
    for index, content in enumerate(contents):
        path = inputs / f"{index}.figvault"
        path.write_bytes(content)
        paths.append(str(path))
    outside_before = listing(outside)
    work_before = listing(work)
    root_before = sorted(os.listdir(root))
    filesystem_root_before = sorted(os.listdir("/"))

    child = subprocess.run(
        [sys.executable, "-c", CHILD, json.dumps([paths, str(out)])],
        cwd=work,
        env=dict(os.environ),
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert child.returncode == 0, f"child ended with status {child.returncode}:\n{child.stderr[-4000:]}"
    results = json.loads(child.stdout.strip().splitlines()[-1])
    assert len(results) == len(contents)
    assert not [result for result in results if "working directory" in result], results

    # Nothing outside the target folders: out/ holds only targets, named by
    # input, and everything else is as it was.
    assert set(os.listdir(out)) <= {str(index) for index in range(len(contents))}
    assert listing(outside) == outside_before
    assert listing(work) == work_before
    assert sorted(os.listdir(root)) == root_before
    assert sorted(os.listdir("/")) == filesystem_root_before
    return results


@pytest.fixture(scope="module")
def real_archive():
    """The bytes of an archive written by a wrapper: two sources, one
    argument, and a harmless importable function (textwrap.dedent), stored by
    reference so that no code object can be corrupted into a crash of the
    interpreter itself."""
    root = Path(tempfile.mkdtemp(prefix="figvault-real-archive-"))
    home = os.getcwd()
    try:
        (root / "lib").mkdir()
        (root / "plot.py").write_text("x = 1\n")
        (root / "lib" / "util.py").write_text("y = 2\n")
        os.chdir(root)
        archive(str(root / "real.figvault"))(textwrap.dedent)("  hello")
        return (root / "real.figvault").read_bytes()
    finally:
        os.chdir(home)
        shutil.rmtree(root)


def mutations(data):
    size = len(data)
    return st.one_of(
        st.binary(max_size=200),
        st.integers(0, size - 1).map(lambda end: data[:end]),
        st.lists(st.integers(0, size * 8 - 1), min_size=1, max_size=4).map(lambda bits: flip_bits(data, bits)),
        st.tuples(st.integers(0, size - 1), st.binary(min_size=1, max_size=8)).map(
            lambda change: data[: change[0]] + change[1] + data[change[0] + len(change[1]) :]
        ),
    )


@pytest.fixture
def batch_root(tmp_path):
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    holder = Path(tempfile.mkdtemp(prefix="figvault-fuzz-", dir=base)) if base else tmp_path
    roots = []

    def make():
        root = holder / f"batch{len(roots)}"
        root.mkdir()
        roots.append(root)
        return root

    yield make
    shutil.rmtree(holder, ignore_errors=True)


def test_the_real_archive_expands(real_archive, batch_root):
    assert run_expand_batch(batch_root(), [real_archive]) == ["ok"]


@settings(max_examples=6, **SETTINGS)
@given(data=st.data())
def test_corrupted_archives_end_in_exceptions(real_archive, batch_root, data):
    contents = data.draw(st.lists(mutations(real_archive), min_size=40, max_size=40))
    # The child exited normally: every input ended in an exception (named in
    # the results) or restored cleanly into its own target folder.
    results = run_expand_batch(batch_root(), contents)
    for result in results:
        event(result)
    assert all(result == "ok" or result.isidentifier() for result in results), results


UNSAFE_KEYS = [
    "../escape.py",
    "./../escape.py",
    "./a/../../escape.py",
    "a/../../../escape.py",
    "..",
    "../",
    "/absolute-escape.py",
    "//absolute-escape.py",
]
SAFE_KEYS = ["./plot.py", "./lib/util.py", "./a/../inside.py", "./deep/er/and/deeper.py", "spaced name.py", "./ünï.py"]


@settings(max_examples=4, **SETTINGS)
@given(
    records=st.lists(
        st.lists(st.sampled_from(SAFE_KEYS + UNSAFE_KEYS), min_size=1, max_size=5, unique=True),
        min_size=20,
        max_size=20,
    )
)
def test_file_keys_never_leave_the_target_folder(batch_root, records):
    root = batch_root()
    contents = []
    for keys in records:
        # Absolute keys point into root/outside, which must stay untouched.
        files = {
            (str(root / "outside" / key.lstrip("/")) if key.startswith("/") else key): "text\n" for key in keys
        }
        contents.append(pickle.dumps({"args": {"text": " x"}, "files": files, "func": textwrap.dedent}))
    results = run_expand_batch(root, contents)
    for index, (keys, result) in enumerate(zip(records, results)):
        if any(key in UNSAFE_KEYS for key in keys):
            # Refused before anything is made, the target folder included.
            assert result == "ValueError", (keys, result)
            assert not (root / "out" / str(index)).exists()
        else:
            assert result == "ok", (keys, result)
