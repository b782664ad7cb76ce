# Finds the CPython interpreters the project supports; sourced by .ci/run and
# tools/wheels.sh.
#
#   python_for 3.12    prints the newest pyenv-installed CPython 3.12 (the
#                      path of its bin/python3.12), or fails with a message
#                      saying how to install one.

SUPPORTED_PYTHONS=(3.11 3.12 3.13)

python_for() {
    local minor="$1" root found
    root="$(pyenv root 2>/dev/null || true)"
    root="${root:-${PYENV_ROOT:-$HOME/.pyenv}}"
    found="$(ls -d "$root"/versions/"$minor".*/bin/python"$minor" 2>/dev/null | sort -V | tail -n 1)"
    if [[ -z "$found" ]] || ! "$found" -c 'import sys' >/dev/null; then
        echo "no working CPython $minor under $root/versions (install it with: pyenv install $minor)" >&2
        return 1
    fi
    echo "$found"
}
