"""The pipeline of vorlane-decode-dask and vorlane-decode-spark, run here
without a cluster: blocks cut anywhere must still reassemble to the tool's
output, every argument or input fault must end the run with one line before
anything is made, and a worker must fail a block whose tool or input
misbehaves without leaving a part behind."""
import os
import random
import subprocess
import sys
from importlib import metadata
from types import SimpleNamespace

import pytest

from payloads import b64, settings_bytes, v1_bytes
from scale_out_inputs import HOSTILE, NOT_UTF8, concat, fake_tool, run_command, tool_output, \
    write_file
from vorlane_binary_parser_blocks import client as bc, output as bo, paths, plan as bp, tool, \
    worker as db

COMMANDS = ["vorlane-decode-dask", "vorlane-decode-spark"]
# Both ways a worker decodes: the tool fed from the file, parse line by line.
DECODERS = ["tool", "parse"]
GOOD = b64(settings_bytes(1, 2, 0, 1, 5, [(1, 2, 3)])).encode()


def decode_here(files, version, out, block_size, decoder, strict=False):
    """What an engine does, in a loop: every block, then the renumbering."""
    inputs, problems = bp.resolve_inputs([str(f) for f in files])
    bo.prepare_output(str(out), overwrite=True)
    blocks = bp.plan_blocks(inputs, block_size)
    width = bp.part_width(blocks)
    results = {b.index: db.decode_block(b, str(out), width, db.Options(version, decoder, strict))
               for b in blocks}
    assert not [c.error for c in results.values() if c.error]
    assert {c.decoder for c in results.values()} <= {decoder, ""}
    plan = bc.Plan(SimpleNamespace(payload_version=version, decoder=decoder, strict=strict,
                                   stall_timeout=60, output=str(out)), inputs, blocks, False)
    errors, pending = bc.to_renumber(plan, results)
    assert errors == []
    for b, offset in pending:
        assert db.renumber_failures(b, offset, str(out), width) is None
    bo.finish_output(str(out), {})
    paths.remove(paths.join(str(out), bo.SUCCESS))
    return problems, results


def like_the_tool(folder, files, version, block_size, decoder, strict=False):
    """decode_here in `folder`, its parts against the tool's output there."""
    _, out, err, _ = tool_output(version, files, folder, ["--strict"] if strict else [])
    problems, results = decode_here(files, version, folder / "out", block_size, decoder, strict)
    assert concat(folder / "out" / "documents") == out
    assert concat(folder / "out" / "failures") == err
    return problems, results, out, err


@pytest.mark.parametrize("decoder", DECODERS)
@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("block_size", [37, 1000, 1 << 20])
def test_blocks_reassemble_to_the_tool_output(tmp_path, monkeypatch, seed, block_size, decoder):
    monkeypatch.chdir(tmp_path)
    rng = random.Random(seed)
    files = [
        write_file(tmp_path / "mixed.b64", rng, 120, extra=HOSTILE),
        write_file(tmp_path / "crlf.b64", rng, 40, ending=b"\r\n", final_newline=False),
        write_file(tmp_path / "bytes.b64", rng, 30, extra=NOT_UTF8, final_newline=seed % 2 == 0),
        write_file(tmp_path / "empty.b64", rng, 0),
    ]
    version = [3, 2, 1, 3, 0, 2**64 - 1][seed]
    problems, results, out, err = like_the_tool(tmp_path, [f.name for f in files], version,
                                                block_size, decoder)
    assert problems == [] and err
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["documents", "failures"]
    assert sum(c.failures for c in results.values()) == err.count(b"\n")
    assert sum(c.documents for c in results.values()) == out.count(b"\n")
    assert sum(c.lines for c in results.values()) == sum(
        data.count(b"\n") + (1 if data and not data.endswith(b"\n") else 0)
        for data in (f.read_bytes() for f in files))


CAFE = os.fsdecode(b"caf\xe9.b64")
ODD_BYTES = b"\n".join(NOT_UTF8 + [b"AAAA\xff\r", b"\xff" * 9, b"=\xff==", b"QR=\xff"])


