"""The client's side of a run (the Dask client, the Spark driver): checks and
planning before a cluster starts, the progress line, and the end of the run:
the workers' errors or the summary, _SUCCESS and the exit status.

Exit statuses, as vorlane-decode's: 0 every line decoded; 1 some lines
failed and every other document was written; 2 trouble (a usage error, an
input not read, output not fully written, a failed worker task).
"""
from __future__ import annotations

import importlib
import sys
import time

from vorlane_binary_parser_blocks.output import UsedFolder, finish_output, prepare_output
from vorlane_binary_parser_blocks.paths import where
from vorlane_binary_parser_blocks.plan import UsageError, line_offsets, parse_args, part_width, \
    plan_blocks, resolve_inputs
from vorlane_binary_parser_blocks.worker import TOOL, Counts, Options

OK, FAILED_LINES, TROUBLE = 0, 1, 2


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


class Plan:
    """What the client knows before the cluster starts."""

    def __init__(self, args, inputs, blocks, unreadable: bool):
        self.args, self.inputs, self.blocks = args, inputs, blocks
        self.width = part_width(blocks)
        self.unreadable = unreadable
        self.options = Options(args.payload_version, args.decoder, args.strict,
                               args.stall_timeout)


ENGINES = 'pip install "vorlane_binary_parser[engines]"'


def plan(prog: str, parser, argv, engine: str, engine_name: str):
    """Everything before a cluster starts: the arguments, the engine, the
    inputs and their blocks, the output folder. Returns a Plan, or the exit
    status to stop with; nothing is created before the checks pass."""
    try:
        args = parse_args(parser, argv)
    except UsageError as exc:
        return report(prog, str(exc))
    try:
        importlib.import_module(engine)
    except ImportError:
        return report(prog, f"needs {engine_name}: {ENGINES}")
    inputs, problems = resolve_inputs(args.files)
    for problem in problems:
        print(f"{prog}: {problem}", file=sys.stderr)
    if problems and not inputs:
        return TROUBLE
    try:
        prepare_output(args.output, args.overwrite)
    except UsedFolder:
        return report(prog, f"output folder '{args.output}' holds an earlier run's parts "
                            "(remove them or pass --overwrite)")
    except (OSError, ValueError, ImportError) as exc:
        return report(prog, f"cannot use output folder '{args.output}': {exc}")
    args.output = where(args.output)
    return Plan(args, inputs, plan_blocks(inputs, args.block_size), bool(problems))


def report(prog: str, message: str) -> int:
    print(f"{prog}: {message}", file=sys.stderr)
    return TROUBLE


class Progress:
    """One line on stderr, redrawn in place: blocks (or tasks) done, lines."""

    def __init__(self, total_blocks: int, enabled: bool, unit: str = "blocks"):
        self.total_blocks, self.unit = total_blocks, unit
        self.enabled = enabled and sys.stderr.isatty()
        self.started = time.monotonic()
        self.blocks = self.lines = 0

    def add(self, counts: Counts) -> None:
        self.blocks += 1
        self.lines += counts.lines
        self.draw()

    def draw(self, blocks: int | None = None) -> None:
        if not self.enabled:
            return
        done = self.blocks if blocks is None else blocks
        frac = done / self.total_blocks if self.total_blocks else 1.0
        bar = "#" * int(frac * 30)
        sys.stderr.write(f"\r[{bar:<30}] {done}/{self.total_blocks} {self.unit}  "
                         f"{self.lines:,} lines  {time.monotonic() - self.started:.0f} s ")
        sys.stderr.flush()

    def close(self) -> None:
        if self.enabled:
            sys.stderr.write("\n")
            sys.stderr.flush()


