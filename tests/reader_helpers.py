"""Helpers shared by the tests of the archive reader, `figvault show` and
`figvault diff`: running the command line in a child process with bounded
memory and time, and writing archives with the real decorator."""

import re
import resource
import subprocess
import sys
import textwrap
from pathlib import Path

from support import child_environment

# The memory (address space) and time that one command may take on a hostile file.
MEMORY_BOUND = 1024 * 1024 * 1024
TIME_BOUND = 10

# Control characters that must never reach a terminal (tab included), and
# the escape character that starts terminal control sequences.
CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f\x7f-\x9f\u2028\u2029]")


def limit_memory(limit):
    def apply():
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    return apply


def run_cli(*args, cwd, memory=MEMORY_BOUND, timeout=TIME_BOUND, env=None, stdout=subprocess.PIPE, text=True):
    """`python -m figvault ARGS` in a child with at most `memory` bytes of
    address space, ended after `timeout` seconds (subprocess.TimeoutExpired)."""
    environment = child_environment()
    environment.update(env or {})
    return subprocess.run(
        [sys.executable, "-m", "figvault", *map(str, args)],
        cwd=cwd,
        env=environment,
        stdout=stdout,
        stderr=subprocess.PIPE,
        text=text,
        timeout=timeout,
        preexec_fn=limit_memory(memory) if memory else None,
    )


def one_error_line(done, *fragments):
    """The run failed with exit status 1 and one clean 'figvault: error:' line."""
    assert done.returncode == 1, (done.returncode, done.stdout, done.stderr)
    lines = done.stderr.splitlines()
    assert len(lines) == 1, done.stderr
    assert lines[0].startswith("figvault: error: "), lines[0]
    assert not CONTROL.search(lines[0]), lines[0]
    assert "Traceback" not in done.stderr
    for fragment in fragments:
        assert fragment in lines[0], (fragment, lines[0])
    return lines[0]


def write_project(root, files):
    """Writes {relative path: text} below `root`; returns root."""
    root = Path(root)
    for relative, content in files.items():
        target = root / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(textwrap.dedent(content), encoding="utf-8")
    return root


def run_script(name, cwd, *args, timeout=180):
    """Runs a script of the project in a child (the real decorator writes the archives)."""
    done = subprocess.run(
        [sys.executable, name, *map(str, args)],
        cwd=cwd,
        env=child_environment(),
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert done.returncode == 0, done.stderr
    return done

