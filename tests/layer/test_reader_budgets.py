"""The reader's budgets: hostile or merely unusual files end in one clean
error line (or a bounded summary) within bounded time and memory, through
the command line, and the library raises LimitError naming each budget."""

import copyreg
import io
import json
import os
import pickle
import struct
import sys
import threading

import crafted
import pytest
from commands import CONTROL, TIME_BOUND, one_error_line, run_cli, run_script
from support import listing, make_tree

from figvault import reader, view
from figvault.reader import ArchiveError, Budget, LimitError, Limits
from figvault.reader.budget import MAX_OUTPUT
from figvault.view.summary import describe_record, summarize_archive

P = 2**61 - 1  # integers that are multiples of it share one hash


def put(i):
    return b"r" + struct.pack("<I", i)


def get(i):
    return b"j" + struct.pack("<I", i)


def record_stream(args=b"}", files=b"}", func=b"N"):
    """A protocol 4 record {"args": ARGS, "files": FILES, "func": FUNC} from opcode texts."""
    return b"\x80\x04}(\x8c\x04args" + args + b"\x8c\x05files" + files + b"\x8c\x04func" + func + b"u."


# ---------------------------------------------------------------------------
# The four files from the report: one clean error line within 10 s and 1 GB
# ---------------------------------------------------------------------------

DAG = b"K\x01" + put(0) + b"0" + b"".join(b"(" + get(i - 1) * 2 + b"l" + put(i) + b"0" for i in range(1, 41)) + get(40)

REPORTED = {
    "deep-tuple-key": (b"\x80\x04}" + b")" + b"\x85" * 10**6 + b"Ns.", "exceeds"),
    "shared-list-dag": (b"\x80\x04" + DAG + b".", "not an archive record"),
    "escapes-in-name": (b"\x80\x02c\x1b]2;owned\x07\x1b[31mos\nsystem\n)R.", "not an archive record"),
    "declared-3-gb": (b"\x80\x05\x96" + (3 << 30).to_bytes(8, "little") + b"ab.", "exceeds the 3 bytes left in the file"),
}


@pytest.mark.parametrize("name", list(REPORTED))
def test_reported_files_end_in_one_error_line(tmp_path, name):
    content, fragment = REPORTED[name]
    (tmp_path / "a.fv").write_bytes(content)
    line = one_error_line(run_cli("show", "a.fv", bounded=True, cwd=tmp_path), fragment)
    assert "\x1b" not in line and "\x07" not in line


def test_dag_shared_list_is_summarized_once_per_object():
    # The same 41 lists on 2**40 paths: every walk visits each list once.
    record = reader.loads(b"\x80\x04" + record_stream(args=b"}\x8c\x01x" + DAG + b"s")[2:])
    surveyed = reader.walk(record)
    assert surveyed.depth == 42  # record, args, then 40 nested lists
    assert len(surveyed.nodes) == 3 + 40  # record, args, files and the lists
    assert describe_record(record)["args"][0]["type"] == "list"


# ---------------------------------------------------------------------------
# More hostile files through the command line
# ---------------------------------------------------------------------------


