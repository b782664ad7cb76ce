"""Tests of the replay for people: figvault.expand, figvault.extract, the
file-dictionary checks, the preparation of a fresh __main__, argument
binding, replay isolation, and the `expand`/`extract` commands.

Archives are made here with dill.dump of hand-made records. Saved functions
either live in small modules written to a temporary folder (stored by
reference, so the archive must serve them) or are built by exec in a
namespace of their own (stored by value).
"""

import os
import pickle
import sys
import textwrap
import uuid
import warnings

import dill
import pytest
from commands import SANITIZED, peak_memory, run_cli
from processes import PLAIN_ARCHIVE, Job, run_all

import figvault
from figvault.replay import archived_imports, main_module, plan
from figvault.replay.session import bind_arguments
from figvault.reader import LimitError, read_record
from figvault.sources import FileDictionaryError, check_file_dict

SOURCES = {
    "./plot.py": "print('plot')\n",
    "./lib/util.py": "def helper():\n    return 1\n",
    "./src/pkg/mod.py": "X = 'deep'\n",  # nothing lies directly in ./src
}
RESTORED_LINES = ["./plot.py", "lib/util.py", "src/pkg/mod.py"]


def unique(prefix):
    return f"{prefix}_{uuid.uuid4().hex[:10]}"


def by_value(source, name, module=None):
    """A function built by exec in a namespace of its own: dill stores it by
    value, with no globals but its module name (`module`, or a module that
    exists nowhere)."""
    namespace = {"__name__": module or unique("fvnowhere")}
    exec(textwrap.dedent(source), namespace)
    return namespace[name]


def write_archive(path, record):
    with open(path, "wb") as file:
        dill.dump(record, file)
    return path


@pytest.fixture
def module_maker(tmp_path, monkeypatch):
    """Returns a function writing an importable module (name -> source) into
    a folder on sys.path, importing it, and then making it unimportable
    again, as it is in a fresh process elsewhere. Yields the imported module."""
    folder = tmp_path / "modules"
    folder.mkdir()
    made = []

    def make(name, source):
        (folder / f"{name}.py").write_text(textwrap.dedent(source), encoding="utf-8")
        sys.path.insert(0, str(folder))
        try:
            module = __import__(name)
        finally:
            sys.path.remove(str(folder))
        made.append(name)
        return module

    yield make
    for name in made:
        sys.modules.pop(name, None)


def forget(*names):
    for name in names:
        sys.modules.pop(name, None)


# ---------------------------------------------------------------------------
# The file dictionary
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "files, fragment",
    [
        ([("./a.py", "x")], "not a dict but list"),
        ({5: "x"}, "a file key is not str but int"),
        ({b"./a.py": "x"}, "a file key is not str but bytes"),
        ({"./a.py": b"x"}, "the text of './a.py' is not str but bytes"),
        ({"./a.py": None}, "is not str but NoneType"),
        ({"./a\0.py": "x"}, "holds a NUL character"),
        ({"./a.py": "x\0y"}, "the text of './a.py' holds a NUL character"),
        ({"/etc/a.py": "x"}, "is absolute"),
        ({"../a.py": "x"}, "leads out of the folder"),
        ({"./b/../../a.py": "x"}, "leads out of the folder"),
        ({"./b/..": "x"}, "does not name a file"),
        ({"./b/": "x"}, "does not name a file"),
        ({"": "x"}, "does not name a file"),
        ({"./a.py": "1", "a.py": "2"}, "'./a.py' and 'a.py' name the same file"),
        ({"./a.py": "1", "./b/../a.py": "2"}, "name the same file"),
        ({"./x//a.py": "1", "x/./a.py": "2"}, "name the same file"),
        ({"./a.py": "1", "./a.py/b.py": "2"}, "'./a.py' names a file where './a.py/b.py' needs a folder"),
        ({"./d/e/f.py": "1", "./d/e": "2"}, "'./d/e' names a file where './d/e/f.py' needs a folder"),
        ({"./" + "a" * 5000 + ".py": "x"}, "longer than 4096 bytes"),
    ],
)
def test_unsafe_file_dictionaries_are_refused_before_anything_is_made(tmp_path, files, fragment, capsys):
    with pytest.raises(FileDictionaryError) as caught:
        check_file_dict(files)
    assert fragment in str(caught.value)
    # Through the replay and extract: refused before the folder is made and
    # before anything is loaded (the saved function would leave a marker).
    marker = tmp_path / "ran"
    func = by_value(f"def plot():\n    open({str(marker)!r}, 'w').close()\n", "plot")
    archive = write_archive(tmp_path / "a.figvault", {"args": {}, "files": files, "func": func})
    for replay_function in (figvault.expand, figvault.extract):
        with pytest.raises(FileDictionaryError):
            replay_function(archive, tmp_path / "restored")
        assert not (tmp_path / "restored").exists()
    assert not marker.exists()
    assert capsys.readouterr().out == ""


