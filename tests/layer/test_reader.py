"""Tests of the reader (reading archives without running them), of what
show makes of what it read, and of serving an archive's modules while it is
expanded."""

import importlib
import os
import pickle
import sys
import uuid
from pathlib import Path

import pytest
from commands import run_script

from figvault import reader, sources
from figvault.reader import ArchiveError, Call, Global, Persistent
from figvault.terminal import clean_text
from figvault.view.function import describe_function
from figvault.view.summary import describe_record
from figvault.view.text import VALUE_CHARS
from figvault.view.values import describe_value, int_text, value_text

# ---------------------------------------------------------------------------
# Archives written by the real decorator, once for the module
# ---------------------------------------------------------------------------

PLOTS = '''\
def plot(x, y=2):
    print("plot", x, y)


def make_adder(n):
    def add(v):
        return v + n
    return add
'''

MAKE = '''\
import numpy as np
from figvault import archive
from shapes.plots import plot, make_adder


def local(a, b, c=3, *rest, key=None, **extra):
    return a


archive("local.figvault")(local)(1, "two", [3.5, None], 4, key=5)
archive("module.figvault")(plot)([1, 2], 3)
archive("closure.figvault")(make_adder(2))(40)
archive("values.figvault")(local)(np.arange(6).reshape(2, 3), b"x" * 100, "y" * 200)
'''

NOTE = "ping = 'é'\nmore = 1"  # non-ASCII, no final line break


@pytest.fixture(scope="module")
def archives(tmp_path_factory):
    """A folder with archives written by `from figvault import archive`."""
    root = tmp_path_factory.mktemp("reader_project")
    (root / "shapes").mkdir()
    (root / "shapes" / "__init__.py").write_text("", encoding="utf-8")
    (root / "shapes" / "plots.py").write_text(PLOTS, encoding="utf-8")
    (root / "notes").mkdir()
    (root / "notes" / "extra.py").write_text(NOTE, encoding="utf-8")
    (root / "make.py").write_text(MAKE, encoding="utf-8")
    run_script("make.py", root)
    return root


def summary_of(path):
    return describe_record(reader.read_record(path)[0])


# ---------------------------------------------------------------------------
# The saved function
# ---------------------------------------------------------------------------


def test_function_from_main_is_described_from_its_code(archives):
    function = summary_of(archives / "local.figvault")["function"]
    assert function["kind"] == "function"
    assert function["stored"] == "by value"
    assert function["name"] == "local"
    assert function["qualname"] == "local"
    assert function["module"] == "__main__"
    assert function["parameters"] == ["a", "b", "c=3", "*rest", "key=None", "**extra"]
    assert function["firstlineno"] == 6
    assert function["filename"].endswith("make.py")


def test_function_from_a_module_is_a_reference(archives):
    function = summary_of(archives / "module.figvault")["function"]
    assert function["stored"] == "by reference"
    assert function["module"] == "shapes.plots"
    assert function["name"] == "plot"
    assert function["qualname"] == "plot"


def test_closure_keeps_its_qualified_name_and_module(archives):
    function = summary_of(archives / "closure.figvault")["function"]
    assert function["stored"] == "by value"
    assert function["name"] == "add"
    assert function["qualname"] == "make_adder.<locals>.add"
    assert function["module"] == "shapes.plots"
    assert function["parameters"] == ["v"]
    assert function["filename"].endswith("shapes/plots.py")


# ---------------------------------------------------------------------------
# Arguments and files
# ---------------------------------------------------------------------------


def test_positional_arguments_with_plain_values(archives):
    args = summary_of(archives / "local.figvault")["args"]
    assert [(a["name"], a["type"], a["value"]) for a in args] == [
        ("a", "int", "1"),
        ("b", "str", "'two'"),
        ("c", "list", "[3.5, None]"),
        ("rest", "tuple", "(4,)"),
    ]


def test_array_and_long_values(archives):
    args = {a["name"]: a for a in summary_of(archives / "values.figvault")["args"]}
    assert args["a"]["type"] == "numpy.ndarray"
    assert args["a"]["value"] is None
    assert args["a"]["shape"] == [2, 3]
    for name in ("b", "c"):
        assert args[name]["value"] is not None
        assert len(args[name]["value"]) <= 80
        assert "..." in args[name]["value"]
    assert args["b"]["type"] == "bytes"
    assert args["c"]["type"] == "str"


def test_files_with_sizes_and_line_counts(archives):
    files = {f["path"]: f for f in summary_of(archives / "local.figvault")["files"]}
    assert set(files) == {"./make.py", "./shapes/__init__.py", "./shapes/plots.py", "./notes/extra.py"}
    assert files["./notes/extra.py"]["bytes"] == len(NOTE.encode("utf-8"))
    assert files["./notes/extra.py"]["lines"] == 2
    assert files["./shapes/plots.py"]["lines"] == PLOTS.count("\n")
    assert files["./shapes/__init__.py"] == {"path": "./shapes/__init__.py", "bytes": 0, "lines": 0}


