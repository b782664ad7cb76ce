"""Property tests (hypothesis) of the archive reader and `figvault show`.

* Mutated archives (bytes flipped, cut short, bytes inserted) of a real
  archive are shown by the command line in a child process with bounded
  memory and time: each ends in a summary or in one clean error line.
* Archives of the shapes that once broke the budgets (shared data, long
  names, huge integers, pathological texts; see crafted.py), in generated
  combinations and sizes, are shown, compared and extracted in a child
  process with bounded memory and CPU time per command.
* Generated pickle streams (any opcodes, small arguments) are read, surveyed
  and summarized in-process within small budgets: nothing but ArchiveError.
* Generated data-only streams and pickled plain values read the same as an
  ordinary load reads them.
"""

import contextlib
import json
import pickle
import struct
import sys

import crafted
import pytest
from hypothesis import HealthCheck, Phase, event, given, settings
from hypothesis import strategies as st
from commands import CONTROL, SANITIZED, SANITIZER_FACTOR, TIME_BOUND, run_bounded, run_script
from support import child_environment, flip_bits, make_tree

from figvault import reader
from figvault.reader import ArchiveError, Budget, Limits
from figvault.reader.budget import MAX_OUTPUT
from figvault.view.function import describe_function
from figvault.view.summary import describe_record
from figvault.view.values import describe_value

SETTINGS = dict(
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)

# ---------------------------------------------------------------------------
# Mutated archives through the command line
# ---------------------------------------------------------------------------

MAKE = '''\
import numpy as np
from figvault.src.archive import archive


def plot(data, label, sizes):
    return data


archive("real.fv")(plot)(np.arange(6.0).reshape(2, 3), "wave", {"a": [1, 2.5], "b": (None, b"x")})
'''

# Shows every file given (as text, then as JSON) in one child; prints the
# outcomes as JSON: [exit status, stdout, stderr] per run.
CHILD = r"""
import contextlib, io, json, sys
from figvault import cli

results = []
for path in json.loads(sys.argv[1]):
    for extra in ([], ["--json"]):
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            try:
                status = cli.main(["show", path, *extra])
            except SystemExit as stop:
                status = stop.code
            except BaseException as error:
                status = "escaped: " + type(error).__name__
        results.append([status, out.getvalue(), err.getvalue()])
sys.stdout.write(json.dumps(results))
"""

# Each case of a batch may take this long on average.
SECONDS_PER_CASE = 2


@pytest.fixture(scope="module")
def real_archive(tmp_path_factory):
    root = make_tree(tmp_path_factory.mktemp("real"), {"make.py": MAKE, "lib/util.py": "y = 2\n"})
    run_script("make.py", root)
    return (root / "real.fv").read_bytes()


def mutations(data):
    size = len(data)
    return st.one_of(
        st.integers(0, size - 1).map(lambda end: data[:end]),
        st.lists(st.integers(0, size * 8 - 1), min_size=1, max_size=4).map(lambda bits: flip_bits(data, bits)),
        st.tuples(st.integers(0, size - 1), st.binary(min_size=1, max_size=9)).map(
            lambda change: data[: change[0]] + change[1] + data[change[0] :]
        ),
        st.tuples(st.integers(0, size - 1), st.binary(min_size=1, max_size=9)).map(
            lambda change: data[: change[0]] + change[1] + data[change[0] + len(change[1]) :]
        ),
    )


def show_batch(folder, contents):
    paths = []
    for index, content in enumerate(contents):
        path = folder / f"{index}.fv"
        path.write_bytes(content)
        paths.append(str(path))
    child = run_bounded(
        [sys.executable, "-c", CHILD, json.dumps(paths)],
        cwd=folder,
        env=child_environment(),
        timeout=SECONDS_PER_CASE * len(contents) + 20,
    )
    assert child.returncode == 0, child.stderr[-3000:]
    return json.loads(child.stdout)


def test_the_real_archive_is_shown(real_archive, tmp_path):
    [(status, out, err), (json_status, json_out, _)] = show_batch(tmp_path, [real_archive])
    assert (status, err, json_status) == (0, "", 0)
    assert "code      matches ./make.py" in out
    assert json.loads(json_out)["args"][0]["shape"] == [2, 3]


@settings(max_examples=8, **SETTINGS)
@given(data=st.data())
def test_mutated_archives_are_shown_or_refused_in_one_line(real_archive, tmp_path_factory, data):
    contents = data.draw(st.lists(mutations(real_archive), min_size=30, max_size=30))
    results = show_batch(tmp_path_factory.mktemp("mutated"), contents)
    for index, (status, out, err) in enumerate(results):
        as_json = index % 2 == 1
        event(f"exit {status}")
        assert status in (0, 1), (status, err)
        assert not CONTROL.search(out.replace("\n", "")), out
        if status == 1:
            lines = err.splitlines()
            assert len(lines) == 1 and lines[0].startswith("figvault: error: "), err
            assert not CONTROL.search(lines[0])
            if as_json:
                assert "error" in json.loads(out)
        else:
            assert err == ""
            if as_json:
                assert set(json.loads(out)) >= {"function", "args", "files", "warnings"}


