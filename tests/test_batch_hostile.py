"""vorlane_binary_parser_arrow against malformed input: Arrow arrays made
here by hand through the C data interface (no Arrow library needed), each
refused with the problem named before any row is decoded."""
import ctypes
import struct

import pytest

from vorlane_binary_parser_arrow import document_lists, documents

GOOD = b"AQMBATICAQTQDwDXBP//Aw=="


class Schema(ctypes.Structure):
    pass


class Array(ctypes.Structure):
    pass


SchemaRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(Schema))
ArrayRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(Array))
Schema._fields_ = [("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
                   ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
                   ("children", ctypes.c_void_p), ("dictionary", ctypes.c_void_p),
                   ("release", SchemaRelease), ("private_data", ctypes.c_void_p)]
Array._fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
                  ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
                  ("buffers", ctypes.c_void_p), ("children", ctypes.c_void_p),
                  ("dictionary", ctypes.c_void_p), ("release", ArrayRelease),
                  ("private_data", ctypes.c_void_p)]
RELEASED = []


@SchemaRelease
def release_schema(schema):
    schema[0].release = SchemaRelease()


@ArrayRelease
def release_array(array):
    RELEASED.append(array[0].length)
    array[0].release = ArrayRelease()


capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


class Column:
    """One array: `buffers` are bytes (or None for a null pointer)."""

    def __init__(self, fmt, length, buffers, null_count=0, offset=0, n_children=0, n_buffers=None,
                 released=False):
        self.keep = [ctypes.create_string_buffer(b, len(b)) if b is not None else None for b in buffers]
        pointers = (ctypes.c_void_p * max(len(buffers), 1))(
            *[ctypes.cast(b, ctypes.c_void_p) if b is not None else None for b in self.keep])
        self.releases = (release_schema, ArrayRelease() if released else release_array)
        self.schema = Schema(fmt.encode(), b"", None, 2, 0, None, None, self.releases[0], None)
        self.array = Array(length, null_count, offset, len(buffers) if n_buffers is None else n_buffers,
                           n_children, ctypes.cast(pointers, ctypes.c_void_p) if buffers else None,
                           None, None, self.releases[1], None)
        self.pointers = pointers

    def __arrow_c_array__(self, requested_schema=None):
        # Each call hands out the array anew: a consumer moves it out.
        self.schema.release, self.array.release = self.releases
        return (capsule_new(ctypes.addressof(self.schema), b"arrow_schema", None),
                capsule_new(ctypes.addressof(self.array), b"arrow_array", None))


def offsets(*values, wide=False):
    return struct.pack(("<%dq" if wide else "<%di") % len(values), *values)


def views(*rows):
    """16-byte views: (length, inline text) or (length, buffer, offset)."""
    out = b""
    for row in rows:
        if len(row) == 2:
            out += struct.pack("<i", row[0]) + row[1].ljust(12, b"\0")
        else:
            out += struct.pack("<i4sii", row[0], b"AQMB", row[1], row[2])
    return out


def sizes(*values):
    return struct.pack("<%dq" % len(values), *values)


def text(*rows, **kw):
    data = b"".join(rows)
    ends = [0]
    for row in rows:
        ends.append(ends[-1] + len(row))
    return Column("u", len(rows), [None, offsets(*ends), data], **kw)


def test_arrays_made_here_decode():
    RELEASED.clear()
    assert len(documents(text(GOOD, b"", b"QUI"), 3)) == 3
    assert len(documents(Column("U", 1, [None, offsets(0, len(GOOD), wide=True), GOOD]), 3)) == 1
    assert len(documents(Column("n", 4, []), 3)) == 4
    assert len(documents(Column("vu", 2, [None, views((len(GOOD), 0, 0), (3, b"QUI")), GOOD, sizes(len(GOOD))]), 3)) == 2
    assert RELEASED == [3, 1, 4, 2]  # each array released once, by the decoder


