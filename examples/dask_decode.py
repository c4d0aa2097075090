"""Decodes a large batch of Base64 payloads on a Dask cluster.

Reads payloads one per line (the format vorlane-decode reads) and decodes
them on Dask's distributed scheduler. Each worker process imports
vorlane_binary_parser itself, inside the mapped function, so only text moves
between the client and the workers. Output matches vorlane-decode: one JSON
document per line, and a bad line on standard error as FILE:LINE: followed by
the ValueError message.

    python examples/dask_decode.py -p 3 --workers 4 examples/accel-v3.b64
    python examples/dask_decode.py -p 3 --synthetic 1000000 -o /dev/null -v
    python examples/dask_decode.py -p 3 --scheduler tcp://host:8786 FILE...

Without --scheduler a LocalCluster with --workers processes is started here;
with it, the same code runs on an existing cluster whose workers have the
package installed.
"""
from __future__ import annotations

import argparse
import base64
import logging
import random
import sys
import time
from collections.abc import Iterator, Sequence


def decode_partition(payloads: Sequence[str], version: int) -> list[tuple[bool, str]]:
    """Runs on a worker: (True, document) or (False, error message) per payload."""
    # Imported here so the import happens in the worker process that runs
    # this; the module is loaded once per process and cached from then on.
    from vorlane_binary_parser import BinaryParser

    parse = BinaryParser().parse
    results: list[tuple[bool, str]] = []
    for payload in payloads:
        try:
            results.append((True, parse("accel", version, payload)))
        except ValueError as exc:
            results.append((False, str(exc)))
    return results


def decode_on_cluster(client, payloads: Sequence[str], version: int,
                      partition_size: int = 10_000) -> list[tuple[bool, str]]:
    """Decodes `payloads` in partitions on the client's workers, keeping order."""
    partitions = [list(payloads[i:i + partition_size])
                  for i in range(0, len(payloads), partition_size)]
    # Scatter the data rather than embed it in the task graph.
    scattered = client.scatter(partitions)
    futures = client.map(decode_partition, scattered, version=version)
    results: list[tuple[bool, str]] = []
    for part in client.gather(futures):
        results.extend(part)
    return results


def read_lines(paths: Sequence[str]) -> Iterator[tuple[str, int, str]]:
    """(file name, line number, payload) for every non-empty line; CRLF accepted."""
    for path in paths:
        if path == "-":
            name, stream = "<stdin>", sys.stdin.buffer
        else:
            name, stream = path, open(path, "rb")
        with stream:
            for number, raw in enumerate(stream, 1):
                line = raw[:-1] if raw.endswith(b"\n") else raw
                if line.endswith(b"\r"):
                    line = line[:-1]
                if line:
                    # Bytes that are not UTF-8 become lone surrogates, which
                    # parse refuses with UnicodeEncodeError, a ValueError:
                    # the line is reported like any other bad line.
                    yield name, number, line.decode("utf-8", "surrogateescape")


def _varint(n: int) -> bytes:
    out = bytearray()
    while n > 0x7F:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def _i16(v: int) -> bytes:
    return _varint(((v << 1) ^ (v >> 15)) & 0xFFFF)


def synthetic_payloads(count: int, seed: int = 0) -> list[str]:
    """Version 2/3 payloads with random settings and 1 to 32 samples each."""
    rnd = random.Random(seed)
    out = []
    for _ in range(count):
        samples = [(rnd.randint(-32768, 32767), rnd.randint(-32768, 32767),
                    rnd.randint(-32768, 32767)) for _ in range(rnd.randint(1, 32))]
        data = (bytes([rnd.randrange(3), rnd.randrange(6), rnd.randrange(3), rnd.randrange(2)])
                + _i16(rnd.randint(-500, 1500)) + _varint(len(samples))
                + b"".join(_i16(x) + _i16(y) + _i16(z) for x, y, z in samples))
        out.append(base64.b64encode(data).decode("ascii"))
    return out


def main(argv: Sequence[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("-p", "--payload-version", type=int, required=True)
    ap.add_argument("files", nargs="*", metavar="FILE", help="payload files; - is standard input")
    ap.add_argument("--synthetic", type=int, metavar="N",
                    help="decode N generated payloads instead of reading files")
    ap.add_argument("--workers", type=int, default=4, help="worker processes of the local cluster")
    ap.add_argument("--scheduler", help="address of an existing scheduler to use instead")
    ap.add_argument("--partition-size", type=int, default=10_000)
    ap.add_argument("-o", "--output", help="file for the documents (default: standard output)")
    ap.add_argument("-v", "--verbose", action="store_true", help="print a summary on stderr")
    args = ap.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    if args.synthetic is not None:
        where = [("<synthetic>", i + 1) for i in range(args.synthetic)]
        payloads = synthetic_payloads(args.synthetic)
    else:
        lines = list(read_lines(args.files or ["-"]))
        where = [(name, number) for name, number, _ in lines]
        payloads = [payload for _, _, payload in lines]

    started = time.perf_counter()
    if args.scheduler:
        client = Client(args.scheduler)
        cluster = None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None, silence_logs=logging.ERROR)
        client = Client(cluster)
    try:
        results = decode_on_cluster(client, payloads, args.payload_version, args.partition_size)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    elapsed = time.perf_counter() - started

    failed = 0
    out = open(args.output, "w", encoding="ascii") if args.output else sys.stdout
    try:
        for (name, number), (ok, text) in zip(where, results, strict=True):
            if ok:
                out.write(text + "\n")
            else:
                failed += 1
                print(f"{name}:{number}: {text}", file=sys.stderr)
    finally:
        if out is not sys.stdout:
            out.close()
    if args.verbose:
        print(f"decoded {len(payloads)} payloads ({failed} failed) in {elapsed:.1f} s",
              file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
