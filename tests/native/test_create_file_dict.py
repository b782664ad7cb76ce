"""create_file_dict(): the snapshot of .py and .ipynb texts below the working
directory."""

import glob
import locale
import os
import warnings

import pytest

ENTRY = "figvault.src.files.create_file_dict"

needs_utf8 = pytest.mark.skipif(
    locale.getpreferredencoding(False).lower().replace("-", "") != "utf8",
    reason="the texts below are written for a UTF-8 default encoding",
)


def glob_order():
    """Every .py path in the order glob reports it, then every .ipynb path."""
    return glob.glob("./**/*.py", recursive=True) + glob.glob("./**/*.ipynb", recursive=True)


def test_empty_folder_gives_an_empty_dict(files, workdir):
    result = files.create_file_dict()
    assert result == {}
    assert type(result) is dict


def test_folder_without_sources_gives_an_empty_dict(files, workdir, make_tree):
    make_tree(workdir, {"README.md": "# hi\n", "data/table.csv": "a,b\n", "setup.cfg": "[metadata]\n"})
    (workdir / "empty").mkdir()
    assert files.create_file_dict() == {}


def test_plot_and_notebook(files, workdir, make_tree):
    make_tree(workdir, {"plot.py": "import numpy\n", "study.ipynb": '{"cells": []}\n'})
    result = files.create_file_dict()
    assert list(result.items()) == [("./plot.py", "import numpy\n"), ("./study.ipynb", '{"cells": []}\n')]


def test_the_result_is_an_exact_new_dict(files, workdir, make_tree):
    make_tree(workdir, {"plot.py": "x\n"})
    first = files.create_file_dict()
    second = files.create_file_dict()
    assert type(first) is dict and type(second) is dict
    assert first == second
    assert first is not second


def test_python_files_come_before_notebooks(files, workdir, make_tree):
    make_tree(
        workdir,
        {
            "top.ipynb": "{}\n",
            "a/b/c/deep.py": "deep\n",
            "a/middle.ipynb": "{}\n",
            "a/b/other.py": "other\n",
            "plot.py": "plot\n",
        },
    )
    keys = list(files.create_file_dict())
    python = [key for key in keys if key.endswith(".py")]
    notebooks = [key for key in keys if key.endswith(".ipynb")]
    assert keys == python + notebooks
    assert sorted(python) == ["./a/b/c/deep.py", "./a/b/other.py", "./plot.py"]
    assert sorted(notebooks) == ["./a/middle.ipynb", "./top.ipynb"]
    assert keys == glob_order()  # the order found, not sorted


def test_only_a_deep_python_file_still_precedes_a_top_notebook(files, workdir, make_tree):
    make_tree(workdir, {"notes.ipynb": "{}\n", "a/b/c/d/e.py": "e\n"})
    assert list(files.create_file_dict()) == ["./a/b/c/d/e.py", "./notes.ipynb"]


@pytest.mark.parametrize(
    "relative",
    ["e.py", "a/e.py", "a/b/e.py", "a/b/c/d/e.py", "a/b/c/d/e/f/g/h/i.py", "with space/ünïcode.py", "a/b/c/d/nb.ipynb"],
)
def test_key_is_the_full_relative_path(files, workdir, make_tree, relative):
    make_tree(workdir, {relative: "content\n"})
    assert files.create_file_dict() == {"./" + relative: "content\n"}


@pytest.mark.parametrize(
    "relative",
    [
        ".hidden.py",
        ".hidden.ipynb",
        ".git/x.py",
        ".venv/lib/site.py",
        "pkg/.cache/y.py",
        "pkg/.ipynb_checkpoints/notes-checkpoint.ipynb",
        "x.pyc",
        "x.pyw",
        "x.py.bak",
        "x.pyi",
        "x.PY",
        "x.ipynb.orig",
        "xpy",
        "notes.IPYNB",
    ],
)
def test_names_that_are_not_collected(files, workdir, make_tree, relative):
    make_tree(workdir, {relative: "skip me\n", "kept.py": "kept\n"})
    assert files.create_file_dict() == {"./kept.py": "kept\n"}


