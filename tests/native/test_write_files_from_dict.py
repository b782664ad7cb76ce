"""write_files_from_dict(): writing a file dictionary back into a new folder."""

import contextlib
import io
import os
import shutil
import tempfile
import warnings
from pathlib import Path, PurePosixPath

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

ENTRY = "figvault.src.files.write_files_from_dict"


def read_tree(root):
    """{relative POSIX path: text} of every file below root."""
    root = Path(root)
    return {
        path.relative_to(root).as_posix(): path.read_text()
        for path in sorted(root.rglob("*"))
        if path.is_file()
    }


# ---- the target folder -------------------------------------------------------


def test_default_target_folder(files, workdir, capsys):
    assert files.write_files_from_dict({"./plot.py": "plot = 1\n"}) is None
    assert read_tree(workdir) == {"sourcefiles/plot.py": "plot = 1\n"}
    assert Path.cwd() == workdir
    assert capsys.readouterr().out == "./plot.py\n"


@pytest.mark.parametrize(
    "make_target, folder",
    [
        (lambda root: "restored", "restored"),
        (lambda root: "restored/", "restored"),
        (lambda root: b"restored", "restored"),
        (lambda root: Path("restored"), "restored"),
        (lambda root: "sourcefiles/", "sourcefiles"),
        (lambda root: "ünïcode folder", "ünïcode folder"),
        (lambda root: str(root.parent / "absolute"), "../absolute"),
        (lambda root: root.parent / "absolute-path", "../absolute-path"),
    ],
    ids=["str", "trailing-slash", "bytes", "path", "explicit-default", "unicode", "absolute", "absolute-pathlib"],
)
def test_target_folder_kinds(files, workdir, capsys, make_target, folder):
    target = make_target(workdir)
    files.write_files_from_dict({"./plot.py": "p", "./lib/util.py": "u"}, target)

    written = (workdir / folder).resolve()
    assert read_tree(written) == {"plot.py": "p", "lib/util.py": "u"}
    assert Path.cwd() == workdir
    assert capsys.readouterr().out == "./plot.py\nlib/util.py\n"


def test_both_parameters_by_keyword(files, workdir):
    files.write_files_from_dict(new_folder_path="out", folder_dict={"./a.py": "a"})
    assert read_tree(workdir) == {"out/a.py": "a"}


def test_folder_by_position_and_path_by_keyword(files, workdir):
    files.write_files_from_dict({"./a.py": "a"}, new_folder_path="out")
    assert read_tree(workdir) == {"out/a.py": "a"}


def test_explicit_none_selects_the_default_folder(files, workdir):
    files.write_files_from_dict({"./a.py": "a"}, None)
    files.write_files_from_dict({"./b.py": "b"}, new_folder_path="second")
    assert read_tree(workdir) == {"sourcefiles/a.py": "a", "second/b.py": "b"}


@pytest.mark.parametrize(
    "target, error",
    [
        ("", FileNotFoundError),
        ("missing/inner", FileNotFoundError),  # one level only
        ("taken", FileExistsError),
    ],
    ids=["empty", "missing-parent", "existing"],
)
def test_target_folder_that_cannot_be_made(files, workdir, capsys, listing, our_entries, target, error):
    (workdir / "taken").mkdir()
    (workdir / "taken" / "old.py").write_text("old")

    with pytest.raises(error) as caught:
        files.write_files_from_dict({"./a.py": "a"}, target)

    assert our_entries(caught) == [(ENTRY, 28)]
    assert listing(workdir) == ["taken/", "taken/old.py"]
    assert capsys.readouterr().out == ""
    assert Path.cwd() == workdir


def test_second_call_into_the_same_folder_fails(files, workdir, capsys, our_entries):
    files.write_files_from_dict({"./a.py": "first"}, "out")
    assert capsys.readouterr().out == "./a.py\n"

    with pytest.raises(FileExistsError) as caught:
        files.write_files_from_dict({"./a.py": "second", "./b.py": "b"}, "out")

    assert our_entries(caught) == [(ENTRY, 28)]
    assert read_tree(workdir) == {"out/a.py": "first"}
    assert capsys.readouterr().out == ""
    assert Path.cwd() == workdir


