"""Archives that travel between Python versions: which version saved the
code, a replay that never runs another version's bytecode (the function is
rebuilt from the archived sources, or the replay is refused in one line),
and show and diff naming the version.

Most tests run in this process and make it pass for another version (the
version that the saved bytecode is compared with), so that the rebuilding
path runs everywhere. The last ones archive and replay with real
interpreters of the other versions, listed in FIGVAULT_TEST_PYTHONS.
"""

import functools
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import dill
import pytest
from commands import run_cli
from processes import Job, run_all
from support import child_environment

import figvault
from figvault import cli
from figvault.reader import code_version, read_record, saved_python, walk
from figvault.reader.code_version import RUNNING_PYTHON, bytecode_versions
from figvault.replay import Replay

SCRIPTS = Path(__file__).resolve().parent / "scripts"

# A version this interpreter pretends to be: the saved bytecode is foreign to it.
ELSEWHERE = "3.99"

SCRIPT = '''\
import json
import random

from figvault import archive

SCALE = 3


def double(n):
    return 2 * n


HANDLERS = {"double": double}
DATA = [random.random() for _ in range(3)]


class Shape:
    def __init__(self, sides):
        self.sides = sides

    def area(self):
        return self.sides * SCALE


def lookup(name):
    return eval(name)


@archive("plot.figvault")
def plot(n, label):
    return [HANDLERS["double"](n), Shape(n).area(), json.dumps(label), DATA, lookup("DATA"), globals()["SCALE"]]


RESULT = plot(4, "four")
'''


def run_script(folder, source, name="plot.py"):
    """Runs `source` as the script folder/name (in a namespace named
    __main__, with folder as the working directory, as `python name` would);
    returns its namespace."""
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / name
    path.write_text(source, encoding="utf-8")
    here = os.getcwd()
    os.chdir(folder)
    try:
        namespace = {"__name__": "__main__", "__file__": str(path)}
        exec(compile(source, str(path), "exec"), namespace)
    finally:
        os.chdir(here)
    return namespace


@pytest.fixture
def elsewhere(monkeypatch):
    """This interpreter passes for another Python version."""
    monkeypatch.setattr(code_version, "RUNNING_PYTHON", ELSEWHERE)


def saved_by(path):
    record, _ = read_record(path)
    return saved_python(walk(record["func"]).nodes)


# ---------------------------------------------------------------------------
# Which version saved the code
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("module", ["argparse", "asyncio.tasks", "dataclasses", "json.decoder"])
def test_bytecode_of_this_interpreter_is_its_own(module):
    # Every code object compiled here (generators, coroutines, closures,
    # comprehensions, long jumps) parses with this version's table.
    spec = __import__("importlib.util").util.find_spec(module)
    source = Path(spec.origin).read_text(encoding="utf-8")
    stack = [compile(source, spec.origin, "exec")]
    while stack:
        code = stack.pop()
        assert RUNNING_PYTHON in bytecode_versions(code.co_code), code.co_qualname
        stack.extend(c for c in code.co_consts if hasattr(c, "co_code"))


@pytest.mark.parametrize("code", [b"", b"\x97", b"\xff\x00" * 4, b"\x00\x00\x97\x00"])
def test_bytecode_of_no_version(code):
    assert bytecode_versions(code) == frozenset()


def test_archives_tell_the_version_that_saved_their_code(tmp_path):
    run_script(tmp_path / "script", SCRIPT)
    by_value = saved_by(tmp_path / "script" / "plot.figvault")
    assert (by_value.versions, by_value.text, by_value.runs_here) == ((RUNNING_PYTHON,), RUNNING_PYTHON, True)
    # A function stored by reference brings no code: any version runs it.
    with open(tmp_path / "ref.figvault", "wb") as file:
        dill.dump({"args": {}, "files": {}, "func": json.dumps}, file)
    by_reference = saved_by(tmp_path / "ref.figvault")
    assert (by_reference.text, by_reference.runs_here) == (None, True)


# ---------------------------------------------------------------------------
# Rebuilding from the archived sources
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("folder", [None, "restored"])
def test_code_of_another_version_is_rebuilt_from_the_sources(tmp_path, workdir, elsewhere, folder, capsys):
    original = run_script(tmp_path / "script", SCRIPT)["RESULT"]
    replay = Replay(tmp_path / "script" / "plot.figvault", folder)
    result = replay.expand()
    assert replay.rebuilds and replay.rebuilt_from == "./plot.py"
    # The function, its helper, its class and its dispatch table come from
    # the archived script; the saved data (DATA) from the archive, shared
    # by every function; nothing of the saved bytecode ran.
    assert result == original
    assert result[3] is result[4]
    assert replay.called.__code__.co_filename == f"{tmp_path / 'script' / 'plot.figvault'}/plot.py"
    capsys.readouterr()