def test_keys_are_normalised_for_writing(tmp_path, listing):
    files = {"./x//a.py": "A", "./b/../c.py": "C", "d/./e.py": "E"}
    folder = figvault.extract(write_archive(tmp_path / "a.figvault", {"files": files, "func": len}), tmp_path / "out")
    assert folder == str(tmp_path / "out")
    assert listing(tmp_path / "out") == ["c.py", "d/", "d/e.py", "x/", "x/a.py"]


def test_printed_paths_hold_no_control_characters(tmp_path, capsys):
    files = {"./\x1b[31mred.py": "x", "./two\nlines.py": "y"}
    folder = figvault.extract(write_archive(tmp_path / "a.figvault", {"files": files, "func": len}), tmp_path / "out")
    assert capsys.readouterr().out == "./\\x1b[31mred.py\n./two\\nlines.py\n"
    assert sorted(os.listdir(folder)) == sorted(name[2:] for name in files)


def test_restore_that_fails_removes_its_folder(tmp_path, capsys):
    # A lone surrogate cannot be written in the file-system encoding: the
    # second file fails after the first was written.
    files = {"./first.py": "ok\n", "./second.py": "bad \ud800\n"}
    marker = tmp_path / "ran"
    func = by_value(f"def plot():\n    open({str(marker)!r}, 'w').close()\n", "plot")
    archive = write_archive(tmp_path / "a.figvault", {"args": {}, "files": files, "func": func})
    with pytest.raises(UnicodeEncodeError) as caught:
        figvault.expand(archive, tmp_path / "restored")
    assert not (tmp_path / "restored").exists()
    assert any("was removed again" in note for note in caught.value.__notes__)
    assert not marker.exists()  # nothing runs after a failed restore
    capsys.readouterr()


# ---------------------------------------------------------------------------
# expand
# ---------------------------------------------------------------------------


def test_expand_restores_first_then_runs_in_the_callers_folder_and_returns(tmp_path, workdir, capsys, listing):
    func = by_value(
        """
        def plot(title, dpi=72):
            import os
            print("plot", title, dpi, sorted(os.listdir(".")))
            return {"title": title}
        """,
        "plot",
    )
    archive = write_archive(tmp_path / "a.figvault", {"args": {"title": "T"}, "files": SOURCES, "func": func})
    assert figvault.expand(archive, "restored") == {"title": "T"}
    assert capsys.readouterr().out.splitlines() == RESTORED_LINES + ["plot T 72 ['restored']"]
    assert listing(workdir / "restored") == ["lib/", "lib/util.py", "plot.py", "src/", "src/pkg/", "src/pkg/mod.py"]
    assert (workdir / "restored" / "src" / "pkg" / "mod.py").read_text() == SOURCES["./src/pkg/mod.py"]
    # Without a folder: only the replay.
    assert figvault.expand(str(archive)) == {"title": "T"}
    assert capsys.readouterr().out == "plot T 72 ['restored']\n"


def test_existing_folder_is_refused_before_anything_runs(tmp_path, workdir, capsys):
    marker = tmp_path / "ran"
    func = by_value(f"def plot():\n    open({str(marker)!r}, 'w').close()\n", "plot")
    archive = write_archive(tmp_path / "a.figvault", {"args": {}, "files": SOURCES, "func": func})
    (workdir / "there").write_text("a file", encoding="utf-8")
    with pytest.raises(FileExistsError) as caught:
        figvault.expand(archive, "there")
    assert caught.value.filename == str(workdir / "there")
    assert not marker.exists()
    assert capsys.readouterr().out == ""


