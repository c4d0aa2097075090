"""Decodes files of payload lines with Dask: a recipe to copy and adapt.

    python examples/dask_recipe.py 3 out examples/accel-v3.b64 examples/bad.b64

Reads the files as text, one canonical Base64 payload per line, decodes each
partition with one BinaryParser, and writes two folders of numbered text
files: out/documents/ (one JSON document per line) and out/failures/ (one
{"payload": ..., "error": ...} per line that failed). A failed payload is a
row like any other, so one bad line never fails a partition.

Every Dask worker needs vorlane_binary_parser installed. For line numbers,
exact byte handling, parts put in place whole and _SUCCESS, use the
vorlane-decode-dask command instead (docs/scaling-out.md).
"""
import json
import sys

import dask
import dask.bag


def decode_partition(lines, version):
    """(True, document) or (False, failure row) for each non-empty line."""
    from vorlane_binary_parser import BinaryParser  # imported on the worker

    parse = BinaryParser().parse  # one parser per partition
    rows = []
    for line in lines:
        payload = line.rstrip("\n").removesuffix("\r")
        if not payload:
            continue
        try:
            rows.append((True, parse("accel", version, payload)))
        except ValueError as exc:
            rows.append((False, json.dumps({"payload": payload, "error": str(exc)})))
    return rows


def decode_files(version, out, files, blocksize="64MiB"):
    rows = dask.bag.read_text(files, blocksize=blocksize).map_partitions(
        decode_partition, version)
    documents = rows.filter(lambda row: row[0]).pluck(1)
    failures = rows.filter(lambda row: not row[0]).pluck(1)

    def numbered(i):  # name order = partition order
        return f"{i:05d}"

    # One compute for both folders: each partition is decoded once. A file
    # gets no line feed after its last line (an empty one stays empty).
    dask.compute(
        documents.to_textfiles(f"{out}/documents/*.jsonl", name_function=numbered,
                               compute=False),
        failures.to_textfiles(f"{out}/failures/*.jsonl", name_function=numbered,
                              compute=False))


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit("usage: dask_recipe.py VERSION OUT FILE...")
    from dask.distributed import Client

    with Client(processes=True, threads_per_worker=1, dashboard_address=None):
        decode_files(int(sys.argv[1]), sys.argv[2], sys.argv[3:])
