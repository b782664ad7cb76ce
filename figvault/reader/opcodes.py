"""The pickle opcodes the reader understands, one handler each.

Every handler is registered right where it is defined (``@handles(opcode)``,
as ``dispatch[PROTO[0]] = load_proto`` in the standard pickle module), so an
opcode is one edit. A handler takes the running :class:`~.machine.Unpickler`
and works on its stack and memo; what an ordinary load would call or import
is recorded on placeholders instead.
"""

from __future__ import annotations

import codecs
import pickle
import struct
import sys
from typing import TYPE_CHECKING, Any, Callable, NoReturn

from ..terminal import count_text
from .budget import LimitError
from .placeholders import SKIPPED, Call, Persistent, Placeholder, StreamSet
from .stored import STORED_MIN_BYTES

if TYPE_CHECKING:
    from .machine import Unpickler

Handler = Callable[["Unpickler"], None]

# The handler of every opcode byte (None: not an opcode the reader knows).
DISPATCH: list[Handler | None] = [None] * 256


def handles(opcode: bytes) -> Callable[[Handler], Handler]:
    """Register the decorated function as the handler of ``opcode``."""

    def register(handler: Handler) -> Handler:
        if DISPATCH[opcode[0]] is not None:
            raise ValueError(f"opcode {opcode!r} has two handlers")
        DISPATCH[opcode[0]] = handler
        return handler

    return register


class Stop(Exception):
    """The STOP opcode: ``value`` is what the stream holds."""

    def __init__(self, value: Any) -> None:
        super().__init__()
        self.value = value


def refuse(opcode: str, target: Any) -> NoReturn:
    raise pickle.UnpicklingError(f"{opcode} applied to a {type(target).__name__}")


def _line_int(r: Unpickler) -> int:
    return r.number(r.readline()[:-1])


def _call_arguments(args: Any, opcode: str) -> tuple:
    """The arguments of a call the stream makes: a tuple, or none for the
    tuple that a sources-only read skipped."""
    if type(args) is tuple:
        return args
    if args is SKIPPED:
        return ()
    raise pickle.UnpicklingError(f"{opcode} arguments are not a tuple")


def _decode_text(r: Unpickler, data: bytes) -> str:
    text = str(data, "utf-8", "surrogatepass")
    r.allocate(sys.getsizeof(text) - len(data))
    return text


def _text(r: Unpickler, size: int) -> Any:
    """The text of ``size`` bytes that follows: decoded, or left in the file."""
    if r.store is not None and r.store.keeps_text(r, size):
        return r.store.text(r, size)
    return _decode_text(r, r.payload(size))


def _bytes(r: Unpickler, size: int) -> Any:
    """The bytes of ``size`` bytes that follow: read, or left in the file."""
    if r.store is not None and size >= STORED_MIN_BYTES:
        return r.store.bytes(r, size)
    return r.payload(size)


def _decode_string(data: bytes) -> str:
    # Protocol 0-2 byte strings, as dill loads them (encoding "ASCII").
    return data.decode("ascii")


# -- framing ------------------------------------------------------------------


@handles(pickle.PROTO)
def load_proto(r: Unpickler) -> None:
    proto = r.read(1)[0]
    if proto > pickle.HIGHEST_PROTOCOL:
        raise pickle.UnpicklingError(f"unsupported pickle protocol: {proto}")
    r.proto = max(r.proto, proto)


@handles(pickle.FRAME)
def load_frame(r: Unpickler) -> None:
    size = struct.unpack("<Q", r.read(8))[0]
    left = r.left()
    if left is not None and size > left:
        raise LimitError(f"a declared frame length of {count_text(size, 'bytes')}", f"the {count_text(left, 'bytes')} left in the file")


@handles(pickle.STOP)
def load_stop(r: Unpickler) -> None:
    raise Stop(r.pop())


# -- the stack ----------------------------------------------------------------


@handles(pickle.MARK)
def load_mark(r: Unpickler) -> None:
    # Marks open at once nest as deep as the data being built.
    if len(r.metastack) >= r.limits.depth:
        r.budget.check_depth(len(r.metastack) + 1)
    r.metastack.append(r.stack)
    r.stack = []


@handles(pickle.POP)
def load_pop(r: Unpickler) -> None:
    if r.stack:
        r.stack.pop()
    else:
        r.pop_mark()


