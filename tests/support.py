"""Helpers shared by both sides of the suite (importable: conftest puts this
folder on sys.path); tests/conftest.py hands some of them out as fixtures."""

import os
import shutil
import subprocess
import sys
import traceback
from pathlib import Path

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


def child_environment(pythonpath=None, python=None):
    """The environment for a child interpreter: it imports the same figvault
    build as this process (the installed one, or a sanitized staging copy),
    never the source tree; `pythonpath`, when given, comes first. A `python`
    of another version imports its own figvault (this build is not for it)."""
    import figvault

    env = dict(os.environ)
    paths = [str(pythonpath)] * (pythonpath is not None)
    if python is None or python == sys.executable:
        paths.append(os.path.dirname(os.path.dirname(os.path.abspath(figvault.__file__))))
    if paths:
        env["PYTHONPATH"] = os.pathsep.join(paths)
    else:
        env.pop("PYTHONPATH", None)
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


def make_tree(root, tree):
    """Writes {relative path: text or bytes} below `root` (folders made as
    needed); returns root as a Path."""
    root = Path(root)
    for relative, content in tree.items():
        target = root / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            target.write_bytes(content)
        else:
            target.write_text(content, encoding="utf-8", newline="")
    return root


def listing(root):
    """Every file and folder below `root`, as sorted relative POSIX paths
    (folders end in '/')."""
    root = Path(root)
    found = []
    for path in root.rglob("*"):
        relative = path.relative_to(root).as_posix()
        found.append(relative + "/" if path.is_dir() and not path.is_symlink() else relative)
    return sorted(found)


def run_python(code, cwd=None, pythonpath=None, unprivileged=False, timeout=120):
    """Runs `code` in a child interpreter (so that a crash cannot take the
    test run down) importing the figvault build under test, with
    `pythonpath` first on its path; returns the finished process.

    With `unprivileged`, a process running as root first drops every
    capability, so that file permissions apply to it as to any other user;
    the test is skipped where that is not possible."""
    command = [sys.executable, "-c", code]
    if unprivileged and os.geteuid() == 0:
        setpriv = shutil.which("setpriv")
        if setpriv is None:
            pytest.skip("running as root without setpriv: permissions cannot be enforced")
        command = [setpriv, "--inh-caps=-all", "--bounding-set=-all", *command]
    return subprocess.run(
        command, cwd=cwd, env=child_environment(pythonpath), capture_output=True, text=True, timeout=timeout
    )