def test_second_call_with_the_default_folder_fails(files, workdir, capsys, our_entries):
    files.write_files_from_dict({"./a.py": "first"})
    with pytest.raises(FileExistsError) as caught:
        files.write_files_from_dict({"./a.py": "second"})
    assert our_entries(caught) == [(ENTRY, 28)]
    assert read_tree(workdir) == {"sourcefiles/a.py": "first"}
    assert capsys.readouterr().out == "./a.py\n"


def test_working_directory_that_is_gone(files, tmp_path, monkeypatch, our_entries):
    gone = tmp_path / "gone"
    gone.mkdir()
    monkeypatch.chdir(gone)
    gone.rmdir()

    with pytest.raises(FileNotFoundError) as caught:
        files.write_files_from_dict({"./a.py": "a"}, str(tmp_path / "out"))

    assert our_entries(caught) == [(ENTRY, 27)]
    assert not (tmp_path / "out").exists()


# ---- entries -----------------------------------------------------------------


@pytest.mark.parametrize(
    "key, printed, location",
    [
        ("./plot.py", "./plot.py", "plot.py"),
        ("./lib/util.py", "lib/util.py", "lib/util.py"),
        ("./lib/io/read.py", "lib/io/read.py", "lib/io/read.py"),
        ("plot.py", "./plot.py", "plot.py"),
        ("lib/util.py", "lib/util.py", "lib/util.py"),
        ("./notes/analysis.ipynb", "notes/analysis.ipynb", "notes/analysis.ipynb"),
        ("./a/./b.py", "a/b.py", "a/b.py"),
        ("./a//b.py", "a/b.py", "a/b.py"),
        ("./a/../b.py", "./b.py", "b.py"),
        ("./a/b/../../c/d.py", "c/d.py", "c/d.py"),
        ("./x/y/z/w/deep.py", "x/y/z/w/deep.py", "x/y/z/w/deep.py"),
        ("./with space/ünï.py", "with space/ünï.py", "with space/ünï.py"),
        ("./README", "./README", "README"),
    ],
)
def test_where_an_entry_lands_and_what_is_printed(files, workdir, capsys, key, printed, location):
    files.write_files_from_dict({key: "text\n"}, "out")
    assert capsys.readouterr().out == printed + "\n"
    assert read_tree(workdir / "out") == {location: "text\n"}


def test_lines_are_printed_in_dictionary_order(files, workdir, capsys):
    folder_dict = {
        "./z.py": "z",
        "./lib/util.py": "u",
        "./a.py": "a",
        "./lib/io/read.py": "r",
        "./notes/study.ipynb": "{}",
        "plot.py": "p",
    }
    files.write_files_from_dict(folder_dict, "out")
    assert capsys.readouterr().out.splitlines() == [
        "./z.py",
        "lib/util.py",
        "./a.py",
        "lib/io/read.py",
        "notes/study.ipynb",
        "./plot.py",
    ]
    assert read_tree(workdir / "out") == {
        "z.py": "z",
        "lib/util.py": "u",
        "a.py": "a",
        "lib/io/read.py": "r",
        "notes/study.ipynb": "{}",
        "plot.py": "p",
    }


@pytest.mark.parametrize(
    "text",
    [
        "",
        "x = 1\n",
        "no final newline",
        "line one\nline two\n\n\n",
        "# Größe, 面积, λ = 2π ✓\n",
        "tab\tand trailing space \n",
        '{"cells": [], "nbformat": 4}\n',
        "x = 1\n" * 10_000,
    ],
    ids=["empty", "one-line", "no-final-newline", "blank-lines", "unicode", "whitespace", "notebook", "long"],
)
def test_texts_are_written_unchanged(files, workdir, text):
    files.write_files_from_dict({"./a.py": text, "./sub/b.ipynb": text}, "out")
    assert (workdir / "out" / "a.py").read_text() == text
    assert (workdir / "out" / "sub" / "b.ipynb").read_bytes() == text.encode()


