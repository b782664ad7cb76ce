"""Tests of the figvault command line (figvault/cli.py) and of the light
top-level package."""

import ast
import importlib.metadata
import importlib.resources
import importlib.util
import json
import os
import pickle
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from commands import one_error_line, run_cli
from support import child_environment

PLOTS_ARCHIVED = '''\
VERSION = "archived"


def plot(x, y=2):
    print("plot", VERSION, __name__, sum(x) * y)
'''

PLOTS_LATER = PLOTS_ARCHIVED.replace('"archived"', '"changed later"')

MAKE = '''\
import numpy as np
from figvault import archive
from shapes.plots import plot


def local(a, b, c=3):
    print("local called", a, b, c, np.int64(7))


def fragile(name):
    with open(name) as f:
        print(f.read())


archive("local.figvault")(local)(1, "two", c=5)
archive("module.figvault")(plot)([1, 2], 3)
archive("fragile.figvault")(fragile)("data.txt")
'''


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    """A project folder whose script archived three calls with
    `from figvault import archive` (one child process for the module)."""
    root = tmp_path_factory.mktemp("cli_project")
    (root / "shapes").mkdir()
    (root / "shapes" / "__init__.py").write_text("", encoding="utf-8")
    (root / "shapes" / "plots.py").write_text(PLOTS_ARCHIVED, encoding="utf-8")
    (root / "make.py").write_text(MAKE, encoding="utf-8")
    (root / "data.txt").write_text("data text", encoding="utf-8")
    done = subprocess.run(
        [sys.executable, "make.py"], cwd=root, env=child_environment(), capture_output=True, text=True, timeout=180
    )
    assert done.returncode == 0, done.stderr
    # The project moves on after archiving: the archive keeps the old source.
    (root / "shapes" / "plots.py").write_text(PLOTS_LATER, encoding="utf-8")
    return root


@pytest.fixture
def empty(tmp_path):
    folder = tmp_path / "empty"
    folder.mkdir()
    return folder


# ---------------------------------------------------------------------------
# The package itself
# ---------------------------------------------------------------------------


