"""Natural-style plotting scripts and a notebook, archived in one process and
replayed byte-identically in another from an empty folder.

Every script of tests/layer/scripts/ is copied into a project folder of its own and
archived twice, in fresh processes:

* "decorated": run as `python script.py`, with figvault's own decorator;
* "plain": run the same way, but with a decorator of this test that writes
  the record {"args", "files", "func"} with a plain `dill.dump` (no
  `recurse`), so that a function of the script is saved without its globals
  whatever the real decorator does.

Each archive is then replayed in a fresh process whose working directory is
an empty folder, with `figvault.expand` and with `figvault expand`: the
replay draws a byte-identical figure.png and restores the project's sources.
A notebook executed headlessly with nbclient is archived and replayed the
same way. Jobs that do not depend on each other run side by side.
"""

import io
import re
import shutil
from pathlib import Path

import pytest
from processes import PLAIN_ARCHIVE, Job, run_all

from figvault import reader
from figvault.view.function import describe_function

SCRIPTS = Path(__file__).resolve().parent / "scripts"
SCRIPT_NAMES = sorted(path.name for path in SCRIPTS.glob("*.py"))
# Scripts whose plotting function lives in a project module (stored by
# reference); the others define it themselves (stored by value).
MODULE_FUNCTIONS = {"module_function.py"}
# Scripts that reach a project module (a function or a helper of figlib):
# stored by reference, it must be importable where the plain module function
# replays, unlike the replay for people, which serves the archived copy.
USES_PROJECT_MODULES = MODULE_FUNCTIONS | {"heatmap_helpers.py"}
# Scripts whose helpers look module-level names up through eval() or
# globals(): the plain module function runs a function with the globals dill
# detected only, the replay for people with every name of the script.
LOOKS_NAMES_UP = {"date_locators.py"}
ARCHIVE = "figure.figvault"
FIGURE = "figure.png"
KINDS = ["decorated", "plain"]

API_REPLAY = "import figvault, sys; figvault.expand(sys.argv[1], 'restored')"
# The plain module function: the archive must carry everything its function reads.
MODULE_REPLAY = "import sys; from figvault.src.unarchive import expand; expand(sys.argv[1], 'restored')"

NOTEBOOK_CELLS = [
    "%matplotlib inline\nimport numpy as np\nimport matplotlib\nmatplotlib.use('Agg')\n"
    "import matplotlib.pyplot as plt\nfrom figvault import archive",
    "!echo shell escapes are left out\nSCALE = 2.5\n\ndef wave(x):\n    return np.sin(SCALE * x)",
    "@archive('figure.figvault')\ndef plot(png_path, n):\n    x = np.linspace(0, 6, n)\n"
    "    fig, ax = plt.subplots(figsize=(4, 3))\n    ax.plot(x, wave(x))\n"
    "    fig.savefig(png_path, dpi=50, metadata={'Software': None})\n    plt.close(fig)",
    "plot('figure.png', 200)",
]

RUN_NOTEBOOK = '''
import sys
import nbformat
from nbclient import NotebookClient

notebook = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(c) for c in {cells!r}])
nbformat.write(notebook, "analysis.ipynb")
client = NotebookClient(notebook, kernel_name="python3", timeout=120, resources={{"metadata": {{"path": "."}}}})
client.execute()
'''


def sources_below(root):
    """{relative POSIX path: text} of every .py and .ipynb file below root."""
    root = Path(root)
    return {
        path.relative_to(root).as_posix(): path.read_text(encoding="utf-8")
        for pattern in ("*.py", "*.ipynb")
        for path in sorted(root.rglob(pattern))
    }


def make_project(folder, script):
    """A project folder holding one script and the project package."""
    folder.mkdir(parents=True)
    shutil.copy(SCRIPTS / script, folder / script)
    shutil.copytree(SCRIPTS / "figlib", folder / "figlib", ignore=shutil.ignore_patterns("__pycache__"))
    return folder


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """Archives every script both ways, then replays every archive both ways.
    Returns {(script, kind): project folder} and {(script, kind, how): job}."""
    root = tmp_path_factory.mktemp("corpus")
    projects, archiving = {}, []
    for script in SCRIPT_NAMES:
        for kind in KINDS:
            project = make_project(root / Path(script).stem / kind / "project", script)
            projects[script, kind] = project
            args = [script] if kind == "decorated" else ["-c", PLAIN_ARCHIVE, script]
            archiving.append(Job(args, cwd=project))
    run_all(archiving)
    for job in archiving:
        job.check()

    replays = {}
    for (script, kind), project in projects.items():
        archive = project / ARCHIVE
        base = project.parent
        replays[script, kind, "api"] = Job(["-c", API_REPLAY, archive], cwd=base / "api")
        replays[script, kind, "cli"] = Job(["-m", "figvault", "expand", archive, "--folder", "restored"], cwd=base / "cli")
        if kind == "decorated" and script not in USES_PROJECT_MODULES | LOOKS_NAMES_UP:
            replays[script, kind, "module"] = Job(["-c", MODULE_REPLAY, archive], cwd=base / "module")
    run_all(replays.values())
    return projects, replays


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("script", SCRIPT_NAMES)
def test_archives_are_written_the_intended_way(corpus, script, kind):
    projects, _ = corpus
    data = (projects[script, kind] / ARCHIVE).read_bytes()
    names = []
    record = reader.load(io.BytesIO(data), names)
    function = describe_function(record["func"])
    if script in MODULE_FUNCTIONS:
        assert (function["stored"], function["module"]) == ("by reference", "figlib.panels")
    else:
        assert (function["stored"], function["module"]) == ("by value", "__main__")
        # Saved the plain way, the function's globals are __main__'s
        # namespace, which the replay must rebuild from the archived script;
        # the decorator saves the globals the function reads instead.
        assert ("__builtin__.__main__" in names) == (kind == "plain")


