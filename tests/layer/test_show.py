"""`figvault show` tells the truth about what runs and answers what users
ask: duplicate and non-text keys, code that does not come from the archived
source it names, everything dill imports on load, the saved function's
source, argument dtypes and shapes, and the snapshot's size by folder."""

import json
import pickle
import re
import types

import dill
import pytest
from commands import CONTROL, run_cli, run_script
from support import make_tree

PLOT_DEMO = '''\
import numpy as np
import torch
from figvault.src.archive import archive


@archive("honest.fv")
def plot(data, weights, scale):
    """Scale the data."""
    assert scale > 0
    return data * scale


def main():
    plot(np.arange(6, dtype=np.float32).reshape(2, 3), torch.ones(4, dtype=torch.float16), 2.5)


if __name__ == "__main__":
    main()
'''

SHAPES = '''\
def draw(x, y=2, *rest, key=None):
    return x


def make_adder(n):
    def add(v):
        return v + n
    return add
'''

MODULES = '''\
from figvault.src.archive import archive
from shapes.draw import draw, make_adder

archive("reference.fv")(draw)([1, 2], 3)
archive("closure.fv")(make_adder(2))(40)
'''

# Writes archives that lie, from the honest one, with dill (as an attacker could).
CRAFT = '''\
import types
import dill
import helpers

honest = dill.load(open("honest.fv", "rb"))
func = honest["func"]


def evil(data, weights, scale):
    import os
    return os.getpid()


def save(name, function, **extra):
    record = {"args": dict(honest["args"]), "files": honest["files"], "func": function}
    record["args"].update(extra)
    with open(name, "wb") as file:
        dill.dump(record, file)


def disguised(code):
    made = types.FunctionType(code, {}, "plot")
    made.__module__ = "__main__"
    made.__qualname__ = "plot"
    return made


code = evil.__code__.replace(co_filename=func.__code__.co_filename, co_firstlineno=func.__code__.co_firstlineno,
                             co_name="plot", co_qualname="plot")
save("disguised.fv", disguised(code))
save("elsewhere.fv", disguised(evil.__code__.replace(co_filename=func.__code__.co_filename, co_qualname="nowhere")))
save("helpers.fv", func, module=helpers)


class Replaced:
    """The honest code at first, the other one set by the function's state."""

    def __reduce__(self):
        return (dill._dill._create_function, (func.__code__, {}, "plot", None), ({}, {"__code__": code}))


save("replaced.fv", Replaced())
save("helper.fv", func, helper=disguised(code))
'''

# A dict of the honest record's keys, then "func" set again under a key that
# an ordinary load turns into "func" (str(b"func", "ascii")).
TWICE = (
    b"\x80\x04}(\x8c\x04func\x8c\x08builtins\x8c\x03len\x93\x8c\x05files}\x8c\x04args}u("
    b"\x8c\x08builtins\x8c\x03str\x93C\x04func\x8c\x05ascii\x86R\x8c\x05posix\x8c\x06system\x93u."
)
SAME_KEY = (
    b"\x80\x04}(\x8c\x04func\x8c\x08builtins\x8c\x03len\x93\x8c\x05files}\x8c\x04args}"
    b"\x8c\x04func\x8c\x05posix\x8c\x06system\x93u."
)


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    root = make_tree(
        tmp_path_factory.mktemp("show_project"),
        {
            "plot_demo.py": PLOT_DEMO,
            "helpers.py": "VALUE = 1\n",
            "shapes/__init__.py": "",
            "shapes/draw.py": SHAPES,
            "modules.py": MODULES,
            "craft.py": CRAFT,
            "venv/lib/site.py": "x = 1\n" * 2000,
            "venv/lib/more.py": "y = 2\n" * 1000,
        },
    )
    run_script("plot_demo.py", root)
    run_script("modules.py", root)
    run_script("craft.py", root)
    (root / "twice.fv").write_bytes(TWICE)
    (root / "samekey.fv").write_bytes(SAME_KEY)
    return root


def show(project, name, *extra):
    done = run_cli("show", name, *extra, bounded=True, cwd=project)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert not CONTROL.search(done.stdout.replace("\n", ""))
    return json.loads(done.stdout) if "--json" in extra else done.stdout


# ---------------------------------------------------------------------------
# What runs
# ---------------------------------------------------------------------------


def test_code_from_the_archived_source_is_confirmed(project):
    out = show(project, "honest.fv")
    assert "Warnings" not in out
    assert re.search(r"^  source    \./plot_demo\.py, line 6$", out, re.M)
    assert re.search(r"^  code      matches \./plot_demo\.py$", out, re.M)
    data = show(project, "honest.fv", "--json")
    assert data["function"]["code_check"]["status"] == "matches"
    assert data["warnings"] == []


