"""Running out of memory is a MemoryError, never an abort, and the module
stays usable afterwards."""
import subprocess
import sys
import textwrap


def test_memory_exhaustion_is_a_memory_error():
    code = textwrap.dedent("""
        import base64, resource
        import vorlane_binary_parser
        parse = vorlane_binary_parser.BinaryParser().parse
        # A million samples of (1, -1, 2): a 21 MB document from 4 MB of text.
        text = base64.b64encode(bytes([0, 0, 0, 0, 0, 0xC0, 0x84, 0x3D]) + bytes([2, 1, 4]) * 1000000).decode()
        small = "AQMBATICAQTQDwDXBP//Aw=="
        expected = parse("accel", 3, small)
        pages = int(open("/proc/self/statm").read().split()[0])
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (pages * resource.getpagesize() + 6 * 2**20, hard))
        try:
            parse("accel", 3, text)
            print("no error")
        except MemoryError:
            print("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(parse("accel", 3, small) == expected)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["MemoryError", "True"]
