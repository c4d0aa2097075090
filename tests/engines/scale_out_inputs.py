"""Inputs for the tests of vorlane-decode-dask, vorlane-decode-spark and the
recipes, and what the tool makes of them.

Every check compares the commands' part files with vorlane-decode's own
output for the same arguments, so the tool is the reference here.
"""
import json
import random
import subprocess
import sys
import sysconfig
from pathlib import Path

from payloads import b64, make_file, realistic_line, settings_bytes, v1_bytes

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
SCRIPTS = Path(sysconfig.get_path("scripts"))
TOOL = SCRIPTS / "vorlane-decode"

# Lines that reach every outcome, and characters that other line splitters
# (str.splitlines, Spark's text reader) would take for line ends.
HOSTILE = [
    b"AQMBATICAQTQDwDXBP//Aw==", b"AQAA", b"AAAAAAAA", b"", b"AB CD", b"AAAAA", b"AR==",
    b"AA=A", b"=AAA", b"QUI", b"QQ=", b"AQ==", b"AA\x00A", b"   ", b"\r", b"\r\r", b"AAAA\r",
    b"AAAA\x0b", b"AAAA\x0c", b"AA\x1cAA", b"AA\x1e", "AAAA\u2028".encode(), "AA\x85A".encode(),
    "éAAA".encode(), "QUJ\u00e9".encode(), "\U0001f600AAA".encode(), "\ufeffAAAA".encode(),
    b64(bytes([0, 0, 0, 0, 0x80, 0x80, 0x04, 0])).encode(), b64(bytes([3, 0, 0, 0, 0, 0])).encode(),
    b64(bytes([0, 7])).encode(), b64(v1_bytes(-(2**63), -32768, [(32767, -32768, 0)])).encode(),
]
# Not UTF-8: the tool judges the bytes as they are.
NOT_UTF8 = [b"QUJD\xff\xfeAA", b"QUJ\xc3", b"\x80AAA", b"AAAA\xed\xa0\x80", b"AQ==\xc0\xaf",
            b"AAA\xff", b"AQMBATICAQTQDwDXBP//Aw\xe9=", b"!!\xff!"]


def random_line(rng):
    kind = rng.random()
    if kind < 0.4:
        return realistic_line(rng)
    if kind < 0.6:
        return rng.choice(HOSTILE)
    if kind < 0.75:   # a valid payload cut, flipped or with a stray byte
        line = bytearray(realistic_line(rng))
        pos = rng.randrange(len(line))
        op = rng.randrange(3)
        if op == 0:
            del line[pos:]
        elif op == 1:
            line[pos] = rng.choice(b"=+/-_ \t\r!A")
        else:
            line.insert(pos, rng.choice(b"=\r \x00"))
        return bytes(line)
    if kind < 0.9:    # random characters, any of them valid UTF-8
        return "".join(chr(rng.choice([rng.randrange(32, 127), rng.randrange(0x80, 0x800),
                                       rng.randrange(0xE000, 0x10000), rng.randrange(0, 32)]))
                       for _ in range(rng.randrange(12))).replace("\n", "").encode()
    return b"\r" * rng.randrange(3)


def write_file(path, rng, lines, ending=None, final_newline=True, extra=()):
    """A file of random_line lines and the `extra` ones, shuffled."""
    Path(path).write_bytes(make_file(rng, lines, ending=ending, final_newline=final_newline,
                                     line=random_line, extra=extra))
    return Path(path)


def tool_output(version, files, cwd, extra=()):
    """The tool's stdout, its per-line failures, its per-file complaints."""
    result = subprocess.run([str(TOOL), "-p", str(version), *extra, *map(str, files)],
                            capture_output=True, cwd=cwd, timeout=120)
    lines = result.stderr.splitlines(keepends=True)
    failures = b"".join(line for line in lines if not line.startswith(b"vorlane-decode: "))
    complaints = [line for line in lines if line.startswith(b"vorlane-decode: ")]
    return result.returncode, result.stdout, failures, complaints


def concat(folder):
    folder = Path(folder)
    return b"".join((folder / name).read_bytes() for name in sorted(p.name for p in folder.iterdir()))


