"""A helper class: a Normalize subclass with a midpoint, as in the gallery."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib import colors  # noqa: E402

from figvault import archive  # noqa: E402


class MidpointNormalize(colors.Normalize):
    """Maps vmin, midpoint and vmax to 0, 0.5 and 1."""

    def __init__(self, vmin=None, vmax=None, midpoint=None, clip=False):
        self.midpoint = midpoint
        super().__init__(vmin, vmax, clip)

    def __call__(self, value, clip=None):
        x, y = [self.vmin, self.midpoint, self.vmax], [0, 0.5, 1]
        return np.ma.masked_array(np.interp(value, x, y))


def surface(n):
    x = np.linspace(-3.0, 3.0, n)
    xx, yy = np.meshgrid(x, x)
    return np.sin(xx) * np.cos(yy) * 4 + 1


@archive("figure.figvault")
def plot(png_path, n, midpoint):
    data = surface(n)
    fig, ax = plt.subplots(figsize=(4, 3))
    image = ax.imshow(data, cmap="RdBu_r", norm=MidpointNormalize(vmin=data.min(), vmax=data.max(), midpoint=midpoint))
    fig.colorbar(image, ax=ax)
    fig.savefig(png_path, dpi=60, metadata={"Software": None})
    plt.close(fig)


if __name__ == "__main__":
    plot("figure.png", 60, 1.0)
