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


# An editable install puts an import hook first on sys.meta_path that serves
# figvault from the source tree whatever sys.path says. Code run in a child
# interpreter to import a copy of the package (found through PYTHONPATH)
# starts with these lines, which drop that hook.
USE_PACKAGE_COPY = (
    "import sys\n"
    "sys.meta_path[:] = [finder for finder in sys.meta_path\n"
    "                    if 'figvault' not in getattr(finder, 'known_source_files', ())]\n"
)


def flip_bits(data, positions):
    """`data` with the bits at `positions` (taken modulo its length) flipped."""
    mutable = bytearray(data)
    for position in positions:
        mutable[(position // 8) % len(mutable)] ^= 1 << (position % 8)
    return bytes(mutable)
