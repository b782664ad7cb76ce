"""create_file_dict's native snapshot against the Python-level steps it
stands in for.

create_file_dict walks the tree and reads the files in C++ when that gives
exactly what its Python-level steps give (glob.glob for "./**/*.py" and
"./**/*.ipynb", then open(path, "r").read() of every path). Here the two are
run on the same trees in the same process and must agree in everything a
caller sees: the dictionary and its order, or the exception (type, args,
errno, filename, notes, decoding details, traceback entries), the warnings,
and the audit events with their arguments and the recursion budget left to
hooks. The Python-level steps are forced by giving create_file_dict a
stand-in for its `glob` global whose `glob` attribute is the real glob.glob
(snapshot_support.python_level_steps); plain glob + open().read() written in
Python is the third party of each comparison.

Which path ran is seen from outside: an audit hook finds glob's own frames on
the stack during the os.scandir events of the Python-level steps only, and a
replaced function records its calls. Audit hooks cannot be removed, so every
test that installs one runs in a child interpreter. The child interpreters
import the same figvault build as this process (support.child_environment).
"""

import contextlib
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import threading
import tracemalloc
import types
from pathlib import Path

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import snapshot_support as support
from support import child_environment

TESTS = Path(__file__).resolve().parent
ENTRY = "figvault.src.files.create_file_dict"
IS_ROOT = os.geteuid() == 0

SETTINGS = dict(
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)

traced = pytest.mark.skipif(
    sys.gettrace() is not None or sys.getprofile() is not None,
    reason="a trace or profile function is set: create_file_dict takes its Python-level steps",
)


@pytest.fixture
def scratch(tmp_path):
    """Returns a function making a new empty folder (on tmpfs when there is
    one); everything made is removed afterwards, whatever its permissions."""
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    holder = Path(tempfile.mkdtemp(prefix="figvault-snapshot-", dir=base)) if base else tmp_path / "scratch"
    holder.mkdir(exist_ok=True)
    made = []

    def make():
        folder = holder / str(len(made))
        folder.mkdir()
        made.append(folder)
        return folder

    yield make
    os.chdir(tmp_path)
    support.remove_tree(holder)


def run_child(code, *arguments, cwd=None, env_changes=None, drop_privileges=False, timeout=300, python_options=()):
    """Runs `code` in a new interpreter that imports this process's figvault
    build and snapshot_support; returns the JSON document it prints last. The
    working directory is `cwd`, else a neutral one (never the repository
    root, whose source package would shadow the build)."""
    command = [sys.executable, *python_options, "-c", textwrap.dedent(code), *map(str, arguments)]
    if drop_privileges and IS_ROOT:
        setpriv = shutil.which("setpriv")
        if setpriv is None:
            pytest.skip("running as root without setpriv: permissions would not apply")
        command = [setpriv, "--inh-caps=-all", "--bounding-set=-all", *command]
    env = child_environment(TESTS)
    for name, value in (env_changes or {}).items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    child = subprocess.run(command, cwd=cwd or tempfile.gettempdir(), env=env, capture_output=True, text=True,
                           timeout=timeout)
    assert child.returncode == 0, f"child ended with status {child.returncode}:\n{child.stderr[-6000:]}"
    return json.loads(child.stdout.strip().splitlines()[-1])


# ---- random trees ----------------------------------------------------------------------

