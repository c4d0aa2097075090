"""vorlane-decode-dask on real local clusters of worker processes, against
vorlane-decode on the same files, and with faults planted: a full disk, a
worker killed in mid-block, an input cut short, a tool that hangs. And the
Dask recipe in examples/ on the sample files."""
import contextlib
import json
import logging
import os
import random
import subprocess

import pytest

import dask.distributed  # noqa: F401 - scripts/test installs it; missing is a failure
from dask.distributed import LocalCluster

import needs
from payloads import b64, realistic_line, settings_bytes
from scale_out_inputs import check_against_tool, check_finished, check_repeated, \
    concat, fake_tool, make_case, recipe_expectations, run_command, tool_output, \
    write_repeated

SCRIPT = "vorlane-decode-dask"


@pytest.fixture(scope="module")
def scheduler():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None, silence_logs=logging.ERROR) as cluster:
        yield cluster.scheduler_address


@pytest.mark.parametrize("own, block_size, decoder", [
    (False, "300", "auto"), (False, "1M", "auto"),
    # A LocalCluster the command starts itself, whose workers call parse.
    (True, "2K", "parse")])
def test_a_cluster_matches_the_tool(tmp_path, scheduler, own, block_size, decoder):
    args, tool_files = make_case(tmp_path, seed=len(block_size))
    common = ["-p", "3", *(["--workers", "2"] if own else ["--scheduler", scheduler]),
              "--decoder", decoder, "-o", "out", *args]
    name = "parse" if decoder == "parse" else "vorlane-decode"
    result = run_command(SCRIPT, [*common, "--block-size", block_size], tmp_path)
    check_against_tool(result, tmp_path, SCRIPT, tool_files, decoder=name)
    # A second run into the same folder needs --overwrite, and then gives the same.
    again = run_command(SCRIPT, [*common, "--overwrite", "--block-size", "700"], tmp_path)
    check_against_tool(again, tmp_path, SCRIPT, tool_files, decoder=name)


@pytest.mark.parametrize("decoder", ["tool", "parse"])
def test_an_input_named_twice_is_numbered_as_the_tool_numbers_it(tmp_path, scheduler, decoder):
    inputs = write_repeated(tmp_path)
    result = run_command(SCRIPT, ["-p", "3", "-o", "out", "--scheduler", scheduler,
                                  "--block-size", "30", "--decoder", decoder, *inputs], tmp_path)
    check_repeated(result, tmp_path, bytes=2 * (tmp_path / "rep.b64").stat().st_size)


@pytest.mark.parametrize("strict", [False, True])
def test_strict_is_passed_to_the_workers(tmp_path, scheduler, strict):
    # Records with bytes after them decode, unless --strict: status 0, or 1.
    record = settings_bytes(1, 2, 0, 1, 5, [(1, 2, 3)])
    lines = [b64(record), b64(record + b"\x07"), b64(record + bytes(30))]
    (tmp_path / "s.b64").write_bytes("\n".join(lines * 20).encode())
    flags = ["--strict"] if strict else []
    result = run_command(SCRIPT, ["-p", "3", "-o", "out", "--scheduler", scheduler, *flags,
                                  "--block-size", "200", "s.b64"], tmp_path)
    code, documents, failures, _ = tool_output(3, ["s.b64"], tmp_path, flags)
    assert result.returncode == code == strict, result.stderr.decode()
    assert concat(tmp_path / "out" / "failures") == failures
    assert concat(tmp_path / "out" / "documents") == documents
    assert (b"s.b64:59: 1 byte left after the record (is -p right?)\ns.b64:60: 30 bytes"
            in failures) == strict
    counts = (20, 40) if strict else (60, 0)
    check_finished(tmp_path / "out", code, files=1, lines=60, documents=counts[0],
                   failures=counts[1], bytes=(tmp_path / "s.b64").stat().st_size)
    assert f": 1 file, 60 lines, {counts[0]} documents, {counts[1]} failed lines, " in \
        result.stderr.decode()


def test_fsspec_urls_in_and_out(tmp_path, scheduler):
    args, tool_files = make_case(tmp_path, seed=5)
    url = tmp_path.as_uri()
    result = run_command(SCRIPT, ["-p", "2", "--scheduler", scheduler, "--block-size", "500",
                                  "-o", f"{url}/out", f"{url}/part*.b64"], tmp_path)
    _, documents, failures, _ = tool_output(2, [f"{tmp_path}/part{i}.b64" for i in (1, 2, 3)],
                                            tmp_path)
    assert result.returncode == 1, result.stderr.decode()
    assert concat(tmp_path / "out" / "documents") == documents
    # Failures are named by the URL, as given.
    assert concat(tmp_path / "out" / "failures") == failures.replace(
        str(tmp_path).encode(), url.encode())
    check_finished(tmp_path / "out", 1)