@pytest.mark.parametrize(
    "name, detail",
    [
        ("disguised.fv", "the code that ./plot_demo.py compiles to for plot is different"),
        ("elsewhere.fv", "./plot_demo.py defines no function nowhere"),
    ],
)
def test_code_that_does_not_come_from_its_source_is_flagged(project, name, detail):
    out = show(project, name)
    assert "! the function's code does not come from ./plot_demo.py" in out
    assert detail in out
    assert re.search(r"^  code      DOES NOT come from \./plot_demo\.py$", out, re.M)
    # Its claimed lines are not shown as its source.
    assert "Source     " not in out
    data = show(project, name, "--json")
    assert data["function"]["code_check"]["status"] == "differs"
    assert data["function"]["source_text"] is None


def test_code_replaced_by_the_functions_state_is_checked(project):
    data = show(project, "replaced.fv", "--json")
    assert data["warnings"][:2] == [
        "the function's state replaces its code while it loads (it sets __code__)",
        "the function's code does not come from ./plot_demo.py: the code that ./plot_demo.py compiles to for plot is different",
    ]
    assert data["function"]["parameters"] == ["data", "weights", "scale"]


def test_other_functions_in_the_archive_are_checked_too(project):
    data = show(project, "helper.fv", "--json")
    assert data["function"]["code_check"]["status"] == "matches"
    assert data["warnings"] == [
        "the function plot stored in the archive does not come from ./plot_demo.py: "
        "the code that ./plot_demo.py compiles to for plot is different"
    ]


@pytest.mark.parametrize(
    "name, warning",
    [
        ("twice.fv", "the record holds the global posix.system under a key that is not text (object made by builtins.str)"),
        ("samekey.fv", "the record sets 'func' more than once; a real load keeps the last value"),
    ],
)
def test_keys_that_change_what_runs_are_flagged(project, name, warning):
    data = show(project, name, "--json")
    assert any(warning in text for text in data["warnings"]), data["warnings"]
    assert "! " + warning in show(project, name)


def test_everything_dill_imports_is_listed(project):
    data = show(project, "helpers.fv", "--json")
    assert {"module": "helpers", "via": "dill._dill._import_module"} in data["imports"]
    assert {"module": "dill._dill", "via": "global"} in data["imports"]
    out = show(project, "helpers.fv")
    assert re.search(r"^Imported on load  .*helpers \(through dill\._dill\._import_module\)", out, re.M)
    assert re.search(r"^  module\s+module\s+helpers$", out, re.M)


def test_loading_effects_beyond_imports_are_flagged(tmp_path):
    # dill's helpers that evaluate text or open files, named in the stream.
    def call(name, *args):
        encoded = b"".join(b"\x8c" + bytes([len(a)]) + a.encode() for a in args)
        return b"\x8c\ndill._dill\x8c" + bytes([len(name)]) + name.encode() + b"\x93(" + encoded + b"tR"

    stream = (
        b"\x80\x04}(\x8c\x04args}(\x8c\x01a" + call("_eval_repr", "__import__('os').system('x')")
        + b"\x8c\x01b" + call("_eval_repr", "Ellipsis")
        + b"\x8c\x01c" + call("_import_module", "fvtrapmodule")
        + b"u\x8c\x05files}\x8c\x04func\x8c\x08builtins\x8c\x03len\x93u."
    )
    (tmp_path / "effects.fv").write_bytes(stream)
    (tmp_path / "fvtrapmodule.py").write_text("open('imported.marker', 'w').close()\n")
    data = json.loads(run_cli("show", "effects.fv", "--json", bounded=True, cwd=tmp_path).stdout)
    assert data["warnings"] == [
        "loading evaluates the text \"__import__('os').system('x')\" (dill._dill._eval_repr)"
    ]
    assert {"module": "fvtrapmodule", "via": "dill._dill._import_module"} in data["imports"]
    assert not (tmp_path / "imported.marker").exists()


# ---------------------------------------------------------------------------
# What users ask
# ---------------------------------------------------------------------------


def test_the_saved_functions_source_is_shown(project):
    out = show(project, "honest.fv")
    listing = out.split("Source     ./plot_demo.py, lines 6-10\n")[1].split("\n\n")[0]
    assert listing.splitlines() == [
        '   6  @archive("honest.fv")',
        "   7  def plot(data, weights, scale):",
        '   8      """Scale the data."""',
        "   9      assert scale > 0",
        "  10      return data * scale",
    ]
    data = show(project, "honest.fv", "--json")
    assert data["function"]["source_text"].startswith('@archive("honest.fv")\ndef plot(')
    assert (data["function"]["source_line"], data["function"]["source_end_line"]) == (6, 10)


