"""Failures injected from outside: a full disk (RLIMIT_FSIZE), permissions,
existing targets, failing serialisation, and several processes archiving to
the same file at once.

Every failure must reach the caller as the documented exception; an archive
that existed before a failed write stays complete (it still loads and holds
the old record); no temporary file is left beside it; nothing is restored
half-way without an exception; the working directory is the caller's again.

The disk-full and permission scenarios run in child processes: a file size
limit is best kept away from the test runner, and as root the permission
checks apply only to a process without capabilities (setpriv). Children
inherit this process's environment, so under tools/sanitize.sh they run the
sanitized modules as well.
"""

import json
import os
import pickle
import shutil
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import dill
import pytest

import figvault.src.archive as archive_module
import figvault.src.files as files_module
import figvault.src.unarchive as unarchive_module

archive = archive_module.archive
expand = unarchive_module.expand
write_files_from_dict = files_module.write_files_from_dict
create_file_dict = files_module.create_file_dict

EFBIG = 27


def run_child(code, cwd, *arguments, drop_privileges=False, timeout=180):
    """Runs `code` in a new interpreter with this process's environment and
    returns the JSON document that it prints last."""
    command = [sys.executable, "-c", textwrap.dedent(code), *map(str, arguments)]
    if drop_privileges and os.geteuid() == 0:
        setpriv = shutil.which("setpriv")
        if setpriv is None:
            pytest.skip("running as root without setpriv: permissions would not apply")
        command = [setpriv, "--inh-caps=-all", "--bounding-set=-all", *command]
    child = subprocess.run(command, cwd=cwd, env=dict(os.environ), capture_output=True, text=True, timeout=timeout)
    assert child.returncode == 0, f"child ended with status {child.returncode}:\n{child.stderr[-4000:]}"
    return json.loads(child.stdout.strip().splitlines()[-1])


def load(path):
    with open(path, "rb") as file:
        return dill.load(file)


@pytest.fixture
def area(tmp_path):
    """work/ (the working directory of the calls, with one source) and out/
    (where the archives go), side by side."""
    work = tmp_path / "work"
    out = tmp_path / "out"
    work.mkdir()
    out.mkdir()
    (work / "plot.py").write_text("print('plot')\n")
    return work, out


# ---- a full disk -------------------------------------------------------------------

DISK_FULL_ARCHIVE = """
    import json, os, resource, signal, sys
    import dill
    from figvault.src.archive import archive

    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # writes fail with EFBIG instead
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    outcomes = {}
    for case in json.loads(sys.argv[1]):
        name, limit, size = case["name"], case["limit"], case["size"]
        called = []

        def plot(payload, tag):
            called.append(tag)

        wrapper = archive(name)(plot)
        wrapper("small", "old")  # the previous archive, written without a limit
        home = os.getcwd()
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, hard))
        try:
            wrapper("x" * size, "new")
            error = None
        except Exception as caught:
            error = [type(caught).__name__, getattr(caught, "errno", None)]
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))

        with open(name, "rb") as file:
            record = dill.load(file)
        outcomes[case["id"]] = {
            "error": error,
            "called": called,
            "args": record["args"],
            "files": record["files"],
            "cwd_unchanged": os.getcwd() == home,
            "folder": sorted(os.listdir(os.path.dirname(name))),
        }
    print(json.dumps(outcomes))
"""

DISK_FULL_CASES = {
    # The dump itself writes past the limit.
    "fails-during-dump": (64 * 1024, 1_000_000),
    # The whole record fits the write buffer: only the explicit close, which
    # flushes it, meets the limit.
    "fails-in-the-final-flush": (2048, 5000),
}


@pytest.fixture(scope="module")
def disk_full_outcomes(tmp_path_factory):
    """One child runs every case (importing archive costs seconds)."""
    root = tmp_path_factory.mktemp("disk-full")
    work = root / "work"
    work.mkdir()
    (work / "plot.py").write_text("print('plot')\n")
    cases = []
    for case, (limit, size) in DISK_FULL_CASES.items():
        (root / case).mkdir()
        cases.append({"id": case, "name": str(root / case / "plot.figvault"), "limit": limit, "size": size})
    return run_child(DISK_FULL_ARCHIVE, work, json.dumps(cases))


@pytest.mark.parametrize("case", list(DISK_FULL_CASES))
def test_full_disk_keeps_the_previous_archive(disk_full_outcomes, case):
    result = disk_full_outcomes[case]
    assert result["error"] == ["OSError", EFBIG]
    assert result["called"] == ["old"]  # the function of the failed call did not run
    assert result["args"] == {"payload": "small", "tag": "old"}
    assert result["files"] == {"./plot.py": "print('plot')\n"}
    assert result["cwd_unchanged"]
    assert result["folder"] == ["plot.figvault"]  # no temporary file left


