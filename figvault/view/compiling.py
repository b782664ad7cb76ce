"""Compiling and parsing archived sources within a time budget per archive.

The time that compile() and ast.parse() take is not linear in the text:
one f-string of many fields takes time that grows with the square of its
length. So every compile or parse for an archive counts against the time
budget of that archive; a text beyond a few pages is compiled in a child
process that the budget stops (it compiles the text, runs none of it, and
sends the result back). Results are kept, so each text is compiled once per
optimisation level.
"""

from __future__ import annotations

import ast
import math
import time
import types
from typing import Any

from ..reader import Budget

__all__ = ["COMPILE_ERRORS", "Compiler", "NotCompiled"]

# Seconds spent compiling and parsing the sources of one archive.
MAX_COMPILE_SECONDS = 2.0
# Texts up to this many characters are compiled in this process: the
# slowest of them compiles within milliseconds.
IN_PROCESS_CHARS = 16 * 1024
# Seconds a child process may take to start, beyond the time it is given.
CHILD_START_SECONDS = 2.0
# Characters of archived source compiled for one archive in all (the code
# objects are kept while the archive is described).
MAX_COMPILED_CHARS = 4 * 1024 * 1024

TOO_SLOW_TEXT = "compiling it takes longer than the {seconds:g} seconds allowed per archive"
TOO_MUCH_TEXT = "the sources compiled for this archive would exceed {chars:,} characters"
NO_CHILD_TEXT = "the process that compiles it apart failed ({reason})"

COMPILE_ERRORS = (SyntaxError, ValueError, RecursionError, MemoryError, OverflowError)
_ERRORS_BY_NAME = {error.__name__: error for error in COMPILE_ERRORS}

# The child: reads (what, text, name, optimize, flags, seconds), compiles
# within a CPU limit, writes b"c" + marshal of the code, b"t" + pickle of
# the syntax tree, or b"e" + the name of the compile error.
_CHILD = """\
import marshal, pickle, sys
what, text, name, optimize, flags, seconds = marshal.loads(sys.stdin.buffer.read())
try:
    import resource
    resource.setrlimit(resource.RLIMIT_CPU, (seconds, seconds + 1))
except (ImportError, ValueError, OSError):
    pass
try:
    made = compile(text, name, "exec", flags, dont_inherit=True, optimize=optimize)
    data = b"c" + marshal.dumps(made) if what == "code" else b"t" + pickle.dumps(made, protocol=4)
except (SyntaxError, ValueError, RecursionError, MemoryError, OverflowError) as error:
    data = b"e" + type(error).__name__.encode()
sys.stdout.buffer.write(data)
"""


class NotCompiled(Exception):
    """A text was not compiled: the time or size budget ran out, or it could
    not be compiled apart. The message says why, in a few words."""


class Compiler:
    """Compiles (never runs) the archived sources of one archive, each text
    once per optimisation level and flags, within :data:`MAX_COMPILE_SECONDS`."""

    def __init__(self, budget: Budget, seconds: float = MAX_COMPILE_SECONDS) -> None:
        self.budget = budget
        self.seconds = seconds
        self.seconds_left = seconds
        self.compiled_chars = 0
        self.results: dict[tuple[str, str, int, int], Any] = {}
        self.spent = False  # the time or text allowed has run out

    def code(self, name: str, text: str, optimize: int = 0, flags: int = 0) -> types.CodeType:
        """The module code of ``text``, compiled under the file name ``name``;
        raises what compile() raised, or NotCompiled."""
        return self._result("code", name, text, optimize, flags)

    def tree(self, name: str, text: str) -> ast.Module:
        """The syntax tree of ``text``; raises what ast.parse() raised, or NotCompiled."""
        return self._result("tree", name, text, 0, ast.PyCF_ONLY_AST)

    def _result(self, what: str, name: str, text: str, optimize: int, flags: int) -> Any:
        key = (what, name, optimize, flags)
        found = self.results.get(key)
        if found is None:
            try:
                found = self._compile(what, name, text, optimize, flags)
            except (*COMPILE_ERRORS, NotCompiled) as error:
                found = error
            self.results[key] = found
        if isinstance(found, Exception):
            raise found
        return found

    def _compile(self, what: str, name: str, text: str, optimize: int, flags: int) -> Any:
        size = len(text) if text.isascii() else len(text.encode("utf-8", "surrogatepass"))
        self.budget.check_parse(size, name)
        if self.compiled_chars + len(text) > MAX_COMPILED_CHARS:
            self.spent = True
            raise NotCompiled(TOO_MUCH_TEXT.format(chars=MAX_COMPILED_CHARS))
        if self.seconds_left <= 0:
            self.spent = True
            raise NotCompiled(TOO_SLOW_TEXT.format(seconds=self.seconds))
        self.compiled_chars += len(text)
        started = time.perf_counter()
        try:
            if len(text) <= IN_PROCESS_CHARS:
                return compile(text, name, "exec", flags, dont_inherit=True, optimize=optimize)
            return self._compile_apart(what, name, text, optimize, flags)
        finally:
            self.seconds_left -= time.perf_counter() - started

    def _compile_apart(self, what: str, name: str, text: str, optimize: int, flags: int) -> Any:
        """Compile in a child process stopped when the time left runs out."""
        import marshal
        import pickle
        import signal
        import subprocess
        import sys

        request = marshal.dumps((what, text, name, optimize, flags, max(1, math.ceil(self.seconds_left))))
        try:
            done = subprocess.run(
                [sys.executable, "-I", "-S", "-c", _CHILD],
                input=request,
                capture_output=True,
                timeout=self.seconds_left + CHILD_START_SECONDS,
            )
        except subprocess.TimeoutExpired:
            self.seconds_left, self.spent = 0, True
            raise NotCompiled(TOO_SLOW_TEXT.format(seconds=self.seconds)) from None
        except OSError as error:
            raise NotCompiled(NO_CHILD_TEXT.format(reason=error.strerror or type(error).__name__)) from None
        data = done.stdout
        if done.returncode in (-signal.SIGXCPU, -signal.SIGKILL):  # its CPU limit, soft or hard
            self.seconds_left, self.spent = 0, True
            raise NotCompiled(TOO_SLOW_TEXT.format(seconds=self.seconds))
        if done.returncode != 0 or not data:
            raise NotCompiled(NO_CHILD_TEXT.format(reason=f"it ended with status {done.returncode}"))
        kind, body = data[:1], data[1:]
        if kind == b"e":
            raise _ERRORS_BY_NAME.get(body.decode("ascii", "replace"), ValueError)("does not compile")
        # What our own child made of the text; nothing of the text ran there.
        return marshal.loads(body) if kind == b"c" else pickle.loads(body)
