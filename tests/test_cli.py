"""End-to-end tests of the installed vorlane-decode tool.

Every document and every error report is compared with what
BinaryParser().parse returns or raises for the same line.

VORLANE_DECODE=PATH tests that binary instead of the installed one (the
ThreadSanitizer build, scripts/test-tool-tsan).
"""
import base64
import importlib.metadata
import json
import os
import pty
import random
import re
import shutil
import subprocess
import sysconfig
import threading
import time
from pathlib import Path

import pytest

import needs
from payloads import b64, make_file, realistic_line, settings_bytes, v1_bytes

import vorlane_binary_parser

TOOL = Path(os.environ.get("VORLANE_DECODE") or Path(sysconfig.get_path("scripts")) / "vorlane-decode")
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


def run(args, stdin=b"", timeout=120, **kwargs):
    return subprocess.run([str(TOOL), *map(str, args)], input=stdin, capture_output=True,
                          timeout=timeout, **kwargs)


_PARSE = vorlane_binary_parser.BinaryParser().parse
_NON_ASCII = re.compile(rb"[\x80-\xff]")


def parse_bytes(version, line):
    """parse on a line of bytes, as the tool judges it: (document, None) or (None, message).

    parse takes only text; a line that is not UTF-8 gets each non-ASCII byte
    replaced by \\x01, which no Base64 text holds either, and the byte put
    back into the InvalidByte message at its offset."""
    try:
        text = line.decode("utf-8")
        stand_in = None
    except UnicodeDecodeError:
        text = _NON_ASCII.sub(b"\x01", line).decode("ascii")
        stand_in = line
    try:
        return _PARSE("accel", version, text), None
    except ValueError as exc:
        message = str(exc)
    if stand_in is not None:
        m = re.fullmatch(r"Parsing failed: B64Error\(InvalidByte\((\d+), 1\)\)", message)
        if m and stand_in[int(m[1])] >= 0x80:
            message = f"Parsing failed: B64Error(InvalidByte({m[1]}, {stand_in[int(m[1])]}))"
    return None, message


def count_lines(data):
    """Lines as the tool counts them: empty ones too, a last one without LF."""
    return data.count(b"\n") + (1 if data and not data.endswith(b"\n") else 0)


def expected(data, version, name, merged=False):
    """The tool's stdout and stderr for the input bytes `data`, built from parse
    line by line; with merged, also both streams as one, in line order."""
    lines = data.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    out, err, both = [], [], []
    for number, raw in enumerate(lines, 1):
        line = raw[:-1] if raw.endswith(b"\r") else raw
        if not line:
            continue
        document, message = parse_bytes(version, line)
        if document is not None:
            out.append(document + "\n")
            both.append(out[-1])
        else:
            err.append(f"{name}:{number}: {message}\n")
            both.append(err[-1])
    if merged:
        return "".join(out).encode(), "".join(err).encode(), "".join(both).encode()
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
    assert result.returncode == 2  # an input is missing from the output


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
    lines = result.stdout.decode().splitlines()
    assert (result.returncode, lines[0], len(lines)) == (0, f"vorlane-decode {version}", 2)
    assert lines[1].startswith("cpu path: built ")


def test_double_dash_ends_options(tmp_path):
    (tmp_path / "-p").write_bytes(b"AQAA\n")
    result = run(["-p", "1", "--", "-p"], cwd=tmp_path)
    assert (result.returncode, result.stdout.count(b"\n")) == (0, 1)


GOOD_V3 = b"AQMBATICAQTQDwDXBP//Aw=="


