"""Reference and memory-block counts on a debug interpreter: no call of the
module, on any path, may leave a reference or an allocation behind. Only a
debug build counts every reference (sys.gettotalrefcount); scripts/test --all sets
VORLANE_DEBUG_PYTHON=1 for its debug runs, so that there these tests can
never be skipped by running on the wrong interpreter."""
import gc
import os
import sys
from pathlib import Path

import pytest

import vorlane_binary_parser
import vorlane_binary_parser_arrow
from vorlane_binary_parser import BinaryParser

from payloads import b64, settings_bytes
from test_batch_hostile import RELEASED, Column, offsets, text
from test_docs import error_rows

DEBUG = hasattr(sys, "gettotalrefcount")
REQUIRED = os.environ.get("VORLANE_DEBUG_PYTHON") == "1"
EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

# Symbols only a module built with Py_DEBUG imports: reference counting
# there goes through the interpreter's own accounting.
DEBUG_ONLY_SYMBOLS = (b"_Py_NegativeRefcount", b"_Py_INCREF_IncRefTotal", b"_Py_DECREF_DecRefTotal")


def test_the_run_has_the_interpreter_it_asked_for():
    assert DEBUG or not REQUIRED, f"{sys.executable} is not a debug build"


@pytest.mark.parametrize("module", [vorlane_binary_parser, vorlane_binary_parser_arrow])
def test_module_is_built_for_the_interpreters_abi(module):
    # Debug and release builds load each other's modules without a word;
    # one built for the wrong one hides its references from the accounting.
    data = Path(module.__file__).read_bytes()
    found = [s.decode() for s in DEBUG_ONLY_SYMBOLS if s + b"\0" in data]
    if DEBUG:
        assert found, "the module was built without Py_DEBUG for a debug interpreter"
    else:
        assert not found, f"a debug build's module in a release interpreter: {found}"


def first_line(name):
    return (EXAMPLES / name).read_text().splitlines()[0]


def calls():
    """(name, callable) for every path through the module."""
    parser = BinaryParser()
    parse = parser.parse
    many = b64(settings_bytes(1, 3, 1, 1, 25, [(i, -i, 2 * i) for i in range(3000)]))
    v1, v2, v3 = (first_line(f"accel-v{v}.b64") for v in (1, 2, 3))
    kind = type("Kind", (str,), {})("accel")
    bare = b64(settings_bytes(0, 0, 0, 0, -5, []))
    # Arguments are made once, here: the loop must run the module's code only.
    cases = [
        ("v1", lambda: parse("accel", 1, v1)),
        ("v2", lambda: parse("accel", 2, v2)),
        ("v3", lambda: parse("accel", 3, v3)),
        ("v3, 3000 samples", lambda: parse("accel", 3, many)),
        ("no samples", lambda: parse("accel", 2, bare)),
        ("keywords", lambda: parse(kind="accel", version=3, b64_data=v3)),
        ("mixed keywords", lambda: parse("accel", b64_data=v3, version=3)),
        ("an index as version", lambda: parse("accel", True, v1)),
        ("a str subclass", lambda: parse(kind, 3, v3)),
        ("the constructor", BinaryParser),
    ]
    # The batch decoder: a column with every kind of row, its result handed
    # out through capsules that nobody takes, and a refused column.
    documents = vorlane_binary_parser_arrow.documents
    rows = [v3, None, "QUI", "\ud800", "", v1]
    out = documents(rows, 3)
    # Arrays made by hand through the C data interface, handed out anew on
    # each call; their release callbacks log into RELEASED.
    arrow = text(b"AQMBATICAQTQDwDXBP//Aw==", b"", b"QUI")
    bad_arrow = Column("u", 2, [None, offsets(0, 5, 3), b"AAAAA"])
    cases += [
        ("batch, every kind of row", lambda: documents(rows, [3, None, 3, -1, 2**64, 1], threads=2)),
        ("batch, capsules dropped", lambda: (out.__arrow_c_array__(), out.__arrow_c_stream__())),
        ("batch, a refused column", lambda: documents([v3, b"x"], 3)),
        ("batch into lists", lambda: vorlane_binary_parser_arrow.document_lists(rows, [3, None, 3, -1, 2**64, 1])),
        ("batch, typed", lambda: vorlane_binary_parser_arrow.records(rows, [3, None, 2, -1, 2**64, 1], threads=2)),
        ("batch, typed capsules dropped", lambda: vorlane_binary_parser_arrow.records(rows, 3).__arrow_c_array__()),
        ("batch, an Arrow column", lambda: (RELEASED.clear(), vorlane_binary_parser_arrow.records(arrow, 3))),
        ("batch, a refused Arrow column", lambda: (RELEASED.clear(), documents(bad_arrow, 3))),
    ]
    namespace = {"parser": parser, "parse": parse, "BinaryParser": BinaryParser}
    for row in error_rows():
        code = compile(row["call"], row["call"], "eval")
        cases.append((f"{row['type']}: {row['call']}", lambda code=code: eval(code, namespace)))  # noqa: S307
    return cases


CASES = calls()


def counts():
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def run(fn, n):
    for _ in range(n):
        try:
            fn()
        except (ValueError, TypeError, OverflowError, UnicodeEncodeError):
            pass


@pytest.mark.skipif(not DEBUG, reason="only a debug interpreter counts references")
@pytest.mark.parametrize("name, fn", CASES, ids=[c[0] for c in CASES])
def test_no_reference_or_block_is_left_behind(name, fn):
    run(fn, 200)  # caches, interned names and the first exceptions settle
    growth = []
    for n in (2000, 4000):
        before = counts()
        run(fn, n)
        after = counts()
        growth.append((after[0] - before[0], after[1] - before[1], n))
    # A leak grows with the calls; a few references may move for other
    # reasons (the interpreter's own caches), but not per call. A batch call
    # makes and drops many objects, and the free lists move by tens between
    # rounds: for it, up to one per twenty calls, still far from a leak.
    # References fall only by a release too many; blocks fall whenever the
    # interpreter frees a cache of its own (seen: 13 in one round), which no
    # fault of the module's can do without crashing a debug build.
    for refs, blocks, n in growth:
        slack = n // 20 if name.startswith("batch") else 10
        assert abs(refs) <= slack and blocks <= slack, f"{name}: growth {growth} over 2000 and 4000 calls"
