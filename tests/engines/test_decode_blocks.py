"""The part shared by the Dask and Spark examples, run here without a cluster:
blocks cut anywhere must still reassemble to the tool's output, every
argument or input fault must end the run with one line before anything is
made, and a worker must fail a block whose tool or input misbehaves without
leaving a part behind."""
import os
import random
import subprocess
import sys
from types import SimpleNamespace

import pytest

from payloads import b64, settings_bytes, v1_bytes
from scale_out_inputs import EXAMPLES, HOSTILE, NOT_UTF8, concat, fake_tool, run_example, \
    tool_output, write_file

sys.path.insert(0, str(EXAMPLES))
import blocks_client as bc  # noqa: E402
import blocks_output as bo  # noqa: E402
import blocks_parse  # noqa: E402
import blocks_paths  # noqa: E402
import blocks_plan as bp  # noqa: E402
import blocks_tool  # noqa: E402
import decode_blocks as db  # noqa: E402

SCRIPTS = ["dask_decode.py", "spark_decode.py"]
# Both ways a worker decodes: the tool fed from the file, parse line by line.
DECODERS = ["tool", "parse"]


def decode_here(files, version, out, block_size, decoder, strict=False):
    """What an engine does, in a loop: every block, then the renumbering."""
    inputs, problems = bp.resolve_inputs([str(f) for f in files])
    bo.prepare_output(str(out), overwrite=True)
    blocks = bp.plan_blocks(inputs, block_size)
    width = bp.part_width(blocks)
    options = db.Options(version, decoder, strict)
    results = {b.index: db.decode_block(b, str(out), width, options) for b in blocks}
    assert not [c.error for c in results.values() if c.error]
    assert {c.decoder for c in results.values()} <= {decoder, ""}
    plan = bc.Plan(SimpleNamespace(payload_version=version, decoder=decoder, strict=strict,
                                   stall_timeout=60, output=str(out)), inputs, blocks, False)
    errors, pending = bc.to_renumber(plan, results)
    assert errors == []
    for b, offset in pending:
        assert db.renumber_failures(b, offset, str(out), width) is None
    bo.finish_output(str(out), {})
    blocks_paths.remove(blocks_paths.join(str(out), bo.SUCCESS))
    return problems, results


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
    code, out, err, _ = tool_output(version, [f.name for f in files], tmp_path)
    problems, results = decode_here([f.name for f in files], version, tmp_path / "out",
                                    block_size, decoder)
    assert problems == []
    assert concat(tmp_path / "out" / "documents") == out
    assert concat(tmp_path / "out" / "failures") == err
    assert sorted((tmp_path / "out").iterdir()) == [tmp_path / "out" / "documents",
                                                     tmp_path / "out" / "failures"]
    assert sum(c.failures for c in results.values()) == err.count(b"\n")
    assert sum(c.documents for c in results.values()) == out.count(b"\n")
    assert sum(c.lines for c in results.values()) == sum(
        data.count(b"\n") + (1 if data and not data.endswith(b"\n") else 0)
        for data in (f.read_bytes() for f in files))
    assert code == 1 and err


@pytest.mark.parametrize("line", NOT_UTF8 + [b"AAAA\xff\r", b"\xff" * 9, b"=\xff==", b"QR=\xff"])
@pytest.mark.parametrize("version", [1, 3, 7])
def test_bytes_that_are_not_utf8_get_the_tool_message(tmp_path, monkeypatch, line, version):
    # The tool judges bytes itself; this is the parse decoder's stand-in.
    monkeypatch.chdir(tmp_path)
    (tmp_path / "x.b64").write_bytes(line + b"\n" + line)
    _, out, err, _ = tool_output(version, ["x.b64"], tmp_path)
    decode_here(["x.b64"], version, tmp_path / "out", 1 << 20, "parse")
    assert concat(tmp_path / "out" / "failures") == err
    assert concat(tmp_path / "out" / "documents") == out


@pytest.mark.parametrize("data", [
    b"AAAA\r\n\r\nQR==\n\n\nAQ\xff=\r\r\nAQAA\rAQAA\r",
    b"\n\n\r\n=\n" * 5 + b"AAAAAAAA",
    b"QR==\r\nAQAA\n\xc3\xa9\r\nAB\xe9\n\r",
])
@pytest.mark.parametrize("decoder", DECODERS)
def test_every_cut_point(tmp_path, monkeypatch, data, decoder):
    # Blocks of one byte: a block boundary at every byte, CR-LF pairs cut too.
    monkeypatch.chdir(tmp_path)
    (tmp_path / "x.b64").write_bytes(data)
    _, out, err, _ = tool_output(3, ["x.b64"], tmp_path)
    decode_here(["x.b64"], 3, tmp_path / "out", 1, decoder)
    assert concat(tmp_path / "out" / "documents") == out
    assert concat(tmp_path / "out" / "failures") == err


