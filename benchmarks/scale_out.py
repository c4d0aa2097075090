#!/usr/bin/env python3
"""Wall time and client peak RSS of vorlane-decode-dask and vorlane-decode-spark
against the tool and a plain Python loop, on one file of payload lines made
from a seed.

Run from the repository root with the package and its engines extra installed
in the interpreter (pip install ".[engines]"; Java 17+ for Spark):

    python benchmarks/scale_out.py                  # 1,000,000 lines, 3 rounds
    python benchmarks/scale_out.py --lines 100000 --rounds 1

Each round runs every contender once, in turn, on the same file:
- loop:  one Python process, a for loop over the lines calling parse and
         writing documents and FILE:LINE failures to two files;
- tool:  vorlane-decode -j 1 -p 3 FILE > out 2> err (one job);
- dask:  vorlane-decode-dask --scheduler ADDRESS against a LocalCluster of
         2 worker processes (1 thread each) started once, before the rounds;
- spark: vorlane-decode-spark --workers 2 (local[2]): wall time with the
         JVM's start, and its own "decoding" time, from the session being up
         (so with the start of Spark's Python workers).
dask and spark run twice: with their default decoder (the workers run
vorlane-decode on each block) and with --decoder parse (the workers call parse
line by line in Python). Before each contender its earlier output is removed
and the file system synced, so that no contender pays for another's write-back.
Peak RSS is the contender's own process: for the loop and the tool from GNU
time (/usr/bin/time, Debian's "time"), for the commands as they report it
(the client, the driver's Python); for Spark the JVM's too. The commands
are the ones installed beside the interpreter.
Every output is checked against the tool's before its time counts.
"""
from __future__ import annotations

import argparse
import base64
import logging
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import sysconfig
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import bench  # noqa: E402  payload generator: gravity on z, noise, rare limits

SCRIPTS = sysconfig.get_path("scripts")
TOOL = os.path.join(SCRIPTS, "vorlane-decode")
WORK = os.path.join(ROOT, "build", "scale-out")

LOOP = r"""
import sys
from vorlane_binary_parser import BinaryParser
parse = BinaryParser().parse
src, out, err = sys.argv[1:4]
failed = 0
with open(src, "rb") as f, open(out, "w") as docs, open(err, "w") as fails:
    for number, raw in enumerate(f, 1):
        line = raw.rstrip(b"\n")
        if line.endswith(b"\r"):
            line = line[:-1]
        if not line:
            continue
        try:
            docs.write(parse("accel", 3, line.decode()) + "\n")
        except ValueError as exc:
            failed += 1
            fails.write(f"{src}:{number}: {exc}\n")
"""


def make_input(path: str, lines: int, seed: int) -> None:
    """Version 3 payloads of 10 to 70 samples from a pool of distinct ones,
    one line in a thousand cut short (a failure), a few blank lines."""
    rng = random.Random(seed)
    pool = [bench.make_payload(3, rng.randint(10, 70), seed * 100_003 + i) for i in range(20_000)]
    with open(path + ".tmp", "w") as f:
        for _ in range(lines):
            r = rng.random()
            if r < 0.001:
                f.write(rng.choice(pool)[:-8] + "\n")
            elif r < 0.0015:
                f.write("\n")
            else:
                f.write(rng.choice(pool) + "\n")
    os.replace(path + ".tmp", path)


GNU_TIME = shutil.which("time", path="/usr/bin:/bin")


def run(cmd, stdout=None, stderr=None):
    """(wall seconds, peak RSS in MB, stderr text). The RSS is the largest of
    the process and the descendants it waited for, measured by GNU time when
    it is there: a child forked from this (large) process would otherwise
    start its count at this process's size."""
    rss_file = os.path.join(WORK, "rss.txt")
    if GNU_TIME:
        cmd = [GNU_TIME, "-f", "%M", "-o", rss_file, *cmd]
    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=stdout or subprocess.DEVNULL,
                            stderr=stderr or subprocess.PIPE, cwd=ROOT)
    err = b"" if stderr else proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - t0
    code = os.waitstatus_to_exitcode(status)
    if code not in (0, 1):
        sys.exit(f"{cmd[:6]} failed ({code}): {err.decode()[-2000:]}")
    if GNU_TIME:
        rss = int(open(rss_file).read().split()[-1]) / 1024
    else:
        rss = usage.ru_maxrss / 1024
    return wall, rss, err.decode()


def concat(folder: str) -> bytes:
    return b"".join(open(os.path.join(folder, p), "rb").read() for p in sorted(os.listdir(folder)))


def check(name: str, out_dir: str, tool_out: str, tool_err: str) -> None:
    for sub, ref in (("documents", tool_out), ("failures", tool_err)):
        if concat(os.path.join(out_dir, sub)) != open(ref, "rb").read():
            sys.exit(f"{name}: {sub} differ from the tool's output")


