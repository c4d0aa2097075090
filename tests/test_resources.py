"""Memory on every path: no growth over a million calls, no reference
leaked or stolen, MemoryError (not a crash) when the document cannot fit,
and no reservation that a forged sample count does not justify."""
import base64
import gc
import os
import subprocess
import sys
import textwrap

import pytest

from vorlane_binary_parser import BinaryParser

# Resident memory and address-space limits are read and set through Linux's
# /proc and RLIMIT_AS; the release pipeline also runs the suite on macOS and
# Windows.
if not os.path.exists("/proc/self/maps"):
    pytest.skip("needs Linux's /proc", allow_module_level=True)

# Under AddressSanitizer freed memory sits in a quarantine, so resident size
# says nothing, and its shadow memory makes address-space limits meaningless.
with open("/proc/self/maps") as _maps:
    SANITIZED = os.environ.get("VORLANE_SANITIZED") == "1" or any("libasan" in line for line in _maps)
needs_plain_allocator = pytest.mark.skipif(SANITIZED, reason="meaningless under AddressSanitizer")

PAGE = os.sysconf("SC_PAGE_SIZE")
V3_TEXT = "AQMBATICAQTQDwDXBP//Aw=="
V3_DOC = (
    '{"Accel":{"V3":{"range":"R4G","freq":"F100Hz","noise":"LowNoise","antialias":"QuarterFreq",'
    '"acc_temp":25,"samples":[{"x":-1,"y":2,"z":1000},{"x":0,"y":-300,"z":-32768}]}}}'
)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def fresh(text):
    """An equal str that is a new object (not interned, not immortal)."""
    return "".join(list(text))


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Version(int):
    pass


def call_table():
    """(args, kwargs, expected exception type or None) for each path."""
    b = base64.b64encode
    v1 = fresh(b(bytes.fromhex("f6a1abfef9620901201f8010")).decode())
    v3 = fresh(V3_TEXT)
    accel = fresh("accel")
    calls = [
        # Every success form: each version, keywords, __index__ and int subclass versions.
        ((accel, 1, v1), {}, None),
        ((accel, Version(2), v3), {}, None),
        ((accel, Index(3), v3), {}, None),
        ((), {"b64_data": v3, "kind": accel, "version": 3}, None),
        ((accel, 1, fresh("AQAA")), {}, None),
        ((accel, 3, fresh(b(bytes(5) + b"\x20" + bytes(96)).decode())), {}, None),
        # Every data failure.
        ((fresh("Accel"), 3, v3), {}, ValueError),
        ((accel, 4, v3), {}, ValueError),
        ((accel, 2**64 - 1, fresh("")), {}, ValueError),
        ((accel, 7, fresh("QUJD\n")), {}, ValueError),
        ((accel, 3, fresh("QUJDR")), {}, ValueError),
        ((accel, 3, fresh("QR==")), {}, ValueError),
        ((accel, 3, fresh("QUI")), {}, ValueError),
        ((accel, 3, fresh("QUJ\u00e9")), {}, ValueError),
        ((accel, 3, fresh("")), {}, ValueError),
        ((accel, 3, fresh(b(bytes.fromhex("8080808010")).decode())), {}, ValueError),
        ((accel, 3, fresh(b(bytes([0, 7])).decode())), {}, ValueError),
        ((accel, 3, fresh(b(bytes(5) + b"\xff" * 9 + b"\x01" + bytes(6)).decode())), {}, ValueError),
        # Every argument failure.
        ((), {}, TypeError),
        ((accel,), {}, TypeError),
        ((accel, 3, v3, v3), {}, TypeError),
        ((accel, 3, v3), {"kind": accel}, TypeError),
        ((accel, 3, v3), {"mode": accel}, TypeError),
        ((), {"version": 3}, TypeError),
        ((3, 3, v3), {}, TypeError),
        ((accel, 3, v3.encode()), {}, TypeError),
        ((accel, 1.0, v3), {}, TypeError),
        ((accel, -1, v3), {}, OverflowError),
        ((accel, 2**64, v3), {}, OverflowError),
        ((accel, Index(-1), v3), {}, OverflowError),
        ((accel, 3, fresh("QUJD\ud800")), {}, UnicodeEncodeError),
        ((fresh("bogus"), -1, v3), {}, OverflowError),
    ]
    return calls


def run_calls(parse, calls, rounds):
    for _ in range(rounds):
        for args, kwargs, expected in calls:
            try:
                parse(*args, **kwargs)
            except Exception as exc:  # noqa: BLE001 - type checked in the first round
                if type(exc) is not expected:
                    raise


def argument_objects(calls):
    objs = []
    for args, kwargs, _ in calls:
        objs += list(args) + list(kwargs.values()) + list(kwargs)
    unique = {id(o): o for o in objs}
    return list(unique.values())