def test_record_without_args_restores_and_does_not_call(tmp_path, workdir, capsys):
    marker = tmp_path / "ran"
    func = by_value(f"def plot():\n    open({str(marker)!r}, 'w').close()\n", "plot")
    archive = write_archive(tmp_path / "a.figvault", {"files": SOURCES, "func": func})
    assert figvault.expand(archive, "restored") is None
    assert not marker.exists()
    assert capsys.readouterr().out.splitlines() == RESTORED_LINES


def test_relative_folder_is_fixed_before_the_function_changes_directory(tmp_path, workdir, module_maker, capsys):
    name = unique("fvchdir")
    source = "import os\n\ndef plot(target):\n    os.chdir(target)\n    return os.getcwd()\n"
    module = module_maker(name, source)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    archive = write_archive(
        tmp_path / "a.figvault",
        {"args": {"target": str(elsewhere)}, "files": {f"./{name}.py": source}, "func": module.plot},
    )
    forget(name)
    assert figvault.expand(archive, "restored") == str(elsewhere)
    assert (workdir / "restored" / f"{name}.py").read_text() == source
    assert list(elsewhere.iterdir()) == []
    capsys.readouterr()


def test_failed_replay_leaves_the_sources_restored_and_says_so(tmp_path, workdir, capsys):
    func = by_value("def plot(path):\n    open(path, 'w')\n", "plot")
    archive = write_archive(
        tmp_path / "a.figvault", {"args": {"path": "figures/x.png"}, "files": SOURCES, "func": func}
    )
    with pytest.raises(FileNotFoundError) as caught:
        figvault.expand(archive, "restored")
    folder = str(workdir / "restored")
    assert caught.value.__notes__ == [f"figvault: the sources were restored into {folder!r} before the replay failed"]
    assert (workdir / "restored" / "lib" / "util.py").read_text() == SOURCES["./lib/util.py"]
    assert capsys.readouterr().out.splitlines() == RESTORED_LINES


def test_missing_module_fails_after_the_restore(tmp_path, workdir, module_maker, capsys):
    # The archive names a module that exists nowhere now and is not archived.
    name = unique("fvmissing")
    module = module_maker(name, "def plot():\n    pass\n")
    archive = write_archive(tmp_path / "a.figvault", {"args": {}, "files": SOURCES, "func": module.plot})
    forget(name)
    (tmp_path / "modules" / f"{name}.py").unlink()
    with pytest.raises(ModuleNotFoundError) as caught:
        figvault.expand(archive, "restored")
    assert "the sources were restored into" in caught.value.__notes__[0]
    assert (workdir / "restored" / "plot.py").is_file()
    capsys.readouterr()


# ---------------------------------------------------------------------------
# Binding the saved arguments
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "source, args, expected",
    [
        ("def f(a, b=2):\n    return a, b", {"a": 1, "b": 3}, ((), {"a": 1, "b": 3})),
        ("def f(a, b, /):\n    return a, b", {"a": 1, "b": 2}, ((1, 2), {})),
        ("def f(a, b=5, /, c=0):\n    return a, b, c", {"a": 1, "c": 3}, ((1,), {"c": 3})),
        ("def f(a=0, b=5, /):\n    return a, b", {"b": 7}, ((0, 7), {})),
        ("def f(a, *rest):\n    return a, rest", {"a": 1, "rest": (2, 3)}, ((1, 2, 3), {})),
        ("def f(a, *rest):\n    return a, rest", {"a": 1, "rest": ()}, ((), {"a": 1})),
        ("def f(a, *rest):\n    return a, rest", {"a": 1}, ((), {"a": 1})),
        ("def f(a, b=4, *rest, k=0):\n    return a, b, rest, k", {"a": 1, "rest": (9,)}, ((1, 4, 9), {})),
        ("def f(a, /, b, *more):\n    return a, b, more", {"a": 1, "b": 2, "more": (3, 4)}, ((1, 2, 3, 4), {})),
        ("def f(**kw):\n    return kw", {"x": 1}, ((), {"x": 1})),
    ],
)
def test_arguments_are_bound_by_signature(source, args, expected):
    func = by_value(source, "f")
    assert bind_arguments(func, args) == expected
    positional, keywords = bind_arguments(func, args)
    func(*positional, **keywords)  # the binding is one the function accepts


def test_binding_refusals_and_objects_without_a_signature():
    func = by_value("def f(a, *rest):\n    return a", "f")
    with pytest.raises(TypeError, match=r"no argument for 'a', which must come before \*rest"):
        bind_arguments(func, {"rest": (1, 2)})
    with pytest.raises(TypeError, match="not a dict but list"):
        bind_arguments(func, [1])
    assert bind_arguments(print, {"sep": "-"}) == ((), {"sep": "-"})


