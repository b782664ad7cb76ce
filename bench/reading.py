"""Section 11 of the benchmarks: the restricted reader on crafted and large
archives, through the command line.

Every case runs the command line in a fresh process; the table gives its
wall time, its CPU time (from wait4), its peak resident memory (the
process's own high-water mark, which starts afresh at exec) and the
command's exit status and first line of errors. The crafted archives
are the ones the tests build (tests/layer/crafted.py) at their largest
sizes; the large ones are genuine records written with dill.
"""

import os
import pickle
import subprocess
import sys
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "layer"))

import crafted  # noqa: E402

# Bytes of source text in each of the two archives of the large diff: each
# takes more than half the read budget, both together more than all of it.
LARGE_TEXT = {"quick": 40 * 2**20, "full": 300 * 2**20}
# Elements of the list argument of the archive that extract must read.
LIST_ELEMENTS = {"quick": 1_000_000, "full": 10_000_000}
# Bytes of the cheapest hostile operations that extract reads to the end.
HOSTILE_BYTES = {"quick": 2 * 2**20, "full": 10 * 2**20}

MAKE_LIST = textwrap.dedent(
    """\
    import sys
    from figvault import archive


    def count(values):
        return len(values)


    archive("list.figvault")(count)(list(range(int(sys.argv[1]))))
    """
)


# `figvault ARGS`, then the process's peak resident memory as the last line
# of its standard error.
CHILD = """
import sys
from figvault import cli

try:
    status = cli.main(sys.argv[1:])
finally:
    with open("/proc/self/status") as info:
        peak = next(line.split()[1] for line in info if line.startswith("VmHWM:"))
    sys.stderr.write(f"\\n{peak}\\n")
sys.exit(status)
"""


def run(args, cwd):
    """(wall seconds, CPU seconds, peak resident bytes, exit status, first error line) of one command."""
    started = time.perf_counter()
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, *args], cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True
    )
    errors = child.stderr.read().splitlines()
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    wall = time.perf_counter() - started
    peak = int(errors.pop()) * 1024 if errors and errors[-1].isdigit() else 0
    first = errors[0] if errors else ""
    return wall, usage.ru_utime + usage.ru_stime, peak, child.returncode, first


def _write_pair(folder, name, ingredients):
    with open(os.path.join(folder, f"{name}-old.figvault"), "wb") as file:
        file.write(crafted.archive_bytes(ingredients))
    with open(os.path.join(folder, f"{name}-new.figvault"), "wb") as file:
        file.write(crafted.archive_bytes(ingredients, variant=1))


def _write_large_pair(folder, size):
    line = "value = " + "1" * 90 + "\n"
    text = line * (size // len(line))
    for name, tail in (("large-old", ""), ("large-new", "more = 2\n")):
        with open(os.path.join(folder, f"{name}.figvault"), "wb") as file:
            pickle.dump({"args": {}, "files": {"./data.py": text + tail}, "func": len}, file, protocol=4)


def cases(folder, kind):
    """(label, command arguments) of every case, after writing their archives into ``folder``."""
    found = []
    for name, ingredients in (
        ("1 MB global name in 3,000 arguments", [(crafted.long_name, 2**20)]),
        ("200 KB int in 3,000 arguments", [(crafted.huge_ints, 200_000)]),
        ("one state given 5,000 times", [(crafted.shared_states, 20_000)]),
        ("one keywords dict for 5,000 calls", [(crafted.shared_keywords, 20_000)]),
        ("8 fields of one dtype, 40 levels", [(crafted.nested_dtypes, 40)]),
    ):
        stem = name.split(",")[0].replace(" ", "-")
        _write_pair(folder, stem, ingredients)
        found.append((name, ["show", f"{stem}-old.figvault"]))
        found.append((name, ["show", f"{stem}-old.figvault", "--json"]))
        found.append((name, ["diff", f"{stem}-old.figvault", f"{stem}-new.figvault"]))
    size = LARGE_TEXT[kind]
    _write_large_pair(folder, size)
    label = f"two archives of {size / 2**20:.0f} MiB of text"
    found.append((label, ["show", "large-old.figvault"]))
    found.append((label, ["diff", "large-old.figvault", "large-new.figvault", "--stat"]))
    elements = LIST_ELEMENTS[kind]
    with open(os.path.join(folder, "make_list.py"), "w") as file:
        file.write(MAKE_LIST)
    subprocess.run([sys.executable, "make_list.py", str(elements)], cwd=folder, check=True)
    found.append((f"a list of {elements:,} elements, written by @archive", ["extract", "list.figvault", "--folder", "list-out"]))
    hostile = HOSTILE_BYTES[kind]
    for operation, what in ((b"}", "empty dicts"), (b"N", "Nones")):
        with open(os.path.join(folder, f"hostile-{what}.figvault"), "wb") as file:
            file.write(b"\x80\x04" + operation * (hostile // len(operation)) + b".")
        found.append((f"{hostile / 2**20:.0f} MB of {what}", ["extract", f"hostile-{what}.figvault", "--folder", "h-out"]))
    return found


def reader_section(root, kind, emit, table):
    """Writes the archives below ``root``, runs every case and emits the table."""
    folder = os.path.join(root, "reading")
    os.makedirs(folder)
    emit("## 11. The restricted reader on crafted and large archives (fresh process each)")
    emit()
    emit("show, diff and extract through `python -m figvault`; peak memory from wait4 (ru_maxrss).")
    emit()
    rows = []
    for label, args in cases(folder, kind):
        wall, cpu, peak, status, first = run(args, folder)
        shown = " ".join(arg if not arg.endswith(".figvault") else "…" for arg in args)
        rows.append([label, shown, f"{wall:.2f} s", f"{cpu:.2f} s", f"{peak / 2**20:.0f} MiB", str(status), first[:70]])
    emit(table(["archive", "command", "wall", "CPU", "peak RSS", "exit", "error"], rows))
    emit()
