"""vorlane-decode-spark in a real local Spark (local[2]), against
vorlane-decode on the same files; and the Spark recipe in examples/."""
import os
import random
import sys

import pytest

import pyspark  # noqa: F401 - scripts/test installs it; missing is a failure

from payloads import realistic_line
from scale_out_inputs import check_against_tool, check_finished, check_repeated, fake_tool, \
    make_case, recipe_expectations, run_command, write_repeated

COMMAND = "vorlane-decode-spark"
# Spark needs a Java runtime, which pip cannot install: scripts/test
# installs it, and there a missing one fails instead of skipping.
pytestmark = [
    pytest.mark.needs("java"),
    # With the sanitizer runtimes preloaded into every process the JVM hangs
    # at start; the sanitized module is covered by the other tests there.
    pytest.mark.skipif(os.environ.get("VORLANE_SANITIZED") == "1",
                       reason="the JVM does not start under the sanitizer preload"),
]


def test_local_spark_matches_the_tool(tmp_path):
    args, tool_files = make_case(tmp_path, seed=11)
    result = run_command(COMMAND, ["-p", "3", "--workers", "2", "--block-size", "4K",
                                   "-o", "out", *args], tmp_path)
    check_against_tool(result, tmp_path, COMMAND, tool_files)
    assert len(list((tmp_path / "out" / "documents").iterdir())) > 10


@pytest.mark.parametrize("decoder, submit", [("tool", False), ("parse", True)])
def test_an_input_named_twice_is_numbered_as_the_tool_numbers_it(tmp_path, decoder, submit):
    inputs = write_repeated(tmp_path)
    args = ["-p", "3", "--block-size", "30", "--decoder", decoder, "-o", "out", *inputs]
    if not submit:
        result = run_command(COMMAND, ["--workers", "2", *args], tmp_path)
    else:  # the program's file run by spark-submit, which sets the master
        script = run_command(COMMAND, ["--script"], tmp_path).stdout.decode().strip()
        env = dict(os.environ, PYSPARK_PYTHON=sys.executable)
        result = run_command("spark-submit", ["--master", "local[2]", script, *args], tmp_path,
                             env=env)
    check_repeated(result, tmp_path)


def test_a_worker_killed_in_mid_block_is_trouble(tmp_path):
    # Spark in local mode does not retry a task: the run ends with 2.
    rng = random.Random(1)
    (tmp_path / "x.b64").write_bytes(b"".join(realistic_line(rng) + b"\n" for _ in range(3000)))
    kill = 'head -c 200000 | "$REAL" -p 3 -; sleep 0.2; kill -9 $PPID; exit 1'
    env = dict(os.environ, VORLANE_DECODE=fake_tool(tmp_path, kill))
    result = run_command(COMMAND, ["-p", "3", "--workers", "1", "--decoder", "tool", "-o", "out",
                                   "x.b64"], tmp_path, env=env)
    assert result.returncode == 2, result.stderr.decode()
    check_finished(tmp_path / "out", 2)
    assert not list((tmp_path / "out" / "documents").iterdir())


def test_the_recipe_decodes_the_sample_files(tmp_path):
    import pandas
    samples, documents, failures = recipe_expectations(tmp_path)
    result = run_command("spark_recipe.py", ["3", "out", *samples], tmp_path)
    assert result.returncode == 0, result.stderr.decode()
    table = pandas.read_parquet(tmp_path / "out")
    decoded = table[table.error.isna()]
    # Spark keeps no order across files: compare as sets of rows.
    assert sorted(decoded.document + "\n") == sorted(documents.decode().splitlines(keepends=True))
    assert (decoded.document.notna()).all() and table[table.error.notna()].document.isna().all()
    rows = table[table.error.notna()][["payload", "error"]].to_dict("records")
    assert sorted(rows, key=str) == sorted(failures, key=str)