@pytest.mark.parametrize("decoder", DECODERS)
@pytest.mark.parametrize("contents, names, block_size, version", [
    # Blocks of one byte: a block boundary at every byte, CR-LF pairs cut too.
    ({"x": b"AAAA\r\n\r\nQR==\n\n\nAQ\xff=\r\r\nAQAA\rAQAA\r"}, ["x"], 1, 3),
    ({"x": b"\n\n\r\n=\n" * 5 + b"AAAAAAAA"}, ["x"], 1, 3),
    ({"x": b"QR==\r\nAQAA\n\xc3\xa9\r\nAB\xe9\n\r"}, ["x"], 1, 3),
    # Not UTF-8: the tool judges the bytes, parse is given a stand-in for them.
    *[({"x": ODD_BYTES}, ["x"], 1 << 20, version) for version in (1, 3, 7)],
    # Lines far longer than a block: most blocks hold no line of their own.
    ({"x": b"\n".join([b"A" * 300_000 + b"==", GOOD, b"A" * 300_001 + b"\r", b"QR=="]
                      + HOSTILE)}, ["x"], 4096, 3),
    # A name that is not UTF-8 is written as its bytes.
    ({CAFE: b"QR==\n" * 50}, [CAFE], 64, 3),
    # A file named twice is numbered from 1 each time, as the tool numbers it.
    *[({"rep": (GOOD + b"\nQR==\n") * 3, "other": b"QR==\n" + GOOD + b"\n"},
       ["rep", "other", "rep", "rep"], size, 3) for size in (1, 30, 1000)],
])
def test_hard_inputs_match_the_tool(tmp_path, monkeypatch, contents, names, block_size, version,
                                    decoder):
    monkeypatch.chdir(tmp_path)
    for name, data in contents.items():
        with open(name, "wb") as f:
            f.write(data)
    like_the_tool(tmp_path, names, version, block_size, decoder)


