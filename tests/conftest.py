"""Fixtures shared by both sides of the suite: tests/native/ checks the
compiled modules, tests/layer/ the Python layer built on them."""

import sys
from pathlib import Path

import pytest

# The helper modules beside this file (support) are imported by name;
# pytest's importlib mode does not put test folders on sys.path.
sys.path.insert(0, str(Path(__file__).resolve().parent))

import support  # noqa: E402


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """An empty working directory; the previous one is restored afterwards,
    so that nothing a test writes lands anywhere else."""
    folder = tmp_path / "work"
    folder.mkdir()
    monkeypatch.chdir(folder)
    return folder


@pytest.fixture
def make_tree():
    """Returns a function writing {relative path: text or bytes} below a root."""
    return support.make_tree


@pytest.fixture
def listing():
    """Returns a function listing every file and folder below a root, as
    sorted relative POSIX paths (folders end in '/')."""
    return support.listing


@pytest.fixture
def run_python():
    """Returns a function running code in a child interpreter and returning
    the finished process (see support.run_python)."""
    return support.run_python