STEMS = [b"a", b"plot", b"two words", b"new\nline", "ünï".encode(), b"\xff\xfe", "日本".encode(), b"tab\tx", b"x.py"]
SUFFIXES = [b".py", b".py", b".ipynb", b".txt", b".pyc", b"", b".py.bak", b".PY"]
TEXT_PIECES = [b"x = 1", "é".encode(), "λ ✓".encode(), "𝄞".encode(), b"\r\n", b"\r", b"\n", b"\t# note", b"\x00"]
UNDECODABLE_PIECES = [b"\xff", b"\xc3", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\x80abc"]
BYTE_ORDER_MARK = "\ufeff".encode()

names = st.builds(
    lambda hidden, stem, suffix: (b"." if hidden else b"") + stem + suffix,
    st.sampled_from([False, False, False, True]),
    st.sampled_from(STEMS),
    st.sampled_from(SUFFIXES),
)
# Folders (and links that may lead to one) are named like a script now and
# then only: such a match ends the call with IsADirectoryError.
FOLDER_SUFFIXES = [b""] * 30 + [b".d", b".py", b".ipynb"]
folder_names = st.builds(
    lambda hidden, stem, suffix: (b"." if hidden else b"") + stem + suffix,
    st.sampled_from([False, False, False, True]),
    st.sampled_from([stem for stem in STEMS if not stem.endswith(b".py")]),
    st.sampled_from(FOLDER_SUFFIXES),
)


@st.composite
def contents(draw):
    """Text with every kind of line end, a BOM now and then, and now and then
    bytes that are not UTF-8."""
    pieces = draw(st.lists(st.sampled_from(TEXT_PIECES), max_size=8))
    if draw(st.integers(0, 5)) == 0:
        pieces.insert(0, BYTE_ORDER_MARK)
    if draw(st.integers(0, 9)) == 0:
        pieces.insert(draw(st.integers(0, len(pieces))), draw(st.sampled_from(UNDECODABLE_PIECES)))
    return b"".join(pieces)


def relative(start, target):
    """The link target leading from folder `start` to `target` (name tuples)."""
    return os.path.relpath(b"/".join(target) or b".", b"/".join(start) or b".")


@st.composite
def trees(draw, permissions=False):
    """Folders up to four levels down, files, and symbolic links to files, to
    folders, dangling, or back to a folder above (a loop, which the system
    follows 40 links deep). One folder link or one loop at most, so that the
    walk stays small; with `permissions`, some files and folders lose their
    permission bits."""
    entries, used, folders, files = [], set(), [()], []

    def new_path(parent, strategy=names):
        path = parent + (draw(strategy),)
        if path in used:
            return None
        used.add(path)
        return path

    for _ in range(draw(st.integers(0, 6))):
        parent = draw(st.sampled_from(folders))
        path = new_path(parent, folder_names) if len(parent) < 4 else None
        if path:
            folders.append(path)
            entries.append(("folder", path, None))
    for _ in range(draw(st.integers(0, 8))):
        path = new_path(draw(st.sampled_from(folders)))
        if path:
            files.append(path)
            entries.append(("file", path, draw(contents())))
    walk_link_made = False
    for kind in draw(st.lists(st.sampled_from(["file", "folder", "dangling", "loop"]), max_size=3)):
        parent = draw(st.sampled_from(folders))
        if kind == "file" and files:
            target = relative(parent, draw(st.sampled_from(files)))
        elif kind == "folder" and not walk_link_made:
            others = [folder for folder in folders[1:] if parent[: len(folder)] != folder]
            if not others:
                continue
            target = relative(parent, draw(st.sampled_from(others)))
            walk_link_made = True
        elif kind == "loop" and not walk_link_made:
            target = relative(parent, parent[: draw(st.integers(0, len(parent)))])
            walk_link_made = True
        else:
            target = b"missing" + draw(st.sampled_from(SUFFIXES))
        path = new_path(parent, names if kind in ("file", "dangling") else folder_names)
        if path:
            entries.append(("link", path, target))
    if permissions:
        for _ in range(draw(st.integers(0, 3))):
            if len(files) + len(folders) > 1:
                path = draw(st.sampled_from(files + folders[1:]))
                entries.append(("mode", path, draw(st.sampled_from([0o000, 0o200, 0o300, 0o600]))))
    return entries


@traced
@settings(max_examples=400, **SETTINGS)
@given(tree=trees())
def test_native_snapshot_equals_the_python_steps(files, scratch, tree):
    root = scratch()
    support.build_tree(root, tree)
    os.chdir(root)
    differences, label = support.compare_with_python_steps(files)
    event(label)
    assert differences == []


# Trees every permission run starts with: an unreadable script, a folder
# that cannot be listed, one that can be listed but not entered, and one
# that can be entered but not listed.
PERMISSION_TREES = [
    [("file", (b"ok.py",), b"ok\n"), ("file", (b"secret.py",), b"s\n"), ("mode", (b"secret.py",), 0o000)],
    [("folder", (b"closed",), None), ("file", (b"closed", b"in.py"), b"x\n"), ("mode", (b"closed",), 0o000),
     ("file", (b"top.py",), b"t\n")],
    [("folder", (b"listed",), None), ("folder", (b"listed", b"sub"), None),
     ("file", (b"listed", b"sub", b"deep.py"), b"d\n"), ("file", (b"listed", b"in.py"), b"x\n"),
     ("mode", (b"listed",), 0o600)],
    [("folder", (b"entered",), None), ("file", (b"entered", b"in.py"), b"x\n"), ("mode", (b"entered",), 0o300)],
]
PERMISSION_LABELS = ["PermissionError", "ok", "PermissionError", "ok"]

PERMISSION_CHILD = """
    import json, os, sys
    import snapshot_support as support
    import figvault.src.files as files

    trees = [support.tree_from_json(document) for document in json.loads(sys.argv[1])]
    base = sys.argv[2]
    report = {"differences": [], "labels": []}
    for index, tree in enumerate(trees):
        root = os.path.join(base, str(index))
        os.mkdir(root)
        support.build_tree(root, tree)
        os.chdir(root)
        differences, label = support.compare_with_python_steps(files)
        os.chdir(base)
        report["labels"].append(label)
        if differences:
            report["differences"].append([index, repr(differences)])
    print(json.dumps(report))
"""


@settings(max_examples=4, **SETTINGS)
@given(batch=st.lists(trees(permissions=True), min_size=25, max_size=25))
def test_unreadable_entries_give_the_same_outcome(scratch, batch):
    """Files and folders without permission, read by a process that the
    permission bits apply to (root's capabilities are dropped with setpriv)."""
    base = scratch()
    report = run_child(
        PERMISSION_CHILD,
        json.dumps([support.tree_to_json(tree) for tree in PERMISSION_TREES + batch]),
        base,
        drop_privileges=True,
    )
    assert report["differences"] == []
    assert report["labels"][: len(PERMISSION_TREES)] == PERMISSION_LABELS
    for label in report["labels"]:
        event(label)


# ---- fixed trees ----------------------------------------------------------------------------


@traced
@pytest.mark.parametrize(
    "tree",
    [
        pytest.param([], id="empty"),
        pytest.param([("folder", (b"a",), None), ("file", (b"a", b"x.py"), b"x\n"), ("link", (b"a", b"loop"), b".")],
                     id="link-to-its-own-folder"),
        pytest.param([("folder", (b"a",), None), ("folder", (b"a", b"b"), None), ("file", (b"a", b"b", b"x.py"), b"x"),
                      ("link", (b"a", b"b", b"up"), b"../..")], id="link-to-the-working-directory"),
        pytest.param([("folder", (b"a",), None), ("folder", (b"b",), None), ("file", (b"b", b"y.ipynb"), b"{}"),
                      ("link", (b"a", b"to_b"), b"../b"), ("link", (b"b", b"to_a"), b"../a")],
                     id="two-folders-linking-each-other"),
        pytest.param([("link", (b"self.py",), b"self.py")], id="link-to-itself"),
        pytest.param([("link", (b"null.py",), b"/dev/null"), ("file", (b"z.py",), b"z")], id="character-device"),
        pytest.param([("folder", (b"tools.py",), None), ("file", (b"a.py",), b"a")], id="folder-named-like-a-script"),
        pytest.param([("file", (b"crlf.py",), b"a\r\nb\r\r\nc\rd\n\r"), ("file", (b"bom.py",), b"\xef\xbb\xbfx\r\n")],
                     id="line-ends-and-bom"),
        pytest.param([("file", (b"late.py",), b"x" * 100_000 + b"\xff")], id="undecodable-after-100-kB"),
        pytest.param([("file", ("wide-é.py".encode(),), ("é€𝄞\r\n" * 5000).encode())], id="two-three-four-byte-utf8"),
        pytest.param([("file", (b"\xff\xfe.py",), b"x"), ("file", (b"a\nb.ipynb",), b"{}")], id="undecodable-names"),
    ],
)
def test_fixed_trees(files, scratch, tree):
    root = scratch()
    support.build_tree(root, tree)
    os.chdir(root)
    differences, _ = support.compare_with_python_steps(files)
    assert differences == []


@traced
def test_a_large_tree_in_glob_order(files, scratch):
    """A few hundred folders and files in one comparison (the order of
    the folders is the order readdir gives, not sorted)."""
    root = scratch()
    tree, folders = [], [()]
    for index in range(300):
        parent = folders[(index * 7) % len(folders)]
        if index % 3 == 0 and len(parent) < 5:
            folders.append(parent + (f"pkg{index}".encode(),))
            tree.append(("folder", folders[-1], None))
        else:
            suffix = [b".py", b".ipynb", b".txt"][index % 3]
            tree.append(("file", parent + (f"m{index}".encode() + suffix,), f"value = {index}\r\n".encode() * 20))
    support.build_tree(root, tree)
    os.chdir(root)
    differences, label = support.compare_with_python_steps(files)
    assert differences == [] and label == "ok"


@traced
def test_memory_peak_is_not_above_the_python_steps(files, scratch):
    """The native path holds one file's bytes at a time, as the Python steps
    do, and no more than they hold at their peak."""
    root = scratch()
    for index in range(4):
        (root / f"big{index}.py").write_bytes((b"line of text\r\n" if index % 2 else b"line of text\n") * 150_000)
    (root / "small.py").write_text("x\n")
    os.chdir(root)

    def peak(call):
        tracemalloc.start()
        try:
            tracemalloc.reset_peak()
            result = call()
            return tracemalloc.get_traced_memory()[1], result
        finally:
            tracemalloc.stop()

    native_peak, native = peak(files.create_file_dict)
    with support.python_level_steps(files):
        python_peak, python = peak(files.create_file_dict)
    assert native == python
    assert native_peak <= python_peak


# ---- audit events -------------------------------------------------------------------------

AUDIT_CHILD = """
    import builtins, contextlib, json, sys
    import snapshot_support as support
    import figvault.src.files as files

    WATCHED = {"glob.glob", "glob.glob/2", "os.scandir", "open"}
    refusal = json.loads(sys.argv[1])
    events = None

    def hook(name, args):
        if events is None or name not in WATCHED:
            return
        in_glob = support.runs_in_glob(sys._getframe(1))
        events.append([name, repr(args), support.recursion_budget(), support.c_recursion_budget(), in_glob])
        if refusal and name == refusal[0] and args[0] == refusal[1]:
            raise getattr(builtins, refusal[2])("refused by an audit hook")

    sys.addaudithook(hook)

    def run(native):
        global events
        events = []
        with contextlib.ExitStack() as stack:
            if not native:
                stack.enter_context(support.python_level_steps(files))
            result = support.outcome(files.create_file_dict)
        recorded, events = events, None
        return repr(support.without_glob_frames(result)), recorded

    # CPython spends one more unit of recursion budget while glob's code is
    # cold (before its calls are specialised); the comparison is of warm runs.
    run(False)
    native, python = run(True), run(False)
    print(json.dumps({"native": native, "python": python}))
"""

AUDIT_TREE = [
    ("file", (b"plot.py",), b"plot\n"),
    ("file", (b"notes.ipynb",), b"{}\n"),
    ("folder", (b"sub",), None),
    ("file", (b"sub", b"a.py"), b"a\r\n"),
    ("folder", (b"sub", b"deeper"), None),
    ("file", (b"sub", b"deeper", b"b.ipynb"), b"{}"),
    ("folder", (b".hidden",), None),
    ("file", (b".hidden", b"x.py"), b"hidden"),
    ("link", (b"linked",), b"sub"),
    ("link", (b"dangling.txt",), b"missing"),
    ("file", (b"data.txt",), b"1,2\n"),
]
UNDECODABLE_LAST = AUDIT_TREE + [("folder", (b"zz",), None), ("file", (b"zz", b"bad.py"), b"\xff")]


@pytest.mark.parametrize(
    "tree, refusal, expected",
    [
        (AUDIT_TREE, None, "'ok'"),
        (UNDECODABLE_LAST, None, "UnicodeDecodeError"),
        (AUDIT_TREE, ["os.scandir", "./sub", "PermissionError"], "'ok'"),
        (AUDIT_TREE, ["os.scandir", "./sub", "RuntimeError"], "RuntimeError"),
        (AUDIT_TREE, ["open", "./sub/a.py", "RuntimeError"], "RuntimeError"),
        (AUDIT_TREE, ["open", "./sub/a.py", "FileNotFoundError"], "FileNotFoundError"),
        (AUDIT_TREE, ["glob.glob", "./**/*.ipynb", "LookupError"], "LookupError"),
    ],
    ids=["clean", "undecodable-last", "scandir-refused-with-oserror", "scandir-refused", "open-refused",
         "open-refused-with-oserror", "glob-refused"],
)
def test_audit_events_are_the_same(scratch, tree, refusal, expected):
    root = scratch()
    support.build_tree(root, tree)
    report = run_child(AUDIT_CHILD, json.dumps(refusal), cwd=root)
    native_result, native_events = report["native"]
    python_result, python_events = report["python"]
    assert expected in native_result
    assert native_result == python_result
    # The same events with the same arguments, and hooks left with the same
    # recursion budget, for Python frames and for C-level calls.
    assert [e[:4] for e in native_events] == [e[:4] for e in python_events]
    assert any(e[0] == "os.scandir" for e in native_events)
    # Which path ran: glob's frames are on the stack only under the Python steps.
    assert any(e[4] for e in native_events) != support.NATIVE_SNAPSHOT
    assert all(e[4] for e in python_events if e[0] == "os.scandir")


# ---- folder depth: recursion budget and path length -------------------------------------

COUNTING_CHILD = """
    import contextlib, json, sys
    import snapshot_support as support
    import figvault.src.files as files

    counted = None

    def hook(name, args):
        if counted is not None and name == "os.scandir":
            # Deep stacks are long to walk: the first listings tell the path.
            counted.append(len(counted) < 4 and support.runs_in_glob(sys._getframe(1)))

    sys.addaudithook(hook)
    sys.setrecursionlimit(int(sys.argv[1]))

    def run(native):
        global counted
        counted = []
        with contextlib.ExitStack() as stack:
            if not native:
                stack.enter_context(support.python_level_steps(files))
            result = sorted(files.create_file_dict())
        seen, counted = counted, None
        return [result, len(seen), any(seen)]

    print(json.dumps([run(True), run(False)]))
"""


def build_chain(root, depth, files_every):
    """A chain of folders "d/d/d/..." `depth` deep (too long a path for one
    system call at the bottom), with a script every `files_every` levels."""
    folder = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for level in range(depth):
            if level % files_every == 0:
                os.close(os.open(f"level{level}.py", os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=folder))
            os.mkdir("d", dir_fd=folder)
            inner = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=folder)
            os.close(folder)
            folder = inner
    finally:
        os.close(folder)


