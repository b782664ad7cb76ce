"""Shared fixtures of the test suite."""

import subprocess
import sys
from pathlib import Path

import pytest

# The helper modules beside this file (support, archive_helpers) are
# imported by name; pytest's importlib mode does not put this folder on sys.path.
sys.path.insert(0, str(Path(__file__).resolve().parent))

import figvault.src.files as files_module  # noqa: E402
from support import child_environment, entries_from  # noqa: E402

# The file name that the module's own traceback entries carry.
SOURCE_PATH = "figvault/src/files.py"


@pytest.fixture
def files():
    """The module under test."""
    return files_module


@pytest.fixture
def our_entries():
    """Returns a function giving the traceback entries added by the module,
    as (name, line) pairs, for an exception or an ExceptionInfo."""

    def entries(error):
        return entries_from(error, SOURCE_PATH)

    return entries


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """An empty working directory; the previous one is restored afterwards."""
    folder = tmp_path / "work"
    folder.mkdir()
    monkeypatch.chdir(folder)
    return folder


@pytest.fixture
def make_tree():
    """Returns a function writing {relative path: text or bytes} below a root."""

    def make(root, tree):
        root = Path(root)
        for relative, content in tree.items():
            target = root / relative
            target.parent.mkdir(parents=True, exist_ok=True)
            if isinstance(content, bytes):
                target.write_bytes(content)
            else:
                target.write_text(content, encoding="utf-8", newline="")
        return root

    return make


@pytest.fixture
def listing():
    """Returns a function listing every file and folder below a root, as
    sorted relative POSIX paths (folders end in '/')."""

    def walk(root):
        root = Path(root)
        found = []
        for path in root.rglob("*"):
            relative = path.relative_to(root).as_posix()
            found.append(relative + "/" if path.is_dir() and not path.is_symlink() else relative)
        return sorted(found)

    return walk


@pytest.fixture
def run_python():
    """Returns a function running `code` in a child interpreter (so that a
    crash cannot take the test run down) and returning the finished process."""

    def run(code, cwd=None, pythonpath=None, timeout=60):
        env = child_environment(pythonpath)
        return subprocess.run(
            [sys.executable, "-c", code],
            cwd=cwd,
            env=env,
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    return run
