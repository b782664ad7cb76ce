"""Daily values over two months, with the date ticks chosen by a helper that
builds its locator from a text (as configurable scripts do) and a formatter
looked up by name."""

import datetime

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.dates import AutoDateLocator, ConciseDateFormatter  # noqa: E402, F401

from figvault import archive  # noqa: E402

START = datetime.datetime(2024, 1, 1)
LOCATOR = "AutoDateLocator(minticks=3, maxticks=7)"
FORMATTER = "ConciseDateFormatter"


def date_axis(ax):
    """Ticks and labels of a date axis, as the settings above name them."""
    locator = eval(LOCATOR)
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(globals()[FORMATTER](locator))


@archive("figure.figvault")
def plot(png_path, days):
    dates = [START + datetime.timedelta(days=day) for day in range(days)]
    fig, ax = plt.subplots(figsize=(5, 3))
    ax.plot(dates, np.sqrt(np.arange(days)), color="tab:purple")
    date_axis(ax)
    fig.tight_layout()
    fig.savefig(png_path, dpi=60, metadata={"Software": None})
    plt.close(fig)


plot("figure.png", 60)
