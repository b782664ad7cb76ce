#!/usr/bin/env python
"""figvault benchmark suite: one command, a markdown table on stdout.

    python bench/run.py            # full run (several minutes)
    python bench/run.py --quick    # smoke run: small and medium trees, few rounds
    python bench/run.py --snapshot # only section 5 (add --quick for a smoke run)
    python bench/run.py --dump     # only section 6
    python bench/run.py --floor    # only section 7 (add --quick for a smoke run)
    python bench/run.py --restore  # only section 8
    python bench/run.py --view     # only section 9
    python bench/run.py --replay   # only section 10
    python bench/run.py --reader   # only section 11 (add --quick for a smoke run)

Measures, on generated source trees of .py text:
  1. a decorated call against the plain-Python floor and a plain-Python peer
     decorator,
  2. expand (with restoration) against its plain-Python floor,
  3. the cost of one call of a figvault function object against a Python
     function with the same parameters,
  4. the peak memory of one archive call, as a multiple of the tree's text,
  5. the native snapshot: create_file_dict against glob + open().read() in
     plain Python, and a decorated call against the plain-Python decorator,
     on the generated trees and on a project with a virtual environment
     folder inside,
  6. the dump of a record with the globals its function reads,
  7. the snapshot at the floor of the machine: the floor program
     (bench/floor.c), the native create_file_dict and the plain-Python steps
     side by side, in CPU time,
  8. the replay's restore of the sources (descriptors, checks, listing)
     against writing them by path, and a restore that meets a folder
     swapped for a link,
  9. show, diff and list on slow inputs (bench/view_cases.py),
  10. the weight of the command line: the peak memory of `figvault expand`
      above the same command's on an empty snapshot, as a multiple of the
      archive, and the CPU time and modules of `figvault --help`,
  11. show, diff and extract on crafted hostile archives and on large genuine
      ones (bench/reading.py).

Runs of the compared variants are interleaved in a shuffled order inside every
round, and ratios are taken between the runs of the same round (paired), so
slow drifts of the machine hit both sides alike. Nothing here asserts on time:
goals are only reported as met or not.
"""

import argparse
import contextlib
import gc
import hashlib
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import peers  # noqa: E402
import reading  # noqa: E402
import trees  # noqa: E402
import view_cases  # noqa: E402

perf_ns = time.perf_counter_ns

# Goals (reported, never asserted).
GOAL_OVERHEAD = 0.02     # decorated call: at most 2 % over the floor
GOAL_PEER_RATIO = 1.00   # decorated call: no slower than the plain-Python peer
GOAL_CALL_RATIO = 1.50   # one function-object call: within 1.5x of Python
# Native snapshot: speed-ups (plain Python time / figvault time), at least.
GOAL_SNAPSHOT_SPEEDUP = {"small": 1.0, "medium": 2.5, "large": 2.5, "venv": 2.5}
GOAL_DECORATED_SPEEDUP = 1.5
# The snapshot against the floor program, in CPU time: at most this multiple.
GOAL_FLOOR_RATIO = 1.25
# The record dumped with the globals its function reads: at most 5 % over the plain dump.
GOAL_RECURSE_OVERHEAD = 0.05
# `figvault expand`: peak memory above the same command's on an empty
# snapshot, per byte of the archive; `figvault --help`: CPU time, and modules
# that `import figvault.cli` loads beyond argparse and json.
GOAL_EXPAND_MEMORY = 1.3
GOAL_HELP_CPU = 0.040
GOAL_CLI_MODULES = 25

# Rounds per tree: (archive rounds, expand rounds). Each archive round times 4
# variants, each expand round 2.
FULL_ROUNDS = {"small": (300, 150), "medium": (150, 60), "large": (50, 30)}
DISK_LARGE_EXPAND_ROUNDS = 12
QUICK_ROUNDS = {"small": (30, 12), "medium": (6, 4)}
FULL_BREAKDOWN = {"small": 300, "medium": 80}
QUICK_BREAKDOWN = {"small": 25}
PLOT_ARGS = ([1.0, 2.0, 3.0],)
# Section 5 rounds: create_file_dict per tree, and decorated calls per tree.
FULL_SNAPSHOT_ROUNDS = {"small": 300, "medium": 80, "large": 25, "venv": 25}
QUICK_SNAPSHOT_ROUNDS = {"small": 40, "medium": 10, "large": 5, "venv": 5}
FULL_DECORATED_ROUNDS = {"large": 25, "venv": 25}
QUICK_DECORATED_ROUNDS = {"large": 4, "venv": 4}
# Section 7: CPU-time rounds per tree with memory reused, fresh processes per
# tree for the first call, and decorated-call rounds on the large tree.
FULL_FLOOR_ROUNDS = {"medium": 60, "large": 20}
QUICK_FLOOR_ROUNDS = {"medium": 10, "large": 4}
FULL_FIRST_CALLS = 7
QUICK_FIRST_CALLS = 2
FULL_FLOOR_DECORATED_ROUNDS = 15
QUICK_FLOOR_DECORATED_ROUNDS = 3
# Section 6 rounds: dill.dump of the record with and without recurse, per tree.
FULL_DUMP_ROUNDS = {"small": 300, "medium": 80, "large": 30}
QUICK_DUMP_ROUNDS = {"small": 30, "medium": 6}
# Section 7: `figvault expand` runs per tree, and `figvault --help` runs.
FULL_REPLAY_RUNS, QUICK_REPLAY_RUNS = 3, 1
FULL_HELP_RUNS, QUICK_HELP_RUNS = 21, 5


def plot(data):
    """The decorated function: a trivial plotting function taking a small list."""
    return [2 * x for x in data]


# A function in the natural style of a script: it reads a module, a helper
# and a constant of this (__main__) module, which a dump with recurse stores.
SCALES = [0.5, 1.0, 2.0]


def scaled(values, scale):
    return [scale * value for value in values]


def natural_plot(data):
    import math

    return [math.fsum(scaled(data, scale)) for scale in SCALES]


# ---- statistics ------------------------------------------------------------

def quantile(values, q):
    ordered = sorted(values)
    position = (len(ordered) - 1) * q
    low = int(position)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)


def summary(values):
    """(median, p25, p75)."""
    return statistics.median(values), quantile(values, 0.25), quantile(values, 0.75)


def bootstrap_median_ci(values, resamples=2000, seed=12345):
    """95 % bootstrap interval of the median."""
    rng = random.Random(seed)
    n = len(values)
    medians = sorted(
        statistics.median([values[rng.randrange(n)] for _ in range(n)]) for _ in range(resamples)
    )
    return medians[int(0.025 * resamples)], medians[int(0.975 * resamples) - 1]


def paired_ratios(samples, a, b):
    return [x / y for x, y in zip(samples[a], samples[b])]


# ---- timing harness ----------------------------------------------------------