@pytest.mark.parametrize(
    "source, args, result",
    [
        ("def po(a, b, /):\n    return ('po', a, b)", {"a": 1, "b": 2}, ("po", 1, 2)),
        ("def va(a, *rest):\n    return ('va', a, rest)", {"a": 1, "rest": (2, 3)}, ("va", 1, (2, 3))),
    ],
    ids=["positional-only", "star-rest"],
)
def test_positional_only_and_star_rest_functions_replay(tmp_path, source, args, result):
    func = by_value(source, source.split("(")[0][4:])
    archive = write_archive(tmp_path / "a.figvault", {"args": args, "files": {}, "func": func})
    assert figvault.expand(archive) == result


# ---------------------------------------------------------------------------
# A fresh __main__ prepared from the archived script
# ---------------------------------------------------------------------------

SCRIPT = '''\
import json
import json as js, figvault
from figvault import archive
from figvault import archive as keep
from . import sibling
import figvault.src.archive as fva
from os.path import join

LIMIT = 3
LIMIT += 1
note: str = "annotated"
items = [json.dumps(i) for i in range(LIMIT)]
broken = json.loads("not json")
plot_later = archive("x.figvault")(len)
again = plot_later


def helper(x):
    return x * LIMIT


@keep("y.figvault")
def other():
    return "other undecorated"


@fva.archive()
class Box:
    size = 2


@archive("figure.figvault")
def plot(a):
    return helper(a)


print("an expression statement")
for i in range(3):
    LOOPED = i
if __name__ == "__main__":
    MAIN_BLOCK = True
try:
    TRIED = True
except Exception:
    pass
'''


def test_prepared_namespace_holds_the_scripts_definitions_only():
    namespace = {"__name__": "__main__"}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        main_module.prepare_namespace(namespace, [main_module.SourcePiece("/a/x.figvault/plot.py", SCRIPT)], "plot")
    names = {name for name in namespace if not name.startswith("__")}
    assert names == {"json", "js", "join", "LIMIT", "note", "items", "helper", "other", "Box"}
    assert namespace["LIMIT"] == 4
    assert namespace["items"] == ["0", "1", "2", "3"]
    assert namespace["helper"](2) == 8
    assert namespace["other"]() == "other undecorated"  # without figvault's decorator
    assert namespace["Box"].size == 2
    # The one statement that failed is a warning at its line of the archived script.
    assert [(w.category, w.filename, w.lineno) for w in caught] == [
        (figvault.ReplayWarning, "/a/x.figvault/plot.py", 13)
    ]
    assert str(caught[0].message).startswith("skipped while preparing the replay: JSONDecodeError: Expecting value")


@pytest.mark.parametrize(
    "future, annotation",
    [("", int), ("from __future__ import annotations\n", "int")],
    ids=["plain", "postponed"],
)
def test_prepared_statements_follow_the_scripts_own_future_imports(future, annotation):
    namespace = {"__name__": "__main__"}
    source = future + "def helper(x: int):\n    return x\n\nclass Box:\n    size: int = 2\n"
    main_module.prepare_namespace(namespace, [main_module.SourcePiece("<script>", source)], None)
    assert namespace["helper"].__annotations__ == {"x": annotation}
    assert namespace["Box"].__annotations__ == {"size": annotation}


# ---------------------------------------------------------------------------
# Replay isolation
# ---------------------------------------------------------------------------


def test_archived_modules_are_served_over_todays_edits_and_put_back(tmp_path, workdir, module_maker, capsys):
    name = unique("fvproject")
    archived = "VERSION = 'archived'\n\ndef plot():\n    return VERSION, __file__\n"
    module = module_maker(name, archived)
    archive = write_archive(tmp_path / "a.figvault", {"args": {}, "files": {f"./{name}.py": archived}, "func": module.plot})
    forget(name)
    # Today's edit is imported in this process already, as in the project folder.
    today = module_maker(name, archived.replace("'archived'", "'today'"))
    assert today.VERSION == "today"
    assert figvault.expand(archive) == ("archived", f"{tmp_path / 'a.figvault'}/{name}.py")
    assert sys.modules[name] is today
    capsys.readouterr()


