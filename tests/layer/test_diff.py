"""`figvault diff OLD NEW [--json] [--stat]`: which arguments, files and
code changed between two archives, read without running anything."""

import json
import os
import pickle
import re
import shutil

import pytest
from commands import CONTROL, one_error_line, run_cli, run_script
from support import make_tree

# The README's example, archived with the real decorator; the scale comes
# from the command line so that two runs differ in one argument.
FIGURE = '''\
import sys

from figvault.src.archive import archive


@archive("figure1.figvault")        # default file name: "myplot.figvault"
def figure1(png_path, scale, samples):
    import matplotlib               # imports inside the body: see below
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np
    x = np.linspace(0, scale, samples)
    plt.plot(x, np.sin(x))
    plt.savefig(png_path, dpi=100, metadata={"Software": None})


figure1("figure1.png", float(sys.argv[1]), 200)    # writes figure1.figvault, then draws
'''


@pytest.fixture(scope="module")
def readme(tmp_path_factory):
    """old.figvault and new.figvault: one argument (scale) and one file
    (notes.py) changed; code.figvault also changes the function's body;
    moved.figvault is old.figvault made again in another checkout."""
    root = make_tree(tmp_path_factory.mktemp("readme"), {"figure.py": FIGURE, "notes.py": "NOTE = 1\nKEEP = 2\n"})
    checkout = shutil.copytree(root, root.parent / "elsewhere" / "checkout")
    run_script("figure.py", checkout, "6.0")
    os.rename(checkout / "figure1.figvault", root / "moved.figvault")
    run_script("figure.py", root, "6.0")
    os.rename(root / "figure1.figvault", root / "old.figvault")
    (root / "notes.py").write_text("NOTE = 'changed'\nKEEP = 2\n", encoding="utf-8")
    run_script("figure.py", root, "7.0")
    os.rename(root / "figure1.figvault", root / "new.figvault")
    (root / "figure.py").write_text(FIGURE.replace("np.sin(x)", "np.cos(x)"), encoding="utf-8")
    run_script("figure.py", root, "7.0")
    os.rename(root / "figure1.figvault", root / "code.figvault")
    return root


def diff(root, *args):
    done = run_cli("diff", *args, bounded=True, cwd=root)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert not CONTROL.search(done.stdout.replace("\n", ""))
    return json.loads(done.stdout) if "--json" in args else done.stdout


def test_one_argument_and_one_file_changed(readme):
    out = diff(readme, "old.figvault", "new.figvault")
    assert "Function   figure1(png_path, scale, samples)\n  code      unchanged\n" in out
    assert "Arguments (1 of 3 changed)" in out
    assert re.search(r"^  scale     changed  6\.0\s+7\.0$", out, re.M)
    assert re.search(r"^  png_path  same     'figure1\.png'$", out, re.M)
    assert "Files: 1 changed, 0 added, 0 removed, 1 unchanged" in out
    assert re.search(r"^  changed  \./notes\.py  \+1 -1$", out, re.M)
    hunk = out.split("--- a/notes.py\n+++ b/notes.py\n")[1]
    assert hunk.splitlines() == ["@@ -1,2 +1,2 @@", "-NOTE = 1", "+NOTE = 'changed'", " KEEP = 2"]


def test_stat_counts_lines_without_printing_diffs(readme):
    out = diff(readme, "old.figvault", "new.figvault", "--stat")
    assert re.search(r"^  changed  \./notes\.py  \+1 -1$", out, re.M)
    assert "@@" not in out and "--- a/" not in out


def test_json(readme):
    data = diff(readme, "old.figvault", "new.figvault", "--json")
    assert data["function"]["code"] == "same"
    assert data["function"]["record"] == "same"
    assert [(a["name"], a["status"]) for a in data["args"]] == [("png_path", "same"), ("scale", "changed"), ("samples", "same")]
    scale = data["args"][1]
    assert (scale["old"], scale["new"]) == ({"type": "float", "value": "6.0"}, {"type": "float", "value": "7.0"})
    assert data["files"] == [
        {
            "path": "./notes.py",
            "status": "changed",
            "added_lines": 1,
            "removed_lines": 1,
            "diff": ["--- a/notes.py", "+++ b/notes.py", "@@ -1,2 +1,2 @@", "-NOTE = 1", "+NOTE = 'changed'", " KEEP = 2"],
        }
    ]
    assert data["file_counts"] == {"changed": 1, "added": 0, "removed": 0, "same": 1}
    stat = diff(readme, "old.figvault", "new.figvault", "--json", "--stat")
    assert "diff" not in stat["files"][0] and stat["files"][0]["added_lines"] == 1


