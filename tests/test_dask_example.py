"""examples/dask_decode.py on real local clusters of worker processes,
against vorlane-decode on the same files."""
import logging
import random

import pytest

import dask.distributed  # noqa: F401 - scripts/test installs it; missing is a failure
from dask.distributed import LocalCluster

from payloads import b64, settings_bytes
from scale_out_inputs import check_against_tool, concat, make_case, run_example, tool_output


@pytest.fixture(scope="module")
def scheduler():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None, silence_logs=logging.ERROR) as cluster:
        yield cluster.scheduler_address


@pytest.mark.parametrize("block_size", ["300", "1M"])
def test_running_cluster_matches_the_tool(tmp_path, scheduler, block_size):
    args, tool_files = make_case(tmp_path, seed=len(block_size))
    result = run_example("dask_decode.py", ["-p", "3", "--scheduler", scheduler, "--block-size",
                                            block_size, "-o", "out", *args], tmp_path)
    check_against_tool(result, tmp_path, "dask_decode.py", tool_files)
    # A second run into the same folder needs --overwrite, and then gives the same.
    again = run_example("dask_decode.py", ["-p", "3", "--scheduler", scheduler, "--overwrite",
                                           "--block-size", "700", "-o", "out", *args], tmp_path)
    check_against_tool(again, tmp_path, "dask_decode.py", tool_files)


def test_fsspec_urls_in_and_out(tmp_path, scheduler):
    args, tool_files = make_case(tmp_path, seed=5)
    url = tmp_path.as_uri()
    result = run_example("dask_decode.py", ["-p", "2", "--scheduler", scheduler, "--block-size",
                                            "500", "-o", f"{url}/out", f"{url}/part*.b64"],
                         tmp_path)
    _, documents, failures, _ = tool_output(2, [f"{tmp_path}/part{i}.b64" for i in (1, 2, 3)],
                                            tmp_path)
    assert result.returncode == 1, result.stderr.decode()
    assert concat(tmp_path / "out" / "documents") == documents
    # Failures are named by the URL, as given.
    assert concat(tmp_path / "out" / "failures") == failures.replace(
        str(tmp_path).encode(), url.encode())


def test_own_local_cluster(tmp_path):
    # The example starts a LocalCluster of --workers processes itself.
    lines = []
    for i in range(3000):
        if i % 97 == 5:
            lines.append(b"QUJD\r" if i % 2 else b"QR==")      # bad Base64, one with CRLF
        elif i % 89 == 7:
            lines.append(b64(bytes([i % 7, 0, 0, 0])).encode())  # bad tag or cut short
        elif i % 500 == 0:
            lines.append(b"")                                    # skipped, still counted
        else:
            samples = [(i - 32768, -i, i % 17)] * (i % 9)
            lines.append(b64(settings_bytes(i % 3, i % 6, i % 3, i % 2, i - 1500, samples)).encode())
    lines.append(b"\xffAAA")  # not UTF-8: reported as the tool reports it
    random.Random(3).shuffle(lines)
    (tmp_path / "batch.b64").write_bytes(b"\n".join(lines) + b"\n")
    # Its workers call parse line by line here; the other tests run the tool.
    result = run_example("dask_decode.py", ["-p", "3", "--workers", "2", "--block-size", "20K",
                                            "--decoder", "parse", "-o", "out", "batch.b64"],
                         tmp_path)
    code, documents, failures, _ = tool_output(3, ["batch.b64"], tmp_path)
    assert result.returncode == code == 1, result.stderr.decode()
    assert concat(tmp_path / "out" / "documents") == documents
    assert concat(tmp_path / "out" / "failures") == failures
    assert documents.count(b"\n") > 2800 and failures.count(b"\n") > 40
    assert b": Parsing failed: B64Error(InvalidByte(0, 255))\n" in failures
    assert "; decoder parse;" in result.stderr.decode()
    assert len(list((tmp_path / "out" / "documents").iterdir())) > 5