def test_empty_dict_makes_an_empty_folder(files, workdir, capsys, listing):
    assert files.write_files_from_dict({}, "out") is None
    assert listing(workdir) == ["out/"]
    assert capsys.readouterr().out == ""
    assert Path.cwd() == workdir


def test_missing_parent_folders_are_made(files, workdir, capsys):
    files.write_files_from_dict({"./src/pkg/mod.py": "mod", "./a/b/c/d/e.py": "e"}, "out")
    assert read_tree(workdir / "out") == {"src/pkg/mod.py": "mod", "a/b/c/d/e.py": "e"}
    assert capsys.readouterr().out == "src/pkg/mod.py\na/b/c/d/e.py\n"


def test_existing_folders_are_reused(files, workdir):
    folder_dict = {"./lib/a.py": "a", "./lib/b.py": "b", "./lib/sub/c.py": "c", "./lib/d.py": "d"}
    files.write_files_from_dict(folder_dict, "out")
    assert read_tree(workdir / "out") == {"lib/a.py": "a", "lib/b.py": "b", "lib/sub/c.py": "c", "lib/d.py": "d"}


def test_a_later_entry_for_the_same_file_replaces_it(files, workdir, capsys):
    files.write_files_from_dict({"plot.py": "a much longer first text", "./plot.py": "second"}, "out")
    assert read_tree(workdir / "out") == {"plot.py": "second"}
    assert capsys.readouterr().out == "./plot.py\n./plot.py\n"


def test_files_are_closed_after_writing(files, workdir):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        files.write_files_from_dict({"./a.py": "a", "./b/c.py": "c"}, "out")
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []
    assert read_tree(workdir / "out") == {"a.py": "a", "b/c.py": "c"}


def test_the_dictionary_is_left_unchanged(files, workdir):
    folder_dict = {"./a.py": "a", "./lib/b.py": "b"}
    before = dict(folder_dict)
    files.write_files_from_dict(folder_dict, "out")
    assert folder_dict == before
    assert list(folder_dict) == list(before)


# ---- keys that would leave the target folder -------------------------------


@pytest.mark.parametrize(
    "unsafe",
    [
        "../x.py",
        "./../x.py",
        "./a/../../x.py",
        "a/b/../../../x.py",
        "..",
        "./..",
        "../outside/x.py",
        "a//..//..//x.py",
        "../\udcff.py",  # undecodable byte, written through surrogateescape
        "ABSOLUTE",
    ],
)
@pytest.mark.parametrize("position", ["alone", "after-safe-keys"])
def test_keys_leaving_the_folder_are_refused(files, workdir, capsys, listing, our_entries, unsafe, position):
    if unsafe == "ABSOLUTE":
        unsafe = str(workdir.parent / "outside" / "absolute.py")
    folder_dict = {unsafe: "evil"}
    if position == "after-safe-keys":
        folder_dict = {"./ok.py": "ok", "./lib/ok.py": "ok", unsafe: "evil", "./late.py": "late"}
    before_parent = listing(workdir.parent)

    with pytest.raises(ValueError) as caught:
        files.write_files_from_dict(folder_dict, "out")

    assert repr(unsafe) in str(caught.value)
    assert our_entries(caught) == [(ENTRY, 32)]
    assert listing(workdir.parent) == before_parent  # nothing made, inside or out
    assert capsys.readouterr().out == ""
    assert Path.cwd() == workdir


