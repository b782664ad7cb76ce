"""Walks over what the reader made, each object visited once.

A small stream can share one object on an exponential number of paths, so
every walk here remembers what it has visited, never recurses, and counts
its work against the budget.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Iterable, Iterator

from .budget import Budget
from .placeholders import NOTHING, OpaqueKey, Placeholder, StreamSet

__all__ = ["Plainness", "Walk", "children", "is_leaf", "walk"]

_SCALAR_TYPES = frozenset((type(None), bool, int, float, complex, str, bytes, bytearray))
_PLAIN_LEAF_TYPES = frozenset((type(None), bool, int, float, str, bytes))
_PLAIN_CONTAINER_TYPES = frozenset((list, tuple, dict, OpaqueKey, StreamSet))


def children(value: Any) -> Iterable[Any]:
    """The objects ``value`` refers to directly, for walks over read data."""
    kind = type(value)
    if kind is list or kind is tuple:
        return value
    if kind is dict:
        found = list(value)
        found.extend(value.values())
        return found
    if kind is OpaqueKey:
        return (value.value,)
    if kind is StreamSet:
        return value.items
    if isinstance(value, Placeholder):
        return value.parts()
    return NOTHING


def is_leaf(value: Any) -> bool:
    """True for a scalar: nothing below it to visit."""
    return type(value) in _SCALAR_TYPES


@dataclass(repr=False)
class Walk:
    """The result of :func:`walk`: the nesting depth of a value, every
    container and placeholder in it (each once), and which of the lists,
    tuples and dicts among them are plain data (see :class:`Plainness`), by id."""

    depth: int
    nodes: list[Any]
    plain: dict[int, bool]

    def __repr__(self) -> str:  # the nodes are read data, which may be huge
        return f"<Walk: depth {self.depth}, {len(self.nodes)} objects>"


def walk(root: Any, budget: Budget | None = None) -> Walk:
    """Visit everything reachable from ``root`` once, however often it is
    shared, and measure its nesting depth (the longest chain of containers
    and placeholders; cycles do not count). Raises LimitError when the depth
    or the number of objects exceeds the budget."""
    budget = budget or Budget()
    if is_leaf(root):
        return Walk(0, [], {})
    max_depth = budget.limits.depth
    max_nodes = budget.limits.nodes
    leaf_types = _SCALAR_TYPES
    plain_leaves = _PLAIN_LEAF_TYPES
    plain_containers = _PLAIN_CONTAINER_TYPES
    depth_of: dict[int, int] = {}
    plain_of: dict[int, bool] = {}
    on_path: set[int] = {id(root)}
    nodes: list[Any] = [root]  # also keeps every visited id unique
    path: list[Any] = [root]
    stack: list[Iterator[Any]] = [iter(children(root))]
    deepest: list[int] = [0]
    plain: list[bool] = [type(root) in plain_containers]
    while stack:
        for child in stack[-1]:
            kind = type(child)
            if kind in leaf_types:
                if kind not in plain_leaves:
                    plain[-1] = False
                continue
            ident = id(child)
            known = depth_of.get(ident)
            if known is not None:
                if known > deepest[-1]:
                    deepest[-1] = known
                if not plain_of.get(ident, False):
                    plain[-1] = False
                continue
            if ident in on_path:  # a cycle: nothing on it is plain
                plain[-1] = False
                continue
            nodes.append(child)
            if len(nodes) > max_nodes:
                budget.check_nodes(len(nodes))
            if not child and (kind is list or kind is tuple or kind is dict):
                # Empty: one level deep, plain, nothing below it to visit.
                depth_of[ident] = 1
                plain_of[ident] = True
                if deepest[-1] < 1:
                    deepest[-1] = 1
                continue
            if len(path) >= max_depth:
                budget.check_depth(len(path) + 1)
            on_path.add(ident)
            path.append(child)
            stack.append(iter(child) if kind is list or kind is tuple else iter(children(child)))
            deepest.append(0)
            plain.append(kind in plain_containers)
            break
        else:
            stack.pop()
            node = path.pop()
            ident = id(node)
            on_path.discard(ident)
            depth = deepest.pop() + 1
            if depth > max_depth:
                budget.check_depth(depth)
            depth_of[ident] = depth
            node_plain = plain.pop()
            if type(node) in plain_containers:
                plain_of[ident] = node_plain
            if deepest:
                if depth > deepest[-1]:
                    deepest[-1] = depth
                if not node_plain:
                    plain[-1] = False
    return Walk(depth_of[id(root)], nodes, plain_of)


class Plainness:
    """Tells plain data: None, bool, int, float, str, bytes, and lists,
    tuples, dicts (with plain keys) and sets made only of those. Shared
    objects are judged once; a container that holds itself is not plain."""

    def __init__(self, budget: Budget | None = None, known: dict[int, bool] | None = None) -> None:
        # Ids judged by a walk stay valid while the walked value lives.
        self.known: dict[int, bool] = dict(known) if known else {}
        self.keep: list[Any] = []
        self.budget = budget or Budget()
        self.visited = 0

    def check(self, root: Any) -> bool:
        kind = type(root)
        if kind in _PLAIN_LEAF_TYPES:
            return True
        if not self._container(root):
            return False
        known = self.known
        if id(root) in known:
            return known[id(root)]
        on_path: set[int] = set()
        stack: list[tuple[Any, Iterator[Any]]] = []

        def enter(node: Any) -> None:
            self.visited += 1
            if self.visited > self.budget.limits.nodes:
                self.budget.check_nodes(self.visited)
            self.keep.append(node)
            on_path.add(id(node))
            stack.append((node, iter(children(node))))

        enter(root)
        while stack:
            node, pending = stack[-1]
            verdict = True
            descended = False
            for child in pending:
                kind = type(child)
                if kind in _PLAIN_LEAF_TYPES:
                    continue
                if not self._container(child) or id(child) in on_path:
                    verdict = False
                    break
                seen = known.get(id(child))
                if seen is None:
                    enter(child)
                    descended = True
                    break
                if not seen:
                    verdict = False
                    break
            if descended:
                continue
            stack.pop()
            on_path.discard(id(node))
            known[id(node)] = verdict
            if not verdict:
                # Everything still open holds this node: none of it is plain.
                for open_node, _ in stack:
                    known[id(open_node)] = False
                    on_path.discard(id(open_node))
                stack.clear()
        return known[id(root)]

    @staticmethod
    def _container(value: Any) -> bool:
        return type(value) in _PLAIN_CONTAINER_TYPES