@pytest.mark.parametrize(
    "raw, text",
    [
        (b"a = 1\r\nb = 2\r\n", "a = 1\nb = 2\n"),
        (b"a = 1\rb = 2\r", "a = 1\nb = 2\n"),
        (b"a\r\nb\rc\n", "a\nb\nc\n"),
        (b"a\r\r\nb", "a\n\nb"),
        (b"", ""),
        (b"no newline at the end", "no newline at the end"),
    ],
    ids=["crlf", "lone-cr", "mixed", "cr-crlf", "empty", "no-final-newline"],
)
def test_line_ends_become_line_feeds(files, workdir, make_tree, raw, text):
    make_tree(workdir, {"plot.py": raw, "sub/notes.ipynb": raw})
    assert files.create_file_dict() == {"./plot.py": text, "./sub/notes.ipynb": text}


@needs_utf8
def test_text_is_read_with_the_default_encoding(files, workdir, make_tree):
    text = "# Größe, 面积, λ = 2π\nlabel = '✓'\n"
    make_tree(workdir, {"plot.py": text.encode("utf-8")})
    assert files.create_file_dict() == {"./plot.py": text}


def test_symlink_to_a_file_is_collected_under_the_link_path(files, workdir, make_tree):
    make_tree(workdir, {"data/target.txt": "linked = True\n"})
    os.symlink("data/target.txt", workdir / "link.py")
    assert files.create_file_dict() == {"./link.py": "linked = True\n"}


def test_symlink_and_its_target_are_both_collected(files, workdir, make_tree):
    make_tree(workdir, {"real.py": "real\n"})
    os.symlink("real.py", workdir / "alias.py")
    assert files.create_file_dict() == {"./real.py": "real\n", "./alias.py": "real\n"}


def test_files_are_closed_after_reading(files, workdir, make_tree):
    make_tree(workdir, {"a.py": "a\n", "b/c.py": "c\n", "d.ipynb": "{}\n"})
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        files.create_file_dict()
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []


@pytest.mark.parametrize(
    "setup, path, error, line",
    [
        (lambda root: os.symlink("missing.txt", root / "dangling.py"), "./dangling.py", FileNotFoundError, 16),
        (lambda root: (root / "tools.py").mkdir(), "./tools.py", IsADirectoryError, 16),
        (lambda root: (root / "pkg" / "tools.py").mkdir(parents=True), "./pkg/tools.py", IsADirectoryError, 16),
        (lambda root: (root / "notes.ipynb").mkdir(), "./notes.ipynb", IsADirectoryError, 16),
        pytest.param(
            lambda root: (root / "broken.py").write_bytes(b"x = '\xff\xfe'\n"), "./broken.py", UnicodeDecodeError, 17,
            marks=needs_utf8,
        ),
    ],
    ids=["dangling-symlink", "folder-named-tools.py", "nested-folder-named-tools.py", "folder-named-notes.ipynb", "invalid-utf-8"],
)
def test_one_unreadable_match_fails_the_whole_call(files, workdir, make_tree, our_entries, setup, path, error, line):
    make_tree(workdir, {"good.py": "good\n", "sub/also_good.py": "good\n"})
    setup(workdir)

    with pytest.raises(error) as caught:
        files.create_file_dict()

    assert type(caught.value) is error
    assert our_entries(caught) == [(ENTRY, line)]
    # The exception is the one reading the file raises, with a note naming it.
    with pytest.raises(error) as direct:
        with open(path) as file:
            file.read()
    assert caught.value.args == direct.value.args
    assert getattr(caught.value, "filename", None) == getattr(direct.value, "filename", None)
    assert caught.value.__notes__ == [f"while reading {path!r} for the source snapshot"]


@pytest.mark.skipif(os.geteuid() == 0, reason="root may read any file")
def test_unreadable_file_fails_with_permission_error(files, workdir, make_tree, our_entries):
    make_tree(workdir, {"secret.py": "secret\n"})
    (workdir / "secret.py").chmod(0)
    try:
        with pytest.raises(PermissionError) as caught:
            files.create_file_dict()
    finally:
        (workdir / "secret.py").chmod(0o644)
    assert our_entries(caught) == [(ENTRY, 16)]
    assert caught.value.__notes__ == ["while reading './secret.py' for the source snapshot"]