@pytest.fixture
def deep_folder(scratch):
    """A folder for a chain of folders; removed with rm, which unlike
    shutil.rmtree does not recurse in Python."""
    root = scratch()
    yield root
    subprocess.run(["rm", "-rf", str(root)], check=True)


def stack_depth():
    frame, depth = sys._getframe(1), 0
    while frame is not None:
        frame, depth = frame.f_back, depth + 1
    return depth


@traced
def test_running_out_of_recursion_budget_at_the_same_folder(files, deep_folder):
    """glob spends one frame per folder level: in a chain of folders deeper
    than the recursion budget allows, both paths raise the same
    RecursionError at the same recursion limits (so at the same folder), and
    both collect every file once the limit is high enough. Every limit of
    the range is tried: one unit of budget is one folder. glob's frames in
    the traceback show which path ran."""
    build_chain(deep_folder, 320, files_every=40)
    os.chdir(deep_folder)

    def outcome(native):
        try:
            if native:
                return ["ok", sorted(files.create_file_dict())]
            with support.python_level_steps(files):
                return ["ok", sorted(files.create_file_dict())]
        except RecursionError as error:
            entries = support.traceback_entries(error)
            in_glob = any(entry[0] == glob.__file__ for entry in entries)
            ours = [entry for entry in entries if entry[0] == support.FIGVAULT_SOURCE]
            return ["RecursionError", str(error), ours, in_glob]

    previous = sys.getrecursionlimit()
    kinds = []
    try:
        for extra in range(270, 350):
            sys.setrecursionlimit(stack_depth() + extra)
            native, python = outcome(True), outcome(False)
            sys.setrecursionlimit(previous)
            kinds.append(native[0])
            if native[0] == "RecursionError":
                assert native[:3] == python[:3] == ["RecursionError", "maximum recursion depth exceeded",
                                                    [(support.FIGVAULT_SOURCE, 12, ENTRY)]], extra
                assert native[3] != support.NATIVE_SNAPSHOT and python[3]
            else:
                assert native == python, extra
    finally:
        sys.setrecursionlimit(previous)
    assert kinds[0] == "RecursionError" and kinds[-1] == "ok"


