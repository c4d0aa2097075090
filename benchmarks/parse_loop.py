"""Times parse alone on bench.py's version 3 payloads of a few sizes: the
minimum of 7 repeats, per call. A quick A/B of two builds, each installed in
its own venv: run it with each venv's python, alternating, from the
repository root.
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402

from vorlane_binary_parser import BinaryParser  # noqa: E402

parse = BinaryParser().parse
for n in (2, 256, 4096, 200000):
    text = bench.make_payload(3, n, 2024)
    loops = max(1, 200000 // (n + 10))
    best = float("inf")
    for _ in range(7):
        start = time.perf_counter()
        for _ in range(loops):
            parse("accel", 3, text)
        best = min(best, (time.perf_counter() - start) / loops)
    print(f"{n:>7} samples: {best * 1e6:9.3f} us")