def test_strict_goes_through_the_tool(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    record = settings_bytes(1, 2, 0, 1, 5, [(1, 2, 3)])
    lines = [b64(record + extra) for extra in (b"", b"\x07", bytes(4000))] + \
        ["QR==", b64(v1_bytes(5, 6, []) + bytes(9))]
    (tmp_path / "s.b64").write_text("\n".join(lines * 3) + "\n")
    for strict in (False, True):
        err = like_the_tool(tmp_path, ["s.b64"], 3, 100, "tool", strict)[3]
        assert err.count(b"\n") == (12 if strict else 6)


def one_block(tmp_path, decoder="tool", path=None, out=None, **options):
    """decode_block on the whole of x.b64, into a fresh tmp_path/out."""
    path = path or tmp_path / "x.b64"
    size = path.stat().st_size if path.exists() else 5
    if out is None:
        out = tmp_path / "out"
        bo.prepare_output(str(out), overwrite=True)
    return db.decode_block(bp.Block(0, "x.b64", str(path), 0, size, 0, size), str(out), 5,
                           db.Options(1, decoder, **options))


@pytest.mark.parametrize("decoder, strict, error", [
    ("auto", False, None),  # falls back to parse
    ("tool", False, "no vorlane-decode of this release beside "),
    # parse cannot tell the bytes left after a record: no fallback.
    ("auto", True, "no vorlane-decode of this release beside "),
])
def test_without_the_tool(tmp_path, monkeypatch, decoder, strict, error):
    (tmp_path / "x.b64").write_bytes(b"AQAA\n")
    monkeypatch.setitem(tool._found_tool, "tool", None)
    counts = one_block(tmp_path, decoder, strict=strict)
    if error is None:
        assert (counts.error, counts.decoder, counts.documents) == (None, "parse", 1)
    else:
        assert counts.error.startswith(error)
        assert counts.error.endswith(" (--strict needs it)") == strict


def test_globs_and_part_names(tmp_path, monkeypatch):
    for name in ["b.b64", "a.b64", "c.txt", "sub/d.b64"]:
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(b"QR==\n")
    monkeypatch.chdir(tmp_path)
    # Named as the shell would name a glob's matches, sorted.
    inputs, problems = bp.resolve_inputs(["*.b64", "sub/*.b64", "nothing*.b64", "sub"])
    assert [i.name for i in inputs] == ["a.b64", "b.b64", "sub/d.b64"]
    assert problems == ["nothing*.b64: No such file or directory", "sub: Is a directory"]
    # Parts of one width: name order is block order.
    blocks = bp.plan_blocks([bp.Input("x", 150_000, "/x")], 1)
    names = [bp.part_name(b.index, bp.part_width(blocks)) for b in blocks]
    assert names[-1] == "part-149999" and names == sorted(names)
    assert bp.part_name(3, bp.part_width(blocks[:10])) == "part-00003"


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("args, message", [
    ([], "the following arguments are required: -p/--payload-version, -o/--output, FILE"),
    (["-o", "out", "x.b64"], "the following arguments are required: -p/--payload-version"),
    (["-p", "3", "x.b64"], "the following arguments are required: -o/--output"),
    (["-p", "3", "-o", "out"], "the following arguments are required: FILE"),
    (["-p", "-1", "-o", "out", "x.b64"], "argument -p/--payload-version: invalid payload version '-1'"),
    (["-p=-1", "-o", "out", "x.b64"], "argument -p/--payload-version: invalid payload version"),
    (["--payload-version=-1", "-o", "out", "x.b64"], "argument -p/--payload-version: invalid payload version '-1'"),
    (["-p", "x", "-o", "out", "x.b64"], "invalid payload version 'x'"),
    (["-p", "1.0", "-o", "out", "x.b64"], "invalid payload version '1.0'"),
    (["-p", str(2**64), "-o", "out", "x.b64"], f"invalid payload version '{2**64}'"),
    (["-p", "٣", "-o", "out", "x.b64"], "invalid payload version '٣'"),
    (["-p", "3", "-o", "out", "-"], "standard input cannot be read by the workers: name files"),
    (["-p", "3", "-o", "out", "--workers", "0", "x.b64"], "invalid count '0'"),
    (["-p", "3", "-o", "out", "--block-size", "0", "x.b64"], "invalid block size '0'"),
    (["-p", "3", "-o", "out", "--block-size", "1T", "x.b64"], "invalid block size '1T'"),
    (["-p", "3", "-o", "out", "--bogus", "x.b64"], "unrecognized arguments: --bogus"),
    (["-p", "3", "-o", "x.b64", "x.b64"], "output 'x.b64' exists and is not a folder"),
    (["-p", "3", "-o", "out", "--stall-timeout", "0", "x.b64"], "invalid stall timeout '0'"),
    (["-p", "3", "-o", "out", "--stall-timeout", "nan", "x.b64"], "invalid stall timeout 'nan'"),
    (["-p", "3", "-o", "out", "--strict", "--decoder", "parse", "x.b64"],
     "argument --strict: not with --decoder parse"),
])
def test_usage_errors_exit_2_with_one_line(tmp_path, command, args, message):
    (tmp_path / "x.b64").write_bytes(b"AQAA\n")
    result = run_command(command, args, tmp_path, timeout=60)
    err = result.stderr.decode()
    assert (result.returncode, result.stdout) == (2, b""), err
    assert err.count("\n") == 1 and err.startswith(f"{command}: ")
    assert message in err
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("command", COMMANDS)
def test_help_and_version(tmp_path, command):
    helped = run_command(command, ["--help"], tmp_path, timeout=60)
    for option in ("--payload-version", "--output", "--workers", "--block-size", "--decoder",
                   "--strict", "--stall-timeout", "--overwrite", "--no-progress", "Exit status"):
        assert option in helped.stdout.decode()
    release = f"{command} {metadata.version('vorlane_binary_parser')}\n"
    assert run_command(command, ["--version"], tmp_path, timeout=60).stdout.decode() == release


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("earlier", ["documents/part-00000", "_SUCCESS"])
def test_earlier_output_is_kept_unless_overwrite(tmp_path, command, earlier):
    (tmp_path / "x.b64").write_bytes(b"AQAA\n")
    (tmp_path / "out" / earlier).parent.mkdir(parents=True, exist_ok=True)
    (tmp_path / "out" / earlier).write_bytes(b"{}\n")
    result = run_command(command, ["-p", "3", "-o", "out", "x.b64"], tmp_path, timeout=60)
    assert result.returncode == 2
    assert result.stderr.decode() == (f"{command}: output folder 'out' holds an earlier run's "
                                      "parts (remove them or pass --overwrite)\n")
    assert (tmp_path / "out" / earlier).read_bytes() == b"{}\n"
    # --overwrite takes the old success mark away first.
    bo.finish_output(str(tmp_path / "out"), {"status": 0})
    bo.prepare_output(str(tmp_path / "out"), overwrite=True)
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == [
        "_pending", "_temporary", "documents", "failures"]
    assert not list((tmp_path / "out" / "documents").iterdir())


@pytest.mark.parametrize("command, engine", [("vorlane-decode-dask", "Dask"),
                                             ("vorlane-decode-spark", "PySpark")])
def test_a_missing_engine_is_named_before_anything_is_made(tmp_path, command, engine):
    # A package of the engine's name that fails to import, first on the path.
    for package in ("dask", "pyspark"):
        (tmp_path / "shadow" / package).mkdir(parents=True)
        (tmp_path / "shadow" / package / "__init__.py").write_text("raise ImportError('no')\n")
    (tmp_path / "x.b64").write_bytes(b"AQAA\n")
    env = dict(os.environ, PYTHONPATH=str(tmp_path / "shadow"))
    result = run_command(command, ["-p", "3", "-o", "out", "x.b64"], tmp_path, timeout=60, env=env)
    assert (result.returncode, result.stderr.decode()) == (
        2, f'{command}: needs {engine}: pip install "vorlane_binary_parser[engines]"\n')
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("command", COMMANDS)
def test_unreadable_inputs_end_the_run_before_a_cluster(tmp_path, command):
    (tmp_path / "folder").mkdir()
    result = run_command(command, ["-p", "3", "-o", "out", "missing.b64", "folder", "no*.b64",
                                   "/dev/null", "nosuch://b/y.b64"], tmp_path, timeout=60)
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr.decode() == "".join(f"{command}: {line}\n" for line in [
        "missing.b64: No such file or directory", "folder: Is a directory",
        "no*.b64: No such file or directory", "/dev/null: not a regular file",
        "nosuch://b/y.b64: Protocol not known: nosuch"])
    assert not (tmp_path / "out").exists()


@pytest.mark.needs("fsspec")
@pytest.mark.parametrize("decoder", DECODERS)
def test_output_on_a_file_system_without_file_descriptors(tmp_path, monkeypatch, decoder):
    # fsspec's in-memory file system: the tool's documents go through a
    # spill file, the parse decoder writes straight into it.
    import fsspec
    monkeypatch.chdir(tmp_path)
    write_file(tmp_path / "m.b64", random.Random(4), 200, extra=HOSTILE)
    _, out, err, _ = tool_output(3, ["m.b64"], tmp_path)
    decode_here(["m.b64"], 3, f"memory://decode-{decoder}", 2000, decoder)
    fs = fsspec.filesystem("memory")
    folder = f"/decode-{decoder}"
    assert [b"".join(fs.cat_file(p) for p in sorted(fs.ls(f"{folder}/{sub}", detail=False)))
            for sub in ("documents", "failures")] == [out, err]
    assert sorted(p.rsplit("/", 1)[1] for p in fs.ls(folder, detail=False)) == \
        ["documents", "failures"]
    fs.rm(folder, recursive=True)


STATS = 'n=$(wc -c); while [ $# -gt 1 ]; do [ "$1" = --stats ] && f=$2; shift; done\n'


@pytest.mark.parametrize("body, message", [
    ("cat >/dev/null; echo 'vorlane-decode: write failed: No space left on device' >&2; exit 2",
     "vorlane-decode: write failed: No space left on device"),
    ("cat >/dev/null; kill -9 $$", "vorlane-decode ended with status -9 and no counts"),
    # killed after some documents: none of them may stand as a part
    ('head -c 1000 | "$REAL" -p 1 -; kill -9 $$', "vorlane-decode ended with status -9 and no counts"),
    ("cat >/dev/null; exit 0", "vorlane-decode ended with status 0 and no counts"),
    # counts that disagree with the status, with the lines it wrote, with the bytes
    (STATS + """echo '{"status":1,"lines":1,"documents":1,"failures":0,"bytes":'$n'}' > $f; exit 1""",
     "vorlane-decode ended with status 1"),
    (STATS + """echo '<stdin>:1: Parsing failed: x' >&2
     echo '{"status":1,"lines":1,"documents":0,"failures":2,"bytes":'$n'}' > $f; exit 1""",
     "vorlane-decode ended with status 1"),
    (STATS + """echo '{"status":0,"lines":1,"documents":0,"failures":0,"bytes":'$((n - 1))'}' > $f""",
     "vorlane-decode ended with status 0"),
    # a line it could not hold: reported as a failed line, but status 2
    (STATS + """echo '<stdin>:1: out of memory' >&2
     echo '{"status":2,"lines":1,"documents":0,"failures":1,"bytes":'$n'}' > $f; exit 2""",
     "vorlane-decode: out of memory"),
    # stops reading at once: the feeding side sees a closed pipe
    ("exit 0", "vorlane-decode ended with status 0 and no counts"),
    # hangs: neither reads nor writes
    ("exec sleep 60", "vorlane-decode made no progress for 0.5 s"),
    ("cat >/dev/null; exec sleep 60", "vorlane-decode made no progress for 0.5 s"),
    # the input is cut short while the tool reads it
    ('truncate -s 1000 "$INPUT"; exec "$REAL" "$@"', "changed while being read"),
])
def test_a_tool_that_fails_fails_the_block(tmp_path, monkeypatch, body, message):
    # More than a pipe holds: the feeding is still going on when the tool acts.
    (tmp_path / "x.b64").write_bytes(b"AQAA\n" * 600_000)
    monkeypatch.setenv("INPUT", str(tmp_path / "x.b64"))
    monkeypatch.setitem(tool._found_tool, "tool", fake_tool(tmp_path, body))
    assert one_block(tmp_path, stall_timeout=0.5).error == f"x.b64: {message}"
    # Nothing of the block is left where a finished part would be.
    assert [list((tmp_path / "out" / d).iterdir()) for d in ("documents", "failures",
                                                             "_pending", "_temporary")] == [[]] * 4


def test_a_block_that_cannot_be_read_or_written_reports_it(tmp_path):
    (tmp_path / "x.b64").write_bytes(b"AQAA\n" * 1000)
    # What a worker that does not see the input or the output folder returns.
    assert one_block(tmp_path, path=tmp_path / "gone.b64").error == \
        "x.b64: No such file or directory"
    out = tmp_path / "nowhere"
    assert one_block(tmp_path, out=out).error == \
        f"{out}/documents/part-00000: No such file or directory"
    # An input no longer the size planned, on either road.
    bo.prepare_output(str(tmp_path / "out"), overwrite=True)
    block = bp.Block(0, "x.b64", str(tmp_path / "x.b64"), 0, 5000, 0, 5000)
    (tmp_path / "x.b64").write_bytes(b"AQAA\n" * 999)
    for decoder in DECODERS:
        assert db.decode_block(block, str(tmp_path / "out"), 5, db.Options(1, decoder)).error \
            == "x.b64: changed while being read"


def test_only_a_tool_of_the_same_release_is_taken(tmp_path, monkeypatch):
    real = tool.find_tool()
    assert real is not None, "the package installs the tool beside the interpreter"
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    monkeypatch.setattr(tool.sysconfig, "get_path", lambda *args: str(tmp_path / "nothing"))
    monkeypatch.setenv("PATH", str(bin_dir))
    monkeypatch.delenv("VORLANE_DECODE", raising=False)
    (bin_dir / "vorlane-decode").write_text("#!/bin/sh\necho 'vorlane-decode 0.0.0'\n")
    (bin_dir / "vorlane-decode").chmod(0o755)
    assert tool._look_for_tool() is None
    fake_tool(bin_dir, 'exec "$REAL" "$@"', real=real)
    assert tool._look_for_tool() == str(bin_dir / "vorlane-decode")
    # VORLANE_DECODE names the one to take, of the same release only.
    monkeypatch.setenv("VORLANE_DECODE", str(tmp_path / "nothing" / "vorlane-decode"))
    assert tool._look_for_tool() is None
    monkeypatch.setenv("VORLANE_DECODE", real)
    assert tool._look_for_tool() == real


@pytest.mark.parametrize("counts, text", [
    ({"files": 1, "lines": 1, "documents": 1, "failures": 1, "blocks": 1},
     "x: 1 file, 1 line, 1 document, 1 failed line, 1 block; "),
    ({"files": 2, "lines": 0, "documents": 0, "failures": 0, "blocks": 0},
     "x: 2 files, 0 lines, 0 documents, 0 failed lines, 0 blocks; "),
])
def test_summary_counts_in_the_singular_for_one(counts, text):
    assert bc.summary("x", counts, [], "out", 0, 0).startswith(text)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_client_peak_rss_is_its_own_not_its_starters():
    # getrusage's peak starts at the size of the process that started this
    # one: spark-submit's JVM, a notebook. The summary must not report that.
    ballast = bytearray(300 << 20)
    for i in range(0, len(ballast), 4096):
        ballast[i] = 1  # resident
    code = "from vorlane_binary_parser_blocks import client; print(client.peak_rss_mb())"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, check=True)
    del ballast
    assert 1 < float(result.stdout) < 150


def test_the_package_type_checks(tmp_path):
    # It ships py.typed: its annotations are what its users' checkers read.
    result = subprocess.run([sys.executable, "-m", "mypy", "-p", "vorlane_binary_parser_blocks"],
                            capture_output=True, cwd=tmp_path)
    assert result.returncode == 0, result.stdout.decode()