REFUSED_DEEP_CHILD = """
    import contextlib, json, sys
    import snapshot_support as support
    import figvault.src.files as files

    target, seen = None, [0]

    def hook(name, args):
        if target is not None and name == "os.scandir" and args[0] == target:
            seen[0] += 1
            if seen[0] == 2:  # the listing of its subfolders
                raise RuntimeError("refused by an audit hook")

    sys.addaudithook(hook)

    def run(native, limit, refused):
        global target
        target, seen[0] = refused, 0
        previous = sys.getrecursionlimit()
        sys.setrecursionlimit(limit)
        try:
            with contextlib.ExitStack() as stack:
                if not native:
                    stack.enter_context(support.python_level_steps(files))
                try:
                    return ["ok", len(files.create_file_dict())]
                except Exception as error:
                    context = error.__context__
                    return [type(error).__name__, str(error), type(context).__name__, str(context)]
        finally:
            sys.setrecursionlimit(previous)
            target = None

    refused = "." + "/d" * int(sys.argv[1])
    run(False, 1000, refused)
    run(True, 1000, refused)
    print(json.dumps([[limit, run(False, limit, refused), run(True, limit, refused), run(False, limit, refused)]
                      for limit in json.loads(sys.argv[2])]))
"""


# Up to 3.11 the recursion budget counts C-level calls too: the __exit__ of
# glob's `with` block, called as the hook's error leaves the listing, can be
# the call that runs out. From 3.12 on only Python frames count, and
# __exit__ runs no deeper than the listing it leaves.
EXIT_CAN_RUN_OUT = sys.version_info < (3, 12)


@support.native_only
def test_an_audit_hook_refusing_deep_down(deep_folder):
    """A hook refuses the listing of a folder 250 levels down while the
    recursion budget is nearly spent: the walk runs out of budget before the
    listing (RecursionError), or the hook's error ends the call, or (up to
    3.11) glob's `with` block runs out of budget on its way out
    (RecursionError, with the hook's error as its context). At this edge the
    Python-level steps themselves differ from one run to the next by a unit
    of budget (CPython specialises the hook's and glob's code as they run),
    so the native outcome must be one of the two Python runs around it."""
    build_chain(deep_folder, 300, files_every=100)
    runs = run_child(REFUSED_DEEP_CHILD, 250, json.dumps(list(range(250, 285))), cwd=deep_folder)
    kinds = set()
    for limit, python_before, native, python_after in runs:
        assert native in (python_before, python_after), limit
        kinds.add((native[0], native[2] if len(native) > 2 else None))
    assert ("RuntimeError", "NoneType") in kinds
    assert ("RecursionError", "NoneType") in kinds
    assert (("RecursionError", "RecursionError") in kinds) == EXIT_CAN_RUN_OUT