def test_saved_code_that_is_not_rebuilt_never_runs(tmp_path, workdir, elsewhere):
    # The function is rebuilt from ./plot.py; a function among its arguments
    # is in no source: it is loaded with inert code, which raises.
    source = "def plot(f):\n    return f(1)\n"
    record = {
        "args": {"f": _exec_function("f = lambda n: str(n)\n", "f", "/p/plot.py")},
        "files": {"./plot.py": source},
        "func": _exec_function(source, "plot", "/p/plot.py"),
    }
    with open(tmp_path / "a.figvault", "wb") as file:
        dill.dump(record, file)
    with pytest.raises(RuntimeError, match=rf"^<lambda>: its code was saved by Python {RUNNING_PYTHON} and cannot run on Python {ELSEWHERE} "):
        figvault.expand(tmp_path / "a.figvault")


def _exec_function(source, name, filename, module="__main__"):
    namespace = {"__name__": module}
    exec(compile(textwrap.dedent(source), filename, "exec"), namespace)
    return namespace[name]


def _nested():
    def plot(png_path):
        return png_path

    return plot


@pytest.mark.parametrize(
    "func, files, reason",
    [
        (lambda: _exec_function("plot = lambda n: str(n)\n", "plot", "/p/plot.py"), {"./plot.py": "plot = lambda n: str(n)\n"},
         "<lambda> cannot be rebuilt from the archived sources: it is a lambda"),
        (lambda: _exec_function("def plot(n):\n    return str(n)\n", "plot", "<string>"), {},
         "plot cannot be rebuilt from the archived sources: its code was made at run time (<string>)"),
        (lambda: _exec_function("def plot(n):\n    return str(n)\n", "plot", "/p/plot.py"), {"./other.py": "X = 1\n"},
         "plot cannot be rebuilt from the archived sources: its source /p/plot.py is not in the archive"),
        (lambda: _exec_function("def plot(n):\n    return str(n)\n", "plot", "/p/plot.py"), {"./plot.py": "X = 1\n"},
         "plot cannot be rebuilt from the archived sources: ./plot.py does not define it"),
        (lambda: _exec_function("def plot(n):\n    return str(n)\n", "plot", "/p/plot.py", module="fvnowhere"), {},
         "plot cannot be rebuilt from the archived sources: its module fvnowhere is not in the archive"),
        (lambda: functools.partial(_exec_function("def plot(n):\n    return str(n)\n", "plot", "/p/plot.py"), 1),
         {"./plot.py": "def plot(n):\n    return str(n)\n"},
         "cannot be rebuilt from the archived sources: the saved object is not a function but a PartialType"),
    ],
    ids=["lambda", "run time", "no source", "not defined", "no module", "partial"],
)
def test_what_cannot_be_rebuilt_is_refused_in_one_line(tmp_path, elsewhere, capsys, func, files, reason):
    marker = tmp_path / "ran"
    files = {**files, "./marker.py": f"open({str(marker)!r}, 'w').close()\n"}
    with open(tmp_path / "a.figvault", "wb") as file:
        dill.dump({"args": {"n": 1}, "files": files, "func": func()}, file)
    status = cli.main(["expand", str(tmp_path / "a.figvault"), "--folder", str(tmp_path / "out")])
    captured = capsys.readouterr()
    assert status == 1 and captured.out == ""
    [line] = captured.err.splitlines()
    assert line.startswith(
        f"figvault: error: cannot replay {str(tmp_path / 'a.figvault')!r} on Python {ELSEWHERE}: "
        f"its code was saved by Python {RUNNING_PYTHON}, and "
    )
    assert line.endswith(reason)
    assert not (tmp_path / "out").exists() and not marker.exists()


def test_a_module_of_the_archive_that_another_one_shadows_is_refused(tmp_path, elsewhere, capsys):
    # The archive holds its own colorsys.py; the standard library's comes first.
    source = "def rgb_to_hsv(r, g, b):\n    return 'archived'\n"
    func = _exec_function(source, "rgb_to_hsv", "/p/colorsys.py", module="colorsys")
    with open(tmp_path / "a.figvault", "wb") as file:
        dill.dump({"args": {"r": 1, "g": 0, "b": 0}, "files": {"./colorsys.py": source}, "func": func}, file)
    assert cli.main(["expand", str(tmp_path / "a.figvault")]) == 1
    captured = capsys.readouterr()
    assert captured.out == ""
    [line] = captured.err.splitlines()
    assert line.startswith(f"figvault: error: cannot replay {str(tmp_path / 'a.figvault')!r} on Python {ELSEWHERE}: ")
    assert line.endswith(
        "rgb_to_hsv cannot be rebuilt from the archived sources: another module named colorsys was imported in "
        "place of the archived one"
    )