def interleaved(variants, rounds, rng, setup=None, teardown=None, warmup=1):
    """Times each variant once per round, in a new shuffled order every round.

    `variants` maps a name to a callable without arguments. setup() and
    teardown() run untimed around every sample. Returns name -> [ns]."""
    names = list(variants)
    for _ in range(warmup):
        for name in names:
            if setup:
                setup(name)
            variants[name]()
            if teardown:
                teardown(name)
    samples = {name: [] for name in names}
    for _ in range(rounds):
        order = names[:]
        rng.shuffle(order)
        for name in order:
            if setup:
                setup(name)
            gc.collect()
            start = perf_ns()
            variants[name]()
            elapsed = perf_ns() - start
            if teardown:
                teardown(name)
            samples[name].append(elapsed)
    return samples


SYNC_BETWEEN_SAMPLES = True


@contextlib.contextmanager
def working_in(folder):
    """Run the block with `folder` as the working directory (the trees are
    snapshotted from there)."""
    previous = os.getcwd()
    os.chdir(folder)
    try:
        yield
    finally:
        os.chdir(previous)


def interleaved_in(folder, variants, rounds, rng):
    """interleaved() of `variants` in `folder`, with a quiet disk before each sample."""
    with working_in(folder):
        return interleaved(variants, rounds, rng, setup=lambda _: quiet_disk())


def quiet_disk():
    """Untimed: flush dirty pages so every sample starts from the same state
    (skipped on tmpfs, which has nothing to flush)."""
    if SYNC_BETWEEN_SAMPLES:
        os.sync()


# ---- formatting --------------------------------------------------------------

def fmt_time(ns):
    if ns >= 1e9:
        return f"{ns / 1e9:.3f} s"
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} µs"
    return f"{ns:.0f} ns"


def fmt_spread(values):
    median, p25, p75 = summary(values)
    return f"{fmt_time(p25)} – {fmt_time(p75)} (IQR {100 * (p75 - p25) / median:.1f} %)"


def verdict(value, goal, ci_low):
    if value <= goal:
        return "met"
    if ci_low <= goal:
        return "not met (within noise)"
    return "NOT met"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def emit(text=""):
    print(text, flush=True)


# ---- 1. decorated call -----------------------------------------------------------

def bench_archive(tree_dir, out_dir, rounds, rng):
    from figvault.src.archive import archive

    targets = {name: os.path.join(out_dir, f"{name}.figvault")
               for name in ("floor", "floor_direct", "figvault", "peer")}
    arg_names = ["data"]
    decorated = archive(targets["figvault"])(plot)
    peer = peers.PeerArchive(targets["peer"])(plot)
    variants = {
        "floor": lambda: peers.floor_archive(targets["floor"], plot, arg_names, PLOT_ARGS),
        "floor_direct": lambda: peers.floor_archive_direct(
            targets["floor_direct"], plot, arg_names, PLOT_ARGS),
        "figvault": lambda: decorated(*PLOT_ARGS),
        "peer": lambda: peer(*PLOT_ARGS),
    }
    samples = interleaved_in(tree_dir, variants, rounds, rng)
    sizes = {name: os.path.getsize(path) for name, path in targets.items()}
    return samples, sizes


# ---- 1b. where the overhead of a decorated call goes ----------------------------

class _Stub:
    def __init__(self, **attributes):
        self.__dict__.update(attributes)


def bench_breakdown(tree_dir, out_dir, rounds, rng):
    """The floor with figvault's extra steps added one at a time, and figvault
    with one of its steps replaced. figvault.src.archive looks its globals
    `inspect` and `files` up at every call, so they can be swapped for a call."""
    import inspect

    import figvault.src.archive as archive_module

    targets = {name: os.path.join(out_dir, f"breakdown-{i}.figvault")
               for i, name in enumerate(BREAKDOWN)}
    for path in targets.values():
        open(path, "wb").close()
    decorated = archive_module.archive(targets["figvault"])(plot)
    cached_spec = inspect.getfullargspec(plot)
    no_inspect = _Stub(getfullargspec=lambda func: cached_spec)
    python_files = _Stub(create_file_dict=peers.create_file_dict)

    def figvault_with(name, replacement, target):
        wrapper = archive_module.archive(target)(plot)

        def call():
            original = getattr(archive_module, name)
            setattr(archive_module, name, replacement)
            try:
                wrapper(*PLOT_ARGS)
            finally:
                setattr(archive_module, name, original)
        return call

    cached_call = figvault_with("inspect", no_inspect,
                                targets["figvault, getfullargspec result cached"])
    pyfiles_call = figvault_with("files", python_files,
                                 targets["figvault, Python create_file_dict"])
    variants = {
        "floor": lambda: peers.floor_archive_plus(targets["floor"], plot, PLOT_ARGS),
        "floor + getfullargspec + check": lambda: peers.floor_archive_plus(
            targets["floor + getfullargspec + check"], plot, PLOT_ARGS, check=True),
        "floor + figvault-style temp file": lambda: peers.floor_archive_plus(
            targets["floor + figvault-style temp file"], plot, PLOT_ARGS, sibling=True),
        "floor + both": lambda: peers.floor_archive_plus(
            targets["floor + both"], plot, PLOT_ARGS, check=True, sibling=True),
        "figvault": lambda: decorated(*PLOT_ARGS),
        "figvault, getfullargspec result cached": cached_call,
        "figvault, Python create_file_dict": pyfiles_call,
    }
    return interleaved_in(tree_dir, variants, rounds, rng)


BREAKDOWN = (
    "floor",
    "floor + getfullargspec + check",
    "floor + figvault-style temp file",
    "floor + both",
    "figvault",
    "figvault, getfullargspec result cached",
    "figvault, Python create_file_dict",
)


# ---- 2. expand -------------------------------------------------------------------------

def bench_expand(tree_dir, out_dir, rounds, rng):
    from figvault.src.archive import archive
    from figvault.src.unarchive import expand

    record = os.path.join(out_dir, "expand-input.figvault")
    with working_in(tree_dir):
        archive(record)(plot)(*PLOT_ARGS)

    scratch = os.path.join(out_dir, "expand-scratch")
    os.makedirs(scratch, exist_ok=True)
    restored = "restored"
    variants = {
        "floor": lambda: peers.floor_expand(record, restored),
        "figvault": lambda: expand(record, restored),
    }

    def teardown(_):
        shutil.rmtree(restored)
        quiet_disk()

    with working_in(scratch), open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        quiet_disk()
        return interleaved(variants, rounds, rng, teardown=teardown)


# ---- 3. one call of a function object ----------------------------------------------

def _loop_refused_1(f, arg, n):
    start = perf_ns()
    for _ in range(n):
        try:
            f(arg)
        except TypeError:
            pass
    return perf_ns() - start


def _loop_refused_0(f, arg, n):
    start = perf_ns()
    for _ in range(n):
        try:
            f()
        except TypeError:
            pass
    return perf_ns() - start


def _loop_ok_1(f, arg, n):
    start = perf_ns()
    for _ in range(n):
        f(arg)
    return perf_ns() - start


def _loop_empty(f, arg, n):
    start = perf_ns()
    for _ in range(n):
        pass
    return perf_ns() - start