C_BUDGET_CHILD = """
    import glob, json, sys, types
    import snapshot_support as support
    import figvault.src.files as files

    # Python frames are no limit here: each level below spends C-level calls
    # (map calling back into Python), which run out first.
    sys.setrecursionlimit(100000)
    targets = sorted(json.loads(sys.argv[1]), reverse=True)
    module_glob, stand_in = files.glob, types.SimpleNamespace(glob=glob.glob)
    runs = []

    def attempt():
        # Nothing that spends C-level calls of its own, the exception is
        # described once the stack is unwound.
        try:
            return "ok", list(files.create_file_dict().items())
        except Exception as error:
            return "error", error

    def down(_=None):
        left = support.c_recursion_budget()
        while targets and left <= targets[0]:
            targets.pop(0)
            files.glob = stand_in
            python_before = attempt()
            files.glob = module_glob
            native = attempt()
            files.glob = stand_in
            python_after = attempt()
            files.glob = module_glob
            runs.append([left, python_before, native, python_after])
        if targets:
            list(map(down, [None]))

    down()

    def described(result):
        return repr(result if result[0] == "ok" else support.describe_error(result[1]))

    print(json.dumps([[run[0], *map(described, run[1:])] for run in runs]))
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="C-level calls have a budget of their own from 3.12 on")
def test_running_out_of_c_level_budget_as_the_python_steps_do(scratch):
    """Called with little budget of C-level calls left (however many Python
    frames remain), create_file_dict raises the RecursionError that the
    Python-level steps raise, and collects every file where they do. At the
    edge the Python-level steps themselves differ from one run to the next
    (CPython specialises code as it runs), so the outcome must be one of the
    two Python runs around it."""
    root = scratch()
    support.build_tree(root, AUDIT_TREE)
    targets = [260, 251, 250, 249, 240, *range(1, 40)]
    runs = run_child(C_BUDGET_CHILD, json.dumps(targets), cwd=root)
    assert len(runs) == len(targets)
    for left, python_before, native, python_after in runs:
        assert native in (python_before, python_after), left
    outcomes = {native.startswith("('ok'") for _, _, native, _ in runs}
    assert outcomes == {True, False}


def test_folders_beyond_the_longest_path_are_not_entered(deep_folder):
    """Past 4096 bytes a path cannot be opened (ENAMETOOLONG): glob lists
    nothing there, nor does the native walk."""
    build_chain(deep_folder, 2100, files_every=50)
    (native, native_listings, native_in_glob), (python, python_listings, python_in_glob) = run_child(
        COUNTING_CHILD, 20000, cwd=deep_folder)
    assert native == python
    assert native_listings == python_listings
    assert native_in_glob != support.NATIVE_SNAPSHOT and python_in_glob
    deepest = max(len(key) for key in native)
    assert 4000 < deepest < 4096


# ---- blocking reads, signals --------------------------------------------------------------

FIFO_CHILD = """
    import contextlib, json, os, signal, sys, threading, time
    import snapshot_support as support
    import figvault.src.files as files

    mode = sys.argv[1]

    def writer():
        # Opening the FIFO for writing waits for the reader, as the reader's
        # open waits for a writer: neither path may hold the GIL meanwhile.
        with open("pipe.py", "wb", buffering=0) as pipe:
            pipe.write(b"first\\r")
            time.sleep(0.2)
            pipe.write(b"\\nsecond\\r\\n")
            time.sleep(0.2)
            pipe.write(b"third")

    class Interrupted(Exception):
        pass

    def interrupt(signum, frame):
        raise Interrupted("no writer came")

    def run(native):
        with contextlib.ExitStack() as stack:
            if not native:
                stack.enter_context(support.python_level_steps(files))
            if mode == "writer":
                thread = threading.Thread(target=writer)
                thread.start()
                result = support.outcome(files.create_file_dict)
                thread.join()
            else:
                signal.signal(signal.SIGALRM, interrupt)
                signal.setitimer(signal.ITIMER_REAL, 0.3)
                result = support.outcome(files.create_file_dict)
                signal.setitimer(signal.ITIMER_REAL, 0)
        return repr(result)

    print(json.dumps([run(True), run(False)]))
