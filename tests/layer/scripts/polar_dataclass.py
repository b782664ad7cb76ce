"""A style dataclass, functools.partial at module level, a polar plot."""

import functools
from dataclasses import dataclass

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from figvault import archive  # noqa: E402


@dataclass(frozen=True)
class Style:
    colour: str
    width: float


STYLES = [Style("tab:red", 1.0), Style("tab:purple", 2.0)]
THETA = np.linspace(0, 2 * np.pi, 300)


def rose(k, theta):
    return np.cos(k * theta)


three_petals = functools.partial(rose, 3)


@archive("figure.figvault")
def plot(png_path, petals):
    fig, ax = plt.subplots(subplot_kw={"projection": "polar"}, figsize=(4, 4))
    ax.plot(THETA, np.abs(three_petals(THETA)), color=STYLES[0].colour, linewidth=STYLES[0].width)
    ax.plot(THETA, np.abs(rose(petals, THETA)), color=STYLES[1].colour, linewidth=STYLES[1].width)
    fig.savefig(png_path, dpi=50, metadata={"Software": None})
    plt.close(fig)


def main():
    plot("figure.png", 5)


if __name__ == "__main__":
    main()