def call_cases():
    from figvault.src import files
    from figvault.src.archive import archive
    from figvault.src.unarchive import expand

    figvault_decorator = archive("bench.figvault")
    peer_decorator = peers.PeerDecorator("bench.figvault")
    # (label, loop, figvault callable, Python callable, argument)
    return [
        ("write_files_from_dict([]) → TypeError (refused after binding)", _loop_refused_1,
         files.write_files_from_dict, peers.write_files_from_dict, []),
        ("create_file_dict(1) → TypeError (binding refusal)", _loop_refused_1,
         files.create_file_dict, peers.create_file_dict_signature, 1),
        ("expand() → TypeError (missing argument)", _loop_refused_0,
         expand, peers.expand, None),
        ("archive('x') (class call, __init__)", _loop_ok_1,
         archive, peers.PeerDecorator, "bench.figvault"),
        ("decorator(func) (__call__ returns the wrapper)", _loop_ok_1,
         figvault_decorator, peer_decorator, plot),
    ]


def bench_calls(rounds, n, rng):
    results = []
    cases = call_cases()
    for label, loop, fig, py, arg in cases:
        variants = {
            "figvault": lambda loop=loop, fig=fig, arg=arg: loop(fig, arg, n),
            "python": lambda loop=loop, py=py, arg=arg: loop(py, arg, n),
            "empty": lambda arg=arg: _loop_empty(None, arg, n),
        }
        for name in variants:  # warm-up
            variants[name]()
        per_call = {name: [] for name in variants}
        for _ in range(rounds):
            order = list(variants)
            rng.shuffle(order)
            measured = {}
            for name in order:
                gc.collect()
                measured[name] = variants[name]()
            for name in ("figvault", "python"):
                per_call[name].append((measured[name] - measured["empty"]) / n)
        results.append((label, per_call))
    return results


# ---- 4. peak memory of one archive call (fresh subprocess) -------------------------

def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def memory_child(variant, mode, tree_dir, out_dir):
    """Runs in a fresh interpreter: one call of `variant`, prints JSON."""
    import tracemalloc

    from figvault.src.archive import archive

    target = os.path.join(out_dir, f"memory-{variant}.figvault")
    if variant == "figvault":
        call = lambda: archive(target)(plot)(*PLOT_ARGS)  # noqa: E731
    elif variant == "peer":
        call = lambda: peers.PeerArchive(target)(plot)(*PLOT_ARGS)  # noqa: E731
    else:
        call = lambda: peers.floor_archive(target, plot, ["data"], PLOT_ARGS)  # noqa: E731
    os.chdir(tree_dir)
    gc.collect()
    result = {"variant": variant, "mode": mode}
    if mode == "rss":
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets the peak RSS (VmHWM) to the current RSS
        before = _status_kib("VmRSS")
        call()
        result["rss_delta"] = (_status_kib("VmHWM") - before) * 1024
    else:
        tracemalloc.start()
        call()
        result["tracemalloc_peak"] = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    print(json.dumps(result))


def bench_memory(tree_dir, out_dir, repeats):
    results = {}
    for variant in ("figvault", "floor", "peer"):
        for mode, count in (("rss", repeats), ("tracemalloc", 1)):
            values = []
            for _ in range(count):
                output = subprocess.run(
                    [sys.executable, os.path.abspath(__file__), "--memory-child",
                     variant, mode, tree_dir, out_dir],
                    check=True, capture_output=True, text=True,
                ).stdout
                data = json.loads(output.strip().splitlines()[-1])
                values.append(data["rss_delta" if mode == "rss" else "tracemalloc_peak"])
            results[(variant, mode)] = values
    return results


# ---- 5. native snapshot --------------------------------------------------------

def bench_snapshot(tree_dir, rounds, rng):
    """create_file_dict against the same steps in plain Python (glob.glob for
    both patterns, open().read().close() of every path), interleaved."""
    from figvault.src import files

    variants = {"figvault": files.create_file_dict, "python": peers.create_file_dict}
    return interleaved_in(tree_dir, variants, rounds, rng)


def bench_decorated(tree_dir, out_dir, rounds, rng):
    """A decorated call against the plain-Python decorator doing the same
    steps (peers.PeerArchive), interleaved."""
    from figvault.src.archive import archive

    targets = {name: os.path.join(out_dir, f"decorated-{name}.figvault") for name in ("figvault", "peer")}
    decorated = archive(targets["figvault"])(plot)
    peer = peers.PeerArchive(targets["peer"])(plot)
    variants = {"figvault": lambda: decorated(*PLOT_ARGS), "peer": lambda: peer(*PLOT_ARGS)}
    return interleaved_in(tree_dir, variants, rounds, rng)


def speedup_row(label, what, samples, slow, fast, goal):
    """A table row: the median of per-round paired speed-ups slow/fast."""
    ratios = paired_ratios(samples, slow, fast)
    median = statistics.median(ratios)
    low, high = bootstrap_median_ci(ratios)
    # A speed-up goal is met from above: mirror the verdict of a ratio goal.
    state = verdict(1 / median, 1 / goal, 1 / high)
    return [label, what, f"{fmt_time(statistics.median(samples[fast]))} vs "
            f"{fmt_time(statistics.median(samples[slow]))}",
            f"{median:.2f}× [{low:.2f}, {high:.2f}]", f"≥ {goal:.1f}×", state]


def snapshot_section(root, tree_dirs, snapshot_rounds, decorated_rounds, rng):
    emit("## 5. Native snapshot")
    emit()
    emit("create_file_dict against the same steps in plain Python (glob.glob for both patterns, then "
         "open/read/close of every path: bench/peers.py create_file_dict), and a decorated call against "
         "the plain-Python decorator doing figvault's steps (peers.PeerArchive). The venv tree is the small "
         f"tree plus `python -m venv venv` and copies of {', '.join(trees.VENV_PACKAGES)}. Speed-up = "
         "median of per-round paired ratios plain Python / figvault, [95 % bootstrap interval].")
    emit()
    rows = []
    for name, count_rounds in snapshot_rounds.items():
        count, size = trees.source_size(tree_dirs[name])
        label = f"{name} ({count} files, {size / 1e6:.3g} MB)"
        samples = bench_snapshot(tree_dirs[name], count_rounds, rng)
        rows.append(speedup_row(label, f"create_file_dict (n={count_rounds})", samples, "python", "figvault",
                                GOAL_SNAPSHOT_SPEEDUP[name]))
    for name, count_rounds in decorated_rounds.items():
        count, size = trees.source_size(tree_dirs[name])
        label = f"{name} ({count} files, {size / 1e6:.3g} MB)"
        out_dir = os.path.join(root, "out", f"decorated-{name}")
        os.makedirs(out_dir, exist_ok=True)
        samples = bench_decorated(tree_dirs[name], out_dir, count_rounds, rng)
        rows.append(speedup_row(label, f"decorated call (n={count_rounds})", samples, "peer", "figvault",
                                GOAL_DECORATED_SPEEDUP))
    emit(table(["tree", "measure", "median figvault vs plain Python", "speed-up", "goal", "verdict"], rows))
    emit()


# ---- 6. the dump with the globals a function reads ------------------------------