@handles(pickle.POP_MARK)
def load_pop_mark(r: Unpickler) -> None:
    r.pop_mark()


@handles(pickle.DUP)
def load_dup(r: Unpickler) -> None:
    r.push(r.top())


# -- constants and numbers ----------------------------------------------------


@handles(pickle.NONE)
def load_none(r: Unpickler) -> None:
    r.push(None)


@handles(pickle.NEWTRUE)
def load_true(r: Unpickler) -> None:
    r.push(True)


@handles(pickle.NEWFALSE)
def load_false(r: Unpickler) -> None:
    r.push(False)


@handles(pickle.INT)
def load_int(r: Unpickler) -> None:
    line = r.readline()
    if line == b"00\n":
        r.push(False)
    elif line == b"01\n":
        r.push(True)
    else:
        r.push(r.number(line[:-1], 0))


@handles(pickle.BININT)
def load_binint(r: Unpickler) -> None:
    r.push(struct.unpack("<i", r.read(4))[0])


@handles(pickle.BININT1)
def load_binint1(r: Unpickler) -> None:
    r.push(r.read(1)[0])


@handles(pickle.BININT2)
def load_binint2(r: Unpickler) -> None:
    r.push(struct.unpack("<H", r.read(2))[0])


@handles(pickle.LONG)
def load_long(r: Unpickler) -> None:
    text = r.readline()[:-1]
    if text.endswith(b"L"):
        text = text[:-1]
    r.push(r.number(text, 0))


@handles(pickle.LONG1)
def load_long1(r: Unpickler) -> None:
    size = r.read(1)[0]
    r.push(int.from_bytes(r.payload(size), "little", signed=True))


@handles(pickle.LONG4)
def load_long4(r: Unpickler) -> None:
    size = struct.unpack("<i", r.read(4))[0]
    if size < 0:
        raise pickle.UnpicklingError("LONG pickle has negative byte count")
    r.push(int.from_bytes(r.payload(size), "little", signed=True))


@handles(pickle.FLOAT)
def load_float(r: Unpickler) -> None:
    r.push(float(r.readline()[:-1]))


@handles(pickle.BINFLOAT)
def load_binfloat(r: Unpickler) -> None:
    r.push(struct.unpack(">d", r.read(8))[0])


# -- strings and bytes --------------------------------------------------------


@handles(pickle.STRING)
def load_string(r: Unpickler) -> None:
    data = r.readline()[:-1]
    if len(data) >= 2 and data[0] == data[-1] and data[0] in b"\"'":
        data = data[1:-1]
    else:
        raise pickle.UnpicklingError("the STRING opcode argument must be quoted")
    r.push(_decode_string(codecs.escape_decode(data)[0]))


@handles(pickle.BINSTRING)
def load_binstring(r: Unpickler) -> None:
    size = struct.unpack("<i", r.read(4))[0]
    if size < 0:
        raise pickle.UnpicklingError("BINSTRING pickle has negative byte count")
    r.push(_decode_string(r.payload(size)))


@handles(pickle.SHORT_BINSTRING)
def load_short_binstring(r: Unpickler) -> None:
    r.push(_decode_string(r.payload(r.read(1)[0])))


@handles(pickle.BINBYTES)
def load_binbytes(r: Unpickler) -> None:
    r.push(_bytes(r, struct.unpack("<I", r.read(4))[0]))


@handles(pickle.SHORT_BINBYTES)
def load_short_binbytes(r: Unpickler) -> None:
    r.push(r.payload(r.read(1)[0]))


@handles(pickle.BINBYTES8)
def load_binbytes8(r: Unpickler) -> None:
    r.push(_bytes(r, struct.unpack("<Q", r.read(8))[0]))


@handles(pickle.BYTEARRAY8)
def load_bytearray8(r: Unpickler) -> None:
    r.push(bytearray(r.payload(struct.unpack("<Q", r.read(8))[0])))


@handles(pickle.UNICODE)
def load_unicode(r: Unpickler) -> None:
    text = str(r.readline()[:-1], "raw-unicode-escape")
    r.allocate(sys.getsizeof(text))
    r.push(text)


@handles(pickle.BINUNICODE)
def load_binunicode(r: Unpickler) -> None:
    r.push(_text(r, struct.unpack("<I", r.read(4))[0]))