@pytest.mark.parametrize("decoder", DECODERS)
def test_long_lines_span_many_blocks(tmp_path, monkeypatch, decoder):
    monkeypatch.chdir(tmp_path)
    rng = random.Random(7)
    long_line = b"A" * 300_000 + b"=="
    (tmp_path / "long.b64").write_bytes(b"\n".join(
        [long_line, b"AQMBATICAQTQDwDXBP//Aw==", long_line[:-1] + b"\r", b"QR=="]
        + [rng.choice(HOSTILE) for _ in range(50)]))
    _, out, err, _ = tool_output(3, ["long.b64"], tmp_path)
    problems, results = decode_here(["long.b64"], 3, tmp_path / "out", 4096, decoder)
    assert concat(tmp_path / "out" / "documents") == out
    assert concat(tmp_path / "out" / "failures") == err
    # Most blocks start inside a long line and hold no line of their own.
    assert sum(1 for c in results.values() if c.lines == 0) > 100


def test_globs_are_named_as_the_shell_names_them(tmp_path, monkeypatch):
    for name in ["b.b64", "a.b64", "c.txt"]:
        (tmp_path / name).write_bytes(b"QR==\n")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "d.b64").write_bytes(b"QR==\n")
    monkeypatch.chdir(tmp_path)
    inputs, problems = bp.resolve_inputs(["*.b64", "sub/*.b64", "nothing*.b64", "sub"])
    assert [i.name for i in inputs] == ["a.b64", "b.b64", "sub/d.b64"]
    assert problems == ["nothing*.b64: No such file or directory", "sub: Is a directory"]


def test_part_names_keep_block_order(tmp_path):
    blocks = bp.plan_blocks([bp.Input("x", 150_000, "/x")], 1)
    width = bp.part_width(blocks)
    names = [bp.part_name(b.index, width) for b in blocks]
    assert width == 6 and names == sorted(names)
    assert bp.part_name(3, bp.part_width(blocks[:10])) == "part-00003"


@pytest.mark.parametrize("script", SCRIPTS)
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
])
def test_usage_errors_exit_2_with_one_line(tmp_path, script, args, message):
    (tmp_path / "x.b64").write_bytes(b"AQAA\n")
    result = run_example(script, args, tmp_path, timeout=60)
    err = result.stderr.decode()
    assert (result.returncode, result.stdout) == (2, b""), err
    assert err.count("\n") == 1 and err.startswith(f"{script}: ")
    assert message in err
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("script", SCRIPTS)
@pytest.mark.parametrize("earlier", ["documents/part-00000", "_SUCCESS"])
def test_earlier_output_is_kept_unless_overwrite(tmp_path, script, earlier):
    (tmp_path / "x.b64").write_bytes(b"AQAA\n")
    (tmp_path / "out" / earlier).parent.mkdir(parents=True, exist_ok=True)
    (tmp_path / "out" / earlier).write_bytes(b"{}\n")
    result = run_example(script, ["-p", "3", "-o", "out", "x.b64"], tmp_path, timeout=60)
    assert result.returncode == 2
    assert result.stderr.decode() == (f"{script}: output folder 'out' holds an earlier run's "
                                      "parts (remove them or pass --overwrite)\n")
    assert (tmp_path / "out" / earlier).read_bytes() == b"{}\n"


def test_overwrite_takes_the_old_success_mark_away_first(tmp_path):
    out = tmp_path / "out"
    bo.prepare_output(str(out), overwrite=False)
    bo.finish_output(str(out), {"status": 0})
    (out / "documents" / "part-00000").write_bytes(b"{}\n")
    with pytest.raises(bo.UsedFolder):
        bo.prepare_output(str(out), overwrite=False)
    bo.prepare_output(str(out), overwrite=True)
    assert sorted(p.name for p in out.iterdir()) == ["_pending", "_temporary", "documents",
                                                     "failures"]
    assert not list((out / "documents").iterdir())


@pytest.mark.parametrize("script, engine, install", [
    ("dask_decode.py", "Dask", '"dask[distributed]"'), ("spark_decode.py", "PySpark", "pyspark")])
