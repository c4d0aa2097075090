"""Decodes files of Base64 payloads, one per line, on a Dask cluster.

Each worker reads its own blocks of the inputs (local paths, globs or any
fsspec URL), decodes them with vorlane_binary_parser and writes its part
files; only counts come back to this process.

    python examples/dask_decode.py -p 3 -o OUT payloads/*.b64
    python examples/dask_decode.py -p 3 -o s3://bucket/out --scheduler tcp://host:8786 \\
        "s3://bucket/payloads/*.b64"

OUT/documents/part-NNNNN and OUT/failures/part-NNNNN, each folder read in
name order, hold exactly what vorlane-decode writes to stdout and stderr for
the same files. Without --scheduler a LocalCluster of --workers processes is
started here. See docs/scaling-out.md.
"""
from __future__ import annotations

import logging
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import decode_blocks as db  # noqa: E402

PROG = "dask_decode.py"


def run(argv=None) -> int:
    started = time.perf_counter()
    parser = db.make_parser(PROG, __doc__.split("\n\n")[0], "--scheduler",
                            "address of a running Dask scheduler, e.g. tcp://host:8786",
                            default_workers=os.cpu_count() or 1)
    planned = db.plan(PROG, parser, argv)
    if isinstance(planned, int):
        return planned
    args, inputs, blocks, width, unreadable = planned

    from dask.distributed import Client, LocalCluster, as_completed

    cluster = client = None
    try:
        if args.scheduler:
            client = Client(args.scheduler, timeout="20s")
        else:
            cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                   dashboard_address=None, silence_logs=logging.ERROR)
            client = Client(cluster)
        # The workers import decode_blocks from this upload, wherever they run.
        client.upload_file(db.__file__)
        decode_started = time.perf_counter()
        progress = db.Progress(len(blocks), not args.no_progress)
        futures = client.map(db.decode_block, blocks, version=args.payload_version,
                             out=args.output, width=width, decoder=args.decoder, pure=False)
        results: dict[int, db.Counts] = {}
        for future in as_completed(futures):
            counts = future.result()
            results[counts.index] = counts
            progress.add(counts)
        progress.close()
        errors, pending = db.to_renumber(blocks, results)
        if pending:
            renumbered = client.map(db.renumber_failures, [b for b, _ in pending],
                                    [n for _, n in pending], out=args.output, width=width,
                                    pure=False)
            errors = [e for e in client.gather(renumbered) if e]
        decode_seconds = time.perf_counter() - decode_started
    except Exception as exc:  # noqa: BLE001 - one line instead of a remote traceback
        print(f"{PROG}: {type(exc).__name__}: {exc}".splitlines()[0], file=sys.stderr)
        return 1
    finally:
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()
    return db.finish(PROG, args, inputs, blocks, results, errors, unreadable, decode_seconds,
                     started)


if __name__ == "__main__":
    sys.exit(run())
