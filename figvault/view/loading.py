"""What loading an archive would do, read from its placeholders: the
modules it imports, the callees it calls, and the effects worth a warning
(text evaluated, files opened, imports of computed names)."""

from __future__ import annotations

from typing import Any

from ..reader import Budget, Call, Global, ReadInfo, cut_name, dotted_name
from ..reader.kinds import CHAIN_LOOK
from .text import QUOTE_CHARS, ROW_CHARS, VALUE_CHARS
from .values import value_text

__all__ = ["scan_loading"]

# Texts that dill evaluates for objects it cannot otherwise name; these two
# only name built-in constants.
SAFE_EVAL_TEXTS = frozenset({"Ellipsis", "NotImplemented"})

# Calls that import a module named by their first argument.
_IMPORTING_CALLS = {
    "dill._dill._import_module",
    "builtins.__import__",
    "importlib.import_module",
    "importlib.__import__",
    "importlib._bootstrap._gcd_import",
    "pkgutil.resolve_name",
}
# Calls that evaluate Python text (the argument that holds it).
_EVALUATING_CALLS = {"dill._dill._eval_repr": 0, "builtins.eval": 0, "builtins.exec": 0, "dill._dill._getattr": 2}
# Calls that open a file named by their first argument.
_OPENING_CALLS = {"dill._dill._create_filehandle", "builtins.open", "io.open", "_io.open"}
# Calls that look an attribute up: (object, name).
_ATTRIBUTE_CALLS = {"builtins.getattr", "dill._dill._get_attr"}
# The longest repr of an attribute that dill's _getattr is judged by ("<slot
# wrapper '__init__' of 'object' objects>"); a longer one is not harmless.
_ATTRIBUTE_REPR_CHARS = 1000

WARN_COMPUTED_IMPORT = "loading imports a module whose name is computed while loading ({via})"
WARN_EVALUATES = "loading evaluates the text {text} ({via})"
WARN_OPENS = "loading opens the file {name} ({via})"


def _dotted(value: Any) -> str | None:
    """The dotted name that ``value`` stands for: a global, a module that
    dill imports by name, or an attribute of either (cut, as every name)."""
    suffix: list[str] = []
    for _ in range(CHAIN_LOOK):
        if isinstance(value, Global):
            module = "builtins" if value.module == "__builtin__" else value.module
            return cut_name(".".join([dotted_name(module, value.name)] + suffix[::-1]))
        if not isinstance(value, Call) or not isinstance(value.func, Global):
            return None
        callee = _dotted(value.func) if isinstance(value.func, Global) else None
        if callee == "dill._dill._import_module" and value.args and type(value.args[0]) is str:
            return cut_name(".".join([cut_name(value.args[0])] + suffix[::-1]))
        if callee in _ATTRIBUTE_CALLS and len(value.args) >= 2 and type(value.args[1]) is str:
            suffix.append(cut_name(value.args[1]))
            value = value.args[0]
            continue
        return None
    return None


def scan_loading(nodes: list[Any], info: ReadInfo, budget: Budget) -> tuple[list[dict], list[str], list[str]]:
    """(modules imported on load, callees called on load, warnings), from
    every container and placeholder of the record; each is counted against
    the output budget as it is found (``--json`` prints them all)."""
    imports: list[dict[str, str]] = [{"module": module, "via": "global"} for module in info.modules]
    listed = set(info.modules)
    budget.output(sum(len(module) + ROW_CHARS for module in listed))
    calls: dict[str, None] = {}
    warnings: list[str] = []

    def warn(text: str) -> None:
        budget.output(len(text) + ROW_CHARS)
        warnings.append(text)

    for node in nodes:
        if type(node) is not Call:
            continue
        callee = _dotted(node.func)
        if callee is None:
            continue
        if callee not in calls:
            budget.output(len(callee) + ROW_CHARS)
            calls[callee] = None
        args = node.args
        if callee in _IMPORTING_CALLS or callee == "dill._dill._create_namedtuple":
            if callee == "dill._dill._create_namedtuple":
                named = dotted_name(args[2], args[0]) if len(args) > 2 and type(args[2]) is str and type(args[0]) is str else None
            else:
                named = cut_name(args[0]) if args and type(args[0]) is str else None
            if named is None:
                warn(WARN_COMPUTED_IMPORT.format(via=callee))
            else:
                module = named.partition(":")[0] if callee == "pkgutil.resolve_name" else named
                if module not in listed:
                    budget.output(len(module) + ROW_CHARS)
                    listed.add(module)
                    imports.append({"module": module, "via": callee})
        if callee in _EVALUATING_CALLS:
            index = _EVALUATING_CALLS[callee]
            text = args[index] if len(args) > index else None
            if not _harmless_eval(callee, node.args):
                shown = value_text(text, VALUE_CHARS) if type(text) is str else "computed while loading"
                warn(WARN_EVALUATES.format(text=shown, via=callee))
        if callee in _OPENING_CALLS:
            name = args[0] if args else None
            shown = value_text(name, QUOTE_CHARS) if type(name) in (str, bytes) else "named while loading"
            warn(WARN_OPENS.format(name=shown, via=callee))
    return imports, list(calls), warnings


def _harmless_eval(callee: str, args: tuple) -> bool:
    if callee == "dill._dill._eval_repr":
        return bool(args) and args[0] in SAFE_EVAL_TEXTS if type(args[0] if args else None) is str else False
    if callee == "dill._dill._getattr" and len(args) >= 3 and type(args[1]) is str and type(args[2]) is str:
        if len(args[1]) > _ATTRIBUTE_REPR_CHARS or len(args[2]) > _ATTRIBUTE_REPR_CHARS:
            return False
        # dill evaluates  <class>.__dict__["<name>"]  with the class named in a repr.
        pieces = args[2].split("'")
        owner = pieces[3] if len(pieces) > 3 else ""
        return owner.isidentifier() and args[1].isidentifier()
    return False