def test_a_missing_engine_is_named_before_anything_is_made(tmp_path, script, engine, install):
    # A package of the engine's name that fails to import, first on the path.
    for package in ("dask", "pyspark"):
        (tmp_path / "shadow" / package).mkdir(parents=True)
        (tmp_path / "shadow" / package / "__init__.py").write_text("raise ImportError('no')\n")
    (tmp_path / "x.b64").write_bytes(b"AQAA\n")
    env = dict(os.environ, PYTHONPATH=str(tmp_path / "shadow"))
    result = run_example(script, ["-p", "3", "-o", "out", "x.b64"], tmp_path, timeout=60, env=env)
    assert (result.returncode, result.stderr.decode()) == (
        2, f"{script}: needs {engine}: pip install {install}\n")
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("script", SCRIPTS)
def test_unreadable_inputs_end_the_run_before_a_cluster(tmp_path, script):
    (tmp_path / "folder").mkdir()
    result = run_example(script, ["-p", "3", "-o", "out", "missing.b64", "folder", "no*.b64",
                                  "/dev/null", "nosuch://b/y.b64"], tmp_path, timeout=60)
    assert result.returncode == 2
    assert result.stdout == b""
    assert result.stderr.decode() == (f"{script}: missing.b64: No such file or directory\n"
                                      f"{script}: folder: Is a directory\n"
                                      f"{script}: no*.b64: No such file or directory\n"
                                      f"{script}: /dev/null: not a regular file\n"
                                      f"{script}: nosuch://b/y.b64: Protocol not known: nosuch\n")
    assert not (tmp_path / "out").exists()


def one_block(tmp_path, name="x.b64", path=None, decoder="tool", version=1, **options):
    """decode_block on the whole of one input, into a fresh tmp_path/out."""
    path = path or tmp_path / name
    size = path.stat().st_size if path.exists() else 5
    out = tmp_path / "out"
    if not out.exists():
        bo.prepare_output(str(out), overwrite=False)
    return db.decode_block(bp.Block(0, name, str(path), 0, size, 0, size), str(out), 5,
                           db.Options(version, decoder, **options))


def test_a_block_that_cannot_be_read_or_written_reports_it(tmp_path):
    # What a worker that does not see the input or the output folder returns.
    (tmp_path / "x.b64").write_bytes(b"AQAA\n")
    assert one_block(tmp_path, path=tmp_path / "gone.b64").error == \
        "x.b64: No such file or directory"
    out = str(tmp_path / "nowhere")
    unwritable = db.decode_block(bp.Block(0, "x.b64", str(tmp_path / "x.b64"), 0, 5), out, 5,
                                 db.Options(1))
    assert unwritable.error == f"{out}/documents/part-00000: No such file or directory"


@pytest.mark.parametrize("decoder", DECODERS)
def test_names_that_are_not_utf8_are_written_as_their_bytes(tmp_path, monkeypatch, decoder):
    monkeypatch.chdir(tmp_path)
    name = os.fsdecode(b"caf\xe9.b64")
    with open(name, "wb") as f:
        f.write(b"QR==\n" * 50)
    _, out, err, _ = tool_output(3, [name], tmp_path)
    decode_here([name], 3, tmp_path / "out", 64, decoder)
    assert concat(tmp_path / "out" / "failures") == err
    assert err.startswith(b"caf\xe9.b64:1: ") and err.count(b"\n") == 50


@pytest.mark.parametrize("decoder", DECODERS)
@pytest.mark.parametrize("block_size", [1, 30, 1000])
def test_an_input_named_twice_is_numbered_from_1_each_time(tmp_path, monkeypatch, decoder,
                                                           block_size):
    monkeypatch.chdir(tmp_path)
    good = b64(settings_bytes(1, 2, 0, 1, 5, [(1, 2, 3)])).encode()
    (tmp_path / "rep.b64").write_bytes(b"".join([good + b"\n", b"QR==\n"] * 3))
    (tmp_path / "other.b64").write_bytes(b"QR==\n" + good + b"\n")
    files = ["rep.b64", "other.b64", "rep.b64", "rep.b64"]
    _, out, err, _ = tool_output(3, files, tmp_path)
    decode_here(files, 3, tmp_path / "out", block_size, decoder)
    assert concat(tmp_path / "out" / "failures") == err
    assert concat(tmp_path / "out" / "documents") == out
    assert err.count(b"rep.b64:6: ") == 3


