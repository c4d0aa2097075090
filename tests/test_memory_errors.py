"""Running out of memory is a MemoryError, never an abort, and the
interpreter goes on working afterwards."""
import os
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(__file__)

SCRIPT = textwrap.dedent(
    """
    import resource, sys
    sys.path.insert(0, {here!r})
    from payloads import b64, settings_bytes, varint
    from vorlane_binary_parser import BinaryParser

    parser = BinaryParser()
    # One million samples at the int16 limits: about 9 MB of payload and a
    # document of about 35 MB.
    text = b64(settings_bytes(0, 0, 0, 0, 0, [(-32768, -32768, -32768)] * 1_000_000))
    forged = b64(bytes(5) + varint(2**64 - 1) + bytes(30))
    small = "AQMBATICAQTQDwDXBP//Aw=="
    expected_small = parser.parse("accel", 3, small)

    def vm_bytes():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * resource.getpagesize()

    headroom = {headroom} * 2**20
    limit = vm_bytes() + headroom
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    try:
        parser.parse("accel", 3, text)
        print("no error")
    except MemoryError:
        print("MemoryError")
    # Under the same limit, everything else still works.
    assert parser.parse("accel", 3, small) == expected_small
    try:
        parser.parse("accel", 3, forged)
    except ValueError as exc:
        print(exc)
    """
)


def sanitized():
    return os.environ.get("VORLANE_SANITIZED") == "1" or "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(sys.platform != "linux", reason="uses RLIMIT_AS and /proc")
@pytest.mark.parametrize("headroom_mib", [6, 12, 24])
def test_memory_exhaustion_raises_memory_error(headroom_mib):
    if sanitized():
        pytest.skip("the sanitizer runtime reserves address space up front")
    out = subprocess.run(
        [sys.executable, "-c", SCRIPT.format(here=HERE, headroom=headroom_mib)],
        capture_output=True, text=True, timeout=120,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "MemoryError",
        "Parsing failed: PostcardError(DeserializeUnexpectedEnd)",
    ]
