"""Archive expansion (compiled module figvault.src.unarchive)."""

import os
from typing import TypeAlias

# Anything the built-in open() accepts as its first argument.
_FileName: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes] | int
_FolderName: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]

def expand(filename: _FileName, folder: _FolderName | None = None) -> None:
    """expand(filename, folder=None)"""