@pytest.mark.parametrize(
    "make_key",
    [
        lambda root: PurePosixPath("../escaped.py"),
        lambda root: Path("lib/../../escaped.py"),
        lambda root: root.parent / "escaped.py",
    ],
    ids=["parent", "through-a-folder", "absolute"],
)
def test_path_like_keys_leaving_the_folder_are_refused(files, workdir, capsys, listing, our_entries, make_key):
    key = make_key(workdir)
    before = listing(workdir.parent)

    with pytest.raises(ValueError) as caught:
        files.write_files_from_dict({"./ok.py": "ok", key: "escaped"}, "out")

    assert repr(key) in str(caught.value)
    assert our_entries(caught) == [(ENTRY, 32)]
    assert listing(workdir.parent) == before
    assert capsys.readouterr().out == ""


def test_path_like_key_inside_the_folder_is_written(files, workdir, capsys):
    files.write_files_from_dict({PurePosixPath("lib/util.py"): "u", Path("plot.py"): "p"}, "out")
    assert read_tree(workdir / "out") == {"lib/util.py": "u", "plot.py": "p"}
    assert capsys.readouterr().out == "lib/util.py\n./plot.py\n"


def test_key_slipped_in_during_the_call_is_refused(files, workdir, monkeypatch):
    # Code running inside the call (here the standard output) swaps an entry
    # for one leading out of the folder; the dictionary keeps its size.
    folder_dict = {"./a.py": "a\n", "./b.py": "b\n"}

    class SwappingOutput(io.StringIO):
        def write(self, text):
            if "./b.py" in folder_dict:
                del folder_dict["./b.py"]
                folder_dict["../escaped.py"] = "outside\n"
            return super().write(text)

    monkeypatch.setattr("sys.stdout", SwappingOutput())
    with pytest.raises(ValueError, match=r"'\.\./escaped\.py'"):
        files.write_files_from_dict(folder_dict, "target")
    assert not (workdir / "escaped.py").exists()
    assert Path.cwd() == workdir


def test_refused_key_leaves_the_default_folder_unmade(files, workdir, listing):
    with pytest.raises(ValueError):
        files.write_files_from_dict({str(workdir.parent / "x.py"): "evil"})
    assert listing(workdir.parent) == ["work/"]


@pytest.mark.parametrize(
    "key",
    ["\ud800/../../escaped.py", "/\ud800", "a/\udfff/../../../escaped.py", "\ud800\udc00/../.."],
    ids=["parent", "absolute", "deeper", "surrogate-pair"],
)
def test_keys_with_lone_surrogates_leaving_the_folder_are_refused(files, workdir, capsys, listing, our_entries, key):
    before = listing(workdir.parent)
    with pytest.raises(ValueError) as caught:
        files.write_files_from_dict({key: "x\n"}, "out")
    assert repr(key) in str(caught.value)
    assert our_entries(caught) == [(ENTRY, 32)]
    assert listing(workdir.parent) == before
    assert capsys.readouterr().out == ""


class ShiftingKey:
    """A path-like key that answers "./inside.py" `honest` times, then a
    path leading out of the folder."""

    def __init__(self, honest):
        self.honest = honest

    def __fspath__(self):
        self.honest -= 1
        return "./inside.py" if self.honest >= 0 else "../escaped.py"


@pytest.mark.parametrize("honest", [1, 2, 3, 4, 10])
def test_a_key_is_checked_as_it_is_written(files, workdir, listing, honest):
    # Whatever the key answers and whenever it changes its answer, nothing
    # is written outside the target folder.
    key = ShiftingKey(honest)
    try:
        files.write_files_from_dict({key: "text\n"}, "out")
    except ValueError as error:
        assert repr(key) in str(error)
    assert {entry.partition("/")[0] for entry in listing(workdir.parent)} == {"work"}
    assert {entry.partition("/")[0] for entry in listing(workdir)} == {"out"}
    assert Path.cwd() == workdir


class InterruptedKey:
    """A path-like key interrupted (Ctrl-C) the first time it is asked."""

    def __init__(self):
        self.asked = 0

    def __fspath__(self):
        self.asked += 1
        if self.asked == 1:
            raise KeyboardInterrupt
        return "./a.py"


