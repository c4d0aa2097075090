"""Two builds of the module side by side in one process: for each payload,
rounds of a batch of parse calls on each build in turn (the order swapped
every round), and the least time per call of each. On a shared, noisy
machine this holds the two to the same moments, where two runs of bench.py
one after the other do not.

    python benchmarks/compare_builds.py OLD_VENV NEW_VENV [--sizes 2,256,4096,200000] [--rounds 300]

Each venv has the module installed (python3.X/site-packages); the payloads
are bench.py's (version 3; 2 samples is the worked example).
"""
import argparse
import glob
import importlib.machinery
import importlib.util
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def load(venv):
    found = glob.glob(os.path.join(venv, "lib", "python3.*", "site-packages", "vorlane_binary_parser*.so"))
    if not found:
        sys.exit("compare_builds: no module in %s" % venv)
    # The same name from two files: each is a module of its own.
    loader = importlib.machinery.ExtensionFileLoader("vorlane_binary_parser", found[0])
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("vorlane_binary_parser", loader))
    loader.exec_module(module)
    return module


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")], default=[2, 256, 4096, 200_000])
    ap.add_argument("--rounds", type=int, default=300)
    args = ap.parse_args()
    old, new = load(args.old), load(args.new)
    sys.modules["vorlane_binary_parser"] = new  # bench.py imports it
    sys.path.insert(0, HERE)
    import bench

    parsers = {"old": old.BinaryParser(), "new": new.BinaryParser()}
    print("| samples | old | new | new / old |")
    print("|---:|---:|---:|---:|")
    for n in args.sizes:
        text = bench.make_payload(3, n, 2024)
        assert parsers["old"].parse("accel", 3, text) == parsers["new"].parse("accel", 3, text)
        calls = max(1, 3_000_000 // (len(text) + 1000))  # a batch of about a millisecond
        best = {"old": float("inf"), "new": float("inf")}
        for r in range(args.rounds):
            for side in ("old", "new") if r % 2 == 0 else ("new", "old"):
                parse = parsers[side].parse
                start = time.perf_counter_ns()
                for _ in range(calls):
                    parse("accel", 3, text)
                best[side] = min(best[side], (time.perf_counter_ns() - start) / calls)
        name = "worked example" if n == 2 else n
        print("| %s | %.0f ns | %.0f ns | %.3f |" % (name, best["old"], best["new"], best["new"] / best["old"]), flush=True)


if __name__ == "__main__":
    main()
