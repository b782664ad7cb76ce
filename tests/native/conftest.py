"""Fixtures of the tests of the compiled modules figvault.src.files,
figvault.src.archive and figvault.src.unarchive."""

import sys
import types
from pathlib import Path

import pytest

# The helper modules beside this file are imported by name.
sys.path.insert(0, str(Path(__file__).resolve().parent))

import figvault.src.archive as archive_module  # noqa: E402
import figvault.src.files as files_module  # noqa: E402
from support import entries_from  # noqa: E402


@pytest.fixture
def files():
    """The module figvault.src.files."""
    return files_module


@pytest.fixture
def am():
    """The module figvault.src.archive."""
    return archive_module


@pytest.fixture
def our_entries():
    """Returns a function giving the traceback entries that a compiled module
    ("files" unless named: "archive", "unarchive") added to an exception or
    an ExceptionInfo, as (name, line) pairs, oldest first."""

    def entries(error, module="files"):
        return entries_from(error, f"figvault/src/{module}.py")

    return entries


@pytest.fixture
def events(am, monkeypatch):
    """A list to which the reading of the sources appends "sources" (the real
    create_file_dict still runs behind it)."""
    happened = []
    real_files = am.files

    def create_file_dict():
        happened.append("sources")
        return real_files.create_file_dict()

    monkeypatch.setattr(am, "files", types.SimpleNamespace(create_file_dict=create_file_dict))
    return happened
