#!/usr/bin/env bash
# Builds figvault.src.files / archive / unarchive with AddressSanitizer and
# UndefinedBehaviorSanitizer (CMake option FIGVAULT_SANITIZE=ON), stages a
# runnable copy of the package in build/asan-pkg and runs the whole pytest
# suite against it.
#
#   bash tools/sanitize.sh [extra pytest arguments]
#
# Environment:
#   PYTHON      interpreter to build for and to test with (default: the real
#               executable behind `python3`, not a pyenv shim script)
#   JOBS        parallel build jobs (default: ninja's choice)
#
# Why the run environment looks the way it does:
#
# * LD_PRELOAD="libasan libubsan libstdc++". The interpreter itself is not
#   built with ASan, so the ASan runtime must come first in the initial library
#   list ("ASan runtime does not come first in initial library list" otherwise).
#   libstdc++ must be preloaded as well: ASan intercepts __cxa_throw and
#   resolves the real one when it starts; python3 does not link libstdc++, so
#   without the preload the real symbol is missing and the first C++ exception
#   thrown by our modules (every error path throws one internally) aborts with
#   "CHECK failed: ... real___cxa_throw != 0". libubsan is loaded by the modules
#   anyway; preloading it keeps one copy from process start.
# * PYTHONMALLOC=malloc: Python objects come from malloc, so ASan sees
#   overflows and use-after-free of objects, not only of C++ heap memory.
# * ASAN_OPTIONS=detect_leaks=0: the interpreter (and torch) keep memory until
#   exit by design; leak checking of our own code is done by tests/native/test_leaks.py
#   (in a normal run; under ASan that file checks reference counts only).
#   abort_on_error=1 ends the process on the first report.
#   allocator_may_return_null=1: a corrupted pickle may announce a length of
#   terabytes, and CPython answers a failed allocation with MemoryError;
#   without this option ASan aborts with "allocation-size-too-big" instead
#   (tests/native/test_properties.py feeds such archives to expand). ASan then logs
#   a "failed to allocate" warning, which is not counted as an error below.
#   torch 2.x (CPU) imports and runs under this configuration as is; neither
#   detect_odr_violation=0 nor verify_asan_link_order=0 is needed. (If a future
#   torch build trips the ODR checker, add detect_odr_violation=0 here.)
# * UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1 (the
#   modules are also compiled with -fno-sanitize-recover=undefined).
# * ASan reports go to files (log_path) as well as being fatal, so that a
#   report raised inside a child process that a test starts (the environment
#   is inherited) cannot be hidden by a test that merely expects a failure; any
#   error report makes this script fail and is printed at the end. With GCC's
#   separate libasan/libubsan runtimes the UBSan plugin re-parses the common
#   flags from UBSAN_OPTIONS after ASAN_OPTIONS, so log_path is given in both.
#   UBSan's own reports are always written to the reporting process's stderr
#   (libubsan ignores log_path in this setup); abort_on_error=1 turns them into
#   SIGABRT, so a child's UBSan report still shows up as a crash (exit -6).
# * pytest runs as `python -P -m pytest`: -P keeps the repository root off
#   sys.path, so `import figvault` finds build/asan-pkg (PYTHONPATH) and never
#   the source tree or the installed, unsanitized copy in site-packages.
# * Tests that start child interpreters give them PYTHONPATH pointing at the
#   folder the parent imported figvault from (tests/support.py), so those
#   children run the sanitized modules too, and inherit the settings below.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

PYTHON="${PYTHON:-$(python3 -c 'import sys; print(sys.executable)')}"
# One build folder per interpreter version: CMake keeps the Python it found.
BUILD_DIR="$ROOT/build/asan-$("$PYTHON" -c 'import sys; print(sys.implementation.cache_tag)')"
PKG_DIR="$ROOT/build/asan-pkg"
REPORT_DIR="$ROOT/build/asan-reports"