@pytest.mark.parametrize(
    "name, title, where, first_line",
    [
        ("reference.fv", "draw(x, y=2, *rest, key=None)", "./shapes/draw.py, line 1", "def draw(x, y=2, *rest, key=None):"),
        ("closure.fv", "make_adder.<locals>.add(v)", "./shapes/draw.py, line 6", "def add(v):"),
    ],
)
def test_functions_of_modules_show_their_source(project, name, title, where, first_line):
    out = show(project, name)
    assert f"Function   {title}" in out
    assert f"  source    {where}" in out
    assert re.search(rf"^\s+\d+  +{re.escape(first_line)}$", out, re.M)


def test_arguments_show_dtypes_and_shapes(project):
    data = show(project, "honest.fv", "--json")
    assert data["args"] == [
        {"name": "data", "type": "numpy.ndarray", "value": None, "shape": [2, 3], "dtype": "float32"},
        {"name": "weights", "type": "torch.Tensor", "value": None, "shape": [4], "dtype": "float16"},
        {"name": "scale", "type": "float", "value": "2.5"},
    ]
    out = show(project, "honest.fv")
    assert re.search(r"^  data     numpy\.ndarray  shape \(2, 3\), float32$", out, re.M)
    assert re.search(r"^  weights  torch\.Tensor   shape \(4,\), float16$", out, re.M)


def test_snapshot_size_by_top_level_folder(project):
    data = show(project, "honest.fv", "--json")
    folders = {row["folder"]: row for row in data["folders"]}
    venv_bytes = len("x = 1\n" * 2000) + len("y = 2\n" * 1000)
    assert data["folders"][0] == {"folder": "venv/", "files": 2, "bytes": venv_bytes}
    assert folders["shapes/"]["files"] == 2
    assert folders["./"]["files"] == 4  # plot_demo, helpers, modules and craft
    out = show(project, "honest.fv")
    assert re.search(rf"^  venv/\s+2\s+{venv_bytes}\s+\d+%$", out, re.M)


# ---------------------------------------------------------------------------
# Compiling is bounded in time
# ---------------------------------------------------------------------------

# One f-string of 174,000 fields (512 KB): compile() takes time that grows
# with the square of its length (over a minute here).
SLOW_MODULE = "def f(x):\n    return x\n\n\nS = f\"" + "{x}" * 174_000 + "\"\n"


def slow_archives(folder):
    by_reference = pickle.dumps({"args": {"x": 1}, "files": {"./big.py": SLOW_MODULE}, "func": len}, protocol=3)
    (folder / "reference.fv").write_bytes(by_reference.replace(b"cbuiltins\nlen\n", b"cbig\nf\n"))
    namespace = {"__name__": "__main__"}
    exec(compile("def f(x):\n    return x\n", "/elsewhere/big.py", "exec"), namespace)
    (folder / "value.fv").write_bytes(dill.dumps({"args": {"x": 1}, "files": {"./big.py": SLOW_MODULE}, "func": namespace["f"]}))


@pytest.mark.parametrize(
    "name, line",
    [
        ("reference.fv", "  ! the function's lines were not looked up in ./big.py: compiling it takes longer than the 2 seconds allowed per archive"),
        ("value.fv", "  code      not checked: compiling it takes longer than the 2 seconds allowed per archive"),
    ],
)
def test_compiling_a_slow_source_is_bounded_in_time(tmp_path, name, line):
    slow_archives(tmp_path)
    assert line in show(tmp_path, name).splitlines()


def test_functions_from_notebook_cells_are_looked_up_within_bounds(tmp_path):
    # 10,000 helpers that a kernel compiled, each to be looked for among the
    # 30,000 cells of the archived notebook.
    helpers = []
    for i in range(10_000):
        code = (lambda x: x).__code__.replace(co_filename="/tmp/ipykernel_1/1.py", co_name=f"h{i}", co_qualname=f"h{i}")
        helper = types.FunctionType(code, {})
        helper.__module__ = "__main__"
        helpers.append(helper)
    cells = [{"cell_type": "code", "source": f"x{i} = {i}", "metadata": {}, "outputs": []} for i in range(30_000)]
    files = {"./nb.ipynb": json.dumps({"cells": cells, "metadata": {}, "nbformat": 4, "nbformat_minor": 5})}
    (tmp_path / "cells.fv").write_bytes(dill.dumps({"args": {"helpers": helpers}, "files": files, "func": len}))
    assert "helpers  list" in show(tmp_path, "cells.fv")