def check_finished(out, status, **counts):
    """_SUCCESS after a complete run (status 0 or 1), holding its counts;
    none after any other; no temporary or pending file left either way."""
    out = Path(out)
    success = out / "_SUCCESS"
    if status in (0, 1):
        written = json.loads(success.read_bytes())
        assert written["status"] == status
        assert {k: written[k] for k in counts} == counts
        assert sorted(p.name for p in out.iterdir()) == ["_SUCCESS", "documents", "failures"]
    else:
        assert not success.exists()
        assert not (out / "_temporary").exists() or not list((out / "_temporary").iterdir())
    for folder in ("documents", "failures"):
        if (out / folder).exists():
            assert all(p.name.startswith("part-") for p in (out / folder).iterdir())


def fake_tool(folder, body, real=TOOL):
    """A vorlane-decode that says it is of this release, then runs `body`
    (a shell script; $REAL is the real tool)."""
    path = Path(folder) / "vorlane-decode"
    path.write_text(f'#!/bin/sh\nREAL="{real}"\n'
                    'if [ "$1" = --version ]; then exec "$REAL" --version; fi\n' + body + "\n")
    path.chmod(0o755)
    return str(path)


def run_command(command, args, cwd, timeout=600, env=None):
    """An installed command (vorlane-decode-dask, ...), or a recipe in examples/."""
    cmd = [sys.executable, str(EXAMPLES / command)] if command.endswith(".py") \
        else [str(SCRIPTS / command)]
    return subprocess.run([*cmd, *map(str, args)], capture_output=True, cwd=cwd,
                          timeout=timeout, env=env)


def make_case(folder, seed):
    """Files of every kind in `folder`: (the command's FILE arguments, the same
    as a shell would pass them to the tool)."""
    rng = random.Random(seed)
    write_file(folder / "mixed.b64", rng, 400, extra=HOSTILE)
    write_file(folder / "part1.b64", rng, 150, ending=b"\r\n", final_newline=False)
    write_file(folder / "part2.b64", rng, 150, extra=NOT_UTF8)
    write_file(folder / "part3.b64", rng, 0)
    return (["mixed.b64", "missing.b64", "part*.b64"],
            ["mixed.b64", "missing.b64", "part1.b64", "part2.b64", "part3.b64"])


def check_against_tool(result, folder, script, tool_files, out="out", version=3,
                       decoder="vorlane-decode"):
    """The command's run in `folder` against the tool's on the same files."""
    code, documents, failures, complaints = tool_output(version, tool_files, folder)
    err = result.stderr.decode()
    assert result.returncode == code == 2, err
    check_finished(folder / out, 2)
    assert concat(folder / out / "documents") == documents
    assert concat(folder / out / "failures") == failures
    assert [c.split(b": ", 1)[1] for c in complaints] == [b"missing.b64: No such file or directory\n"]
    assert f"{script}: missing.b64: No such file or directory\n" in err
    summary = [line for line in err.splitlines() if line.startswith(f"{script}: 4 files, ")]
    assert len(summary) == 1, err
    assert f"{documents.count(b'\n')} documents, {failures.count(b'\n')} failed lines" in summary[0]
    assert f"; decoder {decoder};" in summary[0]
    assert "Traceback" not in err, err
    return documents, failures


def write_repeated(folder):
    """rep.b64: six lines, every second one bad; the arguments that name it twice."""
    good = b64(settings_bytes(1, 2, 0, 1, 5, [(1, 2, 3)])).encode()
    (folder / "rep.b64").write_bytes(b"".join([good + b"\n", b"QR==\n"] * 3))
    return ["rep.b64", "rep.b64"]


def check_repeated(result, folder, **counts):
    """A command's run over write_repeated's arguments, numbered as the tool numbers it."""
    code, documents, failures, _ = tool_output(3, ["rep.b64", "rep.b64"], folder)
    assert result.returncode == code == 1, result.stderr.decode()
    assert concat(folder / "out" / "failures") == failures
    assert [line.split(b":")[1] for line in failures.splitlines()] == [b"2", b"4", b"6"] * 2
    assert concat(folder / "out" / "documents") == documents
    check_finished(folder / "out", 1, files=2, lines=12, documents=6, failures=6, **counts)


def recipe_expectations(folder):
    """The sample files, and what the tool makes of them: its documents, and
    a {"payload", "error"} row for each line it reports."""
    samples = sorted(EXAMPLES.glob("*.b64"))
    code, documents, failures, _ = tool_output(3, samples, folder)
    rows = []
    for report in failures.decode().splitlines():
        where, error = report.split(": ", 1)
        name, number = where.rsplit(":", 1)
        payload = Path(name).read_text().splitlines()[int(number) - 1]
        rows.append({"payload": payload, "error": error})
    assert code == 1 and rows and documents
    return samples, documents, rows
