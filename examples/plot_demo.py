"""Draw two figures through archived plotting functions.

    python examples/plot_demo.py

The script works in its own folder, because an archive takes a snapshot of
every .py and .ipynb file below the working directory. It writes:

    wave.png      wave.figvault       a plotting function defined in this script
    spectrum.png  spectrum.figvault   a plotting function of the package plotlib

Each .figvault file holds the plotting function, the positional arguments of
its call and the sources of this folder. Replay both in a fresh process with

    python examples/replay_demo.py

or one at a time from any folder, an empty one included, with the command line:

    figvault expand path/to/wave.figvault --folder restored
"""

import os
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # before pyplot: no display needed, same bytes everywhere
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from figvault import archive  # noqa: E402
from plotlib import figures  # noqa: E402

HERE = Path(__file__).resolve().parent
DURATION = 10.0  # seconds shown
FIGURE_SIZE = (6, 3.5)


def envelope(t, damping):
    """The exponential envelope of a damped oscillation."""
    return np.exp(-damping * t)


@archive("wave.figvault")
def damped_wave(png_path, frequency, damping, samples):
    """Plot a damped oscillation and save it as a PNG."""
    t = np.linspace(0.0, DURATION, samples)
    fig, ax = plt.subplots(figsize=FIGURE_SIZE)
    ax.plot(t, envelope(t, damping) * np.cos(2 * np.pi * frequency * t), label="signal")
    ax.plot(t, envelope(t, damping), "--", color="grey", label="envelope")
    ax.plot(t, -envelope(t, damping), "--", color="grey")
    ax.set_xlabel("time [s]")
    ax.set_ylabel("amplitude")
    ax.set_title(f"Damped wave, f = {frequency} Hz, damping = {damping}")
    ax.legend(loc="upper right")
    fig.tight_layout()
    # A fixed dpi and no "Software" entry: the PNG is byte-identical on every run.
    fig.savefig(png_path, dpi=100, metadata={"Software": None})
    plt.close(fig)


def main():
    os.chdir(HERE)
    # Positional arguments are archived; keyword arguments would reach the
    # function now but not the replay, so everything is passed by position.
    damped_wave("wave.png", 0.8, 0.35, 500)
    print("wrote wave.png and wave.figvault")

    # A function from a module is stored by reference (module and name), so it
    # stays undecorated in its module and is wrapped here, at the call.
    peaks = [[2.0, 0.15, 1.0], [3.1, 0.3, 0.6], [4.4, 0.1, 0.8]]
    archive("spectrum.figvault")(figures.spectrum)("spectrum.png", peaks, 0.05)
    print("wrote spectrum.png and spectrum.figvault")
    print("replay them with: python", HERE / "replay_demo.py")
    return 0


if __name__ == "__main__":
    sys.exit(main())