"""


@pytest.mark.parametrize("mode, expected", [("writer", "first\\nsecond\\nthird"), ("interrupted", "no writer came")])
def test_a_fifo_blocks_as_open_does(scratch, mode, expected):
    """A FIFO named like a script: its open waits for a writer (another
    thread of the same process, which must get the GIL), and its read goes on
    until the writer closes; a signal handler that raises while the open
    waits ends the call with its exception, the note and line 16."""
    root = scratch()
    os.mkfifo(root / "pipe.py")
    (root / "a.py").write_text("a\n")
    native, python = run_child(FIFO_CHILD, mode, cwd=root, timeout=60)
    assert native == python
    assert expected in native
    if mode == "interrupted":
        assert "while reading './pipe.py' for the source snapshot" in native
        assert f"('{support.FIGVAULT_SOURCE}', 16, '{ENTRY}')" in native


# ---- when the Python-level steps run instead -------------------------------------------------


class Recorder:
    """Wraps a callable, recording that it was called."""

    def __init__(self, function):
        self.function = function
        self.calls = 0

    def __call__(self, *args, **kwargs):
        self.calls += 1
        return self.function(*args, **kwargs)


@pytest.fixture
def small_tree(scratch):
    root = scratch()
    support.build_tree(root, AUDIT_TREE)
    os.chdir(root)
    return root


@traced
def test_a_replaced_glob_global_is_used(files, small_tree, monkeypatch):
    expected = files.create_file_dict()
    recorded = Recorder(glob.glob)
    monkeypatch.setattr(files, "glob", types.SimpleNamespace(glob=recorded))
    assert files.create_file_dict() == expected
    assert recorded.calls == 2


def _module(name):
    return {"glob": glob, "os": os, "os.path": os.path, "fnmatch": sys.modules["fnmatch"],
            "contextlib": sys.modules["contextlib"], "sys": sys}[name]


@traced
@pytest.mark.parametrize(
    "module, name",
    [("glob", "glob"), ("glob", "iglob"), ("glob", "_iterdir"), ("glob", "_rlistdir"), ("glob", "_ishidden"),
     ("os", "scandir"), ("os.path", "join"), ("os.path", "split"), ("fnmatch", "filter"),
     ("contextlib", "closing"), ("sys", "audit"),
     # From 3.13 on glob asks whether the working directory is a folder.
     *(pytest.param(module, name, marks=pytest.mark.skipif(sys.version_info < (3, 13), reason="glob of 3.13"))
       for module, name in [("glob", "_isdir"), ("os.path", "isdir"), ("os", "stat")])],
)
def test_a_replaced_function_of_glob_is_called(files, small_tree, monkeypatch, module, name):
    expected = files.create_file_dict()
    recorded = Recorder(getattr(_module(module), name))
    monkeypatch.setattr(_module(module), name, recorded)
    result = files.create_file_dict()
    monkeypatch.undo()
    assert result == expected
    assert recorded.calls > 0


MONITORING = getattr(sys, "monitoring", None)


def free_monitoring_tool():
    """A sys.monitoring tool id that no one uses."""
    return next(tool for tool in range(6) if MONITORING.get_tool(tool) is None)


@traced
@pytest.mark.skipif(MONITORING is None, reason="sys.monitoring came with Python 3.12")
@pytest.mark.parametrize("scope", ["interpreter", "glob-code", "freed-tool"])
def test_a_monitoring_tool_sees_the_python_steps(files, small_tree, scope):
    """A sys.monitoring tool that watches Python code start, in the whole
    interpreter or in glob's listing helper alone, sees glob's frames, also
    after it gave its tool id up without clearing its events (they still
    fire): the Python-level steps run, with the same result. Once the
    events are cleared, the folders are opened as before again."""
    expected = files.create_file_dict()
    openings = support.folder_openings(".", files.create_file_dict)
    events, tool, seen = MONITORING.events, free_monitoring_tool(), []
    listing_code = glob._iterdir.__code__
    MONITORING.use_tool_id(tool, "figvault-test")
    try:
        MONITORING.register_callback(tool, events.PY_START, lambda code, offset: seen.append(code.co_filename))
        if scope == "glob-code":
            MONITORING.set_local_events(tool, listing_code, events.PY_START)
        else:
            MONITORING.set_events(tool, events.PY_START)
        if scope == "freed-tool":
            MONITORING.free_tool_id(tool)
        result = files.create_file_dict()
    finally:
        if MONITORING.get_tool(tool) is None:
            MONITORING.use_tool_id(tool, "figvault-test")
        MONITORING.set_events(tool, 0)
        MONITORING.set_local_events(tool, listing_code, 0)
        MONITORING.register_callback(tool, events.PY_START, None)
        MONITORING.free_tool_id(tool)
    assert result == expected
    assert glob.__file__ in seen
    assert support.folder_openings(".", files.create_file_dict) == openings


@traced
@pytest.mark.parametrize(
    "change",
    [
        lambda monkeypatch: monkeypatch.setitem(glob.glob.__kwdefaults__, "include_hidden", True),
        lambda monkeypatch: monkeypatch.setattr(glob._ishidden, "__code__", (lambda path: False).__code__),
        lambda monkeypatch: monkeypatch.setattr(glob, "_ishidden", lambda path: False),
    ],
    ids=["keyword-default-changed-in-place", "code-replaced", "helper-replaced"],
)
def test_a_changed_glob_is_followed(files, small_tree, monkeypatch, change):
    """glob changed so that hidden names match: the result shows the Python
    steps ran."""
    assert "./.hidden/x.py" not in files.create_file_dict()
    change(monkeypatch)
    assert "./.hidden/x.py" in files.create_file_dict()


@traced
def test_a_replaced_decoder_is_used(files, small_tree, monkeypatch):
    import encodings.utf_8

    recorded = Recorder(encodings.utf_8.IncrementalDecoder.decode)
    monkeypatch.setattr(encodings.utf_8.IncrementalDecoder, "decode", lambda self, *a, **k: recorded(self, *a, **k))
    files.create_file_dict()
    assert recorded.calls > 0


@pytest.mark.parametrize("install", [sys.settrace, sys.setprofile], ids=["trace", "profile"])
def test_a_trace_or_profile_function_sees_the_python_steps(files, small_tree, install):
    seen = set()

    def watcher(frame, event_name, argument):
        seen.add(frame.f_code.co_filename)
        return watcher

    previous = sys.gettrace() if install is sys.settrace else sys.getprofile()
    install(watcher)
    try:
        files.create_file_dict()
    finally:
        install(previous)
    assert glob.__file__ in seen


@traced
def test_little_recursion_budget_left_takes_the_python_steps(files, deep_folder):
    """Called with too little budget left, create_file_dict runs glob itself:
    its frames are in the traceback of the RecursionError."""
    build_chain(deep_folder, 200, files_every=50)
    os.chdir(deep_folder)

    def nested(depth):
        if depth:
            return nested(depth - 1)
        return files.create_file_dict()

    previous = sys.getrecursionlimit()
    sys.setrecursionlimit(len(__import__("inspect").stack()) + 150)
    try:
        with pytest.raises(RecursionError) as caught:
            nested(20)
    finally:
        sys.setrecursionlimit(previous)
    assert glob.__file__ in {entry[0] for entry in support.traceback_entries(caught.value)}


WHICH_PATH_CHILD = """
    import json, locale, sys
    import snapshot_support as support
    import figvault.src.files as files

    in_glob = None

    def hook(name, args):
        if in_glob is not None and name == "os.scandir":
            in_glob.append(support.runs_in_glob(sys._getframe(1)))

    sys.addaudithook(hook)

    def run():
        # Which path ran, the outcome's label, and whether the outcome is
        # the plain steps' own (under the same default encoding).
        global in_glob
        in_glob = []
        result, _ = support.outcome(files.create_file_dict, with_traceback=False)
        seen, in_glob = in_glob, None
        assert seen and (all(seen) or not any(seen)), seen
        plain, _ = support.outcome(support.plain_steps, with_traceback=False)
        label = "ok" if result[0] == "ok" else result[1]["type"].__name__
        return ["python" if all(seen) else "native", label, support.without_figvault_notes(result) == plain]

    runs = [run()]
    if sys.argv[1] == "setlocale":
        locale.setlocale(locale.LC_CTYPE, "C")
        runs.append(run())
        locale.setlocale(locale.LC_CTYPE, "")
        runs.append(run())
    print(json.dumps(runs))
