"""What dask_decode.py and spark_decode.py share.

The command line and its checks, the plan that cuts the inputs into blocks of
whole lines, the work a worker does on one block (read it, decode it, write
its part files), the line numbering, the progress line and the summary. Each
engine only runs `decode_block` on every block and `renumber_failures` where
that is needed; this module is shipped to the workers for that.

Output layout under DIR:

    DIR/documents/part-NNNNN   documents, one per line
    DIR/failures/part-NNNNN    FILE:LINE: message, one per failed line

Parts are numbered over the inputs in order, so the concatenation of each
folder in name order is what vorlane-decode writes to its stdout and stderr
for the same files.
"""
from __future__ import annotations

import argparse
import errno
import glob
import os
import re
import resource
import shutil
import stat
import sys
import time
from typing import NamedTuple

DEFAULT_BLOCK_SIZE = 16 << 20
# Lines decoded between two writes of a part file: a few hundred kilobytes of
# documents, which stay in the cache while they are joined and written.
LINES_PER_WRITE = 256
# Failed lines of a block that does not start a file are numbered from the
# block's start first, and renumbered here once the counts are in.
PENDING = "_pending"


class UsageError(Exception):
    """Bad command line: one line on stderr, exit status 2."""


# ---- command line -----------------------------------------------------------

class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(message)


def parse_u64(text: str) -> int:
    """Decimal digits only, 0 to 2**64 - 1: what vorlane-decode accepts."""
    if not text or not text.isascii() or not text.isdigit() or int(text) >= 2**64:
        raise argparse.ArgumentTypeError(
            f"invalid payload version '{text}': expected a whole number from 0 to "
            "18446744073709551615")
    return int(text)


def parse_size(text: str) -> int:
    m = re.fullmatch(r"([0-9]+)([KMG]?)", text.strip().upper())
    if not m or int(m.group(1)) == 0:
        raise argparse.ArgumentTypeError(
            f"invalid block size '{text}': expected a positive number of bytes, "
            "optionally with K, M or G")
    return int(m.group(1)) << {"": 0, "K": 10, "M": 20, "G": 30}[m.group(2)]


def positive_int(text: str) -> int:
    if not text.isascii() or not text.isdigit() or int(text) == 0:
        raise argparse.ArgumentTypeError(f"invalid count '{text}': expected a whole number from 1")
    return int(text)


def make_parser(prog: str, description: str, cluster_option: str, cluster_help: str,
                default_workers: int) -> argparse.ArgumentParser:
    ap = _Parser(prog=prog, description=description)
    ap.add_argument("-p", "--payload-version", type=parse_u64, required=True, metavar="VERSION",
                    help="payload format version of every line (1, 2 or 3; other numbers up to "
                         "2**64-1 fail per line, as in vorlane-decode)")
    ap.add_argument("-o", "--output", required=True, metavar="DIR",
                    help="output folder (local path or fsspec URL) that the workers write "
                         "documents/part-NNNNN and failures/part-NNNNN into")
    ap.add_argument("files", nargs="+", metavar="FILE",
                    help="payload files, one canonical Base64 payload per line: local paths, "
                         "globs, or fsspec URLs readable by every worker")
    ap.add_argument("--workers", type=positive_int, default=default_workers, metavar="N",
                    help=f"local worker processes when no {cluster_option} is given "
                         f"(default {default_workers})")
    ap.add_argument(cluster_option, metavar="ADDRESS", help=cluster_help)
    ap.add_argument("--block-size", type=parse_size, default=DEFAULT_BLOCK_SIZE, metavar="SIZE",
                    help="bytes of input per task, cut at line ends (default 16M)")
    ap.add_argument("--overwrite", action="store_true",
                    help="replace earlier output in DIR instead of refusing to start")
    ap.add_argument("--no-progress", action="store_true",
                    help="no progress line (it is shown only when stderr is a terminal)")
    return ap


def parse_args(parser: argparse.ArgumentParser, argv) -> argparse.Namespace:
    args = parser.parse_args(argv)
    if "-" in args.files:
        raise UsageError("standard input cannot be read by the workers: name files")
    return args


# ---- paths: local or fsspec URLs -------------------------------------------

def is_url(path: str) -> bool:
    return "://" in path


def _fs(path: str):
    import fsspec.core
    return fsspec.core.url_to_fs(path)


def open_read(path: str):
    if is_url(path):
        import fsspec
        return fsspec.open(path, "rb").open()
    return open(path, "rb")


def open_write(path: str):
    if is_url(path):
        import fsspec
        return fsspec.open(path, "wb").open()
    return open(path, "wb")


