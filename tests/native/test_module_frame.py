"""Loading of figvault.src.files, its namespace, global names, the built-ins it
keeps, and the traceback entries its functions add."""

import builtins
import glob as std_glob
import importlib
import importlib.util
import os as std_os
import shutil
import subprocess
import sys
import textwrap
import traceback
import types
from pathlib import Path

from support import USE_PACKAGE_COPY, child_environment

import pytest

CREATE_ENTRY = "figvault.src.files.create_file_dict"
WRITE_ENTRY = "figvault.src.files.write_files_from_dict"
INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)


class RecordingGlob:
    """Stands in for the glob module: records calls, answers from a table."""

    def __init__(self, answers=None, error=None):
        self.calls = []
        self.answers = answers or {}
        self.error = error

    def glob(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        return list(self.answers.get(args[0], []))


# ---- namespace -------------------------------------------------------------


def test_namespace_holds_the_bound_names(files):
    namespace = vars(files)
    assert namespace["__builtins__"] is builtins
    assert namespace["__test__"] == {}
    assert type(namespace["__test__"]) is dict
    assert namespace["glob"] is std_glob
    assert namespace["os"] is std_os
    assert namespace["create_file_dict"] is files.create_file_dict
    assert namespace["write_files_from_dict"] is files.write_files_from_dict
    assert {name for name in namespace if not name.startswith("__")} == {
        "glob",
        "os",
        "create_file_dict",
        "write_files_from_dict",
    }


def test_module_attributes_come_from_the_import_spec(files):
    module_spec = files.__spec__
    assert files.__name__ == "figvault.src.files"
    assert module_spec.name == "figvault.src.files"
    assert files.__package__ == "figvault.src"
    assert files.__loader__ is module_spec.loader
    assert files.__file__ == module_spec.origin
    assert str(Path(files.__file__).parent) in sys.modules["figvault.src"].__path__
    assert files.__doc__ is None
    assert not hasattr(files, "__path__")
    assert sys.modules["figvault.src.files"] is files
    assert sys.modules["figvault.src"].files is files


def test_statements_bind_in_order_in_a_fresh_interpreter(run_python, tmp_path):
    finished = run_python(
        "import builtins, glob, os\n"
        "import figvault.src.files as files\n"
        "names = [n for n in vars(files) if n in ('glob', 'os', 'create_file_dict', 'write_files_from_dict', '__test__', '__builtins__')]\n"
        "print(' '.join(names))\n"
        "print(files.glob is glob, files.os is os, files.__builtins__ is builtins)\n"
        "print('figvault.src.archive' in __import__('sys').modules, 'figvault.src.unarchive' in __import__('sys').modules)\n",
        cwd=tmp_path,
    )
    assert finished.returncode == 0, finished.stderr
    order, identities, others = finished.stdout.splitlines()
    assert order == "__builtins__ glob os create_file_dict write_files_from_dict __test__"
    assert identities == "True True True"
    assert others == "False False"  # files imports neither of the other modules


def test_module_functions_use_the_module_namespace_as_globals(files):
    assert files.create_file_dict.__globals__ is vars(files)
    assert files.write_files_from_dict.__globals__ is vars(files)


# ---- loading once ----------------------------------------------------------


def test_import_after_removal_from_sys_modules_gives_the_same_module(files, monkeypatch):
    create, write, test_dict = files.create_file_dict, files.write_files_from_dict, files.__test__
    marker = types.SimpleNamespace(glob=lambda *args, **kwargs: [])
    monkeypatch.setattr(files, "glob", marker)
    monkeypatch.delitem(sys.modules, "figvault.src.files")

    again = importlib.import_module("figvault.src.files")

    assert again is files
    assert sys.modules["figvault.src.files"] is files
    assert again.create_file_dict is create
    assert again.write_files_from_dict is write
    # The statements did not run again: nothing was bound anew.
    assert again.glob is marker
    assert again.__test__ is test_dict


def test_from_import_after_removal_gives_the_same_module(files, monkeypatch):
    monkeypatch.delitem(sys.modules, "figvault.src.files")
    monkeypatch.delattr(sys.modules["figvault.src"], "files")
    from figvault.src import files as again

    assert again is files


def test_reload_does_not_run_the_statements_again(files, monkeypatch):
    test_dict = files.__test__
    marker = types.SimpleNamespace(glob=lambda *args, **kwargs: [])
    monkeypatch.setattr(files, "glob", marker)

    assert importlib.reload(files) is files
    assert files.glob is marker
    assert files.__test__ is test_dict
    assert files.__builtins__ is builtins


@pytest.fixture
def package_copy(files, tmp_path):
    """A complete copy of the package under test below tmp_path, to add
    modules to: its Python sources, and its compiled modules (which an
    editable install keeps elsewhere)."""
    import figvault

    copy = tmp_path / "figvault"
    shutil.copytree(Path(figvault.__file__).parent, copy, ignore=shutil.ignore_patterns("__pycache__"))
    for compiled in Path(files.__file__).parent.glob("*.so"):
        shutil.copy2(compiled, copy / "src")
    return tmp_path


def test_a_glob_module_inside_the_package_wins(package_copy, run_python):
    root = package_copy
    (root / "figvault" / "src" / "glob.py").write_text(
        textwrap.dedent(
            """\
            MARKER = "the package's own glob"
            calls = []

            def glob(pattern, recursive=False):
                calls.append((pattern, recursive))
                return ["./chosen.py"] if pattern.endswith(".py") else []
            """
        )
    )
    (root / "chosen.py").write_text("chosen = True\n")
    (root / "ignored.py").write_text("ignored = True\n")

    finished = run_python(
        USE_PACKAGE_COPY
        + textwrap.dedent(
            """\
            import os
            import figvault.src.files as files
            print(files.__file__)
            print(files.glob.__name__)
            print(getattr(files.glob, "MARKER", None))
            print(files.os is os)
            print(files.create_file_dict())
            print(files.glob.calls)
            """
        ),
        cwd=root,
        pythonpath=root,
    )
    assert finished.returncode == 0, finished.stderr
    location, name, marker, same_os, collected, calls = finished.stdout.splitlines()
    assert Path(location).is_relative_to(root)
    assert name == "figvault.src.glob"
    assert marker == "the package's own glob"
    assert same_os == "True"
    assert collected == "{'./chosen.py': 'chosen = True\\n'}"
    assert calls == "[('./**/*.py', True), ('./**/*.ipynb', True)]"


IMPORT_TWICE = textwrap.dedent(
    """\
    import importlib, os, sys, traceback
    try:
        import figvault.src.files
    except BaseException as error:
        print(type(error).__name__, error, sep=": ")
        print([(f.filename, f.name, f.lineno) for f in traceback.extract_tb(error.__traceback__)
               if f.filename == "figvault/src/files.py"])
        print("figvault.src.files" in sys.modules)
    else:
        print("imported")
    os.remove(os.path.join("figvault", "src", MODULE + ".py"))
    importlib.invalidate_caches()
    import figvault.src.files as files
    import glob, os as real_os
    print(files.glob is glob, files.os is real_os, callable(files.create_file_dict))
    """
)


@pytest.mark.parametrize(
    "module, body, first_lines",
    [
        (
            "glob",
            "raise RuntimeError('broken glob')",
            ["RuntimeError: broken glob", "[('figvault/src/files.py', 'init figvault.src.files', 1)]", "False"],
        ),
        (
            "os",
            "raise RuntimeError('broken os')",
            ["RuntimeError: broken os", "[('figvault/src/files.py', 'init figvault.src.files', 2)]", "False"],
        ),
        ("glob", "raise ImportError('not this one')", ["imported"]),
        ("os", "raise ModuleNotFoundError('not this one')", ["imported"]),
    ],
    ids=["glob-raises", "os-raises", "glob-import-error", "os-module-not-found"],
)
def test_failing_import_of_a_package_module(package_copy, run_python, module, body, first_lines):
    (package_copy / "figvault" / "src" / f"{module}.py").write_text(body + "\n")

    finished = run_python(
        USE_PACKAGE_COPY + f"MODULE = {module!r}\n" + IMPORT_TWICE, cwd=package_copy, pythonpath=package_copy
    )

    assert finished.returncode == 0, finished.stderr
    lines = finished.stdout.splitlines()
    assert lines[:-1] == first_lines
    # Once the module is fixed, a new import executes it from the start.
    assert lines[-1] == "True True True"


# Imports figvault.src.files in a second interpreter of the process, both as
# a plain and as a from-import, printing what each import gave.
SECOND_INTERPRETER_IMPORTS = """
for statement in ("import figvault.src.files", "from figvault.src import files"):
    try:
        exec(statement)
    except ImportError as error:
        print("refused:", type(error).__qualname__, error, flush=True)
    else:
        print("imported", flush=True)
"""

# Runs `code` in a second interpreter of the given `kind`:
# "isolated" (the default of the interpreters module: its own lock, and
# extension modules must declare they may be loaded there) or "legacy" (as
# Py_NewInterpreter makes it).
SECOND_INTERPRETER_DRIVER = """
import sys
if kind == "isolated":
    try:
        import _interpreters as interpreters
    except ModuleNotFoundError:  # its name before 3.13
        import _xxsubinterpreters as interpreters
    interpreter = interpreters.create()
    failure = interpreters.run_string(interpreter, code)
    interpreters.destroy(interpreter)
    if failure is not None:
        sys.exit(f"the second interpreter failed: {failure}")
else:
    import _testcapi
    if _testcapi.run_in_subinterp(code) != 0:
        sys.exit("the second interpreter failed")
"""


@pytest.mark.parametrize("kind", ["isolated", "legacy"])
def test_a_second_interpreter_is_refused(run_python, tmp_path, kind):
    if kind == "legacy" and importlib.util.find_spec("_testcapi") is None:
        pytest.skip("this interpreter has no _testcapi to start a legacy subinterpreter with")
    work = tmp_path / "work"
    work.mkdir()
    (work / "a.py").write_text("a = 1\n")
    finished = run_python(
        textwrap.dedent(
            f"""\
            import os
            import figvault.src.files as files

            kind, code = {kind!r}, {SECOND_INTERPRETER_IMPORTS!r}
            exec({SECOND_INTERPRETER_DRIVER!r})

            os.chdir({str(work)!r})
            print(files.create_file_dict())
            files.write_files_from_dict({{"./b.py": "b"}}, "restored")
            print(open("restored/b.py").read())
            """
        ),
        cwd=tmp_path,
    )
    assert finished.returncode == 0, finished.stderr
    first, second, collected, printed, restored = finished.stdout.splitlines()
    assert first == f"refused: ImportError {INTERPRETER_CHANGE}"
    assert second == f"refused: ImportError {INTERPRETER_CHANGE}"
    # The first interpreter's module still works.
    assert collected == "{'./a.py': 'a = 1\\n'}"
    assert printed == "./b.py"
    assert restored == "b"


# ---- the interpreter's version ------------------------------------------------

# Stands in for an interpreter of another version, preloaded into a child
# process: the modules read the running version through these two symbols.
OTHER_VERSION_SOURCE = """
const char *Py_GetVersion(void) { return "3.99.0 (another interpreter)"; }
const unsigned long Py_Version = 0x036300f0UL;
"""

VERSION_WARNING_CHILD = """
import os, sys, warnings
names = ["figvault.src.files", "figvault.src.unarchive", "figvault.src.archive"]
warnings.simplefilter("error", RuntimeWarning)
for name in names:
    try:
        __import__(name)
    except RuntimeWarning as warning:
        print(f"refused: {type(warning).__name__}: {warning}; {name in sys.modules}")
    else:
        print("imported")
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    for name in names:
        __import__(name)
for warning in caught:
    if "module 'figvault." in str(warning.message):  # not those of other extension modules
        print(f"{warning.category.__name__}: {warning.message}; {warning.filename}")
import figvault.src.files as files
print(files.create_file_dict())
"""


@pytest.fixture(scope="module")
def other_version_library(tmp_path_factory):
    """A shared library that makes the running interpreter report version 3.99."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the stand-in for another interpreter version")
    folder = tmp_path_factory.mktemp("other_version")
    (folder / "version.c").write_text(OTHER_VERSION_SOURCE)
    library = folder / "libversion.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(folder / "version.c")], check=True)
    return library


def run_version_child(tmp_path, preload=None):
    env = child_environment()
    if preload is not None:
        # After what is preloaded already (a sanitizer runtime must come first).
        env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), str(preload)]))
    (tmp_path / "a.py").write_text("a = 1\n")
    finished = subprocess.run([sys.executable, "-c", VERSION_WARNING_CHILD], cwd=tmp_path, env=env,
                              capture_output=True, text=True, timeout=120)
    assert finished.returncode == 0, finished.stderr
    return finished.stdout.splitlines()


def test_no_version_warning_on_the_interpreter_built_for(tmp_path):
    assert run_version_child(tmp_path) == ["imported"] * 3 + ["{'./a.py': 'a = 1\\n'}"]


def test_another_interpreter_version_is_warned_about(tmp_path, other_version_library):
    """Each module names the version it was built for and the running one;
    a warning turned into an error fails the import, and the next import
    executes the module from the start."""
    built = f"{sys.version_info.major}.{sys.version_info.minor}"
    texts = [f"compiletime version {built} of module '{name}' does not match runtime version 3.99"
             for name in ("figvault.src.files", "figvault.src.unarchive", "figvault.src.archive")]
    lines = run_version_child(tmp_path, other_version_library)
    assert lines[:3] == [f"refused: RuntimeWarning: {text}; False" for text in texts]
    # Issued at stack level 1: the code that ran the module (the importer).
    assert lines[3:-1] == [f"RuntimeWarning: {text}; <frozen importlib._bootstrap>" for text in texts]
    assert lines[-1] == "{'./a.py': 'a = 1\\n'}"


# ---- global names ----------------------------------------------------------


def test_missing_glob_raises_name_error(files, workdir, monkeypatch, our_entries):
    (workdir / "plot.py").write_text("x = 1\n")
    monkeypatch.delattr(files, "glob")

    with pytest.raises(NameError) as caught:
        files.create_file_dict()

    assert str(caught.value) == "name 'glob' is not defined"
    assert our_entries(caught) == [(CREATE_ENTRY, 12)]


def test_glob_works_again_once_restored(files, workdir, monkeypatch):
    (workdir / "plot.py").write_text("x = 1\n")
    with monkeypatch.context() as patch:
        patch.delattr(files, "glob")
        with pytest.raises(NameError):
            files.create_file_dict()
    assert files.glob is std_glob
    assert files.create_file_dict() == {"./plot.py": "x = 1\n"}


def test_missing_os_raises_name_error(files, workdir, monkeypatch, listing, our_entries):
    monkeypatch.delattr(files, "os")

    with pytest.raises(NameError) as caught:
        files.write_files_from_dict({}, "out")

    assert str(caught.value) == "name 'os' is not defined"
    assert our_entries(caught) == [(WRITE_ENTRY, 27)]
    assert listing(workdir) == []


def test_rebound_glob_is_used_at_the_next_call(files, workdir, monkeypatch):
    (workdir / "real.py").write_text("real\n")
    (workdir / "fake.py").write_text("fake\n")
    (workdir / "fake.ipynb").write_text("{}\n")
    recorder = RecordingGlob({"./**/*.py": ["./fake.py"], "./**/*.ipynb": ["./fake.ipynb"]})
    monkeypatch.setattr(files, "glob", recorder)

    assert files.create_file_dict() == {"./fake.py": "fake\n", "./fake.ipynb": "{}\n"}
    assert recorder.calls == [
        (("./**/*.py",), {"recursive": True}),
        (("./**/*.ipynb",), {"recursive": True}),
    ]


def test_global_falls_back_to_builtins(files, workdir, monkeypatch):
    (workdir / "fake.py").write_text("fake\n")
    recorder = RecordingGlob({"./**/*.py": ["./fake.py"]})
    monkeypatch.delattr(files, "glob")
    monkeypatch.setattr(builtins, "glob", recorder, raising=False)

    assert files.create_file_dict() == {"./fake.py": "fake\n"}
    assert len(recorder.calls) == 2


def test_module_global_comes_before_builtins(files, workdir, monkeypatch):
    (workdir / "plot.py").write_text("x\n")
    never = RecordingGlob(error=AssertionError("the built-in must not be used"))
    monkeypatch.setattr(builtins, "glob", never, raising=False)

    assert files.create_file_dict() == {"./plot.py": "x\n"}
    assert never.calls == []


class RecordingOs:
    """Stands in for the os module: forwards to the real one and records the
    calls that make, enter or leave folders, or ask about them."""

    recorded = {"getcwd", "mkdir", "makedirs", "chdir", "path.exists", "path.split"}

    def __init__(self, log, failures=None):
        self._log = log
        self._failures = failures or {}
        self.path = _RecordingPath(self)

    def _forward(self, name, function, args):
        if name in self.recorded:
            self._log.append((name, args))
        failure = self._failures.get(name)
        if failure is not None and failure(args):
            raise PermissionError(f"{name} refused")
        return function(*args)

    def __getattr__(self, name):
        function = getattr(std_os, name)
        return lambda *args: self._forward(name, function, args)


class _RecordingPath:
    def __init__(self, owner):
        self._owner = owner

    def __getattr__(self, name):
        function = getattr(std_os.path, name)
        return lambda *args: self._owner._forward("path." + name, function, args)


def test_rebound_os_is_what_write_files_from_dict_uses(files, workdir, monkeypatch, capsys):
    log = []
    monkeypatch.setattr(files, "os", RecordingOs(log))

    files.write_files_from_dict({"./plot.py": "p", "./lib/util.py": "u", "./lib/io.py": "i"}, "out")

    assert log == [
        ("getcwd", ()),
        ("mkdir", ("out",)),
        ("chdir", ("out",)),
        ("path.split", ("./plot.py",)),
        ("path.split", ("./lib/util.py",)),
        ("path.exists", ("lib",)),
        ("makedirs", ("lib",)),
        ("path.split", ("./lib/io.py",)),
        ("path.exists", ("lib",)),
        ("chdir", (str(workdir),)),
    ]
    assert (workdir / "out" / "lib" / "io.py").read_text() == "i"
    assert capsys.readouterr().out == "./plot.py\nlib/util.py\nlib/io.py\n"


@pytest.mark.parametrize(
    "refused, line, made",
    [
        ("getcwd", 27, []),
        ("mkdir", 28, []),
        ("chdir", 29, ["out/"]),
    ],
)
def test_failures_of_the_rebound_os_carry_their_line(files, workdir, monkeypatch, listing, our_entries, refused, line, made):
    monkeypatch.setattr(files, "os", RecordingOs([], {refused: lambda args: True}))

    with pytest.raises(PermissionError, match=f"^{refused} refused$") as caught:
        files.write_files_from_dict({"./plot.py": "p"}, "out")

    assert our_entries(caught) == [(WRITE_ENTRY, line)]
    assert listing(workdir) == made
    assert Path.cwd() == workdir


def test_failure_to_leave_the_target_folder_carries_line_43(files, workdir, monkeypatch, our_entries):
    home = str(workdir)
    monkeypatch.setattr(files, "os", RecordingOs([], {"chdir": lambda args: args == (home,)}))

    with pytest.raises(PermissionError, match="^chdir refused$") as caught:
        files.write_files_from_dict({"./plot.py": "p"}, "out")

    assert our_entries(caught) == [(WRITE_ENTRY, 43)]
    assert (workdir / "out" / "plot.py").read_text() == "p"


# ---- built-ins ---------------------------------------------------------------


def test_open_is_the_built_in_fetched_when_the_module_ran(files, workdir, monkeypatch):
    (workdir / "plot.py").write_text("x = 1\n")

    def refuse(*args, **kwargs):
        raise AssertionError("a later open must not be used")

    with monkeypatch.context() as patch:
        patch.setattr(builtins, "open", refuse)
        patch.setattr(files, "open", refuse, raising=False)
        assert files.create_file_dict() == {"./plot.py": "x = 1\n"}
        files.write_files_from_dict({"./plot.py": "y"}, "out")
    assert (workdir / "out" / "plot.py").read_text() == "y"


def test_print_is_kept_from_its_first_use(files, workdir, monkeypatch, capsys):
    files.write_files_from_dict({"./first.py": ""}, "first")  # print is fetched by now
    assert capsys.readouterr().out == "./first.py\n"

    replaced = []
    with monkeypatch.context() as patch:
        patch.setattr(builtins, "print", lambda *args, **kwargs: replaced.append(args))
        patch.setattr(files, "print", lambda *args, **kwargs: replaced.append(args), raising=False)
        files.write_files_from_dict({"./second.py": ""}, "second")

    assert replaced == []
    assert capsys.readouterr().out == "./second.py\n"


# ---- traceback entries -------------------------------------------------------


def test_a_failure_gets_one_entry_between_caller_and_callee(files, workdir, monkeypatch):
    problem = OSError("glob failed")
    monkeypatch.setattr(files, "glob", RecordingGlob(error=problem))

    with pytest.raises(OSError) as caught:
        files.create_file_dict()

    assert caught.value is problem  # passed on unchanged
    names = [entry.name for entry in caught.traceback]
    assert names[-2:] == [CREATE_ENTRY, "glob"]
    assert names.count(CREATE_ENTRY) == 1


def test_the_entry_frame_looks_like_the_module_source(files, workdir, monkeypatch):
    monkeypatch.delattr(files, "glob")

    with pytest.raises(NameError) as caught:
        files.create_file_dict()

    entry = caught.value.__traceback__
    while entry.tb_next is not None:
        entry = entry.tb_next
    frame = entry.tb_frame
    assert entry.tb_lineno == 12
    assert frame.f_code.co_filename == "figvault/src/files.py"
    assert frame.f_code.co_name == CREATE_ENTRY
    assert frame.f_globals is vars(files)


def test_entries_at_the_same_line_reuse_their_code_object(files, workdir, monkeypatch):
    monkeypatch.delattr(files, "glob")

    def last_code():
        with pytest.raises(NameError) as caught:
            files.create_file_dict()
        entry = caught.value.__traceback__
        while entry.tb_next is not None:
            entry = entry.tb_next
        return entry.tb_frame.f_code

    assert last_code() is last_code()


def test_entries_format_like_python_frames(files, workdir, our_entries):
    with pytest.raises(FileExistsError) as caught:
        (workdir / "out").mkdir()
        files.write_files_from_dict({}, "out")

    text = "".join(traceback.format_exception(caught.value))
    assert f'File "figvault/src/files.py", line 28, in {WRITE_ENTRY}' in text
    assert our_entries(caught) == [(WRITE_ENTRY, 28)]


# ---- state that outlives what made it --------------------------------------

BUILTIN_FETCHED_BY_REENTRANT_CODE = """
import builtins
from figvault.src import files
real_print = builtins.print
del builtins.print
depth = 0

def fallback(name):
    # Found only through the builtins module's __getattr__: the first fetch
    # of print re-enters the module, which fetches it first.
    global depth
    if name != "print":
        raise AttributeError(name)
    depth += 1
    if depth == 1:
        files.write_files_from_dict({"./inner.py": "i"}, "inner")

    def printer(*args):
        real_print("printed", depth, *args)
    return printer

builtins.__getattr__ = fallback
files.write_files_from_dict({"./outer.py": "o"}, "outer")
files.write_files_from_dict({"./again.py": "a"}, "again")
"""


def test_builtin_fetched_on_first_use_survives_reentrant_fetches(run_python, tmp_path):
    finished = run_python(BUILTIN_FETCHED_BY_REENTRANT_CODE, cwd=tmp_path)
    assert finished.returncode == 0, finished.stderr
    # The first fetch that finished is kept: the inner call's printer.
    assert finished.stdout.splitlines() == ["printed 2 ./inner.py", "printed 2 ./outer.py", "printed 2 ./again.py"]


FUNCTION_OF_A_FAILED_EXECUTION = """
import builtins
import numpy, torch, dill, inspect, figvault.src.files
captured = {}

class Meta(type):
    def __new__(mcls, name, bases, namespace, **kwargs):
        if name == "archive" and "__call__" in namespace:
            captured.update(namespace)
            raise RuntimeError("class statement failed")
        return super().__new__(mcls, name, bases, namespace, **kwargs)

class Base(metaclass=Meta):
    pass

real_object = builtins.object
builtins.object = Base
try:
    import figvault.src.archive
except RuntimeError as error:
    print("import failed:", error)
finally:
    builtins.object = real_object

class Decorator:
    filename = "kept.fv"

wrapper = captured["__call__"](Decorator(), lambda x: x * 2)
print(wrapper(21))
"""


def test_functions_made_before_a_failed_execution_keep_working(run_python, tmp_path):
    # The class statement fails after its methods were made; code that kept
    # a method still calls it, with the namespace the method was made in.
    finished = run_python(FUNCTION_OF_A_FAILED_EXECUTION, cwd=tmp_path)
    assert finished.returncode == 0, finished.stderr
    assert finished.stdout.splitlines() == ["import failed: class statement failed", "42"]
    assert (tmp_path / "kept.fv").is_file()
