#!/usr/bin/env python3
"""Speed and memory of the vorlane-decode tool on a file of realistic lines.

Run from the repository root, with the module installed in the interpreter:

    python benchmarks/tool.py                       # the installed tool
    python benchmarks/tool.py --tool build/tool/vorlane-decode --repeats 5

Makes (once, into build/bench-tool/) a file of LINES version 3 payloads of 10
to 70 samples each from a seed, and the documents parse gives for it. Then
times, interleaved, REPEATS times each, with standard output read through a
pipe by this process:

- the tool with its default jobs, and with -j 1;
- the I/O floor: `cat FILE EXPECTED` (the input and the expected output)
  through the same pipe: no decoder can be faster than moving those bytes;
- the Python loop: for each line, parse it and write the document and a
  line feed (two writes).

The tool's output is checked against the expected documents first. The
table gives the minimum time of each and its ratio to the floor and to the
Python loop. Peak resident memory of the tool (GNU time's %M) is measured on
a tenth of the file, the whole file and the file given ten times, to show it
does not grow with the input.
"""
from __future__ import annotations

import argparse
import base64
import os
import random
import shutil
import subprocess
import sys
import sysconfig
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

from bench import _I16, _varint, machine, make_samples  # noqa: E402

PYTHON_LOOP = """\
import sys
from vorlane_binary_parser import BinaryParser
parse = BinaryParser().parse
write = sys.stdout.write
for line in open(sys.argv[1]):
    write(parse("accel", 3, line.rstrip("\\n")))
    write("\\n")
"""


def make_line(rng):
    samples = make_samples(rng.randint(10, 70), rng)
    head = bytes([rng.randrange(3), rng.randrange(6), rng.randrange(3), rng.randrange(2)])
    body = b"".join(_I16[x + 32768] + _I16[y + 32768] + _I16[z + 32768] for x, y, z in samples)
    payload = head + _I16[rng.randrange(-200, 900) + 32768] + _varint(len(samples)) + body
    return base64.b64encode(payload) + b"\n"


def make_files(lines, seed, out_dir):
    """The input file, its expected output, and the first tenth of both."""
    name = os.path.join(out_dir, "v3-%d-%d" % (lines, seed))
    paths = [name + ".b64", name + ".jsonl", name + "-tenth.b64", name + "-tenth.jsonl"]
    if all(os.path.exists(p) for p in paths):
        return paths
    from vorlane_binary_parser import BinaryParser
    parse = BinaryParser().parse
    rng = random.Random(seed)
    tenth = lines // 10
    with open(paths[0] + ".tmp", "wb") as b64, open(paths[1] + ".tmp", "wb") as docs, \
         open(paths[2] + ".tmp", "wb") as b64_tenth, open(paths[3] + ".tmp", "wb") as docs_tenth:
        for i in range(lines):
            line = make_line(rng)
            doc = (parse("accel", 3, line[:-1].decode("ascii")) + "\n").encode("ascii")
            b64.write(line)
            docs.write(doc)
            if i < tenth:
                b64_tenth.write(line)
                docs_tenth.write(doc)
    for p in paths:
        os.replace(p + ".tmp", p)
    return paths