def bench_dump(tree_dir, out_dir, rounds, rng):
    """dill.dump of the record of a call, as the decorator writes it (with
    recurse=True) and the plain way, interleaved; the function is one of a
    script (stored by value) that reads a helper and a constant."""
    import dill

    from figvault.src import files

    with working_in(tree_dir):
        record = {"args": {"data": PLOT_ARGS[0]}, "files": files.create_file_dict(), "func": natural_plot}
    targets = {name: os.path.join(out_dir, f"dump-{name}.figvault") for name in ("recurse", "plain")}

    def dump(name, **options):
        with open(targets[name], "wb") as file:
            dill.dump(record, file, **options)

    variants = {"recurse": lambda: dump("recurse", recurse=True), "plain": lambda: dump("plain")}
    return interleaved(variants, rounds, rng, setup=lambda _: quiet_disk())


def dump_section(root, tree_dirs, dump_rounds, rng):
    emit("## 6. The dump with the globals the function reads")
    emit()
    emit("dill.dump of a call's record (the tree's files, a small list, a function of a script that reads "
         "a helper and a constant) with recurse=True, as the decorator writes it, against the plain dump. "
         "Overhead = median of per-round paired ratios recurse / plain − 1, [95 % bootstrap interval].")
    emit()
    rows = []
    for name, count_rounds in dump_rounds.items():
        count, size = trees.source_size(tree_dirs[name])
        out_dir = os.path.join(root, "out", f"dump-{name}")
        os.makedirs(out_dir, exist_ok=True)
        samples = bench_dump(tree_dirs[name], out_dir, count_rounds, rng)
        ratios = paired_ratios(samples, "recurse", "plain")
        median = statistics.median(ratios)
        low, high = bootstrap_median_ci(ratios)
        rows.append([f"{name} ({count} files, {size / 1e6:.3g} MB)", f"n={count_rounds}",
                     f"{fmt_time(statistics.median(samples['recurse']))} vs "
                     f"{fmt_time(statistics.median(samples['plain']))}",
                     f"{(median - 1) * 100:+.2f} % [{(low - 1) * 100:+.2f}, {(high - 1) * 100:+.2f}]",
                     f"≤ {GOAL_RECURSE_OVERHEAD * 100:.0f} %",
                     verdict(median, 1 + GOAL_RECURSE_OVERHEAD, low)])
    emit(table(["tree", "rounds", "median recurse vs plain", "overhead", "goal", "verdict"], rows))
    emit()


# ---- 7. the snapshot at the floor of the machine ---------------------------------

# glibc's mallopt parameters, and the environment variables that set them.
M_TRIM_THRESHOLD = -1
M_MMAP_THRESHOLD = -3
KEEP_FREED_MEMORY = {"MALLOC_TRIM_THRESHOLD_": str(1 << 30), "MALLOC_MMAP_THRESHOLD_": str(1 << 30)}

FIRST_CALL_CHILD = """
import sys, time
sys.path.insert(0, sys.argv[2])
if sys.argv[1] == "figvault":
    from figvault.src.files import create_file_dict
else:
    from plain_snapshot import create_file_dict
start = time.process_time_ns()
snapshot = create_file_dict()
print(time.process_time_ns() - start)
"""

# Repeated calls in a process whose allocator keeps the memory it is given
# back (no trimming, no mmap for big blocks), so that every call after the
# first reuses pages already faulted in; interleaved in shuffled order.
REUSED_MEMORY_CHILD = """
import ctypes, gc, json, random, sys, time
sys.path.insert(0, sys.argv[2])
libc = ctypes.CDLL(None)
libc.mallopt(%d, 1 << 30)
libc.mallopt(%d, 1 << 30)
from figvault.src.files import create_file_dict as figvault_snapshot
from plain_snapshot import create_file_dict as python_snapshot
variants = {"figvault": figvault_snapshot, "python": python_snapshot}
samples = {name: [] for name in variants}
rng = random.Random(7)
for round_number in range(int(sys.argv[1]) + 1):
    order = list(variants)
    rng.shuffle(order)
    for name in order:
        gc.collect()
        start = time.process_time_ns()
        snapshot = variants[name]()
        elapsed = time.process_time_ns() - start
        del snapshot  # freed outside the timing, as the floor program frees its own
        if round_number:
            samples[name].append(elapsed)
print(json.dumps(samples))
""" % (M_TRIM_THRESHOLD, M_MMAP_THRESHOLD)

def build_floor_program(out_dir):
    """Compiles bench/floor.c with the system C compiler; None without one."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        return None
    program = os.path.join(out_dir, "floor")
    subprocess.run([compiler, "-O2", "-o", program, os.path.join(HERE, "floor.c")], check=True)
    return program


def floor_cpu_times(program, tree_dir, calls, environment=None):
    """The floor program's CPU time per call, in ns (the first call first)."""
    output = subprocess.run([program, str(calls)], cwd=tree_dir, check=True, capture_output=True, text=True,
                            env={**os.environ, **(environment or {})})
    return json.loads(output.stdout)["cpu_ns"]


def reused_memory_times(tree_dir, rounds):
    output = subprocess.run([sys.executable, "-c", REUSED_MEMORY_CHILD, str(rounds), HERE], cwd=tree_dir,
                            check=True, capture_output=True, text=True)
    return json.loads(output.stdout)


def cpu_interleaved(variants, rounds, rng):
    """interleaved(), timed in CPU time of the process, with each result
    freed outside the timing (as the floor program frees its own)."""
    global perf_ns
    wall = perf_ns
    perf_ns = time.process_time_ns
    results = []

    def keeping(call):
        return lambda: results.append(call())

    try:
        return interleaved({name: keeping(call) for name, call in variants.items()}, rounds, rng,
                           teardown=lambda _: results.clear())
    finally:
        perf_ns = wall


def first_call_times(variant, tree_dir, processes):
    """CPU time of the first snapshot of a fresh process, `processes` times."""
    times = []
    for _ in range(processes):
        output = subprocess.run([sys.executable, "-c", FIRST_CALL_CHILD, variant, HERE], cwd=tree_dir,
                                check=True, capture_output=True, text=True)
        times.append(int(output.stdout.split()[-1]))
    return times


