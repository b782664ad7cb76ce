"""What a replay will do, decided from the archive before anything runs:
which archive folders are primary roots of its modules, and which archived
script or notebook prepares the fresh ``__main__``."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from ..reader import text_of
from ..sources import ModuleIndex, find_defining_notebook, main_script_key, restored_parts, strip_magics
from .main_module import SourcePiece

__all__ = ["ReplayPlan", "plan_replay"]


@dataclass
class ReplayPlan:
    """How to replay a record: the primary roots of its modules, and what
    prepares the fresh ``__main__`` for a function saved from a script or a
    notebook."""

    roots: list[str] = field(default_factory=list)
    script: str | None = None  # key of the script that defined the function
    notebook: str | None = None  # key of the notebook that defined it
    pieces: list[SourcePiece] = field(default_factory=list)
    skip_function: str | None = None
    main_file: str | None = None
    module_file: str | None = None  # key of the archived module that defines it


def _folder_root(key: str) -> str:
    """The primary-root spelling of the folder holding the file ``key``."""
    parts = restored_parts(key) or ()
    return "./" + "/".join(parts[:-1]) if len(parts) > 1 else "."


def _archive_path(origin: str, key: str) -> str:
    return "/".join((origin.rstrip("/"),) + (restored_parts(key) or (key,)))


def plan_replay(files: dict[str, Any], function: dict[str, Any], origin: str = "/") -> ReplayPlan:
    """The plan for a record whose saved function
    :func:`figvault.view.function.describe_function` described.

    For a function of ``__main__``, the pieces of source that prepare the
    fresh ``__main__`` (the script, or the notebook's code cells); ``origin``
    names them in tracebacks.
    """
    plan = ReplayPlan()
    module = function.get("module")
    qualname = function.get("qualname")
    filename = function.get("filename")
    if module == "__main__":
        if isinstance(qualname, str) and qualname.isidentifier():
            plan.skip_function = qualname
        plan.script = main_script_key(files, filename)
        if plan.script is not None:
            # That run's sys.path[0]: the folder of the script.
            plan.roots.append(_folder_root(plan.script))
            plan.main_file = filename
            plan.pieces = [SourcePiece(_archive_path(origin, plan.script), text_of(files[plan.script]))]
        else:
            found = find_defining_notebook(
                files, qualname, function.get("firstlineno"), function.get("parameters")
            ) if isinstance(qualname, str) else None
            if found is not None:
                # A kernel starts in its notebook's folder and puts it on sys.path.
                plan.notebook, cells = found
                plan.roots.append(_folder_root(plan.notebook))
                where = _archive_path(origin, plan.notebook)
                for number, cell in enumerate(cells, 1):
                    text = strip_magics(cell)
                    if text is not None:
                        plan.pieces.append(SourcePiece(f"{where}[code cell {number}]", text))
            elif not isinstance(filename, str) or filename.startswith("<"):
                # `python -c`, an interactive session: the working directory
                # was sys.path[0], and it is the archive's top folder.
                plan.roots.append(".")
    elif isinstance(module, str) and module:
        index = ModuleIndex(files, plan.roots)
        found_module = index.resolve(module)
        if found_module is not None:
            root = "./" + "/".join(found_module[0]) if found_module[0] else "."
            if root not in plan.roots:
                plan.roots.append(root)
            plan.module_file = index.module_key(module)
    return plan
