"""Running the command line and project scripts in child processes, for the
tests of the Python layer (importable: conftest puts this folder on sys.path)."""

import os
import re
import resource
import subprocess
import shutil
import sys
from pathlib import Path

import pytest

from support import child_environment

# The memory (address space) and time that one command may take on a hostile file.
MEMORY_BOUND = 1024 * 1024 * 1024
TIME_BOUND = 10
# The time that any other command may take (an expand imports numpy and more).
TIMEOUT = 120

# Control characters that must never reach a terminal (tab included), and
# the escape character that starts terminal control sequences.
CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f\x7f-\x9f\u2028\u2029]")


def limit_memory(limit):
    def apply():
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    return apply


def console_script_path():
    beside = Path(sys.executable).with_name("figvault")
    found = str(beside) if beside.exists() else shutil.which("figvault")
    assert found, "the figvault console script is not installed"
    return found


def run_cli(*args, cwd, bounded=False, console_script=False, timeout=None, env=None, stdout=subprocess.PIPE, text=True):
    """`python -m figvault ARGS` (or the `figvault` console script) in a
    child process; returns the finished process. ``bounded`` gives it at
    most MEMORY_BOUND bytes of address space and TIME_BOUND seconds (an
    overrun raises subprocess.TimeoutExpired), as a hostile file must
    allow."""
    command = [console_script_path()] if console_script else [sys.executable, "-m", "figvault"]
    environment = child_environment()
    environment.update(env or {})
    return subprocess.run(
        [*command, *map(str, args)],
        cwd=cwd,
        env=environment,
        stdout=stdout,
        stderr=subprocess.PIPE,
        text=text,
        timeout=timeout or (TIME_BOUND if bounded else TIMEOUT),
        preexec_fn=limit_memory(MEMORY_BOUND) if bounded else None,
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


def run_script(name, cwd, *args, timeout=180):
    """Runs a script of a project in a child (the real decorator writes the archives)."""
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


# Runs the command line with the arguments after -c, then writes its peak
# resident memory (VmHWM, in KiB: the process's own, not the forked parent's
# that ru_maxrss would include) as the last line of its standard error.
_MEASURED_CLI = """
import sys
from figvault.cli import main
status = main(sys.argv[1:])
with open("/proc/self/status") as status_file:
    peak = next(line for line in status_file if line.startswith("VmHWM:")).split()[1]
print(peak, file=sys.stderr)
sys.exit(status)
"""


def peak_memory(*args, cwd):
    """The peak resident memory, in bytes, of `figvault ARGS` run in a child
    process, which must succeed."""
    if not os.path.exists("/proc/self/status"):
        pytest.skip("the peak memory of a process is read from /proc")
    done = subprocess.run(
        [sys.executable, "-c", _MEASURED_CLI, *map(str, args)],
        cwd=cwd, env=child_environment(), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=TIMEOUT,
    )
    assert done.returncode == 0, done.stderr
    return int(done.stderr.splitlines()[-1]) * 1024