# ---------------------------------------------------------------------------
# The shapes that once broke the budgets, through the command line
# ---------------------------------------------------------------------------

# Runs each command (a JSON list of argument lists) in-process within CPU
# seconds: past them SIGPROF ends the child, and the command that ran is the
# last one announced on stderr. Prints [exit status, characters printed,
# stderr] per command as JSON.
SHAPES_CHILD = r"""
import contextlib, io, json, signal, sys
from figvault import cli

seconds = float(sys.argv[2])
results = []
for args in json.loads(sys.argv[1]):
    sys.__stderr__.write(" ".join(args) + "\n")
    sys.__stderr__.flush()
    out, err = io.StringIO(), io.StringIO()
    signal.setitimer(signal.ITIMER_PROF, seconds)
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = cli.main(args)
        except SystemExit as stop:
            status = stop.code
        except BaseException as error:
            status = "escaped: " + type(error).__name__
    signal.setitimer(signal.ITIMER_PROF, 0)
    results.append([status, len(out.getvalue()), err.getvalue()])
sys.stdout.write(json.dumps(results))
"""

SHAPE_COMMANDS = [
    ["show", "old.fv"],
    ["show", "old.fv", "--json"],
    ["diff", "old.fv", "new.fv"],
    ["extract", "old.fv", "--folder", "out"],
]
# CPU seconds one command may take.
CPU_BOUND = TIME_BOUND * (SANITIZER_FACTOR if SANITIZED else 1)
# Python's own words for an int too long to turn into text, and ours for an
# error that no archive should cause.
FOREIGN_WORDS = ("Exceeds the limit", "set_int_max_str_digits", "cannot be inspected")


@st.composite
def shapes(draw, family):
    """Every ingredient of one family of crafted.FAMILIES, each with a size."""
    return [(ingredient, draw(st.integers(*sizes))) for ingredient, sizes in crafted.FAMILIES[family].items()]


@pytest.mark.parametrize(
    "family",
    [
        "shared",
        "names",
        "ints",
        "texts",
    ],
)
@settings(max_examples=3, phases=[Phase.explicit, Phase.generate], **SETTINGS)
@given(data=st.data())
def test_shapes_that_broke_budgets_are_answered_within_bounds(tmp_path_factory, family, data):
    ingredients = data.draw(shapes(family))
    folder = tmp_path_factory.mktemp(family)
    (folder / "old.fv").write_bytes(crafted.archive_bytes(ingredients))
    (folder / "new.fv").write_bytes(crafted.archive_bytes(ingredients, variant=1))
    child = run_bounded(
        [sys.executable, "-c", SHAPES_CHILD, json.dumps(SHAPE_COMMANDS), str(CPU_BOUND)],
        cwd=folder,
        env=child_environment(),
        timeout=3 * CPU_BOUND * len(SHAPE_COMMANDS),
    )
    ran = child.stderr.splitlines()[-1] if child.stderr else "?"
    assert child.returncode == 0, f"{ran}: more than {CPU_BOUND} s of CPU, or a crash ({child.returncode})"
    results = json.loads(child.stdout)
    for args, (status, printed, err) in zip(SHAPE_COMMANDS, results):
        assert status in (0, 1), (args, status, err)
        assert printed <= MAX_OUTPUT
        assert not any(words in err for words in FOREIGN_WORDS), (args, err)
        if status:
            lines = err.splitlines()
            assert len(lines) == 1 and lines[0].startswith("figvault: error: "), (args, err)
        else:
            assert err == "", (args, err)
    assert results[-1][0] == 0, "extract restores the sources of any of them"


# ---------------------------------------------------------------------------
# Generated streams, in-process within small budgets
# ---------------------------------------------------------------------------

SMALL = Limits(depth=50, nodes=2000, memo=100, allocation=64 * 1024, output=64 * 1024, path_parts=16, parse_bytes=4096)


def short_text(opcode, alphabet=st.characters(codec="utf-8")):
    return st.text(alphabet, max_size=12).map(lambda t: opcode + bytes([len(t.encode("utf-8", "surrogatepass"))]) + t.encode("utf-8", "surrogatepass"))


def u8(opcode):
    return st.integers(0, 255).map(lambda n: opcode + bytes([n]))