def floor_section(root, tree_dirs, rounds, first_calls, decorated_rounds, rng):
    from figvault.src import files
    from figvault.src.archive import archive

    emit("## 7. The snapshot at the floor of the machine")
    emit()
    emit("CPU time (user + system) of one snapshot: the floor program (bench/floor.c, built with the system "
         "cc: a getdents64 walk, then every matching file opened relative to its folder, sized and read into "
         "freshly allocated memory), figvault's create_file_dict and the plain-Python steps "
         "(bench/plain_snapshot.py). Memory reused: many calls in one process whose allocator keeps what is "
         "freed (glibc's trim and mmap thresholds at 1 GiB, so later calls write into pages already faulted "
         "in); memory given back: the same with the allocator's defaults (freed memory goes back to the "
         "system, and every call faults its pages in again); first call: the first snapshot of a fresh "
         "process. Medians (the floor program's calls after its first, except for the first call); ratios "
         "are of medians.")
    emit()
    out_dir = os.path.join(root, "out", "floor")
    os.makedirs(out_dir, exist_ok=True)
    program = build_floor_program(out_dir)
    rows = []
    for name, count_rounds in rounds.items():
        count, size = trees.source_size(tree_dirs[name])
        label = f"{name} ({count} files, {size / 1e6:.3g} MB)"
        reused = {variant: statistics.median(values)
                  for variant, values in reused_memory_times(tree_dirs[name], count_rounds).items()}
        with working_in(tree_dirs[name]):
            samples = cpu_interleaved({"figvault": files.create_file_dict, "python": peers.create_file_dict},
                                      count_rounds, rng)
        returned = {variant: statistics.median(values) for variant, values in samples.items()}
        first = {variant: statistics.median(first_call_times(variant, tree_dirs[name], first_calls))
                 for variant in ("figvault", "python")}
        if program is not None:
            reused["floor"] = statistics.median(
                floor_cpu_times(program, tree_dirs[name], count_rounds + 1, KEEP_FREED_MEMORY)[1:])
            returned["floor"] = statistics.median(floor_cpu_times(program, tree_dirs[name], count_rounds + 1)[1:])
            first["floor"] = statistics.median(floor_cpu_times(program, tree_dirs[name], 1)[0]
                                               for _ in range(first_calls))
        for measure, times in (("memory reused", reused), ("memory given back", returned),
                               ("first call", first)):
            floor_time = times.get("floor")
            over_floor = times["figvault"] / floor_time if floor_time else None
            speed_up = times["python"] / times["figvault"]
            rows.append([label, measure, fmt_time(floor_time) if floor_time else "(no cc)",
                         fmt_time(times["figvault"]), fmt_time(times["python"]),
                         f"{over_floor:.2f}× ({verdict(over_floor, GOAL_FLOOR_RATIO, over_floor)})"
                         if over_floor else "",
                         f"{times['python'] / floor_time:.2f}×" if floor_time else "",
                         f"{speed_up:.2f}× ({verdict(1 / speed_up, 1 / GOAL_SNAPSHOT_SPEEDUP[name], 1 / speed_up)})"])
    emit(table(["tree", "measure", "floor", "figvault", "plain Python", f"figvault / floor (goal ≤ "
                f"{GOAL_FLOOR_RATIO:.2f}×)", "plain Python / floor",
                f"speed-up over plain Python (goal ≥ {GOAL_SNAPSHOT_SPEEDUP['large']:.1f}×)"], rows))
    emit()
    if decorated_rounds and "large" in tree_dirs:
        targets = {variant: os.path.join(out_dir, f"{variant}.figvault") for variant in ("figvault", "peer")}
        decorated = archive(targets["figvault"])(plot)
        peer = peers.PeerArchive(targets["peer"])(plot)
        with working_in(tree_dirs["large"]):
            samples = cpu_interleaved({"figvault": lambda: decorated(*PLOT_ARGS), "peer": lambda: peer(*PLOT_ARGS)},
                                      decorated_rounds, rng)
        count, size = trees.source_size(tree_dirs["large"])
        emit(table(["tree", "measure", "median figvault vs plain Python", "speed-up", "goal", "verdict"],
                   [speedup_row(f"large ({count} files, {size / 1e6:.3g} MB)",
                                f"decorated call, CPU time (n={decorated_rounds})", samples, "peer", "figvault",
                                GOAL_DECORATED_SPEEDUP)]))
        emit()


# ---- 8. restoring the sources ------------------------------------------------------

# Rounds of section 8, per case.
FULL_RESTORE_ROUNDS = 30
QUICK_RESTORE_ROUNDS = 5
# The crafted case: one file at the top and 3,000 in one folder.
CRAFTED_FILES = 3000
# Files of that folder written before another process swaps it for a link.
SWAP_AFTER = 10


def crafted_files():
    return {"./a.py": "A = 1\n", **{f"./sub/{i:05d}_{'long_name_' * 4}.py": f"N = {i}\n" for i in range(CRAFTED_FILES)}}


class _SwapAt:
    """A standard output that swaps `folder` for a link to `outside` when
    the restore lists its SWAP_AFTER-th path (a racing process, on cue)."""

    def __init__(self, folder, parked, outside):
        self.folder, self.parked, self.outside, self.lines = folder, parked, outside, 0

    def write(self, text):
        self.lines += text.count("\n")
        if self.lines >= SWAP_AFTER and not os.path.islink(self.folder):
            os.rename(self.folder, self.parked)
            os.symlink(self.outside, self.folder)
        return len(text)

    def flush(self):
        pass


def bench_restore(files, out_dir, rounds, rng):
    """restore_files against the restore by path, interleaved, listing to /dev/null."""
    from figvault.replay.restore import restore_files

    targets = {name: os.path.join(out_dir, name) for name in ("figvault", "by path")}
    variants = {
        "figvault": lambda: restore_files(files, targets["figvault"]),
        "by path": lambda: peers.restore_by_path(files, targets["by path"]),
    }

    def teardown(name):
        shutil.rmtree(targets[name])
        quiet_disk()

    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        return interleaved(variants, rounds, rng, teardown=teardown)


def bench_swapped_restore(files, out_dir, rounds):
    """The time until a restore that meets a swapped folder has failed and
    removed what it wrote; checks that nothing went through the link."""
    from figvault.replay.restore import FolderMovedError, restore_files

    target, outside = os.path.join(out_dir, "swapped"), os.path.join(out_dir, "outside")
    parked = os.path.join(out_dir, "parked")
    os.makedirs(outside)
    samples = []
    for _ in range(rounds):
        swapper = _SwapAt(os.path.join(target, "sub"), parked, outside)
        gc.collect()
        start = perf_ns()
        try:
            with contextlib.redirect_stdout(swapper):
                restore_files(files, target)
        except FolderMovedError:
            pass
        samples.append(perf_ns() - start)
        left = os.listdir(outside) + os.listdir(parked)
        assert not left and not os.path.lexists(target), "the restore left files behind"
        os.rmdir(parked)
        quiet_disk()
    return samples


