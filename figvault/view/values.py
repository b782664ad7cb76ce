"""Short descriptions of read values: their type, a short Python-like text
for plain data, the shape and dtype of arrays and tensors, the size and
line count of archived texts. Nothing described is ever called."""

from __future__ import annotations

import math
from typing import Any

from ..reader import Call, Global, OpaqueKey, Plainness, StreamSet, array_facts, cut_name, describe_type, numpy_scalar_value
from ..terminal import clean_text
from .text import TYPE_CHARS, VALUE_CHARS

__all__ = ["describe_value", "int_text", "text_lines", "text_size", "value_text"]

_SCALARS = (type(None), bool, int, float, complex, str, bytes, bytearray)
_CONTAINERS = (list, tuple, dict)
_LOG10_2 = math.log10(2)
# Integers of more bits than this (58 digits) are described by their number of digits.
_INT_TEXT_BITS = 190
# Nesting levels written out in a short text.
_TEXT_DEPTH = 20
# Characters encoded at a time to measure a large text.
_CHUNK = 1024 * 1024


def int_text(value: int) -> str:
    """The decimal text of an int, or "<int of about N digits>" for a huge one
    (turning those into text is slow, and refused beyond 4,300 digits)."""
    bits = value.bit_length()
    if bits <= _INT_TEXT_BITS:
        return str(value)
    digits = int(bits * _LOG10_2) + 1
    return f"<int of about {digits:,} digits>"


class _Renderer:
    """Writes a short Python-like text for plain data within a character
    budget: each step writes at least one character, so the work is bounded
    by the budget whatever the data shares."""

    def __init__(self, limit: int) -> None:
        self.limit = limit
        self.parts: list[str] = []
        self.size = 0

    def full(self) -> bool:
        return self.size >= self.limit

    def put(self, text: str) -> None:
        room = self.limit - self.size
        if room <= 0:
            return
        if len(text) > room:
            text = text[:room]
        self.parts.append(text)
        self.size += len(text)

    def render(self, value: Any) -> str:
        self._value(value, 0)
        text = "".join(self.parts)
        if self.size >= self.limit:
            text = text[: max(0, self.limit - 3)] + "..."
        return text

    def _value(self, value: Any, depth: int) -> None:
        if self.full():
            return
        kind = type(value)
        if kind is str:
            self.put(repr(value[: self.limit - self.size + 1]) if len(value) > self.limit else repr(value))
        elif kind is bytes:
            self.put(repr(value[: self.limit - self.size + 1]) if len(value) > self.limit else repr(value))
        elif kind is int:
            self.put(int_text(value))
        elif kind in (type(None), bool, float, complex):
            self.put(repr(value))
        elif kind is OpaqueKey:
            self._value(value.value, depth)
        elif depth >= _TEXT_DEPTH:
            self.put("...")
        elif kind is list:
            self._items("[", value, "]", depth)
        elif kind is tuple:
            self._items("(", value, ",)" if len(value) == 1 else ")", depth)
        elif kind is StreamSet:
            if not value.items:
                self.put(f"{value.kind}()")
            elif value.kind == "set":
                self._items("{", value.items, "}", depth)
            else:
                self._items("frozenset({", value.items, "})", depth)
        elif kind is dict:
            self.put("{")
            first = True
            for key, item in value.items():
                if self.full():
                    return
                if not first:
                    self.put(", ")
                first = False
                self._value(key, depth + 1)
                self.put(": ")
                self._value(item, depth + 1)
            self.put("}")
        else:
            self.put("<" + clean_text(describe_type(value), TYPE_CHARS) + ">")

    def _items(self, opening: str, items: Any, closing: str, depth: int) -> None:
        self.put(opening)
        for index, item in enumerate(items):
            if self.full():
                return
            if index:
                self.put(", ")
            self._value(item, depth + 1)
        self.put(closing)


def value_text(value: Any, limit: int = VALUE_CHARS) -> str:
    """A short Python-like text for plain data, at most ``limit`` characters."""
    return _Renderer(limit).render(value)


def describe_value(value: Any, plain: Plainness | None = None) -> dict[str, Any]:
    """{"type": text, "value": short text or None}: the value only for plain
    data; "length" for containers, "shape" and "dtype" for arrays and
    tensors, "refers_to" for a global or a module. Placeholders are
    described by the globals they name; nothing is called. ``plain`` judges
    plain data (with what it has judged already)."""
    kind = type(value)
    described: dict[str, Any] = {"type": describe_type(value), "value": None}
    if isinstance(value, Global):
        described["refers_to"] = value.dotted
    elif isinstance(value, Call):
        facts = array_facts(value)
        described.update(facts)
        scalar = None if facts else numpy_scalar_value(value)
        if scalar is not None:
            described["value"] = scalar
        elif value.func_name == "dill._dill._import_module" and value.args and type(value.args[0]) is str:
            described["refers_to"] = cut_name(value.args[0])
    elif kind is StreamSet:
        described["length"] = len(value.items)
        if (plain or Plainness()).check(value):
            described["value"] = value_text(value)
    elif kind in _SCALARS or kind in _CONTAINERS:
        if kind in _CONTAINERS or kind is bytearray:
            described["length"] = len(value)
        if kind is not bytearray and (plain or Plainness()).check(value):
            described["value"] = value_text(value)
    return described


def text_size(text: str) -> int:
    """The UTF-8 size of ``text`` (surrogates as written by surrogatepass),
    without making a whole copy of a large text."""
    if text.isascii():
        return len(text)
    size = 0
    for start in range(0, len(text), _CHUNK):
        size += len(text[start : start + _CHUNK].encode("utf-8", "surrogatepass"))
    return size


def text_lines(text: str) -> int:
    """The number of lines of a text (a last line without a line break counts)."""
    return text.count("\n") + (1 if text and not text.endswith("\n") else 0)