def summary_value(text: str, pattern: str) -> float:
    m = re.search(pattern, text)
    if not m:
        sys.exit(f"no summary in: {text[-2000:]}")
    return float(m.group(1))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--lines", type=int, default=1_000_000)
    ap.add_argument("--seed", type=int, default=13)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--block-size", default="16M")
    ap.add_argument("--skip", default="",
                    help="contenders to leave out: dask, spark, parse (the commands' "
                         "--decoder parse runs), comma-separated")
    args = ap.parse_args()
    skip = set(filter(None, args.skip.split(",")))

    os.makedirs(WORK, exist_ok=True)
    src = os.path.join(WORK, f"payloads-{args.lines}-{args.seed}.b64")
    if not os.path.exists(src):
        t0 = time.perf_counter()
        make_input(src, args.lines, args.seed)
        print(f"made {src} in {time.perf_counter() - t0:.1f} s", file=sys.stderr)
    size = os.path.getsize(src)
    rel = os.path.relpath(src, ROOT)   # the name every contender reports
    tool_out, tool_err = os.path.join(WORK, "tool.out"), os.path.join(WORK, "tool.err")
    loop_out, loop_err = os.path.join(WORK, "loop.out"), os.path.join(WORK, "loop.err")

    from dask.distributed import LocalCluster
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                           dashboard_address=None, silence_logs=logging.ERROR)
    rows: dict[str, list[tuple[float, ...]]] = {}
    def fresh(*paths):
        """No earlier output and no dirty pages left: one contender's
        write-back must not be billed to the next."""
        for path in paths:
            if os.path.isdir(path):
                shutil.rmtree(path)
            elif os.path.exists(path):
                os.remove(path)
        os.sync()

    def command(name, decoder, cluster_args):
        out = os.path.join(WORK, f"{name}-out")
        fresh(out)
        wall, _, err = run([os.path.join(SCRIPTS, f"vorlane-decode-{name}"), "-p", "3",
                            *cluster_args, "--decoder", decoder, "--block-size", args.block_size,
                            "-o", out, rel])
        check(name, out, tool_out, tool_err)
        want = "vorlane-decode" if decoder == "tool" else decoder
        if f"decoder {want};" not in err:
            sys.exit(f"{name}: not decoded by {want}: {err[-2000:]}")
        return wall, err

    try:
        for r in range(args.rounds):
            fresh(loop_out, loop_err)
            wall, rss, _ = run([sys.executable, "-c", LOOP, rel, loop_out, loop_err])
            rows.setdefault("loop", []).append((wall, rss))

            fresh(tool_out, tool_err)
            with open(tool_out, "wb") as o, open(tool_err, "wb") as e:
                wall, rss, _ = run([TOOL, "-j", "1", "-p", "3", rel], o, e)
            rows.setdefault("tool", []).append((wall, rss))
            if open(loop_out, "rb").read() != open(tool_out, "rb").read() or \
                    open(loop_err, "rb").read() != open(tool_err, "rb").read():
                sys.exit("loop: output differs from the tool's")

            engines = [("dask", ["--scheduler", cluster.scheduler_address]),
                       ("spark", ["--workers", "2"])]
            for engine, cluster_args in engines:
                for decoder in ("tool", "parse"):
                    if engine in skip or (decoder == "parse" and "parse" in skip):
                        continue
                    name = engine if decoder == "tool" else f"{engine} --decoder parse"
                    wall, err = command(engine, decoder, cluster_args)
                    row = (wall, summary_value(err, r"client peak RSS (\d+) MB"),
                           summary_value(err, r"decoding ([\d.]+) s"))
                    if engine == "spark":
                        row += (summary_value(err, r"JVM peak RSS (\d+) MB"),)
                    rows.setdefault(name, []).append(row)
            print(f"round {r + 1}: " + ", ".join(f"{k} {v[-1][0]:.2f} s" for k, v in rows.items()),
                  file=sys.stderr)
    finally:
        cluster.close()

    loop = statistics.median(w for w, *_ in rows["loop"])
    print(f"\n{args.lines:,} lines, {size / 1e6:.0f} MB, {args.rounds} rounds; "
          f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, "
          f"Python {platform.python_version()}; load average at the end "
          f"{os.getloadavg()[0]:.2f}\n")
    loops = [w for w, *_ in rows["loop"]]
    print("| contender | wall min / median | / loop (median) | / loop in each round | "
          "client peak RSS | notes |")
    print("|---|---:|---:|---:|---:|---|")
    for name, runs in rows.items():
        walls = [x[0] for x in runs]
        med = statistics.median(walls)
        each = " ".join(f"{w / lw:.2f}" for w, lw in zip(walls, loops))
        note = ""
        if name.startswith("dask"):
            note = f"decoding phase {statistics.median(x[2] for x in runs):.2f} s"
        if name.startswith("spark"):
            decs = [x[2] for x in runs]
            dec = statistics.median(decs)
            note = (f"without the JVM's start: {dec:.2f} s = **{dec / loop:.2f}x** loop "
                    f"(each round: {' '.join(f'{d / lw:.2f}' for d, lw in zip(decs, loops))}); "
                    f"JVM peak RSS {max(x[3] for x in runs):.0f} MB")
        print(f"| {name} | {min(walls):.2f} s / {med:.2f} s | **{med / loop:.2f}x** | {each} | "
              f"{max(x[1] for x in runs):.0f} MB | {note} |")
    for name in ("dask-out", "spark-out", "loop.out", "tool.out"):
        fresh(os.path.join(WORK, name))


if __name__ == "__main__":
    main()
