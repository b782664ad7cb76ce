#!/usr/bin/env python
"""Write figvault/reader/bytecode_tables.py: the bytecode of each supported
CPython version, as that version's own ``opcode`` module describes it.

    python tools/bytecode_tables.py PYTHON [PYTHON ...]

Each PYTHON is an interpreter of one supported version (3.11, 3.12, 3.13);
each is asked for its table in a child process, and the tables are written
into one data module, which figvault reads to tell which version saved an
archive's code. Run it again when a version is added.
"""

import json
import subprocess
import sys
from pathlib import Path

TARGET = Path(__file__).resolve().parent.parent / "figvault" / "reader" / "bytecode_tables.py"

# Run by each interpreter: its instructions as `co_code` shows them (no
# specialised, instrumented or pseudo instructions, no CACHE), with the
# inline cache entries that follow each, and which way each jump goes.
ASK = r"""
import json, opcode, sys
caches = opcode._inline_cache_entries
jumps = set(getattr(opcode, "hasjump", ())) | set(opcode.hasjrel)
assert not opcode.hasjabs, "absolute jumps are not described"
ops = {}
for name, code in opcode.opmap.items():
    if code >= 256 or name.startswith("INSTRUMENTED_") or name in ("CACHE", "RESERVED", "ENTER_EXECUTOR"):
        continue
    count = caches.get(name, 0) if isinstance(caches, dict) else caches[code]
    direction = 0 if code not in jumps else -1 if "BACKWARD" in name else 1
    ops[code] = (count, direction)
print(json.dumps({
    "version": "%d.%d" % sys.version_info[:2],
    "resume": opcode.opmap["RESUME"],
    "extended_arg": opcode.EXTENDED_ARG,
    "ops": sorted(ops.items()),
}))
"""

LINE_WIDTH = 96

HEADER = '''"""The bytecode of each supported CPython version, as its own ``opcode``
module describes it. Written by tools/bytecode_tables.py: do not edit.

TABLES maps a version ("3.11") to (the RESUME opcode, the EXTENDED_ARG
opcode, {opcode: (inline cache entries after it, jump direction: 1
forward, -1 backward, 0 none)}) for the instructions that ``co_code``
shows.
"""

'''


def ask(python: str) -> dict:
    done = subprocess.run([python, "-c", ASK], check=True, capture_output=True, text=True)
    return json.loads(done.stdout)


def main(pythons: list[str]) -> None:
    if not pythons:
        sys.exit(__doc__)
    tables = {}
    for python in pythons:
        found = ask(python)
        ops = {code: tuple(entry) for code, entry in found["ops"]}
        tables[found["version"]] = (found["resume"], found["extended_arg"], ops)
    lines = [HEADER + "TABLES = {"]
    for version, (resume, extended_arg, ops) in sorted(tables.items()):
        lines.append(f"    {version!r}: ({resume}, {extended_arg}, {{")
        line = ""
        for code, entry in sorted(ops.items()):
            item = f"{code}: {entry},"
            if len(line) + len(item) > LINE_WIDTH:
                lines.append(line.rstrip())
                line = ""
            line = (line or " " * 8) + item + " "
        lines += [line.rstrip(), "    }),"]
    text = "\n".join(lines + ["}", ""])
    TARGET.write_text(text, encoding="utf-8")
    print(f"wrote {TARGET} for {', '.join(sorted(tables))}")


if __name__ == "__main__":
    main(sys.argv[1:])