DISK_FULL_EXPAND = """
    import contextlib, io, json, os, resource, signal, sys
    from figvault.src.unarchive import expand

    name, limit = sys.argv[1], int(sys.argv[2])
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, hard))
    home = os.getcwd()
    printed = io.StringIO()
    try:
        with contextlib.redirect_stdout(printed):
            expand(name, "restored")
        error = None
    except Exception as caught:
        error = [type(caught).__name__, getattr(caught, "errno", None)]
    print(json.dumps({"error": error, "cwd_unchanged": os.getcwd() == home, "printed": printed.getvalue()}))
"""


def test_full_disk_while_restoring_raises(area):
    work, out = area
    path = out / "sources.figvault"
    files = {"./small.py": "x = 1\n", "./big.py": "y" * 200_000, "./after.py": "z = 3\n"}
    path.write_bytes(pickle.dumps({"args": {"text": " x"}, "files": files, "func": textwrap.dedent}))

    result = run_child(DISK_FULL_EXPAND, work, path, 16 * 1024)

    assert result["error"] == ["OSError", EFBIG]
    assert result["cwd_unchanged"]
    restored = work / "restored"
    assert (restored / "small.py").read_text() == "x = 1\n"
    assert (restored / "big.py").stat().st_size <= 16 * 1024  # cut short, and reported
    assert not (restored / "after.py").exists()
    assert result["printed"].splitlines() == ["./small.py", "./big.py"]


# ---- permissions (as root: in a child without capabilities) ------------------------------

PERMISSIONS = """
    import contextlib, io, json, os, sys
    from figvault.src.archive import archive
    from figvault.src.files import create_file_dict
    from figvault.src.unarchive import expand

    outcomes = {}
    for case in json.loads(sys.argv[1]):
        os.chdir(case["cwd"])
        called = []

        def plot(payload):
            called.append(payload)
            return "result"

        outcome = {}
        try:
            if case["call"] == "snapshot":
                outcome["result"] = create_file_dict()
            elif case["call"] == "expand":
                with contextlib.redirect_stdout(io.StringIO()):
                    outcome["result"] = expand(case["archive"], case["target"])
            else:
                outcome["result"] = archive(case["target"])(plot)("new")
        except Exception as caught:
            outcome["error"] = type(caught).__name__
        outcome["called"] = called
        outcome["cwd_unchanged"] = os.getcwd() == case["cwd"]
        outcomes[case["id"]] = outcome
    print(json.dumps(outcomes))
"""


def _old_archive(path):
    with open(path, "wb") as file:
        dill.dump({"args": {"payload": "old"}, "files": {}, "func": None}, file)


@pytest.fixture(scope="module")
def permissions(tmp_path_factory):
    """Lays out every permission case, runs them all in one child without
    the privilege to ignore permissions, and yields (outcomes, root)."""
    root = tmp_path_factory.mktemp("permissions")
    work = root / "work"
    work.mkdir()
    (work / "plot.py").write_text("print('plot')\n")
    unreadable = root / "unreadable"
    unreadable.mkdir()
    (unreadable / "secret.py").write_text("hidden = True\n")
    for folder in ("new-in-read-only", "existing-in-read-only", "read-only-archive", "restore-below-read-only",
                   "unreadable-source"):
        (root / folder).mkdir()
    _old_archive(root / "existing-in-read-only" / "plot.figvault")
    _old_archive(root / "read-only-archive" / "plot.figvault")
    (root / "unreadable-source" / "plot.figvault").write_bytes(b"previous")
    sources = root / "sources.figvault"
    sources.write_bytes(pickle.dumps({"files": {"./a.py": "x\n"}, "func": textwrap.dedent}))

    (root / "unreadable" / "secret.py").chmod(0o000)
    (root / "read-only-archive" / "plot.figvault").chmod(0o444)
    for folder in ("new-in-read-only", "existing-in-read-only", "restore-below-read-only"):
        (root / folder).chmod(0o555)

    def case(case_id, call, cwd=work, target=None, **more):
        return {"id": case_id, "call": call, "cwd": str(cwd), "target": str(target), **more}

    cases = [
        case("new-in-read-only", "archive", target=root / "new-in-read-only" / "plot.figvault"),
        case("existing-in-read-only", "archive", target=root / "existing-in-read-only" / "plot.figvault"),
        case("read-only-archive", "archive", target=root / "read-only-archive" / "plot.figvault"),
        case("unreadable-snapshot", "snapshot", cwd=unreadable),
        case("unreadable-source", "archive", cwd=unreadable, target=root / "unreadable-source" / "plot.figvault"),
        case(
            "restore-below-read-only",
            "expand",
            target=root / "restore-below-read-only" / "restored",
            archive=str(sources),
        ),
    ]
    try:
        yield run_child(PERMISSIONS, work, json.dumps(cases), drop_privileges=True), root
    finally:
        for folder in ("new-in-read-only", "existing-in-read-only", "restore-below-read-only"):
            (root / folder).chmod(0o755)
        (root / "unreadable" / "secret.py").chmod(0o644)