"""


@support.native_only
@pytest.mark.parametrize(
    "environment, options, action, expected",
    [
        ({"PYTHONUTF8": "1", "LC_ALL": "C"}, (), "", [["native", "ok"]]),
        ({"PYTHONUTF8": "0", "LC_ALL": "C.UTF-8"}, (), "", [["native", "ok"]]),
        ({"PYTHONUTF8": "0", "LC_ALL": "C"}, (), "", [["python", "UnicodeDecodeError"]]),
        ({"PYTHONUTF8": "0", "LC_ALL": "C.UTF-8"}, (), "setlocale",
         [["native", "ok"], ["python", "UnicodeDecodeError"], ["native", "ok"]]),
        ({"PYTHONUTF8": "1"}, ("-X", "warn_default_encoding"), "", [["python", "ok"]]),
    ],
    ids=["utf8-mode", "utf8-locale", "ascii-locale", "locale-changed-while-running", "warn-default-encoding"],
)
def test_the_default_encoding_decides(scratch, environment, options, action, expected):
    """The native path decodes UTF-8: with any other default encoding (here
    ASCII, where "é" cannot be read), or when open() would warn that no
    encoding was given, the Python steps run; either way the outcome is the
    plain steps' own."""
    root = scratch()
    support.build_tree(root, AUDIT_TREE + [("file", (b"wide.py",), "é\n".encode())])
    runs = run_child(WHICH_PATH_CHILD, action or "-", cwd=root, env_changes=environment, python_options=options)
    assert [[path, label] for path, label, _ in runs] == expected
    assert all(same_as_plain for _, _, same_as_plain in runs)


OPEN_REPLACED_CHILD = """
    import builtins, json
    calls = []
    original = builtins.open

    def recording_open(*args, **kwargs):
        calls.append(args[0])
        return original(*args, **kwargs)

    builtins.open = recording_open  # before figvault.src.files fetches it
    import figvault.src.files as files
    result = files.create_file_dict()
    builtins.open = original
    print(json.dumps([sorted(result), sorted(calls)]))
"""


def test_open_replaced_before_the_module_executes_is_used(scratch):
    root = scratch()
    support.build_tree(root, AUDIT_TREE)
    keys, calls = run_child(OPEN_REPLACED_CHILD, cwd=root)
    assert keys == calls == ["./linked/a.py", "./linked/deeper/b.ipynb", "./notes.ipynb", "./plot.py",
                             "./sub/a.py", "./sub/deeper/b.ipynb"]


@support.native_only
def test_the_native_path_is_taken_by_default(scratch):
    root = scratch()
    support.build_tree(root, AUDIT_TREE)
    assert run_child(WHICH_PATH_CHILD, "-", cwd=root) == [["native", "ok", True]]


# ---- one listing per folder -------------------------------------------------------------

# Without links to folders, so that each folder is watched under one name.
LISTED_TREE = [entry for entry in AUDIT_TREE if entry[1] != (b"linked",)] + [
    ("folder", (b"sub", b"other"), None), ("file", (b"sub", b"other", b"c.py"), b"c\n")]
FOLDERS_OF_LISTED_TREE = {".", "sub", "sub/deeper", "sub/other"}

LISTINGS_CHILD = """
    import json, sys
    import snapshot_support as support

    if sys.argv[1] == "changed-glob":
        # glob's own module, with code other than the standard library's.
        import glob, inspect
        source = inspect.getsource(glob).replace("def _ishidden(path):", "def _ishidden(path):\\n    path = path")
        exec(compile(source, glob.__file__, "exec"), glob.__dict__)
    import figvault.src.files as files
    if sys.argv[1] == "audit-hook":
        sys.addaudithook(lambda name, args: None)
    result = {}
    counts = support.folder_openings(".", lambda: result.update(files.create_file_dict()))
    plain, _ = support.outcome(support.plain_steps, with_traceback=False)
    print(json.dumps([counts, list(result.items()) == plain[1]]))
"""


@support.native_only
@pytest.mark.parametrize(
    "situation, times",
    [("plain", 1), ("audit-hook", 4), ("changed-glob", 4)],
    ids=["no-audit-hook", "audit-hook", "glob-with-other-code"],
)
def test_each_folder_is_listed_once_unless_someone_could_tell(scratch, situation, times):
    """glob lists every folder four times (files and subfolders, for each
    pattern): the native walk reads each once while no audit hook could see
    the listings or change the tree between them. With a hook it lists as
    glob does; with a glob whose code is not the standard library's (same
    module, same file name), the Python-level steps run."""
    root = scratch()
    support.build_tree(root, LISTED_TREE)
    counts, same_as_plain = run_child(LISTINGS_CHILD, situation, cwd=root)
    assert counts == {folder: times for folder in FOLDERS_OF_LISTED_TREE}
    assert same_as_plain


@support.native_only
def test_this_process_takes_the_quiet_path(files, scratch):
    """The in-process comparisons above test the walk that lists each folder
    once: no audit hook is installed in the test process."""
    root = scratch()
    support.build_tree(root, LISTED_TREE)
    os.chdir(root)
    assert set(support.folder_openings(".", files.create_file_dict).values()) == {1}
    with support.python_level_steps(files):
        assert set(support.folder_openings(".", files.create_file_dict).values()) == {4}


