"""Helpers shared by the test modules (importable: conftest puts this folder on sys.path)."""

import traceback

import pytest


def entries_from(error, source_path):
    """The traceback entries of `error` (an exception or a pytest.ExceptionInfo)
    whose file name is `source_path`, as (name, line) pairs, oldest first."""
    if isinstance(error, pytest.ExceptionInfo):
        error = error.value
    return [
        (frame.name, frame.lineno)
        for frame in traceback.extract_tb(error.__traceback__)
        if frame.filename == source_path
    ]
