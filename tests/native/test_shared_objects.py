"""The compiled modules as shared objects: each exports its init entry and
nothing else, and needs no system library newer than the oldest systems its
wheel is meant for (the manylinux tag auditwheel gives it; README, Wheels)."""

import re
import shutil
import subprocess

import pytest

import figvault.src.archive as archive_module
import figvault.src.files as files_module
import figvault.src.unarchive as unarchive_module

OBJDUMP = shutil.which("objdump")
pytestmark = pytest.mark.skipif(OBJDUMP is None, reason="objdump (binutils) is needed to read the modules")

MODULES = {"files": files_module, "archive": archive_module, "unarchive": unarchive_module}

# The newest version of each versioned interface that a manylinux_2_28 system
# (glibc 2.28, the libstdc++ of GCC 8) provides: the tag of torch's own wheels.
MANYLINUX_2_28 = {"GLIBC": (2, 28), "GLIBCXX": (3, 4, 24), "CXXABI": (1, 3, 11), "GCC": (7, 0, 0)}

VERSIONED = re.compile(r"\(?\b(GLIBC|GLIBCXX|CXXABI|GCC)_([0-9.]+)\)?\s+(\S+)$")


def dynamic_symbols(module):
    """(defined names, {(library, version): [undefined names needing it]})."""
    dump = subprocess.run([OBJDUMP, "-T", module.__file__], capture_output=True, text=True, check=True).stdout
    defined, needed = [], {}
    for line in dump.splitlines():
        if "*UND*" in line:
            found = VERSIONED.search(line)
            if found:
                library, version, name = found.groups()
                needed.setdefault((library, tuple(int(part) for part in version.split("."))), []).append(name)
        elif re.match(r"^[0-9a-f]{16} ", line):
            defined.append(line.split()[-1])
    return defined, needed


@pytest.mark.parametrize("name", MODULES)
def test_each_module_exports_its_init_entry_only(name):
    defined, _ = dynamic_symbols(MODULES[name])
    assert defined == [f"PyInit_{name}"]


@pytest.mark.parametrize("name", MODULES)
def test_no_system_library_newer_than_the_wheels_allow(name):
    limits = MANYLINUX_2_28
    _, needed = dynamic_symbols(MODULES[name])
    assert needed, "no versioned symbol found: the dump was not read"
    too_new = {f"{library}_{'.'.join(map(str, version))}": names
               for (library, version), names in needed.items() if version > limits[library]}
    assert too_new == {}
