"""The part shared by the Dask and Spark examples, run here without a cluster:
blocks cut anywhere must still reassemble to the tool's output, and every
argument or input fault must end the run with one line before a cluster
could start."""
import os
import random
import stat
import subprocess
import sys

import pytest

from scale_out_inputs import EXAMPLES, HOSTILE, NOT_UTF8, concat, make_file, run_example, \
    tool_output

sys.path.insert(0, str(EXAMPLES))
import decode_blocks as db  # noqa: E402

SCRIPTS = ["dask_decode.py", "spark_decode.py"]
# Both ways a worker decodes: the tool fed from the file, parse line by line.
DECODERS = ["tool", "parse"]


def decode_here(files, version, out, block_size, decoder):
    """What an engine does, in a loop: every block, then the renumbering."""
    inputs, problems = db.resolve_inputs([str(f) for f in files])
    db.prepare_output(str(out), overwrite=True)
    blocks = db.plan_blocks(inputs, block_size)
    width = db.part_width(blocks)
    results = {b.index: db.decode_block(b, version, str(out), width, decoder) for b in blocks}
    assert not [c.error for c in results.values() if c.error]
    assert {c.decoder for c in results.values()} <= {decoder, ""}
    errors, pending = db.to_renumber(blocks, results)
    assert errors == []
    for b, offset in pending:
        assert db.renumber_failures(b, offset, str(out), width) is None
    db.remove_pending(str(out))
    return problems, results


