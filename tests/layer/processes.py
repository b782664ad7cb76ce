"""Child interpreters for tests that archive and replay in fresh processes
(importable: conftest puts this folder on sys.path)."""

import subprocess
import sys
from pathlib import Path

from support import child_environment

# Seconds one child process may take (matplotlib, torch and a kernel start).
TIMEOUT = 180
# Child processes running at once: enough to overlap start-up costs without
# holding several torch-sized interpreters in memory on a small machine.
AT_ONCE = 3


# `python -c PLAIN_ARCHIVE script.py` runs script.py as `python script.py`
# would, but figvault's archive decorator is replaced by one that writes the
# record {"args", "files", "func"} with a plain dill.dump (no recurse): a
# function of the script is saved without its globals, whatever the real
# decorator does.
PLAIN_ARCHIVE = '''
import __main__, inspect, os, sys
import dill
import figvault
from figvault.src.files import create_file_dict


def plain_archive(filename):
    """Archives every call the plain way: dill.dump without recurse."""
    def decorate(func):
        names = inspect.getfullargspec(func).args
        def wrapper(*args, **kwargs):
            record = {"args": dict(zip(names, args)), "files": create_file_dict(), "func": func}
            with open(filename, "wb") as file:
                dill.dump(record, file, recurse=False)
            return func(*args, **kwargs)
        return wrapper
    return decorate


figvault.archive = plain_archive  # what the scripts import
# Run the script as `python script.py` would: in __main__, its folder first on sys.path.
script = os.path.abspath(sys.argv[1])
sys.argv = [script]
sys.path[0] = os.path.dirname(script)
__main__.__file__ = script
exec(compile(open(script).read(), script, "exec"), __main__.__dict__)
'''


class Job:
    """A child interpreter (`python`): `args` after the interpreter, in `cwd`
    (made if missing), importing the figvault build under test (another
    version's interpreter: its own), with `pythonpath` (when given) first on
    its path."""

    def __init__(self, args, cwd, pythonpath=None, python=sys.executable):
        self.args = [python, *map(str, args)]
        self.cwd = Path(cwd)
        self.cwd.mkdir(parents=True, exist_ok=True)
        self.pythonpath = pythonpath
        self.result = None

    def start(self):
        return subprocess.Popen(
            self.args, cwd=self.cwd, env=child_environment(self.pythonpath, self.args[0]), text=True,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        )

    def check(self):
        """The finished process, which must have succeeded."""
        result = self.result
        assert result is not None, "the job did not run"
        assert result.returncode == 0, f"{self.args}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}"
        return result


def run_all(jobs, at_once=AT_ONCE):
    """Runs the jobs, `at_once` at a time, and waits for all of them."""
    jobs = list(jobs)
    for start in range(0, len(jobs), at_once):
        started = [(job, job.start()) for job in jobs[start : start + at_once]]
        for job, process in started:
            try:
                stdout, stderr = process.communicate(timeout=TIMEOUT)
            except subprocess.TimeoutExpired:
                process.kill()
                stdout, stderr = process.communicate()
            job.result = subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr)
    return jobs