@handles(pickle.SHORT_BINUNICODE)
def load_short_binunicode(r: Unpickler) -> None:
    r.push(_decode_text(r, r.payload(r.read(1)[0])))


@handles(pickle.BINUNICODE8)
def load_binunicode8(r: Unpickler) -> None:
    r.push(_text(r, struct.unpack("<Q", r.read(8))[0]))


@handles(pickle.NEXT_BUFFER)
def load_next_buffer(r: Unpickler) -> None:
    raise pickle.UnpicklingError("pickle stream refers to out-of-band data but no *buffers* argument was given")


@handles(pickle.READONLY_BUFFER)
def load_readonly_buffer(r: Unpickler) -> None:
    value = r.top()
    if type(value) is bytearray:
        r.stack[-1] = bytes(value)


# -- containers ---------------------------------------------------------------


@handles(pickle.TUPLE)
def load_tuple(r: Unpickler) -> None:
    r.push(tuple(r.pop_mark()))


@handles(pickle.EMPTY_TUPLE)
def load_empty_tuple(r: Unpickler) -> None:
    r.push(())


@handles(pickle.TUPLE1)
def load_tuple1(r: Unpickler) -> None:
    r.stack[-1:] = [(r.top(),)]


@handles(pickle.TUPLE2)
def load_tuple2(r: Unpickler) -> None:
    if len(r.stack) < 2:
        raise pickle.UnpicklingError("TUPLE2 needs two objects on the stack")
    r.stack[-2:] = [(r.stack[-2], r.stack[-1])]


@handles(pickle.TUPLE3)
def load_tuple3(r: Unpickler) -> None:
    if len(r.stack) < 3:
        raise pickle.UnpicklingError("TUPLE3 needs three objects on the stack")
    r.stack[-3:] = [(r.stack[-3], r.stack[-2], r.stack[-1])]


@handles(pickle.EMPTY_LIST)
def load_empty_list(r: Unpickler) -> None:
    r.push([])


@handles(pickle.LIST)
def load_list(r: Unpickler) -> None:
    r.push(r.pop_mark())


@handles(pickle.EMPTY_DICT)
def load_empty_dict(r: Unpickler) -> None:
    r.push({})


@handles(pickle.DICT)
def load_dict(r: Unpickler) -> None:
    items = r.pop_mark()
    made: dict = {}
    r.set_items(made, items, "DICT")
    r.push(made)


@handles(pickle.EMPTY_SET)
def load_empty_set(r: Unpickler) -> None:
    r.push(StreamSet("set"))


@handles(pickle.FROZENSET)
def load_frozenset(r: Unpickler) -> None:
    r.push(StreamSet("frozenset", r.pop_mark()))


@handles(pickle.APPEND)
def load_append(r: Unpickler) -> None:
    value = r.pop()
    target = r.top()
    if type(target) is list or isinstance(target, Placeholder):
        target.append(value)
    else:
        refuse("APPEND", target)


@handles(pickle.APPENDS)
def load_appends(r: Unpickler) -> None:
    items = r.pop_mark()
    target = r.top()
    if type(target) is list or isinstance(target, Placeholder):
        target.extend(items)
    else:
        refuse("APPENDS", target)


@handles(pickle.SETITEM)
def load_setitem(r: Unpickler) -> None:
    value = r.pop()
    key = r.pop()
    r.set_items(r.top(), [key, value], "SETITEM")


@handles(pickle.SETITEMS)
def load_setitems(r: Unpickler) -> None:
    items = r.pop_mark()
    r.set_items(r.top(), items, "SETITEMS")


@handles(pickle.ADDITEMS)
def load_additems(r: Unpickler) -> None:
    items = r.pop_mark()
    target = r.top()
    if type(target) is StreamSet and target.kind == "set":
        target.items.extend(items)
    elif isinstance(target, Placeholder):
        target.extend(items)
    else:
        refuse("ADDITEMS", target)


# -- what an ordinary load would call or import: recorded ---------------------


@handles(pickle.BUILD)
def load_build(r: Unpickler) -> None:
    state = r.pop()
    target = r.top()
    if isinstance(target, Placeholder):
        target.__setstate__(state)
    else:
        # An ordinary load fails on it as well: plain containers take no state.
        refuse("BUILD", target)


@handles(pickle.GLOBAL)
def load_global(r: Unpickler) -> None:
    module = r.readline()[:-1].decode("utf-8")
    name = r.readline()[:-1].decode("utf-8")
    r.push(r.find_class(module, name))


