"""An annotated heatmap from two gallery-style helpers and label lists,
with a project module for the colours."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from figlib.colours import cmap_name  # noqa: E402
from figvault import archive  # noqa: E402

VEGETABLES = ["cucumber", "tomato", "lettuce", "asparagus", "potato"]
FARMERS = ["Farmer Joe", "Upland Bros.", "Smith Gardening", "Agrifun", "Organiculture"]
HARVEST = np.array(
    [
        [0.8, 2.4, 2.5, 3.9, 0.0],
        [2.4, 0.0, 4.0, 1.0, 2.7],
        [1.1, 2.4, 0.8, 4.3, 1.9],
        [0.6, 0.0, 0.3, 0.0, 3.1],
        [0.7, 1.7, 0.6, 2.6, 2.2],
    ]
)


def heatmap(data, row_labels, col_labels, ax, **kwargs):
    image = ax.imshow(data, **kwargs)
    ax.set_xticks(np.arange(data.shape[1]), labels=col_labels, rotation=45, ha="right")
    ax.set_yticks(np.arange(data.shape[0]), labels=row_labels)
    return image


def annotate_heatmap(image, data, fmt="{:.1f}"):
    for i in range(data.shape[0]):
        for j in range(data.shape[1]):
            image.axes.text(j, i, fmt.format(data[i, j]), ha="center", va="center", color="w")


@archive("figure.figvault")
def plot(png_path, title, scale):
    fig, ax = plt.subplots(figsize=(5, 5))
    image = heatmap(HARVEST * scale, VEGETABLES, FARMERS, ax, cmap=cmap_name("harvest"))
    annotate_heatmap(image, HARVEST * scale)
    ax.set_title(title)
    fig.tight_layout()
    fig.savefig(png_path, dpi=50, metadata={"Software": None})
    plt.close(fig)


plot("figure.png", "Harvest of local farmers (in tons/year)", 1.5)