def run_piped(cmd, buffer):
    """Runs cmd with stdout read through a pipe; returns (seconds, bytes, peak RSS KiB, status)."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    total = 0
    readinto = proc.stdout.raw.readinto if hasattr(proc.stdout, "raw") else proc.stdout.readinto
    while True:
        n = readinto(buffer)
        if not n:
            break
        total += n
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    proc.stdout.close()
    return elapsed, total, usage.ru_maxrss, proc.returncode


def peak_rss_kib(cmd, buffer):
    """Peak resident memory of cmd in KiB, with its stdout read through a pipe.

    GNU time starts cmd from its own small process: a child this process
    spawns directly would count this process's memory from before its exec
    in its peak (wait4's ru_maxrss)."""
    time_tool = shutil.which("time", path="/usr/bin:/bin")
    if time_tool is None:
        return run_piped(cmd, buffer)[2]
    report = os.path.join(ROOT, "build", "bench-tool", "peak.txt")
    run_piped([time_tool, "-f", "%M", "-o", report, *cmd], buffer)
    with open(report) as f:
        return int(f.read().split()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--tool", default=os.path.join(sysconfig.get_path("scripts"), "vorlane-decode"))
    ap.add_argument("--lines", type=int, default=300_000)
    ap.add_argument("--seed", type=int, default=12)
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--no-python", action="store_true", help="leave out the Python loop")
    ap.add_argument("--no-jobs", action="store_true",
                    help="the tool predates -j: time it as it is (to measure before a change)")
    args = ap.parse_args()

    out_dir = os.path.join(ROOT, "build", "bench-tool")
    os.makedirs(out_dir, exist_ok=True)
    made = time.perf_counter()
    data, expected, data_tenth, expected_tenth = make_files(args.lines, args.seed, out_dir)
    print("input: %s (%.1f MB in, %.1f MB out; made or found in %.0f s)" % (
        os.path.relpath(data, ROOT), os.path.getsize(data) / 1e6, os.path.getsize(expected) / 1e6,
        time.perf_counter() - made))

    # The tool must give exactly the expected documents.
    want = open(expected, "rb").read()
    job_args = ([],) if args.no_jobs else ([], ["-j", "1"], ["-j", "3"])
    for jobs in job_args:
        got = subprocess.run([args.tool, "-p", "3", *jobs, data], capture_output=True, check=True)
        if got.stdout != want or got.stderr:
            sys.exit("the tool's output differs from parse's (%s)" % " ".join(jobs or ["default jobs"]))
    del want

    cat = shutil.which("cat")
    commands = [("vorlane-decode -p 3 FILE (default jobs)", [args.tool, "-p", "3", data])]
    if not args.no_jobs:
        commands.append(("vorlane-decode -p 3 -j 1 FILE", [args.tool, "-p", "3", "-j", "1", data]))
    commands.append(("I/O floor: cat FILE EXPECTED", [cat, data, expected]))
    if not args.no_python:
        commands.append(("Python loop (two writes per line)", [sys.executable, "-c", PYTHON_LOOP, data]))

    buffer = bytearray(1 << 20)
    times = {name: [] for name, _ in commands}
    for _ in range(args.repeats):
        for name, cmd in commands:
            elapsed, _, _, status = run_piped(cmd, buffer)
            if status != 0:
                sys.exit("%s exited with %d" % (name, status))
            times[name].append(elapsed)

    best = {name: min(t) for name, t in times.items()}
    floor = best["I/O floor: cat FILE EXPECTED"]
    loop = best.get("Python loop (two writes per line)")
    print("machine: %s; load average before: %s" % (machine(), open("/proc/loadavg").read().split()[:3]))
    print("%d lines, min of %d interleaved runs, stdout read through a pipe" % (args.lines, args.repeats))
    print()
    print("| command | min | median | / floor | Python loop / this |")
    print("|---|---:|---:|---:|---:|")
    for name, _ in commands:
        t = sorted(times[name])
        speedup = "%.2fx" % (loop / best[name]) if loop else "-"
        print("| %s | %.3f s | %.3f s | %.2fx | %s |" % (name, best[name], t[len(t) // 2],
                                                        best[name] / floor, speedup))
    print()
    for label, paths in (("a tenth of the file", [data_tenth]), ("the whole file", [data]),
                         ("the file ten times over", [data] * 10)):
        peaks = []
        for jobs in job_args[:2]:
            peaks.append(min(peak_rss_kib([args.tool, "-p", "3", *jobs, *paths], buffer) for _ in range(3)))
        print("peak RSS of the tool, %s (%.1f MB): %s" % (
            label, sum(os.path.getsize(p) for p in paths) / 1e6,
            ", ".join("%s %.1f MiB" % (" ".join(j) or "default jobs", p / 1024) for j, p in zip(job_args, peaks))))
    print("load average after: %s" % open("/proc/loadavg").read().split()[:3])


if __name__ == "__main__":
    main()
