"""The README's examples of `show`, `diff` and `list` are what the commands
print for the tour it describes: its figure1.py run once (show), then run
again with the scale changed to 2.5 (diff, list). Sizes of archives and
dates differ from run to run (the script's absolute path is in the
archive), and so do the widths of the columns holding them."""

import re
import shutil
from pathlib import Path

import pytest
from commands import run_cli, run_script

README = Path(__file__).resolve().parents[2] / "README.md"
FIRST_CALL = 'figure1("figure1.png", 2.0)'
SECOND_CALL = 'figure1("figure1.png", 2.5)'


def tour_script(readme):
    [script] = [block for block in re.findall(r"```python\n(.*?)```", readme, re.S) if "def figure1(" in block]
    return script


def example(readme, command):
    """The output printed under `$ COMMAND` in the README (an indented block)."""
    lines = readme.split(f"\n    $ {command}\n", 1)[1].split("\n")
    block = []
    for line in lines:
        if line and not line.startswith("    "):
            break
        block.append(line[4:])
    return "\n".join(block).strip("\n")


def normalised(text):
    text = re.sub(r"\d{4}-\d\d-\d\d \d\d:\d\d", "DATE", text)
    text = re.sub(r"\b\d{4,}\b", "N", text)  # archive sizes (the files' own are smaller)
    text = re.sub(r"Python 3\.\d+( or 3\.\d+)?", "Python VERSION", text)  # the tour runs on any supported version
    lines = [" ".join(line.split()) for line in text.strip("\n").split("\n")]
    # dill collects a function's globals in a set: the modules they import
    # come in an order that changes with the string hash seed.
    return [_sorted_imports(line) if line.startswith(IMPORTS_ROW) else line for line in lines]


IMPORTS_ROW = "Imported on load "


def _sorted_imports(line):
    return IMPORTS_ROW + ", ".join(sorted(line[len(IMPORTS_ROW):].split(", ")))


@pytest.fixture(scope="module")
def tour(tmp_path_factory):
    pytest.importorskip("matplotlib")
    readme = README.read_text(encoding="utf-8")
    folder = tmp_path_factory.mktemp("tour")
    script = tour_script(readme)
    assert FIRST_CALL in script
    (folder / "figure1.py").write_text(script, encoding="utf-8")
    run_script("figure1.py", folder)
    shutil.copy(folder / "figure1.figvault", folder / "old.figvault")
    shown = run_cli("show", "figure1.figvault", cwd=folder).stdout
    (folder / "figure1.py").write_text(script.replace(FIRST_CALL, SECOND_CALL), encoding="utf-8")
    run_script("figure1.py", folder)
    (folder / "figure1.figvault").rename(folder / "new.figvault")
    return readme, {
        "figvault show figure1.figvault": shown,
        "figvault diff old.figvault new.figvault": run_cli("diff", "old.figvault", "new.figvault", cwd=folder).stdout,
        "figvault list": run_cli("list", cwd=folder).stdout,
    }


@pytest.mark.parametrize("command", ["figvault show figure1.figvault", "figvault diff old.figvault new.figvault", "figvault list"])
def test_readme_examples_are_real_output(tour, command):
    readme, outputs = tour
    assert normalised(example(readme, command)) == normalised(outputs[command])
