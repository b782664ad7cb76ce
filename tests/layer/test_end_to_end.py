"""End to end: archive a plot with the examples, replay it in a fresh process.

The examples are copied into a temporary project folder and plot_demo.py runs
there, writing wave.png/wave.figvault (a plotting function of the script
itself) and spectrum.png/spectrum.figvault (a function of the package plotlib
beside it). Each archive is then expanded in a new interpreter whose working
directory is an empty folder, and must draw a byte-identical PNG and restore
the project's sources, through the API and through the command line.

The child processes that do not depend on each other run at the same time;
the tests then check what each of them left.
"""

import os
import shutil
from pathlib import Path

import pytest
from processes import Job, run_all

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"

SCRIPT_WITH_MODULE_LEVEL_IMPORTS = '''
import dill
import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
from matplotlib import colors
from figvault.src.archive import archive

SCALE = 3.0
GRID = np.linspace(-SCALE, SCALE, 40)  # data computed at import time


class MidpointNormalize(colors.Normalize):
    def __init__(self, vmin=None, vmax=None, midpoint=None):
        self.midpoint = midpoint
        super().__init__(vmin, vmax)

    def __call__(self, value, clip=None):
        x, y = [self.vmin, self.midpoint, self.vmax], [0, 0.5, 1]
        return np.ma.masked_array(np.interp(value, x, y))


def surface(shift):
    xx, yy = np.meshgrid(GRID, GRID)
    return np.sin(xx + shift) * np.cos(yy)


@archive("plain.figvault")
def plain_total(n):
    total = np.arange(n).sum()
    with open("plain.txt", "w") as out:
        out.write(str(total))


@archive("recurse.figvault")
def recurse_total(n):
    total = np.arange(n).sum()
    with open("recurse.txt", "w") as out:
        out.write(str(total))


@archive("surface.figvault")
def draw_surface(shift, png):
    fig, ax = plt.subplots(figsize=(3, 3))
    ax.imshow(surface(shift), norm=MidpointNormalize(-1, 1, 0), cmap="RdBu")
    fig.savefig(png, dpi=50, metadata={"Software": None})
    plt.close(fig)


plain_total(5)
draw_surface(0.5, "surface.png")
dill.settings["recurse"] = True
recurse_total(6)
'''

REPLAY_BOTH = '''
from figvault.src.unarchive import expand
expand({plain!r})
print("plain: ok")
expand({recurse!r})
print("recurse: ok")
expand({surface!r})
print("surface: ok")
'''


def expand_code(archive, folder="restored"):
    return f"from figvault.src.unarchive import expand; expand({str(archive)!r}, {folder!r})"


def replay_code(archive, folder="restored"):
    """The replay for people, figvault.expand."""
    return f"import figvault; figvault.expand({str(archive)!r}, {folder!r})"


def sources_below(root):
    """{relative POSIX path: text} of every .py file below root."""
    root = Path(root)
    return {
        path.relative_to(root).as_posix(): path.read_text()
        for path in sorted(root.rglob("*.py"))
    }


def assert_restored(restored, sources, stdout):
    assert sources_below(restored) == sources
    written = sorted(p.relative_to(restored).as_posix() for p in restored.rglob("*") if p.is_file())
    assert written == sorted(sources)
    # One printed line per restored file.
    printed = stdout.splitlines()
    assert len(printed) == len(sources)
    assert sorted(Path(line).as_posix() for line in printed) == sorted(sources)


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """Archives the examples (and a small script), then replays the archives
    in empty folders. Returns the folders, the sources and the jobs."""
    root = tmp_path_factory.mktemp("e2e")
    project = root / "project"
    shutil.copytree(
        EXAMPLES, project, ignore=shutil.ignore_patterns("__pycache__", "*.png", "*.figvault")
    )
    sources = sources_below(project)
    totals = root / "totals"
    totals.mkdir()
    (totals / "totals.py").write_text(SCRIPT_WITH_MODULE_LEVEL_IMPORTS)

    # Round 1: archive. plot_demo.py runs from another working directory:
    # the script works in its own folder.
    jobs = {
        "demo": Job([str(project / "plot_demo.py")], cwd=root),
        "totals": Job(["totals.py"], cwd=totals),
    }
    run_all(jobs.values())
    for name in ("demo", "totals"):
        jobs[name].check()

    # Round 2: replay in empty folders, the script's folder not importable.
    replays = {
        "wave": Job(["-c", replay_code(project / "wave.figvault")], cwd=root / "wave"),
        "spectrum-bare": Job(
            ["-c", expand_code(project / "spectrum.figvault")], cwd=root / "spectrum-bare"
        ),
        "spectrum-original": Job(
            ["-c", expand_code(project / "spectrum.figvault")],
            cwd=root / "spectrum-original",
            pythonpath=project,
        ),
        "replay-demo": Job(
            [str(project / "replay_demo.py"), "--into", str(root / "replays")], cwd=root
        ),
        # The command line serves the archive's own modules while it loads
        # and runs it, so both archives replay without any PYTHONPATH.
        "cli-wave": Job(
            ["-m", "figvault", "expand", str(project / "wave.figvault"), "--folder", "restored"],
            cwd=root / "cli-wave",
        ),
        "cli-spectrum": Job(
            ["-m", "figvault", "expand", str(project / "spectrum.figvault"), "--folder", "restored"],
            cwd=root / "cli-spectrum",
        ),
        "totals-replay": Job(
            ["-c", REPLAY_BOTH.format(plain=str(totals / "plain.figvault"),
                                      recurse=str(totals / "recurse.figvault"),
                                      surface=str(totals / "surface.figvault"))],
            cwd=root / "totals-replay",
        ),
    }
    run_all(replays.values())
    jobs.update(replays)

    # Round 3: the package from the sources that the wave replay restored.
    restored = root / "wave" / "restored"
    jobs["spectrum-restored"] = Job(
        ["-c", expand_code(project / "spectrum.figvault")],
        cwd=root / "spectrum-restored",
        pythonpath=restored if restored.is_dir() else project / "missing",
    )
    run_all([jobs["spectrum-restored"]])
    return project, totals, sources, jobs


