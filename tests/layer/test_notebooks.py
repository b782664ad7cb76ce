"""A function defined in a notebook and run by a real kernel: `show` takes
its source from the archived cell that defined it and checks the code
against that cell; `diff` of two runs of the unchanged cell finds the code
unchanged and the notebook's cells the same."""

import json

import pytest
from commands import run_cli
from processes import Job, run_all

from figvault.view.notebook import kernel_cell_hash

CELLS = [
    ("code", "%matplotlib inline\nimport numpy as np\nfrom figvault import archive"),
    ("markdown", "# A wave\nScaled by *SCALE*."),
    ("code", "SCALE = 2.5\n\ndef wave(x):\n    return np.sin(SCALE * x)"),
    ("code", "@archive('wave.figvault')\ndef total(n):\n    x = np.linspace(0, 6, n)\n    return float(wave(x).sum())"),
    ("code", "total(200)"),
]

# Writes the notebook, then runs it twice, each time in a new kernel (a new
# process, so the kernel's file names of the cells differ); run1.figvault
# holds the notebook as first saved, run2.figvault the one saved after run 1.
RUN_TWICE = """
import os
import nbformat
from nbclient import NotebookClient

make = {{"code": nbformat.v4.new_code_cell, "markdown": nbformat.v4.new_markdown_cell}}
notebook = nbformat.v4.new_notebook(cells=[make[kind](text) for kind, text in {cells!r}])
nbformat.write(notebook, "analysis.ipynb")
for run in (1, 2):
    NotebookClient(notebook, kernel_name="python3", timeout=120, resources={{"metadata": {{"path": "."}}}}).execute()
    nbformat.write(notebook, "analysis.ipynb")
    os.rename("wave.figvault", f"run{{run}}.figvault")
"""


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    pytest.importorskip("nbclient")
    pytest.importorskip("ipykernel")
    job = Job(["-c", RUN_TWICE.format(cells=CELLS)], cwd=tmp_path_factory.mktemp("notebook") / "project")
    run_all([job])
    job.check()
    return job.cwd


def command(project, *args):
    done = run_cli(*args, bounded=True, cwd=project)
    assert done.stderr == ""
    return done


def test_show_takes_the_source_from_the_defining_cell(runs):
    out = command(runs, "show", "run2.figvault").stdout
    assert "  source    ./analysis.ipynb, cell 4, line 1\n  code      matches ./analysis.ipynb, cell 4\n" in out
    listing = out.split("Source     ./analysis.ipynb, cell 4, lines 1-4\n")[1].split("\n\n")[0]
    assert listing.splitlines() == ["  " + f"{number}  {line}".rstrip() for number, line in enumerate(CELLS[3][1].split("\n"), 1)]
    data = json.loads(command(runs, "show", "run1.figvault", "--json").stdout)
    function = data["function"]
    assert (function["source_file"], function["source_cell"], function["source_line"]) == ("./analysis.ipynb", 4, 1)
    assert function["code_check"]["status"] == "matches"
    assert data["warnings"] == []


def test_two_runs_of_an_unchanged_cell(runs):
    data = json.loads(command(runs, "diff", "run1.figvault", "run2.figvault", "--json").stdout)
    assert (data["function"]["code"], data["function"]["record"]) == ("same", "same")
    assert [(row["path"], row["note"]) for row in data["files"]] == [
        ("./analysis.ipynb", "the same cells: only outputs, execution counts or metadata differ")
    ]
    # The notebook file itself changed (its outputs): the archives differ.
    assert command(runs, "diff", "run1.figvault", "run2.figvault", "--exit-code").returncode == 1


@pytest.mark.parametrize("text", ["", "a", "ab", "abc", "abcd", "plot(200)", "é\n" * 7, "@archive('x')\ndef f():\n    pass"])
def test_cell_file_names_are_the_kernels(text):
    compiler = pytest.importorskip("ipykernel.compiler")
    assert kernel_cell_hash(text) == compiler.murmur2_x86(text, compiler.get_tmp_hash_seed())
