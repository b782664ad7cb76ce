"""The test suite on every supported CPython: `nox` runs all three sessions,
`nox -s tests-3.12` one of them (arguments after `--` go to pytest).

Each session installs into a fresh virtual environment exactly what the
README's test command installs: the pinned torch first (on 3.11 the CPU
build; on 3.12 and 3.13 the registry's CUDA build, which runs on the CPU),
then the package with its test extra, built from this checkout.
"""

import nox

PYTHONS = ["3.11", "3.12", "3.13"]
TORCH = "torch==2.13.0"

nox.options.error_on_missing_interpreters = True


@nox.session(python=PYTHONS)
def tests(session: nox.Session) -> None:
    session.install(TORCH)
    session.install(".[test]")
    session.run("pytest", *session.posargs)