def test_a_changed_function_body(readme):
    out = diff(readme, "new.figvault", "code.figvault")
    assert "  code      CHANGED" in out
    assert "Arguments (0 of 3 changed)" in out
    assert "-    plt.plot(x, np.sin(x))\n+    plt.plot(x, np.cos(x))" in out


def test_an_archive_against_itself(readme):
    data = diff(readme, "old.figvault", "old.figvault", "--json")
    assert data["function"]["code"] == "same"
    assert all(a["status"] == "same" for a in data["args"])
    assert data["files"] == [] and data["file_counts"]["changed"] == 0


def record(args, files, func=len):
    return pickle.dumps({"args": args, "files": files, "func": func}, protocol=4)


def test_added_removed_and_data_only_changes(tmp_path):
    import numpy as np

    (tmp_path / "a.fv").write_bytes(record({"x": np.zeros((2, 2)), "gone": 1}, {"./a.py": "a\n", "./old.py": "o\n"}))
    (tmp_path / "b.fv").write_bytes(record({"x": np.ones((2, 2)), "new": [1, 2]}, {"./a.py": "a\n", "./new.py": "n\nm\n"}))
    data = diff(tmp_path, "a.fv", "b.fv", "--json")
    statuses = {a["name"]: a["status"] for a in data["args"]}
    assert statuses == {"x": "changed", "gone": "removed", "new": "added"}
    assert {(f["path"], f["status"]) for f in data["files"]} == {("./old.py", "removed"), ("./new.py", "added")}
    out = diff(tmp_path, "a.fv", "b.fv")
    assert re.search(r"^  x     changed  numpy\.ndarray shape \(2, 2\), float64\s+same type and shape, other data$", out, re.M)
    assert re.search(r"^  added    \./new\.py  \+2 -0$", out, re.M)
    assert re.search(r"^  removed  \./old\.py  \+0 -1$", out, re.M)


def test_files_are_matched_by_where_they_restore(tmp_path):
    (tmp_path / "a.fv").write_bytes(record({}, {"./lib/../b.py": "x = 1\n", "/abs.py": "a\n"}))
    (tmp_path / "b.fv").write_bytes(record({}, {"./b.py": "x = 2\n", "/abs.py": "a\n"}))
    data = diff(tmp_path, "a.fv", "b.fv", "--json")
    assert data["file_counts"] == {"changed": 1, "added": 0, "removed": 0, "same": 1}
    assert data["files"][0]["path"] == "./lib/../b.py"
    assert data["files"][0]["diff"][:2] == ["--- a/b.py", "+++ b/b.py"]


def test_diff_runs_nothing_from_either_archive(tmp_path):
    marker = tmp_path / "ran.marker"

    class Runs:
        def __reduce__(self):
            return (os.system, (f"touch {marker}",))

    (tmp_path / "a.fv").write_bytes(record({"x": Runs()}, {}, Runs()))
    (tmp_path / "b.fv").write_bytes(record({"x": 1}, {}))
    data = diff(tmp_path, "a.fv", "b.fv", "--json")
    assert data["args"][0]["old"]["type"] == "object made by posix.system"
    assert data["function"]["code"] == "changed"
    assert not marker.exists()


@pytest.mark.parametrize("side", ["old", "new"])
def test_errors_name_the_archive(tmp_path, readme, side):
    shutil.copy(readme / "old.figvault", tmp_path / "good.fv")
    (tmp_path / "bad.fv").write_bytes(b"\x80\x05\x96" + (3 << 30).to_bytes(8, "little") + b"ab.")
    pair = ["good.fv", "bad.fv"] if side == "new" else ["bad.fv", "good.fv"]
    done = run_cli("diff", *pair, bounded=True, cwd=tmp_path)
    one_error_line(done, "bad.fv: a declared length of 3,221,225,472 bytes exceeds the 3 bytes left in the file")
    done = run_cli("diff", *pair, "--json", bounded=True, cwd=tmp_path)
    one_error_line(done)
    assert json.loads(done.stdout)["archive"] == "bad.fv"
    one_error_line(run_cli("diff", "good.fv", "missing.fv", bounded=True, cwd=tmp_path), "cannot open 'missing.fv': no such file")


def test_the_same_project_in_another_folder_is_the_same(readme):
    data = diff(readme, "old.figvault", "moved.figvault", "--json")
    assert (data["function"]["code"], data["function"]["record"], data["same"]) == ("same", "same", True)
    assert "  code      unchanged" in diff(readme, "old.figvault", "moved.figvault")


