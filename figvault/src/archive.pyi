"""The archiving decorator (compiled module figvault.src.archive)."""

import os
from typing import Callable, ParamSpec, TypeAlias, TypeVar

_P = ParamSpec("_P")
_R = TypeVar("_R")

# Anything the built-in open() accepts as its first argument.
_FileName: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes] | int

class archive:
    """
    figvault.archive is the main function to save your code


    """

    filename: _FileName
    def __init__(self, filename: _FileName | None = None) -> None:
        """archive.__init__(self, filename=None)"""
    def __call__(self, func: Callable[_P, _R]) -> Callable[_P, _R]:
        """archive.__call__(self, func)"""