@pytest.mark.parametrize("column,kind,message", [
    (Column("i", 1, [None, b"\0" * 4]), TypeError,
     "payload column is int32 (Arrow format 'i'), expected text (string, large_string or string_view)"),
    (Column("z", 1, [None, offsets(0, 1), b"A"]), TypeError,
     "payload column is binary (Arrow format 'z'), expected text (string, large_string or string_view)"),
    (Column("+w:4", 1, [None]), TypeError,
     "payload column is of Arrow format '+w:4', expected text (string, large_string or string_view)"),
    (Column("u", -1, [None, offsets(0), b""]), ValueError, "payload column: negative length -1"),
    (Column("u", 1, [None, offsets(0, 1), b"A"], offset=-2), ValueError, "payload column: negative offset -2"),
    (Column("u", 2**62, [None, offsets(0), b""], offset=2**62), ValueError,
     "payload column: length and offset do not fit in 64 bits"),
    (Column("u", 1, [None, offsets(0, 1)]), ValueError, "payload column: 2 buffers, expected 3"),
    (Column("u", 1, [], n_buffers=3), ValueError, "payload column: no buffer list"),
    (Column("u", 2, [None, None, b"AB"]), ValueError, "payload column: no offsets buffer"),
    (Column("u", 1, [None, offsets(0, 3), None]), ValueError, "payload column: no data buffer"),
    (Column("u", 2, [None, offsets(0, 5, 3), b"AAAAA"]), ValueError, "payload column: offsets decrease at row 1"),
    (Column("U", 1, [None, offsets(-8, 2, wide=True), b"AA"]), ValueError, "payload column: negative offset at row 0"),
    (Column("u", 2, [None, offsets(0, 1, 2), b"AA"], null_count=1), ValueError,
     "payload column: null count 1 but no validity bitmap"),
    (Column("u", 3, [b"\x05", offsets(0, 1, 2, 3), b"AAA"], null_count=2), ValueError,
     "payload column: null count 2 but the validity bitmap has 1"),
    (Column("u", 1, [None, offsets(0, 1), b"A"], null_count=2), ValueError, "payload column: null count 2 for 1 rows"),
    (Column("u", 1, [None, offsets(0, 1), b"A"], n_children=1), ValueError, "payload column: 1 child arrays where none belong"),
    (Column("u", 1, [None, offsets(0, 1), b"A"], released=True), ValueError, "arrow_array capsule was already consumed"),
    (Column("vu", 1, [None, views((20, 1, 0)), b"A" * 20, sizes(20)]), ValueError, "payload column: no data buffer 1 for row 0"),
    (Column("vu", 1, [None, views((20, 0, 4)), b"A" * 20, sizes(20)]), ValueError,
     "payload column: row 0 lies past the end of its data buffer"),
    (Column("vu", 1, [None, views((-3, b"")), sizes()]), ValueError, "payload column: negative length at row 0"),
    (Column("vu", 1, [None, views((20, 0, 0)), b"A" * 20, None]), ValueError,
     "payload column: no buffer sizes for its string views"),
    (Column("vu", 1, [None, views((20, 0, 0)), None, sizes(20)]), ValueError, "payload column: data buffer 0 missing"),
])
@pytest.mark.parametrize("entry", [documents, document_lists])
def test_malformed_payload_columns_are_refused(entry, column, kind, message):
    with pytest.raises(kind) as caught:
        entry(column, 3)
    assert str(caught.value) == message


@pytest.mark.parametrize("payloads,version,kind,message", [
    ([GOOD.decode()], Column("f", 1, [None, b"\0" * 4]), TypeError,
     "version column is float (Arrow format 'f'), expected integers"),
    ([GOOD.decode()], Column("i", 1, [None, None]), ValueError, "version column: no values buffer"),
    ([GOOD.decode()], Column("i", 2, [None, b"\3\0\0\0" * 2]), ValueError, "2 versions for 1 payloads"),
    ([GOOD.decode()], [3, 3], ValueError, "2 versions for 1 payloads"),
    ([GOOD.decode()], [True], TypeError, "version column: row 0 holds bool, expected int or null"),
    ([GOOD.decode()], "3", TypeError, "version must be an int or a column of them, not str"),
    ([GOOD.decode()], -1, OverflowError, None),
    ([GOOD.decode(), b"AA"], 3, TypeError,
     "payload column: row 1 holds bytes, expected str or null (decode bytes to text first)"),
    (GOOD.decode(), 3, TypeError, "payloads must be an Arrow column of text or a sequence of str, not str"),
    (3, 3, TypeError, "payloads must be an Arrow column of text or a sequence of str, not int"),
])
@pytest.mark.parametrize("entry", [documents, document_lists])
def test_wrong_arguments_are_refused(entry, payloads, version, kind, message):
    with pytest.raises(kind) as caught:
        entry(payloads, version)
    assert message is None or str(caught.value) == message


@pytest.mark.parametrize("threads", [0, -1, 1025])
def test_threads_out_of_range(threads):
    with pytest.raises(ValueError, match="threads must be from 1 to 1024"):
        documents([], 3, threads=threads)