@pytest.mark.parametrize("decoder", DECODERS)
@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("block_size", [37, 1000, 1 << 20])
def test_blocks_reassemble_to_the_tool_output(tmp_path, monkeypatch, seed, block_size, decoder):
    monkeypatch.chdir(tmp_path)
    rng = random.Random(seed)
    files = [
        make_file(tmp_path / "mixed.b64", rng, 120, extra=HOSTILE),
        make_file(tmp_path / "crlf.b64", rng, 40, ending=b"\r\n", last_newline=False),
        make_file(tmp_path / "bytes.b64", rng, 30, extra=NOT_UTF8, last_newline=seed % 2 == 0),
        make_file(tmp_path / "empty.b64", rng, 0),
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
    # The tool judges bytes itself; this is the parse road's stand-in.
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
    inputs, problems = db.resolve_inputs(["*.b64", "sub/*.b64", "nothing*.b64", "sub"])
    assert [i.name for i in inputs] == ["a.b64", "b.b64", "sub/d.b64"]
    assert problems == ["nothing*.b64: No such file or directory", "sub: Is a directory"]


def test_part_names_keep_block_order(tmp_path):
    blocks = db.plan_blocks([db.Input("x", 150_000, "/x")], 1)
    width = db.part_width(blocks)
    names = [db.part_name(b.index, width) for b in blocks]
    assert width == 6 and names == sorted(names)
    assert db.part_name(3, db.part_width(blocks[:10])) == "part-00003"


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
def test_earlier_output_is_kept_unless_overwrite(tmp_path, script):
    (tmp_path / "out" / "documents").mkdir(parents=True)
    (tmp_path / "out" / "documents" / "part-00000").write_bytes(b"{}\n")
    result = run_example(script, ["-p", "3", "-o", "out", "missing.b64"], tmp_path, timeout=60)
    assert result.returncode == 2
    assert result.stderr.decode() == (f"{script}: output folder 'out' holds an earlier run's "
                                      "parts (remove them or pass --overwrite)\n")
    assert (tmp_path / "out" / "documents" / "part-00000").exists()


@pytest.mark.parametrize("script", SCRIPTS)
def test_unreadable_inputs_end_the_run_before_a_cluster(tmp_path, script):
    (tmp_path / "folder").mkdir()
    result = run_example(script, ["-p", "3", "-o", "out", "missing.b64", "folder", "no*.b64",
                                  "/dev/null", "nosuch://b/y.b64"], tmp_path, timeout=60)
    assert result.returncode == 1
    assert result.stdout == b""
    assert result.stderr.decode() == (f"{script}: missing.b64: No such file or directory\n"
                                      f"{script}: folder: Is a directory\n"
                                      f"{script}: no*.b64: No such file or directory\n"
                                      f"{script}: /dev/null: not a regular file\n"
                                      f"{script}: nosuch://b/y.b64: Protocol not known: nosuch\n")


def test_a_block_that_cannot_be_read_or_written_reports_it(tmp_path):
    # What a worker that does not see the input or the output folder returns.
    (tmp_path / "x.b64").write_bytes(b"AQAA\n")
    gone = db.decode_block(db.Block(0, "x.b64", str(tmp_path / "gone.b64"), 0, 5), 1,
                           str(tmp_path / "out"), 5)
    assert gone.error == "x.b64: No such file or directory"
    unwritable = db.decode_block(db.Block(0, "x.b64", str(tmp_path / "x.b64"), 0, 5), 1,
                                 str(tmp_path / "nowhere"), 5)
    assert unwritable.error == f"{tmp_path}/nowhere/documents/part-00000: No such file or directory"


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
def test_output_on_a_file_system_without_file_descriptors(tmp_path, monkeypatch, decoder):
    # fsspec's in-memory file system: the tool's documents go through a
    # spill file, the parse road writes straight into it.
    fsspec = pytest.importorskip("fsspec")
    monkeypatch.chdir(tmp_path)
    rng = random.Random(4)
    make_file(tmp_path / "m.b64", rng, 200, extra=HOSTILE)
    _, out, err, _ = tool_output(3, ["m.b64"], tmp_path)
    decode_here(["m.b64"], 3, f"memory://decode-{decoder}", 2000, decoder)
    fs = fsspec.filesystem("memory")

    def joined(sub):
        folder = f"/decode-{decoder}/{sub}"
        return b"".join(fs.cat_file(p) for p in sorted(fs.ls(folder, detail=False)))
    assert joined("documents") == out and joined("failures") == err
    assert not fs.exists(f"/decode-{decoder}/{db.PENDING}")
    fs.rm(f"/decode-{decoder}", recursive=True)


def fake_tool(folder, body):
    path = folder / "vorlane-decode"
    path.write_text("#!/bin/sh\n" + body + "\n")
    path.chmod(path.stat().st_mode | stat.S_IXUSR)
    return str(path)


@pytest.mark.parametrize("body, message", [
    ("cat >/dev/null; echo 'vorlane-decode: write failed: No space left on device' >&2; exit 1",
     "x.b64: vorlane-decode: write failed: No space left on device"),
    ("cat >/dev/null; kill -9 $$", "x.b64: vorlane-decode ended with status -9"),
    # no summary
    ("cat >/dev/null; exit 0", "x.b64: vorlane-decode ended with status 0"),
    # the status says a line failed, the summary says none did
    ("cat >/dev/null; echo 'vorlane-decode: 1 lines, 1 decoded, 0 failed (0.0 MB in 0.00 s)' >&2;"
     " exit 1", "x.b64: vorlane-decode ended with status 1"),
    # stops reading at once: the feeding side sees a closed pipe
    ("exit 0", "x.b64: vorlane-decode ended with status 0"),
])
def test_a_tool_that_fails_fails_the_block(tmp_path, monkeypatch, body, message):
    (tmp_path / "x.b64").write_bytes(b"AQAA\n" * 100_000)
    db.prepare_output(str(tmp_path / "out"), overwrite=False)
    monkeypatch.setitem(db._found_tool, "tool", fake_tool(tmp_path, body))
    counts = db.decode_block(db.Block(0, "x.b64", str(tmp_path / "x.b64"), 0, 500_000), 1,
                             str(tmp_path / "out"), 5, "tool")
    assert counts.error == message


def test_without_the_tool_auto_falls_back_to_parse_and_tool_refuses(tmp_path, monkeypatch):
    (tmp_path / "x.b64").write_bytes(b"AQAA\n")
    monkeypatch.setitem(db._found_tool, "tool", None)
    db.prepare_output(str(tmp_path / "out"), overwrite=False)
    block = db.Block(0, "x.b64", str(tmp_path / "x.b64"), 0, 5)
    auto = db.decode_block(block, 1, str(tmp_path / "out"), 5, "auto")
    assert (auto.error, auto.decoder, auto.documents) == (None, "parse", 1)
    refused = db.decode_block(block, 1, str(tmp_path / "out"), 5, "tool")
    assert refused.error.startswith("no vorlane-decode of this release beside ")


def test_only_a_tool_of_the_same_release_is_taken(tmp_path, monkeypatch):
    real = db.find_tool()
    assert real is not None, "scripts/test installs the tool beside the interpreter"
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    monkeypatch.setattr(db.sysconfig, "get_path", lambda *args: str(tmp_path / "nothing"))
    monkeypatch.setenv("PATH", str(bin_dir))
    fake_tool(bin_dir, "echo 'vorlane-decode 0.0.0'")
    assert db._look_for_tool() is None
    fake_tool(bin_dir, f'exec "{real}" "$@"')
    assert db._look_for_tool() == str(bin_dir / "vorlane-decode")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_client_peak_rss_is_its_own_not_its_starters():
    # getrusage's peak starts at the size of the process that started this
    # one: spark-submit's JVM, a notebook. The summary must not report that.
    ballast = bytearray(300 << 20)
    for i in range(0, len(ballast), 4096):
        ballast[i] = 1  # resident
    code = ("import sys; sys.path.insert(0, sys.argv[1]); import decode_blocks as db; "
            "print(db.peak_rss_mb())")
    result = subprocess.run([sys.executable, "-c", code, str(EXAMPLES)], capture_output=True,
                            check=True)
    del ballast
    assert 1 < float(result.stdout) < 150