REPLAYS = [
    (script, kind, how)
    for script in SCRIPT_NAMES
    for kind in KINDS
    for how in ("api", "cli", "module")
    if how != "module" or (kind == "decorated" and script not in USES_PROJECT_MODULES | LOOKS_NAMES_UP)
]


@pytest.mark.parametrize("script, kind, how", REPLAYS)
def test_replay_from_an_empty_folder_is_byte_identical(corpus, script, kind, how):
    projects, replays = corpus
    project, job = projects[script, kind], replays[script, kind, how]
    result = job.check()
    # No statement of the script was skipped; the command line says what it replayed.
    if how == "cli":
        assert re.fullmatch(rf"replayed \w+\(png_path.*\) from {re.escape(str(project / ARCHIVE))}\n", result.stderr)
    else:
        assert result.stderr == ""
    assert sorted(path.name for path in job.cwd.iterdir()) == [FIGURE, "restored"]
    assert (job.cwd / FIGURE).read_bytes() == (project / FIGURE).read_bytes()
    assert sources_below(job.cwd / "restored") == sources_below(project)
    # One printed line per restored file (the plain module function restores
    # after the replay, the others before it).
    count = len(sources_below(project))
    printed = result.stdout.splitlines()[-count:] if how == "module" else result.stdout.splitlines()[:count]
    assert sorted(Path(line).as_posix() for line in printed) == sorted(sources_below(project))


@pytest.fixture(scope="module")
def notebook(tmp_path_factory):
    """A notebook executed headlessly in a project folder, then its archive
    replayed by a plain process in an empty folder."""
    pytest.importorskip("nbclient")
    pytest.importorskip("ipykernel")
    root = tmp_path_factory.mktemp("notebook")
    project = root / "project"
    run = Job(["-c", RUN_NOTEBOOK.format(cells=NOTEBOOK_CELLS)], cwd=project)
    run_all([run])
    run.check()
    replay = Job(["-c", API_REPLAY, project / ARCHIVE], cwd=root / "replay")
    run_all([replay])
    return project, replay


def test_notebook_function_replays_from_a_plain_process(notebook):
    project, job = notebook
    result = job.check()
    assert result.stderr == ""
    assert (job.cwd / FIGURE).read_bytes() == (project / FIGURE).read_bytes()
    assert sources_below(job.cwd / "restored") == sources_below(project)
    assert "analysis.ipynb" in sources_below(job.cwd / "restored")


FAILING_SCRIPT = '''\
import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt

from figvault import archive


@archive("figure.figvault")
def plot(png_path):
    fig, ax = plt.subplots(figsize=(2, 2))
    ax.plot([0, 1], [1, 0])
    fig.savefig(png_path, dpi=40, metadata={"Software": None})
    plt.close(fig)


os.makedirs("figures", exist_ok=True)
plot("figures/x.png")
'''

API_REPLAY_REPORTING = '''
import sys, figvault
try:
    figvault.expand(sys.argv[1], "restored")
except FileNotFoundError as error:
    print("notes:", *error.__notes__, sep="\\n")
    sys.exit(3)
'''


@pytest.fixture(scope="module")
def failing(tmp_path_factory):
    """An archive whose figure goes into a folder that an empty folder lacks,
    replayed there through the API and the command line."""
    root = tmp_path_factory.mktemp("failing")
    project = root / "project"
    project.mkdir()
    (project / "plot.py").write_text(FAILING_SCRIPT, encoding="utf-8")
    made = Job(["plot.py"], cwd=project)
    run_all([made])
    made.check()
    archive = project / ARCHIVE
    replays = {
        "api": Job(["-c", API_REPLAY_REPORTING, archive], cwd=root / "api"),
        "cli": Job(["-m", "figvault", "expand", archive, "--folder", "restored"], cwd=root / "cli"),
    }
    run_all(replays.values())
    return project, replays


def test_failed_replay_keeps_the_sources_restored_and_says_so(failing):
    project, replays = failing
    for job in replays.values():
        assert (job.cwd / "restored" / "plot.py").read_text(encoding="utf-8") == FAILING_SCRIPT
        assert not (job.cwd / "figures").exists()
    folder = str(replays["api"].cwd / "restored")
    api = replays["api"].result
    assert api.returncode == 3, api.stderr
    assert api.stdout.splitlines() == [
        "./plot.py",
        "notes:",
        f"figvault: the sources were restored into {folder!r} before the replay failed",
    ]
    # The command line prints the replayed function's traceback, then one line.
    cli = replays["cli"].result
    assert cli.returncode == 1
    lines = cli.stderr.splitlines()
    assert lines[0] == "Traceback (most recent call last):"
    assert "in plot" in cli.stderr and "savefig" in cli.stderr
    assert "figvault/replay/" not in cli.stderr  # it starts in the archived code
    folder = str(replays["cli"].cwd / "restored")
    assert lines[-1].startswith(f"figvault: error: expanding '{project / ARCHIVE}' failed: FileNotFoundError: ")
    assert lines[-1].endswith(f"; the sources were restored into {folder!r}")
