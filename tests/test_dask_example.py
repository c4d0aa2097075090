"""Runs examples/dask_decode.py on a local cluster of worker processes."""
import subprocess
import sys
from pathlib import Path

import dask.distributed  # noqa: F401 - scripts/test installs it; missing is a failure

from payloads import b64, settings_bytes

import vorlane_binary_parser

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "dask_decode.py"


def test_cluster_decoding_matches_local_decoding(tmp_path):
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
    lines.append(b"\xffAAA")  # not UTF-8
    source = tmp_path / "batch.b64"
    source.write_bytes(b"\n".join(lines) + b"\n")
    output = tmp_path / "documents.jsonl"

    result = subprocess.run(
        [sys.executable, str(EXAMPLE), "-p", "3", "--workers", "2", "--partition-size", "400",
         "-o", str(output), str(source)],
        capture_output=True, text=True, timeout=300, cwd=tmp_path)

    parse = vorlane_binary_parser.BinaryParser().parse
    documents, errors = [], []
    for number, raw in enumerate(lines, 1):
        line = raw.rstrip(b"\r")
        if not line:
            continue
        try:
            documents.append(parse("accel", 3, line.decode("utf-8", "surrogateescape")))
        except ValueError as exc:
            errors.append(f"{source}:{number}: {exc}")
    assert len(documents) > 2800 and len(errors) > 40

    assert result.returncode == 1, result.stderr
    assert output.read_text().splitlines() == documents
    assert [e for e in result.stderr.splitlines() if e.startswith(str(source))] == errors
    assert errors[-1].endswith("surrogates not allowed")
