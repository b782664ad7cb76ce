"""Crafted archives of the shapes that once broke the reader's budgets, built
opcode by opcode (importable: conftest puts this folder on sys.path).

A record is written as protocol 4 opcodes: {"args": {...}, "files": {...},
"func": ...}. Every object that an ingredient makes once and refers to again
is memoized (LONG_BINPUT) and fetched back (LONG_BINGET), so a small file
can share one text, name, number or container with thousands of places.
Each ingredient is a function (writer, size, variant) that adds arguments,
files or the saved function; ``variant`` 1 makes the "new" archive of a
diff (its texts and numbers differ a little).
"""

import pickle
import struct

import dill


class Writer:
    """Opcodes of one record, with the memo indices they use."""

    def __init__(self):
        self.parts = []
        self.memo = 0
        self.args = []  # (name, write the value)
        self.files = []  # (key, write the text)
        self.func = None  # write the saved function

    def op(self, data):
        self.parts.append(data)

    def put(self):
        """Memoize the object on top of the stack; its memo index."""
        self.op(b"r" + struct.pack("<I", self.memo))
        self.memo += 1
        return self.memo - 1

    def kept(self, write):
        """Memoize what ``write`` pushes, and take it off the stack again; its memo index."""
        write()
        index = self.put()
        self.op(b"0")
        return index

    def get(self, index):
        self.op(b"j" + struct.pack("<I", index))

    def text(self, value):
        data = value.encode("utf-8", "surrogatepass")
        self.op(b"\x8d" + struct.pack("<Q", len(data)) + data)

    def global_(self, module, name):
        """Push the global module.name (STACK_GLOBAL)."""
        self.text(module)
        self.text(name)
        self.op(b"\x93")

    def plain(self, value):
        """Push any value that pickle writes on its own (no memo of its own)."""
        self.op(_unmemoized(value))

    def record(self):
        """The whole stream."""
        self.op(b"\x80\x04}(")
        self.text("args")
        self.op(b"}(")
        for name, write in self.args:
            self.text(name)
            write()
        self.op(b"u")
        self.text("files")
        self.op(b"}(")
        for key, write in self.files:
            self.text(key)
            write()
        self.op(b"u")
        self.text("func")
        if self.func is None:
            self.global_("builtins", "len")
        else:
            self.func()
        self.op(b"u.")
        return b"".join(self.parts)

    def once(self, write):
        """A writer that pushes what ``write`` pushes the first time, and
        fetches the same object from the memo every later time."""
        index = None

        def push():
            nonlocal index
            if index is None:
                write()
                index = self.put()
            else:
                self.get(index)

        return push


def _unmemoized(value):
    """The opcodes of ``value`` (protocol 2, no memo, no frame), to be spliced into a stream."""
    import io

    buffer = io.BytesIO()
    pickler = pickle.Pickler(buffer, protocol=2)
    pickler.fast = True  # no memo: indices would clash with the writer's
    pickler.dump(value)
    return buffer.getvalue()[2:-1]


class Code:
    """Pickles as dill's code constructor with the given fields (3.11 layout)."""

    def __init__(self, argcount=1, kwonly=0, varnames=("a",), filename="./shared.py", qualname="f", consts=(None,),
                 firstlineno=1):
        self.fields = (b"", argcount, 0, kwonly, len(varnames), 1, 3, b"\x97\x00d\x00S\x00", consts, (),
                       varnames, filename, qualname, qualname, firstlineno, b"", b"", (), ())

    def __reduce__(self):
        return (dill._dill._create_code, self.fields)


class Function:
    def __init__(self, code):
        self.code = code

    def __reduce__(self):
        return (dill._dill._create_function, (self.code, {}, "f", None, None))


# ---------------------------------------------------------------------------
# Shared data: one object memo-referenced from thousands of places
# ---------------------------------------------------------------------------