# Pure-Python standard modules that a test process has rarely imported.
RARE_STANDARD_MODULES = ["tabnanny", "netrc", "sched", "colorsys", "plistlib", "wave", "calendar"]


def test_standard_library_modules_are_never_served(tmp_path, workdir):
    name = next((n for n in RARE_STANDARD_MODULES if n not in sys.modules), None)
    if name is None:
        pytest.skip("every candidate standard module is imported already")
    # A function of `python -c`: the archive's top folder was sys.path[0],
    # so an archived name.py there would come first, were it not standard.
    func = by_value(f"def plot():\n    import {name}\n    return {name}.__file__\n", "plot", module="__main__")
    files = {f"./{name}.py": "FAKE = True\n"}
    archive = write_archive(tmp_path / "a.figvault", {"args": {}, "files": files, "func": func})
    assert plan.plan_replay(files, {"module": "__main__", "filename": "<string>", "qualname": "plot"}).roots == ["."]
    found = figvault.expand(archive)
    assert os.path.dirname(found) == os.path.dirname(os.__file__)
    assert name in sys.modules  # an ordinary standard module: it stays


@pytest.mark.parametrize("fails", [False, True])
def test_archive_modules_never_stay_ordinary_ones_may(tmp_path, workdir, monkeypatch, fails):
    served, plugin, plain = unique("fvserved"), unique("fvplugin"), unique("fvplain")
    installed = tmp_path / "installed"
    installed.mkdir()
    # An installed module that imports a module of the project (served from
    # the archive) keeps a reference to it; one that does not is ordinary.
    (installed / f"{plugin}.py").write_text(f"import {served}\n", encoding="utf-8")
    (installed / f"{plain}.py").write_text("VALUE = 1\n", encoding="utf-8")
    monkeypatch.syspath_prepend(str(installed))
    ending = "raise ValueError(X)" if fails else "return X"
    func = by_value(f"def plot():\n    import {served}, {plugin}, {plain}\n    from {served} import X\n    {ending}\n", "plot")
    archive = write_archive(
        tmp_path / "a.figvault", {"args": {}, "files": {f"./{served}.py": "X = 'served'\n"}, "func": func}
    )
    before = dict(sys.modules)
    if fails:
        with pytest.raises(ValueError, match="served"):
            figvault.expand(archive)
    else:
        assert figvault.expand(archive) == "served"
    assert served not in sys.modules
    assert plugin not in sys.modules
    assert plain in sys.modules  # ordinary modules imported by the replay stay
    assert all(sys.modules.get(name) is module for name, module in before.items())
    forget(plain)


# Module-level names through eval() and globals(): DATA is saved with the
# function, OTHER and json are not; the log tells which statements the
# replay ran to prepare __main__ (in the replay's working directory).
NAMES_SCRIPT = """\
import json
import random

from figvault import archive

LOG = "prepared.log"


def noted(name):
    with open(LOG, "a") as log:
        log.write(name + "\\n")
    return [random.random() for _ in range(3)]


DATA = noted("DATA")
OTHER = noted("OTHER")


def lookup(name):
    return eval(name)


@archive("names.figvault")
def plot(n):
    return [DATA, lookup("DATA"), globals()["json"].dumps(n), lookup("OTHER")]


plot(3)
"""


@pytest.mark.parametrize("kind, prepared", [("decorated", ["OTHER"]), ("plain", ["DATA", "OTHER"])])
def test_every_function_of_a_script_finds_every_name_of_it(tmp_path, workdir, kind, prepared, capsys):
    project = tmp_path / "project"
    project.mkdir()
    (project / "names.py").write_text(NAMES_SCRIPT, encoding="utf-8")
    made = Job(["names.py"] if kind == "decorated" else ["-c", PLAIN_ARCHIVE, "names.py"], cwd=project)
    run_all([made])
    made.check()
    data, looked_up, dumped, other = figvault.expand(project / "names.figvault")
    # Every function sees the same objects: the saved ones where the archive
    # holds them, the prepared ones for the names it lacks.
    assert looked_up is data and dumped == "3" and len(other) == 3
    # A statement whose names the archive holds is not run again.
    assert (workdir / "prepared.log").read_text(encoding="utf-8").split() == prepared
    capsys.readouterr()


# A text long enough to be left in the archive file while the replay reads
# it (written a piece at a time on restore), and one that is not.
LONG_TEXT = "# é ü 😀 \r\n" * 200_000
SHORT_TEXT = "x = 1\n"