def test_import_figvault_is_light_and_lazy(tmp_path):
    code = (
        "import sys, json, figvault\n"
        "heavy = ('torch', 'numpy', 'dill', 'figvault.src.archive', 'figvault.replay')\n"
        "loaded = sorted(m for m in heavy if m in sys.modules)\n"
        "replay = figvault.expand, figvault.extract, figvault.ReplayWarning\n"
        "loaded_by_replay = sorted(m for m in heavy[:3] if m in sys.modules)\n"
        "import figvault.src.archive as a, figvault.replay as e, figvault.replay as p\n"
        "print(json.dumps({'heavy': loaded, 'replay': loaded_by_replay, 'all': figvault.__all__,\n"
        "  'version': figvault.__version__, 'archive': figvault.archive is a.archive,\n"
        "  'expand': figvault.expand is e.expand, 'extract': figvault.extract is e.extract,\n"
        "  'warning': issubclass(figvault.ReplayWarning, UserWarning) and figvault.ReplayWarning is p.ReplayWarning,\n"
        "  'dir': [n for n in ('archive', 'expand', 'extract', '__version__') if n in dir(figvault)]}))\n"
        "try:\n    figvault.nothing\nexcept AttributeError as e:\n    print(e)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=child_environment(), capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    first, second = done.stdout.splitlines()
    facts = json.loads(first)
    assert facts == {
        "heavy": [],
        "replay": [],  # the replay loads dill only when it runs
        "all": ["ForeignCodeError", "ReplayWarning", "archive", "expand", "extract"],
        "version": importlib.metadata.version("figvault"),
        "archive": True,
        "expand": True,
        "extract": True,
        "warning": True,
        "dir": ["archive", "expand", "extract", "__version__"],
    }
    assert second == "module 'figvault' has no attribute 'nothing'"


def test_type_stubs_and_marker_are_installed():
    # Found where the import system finds the package's files: installed
    # beside it, or in the source tree of an editable install.
    package = importlib.resources.files("figvault")
    for name in ("py.typed", "__init__.pyi", "src/files.pyi", "src/archive.pyi", "src/unarchive.pyi"):
        assert package.joinpath(name).is_file(), name
    package = Path(importlib.util.find_spec("figvault").origin).parent
    stubs = {
        name: ast.parse((package / name).read_text(encoding="utf-8"))
        for name in ("__init__.pyi", "src/files.pyi", "src/archive.pyi", "src/unarchive.pyi")
    }
    defined = {
        name: {node.name for node in ast.walk(tree) if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
        for name, tree in stubs.items()
    }
    assert defined["src/files.pyi"] == {"create_file_dict", "write_files_from_dict"}
    assert defined["src/archive.pyi"] == {"archive", "__init__", "__call__"}
    assert defined["src/unarchive.pyi"] == {"expand"}
    expand = next(n for n in ast.walk(stubs["src/unarchive.pyi"]) if isinstance(n, ast.FunctionDef))
    assert [a.arg for a in expand.args.args] == ["filename", "folder"]


# ---------------------------------------------------------------------------
# Usage
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("args", [["--help"], ["show", "--help"], ["diff", "--help"], ["expand", "--help"]])
def test_help(args, tmp_path):
    done = run_cli(*args, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("usage: figvault")
    if args[0] in ("show", "diff"):
        assert "--json" in done.stdout
    if args[0] == "diff":
        assert "--stat" in done.stdout
    if args[0] == "expand":
        assert "--folder" in done.stdout


# Modules that importing the command line may load beyond argparse and json:
# parsing stays fast because each command imports the pipeline it uses.
MAX_CLI_MODULES = 25
COUNT_MODULES = (
    "import sys, argparse, json\n"
    "before = set(sys.modules)\n"
    "import figvault.cli\n"
    "print(sorted(set(sys.modules) - before))\n"
)


def test_the_command_line_imports_little(tmp_path):
    done = subprocess.run(
        [sys.executable, "-c", COUNT_MODULES], cwd=tmp_path, env=child_environment(), capture_output=True, text=True
    )
    assert done.returncode == 0, done.stderr
    loaded = ast.literal_eval(done.stdout)
    assert len(loaded) <= MAX_CLI_MODULES, loaded


def test_version(tmp_path):
    done = run_cli("--version", cwd=tmp_path)
    assert done.returncode == 0
    assert done.stdout.strip() == f"figvault {importlib.metadata.version('figvault')}"


@pytest.mark.parametrize(
    "args",
    [[], ["show"], ["frobnicate", "x"], ["show", "a.figvault", "--bogus"], ["expand", "a", "--folder"], ["diff", "a"]],
    ids=["nothing", "no-archive", "unknown-command", "unknown-option", "folder-without-value", "diff-of-one"],
)
def test_usage_errors_exit_2(args, tmp_path):
    done = run_cli(*args, cwd=tmp_path)
    assert done.returncode == 2
    assert done.stderr.startswith("usage: figvault")
    assert re.match(r"figvault( show| expand| diff)?: error: ", done.stderr.splitlines()[-1])
    assert done.stdout == ""


# ---------------------------------------------------------------------------
# show
# ---------------------------------------------------------------------------


def test_show_function_from_the_script(project):
    done = run_cli("show", "local.figvault", cwd=project)
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert done.stderr == ""
    assert "Function   local(a, b, c=3)" in out
    assert re.search(r"module\s+__main__", out)
    assert re.search(r"stored\s+by value", out)
    assert re.search(r"source\s+\./make\.py, line 6", out)
    assert "Arguments (2)" in out
    assert re.search(r"^\s+a\s+int\s+1$", out, re.M)
    assert re.search(r"^\s+b\s+str\s+'two'$", out, re.M)
    assert "c=" not in out.split("Arguments")[1].split("Files")[0]  # c went by keyword
    make_text = (project / "make.py").read_text(encoding="utf-8")
    size, lines = len(make_text.encode("utf-8")), make_text.count("\n")
    assert re.search(rf"^\s+\./make\.py\s+{size}\s+{lines}$", out, re.M)
    assert re.search(r"^\s+\./shapes/plots\.py\s+\d+\s+5$", out, re.M)
    assert re.search(r"^\s+total\s+\d+\s+\d+$", out, re.M)


def test_show_function_from_a_package_module(project):
    done = run_cli("show", "module.figvault", cwd=project, console_script=True)
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert "Function   plot(x, y=2)" in out
    assert re.search(r"module\s+shapes\.plots", out)
    assert re.search(r"stored\s+by reference", out)
    assert re.search(r"source\s+\./shapes/plots\.py, line 4", out)
    assert re.search(r"^\s+x\s+list\s+\[1, 2\]$", out, re.M)
    assert re.search(r"Imported on load\s+shapes\.plots$", out, re.M)


def test_show_json(project):
    done = run_cli("show", "local.figvault", "--json", cwd=project)
    assert done.returncode == 0, done.stderr
    data = json.loads(done.stdout)
    assert set(data) >= {"archive", "size", "function", "args", "files", "globals"}
    assert data["archive"] == "local.figvault"
    assert data["size"] == (project / "local.figvault").stat().st_size
    function = data["function"]
    assert {k: function[k] for k in ("name", "qualname", "module", "stored", "kind")} == {
        "name": "local",
        "qualname": "local",
        "module": "__main__",
        "stored": "by value",
        "kind": "function",
    }
    assert function["parameters"] == ["a", "b", "c=3"]
    assert function["source_file"] == "./make.py"
    assert function["source_line"] == 6
    assert data["args"] == [
        {"name": "a", "type": "int", "value": "1"},
        {"name": "b", "type": "str", "value": "'two'"},
    ]
    files = {f["path"]: f for f in data["files"]}
    assert set(files) == {"./make.py", "./shapes/__init__.py", "./shapes/plots.py"}
    for path, entry in files.items():
        assert set(entry) == {"path", "bytes", "lines"}
    assert files["./shapes/plots.py"] == {
        "path": "./shapes/plots.py",
        "bytes": len(PLOTS_ARCHIVED.encode("utf-8")),
        "lines": PLOTS_ARCHIVED.count("\n"),
    }
    assert "dill._dill._create_function" in data["globals"]


def test_show_reads_without_importing_the_project(project, empty):
    # The package named by the archive is not importable from here, and
    # show does not need it.
    shutil.copy(project / "module.figvault", empty)
    done = run_cli("show", "module.figvault", "--json", cwd=empty)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["function"]["module"] == "shapes.plots"


# ---------------------------------------------------------------------------
# show on a crafted archive runs nothing
# ---------------------------------------------------------------------------


class _RunsCommand:
    def __init__(self, command):
        self.command = command

    def __reduce__(self):
        return (os.system, (self.command,))


class _RunsPython:
    def __init__(self, source):
        self.source = source

    def __reduce__(self):
        return (exec, (self.source,))


TRAP_MODULE = "import pathlib\npathlib.Path('imported.marker').touch()\ndef boom(*a):\n    pass\n"


@pytest.mark.parametrize("as_json", [False, True], ids=["text", "json"])
def test_show_runs_nothing_from_a_crafted_archive(tmp_path, as_json):
    marker = tmp_path / "ran.marker"
    record = {
        "args": {"x": _RunsCommand(f"touch {marker}"), "y": [1, _RunsPython(f"open({str(marker)!r}, 'w').close()")]},
        "files": {"./a.py": "print('hi')\n"},
        "func": _RunsPython(f"open({str(marker)!r}, 'w').close()"),
    }
    (tmp_path / "evil.figvault").write_bytes(pickle.dumps(record))
    # `python -m` puts the working directory on sys.path, so this module
    # would be imported by an ordinary load of the archive.
    (tmp_path / "fvtrapmod.py").write_text(TRAP_MODULE, encoding="utf-8")
    # {"files": {}, "func": fvtrapmod.boom("x")}, written by hand (protocol 0).
    (tmp_path / "trap.figvault").write_bytes(b"(dS'files'\n(dsS'func'\ncfvtrapmod\nboom\n(S'x'\ntRs.")
    extra = ["--json"] if as_json else []
    for name in ("evil.figvault", "trap.figvault"):
        done = run_cli("show", name, *extra, cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        assert done.stderr == ""
        assert not marker.exists()
        assert not (tmp_path / "imported.marker").exists()
        if as_json:
            data = json.loads(done.stdout)
            if name == "evil.figvault":
                assert data["args"][0]["type"] == "object made by posix.system"
                assert data["function"]["kind"] == "object made by builtins.exec"
                assert set(data["globals"]) == {"posix.system", "builtins.exec"}
            else:
                assert data["globals"] == ["fvtrapmod.boom"]
        else:
            if name == "evil.figvault":
                assert "posix.system" in done.stdout
                assert re.search(r"Imported on load\s+posix, builtins", done.stdout)
            else:
                assert "fvtrapmod" in done.stdout


def test_crafted_stream_that_is_not_a_record(tmp_path):
    marker = tmp_path / "ran.marker"
    (tmp_path / "evil.figvault").write_bytes(pickle.dumps(_RunsCommand(f"touch {marker}")))
    done = run_cli("show", "evil.figvault", cwd=tmp_path)
    one_error_line(done, "'evil.figvault' is not a figvault archive", "not an archive record")
    done = run_cli("expand", "evil.figvault", cwd=tmp_path)
    one_error_line(done, "not an archive record")
    assert not marker.exists()


# ---------------------------------------------------------------------------
# Errors
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("command", ["show", "expand"])
def test_missing_file(command, tmp_path):
    done = run_cli(command, "nowhere.figvault", cwd=tmp_path)
    assert one_error_line(done) == "figvault: error: cannot open 'nowhere.figvault': no such file"


@pytest.mark.parametrize("command", ["show", "expand"])
@pytest.mark.parametrize(
    "content",
    [b"", b"just some text\n", b"\x80\x04\x95\x10\x00\x00"],
    ids=["empty", "text", "truncated"],
)
def test_not_an_archive(command, content, tmp_path):
    (tmp_path / "bad.figvault").write_bytes(content)
    done = run_cli(command, "bad.figvault", cwd=tmp_path)
    one_error_line(done, "'bad.figvault' is not a figvault archive")


@pytest.mark.parametrize("command", ["show", "expand"])
def test_record_missing_keys(command, tmp_path):
    (tmp_path / "keys.figvault").write_bytes(pickle.dumps({"args": {}, "files": {}}))
    done = run_cli(command, "keys.figvault", cwd=tmp_path)
    one_error_line(done, "the archive record has no 'func' entry")


def test_directory_instead_of_a_file(tmp_path):
    (tmp_path / "folder.figvault").mkdir()
    one_error_line(run_cli("show", "folder.figvault", cwd=tmp_path), "it is a directory")


def test_expand_into_an_existing_folder(project, tmp_path):
    shutil.copy(project / "local.figvault", tmp_path)
    (tmp_path / "there").mkdir()
    done = run_cli("expand", "local.figvault", "--folder", "there", cwd=tmp_path)
    assert one_error_line(done) == "figvault: error: the folder 'there' exists already"
    assert done.stdout == ""  # the saved function did not run
    assert list((tmp_path / "there").iterdir()) == []


# ---------------------------------------------------------------------------
# expand
# ---------------------------------------------------------------------------


def test_expand_a_script_function_with_the_console_script(project, empty):
    shutil.copy(project / "local.figvault", empty)
    done = run_cli("expand", "local.figvault", "--folder", "restored", cwd=empty, console_script=True)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    # The sources are restored first; then the function runs. c was passed
    # by keyword, so it is not archived and takes its default; np resolves
    # through the script's own import statements.
    assert sorted(lines[:3]) == ["./make.py", "shapes/__init__.py", "shapes/plots.py"]
    assert lines[3:] == ["local called 1 two 3 7"]
    restored = empty / "restored"
    assert (restored / "make.py").read_text(encoding="utf-8") == MAKE
    assert (restored / "shapes" / "plots.py").read_text(encoding="utf-8") == PLOTS_ARCHIVED


def test_expand_without_folder_writes_nothing(project, empty):
    shutil.copy(project / "local.figvault", empty)
    done = run_cli("expand", "local.figvault", cwd=empty)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "local called 1 two 3 7\n"
    assert done.stderr == "replayed local(a, b, c) from local.figvault\n"
    assert sorted(p.name for p in empty.iterdir()) == ["local.figvault"]


def test_package_function_needs_its_module(project, empty):
    # The compiled expand alone cannot load it in an empty folder ...
    shutil.copy(project / "module.figvault", empty)
    done = subprocess.run(
        [sys.executable, "-c", "from figvault.src.unarchive import expand; expand('module.figvault')"],
        cwd=empty,
        env=child_environment(),
        capture_output=True,
        text=True,
    )
    assert done.returncode != 0
    assert "No module named 'shapes'" in done.stderr


def test_expand_a_package_function_in_an_empty_folder(project, empty):
    # ... while the command line serves the package from the archive.
    shutil.copy(project / "module.figvault", empty)
    done = run_cli("expand", "module.figvault", "--folder", "src", cwd=empty)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[-1] == "plot archived shapes.plots 9"
    assert (empty / "src" / "shapes" / "plots.py").read_text(encoding="utf-8") == PLOTS_ARCHIVED
    # Nothing but the restored folder was written.
    assert sorted(p.name for p in empty.iterdir()) == ["module.figvault", "src"]


def test_expand_uses_the_archived_source_over_the_current_one(project):
    # In the project the package has changed since, and `python -m` puts the
    # project on sys.path: the archived version still wins.
    done = run_cli("expand", "module.figvault", cwd=project)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "plot archived shapes.plots 9\n"


def test_expand_when_the_saved_function_fails(project, empty):
    shutil.copy(project / "fragile.figvault", empty)
    done = run_cli("expand", "fragile.figvault", "--folder", "out", cwd=empty)
    assert done.returncode == 1
    lines = done.stderr.splitlines()
    assert lines[0] == "Traceback (most recent call last):"
    assert "in fragile" in done.stderr
    assert lines[-1].startswith("figvault: error: expanding 'fragile.figvault' failed: FileNotFoundError: ")
    # The sources were restored before the function ran, and the error says so.
    assert lines[-1].endswith(f"; the sources were restored into {str(empty / 'out')!r}")
    assert (empty / "out" / "make.py").read_text(encoding="utf-8") == MAKE
    assert sorted(done.stdout.splitlines()) == ["./make.py", "shapes/__init__.py", "shapes/plots.py"]

    (empty / "data.txt").write_text("replayed data", encoding="utf-8")
    done = run_cli("expand", "fragile.figvault", cwd=empty)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "replayed data\n"