def test_an_interrupt_while_a_key_is_checked_is_not_swallowed(files, workdir, listing):
    with pytest.raises(KeyboardInterrupt):
        files.write_files_from_dict({InterruptedKey(): "a"}, "out")
    assert listing(workdir) == []


@pytest.mark.parametrize("key", ["plot.py", "./plot.py", "././plot.py", "lib/../plot.py"])
def test_no_existence_test_for_the_target_folder_itself(files, workdir, monkeypatch, key):
    tested = []
    real_exists = os.path.exists
    monkeypatch.setattr(os.path, "exists", lambda path: tested.append(path) or real_exists(path))
    files.write_files_from_dict({key: "p"}, "out")
    assert tested == []
    assert read_tree(workdir / "out") == {"plot.py": "p"}


# ---- failures while writing --------------------------------------------------


class AddsEntryWhenSplit(str):
    """A key that adds an entry to its dictionary while its path is split."""

    target = None

    def rfind(self, *args):
        self.target["./added.py"] = "added"
        return super().rfind(*args)


class HashChangesAfterInsertion(str):
    """A key that cannot be found again once it is in the dictionary."""

    def __init__(self, text):
        super().__init__()
        self.hashed = 0

    def __hash__(self):
        self.hashed += 1
        return str.__hash__(self) + (0 if self.hashed == 1 else 1)


def growing_dict():
    key = AddsEntryWhenSplit("./first.py")
    folder_dict = {key: "first", "./second.py": "second"}
    AddsEntryWhenSplit.target = folder_dict
    return folder_dict


def bytes_concatenation_message():
    try:
        b"." + "/"
    except TypeError as error:
        return str(error)


@pytest.mark.parametrize(
    "make_dict, error, message, line, printed, written",
    [
        (
            lambda: None,
            TypeError,
            "'NoneType' object is not iterable",
            32,
            "",
            [],
        ),
        (
            growing_dict,
            RuntimeError,
            "dictionary changed size during iteration",
            32,
            "./first.py\n",
            ["first.py"],
        ),
        (
            lambda: {"./ok.py": "ok", None: "x"},
            TypeError,
            "expected str, bytes or os.PathLike object, not NoneType",
            33,
            "./ok.py\n",
            ["ok.py"],
        ),
        (
            lambda: {3: "x"},
            TypeError,
            "expected str, bytes or os.PathLike object, not int",
            33,
            "",
            [],
        ),
        (
            lambda: {b"./a.py": "x"},
            TypeError,
            bytes_concatenation_message(),
            35,
            "",
            [],
        ),
        (
            lambda: {"./a": "a file", "./a/b/c.py": "c"},
            NotADirectoryError,
            None,
            37,
            "./a\na/b/c.py\n",
            ["a"],
        ),
        (
            lambda: {HashChangesAfterInsertion("./fickle.py"): "x"},
            KeyError,
            "'./fickle.py'",
            38,
            "./fickle.py\n",
            [],
        ),
        (
            lambda: {"./a": "a file", "./a/b.py": "b"},
            NotADirectoryError,
            None,
            39,
            "./a\na/b.py\n",
            ["a"],
        ),
        (
            lambda: {"./a.py": "a", "./b.py": 42},
            TypeError,
            "write() argument must be str, not int",
            40,
            "./a.py\n./b.py\n",
            ["a.py", "b.py"],
        ),
        (
            lambda: {"./a.py": b"bytes"},
            TypeError,
            "write() argument must be str, not bytes",
            40,
            "./a.py\n",
            ["a.py"],
        ),
    ],
    ids=[
        "none",
        "dict-grows",
        "key-none",
        "key-number",
        "key-bytes",
        "folder-over-file",
        "key-lost",
        "file-below-file",
        "value-number",
        "value-bytes",
    ],
)
def test_failure_while_writing(files, workdir, capsys, our_entries, make_dict, error, message, line, printed, written):
    folder_dict = make_dict()

    with pytest.raises(error) as caught:
        files.write_files_from_dict(folder_dict, "out")

    assert type(caught.value) is error
    assert caught.value.__context__ is None
    if message is not None:
        assert str(caught.value) == message
    assert our_entries(caught) == [(ENTRY, line)]
    assert capsys.readouterr().out == printed
    assert (workdir / "out").is_dir()  # what was made stays
    assert sorted(p.relative_to(workdir / "out").as_posix() for p in (workdir / "out").rglob("*") if p.is_file()) == written
    assert Path.cwd() == workdir  # back where the call started