# Exit statuses after grep's: 0, every line decoded; 1, some lines failed and
# every other document is written; 2, the output is incomplete or not made.
# (An internal error, also 2, has no input that makes it.)
EXIT_STATUS_CASES = [
    ("every line decoded", ["-p", "3"], GOOD_V3 + b"\n\n" + GOOD_V3, 0, b""),
    ("a line failed", ["-p", "3"], GOOD_V3 + b"\nAR==\n" + GOOD_V3, 1,
     b"<stdin>:2: Parsing failed: B64Error(InvalidLastSymbol(1, 82))\n"),
    ("usage error", ["-p", "x"], GOOD_V3, 2,
     b"vorlane-decode: invalid payload version 'x': expected a whole number from 0 to "
     b"18446744073709551615\nTry 'vorlane-decode --help' for more information.\n"),
    ("input not opened", ["-p", "3", "-", "{missing}"], GOOD_V3, 2,
     b"vorlane-decode: {missing}: No such file or directory\n"),
    ("input not read", ["-p", "3", "{directory}", "-"], GOOD_V3, 2,
     b"vorlane-decode: {directory}: read failed: Is a directory\n"),
    # /dev/full takes no byte: every write fails with ENOSPC, as on a full disk.
    ("output not written", ["-p", "3", "{full}"], GOOD_V3, 2,
     b"vorlane-decode: write failed: No space left on device\n"),
]


@pytest.mark.parametrize("case, args, stdin, status, stderr", EXIT_STATUS_CASES,
                         ids=[row[0] for row in EXIT_STATUS_CASES])
def test_exit_status(tmp_path, case, args, stdin, status, stderr):
    names = {"missing": str(tmp_path / "missing.b64"), "directory": str(tmp_path)}
    for name, value in names.items():
        stderr = stderr.replace(b"{%s}" % name.encode(), value.encode())
    to_full = args[-1] == "{full}"
    if to_full:
        if not os.path.exists("/dev/full"):
            needs.missing("/dev/full")
        args = args[:-1]
    args = [a.format(**names) for a in args]
    with open("/dev/full" if to_full else os.devnull, "wb") as full:
        result = subprocess.run([str(TOOL), *args], input=stdin,
                                stdout=full if to_full else subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=60)
    assert (result.returncode, result.stderr) == (status, stderr), case
    if not to_full:
        # Whatever could be decoded is written all the same.
        written = stdin.count(GOOD_V3) if "-p" in args and args[1] == "3" else 0
        assert result.stdout.count(b"\n") == written, case


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


# ---- batches, threads, progress, closed pipes --------------------------------
#
# The tool reads input in blocks of 256 KiB and decodes whole-line batches on
# -j threads; the files below span many blocks, and every run of them must
# give exactly what parse gives, line by line, whatever the number of jobs.

JOBS = [1, 2, 3, 8]


@pytest.fixture(scope="module")
def big_files(tmp_path_factory):
    """Files of several blocks each: realistic, mostly damaged, CRLF without a
    final line feed, a huge line among short ones, and raw random bytes."""
    rng = random.Random(20261209)
    root = tmp_path_factory.mktemp("batches")
    files = {
        "realistic": make_file(rng, 8000, 0.0),
        "hostile": make_file(rng, 8000, 0.6),
        "crlf-no-final-newline": make_file(rng, 4000, 0.2, ending=b"\r\n", final_newline=False),
        "random-bytes": bytes(rng.choice(b"AQ=\n\r/+\x80\xff\x00 ") for _ in range(1_500_000)),
    }
    big = settings_bytes(1, 3, 0, 1, 5, [(i % 65536 - 32768, -i % 999, i % 7) for i in range(150_000)])
    huge = b64(big).encode()  # ~1.3 MB on one line: a batch of its own, past a block
    files["huge-line"] = b"\n".join([realistic_line(rng), huge, b"", huge[:-5], realistic_line(rng),
                                     huge[: 600_001]]) + b"\n"
    paths = {}
    for name, data in files.items():
        path = root / f"{name}.b64"
        path.write_bytes(data)
        paths[name] = path
    return paths


BIG_FILES = ["realistic", "hostile", "crlf-no-final-newline", "random-bytes", "huge-line"]


