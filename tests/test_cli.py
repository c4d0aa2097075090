"""End-to-end tests of the installed vorlane-decode tool.

Every document and every error report is compared with what
BinaryParser().parse returns or raises for the same line.
"""
import importlib.metadata
import os
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

from payloads import b64, settings_bytes, v1_bytes

import vorlane_binary_parser

TOOL = Path(sysconfig.get_path("scripts")) / "vorlane-decode"
EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
MAX_U64 = 2**64 - 1

# Lines that reach every outcome: documents of all versions, every Base64
# fault, every wire fault, bytes that only a byte-level reader sees.
MIXED_LINES = [
    b"AQMBATICAQTQDwDXBP//Aw==",
    b"AQAA",
    b"AAAAAAAA",
    b"",
    b"AB CD",
    b"AAAAA",
    b"AR==",
    b"AA=A",
    b"=AAA",
    b"AAA=",
    b"QUI",
    b"QQ=",
    b"QUJ\xc3\xa9",
    b"AQ==",
    b64(bytes([0, 0, 0, 0, 0x80, 0x80, 0x04, 0])).encode(),
    b64(bytes([3, 0, 0, 0, 0, 0])).encode(),
    b64(bytes([0, 7])).encode(),
    b64(v1_bytes(-(2**63), -32768, [(32767, -32768, 0)])).encode(),
    "éAAA".encode(),
    b"AA\x00A",
    b"   ",
    b"\r",
    b"AAAA\r",  # with CRLF below: only one CR is taken off
    b"AAAAAAAA\x0b",
]


def run(args, stdin=b"", **kwargs):
    return subprocess.run([str(TOOL), *map(str, args)], input=stdin, capture_output=True,
                          timeout=120, **kwargs)


def expected(data, version, name):
    """The tool's stdout and stderr for the input bytes `data`, built from parse."""
    parse = vorlane_binary_parser.BinaryParser().parse
    lines = data.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    out, err = [], []
    for number, raw in enumerate(lines, 1):
        line = raw[:-1] if raw.endswith(b"\r") else raw
        if not line:
            continue
        try:
            out.append(parse("accel", version, line.decode("utf-8")) + "\n")
        except ValueError as exc:
            err.append(f"{name}:{number}: {exc}\n")
    return "".join(out).encode(), "".join(err).encode()


def test_tool_is_installed_next_to_the_interpreter():
    assert TOOL.is_file() and os.access(TOOL, os.X_OK), TOOL


@pytest.mark.parametrize("version", [1, 2, 3])
def test_sample_files_decode_like_parse(version):
    path = EXAMPLES / f"accel-v{version}.b64"
    out, err = expected(path.read_bytes(), version, str(path))
    assert err == b"", "sample files hold valid payloads only"
    result = run(["-p", version, path])
    assert (result.returncode, result.stdout, result.stderr) == (0, out, b"")


@pytest.mark.parametrize("version", [1, 2, 3, 0, 4, MAX_U64])
@pytest.mark.parametrize("ending", [b"\n", b"\r\n"])
def test_mixed_lines_match_parse_line_by_line(tmp_path, version, ending):
    path = tmp_path / "mixed.b64"
    path.write_bytes(ending.join(MIXED_LINES) + ending)
    out, err = expected(path.read_bytes(), version, str(path))
    result = run(["-p", version, path])
    assert result.stdout.decode().splitlines() == out.decode().splitlines()
    assert result.stderr.decode().splitlines() == err.decode().splitlines()
    assert (result.returncode, result.stdout, result.stderr) == (1, out, err)


def test_only_one_carriage_return_is_taken_off():
    result = run(["-p", "3"], stdin=b"AAAA\r\r\nAAAAAAAA\r\n")
    assert result.stderr == b"<stdin>:1: Parsing failed: B64Error(InvalidByte(4, 13))\n"
    assert result.returncode == 1
    assert result.stdout.count(b"\n") == 1


def test_last_line_without_newline_is_decoded():
    result = run(["-p", "1"], stdin=b"AQAA\nAQAA")
    assert result.stdout == b'{"Accel":{"V1":{"timestamp":-1,"acc_temp":0,"samples":[]}}}\n' * 2
    assert result.returncode == 0


@pytest.mark.parametrize("args", [["-p", "3"], ["-p", "3", "-"], ["-p", "3", "-", "-"]])
def test_standard_input_is_named_stdin(args):
    data = b"AAAAAAAA\nAQ==\n"
    out, err = expected(data, 3, "<stdin>")
    result = run(args, stdin=data)
    assert (result.returncode, result.stdout, result.stderr) == (1, out, err)


def test_several_files_are_read_in_order_and_a_missing_one_is_skipped(tmp_path):
    first, second = tmp_path / "first.b64", tmp_path / "second.b64"
    first.write_bytes(b"AAAAAAAA\n")
    second.write_bytes(b"AQMBATICAQTQDwDXBP//Aw==\n\nAR==\nAAAAAAAA\n")
    missing = tmp_path / "missing.b64"
    result = run(["-p", "3", first, missing, second])
    out1, _ = expected(first.read_bytes(), 3, str(first))
    out2, err2 = expected(second.read_bytes(), 3, str(second))
    assert result.stdout == out1 + out2
    assert result.stderr == (f"vorlane-decode: {missing}: No such file or directory\n".encode()
                             + err2)
    assert err2 == f"{second}:3: Parsing failed: B64Error(InvalidLastSymbol(1, 82))\n".encode()
    assert result.returncode == 1