def test_file_of_a_value_that_is_not_text_stays_empty(files, workdir):
    with pytest.raises(TypeError):
        files.write_files_from_dict({"./a.py": "a", "./b.py": 42}, "out")
    assert (workdir / "out" / "a.py").read_text() == "a"
    assert (workdir / "out" / "b.py").read_text() == ""


def test_working_directory_is_restored_for_a_failure_of_a_default_folder_call(files, workdir):
    with pytest.raises(TypeError):
        files.write_files_from_dict(None)
    assert Path.cwd() == workdir
    assert (workdir / "sourcefiles").is_dir()
    assert list((workdir / "sourcefiles").iterdir()) == []


def test_dict_subclass_is_refused_before_anything_is_made(files, workdir, capsys, listing, our_entries):
    class FileDict(dict):
        pass

    with pytest.raises(TypeError) as caught:
        files.write_files_from_dict(FileDict({"./a.py": "a"}))

    assert str(caught.value) == "Argument 'folder_dict' has incorrect type (expected dict, got FileDict)"
    assert our_entries(caught) == []
    assert listing(workdir) == []
    assert capsys.readouterr().out == ""


# ---- round trip ----------------------------------------------------------------


def test_round_trip_of_a_tree(files, workdir, make_tree, capsys):
    make_tree(
        workdir,
        {
            "plot.py": "import numpy\n",
            "lib/__init__.py": "",
            "lib/util.py": "def f():\r\n    return 1\r\n",
            "lib/io/read.py": "read = True\n",
            "notes/study.ipynb": '{"cells": []}\n',
            ".git/hooks/pre-commit.py": "hidden\n",
        },
    )
    snapshot = files.create_file_dict()
    os.chdir(workdir.parent)
    files.write_files_from_dict(snapshot, "restored")
    os.chdir(workdir.parent / "restored")

    again = files.create_file_dict()
    assert again == snapshot
    assert list(again) == [key for key in again if key.endswith(".py")] + [
        key for key in again if key.endswith(".ipynb")
    ]
    assert again["./lib/util.py"] == "def f():\n    return 1\n"
    assert "./.git/hooks/pre-commit.py" not in again


name_characters = st.characters(
    categories=("Lu", "Ll", "Lo", "Nd"),
    include_characters=" _-",
    exclude_characters="/\\\0",
    codec="utf-8",
)
names = st.text(name_characters, min_size=1, max_size=10)
folders = st.lists(names, max_size=4).map(tuple)
source_files = st.tuples(folders, names, st.sampled_from([".py", ".ipynb"]))
texts = st.text(st.characters(codec="utf-8", exclude_categories=("Cs",)), max_size=60)
trees = st.dictionaries(source_files, texts, max_size=15)


