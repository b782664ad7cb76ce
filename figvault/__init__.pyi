import os
from typing import Any

from figvault.replay import ForeignCodeError as ForeignCodeError
from figvault.replay import ReplayWarning as ReplayWarning
from figvault.src.archive import archive as archive

__all__ = ["ForeignCodeError", "ReplayWarning", "archive", "expand", "extract"]
__version__: str

def expand(filename: str | bytes | os.PathLike[str], folder: str | bytes | os.PathLike[str] | None = None) -> Any:
    """Replay an archive: restore its sources into the new folder, then call
    the saved function with the archived code; returns its result."""

def extract(filename: str | bytes | os.PathLike[str], folder: str | bytes | os.PathLike[str]) -> str:
    """Restore an archive's sources into the new folder without running anything."""