def test_calls_raise_what_the_table_says():
    parse = BinaryParser().parse
    for args, kwargs, expected in call_table():
        if expected is None:
            assert parse(*args, **kwargs).startswith('{"Accel":{"V')
        else:
            with pytest.raises(expected) as info:
                parse(*args, **kwargs)
            assert type(info.value) is expected


def test_a_million_calls_keep_memory_and_reference_counts():
    parser = BinaryParser()
    parse = parser.parse
    calls = call_table()
    rounds = -(-1_000_000 // len(calls))
    objs = argument_objects(calls)

    run_calls(parse, calls, 2000)  # warm-up: caches, free lists, arenas
    gc.collect()
    refcounts = [sys.getrefcount(o) for o in objs]
    parser_refs = sys.getrefcount(parser)
    before = resident_bytes()

    run_calls(parse, calls, rounds)
    gc.collect()
    growth = resident_bytes() - before

    assert [sys.getrefcount(o) for o in objs] == refcounts
    assert sys.getrefcount(parser) == parser_refs
    if not SANITIZED:
        assert growth < 2 * 1024 * 1024, f"resident memory grew by {growth} bytes"


# ---- under a lowered address-space limit, in a child interpreter ----------

PRELUDE = textwrap.dedent(
    """
    import base64, resource, sys
    from vorlane_binary_parser import BinaryParser

    parse = BinaryParser().parse

    def varint(n):
        out = bytearray()
        while True:
            b, n = n & 0x7F, n >> 7
            out.append(b | 0x80 if n else b)
            if not n:
                return bytes(out)

    def vm_size():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    def limit_headroom(mib):
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + mib * 1024 * 1024, hard))
        return hard

    V3_TEXT = "AQMBATICAQTQDwDXBP//Aw=="
    V3_DOC = %r
    """
    % V3_DOC
)


def run_child(body):
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    proc = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(body)], capture_output=True, text=True, env=env, timeout=300
    )
    assert proc.returncode == 0, f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}"
    assert proc.stderr == ""
    return proc.stdout.split()


@needs_plain_allocator
def test_document_that_cannot_fit_is_memory_error_then_parsing_goes_on():
    out = run_child(
        """
        # Four million zero samples: 3 bytes each on the wire, 20 in the
        # document (80 MB), which cannot fit in 64 MiB.
        n = 4_000_000
        text = base64.b64encode(b"\\x00\\x00" + varint(n) + bytes(3 * n)).decode()
        hard = limit_headroom(64)
        try:
            parse("accel", 1, text)
        except MemoryError:
            print("MemoryError")
        assert parse("accel", 3, V3_TEXT) == V3_DOC
        print("small-ok")
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        doc = parse("accel", 1, text)
        sample = '{"x":0,"y":0,"z":0}'
        assert doc == '{"Accel":{"V1":{"timestamp":0,"acc_temp":0,"samples":[' + ",".join([sample] * n) + "]}}}"
        print("big-ok")
        """
    )
    assert out == ["MemoryError", "small-ok", "big-ok"]


@needs_plain_allocator
def test_forged_counts_reserve_nothing_the_input_does_not_justify():
    out = run_child(
        """
        end = "Parsing failed: PostcardError(DeserializeUnexpectedEnd)"
        # Two million complete samples of 9 bytes (18 MB); a reservation of
        # `count` samples without the 1 MiB cap would need 6 bytes per byte
        # left (over 100 MB), far above the 64 MiB allowed here.
        present = 2_000_000
        body = b"\\xff\\xff\\x03" * 3 * present
        left = len(body)
        cases = {
            "max": base64.b64encode(bytes(5) + varint(2**64 - 1) + bytes(4)).decode(),
            "max-long": base64.b64encode(bytes(5) + varint(2**64 - 1) + body).decode(),
            "above": base64.b64encode(bytes(5) + varint(left + 1) + body).decode(),
            "at": base64.b64encode(bytes(5) + varint(left) + body).decode(),
            "below": base64.b64encode(bytes(5) + varint(left - 1) + body).decode(),
        }
        v1_cases = {
            "v1-max": base64.b64encode(bytes(2) + varint(2**64 - 1) + bytes(4)).decode(),
            "v1-below": base64.b64encode(bytes(2) + varint(left - 1) + body).decode(),
        }
        del body
        limit_headroom(64)
        for name, text in cases.items():
            for version in (2, 3):
                try:
                    parse("accel", version, text)
                except ValueError as exc:
                    assert str(exc) == end, (name, str(exc))
                    print(name)
        for name, text in v1_cases.items():
            try:
                parse("accel", 1, text)
            except ValueError as exc:
                assert str(exc) == end, (name, str(exc))
                print(name)
        assert parse("accel", 3, V3_TEXT) == V3_DOC
        print("ok")
        """
    )
    assert out == ["max", "max", "max-long", "max-long", "above", "above", "at", "at", "below", "below",
                   "v1-max", "v1-below", "ok"]