def test_show_does_not_check_code_of_another_version(tmp_path, elsewhere, capsys):
    run_script(tmp_path / "script", SCRIPT)
    assert cli.main(["show", str(tmp_path / "script" / "plot.figvault")]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert f"  saved by  Python {RUNNING_PYTHON}" in lines
    assert f"  code      not checked: the code was saved by Python {RUNNING_PYTHON} and this is Python {ELSEWHERE}" in lines
    assert not any(line.startswith("Warnings") for line in lines)
    assert "Source     ./plot.py, lines 29-31" in lines  # its lines are still shown


# ---------------------------------------------------------------------------
# Real interpreters of the other versions
# ---------------------------------------------------------------------------

# Interpreters of other versions (paths separated by os.pathsep), each with
# figvault, numpy, matplotlib and dill installed; the same numpy and
# matplotlib versions as here give byte-identical figures.
PYTHONS_VARIABLE = "FIGVAULT_TEST_PYTHONS"
ASK_VERSIONS = (
    "import json, sys, dill, matplotlib, numpy, figvault.src.archive; print(json.dumps(['%d.%d' % sys.version_info[:2], "
    "numpy.__version__, matplotlib.__version__, dill.__version__]))"
)
CROSS_SCRIPTS = ["damped_waves.py", "date_locators.py"]
LAMBDA_SCRIPT = '''\
import matplotlib

matplotlib.use("Agg")
from figvault import archive

plot = archive("lambda.figvault")(lambda png_path: png_path.upper())
plot("figure.png")
'''


def _interpreters():
    """{version: interpreter} of this one and of every usable one listed in
    FIGVAULT_TEST_PYTHONS; the reason to skip when there is no other."""
    import matplotlib
    import numpy

    wanted = (numpy.__version__, matplotlib.__version__, dill.__version__)
    found = {RUNNING_PYTHON: sys.executable}
    reasons = []
    for python in filter(None, os.environ.get(PYTHONS_VARIABLE, "").split(os.pathsep)):
        done = subprocess.run([python, "-P", "-c", ASK_VERSIONS], capture_output=True, text=True, env=child_environment(python=python))
        if done.returncode != 0:
            reasons.append(f"{python} cannot import figvault, numpy, matplotlib and dill")
            continue
        version, *packages = json.loads(done.stdout)
        if tuple(packages) != wanted:
            reasons.append(f"{python} has numpy, matplotlib, dill {packages}, not {list(wanted)}")
        elif version not in found:
            found[version] = python
    if len(found) == 1:
        reasons.append(f"{PYTHONS_VARIABLE} names no interpreter of another Python version")
    return found, "; ".join(reasons)


@pytest.fixture(scope="module")
def travelled(tmp_path_factory):
    """Natural-style scripts archived by every interpreter, each archive
    replayed by every interpreter from an empty folder; and a lambda
    archived by every other interpreter."""
    interpreters, reason = _interpreters()
    if len(interpreters) == 1 and not os.environ.get(PYTHONS_VARIABLE):
        pytest.skip(reason)
    # Interpreters that were asked for must be usable.
    assert len(interpreters) > 1 and "cannot" not in reason and "not [" not in reason, reason
    root = tmp_path_factory.mktemp("versions")
    archiving, archives = [], {}
    for version, python in interpreters.items():
        for script in CROSS_SCRIPTS:
            project = root / version / Path(script).stem
            project.mkdir(parents=True)
            (project / script).write_text((SCRIPTS / script).read_text(encoding="utf-8"), encoding="utf-8")
            archiving.append(Job([script], cwd=project, python=python))
            archives[version, script] = project
        if version != RUNNING_PYTHON:
            project = root / version / "lambda"
            project.mkdir()
            (project / "lambda_plot.py").write_text(LAMBDA_SCRIPT, encoding="utf-8")
            archiving.append(Job(["lambda_plot.py"], cwd=project, python=python))
    run_all(archiving)
    for job in archiving:
        job.check()
    replays = {}
    for (saved, script), project in archives.items():
        for version, python in interpreters.items():
            job = Job(["-m", "figvault", "expand", project / "figure.figvault", "--folder", "restored"],
                      cwd=root / "replays" / saved / version / Path(script).stem, python=python)
            replays[saved, version, script] = job
    run_all(replays.values())
    return root, interpreters, archives, replays


def test_archives_replay_byte_identically_on_every_version(travelled):
    root, interpreters, archives, replays = travelled
    for (saved, version, script), job in replays.items():
        done = job.check()
        project = archives[saved, script]
        assert (job.cwd / "figure.png").read_bytes() == (project / "figure.png").read_bytes(), (saved, version, script)
        note = "replayed plot(png_path, "
        assert done.stderr.startswith(note), done.stderr
        rebuilt = f"(its code was saved by Python {saved}; rebuilt from ./{script})"
        assert done.stderr.rstrip().endswith(rebuilt) == (saved != version), done.stderr


def test_archives_of_other_versions_are_named_and_not_checked(travelled):
    root, interpreters, archives, _ = travelled
    here = archives[RUNNING_PYTHON, "damped_waves.py"] / "figure.figvault"
    for version in interpreters:
        if version == RUNNING_PYTHON:
            continue
        there = archives[version, "damped_waves.py"] / "figure.figvault"
        shown = run_cli("show", there, cwd=root)
        assert shown.returncode == 0, shown.stderr
        assert f"  saved by  Python {version}" in shown.stdout.splitlines()
        assert f"not checked: the code was saved by Python {version} and this is Python {RUNNING_PYTHON}" in shown.stdout
        assert "DOES NOT come from" not in shown.stdout and "Warnings" not in shown.stdout
        compared = run_cli("diff", here, there, cwd=root)
        assert compared.returncode == 0, compared.stderr
        assert f"  saved by  Python {RUNNING_PYTHON} -> Python {version}" in compared.stdout.splitlines()
        assert "  code      cannot be compared" in compared.stdout.splitlines()


def test_a_foreign_lambda_is_refused_in_one_line(travelled):
    root, interpreters, _, _ = travelled
    for version in interpreters:
        if version == RUNNING_PYTHON:
            continue
        archive = root / version / "lambda" / "lambda.figvault"
        done = run_cli("expand", archive, "--folder", "out", cwd=root)
        assert done.returncode == 1 and done.stdout == ""
        assert done.stderr.splitlines() == [
            f"figvault: error: cannot replay {str(archive)!r} on Python {RUNNING_PYTHON}: its code was saved by "
            f"Python {version}, and <lambda> cannot be rebuilt from the archived sources: it is a lambda"
        ]
        assert not (root / "out").exists()


# 3.12's bytecode of `return (*a, *b)`: every opcode, cache and jump of it
# reads as 3.11 bytecode too, where it means a loop that never ends (put in
# place of the code of a function that prints the same tuple).
STARRED_312 = b"\x97\x00g\x00|\x00\xa2\x01|\x01\xa2\x01\xad\x06S\x00"
STARRED_SCRIPT = '''\
from figvault import archive


@archive("starred.figvault")
def join(a, b):
    print((*a, *b))


join([1], [2])
'''


class _CodeReplacing(dill.Pickler):
    """Dumps the code of the function `name` with the bytecode `code`."""

    def __init__(self, file, name, code):
        super().__init__(file, recurse=True)
        self.name, self.code = name, code

    def save(self, obj, save_persistent_id=True):
        if type(obj) is type(_nested.__code__) and obj.co_name == self.name:
            fields = [getattr(obj, field) for field in CODE_FIELDS]
            fields[7] = self.code
            return self.save_reduce(dill._dill._create_code, tuple(fields), obj=obj)
        return super().save(obj, save_persistent_id)


# The arguments of dill's _create_code for 3.11's code objects, in order.
CODE_FIELDS = ["co_lnotab", "co_argcount", "co_posonlyargcount", "co_kwonlyargcount", "co_nlocals", "co_stacksize",
               "co_flags", "co_code", "co_consts", "co_names", "co_varnames", "co_filename", "co_name", "co_qualname",
               "co_firstlineno", "co_linetable", "co_exceptiontable", "co_freevars", "co_cellvars"]


@pytest.mark.skipif(sys.version_info[:2] != (3, 11), reason="the record is made with 3.11's code layout")
def test_bytecode_that_two_versions_read_is_rebuilt_when_it_can_be(tmp_path):
    project = tmp_path / "project"
    project.mkdir()
    (project / "join.py").write_text(STARRED_SCRIPT, encoding="utf-8")
    done = subprocess.run([sys.executable, "join.py"], cwd=project, env=child_environment(), capture_output=True,
                          text=True, timeout=120)
    assert done.stdout == "(1, 2)\n", done.stderr
    with open(project / "starred.figvault", "rb") as file:
        record = dill.load(file)
    with open(tmp_path / "ambiguous.figvault", "wb") as file:
        _CodeReplacing(file, "join", STARRED_312).dump(record)
    replayed = run_cli("expand", "ambiguous.figvault", bounded=True, cwd=tmp_path)
    assert (replayed.returncode, replayed.stdout) == (0, "(1, 2)\n"), replayed.stderr
    assert replayed.stderr == (
        "replayed join(a, b) from ambiguous.figvault (its code was saved by Python 3.11 or 3.12; rebuilt from ./join.py)\n"
    )
