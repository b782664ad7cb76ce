"""Replay the archives that plot_demo.py wrote, in a fresh process.

    python examples/replay_demo.py [--into FOLDER]

For each archive, a new folder is made below FOLDER (a new temporary folder
by default). figvault.expand() first restores the archived sources into its
subfolder "sources", then calls the saved plotting function again in that
folder, so its PNG is drawn anew there. The script checks that each new PNG
is byte-identical to the one that plot_demo.py saved.

Nothing of the project needs to be importable here: while the archive loads
and runs, expand() serves the archive's own copy of plotlib (the spectrum
archive names plotlib.figures.spectrum) and rebuilds the module-level names
of plot_demo.py (np, plt, envelope, DURATION) that damped_wave uses. The
command line `figvault expand ARCHIVE --folder DIR` does the same.
"""

import argparse
import filecmp
import os
import sys
import tempfile
from pathlib import Path

from figvault import expand

HERE = Path(__file__).resolve().parent

# archive -> the PNG that its plotting function saves
DEMOS = {"wave.figvault": "wave.png", "spectrum.figvault": "spectrum.png"}


def replay(archive_path, png_name, into):
    target = into / archive_path.stem
    target.mkdir()
    previous = os.getcwd()
    os.chdir(target)  # the saved function runs in the working directory
    try:
        expand(str(archive_path), "sources")
    finally:
        os.chdir(previous)
    same = filecmp.cmp(archive_path.with_name(png_name), target / png_name, shallow=False)
    print(f"{target / png_name}: {'identical to' if same else 'DIFFERS from'} {HERE / png_name}")
    return same


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--into", type=Path, help="folder for the replays (made if missing)")
    options = parser.parse_args(argv)

    missing = [name for name in DEMOS if not (HERE / name).exists()]
    if missing:
        print(f"missing {', '.join(missing)}: run plot_demo.py first", file=sys.stderr)
        return 2
    into = options.into or Path(tempfile.mkdtemp(prefix="figvault-replay-"))
    into.mkdir(parents=True, exist_ok=True)
    results = [replay(HERE / name, png, into.resolve()) for name, png in DEMOS.items()]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
