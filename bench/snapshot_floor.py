#!/usr/bin/env python
"""Where a snapshot's time goes: run under `perf stat` to count, per call,
user and system time, page faults and system calls of create_file_dict and
of the same steps in plain Python.

    perf stat -e user_time,system_time,page-faults,raw_syscalls:sys_enter \\
        python bench/snapshot_floor.py figvault 41
    (the same with 1 call, and with `python` instead of `figvault`)

The counts of the 41-call run minus those of the 1-call run, divided by 40,
are the cost of one call: building the tree, importing (torch, through
bench/peers.py) and starting up cancel out. The tree is the benchmarks' large tree (5,000 files, 50 MB) on
tmpfs when there is one, built anew in a temporary folder.
"""

import argparse
import os
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import peers  # noqa: E402
import trees  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("variant", choices=["figvault", "python"])
    parser.add_argument("calls", type=int)
    parser.add_argument("--tree", default="large", choices=sorted(trees.TREES))
    options = parser.parse_args()

    from figvault.src import files

    snapshot = files.create_file_dict if options.variant == "figvault" else peers.create_file_dict
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    root = tempfile.mkdtemp(prefix="figvault-floor-", dir=base)
    previous = os.getcwd()
    try:
        tree = os.path.join(root, "tree")
        trees.build_tree(tree, options.tree)
        os.chdir(tree)
        for _ in range(options.calls):
            snapshot()
    finally:
        os.chdir(previous)
        shutil.rmtree(root)


if __name__ == "__main__":
    main()