REFUSED = {"error": "PermissionError", "called": [], "cwd_unchanged": True}


def test_new_archive_in_a_read_only_folder_is_refused(permissions):
    outcomes, root = permissions
    assert outcomes["new-in-read-only"] == REFUSED
    assert os.listdir(root / "new-in-read-only") == []


def test_existing_archive_in_a_read_only_folder_is_rewritten_in_place(permissions):
    outcomes, root = permissions
    assert outcomes["existing-in-read-only"] == {"result": "result", "called": ["new"], "cwd_unchanged": True}
    assert load(root / "existing-in-read-only" / "plot.figvault")["args"] == {"payload": "new"}
    assert os.listdir(root / "existing-in-read-only") == ["plot.figvault"]


def test_read_only_archive_is_refused_and_kept(permissions):
    outcomes, root = permissions
    assert outcomes["read-only-archive"] == REFUSED
    assert load(root / "read-only-archive" / "plot.figvault")["args"] == {"payload": "old"}
    assert os.listdir(root / "read-only-archive") == ["plot.figvault"]


def test_unreadable_source_file(permissions):
    outcomes, root = permissions
    assert outcomes["unreadable-snapshot"] == REFUSED
    assert outcomes["unreadable-source"] == REFUSED
    assert (root / "unreadable-source" / "plot.figvault").read_bytes() == b"previous"
    assert os.listdir(root / "unreadable-source") == ["plot.figvault"]


def test_restoring_below_a_read_only_folder_is_refused(permissions):
    outcomes, root = permissions
    assert outcomes["restore-below-read-only"] == REFUSED
    assert os.listdir(root / "restore-below-read-only") == []


# ---- existing targets and failures half-way through a restore ----------------------------

calls_of_saved_function = []


def saved_function(**arguments):
    """Stored by reference in the archives below; counts its calls."""
    calls_of_saved_function.append(arguments)


@pytest.fixture
def in_area(area, monkeypatch):
    work, out = area
    monkeypatch.chdir(work)
    calls_of_saved_function.clear()
    return work, out


def tree_state(root):
    return sorted(
        (str(path.relative_to(root)), path.read_bytes() if path.is_file() else None) for path in Path(root).rglob("*")
    )


@pytest.mark.parametrize("kind", ["folder", "file"])
def test_existing_target_of_write_files_from_dict(in_area, capsys, kind):
    work, _ = in_area
    target = work / "restored"
    if kind == "folder":
        target.mkdir()
        (target / "kept.py").write_text("kept\n")
    else:
        target.write_text("a file\n")
    before = tree_state(work)

    with pytest.raises(FileExistsError):
        write_files_from_dict({"./kept.py": "replaced\n", "./new.py": "new\n"}, str(target))

    assert tree_state(work) == before
    assert os.getcwd() == str(work)
    assert capsys.readouterr().out == ""


def test_existing_target_of_expand(in_area, capsys):
    work, out = in_area
    path = out / "plot.figvault"
    with open(path, "wb") as file:
        dill.dump({"args": {"value": 1}, "files": {"./kept.py": "replaced\n"}, "func": saved_function}, file)
    target = work / "restored"
    target.mkdir()
    (target / "kept.py").write_text("kept\n")
    before = tree_state(work)

    with pytest.raises(FileExistsError):
        expand(str(path), str(target))

    assert calls_of_saved_function == [{"value": 1}]  # the saved function runs before the restore
    assert tree_state(work) == before
    assert os.getcwd() == str(work)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "folder_dict, error, written",
    [
        ({"./a.py": "a\n", "./a.py/b.py": "b\n", "./c.py": "c\n"}, NotADirectoryError, ["a.py"]),
        ({"./a.py": "a\n", "./b.py": 5, "./c.py": "c\n"}, TypeError, ["a.py", "b.py"]),
        ({"./a.py": "a\n", "./b.py": "\udcff", "./c.py": "c\n"}, UnicodeEncodeError, ["a.py", "b.py"]),
    ],
    ids=["folder-part-is-a-file", "text-not-a-str", "unencodable-text"],
)
def test_failure_half_way_through_a_restore_is_raised(in_area, capsys, folder_dict, error, written):
    work, _ = in_area
    with pytest.raises(error):
        write_files_from_dict(folder_dict, "restored")
    assert os.getcwd() == str(work)
    assert sorted(os.listdir(work / "restored")) == written
    assert "./c.py" not in capsys.readouterr().out


# ---- failing serialisation and open ---------------------------------------------------------