def peak_rss_mb(pid: int | str = "self") -> float | None:
    """Peak resident memory of a process, in MB: the kernel's high-water
    mark of its own memory. getrusage's figure is only the fallback: it
    starts at the size of the process that started this one, so a client
    started by a large process (spark-submit's JVM) would report that."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except (OSError, ValueError):
        pass
    if pid != "self":
        return None
    try:
        import resource
    except ImportError:  # Windows
        return None
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return peak / (1 << 20) if sys.platform == "darwin" else peak / 1024  # bytes there


def decoders(results: list[Counts]) -> str:
    """How the blocks were decoded, for the summary."""
    names = {"tool": TOOL, "parse": "parse"}
    used: dict[str, int] = {}
    for c in results:
        if c.decoder:
            used[c.decoder] = used.get(c.decoder, 0) + 1
    if len(used) == 1:
        return names[next(iter(used))]
    return ", ".join(f"{names[k]} on {plural(n, 'block')}"
                     for k, n in sorted(used.items())) or "none"


def _mb(value: float | None) -> str:
    return "unknown" if value is None else f"{value:.0f} MB"


def totals(p: Plan, results: list[Counts], status: int) -> dict:
    """The run's counts, as _SUCCESS holds them."""
    return {"status": status, "files": len(p.inputs), "blocks": len(results),
            "lines": sum(c.lines for c in results),
            "documents": sum(c.documents for c in results),
            "failures": sum(c.failures for c in results),
            "bytes": sum(c.nbytes for c in results)}


def summary(prog: str, counts: dict, results: list[Counts], out: str, decode_seconds: float,
            total_seconds: float, extra: str = "") -> str:
    return (f"{prog}: {plural(counts['files'], 'file')}, {plural(counts['lines'], 'line')}, "
            f"{plural(counts['documents'], 'document')}, "
            f"{plural(counts['failures'], 'failed line')}, {plural(counts['blocks'], 'block')}; "
            f"decoding {decode_seconds:.2f} s, in all {total_seconds:.2f} s; client peak RSS "
            f"{_mb(peak_rss_mb())}{extra}; decoder {decoders(results)}; output in {out}")


def to_renumber(p: Plan, results: dict[int, Counts]):
    """After the first round: the workers' errors, and each block whose
    failures wait in _pending with the lines before it in its input."""
    errors = [c.error for c in results.values() if c.error]
    if errors:
        return errors, []
    offsets = line_offsets(p.blocks, {i: c.lines for i, c in results.items()})
    return [], [(b, offsets[b.index]) for b in p.blocks if results[b.index].pending]


def fail(prog: str, p: Plan, message: str) -> int:
    """The client could not finish the run: one line, no _SUCCESS."""
    print(f"{prog}: {message}".splitlines()[0], file=sys.stderr)
    try:
        finish_output(p.args.output, None)
    except (OSError, ValueError, ImportError):
        pass
    return TROUBLE


def finish(prog: str, p: Plan, results: dict[int, Counts], errors: list[str],
           decode_seconds: float, started: float, extra: str = "") -> int:
    """The end of a run: the workers' errors or the summary, then _SUCCESS if
    every part is complete; returns the exit status."""
    if errors:
        for error in errors[:10]:
            print(f"{prog}: on a worker: {error}", file=sys.stderr)
        if len(errors) > 10:
            print(f"{prog}: on a worker: {len(errors) - 10} more like these", file=sys.stderr)
        try:
            finish_output(p.args.output, None)
        except (OSError, ValueError, ImportError):
            pass
        return TROUBLE
    ordered = [results[b.index] for b in p.blocks]
    status = TROUBLE if p.unreadable else \
        FAILED_LINES if any(c.failures for c in ordered) else OK
    counts = totals(p, ordered, status)
    try:
        finish_output(p.args.output, counts if status != TROUBLE else None)
    except (OSError, ValueError, ImportError) as exc:
        print(f"{prog}: cannot finish output folder '{p.args.output}': {exc}", file=sys.stderr)
        status = TROUBLE
    print(summary(prog, counts, ordered, p.args.output, decode_seconds,
                  time.perf_counter() - started, extra), file=sys.stderr)
    return status