@handles(pickle.STACK_GLOBAL)
def load_stack_global(r: Unpickler) -> None:
    name = r.pop()
    module = r.pop()
    if type(name) is not str or type(module) is not str:
        raise pickle.UnpicklingError("STACK_GLOBAL requires str")
    r.push(r.find_class(module, name))


def _instantiate(r: Unpickler, klass: Any, args: list[Any]) -> None:
    if not isinstance(klass, Placeholder):
        refuse("INST/OBJ", klass)
    r.push(Call(klass, tuple(args), how="inst"))


@handles(pickle.INST)
def load_inst(r: Unpickler) -> None:
    module = r.readline()[:-1].decode("ascii")
    name = r.readline()[:-1].decode("ascii")
    klass = r.find_class(module, name)
    _instantiate(r, klass, r.pop_mark())


@handles(pickle.OBJ)
def load_obj(r: Unpickler) -> None:
    args = r.pop_mark()
    if not args:
        raise pickle.UnpicklingError("OBJ without a class")
    _instantiate(r, args[0], args[1:])


@handles(pickle.REDUCE)
def load_reduce(r: Unpickler) -> None:
    args = r.pop()
    func = r.top()
    if not isinstance(func, Placeholder):
        refuse("REDUCE", func)
    r.stack[-1] = Call(func, _call_arguments(args, "REDUCE"))


@handles(pickle.NEWOBJ)
def load_newobj(r: Unpickler) -> None:
    args = r.pop()
    cls = r.pop()
    if not isinstance(cls, Placeholder):
        refuse("NEWOBJ", cls)
    r.push(Call(cls, _call_arguments(args, "NEWOBJ"), how="new"))


@handles(pickle.NEWOBJ_EX)
def load_newobj_ex(r: Unpickler) -> None:
    kwargs = r.pop()
    args = r.pop()
    cls = r.pop()
    if not isinstance(cls, Placeholder):
        refuse("NEWOBJ_EX", cls)
    if type(kwargs) is not dict:
        raise pickle.UnpicklingError("NEWOBJ_EX keywords are not a dict")
    if not r.keywords_checked(kwargs):
        raise pickle.UnpicklingError("NEWOBJ_EX keywords are not all strings")
    r.push(Call(cls, _call_arguments(args, "NEWOBJ_EX"), kwargs, how="new"))


@handles(pickle.PERSID)
def load_persid(r: Unpickler) -> None:
    try:
        pid = r.readline()[:-1].decode("ascii")
    except UnicodeDecodeError:
        raise pickle.UnpicklingError("persistent IDs in protocol 0 must be ASCII strings") from None
    r.push(Persistent(pid))


@handles(pickle.BINPERSID)
def load_binpersid(r: Unpickler) -> None:
    r.push(Persistent(r.pop()))


@handles(pickle.EXT1)
def load_ext1(r: Unpickler) -> None:
    r.get_extension(r.read(1)[0])


@handles(pickle.EXT2)
def load_ext2(r: Unpickler) -> None:
    r.get_extension(struct.unpack("<H", r.read(2))[0])


@handles(pickle.EXT4)
def load_ext4(r: Unpickler) -> None:
    r.get_extension(struct.unpack("<i", r.read(4))[0])


# -- the memo -----------------------------------------------------------------


@handles(pickle.GET)
def load_get(r: Unpickler) -> None:
    r.memo_get(_line_int(r))


@handles(pickle.BINGET)
def load_binget(r: Unpickler) -> None:
    r.memo_get(r.read(1)[0])


@handles(pickle.LONG_BINGET)
def load_long_binget(r: Unpickler) -> None:
    r.memo_get(struct.unpack("<I", r.read(4))[0])


@handles(pickle.PUT)
def load_put(r: Unpickler) -> None:
    r.memo_put(_line_int(r))


@handles(pickle.BINPUT)
def load_binput(r: Unpickler) -> None:
    r.memo_put(r.read(1)[0])


@handles(pickle.LONG_BINPUT)
def load_long_binput(r: Unpickler) -> None:
    r.memo_put(struct.unpack("<I", r.read(4))[0])


@handles(pickle.MEMOIZE)
def load_memoize(r: Unpickler) -> None:
    r.memo_put(r.memo_size())