@pytest.mark.needs("fsspec")
@pytest.mark.parametrize("decoder", DECODERS)
def test_output_on_a_file_system_without_file_descriptors(tmp_path, monkeypatch, decoder):
    # fsspec's in-memory file system: the tool's documents go through a
    # spill file, the parse decoder writes straight into it.
    import fsspec
    monkeypatch.chdir(tmp_path)
    rng = random.Random(4)
    write_file(tmp_path / "m.b64", rng, 200, extra=HOSTILE)
    _, out, err, _ = tool_output(3, ["m.b64"], tmp_path)
    decode_here(["m.b64"], 3, f"memory://decode-{decoder}", 2000, decoder)
    fs = fsspec.filesystem("memory")

    def joined(sub):
        folder = f"/decode-{decoder}/{sub}"
        return b"".join(fs.cat_file(p) for p in sorted(fs.ls(folder, detail=False)))
    assert joined("documents") == out and joined("failures") == err
    assert sorted(p.rsplit("/", 1)[1] for p in fs.ls(f"/decode-{decoder}", detail=False)) == \
        ["documents", "failures"]
    fs.rm(f"/decode-{decoder}", recursive=True)


def with_trailing(record, extra):
    return b64(record + extra).encode()


@pytest.mark.parametrize("version, record", [
    (1, v1_bytes(-(2**63), -32768, [(32767, -32768, 0)] * 3)),
    (1, v1_bytes(0, 0, [])),
    (2, settings_bytes(2, 5, 2, 1, 900, [(i * 300, -i, 1000) for i in range(70)])),
    (3, settings_bytes(0, 0, 0, 0, -200, [])),
])
@pytest.mark.parametrize("extra", [b"", b"\x00", b"\x80\x80\x01", bytes(200)])
def test_unread_bytes_after_a_record(version, record, extra):
    assert blocks_parse.unread_bytes(version, with_trailing(record, extra).decode()) == len(extra)


@pytest.mark.parametrize("decoder", DECODERS)
def test_strict_fails_a_record_with_bytes_after_it_as_the_tool_does(tmp_path, monkeypatch,
                                                                    decoder):
    monkeypatch.chdir(tmp_path)
    record = settings_bytes(1, 2, 0, 1, 5, [(1, 2, 3)])
    lines = [with_trailing(record, b""), with_trailing(record, b"\x07"), b"QR==",
             with_trailing(v1_bytes(5, 6, []), bytes(9)), with_trailing(record, bytes(4000))]
    (tmp_path / "s.b64").write_bytes(b"\n".join(lines * 3) + b"\n")
    for strict in (False, True):
        _, out, err, _ = tool_output(3, ["s.b64"], tmp_path, ["--strict"] if strict else [])
        decode_here(["s.b64"], 3, tmp_path / "out", 100, decoder, strict=strict)
        assert concat(tmp_path / "out" / "failures") == err
        assert concat(tmp_path / "out" / "documents") == out
        assert err.count(b"\n") == (12 if strict else 6)


@pytest.mark.parametrize("body, message", [
    ("cat >/dev/null; echo 'vorlane-decode: write failed: No space left on device' >&2; exit 2",
     "x.b64: vorlane-decode: write failed: No space left on device"),
    ("cat >/dev/null; kill -9 $$", "x.b64: vorlane-decode ended with status -9 and no counts"),
    # no counts
    ("cat >/dev/null; exit 0", "x.b64: vorlane-decode ended with status 0 and no counts"),
    # counts that disagree with the status or with the lines it wrote
    ("""n=$(wc -c); while [ $# -gt 1 ]; do [ "$1" = --stats ] && f=$2; shift; done
     echo '{"status":1,"lines":1,"documents":1,"failures":0,"bytes":'$n'}' > $f; exit 1""",
     "x.b64: vorlane-decode ended with status 1"),
    ("""n=$(wc -c); while [ $# -gt 1 ]; do [ "$1" = --stats ] && f=$2; shift; done
     echo '<stdin>:1: Parsing failed: x' >&2
     echo '{"status":1,"lines":1,"documents":0,"failures":2,"bytes":'$n'}' > $f; exit 1""",
     "x.b64: vorlane-decode ended with status 1"),
    # counts every byte but one
    ("""n=$(wc -c); while [ $# -gt 1 ]; do [ "$1" = --stats ] && f=$2; shift; done
     echo '{"status":0,"lines":1,"documents":0,"failures":0,"bytes":'$((n - 1))'}' > $f""",
     "x.b64: vorlane-decode ended with status 0"),
    # a line it could not hold: reported as a failed line, but status 2
    ("""cat >/dev/null; while [ $# -gt 1 ]; do [ "$1" = --stats ] && f=$2; shift; done
     echo '<stdin>:1: out of memory' >&2
     echo '{"status":2,"lines":1,"documents":0,"failures":1,"bytes":3000000}' > $f; exit 2""",
     "x.b64: vorlane-decode: out of memory"),
    # stops reading at once: the feeding side sees a closed pipe
    ("exit 0", "x.b64: vorlane-decode ended with status 0 and no counts"),
    # hangs: neither reads nor writes
    ("exec sleep 60", "x.b64: vorlane-decode made no progress for 0.5 s"),
    ("cat >/dev/null; exec sleep 60", "x.b64: vorlane-decode made no progress for 0.5 s"),
    # the input is cut short while the tool reads it
    ('truncate -s 1000 "$INPUT"; exec "$REAL" "$@"', "x.b64: changed while being read"),
])
def test_a_tool_that_fails_fails_the_block(tmp_path, monkeypatch, body, message):
    # More than a pipe holds: the feeding is still going on when the tool acts.
    (tmp_path / "x.b64").write_bytes(b"AQAA\n" * 600_000)
    monkeypatch.setenv("INPUT", str(tmp_path / "x.b64"))
    monkeypatch.setitem(blocks_tool._found_tool, "tool", fake_tool(tmp_path, body))
    counts = one_block(tmp_path, stall_timeout=0.5)
    assert counts.error == message
    # Nothing of the block is left where a finished part would be.
    assert [list((tmp_path / "out" / d).iterdir()) for d in ("documents", "failures",
                                                             "_pending", "_temporary")] == [[]] * 4


