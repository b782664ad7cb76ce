"""Scatter with marginal histograms: random data drawn at import time from a
seeded generator, a gridspec, and a helper that takes the axes."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.gridspec as gridspec  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from figvault import archive as archive_plot  # noqa: E402

rng = np.random.default_rng(19680801)
X = rng.standard_normal(500)
Y = 0.6 * X + rng.standard_normal(500) * 0.5
BINWIDTH = 0.25


def scatter_hist(x, y, ax, ax_histx, ax_histy):
    ax_histx.tick_params(axis="x", labelbottom=False)
    ax_histy.tick_params(axis="y", labelleft=False)
    ax.scatter(x, y, s=6)
    limit = (int(np.max(np.abs([x, y])) / BINWIDTH) + 1) * BINWIDTH
    bins = np.arange(-limit, limit + BINWIDTH, BINWIDTH)
    ax_histx.hist(x, bins=bins)
    ax_histy.hist(y, bins=bins, orientation="horizontal")


@archive_plot("figure.figvault")
def plot(png_path, ratio):
    fig = plt.figure(figsize=(4, 4))
    grid = gridspec.GridSpec(2, 2, width_ratios=(ratio, 1), height_ratios=(1, ratio), figure=fig)
    ax = fig.add_subplot(grid[1, 0])
    scatter_hist(X, Y, ax, fig.add_subplot(grid[0, 0], sharex=ax), fig.add_subplot(grid[1, 1], sharey=ax))
    fig.savefig(png_path, dpi=60, metadata={"Software": None})
    plt.close(fig)


if __name__ == "__main__":
    plot("figure.png", 4)
