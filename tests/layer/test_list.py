"""`figvault list [DIR] [--json]`: one row per archive of a folder, read
without running anything; an archive that cannot be read is one error row."""

import json
import pickle
import re

import pytest
from commands import CONTROL, one_error_line, run_cli, run_script
from support import make_tree

MAKE = """\
from figvault import archive


def draw(png_path, scale, *rest):
    return scale


archive("draw.figvault")(draw)("a.png", 2.0, 3, 4)
"""

# name -> (content, what its row says)
HOSTILE = {
    "declared.figvault": (b"\x80\x05\x96" + (3 << 30).to_bytes(8, "little") + b"ab.", "exceeds the 3 bytes left in the file"),
    "deep.figvault": (b"\x80\x04}" + b")" + b"\x85" * 10**6 + b"Ns.", "exceeds"),
    "empty.figvault": (b"", "not a figvault archive"),
    "escapes\x1b[31m.figvault": (b"\x80\x02c\x1b]2;owned\x07\x1b[31mos\nsystem\n)R.", "not a figvault archive"),
}


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    root = make_tree(tmp_path_factory.mktemp("list"), {"make.py": MAKE, "lib/util.py": "X = 1\n"})
    run_script("make.py", root)
    many = {f"a{i}": i for i in range(100)}
    (root / "many.figvault").write_bytes(pickle.dumps({"args": many, "files": {}, "func": len}, protocol=4))
    (root / "not-an-archive.txt").write_bytes(b"ignored")
    (root / "folder.figvault").mkdir()
    for name, (content, _) in HOSTILE.items():
        (root / name).write_bytes(content)
    return root


def test_rows(folder):
    done = run_cli("list", bounded=True, cwd=folder)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    assert not CONTROL.search(done.stdout.replace("\n", ""))
    lines = done.stdout.splitlines()
    assert re.match(r"  ARCHIVE +FUNCTION +ARGUMENTS +FILES +BYTES +MODIFIED$", lines[0])
    rows = {line.split()[0]: line for line in lines[1:]}
    assert sorted(rows) == sorted(["draw.figvault", "many.figvault", "folder.figvault", "escapes\\x1b[31m.figvault",
                                   "declared.figvault", "deep.figvault", "empty.figvault"])
    assert re.search(r"draw\.figvault +draw +png_path, scale, rest +2 +\d+ +\d{4}-\d\d-\d\d \d\d:\d\d$", rows["draw.figvault"])
    assert re.search(r" a0, a1, .*\.\.\. +0 ", rows["many.figvault"])
    assert rows["folder.figvault"].endswith("error: not a regular file")
    for name, (_, fragment) in HOSTILE.items():
        row = rows[name.replace("\x1b", "\\x1b")]
        assert "error: " in row and fragment in row, row


def test_json(folder):
    done = run_cli("list", folder, "--json", bounded=True, cwd=folder.parent)
    assert done.returncode == 0, done.stderr
    data = json.loads(done.stdout)
    assert data["folder"] == str(folder)
    rows = {row["archive"]: row for row in data["archives"]}
    draw = rows["draw.figvault"]
    assert (draw["function"], draw["args"], draw["arg_count"], draw["files"]) == ("draw", ["png_path", "scale", "rest"], 3, 2)
    assert draw["size"] == (folder / "draw.figvault").stat().st_size
    assert re.match(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$", draw["modified"])
    assert (len(rows["many.figvault"]["args"]), rows["many.figvault"]["arg_count"]) == (64, 100)
    assert all("error" in rows[name] and "function" not in rows[name] for name in HOSTILE)


def test_help_empty_folder_and_missing_folder(tmp_path):
    assert "files whose names end in .figvault" in " ".join(run_cli("list", "--help", cwd=tmp_path).stdout.split())
    done = run_cli("list", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (0, "No archives (files ending in .figvault) in this folder\n")
    one_error_line(run_cli("list", "missing", cwd=tmp_path), "'missing'")
