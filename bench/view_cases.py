"""Section 9 of bench/run.py: show, diff and list on crafted archives, each
command in a fresh process, timed from outside (wall clock, and the CPU time
of the command with every process it waited for, such as a compile child).

The cases are the slow inputs of the view: two archives of one 20,000-line
file whose lines match poorly (every pair of lines swapped), shared behind 50
keys; a 512 KiB source holding one f-string of 174,000 fields, for a function
stored by value and one stored by reference; and a folder of 200 archives.
The goal is the promise for any input: an answer within 10 seconds.
"""

import os
import pickle
import resource
import statistics
import subprocess
import sys
import time

GOAL_SECONDS = 10.0
SWAPPED_LINES = 20_000
SHARING_KEYS = 50
FSTRING_FIELDS = 174_000
LISTED_ARCHIVES = 200

_BY_VALUE = """
import dill, sys
namespace = {"__name__": "__main__"}
exec(compile("def f(x):\\n    return x\\n", "/elsewhere/big.py", "exec"), namespace)
source = sys.stdin.read()
with open(sys.argv[1], "wb") as file:
    dill.dump({"args": {"x": 1}, "files": {"./big.py": source}, "func": namespace["f"]}, file)
"""


def _record(files, args=None):
    return pickle.dumps({"args": args or {}, "files": files, "func": len}, protocol=4)


def make_cases(folder):
    """Writes the crafted archives; returns {label: command arguments}."""
    old = "".join(f"{i}\n" for i in range(SWAPPED_LINES))
    new = "".join(f"{i ^ 1}\n" for i in range(SWAPPED_LINES))
    for name, text in (("old.figvault", old), ("new.figvault", new)):
        with open(os.path.join(folder, name), "wb") as file:
            file.write(_record({f"./f{i}.py": text for i in range(SHARING_KEYS)}))
    source = "def f(x):\n    return x\n\n\nS = f\"" + "{x}" * FSTRING_FIELDS + "\"\n"
    reference = pickle.dumps({"args": {"x": 1}, "files": {"./big.py": source}, "func": len}, protocol=3)
    with open(os.path.join(folder, "reference.figvault"), "wb") as file:
        file.write(reference.replace(b"cbuiltins\nlen\n", b"cbig\nf\n"))
    subprocess.run([sys.executable, "-c", _BY_VALUE, os.path.join(folder, "value.figvault")],
                   input=source, text=True, check=True)
    many = os.path.join(folder, "many")
    os.makedirs(many)
    for i in range(LISTED_ARCHIVES):
        with open(os.path.join(many, f"a{i:03}.figvault"), "wb") as file:
            file.write(_record({f"./m{j}.py": "x = 1\n" * 50 for j in range(20)}, {"png_path": "a.png", "scale": i}))
    lines = f"{SWAPPED_LINES:,} swapped lines behind {SHARING_KEYS} keys"
    fstring = f"one f-string of {FSTRING_FIELDS:,} fields"
    return {
        f"diff, {lines}": ["diff", "old.figvault", "new.figvault"],
        f"diff --stat, {lines}": ["diff", "old.figvault", "new.figvault", "--stat"],
        f"show, function by value, {fstring}": ["show", "value.figvault"],
        f"show, function by reference, {fstring}": ["show", "reference.figvault"],
        f"list, {LISTED_ARCHIVES} archives": ["list", "many"],
    }


def _run(args, folder):
    """(wall seconds, CPU seconds) of one command in a fresh process."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    subprocess.run([sys.executable, "-m", "figvault", *args], cwd=folder, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def view_section(root, rounds, emit, table):
    emit("## 9. show, diff and list on slow inputs")
    emit()
    emit("Each command in a fresh `python -m figvault` process; wall time and CPU time (the command "
         "and the processes it waited for), medians of the rounds. Goal: an answer within "
         f"{GOAL_SECONDS:g} s whatever the input.")
    emit()
    folder = os.path.join(root, "view")
    os.makedirs(folder)
    rows = []
    for label, args in make_cases(folder).items():
        runs = [_run(args, folder) for _ in range(rounds)]
        wall = statistics.median(run[0] for run in runs)
        cpu = statistics.median(run[1] for run in runs)
        rows.append([label, rounds, f"{wall:.2f} s", f"{cpu:.2f} s", f"≤ {GOAL_SECONDS:g} s",
                     "met" if wall <= GOAL_SECONDS else "NOT met"])
    emit(table(["case", "rounds", "wall", "CPU", "goal", "verdict"], rows))
    emit()