class ScriptedGlob:
    """Answers glob calls from a table; an exception instance is raised."""

    def __init__(self, python, notebooks):
        self.answers = {"./**/*.py": python, "./**/*.ipynb": notebooks}

    def glob(self, pattern, recursive=False):
        answer = self.answers[pattern]
        if isinstance(answer, BaseException):
            raise answer
        return answer


class FailingIteration(list):
    def __iter__(self):
        raise RuntimeError("cannot iterate")


@pytest.mark.parametrize(
    "python, notebooks, error, message, line",
    [
        (OSError("python glob failed"), [], OSError, "python glob failed", 12),
        ([], OSError("notebook glob failed"), OSError, "notebook glob failed", 13),
        ([], FailingIteration(["./n.ipynb"]), RuntimeError, "cannot iterate", 13),
        # The .py matches are appended to; a tuple cannot be.
        (("./a.py",), ["./n.ipynb"], AttributeError, "'tuple' object has no attribute 'append'", 14),
        (FailingIteration(["./a.py"]), [], RuntimeError, "cannot iterate", 15),
        (["./missing.py"], [], FileNotFoundError, None, 16),
    ],
    ids=["python-glob", "notebook-glob", "notebook-iteration", "append", "path-iteration", "open"],
)
def test_failing_steps_carry_their_line(files, workdir, make_tree, monkeypatch, our_entries, python, notebooks, error, message, line):
    make_tree(workdir, {"a.py": "a\n", "n.ipynb": "{}\n"})
    monkeypatch.setattr(files, "glob", ScriptedGlob(python, notebooks))

    with pytest.raises(error) as caught:
        files.create_file_dict()

    if message is not None:
        assert str(caught.value) == message
    assert our_entries(caught) == [(ENTRY, line)]


def test_a_tuple_of_python_paths_is_fine_without_notebooks(files, workdir, make_tree, monkeypatch):
    make_tree(workdir, {"a.py": "a\n"})
    monkeypatch.setattr(files, "glob", ScriptedGlob(("./a.py",), []))
    assert files.create_file_dict() == {"./a.py": "a\n"}


def test_paths_from_glob_are_used_unchanged(files, workdir, make_tree, monkeypatch):
    make_tree(workdir, {"lib/util.py": "util\n", "notes.ipynb": "{}\n", "data.txt": "raw\n"})
    monkeypatch.setattr(files, "glob", ScriptedGlob(["lib//util.py", "./data.txt"], ["notes.ipynb"]))
    assert list(files.create_file_dict().items()) == [
        ("lib//util.py", "util\n"),
        ("./data.txt", "raw\n"),
        ("notes.ipynb", "{}\n"),
    ]


def test_reads_the_working_directory_of_the_call(files, tmp_path, make_tree, monkeypatch):
    make_tree(tmp_path, {"one/a.py": "a\n", "two/b.py": "b\n"})
    monkeypatch.chdir(tmp_path / "one")
    assert files.create_file_dict() == {"./a.py": "a\n"}
    monkeypatch.chdir(tmp_path / "two")
    assert files.create_file_dict() == {"./b.py": "b\n"}
    monkeypatch.chdir(tmp_path)
    assert files.create_file_dict() == {"./one/a.py": "a\n", "./two/b.py": "b\n"}


def test_large_and_many_files(files, workdir, make_tree):
    tree = {f"pkg{i % 7}/module_{i}.py": f"value = {i}\n" * 50 for i in range(200)}
    tree["big.py"] = "# " + "x" * 1_000_000 + "\n"
    make_tree(workdir, tree)
    result = files.create_file_dict()
    assert len(result) == 201
    assert result == {"./" + key: value for key, value in tree.items()}
    assert list(result) == glob_order()


def test_a_path_whose_text_cannot_be_made_keeps_the_reading_error(files, workdir, monkeypatch):
    class Unprintable:
        def __repr__(self):
            raise RuntimeError("no text for this path")

    class OddGlob:
        @staticmethod
        def glob(pattern, recursive=False):
            return [Unprintable()] if pattern.endswith(".py") else []

    monkeypatch.setattr(files, "glob", OddGlob)
    with pytest.raises(RuntimeError, match="^no text for this path$") as caught:
        files.create_file_dict()
    # The note could not be made; the failure to open is the context.
    assert type(caught.value.__context__) is TypeError