def test_long_lines(tmp_path):
    # A short record followed by ~24 MB of bytes it ignores, then a record of
    # 300000 samples (past the up-front reservation), then a normal line:
    # lines far longer than the read chunk, spanning many of them.
    trailing = b64(settings_bytes(1, 2, 0, 1, -7, [(1, 2, 3)]) + bytes(18_000_000)).encode()
    big = b64(settings_bytes(2, 5, 2, 1, 100,
                             [(i % 65536 - 32768, -i % 1000, i % 7) for i in range(300_000)]))
    path = tmp_path / "long.b64"
    path.write_bytes(b"\n".join([trailing, big.encode(), b"AAAAAAAA"]))
    out, err = expected(path.read_bytes(), 3, str(path))
    result = run(["-p", "3", path])
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == out
    assert len(trailing) > 20_000_000


@pytest.mark.parametrize("args", [
    ["-p", "3"], ["-p3"], ["--payload-version", "3"], ["--payload-version=3"],
    ["-p", "03"], ["-p", "1", "-p", "3"],
])
def test_payload_version_forms(args):
    result = run(args, stdin=b"AQMBATICAQTQDwDXBP//Aw==\n")
    assert result.stdout.startswith(b'{"Accel":{"V3":{')
    assert result.returncode == 0


@pytest.mark.parametrize("args, message", [
    ([], "the payload version is required (-p VERSION)"),
    (["examples.b64"], "the payload version is required (-p VERSION)"),
    (["-p"], "option '-p' needs a value"),
    (["--payload-version"], "option '--payload-version' needs a value"),
    (["-p", "x"], "invalid payload version 'x'"),
    (["-p", ""], "invalid payload version ''"),
    (["-p", "-1"], "invalid payload version '-1'"),
    (["-p", "+3"], "invalid payload version '+3'"),
    (["-p", "1.0"], "invalid payload version '1.0'"),
    (["-p", str(2**64)], f"invalid payload version '{2**64}'"),
    (["-p", "99999999999999999999999"], "invalid payload version '99999999999999999999999'"),
    (["--payload-version=", "x"], "invalid payload version ''"),
    (["-p", "3", "--bogus"], "unknown option '--bogus'"),
    (["-x", "-p", "3"], "unknown option '-x'"),
])
def test_usage_errors_exit_with_2(args, message):
    result = run(args, stdin=b"AAAAAAAA\n")
    err = result.stderr.decode()
    assert result.returncode == 2
    assert result.stdout == b""
    assert err.startswith(f"vorlane-decode: {message}")
    assert err.endswith("Try 'vorlane-decode --help' for more information.\n")


def test_largest_payload_version_is_passed_on():
    # ... but a bad text still wins over the version.
    result = run(["-p", str(MAX_U64)], stdin=b"AAAA\nQUI\n")
    assert result.stderr == (
        b"<stdin>:1: Parsing failed: ProtocolVersionNotSupported(18446744073709551615)\n"
        b"<stdin>:2: Parsing failed: B64Error(InvalidPadding)\n")


@pytest.mark.parametrize("args", [["-h"], ["--help"], ["--help", "-p", "x"], ["-p", "1", "-h"]])
def test_help(args):
    # Help ends the reading of options: what follows it is not judged.
    result = run(args)
    assert result.returncode == 0
    assert result.stdout.startswith(b"usage: vorlane-decode -p VERSION [FILE...]\n")
    assert b"--payload-version" in result.stdout


@pytest.mark.parametrize("flag", ["-V", "--version"])
def test_version_is_the_package_version(flag):
    result = run([flag])
    version = importlib.metadata.version("vorlane_binary_parser")
    assert (result.returncode, result.stdout) == (0, f"vorlane-decode {version}\n".encode())


def test_double_dash_ends_options(tmp_path):
    (tmp_path / "-p").write_bytes(b"AQAA\n")
    result = run(["-p", "1", "--", "-p"], cwd=tmp_path)
    assert (result.returncode, result.stdout.count(b"\n")) == (0, 1)


def test_unreadable_input_fails(tmp_path):
    result = run(["-p", "3", tmp_path], stdin=b"")
    assert result.returncode == 1
    assert result.stderr == f"vorlane-decode: {tmp_path}: read failed: Is a directory\n".encode()


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_write_failure_is_reported():
    with open("/dev/full", "wb") as full:
        result = subprocess.run([str(TOOL), "-p", "3"], input=b"AAAAAAAA\n" * 10, stdout=full,
                                stderr=subprocess.PIPE, timeout=60)
    assert result.returncode == 1
    assert result.stderr.startswith(b"vorlane-decode: write failed: ")


def test_runs_without_python():
    # The tool links only the core: an empty environment is enough, and no
    # Python library is among its dependencies.
    result = subprocess.run([str(TOOL), "-p", "1"], input=b"AQAA\n", capture_output=True,
                            env={}, timeout=60)
    assert result.returncode == 0
    ldd = shutil.which("ldd")
    if ldd:
        libs = subprocess.run([ldd, str(TOOL)], capture_output=True, text=True).stdout
        assert "libpython" not in libs


def test_sample_files_cover_empty_runs_and_limits():
    # The sample files are what the README runs the tool on: keep them
    # covering empty runs and the integer limits.
    text = run(["-p", "1", EXAMPLES / "accel-v1.b64"]).stdout.decode()
    assert '"samples":[]' in text
    assert "-9223372036854775808" in text and "9223372036854775807" in text


def test_bytes_that_are_not_utf8_are_reported_at_their_offset():
    # parse cannot be handed such a line; the tool judges the bytes as they are.
    result = run(["-p", "3"], stdin=b"QUJD\xff\xfeAA\nQUJ\xc3\n")
    assert result.stderr == (b"<stdin>:1: Parsing failed: B64Error(InvalidByte(4, 255))\n"
                             b"<stdin>:2: Parsing failed: B64Error(InvalidByte(3, 195))\n")
    assert result.returncode == 1
