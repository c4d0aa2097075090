#!/usr/bin/env python3
"""Speed of BinaryParser.parse against the call floor and the stdlib.

Run from the repository root, with the module installed in the interpreter:

    python benchmarks/bench.py            # full run (a few minutes)
    python benchmarks/bench.py --quick    # fewer repeats

    python benchmarks/bench.py --paths VENV...   # a venv per CPU path, side by side

Every row is timed side by side, interleaved, with repeats; the table quotes
min and median per call and every ratio is against the floor: a helper
extension built here that binds the same arguments and returns a str as long
as the real document (see floor.cpp).
"""
from __future__ import annotations

import argparse
import base64
import binascii
import gc
import importlib.metadata
import importlib.util
import json
import os
import platform
import random
import re
import resource
import statistics
import subprocess
import sys
import sysconfig
import time
import timeit

import vorlane_binary_parser

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
WORKED_EXAMPLE = "AQMBATICAQTQDwDXBP//Aw=="
SIZES = [0, 2, 32, 256, 4096, 200_000, 1_000_000]
VERSIONS = [3, 1]
UNROLL = 10  # calls per loop turn, so that the loop itself costs little


# ---- the floor helper ----------------------------------------------------

def build_floor(cpu_path):
    """Compiles floor.cpp (with the core's sources) for this Python,
    forced to the module's CPU path where the module was, so that its Base64
    stage takes the module's kernel."""
    forced = cpu_path is not None and cpu_path["built"] != "auto"
    out_dir = os.path.join(ROOT, "build", "bench-floor-%d.%d" % sys.version_info[:2]
                           + ("-" + cpu_path["built"] if forced else ""))
    os.makedirs(out_dir, exist_ok=True)
    target = os.path.join(out_dir, "vorlane_bench_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    sources = [os.path.join(HERE, "floor.cpp")]
    # The core (the table of CPU paths holds every stage's kernels), with
    # only this target's kernel files, as CMake picks them.
    dirs = [os.path.join(ROOT, "src", d) for d in ("base64", "common", "fused", "accel", "wire", "json")]
    other = {"x86_64": "arm_", "aarch64": "x86_", "arm64": "x86_"}.get(platform.machine(), "")
    sources += sorted(os.path.join(d, f) for d in dirs for f in os.listdir(d)
                      if f.endswith(".cpp") and not (other and f.startswith(other)))
    newest = max(os.path.getmtime(p) for p in sources + [os.path.join(d, f) for d in dirs for f in os.listdir(d)])
    if not os.path.exists(target) or os.path.getmtime(target) < newest:
        cxx = os.environ.get("CXX", "c++")
        cmd = [cxx, "-std=c++20", "-O3", "-DNDEBUG", "-shared", "-fPIC", "-fvisibility=hidden",
               "-I" + sysconfig.get_paths()["include"], "-I" + os.path.join(ROOT, "src"),
               *(['-DVORLANE_FORCED_CPU_PATH="%s"' % cpu_path["built"]] if forced else []),
               *sources, "-o", target]
        subprocess.run(cmd, check=True)
    found = importlib.util.spec_from_file_location("vorlane_bench_floor", target)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


# ---- payloads --------------------------------------------------------------

def _varint(n):
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


# zigzag varint of every int16 value, indexed by value + 32768
_I16 = [_varint(((v << 1) ^ (v >> 15)) & 0xFFFF) for v in range(-32768, 32768)]


def _clamp(v):
    return -32768 if v < -32768 else 32767 if v > 32767 else v


def make_samples(n, rng):
    """Gravity near 1000 counts on z, noise of a few hundred, rare limits."""
    out = []
    gauss = rng.gauss
    rand = rng.random
    for _ in range(n):
        x = int(gauss(0, 250))
        y = int(gauss(0, 250))
        z = int(gauss(1000, 250))
        if rand() < 0.002:
            x = rng.choice((-32768, 32767))
        if rand() < 0.002:
            z = rng.choice((-32768, 32767))
        out.append((_clamp(x), _clamp(y), _clamp(z)))
    return out


def make_payload(version, n, seed):
    if version == 3 and n == 2:
        return WORKED_EXAMPLE
    rng = random.Random(seed * 1_000_003 + n * 10 + version)
    samples = make_samples(n, rng)
    parts = []
    if version == 1:
        ts = 1_700_000_000_000 + rng.randrange(10**9)
        parts.append(_varint(((ts << 1) ^ (ts >> 63)) & (2**64 - 1)))
    else:
        parts.append(bytes([rng.randrange(3), rng.randrange(6), rng.randrange(3), rng.randrange(2)]))
    parts.append(_I16[rng.randrange(-200, 900) + 32768])
    parts.append(_varint(n))
    parts.append(b"".join(_I16[x + 32768] + _I16[y + 32768] + _I16[z + 32768] for x, y, z in samples))
    return base64.b64encode(b"".join(parts)).decode("ascii")


# ---- what a user would write without the module ---------------------------

def _take_varint(data, pos, max_bytes, last_max):
    value = 0
    for i in range(max_bytes):
        if pos >= len(data):
            raise ValueError("unexpected end")
        b = data[pos]
        pos += 1
        if i == max_bytes - 1:
            if b > last_max:
                raise ValueError("bad varint")
            return value | (b << (7 * i)), pos
        value |= (b & 0x7F) << (7 * i)
        if not b & 0x80:
            return value, pos
    raise AssertionError


def _i16(data, pos):
    n, pos = _take_varint(data, pos, 3, 3)
    return (n >> 1) ^ -(n & 1), pos


_NAMES = (("range", ("R2G", "R4G", "R8G")),
          ("freq", ("F12_5Hz", "F25Hz", "F50Hz", "F100Hz", "F200Hz", "F400Hz")),
          ("noise", ("NormalNoise", "LowNoise", "UltraLowNoise")),
          ("antialias", ("HalfFreq", "QuarterFreq")))


def stdlib_parse(kind, version, text):
    if kind != "accel":
        raise ValueError(kind)
    data = base64.b64decode(text, validate=True)
    record = {}
    pos = 0
    if version == 1:
        n, pos = _take_varint(data, pos, 10, 1)
        record["timestamp"] = (n >> 1) ^ -(n & 1)
    elif version in (2, 3):
        for key, names in _NAMES:
            tag, pos = _take_varint(data, pos, 5, 15)
            record[key] = names[tag]
    else:
        raise ValueError(version)
    record["acc_temp"], pos = _i16(data, pos)
    count, pos = _take_varint(data, pos, 10, 1)
    samples = []
    for _ in range(count):
        x, pos = _i16(data, pos)
        y, pos = _i16(data, pos)
        z, pos = _i16(data, pos)
        samples.append({"x": x, "y": y, "z": z})
    record["samples"] = samples
    return json.dumps({"Accel": {"V%d" % version: record}}, separators=(",", ":"))


# ---- timing ----------------------------------------------------------------

def make_timer(fn, args):
    call = "f(a, b, c)\n" * UNROLL
    return timeit.Timer(call, globals={"f": fn, "a": args[0], "b": args[1], "c": args[2]})


class Candidate:
    def __init__(self, name, fn, args, before=None):
        self.name = name
        self.timer = make_timer(fn, args)
        self.fn, self.args, self.before = fn, args, before
        self.loops = 1
        self.samples = []   # seconds per call
        self.faults = []    # minor page faults per call

    def calibrate(self, target):
        if self.before:
            self.before()
        t0 = time.perf_counter()
        self.fn(*self.args)
        one = time.perf_counter() - t0
        self.loops = max(1, int(target / max(one * UNROLL, 1e-9)))
        return one

    def run(self):
        if self.before:
            self.before()
        f0 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        t = self.timer.timeit(self.loops)
        f1 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        calls = self.loops * UNROLL
        self.samples.append(t / calls)
        self.faults.append((f1 - f0) / calls)


def measure(candidates, repeats, target, slow_budget):
    one_call = {c.name: c.calibrate(target) for c in candidates}
    for c in candidates:  # warm-up round, not recorded (calibration warms the slow ones)
        if one_call[c.name] < 0.05:
            c.run()
            c.samples.clear()
            c.faults.clear()
    for r in range(repeats):
        order = candidates[r % len(candidates):] + candidates[:r % len(candidates)]
        for c in order:
            one_batch = (c.samples[-1] * c.loops * UNROLL) if c.samples else 0
            if c.samples and one_batch * len(c.samples) > slow_budget:
                continue  # the stdlib route on large rows: a few repeats are enough
            c.run()


def fmt_time(seconds):
    if seconds < 1e-6:
        return "%.0f ns" % (seconds * 1e9)
    if seconds < 1e-3:
        return "%.2f us" % (seconds * 1e6)
    if seconds < 1:
        return "%.2f ms" % (seconds * 1e3)
    return "%.2f s" % seconds


def machine():
    model = cores = None
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            key, _, value = line.partition(":")
            if key.strip() == "Model name":
                model = value.strip()
            elif key.strip() == "CPU(s)":
                cores = value.strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    return "%s, %s CPUs, %s, Python %s" % (model or platform.processor(), cores or os.cpu_count(),
                                           platform.system(), platform.python_version())


def cpu_path(scripts=None):
    """The CPU path of the module's build, as the vorlane-decode installed with
    it reports (`--version`): the module has no attribute for it, and the tool
    is built from the same tree with the same options in the same install.
    None where that tool is missing or of another release. `scripts`: the
    tool's folder, this interpreter's by default."""
    tool = os.path.join(scripts or sysconfig.get_path("scripts"), "vorlane-decode")
    try:
        out = subprocess.run([tool, "--version"], capture_output=True, text=True, timeout=60)
        wanted = "vorlane-decode " + importlib.metadata.version("vorlane_binary_parser")
    except (OSError, subprocess.SubprocessError, importlib.metadata.PackageNotFoundError):
        return None
    lines = out.stdout.splitlines()
    found = re.fullmatch(r"cpu path: built (\S+), chosen (.*); cpu: (.*)", lines[1]) if len(lines) == 2 else None
    if out.returncode != 0 or found is None or lines[0] != wanted:
        return None
    return {"built": found[1], "chosen": found[2], "features": found[3]}


def compare_paths(venvs, sizes, rounds):
    """Each venv's module (one per CPU path, forced builds) loaded into this
    process and timed in turn on the same payloads: per path the least time
    per call, per sample, and its ratio to the fastest path of the run."""
    import compare_builds

    names = []
    for venv in venvs:
        found = cpu_path(os.path.join(venv, "bin"))
        names.append(found["built"] if found else os.path.basename(os.path.normpath(venv)))
    modules = [compare_builds.load(venv) for venv in venvs]
    print("# CPU paths side by side: least time per call (%d rounds), version 3" % rounds)
    print()
    print("machine: %s" % machine())
    print()
    print("| samples | " + " | ".join("`%s`" % n for n in names) + " |")
    print("|---:|" + "---:|" * len(names))
    for n in sizes:
        best = compare_builds.least_times(modules, make_payload(3, n, 2024), rounds)
        per = [t / max(n, 1) for t in best]
        fastest = min(per)
        cells = ["%s, %.2f ns a sample (%.2fx)" % (fmt_time(t * 1e-9), x, x / fastest)
                 for t, x in zip(best, per)]
        print("| %s | %s |" % ("worked example" if n == 2 else n, " | ".join(cells)), flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer, shorter repeats")
    ap.add_argument("--seed", type=int, default=2024)
    ap.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")], default=SIZES)
    ap.add_argument("--paths", nargs="+", metavar="VENV",
                    help="instead: a venv per CPU path, timed side by side in this process")
    ap.add_argument("--rounds", type=int, default=100, help="with --paths: rounds per payload")
    args = ap.parse_args()
    if args.paths:
        sizes = args.sizes if args.sizes != SIZES else [32, 256, 4096, 200_000]
        return compare_paths(args.paths, sizes, args.rounds)
    repeats, target, slow_budget = (5, 0.01, 1.0) if args.quick else (15, 0.03, 4.0)

    path = cpu_path()
    floor_mod = build_floor(path)
    floor = floor_mod.Floor()
    parser = vorlane_binary_parser.BinaryParser()

    print("# vorlane_binary_parser benchmark%s" % (" (--quick)" if args.quick else ""))
    print()
    print("machine: %s" % machine())
    if path is None:
        print("CPU path: unknown (no vorlane-decode of this release beside %s)" % sys.executable)
    else:
        print("CPU features: %s; CPU path built: %s, chosen: %s" % (path["features"], path["built"], path["chosen"]))
    print("seed %d, %d repeats, min / median per call; ratios are to the floor (min / median)" % (args.seed, repeats))
    print()
    print("| case | document | floor | parse | parse / floor | document rate | stdlib / floor | a2b_base64 / floor | faults per call (parse / floor) |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    base64_row = None
    gc.disable()
    for n in args.sizes:
        for version in VERSIONS:
            text = make_payload(version, n, args.seed)
            doc = parser.parse("accel", version, text)
            if n <= 20_000:
                assert doc == stdlib_parse("accel", version, text), (n, version)
            length = len(doc)
            set_len = lambda length=length: floor_mod.set_length(length)  # noqa: E731
            cands = [
                Candidate("floor", floor.parse, ("accel", version, text), before=set_len),
                Candidate("parse", parser.parse, ("accel", version, text)),
                Candidate("stdlib", stdlib_parse, ("accel", version, text)),
                Candidate("binascii", lambda a, b, c: binascii.a2b_base64(c, strict_mode=True),
                          ("accel", version, text)),
            ]
            if n == 200_000 and version == 3:
                cands.append(Candidate("b64stage", lambda a, b, c: floor_mod.base64_stage(c),
                                       ("accel", version, text)))
            measure(cands, repeats, target, slow_budget)
            by = {c.name: c for c in cands}
            fl = by["floor"]
            fmin, fmed = min(fl.samples), statistics.median(fl.samples)

            def ratio(c):
                return "%.2fx / %.2fx" % (min(c.samples) / fmin, statistics.median(c.samples) / fmed)

            def both(c):
                return "%s / %s" % (fmt_time(min(c.samples)), fmt_time(statistics.median(c.samples)))

            p = by["parse"]
            rate = length / min(p.samples) / 1e9
            name = "worked example" if (n == 2 and version == 3) else "%d samples" % n
            print("| v%d, %s | %d B | %s | %s | **%s** | %.2f GB/s | %s | %s | %.1f / %.1f |" % (
                version, name, length, both(fl), both(p), ratio(p), rate, ratio(by["stdlib"]),
                ratio(by["binascii"]), statistics.median(p.faults), statistics.median(fl.faults)))
            sys.stdout.flush()
            if "b64stage" in by:
                base64_row = (len(text), by["b64stage"], by["binascii"])
    gc.enable()
    if base64_row:
        size, ours, theirs = base64_row
        print()
        print("Base64 stage alone, v3 with 200000 samples (%d characters): module %.2f GB/s, "
              "binascii.a2b_base64(strict_mode=True) %.2f GB/s: **%.1fx** (min), %.1fx (median)" % (
                  size, size / min(ours.samples) / 1e9, size / min(theirs.samples) / 1e9,
                  min(theirs.samples) / min(ours.samples),
                  statistics.median(theirs.samples) / statistics.median(ours.samples)))


if __name__ == "__main__":
    main()