def test_source_files_are_the_archived_texts(archives):
    record, _ = reader.read_record(archives / "module.figvault")
    assert sources.source_files(record)["./shapes/plots.py"] == PLOTS


def test_names_the_stream_would_import(archives):
    _, info = reader.read_record(archives / "module.figvault")
    assert info.names == ["shapes.plots.plot"]
    assert "shapes" not in sys.modules


# ---------------------------------------------------------------------------
# Nothing from the stream runs
# ---------------------------------------------------------------------------

TRAP = '''\
import pathlib
pathlib.Path(__file__).with_name("imported.marker").touch()


class Klass:
    def __new__(cls, *args):
        pathlib.Path(__file__).with_name("new.marker").touch()
        return object.__new__(cls)

    def __init__(self, *args):
        pathlib.Path(__file__).with_name("init.marker").touch()

    def __setstate__(self, state):
        pathlib.Path(__file__).with_name("setstate.marker").touch()


def boom(*args):
    pathlib.Path(__file__).with_name("called.marker").touch()
'''


@pytest.fixture
def trap(tmp_path, monkeypatch):
    """An importable module (unique name) whose import, classes and functions
    each leave a marker file; returns (name, folder)."""
    name = "fvtrap_" + uuid.uuid4().hex[:10]
    (tmp_path / f"{name}.py").write_text(TRAP, encoding="utf-8")
    monkeypatch.syspath_prepend(str(tmp_path))
    importlib.invalidate_caches()
    yield name, tmp_path
    sys.modules.pop(name, None)


def markers(folder):
    return sorted(p.name for p in Path(folder).glob("*.marker"))


def g(module, name):
    """The protocol-0 GLOBAL opcode."""
    return b"c" + module.encode() + b"\n" + name.encode() + b"\n"


def test_every_calling_opcode_is_recorded_not_run(trap):
    name, folder = trap
    streams = {
        "reduce": g(name, "boom") + b"(I1\ntR.",
        "newobj": b"\x80\x02" + g(name, "Klass") + b")\x81}S'a'\nI1\nsb.",
        "newobj_ex": b"\x80\x04" + g(name, "Klass") + b")}\x92.",
        "inst": b"(i" + name.encode() + b"\nKlass\n.",
        "obj": b"(" + g(name, "Klass") + b"I2\no.",
        "build": g(name, "Klass") + b"(tR(dS'x'\nI3\nsb.",
        "appends": g(name, "boom") + b"(tR(I1\nI2\ne.",
        "append": g(name, "boom") + b"(tRI1\na.",
        "setitems": g(name, "boom") + b"(tR(S'k'\nI1\nu.",
        "additems": b"\x80\x04" + g(name, "boom") + b")R(K\x01\x90.",
        "persid": b"Pkey\n.",
        "binpersid": b"\x80\x02K\x07Q.",
    }
    results = {key: reader.loads(data) for key, data in streams.items()}
    assert markers(folder) == []
    assert name not in sys.modules

    assert isinstance(results["reduce"], Call)
    assert results["reduce"].func.dotted == f"{name}.boom"
    assert results["reduce"].args == (1,)
    assert results["newobj"].how == "new" and results["newobj"].states == [{"a": 1}]
    assert results["newobj_ex"].how == "new"
    assert results["inst"].how == "inst" and results["inst"].func.name == "Klass"
    assert results["obj"].args == (2,)
    assert results["build"].states == [{"x": 3}]
    assert results["appends"].items == [1, 2]
    assert results["append"].items == [1]
    assert results["setitems"].entries == [("k", 1)]
    assert results["additems"].items == [1]
    assert isinstance(results["persid"], Persistent) and results["persid"].pid == "key"
    assert results["binpersid"].pid == 7


def test_dangerous_globals_are_only_named(tmp_path):
    marker = tmp_path / "ran.marker"

    class System:
        def __reduce__(self):
            return (os.system, (f"touch {marker}",))

    class Exec:
        def __reduce__(self):
            return (exec, (f"open({str(marker)!r}, 'w').close()",))

    for protocol in range(0, pickle.HIGHEST_PROTOCOL + 1):
        value = reader.loads(pickle.dumps({"a": System(), "b": [Exec()]}, protocol=protocol))
        assert isinstance(value["a"], Call)
        assert value["a"].func.name == "system"
        assert value["b"][0].func.name == "exec"
    assert not marker.exists()


def test_placeholders_are_callable_and_record():
    ref = Global("some.module", "thing")
    made = ref(1, key=2)
    assert isinstance(made, Call)
    assert made.func is ref and made.args == (1,) and made.kwargs == {"key": 2}
    made.__setstate__({"s": 1})
    assert made.states == [{"s": 1}]
    assert repr(ref) == "<global some.module.thing>"


def test_calling_something_that_is_not_a_global_is_refused():
    # REDUCE with a string as the callee.
    with pytest.raises(ArchiveError):
        reader.loads(b"Vabc\n(tR.")
    # APPEND onto a dict.
    with pytest.raises(ArchiveError):
        reader.loads(b"(dI1\na.")


