"""Plotting functions of the project (module-level imports are fine here)."""

import matplotlib.pyplot as plt
import numpy as np


def gaussian_peaks(x, peaks):
    total = np.zeros_like(x)
    for centre, width, height in peaks:
        total += height * np.exp(-0.5 * ((x - centre) / width) ** 2)
    return total


def spectrum(png_path, peaks, baseline):
    x = np.linspace(0.0, 6.0, 600)
    y = baseline + gaussian_peaks(x, peaks)
    fig, ax = plt.subplots(figsize=(5, 3))
    ax.fill_between(x, baseline, y, alpha=0.3)
    ax.plot(x, y)
    ax.set_xlabel("energy [eV]")
    fig.tight_layout()
    fig.savefig(png_path, dpi=60, metadata={"Software": None})
    plt.close(fig)