@pytest.mark.parametrize(
    "files",
    [
        {"./long.py": LONG_TEXT, "./short.py": SHORT_TEXT},
        {"./notes.ipynb": "{}" + " " * 300, "./a/b.py": SHORT_TEXT * 1000},
    ],
)
def test_texts_are_restored_as_written(tmp_path, workdir, files, capsys):
    count = by_value("def count():\n    return 1\n", "count")
    archive = write_archive(tmp_path / "a.figvault", {"args": {}, "files": files, "func": count})
    assert figvault.expand(archive, "restored") == 1
    for key, text in files.items():
        expected = tmp_path / "expected"
        with open(expected, "w") as file:
            file.write(text)
        assert (workdir / "restored" / key).read_bytes() == expected.read_bytes()
    capsys.readouterr()


def test_a_long_text_holding_nul_is_refused_before_the_folder_is_made(tmp_path, workdir):
    files = {"./a.py": "x" * 10_000 + "\0"}
    archive = write_archive(tmp_path / "a.figvault", {"args": {}, "files": files, "func": len})
    with pytest.raises(FileDictionaryError, match="holds a NUL character"):
        figvault.expand(archive, "restored")
    assert not (workdir / "restored").exists()


# How far the peak memory of `figvault expand` may rise above the same
# command's on an archive with a tiny snapshot, per byte of the archive:
# the loaded record once, and little more.
EXPAND_MEMORY_PER_BYTE = 1.5
SNAPSHOT_FILES, SNAPSHOT_FILE_BYTES = 200, 100_000
MEMORY_SCRIPT = 'from figvault import archive\n\n\n@archive("big.figvault")\ndef plot(n):\n    return n\n\n\nplot(3)\n'