NAME = "n" * 2**20  # one 1 MB name
TEXT = "x = 1\n" * (4 * 2**20 // 6)  # one 4 MB text


def _colliding_int_keys(count):
    keys = []
    for k in range(1, count + 1):
        data = (k * P).to_bytes((k * P).bit_length() // 8 + 1, "little", signed=True)
        keys.append(b"\x8a" + bytes([len(data)]) + data + b"K\x00")
    return b"}(" + b"".join(keys) + b"u"


def hostile_files():
    """name -> (archive bytes, expected exit status, fragment of stdout or stderr)."""
    module = "def f(x):\n    return x\n" + "y = [" + "1," * (2 * 2**20) + "]\n"
    by_reference = pickle.dumps({"args": {"x": 1}, "files": {"./mod.py": module}, "func": len}, protocol=3)
    by_reference = by_reference.replace(b"cbuiltins\nlen\n", b"cmod\nf\n")
    chain = b"cm\nf\n" + b"(tR" * 5000
    shared = (1,)
    for _ in range(40):
        shared = (shared, shared)  # 2**40 paths through 41 tuples
    source = {"./x.py": "def f(a):\n    return None\n"}
    return {
        "shared-tuples-in-code-constants": (
            pickle.dumps({"args": {"a": 1}, "files": source, "func": crafted.Function(crafted.Code(filename="x.py", consts=(None, shared)))}, protocol=4),
            0,
            # The record's bytecode is 3.11's, which 3.12 reads alike; 3.13 does not check it.
            "DOES NOT come from ./x.py" if sys.version_info < (3, 13) else "not checked: the code was saved by Python 3.11",
        ),
        "negative-keyword-count": (
            pickle.dumps({"args": {"a": 1}, "files": {}, "func": crafted.Function(crafted.Code(kwonly=-5, filename="x.py"))}, protocol=4), 0, "Function   f\n"
        ),
        "call-chain-as-record": (b"\x80\x02" + chain + b".", 1, "not an archive record"),
        "call-chain-as-function": (b"(dS'files'\n(dsS'func'\n" + chain + b"s.", 1, "nesting depth"),
        "name-shared-by-1000-parameters": (
            pickle.dumps({"args": {"a": 1}, "files": {}, "func": crafted.Function(crafted.Code(1000, varnames=(NAME,) * 1000, filename="x.py"))}, protocol=4),
            0,
            "nnn...",
        ),
        "1-mb-argument-name": (pickle.dumps({"args": {NAME: 1, **{f"a{i}": i for i in range(1000)}}, "files": {}, "func": len}), 0, "a999"),
        "text-shared-by-100000-keys": (
            pickle.dumps({"args": {}, "files": {f"./f{i}.py": TEXT for i in range(100_000)}, "func": len}), 0, "./f99999.py"
        ),
        "20000-part-file-key": (
            pickle.dumps({"args": {}, "files": {"./" + "a/" * 20000 + "x.py": "x"}, "func": len}), 1, "a file path of 20,001 parts exceeds 256 parts"
        ),
        "4-mb-module-to-compile": (by_reference, 1, "exceeds 524,288 bytes"),
        "50000-colliding-int-keys": (record_stream(args=b"}\x8c\x01x" + _colliding_int_keys(50_000) + b"s"), 0, "x     dict"),
        "deep-tuple-key-in-arguments": (record_stream(args=b"}\x8c\x01x}" + b")" + b"\x85" * 400_000 + b"Nss"), 1, "nesting depth"),
    }


HOSTILE = [
    "shared-tuples-in-code-constants",
    "negative-keyword-count",
    "call-chain-as-record",
    "call-chain-as-function",
    "name-shared-by-1000-parameters",
    "1-mb-argument-name",
    "text-shared-by-100000-keys",
    "20000-part-file-key",
    "4-mb-module-to-compile",
    "50000-colliding-int-keys",
    "deep-tuple-key-in-arguments",
]


@pytest.fixture(scope="module")
def hostile(tmp_path_factory):
    """A folder holding NAME.fv for every hostile file; returns (folder, {name: (status, fragment)})."""
    folder = tmp_path_factory.mktemp("hostile")
    expected = {}
    for name, (content, status, fragment) in hostile_files().items():
        (folder / f"{name}.fv").write_bytes(content)
        expected[name] = (status, fragment)
    assert sorted(expected) == sorted(HOSTILE)
    return folder, expected


@pytest.mark.parametrize("name", HOSTILE)
def test_hostile_files_are_shown_or_refused_within_bounds(hostile, name):
    hostile, expected = hostile
    status, fragment = expected[name]
    done = run_cli("show", f"{name}.fv", bounded=True, cwd=hostile, timeout=3 * TIME_BOUND)
    if status == 1:
        one_error_line(done, fragment)
        return
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert fragment in done.stdout
    assert not CONTROL.search(done.stdout.replace("\n", ""))
    # Every printed line is bounded, whatever the names in the file.
    assert max(len(line) for line in done.stdout.splitlines()) < 2000
    assert len(done.stdout) < MAX_OUTPUT



# Python's own words for an int too long to turn into text (or back).
PYTHON_DIGITS_ERROR = ("Exceeds the limit", "set_int_max_str_digits")

CRAFTED = {
    # name: the ingredients of both archives (see crafted.py)
    "1-mb-global-name-in-3000-arguments": [(crafted.long_name, 2**20)],
    "200-kb-int-and-first-line-number": [(crafted.huge_ints, 200_000)],
    "one-state-given-5000-times": [(crafted.shared_states, 20_000)],
    "one-keywords-dict-for-5000-calls": [(crafted.shared_keywords, 20_000)],
}


@pytest.mark.parametrize("command", [["show", "old.fv"], ["show", "old.fv", "--json"], ["diff", "old.fv", "new.fv"]], ids=["show", "json", "diff"])
@pytest.mark.parametrize("name", list(CRAFTED))
def test_shared_names_numbers_and_data_are_described_within_bounds(tmp_path, name, command):
    # Names are cut before they are joined, numbers never turned into text
    # past Python's limit, and what the stream shares is looked at once.
    (tmp_path / "old.fv").write_bytes(crafted.archive_bytes(CRAFTED[name]))
    (tmp_path / "new.fv").write_bytes(crafted.archive_bytes(CRAFTED[name], variant=1))
    done = run_cli(*command, bounded=True, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert len(done.stdout) < 4 * 2**20
    assert not any(text in done.stdout for text in PYTHON_DIGITS_ERROR)


NUMBERS = {
    "first-line-of-5000-digits": crafted.archive_bytes([(crafted.huge_ints, 2100)]),
    "text-int-of-5000-digits": b"(dS'args'\n(dS'a'\nI" + b"9" * 5000 + b"\nssS'files'\n(dsS'func'\nNs.",
    "memo-index-of-5000-digits": b"(dS'args'\n(dS'a'\ng" + b"9" * 5000 + b"\nssS'files'\n(dsS'func'\nNs.",
}


@pytest.mark.parametrize("extra", [[], ["--json"]], ids=["text", "json"])
@pytest.mark.parametrize("name", list(NUMBERS))
def test_numbers_past_pythons_digit_limit_are_told_in_our_words(tmp_path, name, extra):
    (tmp_path / "n.fv").write_bytes(NUMBERS[name])
    done = run_cli("show", "n.fv", *extra, bounded=True, cwd=tmp_path)
    assert not any(text in done.stdout + done.stderr for text in PYTHON_DIGITS_ERROR)
    if done.returncode:
        one_error_line(done, "n.fv: a number of 5,000 digits exceeds 4,300 digits")
    else:
        assert "line" not in json.loads(done.stdout)["function"] if extra else "Function   f(a)" in done.stdout


def test_each_archive_of_a_diff_has_its_own_read_budget(tmp_path):
    # Two archives that show reads within the budget are compared within it.
    text = f"value = {'1' * 100}\n" * 5000
    for name, changed in (("old.fv", text), ("new.fv", text + "more = 2\n")):
        (tmp_path / name).write_bytes(pickle.dumps({"args": {}, "files": {"./a.py": changed}, "func": len}))
    limits = Limits(allocation=int(1.5 * len(text)))
    for name in ("old.fv", "new.fv"):
        assert view.show(str(tmp_path / name), Budget(limits))
    report, same = view.diff(str(tmp_path / "old.fv"), str(tmp_path / "new.fv"), Budget(limits), stat=True)
    assert "changed  ./a.py  +1 -0" in report and not same, report
    with pytest.raises(LimitError, match="the data read from the archive exceeds"):
        view.show(str(tmp_path / "new.fv"), Budget(Limits(allocation=len(text) // 2)))


def test_extract_reads_every_archive_that_archive_writes(tmp_path):
    # A million-element argument: more operations than show reads, which
    # extract skips without making them.
    make_tree(tmp_path, {"make.py": "from figvault import archive\n\ndef f(x):\n    return len(x)\n\narchive('big.fv')(f)(list(range(1_000_000)))\n"})
    run_script("make.py", tmp_path)
    one_error_line(run_cli("show", "big.fv", bounded=True, cwd=tmp_path), "the number of pickle operations exceeds 1,000,000")
    done = run_cli("extract", "big.fv", "--folder", "out", bounded=True, cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (0, "./make.py\n", "")
    assert listing(tmp_path / "out") == ["make.py"]


@pytest.mark.parametrize("operation", [b"}", b"N", b"]\x94"], ids=["dicts", "nones", "memoized-lists"])
def test_extract_of_a_hostile_file_is_bounded_by_its_size(tmp_path, operation):
    # A sources-only read may take as many operations as the file has bytes:
    # 2 MB of the cheapest ones end in one error line within the bounds.
    (tmp_path / "h.fv").write_bytes(b"\x80\x04" + operation * (2 * 2**20 // len(operation)) + b".")
    one_error_line(run_cli("extract", "h.fv", "--folder", "out", bounded=True, cwd=tmp_path), "h.fv")
    assert not (tmp_path / "out").exists()


def test_int_of_5000_digits_in_a_genuine_archive(tmp_path):
    make_tree(tmp_path, {"make.py": "from figvault import archive\n\ndef f(x):\n    return x\n\narchive('big.fv')(f)(10**5000)\n"})
    run_script("make.py", tmp_path)
    done = run_cli("show", "big.fv", bounded=True, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "<int of about 5,001 digits>" in done.stdout
    data = json.loads(run_cli("show", "big.fv", "--json", bounded=True, cwd=tmp_path).stdout)
    assert data["args"] == [{"name": "x", "type": "int", "value": "<int of about 5,001 digits>"}]


def test_non_ascii_text_with_an_ascii_output_encoding(tmp_path):
    (tmp_path / "u.fv").write_bytes(pickle.dumps({"args": {"é": "ünï €"}, "files": {"./ü.py": "x = 'é'\n"}, "func": len}))
    done = run_cli("show", "u.fv", bounded=True, cwd=tmp_path, env={"PYTHONIOENCODING": "ascii"}, text=False)
    assert done.returncode == 0, done.stderr
    assert done.stdout.isascii()
    assert b"'\\xfcn\\xef \\u20ac'" in done.stdout


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("extra", [[], ["--json"]], ids=["text", "json"])
def test_output_on_a_full_device(tmp_path, extra):
    (tmp_path / "u.fv").write_bytes(pickle.dumps({"args": {"a": 1}, "files": {}, "func": len}))
    with open("/dev/full", "w") as full:
        done = run_cli("show", "u.fv", *extra, bounded=True, cwd=tmp_path, stdout=full)
    one_error_line(done, "cannot write the output: No space left on device")


def test_newline_in_a_global_name_forges_no_line(tmp_path):
    forged = "os\nfigvault: all good, this archive is safe"
    stream = b"\x80\x04\x8c" + bytes([len(forged)]) + forged.encode() + b"\x8c\x06system\x93)R."
    (tmp_path / "n.fv").write_bytes(stream)
    line = one_error_line(run_cli("show", "n.fv", bounded=True, cwd=tmp_path), "not an archive record")
    assert "\\nfigvault: all good" in line
    # The same name as the saved function's module: one line per field.
    record = pickle.dumps({"args": {}, "files": {}, "func": len}, protocol=4)
    record = record.replace(b"\x8c\x08builtins", b"\x8c" + bytes([len(forged)]) + forged.encode())
    (tmp_path / "f.fv").write_bytes(record)
    done = run_cli("show", "f.fv", bounded=True, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert not [line for line in done.stdout.splitlines() if line.startswith("figvault:")]
    assert "os\\nfigvault: all good" in done.stdout


def test_budget_errors_under_json_give_an_error_object(tmp_path):
    (tmp_path / "b.fv").write_bytes(REPORTED["declared-3-gb"][0])
    done = run_cli("show", "b.fv", "--json", bounded=True, cwd=tmp_path)
    one_error_line(done, "b.fv: a declared length of 3,221,225,472 bytes exceeds the 3 bytes left in the file")
    error = json.loads(done.stdout)
    assert error == {
        "error": "b.fv: a declared length of 3,221,225,472 bytes exceeds the 3 bytes left in the file",
        "archive": "b.fv",
        "what": "a declared length of 3,221,225,472 bytes",
        "limit": "the 3 bytes left in the file",
    }


# ---------------------------------------------------------------------------
# Each budget, named by the library
# ---------------------------------------------------------------------------


def read(data, **limits):
    return reader.loads(data, budget=Budget(Limits(**limits)))


BUDGETS = {
    # name: (stream, limits, fragment of the message)
    "operations": (b"\x80\x04" + b"N0" * 100 + b"N.", {"nodes": 50}, "the number of pickle operations exceeds 50"),
    "memo": (b"\x80\x04N" + b"".join(put(i) for i in range(20)) + b".", {"memo": 10}, "the number of memo entries exceeds 10"),
    "memo-index": (b"(p99999999999\n.", {}, "a memo index of 99,999,999,999 exceeds 4,294,967,295"),
    "allocation": (b"\x80\x04" + b"\x8c\x10" + b"x" * 16 + b"0" + b"\x8c\x10" + b"y" * 16 + b".", {"allocation": 40}, "the data read from the archive exceeds 40 bytes"),
    "text-line": (b"S'" + b"x" * 100 + b"'\n.", {"allocation": 50}, "exceeds 50 bytes"),
    "number": (b"L" + b"1" * 4301 + b"L\n.", {}, "a number of 4,301 digits exceeds 4,300 digits"),
    "marks": (b"(" * 30 + b"N.", {"depth": 20}, "the nesting depth of the archive's data exceeds 20 levels"),
}


@pytest.mark.parametrize("name", list(BUDGETS))
def test_each_reading_budget_has_its_own_error(name):
    data, limits, fragment = BUDGETS[name]
    with pytest.raises(LimitError) as caught:
        read(data, **limits)
    assert fragment in str(caught.value)
    assert str(caught.value) == f"{caught.value.what} exceeds {caught.value.limit}"


DECLARED = {
    "BINBYTES8": b"\x8e" + (1 << 40).to_bytes(8, "little"),
    "BINUNICODE8": b"\x8d" + (1 << 40).to_bytes(8, "little"),
    "BYTEARRAY8": b"\x96" + (1 << 40).to_bytes(8, "little"),
    "BINBYTES": b"B" + (2**32 - 1).to_bytes(4, "little"),
    "BINUNICODE": b"X" + (2**32 - 1).to_bytes(4, "little"),
    "LONG4": b"\x8b" + (2**31 - 1).to_bytes(4, "little"),
    "FRAME": b"\x95" + (1 << 40).to_bytes(8, "little"),
}


@pytest.mark.parametrize("opcode", list(DECLARED))
def test_declared_lengths_are_checked_against_the_bytes_left(opcode):
    with pytest.raises(LimitError, match=r"the \d+ bytes left in the file"):
        reader.loads(b"\x80\x05" + DECLARED[opcode] + b"abc.")


def test_declared_lengths_on_a_pipe_are_read_piece_by_piece():
    # No size to check against: the reader takes what arrives, never more.
    reading, writing = os.pipe()
    data = b"\x80\x05\x8e" + (1 << 40).to_bytes(8, "little") + b"x" * (3 << 20)

    def feed():
        try:
            with open(writing, "wb") as pipe:
                pipe.write(data)
        except BrokenPipeError:
            pass  # the reader stopped early

    writer = threading.Thread(target=feed)
    writer.start()
    with open(reading, "rb") as pipe:
        with pytest.raises(LimitError, match="the data read from the archive exceeds"):
            reader.load(pipe, budget=Budget(Limits(allocation=1 << 30)))
    writer.join()
    reading, writing = os.pipe()
    data = b"\x80\x05\x8e" + (8 << 20).to_bytes(8, "little") + b"x" * (3 << 20)
    writer = threading.Thread(target=feed)
    writer.start()
    with open(reading, "rb") as pipe:
        with pytest.raises(ArchiveError, match="the data ends before the end"):
            reader.load(pipe)
    writer.join()


def test_walk_budgets(tmp_path):
    deep = reader.loads(b"\x80\x04" + b"]" * 50 + b"a" * 49 + b".")
    with pytest.raises(LimitError, match="nesting depth of the archive's data exceeds 20 levels"):
        reader.walk(deep, Budget(Limits(depth=20)))
    wide = reader.loads(b"\x80\x04](" + b"]" * 100 + b"e.")
    with pytest.raises(LimitError, match="the number of objects to inspect exceeds 50"):
        reader.walk(wide, Budget(Limits(nodes=50)))
    assert reader.walk(wide).depth == 2


def test_output_path_and_parse_budgets(tmp_path):
    (tmp_path / "a.fv").write_bytes(pickle.dumps({"args": {f"a{i}": i for i in range(100)}, "files": {}, "func": len}))
    with pytest.raises(LimitError, match="the output exceeds 1,000 characters"):
        summarize_archive(str(tmp_path / "a.fv"), Budget(Limits(output=1000)))
    (tmp_path / "p.fv").write_bytes(pickle.dumps({"args": {}, "files": {"./a/b/c/d/e.py": ""}, "func": len}))
    with pytest.raises(LimitError, match="a file path of 5 parts exceeds 4 parts"):
        summarize_archive(str(tmp_path / "p.fv"), Budget(Limits(path_parts=4)))
    record = pickle.dumps({"args": {}, "files": {"./mod.py": "def f():\n    pass\n" * 10}, "func": len}, protocol=3)
    (tmp_path / "m.fv").write_bytes(record.replace(b"cbuiltins\nlen\n", b"cmod\nf\n"))
    with pytest.raises(LimitError, match=r"the source ./mod.py to compile \(180 bytes\) exceeds 100 bytes"):
        summarize_archive(str(tmp_path / "m.fv"), Budget(Limits(parse_bytes=100)))
    assert summarize_archive(str(tmp_path / "m.fv")).report["function"]["source_line"] == 19  # the last definition


# ---------------------------------------------------------------------------
# Keys an attacker chooses are never hashed unbounded
# ---------------------------------------------------------------------------


def test_risky_keys_are_kept_unhashed():
    deep_key = b")" + b"\x85" * 100_000
    value = reader.loads(b"\x80\x04}(" + deep_key + b"NK\x01K\x02u.")
    keys = list(value)
    assert isinstance(keys[0], reader.OpaqueKey) and type(keys[0].value) is tuple
    assert keys[1] == 1 and value[1] == 2
    colliding = reader.loads(b"\x80\x04" + _colliding_int_keys(2000) + b".")
    assert len(colliding) == 2000
    assert all(isinstance(key, reader.OpaqueKey) for key in colliding)
    # Sets keep their items unhashed.
    value = reader.loads(pickle.dumps({(1, 2), 3}, protocol=4))
    assert isinstance(value, reader.StreamSet) and sorted(map(repr, value.items)) == ["(1, 2)", "3"]


@pytest.mark.parametrize("unhashable", [b"]", b"}", b"\x8f"], ids=["list", "dict", "set"])
def test_keys_that_a_real_load_cannot_hash_are_refused(unhashable):
    with pytest.raises(ArchiveError, match="cannot be hashed"):
        reader.loads(b"\x80\x04}" + unhashable + b"Ns.")


def test_extension_codes_leave_the_copyreg_cache_alone():
    code = 0x7FFFFF00
    copyreg.add_extension("collections", "OrderedDict", code)
    try:
        stream = b"\x80\x02\x84" + struct.pack("<i", code) + b"."
        found = reader.loads(stream)
        assert isinstance(found, reader.Global) and found.dotted == "collections.OrderedDict"
        import collections

        assert pickle.loads(stream) is collections.OrderedDict
        assert code not in copyreg._extension_cache or copyreg._extension_cache[code] is collections.OrderedDict
    finally:
        copyreg.remove_extension("collections", "OrderedDict", code)


def test_a_record_keyed_twice_records_the_duplicate(tmp_path):
    stream = b"\x80\x04}(\x8c\x04funcN\x8c\x05files}\x8c\x04func\x8c\x05posix\x8c\x06system\x93u."
    (tmp_path / "d.fv").write_bytes(stream)
    record, info = reader.read_record(tmp_path / "d.fv")
    assert info.duplicate_keys(record) == (["func"], 1)
    assert record["func"].dotted == "posix.system"


def test_reading_in_pieces_of_a_stream_object():
    stream = io.BufferedReader(io.BytesIO(pickle.dumps({"files": {}, "func": b"x" * (200 << 10)})))
    assert len(reader.load(stream)["func"]) == 200 << 10