echo "== configure and build ($BUILD_DIR)"
cmake -S . -B "$BUILD_DIR" -G Ninja -DFIGVAULT_SANITIZE=ON -DPython_EXECUTABLE="$PYTHON" >/dev/null
ninja -C "$BUILD_DIR" ${JOBS:+-j "$JOBS"}

echo "== stage $PKG_DIR"
rm -rf "$PKG_DIR"
mkdir -p "$PKG_DIR"
# The Python files and stubs of the package, as in the source tree (never a
# shared object from the source tree: only the sanitized ones below).
(cd "$ROOT" && find figvault -type f \( -name '*.py' -o -name '*.pyi' -o -name 'py.typed' \) \
    -not -path '*/__pycache__/*' -print0) |
    while IFS= read -r -d '' file; do
        install -D -m 0644 "$ROOT/$file" "$PKG_DIR/$file"
    done
for module in files archive unarchive; do
    so=("$BUILD_DIR/$module".cpython-*.so)
    if [[ ! -f "${so[0]}" ]]; then
        echo "missing sanitized module: $BUILD_DIR/$module.cpython-*.so" >&2
        exit 1
    fi
    if ! readelf -d "${so[0]}" | grep -q 'NEEDED.*libasan'; then
        echo "${so[0]} is not linked against libasan" >&2
        exit 1
    fi
    install -D -m 0755 "${so[0]}" "$PKG_DIR/figvault/src/$(basename "${so[0]}")"
done

rm -rf "$REPORT_DIR"
mkdir -p "$REPORT_DIR"

export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so) $(gcc -print-file-name=libstdc++.so)"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:log_path=$REPORT_DIR/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1:log_path=$REPORT_DIR/asan"
export PYTHONPATH="$PKG_DIR"
export PYTHONDONTWRITEBYTECODE=1

# Prints where the three modules come from; fails unless from $PKG_DIR and
# with the ASan runtime loaded.
check_imports='
import os, sys
import figvault.src.files, figvault.src.archive, figvault.src.unarchive

package_dir = os.path.realpath(sys.argv[1])
for module in (figvault.src.files, figvault.src.archive, figvault.src.unarchive):
    print(f"   {module.__name__}: {module.__file__}")
    if not os.path.realpath(module.__file__).startswith(package_dir + os.sep):
        sys.exit(f"{module.__name__} was not imported from {package_dir}")
with open("/proc/self/maps") as maps:
    if "libasan" not in maps.read():
        sys.exit("the ASan runtime is not loaded")
print("   ASan runtime loaded")
'
echo "== the modules that the tests import"
"$PYTHON" -P -c "$check_imports" "$PKG_DIR"
echo "== the modules that a test's child interpreter imports"
"$PYTHON" -P -c '
import subprocess, sys
sys.path.insert(0, "tests")
from support import child_environment
sys.exit(subprocess.run([sys.executable, "-c", sys.argv[1], sys.argv[2]], cwd="/",
                        env=child_environment()).returncode)
' "$check_imports" "$PKG_DIR"

echo "== pytest (sanitized)"
status=0
"$PYTHON" -P -m pytest -q -p no:cacheprovider "$@" || status=$?

# A log file holding only allocator warnings ("failed to allocate ...",
# allocator_may_return_null above) is no error report.
errors=0
for report in "$REPORT_DIR"/*; do
    [[ -e "$report" ]] || continue
    if grep -qE 'ERROR: |SUMMARY: |runtime error' "$report"; then
        echo "== sanitizer report: $report"
        cat "$report"
        errors=$((errors + 1))
    else
        echo "== sanitizer warnings (not errors): $report"
        sed 's/^/   /' "$report"
    fi
done
if [[ $errors -gt 0 ]]; then
    echo "== $errors sanitizer error report(s)"
    [[ $status -eq 0 ]] && status=1
else
    echo "== sanitizer error reports: none"
fi
exit $status