@settings(
    max_examples=40,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
@given(tree=trees)
def test_round_trip_of_generated_trees(files, make_tree, tree):
    # Folders and files may not share a name at the same place.
    paths = ["/".join(folder + (name + suffix,)) for (folder, name, suffix) in tree]
    folder_paths = {"/".join(folder[: i + 1]) for (folder, _, _) in tree for i in range(len(folder))}
    assume(len(set(paths)) == len(paths) and not set(paths) & folder_paths)

    home = os.getcwd()
    root = Path(tempfile.mkdtemp(prefix="figvault-round-trip-"))
    try:
        source = make_tree(root / "source", dict(zip(paths, tree.values())))
        source.mkdir(exist_ok=True)

        os.chdir(source)
        snapshot = files.create_file_dict()
        assert set(snapshot) == {"./" + path for path in paths}

        os.chdir(root)
        with contextlib.redirect_stdout(io.StringIO()) as printed:
            files.write_files_from_dict(snapshot, "restored")
        assert Path.cwd() == root
        assert len(printed.getvalue().splitlines()) == len(snapshot)

        os.chdir(root / "restored")
        restored = files.create_file_dict()
        assert restored == snapshot
    finally:
        os.chdir(home)
        shutil.rmtree(root)


def test_failed_return_to_a_removed_directory_reports_both_failures(run_python, tmp_path):
    # The restore fails inside the target folder (a value that is not text),
    # and going back fails too: the caller's directory was removed meanwhile.
    code = f"""
import os, shutil
from figvault.src import files
cwd = {str(tmp_path / "cwd")!r}
os.mkdir(cwd)
os.chdir(cwd)

class RemovingKey:
    def __fspath__(self):
        if os.path.isdir(cwd):
            shutil.rmtree(cwd)
        return "./a.py"

try:
    files.write_files_from_dict({{RemovingKey(): 1}}, {str(tmp_path / "out")!r})
except FileNotFoundError as error:
    print(type(error.__context__).__name__, error.filename == cwd)
"""
    result = run_python(code, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "TypeError True"


class AnswerOnThirdAsk:
    """A path-like value that names a file inside twice, then one outside."""

    def __init__(self, outside):
        self.outside = outside
        self.asked = 0

    def __fspath__(self):
        self.asked += 1
        return "inside.py" if self.asked <= 2 else self.outside


def test_the_checked_path_is_the_one_written(files, workdir, tmp_path):
    # A str key whose tail joins into a path-like value: the text checked is
    # the text opened, however often the value would be asked.
    outside = str(tmp_path / "escaped.py")

    class Tail(str):
        def __radd__(self, other):
            return AnswerOnThirdAsk(outside)

    class Key(str):
        def __getitem__(self, index):
            return "" if index.stop is not None else Tail("inside.py")

    files.write_files_from_dict({Key("inside.py"): "text\n"}, "target")
    assert not os.path.exists(outside)
    assert read_tree(workdir / "target") == {"inside.py": "text\n"}


class MovingOutput(io.StringIO):
    """A standard output whose writes move the process to another folder."""

    def __init__(self, to):
        super().__init__()
        self.to = to

    def write(self, text):
        if text.strip():
            os.chdir(self.to)
        return super().write(text)


def test_a_restore_moved_out_of_its_folder_writes_nothing_elsewhere(files, workdir, tmp_path, monkeypatch, our_entries):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    monkeypatch.setattr("sys.stdout", MovingOutput(elsewhere))
    with pytest.raises(RuntimeError, match=r"^the working directory was moved out of the target folder") as caught:
        files.write_files_from_dict({"./a.py": "a", "./lib/b.py": "b"}, "target")
    assert our_entries(caught) == [(ENTRY, 39)]
    assert os.listdir(elsewhere) == []
    assert read_tree(workdir / "target") == {}
    assert Path.cwd() == workdir


def test_the_caller_folder_is_regained_when_os_is_gone(files, workdir, monkeypatch):
    class RemovingOutput(io.StringIO):
        def write(self, text):
            vars(files).pop("os", None)  # as a torn-down monkeypatch might
            return super().write(text)

    monkeypatch.setattr(files, "os", os)  # put back afterwards
    monkeypatch.setattr("sys.stdout", RemovingOutput())
    with pytest.raises(NameError, match="^name 'os' is not defined$"):
        files.write_files_from_dict({"./a.py": "a"}, "target")
    assert Path.cwd() == workdir
