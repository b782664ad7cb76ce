"""The plotting function lives in a small project module; the script wraps
it at module level and calls it at the bottom."""

import matplotlib

matplotlib.use("Agg")
from figlib import panels  # noqa: E402
from figvault import archive  # noqa: E402

PEAKS = [[2.0, 0.15, 1.0], [3.1, 0.3, 0.6], [4.4, 0.1, 0.8]]
plot = archive("figure.figvault")(panels.spectrum)

if __name__ == "__main__":
    plot("figure.png", PEAKS, 0.05)