def shared_text(w, size, variant):
    """One text of ``size`` lines shared by 1,000 arguments and 200 files."""
    lines = [f"value_{i} = {i}" for i in range(size)]
    lines[size // 2] += "  # changed" * variant
    text = w.once(lambda: w.text("\n".join(lines) + "\n"))

    def texts():
        w.op(b"](")
        for _ in range(1000):
            text()
        w.op(b"e")

    w.args.append(("texts", texts))
    w.files += [(f"./shared/t{i}.py", text) for i in range(200)]


def shared_dag(w, size, variant):
    """Lists each holding the previous one twice: 2**size paths through size lists."""

    def dag():
        previous = w.kept(lambda: w.op(b"K" + bytes([variant])))
        for _ in range(size):
            previous = w.kept(lambda inner=previous: (w.op(b"("), w.get(inner), w.get(inner), w.op(b"l")))
        w.get(previous)

    w.args.append(("dag", dag))


def shared_states(w, size, variant):
    """The saved function given one state of ``size`` entries 5,000 times."""

    def func():
        w.plain(Function(Code()))
        w.op(b"N(")
        for i in range(size):
            w.text(f"attribute_{i}")
            w.op(b"K" + bytes([variant]))
        w.op(b"d\x86")
        state = w.put()
        w.op(b"b")
        for _ in range(5000):
            w.get(state)
            w.op(b"b")

    w.func = func
    w.files.append(("./shared.py", lambda: w.text("def f(a):\n    return None\n")))


def shared_keywords(w, size, variant):
    """5,000 objects made with one dict of ``size`` keywords."""

    def keywords():
        w.op(b"}(")
        for i in range(size):
            w.text(f"k{i}")
            w.op(b"K" + bytes([variant]))
        w.op(b"u")

    def objects():
        cls = w.kept(lambda: w.global_("m", "C"))
        no_args = w.kept(lambda: w.op(b")"))
        shared = w.kept(keywords)
        w.op(b"](")
        for _ in range(5000):
            w.get(cls)
            w.get(no_args)
            w.get(shared)
            w.op(b"\x92")
        w.op(b"e")

    w.args.append(("objects", objects))


def nested_dtypes(w, size, variant):
    """An array whose structured dtype has 8 fields of one dtype, ``size`` levels deep."""

    def array():
        dtype = w.kept(lambda: w.global_("numpy", "dtype"))
        w.get(dtype)
        w.text("f8")
        w.op(b"\x89\x88\x87R")
        inner = w.put()
        w.op(b"0")
        names = [f"f{i}" for i in range(8)]
        for _ in range(size):
            w.get(dtype)
            w.text("V64")
            w.op(b"\x89\x88\x87R(K\x03")
            w.text("|")
            w.op(b"N(")
            for name in names:
                w.text(name)
            w.op(b"t}(")
            for offset, name in enumerate(names):
                w.text(name)
                w.get(inner)
                w.op(b"K" + bytes([8 * offset]) + b"\x86")
            w.op(b"uK@K\x01K\x10tb")
            inner = w.put()
            w.op(b"0")
        w.global_("numpy.core.multiarray", "_reconstruct")
        w.op(b")R(K\x01K" + bytes([2 + variant]) + b"\x85")
        w.get(inner)
        w.op(b"\x89C\x00tb")

    w.args.append(("array", array))


# ---------------------------------------------------------------------------
# Long names
# ---------------------------------------------------------------------------


def long_name(w, size, variant):
    """One global whose name has ``size`` characters, referred to by 3,000
    arguments, called 3,000 times and imported by name 3,000 times."""
    made = {}

    def name():
        if not made:
            w.text("m" * (1 + variant))
            made["module"] = w.put()
            w.text("n" * size)
            made["name"] = w.put()
            w.op(b"\x93")
            made["global"] = w.put()
        else:
            w.get(made["global"])

    for i in range(3000):
        w.args.append((f"a{i}", name))

    def calls():
        importer = w.kept(lambda: w.global_("dill._dill", "_import_module"))
        w.op(b"](")
        for _ in range(3000):
            name()
            w.op(b")R")
            w.get(importer)
            w.get(made["name"])
            w.op(b"\x85R")
        w.op(b"e")

    w.args.append(("calls", calls))


# ---------------------------------------------------------------------------
# Huge integers
# ---------------------------------------------------------------------------


def huge_ints(w, size, variant):
    """An int of ``size`` bytes shared by 3,000 arguments, a saved function
    whose first line has as many digits, and a numpy dtype code of 6,000 digits."""
    data = b"\x7f" * size + bytes([variant])
    value = w.once(lambda: w.op(b"\x8b" + struct.pack("<i", len(data)) + data))
    for i in range(3000):
        w.args.append((f"i{i}", value))

    def scalar():
        w.global_("numpy.core.multiarray", "scalar")
        w.global_("numpy", "dtype")
        w.text("U" + "9" * 6000)
        w.op(b"\x89\x88\x87RC\x00\x86R")

    w.args.append(("scalar", scalar))
    w.func = lambda: w.plain(Function(Code(firstlineno=256**size + variant)))


# ---------------------------------------------------------------------------
# Pathological texts
# ---------------------------------------------------------------------------


def fstring_source(w, size, variant):
    """A function stored by reference whose module holds one f-string of ``size`` fields."""
    source = "def f():\n    return f'" + "{f}" * size + "'" + " " * variant + "\n"
    w.files.append(("./fmod.py", lambda: w.text(source)))
    w.func = lambda: w.global_("fmod", "f")


def poor_lines(w, size, variant):
    """A file of ``size`` lines drawn from 150 (each too rare to be ignored
    as noise), in an order of their own in each archive: the lines of the
    two archives match poorly."""
    step = 7919 + 2 * variant  # a prime, then its neighbour: other orders
    lines = [f"y = {(i * step) % 65521 % 150}" for i in range(size)]
    w.files.append(("./lines.py", lambda: w.text("\n".join(lines) + "\n")))


# The ingredients by family, with the sizes worth drawing for each.
FAMILIES = {
    "shared": {
        shared_text: (1000, 20_000),
        shared_dag: (20, 60),
        shared_states: (1000, 20_000),
        shared_keywords: (1000, 20_000),
        nested_dtypes: (3, 40),
    },
    "names": {long_name: (100_000, 1_000_000)},
    "ints": {huge_ints: (2000, 200_000)},
    "texts": {fstring_source: (100_000, 170_000), poor_lines: (10_000, 20_000)},
}


def archive_bytes(ingredients, variant=0):
    """The record holding every (ingredient, size) pair given."""
    writer = Writer()
    for ingredient, size in ingredients:
        ingredient(writer, size, variant)
    return writer.record()
