"""Deterministic source trees of .py text for the benchmarks.

Each tree is a folder of generated Python source files spread over several
folder depths (0 to 4 levels below the root). The content depends only on the
tree's name, so every run measures the same bytes.
"""

import os
import random

# name: (number of files, total bytes of text)
TREES = {
    "small": (20, 50_000),
    "medium": (500, 5_000_000),
    "large": (5_000, 50_000_000),
}

_WORDS = (
    "data values result axis figure label index count total scale offset "
    "width height color style marker series frame column row limit step"
).split()


def _line(rng):
    kind = rng.randrange(6)
    a, b = rng.choice(_WORDS), rng.choice(_WORDS)
    n = rng.randrange(1000)
    if kind == 0:
        return f"    {a}_{n} = {b} * {rng.random():.6f} + {n}\n"
    if kind == 1:
        return f"    # {a} {b} {n}: adjust the {a} before the {b} is drawn\n"
    if kind == 2:
        return f"    if {a} > {n}:\n        {b} = [{a}, {n}, {rng.randrange(99)}]\n"
    if kind == 3:
        return f"    ax.plot({a}, {b}, label='{a}-{n}')\n"
    if kind == 4:
        return f"def {a}_{b}_{n}({a}, {b}=None):\n    \"\"\"{a} of {b}.\"\"\"\n"
    return f"    return {{'{a}': {a}, '{b}': {n}}}\n"


def _text(rng, size):
    """About `size` bytes of ASCII Python-like source, cut at a line end."""
    parts = ["import numpy as np\nimport matplotlib.pyplot as plt\n\n"]
    length = len(parts[0])
    while length < size:
        line = _line(rng)
        parts.append(line)
        length += len(line)
    text = "".join(parts)[:size]
    # keep the exact size, end with a newline
    return text[:-1] + "\n" if text else text


def _folders(rng, count):
    """Relative folder paths at mixed depths, the root included."""
    folders = [""]
    while len(folders) < count:
        parent = rng.choice(folders)
        if parent.count("/") >= 3:  # at most 4 levels below the root
            continue
        name = f"{rng.choice(_WORDS)}_{len(folders)}"
        folders.append(f"{parent}/{name}" if parent else name)
    return folders


def build_tree(root, name):
    """Writes tree `name` below `root` (which must not exist); returns
    (number of files, total bytes of text)."""
    count, total = TREES[name]
    rng = random.Random(f"figvault-bench-{name}")
    os.makedirs(root)
    folders = _folders(rng, max(1, count // 10))
    per_file = total // count
    written = 0
    for i in range(count):
        size = per_file if i < count - 1 else total - written
        folder = folders[i % len(folders)]
        path = os.path.join(root, folder, f"module_{i}.py")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="ascii", newline="") as f:
            f.write(_text(rng, size))
        written += size
    return count, total


# ---- a project with a virtual environment folder inside ------------------------

# Installed packages copied into the environment's site-packages, with pip and
# setuptools from `python -m venv`: about 3,900 .py files and 61 MB of text,
# each seen twice (venv/lib64 is a link to venv/lib, and glob follows it).
# All of their sources are UTF-8 (IPython's tests, say, hold a Latin-1 file,
# which makes any snapshot fail).
VENV_PACKAGES = ("numpy", "matplotlib", "dill", "pygments", "sympy", "fontTools", "networkx")
VENV_FOLDER = "venv"


def _package_folder(name):
    """Where the running interpreter imports package `name` from."""
    import importlib.util

    spec = importlib.util.find_spec(name)
    if spec is None or not spec.submodule_search_locations:
        raise RuntimeError(f"package {name} is not installed: the venv tree needs it")
    return list(spec.submodule_search_locations)[0]


def source_size(root):
    """(number, total bytes) of the .py and .ipynb files that a snapshot of
    `root` collects (hidden folders and names skipped, links to folders
    followed as glob follows them)."""
    count = total = 0
    for folder, subfolders, names in os.walk(root, followlinks=True):
        subfolders[:] = [name for name in subfolders if not name.startswith(".")]
        for name in names:
            if name.endswith((".py", ".ipynb")) and not name.startswith("."):
                count += 1
                total += os.path.getsize(os.path.join(folder, name))
    return count, total


def build_venv_tree(root):
    """The small tree plus a real virtual environment folder "venv" inside it:
    `python -m venv` (pip and setuptools from ensurepip's bundled wheels, no
    network) and copies of VENV_PACKAGES from the running interpreter.
    Returns (number of files, total bytes of text) that a snapshot reads."""
    import shutil
    import subprocess
    import sys
    import sysconfig

    build_tree(root, "small")
    environment = os.path.join(root, VENV_FOLDER)
    subprocess.run([sys.executable, "-m", "venv", environment], check=True, capture_output=True)
    relative = os.path.relpath(sysconfig.get_paths()["purelib"], sys.prefix)
    site_packages = os.path.join(environment, relative)
    for name in VENV_PACKAGES:
        shutil.copytree(_package_folder(name), os.path.join(site_packages, name), symlinks=True)
    return source_size(root)
