"""Decodes files of Base64 payloads, one per line, with Apache Spark.

Each task reads its own block of the inputs (local paths, globs or any fsspec
URL), decodes it with vorlane_binary_parser in the Python worker and writes
its part files; only counts come back to the driver.

    vorlane-decode-spark -p 3 -o OUT payloads/*.b64
    spark-submit --master spark://host:7077 "$(vorlane-decode-spark --script)" \\
        -p 3 -o OUT FILE...

OUT/documents/part-NNNNN and OUT/failures/part-NNNNN, each folder read in
name order, hold exactly what vorlane-decode writes to stdout and stderr for
the same files; OUT/_SUCCESS is written last, when every part is. Without
--master (and outside spark-submit) Spark runs here as local[N], N from
--workers. The executors import vorlane_binary_parser_blocks: install the
package in the Python they run.
"""
from __future__ import annotations

import argparse
import functools
import os
import sys
import threading
import time

from vorlane_binary_parser_blocks import client as bc
from vorlane_binary_parser_blocks import plan as blocks_plan
from vorlane_binary_parser_blocks import worker as db

PROG = "vorlane-decode-spark"
TASK_BYTES = 1 << 30


def _one_line(exc: BaseException) -> str:
    """The Python error at the bottom of a failed task, not the JVM's trace."""
    text = str(exc)
    lines = [ln.strip() for ln in text.splitlines()]
    for line in reversed(lines):
        head = line.split(":", 1)[0]
        if head.endswith(("Error", "Exception")) and " " not in head and not head.startswith("org."):
            return line
    return f"{type(exc).__name__}: {lines[0] if lines else ''}"


def _watch(sc, progress: bc.Progress, done: threading.Event) -> None:
    tracker = sc.statusTracker()
    while not done.wait(0.5):
        completed = 0
        for stage in tracker.getActiveStageIds():
            info = tracker.getStageInfo(stage)
            if info is not None:
                completed += info.numCompletedTasks
        progress.draw(completed)


def _jvm_peak_rss(sc) -> str:
    """The local JVM's peak RSS, where this process started it."""
    try:
        peak = bc.peak_rss_mb(sc._gateway.proc.pid)
    except AttributeError:  # not started here (spark-submit)
        return ""
    return "" if peak is None else f", JVM peak RSS {peak:.0f} MB"


class _PrintScript(argparse.Action):
    """--script: the file spark-submit is given to run this program."""

    def __call__(self, parser, namespace, values, option_string=None):
        print(os.path.abspath(__file__))
        parser.exit(0)


def task_count(blocks: list[blocks_plan.Block], parallelism: int) -> int:
    """Tasks for the blocks, each a run of neighbouring blocks. A Spark task
    costs tens of milliseconds before its first line, so a task gets many
    blocks: two tasks a core, more only to keep each under a gigabyte."""
    nbytes = sum(b.end - b.start for b in blocks)
    return min(len(blocks), max(2 * parallelism, -(-nbytes // TASK_BYTES)))


def run(argv=None) -> int:
    started = time.perf_counter()
    parser = blocks_plan.make_parser(PROG, __doc__.split("\n\n")[0], "--master",
                            "Spark master URL, e.g. spark://host:7077 (default: local[N] with N "
                            "from --workers, or what spark-submit was given)",
                            default_workers=os.cpu_count() or 1)
    parser.add_argument("--script", action=_PrintScript, nargs=0,
                        help="print the path of this program's file, which spark-submit "
                             "runs, and exit")
    p = bc.plan(PROG, parser, argv, "pyspark", "PySpark")
    if isinstance(p, int):
        return p
    args, blocks = p.args, p.blocks

    under_submit = "PYSPARK_GATEWAY_PORT" in os.environ
    master = args.master or (None if under_submit else f"local[{args.workers}]")
    local = master is not None and not under_submit and master.startswith("local")
    if local:
        # The Python workers are this interpreter, which has the module,
        # unless the user chose one.
        os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    from pyspark.sql import SparkSession

    builder = SparkSession.builder.appName("vorlane-decode").config(
        "spark.ui.showConsoleProgress", "false")
    if master:
        builder = builder.master(master)
    if local:
        # Here the JVM only schedules: its quick compiler and the serial
        # collector cost less of the cores the Python workers need.
        builder = builder.config("spark.ui.enabled", "false").config(
            "spark.driver.extraJavaOptions", "-XX:TieredStopAtLevel=1 -XX:+UseSerialGC")
    spark = None
    done = threading.Event()
    try:
        spark = builder.getOrCreate()
        sc = spark.sparkContext
        sc.setLogLevel("ERROR")
        decode_started = time.perf_counter()
        tasks = task_count(blocks, sc.defaultParallelism)
        progress = bc.Progress(tasks, not args.no_progress, "tasks")
        watcher = threading.Thread(target=_watch, args=(sc, progress, done), daemon=True)
        watcher.start()
        results = {}
        if blocks:
            job = sc.parallelize(blocks, tasks).mapPartitions(functools.partial(
                db.decode_partition, out=args.output, width=p.width, options=p.options))
            results = {c.index: c for c in job.collect()}
        done.set()
        watcher.join()
        for counts in results.values():
            progress.lines += counts.lines
        progress.blocks = tasks
        progress.draw()
        progress.close()
        errors, pending = bc.to_renumber(p, results)
        if pending:
            renumber = sc.parallelize(pending, min(len(pending), sc.defaultParallelism))
            renumber = renumber.mapPartitions(
                functools.partial(db.renumber_partition, out=args.output, width=p.width))
            errors = [e for e in renumber.collect() if e]
        decode_seconds = time.perf_counter() - decode_started
        jvm = _jvm_peak_rss(sc)
    except Exception as exc:  # noqa: BLE001 - one line instead of a JVM trace
        done.set()
        return bc.fail(PROG, p, _one_line(exc))
    finally:
        if spark is not None:
            spark.stop()
    return bc.finish(PROG, p, results, errors, decode_seconds, started, jvm)


def main() -> None:
    sys.exit(run())


if __name__ == "__main__":
    main()
