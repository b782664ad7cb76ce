"""Damped oscillations: constants, data computed at import time, a helper."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from figvault import archive  # noqa: E402

DURATION = 10.0
SAMPLES = 400
TIME = np.linspace(0.0, DURATION, SAMPLES)
COLOURS = ["tab:blue", "tab:orange", "tab:green"]


def envelope(damping):
    """The exponential envelope of a damped oscillation."""
    return np.exp(-damping * TIME)


@archive("figure.figvault")
def plot(png_path, frequencies, damping):
    fig, ax = plt.subplots(figsize=(5, 3))
    for colour, frequency in zip(COLOURS, frequencies):
        ax.plot(TIME, envelope(damping) * np.cos(2 * np.pi * frequency * TIME), color=colour, label=f"{frequency} Hz")
    ax.plot(TIME, envelope(damping), "--", color="grey")
    ax.set_xlabel("time [s]")
    ax.legend(loc="upper right")
    fig.tight_layout()
    fig.savefig(png_path, dpi=60, metadata={"Software": None})
    plt.close(fig)


plot("figure.png", [0.5, 0.8, 1.3], 0.3)