SIGNAL_CHANGES_TREE_CHILD = """
    import contextlib, json, os, signal, sys
    import snapshot_support as support
    import figvault.src.files as files

    def add_notebook(signum, frame):
        with open("late.ipynb", "w") as file:
            file.write("{}")

    signal.signal(signal.SIGALRM, add_notebook)

    def run(native):
        if os.path.exists("late.ipynb"):
            os.remove("late.ipynb")
        with contextlib.ExitStack() as stack:
            if not native:
                stack.enter_context(support.python_level_steps(files))
            # Due while "./**/*.py" is walked: the working directory (listed
            # first) has been read, and thousands of folders are still ahead.
            signal.setitimer(signal.ITIMER_REAL, 0.001)
            result = files.create_file_dict()
            signal.setitimer(signal.ITIMER_REAL, 0)
        return "./late.ipynb" in result

    print(json.dumps([run(True), run(False)]))
"""


@support.native_only
def test_a_signal_handler_changing_the_tree_during_the_walk(scratch):
    """A handler that runs while the walk goes on may change the tree: a
    notebook it adds to a folder already listed for "./**/*.py" is found by
    the listing for "./**/*.ipynb", as glob finds it, not hidden by the
    listing read before the handler ran."""
    root = scratch()
    for index in range(3000):
        os.mkdir(root / f"f{index}")
    native, python = run_child(SIGNAL_CHANGES_TREE_CHILD, cwd=root, timeout=60)
    assert native and python


INTERRUPT_CHILD = """
    import contextlib, json, signal, time
    import snapshot_support as support
    import figvault.src.files as files

    # A timer of the process's CPU time, so that a busy machine does not
    # stretch what is measured.
    signal.signal(signal.SIGPROF, lambda signum, frame: support.interrupt())

    def latency(native, delay):
        with contextlib.ExitStack() as stack:
            if not native:
                stack.enter_context(support.python_level_steps(files))
            started = time.process_time()
            signal.setitimer(signal.ITIMER_PROF, delay)
            try:
                files.create_file_dict()
                answered = None
            except KeyboardInterrupt:
                answered = time.process_time() - started - delay
            signal.setitimer(signal.ITIMER_PROF, 0)
        return answered

    print(json.dumps([[latency(True, delay), latency(False, delay)] for delay in (0.001, 0.005, 0.02)]))
"""


@support.native_only
def test_ctrl_c_inside_a_big_folder_is_answered_promptly(scratch):
    """A folder of 300,000 names: Ctrl-C (KeyboardInterrupt from the SIGINT
    handler, here raised by a CPU-time timer's) ends the call about as soon
    as it ends the Python-level steps, while the folder is being listed."""
    root = scratch()
    os.mkdir(root / "big")
    (root / "big" / "seed").write_bytes(b"")
    folder = os.open(root / "big", os.O_RDONLY | os.O_DIRECTORY)
    try:
        for index in range(300_000):
            os.link("seed", f"name-{index:06d}.txt", src_dir_fd=folder, dst_dir_fd=folder)
    finally:
        os.close(folder)
    runs = run_child(INTERRUPT_CHILD, cwd=root, timeout=120)
    for native, python in runs:
        assert native is not None and python is not None, runs
        assert native < max(0.03, 3 * python), runs


@traced
@pytest.mark.parametrize("patched", ["re.compile", "abc.ABCMeta.__call__"])
def test_what_glob_reaches_through_its_helpers_is_followed(files, small_tree, monkeypatch, patched):
    """re.compile runs when fnmatch's cache of compiled patterns misses (as
    after _compile_pattern.cache_clear()), and abc.ABCMeta.__call__ makes
    glob's contextlib.closing objects: replaced, they are called."""
    import abc
    import fnmatch
    import re

    expected = files.create_file_dict()
    calls = []
    if patched == "re.compile":
        original = re.compile

        def recording(*args, **kwargs):
            calls.append(args)
            return original(*args, **kwargs)

        monkeypatch.setattr(re, "compile", recording)
        fnmatch._compile_pattern.cache_clear()
    else:

        def recording(cls, *args, **kwargs):
            calls.append(cls)
            return type.__call__(cls, *args, **kwargs)

        monkeypatch.setattr(abc.ABCMeta, "__call__", recording)
    result = files.create_file_dict()
    monkeypatch.undo()
    assert result == expected
    assert calls


GROWING_ROUNDS = 2000


@traced
@pytest.mark.parametrize("native", [True, False], ids=["native", "python-level-steps"])
def test_a_file_growing_while_it_is_read_is_read_to_its_end(files, scratch, native):
    """Another thread appends to a script while it is read (here, each time,
    300 lines after the read began): the text is always one the file had,
    at least what it held when the read began and never a byte that was not
    written, and often more than its size when it was opened (read on, as
    FileIO.readall reads on, until a read finds nothing more)."""
    root = scratch()
    os.chdir(root)
    start = b"x = 1\n" * 100_000
    line = b"y = 2\n"
    (root / "big.py").write_bytes(start)
    go, done, stop = threading.Event(), threading.Event(), []

    def append():
        with open(root / "big.py", "ab", buffering=0) as file:
            while go.wait() and not stop:
                go.clear()
                for _ in range(300):
                    file.write(line * 100)
                done.set()

    writer = threading.Thread(target=append)
    writer.start()
    grown = 0
    try:
        with contextlib.ExitStack() as stack:
            if not native:
                stack.enter_context(support.python_level_steps(files))
            # Whether an append lands inside a read is up to the scheduler: the
            # rounds go on until one did (a busy machine may need many).
            for _ in range(GROWING_ROUNDS):
                if grown >= 3:
                    break
                os.truncate(root / "big.py", len(start))
                go.set()
                text = files.create_file_dict()["./big.py"]
                done.wait()
                done.clear()
                tail = text[len(start):]
                assert text[: len(start)] == start.decode()
                # Whole lines, and at most a part of the line being written.
                assert tail[: len(tail) - len(tail) % len(line)] == line.decode() * (len(tail) // len(line))
                assert line.decode().startswith(tail[len(tail) - len(tail) % len(line):])
                grown += len(tail) > 0
    finally:
        stop.append(True)
        go.set()
        writer.join()
    assert grown > 0
