"""figvault: make a plot reproducible from one file.

``archive`` (the decorator class of the compiled module) and the replay
functions ``expand`` and ``extract`` are loaded on first use, so
``import figvault`` stays fast and imports neither numpy, torch nor dill.
``__version__`` is read from the installed distribution's metadata on first
use ("0.1.0" when there is none).
"""

from __future__ import annotations

__all__ = ["ForeignCodeError", "ReplayWarning", "archive", "expand", "extract"]


def _read_version() -> str:
    try:
        from importlib.metadata import PackageNotFoundError, version
    except ImportError:  # pragma: no cover - always present on 3.11
        return "0.1.0"
    try:
        return version("figvault")
    except PackageNotFoundError:
        return "0.1.0"


# Public name -> the module that defines it.
_LAZY = {
    "archive": "figvault.src.archive",
    "expand": "figvault.replay",
    "extract": "figvault.replay",
    "ReplayWarning": "figvault.replay",
    "ForeignCodeError": "figvault.replay",
}


def __getattr__(name: str) -> object:
    if name == "__version__":  # read on first use: importlib.metadata is slow to import
        value = globals()["__version__"] = _read_version()
        return value
    module_name = _LAZY.get(name)
    if module_name is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(module_name), name)
    globals()[name] = value  # later lookups skip this function
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__) | {"__version__"})
