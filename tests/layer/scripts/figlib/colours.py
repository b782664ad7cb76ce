"""Colour choices of the project."""

CMAPS = {"harvest": "YlGn", "default": "viridis"}


def cmap_name(kind):
    return CMAPS.get(kind, CMAPS["default"])