@pytest.mark.parametrize(
    "data",
    [b"", b"hello world", b"\x80\x04\x95", pickle.dumps({"files": {}})[:-1], b"(\x80"],
    ids=["empty", "text", "truncated-frame", "no-stop", "bad-protocol"],
)
def test_broken_streams_raise_archive_error(data):
    with pytest.raises(ArchiveError):
        reader.loads(data)


def test_records_that_are_not_archives(tmp_path):
    cases = {
        "list": ([1, 2], "not an archive record"),
        "nofunc": ({"files": {}}, "has no 'func' entry"),
        "nothing": ({"args": {}}, "has no 'files' and 'func' entries"),
    }
    for name, (value, message) in cases.items():
        path = tmp_path / name
        path.write_bytes(pickle.dumps(value))
        with pytest.raises(ArchiveError, match=message):
            reader.read_record(path)
    with pytest.raises(FileNotFoundError):
        reader.read_record(tmp_path / "missing")


def test_plain_values_and_others():
    looped = []
    looped.append(looped)
    assert describe_value({"a": (1, 2.5, None, b"x")}) == {
        "type": "dict",
        "value": "{'a': (1, 2.5, None, b'x')}",
        "length": 1,
    }
    assert describe_value(looped)["value"] is None
    assert describe_value({1, 2})["value"] is None
    assert describe_value([Global("m", "n")])["value"] is None
    assert describe_value(Global("m", "n"))["refers_to"] == "m.n"
    assert describe_value(Call(Global("collections", "OrderedDict"), ()))["type"] == "collections.OrderedDict"
    assert describe_value(Call(Global("os", "system"), ("x",)))["type"] == "object made by os.system"


def test_deep_nesting_is_read_then_refused_by_the_depth_budget():
    depth = 100000
    nested = b"]" * depth + b"a" * (depth - 1)  # [[[...]]] 100000 deep
    record = reader.loads(b"\x80\x02}(X\x04\x00\x00\x00args}X\x01\x00\x00\x00x" + nested
                               + b"sX\x05\x00\x00\x00files}X\x04\x00\x00\x00func" + nested + b"u.")
    assert list(record) == ["args", "files", "func"]
    with pytest.raises(reader.LimitError, match="nesting depth .* exceeds 300 levels"):
        describe_record(record)
    # A chain of calls of calls, 100000 long, as the saved function: read,
    # described as far as the chain is looked at, and refused by the budget.
    chain = g("m", "f") + b"(tR" * depth
    record = reader.loads(b"(dS'files'\n(dsS'func'\n" + chain + b"s.")
    assert list(record) == ["files", "func"]
    assert describe_function(record["func"])["kind"].startswith("object made by")
    with pytest.raises(reader.LimitError, match="nesting depth"):
        describe_record(record)


def test_summary_of_unusual_records():
    summary = describe_record({"args": None, "files": ["x"], "func": Global("builtins", "len")})
    assert summary["args"] is None and summary["args_type"] == "NoneType"
    assert summary["files"] == [] and summary["files_type"] == "list"
    assert summary["function"]["name"] == "len"
    summary = describe_record({"files": {"./a.py": 5}, "func": 3, "more": 1})
    assert summary["args"] is None and "args_type" not in summary
    assert summary["files"] == [{"path": "./a.py", "bytes": None, "lines": None, "type": "int"}]
    assert summary["function"]["kind"] == "int"
    assert summary["other_keys"] == ["more"]


# ---------------------------------------------------------------------------
# Texts for a terminal
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, cleaned",
    [
        ("plain text", "plain text"),
        ("a\nb\rc\td", "a\\nb\\rc\\td"),
        ("\x1b]2;owned\x07\x1b[31m", "\\x1b]2;owned\\x07\\x1b[31m"),
        ("it's\n", "it's\\n"),
        ("line\u2028separator\u202eright", "line\\u2028separator\\u202eright"),
        ("ünï €", "ünï €"),
        ("\udce9", "\\udce9"),
    ],
)
def test_clean_text_escapes_what_a_terminal_would_act_on(text, cleaned):
    assert clean_text(text) == cleaned


def test_clean_text_cuts_before_and_after_escaping():
    assert clean_text("x" * 1000, 10) == "xxxxxxx..."
    assert clean_text("\x00" * 1000, 10) == "\\x00\\x0..."


@pytest.mark.parametrize(
    "value, text",
    [(-12, "-12"), (10**57, str(10**57)), (10**5000, "<int of about 5,001 digits>"), (-(2**40000), "<int of about 12,042 digits>")],
    ids=["small", "58-digits", "5001-digits", "negative-huge"],
)
def test_int_text(value, text):
    assert int_text(value) == text


def test_short_values_of_shared_data_stay_short():
    shared = [1]
    for _ in range(60):
        shared = [shared, shared]  # 2**60 paths to the innermost list
    text = value_text(shared)
    assert len(text) == VALUE_CHARS and text.endswith("...")
    assert describe_value(shared)["value"] == text
    assert value_text({"k": (1.5, None, b"\x00")}) == "{'k': (1.5, None, b'\\x00')}"