def restore_section(root, tree_dirs, rounds, rng):
    from figvault.src.files import create_file_dict

    emit("## 8. Restoring the sources (extract, expand)")
    emit()
    emit("The replay's restore (checks, one descriptor per folder, files created in it, the listing "
         "to /dev/null) against writing the same files by path with makedirs (the restore before "
         "descriptors). Ratio = median of per-round paired ratios, [95 % bootstrap interval]. "
         f"Crafted: ./a.py and {CRAFTED_FILES:,} files in ./sub; swapped: the same, with ./sub "
         f"swapped for a link after {SWAP_AFTER} files, timed until the restore has failed and removed "
         "what it wrote.")
    emit()
    cases = {f"crafted ({CRAFTED_FILES + 1:,} files, 2 folders)": crafted_files()}
    for name, folder in tree_dirs.items():
        with working_in(folder):
            files = create_file_dict()
        cases[f"{name} tree ({len(files):,} files)"] = files
    rows = []
    for label, files in cases.items():
        out_dir = tempfile.mkdtemp(prefix="restore-", dir=root)
        samples = bench_restore(files, out_dir, rounds, rng)
        ratios = paired_ratios(samples, "figvault", "by path")
        low, high = bootstrap_median_ci(ratios)
        rows.append([label, fmt_time(statistics.median(samples["figvault"])),
                     fmt_time(statistics.median(samples["by path"])),
                     f"{statistics.median(ratios):.3f} [{low:.3f}, {high:.3f}]"])
    out_dir = tempfile.mkdtemp(prefix="restore-", dir=root)
    swapped = bench_swapped_restore(crafted_files(), out_dir, rounds)
    rows.append([f"swapped ({CRAFTED_FILES + 1:,} files)", fmt_time(statistics.median(swapped)), "", ""])
    emit(table(["case", "figvault", "by path", "figvault / by path"], rows))


# ---- 10. the weight of the command line ---------------------------------------------

# Runs `figvault ARGS` (after -c), then prints its own peak resident memory
# (VmHWM, KiB) on stderr: ru_maxrss of a forked child would include its parent's.
MEASURED_CLI = """
import sys
from figvault.cli import main
status = main(sys.argv[1:])
with open("/proc/self/status") as status_file:
    print(next(line for line in status_file if line.startswith("VmHWM:")).split()[1], file=sys.stderr)
sys.exit(status)
"""
COUNT_CLI_MODULES = ("import sys, argparse, json\nbefore = set(sys.modules)\nimport figvault.cli\n"
                     "print(len(set(sys.modules) - before))")