def test_a_block_whose_input_changed_fails_on_the_parse_road_too(tmp_path):
    (tmp_path / "x.b64").write_bytes(b"AQAA\n" * 1000)
    block = bp.Block(0, "x.b64", str(tmp_path / "x.b64"), 0, 5000, 0, 5000)
    bo.prepare_output(str(tmp_path / "out"), overwrite=False)
    (tmp_path / "x.b64").write_bytes(b"AQAA\n" * 999)
    for decoder in DECODERS:
        counts = db.decode_block(block, str(tmp_path / "out"), 5, db.Options(1, decoder))
        assert counts.error == "x.b64: changed while being read"


def test_a_part_is_in_place_only_once_whole(tmp_path, monkeypatch):
    # A tool killed after some documents: its part must not be left behind.
    (tmp_path / "x.b64").write_bytes(b"AQAA\n" * 100_000)
    monkeypatch.setitem(blocks_tool._found_tool, "tool", fake_tool(
        tmp_path, """head -c 1000 | "$REAL" -p 1 -; kill -9 $$"""))
    counts = one_block(tmp_path)
    assert counts.error.startswith("x.b64: ")
    assert not list((tmp_path / "out" / "documents").iterdir())
    assert not list((tmp_path / "out" / "_temporary").iterdir())


def test_without_the_tool_auto_falls_back_to_parse_and_tool_refuses(tmp_path, monkeypatch):
    (tmp_path / "x.b64").write_bytes(b"AQAA\n")
    monkeypatch.setitem(blocks_tool._found_tool, "tool", None)
    auto = one_block(tmp_path, decoder="auto")
    assert (auto.error, auto.decoder, auto.documents) == (None, "parse", 1)
    refused = one_block(tmp_path, decoder="tool")
    assert refused.error.startswith("no vorlane-decode of this release beside ")


def test_only_a_tool_of_the_same_release_is_taken(tmp_path, monkeypatch):
    real = blocks_tool.find_tool()
    assert real is not None, "scripts/test installs the tool beside the interpreter"
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    monkeypatch.setattr(blocks_tool.sysconfig, "get_path", lambda *args: str(tmp_path / "nothing"))
    monkeypatch.setenv("PATH", str(bin_dir))
    monkeypatch.delenv("VORLANE_DECODE", raising=False)
    (bin_dir / "vorlane-decode").write_text("#!/bin/sh\necho 'vorlane-decode 0.0.0'\n")
    (bin_dir / "vorlane-decode").chmod(0o755)
    assert blocks_tool._look_for_tool() is None
    fake_tool(bin_dir, 'exec "$REAL" "$@"', real=real)
    assert blocks_tool._look_for_tool() == str(bin_dir / "vorlane-decode")
    # VORLANE_DECODE names the one to take, of the same release only.
    monkeypatch.setenv("VORLANE_DECODE", str(tmp_path / "nothing" / "vorlane-decode"))
    assert blocks_tool._look_for_tool() is None
    monkeypatch.setenv("VORLANE_DECODE", real)
    assert blocks_tool._look_for_tool() == real


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
    code = ("import sys; sys.path.insert(0, sys.argv[1]); import blocks_client as bc; "
            "print(bc.peak_rss_mb())")
    result = subprocess.run([sys.executable, "-c", code, str(EXAMPLES)], capture_output=True,
                            check=True)
    del ballast
    assert 1 < float(result.stdout) < 150
