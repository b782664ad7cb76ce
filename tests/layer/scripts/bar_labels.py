"""Grouped bars with value labels: `from ... import` aliases, a dict of data."""

import matplotlib as mpl

mpl.use("Agg")
from matplotlib import pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import figvault  # noqa: E402

SPECIES = ("Adelie", "Chinstrap", "Gentoo")
MEASUREMENTS = {
    "bill depth": (18.35, 18.43, 14.98),
    "bill length": (38.79, 48.83, 47.50),
    "flipper length": (189.95, 195.82, 217.19),
}
WIDTH = 0.25


def label_bars(ax, bars):
    """Write each bar's height above it."""
    ax.bar_label(bars, padding=3, fmt="%.1f")


@figvault.archive("figure.figvault")
def plot(png_path, title):
    x = np.arange(len(SPECIES))
    fig, ax = plt.subplots(figsize=(6, 3.5), layout="constrained")
    for offset, (name, values) in enumerate(MEASUREMENTS.items()):
        bars = ax.bar(x + WIDTH * offset, values, WIDTH, label=name)
        label_bars(ax, bars)
    ax.set_xticks(x + WIDTH, SPECIES)
    ax.set_title(title)
    ax.legend(loc="upper left", ncols=3)
    ax.set_ylim(0, 250)
    fig.savefig(png_path, dpi=60, metadata={"Software": None})
    plt.close(fig)


print("plotting penguins")
plot("figure.png", "Penguin attributes by species")