@pytest.mark.parametrize("jobs", JOBS)
@pytest.mark.parametrize("name", BIG_FILES)
def test_big_files_match_parse_for_every_job_count(big_files, name, jobs):
    path = big_files[name]
    out, err = expected(path.read_bytes(), 3, str(path))
    result = run(["-p", "3", "-j", jobs, path])
    if result.stdout != out:  # the first line that differs, not 5 MB of bytes
        got, want = result.stdout.splitlines(), out.splitlines()
        first = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
        pytest.fail(f"document {first} differs: {got[first:first + 1]!r} != {want[first:first + 1]!r}")
    assert result.stderr.splitlines() == err.splitlines()
    assert (result.returncode, result.stderr) == (0 if not err else 1, err)
    assert len(path.read_bytes()) > 3 * 256 * 1024, "spans several blocks"


@pytest.mark.parametrize("jobs", JOBS)
def test_both_streams_keep_line_order_when_merged(big_files, jobs):
    # 2>&1: every failure's report stands between the documents of the
    # lines around it.
    path = big_files["hostile"]
    _, _, both = expected(path.read_bytes(), 3, "<stdin>", merged=True)
    with open(path, "rb") as stdin:
        result = subprocess.run([str(TOOL), "-p", "3", "-j", str(jobs)], stdin=stdin,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    assert result.returncode == 1
    assert result.stdout == both


@pytest.mark.parametrize("jobs", JOBS)
def test_input_through_a_pipe_in_small_pieces(big_files, jobs):
    # A slow writer: the tool decodes what it has and waits for the rest.
    data = big_files["hostile"].read_bytes()[:400_000]
    out, err = expected(data, 3, "<stdin>")
    proc = subprocess.Popen([str(TOOL), "-p", "3", "-j", str(jobs)], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    stderr = []

    def feed():
        rng = random.Random(jobs)
        pos = 0
        while pos < len(data):
            n = rng.choice([1, 7, 100, 4096, 65536])
            proc.stdin.write(data[pos:pos + n])
            proc.stdin.flush()
            pos += n
            if rng.random() < 0.01:
                time.sleep(0.005)
        proc.stdin.close()

    threads = [threading.Thread(target=feed),
               threading.Thread(target=lambda: stderr.append(proc.stderr.read()))]
    for t in threads:
        t.start()
    stdout = proc.stdout.read()
    for t in threads:
        t.join()
    proc.stdout.close()
    proc.stderr.close()
    assert proc.wait(timeout=60) == 1
    assert (stdout, stderr[0]) == (out, err)


@pytest.mark.parametrize("jobs", JOBS)
@pytest.mark.parametrize("data", [b"", b"\n", b"\r\n\n\r\n", b"AQMBATICAQTQDwDXBP//Aw==",
                                  b"AQMBATICAQTQDwDXBP//Aw==\r", b"\n\nQUI", b"\xff"])
def test_small_inputs_for_every_job_count(data, jobs):
    out, err = expected(data, 3, "<stdin>")
    result = run(["-p", "3", "-j", jobs], stdin=data)
    assert (result.returncode, result.stdout, result.stderr) == (1 if err else 0, out, err)


@pytest.mark.parametrize("jobs", JOBS)
def test_several_files_number_their_own_lines(big_files, tmp_path, jobs):
    small = tmp_path / "small.b64"
    small.write_bytes(b"AQ==\n\nAR==\nAQMBATICAQTQDwDXBP//Aw==")  # no final line feed
    inputs = [big_files["hostile"], small, tmp_path / "missing", big_files["crlf-no-final-newline"], small]
    result = run(["-p", "3", "-j", jobs, *inputs])
    want_out, want_err = b"", b""
    for path in inputs:
        if not path.exists():
            want_err += f"vorlane-decode: {path}: No such file or directory\n".encode()
            continue
        out, err = expected(path.read_bytes(), 3, str(path))
        want_out += out
        want_err += err
    # A missing input: status 2, though every other line was decoded.
    assert (result.returncode, result.stdout, result.stderr) == (2, want_out, want_err)


@pytest.mark.parametrize("args, message", [
    (["-j", "0"], "invalid number of jobs '0': expected a whole number from 1 to 256"),
    (["-j", "257"], "invalid number of jobs '257'"),
    (["-j", "x"], "invalid number of jobs 'x'"),
    (["-j", ""], "invalid number of jobs ''"),
    (["--jobs=-1"], "invalid number of jobs '-1'"),
    (["-j"], "option '-j' needs a value"),
    (["--jobs"], "option '--jobs' needs a value"),
    (["-j", "2", "-p", "x"], "invalid payload version 'x'"),
    (["-j", "2"], "the payload version is required (-p VERSION)"),
    (["--progres"], "unknown option '--progres'"),
])
def test_bad_jobs_and_version_are_refused_before_any_input_is_read(tmp_path, args, message):
    # A FIFO nobody writes to: opening it would block, so a tool that
    # returns at all has not touched its input.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    head = [] if "-p" in args or args == ["-j", "2"] else ["-p", "3"]
    result = run([*head, fifo, *args], timeout=30)
    assert result.returncode == 2
    assert result.stdout == b""
    assert result.stderr.decode().startswith(f"vorlane-decode: {message}")


@pytest.mark.parametrize("args", [["-j", "4"], ["-j4"], ["--jobs", "4"], ["--jobs=4"], ["-j", "256"],
                                  ["-j", "1", "-j", "3"]])
def test_jobs_forms(args):
    result = run(["-p", "3", *args], stdin=b"AQMBATICAQTQDwDXBP//Aw==\nAR==\n")
    assert result.returncode == 1
    assert result.stdout.startswith(b'{"Accel":{"V3":{')
    assert result.stderr == b"<stdin>:2: Parsing failed: B64Error(InvalidLastSymbol(1, 82))\n"


SUMMARY = re.compile(
    rb"vorlane-decode: (\d+) lines?, (\d+) decoded, (\d+) failed \([0-9.]+ MB in [0-9.]+ s\)\n")
PROGRESS = re.compile(rb"vorlane-decode: \d+ lines?, [0-9.]+ MB/s, \d+ failed(, \d+%, \d+:\d\d left)?\n")


@pytest.mark.parametrize("jobs", [1, 3])
def test_progress_forced_on_ends_with_the_summary(big_files, jobs):
    path = big_files["hostile"]
    out, err = expected(path.read_bytes(), 3, str(path))
    result = run(["-p", "3", "-j", jobs, "--progress", path])
    assert result.stdout == out
    lines = result.stderr.splitlines(keepends=True)
    summary = SUMMARY.fullmatch(lines[-1])
    assert summary, lines[-1]
    reports = [line for line in lines[:-1] if not PROGRESS.fullmatch(line)]
    assert b"".join(reports) == err
    assert int(summary[1]) == count_lines(path.read_bytes())
    assert int(summary[2]) == out.count(b"\n") and int(summary[3]) == err.count(b"\n")


@pytest.mark.parametrize("args", [[], ["--no-progress"], ["--progress", "--no-progress"]])
def test_no_progress_off_a_terminal_unless_asked(args):
    result = run(["-p", "3", *args], stdin=b"AR==\n")
    assert result.stderr == b"<stdin>:1: Parsing failed: B64Error(InvalidLastSymbol(1, 82))\n"


def _run_with_terminal_stderr(args, stdin):
    master, slave = pty.openpty()
    try:
        proc = subprocess.Popen([str(TOOL), *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=slave)
        os.close(slave)
        slave = -1
        stdout, _ = proc.communicate(stdin, timeout=60)
        chunks = []
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the other end is closed
                break
            if not chunk:
                break
            chunks.append(chunk)
        return proc.returncode, stdout, b"".join(chunks)
    finally:
        os.close(master)
        if slave != -1:
            os.close(slave)


def test_progress_is_on_by_default_on_a_terminal():
    code, stdout, tty = _run_with_terminal_stderr(["-p", "3"], b"AQMBATICAQTQDwDXBP//Aw==\nAR==\n")
    assert code == 1 and stdout.count(b"\n") == 1
    assert b"<stdin>:2: Parsing failed: B64Error(InvalidLastSymbol(1, 82))" in tty
    assert re.search(rb"vorlane-decode: 2 lines, 1 decoded, 1 failed \(", tty)
    code, _, tty = _run_with_terminal_stderr(["-p", "3", "--no-progress"], b"AR==\n")
    assert b"decoded" not in tty


@pytest.mark.parametrize("jobs", [1, 2, 8])
def test_a_closed_pipe_ends_the_tool_quietly(big_files, jobs):
    # As `vorlane-decode ... | head -c 1000`: status 2 (the output is not
    # all written), nothing on stderr.
    path = big_files["realistic"]
    proc = subprocess.Popen([str(TOOL), "-p", "3", "-j", str(jobs), "--progress", path, path, path],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    head = proc.stdout.read(1000)
    proc.stdout.close()
    stderr = proc.stderr.read()
    proc.stderr.close()
    assert proc.wait(timeout=60) == 2
    assert head.startswith(b'{"Accel":{"V3":{')
    assert stderr == b""


# ---- --stats: the run's counts as one line of JSON ---------------------------

STATS_KEYS = ["status", "lines", "documents", "failures", "bytes"]


def read_stats(path):
    text = path.read_bytes()
    assert text.endswith(b"\n") and text.count(b"\n") == 1, text
    stats = json.loads(text)
    assert list(stats) == STATS_KEYS
    return stats


@pytest.mark.parametrize("jobs", [1, 3])
@pytest.mark.parametrize("data", [b"", GOOD_V3, GOOD_V3 + b"\n\nAR==\r\n" + GOOD_V3 + b"\n",
                                  b"\n\n", b"AR==\nQUI"], ids=["empty", "one", "mixed", "blank", "failed"])
def test_stats_count_what_the_run_read_and_wrote(tmp_path, data, jobs):
    stats_path = tmp_path / "stats.json"
    stats_path.write_bytes(b"old counts that are longer than the new ones\n" * 3)  # replaced whole
    result = run(["-p", "3", "-j", jobs, "--stats", stats_path], stdin=data)
    out, err = expected(data, 3, "<stdin>")
    assert (result.stdout, result.stderr) == (out, err)
    assert read_stats(stats_path) == {
        "status": result.returncode, "lines": count_lines(data), "documents": out.count(b"\n"),
        "failures": err.count(b"\n"), "bytes": len(data)}


def test_stats_of_several_inputs_and_a_missing_one(big_files, tmp_path):
    inputs = [big_files["hostile"], tmp_path / "missing", big_files["huge-line"]]
    result = run(["-p", "3", f"--stats={tmp_path / 's.json'}", *inputs])
    data = [p.read_bytes() for p in inputs if p.exists()]
    assert read_stats(tmp_path / "s.json") == {
        "status": 2, "lines": sum(map(count_lines, data)), "documents": result.stdout.count(b"\n"),
        "failures": result.stderr.count(b"\n") - 1, "bytes": sum(map(len, data))}
    assert result.returncode == 2


def test_stats_to_an_inherited_descriptor():
    # As a worker may take them: through a pipe it hands down.
    read_end, write_end = os.pipe()
    proc = subprocess.Popen([str(TOOL), "-p", "3", "--stats", f"/dev/fd/{write_end}"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            pass_fds=[write_end])
    os.close(write_end)
    out, err = proc.communicate(GOOD_V3 + b"\nAR==\n", timeout=60)
    with os.fdopen(read_end, "rb") as f:
        text = f.read()
    assert (proc.returncode, out.count(b"\n"), err.count(b"\n")) == (1, 1, 1), err
    assert text == b'{"status":1,"lines":2,"documents":1,"failures":1,"bytes":30}\n'


@pytest.mark.needs("/dev/full")
def test_stats_when_the_output_is_not_written(tmp_path):
    # Every write to /dev/full fails: nothing reached the output.
    with open("/dev/full", "wb") as full:
        result = subprocess.run([str(TOOL), "-p", "3", "--stats", tmp_path / "s.json"],
                                input=(GOOD_V3 + b"\n") * 3, stdout=full, stderr=subprocess.PIPE,
                                timeout=60)
    assert result.returncode == 2
    assert read_stats(tmp_path / "s.json") == {"status": 2, "lines": 0, "documents": 0,
                                               "failures": 0, "bytes": 0}


@pytest.mark.parametrize("jobs", [1, 2])
def test_stats_when_the_reader_goes_away(big_files, tmp_path, jobs):
    # The counts so far: lines whose documents went out before the pipe closed.
    path = big_files["realistic"]
    stats_path = tmp_path / "s.json"
    proc = subprocess.Popen([str(TOOL), "-p", "3", "-j", str(jobs), "--stats", stats_path, path, path],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.read(1000)
    proc.stdout.close()
    with proc.stderr:
        assert (proc.wait(timeout=60), proc.stderr.read()) == (2, b"")
    stats = read_stats(stats_path)
    assert stats["status"] == 2
    assert stats["lines"] < 2 * count_lines(path.read_bytes())
    assert stats["documents"] == stats["lines"] and stats["failures"] == 0
    assert stats["bytes"] < 2 * path.stat().st_size


def test_stats_to_a_place_that_cannot_be_written_stops_before_any_input(tmp_path):
    # Standard input is never read: the pipe's writer sees it closed unread.
    target = tmp_path / "no" / "such" / "dir.json"
    result = run(["-p", "3", "--stats", target], stdin=GOOD_V3 + b"\n")
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr == f"vorlane-decode: {target}: No such file or directory\n".encode()


@pytest.mark.needs("/dev/full")
def test_stats_that_cannot_be_written_make_the_status_2():
    result = run(["-p", "3", "--stats", "/dev/full"], stdin=GOOD_V3 + b"\n")
    assert result.stdout.count(b"\n") == 1
    assert result.stderr == b"vorlane-decode: /dev/full: write failed: No space left on device\n"
    assert result.returncode == 2


@pytest.mark.parametrize("args, message", [
    (["--stats"], "option '--stats' needs a value"),
    (["--stats="], "option '--stats' needs a file name"),
    (["--stats", ""], "option '--stats' needs a file name"),
])
def test_stats_needs_a_file(args, message):
    result = run(["-p", "3", *args], stdin=GOOD_V3)
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr.startswith(f"vorlane-decode: {message}\n".encode())


# ---- --strict: bytes left after the record -----------------------------------

def with_bytes_after(line, n):
    return b64(base64.b64decode(line) + bytes(range(1, n + 1))).encode()


@pytest.mark.parametrize("jobs", [1, 3])
def test_strict_fails_records_that_leave_bytes(jobs):
    lines = [GOOD_V3, with_bytes_after(GOOD_V3, 1), with_bytes_after(GOOD_V3, 3), b"AR==",
             with_bytes_after(b"AQAA", 200), b"AQAA"]
    data = b"\n".join(lines) + b"\n"
    # Without --strict the bytes after a record are ignored, as parse ignores them.
    plain = run(["-p", "3", "-j", jobs], stdin=data)
    out, err = expected(data, 3, "<stdin>")
    assert (plain.returncode, plain.stdout, plain.stderr) == (1, out, err)
    assert out.count(b"\n") == 4

    strict = run(["-p", "3", "-j", jobs, "--strict"], stdin=data)
    assert strict.stdout == out.splitlines(keepends=True)[0]
    assert strict.stderr == (
        b"<stdin>:2: 1 byte left after the record (is -p right?)\n"
        b"<stdin>:3: 3 bytes left after the record (is -p right?)\n"
        b"<stdin>:4: Parsing failed: B64Error(InvalidLastSymbol(1, 82))\n"
        b"<stdin>:5: 188 bytes left after the record (is -p right?)\n"  # 203 bytes, a record of 15
        b"<stdin>:6: Parsing failed: PostcardError(DeserializeUnexpectedEnd)\n")
    assert strict.returncode == 1


def test_strict_catches_a_wrong_payload_version():
    # A version 3 payload read as version 1 fits that layout: a document of
    # wrong values, unless --strict sees the bytes the record left.
    wrong = run(["-p", "1"], stdin=GOOD_V3 + b"\n")
    assert (wrong.returncode, wrong.stderr) == (0, b"")
    assert wrong.stdout.startswith(b'{"Accel":{"V1":')
    strict = run(["-p", "1", "--strict"], stdin=GOOD_V3 + b"\n")
    assert (strict.returncode, strict.stdout) == (1, b"")
    assert strict.stderr == b"<stdin>:1: 10 bytes left after the record (is -p right?)\n"


def test_strict_output_of_whole_records_is_the_plain_output(big_files):
    path = big_files["realistic"]
    plain = run(["-p", "3", path])
    strict = run(["-p", "3", "--strict", path])
    assert (strict.returncode, strict.stdout, strict.stderr) == (0, plain.stdout, b"")


# ---- memory: bounded by the line, not the batch ------------------------------

def run_limited(kib, args, **kwargs):
    """The tool with its address space limited to `kib` KiB. A sanitizer's
    build (scripts/test-sanitized, test-tool-tsan) reserves terabytes for its
    shadow memory and cannot start so: the test is skipped there."""
    limited = ["sh", "-c", f'ulimit -v {kib}; exec "$0" "$@"', str(TOOL)]
    if subprocess.run([*limited, "--version"], capture_output=True, timeout=60).returncode != 0:
        pytest.skip(f"this build of the tool does not start in {kib} KiB of address space")
    return subprocess.run([*limited, *map(str, args)], capture_output=True, timeout=300, **kwargs)


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_100_mb_line_in_450_mb_of_address_space(tmp_path, jobs):
    path = tmp_path / "long.b64"
    with open(path, "wb") as f:
        f.write(GOOD_V3 + b"\n" + b"!" * 100_000_000 + b"\n" + GOOD_V3 + b"\n")
    result = run_limited(450_000, ["-p", "3", "-j", jobs, path])
    doc, _ = parse_bytes(3, GOOD_V3)
    assert result.stdout == (doc + "\n").encode() * 2
    assert result.stderr == f"{path}:2: Parsing failed: B64Error(InvalidByte(0, 33))\n".encode()
    assert result.returncode == 1


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("length", [110_000_000, 250_000_000], ids=["held, not decoded", "not held"])
def test_a_line_too_long_for_the_memory_fails_alone(tmp_path, jobs, length):
    # In 200,000 KiB (195 MiB) of address space: a line of 110 MB is read
    # whole (its buffer doubles to 128 MiB), but there is no room for its
    # 79 MiB of decoded bytes as well, whatever else the build maps (a static
    # tool maps almost nothing, and a line of 90 MB then decodes); one of
    # 250 MB cannot even be held. Either is reported, and the lines after it
    # are decoded.
    data = b"\n".join([GOOD_V3, b"A" * length, b"AR==", GOOD_V3]) + b"\n"
    stats = tmp_path / "s.json"
    result = run_limited(200_000, ["-p", "3", "-j", jobs, "--stats", stats], input=data)
    doc, _ = parse_bytes(3, GOOD_V3)
    assert result.stdout == (doc + "\n").encode() * 2
    assert result.stderr == (b"<stdin>:2: out of memory\n"
                             b"<stdin>:3: Parsing failed: B64Error(InvalidLastSymbol(1, 82))\n")
    assert result.returncode == 2
    assert read_stats(stats) == {"status": 2, "lines": 4, "documents": 2, "failures": 2,
                                 "bytes": len(data)}


# ---- the closing summary -----------------------------------------------------

@pytest.mark.parametrize("data, summary", [
    (b"", b"0 lines, 0 decoded, 0 failed"),
    (GOOD_V3, b"1 line, 1 decoded, 0 failed"),
    (b"\n", b"1 line, 0 decoded, 0 failed"),
    (GOOD_V3 + b"\nAR==\n", b"2 lines, 1 decoded, 1 failed"),
])
def test_summary_counts_in_words(data, summary):
    result = run(["-p", "3", "--progress"], stdin=data)
    assert result.stderr.splitlines()[-1].startswith(b"vorlane-decode: " + summary + b" (")


def test_help_tells_of_a_wrong_version_and_strict():
    text = run(["--help"]).stdout.decode()
    assert "--strict" in text and "--stats FILE" in text
    assert "A wrong -p is not always noticed" in text
