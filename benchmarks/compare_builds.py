"""Builds of the module side by side in one process: for each payload,
rounds of a batch of parse calls on each build in turn (the order rotated
every round), and the least time per call of each. On a shared, noisy
machine this holds the builds to the same moments, where runs of bench.py
one after the other do not.

    python benchmarks/compare_builds.py OLD_VENV NEW_VENV [--sizes 2,256,4096,200000] [--rounds 300]

Each venv has the module installed (python3.X/site-packages); the payloads
are bench.py's (version 3; 2 samples is the worked example). bench.py
--paths times a venv per CPU path the same way.
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
    found = glob.glob(os.path.join(venv, "lib", "python3.*", "site-packages", "vorlane_binary_parser.*.so"))
    if not found:
        sys.exit("compare_builds: no module in %s" % venv)
    # The same name from several files: each is a module of its own.
    loader = importlib.machinery.ExtensionFileLoader("vorlane_binary_parser", found[0])
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("vorlane_binary_parser", loader))
    loader.exec_module(module)
    return module


def least_times(modules, text, rounds):
    """The least time per call, in ns, of each module's parse on `text`,
    batches of calls of each in turn, the order rotated every round."""
    parsers = [m.BinaryParser().parse for m in modules]
    first = parsers[0]("accel", 3, text)
    assert all(p("accel", 3, text) == first for p in parsers[1:])
    calls = max(1, 3_000_000 // (len(text) + 1000))  # a batch of about a millisecond
    best = [float("inf")] * len(parsers)
    for r in range(rounds):
        for i in range(len(parsers)):
            k = (i + r) % len(parsers)
            parse = parsers[k]
            start = time.perf_counter_ns()
            for _ in range(calls):
                parse("accel", 3, text)
            best[k] = min(best[k], (time.perf_counter_ns() - start) / calls)
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")], default=[2, 256, 4096, 200_000])
    ap.add_argument("--rounds", type=int, default=300)
    args = ap.parse_args()
    modules = [load(args.old), load(args.new)]
    sys.path.insert(0, HERE)
    sys.modules["vorlane_binary_parser"] = modules[1]  # bench.py imports it
    import bench

    print("| samples | old | new | new / old |")
    print("|---:|---:|---:|---:|")
    for n in args.sizes:
        old, new = least_times(modules, bench.make_payload(3, n, 2024), args.rounds)
        name = "worked example" if n == 2 else n
        print("| %s | %.0f ns | %.0f ns | %.3f |" % (name, old, new, new / old), flush=True)


if __name__ == "__main__":
    main()