def join(*parts: str) -> str:
    return "/".join(p.rstrip("/") for p in parts)


class Input(NamedTuple):
    name: str   # as vorlane-decode would name it in FILE:LINE
    size: int
    path: str   # what a worker opens: absolute, since its folder is not ours


def where(path: str) -> str:
    return path if is_url(path) else os.path.abspath(path)


def _probe(path: str) -> int:
    """Size of a readable input; OSError otherwise."""
    if is_url(path):
        fs, p = _fs(path)
        if fs.isdir(p):
            raise IsADirectoryError(21, "Is a directory")
        size = fs.size(p)
        with fs.open(p, "rb"):
            pass
        return size
    st = os.stat(path)
    if stat.S_ISDIR(st.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
    if not stat.S_ISREG(st.st_mode):
        # Workers read blocks at offsets: a pipe or a device cannot be shared.
        raise OSError(0, "not a regular file")
    with open(path, "rb"):
        return st.st_size


def _expand(arg: str) -> list[str]:
    """A glob gives its matches in sorted order, named as the shell would
    name them; anything else, or a glob that matches nothing, is itself."""
    if not glob.has_magic(arg):
        return [arg]
    if is_url(arg):
        fs, p = _fs(arg)
        found = sorted(fs.glob(p))
        return [fs.unstrip_protocol(f) for f in found] or [arg]
    return sorted(glob.glob(arg)) or [arg]


def resolve_inputs(args) -> tuple[list[Input], list[str]]:
    """Readable inputs in order, and one line for each that is not."""
    def reason(exc):
        text = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        return text.splitlines()[0] if text else type(exc).__name__

    inputs, problems = [], []
    for arg in args:
        try:
            names = _expand(arg)
        except (OSError, ValueError, ImportError) as exc:
            problems.append(f"{arg}: {reason(exc)}")
            continue
        for name in names:
            try:
                inputs.append(Input(name, _probe(name), where(name)))
            except (OSError, ValueError, ImportError) as exc:
                problems.append(f"{name}: {reason(exc)}")
    return inputs, problems


class _LocalFs:
    """The few fsspec calls used here, for plain paths without fsspec."""
    exists = staticmethod(os.path.isdir)
    ls = staticmethod(os.listdir)
    rm = staticmethod(lambda path, recursive: shutil.rmtree(path))
    makedirs = staticmethod(os.makedirs)


def prepare_output(out: str, overwrite: bool) -> None:
    """Makes DIR/documents and DIR/failures; refuses (UsageError) to mix a
    run's parts with an earlier run's unless asked to replace them. OSError,
    ValueError or ImportError (an fsspec protocol not installed) if DIR
    cannot be used."""
    dirs = [join(out, "documents"), join(out, "failures"), join(out, PENDING)]
    if is_url(out):
        fs = _fs(out)[0]
        dirs = [_fs(d)[1] for d in dirs]
    else:
        if os.path.exists(out) and not os.path.isdir(out):
            raise UsageError(f"output '{out}' exists and is not a folder")
        fs = _LocalFs
    if any(fs.exists(d) and fs.ls(d) for d in dirs) and not overwrite:
        raise UsageError(f"output folder '{out}' holds an earlier run's parts "
                         "(remove them or pass --overwrite)")
    for d in dirs:
        if fs.exists(d):
            fs.rm(d, recursive=True)
        fs.makedirs(d, exist_ok=True)


def remove_pending(out: str) -> None:
    path = join(out, PENDING)
    if is_url(out):
        fs, p = _fs(path)
        if fs.exists(p):
            fs.rm(p, recursive=True)
    else:
        shutil.rmtree(path, ignore_errors=True)


# ---- the plan ---------------------------------------------------------------

class Block(NamedTuple):
    """Bytes [start, end) of one input; the block holds the lines that start
    there, the last one read on to its end."""
    index: int
    name: str
    path: str
    start: int
    end: int


def plan_blocks(inputs: list[Input], block_size: int) -> list[Block]:
    blocks = []
    for inp in inputs:
        for start in range(0, inp.size, block_size):
            blocks.append(Block(len(blocks), inp.name, inp.path, start,
                                min(start + block_size, inp.size)))
    return blocks


def part_width(blocks: list[Block]) -> int:
    # Equal widths keep name order and block order the same.
    return max(5, len(str(max(len(blocks) - 1, 0))))


def part_name(index: int, width: int) -> str:
    return f"part-{index:0{width}d}"


def line_offsets(blocks: list[Block], lines: dict[int, int]) -> dict[int, int]:
    """Lines before each block in its input, from every block's line count."""
    offsets, seen, name = {}, 0, None
    for b in blocks:
        if b.name != name:
            name, seen = b.name, 0
        offsets[b.index] = seen
        seen += lines[b.index]
    return offsets


# ---- on a worker --------------------------------------------------------------

class Counts(NamedTuple):
    index: int
    lines: int        # every line whose start lies in the block, empty ones too
    documents: int
    failures: int
    pending: bool     # failures written with numbers relative to the block
    nbytes: int
    error: str | None  # the block could not be read or its parts written


_CHUNK = 1 << 20


def read_block(f, start: int, end: int) -> bytes:
    """The lines of f that start in [start, end), the last one to its end."""
    if start > 0:
        # A line starts here only if the byte before is a line feed.
        f.seek(start - 1)
        pos = start - 1
        while True:
            chunk = f.read(min(_CHUNK, end - pos))
            if not chunk:
                return b""
            nl = chunk.find(b"\n")
            if nl >= 0:
                start = pos + nl + 1
                break
            pos += len(chunk)
            if pos >= end:
                return b""
        if start >= end:
            return b""
    f.seek(start)
    data = f.read(end - start)
    if data.endswith(b"\n") or len(data) < end - start:
        return data
    # Read on to the end of the last line.
    parts = [data]
    while True:
        chunk = f.read(_CHUNK)
        if not chunk:
            break
        nl = chunk.find(b"\n")
        if nl >= 0:
            parts.append(chunk[:nl + 1])
            break
        parts.append(chunk)
    return b"".join(parts)


_INVALID_BYTE = re.compile(r"InvalidByte\((\d+), (\d+)\)")
# Stands in for each byte of a line that is not UTF-8 and at or above 0x80:
# it is not a Base64 symbol, so parse judges it as such bytes are judged,
# at the same offset. The byte in the message is put back afterwards.
_STAND_IN = 0x21
_NON_ASCII = bytes(range(128)) + bytes([_STAND_IN]) * 128


def parse_bytes(parse, version: int, line: bytes) -> str:
    """parse for a line that is not UTF-8: the message vorlane-decode gives."""
    try:
        return parse("accel", version, line.translate(_NON_ASCII).decode("ascii"))
    except ValueError as exc:
        message = str(exc)
        m = _INVALID_BYTE.search(message)
        if m and line[int(m.group(1))] >= 0x80:
            offset = int(m.group(1))
            message = f"{message[:m.start()]}InvalidByte({offset}, {line[offset]}){message[m.end():]}"
        raise ValueError(message) from None


def _parse_line_bytes(parse, version: int, line: bytes) -> str:
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError:
        return parse_bytes(parse, version, line)
    return parse("accel", version, text)


def _lines(data: bytes) -> tuple[list, bool]:
    """The block's lines (CR before LF taken off), as str when the whole
    block is UTF-8, else as bytes."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        lines = data.split(b"\n")
        for i, line in enumerate(lines):
            if line.endswith(b"\r"):
                lines[i] = line[:-1]
        return lines, False
    # One CR before each LF goes, and one before the end of the input;
    # "\r\n" never overlaps itself, so replace takes exactly one.
    if text.endswith("\r"):
        text = text[:-1]
    if "\r\n" in text:
        text = text.replace("\r\n", "\n")
    return text.split("\n"), True


def decode_block(block: Block, version: int, out: str, width: int) -> Counts:
    """Reads one block, decodes every line, writes its two part files."""
    from vorlane_binary_parser import BinaryParser

    parse = BinaryParser().parse
    part = part_name(block.index, width)
    try:
        with open_read(block.path) as f:
            data = read_block(f, block.start, block.end)
    except OSError as exc:
        return Counts(block.index, 0, 0, 0, False, 0, f"{block.name}: {exc.strerror or exc}")
    nbytes = len(data)
    nlines = data.count(b"\n") + (1 if data and not data.endswith(b"\n") else 0)
    lines, is_text = _lines(data)
    del data
    # The first block of an input knows its line numbers; the others learn
    # theirs when every block before them has been counted.
    pending = block.start > 0
    prefix = "" if pending else f"{block.name}:"
    failures_path = join(out, PENDING if pending else "failures", part)
    documents = failures = 0
    try:
        with open_write(join(out, "documents", part)) as docs_out, \
                open_write(failures_path) as fail_out:
            fails = []
            for base in range(0, len(lines), LINES_PER_WRITE):
                docs = []
                for number, line in enumerate(lines[base:base + LINES_PER_WRITE], base + 1):
                    if line:
                        try:
                            docs.append(parse("accel", version, line) if is_text
                                        else _parse_line_bytes(parse, version, line))
                        except ValueError as exc:
                            fails.append(f"{prefix}{number}: {exc}\n")
                if docs:
                    documents += len(docs)
                    docs.append("")
                    docs_out.write("\n".join(docs).encode())
            failures = len(fails)
            fail_out.write("".join(fails).encode())
        if pending and not failures:
            _move(failures_path, join(out, "failures", part))
            pending = False
    except OSError as exc:
        return Counts(block.index, nlines, 0, 0, False, nbytes,
                      f"{join(out, 'documents', part)}: {exc.strerror or exc}")
    return Counts(block.index, nlines, documents, failures, pending, nbytes, None)


def _move(src: str, dst: str) -> None:
    if is_url(src):
        fs, p = _fs(src)
        fs.mv(p, _fs(dst)[1])
    else:
        os.replace(src, dst)


def renumber_failures(block: Block, line_offset: int, out: str, width: int) -> str | None:
    """Writes a pending failures part with the block's place in its input."""
    part = part_name(block.index, width)
    src = join(out, PENDING, part)
    try:
        with open_read(src) as f:
            pending = f.read().decode().splitlines()
        lines = []
        for line in pending:
            number, rest = line.split(":", 1)
            lines.append(f"{block.name}:{int(number) + line_offset}:{rest}\n")
        with open_write(join(out, "failures", part)) as f:
            f.write("".join(lines).encode())
    except OSError as exc:
        return f"{join(out, 'failures', part)}: {exc.strerror or exc}"
    return None


def decode_partition(blocks, version: int, out: str, width: int) -> list[Counts]:
    """decode_block over an iterable of blocks (Spark's mapPartitions)."""
    return [decode_block(b, version, out, width) for b in blocks]


def renumber_partition(items, out: str, width: int) -> list[str | None]:
    return [renumber_failures(b, offset, out, width) for b, offset in items]


# ---- on the client -------------------------------------------------------------

class Progress:
    """One line on stderr, redrawn in place: blocks done, lines, bytes."""

    def __init__(self, total_blocks: int, total_bytes: int, enabled: bool):
        self.total_blocks, self.total_bytes = total_blocks, total_bytes
        self.enabled = enabled and sys.stderr.isatty()
        self.started = time.monotonic()
        self.blocks = self.lines = self.nbytes = 0

    def add(self, counts: Counts) -> None:
        self.blocks += 1
        self.lines += counts.lines
        self.nbytes += counts.nbytes
        self.draw()

    def draw(self, blocks: int | None = None) -> None:
        if not self.enabled:
            return
        done = self.blocks if blocks is None else blocks
        frac = done / self.total_blocks if self.total_blocks else 1.0
        bar = "#" * int(frac * 30)
        sys.stderr.write(f"\r[{bar:<30}] {done}/{self.total_blocks} blocks  "
                         f"{self.lines:,} lines  {time.monotonic() - self.started:.0f} s ")
        sys.stderr.flush()

    def close(self) -> None:
        if self.enabled:
            sys.stderr.write("\n")
            sys.stderr.flush()


def peak_rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def summary(prog: str, inputs: list[Input], results: list[Counts], out: str,
            decode_seconds: float, total_seconds: float, extra: str = "") -> str:
    lines = sum(c.lines for c in results)
    docs = sum(c.documents for c in results)
    fails = sum(c.failures for c in results)
    return (f"{prog}: {len(inputs)} files, {lines} lines, {docs} documents, {fails} failed lines, "
            f"{len(results)} blocks; decoding {decode_seconds:.2f} s, in all "
            f"{total_seconds:.2f} s; client peak RSS {peak_rss_mb():.0f} MB{extra}; output in {out}")


def plan(prog: str, parser: argparse.ArgumentParser, argv):
    """Everything before a cluster starts: checks the arguments and the output
    folder, lists the inputs and cuts them into blocks. Returns (args, inputs,
    blocks, part-name width, whether an input could not be read), or the exit
    status to stop with."""
    try:
        args = parse_args(parser, argv)
        prepare_output(args.output, args.overwrite)
        args.output = where(args.output)
    except UsageError as exc:
        return report_usage(prog, str(exc))
    except (OSError, ValueError, ImportError) as exc:
        print(f"{prog}: cannot use output folder '{args.output}': {exc}", file=sys.stderr)
        return 1
    inputs, problems = resolve_inputs(args.files)
    for problem in problems:
        print(f"{prog}: {problem}", file=sys.stderr)
    if problems and not inputs:
        return 1
    blocks = plan_blocks(inputs, args.block_size)
    return args, inputs, blocks, part_width(blocks), bool(problems)


def report_usage(prog: str, message: str) -> int:
    print(f"{prog}: {message}", file=sys.stderr)
    return 2
