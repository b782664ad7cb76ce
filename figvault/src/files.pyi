"""Source collection and restoration (compiled module figvault.src.files)."""

import os
from typing import TypeAlias

_FolderName: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]

def create_file_dict() -> dict[str, str]:
    """create_file_dict()

    Small helper function which reads all python files in the scope and saves the text to a dictionary.

    :return: dict where each key is the file path
    """

def write_files_from_dict(folder_dict: dict[str, str], new_folder_path: _FolderName | None = None) -> None:
    """write_files_from_dict(dict folder_dict: dict, new_folder_path=None)"""