# ---- faults -------------------------------------------------------------------
# The command's own cluster of one worker, which inherits VORLANE_DECODE (a
# fake tool that plants the fault) from the environment given here.

def realistic_file(path, lines=3000, seed=1):
    rng = random.Random(seed)
    path.write_bytes(b"".join(realistic_line(rng) + b"\n" for _ in range(lines)))


def run_with(tmp_path, args, env=None, out="out", timeout=180):
    env = dict(os.environ, **(env or {}))
    return run_command(SCRIPT, ["-p", "3", "--workers", "1", "-o", out, *args], tmp_path,
                       timeout=timeout, env=env)


@contextlib.contextmanager
def tiny_disk(folder, size="64k"):
    folder.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(folder)],
                      capture_output=True).returncode != 0:
        needs.missing("root, to mount a tmpfs")
    try:
        yield folder
    finally:
        subprocess.run(["umount", "-l", str(folder)], check=False)


# Kills the worker that runs it, once, after some documents are written.
KILL_WORKER_ONCE = """if [ ! -e "$MARK" ]; then
  : > "$MARK"; head -c 200000 | "$REAL" -p 3 -; sleep 0.2; kill -9 $PPID; exit 1
fi
exec "$REAL" "$@"
"""


@pytest.mark.parametrize("fault, decoder, message", [
    ("full disk", "tool", "on a worker: x.b64: vorlane-decode: write failed: No space left on device"),
    ("full disk", "parse", "/full/out/documents/part-00000: No space left on device"),
    # Dask gives up on the block at once (no retries allowed here).
    (KILL_WORKER_ONCE, "tool", f"{SCRIPT}: KilledWorker: "),
    ('truncate -s 5000 "$INPUT"; exec "$REAL" "$@"', "tool",
     "on a worker: x.b64: changed while being read\n"),
    ("exec sleep 120", "tool", "on a worker: x.b64: vorlane-decode made no progress for 1 s\n"),
])
def test_a_block_that_cannot_finish_is_trouble(tmp_path, fault, decoder, message):
    realistic_file(tmp_path / "x.b64", lines=10_000)  # more than a pipe holds
    env = {"INPUT": str(tmp_path / "x.b64"), "MARK": str(tmp_path / "mark"),
           "DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES": "0"}
    out = tmp_path / "out"
    with contextlib.ExitStack() as stack:
        if fault == "full disk":
            out = stack.enter_context(tiny_disk(tmp_path / "full")) / "out"
        else:
            env["VORLANE_DECODE"] = fake_tool(tmp_path, fault)
        result = run_with(tmp_path, ["--decoder", decoder, "--stall-timeout", "1", "x.b64"], env,
                          out=out, timeout=120)
        err = result.stderr.decode()
        assert result.returncode == 2, err
        assert message in err
        check_finished(out, 2)
        # Nothing half-written stands as a part.
        assert not list((out / "documents").iterdir())


def test_a_worker_killed_in_mid_block_is_replaced(tmp_path):
    # Dask runs the block again on the worker that took the dead one's place.
    realistic_file(tmp_path / "x.b64")
    env = {"VORLANE_DECODE": fake_tool(tmp_path, KILL_WORKER_ONCE), "MARK": str(tmp_path / "mark"),
           "DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES": "3"}
    result = run_with(tmp_path, ["--decoder", "tool", "x.b64"], env)
    code, documents, _, _ = tool_output(3, ["x.b64"], tmp_path)
    assert (tmp_path / "mark").exists()
    assert result.returncode == code == 0, result.stderr.decode()
    assert concat(tmp_path / "out" / "documents") == documents
    check_finished(tmp_path / "out", 0, lines=3000)


def test_the_recipe_decodes_the_sample_files(tmp_path):
    samples, documents, failures = recipe_expectations(tmp_path)
    result = run_command("dask_recipe.py", ["3", "out", *samples], tmp_path, timeout=300)
    assert result.returncode == 0, result.stderr.decode()

    def rows(folder):  # each file's lines, in name order
        return [row for part in sorted((tmp_path / "out" / folder).iterdir())
                for row in part.read_text().splitlines()]
    assert rows("documents") == documents.decode().splitlines()
    assert [json.loads(row) for row in rows("failures")] == failures