def test_examples_archive_their_plots(runs):
    project, _, sources, _ = runs
    for name in ("wave.png", "wave.figvault", "spectrum.png", "spectrum.figvault"):
        assert (project / name).is_file(), name
    assert set(sources) == {
        "plot_demo.py",
        "replay_demo.py",
        "plotlib/__init__.py",
        "plotlib/figures.py",
    }


def test_script_function_replays_in_an_empty_folder(runs):
    # The function lives in plot_demo.py, that is in __main__: it is stored
    # by value, and figvault.expand gives it the module-level names of the
    # archived script (np, plt, envelope, ...); the fresh process needs
    # nothing of the project.
    project, _, sources, jobs = runs
    job = jobs["wave"]
    result = job.check()
    assert sorted(os.listdir(job.cwd)) == ["restored", "wave.png"]
    assert (job.cwd / "wave.png").read_bytes() == (project / "wave.png").read_bytes()
    assert_restored(job.cwd / "restored", sources, result.stdout)


def test_package_function_is_stored_by_reference(runs):
    # The archive names plotlib.figures.spectrum; dill imports that module
    # while loading, before expand calls or restores anything. Without the
    # package on the path the load fails and nothing is written.
    project, _, _, jobs = runs
    assert b"plotlib.figures" in (project / "spectrum.figvault").read_bytes()
    job = jobs["spectrum-bare"]
    assert job.result.returncode != 0
    assert "ModuleNotFoundError: No module named 'plotlib'" in job.result.stderr
    assert os.listdir(job.cwd) == []


@pytest.mark.parametrize("path_to", ["original", "restored"])
def test_package_function_replays_with_its_package_importable(runs, path_to):
    # The package must be importable before the archive is loaded, so the
    # sources restored by this same call cannot serve it: PYTHONPATH points
    # at the original project, or at the same sources restored earlier from
    # another archive of the project (wave.figvault needs no import).
    project, _, sources, jobs = runs
    job = jobs[f"spectrum-{path_to}"]
    result = job.check()
    assert sorted(os.listdir(job.cwd)) == ["restored", "spectrum.png"]
    assert (job.cwd / "spectrum.png").read_bytes() == (project / "spectrum.png").read_bytes()
    assert_restored(job.cwd / "restored", sources, result.stdout)


@pytest.mark.parametrize("stem", ["wave", "spectrum"])
def test_command_line_replays_in_an_empty_folder(runs, stem):
    project, _, sources, jobs = runs
    job = jobs[f"cli-{stem}"]
    result = job.check()
    png = f"{stem}.png"
    assert sorted(os.listdir(job.cwd)) == ["restored", png]
    assert (job.cwd / png).read_bytes() == (project / png).read_bytes()
    assert_restored(job.cwd / "restored", sources, result.stdout)


def test_replay_demo_script(runs):
    project, _, sources, jobs = runs
    job = jobs["replay-demo"]
    result = job.check()
    assert "DIFFERS" not in result.stdout
    assert result.stdout.count("identical to") == 2
    into = job.cwd / "replays"
    for stem in ("wave", "spectrum"):
        png = f"{stem}.png"
        assert (into / stem / png).read_bytes() == (project / png).read_bytes()
        assert sources_below(into / stem / "sources") == sources


def test_a_natural_script_replays_with_plain_expand_in_an_empty_folder(runs):
    # A __main__ function is stored by value together with the globals it
    # reads: modules by reference; helpers, classes, constants and data by
    # value; with or without dill's own setting.
    _, totals, _, jobs = runs
    assert (totals / "plain.txt").read_text() == "10"
    job = jobs["totals-replay"]
    result = job.check()
    assert result.stdout.splitlines() == ["plain: ok", "recurse: ok", "surface: ok"]
    assert sorted(os.listdir(job.cwd)) == ["plain.txt", "recurse.txt", "surface.png"]
    assert (job.cwd / "surface.png").read_bytes() == (totals / "surface.png").read_bytes()
    assert (job.cwd / "plain.txt").read_text() == "10"
    assert (job.cwd / "recurse.txt").read_text() == "15"
