"""Figures of the demo package.

Module-level imports are fine here: an archive stores a function of an
importable module as a reference (module and name), and the process that
replays it imports this module again. That process must therefore be able to
import plotlib, for example by running from the folder that holds it.
"""

import matplotlib

matplotlib.use("Agg")  # before pyplot: no display needed, same bytes everywhere
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402


def gaussian_peaks(x, peaks):
    """Sum of Gaussian peaks, each given as [centre, width, height]."""
    total = np.zeros_like(x)
    for centre, width, height in peaks:
        total += height * np.exp(-0.5 * ((x - centre) / width) ** 2)
    return total


def spectrum(png_path, peaks, baseline):
    """Plot a spectrum made of Gaussian peaks and save it as a PNG."""
    x = np.linspace(0.0, 6.0, 600)
    y = baseline + gaussian_peaks(x, peaks)
    fig, ax = plt.subplots(figsize=(6, 3.5))
    ax.fill_between(x, baseline, y, alpha=0.3)
    ax.plot(x, y)
    for centre, _, height in peaks:
        ax.annotate(f"{centre:g} eV", (centre, baseline + height), xytext=(0, 4),
                    textcoords="offset points", ha="center", va="bottom")
    ax.set_ylim(0.0, 1.2 * y.max())
    ax.set_xlabel("energy [eV]")
    ax.set_ylabel("intensity")
    ax.set_title(f"Spectrum of {len(peaks)} Gaussian peaks")
    fig.tight_layout()
    # A fixed dpi and no "Software" entry: the PNG is byte-identical on every run.
    fig.savefig(png_path, dpi=100, metadata={"Software": None})
    plt.close(fig)