DATA_OPCODES = st.one_of(
    st.sampled_from(
        [b"N", b"\x88", b"\x89", b")", b"]", b"}", b"(", b"t", b"l", b"d", b"e", b"a", b"s", b"u",
         b"\x85", b"\x86", b"\x87", b"0", b"1", b"2", b"\x94", b"\x8f", b"\x90", b"\x91"]
    ),
    u8(b"K"),
    u8(b"q"),
    u8(b"h"),
    st.integers(-(2**31), 2**31 - 1).map(lambda n: b"J" + struct.pack("<i", n)),
    st.integers(-(2**63), 2**63).map(lambda n: b"\x8a" + bytes([9]) + n.to_bytes(9, "little", signed=True)),
    st.floats(allow_nan=True).map(lambda x: b"G" + struct.pack(">d", x)),
    short_text(b"\x8c"),
    st.binary(max_size=12).map(lambda b: b"C" + bytes([len(b)]) + b),
)

CALLING_OPCODES = st.sampled_from(
    [b"cos\nsystem\n", b"\x93", b"R", b"\x81", b"\x92", b"b", b"(ios\nsystem\n", b"o", b"Pid\n", b"Q",
     b"\x82\x01", b"\x97", b"\x98", b"\x95\x01\x00\x00\x00\x00\x00\x00\x00", b"I01\n", b"L12345L\n",
     b"F1.5\n", b"S'a\\x00'\n", "V\u00e9\n".encode(), b"g1\n", b"p1\n", b"\x8e\x02\x00\x00\x00\x00\x00\x00\x00ab"]
)


def stream(opcodes):
    return st.lists(opcodes, max_size=60).map(lambda ops: b"\x80\x04" + b"".join(ops) + b".")


@settings(max_examples=400, **SETTINGS)
@given(data=stream(st.one_of(DATA_OPCODES, CALLING_OPCODES)))
def test_generated_streams_end_in_archive_errors_only(data):
    budget = Budget(SMALL)
    try:
        value = reader.loads(data, budget=budget)
    except ArchiveError as error:
        event("refused: " + type(error).__name__)
        return
    event("read")
    with contextlib.suppress(ArchiveError):
        reader.walk(value, budget)
        describe_value(value)
        describe_function(value)
        if type(value) is dict:
            describe_record(value, budget)


def normalized(value, memo=None):
    """A read value as an ordinary load would make it (sets and unhashed
    keys made real again), keeping shared and cyclic structure."""
    memo = {} if memo is None else memo
    if id(value) in memo:
        return memo[id(value)]
    kind = type(value)
    if kind is reader.OpaqueKey:
        return normalized(value.value, memo)
    if kind is list:
        made = memo[id(value)] = []
        made.extend(normalized(item, memo) for item in value)
        return made
    if kind is dict:
        made = memo[id(value)] = {}
        for key, item in value.items():
            made[normalized(key, memo)] = normalized(item, memo)
        return made
    if kind is tuple:
        return tuple(normalized(item, memo) for item in value)
    if kind is reader.StreamSet:
        items = [normalized(item, memo) for item in value.items]
        made = set(items) if value.kind == "set" else frozenset(items)
        memo[id(value)] = made
        return made
    return value


def ordinary(data):
    try:
        return "ok", pickle.loads(data)
    except RecursionError:
        return "deep", None
    except Exception as error:  # noqa: BLE001 - any refusal of the stream
        return "error", type(error).__name__


@settings(max_examples=600, **SETTINGS)
@given(data=stream(DATA_OPCODES))
def test_data_streams_read_as_an_ordinary_load_reads_them(data):
    expected = ordinary(data)
    try:
        value = reader.loads(data)
    except ArchiveError:
        event(f"both refused ({expected[1]})" if expected[0] != "ok" else "only the reader refused")
        assert expected[0] != "ok", f"an ordinary load reads {expected[1]!r}"
        return
    event("both read" if expected[0] == "ok" else f"only the reader read ({expected[1]})")
    if expected[0] == "ok":
        assert repr(normalized(value)) == repr(expected[1])


def plain_values(protocol):
    """Plain data that pickles as data (no calls) at ``protocol``: bytes need
    protocol 3, sets protocol 4."""
    leaves = [st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.text(max_size=20)]
    if protocol >= 3:
        leaves.append(st.binary(max_size=20))
    keys = st.one_of(st.text(max_size=8), st.integers(), st.floats(allow_nan=False), st.tuples(st.integers()))

    def containers(inner):
        options = [
            st.lists(inner, max_size=5),
            st.lists(inner, max_size=5).map(tuple),
            st.dictionaries(keys, inner, max_size=5),
        ]
        if protocol >= 4:
            options.append(st.frozensets(st.one_of(st.integers(), st.text(max_size=5)), max_size=5))
        return st.one_of(options)

    return st.recursive(st.one_of(leaves), containers, max_leaves=30)


@settings(max_examples=300, **SETTINGS)
@given(data=st.data(), protocol=st.integers(0, pickle.HIGHEST_PROTOCOL))
def test_pickled_plain_values_read_back_equal(data, protocol):
    value = data.draw(plain_values(protocol))
    read = reader.loads(pickle.dumps(value, protocol=protocol))
    assert normalized(read) == value
    described = describe_value(read)
    assert described["type"] == type(value).__name__
    assert described["value"] is not None