@pytest.mark.skipif(SANITIZED, reason="the sanitizers' shadow memory and quarantine hide the replay's own peak")
def test_expand_holds_the_snapshot_about_once(tmp_path):
    archives = {}
    for name, files in (("small", 0), ("big", SNAPSHOT_FILES)):
        project = tmp_path / name
        project.mkdir()
        line = "value = 1  # " + "0123456789" * 6 + "\n"
        for index in range(files):
            (project / f"module_{index}.py").write_text(line * (SNAPSHOT_FILE_BYTES // len(line)), encoding="utf-8")
        (project / "make.py").write_text(MEMORY_SCRIPT, encoding="utf-8")
        made = Job(["make.py"], cwd=project)
        run_all([made])
        made.check()
        archives[name] = project / "big.figvault"
    peaks = {name: peak_memory("expand", path, cwd=tmp_path) for name, path in archives.items()}
    size = archives["big"].stat().st_size
    assert size > SNAPSHOT_FILES * SNAPSHOT_FILE_BYTES * 0.9
    assert peaks["big"] - peaks["small"] < EXPAND_MEMORY_PER_BYTE * size, (peaks, size)


def test_module_of_the_script_folder_comes_first(tmp_path, workdir, monkeypatch):
    helper = unique("fvhelper")
    installed = tmp_path / "installed"
    installed.mkdir()
    (installed / f"{helper}.py").write_text("WHERE = 'installed'\n", encoding="utf-8")
    monkeypatch.syspath_prepend(str(installed))
    # The saved function came from ./scripts/run.py: its folder was sys.path[0].
    func = by_value(f"def plot():\n    import {helper}\n    return {helper}.WHERE\n", "plot")
    files = {"./scripts/run.py": "", f"./scripts/{helper}.py": "WHERE = 'scripts'\n"}
    function = {"module": "__main__", "filename": "/home/u/project/scripts/run.py", "qualname": "plot"}
    planned = plan.plan_replay(files, function)
    assert planned.roots == ["./scripts"] and planned.script == "./scripts/run.py"
    with archived_imports.archived_modules(files, str(tmp_path / "a.figvault"), planned.roots):
        assert func() == "scripts"
    # Elsewhere in the archive, it is only a fallback to what is installed.
    with archived_imports.archived_modules(files, str(tmp_path / "a.figvault"), ["."]):
        assert func() == "installed"
    forget(helper)


# ---------------------------------------------------------------------------
# The command line
# ---------------------------------------------------------------------------


class _RunsCode:
    def __init__(self, source):
        self.source = source

    def __reduce__(self):
        return (exec, (self.source,))


def crafted_archive(path, marker):
    """An archive whose loading would run code, with real sources."""
    runs = f"open({str(marker)!r}, 'w').close()"
    record = {"args": {"x": _RunsCode(runs)}, "files": dict(SOURCES), "func": _RunsCode(runs)}
    path.write_bytes(pickle.dumps(record))
    return path


def test_extract_runs_nothing(tmp_path, workdir, capsys, listing):
    marker = tmp_path / "ran"
    archive = crafted_archive(tmp_path / "evil.figvault", marker)
    assert figvault.extract(archive, "api") == str(workdir / "api")
    assert capsys.readouterr().out.splitlines() == RESTORED_LINES
    done = run_cli("extract", archive, "--folder", "cli", cwd=workdir)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == RESTORED_LINES and done.stderr == ""
    for folder in ("api", "cli"):
        assert listing(workdir / folder) == ["lib/", "lib/util.py", "plot.py", "src/", "src/pkg/", "src/pkg/mod.py"]
    assert not marker.exists()


@pytest.mark.parametrize("command", ["expand", "extract"])
def test_a_restore_that_fails_is_one_line_naming_the_folder(tmp_path, command):
    # A lone surrogate cannot be written in the file-system encoding.
    files = {"./first.py": "ok\n", "./second.py": "bad \ud800\n"}
    write_archive(tmp_path / "a.figvault", {"args": {}, "files": files, "func": len})
    done = run_cli(command, "a.figvault", "--folder", "out", cwd=tmp_path)
    assert done.returncode == 1 and "Traceback" not in done.stderr
    assert done.stderr.splitlines() == [
        f"figvault: error: restoring the sources of 'a.figvault' into {str(tmp_path / 'out')!r} failed: "
        "'utf-8' codec can't encode character '\\ud800' in position 4: surrogates not allowed; nothing was restored"
    ]
    assert not (tmp_path / "out").exists()


def test_extract_usage(tmp_path):
    done = run_cli("extract", "--help", cwd=tmp_path)
    assert done.returncode == 0
    assert done.stdout.startswith("usage: figvault extract") and "--folder" in done.stdout
    done = run_cli("extract", "a.figvault", cwd=tmp_path)
    assert done.returncode == 2
    assert done.stderr.splitlines()[-1] == "figvault extract: error: the following arguments are required: --folder"
    done = run_cli("extract", "missing.figvault", "--folder", "out", cwd=tmp_path)
    assert done.stderr == "figvault: error: cannot open 'missing.figvault': no such file\n"
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("command", ["expand", "extract"])
@pytest.mark.parametrize(
    "files, fragment",
    [
        ({"./a.py": "1", "a.py": "2"}, "'./a.py' and 'a.py' name the same file"),
        ({"../up.py": "1"}, "leads out of the folder"),
        ({"./a.py": 5}, "is not str but int"),
    ],
)
def test_commands_refuse_unsafe_file_dictionaries(tmp_path, command, files, fragment):
    marker = tmp_path / "ran"
    record = {"args": {}, "files": files, "func": _RunsCode(f"open({str(marker)!r}, 'w').close()")}
    (tmp_path / "a.figvault").write_bytes(pickle.dumps(record))
    done = run_cli(command, "a.figvault", "--folder", "out", cwd=tmp_path)
    assert done.returncode == 1
    [line] = done.stderr.splitlines()
    assert line.startswith("figvault: error: cannot restore the sources of 'a.figvault': ")
    assert fragment in line
    assert done.stdout == ""
    assert not (tmp_path / "out").exists()
    assert not marker.exists()


def test_command_expand_reports_skipped_statements_as_warnings(tmp_path):
    project = tmp_path / "project"
    project.mkdir()
    script = textwrap.dedent(
        """\
        import json
        from figvault import archive
        CONFIG = json.load(open("config.json"))

        @archive("figure.figvault")
        def plot(n):
            print("replayed", n, json.dumps(n))

        plot(3)
        """
    )
    (project / "plot.py").write_text(script, encoding="utf-8")
    (project / "config.json").write_text("{}", encoding="utf-8")
    made = Job(["-c", PLAIN_ARCHIVE, "plot.py"], cwd=project)
    replayed = Job(["-m", "figvault", "expand", project / "figure.figvault"], cwd=tmp_path / "empty")
    run_all([made])
    made.check()
    run_all([replayed])
    done = replayed.check()
    assert done.stdout == "replayed 3 3\n"
    archive_path = project / "figure.figvault"
    assert done.stderr.splitlines() == [
        f"figvault: warning: {archive_path}/plot.py:3: skipped while preparing the replay: "
        "FileNotFoundError: [Errno 2] No such file or directory: 'config.json'",
        f"replayed plot(n) from {archive_path}",
    ]


def test_a_large_genuine_archive_replays_past_the_inspection_budgets(tmp_path, monkeypatch, capsys, listing):
    # More pickle operations than `show` reads: a replay loads the archive
    # anyway, so its read for the plan may cost what loading costs.
    points = [(i, i + 0.5) for i in range(300_000)]
    count = by_value("def count(points):\n    return len(points)\n", "count")
    archive = write_archive(tmp_path / "big.figvault", {"args": {"points": points}, "files": SOURCES, "func": count})
    with pytest.raises(LimitError):
        read_record(archive)
    monkeypatch.chdir(tmp_path)
    assert figvault.expand(archive, "restored") == len(points)
    # Sources only skip the arguments, whatever their size.
    figvault.extract(archive, "extracted")
    assert listing(tmp_path / "extracted") == listing(tmp_path / "restored")





@pytest.mark.parametrize(
    "statements, skipped",
    [
        # The script's command line is not archived: at the replay its parser
        # sees none (and never figvault's own arguments; its add_argument
        # call, an expression, is not run).
        (["PARSER = argparse.ArgumentParser()", "PARSER.add_argument('out')", "OUT = PARSER.parse_args().out"],
         "AttributeError: 'Namespace' object has no attribute 'out'"),
        (["STATUS = sys.exit(3) if len(sys.argv) < 2 else 0"], "SystemExit: 3"),
    ],
    ids=["argparse", "exit"],
)
def test_a_statement_that_exits_is_skipped_and_the_function_replays(tmp_path, statements, skipped):
    project = tmp_path / "project"
    project.mkdir()
    script = "\n".join(["import argparse, sys", "from figvault import archive", *statements, "",
                        '@archive("figure.figvault")', "def plot(n):", '    print("replayed", n)', "", "plot(3)", ""])
    (project / "plot.py").write_text(script, encoding="utf-8")
    made = Job(["plot.py", "figure.png"], cwd=project)
    run_all([made])
    made.check()
    done = run_cli("expand", project / "figure.figvault", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (0, "replayed 3\n"), done.stderr
    warned = [line for line in done.stderr.splitlines() if line.startswith("figvault: warning: ")]
    assert len(warned) == 1 and warned[0].endswith(f"skipped while preparing the replay: {skipped}"), done.stderr
    assert done.stderr.splitlines()[-1] == f"replayed plot(n) from {project / 'figure.figvault'}"


@pytest.mark.parametrize(
    "record, message",
    [
        ({"args": [1, 2], "files": {}, "func": len}, "the saved arguments are not a dict but list"),
        ({"args": {}, "files": {}, "func": 42}, "the saved function is not callable but int"),
    ],
    ids=["args-list", "func-int"],
)
def test_a_record_that_cannot_be_called_is_the_archives_fault(tmp_path, record, message):
    (tmp_path / "a.figvault").write_bytes(pickle.dumps(record))
    done = run_cli("expand", "a.figvault", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr.splitlines() == [f"figvault: error: 'a.figvault' is not a figvault archive: {message}"]
    with pytest.raises(TypeError, match=message):  # as the plain module function raises it
        figvault.expand(tmp_path / "a.figvault")


def test_dill_first_imported_by_a_replay_keeps_the_real_main(tmp_path):
    (tmp_path / "plot.py").write_text(
        'from figvault import archive\n\n\n@archive("a.figvault")\ndef plot(x):\n    return x\n\n\nplot(1)\n',
        encoding="utf-8",
    )
    made = Job(["plot.py"], cwd=tmp_path)
    run_all([made])
    made.check()
    child = (
        "import sys, figvault\nassert 'dill' not in sys.modules\nfigvault.expand(sys.argv[1])\n"
        "import dill._dill\nprint(dill._dill._main_module is sys.modules['__main__'])\n"
    )
    done = Job(["-c", child, tmp_path / "a.figvault"], cwd=tmp_path)
    run_all([done])
    assert done.check().stdout == "True\n"