@pytest.mark.parametrize(
    "old, new, status",
    [("old", "old", 0), ("old", "moved", 0), ("old", "new", 1), ("new", "code", 1), ("old", "missing", 2), ("old", "bad", 2)],
)
def test_exit_code(readme, tmp_path, old, new, status):
    (tmp_path / "bad.figvault").write_bytes(b"\x80\x05not a pickle")
    for name in ("old", "new", "moved", "code"):
        shutil.copy(readme / f"{name}.figvault", tmp_path)
    done = run_cli("diff", f"{old}.figvault", f"{new}.figvault", "--exit-code", bounded=True, cwd=tmp_path)
    assert done.returncode == status, done.stderr
    assert (done.stderr.startswith("figvault: error: ") and done.stdout == "") if status == 2 else done.stderr == ""
    assert run_cli("diff", f"{old}.figvault", f"{new}.figvault", bounded=True, cwd=tmp_path).returncode == (status == 2)


def swapped_lines(count):
    """Two texts of `count` lines that match poorly: every pair of lines swapped."""
    return "".join(f"{i}\n" for i in range(count)), "".join(f"{i ^ 1}\n" for i in range(count))


@pytest.mark.parametrize("extra", [[], ["--stat"], ["--json"]])
def test_line_comparisons_stay_within_a_budget(tmp_path, extra):
    # 20,000 lines matching poorly, memo-shared behind 50 keys, then one small
    # file that still gets its diff.
    old, new = swapped_lines(20_000)
    for name, text, small in (("a.fv", old, "x = 1\n"), ("b.fv", new, "x = 2\n")):
        files = {f"./f{i}.py": text for i in range(50)} | {"./small.py": small}
        (tmp_path / name).write_bytes(record({}, files))
    done = run_cli("diff", "a.fv", "b.fv", *extra, bounded=True, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout) if extra == ["--json"] else done.stdout
    if extra == ["--json"]:
        rows = {row["path"]: row for row in out["files"]}
        assert rows["./f0.py"]["note"].startswith("no line diff:") and "diff" not in rows["./f49.py"]
        assert rows["./small.py"]["diff"] == ["--- a/small.py", "+++ b/small.py", "@@ -1 +1 @@", "-x = 1", "+x = 2"]
    else:
        assert out.count("no line diff: comparing it line by line would take more than its share") == 50
        assert re.search(r"^  changed  \./small\.py +\+1 -1", out, re.M)
        assert ("-x = 1\n+x = 2" in out) == (extra == [])


NOTEBOOK = {"nbformat": 4, "nbformat_minor": 5, "metadata": {}, "cells": [
    {"cell_type": "markdown", "metadata": {}, "source": ["# Title"]},
    {"cell_type": "code", "execution_count": 1, "metadata": {}, "outputs": [], "source": ["x = 1\n", "y = 2"]},
]}


def notebook(source=None, count=1, outputs=()):
    changed = json.loads(json.dumps(NOTEBOOK))
    changed["cells"][1].update(execution_count=count, outputs=list(outputs))
    if source is not None:
        changed["cells"][1]["source"] = source
    return json.dumps(changed, indent=1)


@pytest.mark.parametrize(
    "new, args, counts, note, changes",
    [
        (notebook(count=7, outputs=[{"output_type": "stream", "name": "stdout", "text": ["hi"]}]), [], (0, 0),
         "the same cells: only outputs, execution counts or metadata differ", None),
        (notebook("x = 1\ny = 3"), [], (1, 1), "compared by the text of its cells (--raw compares the JSON)",
         ["--- a/nb.ipynb (cells)", "+++ b/nb.ipynb (cells)", " # cell 2 (code)", "-y = 2", "+y = 3"]),
        (notebook(count=2), ["--raw"], (1, 1), None,
         ["--- a/nb.ipynb", "+++ b/nb.ipynb", '-   "execution_count": 1,', '+   "execution_count": 2,']),
    ],
    ids=["outputs-only", "cell-source", "raw"],
)
def test_notebooks_are_compared_by_cell_source(tmp_path, new, args, counts, note, changes):
    (tmp_path / "a.fv").write_bytes(record({}, {"./nb.ipynb": notebook()}))
    (tmp_path / "b.fv").write_bytes(record({}, {"./nb.ipynb": new}))
    [row] = diff(tmp_path, "a.fv", "b.fv", "--json", *args)["files"]
    assert (row["status"], row["added_lines"], row["removed_lines"], row.get("note")) == ("changed", *counts, note)
    if changes is None:
        assert "diff" not in row
    else:
        # The headers and the changed lines, and the lines that say which cell.
        shown = [line for line in row["diff"] if line[:1] in "+-" or line.startswith(" # cell")]
        assert shown == changes
