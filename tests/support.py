"""Helpers shared by the test modules (importable: conftest puts this folder on sys.path)."""

import os
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


def child_environment(pythonpath=None):
    """The environment for a child interpreter: it imports the same figvault
    build as this process (the installed one, or a sanitized staging copy),
    never the source tree; `pythonpath`, when given, comes first."""
    import figvault

    package_root = os.path.dirname(os.path.dirname(os.path.abspath(figvault.__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(pythonpath)] * (pythonpath is not None) + [package_root]
    )
    return env
