"""Running the command line and project scripts in child processes, for the
tests of the Python layer (importable: conftest puts this folder on sys.path)."""

import ctypes
import os
import re
import resource
import subprocess
import shutil
import sys
import tempfile
import time
from pathlib import Path

import pytest

from support import child_environment

# The memory and time that one command may take on a hostile file.
MEMORY_BOUND = 1024 * 1024 * 1024
TIME_BOUND = 10
# The time that any other command may take (an expand imports numpy and more).
TIMEOUT = 120


def _sanitized():
    """Whether this process (and so every child, which inherits the
    environment that tools/sanitize.sh sets) runs with AddressSanitizer."""
    try:
        return hasattr(ctypes.CDLL(None), "__asan_init")
    except OSError:
        return False


# AddressSanitizer reserves terabytes of address space for its shadow memory
# when a process starts, so no address-space (or data) limit can be set on a
# sanitized child: its resident memory is watched instead, and both bounds
# grow by what the sanitizer itself costs (shadow memory, quarantined
# blocks, every Python object through malloc).
SANITIZED = _sanitized()
SANITIZER_FACTOR = 3
# How often a sanitized child's resident memory is looked at, in seconds.
WATCH_INTERVAL = 0.02

# Control characters that must never reach a terminal (tab included), and
# the escape character that starts terminal control sequences.
CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f\x7f-\x9f\u2028\u2029]")


def _limit_address_space(limit):
    def apply():
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    return apply


def _peak_resident(pid):
    """The peak resident memory of a running process, in bytes (0 once it is gone)."""
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def run_bounded(command, *, memory=MEMORY_BOUND, timeout=TIME_BOUND, stdout=subprocess.PIPE, text=True, **popen):
    """`command` in a child process with at most `memory` bytes and `timeout`
    seconds (an overrun raises subprocess.TimeoutExpired); returns the
    finished process. A child past the memory bound fails an address-space
    allocation (MemoryError); a sanitized child is watched and killed, and
    the overrun fails the test."""
    if not SANITIZED:
        return subprocess.run(
            command, stdout=stdout, stderr=subprocess.PIPE, text=text, timeout=timeout,
            preexec_fn=_limit_address_space(memory), **popen,
        )
    memory, timeout = memory * SANITIZER_FACTOR, timeout * SANITIZER_FACTOR
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        child = subprocess.Popen(command, stdout=out if stdout is subprocess.PIPE else stdout, stderr=err, **popen)
        deadline = time.monotonic() + timeout
        peak = 0
        while True:
            # wait4 gives a finished child's exact peak; a running one is
            # looked at until it ends or passes a bound.
            pid, status, usage = os.wait4(child.pid, os.WNOHANG)
            if pid:
                child.returncode = os.waitstatus_to_exitcode(status)
                peak = max(peak, usage.ru_maxrss * 1024)
                break
            peak = max(peak, _peak_resident(child.pid))
            if peak > memory or time.monotonic() > deadline:
                child.kill()
                child.wait()
                if peak <= memory:
                    raise subprocess.TimeoutExpired(command, timeout)
                break
            time.sleep(WATCH_INTERVAL)
        assert peak <= memory, f"{command} used {peak:,} bytes of memory, more than {memory:,}"
        outputs = []
        for captured in (out, err):
            captured.seek(0)
            data = captured.read()
            outputs.append(data.decode("utf-8", "replace") if text else data)
    return subprocess.CompletedProcess(command, child.returncode, outputs[0] if stdout is subprocess.PIPE else None, outputs[1])


def console_script_path():
    beside = Path(sys.executable).with_name("figvault")
    found = str(beside) if beside.exists() else shutil.which("figvault")
    assert found, "the figvault console script is not installed"
    return found


def run_cli(*args, cwd, bounded=False, console_script=False, timeout=None, env=None, stdout=subprocess.PIPE, text=True):
    """`python -m figvault ARGS` (or the `figvault` console script) in a
    child process; returns the finished process. ``bounded`` gives it at
    most MEMORY_BOUND bytes and TIME_BOUND seconds (see run_bounded), as a
    hostile file must allow."""
    command = [console_script_path()] if console_script else [sys.executable, "-m", "figvault"]
    environment = child_environment()
    environment.update(env or {})
    command = [*command, *map(str, args)]
    if bounded:
        return run_bounded(command, timeout=timeout or TIME_BOUND, cwd=cwd, env=environment, stdout=stdout, text=text)
    return subprocess.run(
        command, cwd=cwd, env=environment, stdout=stdout, stderr=subprocess.PIPE, text=text, timeout=timeout or TIMEOUT
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