def expand_peak(archive, scratch):
    """Peak resident memory (bytes) of `figvault expand ARCHIVE` in a fresh process."""
    done = subprocess.run([sys.executable, "-c", MEASURED_CLI, "expand", archive], cwd=scratch,
                          check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return int(done.stderr.splitlines()[-1]) * 1024


def help_cpu():
    """CPU seconds (user + system) of one `figvault --help` in a fresh process."""
    process = subprocess.Popen([sys.executable, "-m", "figvault", "--help"], stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return usage.ru_utime + usage.ru_stime


def replay_section(root, tree_dirs, names, runs, help_runs):
    from figvault.src.archive import archive

    emit("## 10. The weight of the command line")
    emit()
    emit("Peak resident memory (VmHWM) of `figvault expand ARCHIVE` (no folder) in a fresh process, above "
         "the same command's on an archive of the same call with an empty snapshot, as a multiple of "
         "the archive's size; median of the runs. Then `figvault --help`: CPU time (user + system) of "
         "a fresh process, median, and the modules `import figvault.cli` loads beyond argparse and json.")
    emit()
    scratch = os.path.join(root, "out", "replay")
    empty = os.path.join(root, "trees", "empty")
    os.makedirs(scratch)
    os.makedirs(empty)
    archives = {"empty": os.path.join(scratch, "empty.figvault")}
    with working_in(empty):
        archive(archives["empty"])(plot)(*PLOT_ARGS)
    for name in names:
        archives[name] = os.path.join(scratch, f"{name}.figvault")
        with working_in(tree_dirs[name]):
            archive(archives[name])(plot)(*PLOT_ARGS)
    peaks = {name: statistics.median(expand_peak(path, scratch) for _ in range(runs)) for name, path in archives.items()}
    rows = []
    for name in names:
        size = os.path.getsize(archives[name])
        ratio = (peaks[name] - peaks["empty"]) / size
        rows.append([f"{name} ({trees.TREES[name][0]} files)", f"{size / 1e6:.1f} MB",
                     f"{peaks['empty'] / 1e6:.1f} MB", f"{peaks[name] / 1e6:.1f} MB", f"{ratio:.2f}×",
                     f"≤ {GOAL_EXPAND_MEMORY:.1f}×", "met" if ratio <= GOAL_EXPAND_MEMORY else "not met"])
    emit(table(["tree", "archive", "peak, empty snapshot", "peak", "above / archive", "goal", "verdict"], rows))
    emit()
    cpu = statistics.median(help_cpu() for _ in range(help_runs))
    modules = int(subprocess.run([sys.executable, "-c", COUNT_CLI_MODULES], check=True, capture_output=True,
                                 text=True).stdout)
    emit(table(["measure", "value", "goal", "verdict"], [
        ["`figvault --help`, CPU", f"{cpu * 1e3:.0f} ms (n={help_runs})", f"≤ {GOAL_HELP_CPU * 1e3:.0f} ms",
         "met" if cpu <= GOAL_HELP_CPU else "not met"],
        ["modules of `import figvault.cli`", str(modules), f"≤ {GOAL_CLI_MODULES}",
         "met" if modules <= GOAL_CLI_MODULES else "not met"],
    ]))
    emit()


# ---- machine -------------------------------------------------------------------

def default_dir():
    shm = "/dev/shm"
    if os.path.isdir(shm) and os.access(shm, os.W_OK):
        return shm
    return tempfile.gettempdir()


def filesystem_of(path):
    """The file-system type that holds `path`, from /proc/mounts."""
    path = os.path.realpath(path)
    best, kind = "", "?"
    try:
        with open("/proc/mounts") as f:
            for line in f:
                fields = line.split()
                mount, fstype = fields[1], fields[2]
                if (path == mount or path.startswith(mount.rstrip("/") + "/")) and len(mount) > len(best):
                    best, kind = mount, fstype
    except OSError:
        pass
    return kind


def machine_lines():
    model = "?"
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    import figvault.src.files as files_module

    digest = hashlib.sha256()
    folder = os.path.dirname(files_module.__file__)
    for name in sorted(os.listdir(folder)):
        if name.endswith(".so"):
            with open(os.path.join(folder, name), "rb") as f:
                digest.update(f.read())
    import dill
    import numpy
    import torch

    return [
        f"- CPU: {model}, {os.cpu_count()} logical CPUs",
        f"- Python {platform.python_version()} ({platform.python_implementation()}), "
        f"kernel {platform.release()}",
        f"- dill {dill.__version__}, numpy {numpy.__version__}, torch {torch.__version__}",
        f"- figvault modules: {folder} (sha256 of the .so files: {digest.hexdigest()[:16]})",
    ]


# ---- main ------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fast smoke run")
    parser.add_argument("--dir", default=None,
                        help="where the temporary trees go (default: /dev/shm when it is "
                             "writable, so that device noise does not hide small overheads; "
                             "else the system temp dir)")
    parser.add_argument("--cpu", type=int, default=None,
                        help="CPU to pin the benchmark to (default: the last one when there "
                             "are several; -1: no pinning)")
    parser.add_argument("--snapshot", action="store_true",
                        help="run only section 5, the native snapshot (with its own trees)")
    parser.add_argument("--dump", action="store_true",
                        help="run only section 6, the dump with the function's globals")
    parser.add_argument("--floor", action="store_true",
                        help="run only section 7, the snapshot at the floor of the machine")
    parser.add_argument("--restore", action="store_true",
                        help="run only section 8, restoring the sources")
    parser.add_argument("--view", action="store_true",
                        help="run only section 9, show, diff and list on slow inputs")
    parser.add_argument("--replay", action="store_true",
                        help="run only section 10, the weight of the command line")
    parser.add_argument("--reader", action="store_true",
                        help="run only section 11, the restricted reader on crafted and large archives")
    parser.add_argument("--memory-child", nargs=4, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.memory_child:
        memory_child(*options.memory_child)
        return

    started = time.time()
    base_dir = options.dir if options.dir is not None else default_dir()
    cpu = options.cpu
    if cpu is None:
        cpus = sorted(os.sched_getaffinity(0))
        cpu = cpus[-1] if len(cpus) > 1 else -1
    if cpu >= 0:
        os.sched_setaffinity(0, {cpu})
    rounds = QUICK_ROUNDS if options.quick else FULL_ROUNDS
    call_rounds, call_n = (5, 4000) if options.quick else (21, 20000)
    memory_tree = "medium" if options.quick else "large"
    memory_repeats = 1 if options.quick else 3
    rng = random.Random(2024)

    kind = "full"
    for only in ("snapshot", "dump", "floor", "restore", "view", "replay", "reader"):
        if getattr(options, only):
            kind = only
    if options.quick:
        kind = "quick " + kind if kind != "full" else "quick"
    emit(f"# figvault benchmarks ({kind} run)")
    emit()
    emit(f"Command: `{' '.join([os.path.basename(sys.executable)] + sys.argv)}`")
    emit()
    for line in machine_lines():
        emit(line)
    emit(f"- trees and archives in: {base_dir} ({filesystem_of(base_dir)}); "
         f"pinned to CPU: {cpu if cpu >= 0 else 'no'}")
    emit()

    global SYNC_BETWEEN_SAMPLES
    SYNC_BETWEEN_SAMPLES = filesystem_of(base_dir) != "tmpfs"
    snapshot_rounds = QUICK_SNAPSHOT_ROUNDS if options.quick else FULL_SNAPSHOT_ROUNDS
    decorated_rounds = QUICK_DECORATED_ROUNDS if options.quick else FULL_DECORATED_ROUNDS
    if options.quick and not options.snapshot:
        # The smoke run of the whole suite stays short: no large or venv tree.
        snapshot_rounds = {name: n for name, n in snapshot_rounds.items() if name in rounds}
        decorated_rounds = {}
    dump_rounds = QUICK_DUMP_ROUNDS if options.quick else FULL_DUMP_ROUNDS
    floor_rounds = QUICK_FLOOR_ROUNDS if options.quick else FULL_FLOOR_ROUNDS
    first_calls = QUICK_FIRST_CALLS if options.quick else FULL_FIRST_CALLS
    floor_decorated_rounds = QUICK_FLOOR_DECORATED_ROUNDS if options.quick else FULL_FLOOR_DECORATED_ROUNDS
    if options.quick and not options.floor:
        floor_rounds = {name: n for name, n in floor_rounds.items() if name in rounds}
        floor_decorated_rounds = 0
    replay_trees = ["medium"] if options.quick else ["medium", "large"]
    replay_runs = QUICK_REPLAY_RUNS if options.quick else FULL_REPLAY_RUNS
    help_runs = QUICK_HELP_RUNS if options.quick else FULL_HELP_RUNS
    needed = list(snapshot_rounds) + list(decorated_rounds)
    restore_trees = ["medium"]
    restore_rounds = QUICK_RESTORE_ROUNDS if options.quick else FULL_RESTORE_ROUNDS
    if options.reader:
        needed = []
    elif options.dump:
        needed = list(dump_rounds)
    elif options.floor:
        needed = list(floor_rounds)
    elif options.restore:
        needed = restore_trees
    elif options.view:
        needed = []
    elif options.replay:
        needed = replay_trees
    elif not options.snapshot:
        needed = list(rounds) + [memory_tree] + needed + list(dump_rounds) + list(floor_rounds) + replay_trees
    root = tempfile.mkdtemp(prefix="figvault-bench-", dir=base_dir)
    try:
        tree_dirs, text_sizes = {}, {}
        for name in dict.fromkeys(needed):
            tree_dirs[name] = os.path.join(root, "trees", name)
            if name == "venv":
                _, text_sizes[name] = trees.build_venv_tree(tree_dirs[name])
            else:
                _, text_sizes[name] = trees.build_tree(tree_dirs[name], name)

        # Everything imported so far is never garbage: keep the collector off
        # it, so the gc.collect() before each sample costs microseconds, not
        # the ~0.1 s a full collection over torch's objects takes.
        gc.collect()
        gc.freeze()

        if options.snapshot:
            snapshot_section(root, tree_dirs, snapshot_rounds, decorated_rounds, rng)
            return
        if options.dump:
            dump_section(root, tree_dirs, dump_rounds, rng)
            return
        if options.floor:
            floor_section(root, tree_dirs, floor_rounds, first_calls, floor_decorated_rounds, rng)
            return
        if options.restore:
            restore_section(root, {name: tree_dirs[name] for name in restore_trees}, restore_rounds, rng)
            return
        view_rounds = 1 if options.quick else 3
        if options.view:
            view_cases.view_section(root, view_rounds, emit, table)
            return
        if options.replay:
            replay_section(root, tree_dirs, replay_trees, replay_runs, help_runs)
            return
        if options.reader:
            reading.reader_section(root, "quick" if options.quick else "full", emit, table)
            return

        # 1. decorated call
        emit("## 1. Decorated call (archive + trivial plot(data=[1.0, 2.0, 3.0]))")
        emit()
        emit("floor = glob ×2 + read every file + dill.dump of the same record to a temp file "
             "+ os.replace (floor, direct = the same writing the target in place); peer = "
             "plain-Python decorator doing figvault's steps. Overhead and ratios are medians "
             "of per-round paired ratios, [95 % bootstrap interval].")
        emit()
        rows, goal_rows = [], []
        for name, (archive_rounds, _) in rounds.items():
            count, size = trees.TREES[name]
            out_dir = os.path.join(root, "out", name)
            os.makedirs(out_dir)
            samples, record_sizes = bench_archive(tree_dirs[name], out_dir, archive_rounds, rng)
            label = f"{name} ({count} files, {size / 1e6:g} MB)"
            for variant in ("floor", "floor_direct", "figvault", "peer"):
                median = statistics.median(samples[variant])
                rows.append([label, variant, fmt_time(median), fmt_spread(samples[variant]),
                             len(samples[variant])])
            over = [r - 1 for r in paired_ratios(samples, "figvault", "floor")]
            over_direct = [r - 1 for r in paired_ratios(samples, "figvault", "floor_direct")]
            peer = paired_ratios(samples, "figvault", "peer")
            for what, values, goal, unit in (
                ("figvault overhead vs floor", over, GOAL_OVERHEAD, "%"),
                ("figvault overhead vs floor, direct", over_direct, None, "%"),
                ("figvault / peer", peer, GOAL_PEER_RATIO, "x"),
            ):
                median = statistics.median(values)
                low, high = bootstrap_median_ci(values)
                if unit == "%":
                    shown = f"{100 * median:+.2f} % [{100 * low:+.2f}, {100 * high:+.2f}]"
                    goal_text = f"≤ {100 * goal:.0f} %" if goal is not None else "(info)"
                else:
                    shown = f"{median:.3f} [{low:.3f}, {high:.3f}]"
                    goal_text = f"≤ {goal:.2f}"
                state = verdict(median, goal, low) if goal is not None else ""
                goal_rows.append([label, what, shown, goal_text, state])
            sizes = ", ".join(f"{k} {v / 1e6:.3f} MB" for k, v in record_sizes.items())
            goal_rows.append([label, "archive file sizes", sizes, "", ""])
        emit(table(["tree", "variant", "median", "p25 – p75", "n"], rows))
        emit()
        emit(table(["tree", "comparison", "value", "goal", "verdict"], goal_rows))
        emit()

        # 1b. breakdown
        breakdown_rounds = QUICK_BREAKDOWN if options.quick else FULL_BREAKDOWN
        emit("## 1b. Where the overhead of a decorated call goes")
        emit()
        emit("The floor with figvault's extra steps added one at a time, and figvault with one "
             "step swapped for a plain-Python one (through the module globals it looks up at "
             "each call). Δ = median of per-round paired ratios to the floor, [95 % interval].")
        emit()
        rows = []
        for name, count_rounds in breakdown_rounds.items():
            count, size = trees.TREES[name]
            out_dir = os.path.join(root, "out", name)
            samples = bench_breakdown(tree_dirs[name], out_dir, count_rounds, rng)
            label = f"{name} ({count} files, {size / 1e6:g} MB)"
            floor_median = statistics.median(samples["floor"])
            for variant in BREAKDOWN:
                median = statistics.median(samples[variant])
                if variant == "floor":
                    delta = ""
                else:
                    over = [r - 1 for r in paired_ratios(samples, variant, "floor")]
                    m = statistics.median(over)
                    low, high = bootstrap_median_ci(over)
                    delta = (f"{100 * m:+.2f} % [{100 * low:+.2f}, {100 * high:+.2f}] "
                             f"(≈ {(m * floor_median) / 1e3:+.0f} µs)")
                rows.append([label, variant, fmt_time(median), delta, len(samples[variant])])
        emit(table(["tree", "variant", "median", "Δ vs floor", "n"], rows))
        emit()

        # 2. expand
        emit("## 2. expand(record, folder) with restoration (stdout to /dev/null)")
        emit()
        emit("floor = dill.load + plot(**args) + mkdir/chdir + per file split/normpath/print/"
             "exists/makedirs/open/write/close.")
        emit()
        rows, goal_rows = [], []
        for name, (_, expand_rounds) in rounds.items():
            if SYNC_BETWEEN_SAMPLES and name == "large":
                # On a disk each large restoration plus its sync takes seconds.
                expand_rounds = min(expand_rounds, DISK_LARGE_EXPAND_ROUNDS)
            count, size = trees.TREES[name]
            out_dir = os.path.join(root, "out", name)
            samples = bench_expand(tree_dirs[name], out_dir, expand_rounds, rng)
            label = f"{name} ({count} files, {size / 1e6:g} MB)"
            for variant in ("floor", "figvault"):
                rows.append([label, variant, fmt_time(statistics.median(samples[variant])),
                             fmt_spread(samples[variant]), len(samples[variant])])
            over = [r - 1 for r in paired_ratios(samples, "figvault", "floor")]
            median = statistics.median(over)
            low, high = bootstrap_median_ci(over)
            goal_rows.append([label, "figvault overhead vs floor",
                              f"{100 * median:+.2f} % [{100 * low:+.2f}, {100 * high:+.2f}]"])
        emit(table(["tree", "variant", "median", "p25 – p75", "n"], rows))
        emit()
        emit(table(["tree", "comparison", "value"], goal_rows))
        emit()

        # 3. one call of a function object
        emit("## 3. One call of a function object (binding + dispatch, body returns at once)")
        emit()
        emit(f"Per call, loop overhead subtracted; {call_rounds} rounds × {call_n} calls; "
             "ratio = median of per-round figvault/Python ratios [95 % interval].")
        emit()
        rows = []
        for label, per_call in bench_calls(call_rounds, call_n, rng):
            ratios = paired_ratios(per_call, "figvault", "python")
            median = statistics.median(ratios)
            low, high = bootstrap_median_ci(ratios)
            rows.append([
                label,
                fmt_time(statistics.median(per_call["figvault"])),
                fmt_time(statistics.median(per_call["python"])),
                f"{median:.2f} [{low:.2f}, {high:.2f}]",
                f"≤ {GOAL_CALL_RATIO:.1f}",
                verdict(median, GOAL_CALL_RATIO, low),
            ])
        emit(table(["call", "figvault", "Python", "ratio", "goal", "verdict"], rows))
        emit()

        # 4. memory
        size = text_sizes[memory_tree]
        count = trees.TREES[memory_tree][0]
        emit(f"## 4. Peak memory of one archive call, {memory_tree} tree "
             f"({count} files, {size / 1e6:g} MB of text), fresh subprocess each")
        emit()
        out_dir = os.path.join(root, "out", "memory")
        os.makedirs(out_dir)
        memory = bench_memory(tree_dirs[memory_tree], out_dir, memory_repeats)
        rows = []
        for variant in ("figvault", "floor", "peer"):
            peak = statistics.median(memory[(variant, "tracemalloc")])
            rss = statistics.median(memory[(variant, "rss")])
            rss_all = ", ".join(f"{v / 1e6:.1f}" for v in memory[(variant, "rss")])
            rows.append([variant, f"{peak / 1e6:.1f} MB", f"{peak / size:.2f}×",
                         f"{rss / 1e6:.1f} MB ({rss_all})", f"{rss / size:.2f}×"])
        emit(table(["variant", "tracemalloc peak", "× text", "RSS delta, median (runs)",
                    "× text"], rows))
        emit()

        # 5. native snapshot
        snapshot_section(root, tree_dirs, snapshot_rounds, decorated_rounds, rng)

        # 6. the dump with the function's globals
        dump_section(root, tree_dirs, dump_rounds, rng)

        # 7. the snapshot at the floor of the machine
        floor_section(root, tree_dirs, floor_rounds, first_calls, floor_decorated_rounds, rng)

        # 8. restoring the sources
        restore_section(root, {name: tree_dirs[name] for name in restore_trees}, restore_rounds, rng)

        # 9. show, diff and list on slow inputs
        view_cases.view_section(root, view_rounds, emit, table)

        # 10. the weight of the command line
        replay_section(root, tree_dirs, replay_trees, replay_runs, help_runs)

        # 11. the restricted reader
        reading.reader_section(root, "quick" if options.quick else "full", emit, table)
    finally:
        shutil.rmtree(root, ignore_errors=True)
        emit(f"Total time: {time.time() - started:.0f} s")


if __name__ == "__main__":
    main()
