"""Decodes files of Base64 payloads, one per line, on a Dask cluster.

Each worker reads its own blocks of the inputs (local paths, globs or any
fsspec URL), decodes them with vorlane_binary_parser and writes its part
files; only counts come back to this process.

    vorlane-decode-dask -p 3 -o OUT payloads/*.b64
    vorlane-decode-dask -p 3 -o s3://bucket/out --scheduler tcp://host:8786 \\
        "s3://bucket/payloads/*.b64"

OUT/documents/part-NNNNN and OUT/failures/part-NNNNN, each folder read in
name order, hold exactly what vorlane-decode writes to stdout and stderr for
the same files; OUT/_SUCCESS is written last, when every part is. Without
--scheduler a LocalCluster of --workers processes is started here. The
workers import vorlane_binary_parser_blocks: install the package on each.
"""
from __future__ import annotations

import logging
import os
import sys
import time

from vorlane_binary_parser_blocks import client as bc
from vorlane_binary_parser_blocks import plan as blocks_plan
from vorlane_binary_parser_blocks import worker as db

PROG = "vorlane-decode-dask"


def run(argv=None) -> int:
    started = time.perf_counter()
    parser = blocks_plan.make_parser(
        PROG, __doc__.split("\n\n")[0], "--scheduler",
        "address of a running Dask scheduler, e.g. tcp://host:8786",
        default_workers=os.cpu_count() or 1)
    p = bc.plan(PROG, parser, argv, "dask.distributed", "Dask")
    if isinstance(p, int):
        return p

    from dask.distributed import Client, LocalCluster, as_completed

    cluster = client = None
    try:
        if p.args.scheduler:
            client = Client(p.args.scheduler, timeout="20s")
        else:
            # The workers' own logs stay quiet: a worker's last heartbeat can
            # meet the scheduler's close and log a traceback after a run that
            # succeeded. Failures reach the command through its futures.
            cluster = LocalCluster(n_workers=p.args.workers, threads_per_worker=1,
                                   processes=True, dashboard_address=None,
                                   silence_logs=logging.CRITICAL)
            client = Client(cluster)
        decode_started = time.perf_counter()
        progress = bc.Progress(len(p.blocks), not p.args.no_progress)
        futures = client.map(db.decode_block, p.blocks, out=p.args.output, width=p.width,
                             options=p.options, pure=False)
        results: dict[int, db.Counts] = {}
        for future in as_completed(futures):
            counts = future.result()
            results[counts.index] = counts
            progress.add(counts)
        progress.close()
        errors, pending = bc.to_renumber(p, results)
        if pending:
            renumbered = client.map(db.renumber_failures, [b for b, _ in pending],
                                    [n for _, n in pending], out=p.args.output, width=p.width,
                                    pure=False)
            errors = [e for e in client.gather(renumbered) if e]
        decode_seconds = time.perf_counter() - decode_started
    except Exception as exc:  # noqa: BLE001 - one line instead of a remote traceback
        return bc.fail(PROG, p, f"{type(exc).__name__}: {exc}")
    finally:
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()
    return bc.finish(PROG, p, results, errors, decode_seconds, started)


def main() -> None:
    sys.exit(run())


if __name__ == "__main__":
    main()