class Unpicklable:
    def __reduce__(self):
        raise RuntimeError("cannot be archived")


def test_failing_dump_keeps_the_previous_archive(in_area):
    _, out = in_area
    target = out / "plot.figvault"
    called = []

    def plot(value):
        called.append(value)

    wrapper = archive(str(target))(plot)
    wrapper("old")
    before = target.read_bytes()

    with pytest.raises(RuntimeError, match="cannot be archived"):
        wrapper(["fine", Unpicklable()])

    assert called == ["old"]
    assert target.read_bytes() == before
    assert load(target)["args"] == {"value": "old"}
    assert os.listdir(out) == ["plot.figvault"]


def test_open_failure_leaves_no_file(in_area):
    work, out = in_area
    called = []
    wrapper = archive(str(out / "missing-folder" / "plot.figvault"))(lambda value: called.append(value))
    with pytest.raises(FileNotFoundError):
        wrapper(1)
    assert called == []
    assert os.listdir(out) == []
    assert sorted(os.listdir(work)) == ["plot.py"]


# ---- several processes archiving to one file ---------------------------------------------------

WRITER = """
    import json, os, sys, time, types

    # Only str arguments are archived here: a stand-in for torch spares each
    # writer the seconds that importing the real one takes.
    sys.modules["torch"] = types.ModuleType("torch")
    sys.modules["torch"].Tensor = type("Tensor", (), {})
    from figvault.src.archive import archive

    name, writer, calls, size, control = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]

    def plot(payload, tag):
        return None

    wrapper = archive(name)(plot)
    open(os.path.join(control, "ready-" + writer), "w").close()
    while not os.path.exists(os.path.join(control, "go")):
        time.sleep(0.002)
    started = time.monotonic()
    for call in range(calls):
        tag = f"{writer}-{call}:"
        wrapper(tag * (size // len(tag)), tag)
    print(json.dumps([started, time.monotonic()]))
"""

READER = """
    import json, os, sys, time
    import dill

    name, size, control = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    while not os.path.exists(os.path.join(control, "go")):
        time.sleep(0.01)
    loads, problems = 0, []
    while True:
        finished = os.path.exists(os.path.join(control, "done"))
        try:
            with open(name, "rb") as file:
                record = dill.load(file)
        except FileNotFoundError:
            if loads:
                problems.append("archive vanished")
            time.sleep(0.001)
        except Exception as error:
            problems.append(f"{type(error).__name__}: {error}")
        else:
            loads += 1
            tag = record["args"]["tag"]
            if record["args"]["payload"] != tag * (size // len(tag)) or list(record) != ["args", "files", "func"]:
                problems.append("mixed record " + tag)
        if finished:
            break
    print(json.dumps({"loads": loads, "problems": problems[:5]}))
"""


def test_concurrent_writers_leave_one_complete_record(area, tmp_path):
    work, out = area
    control = tmp_path / "control"
    control.mkdir()
    name = out / "shared.figvault"
    writers, calls, size = 4, 20, 1_000_000
    environment = dict(os.environ)

    def start(code, *arguments):
        return subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(code), *map(str, arguments)],
            cwd=work,
            env=environment,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )

    processes = [start(WRITER, name, f"w{index}", calls, size, control) for index in range(writers)]
    reader = start(READER, name, size, control)
    try:
        deadline = time.monotonic() + 240
        while len([entry for entry in os.listdir(control) if entry.startswith("ready-")]) < writers:
            assert all(process.poll() is None for process in processes), "a writer ended before the start"
            assert time.monotonic() < deadline, "writers did not get ready"
            time.sleep(0.01)
        (control / "go").touch()
        windows = []
        for process in processes:
            output, errors = process.communicate(timeout=240)
            assert process.returncode == 0, errors[-4000:]
            windows.append(json.loads(output.strip().splitlines()[-1]))
    finally:
        (control / "done").touch()
        for process in processes:
            if process.poll() is None:
                process.kill()
        output, errors = reader.communicate(timeout=240)
    assert reader.returncode == 0, errors[-4000:]

    observed = json.loads(output.strip().splitlines()[-1])
    assert observed["problems"] == []
    assert observed["loads"] > 0
    # The writers really wrote at the same time (at least two of them).
    assert any(
        first[0] < second[1] and second[0] < first[1]
        for index, first in enumerate(windows)
        for second in windows[index + 1 :]
    ), windows

    record = load(name)
    tag = record["args"]["tag"]
    assert tag in {f"w{index}-{calls - 1}:" for index in range(writers)}  # some writer's last call
    assert record["args"] == {"payload": tag * (size // len(tag)), "tag": tag}
    assert record["files"] == {"./plot.py": "print('plot')\n"}
    assert record["func"].__name__ == "plot"
    assert os.listdir(out) == ["shared.figvault"]  # no temporary file left
