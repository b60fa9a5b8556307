"""Programs that tests/test_keyword_names.py runs in a child process: keyword
names a careless binder would read as str. Before they were refused, these
crashed the process or bound a bytes object as a parameter.

    python tests/hostile_keywords_child.py CASE

Exit status 0 and "passed" on the last line mean the case passed.
"""

from __future__ import annotations

import ctypes
import sys

from tarnwick import Signal

# A bytes object and a str share their head: reference count, type, then a
# length where bytes keeps its size and a hash where bytes keeps its own. The
# str's state bits and its cached UTF-8 (length, then pointer) fall inside
# the bytes' data, at these offsets from its first byte.
STATE, UTF8_LENGTH, UTF8_POINTER = 0, 8, 16
COMPACT_NOT_ASCII_1BYTE = (1 << 2) | (1 << 5)  # kind 1, compact, not ascii
BYTES_DATA = bytes.__basicsize__ - 1  # where a bytes object's data starts


def text_at(address: int, length: int) -> bytes:
    """A bytes key that a reader taking it for a str finds to hold the
    `length` bytes at `address` as its UTF-8 form."""
    data = bytearray(24)
    data[STATE:STATE + 4] = COMPACT_NOT_ASCII_1BYTE.to_bytes(4, "little")
    data[UTF8_LENGTH:UTF8_LENGTH + 8] = length.to_bytes(8, "little")
    data[UTF8_POINTER:UTF8_POINTER + 8] = address.to_bytes(8, "little")
    return bytes(data)


NAME = b"name"
SPELLS_NAME = text_at(id(NAME) + BYTES_DATA, len(NAME))
WILD = text_at(0x10, 4)  # its "text" lies in the unmapped first page


class Name(str):
    """Equal only to itself, so a dictionary keeps every instance apart."""

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other


def refused(call, message):
    try:
        call()
    except TypeError as e:
        assert str(e) == message, repr(e)
    else:
        raise AssertionError(f"expected TypeError({message!r})")


NOT_STR = "keywords must be strings"


def case_constructor():
    for key in (SPELLS_NAME, WILD, 7, None, (NAME,)):
        refused(lambda: Signal(**{key: "hello"}), NOT_STR)
        refused(lambda: Signal("x", **{"ok": 1, key: "hello"}), NOT_STR)
    for n in (2, 16, 17, 40, 1000):
        names = [Name("name") for _ in range(n)]
        refused(lambda: Signal(**dict.fromkeys(names, "x")),
                "Signal() got multiple values for argument 'name'")
    assert repr(Signal(**{Name("name"): "one"})) == 'Signal(name="one", listeners=0)'


def case_emit(method):
    source, target = Signal(), Signal()
    told = []
    source.on_error(lambda exc, cb: told.append(exc))
    source.connect(target.connect)
    source.connect_once(print)
    for key in (WILD, SPELLS_NAME, 7):
        refused(lambda: getattr(source, method)(len, **{key: 1}), NOT_STR)
        refused(lambda: getattr(source, method)(len, a=1, **{key: 1}), NOT_STR)
    assert told == [] and len(target) == 0
    assert [c[3] for c in source.connections()] == [None, 1]


def case_vectorcall():
    # A C caller that breaks the vectorcall protocol: bytes keyword names
    # straight into the fast-call binder, bypassing the interpreter's check.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    s = Signal()
    callback = print
    for key in (WILD, text_at(id(b"weak") + BYTES_DATA, 4), 7):
        values = (ctypes.py_object * 2)(callback, True)
        refused(lambda: vectorcall(s.connect, ctypes.addressof(values), 1, (key,)), NOT_STR)
    assert len(s) == 0


CASES = {
    "constructor": case_constructor,
    "emit": lambda: case_emit("emit"),
    "emit_async": lambda: case_emit("emit_async"),
    "vectorcall": case_vectorcall,
}

if __name__ == "__main__":
    CASES[sys.argv[1]]()
    print("passed")
