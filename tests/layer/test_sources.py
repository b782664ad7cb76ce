"""The one file-key model and the lookups of archived files: what a key
means and where it restores (the same for show, diff, extract, expand and
the module index), the script a function was written in, the module index,
and the notebook that defines a function."""

import ast
import json
import textwrap

import dill
import pytest
from commands import run_cli

import figvault
from figvault import sources
from figvault.replay import archived_imports
from figvault.view.function import find_definition


def write_archive(path, record):
    with open(path, "wb") as file:
        dill.dump(record, file)
    return path


def test_one_key_model_for_show_extract_and_the_module_index(tmp_path, listing):
    # "./a/../b.py" restores as b.py: show lists it in the top folder, the
    # module index serves it as module b, extract writes it there.
    files = {"./a/../b.py": "B = 'b'\n", "./lib/./c.py": "C = 'c'\n", "./d/../../up.py": "", "./e/": ""}
    archive = write_archive(tmp_path / "a.figvault", {"files": files, "func": len})
    done = run_cli("show", archive, "--json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    folders = {row["folder"]: row["files"] for row in json.loads(done.stdout)["folders"]}
    assert folders == {"./": 1, "lib/": 1, "(outside the folder)": 1, "(not restorable)": 1}
    index = sources.ModuleIndex(files, ["."])
    assert [index.module_key(name) for name in ("b", "c", "up")] == ["./a/../b.py", "./lib/./c.py", None]
    assert index.lookup_top("b", primary=True) == ("module", ("b.py",))
    del files["./d/../../up.py"], files["./e/"]
    archive = write_archive(tmp_path / "b.figvault", {"files": files, "func": len})
    figvault.extract(archive, tmp_path / "out")
    assert listing(tmp_path / "out") == ["b.py", "lib/", "lib/c.py"]


@pytest.mark.parametrize(
    "key, parts",
    [
        ("./a.py", ("a.py",)),
        ("a.py", ("a.py",)),
        ("./b/../a.py", ("a.py",)),
        ("x//./y/z.py", ("x", "y", "z.py")),
        ("a\\b.py", ("a\\b.py",)),  # a backslash is part of a file name here
        ("../a.py", None),
        ("./b/../../a.py", None),
        ("/etc/a.py", None),
        ("./b/..", None),
        ("./b/", None),
        ("./a\0.py", None),
    ],
)
def test_what_a_key_means(key, parts):
    assert sources.restored_parts(key) == parts
    if parts is not None:
        assert sources.key_parts(key) == parts
        assert sources.main_script_key({key: ""}, "/home/u/project/" + "/".join(parts)) == key


@pytest.mark.parametrize(
    "cell, expected",
    [
        ("%matplotlib inline\nx = 1", "pass\nx = 1"),
        ("!pip install thing\nif True:\n    !ls\n    y = 2", "pass\nif True:\n    pass\n    y = 2"),
        ("files = !ls\nt = %timeit f()\nnp.linspace?", "pass\npass\npass"),
        ("%%time\nx = 1", "\nx = 1"),
        ("%%bash\necho hi", None),
        ("y = a % b\nz = a != b\n", "y = a % b\nz = a != b\n"),
    ],
)
def test_magics_are_stripped_from_notebook_cells(cell, expected):
    assert sources.strip_magics(cell) == expected


def notebook_json(*cells):
    import json

    return json.dumps({"cells": [{"cell_type": "code", "source": cell} for cell in cells] + [{"cell_type": "markdown", "source": "def plot(): pass"}]})


def test_the_notebook_that_defines_the_function_is_found():
    files = {
        "./a.py": "def plot(x):\n    pass\n",
        "./other.ipynb": notebook_json("def draw():\n    pass"),
        "./first.ipynb": notebook_json("import numpy", "def plot(y, z):\n    pass"),
        "./second.ipynb": notebook_json(["%matplotlib inline\n", "\n", "@archive('f.figvault')\n", "def plot(x):\n", "    pass"]),
        "./broken.ipynb": "{not json",
    }
    # The saved code starts at line 3 of its cell and takes x.
    found = sources.find_defining_notebook(files, "plot", 3, ["x"])
    assert found is not None and found[0] == "./second.ipynb"
    assert found[1][0].startswith("%matplotlib inline")
    assert sources.find_defining_notebook(files, "plot", 1, ["y", "z"])[0] == "./first.ipynb"
    assert sources.find_defining_notebook(files, "missing", 1, []) is None


def test_keys_nested_too_deep_for_a_module_stay_out_of_the_index():
    deep = "./" + "/".join(["d"] * 20_000) + "/m.py"
    modules = archived_imports.ArchiveModules({deep: "x = 1\n", "./top.py": "y = 2\n"}, "/archive")
    assert modules.lookup_top("top", primary=False) is not None
    assert all(len(folder) <= sources.MAX_MODULE_DEPTH for folder in modules.folders)


def test_keys_that_leave_the_folder_are_ignored():
    files = {"/abs/a.py": "", "./../b.py": "", "./c.py": "", "./d.txt": "", "./e.py": b"bytes"}
    modules = archived_imports.ArchiveModules(files, "/a", ["."])
    assert list(modules.sources) == [("c.py",)]


def test_main_script_key_and_definitions():
    files = {"./plot.py": "", "./sub/plot.py": "", "./other.py": ""}
    assert sources.main_script_key(files, "/home/u/project/sub/plot.py") == "./sub/plot.py"
    assert sources.main_script_key(files, "/home/u/project/plot.py") == "./plot.py"
    assert sources.main_script_key(files, "<string>") is None
    source = textwrap.dedent(
        """\
        class Box:
            @staticmethod
            def size(a, /, b=2, *args, c, d=(1, 2), **kw):
                pass

        def top(x):
            pass
        """
    )
    tree = ast.parse(source)
    assert find_definition(tree, "Box.size") == (
        2,
        4,
        ["a", "/", "b=2", "*args", "c", "d=(1, 2)", "**kw"],
    )
    assert find_definition(tree, "top") == (6, 7, ["x"])
    assert find_definition(tree, "missing") is None


def test_other_spellings_of_a_key_map_back_to_it():
    modules = archived_imports.ArchiveModules({"././m.py": "X = 1\n", "./m.py": "X = 2\n"}, "/a", ["."])
    root, kind, parts = modules.resolve("m")
    assert (root, kind) == ((), "module")
    assert modules.keys[parts] == "././m.py"
    assert modules.sources[parts] == "X = 1\n"
